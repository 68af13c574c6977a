#include <gtest/gtest.h>
#include <glib.h>

#include <atomic>
#include <list>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "qobject/qbool.h"
#include "qobject/qdict.h"
#include "qobject/qfloat.h"
#include "qobject/qint.h"
#include "qobject/qjson.h"
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

/*
 * The order every written document shows, modelled on its own: the bucket of a key is its
 * GLib string hash modulo 16; buckets in index order, each from its newest member to its
 * oldest; a replaced value keeps its place; a deleted key that comes back is the newest.
 */
class OrderModel {
public:
    void put(const std::string &key, int64_t value)
    {
        if (!values_.count(key)) {
            auto &chain = buckets_[g_str_hash(key.c_str()) % 16];
            places_[key] = chain.insert(chain.begin(), key);
        }
        values_[key] = value;
    }
    void del(const std::string &key)
    {
        if (values_.erase(key)) {
            buckets_[g_str_hash(key.c_str()) % 16].erase(places_[key]);
            places_.erase(key);
        }
    }
    std::vector<std::string> order() const
    {
        std::vector<std::string> all;
        for (const auto &chain : buckets_) {
            all.insert(all.end(), chain.begin(), chain.end());
        }
        return all;
    }
    const std::map<std::string, int64_t> &values() const { return values_; }

private:
    std::list<std::string> buckets_[16];
    std::map<std::string, std::list<std::string>::iterator> places_;
    std::map<std::string, int64_t> values_;
};

/* n members, every 7th replaced, every 5th deleted, every 10th of those put back. */
void churn(QDict *d, OrderModel &model, int n)
{
    auto key = [](int i) { return "member-" + std::to_string(i); };
    for (int i = 0; i < n; i++) {
        qdict_put(d, key(i).c_str(), qint_from_int(i));
        model.put(key(i), i);
    }
    for (int i = 0; i < n; i += 7) {
        qdict_put(d, key(i).c_str(), qint_from_int(-i));
        model.put(key(i), -i);
    }
    for (int i = 0; i < n; i += 5) {
        qdict_del(d, key(i).c_str());
        model.del(key(i));
    }
    for (int i = 0; i < n; i += 10) {
        qdict_put(d, key(i).c_str(), qint_from_int(i + 1));
        model.put(key(i), i + 1);
    }
}

std::string written(const QDict *d)
{
    QString *text = qobject_to_json(QOBJECT(d));
    std::string out = qstring_get_str(text);
    qobject_decref(QOBJECT(text));
    return out;
}

std::string sha256(const std::string &text)
{
    gchar *sum = g_compute_checksum_for_string(G_CHECKSUM_SHA256, text.c_str(), -1);
    std::string out = sum;
    g_free(sum);
    return out;
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

/* Written order is interface (replies, stored files): it must not depend on the dictionary's size. */
TEST(QDict, OrderOfSmallAndLargeDictionariesAfterReplacementsAndDeletions)
{
    for (int n : {10, 64, 65, 300, 20000}) {
        SCOPED_TRACE(n);
        QDict *d = qdict_new();
        OrderModel model;
        churn(d, model, n);
        EXPECT_EQ(keys_in_order(d), model.order());
        ASSERT_EQ(qdict_size(d), model.values().size());
        size_t mismatched = 0;
        for (const auto &[key, value] : model.values()) {
            QInt *v = qobject_to_qint(qdict_get(d, key.c_str()));
            mismatched += !v || qint_get_int(v) != value;
        }
        EXPECT_EQ(mismatched, 0u);
        for (int i = 5; i < n; i += 10) {
            EXPECT_FALSE(qdict_haskey(d, ("member-" + std::to_string(i)).c_str()));
        }
        qobject_decref(QOBJECT(d));
    }

    /* The texts as this reader has always written them. */
    QDict *small = qdict_new();
    OrderModel unused;
    churn(small, unused, 12);
    EXPECT_EQ(written(small), R"({"member-6": 6, "member-7": -7, "member-8": 8, "member-9": 9, "member-0": 1, )"
                              R"("member-10": 11, "member-1": 1, "member-11": 11, "member-2": 2, "member-3": 3, )"
                              R"("member-4": 4})");
    qobject_decref(QOBJECT(small));
    QDict *large = qdict_new();
    churn(large, unused, 20000);
    EXPECT_EQ(sha256(written(large)), "bbfaadd53856989325281c7e8a3df04c3d8915a0ebdfb79637ef3813cd3bb107");
    qobject_decref(QOBJECT(large));
}

/* The main loop and the command executor take and drop the shared null at the same time. */
TEST(QNull, ReferencesFromTwoThreadsLeaveTheSharedNullIntact)
{
    QObject *n = qnull();
    const uint64_t before = n->refcnt;
    std::atomic<int> ready{0};
    auto work = [&ready] {
        ready++;
        while (ready.load() < 2) {
        }
        for (int round = 0; round < 1000000; round++) {
            QObject *held[8];
            for (QObject *&h : held) {
                h = qnull();
            }
            for (QObject *h : held) {
                qobject_decref(h);
            }
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(n->refcnt, before) << "a lost update would destroy the null or leak it";
    EXPECT_EQ(qobject_type(n), QTYPE_QNULL);
    qobject_decref(n);
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
