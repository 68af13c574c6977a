#include <gtest/gtest.h>
#include <glib.h>
#include <glib/gstdio.h>

#include <string>

#include "agent-common/agent-main.h"
#include "agent-common/logger.h"
#include "agent-common/qmp-servers/qmp-rpc-client.h"
#include "qapi/qmp-common-types.h"
#include "util/agent-config.h"
#include "tests/common/hv-test-support.h"
#include "util/error.h"

namespace {

struct Seen {
    int init_calls = 0;
    int cleanup_calls = 0;
    int cleanup_failed = -1;
    bool running_during_cleanup = true;
};
Seen seen;
bool init_result = true;
bool stop_in_init = false;
std::string rotate_count_error = "<not tried>";
uint64_t rotate_count_seen = 0;
bool rotate_count_applied = false;

/* What a "set-configuration" of the rotation count does while the module runs. */
void try_rotate_count(uint64_t count)
{
    ConfigFieldList *fields = qapi_new_ConfigFieldList_elem("agent.log_rotate_count");
    fields->value->has_int_value = true;
    fields->value->int_value = static_cast<int64_t>(count);
    Error *err = nullptr;
    rotate_count_applied = set_agents_configuration(fields, false, &err);
    rotate_count_error = err ? error_get_message(err) : "";
    error_free(err);
    qapi_free_ConfigFieldList(fields);
    rotate_count_seen = g_hv_agent->runtime->rotate_count;
}

bool test_init(agent_module_t *, agent_config_t *, Error **errp)
{
    seen.init_calls++;
    if (!init_result) {
        error_setg(errp, "device missing");
        return false;
    }
    try_rotate_count(3);
    if (stop_in_init) {
        ga_state->running = false;
    } else {
        /* Stops itself a little later, as the "terminate" command would. */
        g_timeout_add(50, [](gpointer) {
            agent_terminate_main_loop();
            return G_SOURCE_REMOVE;
        }, nullptr);
    }
    return true;
}

bool test_cleanup(agent_module_t *, agent_config_t *, int failed, Error **)
{
    seen.cleanup_calls++;
    seen.cleanup_failed = failed;
    seen.running_during_cleanup = ga_state->running;
    return true;
}

/* Every sibling module has its destination by the time the module's post-init runs. */
std::string rpc_ids_taken;
bool test_post_init(agent_module_t *, agent_config_t *, Error **)
{
    for (int id = 0; id <= AGENT_MODULE_COUNT; id++) {
        Error *err = nullptr;
        if (!qmp_rpc_client_register(id, "ipc://unused.ipc", &err)) {
            rpc_ids_taken += std::to_string(id);
        }
        error_free(err);
    }
    return true;
}

class AgentMainTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        seen = Seen{};
        rotate_count_error = "<not tried>";
        init_result = true;
        stop_in_init = false;
        dir_ = hvtest::MakeTempDir("hv-main");
        registry_ = dir_ + "/registry";
        hvtest::WriteFile(registry_, "HV_DATA_FOLDER=" + dir_ + "/data/\nHV_ROOT_FOLDER=" + dir_ + "\n");
        g_setenv("HV_REGISTRY_FILE", registry_.c_str(), TRUE);
        config_ = g_new0(agent_config_t, 1);
        module_ = g_new0(agent_module_t, 1);
        state_ = g_new0(agent_state_t, 1);
        module_->module_id = AGENT_MODULE_ENFORCEMENT;
        module_->config = config_;
        module_->init_cb = test_init;
        module_->cleanup_cb = test_cleanup;
        module_->persistent_config_file = "test.json";
        state_->config = config_;
    }
    void TearDown() override
    {
        agent_config_clear(config_);
        g_free(config_);
        g_free(module_);
        g_free(state_);
        ga_state = nullptr;
        g_hv_agent = nullptr;
        hvtest::RemoveTree(dir_);
    }

    std::string dir_;
    std::string registry_;
    agent_config_t *config_ = nullptr;
    agent_module_t *module_ = nullptr;
    agent_state_t *state_ = nullptr;
};

} // namespace

