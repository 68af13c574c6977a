/*
 * The standard-I/O command server: requests on one descriptor, replies on the other.
 * End of input fails it for good. Each reply is written whole before the main loop goes
 * on, and no log line is written meanwhile.
 */
#pragma once

struct QmpServer;

/* Standard input and standard output. */
QmpServer *qmp_server_new_std_io(void);
/* The same over the given descriptors, which the server closes when it fails. */
QmpServer *qmp_server_new_std_io_fds(int in_fd, int out_fd);
