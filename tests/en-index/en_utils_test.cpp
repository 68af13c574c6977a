#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "enforcement/framework/common/en-utils.h"
#include "util/error.h"

namespace {

TEST(EnUtils, FamilyIsFoundByInspection)
{
    EXPECT_EQ(en_str_af("10.0.0.1"), 2);
    EXPECT_EQ(en_str_af("fe80::1"), 23);
    /* A dot wins over a colon, whatever the text really is. */
    EXPECT_EQ(en_str_af("::ffff:1.2.3.4"), 2);
    EXPECT_EQ(en_str_af("localhost"), -1);
    EXPECT_EQ(en_str_af(nullptr), -1);
}

TEST(EnUtils, PtonGivesHostOrderIpv4AndNetworkOrderIpv6)
{
    uint32_t v4 = 0;
    ASSERT_TRUE(en_pton("10.1.2.3", &v4, sizeof v4));
    EXPECT_EQ(v4, 0x0A010203u);
    uint8_t v6[16] = {};
    ASSERT_TRUE(en_pton("2001:db8::ff", v6, sizeof v6));
    const uint8_t want[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff};
    EXPECT_EQ(memcmp(v6, want, 16), 0);

    EXPECT_FALSE(en_pton("10.1.2.3", &v4, 3));
    EXPECT_FALSE(en_pton("2001:db8::ff", v6, 15));
    EXPECT_FALSE(en_pton("nothing", v6, 16));
    EXPECT_FALSE(en_pton("10.1.2.300", &v4, 4));
    EXPECT_FALSE(_en_pton(99, "10.1.2.3", &v4));
}

TEST(EnUtils, ParseIpTagsTheFamilyAndConvertsBack)
{
    en_ip_addr_t ip;
    memset(&ip, 0xAB, sizeof ip);
    ASSERT_TRUE(en_parse_ip("192.168.0.1", &ip));
    EXPECT_EQ(ip.is_ipv4, 1);
    EXPECT_EQ(ip.addr.ip4, 0xC0A80001u);
    for (int i = 4; i < 16; i++) {
        EXPECT_EQ(ip.addr.ip6[i], 0) << i;
    }
    char text[64];
    ASSERT_TRUE(en_ip_to_str(&ip, text, sizeof text));
    EXPECT_STREQ(text, "192.168.0.1");

    ASSERT_TRUE(en_parse_ip("fe80::1:2", &ip));
    EXPECT_EQ(ip.is_ipv4, 0);
    ASSERT_TRUE(en_ip_to_str(&ip, text, sizeof text));
    EXPECT_STREQ(text, "fe80::1:2");
    EXPECT_FALSE(en_ip_to_str(&ip, text, 4));
    EXPECT_FALSE(en_parse_ip("fe80::zz", &ip));
}

struct Cidr {
    en_ip_addr_t addr;
    en_ip_addr_t mask;
    std::string error;
    bool ok;
};

Cidr ParseCidr(const char *text)
{
    Cidr c{};
    Error *err = nullptr;
    c.ok = en_parse_cidr(text, &c.addr, &c.mask, &err);
    if (err) {
        c.error = error_get_message(err);
        error_free(err);
    }
    EXPECT_EQ(c.ok, c.error.empty()) << text;
    return c;
}

TEST(EnUtils, Ipv4CidrMasksTheTopBitsAndKeepsTheAddress)
{
    Cidr c = ParseCidr("10.1.2.3/8");
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(c.addr.is_ipv4, 1);
    EXPECT_EQ(c.mask.is_ipv4, 1);
    EXPECT_EQ(c.addr.addr.ip4, 0x0A010203u);
    EXPECT_EQ(c.mask.addr.ip4, 0xFF000000u);
    EXPECT_EQ(ParseCidr("1.2.3.4/0").mask.addr.ip4, 0u);
    EXPECT_EQ(ParseCidr("1.2.3.4/32").mask.addr.ip4, 0xFFFFFFFFu);
    EXPECT_EQ(ParseCidr("1.2.3.4/17").mask.addr.ip4, 0xFFFF8000u);
    /* A prefix that is not a number reads as 0. */
    Cidr odd = ParseCidr("1.2.3.4/abc");
    ASSERT_TRUE(odd.ok);
    EXPECT_EQ(odd.mask.addr.ip4, 0u);
}

TEST(EnUtils, Ipv6CidrMasksWholeAndPartialBytes)
{
    Cidr c = ParseCidr("2001:db8::/32");
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(c.mask.is_ipv4, 0);
    const uint8_t m32[16] = {0xff, 0xff, 0xff, 0xff};
    EXPECT_EQ(memcmp(c.mask.addr.ip6, m32, 16), 0);
    Cidr p = ParseCidr("2001:db8::/12");
    const uint8_t m12[16] = {0xff, 0xf0};
    EXPECT_EQ(memcmp(p.mask.addr.ip6, m12, 16), 0);
    Cidr all = ParseCidr("::1/128");
    for (uint8_t b : all.mask.addr.ip6) {
        EXPECT_EQ(b, 0xff);
    }
}

TEST(EnUtils, CidrFailuresNameTheWholeText)
{
    for (const char *bad : {"10.0.0.0", "10.0.0.0/33", "10.0.0.0/-1", "::/129", "host/8", "10.0.0.300/8",
                            "10.0.0.0/99999999999999999999"}) {
        Cidr c = ParseCidr(bad);
        EXPECT_FALSE(c.ok) << bad;
        EXPECT_EQ(c.error, std::string("[utils] failed to parse: ") + bad);
    }
}

}  // namespace
