/*
 * The data folder value ("HV_DATA_FOLDER") as every reader takes it. The configuration,
 * logs, pid files, certificates and persisted state all live under it, so a value that would
 * scatter them at the file system root or under the working directory is refused everywhere
 * alike.
 */
#pragma once

/* Longest folder kept, in characters, after the trailing separators are dropped. */
#define DATA_FOLDER_MAX_LENGTH 251

typedef enum {
    DATA_FOLDER_VALID,
    DATA_FOLDER_EMPTY,
    DATA_FOLDER_ROOT,
    DATA_FOLDER_RELATIVE,
    DATA_FOLDER_TOO_LONG,
    DATA_FOLDER_DOT_COMPONENT,
} data_folder_fault_t;

/*
 * Checks value (NULL counts as empty). When valid and folder is not NULL, *folder receives
 * the value without its trailing separators (g_free); otherwise *folder is left alone.
 */
data_folder_fault_t data_folder_check(const char *value, char **folder);
/* "is empty", "is the file system root" (also a drive or share root), "is not an absolute
 * path", "is longer than 251 characters", "has a '.' or '..' component"; "is valid". */
const char *data_folder_fault_text(data_folder_fault_t fault);
