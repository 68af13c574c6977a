#include "enforcement/framework/agent/enforcement-options.h"

#include <getopt.h>
#include <glib.h>
#include <openssl/crypto.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "agent-common/agents-utils.h"
#include "agent-common/build-info.h"
#include "agent-common/cmdline-utils.h"

#define EN_AGENT_NAME "Holvenstad Enforcement Agent"

const char *const en_supported_features[] = {
    "metrics_only",   "enrichments",         "dns_blocklist",       "no-channels",
    "icmp",           "driver_metrics",      "dns_enforcement",     "full_image_path",
    "policy_index",   "zstd_compression",    "ipv6_cidr_parse_fix", "protocol_list",
    "driver_log",     "light_revision_update", "enforcement_mode",  "process_event_queue",
    "dc_inventory_revision", "short_ip",     "agent-status",        "ipv6_implicit_rules",
    "not_flag_enforcement", "not_flag_parsing", "udp",              "tcp",
    "ipv4",           nullptr,
};

namespace {

enum : int {
    OPT_METHOD = 256,
    OPT_REMOTE_NAME,
};

const char kShortOptions[] = "hVu:l:f:vx:iPDBE:Rr:p:T:A:C:K:X:t:o:";

const struct option long_options[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {"uuid", required_argument, nullptr, 'u'},
    {"logfile", required_argument, nullptr, 'l'},
    {"pidfile", required_argument, nullptr, 'f'},
    {"verbose", no_argument, nullptr, 'v'},
    {"logging-profile", required_argument, nullptr, 'x'},
    {"disable-implicit-dns-rules", no_argument, nullptr, 'i'},
    {"disable-persistent-policy", no_argument, nullptr, 'P'},
    {"disable-persistent-dns-cache", no_argument, nullptr, 'D'},
    {"disable-batch-events-send", no_argument, nullptr, 'B'},
    {"excluded-interface", required_argument, nullptr, 'E'},
    {"skip-channel-restart", no_argument, nullptr, 'R'},
    {"driver-logfile", required_argument, nullptr, 'r'},
    {"path", required_argument, nullptr, 'p'},
    {"connect-timeout-ms", required_argument, nullptr, 'T'},
    {"ca-file-name", required_argument, nullptr, 'A'},
    {"client-certificate", required_argument, nullptr, 'C'},
    {"client-key", required_argument, nullptr, 'K'},
    {"proxy-http-tunnel", required_argument, nullptr, 'X'},
    {"ctrl", required_argument, nullptr, 't'},
    {"export-path", required_argument, nullptr, 'o'},
    {"method", required_argument, nullptr, OPT_METHOD},
    {"remote-name", required_argument, nullptr, OPT_REMOTE_NAME},
    {nullptr, 0, nullptr, 0},
};

constexpr guint32 ALL_LOG_LEVELS = G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING |
                                   G_LOG_LEVEL_MESSAGE | G_LOG_LEVEL_INFO | G_LOG_LEVEL_DEBUG;

void replace(char **field, const char *value)
{
    g_free(*field);
    *field = g_strdup(value);
}

int logging_profile_number(const char *name)
{
    static const char *const names[] = {"min", "medium", "max"};
    for (int i = 0; i < 3; i++) {
        if (strcmp(name, names[i]) == 0) {
            return i + 1;
        }
    }
    return 0;
}

/* 0 for anything that is not a positive 32-bit decimal. */
uint32_t parse_timeout(const char *text)
{
    const char *p = text;
    while (g_ascii_isspace(*p)) {
        p++;
    }
    if (*p == '-') {
        return 0;
    }
    guint64 value = g_ascii_strtoull(p, nullptr, 10);
    return value > G_MAXUINT32 ? 0 : static_cast<uint32_t>(value);
}

[[noreturn]] void finish(int code)
{
    fflush(stdout);
    exit(code);
}

struct PathState {
    cmdline_priority_paths_t paths{};
    bool plain_used = false;
    bool priority_used = false;

