/*
 * Configuration values of the agent (the registry values under the configuration key
 * on Windows). On Linux they are "NAME=VALUE" lines of one file: $HV_REGISTRY_FILE, or
 * /etc/holvenstad/registry. Blank lines and lines starting with '#' are skipped.
 */
#pragma once

struct Error;

/* Newly allocated value (g_free), or NULL with *errp set when the file or the value is
 * missing. config_key names the key in messages only. Thread-safe. */
char *platform_registry_read_string(const char *config_key, const char *name, Error **errp);

/* Pure parser of the file text, for tests: the value of name, or NULL. */
char *platform_registry_parse_value(const char *text, const char *name);
