/*
 * hv-endr: talks to the emulated driver through its control socket. Every subcommand
 * prints one JSON object per line; exit 0 success, 1 refused, 2 unreachable (no driver
 * daemon answers).
 */
#include <nanomsg/nn.h>
#include <nanomsg/reqrep.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <glib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "enforcement/driver-daemon/driver-emu.h"
#include "qobject/qbool.h"
#include "qobject/qdict.h"
#include "qobject/qjson.h"
#include "qobject/qlist.h"
#include "qobject/qstring.h"
#include "qobject/quint.h"
#include "util/error.h"

namespace {

const char kUsage[] =
    "usage: hv-endr [--address ADDR] COMMAND [ARGS]\n"
    "\n"
    "Talks to the emulated enforcement driver over its control socket\n"
    "(default ipc://holvenstad_endr_emu.ipc, or $HV_ENDR_EMU_ADDRESS).\n"
    "Prints one JSON object per line. Exit 0 success, 1 refused, 2 unreachable.\n"
    "\n"
    "commands:\n"
    "  status                 version, role, started, active-revision, staged,\n"
    "                         input-rules, output-rules, settings, excluded-luids,\n"
    "                         kept buffers, service, armed faults, connections\n"
    "                         (queued, limit, dropped, handed-out), services\n"
    "                         (map-entries, tuples, names: the first 64 tags),\n"
    "                         user-sessions (state none|known|murky, sids, users,\n"
    "                         groups, local-users, local-admins, flags, checksum)\n"
    "  shutdown               stop the driver daemon hv-endrd (its policy goes with it)\n"
    "  raise-lid-request PID  queue a lid request (event type 2) for PID\n"
    "  inject-connection --direction in|out --protocol tcp|udp|icmp\n"
    "                    --local ADDR[:PORT] --remote ADDR[:PORT] [--pid N]\n"
    "                    [--dns NAME] [--verdict ALLOW|BLOCK] [--rule-id ID]\n"
    "                    [--status success|failed|unknown] [--count N]\n"
    "                         queue a connection record for the module's connection\n"
    "                         reads; IPv6 with a port is written [addr]:port. The\n"
    "                         record carries the classified verdict and rule id unless\n"
    "                         --verdict or --rule-id force them; --icmp as in classify.\n"
    "                         --count queues N records of the connection. Prints the\n"
    "                         verdict, rule-id, state-machine-id (of the first record),\n"
    "                         last-state-machine-id, queued and dropped (the records\n"
    "                         that found the driver's queue full)\n"
    "  fail CODE [N] [--error WIN32]\n"
    "                         the next N (default 1) requests with control code CODE\n"
    "                         (hex or decimal) fail with WIN32 (default 31); CODE may\n"
    "                         also be service-create, service-start, service-stop,\n"
    "                         service-delete or device-open; N = 0 disarms\n"
    "  log TEXT               append TEXT and a newline to the driver log\n"
    "  log --hex HEX          the same with the bytes HEX spells (any bytes, not only UTF-8)\n"
    "  lid-replies            the lid replies the driver recorded\n"
    "  set-version N          the version the driver reports (default 420005)\n"
    "  classify --direction in|out --protocol tcp|udp|icmp --local ADDR[:PORT]\n"
    "           --remote ADDR[:PORT] [--pid N] [--dns NAME] [--icmp TYPE[/CODE]]\n"
    "                         classify the tuple against the active policy: prints\n"
    "                         verdict, rule-id, rule-number (-1: none) and candidates;\n"
    "                         with --pid (here and in inject-connection) a running\n"
    "                         process without lids, or with lids recorded before it\n"
    "                         started, gets a lid request first, answered within 2 s\n"
    "  classify --record ...  classify as above and also queue the connection record,\n"
    "                         printing the inject-connection members as well\n"
    "  classify --batch FILE  one JSON object per line (direction, protocol, local,\n"
    "                         remote, local-port, remote-port, pid, dns, icmp-type,\n"
    "                         icmp-code); one result line per non-empty input line\n"
    "\n"
    "replies: {\"return\"...} members are printed as one object; a refusal prints\n"
    "{\"error\": {\"desc\": TEXT, \"code\": WIN32}}.\n";

int print_error(const std::string &desc, uint64_t code, int status)
{
    QDict *err = qdict_new();
    qdict_put(err, "desc", qstring_from_str(desc.c_str()));
    if (code) {
        qdict_put(err, "code", quint_from_uint(code));
    }
    QDict *root = qdict_new();
    qdict_put(root, "error", err);
    QString *text = qobject_to_json(QOBJECT(root));
    printf("%s\n", qstring_get_str(text));
    qobject_decref(QOBJECT(text));
    qobject_decref(QOBJECT(root));
    return status;
}

/* Prints the reply's "return" object, or the whole error reply. */
int print_reply(const std::string &reply)
{
    Error *err = nullptr;
    QObject *obj = qobject_from_json_len(reply.data(), reply.size(), &err);
    error_free(err);
    QDict *d = obj ? qobject_to_qdict(obj) : nullptr;
    int status;
    if (d && qdict_get(d, "return")) {
        QString *text = qobject_to_json(qdict_get(d, "return"));
        printf("%s\n", qstring_get_str(text));
        qobject_decref(QOBJECT(text));
        status = 0;
    } else if (d && qdict_get(d, "error")) {
        printf("%s\n", reply.c_str());
        status = 1;
    } else {
        status = print_error("malformed reply from the emulated driver", 0, 2);
    }
    if (obj) {
        qobject_decref(obj);
    }
    return status;
}

/* An ipc:// address nobody listens on is known at once, without waiting for a timeout. */
bool ipc_listening(const std::string &address)
{
    const std::string prefix = "ipc://";
    if (address.rfind(prefix, 0) != 0) {
        return true;
    }
    std::string path = address.substr(prefix.size());
    struct sockaddr_un sa = {};
    if (path.size() >= sizeof(sa.sun_path)) {
        return false;
    }
    sa.sun_family = AF_UNIX;
    memcpy(sa.sun_path, path.c_str(), path.size());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    bool ok = connect(fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof(sa)) == 0;
    close(fd);
    return ok;
}

/* One REQ socket kept for many requests: a connection per request costs a reconnect. */
class Channel {
public:
    explicit Channel(const std::string &address) : address_(address) {}
    ~Channel()
    {
        if (sock_ >= 0) {
            nn_close(sock_);
        }
    }

