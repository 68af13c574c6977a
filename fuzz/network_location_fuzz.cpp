/* The location readers: any bytes, no crash, only well-formed names out. */
#include <glib.h>
#include <net/if.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "enforcement/platforms/network-location.h"

namespace {

void check_domain(char *name)
{
    if (!name) {
        return;
    }
    size_t n = strlen(name);
    if (n == 0 || n > 253) {
        abort();
    }
    for (size_t i = 0; i < n; ++i) {
        char c = name[i];
        if (!(g_ascii_islower(c) || g_ascii_isdigit(c) || c == '-' || c == '.' || c == '_')) {
            abort();
        }
    }
    g_free(name);
}

void check_iface(char *name)
{
    if (name && (!*name || strlen(name) >= IFNAMSIZ)) {
        abort();
    }
    g_free(name);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *text = reinterpret_cast<const char *>(data);
    check_domain(platform_krb5_default_realm_parse(text, size));
    check_domain(platform_resolv_domain_parse(text, size));
    check_iface(platform_default_route_parse(text, size));
    check_iface(platform_default_route6_parse(text, size));
    return 0;
}
