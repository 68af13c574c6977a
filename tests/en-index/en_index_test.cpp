/* The index as the emulated driver reads it back, plus one layout written out byte for byte.
 * Whether the regions lead to the right verdicts on random policies is en-classify's
 * property test. */
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <numeric>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "../en-rules/en-rules-helpers.h"
#include "enforcement/driver-daemon/endr-policy.h"
#include "enforcement/framework/agent/en-index.h"

namespace {

/* A TCP rule "r" with the given destination and source entities. */
std::string Rule(const std::string &dst, const std::string &src = "{}")
{
    return R"({"match_src": )" + src + R"(, "match_dst": )" + dst +
           R"(, "protocols": ["tcp"], "verdict": "ALLOW", "id": "r"})";
}

std::string Chains(const std::vector<std::vector<std::string>> &chains)
{
    std::string s = "[";
    for (size_t c = 0; c < chains.size(); c++) {
        s += std::string(c ? ", " : "") + R"({"chain_name": "c)" + std::to_string(c) + R"(", "rules": [)";
        for (size_t r = 0; r < chains[c].size(); r++) {
            s += (r ? ", " : "") + chains[c][r];
        }
        s += "]}";
    }
    return s + "]";
}

/* Each region's start, and whether rule 0 is in its vector. */
using Runs = std::vector<std::pair<uint32_t, bool>>;

class EnIndexTest : public hvtest::LoggingTest {
protected:
    /* Builds and decodes the index; the bytes land in bytes_, a failure's text in error_. */
    bool Build(const std::vector<std::vector<std::string>> &chains, uint64_t max_entity = 40000)
    {
        TablePtr table = ParseTable(Chains(chains));
        uint8_t *buf = nullptr;
        size_t len = 0;
        Error *err = nullptr;
        const bool ok = en_convert_single_index(table.get(), max_entity, nullptr, &buf, &len, &err);
        EXPECT_EQ(ok, buf != nullptr);
        error_ = hvtest::TakeMessage(err);
        bytes_.assign(buf, buf + (buf ? len : 0));
        g_free(buf);
        if (ok) {
            EXPECT_TRUE(Decode());
        }
        return ok;
    }

    /* The driver's reading, plus the compaction promises the driver does not check. */
    ::testing::AssertionResult Decode()
    {
        if (endr::decode_index(bytes_, &ix_) != 0) {
            return ::testing::AssertionFailure() << "the driver refuses the index";
        }
        const size_t n = ix_.bag.size() / ix_.words;
        std::set<std::vector<uint64_t>> distinct;
        for (size_t b = 0; b < n; b++) {
            const uint64_t *v = ix_.vector(static_cast<uint32_t>(b));
            distinct.emplace(v, v + ix_.words);
            for (uint32_t bit = ix_.rules; bit < ix_.words * 64u; bit++) {
                if (v[bit / 64] >> (bit % 64) & 1) {
                    return ::testing::AssertionFailure() << "bit " << bit << " beyond the rules";
                }
            }
        }
        if (distinct.size() != n) {
            return ::testing::AssertionFailure() << "the bag holds a vector twice";
        }
        for (const endr::Regions *r : {&ix_.port, &ix_.src, &ix_.dst}) {
            for (size_t i = 1; i < r->bags.size(); i++) {
                if (r->bags[i] == r->bags[i - 1]) {
                    return ::testing::AssertionFailure() << "neighbouring regions share vector " << r->bags[i];
                }
            }
        }
        return ::testing::AssertionSuccess();
    }

    Runs RunsOf(const endr::Regions &r) const
    {
        Runs out;
        for (size_t i = 0; i < r.starts.size(); i++) {
            out.emplace_back(r.starts[i], ix_.vector(r.bags[i])[0] & 1);
        }
        return out;
    }

    /* The candidate rules of a TCP connection to port, from and to 0.0.0.1. */
    std::set<uint32_t> Candidates(uint16_t port) const
    {
        const std::vector<const uint64_t *> vs = {ix_.vector(ix_.tcp), ix_.vector(ix_.port.lookup(port)),
                                                  ix_.vector(ix_.src.lookup(1)), ix_.vector(ix_.dst.lookup(1))};
        std::set<uint32_t> out;
        for (uint32_t r = 0; r < ix_.rules; r++) {
            if (std::all_of(vs.begin(), vs.end(), [r](const uint64_t *v) { return v[r / 64] >> (r % 64) & 1; })) {
                out.insert(r);
            }
        }
        return out;
    }

