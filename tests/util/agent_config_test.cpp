#include <gtest/gtest.h>
#include <glib.h>
#include <glib/gstdio.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <map>
#include <string>
#include <vector>

#include "agent-common/agent-main.h"
#include "agent-common/agent-metrics.h"
#include "agent-common/logger.h"
#include "qapi/qmp-common-commands.h"
#include "qapi/qmp-common-types.h"
#include "qapi/qmp-dispatch.h"
#include "qapi/qmp-registry.h"
#include "qobject/qbool.h"
#include "qobject/qdict.h"
#include "qobject/qjson.h"
#include "qobject/qlist.h"
#include "qobject/qstring.h"
#include "tests/common/hv-test-support.h"
#include "util/agent-config.h"
#include "util/error.h"
#include "util/persistent-config.h"

namespace {

using hvtest::LogRecord;

bool logged(const std::string &text, GLogLevelFlags level)
{
    return LogRecord::Logged(level, text);
}

bool logged_prefix(const std::string &prefix)
{
    return LogRecord::LoggedPrefix(hvtest::kAnyLevel, prefix);
}

/* Replies of the dispatcher: the result text, or the error message. */
struct Reply {
    std::string ret;
    std::string error;
};

Reply dispatch(const std::string &request)
{
    Error *err = nullptr;
    QObject *req = qobject_from_json(request.c_str(), &err);
    EXPECT_NE(req, nullptr) << request;
    char *ret = do_qmp_dispatch(req, &err);
    Reply r{ret ? ret : "", hvtest::TakeMessage(err)};
    g_free(ret);
    qobject_decref(req);
    return r;
}

Reply set_configuration(const std::string &fields_json)
{
    return dispatch(R"({"execute": "set-configuration", "arguments": {"fields": )" + fields_json +
                    "}}");
}

/* name -> JSON text of the one value, from a ConfigField array. */
std::map<std::string, std::string> fields_of(const std::string &json)
{
    std::map<std::string, std::string> out;
    Error *err = nullptr;
    QObject *doc = qobject_from_json(json.c_str(), &err);
    EXPECT_EQ(err, nullptr) << json;
    error_free(err);
    QList *list = qobject_to_qlist(doc);
    EXPECT_NE(list, nullptr) << json;
    for (const QListEntry *e = list ? qlist_first(list) : nullptr; e; e = qlist_next(e)) {
        QDict *dict = qobject_to_qdict(qlist_entry_obj(e));
        EXPECT_EQ(qdict_size(dict), 2u) << json;
        std::string name = qdict_get_str(dict, "name");
        EXPECT_EQ(out.count(name), 0u) << name;
        for (const char *member : {"int-value", "str-value", "bool-value"}) {
            if (QObject *value = qdict_get(dict, member)) {
                QString *text = qobject_to_json(value);
                out[name] = std::string(member) + "=" + qstring_get_str(text);
                qobject_decref(QOBJECT(text));
            }
        }
    }
    qobject_decref(doc);
    return out;
}

int g_int_calls;
uint64_t g_int_last_old, g_int_last_new;
bool g_refuse;
bool int_changed(const char *key, uint64_t old_value, uint64_t new_value, Error **errp)
{
    g_int_calls++;
    g_int_last_old = old_value;
    g_int_last_new = new_value;
    if (g_refuse) {
        error_setg(errp, "refused %s", key);
        return false;
    }
    return true;
}

int g_bool_calls;
bool bool_changed(const char *key, bool old_value, bool new_value, Error **errp)
{
    g_bool_calls++;
    if (g_refuse) {
        error_setg(errp, "refused %s", key);
        return false;
    }
    return true;
}

int g_str_calls;
std::string g_str_seen_old;
bool str_changed(const char *key, const char *old_value, const char *new_value, Error **errp)
{
    g_str_calls++;
    g_str_seen_old = old_value ? old_value : "(null)";
    if (g_refuse) {
        error_setg(errp, "refused %s", key);
        return false;
    }
    return true;
}

/* The lines the logger handed to its hook. */
std::vector<hvtest::LogLine> g_hooked;
void hook_log(GLogLevelFlags level, const char *message, size_t len)
{
    g_hooked.push_back({level, std::string(message, len)});
}

bool hooked(const std::string &text, GLogLevelFlags level)
{
    for (const hvtest::LogLine &l : g_hooked) {
        if (l.text == text && l.level == level) {
            return true;
        }
    }
    return false;
}

int g_verbose_calls;
bool g_verbose_last;
bool verbose_changed(bool verbose, Error **errp)
{
    g_verbose_calls++;
    g_verbose_last = verbose;
    if (g_refuse) {
        error_setg(errp, "module refused");
        return false;
    }
    return true;
}

/* A registry with one field of each form, a persistent file in a folder of its own and
 * the shared commands registered with the dispatcher. */
class AgentConfig : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        initialize_agent_metrics();
        qmp_register_common_commands();
    }
    static void TearDownTestSuite()
    {
        qmp_registry_cleanup();
        agent_metrics_cleanup();
    }

    void SetUp() override
    {
        g_int_calls = g_bool_calls = g_str_calls = 0;
        g_refuse = false;
        LogRecord::Install();
        dir_ = hvtest::MakeTempDir("agent-config");
        ASSERT_FALSE(dir_.empty());
        file_ = dir_ + "/enforcement.json";
        persistent_config_init(file_.c_str());
        ASSERT_TRUE(agent_config_init());
        register_fields();
    }

    void register_fields()
    {
        agent_config_register_int_range("agent.enforcement_mode", &mode_, 1, 5, int_changed);
        agent_config_register_int("dns.rate_limit", &rate_, int_changed);
        agent_config_register_bool("dns.enable", &dns_, bool_changed);
        agent_config_register_str("agent.roaming_domain_name", &domain_, str_changed, "", false);
        agent_config_register_str("agent.unset_name", &unset_, str_changed, nullptr, false);
    }

    void TearDown() override
    {
        agent_config_cleanup();
        EXPECT_EQ(domain_, nullptr);
        persistent_config_cleanup();
        LogRecord::Uninstall();
        hvtest::RemoveTree(dir_);
    }

    /* Reads the file and applies it as at a start; the error text, "" when both worked. */
    static std::string ApplyFile()
    {
        Error *err = nullptr;
        ConfigFieldList *fields = persistent_config_read(&err);
        if (!err) {
            EXPECT_TRUE(set_agents_configuration(fields, true, &err));
        }
        qapi_free_ConfigFieldList(fields);
        return hvtest::TakeMessage(err);
    }

    std::string dir_;
    std::string file_;
    uint64_t mode_ = 3;
    uint64_t rate_ = 1000;
    bool dns_ = true;
    char *domain_ = nullptr;
    char *unset_ = nullptr;
    char *secret_ = nullptr;
    char *secret2_ = nullptr;
};

} // namespace

