#include "qobject/qdict.h"

#include <glib.h>

#include <cstring>

#include "qobject/qbool.h"
#include "qobject/qint.h"
#include "qobject/qlist.h"
#include "qobject/qobject-internal.h"
#include "qobject/qstring.h"
#include "qobject/quint.h"
#include "util/agent-assert.h"

static constexpr size_t kEntryFieldOverhead = 33;
/* Up to this many members the bucket chains are short enough to search. */
static constexpr size_t kIndexThreshold = 64;

/*
 * Open addressing with linear probing, at most half full. A slot keeps the key's index
 * hash beside the entry, so probing and growing touch no entry but the one looked for.
 * The index hash is keyed with a secret chosen per process: the bucket hash is public and
 * easy to collide, and a peer that sends many colliding keys must not make parsing
 * quadratic again.
 */
struct QDictIndexSlot {
    QDictEntry *entry;
    uint64_t hash;
};

struct QDictIndex {
    unsigned shift; /* 64 - log2(capacity) */
    size_t mask;
    size_t used;
    QDictIndexSlot *slots;
};

static inline uint64_t rotl(uint64_t x, int b)
{
    return (x << b) | (x >> (64 - b));
}

struct SipState {
    uint64_t v0, v1, v2, v3;
    void round()
    {
        v0 += v1;
        v1 = rotl(v1, 13) ^ v0;
        v0 = rotl(v0, 32);
        v2 += v3;
        v3 = rotl(v3, 16) ^ v2;
        v0 += v3;
        v3 = rotl(v3, 21) ^ v0;
        v2 += v1;
        v1 = rotl(v1, 17) ^ v2;
        v2 = rotl(v2, 32);
    }
};

struct SipKey {
    uint64_t k0, k1;
};

static const SipKey &index_key(void)
{
    static const SipKey key = [] {
        SipKey k;
        k.k0 = (uint64_t{g_random_int()} << 32) | g_random_int();
        k.k1 = (uint64_t{g_random_int()} << 32) | g_random_int();
        return k;
    }();
    return key;
}

