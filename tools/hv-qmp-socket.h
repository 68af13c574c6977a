/* hv-qmp's request socket, apart so that its settings can be checked. */
#pragma once

/* How long a send may wait for the module to take the request. */
#define HV_QMP_SEND_TIMEOUT_MS 5000

/*
 * A nanomsg REQ socket that waits timeout_ms for a reply and never sends the request a
 * second time meanwhile; -1 (nn_errno set) when it cannot be made.
 */
int hv_qmp_socket_open(int timeout_ms);