    std::vector<uint8_t> bytes_;
    endr::DecodedIndex ix_;
    std::string error_;
};

/* ------------------------------------------------------------ layout */

TEST_F(EnIndexTest, OneTcpRuleIsLaidOutExactly)
{
    ASSERT_TRUE(Build({{Rule("{}")}}));
    Bytes want;
    want.u32(2).u16(1).u16(1).u64(1).u64(0); /* bag: the rule, then all-zero */
    want.u32(0).u32(1).u32(1);                /* TCP, UDP, ICMP */
    want.u32(1).u16(0).u32(0);                /* ports */
    want.u32(1).u32(0).u32(0);                /* sources */
    want.u32(1).u32(0).u32(0);                /* destinations */
    EXPECT_EQ(bytes_, want.vec());
}

TEST_F(EnIndexTest, RegionsOpenAndCloseOnEveryBoundary)
{
    const Runs all = {{0, true}}, none = {{0, false}};
    struct Case {
        const char *name;
        std::string rule;
        Runs port, src, dst;
    };
    const std::vector<Case> cases = {
        {"one port", Rule(R"({"match_ports": [80]})"), {{0, false}, {80, true}, {81, false}}, all, all},
        {"a port inside its range", Rule(R"({"match_ports": [80], "match_port_ranges": [{"start": 80, "end": 90}]})"),
         {{0, false}, {80, true}, {91, false}}, all, all},
        {"overlapping and touching intervals",
         Rule(R"({"match_ports": [80, 85, 90], "match_port_ranges": [{"start": 80, "end": 90}, {"start": 85, "end": 85},
                  {"start": 90, "end": 95}, {"start": 96, "end": 100}]})"),
         {{0, false}, {80, true}, {101, false}}, all, all},
        {"a negated subnet cuts a hole", Rule("{}", R"({"match_multiple_subnets": ["10.0.0.0/8", "!10.1.0.0/16"]})"),
         all, {{0, false}, {0x0A000000, true}, {0x0A010000, false}, {0x0A020000, true}, {0x0B000000, false}}, all},
        {"only a negated subnet", Rule("{}", R"({"match_multiple_subnets": ["!10.0.0.0/8"]})"), all, none, all},
        {"IPv6 criteria only", Rule(R"({"match_multiple_subnets": ["2001:db8::/32"]})", R"({"match_ip_hash": ["2001:db8::1"]})"),
         all, none, none},
        {"an empty subnet list", Rule(R"({"match_multiple_subnets": []})"), all, all, none},
        {"top values run to the end of their space",
         Rule(R"({"match_ports": [65535], "match_multiple_subnets": ["255.255.255.0/24"]})",
              R"({"match_ip_hash": ["255.255.255.255"]})"),
         {{0, false}, {65535, true}}, {{0, false}, {0xFFFFFFFF, true}}, {{0, false}, {0xFFFFFF00, true}}},
    };
    for (const Case &c : cases) {
        ASSERT_TRUE(Build({{c.rule}})) << c.name << ": " << error_;
        EXPECT_EQ(RunsOf(ix_.port), c.port) << c.name;
        EXPECT_EQ(RunsOf(ix_.src), c.src) << c.name;
        EXPECT_EQ(RunsOf(ix_.dst), c.dst) << c.name;
        /* Address criteria never take a rule out of the protocol vector: IPv6 traffic needs it. */
        EXPECT_EQ(ix_.vector(ix_.tcp)[0], 1u) << c.name;
    }
}

TEST_F(EnIndexTest, WordCountFollowsTheRuleCount)
{
    for (auto [rules, words] : {std::pair{63u, 1u}, {64u, 1u}, {65u, 2u}}) {
        ASSERT_TRUE(Build({std::vector<std::string>(rules, Rule("{}"))}));
        EXPECT_EQ(ix_.rules, rules);
        EXPECT_EQ(ix_.words, words) << rules;
    }
    /* Chains without rules: R is 0, which reads as the full 1024 words, and no regions. */
    ASSERT_TRUE(Build({{}}));
    EXPECT_EQ(bytes_[4] | bytes_[5], 0);
    EXPECT_EQ(ix_.words, 1024);
    EXPECT_TRUE(ix_.port.starts.empty() && ix_.src.starts.empty() && ix_.dst.starts.empty());
}

TEST_F(EnIndexTest, FullTableCarriesZeroRulesAndOneMoreIsRefused)
{
    std::vector<std::vector<std::string>> chains(2, std::vector<std::string>(32768, Rule("{}")));
    chains[1].back() = Rule(R"({"match_ports": [443]})");
    ASSERT_TRUE(Build(chains));
    EXPECT_EQ(bytes_[4] | bytes_[5], 0);
    EXPECT_EQ(ix_.words, 1024);
    EXPECT_EQ(RunsOf(ix_.port), (Runs{{0, true}, {443, true}, {444, true}}));
    EXPECT_EQ(Candidates(443).size(), 65536u);
    auto elsewhere = Candidates(80);
    EXPECT_EQ(elsewhere.size(), 65535u);
    EXPECT_FALSE(elsewhere.count(65535));

    chains.push_back({Rule("{}")});
    EXPECT_FALSE(Build(chains));
    EXPECT_EQ(error_, "Too many rules: 65536");
}

