/* What this build is: version, date, commit, and the protocol version it speaks. */
#pragma once

#include <cstdint>

#define AGENT_PROTOCOL_VERSION 420005ull

const char *agent_build_version(void);
const char *agent_build_date(void);
const char *agent_commit_id(void);
