#include <gtest/gtest.h>
#include <glib.h>

#include <string>
#include <vector>

#include "qobject/json-streamer.h"
#include "qobject/qdict.h"
#include "qobject/qfloat.h"
#include "qobject/qint.h"
#include "qobject/qjson.h"
#include "qobject/qlist.h"
#include "qobject/qstring.h"
#include "qobject/quint.h"
#include "util/error.h"

namespace {
struct Parsed {
    QObject *obj = nullptr;
    std::string error;
    ~Parsed() { qobject_decref(obj); }
};

void parse(const std::string &text, Parsed &out)
{
    Error *err = nullptr;
    out.obj = qobject_from_json_len(text.data(), text.size(), &err);
    if (err) {
        out.error = error_get_message(err);
        error_free(err);
        EXPECT_EQ(out.obj, nullptr) << "a value never comes with an error";
    }
}

std::string parse_error(const std::string &text)
{
    Parsed p;
    parse(text, p);
    return p.error;
}

std::string roundtrip(const std::string &text)
{
    Parsed p;
    parse(text, p);
    if (!p.obj) {
        return "error: " + p.error;
    }
    QString *s = qobject_to_json(p.obj);
    std::string out = qstring_get_str(s);
    qobject_decref(QOBJECT(s));
    return out;
}

std::string nested(int depth, const char *open, const char *close)
{
    std::string s;
    for (int i = 0; i < depth; i++) {
        s += open;
    }
    s += "1";
    for (int i = 0; i < depth; i++) {
        s += close;
    }
    return s;
}
} // namespace

TEST(JsonRead, IntegersBySignAndRange)
{
    Parsed max, over, neg, zero, minneg, under;
    parse("18446744073709551615", max);
    parse("18446744073709551616", over);
    parse("-1", neg);
    parse("0", zero);
    parse("-9223372036854775808", minneg);
    parse("-9223372036854775809", under);
    ASSERT_NE(qobject_to_quint(max.obj), nullptr);
    EXPECT_EQ(quint_get_uint(qobject_to_quint(max.obj)), UINT64_MAX);
    ASSERT_NE(qobject_to_qfloat(over.obj), nullptr);
    EXPECT_DOUBLE_EQ(qfloat_get_double(qobject_to_qfloat(over.obj)), 18446744073709551616.0);
    ASSERT_NE(qobject_to_qint(neg.obj), nullptr);
    EXPECT_EQ(qint_get_int(qobject_to_qint(neg.obj)), -1);
    EXPECT_NE(qobject_to_quint(zero.obj), nullptr);
    EXPECT_EQ(qint_get_int(qobject_to_qint(minneg.obj)), INT64_MIN);
    EXPECT_NE(qobject_to_qfloat(under.obj), nullptr);
    EXPECT_EQ(roundtrip("[1.5, -0.25, 2e3, 1E-2, -0]"), "[1.5, -0.25, 2000, 0.01, 0]");
}

