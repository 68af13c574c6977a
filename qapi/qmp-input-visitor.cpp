#include "qapi/qmp-input-visitor.h"

#include <glib.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

#include "qobject/qbool.h"
#include "qobject/qdict.h"
#include "qobject/qfloat.h"
#include "qobject/qint.h"
#include "qobject/qlist.h"
#include "qobject/qstring.h"
#include "qobject/quint.h"
#include "util/error.h"

namespace {

constexpr int kStackSize = 1024;

struct StackObject {
    QObject *obj;
    /* Lists: the current element; NULL before the first and after the last. */
    const QListEntry *entry;
    bool list_started;
    /* Strict dictionaries: keys not yet visited, borrowed from the dictionary. Records
     * have a handful of members, so a scanned array beats hashing; its storage is kept
     * for the next dictionary at the same depth. */
    bool strict_dict;
    std::vector<const char *> pending;
};

void forget_key(StackObject *so, const char *name)
{
    auto &keys = so->pending;
    for (size_t i = 0; i < keys.size(); i++) {
        if (strcmp(keys[i], name) == 0) {
            keys[i] = keys.back();
            keys.pop_back();
            return;
        }
    }
}

} // namespace

struct QmpInputVisitor {
    Visitor visitor;
    StackObject stack[kStackSize];
    int nb_stack;
    bool strict;
};

