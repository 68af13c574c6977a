#include "util/agent-config.h"

#include <glib.h>

#include <cstring>

#include "agent-common/agent-main.h"
#include "agent-common/logger.h"
#include "qapi/qmp-common-commands.h"
#include "qapi/qmp-common-types.h"
#include "util/agent-assert.h"
#include "util/error.h"
#include "util/persistent-config.h"

namespace {

struct ConfigEntry {
    agent_config_type type;
    union {
        uint64_t *u64;
        char **str;
        bool *b;
    } storage;
    union {
        uint64_t u64;
        char *str;
        bool b;
    } def;
    uint64_t min;
    uint64_t max;
    union {
        agent_config_int_cb u64;
        agent_config_str_cb str;
        agent_config_bool_cb b;
    } on_change;
    bool is_protected;
};

/* Keys and records are owned by the table. */
GHashTable *s_fields;
/* Stored values a start refused (a command-line flag fixes the field, a handler said no,
 * the field is unknown here or its value of another type), by key. The file goes on
 * carrying them as stored, so a later start without the flag (or a version that knows the
 * field) gets them back. */
GHashTable *s_held;

using ull = unsigned long long;

const char *bool_text(bool value)
{
    return value ? "true" : "false";
}

const char *str_or_null(const char *s)
{
    return s ? s : "(null)";
}

void entry_free(gpointer data)
{
    auto *entry = static_cast<ConfigEntry *>(data);
    if (entry->type == AGENT_CONFIG_STR) {
        g_free(entry->def.str);
        /* The registry put the string there, so it takes it back. */
        g_clear_pointer(entry->storage.str, g_free);
    }
    g_free(entry);
}

ConfigEntry *entry_add(const char *key, agent_config_type type)
{
    AGENT_ASSERT(s_fields != nullptr);
    AGENT_ASSERT(key != nullptr);
    if (g_hash_table_contains(s_fields, key)) {
        g_warning("[config] configuration field '%s' added more than once", key);
    }
    auto *entry = g_new0(ConfigEntry, 1);
    entry->type = type;
    g_hash_table_replace(s_fields, g_strdup(key), entry);
    return entry;
}

ConfigEntry *entry_find(const char *key)
{
    return s_fields && key ? static_cast<ConfigEntry *>(g_hash_table_lookup(s_fields, key))
                           : nullptr;
}

/* The protected-string encoding of the stored listing: base64 of the UTF-8 text. */
char *protected_encode(const char *text)
{
    return g_base64_encode(reinterpret_cast<const guchar *>(text), strlen(text));
}

char *protected_decode(const char *key, const char *text, Error **errp)
{
    gsize len = 0;
    guchar *raw = g_base64_decode(text, &len);
    const char *bytes = reinterpret_cast<const char *>(raw);
    char *out = nullptr;
    if (memchr(bytes, '\0', len) == nullptr && g_utf8_validate(bytes, len, nullptr)) {
        out = g_strndup(bytes, len);
    } else {
        error_setg(errp, "can't decode protected value of configuration key '%s'", key);
    }
    g_free(raw);
    return out;
}

bool set_int(ConfigEntry *entry, const char *key, uint64_t value, Error **errp)
{
    if (entry->type != AGENT_CONFIG_INT && entry->type != AGENT_CONFIG_INT_RANGE) {
        error_setg(errp, "can't set int value for not int configuration key '%s'", key);
        return false;
    }
    uint64_t old = *entry->storage.u64;
    if (value == old) {
        return true;
    }
    if (entry->type == AGENT_CONFIG_INT_RANGE && (value < entry->min || value > entry->max)) {
        error_setg(errp, "can't set value for '%s', out of range: %llu < %llu < %llu", key,
                   (ull)entry->min, (ull)value, (ull)entry->max);
        return false;
    }
    g_message("[config] updating agent integer configuration field '%s' (%llu->%llu)", key,
              (ull)old, (ull)value);
    *entry->storage.u64 = value;
    if (entry->on_change.u64 && !entry->on_change.u64(key, old, value, errp)) {
        *entry->storage.u64 = old;
        return false;
    }
    return true;
}

bool set_bool(ConfigEntry *entry, const char *key, bool value, Error **errp)
{
    if (entry->type != AGENT_CONFIG_BOOL) {
        error_setg(errp, "can't set bool value for not bool configuration key '%s'", key);
        return false;
    }
    bool old = *entry->storage.b;
    if (value == old) {
        return true;
    }
    g_message("[config] updating agent boolean configuration field '%s' (%s -> %s)", key,
              bool_text(old), bool_text(value));
    *entry->storage.b = value;
    if (entry->on_change.b && !entry->on_change.b(key, old, value, errp)) {
        *entry->storage.b = old;
        return false;
    }
    return true;
}

bool set_str(ConfigEntry *entry, const char *key, const char *value, bool from_file,
             Error **errp)
{
    if (entry->type != AGENT_CONFIG_STR) {
        error_setg(errp, "can't set str value for not str configuration key '%s'", key);
        return false;
    }
    char *decoded = nullptr;
    if (entry->is_protected && from_file && value) {
        decoded = protected_decode(key, value, errp);
        if (!decoded) {
            return false;
        }
        value = decoded;
    }
    const char *old = *entry->storage.str;
    if (old && g_strcmp0(old, value) == 0) {
        g_free(decoded);
        return true;
    }
    if (entry->is_protected) {
        g_message("[config] updating agent string configuration field '%s'", key);
    } else {
        g_message("[config] updating agent string configuration field '%s' ('%s' -> '%s')", key,
                  str_or_null(old), str_or_null(value));
    }
    if (entry->on_change.str && !entry->on_change.str(key, old, value, errp)) {
        g_free(decoded);
        return false;
    }
    char *copy = decoded ? decoded : g_strdup(value);
    g_free(*entry->storage.str);
    *entry->storage.str = copy;
    return true;
}

} // namespace

