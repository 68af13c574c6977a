#include "agent-common/tls-channel.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <string>

#include "agent-common/agent-metrics.h"
#include "util/error.h"

struct tls_channel_t {
    int fd = -1;
    SSL_CTX *ctx = nullptr;
    SSL *ssl = nullptr;
    std::string remote_name;
    bool handshake_done = false;
    bool failed = false;
    bool shut_down = false;
    bool peer_closed = false;
    GIOCondition wanted = G_IO_IN;
    tls_refusal refusal = TLS_REFUSAL_NONE;
    int last_errno = 0; /* of the socket, for the error text */
};

namespace {

BIO_METHOD *s_bio_method;
std::once_flag s_init_once;
bool s_init_ok;

/*
 * The socket BIO of the library writes with write(2), which raises SIGPIPE when the peer
 * is gone; this one sends with MSG_NOSIGNAL and never blocks, whatever the fd's flags.
 */
int sock_write(BIO *bio, const char *data, int len)
{
    auto *channel = static_cast<tls_channel_t *>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    ssize_t n;
    do {
        n = send(channel->fd, data, static_cast<size_t>(len), MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            BIO_set_retry_write(bio);
        } else {
            channel->last_errno = errno;
        }
        return -1;
    }
    return static_cast<int>(n);
}

int sock_read(BIO *bio, char *data, int len)
{
    auto *channel = static_cast<tls_channel_t *>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    ssize_t n;
    do {
        n = recv(channel->fd, data, static_cast<size_t>(len), MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            BIO_set_retry_read(bio);
        } else {
            channel->last_errno = errno;
        }
        return -1;
    }
    if (n == 0) {
        channel->peer_closed = true;
    }
    return static_cast<int>(n);
}

long sock_ctrl(BIO *, int cmd, long, void *)
{
    return cmd == BIO_CTRL_FLUSH ? 1 : 0;
}

int sock_create(BIO *bio)
{
    BIO_set_init(bio, 1);
    return 1;
}

int sock_destroy(BIO *)
{
    return 1;
}

void init_once()
{
    if (OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr) != 1) {
        return;
    }
    BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "hv-socket");
    if (!m || BIO_meth_set_write(m, sock_write) != 1 || BIO_meth_set_read(m, sock_read) != 1 ||
        BIO_meth_set_ctrl(m, sock_ctrl) != 1 || BIO_meth_set_create(m, sock_create) != 1 ||
        BIO_meth_set_destroy(m, sock_destroy) != 1) {
        BIO_meth_free(m);
        return;
    }
    s_bio_method = m;
    s_init_ok = true;
}

/* The library's most recent error text, or fallback; the queue is emptied. */
std::string take_ssl_error(const char *fallback)
{
    unsigned long code = ERR_peek_last_error();
    std::string text;
    if (code != 0) {
        const char *reason = ERR_reason_error_string(code);
        text = reason ? reason : "error code " + std::to_string(ERR_GET_REASON(code));
    } else {
        text = fallback;
    }
    ERR_clear_error();
    return text;
}

bool is_set(const char *s)
{
    return s && *s;
}

void fail_refused(tls_channel_t *channel, tls_refusal cause, const std::string &text, Error **errp)
{
    channel->failed = true;
    channel->refusal = cause;
    agent_metrics_add("tls.refused.%s", 1, tls_refusal_name(cause));
    g_warning("[tls-channel] connection to '%s' refused (%s): %s", channel->remote_name.c_str(),
              tls_refusal_name(cause), text.c_str());
    error_setg(errp, "%s", text.c_str());
}

/* A failed verification of the peer chain, by what went wrong. */
void refuse_verification(tls_channel_t *channel, long result, Error **errp)
{
    const char *why = X509_verify_cert_error_string(result);
    switch (result) {
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
        fail_refused(channel, TLS_REFUSAL_UNKNOWN_CA,
                     std::string("peer certificate is not issued by a trusted authority: ") + why, errp);
        return;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        fail_refused(channel, TLS_REFUSAL_NAME_MISMATCH,
                     "peer certificate does not match the expected name '" + channel->remote_name + "'", errp);
        return;
    case X509_V_ERR_CERT_HAS_EXPIRED:
        fail_refused(channel, TLS_REFUSAL_EXPIRED, "peer certificate has expired", errp);
        return;
    case X509_V_ERR_CERT_NOT_YET_VALID:
        fail_refused(channel, TLS_REFUSAL_NOT_YET_VALID, "peer certificate is not yet valid", errp);
        return;
    default:
        fail_refused(channel, TLS_REFUSAL_BAD_CERTIFICATE, std::string("peer certificate refused: ") + why, errp);
        return;
    }
}

