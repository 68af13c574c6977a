/*
 * The daemon side of the device socket (frames in endr-device-frame.h): every accepted
 * connection is one open device handle of the engine. Requests that may wait (event
 * read, connection and log reads) run on a thread of their own, so a blocking event read
 * never holds up a policy push on the same connection; the others run in arrival order.
 */
#pragma once

#include <cstddef>
#include <string>

namespace endr {

class DeviceServer;

/* Listens on path, replacing a stale socket file; nullptr (with why) when it cannot. */
DeviceServer *device_server_start(const std::string &path, std::string *why);
/* Closes the listener and every connection (their waiting requests end with 995), waits
 * for the connection threads and removes the socket file. */
void device_server_stop(DeviceServer *server);
/* Connections whose requests are still being read or run. */
size_t device_server_connections(DeviceServer *server);

} // namespace endr