bool agent_config_init(void)
{
    if (s_fields) {
        g_debug("[config] configuration module already been initialized");
        return true;
    }
    s_fields = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, entry_free);
    if (!s_fields) {
        g_critical("[config] error creating configuration entries hash table");
        return false;
    }
    g_debug("[config] configuration module initialized");
    return true;
}

void agent_config_cleanup(void)
{
    if (!s_fields) {
        g_debug("[config] configuration module cleanup already been called");
        return;
    }
    g_clear_pointer(&s_fields, g_hash_table_destroy);
    g_clear_pointer(&s_held, g_hash_table_destroy);
    g_debug("[config] configuration module cleanup");
}

void agent_config_register_int(const char *key, uint64_t *storage, agent_config_int_cb on_change)
{
    AGENT_ASSERT(storage != nullptr);
    ConfigEntry *entry = entry_add(key, AGENT_CONFIG_INT);
    entry->storage.u64 = storage;
    entry->def.u64 = *storage;
    entry->on_change.u64 = on_change;
    g_debug("[config] registered integer configuration field '%s' with default value %llu", key,
            (ull)*storage);
}

void agent_config_register_int_range(const char *key, uint64_t *storage, uint64_t min,
                                     uint64_t max, agent_config_int_cb on_change)
{
    AGENT_ASSERT(storage != nullptr);
    ConfigEntry *entry = entry_add(key, AGENT_CONFIG_INT_RANGE);
    entry->storage.u64 = storage;
    entry->def.u64 = *storage;
    entry->min = min;
    entry->max = max;
    entry->on_change.u64 = on_change;
    g_debug("[config] registered integer configuration field '%s' with default value "
            "%llu(min=%llu, max=%llu)",
            key, (ull)*storage, (ull)min, (ull)max);
}

void agent_config_register_str(const char *key, char **storage, agent_config_str_cb on_change,
                               const char *default_value, bool is_protected)
{
    AGENT_ASSERT(storage != nullptr && *storage == nullptr);
    ConfigEntry *entry = entry_add(key, AGENT_CONFIG_STR);
    entry->storage.str = storage;
    entry->def.str = g_strdup(default_value);
    entry->on_change.str = on_change;
    entry->is_protected = is_protected;
    *storage = g_strdup(default_value);
    g_debug("[config] registered string configuration field '%s' with default value '%s'", key,
            is_protected ? "<protected>" : str_or_null(default_value));
}

void agent_config_register_bool(const char *key, bool *storage, agent_config_bool_cb on_change)
{
    AGENT_ASSERT(storage != nullptr);
    ConfigEntry *entry = entry_add(key, AGENT_CONFIG_BOOL);
    entry->storage.b = storage;
    entry->def.b = *storage;
    entry->on_change.b = on_change;
    g_debug("[config] registered bool configuration field '%s' with default value '%s'", key,
            bool_text(*storage));
}

