#include "util/persistent-config.h"

#include <glib.h>
#include <glib/gstdio.h>

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "agent-common/agent-main.h"
#include "enforcement/platforms/registry.h"
#include "qapi/qmp-common-types.h"
#include "qapi/qmp-output-visitor.h"
#include "qobject/qbool.h"
#include "qobject/qdict.h"
#include "qobject/qint.h"
#include "qobject/qjson.h"
#include "qobject/qlist.h"
#include "qobject/qstring.h"
#include "qobject/quint.h"
#include "util/atomic-file.h"
#include "util/data-folder.h"
#include "util/error.h"

namespace {

char *s_file_path;

using ull = unsigned long long;

/* One element of the array, or NULL when it lacks a name or a usable value. */
ConfigField *field_from_json(const QDict *dict)
{
    const QString *name = qobject_to_qstring(qdict_get(dict, "name"));
    const QObject *value = nullptr;
    const char *member = nullptr;
    for (const char *candidate : {"int-value", "str-value", "bool-value"}) {
        value = qdict_get(dict, candidate);
        if (value) {
            member = candidate;
            break;
        }
    }
    if (!name || !value) {
        g_debug("[persistent-config] Can't get item from JSON");
        return nullptr;
    }
    const char *key = qstring_get_str(name);
    ConfigField *field = qapi_new_ConfigField(key);
    if (qobject_type(value) == QTYPE_QINT && strcmp(member, "int-value") == 0) {
        field->has_int_value = true;
        field->int_value = qint_get_int(qobject_to_qint(value));
        g_debug("[persistent-config] Loading integer value: %s -> %llu", key,
                (ull)field->int_value);
    } else if (qobject_type(value) == QTYPE_QUINT && strcmp(member, "int-value") == 0) {
        uint64_t u = quint_get_uint(qobject_to_quint(value));
        if (u > INT64_MAX) {
            g_debug("[persistent-config] Invalid integer value for %s (out of range: %llu), "
                    "fallback to max %lli",
                    key, (ull)u, (long long)INT64_MAX);
            u = INT64_MAX;
        }
        field->has_int_value = true;
        field->int_value = static_cast<int64_t>(u);
        g_debug("[persistent-config] Loading integer value: %s -> %llu", key, (ull)u);
    } else if (qobject_type(value) == QTYPE_QSTRING && strcmp(member, "str-value") == 0) {
        field->has_str_value = true;
        field->str_value = g_strdup(qstring_get_str(qobject_to_qstring(value)));
        g_debug("[persistent-config] Loading string value: %s -> '%s'", key, field->str_value);
    } else if (qobject_type(value) == QTYPE_QBOOL && strcmp(member, "bool-value") == 0) {
        field->has_bool_value = true;
        field->bool_value = qbool_get_bool(qobject_to_qbool(value));
        g_debug("[persistent-config] Loading boolean value: %s -> %s", key,
                field->bool_value ? "true" : "false");
    } else {
        g_debug("[persistent-config] Can't get item from JSON");
        qapi_free_ConfigField(field);
        return nullptr;
    }
    return field;
}

} // namespace

void persistent_config_init(const char *file_path)
{
    g_free(s_file_path);
    s_file_path = g_strdup(file_path);
}

bool persistent_config_init_in_data_folder(const char *config_key, const char *file_name)
{
    persistent_config_init(nullptr);
    Error *err = nullptr;
    char *folder = platform_registry_read_string(config_key ? config_key : AGENT_DEFAULT_CONFIG_KEY,
                                                 "HV_DATA_FOLDER", &err);
    g_autofree char *checked = nullptr;
    data_folder_fault_t fault = data_folder_check(folder, &checked);
    if (fault != DATA_FOLDER_VALID) {
        /* The file would land at the file system root or under the working directory. */
        g_warning("[persistent-config] Unable to get Holvenstad program data folder");
        if (folder) {
            g_warning("[persistent-config] HV_DATA_FOLDER '%s' %s", folder, data_folder_fault_text(fault));
        }
        g_free(folder);
        error_free(err);
        return false;
    }
    g_free(folder);
    char path[AGENT_PATH_MAX];
    int n = g_snprintf(path, sizeof(path), "%s%s%s%s%s", checked, G_DIR_SEPARATOR_S, "config",
                       G_DIR_SEPARATOR_S, file_name);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(path)) {
        g_warning("[persistent-config] Error setting config file name '%s'", file_name);
        return false;
    }
    persistent_config_init(path);
    return true;
}

const char *persistent_config_file(void)
{
    return s_file_path;
}

void persistent_config_cleanup(void)
{
    g_clear_pointer(&s_file_path, g_free);
}

