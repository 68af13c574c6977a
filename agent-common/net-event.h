/*
 * Network events on the report socket: serialization with its size limits and the batch
 * framing. A message on the socket is either one serialized NetEvent, or a batch of records,
 * each an 8-byte header (magic, version, length; little-endian) and one serialized NetEvent.
 * Events are written straight into the caller's buffer; nothing here allocates for the bytes.
 */
#pragma once

#include <cstddef>
#include <cstdint>

#include "agent-common/network-events.pb.h"
#include "util/error.h"

#define NET_EVENT_BATCH_MAGIC 0x9A07D1C0u
#define NET_EVENT_BATCH_VERSION 1
#define NET_EVENT_RECORD_HEADER_SIZE 8
/* The record header carries the length in 16 bits. */
#define NET_EVENT_RECORD_MAX_LENGTH 0xFFFF
/* Space of the keepalive buffer. */
#define NET_EVENT_KEEPALIVE_SPACE 64

/* Process events only: cuts the overlong strings (process_name, parent_name 128, username 64,
 * image_path, cwd, cmdline 1024 bytes; never inside a UTF-8 character) in place first. Then
 * serializes into msg_data when the space *len is greater than the event's size and sets *len
 * to that size. An event as large as the space or larger is refused ("refusing to serialize
 * event, too big ..."), one without its required fields fails ("error serializing event of
 * ..."); either way msg_data is left untouched. event and msg_data must be given. */
bool serialize_event(NetEvent *event, uint8_t *msg_data, size_t *len, Error **errp);

/* Cuts text to its first limit bytes, leaving out whole a UTF-8 character across the limit. */
void net_event_cut_text(std::string *text, size_t limit);

/* Sets time_sec and time_ns from the wall clock (microsecond precision). */
void net_event_set_time(NetEvent *event);

/* A Keepalive with the current time and no extension, serialized into msg_data (space *len,
 * NET_EVENT_KEEPALIVE_SPACE is enough); *len becomes its size. A failure is also logged
 * ("[event] error serializing event: %s", critical). */
bool net_event_create_keepalive(uint8_t *msg_data, size_t *len, Error **errp);

/* Writes the record header for an event of `length` bytes at dst (8 bytes). */
void net_event_write_record_header(uint8_t *dst, uint16_t length);

/* Appends one record to the batch in buf (size bytes, *used of them filled): the event is
 * serialized at *used + 8 with at most `space` bytes (less when the buffer ends sooner, and
 * never more than a record can carry); on success the header goes in front and *used grows
 * by 8 plus the event length. On failure *used and the bytes before it are unchanged. */
bool net_event_batch_append(NetEvent *event, uint8_t *buf, size_t size, size_t *used, size_t space,
                            Error **errp);

/* True when the message starts with the record magic: a batch, not a single event. */
bool net_event_is_batch(const uint8_t *msg, size_t len);

enum NetEventRecordResult {
    NET_EVENT_RECORD_OK = 0,
    NET_EVENT_RECORD_END = 1,       /* *offset reached the end of the message */
    NET_EVENT_RECORD_TRUNCATED = 2, /* fewer than 8 bytes left, or the length runs past the end */
    NET_EVENT_RECORD_BAD_MAGIC = 3,
    NET_EVENT_RECORD_BAD_VERSION = 4,
};

/* Reads the record at *offset of a batch: on OK, *event and *event_len give its event bytes
 * inside msg and *offset moves past it. Any other result leaves *offset unchanged. */
NetEventRecordResult net_event_batch_next(const uint8_t *msg, size_t len, size_t *offset, const uint8_t **event,
                                          size_t *event_len);

const char *net_event_record_result_text(NetEventRecordResult result);
