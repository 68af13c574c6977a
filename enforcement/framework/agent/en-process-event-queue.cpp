#include "enforcement/framework/agent/en-process-event-queue.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "agent-common/agent-metrics.h"
#include "agent-common/logger.h"
#include "agent-common/net-event.h"
#include "agent-common/nnmsg-channel.h"
#include "util/agent-assert.h"
#include "util/check-null.h"
#include "util/error.h"

using ull = unsigned long long;

struct process_event_queue {
    GThread *worker_thread;
    GAsyncQueue *queue; /* process_queue_entry, freed with the queue */
    std::atomic<bool> stop;
    bool batch;
};

namespace {

constexpr size_t kImagePathBufferSize = 260;
constexpr gint64 kPopTimeoutUs = G_USEC_PER_SEC;

void entry_free(gpointer data)
{
    auto *entry = static_cast<process_queue_entry *>(data);
    if (entry) {
        en_process_info_free(entry->proc_info);
        g_free(entry->cmdline);
        g_free(entry);
    }
}

/* Reads the command line of pid while it is queued: the process may be gone by the time
 * the worker runs. */
char *read_command_line(uint64_t pid)
{
    en_process_query_session *session = initialize_process_query_session(pid, nullptr);
    if (!session) {
        return nullptr;
    }
    char **args = get_process_command_line(session, nullptr);
    close_process_query_session(session);
    char *joined = args ? en_process_join_command_line(args) : nullptr;
    g_strfreev(args);
    return joined;
}

bool send_message(const uint8_t *msg, size_t len, Error **errp)
{
    return nnmsg_channel_report_send(msg, len, errp);
}

void note_wait(gint64 now, const process_queue_entry *entry)
{
    gint64 wait = now - entry->enqueue_time;
    if (wait > 0 && static_cast<uint64_t>(wait) > agent_metrics_get("process_queue.max_time")) {
        agent_metrics_set("process_queue.max_time", static_cast<uint64_t>(wait));
    }
}

/* Builds one entry's event as the record at *used of buf; true when it was added. */
bool add_record(process_queue_entry *entry, uint8_t *buf, size_t *used)
{
    const en_process_info_t *info = entry->proc_info;
    if (info->app_name) {
        g_debug("[process-event][background] creating a net process event for pid: %llu name: %s",
                static_cast<ull>(info->pid), info->app_name);
    } else {
        g_debug("[process-event][background] creating a net process event for pid without app name: %llu",
                static_cast<ull>(info->pid));
    }
    size_t len = PROCESS_EVENT_SPACE;
    Error *err = nullptr;
    bool built = enrich_and_build_process_event(entry, buf + *used + NET_EVENT_RECORD_HEADER_SIZE, &len, &err);
    if (built) {
        net_event_write_record_header(buf + *used, static_cast<uint16_t>(len));
        *used += NET_EVENT_RECORD_HEADER_SIZE + len;
    } else {
        agent_metrics_add("process_queue.error.dropped_events", 1);
        g_warning("[process-event][background] error building buffer for process info of pid %llu: %s",
                  static_cast<ull>(info->pid), err ? error_get_message(err) : "");
        error_free(err);
    }
    g_debug("[process-event][background] sent a net process event for pid: %llu", static_cast<ull>(info->pid));
    return built;
}

/* Sends what one round collected; false when the worker must leave at once. */
bool send_round(process_event_queue *q, const uint8_t *buf, size_t used, int count)
{
    Error *err = nullptr;
    if (count == 1) {
        size_t len = used - NET_EVENT_RECORD_HEADER_SIZE;
        if (!send_message(buf + NET_EVENT_RECORD_HEADER_SIZE, len, &err)) {
            agent_metrics_add("process_queue.error.dropped_events", 1);
            g_warning("[process-event][background] failed sending a single processes event (%zu bytes) toward "
                      "Vistor agent: %s",
                      len, error_get_message(err));
            error_free(err);
            return true;
        }
        agent_metrics_add("process_queue.reported_events", 1);
        agent_metrics_add("process_queue.reported_batches", 1);
        return true;
    }
    if (!send_message(buf, used, &err)) {
        agent_metrics_add("process_queue.error.dropped_events", static_cast<uint64_t>(count));
        g_warning("[process-event][background] failed sending batch of %d processes (%zu bytes) toward Vistor "
                  "agent: %s",
                  count, used, error_get_message(err));
        error_free(err);
        return !q->stop;
    }
    agent_metrics_add("process_queue.reported_events", static_cast<uint64_t>(count));
    agent_metrics_add("process_queue.reported_batches", 1);
    return true;
}

gpointer worker_main(gpointer data)
{
    auto *q = static_cast<process_event_queue *>(data);
    g_debug("[process-event][background] starting process event worker thread");
    size_t size = q->batch ? PROCESS_EVENT_BATCH_BUFFER_SIZE : PROCESS_EVENT_SINGLE_BUFFER_SIZE;
    auto *buf = static_cast<uint8_t *>(g_malloc(size));
    while (!q->stop) {
        auto *entry = static_cast<process_queue_entry *>(g_async_queue_timeout_pop(q->queue, kPopTimeoutUs));
        if (!entry) {
            continue;
        }
        gint64 now = g_get_monotonic_time();
        gint pending = q->batch ? std::max(g_async_queue_length(q->queue), 0) : 0;
        size_t used = 0;
        int count = 0;
        while (entry) {
            note_wait(now, entry);
            count += add_record(entry, buf, &used) ? 1 : 0;
            entry_free(entry);
            entry = nullptr;
            if (pending == 0 || !q->batch || used > PROCESS_EVENT_BATCH_THRESHOLD) {
                break;
            }
            entry = static_cast<process_queue_entry *>(g_async_queue_try_pop(q->queue));
            pending--;
            if (!entry) {
                g_critical("[process-event][background] process event queue is empty although size is enough!");
            }
        }
        if (count > 0 && !send_round(q, buf, used, count)) {
            break;
        }
    }
    g_debug("[process-event][background] net process event worker thread exit");
    g_free(buf);
    return nullptr;
}

} // namespace

