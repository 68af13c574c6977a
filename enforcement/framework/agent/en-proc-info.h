/*
 * The process information record that the lid map keeps and the event creators report,
 * and its gathering from the platform's process queries (log tag "[proc info]").
 * Every function is reentrant and keeps no shared state.
 */
#pragma once

#include <cstdint>

struct Error;
struct platform_process;
struct process_event_queue;

/* Every string is owned by the record and freed with it; NULL means not set. */
struct en_process_info_t {
    char *app_name;     /* image base name without its last extension */
    char *image_path;
    char *container_id; /* "HOST" in placeholders */
    char *pod_id;       /* "HOST" in placeholders */
    char *parent_name;  /* the parent's application name */
    char *cgroups;
    uint64_t pid;
    uint64_t ppid;
    bool has_ppid;
    bool dead; /* cleanup marks of the lid map */
    bool dup;
    int32_t placeholder_mark; /* -1 in placeholders, 0 otherwise */
    int64_t creation_time;    /* seconds; placeholders only */
};

/* pid and ppid of the placeholders. */
constexpr uint64_t EN_PROCESS_PLACEHOLDER_PID = 0xFFFFFFFE;

/* The record that stands for a process the driver did not name (layer-4 policy only):
 * name "Unknown Process", no parent, container and pod "HOST", created now. */
en_process_info_t *en_process_info_new_unknown(void);
/* The same without a name: host-wide enrichments and records without a process. */
en_process_info_t *en_process_info_new_host(void);

/* "svchost" from "C:\\Windows\\svchost.exe" or "/usr/bin/svchost.exe": the part after the
 * last separator up to its last dot. Newly allocated; NULL for NULL. */
char *en_process_app_name(const char *image_path);

/* Deep copy (NULL for NULL); free is NULL-safe and releases every string. */
en_process_info_t *en_process_info_copy(const en_process_info_t *info);
void en_process_info_free(en_process_info_t *info);

/*
 * The record of process pid: image path, application name, parent id and parent name.
 * Every pid is looked up, none is named by its number; a kernel thread, which has no
 * image, takes its kernel name as image path and name. False with errp set when the
 * process does not exist or its image cannot be read; false without errp when access is
 * denied (debug log only). A parent that cannot be named keeps the record valid.
 * With a queue, the process is also queued there for a process event.
 */
bool fetch_process_info(uint64_t pid, en_process_info_t **out, process_event_queue *queue, Error **errp);

/*
 * A process opened for queries (log tag "[process-info]"). Reads through a session name
 * the process that was opened, even when its pid is reused meanwhile (they fail then).
 * One thread uses a session at a time.
 */
struct en_process_query_session {
    uint64_t pid;
    platform_process *process;
    bool is_self; /* the module's own process */
};

/* The session of process pid, or NULL with errp set ("error opening handle to process %u"). */
en_process_query_session *initialize_process_query_session(uint64_t pid, Error **errp);
/* NULL-safe. */
void close_process_query_session(en_process_query_session *session);

/* False with errp set ("error reading process %u parent ID") when it cannot be read. */
bool get_process_parent_id(en_process_query_session *session, uint64_t *ppid, Error **errp);
/* The full path of the process's image (g_free); NULL with errp set, whose Win32 code is
 * 5 when the image may not be read and 87 when the process is gone. */
char *get_process_module_image_path(en_process_query_session *session, Error **errp);
/* The same for process pid, opening and closing a session. */
char *get_process_image_path(uint64_t pid, Error **errp);
/* "DOMAIN\\account" of the user the process runs as (g_free); "N/A" when that may not be
 * read; NULL with errp set when the account is unknown or the process is gone. */
char *get_process_username(en_process_query_session *session, Error **errp);
/* The process's arguments (g_strfreev; empty for a process without any), or NULL with
 * errp set. */
char **get_process_command_line(en_process_query_session *session, Error **errp);
/* The process's current folder (g_free), or NULL with errp set. */
char *get_process_current_directory(en_process_query_session *session, Error **errp);

/* The attributes of an image file as an event carries them. */
struct en_file_attributes {
    int64_t mode;
    uint64_t size;
    int64_t access_time; /* Unix seconds */
    int64_t modification_time;
    int64_t creation_time;
    bool has_inode;
    uint32_t inode;
};

/*
 * The attributes of the file at path: mode 0o40777 for a folder and 0o100666 for a file,
 * without the write bits (0o40555, 0o100444) when it is read-only, plus 0o111 for a file
 * named ".bat", ".cmd", ".exe" or ".com" (any case) or one the platform marks executable;
 * size; access, modification and creation times. False with errp set when it cannot be
 * queried.
 */
bool guest_file_attributes(const char *path, en_file_attributes *out, Error **errp);

/* The joined command line, with its terminator. */
#define PROCESS_CMDLINE_SIZE 4096

/*
 * The arguments joined by single spaces, at most PROCESS_CMDLINE_SIZE - 1 bytes:
 * the argument that reaches the limit is cut there and those after it are dropped.
 * NULL for no arguments.
 */
char *en_process_join_command_line(const char *const *args);
