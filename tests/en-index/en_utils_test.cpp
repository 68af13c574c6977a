/* The address helpers where the conversions do not reach them: odd texts, buffer sizes and
 * the prefix limits. Well-formed addresses and masks are checked through the rule layouts
 * and the classification property test. */
#include <gtest/gtest.h>

#include <string>

#include "enforcement/framework/common/en-utils.h"
#include "tests/common/hv-test-support.h"

namespace {

TEST(EnUtils, FamilyByInspectionAndBufferSizes)
{
    /* A dot wins over a colon, whatever the text really is. */
    EXPECT_EQ(en_str_af("::ffff:1.2.3.4"), EN_AF_INET);
    EXPECT_EQ(en_str_af("localhost"), -1);
    EXPECT_EQ(en_str_af(nullptr), -1);

    uint8_t v6[16] = {};
    EXPECT_TRUE(en_pton("2001:db8::ff", v6, 16));
    EXPECT_FALSE(en_pton("2001:db8::ff", v6, 15));
    EXPECT_FALSE(en_pton("10.1.2.3", v6, 3));
    EXPECT_FALSE(en_pton("10.1.2.300", v6, 4));
    EXPECT_FALSE(_en_pton(99, "10.1.2.3", v6));

    en_ip_addr_t ip;
    ASSERT_TRUE(en_parse_ip("fe80::1:2", &ip));
    char text[10];
    EXPECT_TRUE(en_ip_to_str(&ip, text, sizeof text));
    EXPECT_STREQ(text, "fe80::1:2");
    EXPECT_FALSE(en_ip_to_str(&ip, text, sizeof text - 1));
    EXPECT_FALSE(en_parse_ip("fe80::zz", &ip));
}

TEST(EnUtils, CidrPrefixLimitsAndFailuresNameTheWholeText)
{
    en_ip_addr_t addr, mask;
    ASSERT_TRUE(en_parse_cidr("1.2.3.4/32", &addr, &mask, nullptr));
    EXPECT_EQ(mask.addr.ip4, 0xFFFFFFFFu);
    ASSERT_TRUE(en_parse_cidr("::1/128", &addr, &mask, nullptr));
    EXPECT_EQ(mask.addr.ip6[15], 0xff);
    /* A prefix that is not a number reads as 0. */
    ASSERT_TRUE(en_parse_cidr("1.2.3.4/abc", &addr, &mask, nullptr));
    EXPECT_EQ(mask.addr.ip4, 0u);

    for (const char *bad : {"10.0.0.0", "10.0.0.0/33", "10.0.0.0/-1", "::/129", "host/8", "10.0.0.300/8",
                            "10.0.0.0/99999999999999999999"}) {
        Error *err = nullptr;
        EXPECT_FALSE(en_parse_cidr(bad, &addr, &mask, &err)) << bad;
        EXPECT_EQ(hvtest::TakeMessage(err), std::string("[utils] failed to parse: ") + bad);
    }
}

}  // namespace