    /* false when the emulator cannot be reached. */
    bool exchange(const std::string &request, std::string *reply)
    {
        if (sock_ < 0) {
            if (!ipc_listening(address_)) {
                return false;
            }
            sock_ = nn_socket(AF_SP, NN_REQ);
            if (sock_ < 0) {
                return false;
            }
            int timeout = 5000;
            nn_setsockopt(sock_, NN_SOL_SOCKET, NN_SNDTIMEO, &timeout, sizeof(timeout));
            nn_setsockopt(sock_, NN_SOL_SOCKET, NN_RCVTIMEO, &timeout, sizeof(timeout));
            int unlimited = -1;
            nn_setsockopt(sock_, NN_SOL_SOCKET, NN_RCVMAXSIZE, &unlimited, sizeof(unlimited));
            if (nn_connect(sock_, address_.c_str()) < 0) {
                return false;
            }
        }
        if (nn_send(sock_, request.data(), request.size(), 0) < 0) {
            return false;
        }
        char *msg = nullptr;
        int n = nn_recv(sock_, &msg, NN_MSG, 0);
        if (n < 0) {
            return false;
        }
        reply->assign(msg, static_cast<size_t>(n));
        nn_freemsg(msg);
        return true;
    }

private:
    std::string address_;
    int sock_ = -1;
};

bool exchange(const std::string &address, const std::string &request, std::string *reply)
{
    Channel channel(address);
    return channel.exchange(request, reply);
}

bool parse_u64(const char *text, uint64_t *out)
{
    char *end = nullptr;
    errno = 0;
    if (!text || !*text || *text == '-') {
        return false;
    }
    *out = strtoull(text, &end, 0);
    return errno == 0 && *end == '\0';
}

/* ADDR[:PORT] with IPv6 as [addr]:port; a bare IPv6 address has no port. */
bool split_endpoint(const std::string &text, std::string *addr, uint64_t *port)
{
    *port = 0;
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find(']');
        if (close == std::string::npos) {
            return false;
        }
        *addr = text.substr(1, close - 1);
        std::string rest = text.substr(close + 1);
        if (rest.empty()) {
            return true;
        }
        return rest[0] == ':' && parse_u64(rest.c_str() + 1, port) && *port <= 65535;
    }
    size_t colon = text.find(':');
    if (colon == std::string::npos || text.find(':', colon + 1) != std::string::npos) {
        *addr = text;
        return !text.empty();
    }
    *addr = text.substr(0, colon);
    return parse_u64(text.c_str() + colon + 1, port) && *port <= 65535;
}

