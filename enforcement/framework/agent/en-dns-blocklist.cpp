#include "enforcement/framework/agent/en-dns-blocklist.h"

#include <glib.h>

#include <cstring>

#include "enforcement/framework/agent/en-api.h"
#include "util/check-null.h"
#include "util/error.h"

/* The log line and the Error carry the same text. */
#define BLOCKLIST_FAIL(errp, ...)        \
    do {                                 \
        g_warning(__VA_ARGS__);          \
        error_setg((errp), __VA_ARGS__); \
    } while (0)

namespace {

/* Names in messages are cut here: an oversized name must not flood the log or the reply. */
constexpr int kPrintMax = 1024;

/* Current and previous revision, with the send that changes them. */
GRecMutex s_lock;
uint64_t s_current;
uint64_t s_previous;

class Guard {
public:
    Guard() { g_rec_mutex_lock(&s_lock); }
    ~Guard() { g_rec_mutex_unlock(&s_lock); }
    Guard(const Guard &) = delete;
    Guard &operator=(const Guard &) = delete;
};

bool check_name(const char *name, size_t *len, Error **errp)
{
    if (!name || !*name) {
        BLOCKLIST_FAIL(errp, "[dns_blocklist] empty dns name in blocklist");
        return false;
    }
    *len = strlen(name);
    if (*len > EN_DNS_BLOCKLIST_MAX_NAME) {
        BLOCKLIST_FAIL(errp, "[dns_blocklist] domain %.*s exceed the entry size", kPrintMax, name);
        return false;
    }
    return true;
}

/* Bytes one list takes in the buffer, its count included. */
bool dnslist_size(const strList *list, size_t *bytes, Error **errp)
{
    size_t total = 4;
    uint64_t count = 0;
    for (const strList *s = list; s; s = s->next) {
        size_t len = 0;
        if (!check_name(s->value, &len, errp)) {
            return false;
        }
        total += len + 2;
        count++;
    }
    if (count > UINT32_MAX) {
        BLOCKLIST_FAIL(errp, "[dns_blocklist] too many names in blocklist (%llu)", static_cast<unsigned long long>(count));
        return false;
    }
    *bytes = total;
    return true;
}

bool put(uint8_t **cursor, const uint8_t *end, const void *data, size_t n, const char *field, Error **errp)
{
    if (*cursor > end || n > static_cast<size_t>(end - *cursor)) {
        BLOCKLIST_FAIL(errp, "[dns_blocklist] failed to write field: '%s' (buffer is too small)", field);
        return false;
    }
    memcpy(*cursor, data, n);
    *cursor += n;
    return true;
}

template <typename T>
bool put_le(uint8_t **cursor, const uint8_t *end, T value, const char *field, Error **errp)
{
    uint8_t bytes[sizeof(T)];
    for (size_t i = 0; i < sizeof(T); i++) {
        bytes[i] = static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i));
    }
    return put(cursor, end, bytes, sizeof bytes, field, errp);
}

} // namespace

bool construct_dnslist(const strList *list, uint8_t **cursor, const uint8_t *end, Error **errp)
{
    AGENT_CHECK_NULL_ERR(cursor, "cursor", errp, false);
    AGENT_CHECK_NULL_ERR(*cursor, "*cursor", errp, false);
    AGENT_CHECK_NULL_ERR(end, "end", errp, false);
    uint64_t count = 0;
    for (const strList *s = list; s; s = s->next) {
        count++;
    }
    if (count > UINT32_MAX) {
        BLOCKLIST_FAIL(errp, "[dns_blocklist] too many names in blocklist (%llu)", static_cast<unsigned long long>(count));
        return false;
    }
    if (!put_le(cursor, end, static_cast<uint32_t>(count), "list_length", errp)) {
        return false;
    }
    for (const strList *s = list; s; s = s->next) {
        size_t len = 0;
        if (!check_name(s->value, &len, errp) ||
            !put_le(cursor, end, static_cast<uint8_t>(len + 1), "dns_name_len + 1", errp) ||
            !put(cursor, end, s->value, len + 1, "dns_name", errp)) {
            return false;
        }
    }
    return true;
}

bool construct_blocklist_buffer(uint64_t revision, const strList *block_list, const strList *exclude_list,
                                uint8_t **out_buf, size_t *out_len, Error **errp)
{
    AGENT_CHECK_NULL_ERR(out_buf, "out_buf", errp, false);
    AGENT_CHECK_NULL_ERR(out_len, "out_len", errp, false);
    if (revision > EN_DNS_BLOCKLIST_MAX_REVISION) {
        BLOCKLIST_FAIL(errp, "blocklist revision is too large");
        return false;
    }
    size_t block_bytes = 0;
    size_t exclude_bytes = 0;
    if (!dnslist_size(block_list, &block_bytes, errp) || !dnslist_size(exclude_list, &exclude_bytes, errp)) {
        return false;
    }
    size_t len = 8 + block_bytes + exclude_bytes;
    /* The driver request carries a 32-bit length. */
    if (len > UINT32_MAX) {
        BLOCKLIST_FAIL(errp, "[dns_blocklist] blocklist of %zu bytes is too large", len);
        return false;
    }
    auto *buf = static_cast<uint8_t *>(g_malloc0(len));
    uint8_t *cursor = buf;
    const uint8_t *end = buf + len;
    bool ok = put_le(&cursor, end, revision, "revision", errp);
    if (ok && (!construct_dnslist(block_list, &cursor, end, errp) ||
               !construct_dnslist(exclude_list, &cursor, end, errp))) {
        /* Already set by the list writer; this one only reaches the debug log. */
        error_setg(errp, "[dns_blocklist] failed building blocklist buffer");
        ok = false;
    }
    if (!ok) {
        g_free(buf);
        return false;
    }
    *out_buf = buf;
    *out_len = len;
    return true;
}

EnforcementDNSBlocklistDetails *qmp_set_dns_blocklist_policy(uint64_t revision, strList *block_list,
                                                             strList *exclude_list, Error **errp)
{
    g_message("[dns_blocklist] got new blocklist - revision [%llu]", static_cast<unsigned long long>(revision));
    uint8_t *buf = nullptr;
    size_t len = 0;
    if (!construct_blocklist_buffer(revision, block_list, exclude_list, &buf, &len, errp)) {
        return nullptr;
    }
    EnforcementDNSBlocklistDetails *details = nullptr;
    {
        Guard guard;
        if (en_api_set_dns_blocklist_policy(g_en_handle, buf, static_cast<uint32_t>(len))) {
            s_previous = s_current;
            s_current = revision;
            details = qapi_new_EnforcementDNSBlocklistDetails(s_current, s_previous);
        } else {
            BLOCKLIST_FAIL(errp, "ender failed to apply blocklist [%llu]", static_cast<unsigned long long>(revision));
        }
    }
    g_free(buf);
    return details;
}

EnforcementDNSBlocklistDetails *qmp_get_dns_blocklist_revision(Error **errp)
{
    Guard guard;
    return qapi_new_EnforcementDNSBlocklistDetails(s_current, s_previous);
}

void en_dns_blocklist_reset_for_test(void)
{
    Guard guard;
    s_current = 0;
    s_previous = 0;
}