ConfigFieldList *persistent_config_read(Error **errp)
{
    if (!s_file_path) {
        g_warning("[persistent-config] Unable to get config, file name was not set");
        return nullptr;
    }
    GStatBuf st;
    if (g_stat(s_file_path, &st) != 0) {
        int saved = errno;
        if (saved == ENOENT) {
            g_debug("[persistent-config] Configuration file '%s' doesn't exist", s_file_path);
            return nullptr;
        }
        g_warning("[persistent-config] Failed reading configuration file '%s' size: %s",
                  s_file_path, g_strerror(saved));
        error_setg_errno(errp, saved, "Failed reading configuration file '%s' size",
                         s_file_path);
        return nullptr;
    }
    if (st.st_size > PERSISTENT_CONFIG_MAX_SIZE) {
        g_warning("[persistent-config] Config file is too big %llu", (ull)st.st_size);
        return nullptr;
    }
    g_debug("[persistent-config] Reading config file %s", s_file_path);
    gchar *text = nullptr;
    gsize len = 0;
    GError *gerr = nullptr;
    if (!g_file_get_contents(s_file_path, &text, &len, &gerr)) {
        g_warning("[persistent-config] Unable to read file %s: %s", s_file_path, gerr->message);
        g_error_free(gerr);
        return nullptr;
    }
    /* The file may have grown since it was measured. */
    if (len > PERSISTENT_CONFIG_MAX_SIZE) {
        g_warning("[persistent-config] Config file is too big %llu", (ull)len);
        g_free(text);
        return nullptr;
    }

    Error *err = nullptr;
    QObject *doc = qobject_from_json_len(text, len, &err);
    g_free(text);
    if (!doc) {
        if (err) {
            error_setg(errp, "Invalid format of configuration in JSON file: %s",
                       error_get_message(err));
            error_free(err);
        } else {
            error_setg(errp, "Invalid format of JSON file");
        }
        return nullptr;
    }
    const QList *array = qobject_to_qlist(doc);
    if (!array) {
        g_warning("[persistent-config] %s", "Invalid format of JSON file");
        error_setg(errp, "Invalid format of JSON file");
        qobject_decref(doc);
        return nullptr;
    }

    ConfigFieldList *head = nullptr;
    for (const QListEntry *e = qlist_first(array); e; e = qlist_next(e)) {
        const QDict *dict = qobject_to_qdict(qlist_entry_obj(e));
        if (!dict) {
            continue;
        }
        ConfigField *field = field_from_json(dict);
        if (field) {
            ConfigFieldList *node = qapi_new_ConfigFieldList(field);
            node->next = head;
            head = node;
        }
    }
    qobject_decref(doc);
    return head;
}

namespace {

/* The file's text for fields (g_free), or NULL with *errp set. */
char *to_json(ConfigFieldList *fields, Error **errp)
{
    QmpOutputVisitor *qov = qmp_output_visitor_new();
    Error *err = nullptr;
    visit_type_ConfigFieldList(qmp_output_get_visitor(qov), &fields, nullptr, &err);
    if (err) {
        qmp_output_visitor_cleanup(qov);
        error_propagate(errp, err);
        return nullptr;
    }
    return qmp_output_get_json(qov, true);
}

} // namespace

bool persistent_config_check_size(ConfigFieldList *fields, Error **errp)
{
    char *json = to_json(fields, errp);
    if (!json) {
        return false;
    }
    size_t len = strlen(json);
    g_free(json);
    if (len > PERSISTENT_CONFIG_MAX_SIZE) {
        error_setg(errp, "configuration of %zu bytes exceeds the limit of %d bytes of the configuration file",
                   len, PERSISTENT_CONFIG_MAX_SIZE);
        return false;
    }
    return true;
}

bool persistent_config_write(ConfigFieldList *fields, Error **errp)
{
    if (!s_file_path) {
        g_warning("[persistent-config] Unable to dump config, file name was not set");
        return false;
    }
    Error *err = nullptr;
    char *json = to_json(fields, &err);
    if (!json) {
        g_warning("[persistent-config] Couldn't convert ConfigFieldList to JSON: %s",
                  error_get_message(err));
        error_propagate(errp, err);
        return false;
    }
    size_t len = strlen(json);
    if (len > PERSISTENT_CONFIG_MAX_SIZE) {
        /* The reader ignores a larger file whole: every setting would revert at the next start. */
        g_warning("[persistent-config] Can't write JSON to file: configuration of %zu bytes exceeds %d bytes",
                  len, PERSISTENT_CONFIG_MAX_SIZE);
        g_free(json);
        return false;
    }
    Error *write_err = nullptr;
    bool ok = atomic_file_replace(s_file_path, json, len, 0600, &write_err);
    g_free(json);
    if (!ok) {
        g_warning("[persistent-config] Can't write JSON to file: %s", error_get_message(write_err));
        error_free(write_err);
    }
    return ok;
}