namespace {

QmpInputVisitor *to_qiv(Visitor *v)
{
    return reinterpret_cast<QmpInputVisitor *>(v);
}

const char *name_or_null(const char *name)
{
    return name ? name : "null";
}

void set_type_error(const char *name, const char *expected, const char *got, Error **errp)
{
    error_setg(errp, "Invalid parameter type for '%s', expected: %s, got: %s", name_or_null(name),
               expected, got);
}

StackObject *top(QmpInputVisitor *qiv)
{
    return &qiv->stack[qiv->nb_stack - 1];
}

/* The value a visit of member `name` refers to; consume marks the member as seen. */
QObject *get_object(QmpInputVisitor *qiv, const char *name, bool consume)
{
    StackObject *so = top(qiv);
    QObject *obj = so->obj;
    if (obj && qobject_type(obj) == QTYPE_QDICT && name) {
        if (consume && so->strict_dict) {
            forget_key(so, name);
        }
        return qdict_get(qobject_to_qdict(obj), name);
    }
    /* A list not yet entered (the first visit of a top-level array) is the value itself. */
    if (so->entry) {
        return qlist_entry_obj(so->entry);
    }
    return obj;
}

bool push(QmpInputVisitor *qiv, QObject *obj, Error **errp)
{
    if (qiv->nb_stack >= kStackSize) {
        error_setg(errp, "An internal buffer overran");
        return false;
    }
    StackObject *so = &qiv->stack[qiv->nb_stack++];
    so->obj = obj;
    so->entry = nullptr;
    so->list_started = false;
    so->strict_dict = false;
    so->pending.clear();
    if (qiv->strict && obj && qobject_type(obj) == QTYPE_QDICT) {
        QDict *dict = qobject_to_qdict(obj);
        so->strict_dict = true;
        for (const QDictEntry *e = qdict_first(dict); e; e = qdict_next(dict, e)) {
            so->pending.push_back(qdict_entry_key(e));
        }
    }
    return true;
}

void pop(QmpInputVisitor *qiv, Error **errp)
{
    StackObject *so = &qiv->stack[--qiv->nb_stack];
    if (!so->strict_dict) {
        return;
    }
    if (!so->pending.empty()) {
        /* Name the first leftover in the dictionary's own order, so the message is stable;
         * sorted, the leftovers of an object with very many members are found quickly. */
        std::sort(so->pending.begin(), so->pending.end(), std::less<const char *>());
        QDict *dict = qobject_to_qdict(so->obj);
        for (const QDictEntry *e = qdict_first(dict); e; e = qdict_next(dict, e)) {
            if (std::binary_search(so->pending.begin(), so->pending.end(), qdict_entry_key(e),
                                   std::less<const char *>())) {
                error_setg(errp, "QMP input object member '%s' is unexpected", qdict_entry_key(e));
                break;
            }
        }
    }
    so->strict_dict = false;
    so->pending.clear();
}

void qiv_start_struct(Visitor *v, void **obj, const char *kind, const char *name, size_t size,
                      Error **errp)
{
    QmpInputVisitor *qiv = to_qiv(v);
    QObject *qobj = get_object(qiv, name, true);
    if (!qobj || qobject_type(qobj) != QTYPE_QDICT) {
        set_type_error(name, "QDict", qobject_get_type_name(qobj), errp);
        return;
    }
    if (!push(qiv, qobj, errp)) {
        return;
    }
    if (obj) {
        *obj = g_malloc0(size);
    }
}

void qiv_end_struct(Visitor *v, Error **errp)
{
    pop(to_qiv(v), errp);
}

void qiv_start_implicit_struct(Visitor *v, void **obj, size_t size, Error **errp)
{
    if (obj) {
        *obj = g_malloc0(size);
    }
}

void qiv_start_list(Visitor *v, const char *name, Error **errp)
{
    QmpInputVisitor *qiv = to_qiv(v);
    QObject *qobj = get_object(qiv, name, true);
    if (!qobj || qobject_type(qobj) != QTYPE_QLIST) {
        set_type_error(name, "list", qobject_get_type_name(qobj), errp);
        return;
    }
    push(qiv, qobj, errp);
}

GenericList *qiv_next_list(Visitor *v, GenericList **list, Error **errp)
{
    StackObject *so = top(to_qiv(v));
    if (!so->list_started) {
        so->entry = qlist_first(qobject_to_qlist(so->obj));
        so->list_started = true;
    } else if (so->entry) {
        so->entry = qlist_next(so->entry);
    }
    if (!so->entry) {
        return nullptr;
    }
    GenericList *node = g_new0(GenericList, 1);
    *list = node;
    return node;
}

void qiv_end_list(Visitor *v, Error **errp)
{
    pop(to_qiv(v), errp);
}

void qiv_get_next_type(Visitor *v, int *kind, const int *qobjects, const char *name,
                       Error **errp)
{
    QObject *qobj = get_object(to_qiv(v), name, false);
    if (!qobj) {
        error_setg(errp, "Parameter '%s' is missing", name_or_null(name));
        return;
    }
    *kind = qobjects[qobject_type(qobj)];
}

void qiv_type_int(Visitor *v, int64_t *obj, const char *name, Error **errp)
{
    QObject *qobj = get_object(to_qiv(v), name, true);
    const char *got;
    if (!qobj) {
        got = "missing";
    } else if (QInt *qi = qobject_to_qint(qobj)) {
        *obj = qint_get_int(qi);
        return;
    } else if (QUInt *qu = qobject_to_quint(qobj)) {
        uint64_t value = quint_get_uint(qu);
        if (value <= static_cast<uint64_t>(INT64_MAX)) {
            *obj = static_cast<int64_t>(value);
            return;
        }
        got = "out of range";
    } else {
        got = qobject_get_type_name(qobj);
    }
    set_type_error(name, "integer", got, errp);
}

void qiv_type_uint(Visitor *v, uint64_t *obj, const char *name, Error **errp)
{
    QObject *qobj = get_object(to_qiv(v), name, true);
    const char *got;
    if (!qobj) {
        got = "missing";
    } else if (QUInt *qu = qobject_to_quint(qobj)) {
        *obj = quint_get_uint(qu);
        return;
    } else if (QInt *qi = qobject_to_qint(qobj)) {
        int64_t value = qint_get_int(qi);
        if (value >= 0) {
            *obj = static_cast<uint64_t>(value);
            return;
        }
        got = "out of range";
    } else {
        got = qobject_get_type_name(qobj);
    }
    set_type_error(name, "unsigned integer", got, errp);
}

void qiv_type_bool(Visitor *v, bool *obj, const char *name, Error **errp)
{
    QObject *qobj = get_object(to_qiv(v), name, true);
    QBool *qb = qobj ? qobject_to_qbool(qobj) : nullptr;
    if (!qb) {
        set_type_error(name, "boolean", qobject_get_type_name(qobj), errp);
        return;
    }
    *obj = qbool_get_bool(qb);
}

void qiv_type_str(Visitor *v, char **obj, const char *name, Error **errp)
{
    QObject *qobj = get_object(to_qiv(v), name, true);
    QString *qs = qobj ? qobject_to_qstring(qobj) : nullptr;
    if (!qs) {
        set_type_error(name, "string", qobject_get_type_name(qobj), errp);
        return;
    }
    *obj = g_strdup(qstring_get_str(qs));
}

/* Non-negative integers arrive as unsigned; a double member takes them too. */
void qiv_type_number(Visitor *v, double *obj, const char *name, Error **errp)
{
    QObject *qobj = get_object(to_qiv(v), name, true);
    if (QFloat *qf = qobj ? qobject_to_qfloat(qobj) : nullptr) {
        *obj = qfloat_get_double(qf);
    } else if (QInt *qi = qobj ? qobject_to_qint(qobj) : nullptr) {
        *obj = static_cast<double>(qint_get_int(qi));
    } else if (QUInt *qu = qobj ? qobject_to_quint(qobj) : nullptr) {
        *obj = static_cast<double>(quint_get_uint(qu));
    } else {
        set_type_error(name, "number", qobject_get_type_name(qobj), errp);
    }
}

void qiv_optional(Visitor *v, bool *present, const char *name, Error **errp)
{
    QmpInputVisitor *qiv = to_qiv(v);
    StackObject *so = top(qiv);
    if (so->obj && qobject_type(so->obj) == QTYPE_QDICT && name) {
        /* A JSON null counts as present; its type is checked by the value's visit. */
        *present = qdict_haskey(qobject_to_qdict(so->obj), name);
        if (so->strict_dict) {
            forget_key(so, name);
        }
        return;
    }
    *present = get_object(qiv, name, false) != nullptr;
}

QmpInputVisitor *input_visitor_new(QObject *obj, bool strict)
{
    QmpInputVisitor *qiv = new QmpInputVisitor();
    Visitor *v = &qiv->visitor;
    v->start_struct = qiv_start_struct;
    v->end_struct = qiv_end_struct;
    v->start_implicit_struct = qiv_start_implicit_struct;
    v->start_list = qiv_start_list;
    v->next_list = qiv_next_list;
    v->end_list = qiv_end_list;
    v->type_enum = input_type_enum;
    v->get_next_type = qiv_get_next_type;
    v->type_int = qiv_type_int;
    v->type_uint = qiv_type_uint;
    v->type_bool = qiv_type_bool;
    v->type_str = qiv_type_str;
    v->type_number = qiv_type_number;
    v->optional = qiv_optional;

    qobject_incref(obj);
    push(qiv, obj, nullptr);
    /* Only now: the object itself gets no pending-key set. */
    qiv->strict = strict;
    return qiv;
}

} // namespace

QmpInputVisitor *qmp_input_visitor_new(QObject *obj)
{
    return input_visitor_new(obj, false);
}

QmpInputVisitor *qmp_input_visitor_new_strict(QObject *obj)
{
    return input_visitor_new(obj, true);
}

Visitor *qmp_input_get_visitor(QmpInputVisitor *v)
{
    return &v->visitor;
}

void qmp_input_visitor_cleanup(QmpInputVisitor *v)
{
    if (!v) {
        return;
    }
    qobject_decref(v->stack[0].obj);
    delete v;
}
