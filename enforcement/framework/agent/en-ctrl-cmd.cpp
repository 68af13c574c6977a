#include "enforcement/framework/agent/en-ctrl-cmd.h"

#include <glib.h>
#include <nanomsg/ipc.h>
#include <nanomsg/nn.h>
#include <nanomsg/reqrep.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "agent-common/agent-main.h"
#include "agent-common/nnmsg-channel.h"
#include "enforcement/framework/agent/en-dump.h"
#include "enforcement/platforms/process-privilege.h"
#include "qapi/qmp-enforcement-types.h"
#include "qapi/qmp-input-visitor.h"
#include "qobject/qdict.h"
#include "qobject/qjson.h"
#include "qobject/qnull.h"
#include "qobject/qobject.h"
#include "qobject/qstring.h"
#include "util/error.h"

namespace {

constexpr size_t kTextSize = 16384;
constexpr int kSendAttempts = 10;
constexpr int kRecvAttempts = 60;
constexpr gulong kRecvSleepUs = 750000;
/* A running module accepts the connection within microseconds. */
constexpr int kPeerWaitMs = 1000;
/* The command server's sizes: a policy reply can be large. */
constexpr int kIpcBufferSize = 10485760;
constexpr int kMaxMessageSize = 20971520;

struct Command {
    const char *name;
    const char *qmp;
    const char *args;
};

constexpr const char *kPolicyArgs = "\"format\": \"json\"";

const Command kCommands[] = {
    {"get-agent-state", "get-state", ""},
    {"dump-policies", "get-enforcement-policy", kPolicyArgs},
    {"export-policies", "get-enforcement-policy", kPolicyArgs},
    {"get-enforcement-mode", "get-enforcement-mode", ""},
    {"get-dns-blocklist-revision", "get-dns-blocklist-revision", ""},
};

void apply_socket_settings(int sock, const char *tag)
{
    int size = kIpcBufferSize;
    if (nn_setsockopt(sock, NN_IPC, NN_IPC_OUTBUFSZ, &size, sizeof size) < 0) {
        g_warning("%sfailed to set socket send buffer size: %s", tag, nn_strerror(nn_errno()));
    }
    if (nn_setsockopt(sock, NN_IPC, NN_IPC_INBUFSZ, &size, sizeof size) < 0) {
        g_warning("%sfailed to set socket receive buffer size: %s", tag, nn_strerror(nn_errno()));
    }
    int max_size = kMaxMessageSize;
    if (nn_setsockopt(sock, NN_SOL_SOCKET, NN_RCVMAXSIZE, &max_size, sizeof max_size) < 0) {
        g_warning("%sfailed to set socket max receive size: %s", tag, nn_strerror(nn_errno()));
    }
}

bool send_request(int sock, const char *request, int len, Error **errp)
{
    int sent = -1;
    for (int attempt = 1; attempt <= kSendAttempts; attempt++) {
        sent = nn_send(sock, request, static_cast<size_t>(len), NN_DONTWAIT);
        if (sent >= 0 || nn_errno() != EAGAIN) {
            break;
        }
        if (attempt < kSendAttempts) {
            g_usleep(1);
        }
    }
    if (sent < len) {
        error_setg(errp, "error sending %d bytes to agent: %s", len, nn_strerror(nn_errno()));
        return false;
    }
    return true;
}

/* The reply (nn_freemsg'd by the caller) and its length, or -1 with errp set. */
int receive_reply(int sock, char **reply, Error **errp)
{
    for (int attempt = 1;; attempt++) {
        int n = nn_recv(sock, reply, NN_MSG, NN_DONTWAIT);
        if (n >= 0) {
            return n;
        }
        int err = nn_errno();
        if (err != EAGAIN || attempt >= kRecvAttempts) {
            error_setg(errp, "failed to recv response message: %s", nn_strerror(err));
            return -1;
        }
        g_debug("Sleep start - %d", attempt);
        g_usleep(kRecvSleepUs);
        g_debug("Sleep stop - %d", attempt);
    }
}

/* The reply's "return" member, the reply keeping a null in its place; NULL when refused. */
QObject *take_return(QObject *reply)
{
    QDict *dict = qobject_to_qdict(reply);
    if (dict) {
        QObject *error = qdict_get(dict, "error");
        QString *message = error ? qobject_to_qstring(error) : nullptr;
        if (message) {
            g_critical("[ctrl-cmd] error reply from agent: %s", qstring_get_str(message));
            return nullptr;
        }
        QObject *value = qdict_get(dict, "return");
        if (value) {
            qobject_incref(value);
            qdict_del(dict, "return");
            qdict_put_obj(dict, "return", qnull());
            return value;
        }
    }
    g_critical("[ctrl-cmd] missing return reply from agent");
    return nullptr;
}

int exchange(QObject **result, const char *request, int len)
{
    char address[260];
    if (!agent_module_ipc_path(AGENT_MODULE_ENFORCEMENT, address, sizeof address)) {
        g_critical("[en-ctrl-cmd]  failed to get target IPC path");
        return 0;
    }
    int sock = nn_socket(AF_SP, NN_REQ);
    if (sock < 0) {
        g_critical("[en-ctrl-cmd]  failed to create nanomsg socket: %s", nn_strerror(nn_errno()));
        return 0;
    }
    apply_socket_settings(sock, "[en-ctrl-cmd] ");
    g_debug("[en-ctrl-cmd]  connecting to target agent IPC: %s", address);
    if (nn_connect(sock, address) < 0) {
        g_critical("[en-ctrl-cmd]  failed to connect to target agent IPC: %s", nn_strerror(nn_errno()));
        nn_close(sock);
        return -1;
    }
    /* nanomsg would hold the request for a module that is not running and the reply
     * would be waited for in vain; a refused connection says so at once. */
    if (nnmsg_channel_wait_peer(sock, kPeerWaitMs) == 0) {
        g_critical("[en-ctrl-cmd]  failed to connect to target agent IPC: %s", nn_strerror(ECONNREFUSED));
        nn_close(sock);
        return -1;
    }
    g_debug("[en-ctrl-cmd]  sending request to agent (%d bytes): %.*s", len, len, request);
    Error *err = nullptr;
    char *reply = nullptr;
    int n = -1;
    if (send_request(sock, request, len, &err)) {
        g_debug("[en-ctrl-cmd]  message sent to agent (%d bytes), waiting on reply", len);
        n = receive_reply(sock, &reply, &err);
    }
    nn_close(sock);
    if (n < 0) {
        g_critical("[ctrl-cmd] error communicating with agent with command '%s': %s", request,
                   error_get_message(err));
        error_free(err);
        return 0;
    }
    g_debug("[en-ctrl-cmd]  response read from agent (%d bytes): %.*s", n, n, reply);
    if (n == 0) {
        nn_freemsg(reply);
        return 0;
    }
    QObject *parsed = qobject_from_json_len(reply, static_cast<size_t>(n), &err);
    if (!parsed) {
        g_critical("[ctrl-cmd] bad reply back from agent (%s): %.*s", error_get_message(err), n, reply);
        error_free(err);
    }
    if (nn_freemsg(reply) < 0) {
        g_warning("[ctrl-cmd] failed to release nanomsg message reply: %s", nn_strerror(nn_errno()));
    }
    if (!parsed) {
        return 0;
    }
    QObject *value = take_return(parsed);
    qobject_decref(parsed);
    if (!value) {
        return 0;
    }
    *result = value;
    return 1;
}

/* The string a command returned, logged with format; false when it is not one. */
bool print_string(QObject *value, const char *format)
{
    QString *text = value ? qobject_to_qstring(value) : nullptr;
    if (!text) {
        g_critical("[ctrl-cmd] unexpected reply from agent: %s", value ? qobject_get_type_name(value) : "nothing");
        return false;
    }
    g_message(format, qstring_get_str(text));
    return true;
}

void print_dns_revision(QObject *value)
{
    QDict *dict = value ? qobject_to_qdict(value) : nullptr;
    if (!dict || qdict_haskey(dict, "error")) {
        g_critical("there was an error retriving the DNS-Security revision");
        return;
    }
    uint64_t revision = 0;
    bool present = false;
    Error *err = nullptr;
    QmpInputVisitor *qiv = qmp_input_visitor_new(value);
    Visitor *v = qmp_input_get_visitor(qiv);
    visit_optional(v, &present, "new-revision", &err);
    if (!err && present) {
        visit_type_uint64(v, &revision, "new-revision", &err);
    }
    qmp_input_visitor_cleanup(qiv);
    if (err) {
        g_critical("there was an error retriving the DNS-Security revision");
        error_free(err);
        return;
    }
    g_message("Current DNS-Security revision is: %llu", static_cast<unsigned long long>(revision));
}

} // namespace

