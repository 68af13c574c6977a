#include <string>

#include <glib.h>
#include <gtest/gtest.h>

#include "tests/common/hv-test-support.h"

namespace {

/* The generator's exit code and standard error. */
hvtest::Outcome run_generator(const std::string &schema, const std::string &out_dir)
{
    return hvtest::RunProgram({HV_PYTHON3, HV_QAPI_GEN, schema, "-o", out_dir});
}

class GeneratorTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(dir_.empty()); }

    /* The generator's message for a schema whose "types" entries are given. */
    std::string error_for(const std::string &types, const std::string &commands = "[]")
    {
        std::string schema = dir_ + "/qmp-bad-types.json";
        hvtest::WriteFile(schema, "{\"types\": " + types + ", \"commands\": " + commands + "}");
        hvtest::Outcome run = run_generator(schema, dir_ + "/out");
        EXPECT_NE(run.exit_code, 0);
        std::string prefix = "qapi-gen: " + schema + ": ";
        if (run.err.rfind(prefix, 0) != 0) {
            return "unexpected: " + run.err;
        }
        return run.err.substr(prefix.size());
    }

    hvtest::TempDir tmp_{"qapi-gen"};
    const std::string &dir_ = tmp_.path();
};

/* To accept a deliberate change of the output, regenerate the golden files:
 * scripts/qapi-gen.py tests/qapi/qmp-sample-types.json -o <dir>, then copy each
 * file to tests/qapi/golden/<name>.golden. */
TEST_F(GeneratorTest, SampleSchemaMatchesGoldenOutput)
{
    hvtest::Outcome run = run_generator(HV_QAPI_TEST_DIR "/qmp-sample-types.json", dir_);
    ASSERT_EQ(run.exit_code, 0) << run.err;
    for (const char *name : {"qmp-sample-types.h", "qmp-sample-types.cpp", "qmp-sample-commands.h",
                             "qmp-sample-marshal.cpp", "qmp-sample-register.cpp"}) {
        std::string golden = hvtest::ReadFile(std::string(HV_QAPI_TEST_DIR "/golden/") + name + ".golden");
        EXPECT_EQ(hvtest::ReadFile(dir_ + "/" + name), golden) << name;
    }
}

TEST_F(GeneratorTest, SchemaWithoutCommandsWritesOnlyTypes)
{
    std::string schema = dir_ + "/qmp-plain-types.json";
    hvtest::WriteFile(schema, R"({"types": [{"enum": "E", "data": ["a"]}]})");
    ASSERT_EQ(run_generator(schema, dir_).exit_code, 0);
    EXPECT_TRUE(g_file_test((dir_ + "/qmp-plain-types.h").c_str(), G_FILE_TEST_EXISTS));
    EXPECT_FALSE(g_file_test((dir_ + "/qmp-plain-commands.h").c_str(), G_FILE_TEST_EXISTS));
    EXPECT_FALSE(g_file_test((dir_ + "/qmp-plain-register.cpp").c_str(), G_FILE_TEST_EXISTS));
}

TEST_F(GeneratorTest, BadSchemasAreRefusedWithTheirReason)
{
    struct Case {
        const char *types;
        const char *commands;
        const char *message;
    };
    const Case cases[] = {
        /* Unknown types are named. */
        {R"([{"struct": "S", "data": {"a": "Missing"}}])", "[]", "struct 'S' member 'a': unknown type 'Missing'\n"},
        {R"([{"struct": "S", "data": {"*a": ["Missing"]}}])", "[]",
         "struct 'S' member 'a': unknown type 'Missing'\n"},
        {R"([{"struct": "S", "data": {"a": "SList"}}])", "[]", "struct 'S' member 'a': unknown type 'SList'\n"},
        {R"([{"struct": "S", "data": {"a": ["uint32"]}}])", "[]",
         "struct 'S' member 'a': no list type of 'uint32' (see \"scalar-lists\")\n"},
        {"[]", R"([{"command": "c", "data": {"x": "Nope"}}])", "command 'c' member 'x': unknown type 'Nope'\n"},
        {"[]", R"([{"command": "c", "returns": "Nope"}])", "command 'c' returns: unknown type 'Nope'\n"},
        /* Duplicates, also of distinct keys that give one field name. */
        {R"([{"struct": "S", "data": {"a": "str", "a": "str"}}])", "[]", "struct 'S': duplicate member 'a'\n"},
        {R"([{"struct": "S", "data": {"a": "str", "*a": "int"}}])", "[]", "struct 'S': duplicate member 'a'\n"},
        {R"([{"struct": "S", "data": {"a-b": "str", "a_b": "int"}}])", "[]", "struct 'S': duplicate member 'a_b'\n"},
        {R"([{"enum": "E", "data": ["x-y", "x_y"]}])", "[]", "enum 'E': duplicate value 'x_y'\n"},
        {R"([{"enum": "E", "data": ["a"]}, {"struct": "E"}])", "[]", "type 'E' is defined more than once\n"},
        {"[]", R"([{"command": "c"}, {"command": "c"}])", "command 'c': 'c' is defined more than once\n"},
        {"[]", R"([{"command": "c", "aliases": ["d"]}, {"command": "d"}])",
         "command 'd': 'd' is defined more than once\n"},
        /* Malformed entries. */
        {R"([{"union": "U"}])", "[]", "types: an entry must start with \"enum\" or \"struct\"\n"},
        {R"([{"struct": "S", "members": {}}])", "[]", "struct 'S': unknown key 'members'\n"},
        {R"([{"enum": "E", "data": []}])", "[]", "enum 'E': \"data\" must be a list of names\n"},
        {R"([{"enum": "E", "data": ["a\"b"]}])", "[]", "enum 'E': \"data\" must be a list of names\n"},
        {R"([{"struct": "S", "data": {"a b": "str"}}])", "[]", "struct 'S': invalid member name 'a b'\n"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(error_for(c.types, c.commands), c.message) << c.types << " " << c.commands;
    }
    for (std::string member : {"**a", "a*", "*", "*a*b"}) {
        EXPECT_EQ(error_for(R"([{"struct": "S", "data": {")" + member + R"(": "str"}}])"),
                  "struct 'S': bad optional marker in '" + member + "'\n");
    }
}

} // namespace
