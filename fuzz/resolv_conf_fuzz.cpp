/* The resolver configuration parser: any bytes, no crash, only address texts out. */
#include <arpa/inet.h>
#include <glib.h>

#include <cstdint>
#include <cstdlib>

#include "enforcement/platforms/netif-adapters.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    GSList *servers = platform_dns_servers_parse(reinterpret_cast<const char *>(data), size);
    for (GSList *l = servers; l; l = l->next) {
        unsigned char buf[16];
        const platform_ip_address *a = static_cast<const platform_ip_address *>(l->data);
        if (inet_pton(a->ipv6 ? AF_INET6 : AF_INET, a->text, buf) != 1) {
            abort();
        }
    }
    platform_ip_address_list_free(servers);
    return 0;
}