process_event_queue *process_event_queue_new(bool batch)
{
    agent_metrics_set("process_queue.max_time", 0);
    agent_metrics_set("process_queue.no_proc_root", 0);
    auto *q = new process_event_queue{};
    q->queue = g_async_queue_new_full(entry_free);
    q->batch = batch;
    if (batch) {
        g_debug("[process-event] process event queue support batch events sending");
    }
    return q;
}

void process_event_queue_start(process_event_queue *process_event_queue)
{
    AGENT_ASSERT(NULL != process_event_queue);
    AGENT_ASSERT(NULL == process_event_queue->worker_thread);
    process_event_queue->stop = false;
    process_event_queue->worker_thread = g_thread_new("process-event-worker", worker_main, process_event_queue);
}

void process_event_queue_stop(process_event_queue *process_event_queue)
{
    AGENT_CHECK_NULL(process_event_queue, "process_event_queue", );
    process_event_queue->stop = true;
    if (process_event_queue->worker_thread) {
        g_debug("[process-event] waiting for worker thread to exit");
        g_thread_join(process_event_queue->worker_thread);
        process_event_queue->worker_thread = nullptr;
        g_debug("[process-event] worker thread stopped successfully");
    }
}

void process_event_queue_destroy(process_event_queue *process_event_queue)
{
    AGENT_CHECK_NULL(process_event_queue, "process_event_queue", );
    process_event_queue_stop(process_event_queue);
    g_async_queue_unref(process_event_queue->queue);
    delete process_event_queue;
}

void send_net_process_event_async(process_event_queue *process_event_queue, const en_process_info_t *proc_info)
{
    AGENT_CHECK_NULL(process_event_queue, "process_event_queue", );
    AGENT_CHECK_NULL(proc_info, "proc_info", );
    if (g_async_queue_length(process_event_queue->queue) >= PROCESS_EVENT_QUEUE_MAX_ENTRIES) {
        g_warning("[process-event] queue is full, not inserting new proc infos");
        return;
    }
    auto *entry = g_new0(process_queue_entry, 1);
    entry->proc_info = en_process_info_copy(proc_info);
    entry->cmdline = read_command_line(proc_info->pid);
    entry->enqueue_time = g_get_monotonic_time();
    if (proc_info->app_name) {
        g_debug("[process-event] add to queue proc with pid %llu name: %s", static_cast<ull>(proc_info->pid),
                proc_info->app_name);
    } else {
        g_debug("[process-event] add to queue proc with pid %llu", static_cast<ull>(proc_info->pid));
    }
    g_async_queue_push(process_event_queue->queue, entry);
}