/* SipHash-1-3 of the key text. */
static uint64_t index_hash(const char *text)
{
    const SipKey &k = index_key();
    SipState s{k.k0 ^ 0x736f6d6570736575ull, k.k1 ^ 0x646f72616e646f6dull, k.k0 ^ 0x6c7967656e657261ull,
               k.k1 ^ 0x7465646279746573ull};
    size_t len = strlen(text);
    const auto *p = reinterpret_cast<const unsigned char *>(text);
    size_t whole = len & ~size_t{7};
    for (size_t i = 0; i < whole; i += 8) {
        uint64_t m;
        memcpy(&m, p + i, sizeof m);
        m = GUINT64_FROM_LE(m);
        s.v3 ^= m;
        s.round();
        s.v0 ^= m;
    }
    uint64_t last = uint64_t{len & 0xff} << 56;
    for (size_t i = whole; i < len; i++) {
        last |= uint64_t{p[i]} << (8 * (i - whole));
    }
    s.v3 ^= last;
    s.round();
    s.v0 ^= last;
    s.v2 ^= 0xff;
    s.round();
    s.round();
    s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

static size_t index_home(const QDictIndex *index, uint64_t hash)
{
    return static_cast<size_t>(hash >> index->shift);
}

static void index_place(QDictIndex *index, QDictEntry *e, uint64_t hash)
{
    size_t i = index_home(index, hash);
    while (index->slots[i].entry) {
        i = (i + 1) & index->mask;
    }
    index->slots[i] = {e, hash};
    index->used++;
}

static void index_resize(QDictIndex *index, unsigned bits)
{
    QDictIndexSlot *old = index->slots;
    size_t old_capacity = old ? index->mask + 1 : 0;
    index->shift = 64 - bits;
    index->mask = (size_t{1} << bits) - 1;
    index->used = 0;
    index->slots = g_new0(QDictIndexSlot, index->mask + 1);
    for (size_t i = 0; i < old_capacity; i++) {
        if (old[i].entry) {
            index_place(index, old[i].entry, old[i].hash);
        }
    }
    g_free(old);
}

static void index_add(QDictIndex *index, QDictEntry *e)
{
    if ((index->used + 1) * 2 > index->mask + 1) {
        index_resize(index, 64 - index->shift + 1);
    }
    index_place(index, e, index_hash(e->key));
}

static QDictEntry *index_find(const QDictIndex *index, const char *key)
{
    uint64_t hash = index_hash(key);
    for (size_t i = index_home(index, hash); index->slots[i].entry; i = (i + 1) & index->mask) {
        const QDictIndexSlot &slot = index->slots[i];
        if (slot.hash == hash && strcmp(slot.entry->key, key) == 0) {
            return slot.entry;
        }
    }
    return nullptr;
}

/* Removes without tombstones: later members of the probe run move back into the gap. */
static void index_remove(QDictIndex *index, const QDictEntry *e)
{
    size_t gap = index_home(index, index_hash(e->key));
    while (index->slots[gap].entry != e) {
        gap = (gap + 1) & index->mask;
    }
    for (size_t i = (gap + 1) & index->mask; index->slots[i].entry; i = (i + 1) & index->mask) {
        size_t home = index_home(index, index->slots[i].hash);
        /* It may fill the gap unless its home lies cyclically in (gap, i]. */
        bool home_after_gap = gap <= i ? (home > gap && home <= i) : (home > gap || home <= i);
        if (!home_after_gap) {
            index->slots[gap] = index->slots[i];
            gap = i;
        }
    }
    index->slots[gap] = {nullptr, 0};
    index->used--;
}

static void index_build(QDict *dict)
{
    QDictIndex *index = g_new0(QDictIndex, 1);
    unsigned bits = 8;
    while ((size_t{1} << bits) < dict->size * 4) {
        bits++;
    }
    index_resize(index, bits);
    for (QDictEntry *head : dict->table) {
        for (QDictEntry *e = head; e; e = e->next) {
            index_place(index, e, index_hash(e->key));
        }
    }
    dict->index = index;
}

static void index_free(QDictIndex *index)
{
    if (index) {
        g_free(index->slots);
        g_free(index);
    }
}

/* The key lives right after the entry: one allocation per member. */
static QDictEntry *entry_new(const char *key, size_t key_len)
{
    QDictEntry *e = static_cast<QDictEntry *>(g_malloc(sizeof(QDictEntry) + key_len + 1));
    e->key = reinterpret_cast<char *>(e + 1);
    memcpy(e->key, key, key_len + 1);
    return e;
}

static void qdict_destroy(QObject *obj)
{
    QDict *dict = reinterpret_cast<QDict *>(obj);
    for (QDictEntry *&head : dict->table) {
        QDictEntry *e = head;
        while (e) {
            QDictEntry *next = e->next;
            qobject_decref(e->value);
            g_free(e);
            e = next;
        }
    }
    index_free(dict->index);
    qobject_release<QDict>(obj);
}

static const QType s_qdict_type = {QTYPE_QDICT, sizeof(QDict), qdict_destroy};

static QDictEntry *find(const QDict *dict, unsigned hash, const char *key)
{
    if (dict->index) {
        return index_find(dict->index, key);
    }
    for (QDictEntry *e = dict->table[hash % QDICT_BUCKET_MAX]; e; e = e->next) {
        if (e->hash == hash && strcmp(e->key, key) == 0) {
            return e;
        }
    }
    return nullptr;
}

QDict *qdict_new(void)
{
    QDict *dict = qobject_alloc<QDict>(&s_qdict_type);
    dict->size = 0;
    memset(dict->table, 0, sizeof dict->table);
    dict->index = nullptr;
    return dict;
}

void qdict_put_obj(QDict *dict, const char *key, QObject *value)
{
    unsigned hash = g_str_hash(key);
    QDictEntry *e = find(dict, hash, key);
    if (e) {
        qobject_decref(e->value);
        e->value = value;
        return;
    }
    size_t key_len = strlen(key);
    e = entry_new(key, key_len);
    e->value = value;
    e->hash = hash;
    e->bucket = hash % QDICT_BUCKET_MAX;
    QDictEntry **head = &dict->table[e->bucket];
    e->next = *head;
    e->pprev = head;
    if (*head) {
        (*head)->pprev = &e->next;
    }
    *head = e;
    dict->size++;
    qobject_stats_add_field_memory(QTYPE_QDICT, key_len + kEntryFieldOverhead);
    if (dict->index) {
        index_add(dict->index, e);
    } else if (dict->size > kIndexThreshold) {
        index_build(dict);
    }
}

QObject *qdict_get(const QDict *dict, const char *key)
{
    QDictEntry *e = find(dict, g_str_hash(key), key);
    return e ? e->value : nullptr;
}

bool qdict_haskey(const QDict *dict, const char *key)
{
    return find(dict, g_str_hash(key), key) != nullptr;
}

size_t qdict_size(const QDict *dict)
{
    return dict->size;
}

void qdict_del(QDict *dict, const char *key)
{
    QDictEntry *e = find(dict, g_str_hash(key), key);
    if (!e) {
        return;
    }
    if (dict->index) {
        index_remove(dict->index, e);
    }
    *e->pprev = e->next;
    if (e->next) {
        e->next->pprev = e->pprev;
    }
    qobject_decref(e->value);
    g_free(e);
    dict->size--;
}

static QObject *get_typed(const QDict *dict, const char *key, qtype_code type)
{
    QObject *obj = qdict_get(dict, key);
    AGENT_ASSERT(obj != NULL);
    AGENT_ASSERT(qobject_type(obj) == type);
    return obj;
}

int64_t qdict_get_int(const QDict *dict, const char *key)
{
    return qint_get_int(qobject_to_qint(get_typed(dict, key, QTYPE_QINT)));
}

uint64_t qdict_get_uint(const QDict *dict, const char *key)
{
    return quint_get_uint(qobject_to_quint(get_typed(dict, key, QTYPE_QUINT)));
}

const char *qdict_get_str(const QDict *dict, const char *key)
{
    return qstring_get_str(qobject_to_qstring(get_typed(dict, key, QTYPE_QSTRING)));
}

QDict *qdict_get_qdict(const QDict *dict, const char *key)
{
    return qobject_to_qdict(get_typed(dict, key, QTYPE_QDICT));
}

QList *qdict_get_qlist(const QDict *dict, const char *key)
{
    return qobject_to_qlist(get_typed(dict, key, QTYPE_QLIST));
}

bool qdict_get_bool(const QDict *dict, const char *key)
{
    return qbool_get_bool(qobject_to_qbool(get_typed(dict, key, QTYPE_QBOOL)));
}

static const QDictEntry *first_from_bucket(const QDict *dict, unsigned bucket)
{
    for (; bucket < QDICT_BUCKET_MAX; bucket++) {
        if (dict->table[bucket]) {
            return dict->table[bucket];
        }
    }
    return nullptr;
}

const QDictEntry *qdict_first(const QDict *dict)
{
    return first_from_bucket(dict, 0);
}

const QDictEntry *qdict_next(const QDict *dict, const QDictEntry *entry)
{
    if (entry->next) {
        return entry->next;
    }
    return first_from_bucket(dict, entry->bucket + 1);
}

const char *qdict_entry_key(const QDictEntry *entry)
{
    return entry->key;
}

QObject *qdict_entry_value(const QDictEntry *entry)
{
    return entry->value;
}

void qdict_iter(const QDict *dict, void (*iter)(const char *key, QObject *value, void *opaque),
                void *opaque)
{
    for (const QDictEntry *e = qdict_first(dict); e; e = qdict_next(dict, e)) {
        iter(e->key, e->value, opaque);
    }
}

QDict *qobject_to_qdict(const QObject *obj)
{
    return qobject_downcast<QDict>(obj, QTYPE_QDICT);
}
