#include "qapi/qmp-output-visitor.h"

#include <cstring>

#include <glib.h>

#include "qobject/qjson.h"
#include "qobject/qstring.h"
#include "util/error.h"

struct QmpOutputVisitor {
    Visitor visitor;
    QString *text;
    /* No separator is due before the next value. */
    bool first;
    /* Nothing written yet: the value is the top-level one. */
    bool top;
};

namespace {

QmpOutputVisitor *to_qov(Visitor *v)
{
    return reinterpret_cast<QmpOutputVisitor *>(v);
}

/* Separator, then the key when the value is a named member below the top. */
void begin_value(QmpOutputVisitor *qov, const char *name)
{
    if (qov->top) {
        return;
    }
    if (!qov->first) {
        qstring_append(qov->text, ", ");
    }
    qov->first = false;
    if (name) {
        qstring_append_format(qov->text, "\"%s\": ", name);
    }
}

void qov_start_struct(Visitor *v, void **obj, const char *kind, const char *name, size_t size,
                      Error **errp)
{
    QmpOutputVisitor *qov = to_qov(v);
    begin_value(qov, name);
    qstring_append_chr(qov->text, '{');
    qov->first = true;
    qov->top = false;
}

void qov_end_struct(Visitor *v, Error **errp)
{
    QmpOutputVisitor *qov = to_qov(v);
    qstring_append_chr(qov->text, '}');
    qov->first = false;
}

void qov_start_list(Visitor *v, const char *name, Error **errp)
{
    QmpOutputVisitor *qov = to_qov(v);
    begin_value(qov, name);
    qstring_append_chr(qov->text, '[');
    qov->first = true;
    qov->top = false;
}

GenericList *qov_next_list(Visitor *v, GenericList **list, Error **errp)
{
    return *list;
}

void qov_end_list(Visitor *v, Error **errp)
{
    QmpOutputVisitor *qov = to_qov(v);
    qstring_append_chr(qov->text, ']');
    qov->first = false;
}

void qov_type_int(Visitor *v, int64_t *obj, const char *name, Error **errp)
{
    QmpOutputVisitor *qov = to_qov(v);
    begin_value(qov, name);
    qstring_append_format(qov->text, "%lli", static_cast<long long>(*obj));
}

void qov_type_uint(Visitor *v, uint64_t *obj, const char *name, Error **errp)
{
    QmpOutputVisitor *qov = to_qov(v);
    begin_value(qov, name);
    qstring_append_format(qov->text, "%llu", static_cast<unsigned long long>(*obj));
}

void qov_type_bool(Visitor *v, bool *obj, const char *name, Error **errp)
{
    QmpOutputVisitor *qov = to_qov(v);
    begin_value(qov, name);
    qstring_append(qov->text, *obj ? "true" : "false");
}

void qov_type_str(Visitor *v, char **obj, const char *name, Error **errp)
{
    QmpOutputVisitor *qov = to_qov(v);
    begin_value(qov, name);
    const char *str = *obj ? *obj : "(null)";
    qjson_append_quoted(qov->text, str, strlen(str));
}

void qov_type_number(Visitor *v, double *obj, const char *name, Error **errp)
{
    QmpOutputVisitor *qov = to_qov(v);
    begin_value(qov, name);
    qstring_append_format(qov->text, "%.3f", *obj);
}

void reset(QmpOutputVisitor *qov)
{
    qov->text = qstring_new();
    qov->first = true;
    qov->top = true;
}

} // namespace

QmpOutputVisitor *qmp_output_visitor_new(void)
{
    QmpOutputVisitor *qov = g_new0(QmpOutputVisitor, 1);
    Visitor *v = &qov->visitor;
    v->start_struct = qov_start_struct;
    v->end_struct = qov_end_struct;
    v->start_list = qov_start_list;
    v->next_list = qov_next_list;
    v->end_list = qov_end_list;
    v->type_enum = output_type_enum;
    v->type_int = qov_type_int;
    v->type_uint = qov_type_uint;
    v->type_bool = qov_type_bool;
    v->type_str = qov_type_str;
    v->type_number = qov_type_number;
    reset(qov);
    return qov;
}

Visitor *qmp_output_get_visitor(QmpOutputVisitor *v)
{
    return &v->visitor;
}

char *qmp_output_get_json(QmpOutputVisitor *v, bool release)
{
    char *json = qstring_steal(v->text);
    if (release) {
        g_free(v);
    } else {
        reset(v);
    }
    return json;
}

void qmp_output_visitor_cleanup(QmpOutputVisitor *v)
{
    if (!v) {
        return;
    }
    qobject_decref(QOBJECT(v->text));
    g_free(v);
}