TEST(JsonRead, StringsAndEscapes)
{
    EXPECT_EQ(roundtrip(R"("a\"\\\/\b\f\n\r\t\'")"), R"("a\"\\/\b\f\n\r\t'")");
    EXPECT_EQ(roundtrip(R"("\u00e9\u20AC")"), R"("\u00E9\u20AC")");
    EXPECT_EQ(roundtrip(R"("\ud83d\ude00")"), R"("\uD83D\uDE00")") << "pairs make one code point";
    EXPECT_EQ(roundtrip(R"("\ud83d x")"), R"("\uFFFD x")") << "lone surrogates are replaced";
    EXPECT_EQ(roundtrip(R"("\u0000")"), R"("\u0000")");
    EXPECT_EQ(roundtrip("\"caf\xC3\xA9\""), R"("caf\u00E9")");

    Parsed p;
    parse(R"({"k": "a\u0000b"})", p);
    const char *s = qdict_get_str(qobject_to_qdict(p.obj), "k");
    EXPECT_EQ(strlen(s), 4u) << "U+0000 is kept without a NUL byte";
}

TEST(JsonRead, EveryParseErrorMessage)
{
    EXPECT_EQ(parse_error("[1"), "JSON parse error, premature EOI");
    EXPECT_EQ(parse_error("{"), "JSON parse error, premature EOI");
    EXPECT_EQ(parse_error("[1,]"), "JSON parse error, expecting value");
    EXPECT_EQ(parse_error("]"), "JSON parse error, expecting value");
    EXPECT_EQ(parse_error("[1 2]"), "JSON parse error, expected separator in list");
    EXPECT_EQ(parse_error(R"({"a": 1 "b": 2})"), "JSON parse error, expected separator in dict");
    EXPECT_EQ(parse_error("{1: 2}"), "JSON parse error, key is not a string in object");
    EXPECT_EQ(parse_error(R"({"a" 1})"), "JSON parse error, missing : in object pair");
    EXPECT_EQ(parse_error(R"({"a": })"), "JSON parse error, Missing value in dict");
    EXPECT_EQ(parse_error(R"("\x")"), "JSON parse error, invalid escape sequence in string");
    EXPECT_EQ(parse_error(R"("\u12")"), "JSON parse error, invalid hex escape sequence in string");
    EXPECT_EQ(parse_error(R"("\u12G4")"), "JSON parse error, invalid hex escape sequence in string");
    EXPECT_EQ(parse_error("tru"), "JSON parse error, invalid keyword 'tru'");
    EXPECT_EQ(parse_error("%d"), "JSON parse error, expecting value");
}

TEST(JsonRead, GarbageTruncationAndNulAreErrors)
{
    EXPECT_EQ(parse_error("@"), "JSON parse error, invalid token");
    EXPECT_EQ(parse_error("[1, @]"), "JSON parse error, invalid token");
    EXPECT_EQ(parse_error("\"unterminated"), "JSON parse error, invalid token");
    EXPECT_EQ(parse_error("\"ctl\x01\""), "JSON parse error, invalid token");
    EXPECT_EQ(parse_error(std::string("[1,\0 2]", 7)), "JSON parse error, invalid token");
    EXPECT_EQ(parse_error("{\"a\": [1, 2"), "JSON parse error, Missing value in dict")
        << "the outer error replaces the inner premature EOI";
    EXPECT_EQ(parse_error("True"), "JSON parse error, invalid token");
    EXPECT_EQ(parse_error("01"), "results for JSON are set more than once, might be more than one "
                                 "JSON in string or invalid JSON?");
}

TEST(JsonRead, EmptyInputIsNoValueAndNoError)
{
    for (const char *text : {"", "   ", "\r\n\t "}) {
        Parsed p;
        parse(text, p);
        EXPECT_EQ(p.obj, nullptr);
        EXPECT_EQ(p.error, "");
    }
}

namespace {
std::vector<std::string> g_criticals;
void capture_log(const gchar *, GLogLevelFlags level, const gchar *message, gpointer)
{
    if (level & G_LOG_LEVEL_CRITICAL) {
        g_criticals.emplace_back(message);
    }
}
} // namespace

TEST(JsonRead, TwoTopLevelValuesFailAndAreLogged)
{
    g_criticals.clear();
    GLogFunc old = g_log_set_default_handler(capture_log, nullptr);
    std::string err = parse_error("1 2");
    g_log_set_default_handler(old, nullptr);
    EXPECT_EQ(err, "results for JSON are set more than once, might be more than one JSON in "
                   "string or invalid JSON?");
    ASSERT_EQ(g_criticals.size(), 1u);
    EXPECT_EQ(g_criticals[0], "[qjson] JSON result returned after error (results for JSON are set "
                              "more than once, might be more than one JSON in string or invalid "
                              "JSON?) with 3 bytes JSON: 1 2");
}

TEST(JsonRead, NestingLimitIs1024PerBracketKind)
{
    EXPECT_EQ(roundtrip(nested(1024, "[", "]")).substr(0, 3), "[[[");
    EXPECT_NE(parse_error(nested(1025, "[", "]")), "");
    EXPECT_EQ(parse_error(nested(1024, "{\"a\": ", "}")), "");
    EXPECT_NE(parse_error(nested(1025, "{\"a\": ", "}")), "");
    /* Each kind is counted on its own. */
    EXPECT_EQ(parse_error(nested(1024, "[{\"a\": ", "}]")), "");
}

TEST(JsonRead, TokenAndMessageSizeLimits)
{
    std::string big(JSON_MAX_TOKEN_SIZE + 1, 'a');
    EXPECT_NE(parse_error("\"" + big + "\""), "");
    big.clear();
    big.shrink_to_fit();

    /* 65 strings of 1 MiB: the value passes 64 MiB of token text. */
    std::string piece(1024 * 1024, 'b');
    std::string list = "[";
    for (int i = 0; i < 65; i++) {
        list += (i ? ",\"" : "\"") + piece + "\"";
    }
    list += "]";
    EXPECT_EQ(parse_error(list), "JSON parse error, premature EOI");
}

namespace {
struct Collected {
    std::vector<std::string> values; /* "!" marks a lexical error */
    std::vector<int> lines;
};

void collect(void *opaque, const JSONTokenList *tokens)
{
    Collected *c = static_cast<Collected *>(opaque);
    if (!tokens) {
        c->values.push_back("!");
        return;
    }
    std::string text;
    for (size_t i = 0; i < tokens->count; i++) {
        text.append(tokens->tokens[i]->str, tokens->tokens[i]->len);
        c->lines.push_back(tokens->tokens[i]->y);
    }
    c->values.push_back(text);
}

Collected stream(const std::string &input, size_t chunk)
{
    Collected c;
    JSONMessageParser parser;
    json_message_parser_init(&parser, collect, &c);
    for (size_t i = 0; i < input.size(); i += chunk) {
        json_message_parser_feed(&parser, input.data() + i, std::min(chunk, input.size() - i));
    }
    json_message_parser_flush(&parser);
    json_message_parser_destroy(&parser);
    return c;
}
} // namespace

TEST(JsonStream, SplitsValuesWhateverTheChunking)
{
    const std::string input = "{\"a\": [1, \"long string value\"]} 42 \"s\" @ [true]\n{\"b\":\nnull}";
    const std::vector<std::string> expected = {
        "{\"a\":[1,\"long string value\"]}", "42", "\"s\"", "!", "[true]", "{\"b\":null}"};
    for (size_t chunk : {size_t(1), size_t(2), size_t(3), size_t(7), input.size()}) {
        EXPECT_EQ(stream(input, chunk).values, expected) << "chunk " << chunk;
    }
}

TEST(JsonStream, TokensCarryTheirLine)
{
    Collected c = stream("{\n\"a\"\n:\n1}", 1);
    EXPECT_EQ(c.lines, (std::vector<int>{0, 1, 2, 3, 3}));
}

TEST(JsonStream, ResetDropsAPartialValue)
{
    Collected c;
    JSONMessageParser parser;
    json_message_parser_init(&parser, collect, &c);
    json_message_parser_feed(&parser, "{\"a\": \"unfini", 13);
    json_message_parser_reset(&parser);
    json_message_parser_feed(&parser, "[2]", 3);
    json_message_parser_destroy(&parser);
    EXPECT_EQ(c.values, std::vector<std::string>{"[2]"});
}

TEST(JsonLexerDeath, FeedingADestroyedLexerIsFatal)
{
    JSONLexer lexer;
    json_lexer_init(&lexer, nullptr);
    json_lexer_destroy(&lexer);
    EXPECT_EXIT(json_lexer_feed(&lexer, "1", 1), testing::ExitedWithCode(15),
                "can't feed lexer because it wasn't initialized");
    EXPECT_EXIT(json_lexer_flush(&lexer), testing::ExitedWithCode(15),
                "can't flush lexer because it wasn't initialized");
}
