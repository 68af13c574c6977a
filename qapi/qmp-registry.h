/*
 * The process-wide command registry: name to command function. Written only at
 * start-up on the main thread, before any command server runs; read without locking.
 */
#pragma once

#include <cstdint>

struct Error;
struct QDict;

/* Receives the arguments (may be NULL); sets *ret to owned JSON text or leaves it NULL. */
typedef void (*QmpCommandFunc)(QDict *args, char **ret, Error **errp);

enum QmpCommandType {
    QCT_NORMAL = 0,
};

enum QmpCommandOptions {
    QCO_NO_OPTIONS = 0,
    QCO_NO_SUCCESS_RESP = 1 << 0,
};

struct QmpCommand {
    char *name;
    QmpCommandType type;
    QmpCommandFunc fn;
    int options;
    bool enabled;
};

/* Registering a name twice is fatal. */
void qmp_register_command(const char *name, QmpCommandFunc fn, int options);
QmpCommand *qmp_find_command(const char *name);
/* Toggling a name that is not registered is fatal. */
void qmp_enable_command(const char *name);
void qmp_disable_command(const char *name);
bool qmp_command_is_enabled(const QmpCommand *cmd);
const char *qmp_command_name(const QmpCommand *cmd);
bool qmp_has_success_response(const QmpCommand *cmd);
void qmp_for_each_command(void (*fn)(QmpCommand *cmd, void *opaque), void *opaque);
void qmp_registry_cleanup(void);
