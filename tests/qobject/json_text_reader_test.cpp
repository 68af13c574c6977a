/*
 * The reader that works on the text directly must give what the token path gives: the
 * same value when it takes a document, and nothing when the token path would fail or
 * split. The text-mode splitter must hand over the same values and errors as the token
 * mode, whatever the chunking.
 */
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "qobject/json-parser.h"
#include "qobject/json-streamer.h"
#include "qobject/qjson.h"
#include "qobject/qlist.h"
#include "qobject/qstring.h"
#include "util/error.h"

namespace {

struct Outcome {
    QObject *value = nullptr;
    std::string error;
    bool lexical = false;
};

void free_outcomes(std::vector<Outcome> &outcomes)
{
    for (Outcome &o : outcomes) {
        qobject_decref(o.value);
    }
    outcomes.clear();
}

void take_tokens(void *opaque, const JSONTokenList *tokens)
{
    auto *out = static_cast<std::vector<Outcome> *>(opaque);
    Outcome o;
    o.lexical = tokens == nullptr;
    Error *err = nullptr;
    o.value = json_parser_parse(tokens, &err);
    if (err) {
        o.error = error_get_message(err);
        error_free(err);
    }
    out->push_back(o);
}

void take_text(void *opaque, const char *text, size_t len)
{
    auto *out = static_cast<std::vector<Outcome> *>(opaque);
    Outcome o;
    o.lexical = text == nullptr;
    Error *err = nullptr;
    o.value = json_parser_parse_text(text, len, &err);
    if (err) {
        o.error = error_get_message(err);
        error_free(err);
    }
    out->push_back(o);
}

std::vector<Outcome> stream(const std::string &input, size_t chunk, bool text_mode)
{
    std::vector<Outcome> out;
    JSONMessageParser parser;
    if (text_mode) {
        json_message_parser_init_text(&parser, take_text, &out);
    } else {
        json_message_parser_init(&parser, take_tokens, &out);
    }
    for (size_t i = 0; i < input.size(); i += chunk) {
        json_message_parser_feed(&parser, input.data() + i, std::min(chunk, input.size() - i));
    }
    json_message_parser_flush(&parser);
    json_message_parser_destroy(&parser);
    return out;
}

std::string written(const QObject *obj)
{
    if (!obj) {
        return "(none)";
    }
    QString *s = qobject_to_json(obj);
    std::string text(qstring_get_str(s), qstring_get_length(s));
    qobject_decref(QOBJECT(s));
    return text;
}

/* Same values, written the same (member order included), same errors, message by message. */
void expect_same_stream(const std::string &input, size_t chunk)
{
    std::vector<Outcome> tokens = stream(input, chunk, false);
    std::vector<Outcome> text = stream(input, chunk, true);
    ASSERT_EQ(tokens.size(), text.size()) << input;
    for (size_t i = 0; i < tokens.size(); i++) {
        EXPECT_EQ(tokens[i].lexical, text[i].lexical) << input << " message " << i;
        EXPECT_EQ(tokens[i].error, text[i].error) << input << " message " << i;
        EXPECT_TRUE(qobject_is_equal(tokens[i].value, text[i].value)) << input << " message " << i;
        EXPECT_EQ(written(tokens[i].value), written(text[i].value)) << input << " message " << i;
    }
    free_outcomes(tokens);
    free_outcomes(text);
}

/*
 * What the text reader takes must be what the splitter and the token parser make of the
 * whole text: one value and no error. Returns whether it took the text.
 */
bool expect_direct_agrees(const std::string &input)
{
    QObject *direct = json_parser_try_whole(input.data(), input.size());
    if (!direct) {
        return false;
    }
    std::vector<Outcome> tokens = stream(input, input.size() ? input.size() : 1, false);
    EXPECT_EQ(tokens.size(), 1u) << input;
    if (tokens.size() == 1) {
        EXPECT_EQ(tokens[0].error, "") << input;
        EXPECT_TRUE(qobject_is_equal(tokens[0].value, direct)) << input;
        EXPECT_EQ(written(tokens[0].value), written(direct)) << input;
    }
    free_outcomes(tokens);
    qobject_decref(direct);
    return true;
}

std::string nested(int depth, const std::string &open, const std::string &close)
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

const char *const kDocuments[] = {
    "{\"execute\": \"set\", \"arguments\": {\"rules\": [{\"id\": \"a-1\", \"ports\": [80, 443], "
    "\"on\": true, \"off\": false, \"none\": null, \"ratio\": -1.5e3, \"neg\": -42}], \"n\": 0}}",
    "[\"C:\\\\Program Files\\\\x\", \"\\u00e9\\u20ac\\ud83d\\ude00\", \"\\u0000\", \"\\/\\b\\f\\n\\r\\t\\'\"]",
    "{\"dup\": 1, \"dup\": [2], \"\\u0064up\": \"three\", \"\": {}}",
    "[18446744073709551615, 18446744073709551616, -9223372036854775808, -9223372036854775809, "
    "1e400, -1e-400, 0.5, -0, 0e0, 1E+2]",
    "[\"\\ud800\", \"\\udc00x\", \"\\ud800\\u0041\", \"\xc3\xa9\xff\"]",
    "  \"top\"  ",
    "\n\t42\r\n",
    "true",
    "[]",
    "{}",
    "[[], {}, [[]], {\"a\": {}}]",
};

/* Inputs the token path rejects or splits; the text reader must leave them all to it. */
const char *const kRejected[] = {
    "", "   ", "[1,]", "{\"a\":1,}", "{\"a\" 1}", "{1: 2}", "{\"a\":}", "[1 2]", "01", "[01]", "-", "[-]",
    "1.", "[1.]", ".5", "1e", "[1e+]", "tru", "nul", "truex", "[true1]", "[1true]", "\"a\\x\"",
    "\"\\u12\"", "\"\\u12G4\"", "\"a\nb\"", "\"unterminated", "\"a\\", "[\"a\" \"b\"]", "1 2",
    "{} {}", "[1]x", "[1]]", "]", "}", "[}", "{]", "%d", "[%s]", "{\"a\": 1", "[\"\t\"]",
    "[1, 2", "[1, 2,", "{\"a\":[1,{\"b\":2}]", "\"\\\"", "[\xc3\xa9]", "\"\x01\"", "nan", "[Infinity]",
    "{'a': 1}", "[1:2]", "{\"a\":1:2}",
};

} // namespace

