/* The enforcement configuration fields: ranges, log lines and what their changes send to the driver. */
#include "en-api-fixture.h"
#include "enforcement/framework/agent/en-config.h"
#include "qapi/qmp-common-types.h"
#include "util/agent-config.h"

namespace {

class EnConfigTest : public EnApiTest {
protected:
    void SetUp() override
    {
        EnApiTest::SetUp();
        ASSERT_TRUE(agent_config_init());
        ASSERT_TRUE(enforcement_register_config());
    }

    void TearDown() override
    {
        agent_config_cleanup();
        EnApiTest::TearDown();
    }

    void StartPublished()
    {
        g_en_handle = Init();
        ASSERT_TRUE(en_api_start(g_en_handle));
    }

    static bool SetInt(const char *key, int64_t value, std::string *error = nullptr)
    {
        ConfigField *f = qapi_new_ConfigField(key);
        f->has_int_value = true;
        f->int_value = value;
        return Apply(f, error);
    }

    static bool SetBool(const char *key, bool value, std::string *error = nullptr)
    {
        ConfigField *f = qapi_new_ConfigField(key);
        f->has_bool_value = true;
        f->bool_value = value;
        return Apply(f, error);
    }

    static bool Apply(ConfigField *f, std::string *error)
    {
        ConfigFieldList *list = qapi_new_ConfigFieldList(f);
        Error *err = nullptr;
        bool ok = set_agents_configuration(list, false, &err);
        if (error) {
            *error = err ? error_get_message(err) : "";
        }
        error_free(err);
        qapi_free_ConfigFieldList(list);
        return ok;
    }