TEST_F(AgentConfig, OutOfRangeIsRefusedAndKeepsTheValue)
{
    Reply r = set_configuration(R"([{"name": "agent.enforcement_mode", "int-value": 0}])");
    EXPECT_EQ(r.error, "can't set value for 'agent.enforcement_mode', out of range: 1 < 0 < 5");
    r = set_configuration(R"([{"name": "agent.enforcement_mode", "int-value": 6}])");
    EXPECT_EQ(r.error, "can't set value for 'agent.enforcement_mode', out of range: 1 < 6 < 5");
    EXPECT_TRUE(logged("[qmp_set_configuration] Error message: can't set value for "
                       "'agent.enforcement_mode', out of range: 1 < 6 < 5",
                       G_LOG_LEVEL_WARNING));
    /* A negative number is a huge unsigned one. */
    r = set_configuration(R"([{"name": "agent.enforcement_mode", "int-value": -1}])");
    EXPECT_EQ(r.error, "can't set value for 'agent.enforcement_mode', out of range: 1 < "
                       "18446744073709551615 < 5");
    EXPECT_EQ(mode_, 3u);
    EXPECT_EQ(g_int_calls, 0);
    EXPECT_EQ(hvtest::ReadFile(file_), "<missing>");

    r = set_configuration(R"([{"name": "agent.enforcement_mode", "int-value": 5}])");
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(r.ret, "{}");
    EXPECT_EQ(mode_, 5u);
    EXPECT_EQ(g_int_calls, 1);
    EXPECT_EQ(g_int_last_old, 3u);
    EXPECT_EQ(g_int_last_new, 5u);
    EXPECT_TRUE(logged("[config] updating agent integer configuration field "
                       "'agent.enforcement_mode' (3->5)",
                       G_LOG_LEVEL_MESSAGE));
}