bool enrich_and_build_process_event(const process_queue_entry *proc_queue_entry, uint8_t *out, size_t *len,
                                    Error **errp)
{
    AGENT_CHECK_NULL_ERR(proc_queue_entry, "proc_queue_entry", errp, false);
    AGENT_CHECK_NULL_ERR(proc_queue_entry->proc_info, "proc_queue_entry->proc_info", errp, false);
    const en_process_info_t *info = proc_queue_entry->proc_info;
    AGENT_CHECK_NULL_ERR(info->image_path, "proc_info->image_info.image_path", errp, false);

    g_autofree char *username = nullptr;
    g_autofree char *cwd = nullptr;
    en_file_attributes attrs{};
    bool have_attrs = false;
    en_process_query_session *session = initialize_process_query_session(info->pid, nullptr);
    g_autofree char *current_image = session ? get_process_module_image_path(session, nullptr) : nullptr;
    /* Only while the pid still runs the queued program does it describe that process. */
    if (current_image && strcmp(current_image, info->image_path) == 0) {
        username = get_process_username(session, nullptr);
        cwd = get_process_current_directory(session, nullptr);
        close_process_query_session(session);
        session = nullptr;
        if (strlen(info->image_path) < kImagePathBufferSize) {
            Error *err = nullptr;
            have_attrs = guest_file_attributes(info->image_path, &attrs, &err);
            if (!have_attrs) {
                g_debug("[process-event][background] %s", error_get_message(err));
                error_free(err);
            }
        }
    }
    close_process_query_session(session);
    if (!en_process_event_create(info, username, cwd, proc_queue_entry->cmdline, have_attrs ? &attrs : nullptr,
                                 nullptr, out, len)) {
        error_setg(errp, "failed to create event");
        return false;
    }
    return true;
}

bool en_process_event_create(const en_process_info_t *proc_info, const char *username, const char *cwd,
                             const char *cmdline, const en_file_attributes *file_attrs,
                             const en_file_hashes *file_hashes, uint8_t *out, size_t *len)
{
    static const char *const kSignature =
        "bool en_process_event_create(const en_process_info_t *, const char *, const char *, const char *, "
        "const en_file_attributes *, const en_file_hashes *, uint8_t *, size_t *)";
    if (!proc_info) {
        g_critical("[%s:%d] %s is NULL", kSignature, __LINE__, "proc_info");
        return false;
    }
    if (!proc_info->image_path) {
        g_critical("[%s:%d] %s is NULL", kSignature, __LINE__, "proc_info->image_info.image_path");
        return false;
    }
    auto set = [](const char *value, auto setter) {
        if (value && *value) {
            setter(value);
        }
    };
    NetEvent event;
    event.set_type(NetEvent::Process);
    net_event_set_time(&event);
    NetProcessEvent *p = event.MutableExtension(NetProcessEvent::header);
    p->set_type(NetProcessEvent::StartedConnection);
    p->set_pid(static_cast<uint32_t>(proc_info->pid));
    p->set_ppid(static_cast<uint32_t>(proc_info->ppid));
    /* Required by the schema: an image named ".x" has an empty name, which still goes. */
    p->set_process_name(proc_info->app_name ? proc_info->app_name : "");
    set(proc_info->parent_name, [p](const char *v) { p->set_parent_name(v); });
    set(proc_info->image_path, [p](const char *v) { p->set_image_path(v); });
    set(proc_info->cgroups, [p](const char *v) { p->set_cgroups(v); });
    set(username, [p](const char *v) { p->set_username(v); });
    set(cwd, [p](const char *v) { p->set_cwd(v); });
    set(cmdline, [p](const char *v) { p->set_cmdline(v); });
    if (file_attrs) {
        FileAttributes_pb *a = p->mutable_file_attrs();
        a->set_mode(file_attrs->mode);
        a->set_size(file_attrs->size);
        a->set_access_time(file_attrs->access_time);
        a->set_modification_time(file_attrs->modification_time);
        a->set_creation_time(file_attrs->creation_time);
        if (file_attrs->has_inode) {
            a->set_inode(file_attrs->inode);
        }
    }
    if (file_hashes) {
        GuestFileHashes_pb *h = p->mutable_file_hashes();
        set(file_hashes->md5, [h](const char *v) { h->set_md5(v); });
        set(file_hashes->sha1, [h](const char *v) { h->set_sha1(v); });
        set(file_hashes->sha256, [h](const char *v) { h->set_sha256(v); });
    }
    if (logger_get_level() & G_LOG_LEVEL_DEBUG) {
        g_debug("[event logger] process event: %s", event.ShortDebugString().c_str());
    }
    Error *err = nullptr;
    if (!serialize_event(&event, out, len, &err)) {
        g_critical("[event] error serializing event: %s", error_get_message(err));
        error_free(err);
        return false;
    }
    return true;
}
