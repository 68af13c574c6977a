#include "agent-common/agent-metrics.h"

#include "agent-common/expireable-table.h"

#include <glib.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdint>
#include <cstring>

#include "qapi/qmp-common-commands.h"
#include "qobject/qobject.h"
#include "util/agent-assert.h"
#include "util/error.h"

namespace {

constexpr size_t kMaxNameLength = 255;

struct Metric {
    char name[kMaxNameLength + 1];
    uint64_t value;
};

GMutex s_lock;
GHashTable *s_metrics; /* name (borrowed from the record) -> Metric */
std::atomic<agent_metrics_module_hook> s_module_hook{nullptr};

constexpr size_t kMaxTraceNameLength = 223;
constexpr guint kTraceCapacity = 100;
constexpr gint64 kTraceExpireUs = gint64{30} * G_USEC_PER_SEC;

/* Both the key and the value of its entry in s_traces. */
struct Trace {
    char name[kMaxTraceNameLength + 1];
    GThread *thread; /* a reference */
    gint64 start;
};

GMutex s_trace_lock;
expireable_table *s_traces;
guint s_expiry_timer;

guint trace_hash(gconstpointer key)
{
    const auto *t = static_cast<const Trace *>(key);
    return g_str_hash(t->name) * 3u + static_cast<guint>(reinterpret_cast<uintptr_t>(t->thread)) * 5u;
}

gboolean trace_equal(gconstpointer a, gconstpointer b)
{
    const auto *x = static_cast<const Trace *>(a);
    const auto *y = static_cast<const Trace *>(b);
    return x->thread == y->thread && strcmp(x->name, y->name) == 0;
}

void trace_free(Trace *t)
{
    g_thread_unref(t->thread);
    g_free(t);
}

void trace_entry_free(gpointer key, gpointer)
{
    trace_free(static_cast<Trace *>(key));
}

/* The lookup key of name on the calling thread; borrows the thread. */
void trace_key(Trace *key, const char *name)
{
    g_strlcpy(key->name, name, sizeof key->name);
    key->thread = g_thread_self();
    key->start = 0;
}

void expire_traces(void)
{
    for (;;) {
        gpointer key = nullptr;
        gint64 age = 0;
        g_mutex_lock(&s_trace_lock);
        bool popped = s_traces && expireable_table_pop_expired(s_traces, &key, nullptr, &age);
        g_mutex_unlock(&s_trace_lock);
        if (!popped) {
            return;
        }
        auto *t = static_cast<Trace *>(key);
        agent_metrics_add("%s.expire", 1, t->name);
        agent_metrics_add("%s.time", static_cast<uint64_t>(age), t->name);
        g_warning("[metrics] popped an expired metric (trace enter without exit after %llu microseconds): %s",
                  static_cast<unsigned long long>(age), t->name);
        trace_free(t);
    }
}

gboolean expiry_timer(gpointer)
{
    expire_traces();
    return G_SOURCE_CONTINUE;
}

void format_name(char (&name)[kMaxNameLength + 1], const char *fmt, va_list ap)
{
    vsnprintf(name, sizeof name, fmt, ap);
}

/* Caller holds the lock and has checked that the table exists. */
Metric *find_or_create(const char *name)
{
    Metric *m = static_cast<Metric *>(g_hash_table_lookup(s_metrics, name));
    if (!m) {
        m = g_new0(Metric, 1);
        g_strlcpy(m->name, name, sizeof m->name);
        g_hash_table_insert(s_metrics, m->name, m);
    }
    return m;
}

enum class Op { Add, Set, Reset, Remove };

void update(Op op, uint64_t amount, const char *fmt, va_list ap)
{
    char name[kMaxNameLength + 1];
    format_name(name, fmt, ap);
    g_mutex_lock(&s_lock);
    if (s_metrics) {
        switch (op) {
        case Op::Add:
            find_or_create(name)->value += amount;
            break;
        case Op::Set:
            find_or_create(name)->value = amount;
            break;
        case Op::Reset:
            if (Metric *m = static_cast<Metric *>(g_hash_table_lookup(s_metrics, name))) {
                m->value = 0;
            }
            break;
        case Op::Remove:
            g_hash_table_remove(s_metrics, name);
            break;
        }
    }
    g_mutex_unlock(&s_lock);
}

void append_metric(AgentMetricList ***tail, const char *name, uint64_t value)
{
    AgentMetricList *node = qapi_new_AgentMetricList(qapi_new_AgentMetric(name, value));
    **tail = node;
    *tail = &node->next;
}

} // namespace

