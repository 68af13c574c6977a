#include "enforcement/framework/agent/en-persistent-storage.h"

#include <glib.h>
#include <glib/gstdio.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "agent-common/agent-main.h"
#include "enforcement/framework/agent/en-api.h"
#include "enforcement/platforms/registry.h"
#include "qapi/qmp-enforcement-types.h"
#include "qapi/qmp-input-visitor.h"
#include "qapi/qmp-output-visitor.h"
#include "qobject/qjson.h"
#include "qobject/qobject.h"
#include "util/atomic-file.h"
#include "util/check-null.h"
#include "util/data-folder.h"
#include "util/error.h"

static_assert(sizeof(en_dns_snapshot_t) == EN_API_DNS_SNAPSHOT_SIZE);

/* Errors of the shared read path carry the public reader's name as their function. */
#define reader_error(errp, reader, ...) \
    error_set_internal((errp), __FILE__, (reader), __LINE__, ERROR_CLASS_GENERIC_ERROR, __VA_ARGS__)

namespace {

struct PathSlot {
    const char *relative;
    bool known;
    char path[PATH_MAX];
};

std::mutex s_paths_lock;
PathSlot s_policy_path = {EN_PERSISTENT_POLICY_FILE, false, {}};
PathSlot s_dns_cache_path = {EN_PERSISTENT_DNS_CACHE_FILE, false, {}};

/* The slot's path, computed on first use; it never changes afterwards. */
const char *slot_path(PathSlot &slot, Error **errp)
{
    std::lock_guard<std::mutex> guard(s_paths_lock);
    if (!slot.known) {
        if (!set_persistent_filename(slot.relative, slot.path, sizeof(slot.path), errp)) {
            return nullptr;
        }
        slot.known = true;
    }
    return slot.path;
}

/* The file's text in the messages: a bad file of many MiB must not become an error of
 * many MiB. Cut on a UTF-8 character boundary. */
std::string raw_excerpt(const char *json, size_t length)
{
    size_t n = std::min<size_t>(length, EN_PERSISTENT_RAW_JSON_MAX);
    while (n > 0 && n < length && (static_cast<unsigned char>(json[n]) & 0xC0) == 0x80) {
        n--;
    }
    std::string out(json, n);
    if (n < length) {
        out += "...";
    }
    return out;
}

enum class ReadResult { content, missing, failed };

/* Steps that the reader reports as "error getting file content". */
ReadResult file_content(const char *path, char **text, size_t *length, Error **errp)
{
    GStatBuf st;
    if (g_stat(path, &st) != 0) {
        int saved = errno;
        if (saved == ENOENT) {
            return ReadResult::missing;
        }
        error_setg(errp, "error reading file size for persistent file '%s': %s", path, g_strerror(saved));
        return ReadResult::failed;
    }
    /* A FIFO or a device would block the start or be deleted as "empty". */
    if (!S_ISREG(st.st_mode)) {
        error_setg(errp, "error reading file size for persistent file '%s': %s", path, "not a regular file");
        return ReadResult::failed;
    }
    if (st.st_size == 0) {
        error_setg(errp, "persistent file '%s' is empty", path);
        if (g_remove(path) != 0) {
            g_warning("[persistent-storage]failed deleting empty persistent configuration file '%s'", path);
        }
        return ReadResult::failed;
    }
    g_debug("[persistent-storage] Reading persistent storage from file %s (size %zu bytes)", path,
            static_cast<size_t>(st.st_size));
    GError *gerr = nullptr;
    gsize len = 0;
    if (!g_file_get_contents(path, text, &len, &gerr)) {
        error_setg(errp, "Unable to read file %s: %s", path, gerr->message);
        g_error_free(gerr);
        return ReadResult::failed;
    }
    *length = len;
    return ReadResult::content;
}

/* The file's JSON object; NULL without *errp when there is no file. */
QObject *read_document(const char *reader, PathSlot &slot, Error **errp)
{
    Error *err = nullptr;
    const char *path = slot_path(slot, &err);
    if (!path) {
        reader_error(errp, reader, "%s", error_get_message(err));
        error_free(err);
        return nullptr;
    }
    char *text = nullptr;
    size_t length = 0;
    switch (file_content(path, &text, &length, &err)) {
    case ReadResult::missing:
        return nullptr;
    case ReadResult::failed:
        reader_error(errp, reader, "error getting file content for '%s': %s", path, error_get_message(err));
        error_free(err);
        return nullptr;
    case ReadResult::content:
        break;
    }
    QObject *doc = json_to_input_visitor(text, length, &err);
    g_free(text);
    if (!doc) {
        reader_error(errp, reader, "%s", error_get_message(err));
        error_free(err);
    }
    return doc;
}

template <typename T>
using VisitFn = void (*)(Visitor *, T **, const char *, Error **);

template <typename T>
T *read_typed(const char *reader, PathSlot &slot, VisitFn<T> visit, void (*free_fn)(T *), Error **errp)
{
    Error *err = nullptr;
    QObject *doc = read_document(reader, slot, &err);
    if (!doc) {
        error_propagate(errp, err);
        return nullptr;
    }
    QmpInputVisitor *qiv = qmp_input_visitor_new(doc);
    qobject_decref(doc);
    T *value = nullptr;
    visit(qmp_input_get_visitor(qiv), &value, nullptr, &err);
    qmp_input_visitor_cleanup(qiv);
    if (err) {
        free_fn(value);
        reader_error(errp, reader, "error converting JSON into type: %s", error_get_message(err));
        error_free(err);
        return nullptr;
    }
    return value;
}

template <typename T>
bool write_typed(PathSlot &slot, VisitFn<T> visit, T *value, Error **errp)
{
    const char *path = slot_path(slot, errp);
    if (!path) {
        return false;
    }
    QmpOutputVisitor *qov = qmp_output_visitor_new();
    Error *err = nullptr;
    visit(qmp_output_get_visitor(qov), &value, nullptr, &err);
    if (err) {
        qmp_output_visitor_cleanup(qov);
        error_setg(errp, "conversion of content to JSON caused failed: %s", error_get_message(err));
        error_free(err);
        return false;
    }
    char *json = qmp_output_get_json(qov, true);
    bool ok = atomic_file_replace(path, json, strlen(json), 0600, &err);
    g_free(json);
    if (!ok) {
        error_setg(errp, "can't write JSON to file: %s", error_get_message(err));
        error_free(err);
    }
    return ok;
}

/* "::ffff:1.2.3.4" holds a '.', which en_parse_ip takes for IPv4: the text the save step
 * writes for a v4-mapped address must read back. */
bool parse_cache_ip(const char *text, en_ip_addr_t *out)
{
    if (strchr(text, ':')) {
        memset(out, 0, sizeof(*out));
        return _en_pton(EN_AF_INET6, text, &out->addr);
    }
    return en_parse_ip(text, out);
}

struct SnapshotFree {
    void operator()(en_dns_snapshot_t *snapshot) const { g_free(snapshot); }
};
using SnapshotPtr = std::unique_ptr<en_dns_snapshot_t, SnapshotFree>;

SnapshotPtr new_snapshot()
{
    SnapshotPtr snapshot(static_cast<en_dns_snapshot_t *>(g_malloc0(sizeof(en_dns_snapshot_t))));
    snapshot->capacity = EN_DNS_SNAPSHOT_CAPACITY;
    return snapshot;
}

} // namespace