/* Writing the pid file and removing it at the end: launcher_test. */
TEST_F(AgentMainTest, RunsUntilTerminatedAndCleansUp)
{
    rpc_ids_taken.clear();
    module_->post_init_cb = test_post_init;
    EXPECT_EQ(agent_main(state_, module_, 0, nullptr), 0);
    EXPECT_EQ(rpc_ids_taken, "0123456");
    /* The RPC table went with the cleanup: a new one can be made. */
    qmp_rpc_client_init();
    qmp_rpc_client_cleanup();
    EXPECT_EQ(seen.init_calls, 1);
    EXPECT_EQ(seen.cleanup_calls, 1);
    EXPECT_EQ(seen.cleanup_failed, 0);
    EXPECT_FALSE(seen.running_during_cleanup);
    EXPECT_EQ(module_->runtime, nullptr);
    /* The folders come from the registry file; a trailing slash is dropped. */
    EXPECT_EQ(std::string(agent_data_folder()), dir_ + "/data");
    EXPECT_EQ(std::string(agent_logs_folder()), dir_ + "/data/logs");
}

TEST_F(AgentMainTest, StartFailureRunsTheCleanupWithFailedSet)
{
    init_result = false;
    EXPECT_EQ(agent_main(state_, module_, 0, nullptr), 1);
    EXPECT_EQ(seen.cleanup_calls, 1);
    EXPECT_EQ(seen.cleanup_failed, 1);
}

TEST_F(AgentMainTest, ControlModeEndsRightAfterTheStart)
{
    config_->ctrl_mode = true;
    stop_in_init = true;
    config_->pidfile = g_strdup((dir_ + "/never.pid").c_str());
    EXPECT_EQ(agent_main(state_, module_, 0, nullptr), 0);
    EXPECT_EQ(seen.cleanup_failed, 0);
    EXPECT_FALSE(g_file_test(config_->pidfile, G_FILE_TEST_EXISTS)) << "no pid file in control mode";
}

TEST_F(AgentMainTest, UnwritablePidFileFailsWithoutCleanup)
{
    config_->pidfile = g_strdup((dir_ + "/registry/not-a-folder/hv.pid").c_str());
    EXPECT_EQ(agent_main(state_, module_, 0, nullptr), 1);
    EXPECT_EQ(seen.init_calls, 0);
    EXPECT_EQ(seen.cleanup_calls, 0);
    agent_config_cleanup();
}

TEST_F(AgentMainTest, TheUuidIsCheckedAndKept)
{
    config_->uuid = g_strdup("not-a-uuid");
    EXPECT_EQ(agent_main(state_, module_, 0, nullptr), 1);
    EXPECT_EQ(seen.init_calls, 0);
    EXPECT_EQ(seen.cleanup_failed, 1) << "a refused identity ends the start through the cleanup";

    g_free(config_->uuid);
    config_->uuid = g_strdup("6F9619FF-8B86-D011-B42D-00C04FC964FF");
    stop_in_init = true;
    EXPECT_EQ(agent_main(state_, module_, 0, nullptr), 0);
    EXPECT_EQ(hvtest::ReadFile(dir_ + "/data/config/agent-uuid"), "6f9619ff-8b86-d011-b42d-00c04fc964ff");
}

TEST_F(AgentMainTest, AnExplicitProfileFixesTheRotationFields)
{
    stop_in_init = true;
    EXPECT_EQ(agent_main(state_, module_, 0, nullptr), 0);
    EXPECT_TRUE(rotate_count_applied) << "without -x or the environment the count can change";
    EXPECT_EQ(rotate_count_error, "");
    EXPECT_EQ(rotate_count_seen, 3u);

    g_setenv("HV_LOGGING_PROFILE", "max", TRUE);
    bool is_explicit = false;
    logger_profile_t max = logger_get_profile(&is_explicit);
    ASSERT_TRUE(is_explicit);
    EXPECT_EQ(agent_main(state_, module_, 0, nullptr), 0);
    g_unsetenv("HV_LOGGING_PROFILE");
    EXPECT_FALSE(rotate_count_applied);
    EXPECT_EQ(rotate_count_error, "") << "refused without an error, as a handler refusal is";
    EXPECT_EQ(rotate_count_seen, max.count);
}

/* The enforcement module's address is used end to end in launcher_test; the rest of the table is data. */
TEST(ModuleTable, TheLastModuleAndTheBufferAreLimits)
{
    char buf[AGENT_PATH_MAX];
    EXPECT_STREQ(agent_module_display_name(6), "Bundle Updater");
    EXPECT_FALSE(agent_module_ipc_path(7, buf, sizeof buf));
    char tiny[8];
    EXPECT_FALSE(agent_module_ipc_path(0, tiny, sizeof tiny));
}
