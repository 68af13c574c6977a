#include "agent-common/agent-status-common.h"

#include <glib.h>

#include <atomic>
#include <cstring>

#include "agent-common/agent-main.h"
#include "agent-common/qmp-servers/qmp-rpc-client.h"
#include "qapi/qmp-common-types.h"
#include "qapi/qmp-input-visitor.h"
#include "qapi/qmp-output-visitor.h"
#include "qobject/qdict.h"
#include "qobject/qobject.h"
#include "qobject/qstring.h"
#include "util/error.h"

namespace {

constexpr size_t kDigestSize = 16;
constexpr int kSendTimeoutMs = 7000;
/* Start-up waits this long for a controller that takes the request and stays silent. */
constexpr int kModuleInfoTimeoutMs = 2000;
constexpr int kServicesTimeoutMs = 7000;
constexpr int kMaxRetries = 5;

struct Digest {
    guint8 bytes[kDigestSize] = {};
    bool operator==(const Digest &) const = default;
};

struct PendingSend {
    qmp_rpc_request *request;
    int attempts;
    char *text;
    Digest digest;
};

/* Read by status commands on other threads. */
std::atomic<bool> s_pushing_supported;
std::atomic<bool> s_no_channels;
Digest s_last_sent;
GList *s_pending; /* PendingSend, finalised at cleanup */
/* Whether a controller answered "get-module-info"; until one does it is asked again. */
std::atomic<bool> s_features_known;
qmp_rpc_request *s_info_request; /* the repeated question in flight, if any */

void pending_free(PendingSend *p)
{
    g_free(p->text);
    g_free(p);
}

/* The "desc" of an error reply, or NULL. */
const char *reply_error_desc(QObject *reply)
{
    QDict *dict = qobject_to_qdict(reply);
    if (!dict) {
        return nullptr;
    }
    if (!qdict_haskey(dict, "error")) {
        return nullptr;
    }
    QDict *error = qobject_to_qdict(qdict_get(dict, "error"));
    if (!error) {
        return "unknown error";
    }
    QString *desc = qobject_to_qstring(qdict_get(error, "desc"));
    return desc ? qstring_get_str(desc) : "unknown error";
}

bool digest_of(const char *text, Digest *out, Error **errp)
{
    GChecksum *md5 = g_checksum_new(G_CHECKSUM_MD5);
    if (!md5) {
        error_setg(errp, "MD5 is not available");
        return false;
    }
    g_checksum_update(md5, reinterpret_cast<const guchar *>(text), static_cast<gssize>(strlen(text)));
    gsize len = sizeof out->bytes;
    g_checksum_get_digest(md5, out->bytes, &len);
    g_checksum_free(md5);
    if (len != kDigestSize) {
        error_setg(errp, "unexpected digest length %u", static_cast<unsigned>(len));
        return false;
    }
    return true;
}

void status_sent(qmp_rpc_request *request, QObject *reply, Error *err, void *context);

void send_status(PendingSend *p)
{
    p->request = qmp_rpc_client_run_async_command(AGENT_MODULE_CONTROLLER, kSendTimeoutMs, status_sent, p,
                                                  "update-module-internal-status",
                                                  "\"module-internal-status\": %s", p->text);
}

void status_sent(qmp_rpc_request *request, QObject *reply, Error *err, void *context)
{
    auto *p = static_cast<PendingSend *>(context);
    qmp_rpc_client_finalize_request(request);
    p->request = nullptr;
    QDict *dict = reply ? qobject_to_qdict(reply) : nullptr;
    bool accepted = !err && dict && qdict_haskey(dict, "return");
    const char *why = accepted ? nullptr : err ? error_get_message(err) : reply_error_desc(reply);
    if (accepted) {
        g_debug("[agent-status-common] sent module internal status");
        s_last_sent = p->digest;
        s_pending = g_list_remove(s_pending, p);
        pending_free(p);
        qobject_decref(reply);
        return;
    }
    if (why) {
        g_warning("[agent-status-common] failed to send module internal status, error: %s", why);
    } else {
        g_warning("[agent-status-common] failed to send module internal status, error: unknown error");
    }
    qobject_decref(reply);
    if (p->attempts < kMaxRetries) {
        g_message("[agent-status-common] resend internal status");
        p->attempts++;
        send_status(p);
        return;
    }
    g_critical("[agent-status-common] module internal status report failed after %d attempts", kMaxRetries);
    s_pending = g_list_remove(s_pending, p);
    pending_free(p);
}

/* Releases every status still being sent or waiting for a retry. */
void drop_pending(void)
{
    for (GList *l = s_pending; l; l = l->next) {
        auto *p = static_cast<PendingSend *>(l->data);
        if (p->request) {
            qmp_rpc_client_finalize_request(p->request);
        }
        pending_free(p);
    }
    g_list_free(s_pending);
    s_pending = nullptr;
}

void log_feature(const char *feature, bool supported)
{
    g_debug("[agent-status-common] '%s' feature is: %s", feature, supported ? "supported" : "not supported");
}

} // namespace

