#include "qapi/qapi-visit-core.h"

#include <cstring>

#include <glib.h>

#include "util/agent-assert.h"
#include "util/error.h"

namespace {

const char *name_or_null(const char *name)
{
    return name ? name : "null";
}

void set_no_uint_slot(const char *name, const char *c_type, Error **errp)
{
    error_setg(errp, "Invalid parameter type for '%s', expected: %s, got: %s", name_or_null(name),
               c_type, "unknown");
}

/* Narrow unsigned visits go through type_uint; an out-of-range value leaves *obj alone. */
template <typename T>
void visit_uint_checked(Visitor *v, T *obj, uint64_t max, const char *c_type, const char *name,
                        Error **errp)
{
    if (!v->type_uint) {
        set_no_uint_slot(name, c_type, errp);
        return;
    }
    Error *err = nullptr;
    uint64_t value = *obj;
    v->type_uint(v, &value, name, &err);
    if (err) {
        error_propagate(errp, err);
        return;
    }
    if (value > max) {
        error_setg(errp, "Parameter '%s' expects %s", name_or_null(name), c_type);
        return;
    }
    *obj = static_cast<T>(value);
}

template <typename T>
void visit_int_checked(Visitor *v, T *obj, int64_t min, int64_t max, const char *c_type,
                       const char *name, Error **errp)
{
    Error *err = nullptr;
    int64_t value = *obj;
    v->type_int(v, &value, name, &err);
    if (err) {
        error_propagate(errp, err);
        return;
    }
    if (value < min || value > max) {
        error_setg(errp, "Parameter '%s' expects %s", name_or_null(name), c_type);
        return;
    }
    *obj = static_cast<T>(value);
}

} // namespace

void visit_start_struct(Visitor *v, void **obj, const char *kind, const char *name, size_t size,
                        Error **errp)
{
    v->start_struct(v, obj, kind, name, size, errp);
}

void visit_end_struct(Visitor *v, Error **errp)
{
    v->end_struct(v, errp);
}

void visit_start_implicit_struct(Visitor *v, void **obj, size_t size, Error **errp)
{
    if (v->start_implicit_struct) {
        v->start_implicit_struct(v, obj, size, errp);
    }
}

void visit_end_implicit_struct(Visitor *v, Error **errp)
{
    if (v->end_implicit_struct) {
        v->end_implicit_struct(v, errp);
    }
}

void visit_start_list(Visitor *v, const char *name, Error **errp)
{
    v->start_list(v, name, errp);
}

GenericList *visit_next_list(Visitor *v, GenericList **list, Error **errp)
{
    return v->next_list(v, list, errp);
}

void visit_end_list(Visitor *v, Error **errp)
{
    v->end_list(v, errp);
}

void visit_optional(Visitor *v, bool *present, const char *name, Error **errp)
{
    if (v->optional) {
        v->optional(v, present, name, errp);
    }
}

void visit_get_next_type(Visitor *v, int *kind, const int *qobjects, const char *name,
                         Error **errp)
{
    if (v->get_next_type) {
        v->get_next_type(v, kind, qobjects, name, errp);
    }
}

bool visit_start_union(Visitor *v, bool data_present, Error **errp)
{
    if (v->start_union) {
        return v->start_union(v, data_present, errp);
    }
    return true;
}

void visit_end_union(Visitor *v, bool data_present, Error **errp)
{
    if (v->end_union) {
        v->end_union(v, data_present, errp);
    }
}

void visit_type_enum(Visitor *v, int *obj, const char *const strings[], const char *kind,
                     const char *name, Error **errp)
{
    v->type_enum(v, obj, strings, kind, name, errp);
}

void visit_type_int(Visitor *v, int64_t *obj, const char *name, Error **errp)
{
    v->type_int(v, obj, name, errp);
}

void visit_type_uint8(Visitor *v, uint8_t *obj, const char *name, Error **errp)
{
    if (v->type_uint8) {
        v->type_uint8(v, obj, name, errp);
        return;
    }
    visit_uint_checked(v, obj, UINT8_MAX, "uint8_t", name, errp);
}

