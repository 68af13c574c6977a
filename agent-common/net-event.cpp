#include "agent-common/net-event.h"

#include <glib.h>

#include <climits>
#include <cstring>
#include <string>

#include "util/agent-assert.h"

namespace {

bool is_continuation(char c)
{
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

} // namespace

/* A character that straddles the limit is left out whole, so a cut never makes the text
 * invalid UTF-8; bytes that are not UTF-8 there are cut at the limit. */
void net_event_cut_text(std::string *s, size_t limit)
{
    if (s->size() <= limit) {
        return;
    }
    size_t end = limit;
    while (end > limit - MIN(limit, 3) && is_continuation((*s)[end])) {
        end--;
    }
    if (is_continuation((*s)[end])) {
        end = limit;
    }
    s->resize(end);
}

namespace {

/* Only process events carry strings of unbounded length from the machine (command lines,
 * paths); a connection event's strings come bounded from the driver record. */
void cut_process_strings(NetEvent *event)
{
    if (event->type() != NetEvent::Process || !event->HasExtension(NetProcessEvent::header)) {
        return;
    }
    NetProcessEvent *p = event->MutableExtension(NetProcessEvent::header);
    if (p->has_process_name()) {
        net_event_cut_text(p->mutable_process_name(), 128);
    }
    if (p->has_parent_name()) {
        net_event_cut_text(p->mutable_parent_name(), 128);
    }
    if (p->has_username()) {
        net_event_cut_text(p->mutable_username(), 64);
    }
    if (p->has_image_path()) {
        net_event_cut_text(p->mutable_image_path(), 1024);
    }
    if (p->has_cwd()) {
        net_event_cut_text(p->mutable_cwd(), 1024);
    }
    if (p->has_cmdline()) {
        net_event_cut_text(p->mutable_cmdline(), 1024);
    }
}

void put_le16(uint8_t *dst, uint16_t v)
{
    dst[0] = static_cast<uint8_t>(v);
    dst[1] = static_cast<uint8_t>(v >> 8);
}

uint32_t get_le32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

uint16_t get_le16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

} // namespace

bool serialize_event(NetEvent *event, uint8_t *msg_data, size_t *len, Error **errp)
{
    AGENT_ASSERT(NULL != event);
    AGENT_ASSERT(NULL != msg_data);
    AGENT_ASSERT(NULL != len);
    cut_process_strings(event);
    size_t size = event->ByteSizeLong();
    if (*len > size && size <= INT_MAX) {
        /* The library would write an event without its required fields, which no receiver
         * can parse: that is a failure to serialize, not bytes to send. */
        if (!event->IsInitialized() || !event->SerializeToArray(msg_data, static_cast<int>(size))) {
            error_setg(errp, "error serializing event of %d bytes: %s", static_cast<int>(size),
                       event->ShortDebugString().c_str());
            return false;
        }
        *len = size;
        return true;
    }
    error_setg(errp, "refusing to serialize event, too big (%d >= %d): %s", static_cast<int>(MIN(size, INT_MAX)),
               static_cast<int>(MIN(*len, INT_MAX)), event->ShortDebugString().c_str());
    return false;
}

void net_event_set_time(NetEvent *event)
{
    int64_t now = g_get_real_time();
    event->set_time_sec(static_cast<uint32_t>(now / G_USEC_PER_SEC));
    event->set_time_ns(static_cast<uint32_t>(now % G_USEC_PER_SEC) * 1000u);
}

bool net_event_create_keepalive(uint8_t *msg_data, size_t *len, Error **errp)
{
    NetEvent event;
    event.set_type(NetEvent::Keepalive);
    net_event_set_time(&event);
    Error *err = nullptr;
    if (!serialize_event(&event, msg_data, len, &err)) {
        g_critical("[event] error serializing event: %s", error_get_message(err));
        error_propagate(errp, err);
        return false;
    }
    return true;
}

void net_event_write_record_header(uint8_t *dst, uint16_t length)
{
    uint32_t magic = NET_EVENT_BATCH_MAGIC;
    for (int i = 0; i < 4; i++) {
        dst[i] = static_cast<uint8_t>(magic >> (8 * i));
    }
    put_le16(dst + 4, NET_EVENT_BATCH_VERSION);
    put_le16(dst + 6, length);
}

bool net_event_batch_append(NetEvent *event, uint8_t *buf, size_t size, size_t *used, size_t space, Error **errp)
{
    AGENT_ASSERT(NULL != buf);
    AGENT_ASSERT(NULL != used);
    if (*used > size || size - *used <= NET_EVENT_RECORD_HEADER_SIZE) {
        error_setg(errp, "no room for an event in the batch (%zu of %zu bytes used)", *used, size);
        return false;
    }
    size_t room = size - *used - NET_EVENT_RECORD_HEADER_SIZE;
    /* "space > size" admits at most space - 1 bytes, which the 16-bit length must carry. */
    size_t len = MIN(MIN(space, room), static_cast<size_t>(NET_EVENT_RECORD_MAX_LENGTH) + 1);
    uint8_t *record = buf + *used;
    if (!serialize_event(event, record + NET_EVENT_RECORD_HEADER_SIZE, &len, errp)) {
        return false;
    }
    net_event_write_record_header(record, static_cast<uint16_t>(len));
    *used += NET_EVENT_RECORD_HEADER_SIZE + len;
    return true;
}

bool net_event_is_batch(const uint8_t *msg, size_t len)
{
    return msg && len >= 4 && get_le32(msg) == NET_EVENT_BATCH_MAGIC;
}

NetEventRecordResult net_event_batch_next(const uint8_t *msg, size_t len, size_t *offset, const uint8_t **event,
                                          size_t *event_len)
{
    size_t off = *offset;
    if (off >= len) {
        return NET_EVENT_RECORD_END;
    }
    if (len - off < NET_EVENT_RECORD_HEADER_SIZE) {
        return NET_EVENT_RECORD_TRUNCATED;
    }
    const uint8_t *h = msg + off;
    if (get_le32(h) != NET_EVENT_BATCH_MAGIC) {
        return NET_EVENT_RECORD_BAD_MAGIC;
    }
    if (get_le16(h + 4) != NET_EVENT_BATCH_VERSION) {
        return NET_EVENT_RECORD_BAD_VERSION;
    }
    size_t n = get_le16(h + 6);
    if (len - off - NET_EVENT_RECORD_HEADER_SIZE < n) {
        return NET_EVENT_RECORD_TRUNCATED;
    }
    *event = h + NET_EVENT_RECORD_HEADER_SIZE;
    *event_len = n;
    *offset = off + NET_EVENT_RECORD_HEADER_SIZE + n;
    return NET_EVENT_RECORD_OK;
}

const char *net_event_record_result_text(NetEventRecordResult result)
{
    switch (result) {
    case NET_EVENT_RECORD_OK:
        return "ok";
    case NET_EVENT_RECORD_END:
        return "end of batch";
    case NET_EVENT_RECORD_TRUNCATED:
        return "record runs past the end of the message";
    case NET_EVENT_RECORD_BAD_MAGIC:
        return "bad record magic";
    case NET_EVENT_RECORD_BAD_VERSION:
        return "unknown record version";
    }
    return "unknown";
}
