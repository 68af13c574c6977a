/*
 * The emulated driver's control socket: a nanomsg REP socket served by one thread while
 * a device is open in this process, and the JSON commands it understands.
 */
#include <arpa/inet.h>
#include <nanomsg/nn.h>
#include <nanomsg/reqrep.h>
#include <signal.h>

#include <glib.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <thread>

#include "enforcement/driver-daemon/driver-emu.h"
#include "enforcement/driver-daemon/endr-engine.h"
#include "enforcement/driver-daemon/endr-state.h"
#include "qobject/qbool.h"
#include "qobject/qdict.h"
#include "qobject/qint.h"
#include "qobject/qjson.h"
#include "qobject/qlist.h"
#include "qobject/qnull.h"
#include "qobject/qstring.h"
#include "qobject/quint.h"
#include "util/error.h"

namespace endr {

namespace {

constexpr uint32_t kNotReady = 21;
constexpr size_t kMaxRequestBytes = ENDR_CONTROL_MAX_REQUEST;

struct Failure {
    uint32_t code;
    std::string desc;
};

std::string to_text(QObject *o)
{
    QString *s = qobject_to_json(o);
    std::string out(qstring_get_str(s), qstring_get_length(s));
    qobject_decref(QOBJECT(s));
    return out;
}

std::string reply_return(QDict *ret)
{
    QDict *root = qdict_new();
    qdict_put(root, "return", ret);
    std::string out = to_text(QOBJECT(root));
    qobject_decref(QOBJECT(root));
    return out;
}

std::string reply_error(const Failure &f)
{
    QDict *err = qdict_new();
    qdict_put(err, "desc", qstring_from_str(f.desc.c_str()));
    qdict_put(err, "code", quint_from_uint(f.code));
    QDict *root = qdict_new();
    qdict_put(root, "error", err);
    std::string out = to_text(QOBJECT(root));
    qobject_decref(QOBJECT(root));
    return out;
}

/* Member readers: absent gives the default, a wrong type fails with a message. */
bool member_u64(const QDict *d, const char *key, uint64_t *out, bool required, Failure *f)
{
    QObject *o = qdict_get(d, key);
    if (!o) {
        if (required) {
            *f = {kInvalidParameter, std::string("missing member '") + key + "'"};
        }
        return !required;
    }
    if (const QUInt *u = qobject_to_quint(o)) {
        *out = quint_get_uint(u);
        return true;
    }
    *f = {kInvalidParameter, std::string("member '") + key + "' must be a non-negative integer"};
    return false;
}

bool decode_hex(const std::string &hex, std::string *out)
{
    if (hex.size() % 2 != 0) {
        return false;
    }
    out->clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        int hi = g_ascii_xdigit_value(hex[i]);
        int lo = g_ascii_xdigit_value(hex[i + 1]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        out->push_back(static_cast<char>(hi * 16 + lo));
    }
    return true;
}

bool member_str(const QDict *d, const char *key, std::string *out, bool required, Failure *f)
{
    QObject *o = qdict_get(d, key);
    if (!o) {
        if (required) {
            *f = {kInvalidParameter, std::string("missing member '") + key + "'"};
        }
        return !required;
    }
    if (const QString *s = qobject_to_qstring(o)) {
        out->assign(qstring_get_str(s), qstring_get_length(s));
        return true;
    }
    *f = {kInvalidParameter, std::string("member '") + key + "' must be a string"};
    return false;
}

bool process_alive(int64_t pid)
{
    return pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

QDict *names_of(const char *const *names, const uint64_t *values, size_t n)
{
    QDict *d = qdict_new();
    for (size_t i = 0; i < n; i++) {
        qdict_put(d, names[i], quint_from_uint(values[i]));
    }
    return d;
}

QDict *status_dict()
{
    State s = state_read();
    const DriverState &d = s.driver;
    QDict *r = qdict_new();
    qdict_put(r, "version", quint_from_uint(d.version));
    bool holder = process_alive(d.holder_pid);
    if (d.role && holder) {
        qdict_put(r, "role", qstring_from_str("consumer"));
    } else {
        qdict_put_obj(r, "role", qnull());
    }
    qdict_put(r, "started", qbool_from_bool(d.started && holder));
    qdict_put(r, "holder-pid", qint_from_int(holder ? d.holder_pid : 0));
    if (d.active.present) {
        qdict_put(r, "active-revision", quint_from_uint(d.active.revision));
    } else {
        qdict_put_obj(r, "active-revision", qnull());
    }
    qdict_put(r, "input-chains", quint_from_uint(d.active.input_chains));
    qdict_put(r, "input-rules", quint_from_uint(d.active.input_rules));
    qdict_put(r, "output-chains", quint_from_uint(d.active.output_chains));
    qdict_put(r, "output-rules", quint_from_uint(d.active.output_rules));

    QDict *settings = qdict_new();
    for (const auto &[k, v] : d.settings) {
        qdict_put(settings, k.c_str(), quint_from_uint(v));
    }
    if (d.policy_limits) {
        static const char *const names[] = {"max-chains-num", "max-rules-num", "max-entity-field-num",
                                            "max-rule-buffer-len"};
        qdict_put(settings, "policy-limits", names_of(names, d.policy_limits->data(), 4));
    }
    if (d.index_limits) {
        static const char *const names[] = {"max-index-range-count", "max-vectors-in-bag", "max-rule-index-size"};
        qdict_put(settings, "index-limits", names_of(names, d.index_limits->data(), 3));
    }
    for (const auto &[selector, size] : d.queue_sizes) {
        qdict_put(settings, selector == 0 ? "queue-size" : "queue-size-1", quint_from_uint(size));
    }
    qdict_put(r, "settings", settings);

    QList *luids = qlist_new();
    if (d.excluded) {
        for (uint64_t luid : *d.excluded) {
            if (luid) {
                qlist_append(luids, quint_from_uint(luid));
            }
        }
    }
    qdict_put(r, "excluded-luids", luids);
    QDict *kept = qdict_new();
    for (const auto &[k, v] : d.kept) {
        qdict_put(kept, k.c_str(), quint_from_uint(v));
    }
    qdict_put(r, "kept", kept);

    /* Who the groups criteria see: the users with a session, and which are local or admin. */
    SessionPicture picture = engine_sessions();
    QDict *sessions = qdict_new();
    static const char *const kinds[] = {"none", "known", "murky"};
    qdict_put(sessions, "state", qstring_from_str(kinds[static_cast<int>(picture.kind)]));
    qdict_put(sessions, "sids", quint_from_uint(picture.sids.size()));
    qdict_put(sessions, "local-user", qbool_from_bool(picture.local_user));
    qdict_put(sessions, "local-admin", qbool_from_bool(picture.local_admin));
    qdict_put(sessions, "checksum", quint_from_uint(picture.checksum));
    QList *users = qlist_new(), *groups = qlist_new(), *locals = qlist_new(), *admins = qlist_new();
    for (const std::vector<uint32_t> &sid : picture.sids) {
        if (sid.size() != 2) {
            continue;
        }
        QList *into = sid[0] == 1 ? users : sid[0] == 2 ? groups : sid[0] == 113 ? locals : sid[0] == 114 ? admins : nullptr;
        if (into) {
            qlist_append(into, quint_from_uint(sid[1]));
        }
    }
    qdict_put(sessions, "users", users);
    qdict_put(sessions, "groups", groups);
    qdict_put(sessions, "local-users", locals);
    qdict_put(sessions, "local-admins", admins);
    qdict_put(r, "user-sessions", sessions);

    QDict *svc = qdict_new();
    qdict_put(svc, "installed", qbool_from_bool(s.service.installed));
    qdict_put(svc, "running", qbool_from_bool(s.service.running));
    qdict_put(svc, "binary-path", qstring_from_str(s.service.binary_path.c_str()));
    qdict_put(svc, "ipfilter-dependency", qbool_from_bool(s.service.ipfilter_dependency));
    qdict_put(r, "service", svc);

    QDict *faults = qdict_new();
    for (const auto &[k, f] : s.faults) {
        QDict *fd = qdict_new();
        qdict_put(fd, "error", quint_from_uint(f.error));
        qdict_put(fd, "remaining", quint_from_uint(f.remaining));
        qdict_put(faults, k.c_str(), fd);
    }
    qdict_put(r, "faults", faults);

    size_t connection_limit = engine_connection_queue_limit();
    Engine &e = engine();
    std::lock_guard<std::mutex> g(e.mu);
    QDict *connections = qdict_new();
    qdict_put(connections, "queued", quint_from_uint(e.connections.size()));
    qdict_put(connections, "limit", quint_from_uint(connection_limit));
    qdict_put(connections, "dropped", quint_from_uint(static_cast<uint64_t>(e.counters["endr.connections-dropped"])));
    qdict_put(connections, "handed-out", quint_from_uint(static_cast<uint64_t>(e.counters["endr.connections-served"])));
    qdict_put(r, "connections", connections);
    /* The first names of the map are enough to tell which one the driver holds. */
    constexpr size_t kListedServices = 64;
    QDict *services = qdict_new();
    qdict_put(services, "map-entries", quint_from_uint(e.service_names.size()));
    qdict_put(services, "tuples", quint_from_uint(e.service_tuples.size()));
    QDict *names = qdict_new();
    for (const auto &[tag, name] : e.service_names) {
        if (qdict_size(names) == kListedServices) {
            break;
        }
        qdict_put(names, std::to_string(tag).c_str(), qstring_from_str(name.c_str()));
    }
    qdict_put(services, "names", names);
    qdict_put(r, "services", services);
    bool live = e.open_devices > 0;
    qdict_put(r, "live", qbool_from_bool(live));
    qdict_put(r, "staged", qbool_from_bool(live && e.staging));
    if (live) {
        qdict_put(r, "pending-events", quint_from_uint(e.events.size()));
        qdict_put(r, "pending-connections", quint_from_uint(e.connections.size()));
        qdict_put(r, "pending-log-bytes", quint_from_uint(e.log.size()));
        qdict_put(r, "lid-replies", quint_from_uint(e.lid_replies.size()));
        QDict *metrics = qdict_new();
        for (const auto &[k, v] : e.counters) {
            qdict_put(metrics, k.c_str(), qint_from_int(v));
        }
        qdict_put(r, "metrics", metrics);
    }
    return r;
}

bool parse_fault_key(const QDict *req, std::string *key, Failure *f)
{
    QObject *o = qdict_get(req, "code");
    if (const QUInt *u = o ? qobject_to_quint(o) : nullptr) {
        if (quint_get_uint(u) > UINT32_MAX || !code_info(static_cast<uint32_t>(quint_get_uint(u)))) {
            *f = {kInvalidParameter, "unknown control code"};
            return false;
        }
        *key = fault_key(static_cast<uint32_t>(quint_get_uint(u)));
        return true;
    }
    std::string text;
    if (!member_str(req, "code", &text, true, f)) {
        return false;
    }
    static const char *const ops[] = {"service-create", "service-start", "service-stop", "service-delete",
                                      "device-open"};
    for (const char *op : ops) {
        if (text == op) {
            *key = text;
            return true;
        }
    }
    char *end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(text.c_str(), &end, 0);
    if (text.empty() || errno || *end || v > UINT32_MAX || !code_info(static_cast<uint32_t>(v))) {
        *f = {kInvalidParameter, "unknown control code or service operation: " + text};
        return false;
    }
    *key = fault_key(static_cast<uint32_t>(v));
    return true;
}

std::string command_fail(const QDict *req)
{
    Failure f;
    std::string key;
    uint64_t n = 1, error = kGenFailure;
    if (!parse_fault_key(req, &key, &f) || !member_u64(req, "count", &n, false, &f) ||
        !member_u64(req, "error", &error, false, &f)) {
        return reply_error(f);
    }
    if (n > UINT32_MAX || error == 0 || error > UINT32_MAX) {
        return reply_error({kInvalidParameter, "count or error out of range"});
    }
    if (!state_update([&](State &s) {
            if (n == 0) {
                s.faults.erase(key);
            } else {
                s.faults[key] = Fault{static_cast<uint32_t>(error), static_cast<uint32_t>(n)};
            }
            return true;
        })) {
        return reply_error({kGenFailure, "cannot write the state file"});
    }
    QDict *r = qdict_new();
    qdict_put(r, "code", qstring_from_str(key.c_str()));
    qdict_put(r, "count", quint_from_uint(n));
    qdict_put(r, "error", quint_from_uint(error));
    return reply_return(r);
}

std::string command_set_version(const QDict *req)
{
    Failure f;
    uint64_t version = 0;
    if (!member_u64(req, "version", &version, true, &f)) {
        return reply_error(f);
    }
    state_update([&](State &s) {
        s.driver.version = version;
        return true;
    });
    QDict *r = qdict_new();
    qdict_put(r, "version", quint_from_uint(version));
    return reply_return(r);
}

/* Text address into the record's 24-byte form; family 1 IPv4, 2 IPv6. */
bool parse_address(const std::string &text, uint8_t out[24], uint16_t *family)
{
    memset(out, 0, 24);
    struct in_addr a4;
    struct in6_addr a6;
    if (inet_pton(AF_INET, text.c_str(), &a4) == 1) {
        out[0] = 1;
        uint32_t host = ntohl(a4.s_addr);
        memcpy(out + 8, &host, 4);
        *family = 1;
        return true;
    }
    if (inet_pton(AF_INET6, text.c_str(), &a6) == 1) {
        memcpy(out + 8, &a6, 16);
        *family = 2;
        return true;
    }
    return false;
}

/* The tuple members shared by classify and inject-connection. */
bool read_tuple(const QDict *req, Connection *c, uint64_t *pid, Failure *f)
{
    std::string direction, protocol, local, remote;
    uint64_t local_port = 0, remote_port = 0, icmp_type = 0, icmp_code = 0;
    if (!member_str(req, "direction", &direction, true, f) || !member_str(req, "protocol", &protocol, true, f) ||
        !member_str(req, "local", &local, true, f) || !member_str(req, "remote", &remote, true, f) ||
        !member_u64(req, "local-port", &local_port, false, f) ||
        !member_u64(req, "remote-port", &remote_port, false, f) || !member_u64(req, "pid", pid, false, f) ||
        !member_str(req, "dns", &c->dns, false, f) || !member_u64(req, "icmp-type", &icmp_type, false, f) ||
        !member_u64(req, "icmp-code", &icmp_code, false, f)) {
        return false;
    }
    if (direction != "in" && direction != "out") {
        *f = {kInvalidParameter, "direction must be in or out"};
        return false;
    }
    c->inbound = direction == "in";
    if (protocol == "tcp") {
        c->protocol = 0;
    } else if (protocol == "udp") {
        c->protocol = 1;
    } else if (protocol == "icmp") {
        c->protocol = 2;
    } else {
        *f = {kInvalidParameter, "protocol must be tcp, udp or icmp"};
        return false;
    }
    uint8_t l[24], r[24];
    uint16_t lf = 0, rf = 0;
    if (!parse_address(local, l, &lf) || !parse_address(remote, r, &rf) || lf != rf) {
        *f = {kInvalidParameter, "local and remote must be addresses of one family"};
        return false;
    }
    c->ipv6 = lf == 2;
    if (c->ipv6) {
        memcpy(c->local.data(), l + 8, 16);
        memcpy(c->remote.data(), r + 8, 16);
    } else {
        inet_pton(AF_INET, local.c_str(), c->local.data());
        inet_pton(AF_INET, remote.c_str(), c->remote.data());
    }
    if (local_port > 65535 || remote_port > 65535) {
        *f = {kInvalidParameter, "ports are 0 to 65535"};
        return false;
    }
    c->local_port = static_cast<uint16_t>(local_port);
    c->remote_port = static_cast<uint16_t>(remote_port);
    c->has_icmp_type = qdict_get(req, "icmp-type") != nullptr;
    c->has_icmp_code = qdict_get(req, "icmp-code") != nullptr;
    if (icmp_type > 255 || icmp_code > 255 || (c->has_icmp_code && !c->has_icmp_type)) {
        *f = {kInvalidParameter, "icmp-type and icmp-code are 0 to 255, a code needs a type"};
        return false;
    }
    c->icmp_type = static_cast<uint8_t>(icmp_type);
    c->icmp_code = static_cast<uint8_t>(icmp_code);
    if (c->dns.size() > 253) {
        *f = {kInvalidParameter, "DNS name too long"};
        return false;
    }
    return true;
}

QDict *verdict_dict(const Verdict &v)
{
    QDict *r = qdict_new();
    qdict_put(r, "verdict", qstring_from_str(v.verdict == 1 ? "BLOCK" : "ALLOW"));
    qdict_put(r, "rule-id", qstring_from_str(v.rule_id.c_str()));
    qdict_put(r, "rule-number", qint_from_int(v.rule_number));
    qdict_put(r, "candidates", quint_from_uint(v.candidates));
    return r;
}

std::string command_inject(const QDict *req, bool classify_only);

std::string command_classify(const QDict *req)
{
    QObject *record = qdict_get(req, "record");
    if (record && !qobject_to_qbool(record)) {
        return reply_error({kInvalidParameter, "member 'record' must be a boolean"});
    }
    if (record && qbool_get_bool(qobject_to_qbool(record))) {
        return command_inject(req, true);
    }
    Failure f;
    Connection c;
    uint64_t pid = 0;
    if (!read_tuple(req, &c, &pid, &f)) {
        return reply_error(f);
    }
    return reply_return(verdict_dict(engine_classify(c, pid)));
}

/* Many tuples per request, so that property tests do not pay a round trip per tuple. */
std::string command_classify_batch(const QDict *req)
{
    QObject *o = qdict_get(req, "connections");
    const QList *list = o ? qobject_to_qlist(o) : nullptr;
    if (!list) {
        return reply_error({kInvalidParameter, "member 'connections' must be a list"});
    }
    QList *results = qlist_new();
    for (const QListEntry *e = qlist_first(list); e; e = qlist_next(e)) {
        const QDict *d = qobject_to_qdict(qlist_entry_obj(e));
        Failure f;
        Connection c;
        uint64_t pid = 0;
        if (!d) {
            f = {kInvalidParameter, "each connection must be a JSON object"};
        }
        if (d && read_tuple(d, &c, &pid, &f)) {
            qlist_append(results, verdict_dict(engine_classify(c, pid)));
        } else {
            QDict *err = qdict_new();
            qdict_put(err, "desc", qstring_from_str(f.desc.c_str()));
            qdict_put(err, "code", quint_from_uint(f.code));
            QDict *wrap = qdict_new();
            qdict_put(wrap, "error", err);
            qlist_append(results, wrap);
        }
    }
    QDict *r = qdict_new();
    qdict_put(r, "results", results);
    return reply_return(r);
}

/* Most records one request may inject; beyond the queue limit they are counted as dropped. */
constexpr uint64_t kMaxInjectCount = 10000000;

/* inject-connection, and classify with "record": the classified connection is queued too. */
std::string command_inject(const QDict *req, bool classify_only)
{
    Failure f;
    ConnectionSpec spec;
    std::string direction, protocol, local, remote, verdict = "ALLOW", status = "success";
    uint64_t local_port = 0, remote_port = 0, pid = 0, copies = 1;
    if (classify_only) {
        for (const char *key : {"verdict", "rule-id", "status", "count"}) {
            if (qdict_get(req, key)) {
                return reply_error({kInvalidParameter, std::string("classify does not take '") + key + "'"});
            }
        }
    }
    if (!member_u64(req, "count", &copies, false, &f)) {
        return reply_error(f);
    }
    if (copies == 0 || copies > kMaxInjectCount) {
        return reply_error({kInvalidParameter, "count is 1 to " + std::to_string(kMaxInjectCount)});
    }
    if (!member_str(req, "direction", &direction, true, &f) || !member_str(req, "protocol", &protocol, true, &f) ||
        !member_str(req, "local", &local, true, &f) || !member_str(req, "remote", &remote, true, &f) ||
        !member_u64(req, "local-port", &local_port, false, &f) ||
        !member_u64(req, "remote-port", &remote_port, false, &f) || !member_u64(req, "pid", &pid, false, &f) ||
        !member_str(req, "dns", &spec.dns, false, &f) || !member_str(req, "verdict", &verdict, false, &f) ||
        !member_str(req, "rule-id", &spec.rule_id, false, &f) || !member_str(req, "status", &status, false, &f)) {
        return reply_error(f);
    }
    if (direction != "in" && direction != "out") {
        return reply_error({kInvalidParameter, "direction must be in or out"});
    }
    spec.inbound = direction == "in";
    if (protocol == "tcp") {
        spec.protocol = 0;
    } else if (protocol == "udp") {
        spec.protocol = 1;
    } else if (protocol == "icmp") {
        spec.protocol = 2;
    } else {
        return reply_error({kInvalidParameter, "protocol must be tcp, udp or icmp"});
    }
    uint16_t local_family = 0, remote_family = 0;
    if (!parse_address(local, spec.local, &local_family) || !parse_address(remote, spec.remote, &remote_family) ||
        local_family != remote_family) {
        return reply_error({kInvalidParameter, "local and remote must be addresses of one family"});
    }
    spec.family = local_family;
    if (local_port > 65535 || remote_port > 65535) {
        return reply_error({kInvalidParameter, "ports are 0 to 65535"});
    }
    spec.local_port = static_cast<uint16_t>(local_port);
    spec.remote_port = static_cast<uint16_t>(remote_port);
    spec.pid = pid;
    if (verdict == "ALLOW") {
        spec.verdict = 2;
    } else if (verdict == "BLOCK") {
        spec.verdict = 1;
    } else {
        return reply_error({kInvalidParameter, "verdict must be ALLOW or BLOCK"});
    }
    if (status == "unknown") {
        spec.status = 0;
    } else if (status == "success") {
        spec.status = 1;
    } else if (status == "failed") {
        spec.status = 2;
    } else {
        return reply_error({kInvalidParameter, "status must be success, failed or unknown"});
    }
    if (spec.rule_id.size() > 127 || spec.dns.size() > 253) {
        return reply_error({kInvalidParameter, "rule id or DNS name too long"});
    }
    /* A forced verdict or rule id exercises the reporting path without a policy. */
    spec.classify = !qdict_get(req, "verdict") && !qdict_get(req, "rule-id");
    uint64_t icmp_type = 0, icmp_code = 0;
    if (!member_u64(req, "icmp-type", &icmp_type, false, &f) || !member_u64(req, "icmp-code", &icmp_code, false, &f)) {
        return reply_error(f);
    }
    if (icmp_type > 255 || icmp_code > 255) {
        return reply_error({kInvalidParameter, "icmp-type and icmp-code are 0 to 255"});
    }
    spec.has_icmp_type = qdict_get(req, "icmp-type") != nullptr;
    spec.icmp_type = static_cast<uint8_t>(icmp_type);
    spec.has_icmp_code = qdict_get(req, "icmp-code") != nullptr;
    spec.icmp_code = static_cast<uint8_t>(icmp_code);
    InjectResult result;
    if (uint32_t rc = engine_inject_connection(spec, copies, &result)) {
        return reply_error({rc, rc == kNotReady ? "no device is open" : "cannot queue the connection"});
    }
    QDict *r = verdict_dict(result.verdict);
    qdict_put(r, "state-machine-id", quint_from_uint(result.first_sm_id));
    qdict_put(r, "last-state-machine-id", quint_from_uint(result.last_sm_id));
    qdict_put(r, "queued", quint_from_uint(result.queued));
    qdict_put(r, "dropped", quint_from_uint(result.dropped));
    return reply_return(r);
}

std::string command_lid_replies()
{
    Engine &e = engine();
    QList *list = qlist_new();
    {
        std::lock_guard<std::mutex> g(e.mu);
        for (const auto &[pid, reply] : e.lid_replies) {
            QDict *d = qdict_new();
            qdict_put(d, "pid", quint_from_uint(pid));
            qdict_put(d, "cid", quint_from_uint(reply.cid));
            QList *lids = qlist_new();
            for (uint16_t i = 0; i < reply.count; i++) {
                qlist_append(lids, quint_from_uint(reply.lids[i]));
            }
            qdict_put(d, "lids", lids);
            qdict_put(d, "update", qbool_from_bool(reply.update));
            qlist_append(list, d);
        }
    }
    QDict *r = qdict_new();
    qdict_put(r, "lid-replies", list);
    return reply_return(r);
}

std::atomic<void (*)()> g_shutdown{nullptr};

std::string command_shutdown()
{
    void (*fn)() = g_shutdown.load();
    if (!fn) {
        return reply_error({kInvalidFunction, "this driver is not a daemon that can stop"});
    }
    fn();
    QDict *r = qdict_new();
    qdict_put(r, "stopping", qbool_from_bool(true));
    return reply_return(r);
}

std::string handle(const char *json, size_t len)
{
    Error *err = nullptr;
    QObject *obj = qobject_from_json_len(json, len, &err);
    if (!obj) {
        std::string desc = std::string("invalid JSON: ") + (err ? error_get_message(err) : "empty request");
        error_free(err);
        return reply_error({kInvalidParameter, desc});
    }
    std::string out;
    const QDict *req = qobject_to_qdict(obj);
    std::string command;
    Failure f;
    bool live;
    {
        Engine &e = engine();
        std::lock_guard<std::mutex> g(e.mu);
        live = e.open_devices > 0;
    }
    if (!req) {
        out = reply_error({kInvalidParameter, "the request must be a JSON object"});
    } else if (!member_str(req, "command", &command, true, &f)) {
        out = reply_error(f);
    } else if (command == "status") {
        out = reply_return(status_dict());
    } else if (command == "fail") {
        out = command_fail(req);
    } else if (command == "set-version") {
        out = command_set_version(req);
    } else if (command == "shutdown") {
        out = command_shutdown();
    } else if (command != "raise-lid-request" && command != "inject-connection" && command != "log" &&
               command != "lid-replies" && command != "classify" && command != "classify-batch") {
        out = reply_error({kInvalidParameter, "unknown command: " + command});
    } else if (!live) {
        out = reply_error({kNotReady, "no module has the device open"});
    } else if (command == "raise-lid-request") {
        uint64_t pid = 0;
        if (!member_u64(req, "pid", &pid, true, &f)) {
            out = reply_error(f);
        } else if (uint32_t rc = engine_raise_lid_request(pid)) {
            out = reply_error({rc, "cannot queue the lid request"});
        } else {
            QDict *r = qdict_new();
            qdict_put(r, "pid", quint_from_uint(pid));
            out = reply_return(r);
        }
    } else if (command == "inject-connection") {
        out = command_inject(req, false);
    } else if (command == "lid-replies") {
        out = command_lid_replies();
    } else if (command == "classify") {
        out = command_classify(req);
    } else if (command == "classify-batch") {
        out = command_classify_batch(req);
    } else {
        std::string text;
        std::string hex;
        /* Text travels as JSON, which carries UTF-8 only: other bytes come spelled in hex. */
        bool has_hex = qdict_get(req, "hex") != nullptr;
        if (has_hex ? !member_str(req, "hex", &hex, true, &f) : !member_str(req, "text", &text, true, &f)) {
            out = reply_error(f);
        } else if (has_hex && !decode_hex(hex, &text)) {
            out = reply_error({kInvalidParameter, "member 'hex' must hold pairs of hex digits"});
        } else if (uint32_t rc = engine_append_log(text)) {
            out = reply_error({rc, rc == kGenFailure ? "the driver log is full (" + std::to_string(kMaxLogBytes) +
                                                           " bytes not yet drained at most): the text was not added"
                                                     : "cannot append to the driver log"});
        } else {
            QDict *r = qdict_new();
            qdict_put(r, "bytes", quint_from_uint(text.size() + 1));
            out = reply_return(r);
        }
    }
    qobject_decref(obj);
    return out;
}

} // namespace

class ControlServer {
public:
    bool start()
    {
        char *address = endr_control_address();
        address_ = address;
        g_free(address);
        sock_ = nn_socket(AF_SP, NN_REP);
        if (sock_ < 0) {
            g_warning("[endr-emu] cannot create the control socket: %s", nn_strerror(nn_errno()));
            return false;
        }
        int timeout = 100;
        int max_size = static_cast<int>(kMaxRequestBytes);
        nn_setsockopt(sock_, NN_SOL_SOCKET, NN_RCVTIMEO, &timeout, sizeof(timeout));
        nn_setsockopt(sock_, NN_SOL_SOCKET, NN_RCVMAXSIZE, &max_size, sizeof(max_size));
        if (nn_bind(sock_, address_.c_str()) < 0) {
            g_warning("[endr-emu] cannot bind the control socket to %s: %s", address_.c_str(),
                      nn_strerror(nn_errno()));
            nn_close(sock_);
            sock_ = -1;
            return false;
        }
        thread_ = std::thread([this] { run(); });
        g_debug("[endr-emu] control socket listening on %s", address_.c_str());
        return true;
    }