namespace {

bool value_matches_type(const ConfigField *field, const ConfigEntry *entry)
{
    switch (entry->type) {
    case AGENT_CONFIG_INT:
    case AGENT_CONFIG_INT_RANGE:
        return field->has_int_value;
    case AGENT_CONFIG_STR:
        return field->has_str_value;
    case AGENT_CONFIG_BOOL:
        return field->has_bool_value;
    }
    return false;
}

/* One entry; false with *errp set when it is malformed or unknown, false with *errp
 * possibly untouched when the value or its handler is refused. */
bool set_one(const ConfigField *field, bool from_file, Error **errp)
{
    const char *key = field->name;
    if (field->has_int_value + field->has_str_value + field->has_bool_value != 1) {
        error_setg(errp, "multiple value types given for configuration key '%s'", str_or_null(key));
        return false;
    }
    ConfigEntry *entry = entry_find(key);
    if (!entry) {
        error_setg(errp, "can't set non-existing configuration key '%s'", str_or_null(key));
        return false;
    }
    if (field->has_int_value) {
        return set_int(entry, key, static_cast<uint64_t>(field->int_value), errp);
    }
    if (field->has_bool_value) {
        return set_bool(entry, key, field->bool_value, errp);
    }
    return set_str(entry, key, field->str_value, from_file, errp);
}

void copy_value(ConfigField *to, const ConfigField *from)
{
    g_free(to->str_value);
    to->has_int_value = from->has_int_value;
    to->int_value = from->int_value;
    to->has_bool_value = from->has_bool_value;
    to->bool_value = from->bool_value;
    to->has_str_value = from->has_str_value;
    to->str_value = g_strdup(from->str_value);
}

void hold(const ConfigField *field)
{
    if (!s_held) {
        s_held = g_hash_table_new_full(g_str_hash, g_str_equal, g_free,
                                       [](gpointer f) { qapi_free_ConfigField(static_cast<ConfigField *>(f)); });
    }
    ConfigField *copy = qapi_new_ConfigField(field->name);
    copy_value(copy, field);
    g_hash_table_replace(s_held, g_strdup(field->name), copy);
}

/* Every stored field is tried on its own: one refusal must not cost the fields after it. */
bool load_from_file(ConfigFieldList *fields, Error **errp)
{
    GString *skipped = nullptr;
    for (ConfigFieldList *node = fields; node; node = node->next) {
        const ConfigField *field = node->value;
        Error *err = nullptr;
        if (set_one(field, true, &err)) {
            if (s_held) {
                g_hash_table_remove(s_held, field->name);
            }
            continue;
        }
        const char *key = str_or_null(field->name);
        const char *reason = err ? error_get_message(err) : "refused by the field's change handler";
        g_warning("[config] skipping stored configuration field '%s': %s", key, reason);
        /* Kept as stored, known or not: a field of a newer version or of another mode is
         * the file's to carry, not this run's to drop. */
        if (field->name && field->has_int_value + field->has_str_value + field->has_bool_value == 1) {
            hold(field);
        }
        if (!skipped) {
            skipped = g_string_new("skipped");
        }
        g_string_append_printf(skipped, "%s '%s' (%s)", skipped->len > 7 ? "," : "", key, reason);
        error_free(err);
    }
    if (!skipped) {
        return true;
    }
    error_setg(errp, "%s", skipped->str);
    g_string_free(skipped, TRUE);
    return false;
}

} // namespace

bool set_agents_configuration(ConfigFieldList *fields, bool from_file, Error **errp)
{
    if (from_file) {
        return load_from_file(fields, errp);
    }
    bool ok = true;
    for (ConfigFieldList *node = fields; node; node = node->next) {
        const ConfigField *field = node->value;
        ConfigEntry *entry = entry_find(field->name);
        if (!set_one(field, false, errp)) {
            if (entry && field->has_str_value && !field->has_int_value && !field->has_bool_value) {
                /* A refused string keeps its old value without holding up the rest. */
                ok = false;
                continue;
            }
            return false;
        }
        /* A value set now replaces what a start refused. */
        if (s_held) {
            g_hash_table_remove(s_held, field->name);
        }
    }
    return ok;
}

ConfigFieldList *agent_config_list(bool defaults, bool encode_protected)
{
    ConfigFieldList *head = nullptr;
    ConfigFieldList **tail = &head;
    if (!s_fields) {
        return nullptr;
    }
    GHashTableIter iter;
    gpointer key;
    gpointer value;
    g_hash_table_iter_init(&iter, s_fields);
    while (g_hash_table_iter_next(&iter, &key, &value)) {
        const auto *entry = static_cast<const ConfigEntry *>(value);
        ConfigField *field = nullptr;
        switch (entry->type) {
        case AGENT_CONFIG_INT:
        case AGENT_CONFIG_INT_RANGE:
            field = qapi_new_ConfigField(static_cast<const char *>(key));
            field->has_int_value = true;
            field->int_value =
                static_cast<int64_t>(defaults ? entry->def.u64 : *entry->storage.u64);
            break;
        case AGENT_CONFIG_BOOL:
            field = qapi_new_ConfigField(static_cast<const char *>(key));
            field->has_bool_value = true;
            field->bool_value = defaults ? entry->def.b : *entry->storage.b;
            break;
        case AGENT_CONFIG_STR: {
            const char *text = defaults ? entry->def.str : *entry->storage.str;
            if (!text) {
                continue;
            }
            field = qapi_new_ConfigField(static_cast<const char *>(key));
            field->has_str_value = true;
            field->str_value = entry->is_protected && encode_protected ? protected_encode(text)
                                                                       : g_strdup(text);
            break;
        }
        }
        *tail = qapi_new_ConfigFieldList(field);
        tail = &(*tail)->next;
    }
    return head;
}

