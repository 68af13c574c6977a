/* A started enforcement API against the emulated driver, with policies pushed through the
 * module's real conversion, and connections classified through endr_classify. */
#pragma once

#include <arpa/inet.h>
#include <glib.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "../en-api/en-api-fixture.h"
#include "../en-rules/en-rules-helpers.h"
#include "enforcement/driver-daemon/driver-emu.h"
#include "enforcement/framework/agent/en-config.h"
#include "enforcement/framework/agent/en-lid-map.h"
#include "enforcement/framework/agent/en-rules.h"

/* A connection in test terms: text addresses, "tcp" / "udp" / "icmp". */
struct Tuple {
    bool inbound = false;
    std::string protocol = "tcp";
    std::string local, remote;
    uint16_t local_port = 0, remote_port = 0;
    std::vector<uint16_t> lids;
    uint64_t pid = 0; /* the local process, when no lids are given */
    std::string dns;
    int icmp_type = -1, icmp_code = -1;
};

class ClassifyTest : public EnApiTest {
protected:
    void SetUp() override
    {
        EnApiTest::SetUp();
        saved_limit_ = g_en_config.max_entity_field_num;
        g_en_config.max_entity_field_num = 1000;
        ASSERT_TRUE(en_lid_map_init());
        en_lid_map_reset();
        BeforeStart();
        h_ = Init();
        ASSERT_NE(h_, nullptr);
        ASSERT_TRUE(en_api_start(h_));
    }
    void TearDown() override
    {
        en_lid_map_free();
        g_en_config.max_entity_field_num = saved_limit_;
        EnApiTest::TearDown();
    }

    /* What a derived fixture prepares before the API starts (driver file, environment). */
    virtual void BeforeStart() {}

    /* Converts both tables (JSON chain lists) and swaps them in; false with the reason. */
    bool Push(const std::string &input, const std::string &output, std::string *why = nullptr)
    {
        TablePtr in = ParseTable(input), out = ParseTable(output);
        return PushTyped(in.get(), out.get(), why);
    }
    bool PushTyped(const EnforcementChainList *in, const EnforcementChainList *out, std::string *why = nullptr)
    {
        en_lid_map_reset();
        uint64_t count = 0;
        Error *err = nullptr;
        if (!en_table_convert(h_, false, in, &count, &err) || !en_table_convert(h_, true, out, &count, &err)) {
            std::string m = err ? error_get_message(err) : "conversion failed";
            error_free(err);
            if (why) {
                *why = m;
            }
            return false;
        }
        if (!en_api_policy_set_revision(h_, ++revision_) || !en_api_policy_swap(h_)) {
            if (why) {
                *why = "revision or swap refused";
            }
            return false;
        }
        return true;
    }

public:
    /* With count, every candidate is counted, which takes the search over whole vectors. */
    static endr_verdict Classify(const Tuple &t, bool count = false)
    {
        endr_connection c{};
        c.count_candidates = count;
        c.inbound = t.inbound;
        c.protocol = t.protocol == "tcp" ? 0 : t.protocol == "udp" ? 1 : 2;
        c.ipv6 = t.local.find(':') != std::string::npos;
        int af = c.ipv6 ? AF_INET6 : AF_INET;
        EXPECT_EQ(inet_pton(af, t.local.c_str(), c.local), 1) << t.local;
        EXPECT_EQ(inet_pton(af, t.remote.c_str(), c.remote), 1) << t.remote;
        c.local_port = t.local_port;
        c.remote_port = t.remote_port;
        c.pid = t.pid;
        c.lid_count = static_cast<uint8_t>(t.lids.size());
        for (size_t i = 0; i < t.lids.size() && i < 8; i++) {
            c.lids[i] = t.lids[i];
        }
        c.dns = t.dns.c_str();
        c.has_icmp_type = t.icmp_type >= 0;
        c.icmp_type = static_cast<uint8_t>(t.icmp_type);
        c.has_icmp_code = t.icmp_code >= 0;
        c.icmp_code = static_cast<uint8_t>(t.icmp_code);
        endr_verdict v{};
        EXPECT_EQ(endr_classify(&c, &v), 0u);
        return v;
    }

    /* "BLOCK:id" / "ALLOW:id", or "ALLOW:" when nothing matched. */
    static std::string Decide(const Tuple &t)
    {
        endr_verdict v = Classify(t);
        return std::string(v.verdict == 1 ? "BLOCK:" : "ALLOW:") + v.rule_id;
    }

protected:

    en_handle *h_ = nullptr;
    uint64_t revision_ = 100;
    uint64_t saved_limit_ = 0;
};

inline Tuple Out(const std::string &proto, const std::string &local, uint16_t lport, const std::string &remote,
                 uint16_t rport)
{
    Tuple t;
    t.protocol = proto;
    t.local = local;
    t.local_port = lport;
    t.remote = remote;
    t.remote_port = rport;
    return t;
}

inline Tuple In(const std::string &proto, const std::string &local, uint16_t lport, const std::string &remote,
                uint16_t rport)
{
    Tuple t = Out(proto, local, lport, remote, rport);
    t.inbound = true;
    return t;
}