bool is_not_tls_reason(int reason)
{
    switch (reason) {
    case SSL_R_WRONG_VERSION_NUMBER:
    case SSL_R_PACKET_LENGTH_TOO_LONG:
    case SSL_R_UNKNOWN_PROTOCOL:
    case SSL_R_HTTP_REQUEST:
    case SSL_R_HTTPS_PROXY_REQUEST:
    case SSL_R_RECORD_LENGTH_MISMATCH:
    case SSL_R_WRONG_SSL_VERSION:
        return true;
    default:
        return false;
    }
}

/* A fatal alert received from the peer shows as a reason code past this offset. */
bool is_alert_reason(int reason)
{
    return reason >= SSL_AD_REASON_OFFSET && reason < SSL_AD_REASON_OFFSET + 256;
}

std::string errno_text(int err)
{
    return err ? g_strerror(err) : "connection closed by peer";
}

/* The outcome of a failed handshake call, err being SSL_get_error's answer. */
tls_status handshake_failed(tls_channel_t *channel, int err, Error **errp)
{
    if (err == SSL_ERROR_WANT_READ) {
        channel->wanted = G_IO_IN;
        return TLS_STATUS_WANT_READ;
    }
    if (err == SSL_ERROR_WANT_WRITE) {
        channel->wanted = G_IO_OUT;
        return TLS_STATUS_WANT_WRITE;
    }
    long verify = SSL_get_verify_result(channel->ssl);
    if (verify != X509_V_OK) {
        ERR_clear_error();
        refuse_verification(channel, verify, errp);
        return TLS_STATUS_ERROR;
    }
    unsigned long code = ERR_peek_last_error();
    int reason = code ? ERR_GET_REASON(code) : 0;
    if (code && ERR_GET_LIB(code) == ERR_LIB_SSL && is_not_tls_reason(reason)) {
        std::string text = take_ssl_error("");
        fail_refused(channel, TLS_REFUSAL_NOT_TLS, "peer does not speak TLS (" + text + ")", errp);
    } else if (code && ERR_GET_LIB(code) == ERR_LIB_SSL && is_alert_reason(reason)) {
        fail_refused(channel, TLS_REFUSAL_PEER_REFUSED, "peer refused the handshake: " + take_ssl_error(""), errp);
    } else if (code) {
        fail_refused(channel, TLS_REFUSAL_HANDSHAKE, "TLS handshake failed: " + take_ssl_error(""), errp);
    } else {
        fail_refused(channel, TLS_REFUSAL_HANDSHAKE,
                     "TLS handshake failed: " + errno_text(channel->last_errno), errp);
    }
    return TLS_STATUS_ERROR;
}

/*
 * The outcome of a failed read or write. A peer that hangs up without the closing alert,
 * or resets, is closed like one that sends it: to a command channel both mean the end.
 */
tls_status io_failed(tls_channel_t *channel, int ret, const char *op, Error **errp)
{
    int err = SSL_get_error(channel->ssl, ret);
    switch (err) {
    case SSL_ERROR_WANT_READ:
        channel->wanted = G_IO_IN;
        return TLS_STATUS_WANT_READ;
    case SSL_ERROR_WANT_WRITE:
        channel->wanted = G_IO_OUT;
        return TLS_STATUS_WANT_WRITE;
    case SSL_ERROR_ZERO_RETURN:
        ERR_clear_error();
        channel->peer_closed = true;
        return TLS_STATUS_CLOSED;
    default:
        break;
    }
    unsigned long code = ERR_peek_last_error();
    int reason = code ? ERR_GET_REASON(code) : 0;
    bool lost = channel->last_errno == EPIPE || channel->last_errno == ECONNRESET ||
                (code && ERR_GET_LIB(code) == ERR_LIB_SSL && reason == SSL_R_UNEXPECTED_EOF_WHILE_READING) ||
                (!code && channel->peer_closed);
    channel->failed = true;
    if (lost) {
        ERR_clear_error();
        channel->peer_closed = true;
        return TLS_STATUS_CLOSED;
    }
    if (code && ERR_GET_LIB(code) == ERR_LIB_SSL && is_alert_reason(reason)) {
        /* With TLS 1.3 a server's refusal of our certificate arrives after our handshake
         * step already completed. */
        fail_refused(channel, TLS_REFUSAL_PEER_REFUSED, "peer refused the connection: " + take_ssl_error(""), errp);
        return TLS_STATUS_ERROR;
    }
    std::string text = code ? take_ssl_error("") : errno_text(channel->last_errno);
    g_warning("[tls-channel] %s on the connection to '%s' failed: %s", op, channel->remote_name.c_str(), text.c_str());
    agent_metrics_add("tls.errors", 1);
    error_setg(errp, "TLS %s failed: %s", op, text.c_str());
    return TLS_STATUS_ERROR;
}