void visit_type_uint16(Visitor *v, uint16_t *obj, const char *name, Error **errp)
{
    if (v->type_uint16) {
        v->type_uint16(v, obj, name, errp);
        return;
    }
    visit_uint_checked(v, obj, UINT16_MAX, "uint16_t", name, errp);
}

void visit_type_uint32(Visitor *v, uint32_t *obj, const char *name, Error **errp)
{
    if (v->type_uint32) {
        v->type_uint32(v, obj, name, errp);
        return;
    }
    visit_uint_checked(v, obj, UINT32_MAX, "uint32_t", name, errp);
}

void visit_type_uint64(Visitor *v, uint64_t *obj, const char *name, Error **errp)
{
    if (v->type_uint64) {
        v->type_uint64(v, obj, name, errp);
    } else if (v->type_uint) {
        v->type_uint(v, obj, name, errp);
    } else {
        set_no_uint_slot(name, "uint64_t", errp);
    }
}

void visit_type_int8(Visitor *v, int8_t *obj, const char *name, Error **errp)
{
    if (v->type_int8) {
        v->type_int8(v, obj, name, errp);
        return;
    }
    visit_int_checked(v, obj, INT8_MIN, INT8_MAX, "int8_t", name, errp);
}

void visit_type_int16(Visitor *v, int16_t *obj, const char *name, Error **errp)
{
    if (v->type_int16) {
        v->type_int16(v, obj, name, errp);
        return;
    }
    visit_int_checked(v, obj, INT16_MIN, INT16_MAX, "int16_t", name, errp);
}

void visit_type_int32(Visitor *v, int32_t *obj, const char *name, Error **errp)
{
    if (v->type_int32) {
        v->type_int32(v, obj, name, errp);
        return;
    }
    visit_int_checked(v, obj, INT32_MIN, INT32_MAX, "int32_t", name, errp);
}

void visit_type_int64(Visitor *v, int64_t *obj, const char *name, Error **errp)
{
    if (v->type_int64) {
        v->type_int64(v, obj, name, errp);
    } else {
        v->type_int(v, obj, name, errp);
    }
}

void visit_type_size(Visitor *v, uint64_t *obj, const char *name, Error **errp)
{
    if (v->type_size) {
        v->type_size(v, obj, name, errp);
    } else if (v->type_uint64) {
        v->type_uint64(v, obj, name, errp);
    } else {
        Error *err = nullptr;
        int64_t value = static_cast<int64_t>(*obj);
        v->type_int(v, &value, name, &err);
        if (err) {
            error_propagate(errp, err);
            return;
        }
        *obj = static_cast<uint64_t>(value);
    }
}

void visit_type_bool(Visitor *v, bool *obj, const char *name, Error **errp)
{
    v->type_bool(v, obj, name, errp);
}

void visit_type_str(Visitor *v, char **obj, const char *name, Error **errp)
{
    v->type_str(v, obj, name, errp);
}

void visit_type_number(Visitor *v, double *obj, const char *name, Error **errp)
{
    v->type_number(v, obj, name, errp);
}

void output_type_enum(Visitor *v, int *obj, const char *const strings[], const char *kind,
                      const char *name, Error **errp)
{
    AGENT_ASSERT(strings);
    int count = 0;
    while (strings[count] != nullptr) {
        count++;
    }
    int value = *obj;
    if (value < 0 || value >= count) {
        error_setg(errp, "Invalid parameter '%s'", name_or_null(name));
        return;
    }
    /* The table entry is only read: the writing visitors never free a string. */
    char *text = const_cast<char *>(strings[value]);
    v->type_str(v, &text, name, errp);
}

void input_type_enum(Visitor *v, int *obj, const char *const strings[], const char *kind,
                     const char *name, Error **errp)
{
    Error *err = nullptr;
    char *text = nullptr;
    v->type_str(v, &text, name, &err);
    if (err) {
        error_propagate(errp, err);
        g_free(text);
        return;
    }
    int index = 0;
    while (text && strings[index] != nullptr && strcmp(strings[index], text) != 0) {
        index++;
    }
    if (!text || strings[index] == nullptr) {
        error_setg(errp, "Invalid parameter '%s'", name_or_null(text));
    } else {
        *obj = index;
    }
    g_free(text);
}