/* ------------------------------------------------------------ refusals */

TEST_F(EnIndexTest, EntityLimitsCountEachKindOfIpv4AndPortEntry)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"single ports", R"({"match_ports": [1, 2, 3]})"},
        {"range ports", R"({"match_port_ranges": [{"start": 1, "end": 2}, {"start": 3, "end": 4}, {"start": 5, "end": 6}]})"},
        {"single IPs", R"({"match_ip_hash": ["::1", "1.1.1.1", "::2", "1.1.1.2", "1.1.1.3"]})"},
        {"range IPs", R"({"match_multiple_subnets": ["::/8", "1.0.0.0/8", "!2.0.0.0/8", "3.0.0.0/8"]})"},
    };
    for (const auto &[kind, dst] : cases) {
        const std::string message = "[index] number of " + kind + " in rule exceeded max entity";
        EXPECT_FALSE(Build({{Rule(dst)}}, 2)) << message;
        EXPECT_TRUE(Logged(G_LOG_LEVEL_WARNING, message));
        EXPECT_TRUE(Build({{Rule(dst)}}, 3)) << message;
    }
}

TEST_F(EnIndexTest, ReversedRangesAndBadAddressTextsFailTheBuild)
{
    EXPECT_FALSE(Build({{Rule(R"({"match_port_ranges": [{"start": 90, "end": 80}]})")}}));
    EXPECT_EQ(error_, "[index] invalid port range in rule 'r': start 90 is above end 80");
    EXPECT_TRUE(Logged(G_LOG_LEVEL_WARNING, error_));

    EXPECT_FALSE(Build({{Rule("{}", R"({"match_ip_hash": ["10.0.0.999"]})")}}));
    EXPECT_EQ(error_, "");
    EXPECT_TRUE(Logged(G_LOG_LEVEL_WARNING, "failed to convert ip address: 10.0.0.999"));

    EXPECT_FALSE(Build({{Rule(R"({"match_multiple_subnets": ["!10.0.0.0"]})")}}));
    EXPECT_EQ(error_, "[utils] failed to parse: 10.0.0.0");
}

TEST_F(EnIndexTest, MissingPiecesAreNamed)
{
    TablePtr table = ParseTable(Chains({{Rule("{}")}}));
    size_t len = 0;
    Error *err = nullptr;
    EXPECT_FALSE(en_convert_single_index(table.get(), 40000, nullptr, nullptr, &len, &err));
    const std::string out_buf = hvtest::TakeMessage(err);
    EXPECT_TRUE(g_str_has_prefix(out_buf.c_str(), "[en_convert_single_index:")) << out_buf;
    EXPECT_TRUE(g_str_has_suffix(out_buf.c_str(), "] out_buf is NULL")) << out_buf;
    EXPECT_TRUE(Logged(G_LOG_LEVEL_CRITICAL, out_buf));

    /* An empty list in the JSON reads as a flagged list that is NULL. */
    for (const char *name : {"match_ip_hash", "match_ports", "match_port_ranges"}) {
        EXPECT_FALSE(Build({{Rule(std::string(R"({")") + name + R"(": []})")}})) << name;
        EXPECT_TRUE(g_str_has_suffix(error_.c_str(), (std::string("] entity->") + name + " is NULL").c_str())) << error_;
    }
}

/* ------------------------------------------------------------ logs */

TEST_F(EnIndexTest, TheBuildOpensWithItsFirstPhaseAndClosesWithTheTimings)
{
    ASSERT_TRUE(Build({{Rule("{}")}}));
    std::vector<std::string> lines;
    for (const std::string &text : Texts(G_LOG_LEVEL_DEBUG)) {
        if (!g_str_has_prefix(text.c_str(), "[index] free thread")) {
            lines.push_back(text);
        }
    }
    const std::vector<std::string> timings = {"pre_index_ip_src", "pre_index_ip_dst", "pre_index_port_dst",
                                              "pre_index_protocol", "create_index_start_search",
                                              "create_index_start_iter", "create_index_end_search",
                                              "create_index_end_iter", "bv_to_bag"};
    ASSERT_GT(lines.size(), timings.size() + 1);
    EXPECT_EQ(lines.front(), "[index] Started index building");
    EXPECT_EQ(lines[lines.size() - timings.size() - 1], "[index] Finished creating index");
    for (size_t i = 0; i < timings.size(); i++) {
        const std::string &line = lines[lines.size() - timings.size() + i];
        const std::string prefix = "[index] total time of " + timings[i] + ": ";
        double value = -1;
        EXPECT_TRUE(g_str_has_prefix(line.c_str(), prefix.c_str())) << line;
        EXPECT_EQ(sscanf(line.c_str() + std::min(prefix.size(), line.size()), "%lf", &value), 1) << line;
        EXPECT_GE(value, 0) << line;
    }
}

/* ------------------------------------------------------------ free thread */

struct Released {
    std::mutex lock;
    std::condition_variable cv;
    std::vector<int> order;
    std::set<pid_t> threads;
    std::set<int> nice;
} g_released;

void ReleaseProbe(void *p)
{
    std::lock_guard<std::mutex> guard(g_released.lock);
    g_released.order.push_back(*static_cast<int *>(p));
    g_released.threads.insert(gettid());
    g_released.nice.insert(getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())));
    delete static_cast<int *>(p);
    g_released.cv.notify_all();
}