bool load_client_identity(SSL_CTX *ctx, const tls_channel_params_t *params, Error **errp)
{
    if (!is_set(params->client_cert) && !is_set(params->client_key)) {
        return true;
    }
    if (!is_set(params->client_cert) || !is_set(params->client_key)) {
        error_setg(errp, "client certificate and client key must be given together");
        return false;
    }
    if (SSL_CTX_use_certificate_chain_file(ctx, params->client_cert) != 1) {
        error_setg(errp, "cannot load client certificate '%s': %s", params->client_cert,
                   take_ssl_error("unreadable").c_str());
        return false;
    }
    bool loaded = SSL_CTX_use_PrivateKey_file(ctx, params->client_key, SSL_FILETYPE_PEM) == 1;
    if (!loaded && ERR_GET_REASON(ERR_peek_last_error()) != X509_R_KEY_VALUES_MISMATCH) {
        error_setg(errp, "cannot load client key '%s': %s", params->client_key, take_ssl_error("unreadable").c_str());
        return false;
    }
    if (!loaded || SSL_CTX_check_private_key(ctx) != 1) {
        ERR_clear_error();
        error_setg(errp, "client key '%s' does not match client certificate '%s'", params->client_key,
                   params->client_cert);
        return false;
    }
    return true;
}

SSL_CTX *new_context(const tls_channel_params_t *params, Error **errp)
{
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx) {
        error_setg(errp, "cannot create TLS context: %s", take_ssl_error("out of memory").c_str());
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    if (SSL_CTX_load_verify_locations(ctx, params->ca_file, nullptr) != 1) {
        error_setg(errp, "cannot load certificate authority file '%s': %s", params->ca_file,
                   take_ssl_error("unreadable").c_str());
        SSL_CTX_free(ctx);
        return nullptr;
    }
    if (!load_client_identity(ctx, params, errp)) {
        SSL_CTX_free(ctx);
        return nullptr;
    }
    return ctx;
}

/* Host names are checked against DNS names and sent as SNI; addresses against IP entries. */
bool set_expected_name(SSL *ssl, const char *name, Error **errp)
{
    ASN1_OCTET_STRING *ip = a2i_IPADDRESS(name);
    bool ok;
    if (ip) {
        ASN1_OCTET_STRING_free(ip);
        ok = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), name) == 1;
    } else {
        SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        ok = SSL_set1_host(ssl, name) == 1 && SSL_set_tlsext_host_name(ssl, name) == 1;
    }
    ERR_clear_error();
    if (!ok) {
        error_setg(errp, "invalid remote name '%s'", name);
    }
    return ok;
}

} // namespace

bool tls_channel_global_init(Error **errp)
{
    std::call_once(s_init_once, init_once);
    if (!s_init_ok) {
        error_setg(errp, "cannot initialise the TLS library");
    }
    return s_init_ok;
}