bool initialize_agent_metrics(void)
{
    g_mutex_lock(&s_lock);
    AGENT_ASSERT(NULL == s_metrics);
    g_mutex_unlock(&s_lock);
    expireable_table *traces = expireable_table_create(kTraceCapacity, kTraceExpireUs, trace_hash, trace_equal);
    if (!traces) {
        return false;
    }
    g_mutex_lock(&s_trace_lock);
    s_traces = traces;
    g_mutex_unlock(&s_trace_lock);
    s_expiry_timer = g_timeout_add(1000, expiry_timer, nullptr);
    g_mutex_lock(&s_lock);
    s_metrics = g_hash_table_new_full(g_str_hash, g_str_equal, nullptr, g_free);
    g_mutex_unlock(&s_lock);
    return true;
}

void agent_metrics_cleanup(void)
{
    g_mutex_lock(&s_lock);
    bool initialized = s_metrics != nullptr;
    g_mutex_unlock(&s_lock);
    if (!initialized) {
        return;
    }
    g_mutex_lock(&s_trace_lock);
    expireable_table_destroy(s_traces, trace_entry_free);
    s_traces = nullptr;
    g_mutex_unlock(&s_trace_lock);
    if (s_expiry_timer) {
        g_source_remove(s_expiry_timer);
        s_expiry_timer = 0;
    }
    g_mutex_lock(&s_lock);
    g_hash_table_destroy(s_metrics);
    s_metrics = nullptr;
    g_mutex_unlock(&s_lock);
}

void agent_metrics_trace_enter(const char *name)
{
    agent_metrics_add("%s.enter", 1, name);
    auto *t = g_new(Trace, 1);
    trace_key(t, name);
    g_mutex_lock(&s_trace_lock);
    if (!s_traces) {
        g_mutex_unlock(&s_trace_lock);
        g_free(t);
        return;
    }
    if (expireable_table_contains(s_traces, t)) {
        g_mutex_unlock(&s_trace_lock);
        g_warning("[metrics] a second trace enter without exit: %s", t->name);
        g_free(t);
        return;
    }
    g_thread_ref(t->thread);
    t->start = g_get_monotonic_time();
    bool added = expireable_table_add(s_traces, t, t);
    g_mutex_unlock(&s_trace_lock);
    if (!added) {
        g_warning("[metrics] error adding new trace to expireable table: %s", t->name);
        trace_free(t);
    }
}

void agent_metrics_trace_exit(const char *name)
{
    agent_metrics_add("%s.exit", 1, name);
    Trace key;
    trace_key(&key, name);
    g_mutex_lock(&s_trace_lock);
    if (!s_traces) {
        g_mutex_unlock(&s_trace_lock);
        return;
    }
    auto *t = static_cast<Trace *>(
        expireable_table_contains(s_traces, &key) ? expireable_table_pop(s_traces, &key) : nullptr);
    g_mutex_unlock(&s_trace_lock);
    if (!t) {
        g_warning("[metrics] trace exit without enter: %s", key.name);
        return;
    }
    agent_metrics_add("%s.time", static_cast<uint64_t>(g_get_monotonic_time() - t->start), t->name);
    trace_free(t);
}

void agent_metrics_expire_all_traces(void)
{
    g_mutex_lock(&s_trace_lock);
    if (s_traces) {
        expireable_table_expire_all(s_traces);
    }
    g_mutex_unlock(&s_trace_lock);
    expire_traces();
}

void agent_metrics_add(const char *name_fmt, uint64_t delta, ...)
{
    va_list ap;
    va_start(ap, delta);
    update(Op::Add, delta, name_fmt, ap);
    va_end(ap);
}

