/*
 * The interactive sessions of this machine and the accounts behind them.
 *
 * Sources: logind over the system bus when it answers, else the utmp file. A set
 * $HV_UTMP_FILE forces utmp with that file; $HV_PASSWD_FILE and $HV_GROUP_FILE name the
 * local user and group databases (default /etc/passwd and /etc/group). Accounts not in
 * the local files are looked up through the system's name services and are not local.
 * A utmp, passwd or group file over 16 MiB is refused as unreadable, naming its size.
 *
 * Listing and lookups are reentrant and keep no state. A watch belongs to the thread that
 * created it and reports on that thread's default main context.
 */
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class platform_session_source { logind, utmp };

struct platform_session {
    uint32_t id = 0;      /* position in the listing */
    std::string name;     /* the source's own name: logind session id, or utmp line */
    std::string state;    /* the source's state text, for logs */
    bool active = false;  /* logged on now (logind "active"/"online"; utmp live user process) */
    std::string user;
    uint32_t uid = 0;
    bool has_uid = false; /* logind gives the uid; utmp only the name */
};

/* The source in use: logind when its manager answers on the system bus, else utmp. */
platform_session_source platform_sessions_source(std::string *detail);

/*
 * Every session the source knows, active or not. False with *error (a readable phrase)
 * when the source cannot be read or holds malformed data; nothing in *out is then to be
 * trusted.
 */
bool platform_sessions_list(platform_session_source source, std::vector<platform_session> *out,
                            std::string *error);

/*
 * Sessions in a utmp file image: one record per fixed-size entry; false when the length
 * is not a whole number of records. Entries of user processes whose process is gone are
 * listed inactive (a stale entry left by a crash).
 */
bool platform_parse_utmp(const void *data, size_t length, std::vector<platform_session> *out,
                         std::string *error);

struct platform_account {
    uint32_t uid = 0;
    std::vector<uint32_t> gids; /* primary first, then supplementary; each once */
    bool local = false;         /* present in the local user database */
    bool admin = false;         /* uid 0, or a member of a local administrator group */
};

/*
 * The account of a session: by uid when has_uid, else by name. Local administrator
 * groups: "sudo" and "wheel", or the comma-separated names in $HV_LOCAL_ADMIN_GROUPS.
 * False with *error when no database knows the account or a database cannot be read.
 */
bool platform_account_lookup(const std::string &user, uint32_t uid, bool has_uid, platform_account *out,
                             std::string *error);

struct platform_session_watch;
/*
 * Calls on_change on the calling thread's default main context whenever the sessions of
 * source may have changed (logind signals; an inotify watch on the utmp file's folder).
 * NULL with *error when it cannot be set up. Free on the same thread.
 */
platform_session_watch *platform_session_watch_new(platform_session_source source, void (*on_change)(void *),
                                                   void *data, std::string *error);
void platform_session_watch_free(platform_session_watch *watch);