TEST(EnIndexFreeThread, ReleasesInArrivalOrderOnALowerPriorityThread)
{
    const int base = getpriority(PRIO_PROCESS, static_cast<id_t>(getpid()));
    en_index_free_thread_init();
    en_index_free_thread_init();
    for (int i = 0; i < 200; i++) {
        en_index_free_thread_enqueue(new int(i), ReleaseProbe);
    }
    std::unique_lock<std::mutex> guard(g_released.lock);
    ASSERT_TRUE(g_released.cv.wait_for(guard, std::chrono::seconds(20), [] { return g_released.order.size() == 200; }));
    std::vector<int> want(200);
    std::iota(want.begin(), want.end(), 0);
    EXPECT_EQ(g_released.order, want);
    ASSERT_EQ(g_released.threads.size(), 1u);
    const pid_t worker = *g_released.threads.begin();
    EXPECT_NE(worker, gettid());
    EXPECT_EQ(g_released.nice, (std::set<int>{std::min(base + 1, 19)}));
    g_autofree char *comm_path = g_strdup_printf("/proc/self/task/%d/comm", worker);
    g_autofree char *comm = nullptr;
    if (g_file_get_contents(comm_path, &comm, nullptr, nullptr)) {
        EXPECT_STREQ(g_strchomp(comm), "policy-indexing");
    }

    /* Once stopped, the caller releases at once. */
    en_index_free_thread_stop();
    g_released.threads.clear();
    guard.unlock();
    en_index_free_thread_enqueue(new int(200), ReleaseProbe);
    guard.lock();
    EXPECT_EQ(g_released.order.back(), 200);
    EXPECT_EQ(g_released.threads, (std::set<pid_t>{gettid()}));
}

TEST(EnIndexFreeThread, StopReleasesWhatTheThreadHadNotReachedAndJoinsTheReleaseInProgress)
{
    /* The first item holds the thread until stop releases the others on the caller's thread. */
    static std::atomic<bool> entered, open, finished;
    entered = open = finished = false;
    en_index_free_thread_init();
    en_index_free_thread_enqueue(new int(-1), [](void *p) {
        entered = true;
        while (!open) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        /* Long enough that a stop that does not wait returns first. */
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        delete static_cast<int *>(p);
        finished = true;
    });
    for (int i = 0; i < 3; i++) {
        en_index_free_thread_enqueue(new int(300 + i), [](void *p) {
            open = true;
            ReleaseProbe(p);
        });
    }
    while (!entered) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    {
        std::lock_guard<std::mutex> guard(g_released.lock);
        g_released.order.clear();
        g_released.threads.clear();
    }
    en_index_free_thread_stop();
    EXPECT_TRUE(finished);
    std::lock_guard<std::mutex> guard(g_released.lock);
    EXPECT_EQ(g_released.order, (std::vector<int>{300, 301, 302}));
    EXPECT_EQ(g_released.threads, (std::set<pid_t>{gettid()}));
    /* Joined: no thread of that name is left. */
    GDir *tasks = g_dir_open("/proc/self/task", 0, nullptr);
    ASSERT_NE(tasks, nullptr);
    while (const char *task = g_dir_read_name(tasks)) {
        g_autofree char *path = g_strdup_printf("/proc/self/task/%s/comm", task);
        g_autofree char *comm = nullptr;
        if (g_file_get_contents(path, &comm, nullptr, nullptr)) {
            EXPECT_STRNE(g_strchomp(comm), "policy-indexing") << task;
        }
    }
    g_dir_close(tasks);
}

}  // namespace
