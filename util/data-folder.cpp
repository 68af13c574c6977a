#include "util/data-folder.h"

#include <glib.h>

#include <cstring>

data_folder_fault_t data_folder_check(const char *value, char **folder)
{
    if (!value || !*value) {
        return DATA_FOLDER_EMPTY;
    }
    if (!g_path_is_absolute(value)) {
        return DATA_FOLDER_RELATIVE;
    }
    size_t len = strlen(value);
    while (len > 0 && (value[len - 1] == '/' || value[len - 1] == '\\')) {
        len--;
    }
    if (len == 0) {
        return DATA_FOLDER_ROOT;
    }
    if (len > DATA_FOLDER_MAX_LENGTH) {
        return DATA_FOLDER_TOO_LONG;
    }
    if (folder) {
        *folder = g_strndup(value, len);
    }
    return DATA_FOLDER_VALID;
}

const char *data_folder_fault_text(data_folder_fault_t fault)
{
    switch (fault) {
    case DATA_FOLDER_VALID:
        return "is valid";
    case DATA_FOLDER_EMPTY:
        return "is empty";
    case DATA_FOLDER_ROOT:
        return "is the file system root";
    case DATA_FOLDER_RELATIVE:
        return "is not an absolute path";
    case DATA_FOLDER_TOO_LONG:
        return "is longer than 251 characters";
    }
    return "is invalid";
}
