/* The process-wide descriptor and main-loop state, shared by every agent-wide unit. */
#include "agent-common/agent-main.h"

agent_module_t *g_hv_agent = nullptr;
agent_state_t *ga_state = nullptr;
