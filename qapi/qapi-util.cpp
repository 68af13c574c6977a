#include "qapi/qapi-util.h"

#include <cstring>

#include "util/agent-assert.h"
#include "util/error.h"

namespace {

constexpr const char *kListModule = "qmp-list-types";

GenericList *alloc_node()
{
    return static_cast<GenericList *>(qapi_alloc_object(kListModule, "List", sizeof(GenericList)));
}

/* Unlinks the nodes for which drop() holds; returns how many. */
template <typename Pred>
size_t remove_if(GenericList **list, GDestroyNotify free_node, Pred drop)
{
    size_t removed = 0;
    GenericList **link = list;
    while (*link) {
        GenericList *node = *link;
        if (drop(node)) {
            *link = node->next;
            node->next = nullptr;
            if (free_node) {
                free_node(node);
            }
            removed++;
        } else {
            link = &node->next;
        }
    }
    return removed;
}

} // namespace

int qapi_enum_parse(const char *const lookup[], const char *text, int table_size, int def,
                    Error **errp)
{
    if (!text) {
        return def;
    }
    for (int i = 0; i < table_size; i++) {
        if (lookup[i] && strcmp(lookup[i], text) == 0) {
            return i;
        }
    }
    error_setg(errp, "invalid parameter value: %s", text);
    return def;
}

void *qapi_alloc_object(const char *module, const char *type, size_t size)
{
    void *obj = g_try_malloc0(size);
    if (!obj) {
        agent_fatal_error("[%s] failed to allocate QMP object of type '%s' (%zu bytes)", module,
                          type, size);
    }
    return obj;
}

size_t qapi_list_length(const GenericList *list)
{
    size_t length = 0;
    for (; list; list = list->next) {
        length++;
    }
    return length;
}

bool qapi_list_contains(const GenericList *list, const void *value)
{
    for (; list; list = list->next) {
        if (list->value == value) {
            return true;
        }
    }
    return false;
}

void *qapi_list_value_at(const GenericList *list, size_t index)
{
    for (; list; list = list->next, index--) {
        if (index == 0) {
            return list->value;
        }
    }
    return nullptr;
}

size_t qapi_list_remove_duplicates(GenericList **list, GHashFunc hash, GEqualFunc equal,
                                   GDestroyNotify free_node)
{
    GHashTable *seen = g_hash_table_new(hash, equal);
    size_t removed = remove_if(list, free_node, [seen](GenericList *node) {
        if (g_hash_table_contains(seen, node->value)) {
            return true;
        }
        g_hash_table_add(seen, node->value);
        return false;
    });
    g_hash_table_destroy(seen);
    return removed;
}

size_t qapi_list_remove_matching(GenericList **list, const void *value, GEqualFunc equal,
                                 GDestroyNotify free_node)
{
    return remove_if(list, free_node, [value, equal](GenericList *node) {
        return equal ? equal(node->value, value) != FALSE : node->value == value;
    });
}

bool qapi_list_contains_str(const GenericList *list, const char *str)
{
    for (; list; list = list->next) {
        if (g_strcmp0(static_cast<const char *>(list->value), str) == 0) {
            return true;
        }
    }
    return false;
}

GenericList *qapi_list_detach(GenericList *head)
{
    GenericList *node = alloc_node();
    node->padding = head->padding;
    node->next = head->next;
    head->padding = 0;
    head->next = nullptr;
    return node;
}

void qapi_list_prepend_str(GenericList **list, const char *str)
{
    GenericList *node = alloc_node();
    node->value = g_strdup(str);
    node->next = *list;
    *list = node;
}
