/* Lists kept as one array and strings kept in their value's block. */
#include <gtest/gtest.h>

#include <glib.h>

#include <deque>
#include <string>

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
