/* The persistent policy file and the DNS cache: real files in a private data folder, and the
 * DNS snapshot end to end through the channel and the emulated driver. */
#include <glib/gstdio.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>

#include "enforcement/framework/agent/en-persistent-storage.h"
#include "qapi/qmp-enforcement-types.h"
#include "qapi/qmp-input-visitor.h"
#include "qobject/qobject.h"
#include "tests/en-api/en-api-fixture.h"

namespace {

std::string ReadFile(const std::string &path)
{
    g_autofree char *text = nullptr;
    gsize len = 0;
    return g_file_get_contents(path.c_str(), &text, &len, nullptr) ? std::string(text, len) : "<missing>";
}

void WriteFile(const std::string &path, const std::string &text)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    ASSERT_TRUE(g_file_set_contents(path.c_str(), text.data(), static_cast<gssize>(text.size()), nullptr));
}

std::vector<std::string> ListDir(const std::string &dir)
{
    std::vector<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(dir)) {
        names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string TakeMessage(Error *&err)
{
    std::string text = err ? error_get_message(err) : "";
    return error_free_and_clear(&err), text;
}

template <typename T>
T *Parse(const std::string &json, void (*visit)(Visitor *, T **, const char *, Error **))
{
    Error *err = nullptr;
    QObject *obj = json_to_input_visitor(json.data(), json.size(), &err);
    EXPECT_NE(obj, nullptr) << TakeMessage(err);
    QmpInputVisitor *qiv = qmp_input_visitor_new(obj);
    qobject_decref(obj);
    T *value = nullptr;
    visit(qmp_input_get_visitor(qiv), &value, nullptr, &err);
    qmp_input_visitor_cleanup(qiv);
    EXPECT_EQ(err, nullptr) << TakeMessage(err);
    return value;
}

const char *kPolicy = R"({"input-table": [{"chain_name": "c1", "implicit": true, "rules": [{"match_src": {},
    "match_dst": {"match_ports": [443]}, "protocols": ["tcp"], "rule_type": "implicit", "verdict": "BLOCK",
    "id": "r1"}]}], "output-table": [], "revision": 12})";

std::string DnsRecord(const std::string &name, const std::string &ip, uint64_t ts)
{
    return R"({"name": ")" + name + R"(", "ip": ")" + ip + R"(", "ts": )" + std::to_string(ts) +
           R"(, "start_ts": )" + std::to_string(ts + 1) + "}";
}

} // namespace

class PersistTest : public EnApiTest {
protected:
    void SetUp() override
    {
        EnApiTest::SetUp();
        data_ = dir_ + "/data";
        WriteFile(dir_ + "/registry", "HV_DATA_FOLDER=" + data_ + "/\n");
        g_setenv("HV_REGISTRY_FILE", (dir_ + "/registry").c_str(), TRUE);
        persistent_storage_reset_for_test();
        policy_ = data_ + "/config/persistent-policy.json";
        dns_ = data_ + "/persistent-config/persistent-dnscache.json";
    }

    void TearDown() override
    {
        persistent_storage_reset_for_test();
        g_unsetenv("HV_REGISTRY_FILE");
        EnApiTest::TearDown();
    }

    /* The policy read error's text; the file must be refused. */
    std::string PolicyError()
    {
        Error *err = nullptr;
        EnforcementPolicyOutputJson *p = persistent_EnforcementPolicyOutputJson_get(&err);
        EXPECT_EQ(p, nullptr);
        qapi_free_EnforcementPolicyOutputJson(p);
        EXPECT_STREQ(err ? error_get_code_func(err) : "", "persistent_EnforcementPolicyOutputJson_get");
        return TakeMessage(err);
    }

    en_dns_snapshot_t *DriverSnapshot()
    {
        snapshot_.reset(static_cast<en_dns_snapshot_t *>(g_malloc0(sizeof(en_dns_snapshot_t))));
        snapshot_->capacity = EN_DNS_SNAPSHOT_CAPACITY;
        EXPECT_TRUE(en_api_get_dns_snapshot(handle_, snapshot_.get()));
        return snapshot_.get();
    }

    std::string data_, policy_, dns_;
    std::unique_ptr<en_dns_snapshot_t, decltype(&g_free)> snapshot_{nullptr, g_free};
};