int call_agent(QObject **result, const char *command, const char *args_fmt, ...)
{
    char args[kTextSize];
    va_list ap;
    va_start(ap, args_fmt);
    int n = g_vsnprintf(args, sizeof args, args_fmt, ap);
    va_end(ap);
    if (n < 0 || static_cast<size_t>(n) >= sizeof args) {
        return 0;
    }
    char request[kTextSize];
    n = g_snprintf(request, sizeof request, "{\"execute\": \"%s\", \"arguments\": {%s}}\n", command, args);
    if (n < 0 || static_cast<size_t>(n) >= sizeof request) {
        return 0;
    }
    return exchange(result, request, n);
}

bool en_ctrl_cmd_handle_policies(QObject *reply, const char *path, const char *mode)
{
    QDict *dict = reply ? qobject_to_qdict(reply) : nullptr;
    QObject *json = dict ? qdict_get(dict, "json") : nullptr;
    if (!json || !qobject_to_qdict(json)) {
        g_critical("[ctrl-cmd] invalid JSON format of policies reply");
        return false;
    }
    EnforcementChainList *input = nullptr;
    EnforcementChainList *output = nullptr;
    uint64_t revision = 0;
    uint64_t dc_revision = 0;
    bool has_dc_revision = false;
    bool ok = false;
    Error *err = nullptr;
    QmpInputVisitor *qiv = qmp_input_visitor_new(json);
    Visitor *v = qmp_input_get_visitor(qiv);
    do {
        visit_type_EnforcementChainList(v, &input, "input-table", &err);
        if (err) {
            g_critical("[ctrl-cmd] error reading input table: %s", error_get_message(err));
            break;
        }
        visit_type_EnforcementChainList(v, &output, "output-table", &err);
        if (err) {
            g_critical("[ctrl-cmd] error reading output table: %s", error_get_message(err));
            break;
        }
        visit_type_uint64(v, &revision, "revision", &err);
        if (err) {
            g_critical("[ctrl-cmd] error reading revision: %s", error_get_message(err));
            break;
        }
        visit_optional(v, &has_dc_revision, "dc-inventory-revision", &err);
        if (err) {
            g_critical("[ctrl-cmd] error reading has_dc_inventory_revision: %s", error_get_message(err));
            break;
        }
        if (has_dc_revision) {
            visit_type_uint64(v, &dc_revision, "dc-inventory-revision", &err);
            if (err) {
                g_critical("[ctrl-cmd] error reading dc_inventory_revision: %s", error_get_message(err));
                break;
            }
        }
        if (g_strcmp0(mode, "pretty") == 0) {
            en_policy_dump_to_log(input, output, revision, dc_revision, true);
            ok = true;
        } else if (g_strcmp0(mode, "csv") == 0) {
            if (!path || !*path) {
                g_critical("[ctrl-cmd] no export path given");
            } else {
                /* A file that could not be written is no export. */
                ok = en_policy_export(input, output, path);
            }
        }
    } while (false);
    error_free(err);
    qmp_input_visitor_cleanup(qiv);
    qapi_free_EnforcementChainList(input);
    qapi_free_EnforcementChainList(output);
    return ok;
}

