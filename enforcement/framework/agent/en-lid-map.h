/*
 * The process identity map (log tag "[lid_map]"): policy identities (application name,
 * image path, container ID) to the 16-bit lids the driver matches on, and the pid table
 * that keeps the information of every answered process under a creation id (cid) so that
 * later connection events can still name it.
 *
 * One mutex covers both tables and the lid counters; the cid counter is atomic. Any
 * thread may call add, get, add_pid_info and get_pid; init and free belong to the
 * main-loop thread, whose default context runs the cleanup every 30 seconds. Without
 * init every call fails (false, nothing stored).
 *
 * A NULL out-parameter logs critical "[%s:%d] %s is NULL" and fails.
 */
#pragma once

#include <cstdint>

#include "enforcement/framework/agent/en-proc-info.h"

#define EN_LID_MAP_DEFAULT_LID 1
#define EN_LID_MAP_FIRST_LID 10
#define EN_LID_MAP_LAST_LID 65534
#define EN_LID_MAP_MAX_LIDS 8
#define EN_LID_MAP_CLEANUP_SECONDS 30

/* The lids of one answer, in the layout of the lid reply's count and lids. */
struct en_lids_t {
    uint16_t count;
    uint16_t lids[EN_LID_MAP_MAX_LIDS];
};

/* Tables with the default identity (lid 1), counters at their start, cleanup scheduled
 * on the default main context. True (also when already initialised). */
bool en_lid_map_init(void);
/* Ends the cleanup timer (waiting for a running cleanup), frees both tables. NULL-safe
 * in the sense that it may run without init. */
void en_lid_map_free(void);
/* Back to the default identity only, next lid 10; the pid table stays. */
void en_lid_map_reset(void);

/*
 * A policy push numbers its identities aside: after begin, en_lid_map_add fills a new
 * numbering (default identity only, next lid 10) while every answer keeps coming from the
 * numbering in force. commit makes the new numbering the one in force (and advances the
 * generation); abort drops it. commit and abort without a begin do nothing.
 */
void en_lid_map_stage_begin(void);
void en_lid_map_stage_commit(void);
void en_lid_map_stage_abort(void);
/* Advances whenever the numbering in force changes; 0 without init. */
uint64_t en_lid_map_generation(void);

/* The lid of an identity, handing out the next one for a new identity; NULL fields are
 * missing. Names and paths compare ignoring ASCII case, container IDs byte for byte.
 * False once 65534 has been handed out. */
bool en_lid_map_add(const char *app_name, const char *image_path, const char *container_id, uint16_t *lid_out);

enum en_lid_lookup {
    EN_LID_LOOKUP_FOUND,
    EN_LID_LOOKUP_NONE,
    EN_LID_LOOKUP_TOO_MANY, /* a ninth lid would be appended */
    EN_LID_LOOKUP_FAILED,   /* no map or a NULL argument */
};
/* The lids of a process as en_lid_map_get finds them, all under one numbering whose
 * generation goes to generation_out (may be NULL); nothing is stored. */
en_lid_lookup en_lid_map_lookup(const en_process_info_t *info, en_lids_t *lids_out, uint64_t *generation_out);
/*
 * The lids of a process: its own identity and its wildcard forms, in a fixed order, each
 * found lid appended to lids_out (zeroed by the caller), the default lid last and once.
 * Then the map takes *proc_info (cleared) and writes its cid. False when no lid was found
 * or a ninth would be appended; in the latter case *proc_info stays with the caller.
 */
bool en_lid_map_get(en_process_info_t **proc_info, en_lids_t *lids_out, uint32_t *cid_out);
/* Takes proc_info into the pid table under a new cid, replacing an entry of the same
 * (cid, pid). proc_info is taken in every case: released when it cannot be stored (no
 * map, or a NULL cid_out). */
void en_lid_map_add_pid_info(en_process_info_t *proc_info, uint32_t *cid_out);
/* A deep copy of the information stored under (pid, cid); false and NULL when none. */
bool en_lid_map_get_pid(uint64_t pid, uint32_t cid, en_process_info_t **process_info);

/*
 * One run of the periodic cleanup (the timer's body, callable directly): removes entries
 * marked in an earlier run, marks entries of ended processes dead and, among entries of
 * the same running pid, all but the highest cid dup. False when the timer should end
 * (free in progress or no map).
 */
bool en_lid_map_cleanup_run(void);
