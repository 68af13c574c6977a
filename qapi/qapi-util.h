/*
 * Enumeration parsing and the list utilities shared by every generated <T>List.
 * The utilities compare node values as GenericList::value: a record list's
 * pointers, or a scalar list's value bits (pass GUINT_TO_POINTER and friends).
 */
#pragma once

#include <cstddef>
#include <type_traits>

#include <glib.h>

#include "qapi/qapi-visit-core.h"

struct Error;

/* Index of text in lookup (table_size entries); NULL text gives def without an error. */
int qapi_enum_parse(const char *const lookup[], const char *text, int table_size, int def,
                    Error **errp);

/*
 * Zero-filled memory for a schema object; exhaustion is fatal, naming the
 * schema module, the type and the size.
 */
void *qapi_alloc_object(const char *module, const char *type, size_t size);

size_t qapi_list_length(const GenericList *list);
bool qapi_list_contains(const GenericList *list, const void *value);
/* NULL past the end. */
void *qapi_list_value_at(const GenericList *list, size_t index);
/*
 * Unlinks every node whose value equals an earlier one; free_node (may be NULL)
 * receives each unlinked node. Returns how many were unlinked.
 */
size_t qapi_list_remove_duplicates(GenericList **list, GHashFunc hash, GEqualFunc equal,
                                   GDestroyNotify free_node);
/* Unlinks every node matching value (equal NULL: pointer identity); as above. */
size_t qapi_list_remove_matching(GenericList **list, const void *value, GEqualFunc equal,
                                 GDestroyNotify free_node);
/* For string lists: true when one value equals str. */
bool qapi_list_contains_str(const GenericList *list, const char *str);
/* A new node taking over the head's value and next; the head is left empty. */
GenericList *qapi_list_detach(GenericList *head);
/* Prepends a node holding a copy of str. */
void qapi_list_prepend_str(GenericList **list, const char *str);

/*
 * Typed entry points for generated lists, so callers need no casts; the
 * assertions hold the list to the shared layout.
 */
template <typename L>
concept QapiList = !std::is_same_v<L, GenericList> && sizeof(L) == sizeof(GenericList) &&
                   requires(L l) { l.value; l.next; };

template <QapiList L>
const GenericList *qapi_generic_list(const L *list)
{
    static_assert(offsetof(L, next) == offsetof(GenericList, next));
    return reinterpret_cast<const GenericList *>(list);
}

template <QapiList L>
GenericList **qapi_generic_list(L **list)
{
    static_assert(offsetof(L, next) == offsetof(GenericList, next));
    return reinterpret_cast<GenericList **>(list);
}

template <QapiList L>
size_t qapi_list_length(const L *list)
{
    return qapi_list_length(qapi_generic_list(list));
}

template <QapiList L>
bool qapi_list_contains(const L *list, const void *value)
{
    return qapi_list_contains(qapi_generic_list(list), value);
}

template <QapiList L>
void *qapi_list_value_at(const L *list, size_t index)
{
    return qapi_list_value_at(qapi_generic_list(list), index);
}

template <QapiList L>
size_t qapi_list_remove_duplicates(L **list, GHashFunc hash, GEqualFunc equal,
                                   GDestroyNotify free_node)
{
    return qapi_list_remove_duplicates(qapi_generic_list(list), hash, equal, free_node);
}

template <QapiList L>
size_t qapi_list_remove_matching(L **list, const void *value, GEqualFunc equal,
                                 GDestroyNotify free_node)
{
    return qapi_list_remove_matching(qapi_generic_list(list), value, equal, free_node);
}

template <QapiList L>
bool qapi_list_contains_str(const L *list, const char *str)
{
    return qapi_list_contains_str(qapi_generic_list(list), str);
}

template <QapiList L>
L *qapi_list_detach(L *head)
{
    return reinterpret_cast<L *>(qapi_list_detach(reinterpret_cast<GenericList *>(head)));
}

template <QapiList L>
void qapi_list_prepend_str(L **list, const char *str)
{
    qapi_list_prepend_str(qapi_generic_list(list), str);
}
