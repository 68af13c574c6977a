/*
 * The standard-I/O command server: requests on one descriptor, replies on the other.
 * End of input fails it for good. Replies are written whole and in order by a thread of
 * the server, with no log line inside one, so a reader that stops reading holds back
 * only that thread; destroy gives such a reader a short while, then drops what is left.
 */
#pragma once

struct QmpServer;

/* Standard input and standard output. */
QmpServer *qmp_server_new_std_io(void);
/*
 * The same over the given descriptors. When input fails its descriptor is pointed at
 * /dev/null, keeping its number; destroy closes those above standard error.
 */
QmpServer *qmp_server_new_std_io_fds(int in_fd, int out_fd);
