#include <string>

#include <glib.h>
#include <glib/gstdio.h>
#include <gtest/gtest.h>

namespace {

struct GenRun {
    int status;
    std::string err;
};

GenRun run_generator(const std::string &schema, const std::string &out_dir)
{
    const char *argv[] = {HV_PYTHON3, HV_QAPI_GEN, schema.c_str(), "-o", out_dir.c_str(), nullptr};
    gchar *out = nullptr;
    gchar *err = nullptr;
    gint status = -1;
    GError *error = nullptr;
    bool spawned = g_spawn_sync(nullptr, const_cast<gchar **>(argv), nullptr, G_SPAWN_DEFAULT,
                                nullptr, nullptr, &out, &err, &status, &error);
    EXPECT_TRUE(spawned) << (error ? error->message : "");
    g_clear_error(&error);
    GenRun run{spawned && g_spawn_check_wait_status(status, nullptr) ? 0 : 1, err ? err : ""};
    g_free(out);
    g_free(err);
    return run;
}

std::string read_file(const std::string &path)
{
    gchar *text = nullptr;
    gsize len = 0;
    if (!g_file_get_contents(path.c_str(), &text, &len, nullptr)) {
        ADD_FAILURE() << "cannot read " << path;
        return {};
    }
    std::string result(text, len);
    g_free(text);
    return result;
}

class GeneratorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        gchar *dir = g_dir_make_tmp("qapi-gen-XXXXXX", nullptr);
        ASSERT_NE(dir, nullptr);
        dir_ = dir;
        g_free(dir);
    }
    void TearDown() override
    {
        GDir *d = g_dir_open(dir_.c_str(), 0, nullptr);
        for (const char *name; d && (name = g_dir_read_name(d));) {
            g_remove((dir_ + "/" + name).c_str());
        }
        if (d) {
            g_dir_close(d);
        }
        g_rmdir(dir_.c_str());
    }

    /* The generator's message for a schema whose "types" entries are given. */
    std::string error_for(const std::string &types, const std::string &commands = "[]")
    {
        std::string schema = dir_ + "/qmp-bad-types.json";
        std::string text = "{\"types\": " + types + ", \"commands\": " + commands + "}";
        g_file_set_contents(schema.c_str(), text.c_str(), -1, nullptr);
        GenRun run = run_generator(schema, dir_ + "/out");
        EXPECT_NE(run.status, 0);
        std::string prefix = "qapi-gen: " + schema + ": ";
        if (run.err.rfind(prefix, 0) != 0) {
            return "unexpected: " + run.err;
        }
        return run.err.substr(prefix.size());
    }

    std::string dir_;
};

/* To accept a deliberate change of the output, regenerate the golden files:
 * scripts/qapi-gen.py tests/qapi/qmp-sample-types.json -o <dir>, then copy each
 * file to tests/qapi/golden/<name>.golden. */
TEST_F(GeneratorTest, SampleSchemaMatchesGoldenOutput)
{
    GenRun run = run_generator(HV_QAPI_TEST_DIR "/qmp-sample-types.json", dir_);
    ASSERT_EQ(run.status, 0) << run.err;
    for (const char *name : {"qmp-sample-types.h", "qmp-sample-types.cpp", "qmp-sample-commands.h",
                             "qmp-sample-marshal.cpp", "qmp-sample-register.cpp"}) {
        std::string golden = read_file(std::string(HV_QAPI_TEST_DIR "/golden/") + name + ".golden");
        EXPECT_EQ(read_file(dir_ + "/" + name), golden) << name;
    }
}

TEST_F(GeneratorTest, SchemaWithoutCommandsWritesOnlyTypes)
{
    std::string schema = dir_ + "/qmp-plain-types.json";
    g_file_set_contents(schema.c_str(), R"({"types": [{"enum": "E", "data": ["a"]}]})", -1,
                        nullptr);
    ASSERT_EQ(run_generator(schema, dir_).status, 0);
    EXPECT_TRUE(g_file_test((dir_ + "/qmp-plain-types.h").c_str(), G_FILE_TEST_EXISTS));
    EXPECT_FALSE(g_file_test((dir_ + "/qmp-plain-commands.h").c_str(), G_FILE_TEST_EXISTS));
    EXPECT_FALSE(g_file_test((dir_ + "/qmp-plain-register.cpp").c_str(), G_FILE_TEST_EXISTS));
}

