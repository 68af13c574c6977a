/*
 * The TLS management connection: the module connects out to the management side, over
 * an HTTP proxy tunnel when one is configured, and serves commands on that connection.
 * The remotes are tried in the configured order; when none answers the server fails and
 * the manager runs it again later. Every so many runs without a received byte the host
 * names are resolved again on a thread of their own, so that moved servers are found.
 * The server is the aggregator, push-capable and reconnect-capable.
 */
#pragma once

#include <cstdint>

#include "agent-common/tls-channel.h"

struct QmpServer;

/* The default number of runs between re-resolutions ("FQDN_TRY_COUNT_THRESHOLD" overrides). */
#define QMP_SERVER_TLS_RESOLVE_THRESHOLD 10

/*
 * addresses: "host:port" entries separated by ',' or ';' ("[v6]:port" for IPv6); an empty
 * list is a fatal assertion. proxy: "http://host:port" or NULL. The parameters are copied.
 * Resolves the addresses (blocking) but does not connect: that is the run's work.
 */
QmpServer *qmp_server_new_tls(const char *addresses, const char *proxy, const tls_channel_params_t *params,
                              uint32_t connect_timeout_ms);