bool set_persistent_filename(const char *relative_path, char *out_path, size_t out_size, Error **errp)
{
    AGENT_CHECK_NULL_ERR(relative_path, "relative_path", errp, false);
    AGENT_CHECK_NULL_ERR(out_path, "out_path", errp, false);
    Error *err = nullptr;
    g_autofree char *value = platform_registry_read_string(AGENT_DEFAULT_CONFIG_KEY, "HV_DATA_FOLDER", &err);
    g_autofree char *folder = nullptr;
    data_folder_fault_t fault = data_folder_check(value, &folder);
    if (fault != DATA_FOLDER_VALID) {
        /* The files would land at the file system's root or under the working directory. */
        if (err) {
            error_setg(errp, "unable to get Holvenstad program data folder: %s", error_get_message(err));
        } else if (fault == DATA_FOLDER_EMPTY) {
            error_setg(errp, "unable to get Holvenstad program data folder: empty value");
        } else {
            error_setg(errp, "unable to get Holvenstad program data folder: HV_DATA_FOLDER '%s' %s", value,
                       data_folder_fault_text(fault));
        }
        error_free(err);
        return false;
    }
    int n = snprintf(out_path, out_size, "%s%s", folder, relative_path);
    if (n < 0 || static_cast<size_t>(n) >= out_size) {
        if (out_size > 0) {
            out_path[0] = '\0';
        }
        error_setg(errp, "error setting persistent config file path (relative path: '%s'), path too long (%d bytes)",
                   relative_path, n);
        return false;
    }
    return true;
}

