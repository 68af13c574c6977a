/*
 * hv-controller: a stand-in for the controller module, for running a module without one.
 *
 *   hv-controller [--address ADDR] [--push-status on|off] [--no-channels on|off]
 *                 [--fail N] [--count N] [--answer-status on|off]
 *
 * Answers on a REP socket (default ipc://holvenstad_ca_channel.ipc):
 *   "get-module-info"               - the features "pushing-agent-status" and
 *                                     "no-channels", each unless turned off;
 *   "update-module-internal-status" - {"return": {}}, or an error for the first N when
 *                                     --fail N is given; never answered
 *                                     with --answer-status off;
 *   "update-services-status"        - {"return": {}};
 *   anything else                   - a CommandNotFound error.
 * Every request is printed as one JSON line on standard output, as it arrives. With
 * --count N it exits after answering N requests.
 */
#include <nanomsg/nn.h>
#include <nanomsg/reqrep.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <glib.h>

#include "qobject/qdict.h"
#include "qobject/qjson.h"
#include "qobject/qstring.h"
#include "util/error.h"

namespace {

constexpr const char *kDefaultAddress = "ipc://holvenstad_ca_channel.ipc";

int usage(const char *program)
{
    fprintf(stderr,
            "usage: %s [--address ADDR] [--push-status on|off] [--no-channels on|off] [--fail N] [--count N]\n"
            "          [--answer-status on|off]\n"
            "  answers a module's requests to the controller (default %s), printing each one;\n"
            "  --fail N: refuse the first N internal-status pushes; --count N: exit after N requests;\n"
            "  --answer-status off: take internal-status pushes but never answer them\n",
            program, kDefaultAddress);
    return 2;
}

bool parse_switch(const char *text, bool *out)
{
    if (strcmp(text, "on") == 0) {
        *out = true;
        return true;
    }
    if (strcmp(text, "off") == 0) {
        *out = false;
        return true;
    }
    return false;
}

bool parse_count(const char *text, long *out)
{
    char *end = nullptr;
    long n = strtol(text, &end, 10);
    if (!*text || *end || n < 0) {
        return false;
    }
    *out = n;
    return true;
}

struct Options {
    const char *address = kDefaultAddress;
    bool push_status = true;
    bool no_channels = true;
    long fail = 0;
    long count = -1;
    bool answer_status = true;
};

/* The request on one line: re-serialised when it parses, else with line breaks blanked. */
std::string one_line(const char *data, int len, QObject *parsed)
{
    if (parsed) {
        QString *json = qobject_to_json(parsed);
        std::string line = qstring_get_str(json);
        qobject_decref(QOBJECT(json));
        return line;
    }
    std::string line(data, static_cast<size_t>(len));
    for (char &c : line) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    return line;
}

std::string error_reply(const char *cls, const std::string &desc)
{
    return std::string("{\"error\": {\"class\": \"") + cls + "\", \"desc\": \"" + desc + "\"}}";
}

/* The reply to send, or an empty string for none. */
std::string answer(QObject *request, Options &opt)
{
    QDict *dict = qobject_to_qdict(request);
    QString *cmd = dict ? qobject_to_qstring(qdict_get(dict, "execute")) : nullptr;
    if (!cmd) {
        return error_reply("GenericError", "Invalid JSON syntax or missing 'execute'");
    }
    const std::string name = qstring_get_str(cmd);
    if (name == "get-module-info") {
        std::string features;
        if (opt.push_status) {
            features += "\"pushing-agent-status\"";
        }
        if (opt.no_channels) {
            features += std::string(features.empty() ? "" : ", ") + "\"no-channels\"";
        }
        return "{\"return\": {\"name\": \"controller\", \"version\": \"1.0.0\", \"protocol-version\": 1, "
               "\"features\": [" +
               features + "]}}";
    }
    if (name == "update-module-internal-status") {
        if (!opt.answer_status) {
            return "";
        }
        if (opt.fail > 0) {
            opt.fail--;
            return error_reply("GenericError", "internal status refused");
        }
        return "{\"return\": {}}";
    }
    if (name == "update-services-status") {
        return "{\"return\": {}}";
    }
    /* The name goes back escaped by the JSON writer, whatever it holds. */
    const std::string desc = "The command " + name + " has not been found";
    QString *quoted = qstring_new();
    qjson_append_quoted(quoted, desc.data(), desc.size());
    std::string text = qstring_get_str(quoted);
    qobject_decref(QOBJECT(quoted));
    return "{\"error\": {\"class\": \"CommandNotFound\", \"desc\": " + text + "}}";
}

} // namespace

int main(int argc, char **argv)
{
    Options opt;
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        bool ok = value != nullptr;
        if (strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0) {
            usage(argv[0]);
            return 0;
        } else if (ok && strcmp(arg, "--address") == 0) {
            opt.address = value;
        } else if (ok && strcmp(arg, "--push-status") == 0) {
            ok = parse_switch(value, &opt.push_status);
        } else if (ok && strcmp(arg, "--no-channels") == 0) {
            ok = parse_switch(value, &opt.no_channels);
        } else if (ok && strcmp(arg, "--fail") == 0) {
            ok = parse_count(value, &opt.fail);
        } else if (ok && strcmp(arg, "--count") == 0) {
            ok = parse_count(value, &opt.count);
        } else if (ok && strcmp(arg, "--answer-status") == 0) {
            ok = parse_switch(value, &opt.answer_status);
        } else {
            ok = false;
        }
        if (!ok) {
            return usage(argv[0]);
        }
        i++;
    }

    int sock = nn_socket(AF_SP, NN_REP);
    if (sock < 0) {
        fprintf(stderr, "hv-controller: %s\n", nn_strerror(nn_errno()));
        return 2;
    }
    if (nn_bind(sock, opt.address) < 0) {
        fprintf(stderr, "hv-controller: can't bind %s: %s\n", opt.address, nn_strerror(nn_errno()));
        nn_close(sock);
        return 2;
    }
    for (long served = 0; opt.count < 0 || served < opt.count; served++) {
        char *data = nullptr;
        int len = nn_recv(sock, &data, NN_MSG, 0);
        if (len < 0) {
            if (nn_errno() == EINTR) {
                served--;
                continue;
            }
            fprintf(stderr, "hv-controller: receive failed: %s\n", nn_strerror(nn_errno()));
            nn_close(sock);
            return 2;
        }
        Error *err = nullptr;
        QObject *request = qobject_from_json_len(data, static_cast<size_t>(len), &err);
        error_free(err);
        printf("%s\n", one_line(data, len, request).c_str());
        fflush(stdout);
        nn_freemsg(data);
        std::string reply = answer(request, opt);
        qobject_decref(request);
        /* Unanswered: the next receive drops the request, the sender is left waiting. */
        if (!reply.empty() && nn_send(sock, reply.data(), reply.size(), 0) < 0) {
            fprintf(stderr, "hv-controller: reply failed: %s\n", nn_strerror(nn_errno()));
        }
    }
    /* Closing drops a reply still queued; give the last one time to leave. */
    g_usleep(200 * G_TIME_SPAN_MILLISECOND);
    nn_close(sock);
    return 0;
}