    ~PathState() { cmdline_priority_paths_clear(&paths); }
};

bool handle_path_option(PathState *state, const char *arg, int argc, char **argv,
                        const char *program)
{
    bool priority = arg[0] >= '1' && arg[0] <= '9' && arg[1] == '\0';
    if (!priority) {
        if (state->priority_used) {
            printf("Incorrect usage, -p cannot be used together with -pN, see '%s --help' for "
                   "more information.\n",
                   program);
            return false;
        }
        if (state->plain_used) {
            printf("Incorrect usage, -p cannot be used more than once, see '%s --help' for more "
                   "information.\n",
                   program);
            return false;
        }
        state->plain_used = true;
        return add_priority_path(&state->paths, arg, 0) == 1;
    }

    if (state->plain_used) {
        printf("Incorrect usage, -p%s cannot be used together with -p, see '%s --help' for more "
               "information.\n",
               arg, program);
        return false;
    }
    if (optind >= argc) {
        printf("Incorrect usage, -p%s needs an address list, see '%s --help' for more "
               "information.\n",
               arg, program);
        return false;
    }
    /* The list is the next word; stepping optind over it hides it from getopt. */
    const char *list = argv[optind++];
    if (!add_priority_path(&state->paths, list, arg[0] - '1')) {
        printf("Incorrect usage, -p%s cannot be used more than once, see '%s --help' for more "
               "information.\n",
               arg, program);
        return false;
    }
    state->priority_used = true;
    return true;
}

} // namespace

void en_print_usage(const char *program)
{
    printf("Usage: %s [<options>]\n", program);
    printf(EN_AGENT_NAME " %s (%s), GLib version: %d.%d.%d, TLS version: %s\n\n",
           agent_build_version(), agent_build_date(), static_cast<int>(glib_major_version),
           static_cast<int>(glib_minor_version), static_cast<int>(glib_micro_version),
           OpenSSL_version(OPENSSL_VERSION));
    printf("Options:\n"
           "  --method=METHOD                      channel method: stdin, tcp-tls or socket\n"
           "                                       (default tcp-tls, completed from the registry)\n"
           "  -h, --help                           print this help and exit\n"
           "  -V, --version                        print the version and exit; after -v also the\n"
           "                                       supported features\n"
           "  -u, --uuid=UUID                      agent UUID\n"
           "  -l, --logfile=PATH                   log file (default: standard streams)\n"
           "  -f, --pidfile=PATH                   write the process id to PATH\n"
           "  -v, --verbose                        log every level\n"
           "  -x, --logging-profile=PROFILE        log rotation profile: min, medium or max\n"
           "  -i, --disable-implicit-dns-rules     do not apply the implicit DNS rules\n"
           "  -P, --disable-persistent-policy      do not use the persistent policy\n"
           "  -D, --disable-persistent-dns-cache   do not restore the DNS cache at start\n"
           "  -B, --disable-batch-events-send      send events one by one\n"
           "  -E, --excluded-interface=NAME        exclude the network interface NAME; repeatable\n"
           "  -R, --skip-channel-restart           do not restart the channel\n"
           "  -r, --driver-logfile=PATH            driver log file\n"
           "  -p, --path=ADDRESSES                 server addresses separated by ',' or ';'\n"
           "  -pN ADDRESSES, --path=N ADDRESSES    specify path with specific priority, where N is "
           "one digit number in 1..%d range\n"
           "  -T, --connect-timeout-ms=MS          connect timeout in milliseconds (default 10000)\n"
           "  -A, --ca-file-name=PATH              CA file\n"
           "  -C, --client-certificate=PATH        client certificate file\n"
           "  -K, --client-key=PATH                client private key file\n"
           "  -X, --proxy-http-tunnel=URL          proxy for an HTTP tunnel\n"
           "  -t, --ctrl=COMMAND                   run the control command COMMAND and exit\n"
           "  -o, --export-path=PATH               argument of the control command\n"
           "  --remote-name=NAME                   TLS server name\n",
           CMDLINE_PRIORITY_SLOTS);
    printf("\nReport bugs to your Holvenstad support contact.\n");
}

void en_print_version(bool verbose)
{
    printf(EN_AGENT_NAME " %s (%s)\n", agent_build_version(), agent_build_date());
    printf("\tCommit ID: %s\n", agent_commit_id());
    printf("\tProtocol Version: %llu\n", AGENT_PROTOCOL_VERSION);
    if (verbose) {
        fputs("\tSupported Features: ", stdout);
        for (const char *const *feature = en_supported_features; *feature; feature++) {
            printf("%s ", *feature);
        }
        fputs("\n", stdout);
    }
}

void en_options_init(EnOptions *opts)
{
    *opts = EnOptions{};
    opts->use_persistent_policy = true;
    opts->restore_dns_cache = true;
    opts->send_batch_events = true;
    opts->implicit_dns_rules = true;
}