QObject *json_to_input_visitor(const char *json, size_t length, Error **errp)
{
    AGENT_CHECK_NULL_ERR(json, "json", errp, nullptr);
    Error *err = nullptr;
    QObject *obj = qobject_from_json_len(json, length, &err);
    if (!obj) {
        std::string raw = raw_excerpt(json, length);
        if (err) {
            error_setg(errp, "cant read persistent json from file: %s. Raw JSON='%s'", error_get_message(err),
                       raw.c_str());
            error_free(err);
        } else {
            error_setg(errp, "cant read persistent json from file. Raw JSON='%s'", raw.c_str());
        }
        return nullptr;
    }
    if (qobject_type(obj) != QTYPE_QDICT) {
        error_setg(errp, "invalid format of persistent json file. Raw JSON='%s'", raw_excerpt(json, length).c_str());
        qobject_decref(obj);
        return nullptr;
    }
    return obj;
}

EnforcementPolicyOutputJson *persistent_EnforcementPolicyOutputJson_get(Error **errp)
{
    return read_typed<EnforcementPolicyOutputJson>(__func__, s_policy_path, visit_type_EnforcementPolicyOutputJson,
                                                   qapi_free_EnforcementPolicyOutputJson, errp);
}

bool persistent_EnforcementPolicyOutputJson_dump(EnforcementPolicyOutputJson *policy, Error **errp)
{
    AGENT_CHECK_NULL_ERR(policy, "policy", errp, false);
    /* A shallow copy: the output visitor only reads, and the caller's flag stays as it was. */
    EnforcementPolicyOutputJson shown = *policy;
    shown.has_dc_inventory_revision = policy->has_dc_inventory_revision && policy->dc_inventory_revision != 0;
    return write_typed<EnforcementPolicyOutputJson>(s_policy_path, visit_type_EnforcementPolicyOutputJson, &shown,
                                                    errp);
}

EnforcementDnsCache *persistent_EnforcementDnsCache_get(Error **errp)
{
    return read_typed<EnforcementDnsCache>(__func__, s_dns_cache_path, visit_type_EnforcementDnsCache,
                                           qapi_free_EnforcementDnsCache, errp);
}

bool persistent_EnforcementDnsCache_dump(EnforcementDnsCache *cache, Error **errp)
{
    AGENT_CHECK_NULL_ERR(cache, "cache", errp, false);
    return write_typed<EnforcementDnsCache>(s_dns_cache_path, visit_type_EnforcementDnsCache, cache, errp);
}

void persistent_policy_move_aside(void)
{
    const char *path = slot_path(s_policy_path, nullptr);
    if (!path) {
        return;
    }
    g_autofree char *aside = g_strdup_printf("%s.invalid", path);
    g_message("[persistent-storage]moving aside invalid persistent policy '%s' onto '%s'", path, aside);
    if (g_rename(path, aside) != 0) {
        g_warning("[persistent-storage]failed moving invalid persistent policy");
    }
}

