/* Event serialization, its limits and the batch framing, decoded back with the generated
 * classes. */
#include <google/protobuf/util/message_differencer.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "agent-common/net-event.h"
#include "tests/agent-common/net-event-samples.h"
#include "tests/common/hv-test-support.h"

namespace {

using google::protobuf::util::MessageDifferencer;
using hvtest::TakeMessage;

constexpr uint8_t kCanary = 0xA5;

NetEvent Parse(const uint8_t *bytes, size_t len)
{
    NetEvent back;
    EXPECT_TRUE(back.ParseFromArray(bytes, static_cast<int>(len)));
    return back;
}

bool AllCanary(const std::vector<uint8_t> &buf, size_t from, size_t to)
{
    for (size_t i = from; i < to; i++) {
        if (buf[i] != kCanary) {
            return false;
        }
    }
    return true;
}

TEST(NetEventTest, EveryKindRoundTripsSingleAndInBatch)
{
    std::vector<NetEvent> samples = hvtest::AllSamples();
    std::vector<uint8_t> batch(102400, kCanary);
    size_t used = 0;
    for (NetEvent &e : samples) {
        SCOPED_TRACE(e.ShortDebugString());
        NetEvent copy = e;
        std::vector<uint8_t> single(4096, kCanary);
        size_t len = single.size();
        Error *err = nullptr;
        ASSERT_TRUE(serialize_event(&copy, single.data(), &len, &err)) << TakeMessage(err);
        EXPECT_EQ(len, e.ByteSizeLong());
        EXPECT_TRUE(AllCanary(single, len, single.size())) << "wrote past the event";
        EXPECT_EQ(single[0], 0x08) << "an event starts with the tag of field 1";
        EXPECT_FALSE(net_event_is_batch(single.data(), len));
        EXPECT_TRUE(MessageDifferencer::Equals(Parse(single.data(), len), e));

        ASSERT_TRUE(net_event_batch_append(&copy, batch.data(), batch.size(), &used, 4096, &err)) << TakeMessage(err);
    }
    ASSERT_TRUE(net_event_is_batch(batch.data(), used));
    size_t offset = 0;
    for (const NetEvent &e : samples) {
        const uint8_t *event = nullptr;
        size_t event_len = 0;
        ASSERT_EQ(net_event_batch_next(batch.data(), used, &offset, &event, &event_len), NET_EVENT_RECORD_OK);
        EXPECT_TRUE(MessageDifferencer::Equals(Parse(event, event_len), e)) << e.ShortDebugString();
    }
    const uint8_t *event = nullptr;
    size_t event_len = 0;
    EXPECT_EQ(net_event_batch_next(batch.data(), used, &offset, &event, &event_len), NET_EVENT_RECORD_END);
    EXPECT_TRUE(AllCanary(batch, used, batch.size()));
}

TEST(NetEventTest, BatchOfThreeIsThreeRecordsWithTheirLengths)
{
    std::vector<NetEvent> events = {hvtest::ConnectionV4Sample(), hvtest::ProcessSample(),
                                    hvtest::ConnectionV6Sample()};
    std::vector<uint8_t> batch(8192, kCanary);
    size_t used = 0;
    std::vector<size_t> sizes;
    for (NetEvent &e : events) {
        sizes.push_back(e.ByteSizeLong());
        ASSERT_TRUE(net_event_batch_append(&e, batch.data(), batch.size(), &used, 4096, nullptr));
    }
    size_t at = 0;
    for (size_t i = 0; i < sizes.size(); i++) {
        SCOPED_TRACE(i);
        ASSERT_LE(at + 8, used);
        const uint8_t expect_head[6] = {0xC0, 0xD1, 0x07, 0x9A, 0x01, 0x00};
        EXPECT_EQ(memcmp(&batch[at], expect_head, sizeof(expect_head)), 0);
        size_t length = batch[at + 6] | batch[at + 7] << 8;
        EXPECT_EQ(length, sizes[i]);
        EXPECT_EQ(batch[at + 8], 0x08);
        at += 8 + length;
    }
    EXPECT_EQ(at, used);
}

/* An event exactly as large as the space is refused, one byte more space takes it; a refusal
 * leaves every byte of the buffer as it was. */
TEST(NetEventTest, SizeLimitRefusesWithoutTouchingTheBuffer)
{
    NetEvent e = hvtest::ConnectionV4Sample();
    size_t size = e.ByteSizeLong();
    struct Case {
        size_t space;
        bool ok;
    } cases[] = {{size - 1, false}, {size, false}, {size + 1, true}, {0, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.space);
        std::vector<uint8_t> buf(size + 64, kCanary);
        size_t len = c.space;
        Error *err = nullptr;
        bool ok = serialize_event(&e, buf.data(), &len, &err);
        EXPECT_EQ(ok, c.ok);
        if (c.ok) {
            EXPECT_EQ(len, size);
            EXPECT_TRUE(AllCanary(buf, size, buf.size()));
        } else {
            std::string msg = TakeMessage(err);
            std::string head = "refusing to serialize event, too big (" + std::to_string(size) +
                               " >= " + std::to_string(c.space) + "): ";
            EXPECT_EQ(msg.rfind(head, 0), 0u) << msg;
            EXPECT_NE(msg.find("rule-17"), std::string::npos) << "the text form names the event: " << msg;
            EXPECT_TRUE(AllCanary(buf, 0, buf.size()));
        }
        error_free(ok ? err : nullptr);
    }
}

/* A refused append leaves the records before it and the bytes after it alone, including when
 * the buffer ends before the event space does. */
TEST(NetEventTest, RefusedAppendKeepsTheBatch)
{
    NetEvent small = hvtest::KeepaliveSample(false);
    NetEvent big = hvtest::ConnectionV4Sample();
    size_t big_size = big.ByteSizeLong();
    struct Case {
        const char *name;
        size_t buffer;     /* bytes the batch may use */
        size_t space;      /* event space asked for */
    } cases[] = {
        {"space too small", 4096, big_size},
        {"buffer ends first", 8 + small.ByteSizeLong() + 8 + big_size, 4096},
        {"no room for a header", 8 + small.ByteSizeLong() + 8, 4096},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> mem(c.buffer + 256, kCanary);
        size_t used = 0;
        ASSERT_TRUE(net_event_batch_append(&small, mem.data(), c.buffer, &used, 4096, nullptr));
        std::vector<uint8_t> before(mem.begin(), mem.begin() + used);
        size_t used_before = used;
        Error *err = nullptr;
        EXPECT_FALSE(net_event_batch_append(&big, mem.data(), c.buffer, &used, c.space, &err));
        EXPECT_FALSE(TakeMessage(err).empty());
        EXPECT_EQ(used, used_before);
        EXPECT_TRUE(std::equal(before.begin(), before.end(), mem.begin()));
        EXPECT_TRUE(AllCanary(mem, used, mem.size()));
    }
    /* With one byte more the same event fits the buffer exactly. */
    std::vector<uint8_t> mem(8 + big_size + 1 + 16, kCanary);
    size_t used = 0;
    EXPECT_TRUE(net_event_batch_append(&big, mem.data(), 8 + big_size + 1, &used, 4096, nullptr));
    EXPECT_EQ(used, 8 + big_size);
    EXPECT_TRUE(AllCanary(mem, used, mem.size()));
}

/* The record length is 16 bits: an event that cannot be described by it is refused, never
 * framed with a wrapped length. */
TEST(NetEventTest, BatchRecordLengthLimit)
{
    NetEvent e = hvtest::ProcessSample();
    /* Strings a process event does not cut. */
    e.MutableExtension(NetProcessEvent::header)->set_cgroups(std::string(70000, 'c'));
    std::vector<uint8_t> mem(200000, kCanary);
    size_t used = 0;
    Error *err = nullptr;
    EXPECT_FALSE(net_event_batch_append(&e, mem.data(), mem.size(), &used, mem.size(), &err));
    EXPECT_EQ(TakeMessage(err).rfind("refusing to serialize event, too big (", 0), 0u);
    EXPECT_EQ(used, 0u);
    EXPECT_TRUE(AllCanary(mem, 0, mem.size()));
}

TEST(NetEventTest, ProcessStringsAreCutToTheirLimits)
{
    struct Case {
        const char *field;
        void (NetProcessEvent::*set)(const std::string &);
        const std::string &(NetProcessEvent::*get)() const;
        size_t given, kept;
    } cases[] = {
        {"cmdline", &NetProcessEvent::set_cmdline, &NetProcessEvent::cmdline, 2000, 1024},
        {"cmdline", &NetProcessEvent::set_cmdline, &NetProcessEvent::cmdline, 1024, 1024},
        {"username", &NetProcessEvent::set_username, &NetProcessEvent::username, 64, 64},
        {"username", &NetProcessEvent::set_username, &NetProcessEvent::username, 65, 64},
        {"process_name", &NetProcessEvent::set_process_name, &NetProcessEvent::process_name, 129, 128},
        {"parent_name", &NetProcessEvent::set_parent_name, &NetProcessEvent::parent_name, 500, 128},
        {"image_path", &NetProcessEvent::set_image_path, &NetProcessEvent::image_path, 1025, 1024},
        {"cwd", &NetProcessEvent::set_cwd, &NetProcessEvent::cwd, 4096, 1024},
        {"cgroups", &NetProcessEvent::set_cgroups, &NetProcessEvent::cgroups, 3000, 3000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.field) + " " + std::to_string(c.given));
        NetEvent e = hvtest::ProcessSample();
        std::string text;
        for (size_t i = 0; i < c.given; i++) {
            text.push_back(static_cast<char>('a' + i % 26));
        }
        (e.MutableExtension(NetProcessEvent::header)->*c.set)(text);
        std::vector<uint8_t> buf(8192);
        size_t len = buf.size();
        ASSERT_TRUE(serialize_event(&e, buf.data(), &len, nullptr));
        NetEvent back = Parse(buf.data(), len);
        EXPECT_EQ((back.GetExtension(NetProcessEvent::header).*c.get)(), text.substr(0, c.kept));
    }
    /* A character across the limit goes whole; bytes that are not UTF-8 are cut at the limit. */
    struct Utf8Case {
        std::string given, sent;
    } utf8_cases[] = {
        {std::string(63, 'u') + "\xc3\xa9", std::string(63, 'u')},
        {std::string(62, 'u') + "\xc3\xa9", std::string(62, 'u') + "\xc3\xa9"},
        {std::string(61, 'u') + "\xf0\x9f\x98\x80z", std::string(61, 'u')},
        {std::string(100, '\x80'), std::string(64, '\x80')},
    };
    for (const Utf8Case &c : utf8_cases) {
        NetEvent e = hvtest::ProcessSample();
        e.MutableExtension(NetProcessEvent::header)->set_username(c.given);
        std::vector<uint8_t> buf(8192);
        size_t len = buf.size();
        ASSERT_TRUE(serialize_event(&e, buf.data(), &len, nullptr));
        NetEvent back = Parse(buf.data(), len);
        EXPECT_EQ(back.GetExtension(NetProcessEvent::header).username(), c.sent) << c.given.size();
    }
    /* A connection event carries its strings whole. */
    NetEvent conn = hvtest::ConnectionV4Sample();
    std::string long_name(2000, 'n');
    conn.MutableExtension(NetConnectionEvent::header)->set_process_name(long_name);
    std::vector<uint8_t> buf(8192);
    size_t len = buf.size();
    ASSERT_TRUE(serialize_event(&conn, buf.data(), &len, nullptr));
    EXPECT_EQ(Parse(buf.data(), len).GetExtension(NetConnectionEvent::header).process_name(), long_name);
}

