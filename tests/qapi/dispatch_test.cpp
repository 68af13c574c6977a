#include <gtest/gtest.h>
#include <glib.h>
#include <zstd.h>

#include <string>
#include <vector>

#include "agent-common/agent-metrics.h"
#include "qapi/qmp-common-commands.h"
#include "qapi/qmp-dispatch.h"
#include "qapi/qmp-registry.h"
#include "qobject/qdict.h"
#include "qobject/qjson.h"
#include "qobject/qlist.h"
#include "qobject/qstring.h"
#include "qapi-test-helpers.h"

namespace {

struct Outcome {
    std::string line;  /* the framed reply */
    std::string klass; /* error class, when it failed */
    std::string desc;
};

Outcome dispatch(const std::string &request)
{
    QObject *req = parse_json(request.c_str());
    Error *err = nullptr;
    char *ret = do_qmp_dispatch(req, &err);
    Outcome out;
    if (err) {
        EXPECT_EQ(ret, nullptr);
        char *body = qmp_error_object(err);
        char *line = qmp_format_reply(QMP_REPLY_ERROR, body);
        out.line = line;
        out.klass = ErrorClass_lookup[error_get_class(err)];
        out.desc = error_get_message(err);
        g_free(line);
        g_free(body);
        error_free(err);
    } else if (ret) {
        char *line = qmp_format_reply(QMP_REPLY_RETURN, ret);
        out.line = line;
        g_free(line);
    }
    g_free(ret);
    qobject_decref(req);
    return out;
}

std::string base64_zstd(const std::string &text)
{
    std::string frame(ZSTD_compressBound(text.size()), '\0');
    size_t n = ZSTD_compress(frame.data(), frame.size(), text.data(), text.size(), 3);
    EXPECT_FALSE(ZSTD_isError(n));
    gchar *b64 = g_base64_encode(reinterpret_cast<const guchar *>(frame.data()), n);
    std::string out = b64;
    g_free(b64);
    return out;
}

std::string compressed_request(const std::string &command, const std::string &b64, size_t size,
                               const std::string &extra = "")
{
    return "{\"execute\": \"" + command + "\", \"compressed_args\": \"" + b64 +
           "\", \"decompressed_args_size\": " + std::to_string(size) + extra + "}";
}

int g_fail_calls;
void failing_command(QDict *, char **ret, Error **errp)
{
    g_fail_calls++;
    *ret = g_strdup("{\"partial\": true}");
    error_setg(errp, "quote \" and\ttab");
}

class Dispatch : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        initialize_agent_metrics();
        qmp_register_common_commands();
        qmp_register_command("test-fail", failing_command, 0);
        qmp_register_command("test-disabled", failing_command, 0);
        qmp_disable_command("test-disabled");
    }
    static void TearDownTestSuite()
    {
        qmp_registry_cleanup();
        agent_metrics_cleanup();
    }
};

} // namespace

TEST_F(Dispatch, UnknownCommandIsCountedAndNamed)
{
    uint64_t calls = agent_metrics_get("qmp-commands.calls.%s", "no-such");
    uint64_t missing = agent_metrics_get("qmp-commands.missing-cmd.%s", "no-such");
    Outcome o = dispatch(R"({"execute": "no-such"})");
    EXPECT_EQ(o.klass, "CommandNotFound");
    EXPECT_EQ(o.desc, "The command no-such has not been found");
    EXPECT_EQ(agent_metrics_get("qmp-commands.calls.%s", "no-such"), calls + 1);
    EXPECT_EQ(agent_metrics_get("qmp-commands.missing-cmd.%s", "no-such"), missing + 1);

    /* The framed line is one valid JSON object. */
    QObject *reply = parse_json(o.line.c_str());
    QDict *error = qdict_get_qdict(qobject_to_qdict(reply), "error");
    EXPECT_STREQ(qdict_get_str(error, "class"), "CommandNotFound");
    EXPECT_TRUE(qdict_haskey(error, "file") && qdict_haskey(error, "func") && qdict_haskey(error, "line"));
    qobject_decref(reply);
}

