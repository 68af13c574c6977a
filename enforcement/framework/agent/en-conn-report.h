/*
 * Connection reporting (log tag "[conn_report]"): the thread "en_connection_thread" reads
 * the driver's connection records through the global enforcement handle, turns them into
 * connection events and pushes them, batched or one by one, on the module's report
 * channel (nnmsg_channel_report_socket); a
 * keepalive goes out when a read brings nothing and nothing was sent for a while.
 *
 * Start and stop belong to the module's start and cleanup (one thread); the report
 * functions run on the report thread.
 */
#pragma once

#include <cstddef>
#include <cstdint>

struct Error;

#define EN_CONN_REPORT_MAX_RECORDS 1000
#define EN_CONN_REPORT_AUX_SIZE 20480000
#define EN_CONN_REPORT_CHUNK 3000
/* A batch is sent once it passes this many bytes. */
#define EN_CONN_REPORT_BATCH_THRESHOLD 98304

/* The report thread on the global enforcement handle (which must be started). */
bool en_conn_report_init_and_start(Error **errp);
/* Asks the thread to end after the read in progress, without waiting for it. A read waits
 * for records up to api.conn_request_timeout_ms, unless the device closes first
 * (en_api_stop): the module's cleanup asks, closes the device, then stops. */
void en_conn_report_request_stop(void);
/* Ends the thread between two reads and joins it; nothing when not started. */
void en_conn_report_stop(void);

/*
 * Reports count records laid end to end (connections of them of type connection) on the
 * report channel, in batches when the batch buffer exists, else one event per message. A
 * record that cannot become an event is skipped. False when connections exceeds a chunk
 * or a send failed (the chunk ends there); every record not sent is counted in
 * "en_report.dropped_connections".
 */
bool en_api_report_connections(const uint8_t *records, size_t count, size_t connections);