TEST_F(AgentConfig, StopsAtTheFirstFailureAndWritesNothing)
{
    hvtest::WriteFile(file_, "[]");
    Reply r = set_configuration(R"([{"name": "dns.rate_limit", "int-value": 7},
                                    {"name": "no.such.key", "int-value": 1},
                                    {"name": "dns.enable", "bool-value": false}])");
    EXPECT_EQ(r.error, "can't set non-existing configuration key 'no.such.key'");
    EXPECT_EQ(rate_, 7u);
    EXPECT_TRUE(dns_);
    EXPECT_EQ(g_bool_calls, 0);
    EXPECT_EQ(hvtest::ReadFile(file_), "[]");
}

TEST_F(AgentConfig, ValueMembersMustMatchTheField)
{
    const std::pair<const char *, const char *> cases[] = {
        {R"({"name": "dns.rate_limit", "int-value": 1, "bool-value": true})",
         "multiple value types given for configuration key 'dns.rate_limit'"},
        {R"({"name": "dns.rate_limit"})",
         "multiple value types given for configuration key 'dns.rate_limit'"},
        {R"({"name": "dns.enable", "int-value": 1})",
         "can't set int value for not int configuration key 'dns.enable'"},
        {R"({"name": "dns.rate_limit", "str-value": "x"})",
         "can't set str value for not str configuration key 'dns.rate_limit'"},
        {R"({"name": "agent.roaming_domain_name", "bool-value": true})",
         "can't set bool value for not bool configuration key 'agent.roaming_domain_name'"},
    };
    for (const auto &[field, message] : cases) {
        EXPECT_EQ(set_configuration(std::string("[") + field + "]").error, message) << field;
    }
    EXPECT_EQ(g_int_calls + g_bool_calls + g_str_calls, 0);
    EXPECT_EQ(hvtest::ReadFile(file_), "<missing>");
}

TEST_F(AgentConfig, UnchangedValuesCallNoHandlerAndLogNothing)
{
    LogRecord::Clear();
    Reply r = set_configuration(R"([{"name": "dns.rate_limit", "int-value": 1000},
                                    {"name": "dns.enable", "bool-value": true},
                                    {"name": "agent.roaming_domain_name", "str-value": ""}])");
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(g_int_calls + g_bool_calls + g_str_calls, 0);
    EXPECT_FALSE(logged_prefix("[config]"));
    /* The call succeeded, so the listing was still written. */
    EXPECT_EQ(fields_of(hvtest::ReadFile(file_)).size(), 4u);
}

TEST_F(AgentConfig, ARefusedStringKeepsItsValueAndTheLaterEntriesApply)
{
    /* A refused number or switch keeps its value and stops the call: en_config_test, with the
     * enforcement fields. A refused string keeps its value but lets the later entries apply;
     * the call still fails and nothing is written. */
    g_refuse = true;
    Reply r = set_configuration(R"([{"name": "agent.roaming_domain_name", "str-value": "corp"},
                              {"name": "agent.enforcement_mode", "int-value": 2}])");
    EXPECT_EQ(r.error, "refused agent.roaming_domain_name");
    EXPECT_STREQ(domain_, "");
    EXPECT_EQ(g_str_calls, 1);
    EXPECT_EQ(g_int_calls, 1);
    EXPECT_EQ(mode_, 3u);
    g_refuse = false;
    r = set_configuration(R"([{"name": "agent.roaming_domain_name", "str-value": "corp"},
                              {"name": "agent.enforcement_mode", "int-value": 2}])");
    EXPECT_EQ(r.error, "");
    EXPECT_STREQ(domain_, "corp");
    EXPECT_EQ(mode_, 2u);
    EXPECT_TRUE(logged("[config] updating agent string configuration field "
                       "'agent.roaming_domain_name' ('' -> 'corp')",
                       G_LOG_LEVEL_MESSAGE));
}

TEST_F(AgentConfig, HandlerRefusingWithoutAnErrorStillFailsTheCommand)
{
    static bool called_after;
    called_after = false;
    uint64_t count = 10;
    agent_config_register_int(
        "agent.log_rotate_count", &count,
        [](const char *, uint64_t, uint64_t, Error **) { return false; });
    agent_config_register_bool("late", &dns_, [](const char *, bool, bool, Error **) {
        called_after = true;
        return true;
    });
    Reply r = set_configuration(R"([{"name": "agent.log_rotate_count", "int-value": 3},
                                    {"name": "late", "bool-value": false}])");
    EXPECT_EQ(r.error, "configuration change refused");
    EXPECT_EQ(count, 10u);
    EXPECT_FALSE(called_after);
    EXPECT_EQ(hvtest::ReadFile(file_), "<missing>");
}

