#include "enforcement/driver-daemon/endr-state.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <glib.h>
#include <glib/gstdio.h>

#include <cinttypes>
#include <cstdlib>
#include <mutex>

#include "qobject/qbool.h"
#include "qobject/qdict.h"
#include "qobject/qint.h"
#include "qobject/qjson.h"
#include "qobject/qlist.h"
#include "qobject/qstring.h"
#include "qobject/quint.h"
#include "util/error.h"

namespace endr {

namespace {

struct QRef {
    QObject *o = nullptr;
    ~QRef()
    {
        if (o) {
            qobject_decref(o);
        }
    }
};

/* Typed reads that tolerate absence and report a wrong type in *bad. */
bool get_u64(const QDict *d, const char *key, uint64_t *out, bool *bad)
{
    QObject *o = d ? qdict_get(d, key) : nullptr;
    if (!o) {
        return false;
    }
    if (const QUInt *u = qobject_to_quint(o)) {
        *out = quint_get_uint(u);
        return true;
    }
    if (const QInt *i = qobject_to_qint(o); i && qint_get_int(i) >= 0) {
        *out = static_cast<uint64_t>(qint_get_int(i));
        return true;
    }
    *bad = true;
    return false;
}

bool get_bool(const QDict *d, const char *key, bool *out, bool *bad)
{
    QObject *o = d ? qdict_get(d, key) : nullptr;
    if (!o) {
        return false;
    }
    if (const QBool *b = qobject_to_qbool(o)) {
        *out = qbool_get_bool(b);
        return true;
    }
    *bad = true;
    return false;
}

bool get_str(const QDict *d, const char *key, std::string *out, bool *bad)
{
    QObject *o = d ? qdict_get(d, key) : nullptr;
    if (!o) {
        return false;
    }
    if (const QString *s = qobject_to_qstring(o)) {
        out->assign(qstring_get_str(s), qstring_get_length(s));
        return true;
    }
    *bad = true;
    return false;
}

const QDict *get_dict(const QDict *d, const char *key, bool *bad)
{
    QObject *o = d ? qdict_get(d, key) : nullptr;
    if (!o) {
        return nullptr;
    }
    const QDict *r = qobject_to_qdict(o);
    *bad |= r == nullptr;
    return r;
}

template <size_t N> bool get_u64_array(const QDict *d, const char *key, std::array<uint64_t, N> *out, bool *bad)
{
    QObject *o = d ? qdict_get(d, key) : nullptr;
    if (!o) {
        return false;
    }
    const QList *l = qobject_to_qlist(o);
    if (!l || qlist_size(l) != N) {
        *bad = true;
        return false;
    }
    size_t i = 0;
    for (const QListEntry *e = qlist_first(l); e; e = qlist_next(e), i++) {
        const QUInt *u = qobject_to_quint(e->value);
        if (!u) {
            *bad = true;
            return false;
        }
        (*out)[i] = quint_get_uint(u);
    }
    return true;
}

void put_u64_map(QDict *parent, const char *key, const std::map<std::string, uint64_t> &m)
{
    QDict *d = qdict_new();
    for (const auto &[k, v] : m) {
        qdict_put(d, k.c_str(), quint_from_uint(v));
    }
    qdict_put(parent, key, d);
}

bool get_u64_map(const QDict *d, const char *key, std::map<std::string, uint64_t> *out, bool *bad)
{
    const QDict *m = get_dict(d, key, bad);
    if (!m) {
        return false;
    }
    for (const QDictEntry *e = qdict_first(m); e; e = qdict_next(m, e)) {
        uint64_t v;
        if (!get_u64(m, e->key, &v, bad)) {
            return false;
        }
        (*out)[e->key] = v;
    }
    return true;
}

template <size_t N> QList *u64_list(const std::array<uint64_t, N> &a)
{
    QList *l = qlist_new();
    for (uint64_t v : a) {
        qlist_append(l, quint_from_uint(v));
    }
    return l;
}

std::string current_boot_id()
{
    gchar *text = nullptr;
    std::string id;
    if (g_file_get_contents("/proc/sys/kernel/random/boot_id", &text, nullptr, nullptr)) {
        id = g_strstrip(text);
    }
    g_free(text);
    return id;
}

/* A state written during another boot: the driver is not loaded any more. */
void forget_previous_boot(State *s, const std::string &boot_id)
{
    if (s->boot_id == boot_id) {
        return;
    }
    ServiceState service = s->service;
    *s = State{};
    s->boot_id = boot_id;
    s->service = service;
    s->service.running = false;
}

struct Cache {
    std::mutex mu;
    std::string path;
    struct stat st {};
    bool valid = false;
    State state;
};

Cache &cache()
{
    static Cache c;
    return c;
}

bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_ino == b.st_ino && a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
           a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

State load_file(const std::string &path)
{
    State s;
    gchar *text = nullptr;
    gsize len = 0;
    GError *gerr = nullptr;
    if (g_file_get_contents(path.c_str(), &text, &len, &gerr)) {
        std::string why;
        if (!state_from_json(std::string(text, len), &s, &why)) {
            g_warning("[endr-emu] ignoring unreadable state file %s: %s", path.c_str(), why.c_str());
            s = State{};
        }
    } else if (!g_error_matches(gerr, G_FILE_ERROR, G_FILE_ERROR_NOENT)) {
        g_warning("[endr-emu] cannot read state file %s: %s", path.c_str(), gerr->message);
    }
    if (gerr) {
        g_error_free(gerr);
    }
    g_free(text);
    forget_previous_boot(&s, current_boot_id());
    return s;
}

class FileLock {
public:
    explicit FileLock(const std::string &dir)
    {
        g_mkdir_with_parents(dir.c_str(), 0755);
        std::string path = dir + "/endr-state.lock";
        fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0) {
            g_warning("[endr-emu] cannot open lock file %s: %s", path.c_str(), g_strerror(errno));
            return;
        }
        while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~FileLock()
    {
        if (fd_ >= 0) {
            flock(fd_, LOCK_UN);
            close(fd_);
        }
    }
    bool ok() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

/* Caller holds cache().mu. */
const State &refresh_cache(const std::string &path)
{
    Cache &c = cache();
    struct stat st {};
    bool exists = stat(path.c_str(), &st) == 0;
    if (!c.valid || c.path != path || !exists || !same_file(st, c.st)) {
        c.state = load_file(path);
        c.path = path;
        c.st = st;
        c.valid = exists;
    }
    return c.state;
}

} // namespace

std::string runtime_dir()
{
    const char *dir = getenv("HV_RUNTIME_DIR");
    return dir && *dir ? dir : "/run/holvenstad";
}

std::string state_path()
{
    return runtime_dir() + "/endr-state.json";
}

std::string fault_key(uint32_t code)
{
    char key[16];
    snprintf(key, sizeof(key), "0x%" PRIx32, code);
    return key;
}

std::string state_to_json(const State &s)
{
    QDict *root = qdict_new();
    qdict_put(root, "format", quint_from_uint(1));
    qdict_put(root, "boot-id", qstring_from_str(s.boot_id.c_str()));

    QDict *svc = qdict_new();
    qdict_put(svc, "installed", qbool_from_bool(s.service.installed));
    qdict_put(svc, "running", qbool_from_bool(s.service.running));
    qdict_put(svc, "binary-path", qstring_from_str(s.service.binary_path.c_str()));
    qdict_put(svc, "ipfilter-dependency", qbool_from_bool(s.service.ipfilter_dependency));
    qdict_put(root, "service", svc);

    const DriverState &d = s.driver;
    QDict *drv = qdict_new();
    qdict_put(drv, "version", quint_from_uint(d.version));
    qdict_put(drv, "holder-pid", qint_from_int(d.holder_pid));
    qdict_put(drv, "role", qbool_from_bool(d.role));
    qdict_put(drv, "started", qbool_from_bool(d.started));
    put_u64_map(drv, "settings", d.settings);
    if (d.policy_limits) {
        qdict_put(drv, "policy-limits", u64_list(*d.policy_limits));
    }
    if (d.index_limits) {
        qdict_put(drv, "index-limits", u64_list(*d.index_limits));
    }
    if (d.excluded) {
        qdict_put(drv, "excluded-luids", u64_list(*d.excluded));
    }
    std::map<std::string, uint64_t> queues;
    for (const auto &[selector, size] : d.queue_sizes) {
        queues[std::to_string(selector)] = size;
    }
    put_u64_map(drv, "queue-sizes", queues);
    if (d.active.present) {
        QDict *a = qdict_new();
        qdict_put(a, "revision", quint_from_uint(d.active.revision));
        qdict_put(a, "input-chains", quint_from_uint(d.active.input_chains));
        qdict_put(a, "input-rules", quint_from_uint(d.active.input_rules));
        qdict_put(a, "output-chains", quint_from_uint(d.active.output_chains));
        qdict_put(a, "output-rules", quint_from_uint(d.active.output_rules));
        qdict_put(drv, "active", a);
    }
    put_u64_map(drv, "kept", d.kept);
    qdict_put(root, "driver", drv);

    QDict *faults = qdict_new();
    for (const auto &[key, f] : s.faults) {
        QDict *fd = qdict_new();
        qdict_put(fd, "error", quint_from_uint(f.error));
        qdict_put(fd, "remaining", quint_from_uint(f.remaining));
        qdict_put(faults, key.c_str(), fd);
    }
    qdict_put(root, "faults", faults);

    QString *text = qobject_to_json_pretty(QOBJECT(root));
    std::string out(qstring_get_str(text), qstring_get_length(text));
    qobject_decref(QOBJECT(text));
    qobject_decref(QOBJECT(root));
    return out + "\n";
}

bool state_from_json(const std::string &text, State *s, std::string *why)
{
    Error *err = nullptr;
    QRef root{qobject_from_json_len(text.data(), text.size(), &err)};
    if (!root.o) {
        *why = err ? error_get_message(err) : "empty";
        error_free(err);
        return false;
    }
    const QDict *r = qobject_to_qdict(root.o);
    if (!r) {
        *why = "not an object";
        return false;
    }
    bool bad = false;
    uint64_t format = 0;
    if (!get_u64(r, "format", &format, &bad) || format != 1) {
        *why = "unknown format";
        return false;
    }
    State out;
    get_str(r, "boot-id", &out.boot_id, &bad);

    const QDict *svc = get_dict(r, "service", &bad);
    get_bool(svc, "installed", &out.service.installed, &bad);
    get_bool(svc, "running", &out.service.running, &bad);
    get_str(svc, "binary-path", &out.service.binary_path, &bad);
    get_bool(svc, "ipfilter-dependency", &out.service.ipfilter_dependency, &bad);

    const QDict *drv = get_dict(r, "driver", &bad);
    DriverState &d = out.driver;
    get_u64(drv, "version", &d.version, &bad);
    if (QObject *o = drv ? qdict_get(drv, "holder-pid") : nullptr) {
        if (const QInt *i = qobject_to_qint(o)) {
            d.holder_pid = qint_get_int(i);
        } else if (const QUInt *u = qobject_to_quint(o); u && quint_get_uint(u) <= INT64_MAX) {
            d.holder_pid = static_cast<int64_t>(quint_get_uint(u));
        } else {
            bad = true;
        }
    }
    get_bool(drv, "role", &d.role, &bad);
    get_bool(drv, "started", &d.started, &bad);
    get_u64_map(drv, "settings", &d.settings, &bad);
    std::array<uint64_t, 4> pl;
    if (get_u64_array(drv, "policy-limits", &pl, &bad)) {
        d.policy_limits = pl;
    }
    std::array<uint64_t, 3> il;
    if (get_u64_array(drv, "index-limits", &il, &bad)) {
        d.index_limits = il;
    }
    std::array<uint64_t, 16> ex;
    if (get_u64_array(drv, "excluded-luids", &ex, &bad)) {
        d.excluded = ex;
    }
    std::map<std::string, uint64_t> queues;
    get_u64_map(drv, "queue-sizes", &queues, &bad);
    for (const auto &[k, v] : queues) {
        if (k != "0" && k != "1") {
            bad = true;
        } else {
            d.queue_sizes[static_cast<uint32_t>(k[0] - '0')] = v;
        }
    }
    if (const QDict *a = get_dict(drv, "active", &bad)) {
        d.active.present = true;
        get_u64(a, "revision", &d.active.revision, &bad);
        get_u64(a, "input-chains", &d.active.input_chains, &bad);
        get_u64(a, "input-rules", &d.active.input_rules, &bad);
        get_u64(a, "output-chains", &d.active.output_chains, &bad);
        get_u64(a, "output-rules", &d.active.output_rules, &bad);
    }
    get_u64_map(drv, "kept", &d.kept, &bad);

    if (const QDict *faults = get_dict(r, "faults", &bad)) {
        for (const QDictEntry *e = qdict_first(faults); e; e = qdict_next(faults, e)) {
            const QDict *fd = qobject_to_qdict(e->value);
            uint64_t error = 0, remaining = 0;
            if (!fd || !get_u64(fd, "error", &error, &bad) || !get_u64(fd, "remaining", &remaining, &bad) ||
                error > UINT32_MAX || remaining > UINT32_MAX) {
                bad = true;
                break;
            }
            out.faults[e->key] = Fault{static_cast<uint32_t>(error), static_cast<uint32_t>(remaining)};
        }
    }
    if (bad) {
        *why = "a member has the wrong type";
        return false;
    }
    *s = std::move(out);
    return true;
}

State state_read()
{
    std::lock_guard<std::mutex> g(cache().mu);
    return refresh_cache(state_path());
}

bool state_update(const std::function<bool(State &)> &change)
{
    std::string dir = runtime_dir();
    std::string path = dir + "/endr-state.json";
    std::lock_guard<std::mutex> g(cache().mu);
    FileLock lock(dir);
    if (!lock.ok()) {
        return false;
    }
    cache().valid = false;
    State s = refresh_cache(path);
    if (!change(s)) {
        return true;
    }
    std::string text = state_to_json(s);
    GError *gerr = nullptr;
    /* g_file_set_contents writes a temporary file and renames it over the old one. */
    if (!g_file_set_contents(path.c_str(), text.c_str(), static_cast<gssize>(text.size()), &gerr)) {
        g_warning("[endr-emu] cannot write state file %s: %s", path.c_str(), gerr->message);
        g_error_free(gerr);
        cache().valid = false;
        return false;
    }
    cache().valid = false;
    refresh_cache(path);
    return true;
}

uint32_t state_take_fault(const std::string &key)
{
    State s = state_read();
    if (!s.faults.count(key)) {
        return 0;
    }
    uint32_t error = 0;
    state_update([&](State &st) {
        auto it = st.faults.find(key);
        if (it == st.faults.end()) {
            return false;
        }
        error = it->second.error;
        if (it->second.remaining <= 1) {
            st.faults.erase(it);
        } else {
            it->second.remaining--;
        }
        return true;
    });
    return error;
}

} // namespace endr