    ~ControlServer()
    {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        if (sock_ >= 0) {
            nn_close(sock_);
        }
    }

private:
    void run()
    {
        while (!stop_) {
            char *msg = nullptr;
            int n = nn_recv(sock_, &msg, NN_MSG, 0);
            if (n < 0) {
                if (nn_errno() != ETIMEDOUT && nn_errno() != EAGAIN && nn_errno() != EINTR) {
                    g_warning("[endr-emu] control socket receive failed: %s", nn_strerror(nn_errno()));
                    break;
                }
                continue;
            }
            std::string reply = handle(msg, static_cast<size_t>(n));
            nn_freemsg(msg);
            if (nn_send(sock_, reply.data(), reply.size(), 0) < 0) {
                g_warning("[endr-emu] control socket send failed: %s", nn_strerror(nn_errno()));
            }
        }
    }

    std::string address_;
    int sock_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

ControlServer *control_server_start()
{
    auto *server = new ControlServer;
    if (!server->start()) {
        delete server;
        return nullptr;
    }
    return server;
}

void control_server_stop(ControlServer *server)
{
    delete server;
}

void control_set_shutdown(void (*fn)())
{
    g_shutdown = fn;
}

} // namespace endr

char *endr_control_request(const char *json, size_t len)
{
    std::string reply = endr::handle(json ? json : "", json ? len : 0);
    return g_strdup(reply.c_str());
}

char *endr_control_address(void)
{
    const char *address = getenv("HV_ENDR_EMU_ADDRESS");
    if (address && *address) {
        return g_strdup(address);
    }
    /* In the run-time folder, so that every process of the machine finds the same socket. */
    return g_strdup_printf("ipc://%s/holvenstad_endr_emu.ipc", endr::runtime_dir().c_str());
}