struct Request {
    QDict *dict = qdict_new();
    ~Request() { qobject_decref(QOBJECT(dict)); }
    std::string text() const
    {
        QString *s = qobject_to_json(QOBJECT(dict));
        std::string out(qstring_get_str(s), qstring_get_length(s));
        qobject_decref(QOBJECT(s));
        return out;
    }
};

bool build_inject(const std::vector<std::string> &args, QDict *req, std::string *why)
{
    for (size_t i = 0; i < args.size(); i += 2) {
        const std::string &opt = args[i];
        if (i + 1 >= args.size()) {
            *why = "option " + opt + " needs a value";
            return false;
        }
        const std::string &val = args[i + 1];
        if (opt == "--direction" || opt == "--protocol" || opt == "--dns" || opt == "--verdict" ||
            opt == "--rule-id" || opt == "--status") {
            qdict_put(req, opt.c_str() + 2, qstring_from_str(val.c_str()));
        } else if (opt == "--icmp") {
            uint64_t type, code;
            size_t slash = val.find('/');
            if (!parse_u64(val.substr(0, slash).c_str(), &type) || type > 255 ||
                (slash != std::string::npos && (!parse_u64(val.c_str() + slash + 1, &code) || code > 255))) {
                *why = "--icmp needs TYPE or TYPE/CODE (0 to 255)";
                return false;
            }
            qdict_put(req, "icmp-type", quint_from_uint(type));
            if (slash != std::string::npos) {
                qdict_put(req, "icmp-code", quint_from_uint(code));
            }
        } else if (opt == "--pid" || opt == "--count") {
            uint64_t n;
            if (!parse_u64(val.c_str(), &n)) {
                *why = opt + " needs a number";
                return false;
            }
            qdict_put(req, opt.c_str() + 2, quint_from_uint(n));
        } else if (opt == "--local" || opt == "--remote") {
            std::string addr;
            uint64_t port;
            if (!split_endpoint(val, &addr, &port)) {
                *why = "bad endpoint " + val;
                return false;
            }
            std::string key = opt.substr(2);
            qdict_put(req, key.c_str(), qstring_from_str(addr.c_str()));
            qdict_put(req, (key + "-port").c_str(), quint_from_uint(port));
        } else {
            *why = "unknown option " + opt;
            return false;
        }
    }
    return true;
}