TEST_F(PersistTest, PolicyRoundTripWritesDcInventoryRevisionOnlyWhenSet)
{
    Error *err = nullptr;
    EXPECT_EQ(persistent_EnforcementPolicyOutputJson_get(&err), nullptr);
    EXPECT_EQ(err, nullptr);

    EnforcementPolicyOutputJson *policy = Parse(kPolicy, visit_type_EnforcementPolicyOutputJson);
    ASSERT_NE(policy, nullptr);
    policy->has_dc_inventory_revision = true; /* set but 0: still omitted */
    ASSERT_TRUE(persistent_EnforcementPolicyOutputJson_dump(policy, &err)) << TakeMessage(err);
    EXPECT_EQ(ReadFile(policy_).find("dc-inventory-revision"), std::string::npos);
    EnforcementPolicyOutputJson *back = persistent_EnforcementPolicyOutputJson_get(&err);
    ASSERT_NE(back, nullptr) << TakeMessage(err);
    EXPECT_FALSE(back->has_dc_inventory_revision);
    EXPECT_EQ(back->revision, 12u);
    ASSERT_NE(back->input_table, nullptr);
    EXPECT_EQ(back->input_table->value->rules->value->match_dst->match_ports->value, 443);
    qapi_free_EnforcementPolicyOutputJson(back);

    policy->dc_inventory_revision = 7;
    ASSERT_TRUE(persistent_EnforcementPolicyOutputJson_dump(policy, &err));
    EXPECT_NE(ReadFile(policy_).find("\"dc-inventory-revision\": 7"), std::string::npos);
    back = persistent_EnforcementPolicyOutputJson_get(&err);
    ASSERT_NE(back, nullptr);
    EXPECT_TRUE(back->has_dc_inventory_revision);
    EXPECT_EQ(back->dc_inventory_revision, 7u);
    qapi_free_EnforcementPolicyOutputJson(back);
    qapi_free_EnforcementPolicyOutputJson(policy);
    EXPECT_EQ(ListDir(data_ + "/config"), std::vector<std::string>{"persistent-policy.json"});
}

TEST_F(PersistTest, UnusablePolicyFilesAreRefused)
{
    WriteFile(policy_, "");
    EXPECT_EQ(PolicyError(),
              "error getting file content for '" + policy_ + "': persistent file '" + policy_ + "' is empty");
    EXPECT_FALSE(std::filesystem::exists(policy_));

    const std::pair<std::string, std::string> refused[] = {
        {"[1, 2]", "invalid format of persistent json file. Raw JSON='[1, 2]'"},
        {"  \n", "cant read persistent json from file. Raw JSON='  \n'"},
        {R"({"input-table": [], "output-table": []})", "error converting JSON into type: "},
    };
    for (const auto &[text, message] : refused) {
        WriteFile(policy_, text);
        EXPECT_EQ(PolicyError().rfind(message, 0), 0u) << text;
        EXPECT_EQ(ReadFile(policy_), text);
    }

    /* Half of a written file, and a large bad file whose text is cut in the message. */
    std::string whole = std::string(kPolicy);
    std::string half = whole.substr(0, whole.size() / 2);
    WriteFile(policy_, half);
    std::string message = PolicyError();
    EXPECT_EQ(message.rfind("cant read persistent json from file: ", 0), 0u) << message;
    EXPECT_NE(message.find(". Raw JSON='" + half + "'"), std::string::npos) << message;
    EXPECT_EQ(ReadFile(policy_), half);

    WriteFile(policy_, "{" + std::string(3 << 20, 'x'));
    message = PolicyError();
    EXPECT_LT(message.size(), 1500u);
    EXPECT_NE(message.find("Raw JSON='{" + std::string(1023, 'x') + "...'"), std::string::npos);
}

TEST_F(PersistTest, MoveAsideReplacesAnExistingInvalidFile)
{
    WriteFile(policy_, "new");
    WriteFile(policy_ + ".invalid", "older");
    persistent_policy_move_aside();
    EXPECT_FALSE(std::filesystem::exists(policy_));
    EXPECT_EQ(ReadFile(policy_ + ".invalid"), "new");
    EXPECT_TRUE(Logged(kAny, "[persistent-storage]moving aside invalid persistent policy '" + policy_ + "' onto '" +
                                 policy_ + ".invalid'"));

    persistent_policy_move_aside();
    EXPECT_TRUE(Logged(kWarning, "[persistent-storage]failed moving invalid persistent policy"));
    EXPECT_EQ(ReadFile(policy_ + ".invalid"), "new");
}

