/*
 * What survives a restart of the module: the last policy pushed successfully and the
 * driver's DNS cache, as JSON files under the data folder (log tag
 * "[persistent-storage]"; the DNS cache steps log as "[main]").
 *
 * The two paths are computed on first use from the registry value "HV_DATA_FOLDER" (as
 * data_folder_check takes it) and kept for the process's life. Every function is safe from any thread; writers of the
 * same file are serialised by their callers (policy lock, module stop).
 */
#pragma once

#include <cstddef>
#include <cstdint>

#include "enforcement/framework/common/en-utils.h"

struct Error;
struct QObject;
struct en_handle;
struct EnforcementPolicyOutputJson;
struct EnforcementDnsCache;

#define EN_PERSISTENT_POLICY_FILE "/config/persistent-policy.json"
#define EN_PERSISTENT_DNS_CACHE_FILE "/persistent-config/persistent-dnscache.json"
/* File text quoted in error messages is cut after this many bytes. */
#define EN_PERSISTENT_RAW_JSON_MAX 1024

/* The DNS snapshot exchanged with the driver (en_api_get/set_dns_snapshot). */
#define EN_DNS_SNAPSHOT_CAPACITY 10000
#define EN_DNS_NAME_SIZE 256
/* Longest name restored into a slot: the driver keeps one byte spare before the NUL. */
#define EN_DNS_NAME_RESTORE_MAX 254

#pragma pack(push, 1)
struct en_dns_snapshot_record_t {
    char name[EN_DNS_NAME_SIZE]; /* NUL-terminated */
    en_ip_addr_t ip;
    uint64_t ts;
    uint64_t start_ts;
};
struct en_dns_snapshot_t {
    en_dns_snapshot_record_t records[EN_DNS_SNAPSHOT_CAPACITY];
    uint64_t count;    /* records in use */
    uint64_t capacity; /* always EN_DNS_SNAPSHOT_CAPACITY */
};
#pragma pack(pop)
static_assert(sizeof(en_dns_snapshot_record_t) == 296);
static_assert(offsetof(en_dns_snapshot_record_t, ip) == 256);
static_assert(offsetof(en_dns_snapshot_record_t, ip.addr) == 264);
static_assert(offsetof(en_dns_snapshot_record_t, ts) == 280);
static_assert(offsetof(en_dns_snapshot_record_t, start_ts) == 288);
static_assert(offsetof(en_dns_snapshot_t, count) == 2960000);
static_assert(offsetof(en_dns_snapshot_t, capacity) == 2960008);
static_assert(sizeof(en_dns_snapshot_t) == 2960016);

/*
 * The stored policy. NULL without *errp set means no file. An empty file is reported and
 * deleted; a file that does not hold a policy object is reported and left in place.
 */
EnforcementPolicyOutputJson *persistent_EnforcementPolicyOutputJson_get(Error **errp);
/* Replaces the policy file atomically; "dc-inventory-revision" is written only when it is
 * not 0. */
bool persistent_EnforcementPolicyOutputJson_dump(EnforcementPolicyOutputJson *policy, Error **errp);
/* The DNS cache file, with the same rules as the policy file. */
EnforcementDnsCache *persistent_EnforcementDnsCache_get(Error **errp);
bool persistent_EnforcementDnsCache_dump(EnforcementDnsCache *cache, Error **errp);

/* Renames the policy file to "<path>.invalid", replacing one that exists. */
void persistent_policy_move_aside(void);

/* The data folder followed by relative_path into out_path (out_size bytes). */
bool set_persistent_filename(const char *relative_path, char *out_path, size_t out_size, Error **errp);

/*
 * Parses length bytes of a file's text into the JSON object the input visitor reads. Fails
 * on a parse error, on text without a value and on a value that is not an object; the
 * messages quote the text, cut after EN_PERSISTENT_RAW_JSON_MAX bytes with "...".
 */
QObject *json_to_input_visitor(const char *json, size_t length, Error **errp);

/* DNS cache save (module stop) and restore (module start) through the driver handle.
 * Problems are logged; neither fails. */
void en_dns_cache_save(en_handle *handle);
void en_dns_cache_restore(en_handle *handle);

/* Forgets the computed paths (they are otherwise kept for the process's life). */
void persistent_storage_reset_for_test(void);
