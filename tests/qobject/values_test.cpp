#include <gtest/gtest.h>
#include <glib.h>

#include <string>
#include <vector>

#include "qobject/qbool.h"
#include "qobject/qdict.h"
#include "qobject/qfloat.h"
#include "qobject/qint.h"
#include "qobject/qlist.h"
#include "qobject/qnull.h"
#include "qobject/qstring.h"
#include "qobject/quint.h"

namespace {
std::vector<std::string> keys_in_order(const QDict *d)
{
    std::vector<std::string> keys;
    for (const QDictEntry *e = qdict_first(d); e; e = qdict_next(d, e)) {
        keys.push_back(qdict_entry_key(e));
    }
    return keys;
}
} // namespace

TEST(QObjectStats, CreationAndDestructionAreCounted)
{
    QObjectStats before = qobject_get_stats(QTYPE_QDICT);
    QDict *d = qdict_new();
    qdict_put(d, "abc", qint_from_int(1));
    QObjectStats during = qobject_get_stats(QTYPE_QDICT);
    EXPECT_EQ(during.active_objects, before.active_objects + 1);
    EXPECT_EQ(during.allocated_objects, before.allocated_objects + 1);
    EXPECT_GT(during.active_memory, before.active_memory);

    qobject_incref(QOBJECT(d));
    qobject_decref(QOBJECT(d));
    EXPECT_EQ(qobject_get_stats(QTYPE_QDICT).active_objects, before.active_objects + 1)
        << "one reference is still held";
    qobject_decref(QOBJECT(d));
    QObjectStats after = qobject_get_stats(QTYPE_QDICT);
    EXPECT_EQ(after.active_objects, before.active_objects);
    EXPECT_EQ(after.active_memory, before.active_memory);
    EXPECT_EQ(after.allocated_objects, before.allocated_objects + 1) << "never decreases";
    EXPECT_EQ(after.field_memory, during.field_memory) << "never decreases";
}

TEST(QObjectTypes, NamesAndCasts)
{
    /* The other names appear in the input visitor's messages (qapi_visitor_test). */
    EXPECT_STREQ(qobject_type_name(QTYPE_QBOOL), "qbool");

    QObject *n = qnull();
    EXPECT_EQ(qobject_type(n), QTYPE_QNULL);
    QObject *n2 = qnull();
    EXPECT_EQ(n, n2) << "one shared instance";
    qobject_decref(n);
    qobject_decref(n2);

    QUInt *u = quint_from_uint(7);
    EXPECT_EQ(qobject_to_qint(QOBJECT(u)), nullptr);
    EXPECT_EQ(qobject_to_quint(QOBJECT(u)), u);
    EXPECT_EQ(qobject_to_qdict(nullptr), nullptr);
    qobject_decref(QOBJECT(u));
}

TEST(QObjectTypesDeath, InvalidTypeCodesAreFatal)
{
    EXPECT_EXIT(qobject_type_name(QTYPE_NONE), testing::ExitedWithCode(1), "unexpected condition");
    EXPECT_EXIT(qobject_type_name(QTYPE_MAX), testing::ExitedWithCode(1), "unexpected condition");
}

/* ASan reports a write past the buffer, also by an append that exactly fills it. */
TEST(QString, AppendsKeepTheTextWholeAndTerminated)
{
    QString *s = qstring_from_str("abcd");
    qstring_append(s, "ef");
    std::string fill(s->capacity - s->length, '1');
    qstring_append(s, fill.c_str());
    EXPECT_EQ(std::string(qstring_get_str(s)), "abcdef" + fill);
    qstring_append_int(s, -42);
    qstring_append_format(s, "%s", std::string(300, 'x').c_str());
    EXPECT_EQ(qstring_get_length(s), 6 + fill.size() + 3 + 300);
    EXPECT_EQ(s->string[s->length], '\0');
    qobject_decref(QOBJECT(s));

    QString *sub = qstring_from_substr("hello world", 6, 10);
    char *stolen = qstring_steal(sub);
    EXPECT_STREQ(stolen, "world");
    g_free(stolen);
}

/* The order itself is the hash table's; JsonWrite checks that the same insertions give the same text. */
TEST(QDict, ReplacingKeepsTheEntryInPlaceAndDeletingRemovesIt)
{
    QDict *d = qdict_new();
    for (int i = 0; i < 40; i++) {
        qdict_put(d, ("key" + std::to_string(i)).c_str(), qint_from_int(i));
    }
    const std::vector<std::string> order = keys_in_order(d);
    EXPECT_EQ(order.size(), 40u);
    qdict_put(d, "key7", qstring_from_str("seven"));
    EXPECT_EQ(keys_in_order(d), order);
    EXPECT_STREQ(qdict_get_str(d, "key7"), "seven");
    EXPECT_EQ(qdict_size(d), 40u);

    qdict_del(d, "key7");
    qdict_del(d, "absent");
    EXPECT_FALSE(qdict_haskey(d, "key7"));
    EXPECT_EQ(qdict_size(d), 39u);
    qobject_decref(QOBJECT(d));
}

/* The typed getters read requests and replies in every dispatcher test. */
TEST(QDict, TypedGetterOfAMissingOrOtherTypeIsFatal)
{
    QDict *d = qdict_new();
    qdict_put(d, "u", quint_from_uint(5));
    EXPECT_EXIT(qdict_get_int(d, "missing"), testing::ExitedWithCode(1), "obj != NULL");
    EXPECT_EXIT(qdict_get_int(d, "u"), testing::ExitedWithCode(1), "qobject_type\\(obj\\) == type");
    qobject_decref(QOBJECT(d));
}

TEST(QList, AppendPopCopyKeepReferencesRight)
{
    QList *l = qlist_new();
    EXPECT_TRUE(qlist_empty(l));
    EXPECT_EQ(qlist_pop(l), nullptr);
    QString *shared = qstring_from_str("x");
    qlist_append(l, shared);
    qlist_append(l, qint_from_int(2));
    QList *copy = qlist_copy(l);
    EXPECT_EQ(shared->base.refcnt, 2u);
    EXPECT_EQ(qlist_size(copy), 2u);
    EXPECT_EQ(qlist_peek(copy), QOBJECT(shared));

    QObject *first = qlist_pop(l);
    EXPECT_EQ(first, QOBJECT(shared));
    EXPECT_EQ(qlist_size(l), 1u);
    qobject_decref(first);
    qobject_decref(QOBJECT(l));
    EXPECT_EQ(shared->base.refcnt, 1u);

    int64_t sum = 0;
    qlist_iter(copy, [](QObject *v, void *opaque) {
        if (QInt *i = qobject_to_qint(v)) {
            *static_cast<int64_t *>(opaque) += qint_get_int(i);
        }
    }, &sum);
    EXPECT_EQ(sum, 2);
    qobject_decref(QOBJECT(copy));
}