TEST_F(AgentConfig, ListingsGiveValuesAndDefaults)
{
    ASSERT_EQ(set_configuration(R"([{"name": "agent.enforcement_mode", "int-value": 4},
                                    {"name": "dns.enable", "bool-value": false},
                                    {"name": "agent.unset_name", "str-value": "set now"}])")
                  .error,
              "");
    EXPECT_TRUE(logged("[config] updating agent boolean configuration field 'dns.enable' (true -> false)",
                       G_LOG_LEVEL_MESSAGE));
    std::map<std::string, std::string> current = {
        {"agent.enforcement_mode", "int-value=4"},
        {"dns.rate_limit", "int-value=1000"},
        {"dns.enable", "bool-value=false"},
        {"agent.roaming_domain_name", "str-value=\"\""},
        {"agent.unset_name", "str-value=\"set now\""},
    };
    EXPECT_EQ(fields_of(dispatch(R"({"execute": "get-configuration"})").ret), current);
    EXPECT_EQ(fields_of(hvtest::ReadFile(file_)), current);
    EXPECT_EQ(g_str_seen_old, "(null)");

    /* The default of a string registered without one is left out. */
    std::map<std::string, std::string> defaults = {
        {"agent.enforcement_mode", "int-value=3"},
        {"dns.rate_limit", "int-value=1000"},
        {"dns.enable", "bool-value=true"},
        {"agent.roaming_domain_name", "str-value=\"\""},
    };
    EXPECT_EQ(fields_of(dispatch(R"({"execute": "get-configuration-defaults"})").ret), defaults);
}

TEST_F(AgentConfig, WrittenFileRestoresTheValuesAtTheNextStart)
{
    ASSERT_EQ(set_configuration(R"([{"name": "dns.rate_limit", "int-value": -1},
                                    {"name": "agent.roaming_domain_name", "str-value": "a.b"}])")
                  .error,
              "");
    std::string written = hvtest::ReadFile(file_);

    agent_config_cleanup();
    rate_ = 1000;
    agent_config_init();
    register_fields();
    EXPECT_EQ(ApplyFile(), "");
    EXPECT_EQ(rate_, UINT64_MAX);
    EXPECT_STREQ(domain_, "a.b");
    EXPECT_EQ(hvtest::ReadFile(file_), written);
}

TEST_F(AgentConfig, RegistryLifecycle)
{
    EXPECT_TRUE(agent_config_init());
    uint64_t other = 42;
    agent_config_register_int("dns.rate_limit", &other, nullptr);
    EXPECT_TRUE(logged("[config] configuration field 'dns.rate_limit' added more than once",
                       G_LOG_LEVEL_WARNING));
    ASSERT_EQ(set_configuration(R"([{"name": "dns.rate_limit", "int-value": 43}])").error, "");
    EXPECT_EQ(other, 43u);
    EXPECT_EQ(rate_, 1000u);
    EXPECT_EQ(g_int_calls, 0);

    agent_config_cleanup();
    agent_config_cleanup();
    EXPECT_EQ(set_configuration(R"([{"name": "dns.rate_limit", "int-value": 1}])").error,
              "can't set non-existing configuration key 'dns.rate_limit'");
    EXPECT_EQ(dispatch(R"({"execute": "get-configuration"})").ret, "[]");
}

TEST_F(AgentConfig, ProtectedStringsAreNeverLoggedAndStoredEncoded)
{
    agent_config_register_str("agent.secret", &secret_, nullptr, "initial", true);
    ASSERT_EQ(set_configuration(R"([{"name": "agent.secret", "str-value": "s3cr3t"}])").error, "");
    EXPECT_STREQ(secret_, "s3cr3t");
    EXPECT_EQ(fields_of(dispatch(R"({"execute": "get-configuration"})").ret)["agent.secret"],
              "str-value=\"s3cr3t\"");
    std::string stored = fields_of(hvtest::ReadFile(file_))["agent.secret"];
    EXPECT_EQ(stored.find("s3cr3t"), std::string::npos) << stored;
    for (const std::string &text : LogRecord::Texts()) {
        EXPECT_EQ(text.find("s3cr3t"), std::string::npos) << text;
        EXPECT_EQ(text.find("'initial'"), std::string::npos) << text;
    }
    EXPECT_TRUE(logged("[config] updating agent string configuration field 'agent.secret'",
                       G_LOG_LEVEL_MESSAGE));

    /* Registered again, as at the next start: the file gives the value encoded. */
    agent_config_register_str("agent.secret", &secret2_, nullptr, "initial", true);
    EXPECT_EQ(secret_, nullptr);
    EXPECT_EQ(ApplyFile(), "");
    EXPECT_STREQ(secret2_, "s3cr3t");
}