TEST_F(Dispatch, MalformedRequestsRunNothingAndCountNothing)
{
    const std::pair<const char *, const char *> cases[] = {
        {"[1]", "Expected 'request is not a dictionary' in QMP input"},
        {"{}", "Expected 'execute' in QMP input"},
        {R"({"execute": 1})", "QMP input object member 'execute' expects 'string'"},
        {R"({"arguments": {}})", "Expected 'execute' in QMP input"},
        {R"({"execute": "test-fail", "id": 1})", "QMP input object member 'id' is unexpected"},
        {R"({"execute": "test-fail", "arguments": [1]})", "QMP input object member 'arguments' expects 'object'"},
        {R"({"execute": "test-fail", "compressed_args": 5, "decompressed_args_size": 1})",
         "QMP input object member 'compressed_args' expects 'string'"},
        {R"({"execute": "test-fail", "compressed_args": "AAAA", "decompressed_args_size": -1})",
         "QMP input object member 'decompressed_args_size' expects 'uint'"},
        {R"({"execute": "test-fail", "compressed_args": "AAAA", "arguments": {}})",
         "Expected 'decompressed_args_size' in QMP input"},
        {R"({"execute": "test-fail", "decompressed_args_size": 4})", "Expected 'compressed_args' in QMP input"},
    };
    for (const auto &[request, desc] : cases) {
        Outcome o = dispatch(request);
        EXPECT_EQ(o.klass, "GenericError") << request;
        EXPECT_EQ(o.desc, desc) << request;
    }
    EXPECT_EQ(g_fail_calls, 0);
    EXPECT_EQ(agent_metrics_get("qmp-commands.calls.%s", "test-fail"), 0u);
}

TEST_F(Dispatch, HandlerErrorsAreCountedAndEscaped)
{
    int before = g_fail_calls;
    Outcome o = dispatch(R"({"execute": "test-fail"})");
    EXPECT_EQ(g_fail_calls, before + 1);
    EXPECT_EQ(o.desc, "quote \" and\ttab");
    EXPECT_NE(o.line.find(R"("desc": "quote \" and\ttab")"), std::string::npos) << o.line;
    EXPECT_GE(agent_metrics_get("qmp-commands.dispatch.error.%s", "test-fail"), 1u);

    o = dispatch(R"({"execute": "test-disabled"})");
    EXPECT_EQ(o.desc, "The command test-disabled has been disabled for this instance");
    EXPECT_EQ(agent_metrics_get("qmp-commands.disabled.%s", "test-disabled"), 1u);
}

TEST(ErrorObject, LocationStringsAreEscaped)
{
    Error *err = nullptr;
    error_set_internal(&err, "C:\\src\\\"odd\".cpp", "fn", 12, ERROR_CLASS_NOT_IMPLEMENTED, "x");
    char *body = qmp_error_object(err);
    EXPECT_STREQ(body, R"({"class": "NotImplemented", "desc": "x", "file": "C:\\src\\\"odd\".cpp", "func": "fn", "line": 12})");
    QObject *parsed = parse_json(body);
    EXPECT_STREQ(qdict_get_str(qobject_to_qdict(parsed), "file"), "C:\\src\\\"odd\".cpp");
    qobject_decref(parsed);
    g_free(body);
    error_free(err);
}

TEST_F(Dispatch, CompressedArguments)
{
    const std::string args = R"({"id": 42})";
    const std::string b64 = base64_zstd(args);
    /* Used instead of "arguments", and a larger size is fine. */
    EXPECT_EQ(dispatch(compressed_request("sync", b64, args.size(), R"(, "arguments": {"id": 1})")).line,
              "{\"return\": 42}\n");
    EXPECT_EQ(dispatch(compressed_request("sync", b64, args.size() + 100)).line, "{\"return\": 42}\n");

    const std::pair<std::string, std::string> cases[] = {
        {compressed_request("sync", b64, args.size() - 1),
         "can't parse compressed args: error decompressing args: Destination buffer is too small"},
        {compressed_request("sync", "not base64!", 10),
         "can't parse compressed args: failed converting compressed_args from base64 to string"},
        {compressed_request("sync", "QUJD", 10), /* "ABC": too short for a frame */
         "can't parse compressed args: error decompressing args: Src size is incorrect"},
        {compressed_request("sync", b64.substr(0, 12), args.size()), /* a cut frame */
         "can't parse compressed args: error decompressing args: Src size is incorrect"},
        {compressed_request("sync", base64_zstd("[1, 2]"), 6),
         "can't parse compressed args: failed checking decompressed args: Expected 'decompressed args "
         "are not a dictionary' in QMP input"},
        {compressed_request("sync", base64_zstd("{\"id\": "), 7),
         "can't parse compressed args: can't read decompressed json: JSON parse error, Missing value in dict"},
        {compressed_request("sync", b64, 1ull << 40),
         "can't parse compressed args: error decompressing args: decompressed size too large"},
    };
    for (const auto &[request, desc] : cases) {
        EXPECT_EQ(dispatch(request).desc, desc) << request;
    }
    /* Not a zstd frame at all: the library's own reason follows. */
    Outcome o = dispatch(compressed_request("sync", "aGVsbG8gd29ybGQ=", 10)); /* "hello world" */
    EXPECT_EQ(o.desc.rfind("can't parse compressed args: error decompressing args: ", 0), 0u) << o.desc;
}