void agent_metrics_set(const char *name_fmt, uint64_t value, ...)
{
    va_list ap;
    va_start(ap, value);
    update(Op::Set, value, name_fmt, ap);
    va_end(ap);
}

void agent_metrics_reset(const char *name_fmt, ...)
{
    va_list ap;
    va_start(ap, name_fmt);
    update(Op::Reset, 0, name_fmt, ap);
    va_end(ap);
}

void agent_metrics_remove(const char *name_fmt, ...)
{
    va_list ap;
    va_start(ap, name_fmt);
    update(Op::Remove, 0, name_fmt, ap);
    va_end(ap);
}

uint64_t agent_metrics_get(const char *name_fmt, ...)
{
    char name[kMaxNameLength + 1];
    va_list ap;
    va_start(ap, name_fmt);
    format_name(name, name_fmt, ap);
    va_end(ap);
    uint64_t value = 0;
    g_mutex_lock(&s_lock);
    if (s_metrics) {
        if (const Metric *m = static_cast<Metric *>(g_hash_table_lookup(s_metrics, name))) {
            value = m->value;
        }
    }
    g_mutex_unlock(&s_lock);
    return value;
}

void agent_metrics_set_module_hook(agent_metrics_module_hook hook)
{
    s_module_hook.store(hook);
}

AgentMetricList *qmp_get_agent_metrics(bool has_clean, bool clean, bool has_starts_with,
                                       const char *starts_with, bool has_ends_with,
                                       const char *ends_with, bool has_include_qobjects,
                                       bool include_qobjects, Error **errp)
{
    (void)starts_with;
    (void)ends_with;
    g_mutex_lock(&s_lock);
    bool initialized = s_metrics != nullptr;
    g_mutex_unlock(&s_lock);
    if (!initialized) {
        error_setg(errp, "agent metrics module isn't initialized");
        return nullptr;
    }
    if (has_starts_with || has_ends_with) {
        error_set(errp, ERROR_CLASS_NOT_IMPLEMENTED, "unsupported arguments for 'get-agent-metrics': ");
        return nullptr;
    }
    if (agent_metrics_module_hook hook = s_module_hook.load()) {
        Error *local = nullptr;
        if (!hook(&local)) {
            error_setg(errp, "error getting module internal metrics: %s",
                       local ? error_get_message(local) : "unknown error");
            error_free(local);
            return nullptr;
        }
    }

    const bool reset_after_copy = !(has_clean && !clean);
    AgentMetricList *head = nullptr;
    AgentMetricList **tail = &head;
    g_mutex_lock(&s_lock);
    if (s_metrics) {
        GHashTableIter iter;
        gpointer value;
        g_hash_table_iter_init(&iter, s_metrics);
        while (g_hash_table_iter_next(&iter, nullptr, &value)) {
            Metric *m = static_cast<Metric *>(value);
            append_metric(&tail, m->name, m->value);
            if (reset_after_copy) {
                m->value = 0;
            }
        }
    }
    g_mutex_unlock(&s_lock);

    if (has_include_qobjects && include_qobjects) {
        for (int code = QTYPE_QNULL; code < QTYPE_MAX; code++) {
            const char *type = qobject_type_name(static_cast<qtype_code>(code));
            QObjectStats st = qobject_get_stats(static_cast<qtype_code>(code));
            char name[kMaxNameLength + 1];
            snprintf(name, sizeof name, "qobjects.%s.active-objects-count", type);
            append_metric(&tail, name, st.active_objects);
            snprintf(name, sizeof name, "qobjects.%s.active-memory_size", type);
            append_metric(&tail, name, st.active_memory);
            snprintf(name, sizeof name, "qobjects.%s.alloc-fields-memory-size", type);
            append_metric(&tail, name, st.field_memory);
            snprintf(name, sizeof name, "qobjects.%s.alloc-memory-size", type);
            append_metric(&tail, name, st.allocated_memory);
        }
    }
    return head;
}

void qmp_clear_agent_metrics(Error **errp)
{
    g_mutex_lock(&s_lock);
    if (s_metrics) {
        g_hash_table_remove_all(s_metrics);
    } else {
        error_setg(errp, "agent metrics module isn't initialized");
    }
    g_mutex_unlock(&s_lock);
}