TEST_F(AgentConfig, FileOfMoreThan65535BytesIsIgnored)
{
    std::string body = R"([{"name": "dns.rate_limit", "int-value": 5}])";
    std::string at_limit = body + std::string(65535 - body.size(), ' ');
    hvtest::WriteFile(file_, at_limit);
    Error *err = nullptr;
    ConfigFieldList *fields = persistent_config_read(&err);
    ASSERT_NE(fields, nullptr);
    EXPECT_EQ(fields->value->int_value, 5);
    qapi_free_ConfigFieldList(fields);

    hvtest::WriteFile(file_, at_limit + " ");
    EXPECT_EQ(persistent_config_read(&err), nullptr);
    EXPECT_EQ(err, nullptr);
    EXPECT_TRUE(logged("[persistent-config] Config file is too big 65536", G_LOG_LEVEL_WARNING));
}

TEST_F(AgentConfig, FileElementsWithoutNameOrValueAreSkipped)
{
    hvtest::WriteFile(file_, R"([{"name": "dns.rate_limit"}, 17, {"int-value": 3},
        {"name": "agent.enforcement_mode", "int-value": "2"},
        {"name": "agent.enforcement_mode", "int-value": 2},
        {"name": "dns.enable", "bool-value": false},
        {"name": "agent.roaming_domain_name", "str-value": "x"},
        {"name": "dns.rate_limit", "int-value": 9223372036854775808}])");
    Error *err = nullptr;
    ConfigFieldList *fields = persistent_config_read(&err);
    ASSERT_EQ(err, nullptr);
    std::vector<std::string> names;
    for (ConfigFieldList *n = fields; n; n = n->next) {
        names.push_back(n->value->name);
    }
    /* Last in the file comes first. */
    EXPECT_EQ(names, (std::vector<std::string>{"dns.rate_limit", "agent.roaming_domain_name",
                                               "dns.enable", "agent.enforcement_mode"}));
    EXPECT_TRUE(logged("[persistent-config] Can't get item from JSON", G_LOG_LEVEL_DEBUG));
    EXPECT_TRUE(logged("[persistent-config] Invalid integer value for dns.rate_limit (out of "
                       "range: 9223372036854775808), fallback to max 9223372036854775807",
                       G_LOG_LEVEL_DEBUG));

    EXPECT_TRUE(set_agents_configuration(fields, true, &err));
    qapi_free_ConfigFieldList(fields);
    EXPECT_EQ(rate_, 9223372036854775807u);
    EXPECT_EQ(mode_, 2u);
    EXPECT_FALSE(dns_);
    EXPECT_STREQ(domain_, "x");
}

TEST_F(AgentConfig, UnusableFilesLeaveTheDefaults)
{
    const std::pair<const char *, const char *> malformed[] = {
        {"[{\"name\": ", "Invalid format of configuration in JSON file: "},
        {"  \n", "Invalid format of JSON file"},
        {R"({"name": "dns.enable", "bool-value": false})", "Invalid format of JSON file"},
    };
    for (const auto &[text, message] : malformed) {
        hvtest::WriteFile(file_, text);
        Error *err = nullptr;
        EXPECT_EQ(persistent_config_read(&err), nullptr);
        EXPECT_EQ(hvtest::TakeMessage(err).rfind(message, 0), 0u) << text;
    }
    EXPECT_TRUE(logged("[persistent-config] Invalid format of JSON file", G_LOG_LEVEL_WARNING));

    Error *err = nullptr;
    g_unlink(file_.c_str());
    EXPECT_EQ(persistent_config_read(&err), nullptr);
    EXPECT_EQ(err, nullptr);
    EXPECT_TRUE(logged("[persistent-config] Configuration file '" + file_ + "' doesn't exist",
                       G_LOG_LEVEL_DEBUG));

    hvtest::WriteFile(file_, "[]");
    persistent_config_init((file_ + "/below-a-file.json").c_str());
    EXPECT_EQ(persistent_config_read(&err), nullptr);
    EXPECT_NE(hvtest::TakeMessage(err), "");
    EXPECT_TRUE(logged_prefix("[persistent-config] Failed reading configuration file '" + file_ +
                              "/below-a-file.json' size: "));
}