TEST_F(GeneratorTest, UnknownTypesAreNamed)
{
    EXPECT_EQ(error_for(R"([{"struct": "S", "data": {"a": "Missing"}}])"),
              "struct 'S' member 'a': unknown type 'Missing'\n");
    EXPECT_EQ(error_for(R"([{"struct": "S", "data": {"*a": ["Missing"]}}])"),
              "struct 'S' member 'a': unknown type 'Missing'\n");
    EXPECT_EQ(error_for(R"([{"struct": "S", "data": {"a": "SList"}}])"),
              "struct 'S' member 'a': unknown type 'SList'\n");
    EXPECT_EQ(error_for(R"([{"struct": "S", "data": {"a": ["uint32"]}}])"),
              "struct 'S' member 'a': no list type of 'uint32' (see \"scalar-lists\")\n");
    EXPECT_EQ(error_for("[]", R"([{"command": "c", "data": {"x": "Nope"}}])"),
              "command 'c' member 'x': unknown type 'Nope'\n");
    EXPECT_EQ(error_for("[]", R"([{"command": "c", "returns": "Nope"}])"),
              "command 'c' returns: unknown type 'Nope'\n");
}

TEST_F(GeneratorTest, DuplicatesAreRefused)
{
    EXPECT_EQ(error_for(R"([{"struct": "S", "data": {"a": "str", "a": "str"}}])"),
              "struct 'S': duplicate member 'a'\n");
    EXPECT_EQ(error_for(R"([{"struct": "S", "data": {"a": "str", "*a": "int"}}])"),
              "struct 'S': duplicate member 'a'\n");
    /* Distinct keys, one field name. */
    EXPECT_EQ(error_for(R"([{"struct": "S", "data": {"a-b": "str", "a_b": "int"}}])"),
              "struct 'S': duplicate member 'a_b'\n");
    EXPECT_EQ(error_for(R"([{"enum": "E", "data": ["x-y", "x_y"]}])"),
              "enum 'E': duplicate value 'x_y'\n");
    EXPECT_EQ(error_for(R"([{"enum": "E", "data": ["a"]}, {"struct": "E"}])"),
              "type 'E' is defined more than once\n");
    EXPECT_EQ(error_for("[]", R"([{"command": "c"}, {"command": "c"}])"),
              "command 'c': 'c' is defined more than once\n");
    EXPECT_EQ(error_for("[]", R"([{"command": "c", "aliases": ["d"]}, {"command": "d"}])"),
              "command 'd': 'd' is defined more than once\n");
}

TEST_F(GeneratorTest, BadOptionalMarkersAreRefused)
{
    for (const char *member : {"**a", "a*", "*", "*a*b"}) {
        std::string types =
            std::string(R"([{"struct": "S", "data": {")") + member + R"(": "str"}}])";
        EXPECT_EQ(error_for(types), std::string("struct 'S': bad optional marker in '") + member +
                                        "'\n");
    }
}

TEST_F(GeneratorTest, MalformedEntriesAreRefused)
{
    EXPECT_EQ(error_for(R"([{"union": "U"}])"),
              "types: an entry must start with \"enum\" or \"struct\"\n");
    EXPECT_EQ(error_for(R"([{"struct": "S", "members": {}}])"), "struct 'S': unknown key 'members'\n");
    EXPECT_EQ(error_for(R"([{"enum": "E", "data": []}])"),
              "enum 'E': \"data\" must be a list of names\n");
    EXPECT_EQ(error_for(R"([{"enum": "E", "data": ["a\"b"]}])"),
              "enum 'E': \"data\" must be a list of names\n");
    EXPECT_EQ(error_for(R"([{"struct": "S", "data": {"a b": "str"}}])"),
              "struct 'S': invalid member name 'a b'\n");
}

} // namespace