/* Base64 as common encoders write it: a final line feed, lines of 76 (CR LF for MIME). */
TEST_F(Dispatch, CompressedArgumentsMayCarryWhiteSpaceButNoOtherStrayCharacter)
{
    std::string message;
    uint32_t x = 12345;
    for (int i = 0; i < 300; i++) {
        x = x * 1103515245u + 12345u;
        message += static_cast<char>('a' + (x >> 16) % 26);
    }
    const std::string args = R"({"message": ")" + message + "\"}";
    const std::string b64 = base64_zstd(args);
    ASSERT_GT(b64.size(), 152u) << "three lines at least";
    auto wrapped = [&b64](const std::string &eol) {
        std::string out;
        for (size_t i = 0; i < b64.size(); i += 76) {
            out += b64.substr(i, 76) + eol;
        }
        return out;
    };
    for (const std::string &text : {b64 + "\\n", wrapped("\\n"), wrapped("\\r\\n"), " \\t" + b64 + " \\f\\r"}) {
        EXPECT_EQ(dispatch(compressed_request("log-message", text, args.size())).line, "{\"return\": {}}\n") << text;
    }
    EXPECT_EQ(dispatch(compressed_request("sync", base64_zstd(R"({"id": 5})") + "\\n", 9)).line,
              "{\"return\": 5}\n");

    const std::string refused = "can't parse compressed args: failed converting compressed_args from base64 to string";
    std::string middle_padding = b64.substr(0, 8);
    middle_padding.replace(6, 2, "==");
    /* Each but the last two keeps a whole number of 4-symbol groups: only the character is wrong. */
    std::string wrapped_star = wrapped("\\n");
    wrapped_star[100] = '*';
    const std::string stray[] = {wrapped_star,
                                 b64.substr(0, 40) + "." + b64.substr(41),
                                 b64.substr(0, 40) + "-" + b64.substr(41),
                                 middle_padding + b64,
                                 b64.substr(0, 40) + "\\u00a0" + b64.substr(42),
                                 "\\n \\t",
                                 b64.substr(0, b64.size() - 1) + "\\n"};
    for (const std::string &text : stray) {
        EXPECT_EQ(dispatch(compressed_request("log-message", text, args.size())).desc, refused) << text;
    }
}

TEST_F(Dispatch, LogCommandsWriteTheirMessage)
{
    hvtest::ScopedLogRecord log;
    dispatch(R"({"execute": "log-error", "arguments": {"message": "disk full"}})");
    dispatch(R"({"execute": "log-message", "arguments": {"message": "hello"}})");
    dispatch(R"({"execute": "sync", "arguments": {"id": 5}})");
    Outcome missing = dispatch(R"({"execute": "log-message", "arguments": {}})");
    EXPECT_EQ(log.Texts(G_LOG_LEVEL_MESSAGE), (std::vector<std::string>{"[common qapi] server error message: disk full",
                                                "[common qapi] server message: hello",
                                                "[common qapi] sync request: 5"}));
    EXPECT_EQ(missing.desc, "Invalid parameter type for 'message', expected: string, got: null");
}

namespace {
std::vector<std::pair<std::string, uint64_t>> metrics(const std::string &args)
{
    QObject *req = parse_json(("{\"execute\": \"get-agent-metrics\", \"arguments\": " + args + "}").c_str());
    Error *err = nullptr;
    char *ret = do_qmp_dispatch(req, &err);
    qobject_decref(req);
    std::vector<std::pair<std::string, uint64_t>> out;
    EXPECT_EQ(hvtest::TakeMessage(err), "");
    if (!ret) {
        return out;
    }
    QObject *list = parse_json(ret);
    g_free(ret);
    for (const QListEntry *e = qlist_first(qobject_to_qlist(list)); e; e = qlist_next(e)) {
        QDict *m = qobject_to_qdict(qlist_entry_obj(e));
        std::string name = qdict_get_str(m, "name");
        if (name.rfind("test.", 0) == 0 || name.rfind("qobjects.", 0) == 0) {
            out.emplace_back(name, qdict_get_uint(m, "value"));
        }
    }
    qobject_decref(list);
    return out;
}
} // namespace