TEST(JsonTextReader, TakesWellFormedDocumentsAndAgreesWithTheTokenPath)
{
    for (const char *doc : kDocuments) {
        EXPECT_TRUE(expect_direct_agrees(doc)) << "not taken: " << doc;
    }
    /* Each bracket kind is limited on its own, to 1024 open at once. */
    EXPECT_TRUE(expect_direct_agrees(nested(1024, "[", "]")));
    EXPECT_TRUE(expect_direct_agrees(nested(1024, "{\"k\": ", "}")));
    EXPECT_TRUE(expect_direct_agrees(nested(1024, "[{\"k\": ", "}]")));
}

TEST(JsonTextReader, LeavesEverythingElseToTheTokenPath)
{
    for (const char *doc : kRejected) {
        EXPECT_FALSE(expect_direct_agrees(doc)) << "taken: " << doc;
        for (size_t chunk : {size_t(1), size_t(3), size_t(64)}) {
            expect_same_stream(doc, chunk);
        }
    }
    EXPECT_FALSE(expect_direct_agrees(nested(1025, "[", "]")));
    EXPECT_FALSE(expect_direct_agrees(nested(1025, "{\"k\": ", "}")));
    /* The value with 64 MiB of token text or more is cut by the splitter. */
    std::string big = "[\"" + std::string(JSON_MAX_MESSAGE_SIZE, 'x') + "\"]";
    EXPECT_FALSE(expect_direct_agrees(big));
}

