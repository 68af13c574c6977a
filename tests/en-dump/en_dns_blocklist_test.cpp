/* The DNS blocklist buffer byte for byte, and the commands end to end through the emulated driver. */
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../en-api/en-api-fixture.h"
#include "../en-rules/en-rules-helpers.h"
#include "enforcement/framework/agent/en-dns-blocklist.h"

namespace {

struct Free {
    void operator()(strList *l) const { qapi_free_strList(l); }
    void operator()(EnforcementDNSBlocklistDetails *d) const { qapi_free_EnforcementDNSBlocklistDetails(d); }
};
using Names = std::unique_ptr<strList, Free>;
using Details = std::unique_ptr<EnforcementDNSBlocklistDetails, Free>;

Names List(std::initializer_list<const char *> names)
{
    strList *head = nullptr;
    for (auto it = std::rbegin(names); it != std::rend(names); ++it) {
        strList *node = qapi_new_strList(g_strdup(*it));
        node->next = head;
        head = node;
    }
    return Names(head);
}

/* The buffer's bytes, or the error text. */
std::pair<std::vector<uint8_t>, std::string> Build(uint64_t revision, const Names &block, const Names &exclude)
{
    uint8_t *buf = nullptr;
    size_t len = 0;
    Error *err = nullptr;
    std::vector<uint8_t> bytes;
    if (construct_blocklist_buffer(revision, block.get(), exclude.get(), &buf, &len, &err)) {
        bytes = ToVec(buf, len);
        g_free(buf);
    }
    return {bytes, TakeMessage(err)};
}

class EnDnsBlocklistTest : public EnApiTest {
protected:
    void SetUp() override
    {
        EnApiTest::SetUp();
        en_dns_blocklist_reset_for_test();
        std::lock_guard<std::mutex> guard(endr::engine().mu);
        endr::engine().kept.erase("dns-blocklist-policy");
    }
    static std::optional<std::vector<uint8_t>> DriverList()
    {
        std::lock_guard<std::mutex> guard(endr::engine().mu);
        auto &kept = endr::engine().kept;
        auto it = kept.find("dns-blocklist-policy");
        return it == kept.end() ? std::nullopt : std::optional(it->second);
    }
    /* Pending failures of the blocklist request; with arm, the next one fails first. */
    static uint32_t Faults(bool arm = false)
    {
        const std::string key = endr::fault_key(0x122511);
        if (arm) {
            EXPECT_TRUE(endr::state_update([&](endr::State &s) {
                s.faults[key] = {31, 1};
                return true;
            }));
        }
        endr::State s = endr::state_read();
        return s.faults.count(key) ? s.faults[key].remaining : 0;
    }
    static std::pair<uint64_t, uint64_t> Revisions()
    {
        Details d(qmp_get_dns_blocklist_revision(nullptr));
        return {d->new_revision, d->old_revision};
    }
};

TEST_F(EnDnsBlocklistTest, BufferLayoutAndLimits)
{
    EXPECT_EQ(Build(7, nullptr, nullptr).first, Bytes().u64(7).u32(0).u32(0).vec());
    auto single = Build(5, List({"bad.local"}), nullptr).first;
    EXPECT_EQ(single.size(), 27u);
    EXPECT_EQ(single, Bytes().u64(5).u32(1).u8(10).cstr("bad.local").u32(0).vec());

    std::string longest(254, 'a');
    auto ok = Build(1, nullptr, List({longest.c_str()})).first;
    EXPECT_EQ(ok, Bytes().u64(1).u32(0).u32(1).u8(255).cstr(longest).vec());
    std::string too_long(255, 'b');
    EXPECT_EQ(Build(1, List({"x.example"}), List({too_long.c_str()})).second,
              "[dns_blocklist] domain " + too_long + " exceed the entry size");
    EXPECT_TRUE(Logged(kWarning, "[dns_blocklist] domain " + too_long + " exceed the entry size"));

    EXPECT_EQ(Build(1, List({"a.example", nullptr}), nullptr).second, "[dns_blocklist] empty dns name in blocklist");
    EXPECT_EQ(Build(1, nullptr, List({""})).second, "[dns_blocklist] empty dns name in blocklist");
    EXPECT_EQ(Build(0x100000000ULL, nullptr, nullptr).second, "blocklist revision is too large");
}

TEST_F(EnDnsBlocklistTest, ListWriterStopsAtBufferEnd)
{
    Names list = List({"abc"});
    for (auto [size, field] : {std::pair{3, "list_length"}, {4, "dns_name_len + 1"}, {8, "dns_name"}}) {
        /* Exactly this size, so a write past it trips the sanitizer. */
        auto *buf = static_cast<uint8_t *>(g_malloc(size));
        uint8_t *cursor = buf;
        Error *err = nullptr;
        EXPECT_FALSE(construct_dnslist(list.get(), &cursor, buf + size, &err));
        EXPECT_EQ(TakeMessage(err), std::string("[dns_blocklist] failed to write field: '") + field +
                                        "' (buffer is too small)");
        g_free(buf);
    }
}

TEST_F(EnDnsBlocklistTest, RevisionsFollowTheDriver)
{
    ASSERT_TRUE(en_api_start(Init()));
    g_en_handle = handle_;
    Names block = List({"ads.example", "track.example"});
    Names exclude = List({"ok.example"});
    Error *err = nullptr;

    Details first(qmp_set_dns_blocklist_policy(5, block.get(), nullptr, &err));
    ASSERT_NE(first, nullptr) << TakeMessage(err);
    EXPECT_EQ(std::pair(first->new_revision, first->old_revision), std::pair(uint64_t{5}, uint64_t{0}));
    EXPECT_TRUE(Logged(kAny, "[dns_blocklist] got new blocklist - revision [5]"));
    Details second(qmp_set_dns_blocklist_policy(6, block.get(), exclude.get(), &err));
    ASSERT_NE(second, nullptr) << TakeMessage(err);
    EXPECT_EQ(std::pair(second->new_revision, second->old_revision), std::pair(uint64_t{6}, uint64_t{5}));
    const auto held = Bytes().u64(6).u32(2).u8(12).cstr("ads.example").u8(14).cstr("track.example");
    const std::vector<uint8_t> expected = Bytes(held).u32(1).u8(11).cstr("ok.example").vec();
    EXPECT_EQ(DriverList(), expected);
    endr::State s = endr::state_read();
    EXPECT_EQ(s.driver.kept["blocklist-revision"], 6u);
    EXPECT_EQ(s.driver.kept["blocklist-exclude"], 1u);

    /* The driver refuses the third: revisions and the driver's list stay. */
    Faults(true);
    EXPECT_EQ(qmp_set_dns_blocklist_policy(7, nullptr, nullptr, &err), nullptr);
    EXPECT_EQ(TakeMessage(err), "ender failed to apply blocklist [7]");
    err = nullptr;
    EXPECT_EQ(Faults(), 0u);
    EXPECT_EQ(Revisions(), std::pair(uint64_t{6}, uint64_t{5}));
    EXPECT_EQ(DriverList(), expected);

    /* Refused before any request: the armed fault still waits. */
    Faults(true);
    EXPECT_EQ(qmp_set_dns_blocklist_policy(0x100000000ULL, block.get(), nullptr, &err), nullptr);
    EXPECT_EQ(TakeMessage(err), "blocklist revision is too large");
    EXPECT_EQ(Faults(), 1u);
    EXPECT_EQ(Revisions(), std::pair(uint64_t{6}, uint64_t{5}));
}

TEST_F(EnDnsBlocklistTest, NoDriverHandleFailsCleanly)
{
    Error *err = nullptr;
    EXPECT_EQ(qmp_set_dns_blocklist_policy(3, List({"ads.example"}).get(), nullptr, &err), nullptr);
    EXPECT_EQ(TakeMessage(err), "ender failed to apply blocklist [3]");
    EXPECT_EQ(Revisions(), std::pair(uint64_t{0}, uint64_t{0}));
}

} // namespace
