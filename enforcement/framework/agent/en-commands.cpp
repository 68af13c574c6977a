/* Commands about the module's state and modes rather than the stored policy (tag "[commands]"). */
#include <glib.h>

#include "agent-common/agent-main.h"
#include "enforcement/framework/agent/en-api.h"
#include "enforcement/framework/agent/en-config.h"
#include "enforcement/framework/agent/en-policy.h"
#include "qapi/qmp-enforcement-commands.h"
#include "qapi/qmp-enforcement-types.h"
#include "util/error.h"

namespace {

const char *state_name(AgentState state)
{
    return state >= 0 && state < AgentState_MAX ? AgentState_lookup[state] : "unknown";
}

bool set_state_on(Error **errp)
{
    en_policy_enable_fallback();
    Error *err = nullptr;
    if (en_policy_start_api(&err) && en_policy_start(&err)) {
        return true;
    }
    error_setg(errp, "[commands] failed to set agent state to ON: %s", error_get_message(err));
    g_warning("[commands] failed to set agent state to ON: %s", error_get_message(err));
    error_free(err);
    return false;
}

bool set_state_off(Error **errp)
{
    en_policy_disable_fallback();
    if (!en_policy_stop_api()) {
        error_setg(errp, "[commands] failed to set agent state to OFF");
        return false;
    }
    return true;
}

} // namespace

void qmp_set_state(AgentState state, Error **errp)
{
    AgentState current = en_policy_agent_state();
    if (state == current) {
        g_message("[commands] agent state change left state unchanged: %s", state_name(state));
        return;
    }
    g_message("[commands] changing agent state from %s to %s", state_name(current), state_name(state));
    bool ok = false;
    switch (state) {
    case AGENT_STATE_ON:
        ok = set_state_on(errp);
        break;
    case AGENT_STATE_OFF:
        ok = set_state_off(errp);
        break;
    default:
        error_setg(errp, "[commands] unsupported agent state: %s", state_name(state));
        break;
    }
    if (ok) {
        en_policy_set_agent_state(state);
        g_message("[commands] current agent state is: %s", state_name(state));
    } else {
        g_message("[commands] current agent state is: %s", state_name(current));
    }
}

AgentState qmp_get_state(Error **)
{
    return en_policy_agent_state();
}

EnforcementMode qmp_get_enforcement_mode(Error **errp)
{
    switch (g_en_config.enforcement_mode) {
    case EN_MODE_VISTOR_ONLY:
        return ENFORCEMENT_MODE_VISTOR_ONLY;
    case EN_MODE_MONITORING:
        return ENFORCEMENT_MODE_MONITORING;
    case EN_MODE_ENFORCING:
        return ENFORCEMENT_MODE_ENFORCING;
    case EN_MODE_METRICS_ONLY:
        return ENFORCEMENT_MODE_METRICS_ONLY;
    default:
        error_setg(errp, "[commands] invalid mode: %u", (unsigned)g_en_config.enforcement_mode);
        return ENFORCEMENT_MODE_VISTOR_ONLY;
    }
}

WindowsFirewallMode qmp_get_windows_firewall_mode(Error **errp)
{
    uint64_t mode = g_en_config.windows_firewall_mode;
    if (mode > WINDOWS_FIREWALL_MODE_HARD_ALLOW) {
        error_setg(errp, "[commands] invalid mode: %u", (unsigned)mode);
        return WINDOWS_FIREWALL_MODE_SOFT_ALLOW;
    }
    return (WindowsFirewallMode)mode;
}

void qmp_block_non_tcp_udp(bool block, Error **errp)
{
    if (!en_api_set_block_non_tcp_udp(g_en_handle, block)) {
        error_setg(errp, "[commands] failed to set block non tcp/udp");
    }
}

char *qmp_read_digital_signature_file(Error **errp)
{
    g_autofree char *path = g_strdup_printf("%s%s%s", agent_root_folder(), G_DIR_SEPARATOR_S, "holvenstad.sign");
    g_autofree char *content = nullptr;
    gsize length = 0;
    GError *gerr = nullptr;
    if (!g_file_get_contents(path, &content, &length, &gerr)) {
        error_setg(errp, "error reading signature file '%s': %s", path, gerr->message);
        g_error_free(gerr);
        return nullptr;
    }
    char *encoded = g_base64_encode((const guchar *)content, length);
    if (!encoded) {
        error_setg(errp, "error encoding %zu bytes of signature file with base64", (size_t)length);
    }
    return encoded;
}

EnforcementIptablesMapping *qmp_get_iptables_mapping(Error **errp)
{
    error_setg(errp, "not implemented");
    return nullptr;
}

void qmp_terminate(Error **)
{
    agent_terminate_main_loop();
}