TEST(JsonTextReader, ErrorsAreWordedAsByTheTokenPath)
{
    struct Case {
        const char *input;
        const char *error;
    } const cases[] = {
        {"[1,]", "JSON parse error, expecting value"},
        {"{\"a\" 1}", "JSON parse error, missing : in object pair"},
        {"{\"a\":1 \"b\":2}", "JSON parse error, expected separator in dict"},
        {"\"\\u12\"", "JSON parse error, invalid hex escape sequence in string"},
        {"\"\\q\"", "JSON parse error, invalid escape sequence in string"},
        {"{\"a\": 1", "JSON parse error, premature EOI"},
        {"[tru]", "JSON parse error, expecting value"},
    };
    for (const Case &c : cases) {
        Error *err = nullptr;
        QObject *obj = qobject_from_json_len(c.input, strlen(c.input), &err);
        EXPECT_EQ(obj, nullptr) << c.input;
        ASSERT_NE(err, nullptr) << c.input;
        EXPECT_STREQ(error_get_message(err), c.error) << c.input;
        error_free(err);
        /* The same message through the text-mode splitter. */
        std::vector<Outcome> text = stream(c.input, 2, true);
        ASSERT_EQ(text.size(), 1u) << c.input;
        EXPECT_EQ(text[0].error, c.error) << c.input;
        free_outcomes(text);
    }
}

TEST(JsonTextReader, TextModeSplitsAndParsesAsTheTokenMode)
{
    const std::string input =
        "{\"a\": [1, \"long string value\"]} 42 \"s\" @ [true]\n{\"b\":\nnull}[1 2]{\"c\":-0.25e1}"
        "\"\\u00e9\" {\"x\": [1,]} tru 7" +
        nested(1025, "[", "]") + "{\"z\": {\"y\": \"\\ud83d\\ude00\"}}";
    for (size_t chunk : {size_t(1), size_t(2), size_t(5), size_t(13), input.size()}) {
        expect_same_stream(input, chunk);
    }
}

TEST(JsonTextReader, MutatedDocumentsAgreeWithTheTokenPath)
{
    /* Bytes that change a document's structure or its tokens' kinds. */
    const std::string interesting = "\"\\{}[],: 0-.eE+uatn%\x01\xff\n/";
    std::mt19937 rng(4242);
    int taken = 0;
    int cases = 0;
    for (int round = 0; round < 400; round++) {
        for (const char *seed : kDocuments) {
            std::string doc = seed;
            int edits = 1 + static_cast<int>(rng() % 3);
            for (int e = 0; e < edits && !doc.empty(); e++) {
                size_t at = rng() % doc.size();
                char c = interesting[rng() % interesting.size()];
                switch (rng() % 3) {
                case 0:
                    doc[at] = c;
                    break;
                case 1:
                    doc.insert(doc.begin() + static_cast<std::ptrdiff_t>(at), c);
                    break;
                default:
                    doc.erase(at, 1);
                    break;
                }
            }
            cases++;
            taken += expect_direct_agrees(doc) ? 1 : 0;
            expect_same_stream(doc, 1 + rng() % 7);
            if (testing::Test::HasFailure()) {
                FAIL() << "stopped at: " << doc;
            }
        }
    }
    /* Both outcomes occur, or the comparison says little. */
    EXPECT_GT(taken, cases / 20);
    EXPECT_LT(taken, cases);
}

TEST(JsonTextReader, LargeValueTextIsNotKeptBetweenMessages)
{
    /* A large value followed by small ones: each still parses on its own. */
    std::string big = "[";
    for (int i = 0; i < 20000; i++) {
        big += (i ? ",\"" : "\"") + std::to_string(i) + "\"";
    }
    big += "]";
    std::vector<Outcome> out = stream(big + " [1] {\"a\": 2}", 4096, true);
    ASSERT_EQ(out.size(), 3u);
    ASSERT_NE(qobject_to_qlist(out[0].value), nullptr) << out[0].error;
    EXPECT_EQ(qlist_size(qobject_to_qlist(out[0].value)), 20000u);
    EXPECT_EQ(written(out[1].value), "[1]");
    EXPECT_EQ(written(out[2].value), "{\"a\": 2}");
    free_outcomes(out);
}
