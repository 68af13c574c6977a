/*
 * Process events: every process the driver asks lids for is reported as a NetProcessEvent
 * of type StartedConnection. The lid request path only queues a copy of the process
 * information with its command line; one worker thread ("process-event-worker") enriches
 * the queued processes (user name, image file attributes), builds the events and pushes
 * them on the report channel, in one batch when several wait (log tags "[process-event]"
 * and "[process-event][background]").
 *
 * The producers may run on any thread and never wait for the worker or the receiver: a
 * full queue refuses, a receiver that cannot take a message costs a dropped event.
 * Start, stop and destroy belong to one thread (the enforcement API's lifecycle).
 */
#pragma once

#include <glib.h>

#include <cstddef>
#include <cstdint>

#include "enforcement/framework/agent/en-proc-info.h"

struct Error;

#define PROCESS_EVENT_QUEUE_MAX_ENTRIES 500
#define PROCESS_EVENT_SPACE 4096
#define PROCESS_EVENT_BATCH_BUFFER_SIZE 102400
#define PROCESS_EVENT_SINGLE_BUFFER_SIZE (PROCESS_EVENT_SPACE + 8)
/* A batch takes no more events once this many bytes are used; the last event still fits. */
#define PROCESS_EVENT_BATCH_THRESHOLD (PROCESS_EVENT_BATCH_BUFFER_SIZE - PROCESS_EVENT_SPACE - 8)

struct process_event_queue;

/* One queued process; the entry owns everything in it. */
struct process_queue_entry {
    en_process_info_t *proc_info;
    char *cmdline;        /* NULL when it could not be read */
    gint64 enqueue_time;  /* monotonic microseconds */
};

/* Hashes of an image file; NULL members are not reported. */
struct en_file_hashes {
    const char *md5;
    const char *sha1;
    const char *sha256;
};

/*
 * A new queue, worker not running. batch: several waiting processes leave in one message
 * (otherwise every process is its own message). Sets the gauges "process_queue.max_time"
 * and "process_queue.no_proc_root" to 0.
 */
process_event_queue *process_event_queue_new(bool batch);
/* Starts the worker; fatal assertion without a queue or with a worker running. */
void process_event_queue_start(process_event_queue *process_event_queue);
/* Stops and joins the worker (it notices within a second); queued entries stay. */
void process_event_queue_stop(process_event_queue *process_event_queue);
/* Stops the worker and releases the queue with whatever is still queued. */
void process_event_queue_destroy(process_event_queue *process_event_queue);

/*
 * Queues a copy of proc_info with the process's command line, unless 500 entries wait
 * ("queue is full" warning). Never waits for the worker.
 */
void send_net_process_event_async(process_event_queue *process_event_queue, const en_process_info_t *proc_info);

/*
 * Builds the event of one entry into out (space *len; *len becomes the event's size). When
 * the pid still runs the queued image, the event also carries its user name, current folder
 * and image file attributes; otherwise only the queued information and command line.
 */
bool enrich_and_build_process_event(const process_queue_entry *proc_queue_entry, uint8_t *out, size_t *len,
                                    Error **errp);

/* The StartedConnection event of proc_info serialized into out (space *len). NULL or empty
 * strings and NULL attributes or hashes are left out. */
bool en_process_event_create(const en_process_info_t *proc_info, const char *username, const char *cwd,
                             const char *cmdline, const en_file_attributes *file_attrs,
                             const en_file_hashes *file_hashes, uint8_t *out, size_t *len);
