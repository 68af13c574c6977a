/*
 * The enforcement runner's command line: option parsing into the agent configuration
 * and the module's start flags, channel completion, and channel validation.
 * Usage, version and option errors are printed on standard output.
 */
#pragma once

#include <cstdint>

#include "agent-common/agent-main.h"

struct EnOptions {
    agent_config_t config;

    /* Start flags; en_options_init sets them all true. */
    bool use_persistent_policy;          /* -P clears */
    bool restore_dns_cache;              /* -D clears */
    bool send_batch_events;              /* -B clears */
    bool implicit_dns_rules;             /* -i clears ... */
    bool implicit_dns_rules_from_cmdline; /* ... and sets this */

    int logging_profile; /* -x: 1 "min", 2 "medium", 3 "max"; 0 when not given */

    agent_ctrl_t ctrl; /* -t command and -o argument, owned (g_free); NULL when absent */

    /* Inputs of the channel completion, set by the caller before parsing; the two
     * texts are borrowed. */
    bool dry_run;
    const char *server_name_variable;
    const char *default_server_name;
};

/* Zeroes opts and sets the start flags to their defaults. */
void en_options_init(EnOptions *opts);
/* Frees what parsing stored (config included) and re-initialises; inputs are kept. */
void en_options_clear(EnOptions *opts);

/*
 * Parses argv (argv[0] the program name) into opts, then completes the channel (unless
 * --method was given, -t was given or opts->dry_run is set) and joins the priority
 * server lists into config.servers. Returns false after printing the reason. Ends the
 * process: -h and -V with 0, an invalid -x or -T with 1. Not thread-safe (getopt).
 */
bool en_parse_options(int argc, char **argv, EnOptions *opts);

/*
 * The log file the options name (-l, --logfile and every form getopt accepts, grouped
 * short options included; the last one wins), or NULL. The result points into argv.
 * Nothing is printed, nothing ends the process and argv keeps its order. Not thread-safe.
 */
const char *en_options_logfile(int argc, char **argv);

/* Channel validation of opts->config; the first problem is logged as a warning. */
bool en_validate_options(EnOptions *opts);

/* The usage text for program; the version lines, with the feature line when verbose. */
void en_print_usage(const char *program);
void en_print_version(bool verbose);

/* The supported feature names, in the version text's order, NULL-terminated. */
extern const char *const en_supported_features[];