TEST_F(PersistTest, FailedWritesKeepThePreviousFile)
{
    EnforcementPolicyOutputJson *policy = Parse(kPolicy, visit_type_EnforcementPolicyOutputJson);
    Error *err = nullptr;
    WriteFile(policy_, "previous");

    /* Writing stops part way (file size limit): the old content stays and no temporary file is left. */
    bool ok = hvtest::WithFileSizeLimit(16, [&] { return persistent_EnforcementPolicyOutputJson_dump(policy, &err); });
    EXPECT_FALSE(ok);
    EXPECT_EQ(TakeMessage(err).rfind("can't write JSON to file: ", 0), 0u);
    EXPECT_EQ(ReadFile(policy_), "previous");
    EXPECT_EQ(ListDir(data_ + "/config"), std::vector<std::string>{"persistent-policy.json"});

    /* The rename cannot replace a directory: the temporary file goes too. */
    std::filesystem::remove(policy_);
    std::filesystem::create_directories(policy_ + "/keep");
    EXPECT_FALSE(persistent_EnforcementPolicyOutputJson_dump(policy, &err));
    EXPECT_EQ(TakeMessage(err).rfind("can't write JSON to file: ", 0), 0u);
    EXPECT_EQ(ListDir(data_ + "/config"), std::vector<std::string>{"persistent-policy.json"});
    EXPECT_EQ(PolicyError().rfind("error getting file content for '" + policy_ + "': error reading file size", 0), 0u);
    qapi_free_EnforcementPolicyOutputJson(policy);
}

TEST_F(PersistTest, PathsComeFromTheDataFolder)
{
    char path[PATH_MAX];
    Error *err = nullptr;
    ASSERT_TRUE(set_persistent_filename("/x.json", path, sizeof(path), &err));
    EXPECT_EQ(std::string(path), data_ + "/x.json");

    /* The longest folder the data folder check keeps, and a joined path too long for the buffer. */
    const std::string folder = "/" + std::string(250, 'd');
    const std::string relative = "/" + std::string(PATH_MAX - 251, 'x');
    WriteFile(dir_ + "/registry", "HV_DATA_FOLDER=" + folder + "/\n");
    EXPECT_FALSE(set_persistent_filename(relative.c_str(), path, sizeof(path), &err));
    EXPECT_EQ(TakeMessage(err), "error setting persistent config file path (relative path: '" + relative +
                                    "'), path too long (" + std::to_string(PATH_MAX + 1) + " bytes)");

    /* The folders every reader of the value refuses. */
    const struct {
        std::string value;
        std::string reason;
    } refused[] = {
        {"/", "HV_DATA_FOLDER '/' is the file system root"},
        {"//", "HV_DATA_FOLDER '//' is the file system root"},
        {"data", "HV_DATA_FOLDER 'data' is not an absolute path"},
        {folder + "d", "HV_DATA_FOLDER '" + folder + "d' is longer than 251 characters"},
    };
    for (const auto &c : refused) {
        WriteFile(dir_ + "/registry", "HV_DATA_FOLDER=" + c.value + "\n");
        EXPECT_FALSE(set_persistent_filename("/x.json", path, sizeof(path), &err)) << c.value;
        EXPECT_EQ(TakeMessage(err), "unable to get Holvenstad program data folder: " + c.reason);
    }

    g_unlink((dir_ + "/registry").c_str());
    EXPECT_EQ(PolicyError().rfind("unable to get Holvenstad program data folder: ", 0), 0u);
}

TEST_F(PersistTest, DnsCacheRestoreAndSaveThroughTheDriver)
{
    ASSERT_NE(Init(), nullptr);
    ASSERT_TRUE(en_api_start(handle_));
    const std::string long_name(300, 'n');
    WriteFile(dns_, R"({"records": [)" + DnsRecord("a.example", "10.1.2.3", 5) + "," +
                        DnsRecord("b.example", "2001:db8::1", 6) + "," + DnsRecord("m.example", "::ffff:1.2.3.4", 7) +
                        "," + DnsRecord(long_name, "10.0.0.9", 8) + "]}");
    en_dns_cache_restore(handle_);
    EXPECT_TRUE(Logged(kAny, "[main] got enforcement DNS cache from file"));

    en_dns_snapshot_t *s = DriverSnapshot();
    ASSERT_EQ(s->count, 4u);
    EXPECT_STREQ(s->records[0].name, "a.example");
    EXPECT_EQ(s->records[0].ip.is_ipv4, 1);
    EXPECT_EQ(s->records[0].ip.addr.ip4, 0x0A010203u);
    EXPECT_EQ(s->records[0].ts, 5u);
    EXPECT_EQ(s->records[0].start_ts, 6u);
    EXPECT_EQ(s->records[1].ip.is_ipv4, 0);
    EXPECT_EQ(s->records[1].ip.addr.ip6[0], 0x20);
    EXPECT_EQ(s->records[1].ip.addr.ip6[15], 0x01);
    EXPECT_EQ(std::string(s->records[3].name), long_name.substr(0, 254));

    en_dns_cache_save(handle_);
    EnforcementDnsCache *saved = Parse(ReadFile(dns_), visit_type_EnforcementDnsCache);
    std::vector<std::string> seen;
    for (EnforcementDnsCacheRecordList *n = saved ? saved->records : nullptr; n; n = n->next) {
        seen.push_back(std::string(n->value->name).substr(0, 1) + " " + n->value->ip + " " +
                       std::to_string(n->value->ts) + "/" + std::to_string(n->value->start_ts));
    }
    qapi_free_EnforcementDnsCache(saved);
    EXPECT_EQ(seen, (std::vector<std::string>{"n 10.0.0.9 8/9", "m ::ffff:1.2.3.4 7/8", "b 2001:db8::1 6/7",
                                              "a 10.1.2.3 5/6"}));

    /* A failed snapshot read leaves the saved file as it was. */
    std::string before = ReadFile(dns_);
    ASSERT_TRUE(endr::state_update([](endr::State &st) {
        st.faults[endr::fault_key(EN_IOCTL_GET_DNS_SNAPSHOT)] = {31, 1};
        return true;
    }));
    en_dns_cache_save(handle_);
    EXPECT_TRUE(Logged(kCritical, "[main] failed to get the DNS snapshot"));
    EXPECT_EQ(ReadFile(dns_), before);
}

