#include "util/data-folder.h"

#include <glib.h>

#include <cstring>

static bool is_separator(char c)
{
    return c == '/' || c == '\\';
}

data_folder_fault_t data_folder_check(const char *value, char **folder)
{
    if (!value || !*value) {
        return DATA_FOLDER_EMPTY;
    }
    const char *rest = g_path_is_absolute(value) ? g_path_skip_root(value) : nullptr;
    if (!rest) {
        return DATA_FOLDER_RELATIVE;
    }
    /* "." and ".." would lead back to the root or elsewhere than the value reads. */
    bool named = false;
    for (const char *p = rest; *p;) {
        size_t n = 0;
        while (p[n] && !is_separator(p[n])) {
            n++;
        }
        if ((n == 1 && p[0] == '.') || (n == 2 && p[0] == '.' && p[1] == '.')) {
            return DATA_FOLDER_DOT_COMPONENT;
        }
        named = named || n > 0;
        p += n;
        while (is_separator(*p)) {
            p++;
        }
    }
    if (!named) {
        return DATA_FOLDER_ROOT;
    }
    size_t len = strlen(value);
    while (len > 0 && is_separator(value[len - 1])) {
        len--;
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
    case DATA_FOLDER_DOT_COMPONENT:
        return "has a '.' or '..' component";
    }
    return "is invalid";
}