TEST_F(Dispatch, MetricsAreResetAfterReadingUnlessCleanIsFalse)
{
    agent_metrics_add("test.%s", 3, "a");
    agent_metrics_add("test.%s", 2, "a");
    EXPECT_EQ(metrics("{\"clean\": false}"), (std::vector<std::pair<std::string, uint64_t>>{{"test.a", 5}}));
    EXPECT_EQ(metrics("{}"), (std::vector<std::pair<std::string, uint64_t>>{{"test.a", 5}}));
    agent_metrics_add("test.%s", 1, "a");
    EXPECT_EQ(metrics("{}"), (std::vector<std::pair<std::string, uint64_t>>{{"test.a", 1}}));

    agent_metrics_set("test.b", 9);
    agent_metrics_reset("test.a");
    EXPECT_EQ(agent_metrics_get("test.b"), 9u);
    agent_metrics_remove("test.b");
    EXPECT_EQ(metrics("{\"clean\": false}"), (std::vector<std::pair<std::string, uint64_t>>{{"test.a", 0}}));

    auto with_values = metrics("{\"include-qobjects\": true}");
    size_t qobject_entries = 0;
    for (const auto &[name, value] : with_values) {
        qobject_entries += name.rfind("qobjects.", 0) == 0;
    }
    EXPECT_EQ(qobject_entries, 8u * 4);
    EXPECT_EQ(with_values[1].first, "qobjects.qnull.active-objects-count");

    EXPECT_EQ(dispatch(R"({"execute": "clear-agent-metrics"})").line, "{\"return\": {}}\n");
    EXPECT_EQ(dispatch(R"({"execute": "guest-get-agent-metrics", "arguments": {"clean": false}})").line.find("test.a"),
              std::string::npos);
}

TEST_F(Dispatch, MetricFiltersAreNotImplemented)
{
    Outcome o = dispatch(R"({"execute": "get-agent-metrics", "arguments": {"include-qobjects": true, "starts-with": "x"}})");
    EXPECT_EQ(o.klass, "NotImplemented");
    EXPECT_EQ(o.desc, "unsupported arguments for 'get-agent-metrics': ");
    EXPECT_EQ(dispatch(R"({"execute": "get-agent-metrics", "arguments": {"ends-with": "x"}})").klass, "NotImplemented");
}

TEST_F(Dispatch, ModuleHookFailureFailsTheMetricsCommand)
{
    agent_metrics_set_module_hook([](Error **errp) {
        error_setg(errp, "[commands] failed to get driver metrics");
        return false;
    });
    Outcome o = dispatch(R"({"execute": "get-agent-metrics"})");
    agent_metrics_set_module_hook(nullptr);
    EXPECT_EQ(o.desc, "error getting module internal metrics: [commands] failed to get driver metrics");
}

TEST(Metrics, UninitialisedTableRefusesAndIgnores)
{
    agent_metrics_add("x", 1);
    EXPECT_EQ(agent_metrics_get("x"), 0u);
    Error *err = nullptr;
    EXPECT_EQ(qmp_get_agent_metrics(false, false, false, nullptr, false, nullptr, false, false, &err), nullptr);
    EXPECT_EQ(hvtest::TakeMessage(err), "agent metrics module isn't initialized");
    err = nullptr;
    qmp_clear_agent_metrics(&err);
    EXPECT_EQ(hvtest::TakeMessage(err), "agent metrics module isn't initialized");
}

TEST(RegistryDeath, ProgrammingFaultsStopTheProcess)
{
    qmp_register_command("twice", failing_command, 0);
    EXPECT_EXIT(qmp_register_command("twice", failing_command, 0), testing::ExitedWithCode(15),
                "QMP command 'twice' is being registered more than once");
    EXPECT_EXIT(qmp_enable_command("never"), testing::ExitedWithCode(15),
                "can't toggle command 'never' to enabled=true, command doesn't exist");
    EXPECT_EXIT(qmp_for_each_command(nullptr, nullptr), testing::ExitedWithCode(1), "NULL != fn");
    int count = 0;
    qmp_for_each_command([](QmpCommand *, void *n) { ++*static_cast<int *>(n); }, &count);
    EXPECT_EQ(count, 1);
    qmp_registry_cleanup();
    EXPECT_EQ(qmp_find_command("twice"), nullptr);
}
