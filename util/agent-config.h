/*
 * Configuration fields: named run-time settings registered by the code that owns
 * their storage, read and changed by "get-configuration", "get-configuration-defaults"
 * and "set-configuration", and persisted after every successful change.
 *
 * The registry reads and writes each field's storage in place. Integer storages are
 * unsigned 64-bit; a string storage is a heap string (g_free) that the registry owns
 * from registration to cleanup, so it must be NULL when registered. All calls belong
 * to the main-loop thread (or the command executor, which serialises commands);
 * other threads may only read the storages.
 *
 * An on_change handler sees the key, the old and the new value. Returning false
 * refuses the change (the old value is put back); it may set *errp to say why.
 */
#pragma once

#include <cstdint>

struct Error;
struct ConfigFieldList;

enum agent_config_type {
    AGENT_CONFIG_INT = 0,
    AGENT_CONFIG_INT_RANGE = 1,
    AGENT_CONFIG_STR = 2,
    AGENT_CONFIG_BOOL = 3,
};

typedef bool (*agent_config_int_cb)(const char *key, uint64_t old_value, uint64_t new_value,
                                    Error **errp);
typedef bool (*agent_config_str_cb)(const char *key, const char *old_value,
                                    const char *new_value, Error **errp);
typedef bool (*agent_config_bool_cb)(const char *key, bool old_value, bool new_value,
                                     Error **errp);

/* Creates the registry; a second call only logs. */
bool agent_config_init(void);
/* Drops every field (string storages are freed and set to NULL); idempotent. */
void agent_config_cleanup(void);

/*
 * Registration; the registry must be initialised (fatal assertion otherwise). The
 * default is the storage's value at registration; for strings it is default_value,
 * copied into *storage. A key registered again replaces the earlier field.
 */
void agent_config_register_int(const char *key, uint64_t *storage, agent_config_int_cb on_change);
void agent_config_register_int_range(const char *key, uint64_t *storage, uint64_t min,
                                     uint64_t max, agent_config_int_cb on_change);
void agent_config_register_str(const char *key, char **storage, agent_config_str_cb on_change,
                               const char *default_value, bool is_protected);
void agent_config_register_bool(const char *key, bool *storage, agent_config_bool_cb on_change);

/*
 * Applies fields in order and stops at the first failure; entries before it stay
 * applied. A refused string change keeps its old value and the later entries still
 * apply, but the result is false. A handler that refuses without an Error makes the
 * result false with *errp untouched.
 *
 * from_file (the stored fields at start): protected strings arrive encoded, and every
 * entry is applied on its own. A refused one is skipped with a warning naming it and the
 * reason; the result is then false with *errp listing the skipped fields. The stored value
 * of a refused field stays in what "set-configuration" writes until a command sets it.
 */
bool set_agents_configuration(ConfigFieldList *fields, bool from_file, Error **errp);

/*
 * One element per field, in the registry's order: current values, or the defaults.
 * encode_protected gives protected strings in their stored (file) form. Strings that
 * are NULL are left out.
 */
ConfigFieldList *agent_config_list(bool defaults, bool encode_protected);

/* The on_change of "agent.log_verbose"; agent_main also calls it once after start. */
bool update_agent_log_verbose(const char *key, bool old_value, bool new_value, Error **errp);
