/*
 * Visitor: walks a typed schema value member by member. The same generated
 * visit_type_* function reads a value from JSON, writes it as JSON text or
 * releases it, depending on the visitor it is handed.
 *
 * Every visit takes errp last. Per-type code stops at the first error but still
 * closes every struct and list it opened, so the release visitor can later free
 * whatever was allocated before the failure.
 */
#pragma once

#include <cstddef>
#include <cstdint>

struct Error;

/*
 * The layout every generated <T>List shares: the value first (a record pointer,
 * or the scalar or enumeration itself, never wider than 8 bytes), then next.
 */
struct GenericList {
    union {
        void *value;
        uint64_t padding;
    };
    GenericList *next;
};

/* Slots in their fixed order; the ones marked optional may be NULL. */
struct Visitor {
    void (*start_struct)(Visitor *v, void **obj, const char *kind, const char *name, size_t size,
                         Error **errp);
    void (*end_struct)(Visitor *v, Error **errp);
    /* optional */
    void (*start_implicit_struct)(Visitor *v, void **obj, size_t size, Error **errp);
    /* optional */
    void (*end_implicit_struct)(Visitor *v, Error **errp);

    void (*start_list)(Visitor *v, const char *name, Error **errp);
    /* list is the address of the previous node's next pointer (the head's address first). */
    GenericList *(*next_list)(Visitor *v, GenericList **list, Error **errp);
    void (*end_list)(Visitor *v, Error **errp);

    void (*type_enum)(Visitor *v, int *obj, const char *const strings[], const char *kind,
                      const char *name, Error **errp);
    /* optional; qobjects maps a qtype_code to the alternative's kind */
    void (*get_next_type)(Visitor *v, int *kind, const int *qobjects, const char *name,
                          Error **errp);

    void (*type_int)(Visitor *v, int64_t *obj, const char *name, Error **errp);
    /* optional */
    void (*type_uint)(Visitor *v, uint64_t *obj, const char *name, Error **errp);
    void (*type_bool)(Visitor *v, bool *obj, const char *name, Error **errp);
    void (*type_str)(Visitor *v, char **obj, const char *name, Error **errp);
    void (*type_number)(Visitor *v, double *obj, const char *name, Error **errp);

    /* optional */
    void (*optional)(Visitor *v, bool *present, const char *name, Error **errp);

    /* optional: own width-specific visits, bypassing the range checks of the core */
    void (*type_uint8)(Visitor *v, uint8_t *obj, const char *name, Error **errp);
    void (*type_uint16)(Visitor *v, uint16_t *obj, const char *name, Error **errp);
    void (*type_uint32)(Visitor *v, uint32_t *obj, const char *name, Error **errp);
    void (*type_uint64)(Visitor *v, uint64_t *obj, const char *name, Error **errp);
    void (*type_int8)(Visitor *v, int8_t *obj, const char *name, Error **errp);
    void (*type_int16)(Visitor *v, int16_t *obj, const char *name, Error **errp);
    void (*type_int32)(Visitor *v, int32_t *obj, const char *name, Error **errp);
    void (*type_int64)(Visitor *v, int64_t *obj, const char *name, Error **errp);
    void (*type_size)(Visitor *v, uint64_t *obj, const char *name, Error **errp);

    /* optional */
    bool (*start_union)(Visitor *v, bool data_present, Error **errp);
    void (*end_union)(Visitor *v, bool data_present, Error **errp);
};

void visit_start_struct(Visitor *v, void **obj, const char *kind, const char *name, size_t size,
                        Error **errp);
void visit_end_struct(Visitor *v, Error **errp);
void visit_start_implicit_struct(Visitor *v, void **obj, size_t size, Error **errp);
void visit_end_implicit_struct(Visitor *v, Error **errp);
void visit_start_list(Visitor *v, const char *name, Error **errp);
GenericList *visit_next_list(Visitor *v, GenericList **list, Error **errp);
void visit_end_list(Visitor *v, Error **errp);
void visit_optional(Visitor *v, bool *present, const char *name, Error **errp);
void visit_get_next_type(Visitor *v, int *kind, const int *qobjects, const char *name,
                         Error **errp);
/* True when the visitor has no union slot. */
bool visit_start_union(Visitor *v, bool data_present, Error **errp);
void visit_end_union(Visitor *v, bool data_present, Error **errp);

void visit_type_enum(Visitor *v, int *obj, const char *const strings[], const char *kind,
                     const char *name, Error **errp);
void visit_type_int(Visitor *v, int64_t *obj, const char *name, Error **errp);
void visit_type_uint8(Visitor *v, uint8_t *obj, const char *name, Error **errp);
void visit_type_uint16(Visitor *v, uint16_t *obj, const char *name, Error **errp);
void visit_type_uint32(Visitor *v, uint32_t *obj, const char *name, Error **errp);
void visit_type_uint64(Visitor *v, uint64_t *obj, const char *name, Error **errp);
void visit_type_int8(Visitor *v, int8_t *obj, const char *name, Error **errp);
void visit_type_int16(Visitor *v, int16_t *obj, const char *name, Error **errp);
void visit_type_int32(Visitor *v, int32_t *obj, const char *name, Error **errp);
void visit_type_int64(Visitor *v, int64_t *obj, const char *name, Error **errp);
void visit_type_size(Visitor *v, uint64_t *obj, const char *name, Error **errp);
void visit_type_bool(Visitor *v, bool *obj, const char *name, Error **errp);
void visit_type_str(Visitor *v, char **obj, const char *name, Error **errp);
void visit_type_number(Visitor *v, double *obj, const char *name, Error **errp);

/* type_enum of the writing visitors: the value's string through type_str. */
void output_type_enum(Visitor *v, int *obj, const char *const strings[], const char *kind,
                      const char *name, Error **errp);
/* type_enum of the reading visitors: the table index of the string read through type_str. */
void input_type_enum(Visitor *v, int *obj, const char *const strings[], const char *kind,
                     const char *name, Error **errp);