bool en_ctrl_cmd_run(const char *command, const char *argument)
{
    if (!platform_process_is_administrator()) {
        g_critical("You must be running as Administrator or above in order to run control commands over the "
                   "Holvenstad agents");
        return false;
    }
    const Command *found = nullptr;
    for (const Command &c : kCommands) {
        if (command && strcmp(command, c.name) == 0) {
            found = &c;
            break;
        }
    }
    if (!found) {
        g_critical("unknown control command '%s'", command ? command : "");
        return false;
    }
    QObject *value = nullptr;
    if (call_agent(&value, found->qmp, "%s", found->args) != 1) {
        return false;
    }
    bool ok = true;
    if (strcmp(found->name, "get-agent-state") == 0) {
        ok = print_string(value, "Current agent state: %s");
    } else if (strcmp(found->name, "get-enforcement-mode") == 0) {
        ok = print_string(value, "Current enforcement mode: %s");
    } else if (strcmp(found->name, "dump-policies") == 0) {
        if (!en_ctrl_cmd_handle_policies(value, argument, "pretty")) {
            g_critical("failed dumping policies JSON");
        }
    } else if (strcmp(found->name, "export-policies") == 0) {
        if (!en_ctrl_cmd_handle_policies(value, argument, "csv")) {
            g_critical("failed exporting policies to CSV");
        }
    } else {
        print_dns_revision(value);
    }
    qobject_decref(value);
    return ok;
}
