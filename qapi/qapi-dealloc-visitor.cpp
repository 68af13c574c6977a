#include "qapi/qapi-dealloc-visitor.h"

#include <glib.h>

#include "util/agent-assert.h"

namespace {

struct StackEntry {
    /* A record being released, or a list's current node. */
    void *obj;
    /* A list whose head has not been handed out yet. */
    bool is_list_head;
};

} // namespace

struct QapiDeallocVisitor {
    Visitor visitor;
    GArray *stack; /* of StackEntry */
};

namespace {

QapiDeallocVisitor *to_qdv(Visitor *v)
{
    return reinterpret_cast<QapiDeallocVisitor *>(v);
}

void push(Visitor *v, void *obj, bool is_list_head)
{
    StackEntry entry{obj, is_list_head};
    g_array_append_val(to_qdv(v)->stack, entry);
}

StackEntry &top(Visitor *v)
{
    GArray *stack = to_qdv(v)->stack;
    AGENT_ASSERT(stack->len > 0);
    return g_array_index(stack, StackEntry, stack->len - 1);
}

void pop(Visitor *v)
{
    GArray *stack = to_qdv(v)->stack;
    g_array_set_size(stack, stack->len - 1);
}

void qdv_start_struct(Visitor *v, void **obj, const char *kind, const char *name, size_t size,
                      Error **errp)
{
    push(v, obj ? *obj : nullptr, false);
}

void qdv_end_struct(Visitor *v, Error **errp)
{
    g_free(top(v).obj);
    pop(v);
}

void qdv_start_implicit_struct(Visitor *v, void **obj, size_t size, Error **errp)
{
    qdv_start_struct(v, obj, nullptr, nullptr, size, errp);
}

void qdv_end_implicit_struct(Visitor *v, Error **errp)
{
    qdv_end_struct(v, errp);
}

void qdv_start_list(Visitor *v, const char *name, Error **errp)
{
    push(v, nullptr, true);
}

/* The caller's pointer into the node just visited is not touched after that node is freed. */
GenericList *qdv_next_list(Visitor *v, GenericList **list, Error **errp)
{
    StackEntry &entry = top(v);
    if (entry.is_list_head) {
        entry.is_list_head = false;
        entry.obj = *list;
        return *list;
    }
    auto *current = static_cast<GenericList *>(entry.obj);
    if (!current) {
        return nullptr;
    }
    GenericList *next = current->next;
    g_free(current);
    entry.obj = next;
    return next;
}

void qdv_end_list(Visitor *v, Error **errp)
{
    void *obj = top(v).obj;
    AGENT_ASSERT(obj == NULL);
    pop(v);
}

void qdv_type_str(Visitor *v, char **obj, const char *name, Error **errp)
{
    if (obj) {
        g_free(*obj);
        *obj = nullptr;
    }
}

/* Enumerations, numbers and booleans own nothing. */
void qdv_type_enum(Visitor *v, int *obj, const char *const strings[], const char *kind,
                   const char *name, Error **errp)
{
}

void qdv_type_int(Visitor *v, int64_t *obj, const char *name, Error **errp)
{
}

void qdv_type_uint(Visitor *v, uint64_t *obj, const char *name, Error **errp)
{
}

void qdv_type_bool(Visitor *v, bool *obj, const char *name, Error **errp)
{
}

void qdv_type_number(Visitor *v, double *obj, const char *name, Error **errp)
{
}

void qdv_type_size(Visitor *v, uint64_t *obj, const char *name, Error **errp)
{
}

bool qdv_start_union(Visitor *v, bool data_present, Error **errp)
{
    return data_present;
}

} // namespace

QapiDeallocVisitor *qapi_dealloc_visitor_new(void)
{
    QapiDeallocVisitor *qdv = g_new0(QapiDeallocVisitor, 1);
    qdv->stack = g_array_new(FALSE, FALSE, sizeof(StackEntry));
    Visitor *v = &qdv->visitor;
    v->start_struct = qdv_start_struct;
    v->end_struct = qdv_end_struct;
    v->start_implicit_struct = qdv_start_implicit_struct;
    v->end_implicit_struct = qdv_end_implicit_struct;
    v->start_list = qdv_start_list;
    v->next_list = qdv_next_list;
    v->end_list = qdv_end_list;
    v->type_enum = qdv_type_enum;
    v->type_int = qdv_type_int;
    v->type_uint = qdv_type_uint;
    v->type_bool = qdv_type_bool;
    v->type_str = qdv_type_str;
    v->type_number = qdv_type_number;
    v->type_size = qdv_type_size;
    v->start_union = qdv_start_union;
    return qdv;
}

Visitor *qapi_dealloc_get_visitor(QapiDeallocVisitor *v)
{
    return &v->visitor;
}

void qapi_dealloc_visitor_cleanup(QapiDeallocVisitor *v)
{
    if (!v) {
        return;
    }
    g_array_free(v->stack, TRUE);
    g_free(v);
}