/* Bytes no receiver can parse are not sent: an event without a required field fails. */
TEST(NetEventTest, MissingRequiredFieldFails)
{
    NetEvent e = hvtest::ConnectionV4Sample();
    e.MutableExtension(NetConnectionEvent::header)->clear_dest_port();
    std::vector<uint8_t> buf(4096, kCanary);
    size_t len = buf.size();
    Error *err = nullptr;
    EXPECT_FALSE(serialize_event(&e, buf.data(), &len, &err));
    std::string msg = TakeMessage(err);
    EXPECT_EQ(msg.rfind("error serializing event of " + std::to_string(e.ByteSizeLong()) + " bytes: ", 0), 0u)
        << msg;
    EXPECT_TRUE(AllCanary(buf, 0, buf.size()));
}

TEST(NetEventTest, KeepaliveIsTypeAndTimeOnly)
{
    std::vector<uint8_t> buf(NET_EVENT_KEEPALIVE_SPACE, kCanary);
    size_t len = buf.size();
    Error *err = nullptr;
    int64_t before = g_get_real_time() / G_USEC_PER_SEC;
    ASSERT_TRUE(net_event_create_keepalive(buf.data(), &len, &err)) << TakeMessage(err);
    int64_t after = g_get_real_time() / G_USEC_PER_SEC;
    ASSERT_LE(len, 16u);
    EXPECT_EQ(buf[0], 0x08);
    EXPECT_EQ(buf[1], 7);
    NetEvent back = Parse(buf.data(), len);
    EXPECT_EQ(back.type(), NetEvent::Keepalive);
    EXPECT_GE(back.time_sec(), before);
    EXPECT_LE(back.time_sec(), after);
    EXPECT_EQ(back.time_ns() % 1000, 0u) << "microseconds times 1000";
    EXPECT_LT(back.time_ns(), 1000000000u);
    EXPECT_FALSE(back.HasExtension(NetKeepaliveEvent::header));
    EXPECT_FALSE(back.HasExtension(NetConnectionEvent::header));

    hvtest::ScopedLogRecord log;
    len = 4;
    EXPECT_FALSE(net_event_create_keepalive(buf.data(), &len, &err));
    EXPECT_EQ(TakeMessage(err).rfind("refusing to serialize event, too big (", 0), 0u);
    EXPECT_TRUE(log.LoggedPrefix(G_LOG_LEVEL_CRITICAL, "[event] error serializing event: refusing to serialize event"));
}