void persistent_storage_reset_for_test(void)
{
    std::lock_guard<std::mutex> guard(s_paths_lock);
    s_policy_path.known = false;
    s_dns_cache_path.known = false;
}

void en_dns_cache_save(en_handle *handle)
{
    AGENT_CHECK_NULL(handle, "handle", );
    SnapshotPtr snapshot = new_snapshot();
    if (!en_api_get_dns_snapshot(handle, snapshot.get())) {
        g_critical("[main] failed to get the DNS snapshot");
        return;
    }
    uint64_t count = snapshot->count;
    if (count > EN_DNS_SNAPSHOT_CAPACITY) {
        g_warning("[main] DNS snapshot reports %llu records, more than its capacity %d; keeping %d",
                  static_cast<unsigned long long>(count), EN_DNS_SNAPSHOT_CAPACITY, EN_DNS_SNAPSHOT_CAPACITY);
        count = EN_DNS_SNAPSHOT_CAPACITY;
    }
    EnforcementDnsCache *cache = qapi_alloc_EnforcementDnsCache();
    for (uint64_t i = 0; i < count; i++) {
        const en_dns_snapshot_record_t &slot = snapshot->records[i];
        en_ip_addr_t addr;
        memcpy(&addr, &slot.ip, sizeof(addr));
        char ip[48];
        if (!en_ip_to_str(&addr, ip, sizeof(ip))) {
            g_warning("[main] failed converting an IP of DNS cache. skipping.");
            continue;
        }
        /* The driver's name may lack its NUL: never read past the slot. */
        g_autofree char *name = g_strndup(slot.name, sizeof(slot.name));
        EnforcementDnsCacheRecordList *node =
            qapi_new_EnforcementDnsCacheRecordList_elem(name, ip, slot.ts, slot.start_ts);
        node->next = cache->records;
        cache->records = node;
    }
    Error *err = nullptr;
    if (!persistent_EnforcementDnsCache_dump(cache, &err)) {
        g_warning("[main] failed persisting DNS cache: %s", error_get_message(err));
        error_free(err);
    }
    qapi_free_EnforcementDnsCache(cache);
}

void en_dns_cache_restore(en_handle *handle)
{
    AGENT_CHECK_NULL(handle, "handle", );
    Error *err = nullptr;
    EnforcementDnsCache *cache = persistent_EnforcementDnsCache_get(&err);
    if (!cache) {
        g_message("[main] could not get persistent DNS cache from file: %s",
                  err ? error_get_message(err) : "no such file");
        error_free(err);
        return;
    }
    g_message("[main] got enforcement DNS cache from file");
    SnapshotPtr snapshot = new_snapshot();
    uint64_t n = 0;
    for (const EnforcementDnsCacheRecordList *node = cache->records; node && n < EN_DNS_SNAPSHOT_CAPACITY;
         node = node->next) {
        const EnforcementDnsCacheRecord *record = node->value;
        if (!record || !record->name || !record->ip) {
            continue;
        }
        en_dns_snapshot_record_t &slot = snapshot->records[n];
        g_strlcpy(slot.name, record->name, EN_DNS_NAME_RESTORE_MAX + 1);
        en_ip_addr_t addr;
        if (!parse_cache_ip(record->ip, &addr)) {
            g_critical("[main] failed to convert IP string \"%s\"", record->ip);
            qapi_free_EnforcementDnsCache(cache);
            return;
        }
        memcpy(&slot.ip, &addr, sizeof(addr));
        slot.ts = record->ts;
        slot.start_ts = record->start_ts;
        n++;
    }
    qapi_free_EnforcementDnsCache(cache);
    snapshot->count = n;
    if (!en_api_set_dns_snapshot(handle, snapshot.get())) {
        g_critical("[main] failed to set the DNS snapshot");
    }
}