TEST_F(AgentConfig, FailedWriteKeepsThePreviousFile)
{
    ConfigFieldList *all = agent_config_list(false, true);
    Error *err = nullptr;

    /* A fresh install has no config folder yet: the first write creates it. */
    const std::string fresh = dir_ + "/missing/enforcement.json";
    persistent_config_init(fresh.c_str());
    EXPECT_TRUE(persistent_config_write(all, &err));
    EXPECT_EQ(fields_of(hvtest::ReadFile(fresh)).size(), 4u);
    g_unlink(fresh.c_str());
    g_rmdir((dir_ + "/missing").c_str());

    persistent_config_init((file_ + "/below-a-file.json").c_str());
    hvtest::WriteFile(file_, "[]");
    EXPECT_FALSE(persistent_config_write(all, &err));
    EXPECT_TRUE(logged_prefix("[persistent-config] Can't write JSON to file: "));

    /* Writing stops part way (file size limit): the old content stays whole and no
     * temporary file is left behind. */
    persistent_config_init(file_.c_str());
    hvtest::WriteFile(file_, "[]");
    bool ok = hvtest::WithFileSizeLimit(16, [&] { return persistent_config_write(all, &err); });
    EXPECT_FALSE(ok);
    EXPECT_EQ(hvtest::ReadFile(file_), "[]");
    EXPECT_EQ(hvtest::ListDir(dir_), std::vector<std::string>{"enforcement.json"});

    if (geteuid() != 0) {
        ASSERT_EQ(g_chmod(dir_.c_str(), 0500), 0);
        EXPECT_FALSE(persistent_config_write(all, &err));
        g_chmod(dir_.c_str(), 0700);
        EXPECT_EQ(hvtest::ReadFile(file_), "[]");
    }
    EXPECT_EQ(err, nullptr);

    EXPECT_TRUE(persistent_config_write(all, &err));
    EXPECT_EQ(fields_of(hvtest::ReadFile(file_)).size(), 4u);
    EXPECT_EQ(hvtest::ListDir(dir_), std::vector<std::string>{"enforcement.json"});
    qapi_free_ConfigFieldList(all);
}

TEST_F(AgentConfig, FileNameFromTheDataFolder)
{
    std::string registry = dir_ + "/registry";
    g_setenv("HV_REGISTRY_FILE", registry.c_str(), TRUE);
    hvtest::WriteFile(registry, "HV_DATA_FOLDER=" + dir_ + "\n");
    EXPECT_TRUE(persistent_config_init_in_data_folder(nullptr, "enforcement.json"));
    EXPECT_STREQ(persistent_config_file(), (dir_ + "/config/enforcement.json").c_str());

    hvtest::WriteFile(registry, "HV_DATA_FOLDER=/" + std::string(250, 'd') + "\n");
    EXPECT_FALSE(persistent_config_init_in_data_folder(nullptr, "enforcement.json"));
    EXPECT_EQ(persistent_config_file(), nullptr);
    EXPECT_TRUE(logged("[persistent-config] Error setting config file name 'enforcement.json'",
                       G_LOG_LEVEL_WARNING));

    /* Empty or the root, the file would be "/config/enforcement.json"; relative, under the
     * working directory. */
    for (const char *content : std::initializer_list<const char *>{"HV_DATA_FOLDER=\n", "HV_DATA_FOLDER=/\n",
                                                                   "HV_DATA_FOLDER=//\n", "HV_DATA_FOLDER=data\n",
                                                                   nullptr}) {
        if (content) {
            hvtest::WriteFile(registry, content);
        } else {
            g_unlink(registry.c_str());
        }
        EXPECT_FALSE(persistent_config_init_in_data_folder(nullptr, "enforcement.json")) << content;
        EXPECT_EQ(persistent_config_file(), nullptr);
    }
    EXPECT_TRUE(logged("[persistent-config] Unable to get Holvenstad program data folder",
                       G_LOG_LEVEL_WARNING));
    g_unsetenv("HV_REGISTRY_FILE");
}

