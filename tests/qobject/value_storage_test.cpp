/* Lists kept as one array and strings kept in their value's block. */
#include <gtest/gtest.h>

#include <glib.h>

#include <algorithm>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "qobject/qdict.h"
#include "qobject/qint.h"
#include "qobject/qlist.h"
#include "qobject/qstring.h"

namespace {

std::deque<int64_t> contents(const QList *l)
{
    std::deque<int64_t> out;
    for (const QListEntry *e = qlist_first(l); e; e = qlist_next(e)) {
        QInt *i = qobject_to_qint(qlist_entry_obj(e));
        out.push_back(i ? qint_get_int(i) : -1);
    }
    return out;
}

} // namespace

TEST(QListStorage, PopsAndAppendsInAnyOrderKeepTheSequence)
{
    /* Pops leave room at the front that appends later reuse; growth doubles the array. */
    QList *l = qlist_new();
    std::deque<int64_t> model;
    int64_t next = 0;
    for (int step = 0; step < 3000; step++) {
        bool pop = (step % 7) < 3 || (step > 2000 && step % 2);
        if (pop) {
            QObject *v = qlist_pop(l);
            if (model.empty()) {
                EXPECT_EQ(v, nullptr);
            } else {
                ASSERT_NE(v, nullptr);
                EXPECT_EQ(qint_get_int(qobject_to_qint(v)), model.front());
                model.pop_front();
                qobject_decref(v);
            }
        } else {
            qlist_append(l, qint_from_int(next));
            model.push_back(next++);
        }
        ASSERT_EQ(qlist_size(l), model.size()) << "step " << step;
        ASSERT_EQ(qlist_empty(l), model.empty());
        if (step % 97 == 0) {
            ASSERT_EQ(contents(l), model) << "step " << step;
        }
    }
    EXPECT_EQ(contents(l), model);
    QList *copy = qlist_copy(l);
    EXPECT_EQ(contents(copy), model);
    qobject_decref(QOBJECT(copy));
    qobject_decref(QOBJECT(l));
}

TEST(QListStorage, NullValuesDoNotEndTheIteration)
{
    QList *l = qlist_new();
    qlist_append_obj(l, nullptr);
    qlist_append(l, qint_from_int(1));
    qlist_append_obj(l, nullptr);
    EXPECT_EQ(contents(l), (std::deque<int64_t>{-1, 1, -1}));
    EXPECT_EQ(qlist_peek(l), nullptr);
    qobject_decref(QOBJECT(l));
}

TEST(QStringStorage, GrowsOutOfItsBlockAndHandsOverAFreeableBuffer)
{
    QString *s = qstring_from_str("abc");
    for (int i = 0; i < 100; i++) {
        qstring_append(s, "0123456789");
    }
    EXPECT_EQ(qstring_get_length(s), 1003u);
    EXPECT_EQ(std::string(qstring_get_str(s)).substr(0, 15), "abc012345678901");
    EXPECT_EQ(qstring_get_str(s)[1003], '\0');
    qobject_decref(QOBJECT(s));

    /* A string that never grew still gives a buffer the caller may free. */
    char *stolen = qstring_steal(qstring_from_str("kept"));
    EXPECT_STREQ(stolen, "kept");
    g_free(stolen);

    QString *grown = qstring_from_str("");
    qstring_append(grown, "grown text");
    stolen = qstring_steal(grown);
    EXPECT_STREQ(stolen, "grown text");
    g_free(stolen);

    /* With another reference the value stays whole and the caller gets a copy. */
    QString *shared = qstring_from_str("shared");
    qobject_incref(QOBJECT(shared));
    stolen = qstring_steal(shared);
    EXPECT_STREQ(stolen, "shared");
    EXPECT_STREQ(qstring_get_str(shared), "shared");
    g_free(stolen);
    qobject_decref(QOBJECT(shared));
}

namespace {

std::vector<std::string> keys_in_order(const QDict *d)
{
    std::vector<std::string> out;
    for (const QDictEntry *e = qdict_first(d); e; e = qdict_next(d, e)) {
        out.push_back(qdict_entry_key(e));
    }
    return out;
}

/* Bucket by bucket, newest first; a replaced member keeps its place. */
struct DictModel {
    std::vector<std::pair<std::string, int>> members; /* key, insertion number */
    int inserted = 0;
    void put(const std::string &key)
    {
        for (const auto &m : members) {
            if (m.first == key) {
                return;
            }
        }
        members.emplace_back(key, inserted++);
    }
    void del(const std::string &key)
    {
        std::erase_if(members, [&](const auto &m) { return m.first == key; });
    }
    std::vector<std::string> order() const
    {
        auto sorted = members;
        std::sort(sorted.begin(), sorted.end(), [](const auto &a, const auto &b) {
            unsigned ba = g_str_hash(a.first.c_str()) % QDICT_BUCKET_MAX;
            unsigned bb = g_str_hash(b.first.c_str()) % QDICT_BUCKET_MAX;
            return ba != bb ? ba < bb : a.second > b.second;
        });
        std::vector<std::string> out;
        for (const auto &m : sorted) {
            out.push_back(m.first);
        }
        return out;
    }
};

} // namespace

TEST(QDictStorage, DeletingTheFirstOrLastMemberKeepsTheOrderOfLaterInsertions)
{
    /* Sizes on both sides of where the dictionary starts keeping bucket starts and an index. */
    for (int size : {3, 8, 9, 40, 64, 65, 200}) {
        SCOPED_TRACE(size);
        QDict *d = qdict_new();
        DictModel model;
        std::mt19937 rng(static_cast<unsigned>(size));
        for (int step = 0; step < 6 * size; step++) {
            std::vector<std::string> order = keys_in_order(d);
            unsigned op = rng() % 4;
            if (op == 0 && !order.empty()) {
                /* The member at either end of the order. */
                const std::string key = rng() % 2 ? order.back() : order.front();
                qdict_del(d, key.c_str());
                model.del(key);
            } else if (op == 1 && !order.empty()) {
                const std::string key = order[rng() % order.size()];
                qdict_del(d, key.c_str());
                model.del(key);
            } else if (static_cast<int>(order.size()) < size || op == 3) {
                const std::string key = "k" + std::to_string(rng() % (2 * size));
                qdict_put(d, key.c_str(), qint_from_int(step));
                model.put(key);
            }
            ASSERT_EQ(keys_in_order(d), model.order()) << "step " << step;
            ASSERT_EQ(qdict_size(d), model.members.size());
        }
        for (const auto &m : model.members) {
            EXPECT_TRUE(qdict_haskey(d, m.first.c_str())) << m.first;
        }
        qobject_decref(QOBJECT(d));
    }
}