    static uint64_t Setting(const char *name)
    {
        endr::State s = endr::state_read();
        auto it = s.driver.settings.find(name);
        return it == s.driver.settings.end() ? UINT64_MAX : it->second;
    }
};

/* The range check itself, and its message, are in agent_config_test. */
TEST_F(EnConfigTest, ChangesReachTheDriverWithTheirLogLine)
{
    StartPublished();
    struct Case {
        const char *key;
        int64_t value;
        bool is_bool;
        const char *setting;
        const char *line;
    };
    const Case cases[] = {
        {"agent.enforcement_mode", 2, false, "enforcement-mode", "[config] setting agent enforcement mode=MONITORING"},
        /* Inside the range but without a name: the driver still gets it. */
        {"agent.enforcement_mode", 4, false, "enforcement-mode", "[config] setting agent enforcement mode=UNKNOWN"},
        {"agent.windows_firewall_mode", 3, false, "firewall-mode", "[config] setting agent firewall mode=HARD_ALLOW"},
        {"agent.driver_verbosity", 2, false, "verbosity", "[config] setting driver verbosity mode=VERBOSE_LOG_KERNLOG"},
        {"agent.drop_out_of_session", 1, true, "drop-out-of-session", nullptr},
        {"dns.enable", 0, true, "dns-enable", "[config] setting agent dns status=false"},
        {"dns.rate_limit", 250, false, "dns-rate-limit", "[config] setting driver dns rate limit 1000 -> 250"},
        {"policy.endr_sm_timeout", 30, false, "syn-sent-timeout", nullptr},
        {"api.conn_request_sufficient_size", 120, false, "req-sufficient-size", nullptr},
        {"agent.en_driver_blocklist_enabled", 0, true, "dns-blocklist-enabled", nullptr},
    };
    for (const Case &c : cases) {
        ASSERT_TRUE(c.is_bool ? SetBool(c.key, c.value != 0) : SetInt(c.key, c.value)) << c.key;
        EXPECT_EQ(Setting(c.setting), static_cast<uint64_t>(c.value)) << c.key;
        EXPECT_TRUE(!c.line || Logged(G_LOG_LEVEL_MESSAGE, c.line)) << c.line;
    }
    EXPECT_TRUE(Logged(G_LOG_LEVEL_MESSAGE, "[config] update enforcement mode"));
    EXPECT_TRUE(Logged(kDebug, "[api] driver enforcement mode set to: 2"));

    /* A refused request does not refuse a mode change, but does refuse a value field. */
    ArmFault(0x12247D, 31, 1);
    EXPECT_TRUE(SetInt("agent.enforcement_mode", 1));
    EXPECT_EQ(g_en_config.enforcement_mode, 1u);
    EXPECT_TRUE(Logged(kWarning, "[api] failed to set enforcement mode: 1"));
    ArmFault(0x122479, 31, 1);
    EXPECT_FALSE(SetInt("dns.rate_limit", 9));
    EXPECT_EQ(g_en_config.dns_rate_limit, 250u);
    EXPECT_EQ(Setting("dns-rate-limit"), 250u);

    ASSERT_TRUE(SetInt("api.conn_request_size", 900));
    EXPECT_TRUE(Logged(G_LOG_LEVEL_MESSAGE, "[config] setting connection request size 500 -> 900"));
    EXPECT_EQ(g_en_config.conn_request_size, 900u);
}

TEST_F(EnConfigTest, WithoutHandleTheModeChangesAreKeptAndWarned)
{
    EXPECT_TRUE(SetInt("agent.enforcement_mode", 5));
    EXPECT_EQ(g_en_config.enforcement_mode, 5u);
    EXPECT_TRUE(Logged(kWarning, "[config] could not update agent enforcement mode. driver handle is NULL."));
    EXPECT_TRUE(SetBool("dns.enable", false));
    EXPECT_TRUE(Logged(kWarning, "[config] could not update agent driver dns status. driver handle is NULL."));
    EXPECT_TRUE(SetBool("agent.drop_out_of_session", true));
    EXPECT_TRUE(
        Logged(kWarning, "[config] could not update agent driver drop out-of-session. driver handle is NULL."));

    /* The fields whose driver answer decides are refused without a handle. */
    EXPECT_FALSE(SetInt("dns.rate_limit", 5));
    EXPECT_EQ(g_en_config.dns_rate_limit, 1000u);
    EXPECT_FALSE(SetBool("agent.en_driver_blocklist_enabled", false));
    EXPECT_TRUE(g_en_config.en_driver_blocklist_enabled);
    /* The limits are kept whatever the driver answers. */
    EXPECT_TRUE(SetInt("policy.max_chains_num", 32));
    EXPECT_EQ(g_en_config.max_chains_num, 32u);
}

TEST_F(EnConfigTest, MaxRulesReachesTheDriverInThePolicyLimitsBlock)
{
    StartPublished();
    ASSERT_TRUE(SetInt("policy.max_rules_num", 4096));
    endr::State s = endr::state_read();
    ASSERT_TRUE(s.driver.policy_limits.has_value());
    EXPECT_EQ(*s.driver.policy_limits, (std::array<uint64_t, 4>{16, 4096, 40000, 4194304}));
    EXPECT_TRUE(Logged(G_LOG_LEVEL_MESSAGE, "[config] policy.max_rules_num changed: 2048->4096"));
    EXPECT_TRUE(Logged(kDebug, "[api] policy limits set"));

    ASSERT_TRUE(SetInt("policy.max_rule_buffer_len", 1000));
    ASSERT_TRUE(SetInt("policy.max_entity_field_num", 300));
    ASSERT_TRUE(SetInt("policy.max_chains_num", 8));
    s = endr::state_read();
    EXPECT_EQ(*s.driver.policy_limits, (std::array<uint64_t, 4>{8, 4096, 300, 1000}));

    ASSERT_TRUE(SetInt("index.max_vectors_in_bag", 70));
    ASSERT_TRUE(SetInt("index.max_index_range_count", 60));
    s = endr::state_read();
    ASSERT_TRUE(s.driver.index_limits.has_value());
    EXPECT_EQ(*s.driver.index_limits, (std::array<uint64_t, 3>{60, 70, 67108864}));
    EXPECT_TRUE(Logged(G_LOG_LEVEL_MESSAGE, "[config] index.max_index_range_count changed: 8388608->60"));
}

TEST_F(EnConfigTest, TheDriverStartsWithTheIndexLimitsTheConfigurationDefaultsTo)
{
    en_index_limits_t limits;
    en_config_index_limits(&limits);
    EXPECT_EQ((std::array<uint64_t, 3>{limits.max_index_range_count, limits.max_vectors_in_bag,
                                       limits.max_rule_index_size}),
              endr::kDefaultIndexLimits);
    EXPECT_EQ(limits.max_rule_index_size, 67108864u);
}

TEST_F(EnConfigTest, MetricsHookAddsDriverMetricsOnlyWhileStarted)
{
    Error *err = nullptr;
    EXPECT_TRUE(get_agent_metrics_internal(&err));
    EXPECT_EQ(agent_metrics_get("endr.requests"), 0u);

    StartPublished();
    EXPECT_TRUE(get_agent_metrics_internal(&err));
    EXPECT_GE(agent_metrics_get("endr.requests"), 6u) << "version, role, excluded, start, queue, event read";
    EXPECT_TRUE(LoggedPrefix(kDebug, "[driver metrics] endr.requests: "));

    ArmFault(0x122442, 31, 1);
    EXPECT_FALSE(get_agent_metrics_internal(&err));
    ASSERT_NE(err, nullptr);
    EXPECT_STREQ(error_get_message(err), "[commands] failed to get driver metrics");
    error_free(err);
    EXPECT_TRUE(Logged(kWarning, "[commands] failed to get driver metrics"));
    EXPECT_TRUE(Logged(kWarning, "[api] failed to get driver metrics"));
}

} // namespace