bool update_agent_log_verbose(const char *key, bool old_value, bool new_value, Error **errp)
{
    uint32_t mask = new_value ? LOGGER_LEVELS_ALL : LOGGER_LEVELS_DEFAULT;
    bool forced = ga_state && ga_state->config && (ga_state->config->log_level & G_LOG_LEVEL_DEBUG);
    if (forced && !new_value) {
        mask = LOGGER_LEVELS_ALL;
        g_debug("[agents-main] ignoring log level update overridden by flag (verbose=%s)",
                bool_text(new_value));
    }
    uint32_t old_mask = old_value ? LOGGER_LEVELS_ALL : LOGGER_LEVELS_DEFAULT;
    if (mask == old_mask) {
        g_message("[agents-main] ignoring log level update unchanged (verbose=%s)",
                  bool_text(new_value));
        return true;
    }
    g_message("[agents-main] setting agent log verbose=%s", bool_text(new_value));
    if (ga_state && ga_state->verbose_revert_timer) {
        g_source_remove(ga_state->verbose_revert_timer);
        ga_state->verbose_revert_timer = 0;
    }
    logger_set_level(mask);
    if (g_hv_agent && g_hv_agent->log_verbose_cb) {
        return g_hv_agent->log_verbose_cb(new_value, errp);
    }
    return true;
}

namespace {

/* The listing the file gets: current values, and the stored values a start refused.
 * With changes, what it would be once they applied. */
ConfigFieldList *stored_listing(const ConfigFieldList *changes)
{
    ConfigFieldList *all = agent_config_list(false, true);
    ConfigFieldList **tail = &all;
    while (*tail) {
        tail = &(*tail)->next;
    }
    auto find = [&all](const char *name) -> ConfigField * {
        for (ConfigFieldList *n = all; n; n = n->next) {
            if (g_strcmp0(n->value->name, name) == 0) {
                return n->value;
            }
        }
        return nullptr;
    };
    /* A held entry stands as it was stored; a change only for a field it fits. */
    auto overlay = [&](const ConfigField *field, bool encode) {
        const ConfigEntry *entry = entry_find(field->name);
        if ((encode && (!entry || !value_matches_type(field, entry))) ||
            field->has_int_value + field->has_str_value + field->has_bool_value != 1) {
            return;
        }
        ConfigField *target = find(field->name);
        if (!target) {
            target = qapi_new_ConfigField(field->name);
            *tail = qapi_new_ConfigFieldList(target);
            tail = &(*tail)->next;
        }
        copy_value(target, field);
        if (encode && entry && entry->is_protected && field->str_value) {
            g_free(target->str_value);
            target->str_value = protected_encode(field->str_value);
        }
    };
    if (s_held) {
        GHashTableIter iter;
        gpointer value;
        g_hash_table_iter_init(&iter, s_held);
        while (g_hash_table_iter_next(&iter, nullptr, &value)) {
            overlay(static_cast<const ConfigField *>(value), false);
        }
    }
    for (const ConfigFieldList *n = changes; n; n = n->next) {
        overlay(n->value, true);
    }
    return all;
}

} // namespace

void qmp_set_configuration(ConfigFieldList *fields, Error **errp)
{
    Error *err = nullptr;
    /* Refused before anything applies: a change the file cannot hold would be lost at the
     * next start while this run keeps it. */
    ConfigFieldList *prospect = stored_listing(fields);
    bool fits = persistent_config_check_size(prospect, &err);
    qapi_free_ConfigFieldList(prospect);
    if (!fits) {
        /* err is set */
    } else if (set_agents_configuration(fields, false, &err)) {
        ConfigFieldList *all = stored_listing(nullptr);
        persistent_config_write(all, &err);
        qapi_free_ConfigFieldList(all);
    } else if (!err) {
        /* A handler may refuse without saying why; the caller must still learn it failed. */
        error_setg(&err, "configuration change refused");
    }
    if (err) {
        g_warning("[%s] Error message: %s", __func__, error_get_message(err));
        error_propagate(errp, err);
    }
}

ConfigFieldList *qmp_get_configuration(Error **errp)
{
    return agent_config_list(false, false);
}

ConfigFieldList *qmp_get_configuration_defaults(Error **errp)
{
    return agent_config_list(true, false);
}
