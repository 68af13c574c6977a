#include "enforcement/framework/common/en-utils.h"

#include <arpa/inet.h>
#include <glib.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "util/error.h"

namespace {

int system_family(int family)
{
    return family == EN_AF_INET ? AF_INET : AF_INET6;
}

/* Read like atoi, so that a prefix that is not a number reads as 0; overflow gives -1. */
long long read_prefix(const char *text)
{
    errno = 0;
    long long value = strtoll(text, nullptr, 10);
    if (errno == ERANGE) {
        return -1;
    }
    return value;
}

}  // namespace

int en_str_af(const char *text)
{
    if (!text) {
        return -1;
    }
    if (strchr(text, '.')) {
        return EN_AF_INET;
    }
    if (strchr(text, ':')) {
        return EN_AF_INET6;
    }
    return -1;
}

bool _en_pton(int family, const char *text, void *out)
{
    if (family != EN_AF_INET && family != EN_AF_INET6) {
        return false;
    }
    unsigned char buf[16];
    if (inet_pton(system_family(family), text, buf) != 1) {
        g_warning("failed to convert ip address: %s", text);
        return false;
    }
    if (family == EN_AF_INET) {
        uint32_t net;
        memcpy(&net, buf, 4);
        uint32_t host = ntohl(net);
        memcpy(out, &host, 4);
    } else {
        memcpy(out, buf, 16);
    }
    return true;
}

bool en_pton(const char *text, void *out, size_t out_len)
{
    int family = en_str_af(text);
    if (family == EN_AF_INET && out_len >= 4) {
        return _en_pton(family, text, out);
    }
    if (family == EN_AF_INET6 && out_len >= 16) {
        return _en_pton(family, text, out);
    }
    return false;
}

bool en_parse_ip(const char *text, en_ip_addr_t *out)
{
    memset(out, 0, sizeof(*out));
    int family = en_str_af(text);
    if (family < 0 || !_en_pton(family, text, &out->addr)) {
        return false;
    }
    out->is_ipv4 = family == EN_AF_INET;
    return true;
}

bool _en_ntop(int family, const void *addr, char *text, size_t size)
{
    unsigned char buf[16];
    if (family == EN_AF_INET) {
        uint32_t host;
        memcpy(&host, addr, 4);
        uint32_t net = htonl(host);
        memcpy(buf, &net, 4);
    } else if (family == EN_AF_INET6) {
        memcpy(buf, addr, 16);
    }
    if ((family != EN_AF_INET && family != EN_AF_INET6) || size > INT_MAX ||
        !inet_ntop(system_family(family), buf, text, static_cast<socklen_t>(size))) {
        g_warning("failed to convert ip address struct to string");
        return false;
    }
    return true;
}

bool en_ip_to_str(const en_ip_addr_t *ip, char *text, size_t size)
{
    return _en_ntop(ip->is_ipv4 ? EN_AF_INET : EN_AF_INET6, &ip->addr, text, size);
}

bool en_parse_cidr(const char *text, en_ip_addr_t *addr, en_ip_addr_t *mask, Error **errp)
{
    const char *slash = text ? strchr(text, '/') : nullptr;
    g_autofree char *address = slash ? g_strndup(text, static_cast<gsize>(slash - text)) : nullptr;
    int family = en_str_af(address);
    long long prefix = slash ? read_prefix(slash + 1) : -1;
    long long max_prefix = family == EN_AF_INET ? 32 : 128;
    bool parsed = family >= 0 && prefix >= 0 && prefix <= max_prefix;
    if (parsed) {
        memset(addr, 0, sizeof(*addr));
        memset(mask, 0, sizeof(*mask));
        parsed = _en_pton(family, address, &addr->addr);
    }
    /* Raised here, not in a helper, so that the Error names this function. */
    if (!parsed) {
        g_warning("[utils] failed to parse: %s", text ? text : "(null)");
        error_setg(errp, "[utils] failed to parse: %s", text ? text : "(null)");
        return false;
    }
    if (family == EN_AF_INET) {
        addr->is_ipv4 = mask->is_ipv4 = 1;
        mask->addr.ip4 = prefix == 0 ? 0 : ~uint32_t{0} << (32 - prefix);
    } else {
        long long full = prefix / 8;
        memset(mask->addr.ip6, 0xFF, static_cast<size_t>(full));
        if (prefix % 8) {
            mask->addr.ip6[full] = static_cast<uint8_t>(0xFF00 >> (prefix % 8));
        }
    }
    return true;
}

uint8_t en_sid_subauth_count(const char *text)
{
    if (!text) {
        return 0;
    }
    size_t dashes = 0;
    for (const char *p = text; *p; p++) {
        dashes += *p == '-';
    }
    if (dashes < 3 || dashes > 17) {
        return 0;
    }
    return static_cast<uint8_t>(dashes - 2);
}

int en_parse_sid(const char *text, uint8_t *count, uint32_t subauths[EN_SID_MAX_SUBAUTHS])
{
    *count = 0;
    /* Unix ids travel as S-1-22-1-uid and S-1-22-2-gid; the authority is not sent either way. */
    size_t prefix = !text                               ? 0
                    : strncmp(text, "S-1-22", 6) == 0 ? 6
                    : strncmp(text, "S-1-5", 5) == 0  ? 5
                                                      : 0;
    if (prefix == 0) {
        return EN_SID_BAD_PREFIX;
    }
    if (text[prefix] == '\0') {
        return EN_SID_NO_SUBAUTH;
    }
    if (text[prefix] != '-') {
        return EN_SID_MALFORMED;
    }
    const char *p = text + prefix + 1;
    for (;;) {
        if (*p < '0' || *p > '9') {
            return EN_SID_MALFORMED;
        }
        uint64_t value = 0;
        while (*p >= '0' && *p <= '9') {
            value = value * 10 + static_cast<uint64_t>(*p - '0');
            if (value > UINT32_MAX) {
                return EN_SID_MALFORMED;
            }
            p++;
        }
        subauths[(*count)++] = static_cast<uint32_t>(value);
        if (*p == '\0') {
            return EN_SID_OK;
        }
        if (*p != '-') {
            return EN_SID_MALFORMED;
        }
        if (*count == EN_SID_MAX_SUBAUTHS) {
            return EN_SID_TOO_MANY_SUBAUTHS;
        }
        p++;
    }
}
