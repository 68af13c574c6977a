/*
 * hv-json: reads JSON values from standard input, one per line, and writes each back
 * in the module's own text form (compact, or pretty with -p). A small tool for checking
 * what the module will make of a document.
 */
#include <cstdio>
#include <cstring>
#include <string>

#include <glib.h>

#include "qobject/qjson.h"
#include "util/error.h"

int main(int argc, char **argv)
{
    bool pretty = argc > 1 && strcmp(argv[1], "-p") == 0;
    if (argc > 1 && !pretty) {
        fprintf(stderr, "usage: %s [-p] < json-lines\n", argv[0]);
        return 2;
    }
    int status = 0;
    char *line = nullptr;
    size_t cap = 0;
    ssize_t n;
    while ((n = getline(&line, &cap, stdin)) >= 0) {
        Error *err = nullptr;
        QObject *obj = qobject_from_json_len(line, static_cast<size_t>(n), &err);
        if (err) {
            fprintf(stdout, "error: %s\n", error_get_message(err));
            error_free(err);
            status = 1;
        } else if (obj) {
            QString *text = pretty ? qobject_to_json_pretty(obj) : qobject_to_json(obj);
            fprintf(stdout, "%s\n", qstring_get_str(text));
            qobject_decref(QOBJECT(text));
            qobject_decref(obj);
        }
        fflush(stdout);
    }
    free(line);
    return status;
}