namespace {

constexpr const char *kInfoCommand = "get-module-info";

/* Reads a controller's answer to "get-module-info" (taken) into the feature flags. */
void read_module_info(QObject *reply, Error *err)
{
    if (!reply) {
        g_warning("[agent-status-common] Failed to send %s: %s", kInfoCommand,
                  err ? error_get_message(err) : "unknown error");
        return;
    }
    s_features_known = true;
    if (const char *desc = reply_error_desc(reply)) {
        g_warning("[agent-status-common] Failed to send %s: %s", kInfoCommand, desc);
        qobject_decref(reply);
        return;
    }
    QDict *dict = qobject_to_qdict(reply);
    QObject *ret = dict ? qdict_get(dict, "return") : nullptr;
    ModuleInfo *info = nullptr;
    Error *local = nullptr;
    if (!ret) {
        error_setg(&local, "the reply has no \"return\"");
    } else {
        QmpInputVisitor *qiv = qmp_input_visitor_new(ret);
        visit_type_ModuleInfo(qmp_input_get_visitor(qiv), &info, nullptr, &local);
        qmp_input_visitor_cleanup(qiv);
    }
    qobject_decref(reply);
    if (local) {
        g_warning("[agent-status-common] Received invalid response for '%s': %s", kInfoCommand,
                  error_get_message(local));
        error_free(local);
        qapi_free_ModuleInfo(info);
        return;
    }
    bool pushing = false, no_channels = false;
    for (strList *f = info->features; f; f = f->next) {
        if (f->value && strcmp(f->value, "pushing-agent-status") == 0) {
            pushing = true;
        } else if (f->value && strcmp(f->value, "no-channels") == 0) {
            no_channels = true;
        }
    }
    qapi_free_ModuleInfo(info);
    s_no_channels = no_channels;
    s_pushing_supported = pushing;
    log_feature("pushing-agent-status", pushing);
    log_feature("no-channels", no_channels);
}

void module_info_answered(qmp_rpc_request *request, QObject *reply, Error *err, void *)
{
    qmp_rpc_client_finalize_request(request);
    s_info_request = nullptr;
    read_module_info(reply, err);
}

} // namespace

void agent_status_init(int module_id)
{
    s_pushing_supported = false;
    s_no_channels = false;
    s_features_known = false;
    if (module_id == AGENT_MODULE_CONTROLLER) {
        s_pushing_supported = true;
        s_features_known = true;
        return;
    }
    Error *err = nullptr;
    QObject *reply = qmp_rpc_client_call_sync(AGENT_MODULE_CONTROLLER, kModuleInfoTimeoutMs, &err, kInfoCommand, "%s", "");
    read_module_info(reply, err);
    error_free(err);
}

bool agent_status_features_known(void)
{
    return s_features_known;
}

void agent_status_ask_again(void)
{
    if (s_features_known || s_info_request) {
        return;
    }
    s_info_request = qmp_rpc_client_run_async_command(AGENT_MODULE_CONTROLLER, kModuleInfoTimeoutMs,
                                                      module_info_answered, nullptr, kInfoCommand, "%s", "");
}

void agent_status_cleanup(void)
{
    drop_pending();
    if (s_info_request) {
        qmp_rpc_client_finalize_request(s_info_request);
        s_info_request = nullptr;
    }
    s_features_known = false;
    s_pushing_supported = false;
    s_no_channels = false;
    s_last_sent = {};
}

bool agent_status_is_pushing_supported(void)
{
    return s_pushing_supported;
}

bool agent_status_is_no_channels_supported(void)
{
    return s_no_channels;
}

void report_module_status_if_changed(const ModuleInternalStatus *status)
{
    Error *err = nullptr;
    QmpOutputVisitor *qov = qmp_output_visitor_new();
    auto *value = const_cast<ModuleInternalStatus *>(status);
    visit_type_ModuleInternalStatus(qmp_output_get_visitor(qov), &value, nullptr, &err);
    if (err) {
        qmp_output_visitor_cleanup(qov);
        Error *raised = nullptr;
        error_setg(&raised, "failed to prepare json - %s", error_get_message(err));
        g_warning("[agent-status-common] module-internal-status update %s", error_get_message(raised));
        error_free(raised);
        error_free(err);
        return;
    }
    char *text = qmp_output_get_json(qov, true);
    Digest digest;
    if (!digest_of(text, &digest, &err)) {
        g_warning("[agent-status-common] module-internal-status update failed: %s", error_get_message(err));
        error_free(err);
        g_free(text);
        return;
    }
    if (digest == s_last_sent) {
        g_debug("[agent-status-common] module-internal-status did not change");
        g_free(text);
        return;
    }
    if (!s_pushing_supported) {
        g_free(text);
        return;
    }
    /* A slow controller (or the retries) can outlast the period: one copy in flight is enough. */
    for (GList *l = s_pending; l; l = l->next) {
        if (static_cast<PendingSend *>(l->data)->digest == digest) {
            g_debug("[agent-status-common] module-internal-status is being sent already");
            g_free(text);
            return;
        }
    }
    /* An older status still being sent or retried would reach the controller after this
     * one and replace it there; it is also what keeps a silent controller from piling
     * up one pending copy per change. */
    drop_pending();
    auto *p = g_new0(PendingSend, 1);
    p->text = text;
    p->digest = digest;
    s_pending = g_list_prepend(s_pending, p);
    send_status(p);
}

bool report_services_info(const char *services_json, Error **errp)
{
    Error *err = nullptr;
    QObject *reply = qmp_rpc_client_call_sync(AGENT_MODULE_CONTROLLER, kServicesTimeoutMs, &err,
                                              "update-services-status", "\"services\": %s", services_json);
    const char *desc = reply ? reply_error_desc(reply) : nullptr;
    if (!reply || desc) {
        error_setg(errp, "failed to send: %s", err ? error_get_message(err) : desc);
        error_free(err);
        qobject_decref(reply);
        return false;
    }
    qobject_decref(reply);
    g_debug("[agent-status-common] service-info update sent: %s", services_json);
    return true;
}
