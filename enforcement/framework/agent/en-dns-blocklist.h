/*
 * The DNS blocklist: domain names the driver blocks and names exempt from blocking,
 * versioned by a revision (log tag "[dns_blocklist]"). The handlers of
 * "set-dns-blocklist-policy" and "get-dns-blocklist-revision" are declared in the
 * generated qapi/qmp-enforcement-commands.h.
 *
 * Blocklist buffer (packed, little-endian): u64 revision; u32 block-list count, then per
 * name u8 (length + 1) and the name with its NUL; the same for the exclude list.
 */
#pragma once

#include <cstddef>
#include <cstdint>

#include "qapi/qmp-enforcement-commands.h"

/* Revision and the two counts. */
#define EN_DNS_BLOCKLIST_HEADER_SIZE 16
/* The length byte holds the name length + 1. */
#define EN_DNS_BLOCKLIST_MAX_NAME 254
#define EN_DNS_BLOCKLIST_MAX_REVISION 0xFFFFFFFFULL

/*
 * Writes one list (count, then its entries) at *cursor and advances it. Every write is
 * checked against end; nothing is written past it. Fails on a missing or empty name and
 * on a name longer than EN_DNS_BLOCKLIST_MAX_NAME.
 */
bool construct_dnslist(const strList *list, uint8_t **cursor, const uint8_t *end, Error **errp);

/*
 * The whole blocklist buffer in a fresh g_malloc'ed allocation of *out_len bytes (caller
 * g_frees). Fails, with nothing allocated, on a revision above
 * EN_DNS_BLOCKLIST_MAX_REVISION or on a name construct_dnslist refuses.
 */
bool construct_blocklist_buffer(uint64_t revision, const strList *block_list, const strList *exclude_list,
                                uint8_t **out_buf, size_t *out_len, Error **errp);

/* Both revisions back to 0, as at process start. */
void en_dns_blocklist_reset_for_test(void);
