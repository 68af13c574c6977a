/*
 * Address and CIDR text helpers shared by the rule conversion, the policy index and the
 * policy dump. Pure functions, safe from any thread.
 *
 * Families use the driver's numbering: EN_AF_INET (2) and EN_AF_INET6 (23).
 */
#pragma once

#include <cstddef>
#include <cstdint>

struct Error;

#define EN_AF_INET 2
#define EN_AF_INET6 23

/*
 * Tagged address: IPv4 held as a host-order u32 in the first 4 bytes of addr (the rest
 * zero), IPv6 as its 16 bytes in network order.
 */
struct en_ip_addr_t {
    uint8_t is_ipv4;
    uint8_t reserved[7];
    union {
        uint32_t ip4;
        uint8_t ip6[16];
    } addr;
};
static_assert(sizeof(en_ip_addr_t) == 24);

/* EN_AF_INET when text holds ".", else EN_AF_INET6 when it holds ":", else -1 (also NULL). */
int en_str_af(const char *text);

/*
 * Text to address by family: EN_AF_INET writes a host-order u32 (4 bytes), EN_AF_INET6 16
 * network-order bytes. False for another family; logs "failed to convert ip address: %s"
 * when the text does not convert.
 */
bool _en_pton(int family, const char *text, void *out);
/* As _en_pton with the family from en_str_af; false when out_len is below 4 (IPv4) or 16
 * (IPv6), or when the text has no family (nothing logged then). */
bool en_pton(const char *text, void *out, size_t out_len);
/* Text to a zeroed tagged address; the same rules as en_pton. */
bool en_parse_ip(const char *text, en_ip_addr_t *out);

/* Address to text (an IPv4 address given host-order); logs "failed to convert ip address
 * struct to string" and returns false when it does not fit. */
bool _en_ntop(int family, const void *addr, char *text, size_t size);
bool en_ip_to_str(const en_ip_addr_t *ip, char *text, size_t size);

/*
 * "address/prefix" to a tagged address (bits beyond the prefix kept) and a tagged mask
 * of the top prefix bits. The prefix is read as a decimal number, text that is not a
 * number reading as 0. A missing prefix, a prefix outside 0-32 (IPv4) or 0-128 (IPv6),
 * or an address that does not convert fails with "[utils] failed to parse: %s".
 */
bool en_parse_cidr(const char *text, en_ip_addr_t *addr, en_ip_addr_t *mask, Error **errp);

/* Sub-authorities a SID may carry on the wire. */
#define EN_SID_MAX_SUBAUTHS 15

/* Results of en_parse_sid. */
enum en_sid_parse_result : int {
    EN_SID_OK = 0,
    EN_SID_BAD_PREFIX = 1,
    EN_SID_NO_SUBAUTH = 2,
    EN_SID_TOO_MANY_SUBAUTHS = 3,
    EN_SID_MALFORMED = 4,
};

/* Sub-authorities of a SID text for sizing: its dashes minus 2; 0 when that is below 1,
 * when the text has more than 17 dashes, or for NULL. */
uint8_t en_sid_subauth_count(const char *text);
/*
 * An "S-1-5-a-b-..." or "S-1-22-a-b-..." text to its sub-authority values (the authority
 * is not kept). Writes
 * *count and subauths[0..count) only as far as it got; returns an en_sid_parse_result.
 */
int en_parse_sid(const char *text, uint8_t *count, uint32_t subauths[EN_SID_MAX_SUBAUTHS]);
