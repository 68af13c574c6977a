#include <gtest/gtest.h>

#include <string>

#include "util/unicode.h"

namespace {
struct Decoded {
    int cp;
    size_t consumed;
};

Decoded decode(const std::string &bytes)
{
    const char *end = nullptr;
    int cp = mod_utf8_codepoint(bytes.data(), bytes.size(), &end);
    return {cp, static_cast<size_t>(end - bytes.data())};
}
} // namespace

TEST(Utf8, ValidSequencesOfEveryLength)
{
    EXPECT_EQ(decode("A").cp, 'A');
    EXPECT_EQ(decode("\xC3\xA9").cp, 0xE9);
    EXPECT_EQ(decode("\xC3\xA9").consumed, 2u);
    EXPECT_EQ(decode("\xE2\x82\xAC").cp, 0x20AC);
    EXPECT_EQ(decode("\xF0\x9F\x98\x80").cp, 0x1F600);
    EXPECT_EQ(decode("\xF0\x9F\x98\x80").consumed, 4u);
    EXPECT_EQ(decode("\xF4\x8F\xBF\xBD").cp, 0x10FFFD);
    EXPECT_EQ(decode("\xC0\x80").cp, 0) << "C0 80 is the one accepted overlong form";
}

TEST(Utf8, EveryInvalidFormIsRejected)
{
    const char *invalid[] = {
        "\x80",             /* lone continuation */
        "\xFE", "\xFF",     /* never lead bytes */
        "\xC3",             /* truncated */
        "\xC3(",            /* malformed continuation */
        "\xE2\x82",         /* truncated three-byte */
        "\xF4\x90\x80\x80", /* above U+10FFFF */
        "\xED\xA0\x80",     /* surrogate D800 */
        "\xED\xBF\xBF",     /* surrogate DFFF */
        "\xEF\xB7\x90",     /* noncharacter FDD0 */
        "\xEF\xBF\xBE",     /* FFFE */
        "\xF0\x9F\xBF\xBF", /* 1FFFF */
        "\xC1\xBF",         /* overlong 7F */
        "\xE0\x80\xAF",     /* overlong slash */
        "\xF8\x88\x80\x80\x80", /* five-byte form */
    };
    for (const char *s : invalid) {
        EXPECT_EQ(decode(s).cp, -1) << testing::PrintToString(std::string(s));
    }
    std::string nul(1, '\0');
    EXPECT_EQ(decode(nul).cp, -1);
    EXPECT_EQ(decode(nul).consumed, 0u);
}

TEST(Utf8, NeverReadsPastTheGivenLength)
{
    /* A valid sequence cut by the limit is truncated, not read beyond. */
    const char bytes[] = "\xE2\x82\xAC";
    const char *end = nullptr;
    EXPECT_EQ(mod_utf8_codepoint(bytes, 2, &end), -1);
    EXPECT_EQ(end, bytes + 2);
    /* After a bad continuation the next sequence starts at the offending byte. */
    EXPECT_EQ(decode("\xC3" "A").consumed, 1u);
}
