/*
 * The process information record that the lid map keeps and the event creators report,
 * and its gathering from the platform's process queries (log tag "[proc info]").
 * Every function is reentrant and keeps no shared state.
 */
#pragma once

#include <cstdint>

struct Error;

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
    int64_t creation_time; /* seconds; placeholders only */
};

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
 */
bool fetch_process_info(uint64_t pid, en_process_info_t **out, Error **errp);
