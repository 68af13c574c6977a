#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

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
/* Takes over obj. */
std::string write(QObject *obj, bool pretty = false)
{
    QString *text = pretty ? qobject_to_json_pretty(obj) : qobject_to_json(obj);
    std::string out(qstring_get_str(text), qstring_get_length(text));
    qobject_decref(QOBJECT(text));
    qobject_decref(obj);
    return out;
}

std::string write_str(const std::string &bytes)
{
    return write(QOBJECT(qstring_from_len(bytes.data(), bytes.size())));
}

std::string write_float(double d)
{
    return write(QOBJECT(qfloat_from_double(d)));
}
} // namespace

TEST(JsonWrite, Scalars)
{
    EXPECT_EQ(write(qnull()), "null");
    EXPECT_EQ(write(QOBJECT(qbool_from_bool(false))), "false");
    EXPECT_EQ(write(QOBJECT(qint_from_int(std::numeric_limits<int64_t>::min()))), "-9223372036854775808");
    EXPECT_EQ(write(QOBJECT(quint_from_uint(std::numeric_limits<uint64_t>::max()))), "18446744073709551615");
}

TEST(JsonWrite, FloatsDropTrailingZerosAndPointAndNonFiniteAreNull)
{
    EXPECT_EQ(write_float(0.1), "0.1");
    EXPECT_EQ(write_float(100.0), "100");
    EXPECT_EQ(write_float(1.5), "1.5");
    EXPECT_EQ(write_float(-2.0), "-2");
    EXPECT_EQ(write_float(1e-7), "0") << "six decimals, as %f prints";
    EXPECT_EQ(write_float(1e20), "100000000000000000000");
    EXPECT_EQ(write_float(1e300).size(), 301u);
    /* Non-finite values stay valid JSON. */
    EXPECT_EQ(write_float(std::numeric_limits<double>::infinity()), "null");
    EXPECT_EQ(write_float(-std::numeric_limits<double>::infinity()), "null");
    EXPECT_EQ(write_float(std::nan("")), "null");
}

TEST(JsonWrite, StringEscaping)
{
    /* Named escapes, code points above U+FFFF and U+0000 are read back in JsonRead.StringsAndEscapes. */
    EXPECT_EQ(write_str("\x01\x7F"), "\"\\u0001\\u007F\"");
    EXPECT_EQ(write_str("a\xFF" "b"), "\"a\\uFFFDb\"");
    EXPECT_EQ(write_str("\xC3"), "\"\\uFFFD\"") << "truncated at the end of the string";
    EXPECT_EQ(write_str(std::string("a\0b", 3)), "\"a\\uFFFDb\"");
    EXPECT_EQ(write_str("\xEF\xBF\xBE"), "\"\\uFFFD\"") << "noncharacter";
}

TEST(JsonWrite, CompactAndPrettyContainers)
{
    auto build = [] {
        QDict *d = qdict_new();
        QList *l = qlist_new();
        qlist_append(l, qint_from_int(1));
        qlist_append(l, qdict_new());
        qdict_put(d, "a", l);
        qdict_put(d, "b", qlist_new());
        return QOBJECT(d);
    };
    /* "a" and "b" hash to buckets 1 and 2. */
    EXPECT_EQ(write(build()), "{\"a\": [1, {}], \"b\": []}");
    EXPECT_EQ(write(build(), true),
              "{\n"
              "    \"a\": [\n"
              "        1,\n"
              "        {\n"
              "        }\n"
              "    ],\n"
              "    \"b\": [\n"
              "    ]\n"
              "}");
}

TEST(JsonWrite, SameInsertionsGiveTheSameText)
{
    auto build = [] {
        QDict *d = qdict_new();
        for (const char *k : {"zeta", "alpha", "mid", "x", "policy", "rules"}) {
            qdict_put(d, k, qstring_from_str(k));
        }
        qdict_put(d, "alpha", qint_from_int(1));
        return QOBJECT(d);
    };
    std::string first = write(build());
    EXPECT_EQ(first, write(build()));
    EXPECT_NE(first.find("\"alpha\": 1"), std::string::npos);
}
