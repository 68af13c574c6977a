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
#include "tests/common/hv-test-support.h"
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
    const std::pair<std::string, const char *> cases[] = {
        {"[1", "JSON parse error, premature EOI"},
        {"{", "JSON parse error, premature EOI"},
        {"[1,]", "JSON parse error, expecting value"},
        {"]", "JSON parse error, expecting value"},
        {"%d", "JSON parse error, expecting value"},
        {"[1 2]", "JSON parse error, expected separator in list"},
        {R"({"a": 1 "b": 2})", "JSON parse error, expected separator in dict"},
        {"{1: 2}", "JSON parse error, key is not a string in object"},
        {R"({"a" 1})", "JSON parse error, missing : in object pair"},
        {R"({"a": })", "JSON parse error, Missing value in dict"},
        /* The outer error replaces the inner premature EOI. */
        {"{\"a\": [1, 2", "JSON parse error, Missing value in dict"},
        {R"("\x")", "JSON parse error, invalid escape sequence in string"},
        {R"("\u12")", "JSON parse error, invalid hex escape sequence in string"},
        {R"("\u12G4")", "JSON parse error, invalid hex escape sequence in string"},
        {"tru", "JSON parse error, invalid keyword 'tru'"},
        /* Garbage, truncation and NUL. */
        {"@", "JSON parse error, invalid token"},
        {"[1, @]", "JSON parse error, invalid token"},
        {"\"unterminated", "JSON parse error, invalid token"},
        {"\"ctl\x01\"", "JSON parse error, invalid token"},
        {std::string("[1,\0 2]", 7), "JSON parse error, invalid token"},
        {"True", "JSON parse error, invalid token"},
        {"01", "results for JSON are set more than once, might be more than one JSON in string or invalid JSON?"},
    };
    for (const auto &[text, message] : cases) {
        EXPECT_EQ(parse_error(text), message) << testing::PrintToString(text);
    }
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

TEST(JsonRead, TwoTopLevelValuesFailAndAreLogged)
{
    hvtest::ScopedLogRecord log;
    std::string err = parse_error("1 2");
    EXPECT_EQ(err, "results for JSON are set more than once, might be more than one JSON in "
                   "string or invalid JSON?");
    EXPECT_EQ(log.Texts(G_LOG_LEVEL_CRITICAL),
              std::vector<std::string>{"[qjson] JSON result returned after error (results for JSON are set "
                                       "more than once, might be more than one JSON in string or invalid "
                                       "JSON?) with 3 bytes JSON: 1 2"});
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

TEST(JsonRead, TokenAndMessageSizeLimits)
{
    /* A string token is measured with its quotes: exactly the limit passes, one byte more does not,
     * whether the text comes whole or in chunks (as the command servers feed it). */
    std::string big = "\"" + std::string(JSON_MAX_TOKEN_SIZE - 2, 'a') + "\"";
    {
        Parsed p;
        parse(big, p);
        ASSERT_NE(qobject_to_qstring(p.obj), nullptr) << p.error;
        EXPECT_EQ(qstring_get_length(qobject_to_qstring(p.obj)), JSON_MAX_TOKEN_SIZE - 2);
    }
    std::string().swap(big);
    for (size_t size : {JSON_MAX_TOKEN_SIZE, JSON_MAX_TOKEN_SIZE + 1}) {
        Collected c = stream("\"" + std::string(size - 2, 'a') + "\"", 1 << 20);
        ASSERT_EQ(c.values.size(), 1u) << size;
        EXPECT_EQ(c.values[0] == "!", size > JSON_MAX_TOKEN_SIZE) << size;
    }

    /* 65 strings of 1 MiB: the value passes 64 MiB of token text. */
    std::string piece(1024 * 1024, 'b');
    std::string list = "[";
    for (int i = 0; i < 65; i++) {
        list += (i ? ",\"" : "\"") + piece + "\"";
    }
    list += "]";
    EXPECT_EQ(parse_error(list), "JSON parse error, premature EOI");
}

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