TEST_F(PersistTest, DnsCacheRestoreStopsAtCapacityAndSendsNothingOnABadAddress)
{
    ASSERT_NE(Init(), nullptr);
    ASSERT_TRUE(en_api_start(handle_));
    en_dns_cache_restore(handle_);
    EXPECT_TRUE(LoggedPrefix(kAny, "[main] could not get persistent DNS cache from file: "));

    /* Records past the capacity are not loaded, not even parsed. */
    std::string records;
    for (int i = 0; i < EN_DNS_SNAPSHOT_CAPACITY + 2; i++) {
        std::string ip = i == EN_DNS_SNAPSHOT_CAPACITY + 1 ? "bad" : "10.0." + std::to_string(i / 256) + "." +
                                                                         std::to_string(i % 256);
        records += (i ? "," : "") + DnsRecord("h" + std::to_string(i), ip, i);
    }
    WriteFile(dns_, R"({"records": [)" + records + "]}");
    en_dns_cache_restore(handle_);
    en_dns_snapshot_t *s = DriverSnapshot();
    ASSERT_EQ(s->count, static_cast<uint64_t>(EN_DNS_SNAPSHOT_CAPACITY));
    EXPECT_STREQ(s->records[EN_DNS_SNAPSHOT_CAPACITY - 1].name, "h9999");

    WriteFile(dns_, R"({"records": [)" + DnsRecord("a", "10.0.0.1", 1) + "," + DnsRecord("b", "10.0.0.x", 2) + "]}");
    en_dns_cache_restore(handle_);
    EXPECT_TRUE(Logged(kCritical, "[main] failed to convert IP string \"10.0.0.x\""));
    EXPECT_EQ(DriverSnapshot()->count, static_cast<uint64_t>(EN_DNS_SNAPSHOT_CAPACITY));
}

/* The record count comes from the driver: a snapshot claiming more than its capacity is cut to
 * the slots the buffer holds; reading the claimed records would run past the buffer. */
TEST_F(PersistTest, DnsCacheSaveReadsNoMoreRecordsThanTheSnapshotHolds)
{
    ASSERT_NE(Init(), nullptr);
    ASSERT_TRUE(en_api_start(handle_));
    WriteFile(dns_, R"({"records": [)" + DnsRecord("a.example", "10.1.2.3", 5) + "]}");
    en_dns_cache_restore(handle_);
    ASSERT_EQ(DriverSnapshot()->count, 1u);

    struct ClaimedCount {
        void operator()(std::optional<uint64_t> count)
        {
            std::lock_guard<std::mutex> guard(endr::engine().mu);
            endr::engine().dns_snapshot_claimed_count = count;
        }
        ~ClaimedCount() { (*this)(std::nullopt); }
    } claim;
    for (uint64_t claimed : {uint64_t{EN_DNS_SNAPSHOT_CAPACITY}, uint64_t{EN_DNS_SNAPSHOT_CAPACITY} + 1, UINT64_MAX}) {
        SCOPED_TRACE(claimed);
        Clear();
        claim(claimed);
        en_dns_cache_save(handle_);
        EnforcementDnsCache *saved = Parse(ReadFile(dns_), visit_type_EnforcementDnsCache);
        size_t records = 0;
        std::string oldest;
        for (EnforcementDnsCacheRecordList *n = saved ? saved->records : nullptr; n; n = n->next, records++) {
            oldest = n->value->name;
        }
        qapi_free_EnforcementDnsCache(saved);
        EXPECT_EQ(records, static_cast<size_t>(EN_DNS_SNAPSHOT_CAPACITY));
        EXPECT_EQ(oldest, "a.example") << "the real record comes first in the snapshot, last in the file";
        EXPECT_EQ(LoggedPrefix(kWarning, "[main] DNS snapshot reports "), claimed > EN_DNS_SNAPSHOT_CAPACITY);
    }
}
