/*
 * The control command client: a module started with -t sends one command to the running
 * module's command server, prints or exports the answer and ends.
 */
#pragma once

struct QObject;

/* Checks the caller is an administrator, then runs command (with argument, the -o path,
 * which may be NULL). False when refused, unknown or when the exchange failed; a failed
 * dump or export is logged and still counts as done. */
bool en_ctrl_cmd_run(const char *command, const char *argument);

/*
 * Sends {"execute": command, "arguments": {<args_fmt...>}} to the running module and waits
 * about 45 seconds for the reply. 1 with *result set to the reply's "return" value (owned by
 * the caller), 0 on failure, -1 when the connection cannot be made.
 */
int call_agent(QObject **result, const char *command, const char *args_fmt, ...)
    __attribute__((format(printf, 3, 4)));

/* Reads the "json" form of the policy reply and prints it (mode "pretty") or writes it as
 * CSV to path (mode "csv"). */
bool en_ctrl_cmd_handle_policies(QObject *reply, const char *path, const char *mode);
