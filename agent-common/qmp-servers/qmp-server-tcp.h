/*
 * The plain TCP management connection: the module connects out to the first of the
 * given addresses and serves commands on that connection. The server is the aggregator
 * and required, and the manager does not rerun it, so losing it ends the main loop.
 */
#pragma once

#include <cstdint>

struct QmpServer;

/*
 * addresses: "host:port" entries separated by ',' or ';' ("[v6]:port" for IPv6); an
 * empty list is a fatal assertion. Connects at once, waiting at most connect_timeout_ms;
 * NULL when the connection cannot be opened.
 */
QmpServer *qmp_server_new_tcp(const char *addresses, uint32_t connect_timeout_ms);