/* Sends one classify-batch request and prints its results; false when unreachable. */
bool flush_batch(Channel &channel, QList *pending, const std::vector<std::string> &line_errors,
                 int *status)
{
    QDict *req = qdict_new();
    qdict_put(req, "command", qstring_from_str("classify-batch"));
    qdict_put(req, "connections", pending);
    QString *text = qobject_to_json(QOBJECT(req));
    std::string request(qstring_get_str(text), qstring_get_length(text));
    qobject_decref(QOBJECT(text));
    qobject_decref(QOBJECT(req));
    std::string reply;
    if (!channel.exchange(request, &reply)) {
        return false;
    }
    Error *err = nullptr;
    QObject *obj = qobject_from_json_len(reply.data(), reply.size(), &err);
    error_free(err);
    QDict *d = obj ? qobject_to_qdict(obj) : nullptr;
    QDict *ret = d ? qobject_to_qdict(qdict_get(d, "return")) : nullptr;
    QList *results = ret ? qobject_to_qlist(qdict_get(ret, "results")) : nullptr;
    if (!results) {
        /* A refusal of the whole batch (no device open, ...) answers for every line. */
        for (size_t i = 0; i < line_errors.size(); i++) {
            printf("%s\n", reply.c_str());
        }
        *status = 1;
    } else {
        const QListEntry *e = qlist_first(results);
        for (const std::string &line_error : line_errors) {
            if (!line_error.empty()) {
                print_error(line_error, 87, 1);
                *status = 1;
                continue;
            }
            if (!e) {
                print_error("the emulated driver returned too few results", 0, 1);
                *status = 1;
                continue;
            }
            QObject *item = qlist_entry_obj(e);
            QDict *id = qobject_to_qdict(item);
            if (id && qdict_get(id, "error")) {
                *status = 1;
            }
            QString *t = qobject_to_json(item);
            printf("%s\n", qstring_get_str(t));
            qobject_decref(QOBJECT(t));
            e = qlist_next(e);
        }
    }
    if (obj) {
        qobject_decref(obj);
    }
    return true;
}