tls_channel_t *tls_channel_new(int fd, const tls_channel_params_t *params, Error **errp)
{
    if (!tls_channel_global_init(errp)) {
        return nullptr;
    }
    if (fd < 0) {
        error_setg(errp, "no connected socket for the TLS channel");
        return nullptr;
    }
    if (!params || !is_set(params->ca_file)) {
        error_setg(errp, "no certificate authority file given");
        return nullptr;
    }
    if (!is_set(params->remote_name)) {
        error_setg(errp, "no expected remote name given");
        return nullptr;
    }
    ERR_clear_error();
    auto *channel = new tls_channel_t;
    channel->fd = fd;
    channel->remote_name = params->remote_name;
    channel->ctx = new_context(params, errp);
    if (!channel->ctx) {
        tls_channel_free(channel);
        return nullptr;
    }
    channel->ssl = SSL_new(channel->ctx);
    BIO *bio = channel->ssl ? BIO_new(s_bio_method) : nullptr;
    if (!bio) {
        error_setg(errp, "cannot create TLS session: %s", take_ssl_error("out of memory").c_str());
        tls_channel_free(channel);
        return nullptr;
    }
    BIO_set_data(bio, channel);
    SSL_set_bio(channel->ssl, bio, bio);
    SSL_set_connect_state(channel->ssl);
    /* A write reports each record sent, so that a caller's position advances as on a plain
     * socket; a retry may come from a moved buffer (a reply queue that reallocates). */
    SSL_set_mode(channel->ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (!set_expected_name(channel->ssl, params->remote_name, errp)) {
        tls_channel_free(channel);
        return nullptr;
    }
    return channel;
}

tls_status tls_channel_handshake(tls_channel_t *channel, Error **errp)
{
    if (channel->handshake_done) {
        return TLS_STATUS_OK;
    }
    if (channel->failed || channel->shut_down) {
        error_setg(errp, "TLS channel already failed");
        return TLS_STATUS_ERROR;
    }
    ERR_clear_error();
    channel->last_errno = 0;
    int ret = SSL_do_handshake(channel->ssl);
    if (ret == 1) {
        channel->handshake_done = true;
        g_debug("[tls-channel] handshake with '%s' completed (%s)", channel->remote_name.c_str(),
                SSL_get_version(channel->ssl));
        return TLS_STATUS_OK;
    }
    return handshake_failed(channel, SSL_get_error(channel->ssl, ret), errp);
}

/* Runs the handshake first when needed; OK means data may move. */
static tls_status tls_channel_ready(tls_channel_t *channel, Error **errp)
{
    if (channel->shut_down || (channel->failed && channel->peer_closed)) {
        return TLS_STATUS_CLOSED;
    }
    if (channel->failed) {
        error_setg(errp, "TLS channel already failed");
        return TLS_STATUS_ERROR;
    }
    return tls_channel_handshake(channel, errp);
}

tls_status tls_channel_read(tls_channel_t *channel, void *buf, size_t len, size_t *done, Error **errp)
{
    *done = 0;
    tls_status st = tls_channel_ready(channel, errp);
    if (st != TLS_STATUS_OK) {
        return st;
    }
    if (len == 0) {
        error_setg(errp, "TLS read of no bytes");
        return TLS_STATUS_ERROR;
    }
    ERR_clear_error();
    channel->last_errno = 0;
    size_t n = 0;
    int ret = SSL_read_ex(channel->ssl, buf, len, &n);
    if (ret == 1) {
        *done = n;
        return TLS_STATUS_OK;
    }
    return io_failed(channel, ret, "read", errp);
}

tls_status tls_channel_write(tls_channel_t *channel, const void *buf, size_t len, size_t *done, Error **errp)
{
    *done = 0;
    tls_status st = tls_channel_ready(channel, errp);
    if (st != TLS_STATUS_OK) {
        return st;
    }
    /* Once the peer has hung up, the first write would still land in the socket buffer. */
    if (channel->peer_closed) {
        return TLS_STATUS_CLOSED;
    }
    if (len == 0) {
        error_setg(errp, "TLS write of no bytes");
        return TLS_STATUS_ERROR;
    }
    ERR_clear_error();
    channel->last_errno = 0;
    size_t n = 0;
    int ret = SSL_write_ex(channel->ssl, buf, len, &n);
    if (ret == 1) {
        *done = n;
        return TLS_STATUS_OK;
    }
    return io_failed(channel, ret, "write", errp);
}

bool tls_channel_pending(const tls_channel_t *channel)
{
    return channel->ssl && !channel->failed && !channel->shut_down && SSL_pending(channel->ssl) > 0;
}

void tls_channel_shutdown(tls_channel_t *channel)
{
    if (!channel || channel->shut_down) {
        return;
    }
    channel->shut_down = true;
    if (channel->handshake_done && !channel->failed) {
        ERR_clear_error();
        SSL_shutdown(channel->ssl);
        ERR_clear_error();
    }
}

void tls_channel_free(tls_channel_t *channel)
{
    if (!channel) {
        return;
    }
    SSL_free(channel->ssl);
    SSL_CTX_free(channel->ctx);
    delete channel;
}

int tls_channel_get_fd(const tls_channel_t *channel)
{
    return channel->fd;
}

GIOCondition tls_channel_wanted(const tls_channel_t *channel)
{
    return channel->wanted;
}

tls_refusal tls_channel_get_refusal(const tls_channel_t *channel)
{
    return channel->refusal;
}

const char *tls_refusal_name(tls_refusal refusal)
{
    switch (refusal) {
    case TLS_REFUSAL_NONE:
        return "none";
    case TLS_REFUSAL_UNKNOWN_CA:
        return "unknown_ca";
    case TLS_REFUSAL_NAME_MISMATCH:
        return "name_mismatch";
    case TLS_REFUSAL_EXPIRED:
        return "expired";
    case TLS_REFUSAL_NOT_YET_VALID:
        return "not_yet_valid";
    case TLS_REFUSAL_BAD_CERTIFICATE:
        return "bad_certificate";
    case TLS_REFUSAL_NOT_TLS:
        return "not_tls";
    case TLS_REFUSAL_PEER_REFUSED:
        return "peer_refused";
    case TLS_REFUSAL_HANDSHAKE:
        return "handshake";
    }
    return "unknown";
}
