/*
 * hv-qmp: sends one command to a module's command socket and prints the reply.
 *
 *   hv-qmp [--address ADDR] [--timeout MS] '{"execute": "ping"}'
 *   hv-qmp [--address ADDR] [--timeout MS] -f request.json
 *   hv-qmp [--address ADDR] [--timeout MS] -            (request on standard input)
 *
 * --timeout is how long to wait for the reply (default 120000 ms); the request is never
 * sent a second time within it, so a slow command runs once.
 *
 * Exit code: 0 for a "return" reply, 1 for an "error" reply (or a reply that is
 * neither), 2 when the module cannot be reached or does not answer in time.
 */
#include <nanomsg/nn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <glib.h>

#include "qobject/qdict.h"
#include "qobject/qjson.h"
#include "tools/hv-qmp-socket.h"
#include "util/error.h"

namespace {

constexpr const char *kDefaultAddress = "ipc://holvenstad_en_channel.ipc";

int usage(const char *program)
{
    fprintf(stderr,
            "usage: %s [--address ADDR] [--timeout MS] (JSON | -f FILE | -)\n"
            "  sends one command to a module (default %s) and prints the reply;\n"
            "  --timeout: how long to wait for it (default 120000 ms), never sending it twice meanwhile;\n"
            "  exit 0 for a \"return\" reply, 1 for an \"error\" reply, 2 when unreachable\n",
            program, kDefaultAddress);
    return 2;
}

bool read_request(const char *source, const char *file, std::string *out)
{
    g_autofree char *text = nullptr;
    gsize len = 0;
    if (file) {
        g_autoptr(GError) err = nullptr;
        if (!g_file_get_contents(file, &text, &len, &err)) {
            fprintf(stderr, "hv-qmp: %s\n", err->message);
            return false;
        }
        out->assign(text, len);
        return true;
    }
    if (strcmp(source, "-") == 0) {
        char buf[65536];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, stdin)) > 0) {
            out->append(buf, n);
        }
        return true;
    }
    *out = source;
    return true;
}

/* 0 for {"return": ...}, 1 otherwise. */
int reply_status(const char *reply, int len)
{
    Error *err = nullptr;
    QObject *obj = qobject_from_json_len(reply, static_cast<size_t>(len), &err);
    error_free(err);
    QDict *dict = qobject_to_qdict(obj);
    int status = dict && qdict_haskey(dict, "return") ? 0 : 1;
    qobject_decref(obj);
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    const char *address = kDefaultAddress;
    int timeout_ms = 120000;
    const char *file = nullptr;
    const char *source = nullptr;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--address") == 0 && i + 1 < argc) {
            address = argv[++i];
        } else if (strcmp(argv[i], "--timeout") == 0 && i + 1 < argc) {
            timeout_ms = atoi(argv[++i]);
        } else if (strcmp(argv[i], "-f") == 0 && i + 1 < argc) {
            file = argv[++i];
        } else if (strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0) {
            usage(argv[0]);
            return 0;
        } else if (!source && !file) {
            source = argv[i];
        } else {
            return usage(argv[0]);
        }
    }
    if ((!source && !file) || timeout_ms <= 0) {
        return usage(argv[0]);
    }
    std::string request;
    if (!read_request(source, file, &request)) {
        return 2;
    }
    /* The server takes one object per message; a trailing line feed is allowed. */
    while (!request.empty() && (request.back() == '\n' || request.back() == '\r' || request.back() == ' ')) {
        request.pop_back();
    }

    int sock = hv_qmp_socket_open(timeout_ms);
    if (sock < 0) {
        fprintf(stderr, "hv-qmp: %s\n", nn_strerror(nn_errno()));
        return 2;
    }
    int status = 2;
    if (nn_connect(sock, address) < 0) {
        fprintf(stderr, "hv-qmp: can't connect to %s: %s\n", address, nn_strerror(nn_errno()));
    } else if (nn_send(sock, request.data(), request.size(), 0) < 0) {
        fprintf(stderr, "hv-qmp: can't send to %s: %s\n", address, nn_strerror(nn_errno()));
    } else {
        char *reply = nullptr;
        int len = nn_recv(sock, &reply, NN_MSG, 0);
        if (len < 0) {
            fprintf(stderr, "hv-qmp: no reply from %s: %s\n", address, nn_strerror(nn_errno()));
        } else {
            fwrite(reply, 1, static_cast<size_t>(len), stdout);
            if (len == 0 || reply[len - 1] != '\n') {
                fputc('\n', stdout);
            }
            status = reply_status(reply, len);
            nn_freemsg(reply);
        }
    }
    nn_close(sock);
    return status;
}