int classify_batch(const std::string &address, const std::string &path)
{
    FILE *f = fopen(path.c_str(), "r");
    if (!f) {
        return print_error("cannot read " + path + ": " + strerror(errno), 0, 1);
    }
    int status = 0;
    bool reached = true;
    Channel channel(address);
    QList *pending = qlist_new();
    std::vector<std::string> line_errors;
    size_t pending_bytes = 0;
    char *line = nullptr;
    size_t cap = 0;
    ssize_t n;
    /* Well under the control socket's 64 KiB request limit. */
    constexpr size_t kChunkBytes = 40000;
    while (reached && (n = getline(&line, &cap, f)) >= 0) {
        std::string text(line, static_cast<size_t>(n));
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
            text.pop_back();
        }
        if (text.find_first_not_of(" \t") == std::string::npos) {
            continue;
        }
        if (text.size() > kChunkBytes) {
            line_errors.push_back("line too long");
        } else {
            Error *err = nullptr;
            QObject *obj = qobject_from_json_len(text.data(), text.size(), &err);
            error_free(err);
            if (obj && qobject_to_qdict(obj)) {
                qlist_append_obj(pending, obj);
                line_errors.emplace_back();
                pending_bytes += text.size();
            } else {
                if (obj) {
                    qobject_decref(obj);
                }
                line_errors.push_back("line is not a JSON object");
            }
        }
        if (pending_bytes >= kChunkBytes / 2 || line_errors.size() >= 1000) {
            reached = flush_batch(channel, pending, line_errors, &status);
            pending = qlist_new();
            line_errors.clear();
            pending_bytes = 0;
        }
    }
    free(line);
    fclose(f);
    if (reached && !line_errors.empty()) {
        reached = flush_batch(channel, pending, line_errors, &status);
    } else {
        qobject_decref(QOBJECT(pending));
    }
    if (!reached) {
        return print_error("cannot reach the emulated driver at " + address, 0, 2);
    }
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    char *default_address = endr_control_address();
    std::string address = default_address;
    g_free(default_address);
    while (!args.empty() && args[0].rfind("--", 0) == 0) {
        if (args[0] == "--help") {
            fputs(kUsage, stdout);
            return 0;
        }
        if (args[0] == "--address" && args.size() >= 2) {
            address = args[1];
            args.erase(args.begin(), args.begin() + 2);
            continue;
        }
        fputs(kUsage, stderr);
        return print_error("unknown option " + args[0], 0, 1);
    }
    if (args.empty()) {
        fputs(kUsage, stderr);
        return print_error("missing command", 0, 1);
    }
    std::string command = args[0];
    std::vector<std::string> rest(args.begin() + 1, args.end());
    Request req;
    qdict_put(req.dict, "command", qstring_from_str(command.c_str()));
    if (command == "status" || command == "lid-replies" || command == "shutdown") {
        if (!rest.empty()) {
            return print_error(command + " takes no arguments", 0, 1);
        }
    } else if (command == "raise-lid-request") {
        uint64_t pid;
        if (rest.size() != 1 || !parse_u64(rest[0].c_str(), &pid)) {
            return print_error("usage: raise-lid-request PID", 0, 1);
        }
        qdict_put(req.dict, "pid", quint_from_uint(pid));
    } else if (command == "fail") {
        std::vector<std::string> positional;
        for (size_t i = 0; i < rest.size(); i++) {
            uint64_t error;
            if (rest[i] == "--error" && i + 1 < rest.size() && parse_u64(rest[i + 1].c_str(), &error)) {
                qdict_put(req.dict, "error", quint_from_uint(error));
                i++;
            } else {
                positional.push_back(rest[i]);
            }
        }
        uint64_t n = 1;
        if (positional.empty() || positional.size() > 2 ||
            (positional.size() == 2 && !parse_u64(positional[1].c_str(), &n))) {
            return print_error("usage: fail CODE [N] [--error WIN32]", 0, 1);
        }
        qdict_put(req.dict, "code", qstring_from_str(positional[0].c_str()));
        qdict_put(req.dict, "count", quint_from_uint(n));
    } else if (command == "log") {
        if (rest.size() == 2 && rest[0] == "--hex") {
            qdict_put(req.dict, "hex", qstring_from_str(rest[1].c_str()));
        } else if (rest.size() == 1) {
            qdict_put(req.dict, "text", qstring_from_str(rest[0].c_str()));
        } else {
            return print_error("usage: log TEXT | log --hex HEX", 0, 1);
        }
    } else if (command == "set-version") {
        uint64_t version;
        if (rest.size() != 1 || !parse_u64(rest[0].c_str(), &version)) {
            return print_error("usage: set-version N", 0, 1);
        }
        qdict_put(req.dict, "version", quint_from_uint(version));
    } else if (command == "inject-connection") {
        std::string why;
        if (!build_inject(rest, req.dict, &why)) {
            return print_error(why, 0, 1);
        }
    } else if (command == "classify") {
        if (!rest.empty() && rest[0] == "--batch") {
            if (rest.size() != 2) {
                return print_error("usage: classify --batch FILE", 0, 1);
            }
            return classify_batch(address, rest[1]);
        }
        std::string why;
        /* --record is the one option without a value. */
        if (auto it = std::find(rest.begin(), rest.end(), "--record"); it != rest.end()) {
            rest.erase(it);
            qdict_put(req.dict, "record", qbool_from_bool(true));
        }
        for (size_t i = 0; i < rest.size(); i += 2) {
            if (rest[i] == "--verdict" || rest[i] == "--rule-id" || rest[i] == "--status" || rest[i] == "--count") {
                return print_error("classify does not take " + rest[i], 0, 1);
            }
        }
        if (!build_inject(rest, req.dict, &why)) {
            return print_error(why, 0, 1);
        }
        for (const char *key : {"direction", "protocol", "local", "remote"}) {
            if (!qdict_haskey(req.dict, key)) {
                return print_error(std::string("classify needs --") + key, 0, 1);
            }
        }
    } else {
        fputs(kUsage, stderr);
        return print_error("unknown command " + command, 0, 1);
    }

    std::string text = req.text();
    /* The daemon drops a longer request without a word: it would look unreachable. */
    if (text.size() > ENDR_CONTROL_MAX_REQUEST) {
        return print_error("request of " + std::to_string(text.size()) + " bytes is above the driver daemon's limit of " +
                               std::to_string(ENDR_CONTROL_MAX_REQUEST),
                           0, 1);
    }
    std::string reply;
    if (exchange(address, text, &reply)) {
        return print_reply(reply);
    }
    return print_error("cannot reach the driver daemon at " + address, 0, 2);
}