void en_options_clear(EnOptions *opts)
{
    bool dry_run = opts->dry_run;
    const char *variable = opts->server_name_variable;
    const char *default_name = opts->default_server_name;
    agent_config_clear(&opts->config);
    g_free(opts->ctrl.command);
    g_free(opts->ctrl.argument);
    en_options_init(opts);
    opts->dry_run = dry_run;
    opts->server_name_variable = variable;
    opts->default_server_name = default_name;
}

bool en_parse_options(int argc, char **argv, EnOptions *opts)
{
    const char *program = argc > 0 && argv[0] ? argv[0] : "hv-agent";
    agent_config_t *config = &opts->config;
    PathState paths;
    bool verbose = false;
    bool method_given = false;

    /* getopt keeps its position globally; 0 also re-reads GNU's ordering settings. */
    optind = 0;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, kShortOptions, long_options, nullptr)) != -1) {
        switch (c) {
        case 'h':
            en_print_usage(program);
            finish(0);
        case 'V':
            en_print_version(verbose);
            finish(0);
        case 'u':
            replace(&config->uuid, optarg);
            break;
        case 'l':
            replace(&config->logfile, optarg);
            break;
        case 'f':
            replace(&config->pidfile, optarg);
            break;
        case 'v':
            verbose = true;
            config->log_level = ALL_LOG_LEVELS;
            break;
        case 'x':
            opts->logging_profile = logging_profile_number(optarg);
            if (!opts->logging_profile) {
                printf("invalid logging profile option (%s).\n", optarg);
                finish(1);
            }
            break;
        case 'i':
            opts->implicit_dns_rules = false;
            opts->implicit_dns_rules_from_cmdline = true;
            break;
        case 'P':
            opts->use_persistent_policy = false;
            break;
        case 'D':
            opts->restore_dns_cache = false;
            break;
        case 'B':
            opts->send_batch_events = false;
            break;
        case 'E':
            config->excluded_ifaces = g_slist_prepend(config->excluded_ifaces, g_strdup(optarg));
            break;
        case 'R':
            config->skip_channel_restart = 1;
            break;
        case 'r':
            replace(&config->driver_logfile, optarg);
            break;
        case 'p':
            if (!handle_path_option(&paths, optarg, argc, argv, program)) {
                return false;
            }
            break;
        case 'T':
            config->connect_timeout_ms = parse_timeout(optarg);
            if (!config->connect_timeout_ms) {
                printf("invalid connect timeout (%s).\n", optarg);
                finish(1);
            }
            break;
        case 'A':
            replace(&config->tls.ca_file, optarg);
            break;
        case 'C':
            replace(&config->tls.client_cert, optarg);
            break;
        case 'K':
            replace(&config->tls.client_key, optarg);
            break;
        case 'X':
            replace(&config->proxy, optarg);
            break;
        case 't':
            replace(&opts->ctrl.command, optarg);
            config->ctrl_mode = true;
            break;
        case 'o':
            replace(&opts->ctrl.argument, optarg);
            break;
        case OPT_METHOD:
            replace(&config->method, optarg);
            method_given = true;
            break;
        case OPT_REMOTE_NAME:
            replace(&config->tls.remote_name, optarg);
            break;
        default:
            printf("Unknown option, try '%s --help' for more information.\n", program);
            return false;
        }
    }

    if (!method_given && !config->ctrl_mode && !opts->dry_run) {
        agent_utils_complete_channel_args(config, &paths.paths, opts->server_name_variable,
                                          opts->default_server_name);
    }
    g_free(config->servers);
    config->servers = cmdline_priority_paths_join(&paths.paths);
    return true;
}

const char *en_options_logfile(int argc, char **argv)
{
    /* getopt may reorder what it is given: the caller's vector stays as it was. */
    std::vector<char *> args(argv, argv + argc);
    args.push_back(nullptr);
    const char *logfile = nullptr;
    optind = 0;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, args.data(), kShortOptions, long_options, nullptr)) != -1) {
        if (c == 'l') {
            logfile = optarg;
        } else if (c == 'p' && optarg[0] >= '1' && optarg[0] <= '9' && optarg[1] == '\0' && optind < argc) {
            /* -pN takes the next word as its list, as the parser above does. */
            optind++;
        }
    }
    optind = 0;
    return logfile;
}

bool en_validate_options(EnOptions *opts)
{
    return agent_utils_validate_channel_args(&opts->config);
}