TEST(NetEventTest, MalformedRecordsAreNamedAndNotPassed)
{
    NetEvent e = hvtest::KeepaliveSample(false);
    std::vector<uint8_t> good(64);
    size_t used = 0;
    ASSERT_TRUE(net_event_batch_append(&e, good.data(), good.size(), &used, 64, nullptr));
    good.resize(used);
    struct Case {
        const char *name;
        std::vector<uint8_t> bytes;
        NetEventRecordResult expect;
    } cases[] = {
        {"short header", std::vector<uint8_t>(good.begin(), good.begin() + 7), NET_EVENT_RECORD_TRUNCATED},
        {"length past the end", std::vector<uint8_t>(good.begin(), good.end() - 1), NET_EVENT_RECORD_TRUNCATED},
        {"bad magic", good, NET_EVENT_RECORD_BAD_MAGIC},
        {"bad version", good, NET_EVENT_RECORD_BAD_VERSION},
        {"empty", {}, NET_EVENT_RECORD_END},
    };
    cases[2].bytes[3] = 0x9B;
    cases[3].bytes[4] = 2;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        size_t offset = 0;
        const uint8_t *event = nullptr;
        size_t event_len = 0;
        EXPECT_EQ(net_event_batch_next(c.bytes.data(), c.bytes.size(), &offset, &event, &event_len), c.expect);
        EXPECT_EQ(offset, 0u);
        EXPECT_EQ(event, nullptr);
    }
}

} // namespace