TEST_F(AgentConfig, AnOversizedResultIsRefusedBeforeAnythingApplies)
{
    ASSERT_EQ(set_configuration(R"([{"name": "dns.rate_limit", "int-value": 7}])").error, "");
    const std::string before = hvtest::ReadFile(file_);
    /* Sizes around the limit: the domain takes what the other fields leave of 65535 bytes. */
    const size_t room = 65535 - before.size();
    const struct {
        size_t length;
        bool fits;
    } cases[] = {{room, true}, {room + 1, false}, {70000, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.length);
        g_str_calls = g_int_calls = 0;
        std::string fields = R"([{"name": "agent.roaming_domain_name", "str-value": ")" + std::string(c.length, 'd') +
                             R"("}, {"name": "dns.rate_limit", "int-value": 9}])";
        Reply r = set_configuration(fields);
        if (c.fits) {
            EXPECT_EQ(r.error, "");
            EXPECT_EQ(hvtest::ReadFile(file_).size(), 65535u);
            EXPECT_EQ(rate_, 9u);
            ASSERT_EQ(set_configuration(R"([{"name": "agent.roaming_domain_name", "str-value": ""},
                                            {"name": "dns.rate_limit", "int-value": 7}])").error,
                      "");
            continue;
        }
        EXPECT_NE(r.error.find("exceeds the limit of 65535 bytes"), std::string::npos) << r.error.substr(0, 200);
        EXPECT_EQ(g_str_calls + g_int_calls, 0) << "no handler ran";
        EXPECT_STREQ(domain_, "");
        EXPECT_EQ(rate_, 7u);
        EXPECT_EQ(hvtest::ReadFile(file_), before);
    }
}

TEST_F(AgentConfig, EachStoredFieldLoadsOnItsOwnAndARefusedOneStaysInTheFile)
{
    /* A field a start refuses (as a command-line flag does) sits between fields that load. */
    static bool s_locked;
    s_locked = true;
    uint64_t count = 8;
    agent_config_register_int("agent.log_rotate_count", &count,
                              [](const char *, uint64_t, uint64_t, Error **) { return !s_locked; });
    hvtest::WriteFile(file_, R"([{"name": "dns.rate_limit", "int-value": 5},
        {"name": "agent.enforcement_mode", "int-value": 9},
        {"name": "agent.log_rotate_count", "int-value": 4},
        {"name": "agent.roaming_domain_name", "str-value": "corp"}])");
    Error *err = nullptr;
    ConfigFieldList *fields = persistent_config_read(&err);
    ASSERT_NE(fields, nullptr);
    EXPECT_FALSE(set_agents_configuration(fields, true, &err));
    qapi_free_ConfigFieldList(fields);
    /* The file is applied last element first. */
    EXPECT_EQ(hvtest::TakeMessage(err),
              "skipped 'agent.log_rotate_count' (refused by the field's change handler), 'agent.enforcement_mode' "
              "(can't set value for 'agent.enforcement_mode', out of range: 1 < 9 < 5)");
    EXPECT_TRUE(logged("[config] skipping stored configuration field 'agent.log_rotate_count': refused by the "
                       "field's change handler",
                       G_LOG_LEVEL_WARNING));
    EXPECT_EQ(rate_, 5u);
    EXPECT_STREQ(domain_, "corp");
    EXPECT_EQ(count, 8u);
    EXPECT_EQ(mode_, 3u);

    /* A change of another field rewrites the file with the refused stored value; setting the
     * field itself replaces it. */
    ASSERT_EQ(set_configuration(R"([{"name": "dns.enable", "bool-value": false}])").error, "");
    EXPECT_EQ(fields_of(hvtest::ReadFile(file_))["agent.log_rotate_count"], "int-value=4");
    EXPECT_EQ(fields_of(hvtest::ReadFile(file_))["agent.enforcement_mode"], "int-value=9");
    s_locked = false;
    ASSERT_EQ(set_configuration(R"([{"name": "agent.log_rotate_count", "int-value": 6}])").error, "");
    EXPECT_EQ(fields_of(hvtest::ReadFile(file_))["agent.log_rotate_count"], "int-value=6");
}

TEST_F(AgentConfig, UnknownAndWrongTypedStoredFieldsStayInTheFileAsStored)
{
    /* A field of a newer version, a known field stored with another type, and a large field
     * of a newer version the size limit must go on counting. */
    const std::string large(64000, 'x');
    hvtest::WriteFile(file_, R"([{"name": "future.field", "int-value": 5},
        {"name": "agent.unset_name", "bool-value": true},
        {"name": "future.text", "str-value": ")" + large + R"("},
        {"name": "dns.rate_limit", "int-value": 5}])");
    Error *err = nullptr;
    ConfigFieldList *fields = persistent_config_read(&err);
    ASSERT_NE(fields, nullptr);
    EXPECT_FALSE(set_agents_configuration(fields, true, &err));
    qapi_free_ConfigFieldList(fields);
    EXPECT_EQ(hvtest::TakeMessage(err),
              "skipped 'future.text' (can't set non-existing configuration key 'future.text'), 'agent.unset_name' "
              "(can't set bool value for not bool configuration key 'agent.unset_name'), 'future.field' (can't set "
              "non-existing configuration key 'future.field')");
    EXPECT_EQ(rate_, 5u);
    EXPECT_EQ(unset_, nullptr);

    ASSERT_EQ(set_configuration(R"([{"name": "dns.rate_limit", "int-value": 9}])").error, "");
    std::map<std::string, std::string> stored = fields_of(hvtest::ReadFile(file_));
    EXPECT_EQ(stored["future.field"], "int-value=5");
    EXPECT_EQ(stored["agent.unset_name"], "bool-value=true");
    EXPECT_EQ(stored["future.text"], "str-value=\"" + large + "\"");
    EXPECT_EQ(stored["dns.rate_limit"], "int-value=9");

    /* The kept fields leave too little room for this one. */
    Reply r = set_configuration(R"([{"name": "agent.roaming_domain_name", "str-value": ")" +
                                std::string(2000, 'd') + R"("}])");
    EXPECT_NE(r.error.find("exceeds the limit of 65535 bytes"), std::string::npos) << r.error.substr(0, 200);
    EXPECT_STREQ(domain_, "");
}

TEST_F(AgentConfig, LogVerboseFieldSetsTheLoggerLevel)
{
    agent_config_t config{};
    agent_module_t module{};
    agent_state_t state{};
    module.log_verbose_cb = verbose_changed;
    state.config = &config;
    g_hv_agent = &module;
    ga_state = &state;
    g_verbose_calls = 0;
    g_hooked.clear();
    ASSERT_TRUE(start_logger(LOGGER_LEVELS_DEFAULT, (dir_ + "/agent.log").c_str()));
    logger_set_hook(hook_log);
    bool verbose = false;
    agent_config_register_bool("agent.log_verbose", &verbose, update_agent_log_verbose);
    guint revert = g_timeout_add_seconds(3600, [](gpointer) { return G_SOURCE_REMOVE; }, nullptr);
    state.verbose_revert_timer = revert;
    auto set_verbose = [](bool on) {
        return set_configuration(std::string(R"([{"name": "agent.log_verbose", "bool-value": )") +
                                 (on ? "true" : "false") + "}]")
            .error;
    };

    EXPECT_EQ(set_verbose(true), "");
    EXPECT_EQ(logger_get_level(), static_cast<uint32_t>(LOGGER_LEVELS_ALL));
    EXPECT_EQ(state.verbose_revert_timer, 0u);
    EXPECT_EQ(g_main_context_find_source_by_id(nullptr, revert), nullptr);
    EXPECT_EQ(g_verbose_calls, 1);
    EXPECT_TRUE(g_verbose_last);
    EXPECT_TRUE(
        hooked("[agents-main] setting agent log verbose=true", G_LOG_LEVEL_MESSAGE));

    /* The call agent_main makes at start with the value it already has. */
    Error *err = nullptr;
    EXPECT_TRUE(update_agent_log_verbose("agent.log_verbose", true, true, &err));
    EXPECT_TRUE(hooked("[agents-main] ignoring log level update unchanged (verbose=true)",
                       G_LOG_LEVEL_MESSAGE));
    EXPECT_EQ(g_verbose_calls, 1);

    /* Started with -v: switching verbose off keeps every level. */
    config.log_level = LOGGER_LEVELS_ALL;
    EXPECT_EQ(set_verbose(false), "");
    EXPECT_TRUE(hooked("[agents-main] ignoring log level update overridden by flag "
                       "(verbose=false)",
                       G_LOG_LEVEL_DEBUG));
    EXPECT_EQ(logger_get_level(), static_cast<uint32_t>(LOGGER_LEVELS_ALL));
    EXPECT_EQ(g_verbose_calls, 1);
    EXPECT_FALSE(verbose);

    config.log_level = 0;
    EXPECT_EQ(set_verbose(true), "");
    EXPECT_EQ(set_verbose(false), "");
    EXPECT_EQ(logger_get_level(), static_cast<uint32_t>(LOGGER_LEVELS_DEFAULT));
    EXPECT_EQ(g_verbose_calls, 3);
    EXPECT_FALSE(g_verbose_last);

    /* The module's refusal puts the old value back. */
    g_refuse = true;
    EXPECT_EQ(set_verbose(true),
              "module refused");
    EXPECT_FALSE(verbose);

    logger_set_hook(nullptr);
    stop_logger();
    g_hv_agent = nullptr;
    ga_state = nullptr;
}
