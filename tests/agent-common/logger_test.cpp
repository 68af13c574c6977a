/* The process logger and its base logger, on real files in a folder of each test's own. */
#include "agent-common/logger.h"
#include "agent-common/base-logger.h"

#include <fcntl.h>
#include <glib.h>
#include <glib/gstdio.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "agent-common/agent-main.h"
#include "util/agent-assert.h"
#include "tests/common/hv-test-support.h"
#include "util/error.h"

namespace {

bool Matches(const std::string &pattern, const std::string &text)
{
    return g_regex_match_simple(pattern.c_str(), text.c_str(), G_REGEX_RAW,
                                static_cast<GRegexMatchFlags>(0));
}

class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = hvtest::MakeTempDir("hv-logger");
        ASSERT_FALSE(dir_.empty());
        logs_ = dir_ + "/logs";
        path_ = logs_ + "/agent.log";
        g_unsetenv("HV_LOGGING_PROFILE");
        logger_reset_profile_choice();
    }

    void TearDown() override
    {
        stop_logger();
        g_hv_agent = nullptr;
        ga_state = nullptr;
        hvtest::RemoveTree(dir_);
    }

    static std::string Read(const std::string &path) { return hvtest::ReadFile(path, ""); }

    /* The log's lines without their "\r\n". */
    std::vector<std::string> Lines() const
    {
        std::vector<std::string> lines;
        std::string text = Read(path_);
        size_t start = 0;
        for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
            lines.push_back(text.substr(start, end - start));
        }
        EXPECT_EQ(start, text.size()) << "the log ends in the middle of a line";
        return lines;
    }

    bool Logged(const std::string &message) const
    {
        for (const std::string &line : Lines()) {
            size_t tab = line.rfind("]\t");
            if (tab != std::string::npos && line.substr(tab + 2) == message) {
                return true;
            }
        }
        return false;
    }

    static bool Exists(const std::string &path)
    {
        return g_file_test(path.c_str(), G_FILE_TEST_EXISTS);
    }

    std::string dir_;
    std::string logs_;
    std::string path_;
};

TEST_F(LoggerTest, LineFormatAndLevelNames)
{
    ASSERT_TRUE(start_logger(0xFFFFFFFFu, path_.c_str()));
    g_critical("[test] critical %d", 1);
    g_warning("[test] warning");
    g_message("[test] message");
    g_info("[test] info");
    g_debug("[test] debug");
    g_log(nullptr, static_cast<GLogLevelFlags>(1 << 8), "[test] user level");

    std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 6u);
    const char *names[] = {"CRITICAL", "WARNING", "MESSAGE", "INFO", "DEBUG", "USER"};
    const char *messages[] = {"[test] critical 1", "[test] warning", "[test] message",
                              "[test] info", "[test] debug", "[test] user level"};
    for (size_t i = 0; i < lines.size(); i++) {
        g_autofree char *escaped = g_regex_escape_string(messages[i], -1);
        std::string pattern = "^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d,\\d{1,6}\\t\\[" +
                              std::to_string(getpid()) + ":" + names[i] + "\\]\\t" + escaped + "$";
        EXPECT_TRUE(Matches(pattern, lines[i])) << lines[i];
    }
    /* Lines written to a file count towards rotation; the counter matches the file. */
    EXPECT_EQ(logger_get_file_size(), Read(path_).size());
}

/* The plain names are checked in LineFormatAndLevelNames; one coloured name stands for the table. */
TEST_F(LoggerTest, ColouredLevelNames)
{
    EXPECT_STREQ(logger_level_name(G_LOG_LEVEL_CRITICAL, true), "\033[1;37;41mCRITICAL\033[0m");
    EXPECT_STREQ(logger_level_name(G_LOG_LEVEL_ERROR | G_LOG_LEVEL_DEBUG, true),
                 "\033[0;37;40mUSER\033[0m");
}

TEST_F(LoggerTest, LevelMaskDecidesWhatIsWritten)
{
    EXPECT_EQ(logger_get_level(), 12u);
    ASSERT_TRUE(start_logger(LOGGER_LEVELS_DEFAULT, path_.c_str()));
    EXPECT_EQ(logger_get_level(), static_cast<uint32_t>(LOGGER_LEVELS_DEFAULT));
    g_message("[test] kept");
    g_info("[test] dropped info");
    g_debug("[test] dropped debug");
    logger_set_level(LOGGER_LEVELS_ALL);
    g_debug("[test] now debug");
    logger_set_level(G_LOG_LEVEL_CRITICAL);
    g_warning("[test] dropped warning");
    g_critical("[test] still critical");

    EXPECT_TRUE(Logged("[test] kept"));
    EXPECT_FALSE(Logged("[test] dropped info"));
    EXPECT_FALSE(Logged("[test] dropped debug"));
    EXPECT_TRUE(Logged("[test] now debug"));
    EXPECT_FALSE(Logged("[test] dropped warning"));
    EXPECT_TRUE(Logged("[test] still critical"));
}

TEST_F(LoggerTest, StartedVerboseKeepsAllLevels)
{
    ASSERT_TRUE(start_logger(LOGGER_LEVELS_ALL, path_.c_str()));
    logger_set_level(LOGGER_LEVELS_DEFAULT);
    EXPECT_EQ(logger_get_level(), static_cast<uint32_t>(LOGGER_LEVELS_ALL));
    g_debug("[test] still verbose");
    EXPECT_TRUE(Logged("[logger] not changing init log level from verbose"));
    EXPECT_TRUE(Logged("[test] still verbose"));
}

TEST_F(LoggerTest, MessageIsCutAtOneMiB)
{
    ASSERT_TRUE(start_logger(LOGGER_LEVELS_DEFAULT, path_.c_str()));
    std::string big(1048576 + 100, 'x');
    big.replace(1048576, 100, 100, 'y');
    g_message("%s", big.c_str());
    std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    std::string message = lines[0].substr(lines[0].rfind("]\t") + 2);
    EXPECT_EQ(message, std::string(1048576, 'x'));
}

TEST_F(LoggerTest, StandardErrorUntilFileAndLockedFileRunsWithout)
{
    g_mkdir_with_parents(logs_.c_str(), 0750);
    int holder = open(path_.c_str(), O_WRONLY | O_CREAT, 0640);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_TRUE(start_logger(LOGGER_LEVELS_DEFAULT, path_.c_str()));
    g_warning("[test] to stderr");
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    close(holder);

    EXPECT_EQ(out, "[base-logger] log file '" + path_ + "' is locked, running with no log\n");
    EXPECT_NE(err.find("WARNING"), std::string::npos);
    EXPECT_NE(err.find("]\t[test] to stderr\r\n"), std::string::npos);
    EXPECT_EQ(Read(path_), "");
}

TEST_F(LoggerTest, RotatesIntoNumberedSeries)
{
    ASSERT_TRUE(start_logger(LOGGER_LEVELS_DEFAULT, path_.c_str()));
    ASSERT_TRUE(logger_set_rotation(300, 3, false));
    for (int i = 0; i < 30; i++) {
        g_message("[test] line %02d %s", i, std::string(60, 'r').c_str());
    }
    EXPECT_EQ(hvtest::ListDir(logs_), (std::vector<std::string>{"agent.log", "agent.log.1", "agent.log.2",
                                                                "agent.log.3", "agent.log.rotate"}));
    /* Each rotated file is one threshold plus the line that crossed it, newest first. */
    for (const char *suffix : {".1", ".2", ".3"}) {
        size_t size = Read(path_ + suffix).size();
        EXPECT_GT(size, 300u);
        EXPECT_LE(size, 300u + 130u);
    }
    std::string newest = Read(path_ + ".1");
    std::string older = Read(path_ + ".2");
    EXPECT_GT(newest.substr(newest.find("line ")), older.substr(older.find("line ")));
    EXPECT_NE((Read(path_ + ".1") + Read(path_)).find("[test] line 29"), std::string::npos);
    EXPECT_EQ(logger_get_file_size(), Read(path_).size());
}

TEST_F(LoggerTest, CompressesRotatedFileIntoCabinet)
{
    ASSERT_TRUE(start_logger(LOGGER_LEVELS_ALL, path_.c_str()));
    /* Above what the compression itself logs, so only the test's lines rotate. */
    ASSERT_TRUE(logger_set_rotation(2000, 3, true));
    std::string long_line(2100, 'c');
    for (int rotation = 1; rotation <= 4; rotation++) {
        g_message("[test] rotation %d %s", rotation, long_line.c_str());
        logger_wait_compression();
    }
    EXPECT_EQ(hvtest::ListDir(logs_), (std::vector<std::string>{"agent.log", "agent.log.1.cab",
                                                                "agent.log.2.cab", "agent.log.3.cab", "agent.log.rotate"}));

    gchar *out = nullptr;
    gint status = -1;
    std::string list_cmd = "gcab -t '" + path_ + ".1.cab'";
    ASSERT_TRUE(g_spawn_command_line_sync(list_cmd.c_str(), &out, nullptr, &status, nullptr));
    EXPECT_EQ(status, 0);
    EXPECT_STREQ(out, "agent.log.1\n");
    g_free(out);

    /* The archive holds the rotated lines themselves. */
    std::string extract = dir_ + "/extract";
    g_mkdir(extract.c_str(), 0700);
    std::string x_cmd = "gcab -x -C '" + extract + "' '" + path_ + ".1.cab'";
    ASSERT_TRUE(g_spawn_command_line_sync(x_cmd.c_str(), nullptr, nullptr, &status, nullptr));
    EXPECT_EQ(status, 0);
    EXPECT_NE(Read(extract + "/agent.log.1").find("[test] rotation 4 " + long_line + "\r\n"),
              std::string::npos);

    std::string log = Read(path_);
    EXPECT_NE(log.find("[base-logger] Starting background base log compression job of file '" +
                       path_ + ".1' into '" + path_ + ".1.cab' with cmdline: gcab -c -z -n '" +
                       path_ + ".1.cab' '" + path_ + ".1' > /dev/null"),
              std::string::npos);
    EXPECT_NE(log.find("[base-logger] Background log compression job is done"), std::string::npos);
}

TEST_F(LoggerTest, RotationsFasterThanCompressionsLoseNoLine)
{
    ASSERT_TRUE(start_logger(LOGGER_LEVELS_DEFAULT, path_.c_str()));
    /* Every test line crosses the threshold, so each one rotates while compressions run;
     * the compression's own line stays below it. */
    constexpr int kLines = 40;
    ASSERT_TRUE(logger_set_rotation(200, 100, true));
    for (int i = 0; i < kLines; i++) {
        g_message("[test] burst line %03d %s", i, std::string(200, 'b').c_str());
    }
    logger_wait_compression();

    for (const std::string &name : hvtest::ListDir(logs_)) {
        EXPECT_TRUE(name == "agent.log" || name == "agent.log.rotate" || (name.size() > 4 && name.substr(name.size() - 4) == ".cab"))
            << "left uncompressed: " << name;
    }
    /* Cabinet 1 is the newest: the line numbers fall as the cabinet numbers grow. */
    std::string everything = Read(path_);
    const std::string extract = dir_ + "/extract";
    int newer_line = kLines;
    for (int k = 1; Exists(path_ + "." + std::to_string(k) + ".cab"); k++) {
        hvtest::RemoveTree(extract);
        g_mkdir(extract.c_str(), 0700);
        std::string x_cmd = "gcab -x -C '" + extract + "' '" + path_ + "." + std::to_string(k) + ".cab'";
        gint status = -1;
        ASSERT_TRUE(g_spawn_command_line_sync(x_cmd.c_str(), nullptr, nullptr, &status, nullptr));
        ASSERT_EQ(status, 0) << k;
        std::string text;
        for (const std::string &inner : hvtest::ListDir(extract)) {
            text += Read(extract + "/" + inner);
        }
        size_t at = text.rfind("burst line ");
        if (at != std::string::npos) {
            int line = std::stoi(text.substr(at + 11, 3));
            EXPECT_LT(line, newer_line) << "cabinet " << k;
            newer_line = line;
        }
        everything += text;
    }
    for (int i = 0; i < kLines; i++) {
        char marker[32];
        snprintf(marker, sizeof marker, "burst line %03d ", i);
        EXPECT_NE(everything.find(marker), std::string::npos) << marker;
    }
}

/* The text of every file a cabinet holds. */
static std::string CabText(const std::string &cab, const std::string &scratch)
{
    hvtest::RemoveTree(scratch);
    g_mkdir(scratch.c_str(), 0700);
    std::string x_cmd = "gcab -x -C '" + scratch + "' '" + cab + "'";
    gint status = -1;
    if (!g_spawn_command_line_sync(x_cmd.c_str(), nullptr, nullptr, &status, nullptr) || status != 0) {
        return "<not a cabinet>";
    }
    std::string text;
    for (const std::string &inner : hvtest::ListDir(scratch)) {
        text += hvtest::ReadFile(scratch + "/" + inner, "");
    }
    return text;
}

/* Compression runs gcab through the shell's PATH; a PATH without it makes compression fail. */
class ScopedPath {
public:
    explicit ScopedPath(const std::string &value) : saved_(g_getenv("PATH") ? g_getenv("PATH") : "")
    {
        g_setenv("PATH", value.c_str(), TRUE);
    }
    ~ScopedPath() { g_setenv("PATH", saved_.c_str(), TRUE); }

private:
    std::string saved_;
};

TEST_F(LoggerTest, FailedCompressionKeepsRotatedContentInTheSeries)
{
    ASSERT_TRUE(start_logger(LOGGER_LEVELS_DEFAULT, path_.c_str()));
    ASSERT_TRUE(logger_set_rotation(2000, 3, true));
    std::string long_line(2100, 'f');
    const std::string no_gcab = dir_ + "/empty-bin";
    /* Rotations 1 and 3 compress, 2, 4 and 5 fail: the series mixes both forms, in order. */
    for (int rotation = 1; rotation <= 5; rotation++) {
        std::optional<ScopedPath> path;
        if (rotation % 2 == 0 || rotation == 5) {
            path.emplace(no_gcab);
        }
        g_message("[test] rotation %d %s", rotation, long_line.c_str());
        logger_wait_compression();
    }
    EXPECT_EQ(hvtest::ListDir(logs_), (std::vector<std::string>{"agent.log", "agent.log.1", "agent.log.2",
                                                                "agent.log.3.cab", "agent.log.rotate"}));
    const std::string scratch = dir_ + "/extract";
    EXPECT_NE(Read(path_ + ".1").find("[test] rotation 5 " + long_line + "\r\n"), std::string::npos);
    EXPECT_NE(Read(path_ + ".2").find("[test] rotation 4 " + long_line + "\r\n"), std::string::npos);
    EXPECT_NE(CabText(path_ + ".3.cab", scratch).find("[test] rotation 3 " + long_line + "\r\n"),
              std::string::npos);
    EXPECT_TRUE(Logged("[base-logger] keeping rotated log file '" + path_ + ".1' uncompressed"));
}

TEST_F(LoggerTest, LeftoversOfAStoppedRunAreCompressedAndNeverReplaced)
{
    /* A run that stopped with two rotations waiting and one compression cut short. */
    ASSERT_EQ(g_mkdir_with_parents(logs_.c_str(), 0700), 0);
    hvtest::WriteFile(path_ + ".pending-1", "older waiting\r\n");
    hvtest::WriteFile(path_ + ".pending-2", "newer waiting\r\n");
    hvtest::WriteFile(path_ + ".1", "cut short\r\n");

    ASSERT_TRUE(start_logger(LOGGER_LEVELS_DEFAULT, path_.c_str()));
    ASSERT_TRUE(logger_set_rotation(2000, 5, true));
    g_message("[test] this run %s", std::string(2100, 'n').c_str());
    logger_wait_compression();

    EXPECT_EQ(hvtest::ListDir(logs_),
              (std::vector<std::string>{"agent.log", "agent.log.1.cab", "agent.log.2.cab", "agent.log.3.cab",
                                        "agent.log.4.cab", "agent.log.rotate"}));
    const std::string scratch = dir_ + "/extract";
    EXPECT_NE(CabText(path_ + ".1.cab", scratch).find("[test] this run "), std::string::npos);
    EXPECT_EQ(CabText(path_ + ".2.cab", scratch), "newer waiting\r\n");
    EXPECT_EQ(CabText(path_ + ".3.cab", scratch), "older waiting\r\n");
    EXPECT_EQ(CabText(path_ + ".4.cab", scratch), "cut short\r\n");
}

TEST_F(LoggerTest, HalfWrittenCabinetBesideFileOneIsReplacedByItsCompression)
{
    /* A compression killed midway: the plain file holds the content, the cabinet a part. */
    ASSERT_EQ(g_mkdir_with_parents(logs_.c_str(), 0700), 0);
    hvtest::WriteFile(path_ + ".1", "cut short\r\n");
    hvtest::WriteFile(path_ + ".1.cab", "MSCF half");
    hvtest::WriteFile(path_ + ".2.cab", "older cabinet");

    ASSERT_TRUE(start_logger(LOGGER_LEVELS_DEFAULT, path_.c_str()));
    ASSERT_TRUE(logger_set_rotation(2000, 3, true));
    g_message("[test] this run %s", std::string(2100, 'h').c_str());
    logger_wait_compression();

    EXPECT_EQ(hvtest::ListDir(logs_), (std::vector<std::string>{"agent.log", "agent.log.1.cab", "agent.log.2.cab",
                                                                "agent.log.3.cab", "agent.log.rotate"}));
    const std::string scratch = dir_ + "/extract";
    EXPECT_NE(CabText(path_ + ".1.cab", scratch).find("[test] this run "), std::string::npos);
    EXPECT_EQ(CabText(path_ + ".2.cab", scratch), "cut short\r\n");
    EXPECT_EQ(Read(path_ + ".3.cab"), "older cabinet");
}

/* A second process on the same log (a control command while the service runs) only appends:
 * the files the service rotates and compresses are not its to take. */
TEST_F(LoggerTest, SecondLoggerOnTheSamePathNeverRotates)
{
    ASSERT_EQ(g_mkdir_with_parents(logs_.c_str(), 0700), 0);
    base_logger_ctx_t *service = start_base_logger(path_.c_str(), nullptr);
    ASSERT_TRUE(open_base_log_file(service, nullptr));
    ASSERT_TRUE(base_logger_set_rotate_threshold_bytes(service, 100));
    /* A rotation of the service's still waiting for its compressor, and one cut short. */
    hvtest::WriteFile(path_ + ".pending-7", "service waiting\r\n");
    hvtest::WriteFile(path_ + ".1", "service file one\r\n");
    hvtest::WriteFile(path_ + ".4", "beyond the second's count\r\n");

    base_logger_ctx_t *control = start_base_logger(path_.c_str(), nullptr);
    ASSERT_TRUE(open_base_log_file(control, nullptr));
    ASSERT_TRUE(base_logger_set_rotate_threshold_bytes(control, 100));
    ASSERT_TRUE(base_logger_set_rotate_count(control, 3));
    std::string line = "control " + std::string(200, 'c') + "\r\n";
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(base_logger_append(control, line.data(), line.size()), line.size());
    }
    base_logger_wait_compression(control);
    stop_base_logger(control);

    EXPECT_EQ(hvtest::ListDir(logs_), (std::vector<std::string>{"agent.log", "agent.log.1", "agent.log.4",
                                                                "agent.log.pending-7", "agent.log.rotate"}));
    EXPECT_EQ(Read(path_), line + line + line);
    EXPECT_EQ(Read(path_ + ".pending-7"), "service waiting\r\n");
    EXPECT_EQ(Read(path_ + ".1"), "service file one\r\n");

    /* A run started while the service still held the series takes it over once it ends. */
    base_logger_ctx_t *next = start_base_logger(path_.c_str(), nullptr);
    ASSERT_TRUE(open_base_log_file(next, nullptr));
    ASSERT_TRUE(base_logger_set_rotate_threshold_bytes(next, 100));
    stop_base_logger(service);
    EXPECT_EQ(base_logger_append(next, line.data(), line.size()), line.size());
    base_logger_wait_compression(next);
    stop_base_logger(next);
    EXPECT_EQ(Read(path_), "");
    EXPECT_EQ(hvtest::ListDir(logs_), (std::vector<std::string>{"agent.log", "agent.log.1.cab", "agent.log.2.cab",
                                                                "agent.log.3.cab", "agent.log.4", "agent.log.rotate"}));
    const std::string scratch = dir_ + "/extract";
    EXPECT_EQ(CabText(path_ + ".1.cab", scratch), line + line + line + line);
    EXPECT_EQ(CabText(path_ + ".2.cab", scratch), "service waiting\r\n");
    EXPECT_EQ(CabText(path_ + ".3.cab", scratch), "service file one\r\n");
}

TEST_F(LoggerTest, UncompressedFileOneIsNotReplacedByTheNextRotation)
{
    ASSERT_EQ(g_mkdir_with_parents(logs_.c_str(), 0700), 0);
    hvtest::WriteFile(path_ + ".1", "cut short\r\n");
    ASSERT_TRUE(start_logger(LOGGER_LEVELS_DEFAULT, path_.c_str()));
    ASSERT_TRUE(logger_set_rotation(2000, 3, true));
    {
        ScopedPath path(dir_ + "/empty-bin");
        g_message("[test] this run %s", std::string(2100, 'n').c_str());
        logger_wait_compression();
    }
    EXPECT_EQ(hvtest::ListDir(logs_), (std::vector<std::string>{"agent.log", "agent.log.1", "agent.log.2", "agent.log.rotate"}));
    EXPECT_NE(Read(path_ + ".1").find("[test] this run "), std::string::npos);
    EXPECT_EQ(Read(path_ + ".2"), "cut short\r\n");
}

TEST_F(LoggerTest, LoweringCountDeletesSurplusAtOnce)
{
    ASSERT_TRUE(start_logger(LOGGER_LEVELS_DEFAULT, path_.c_str()));
    ASSERT_TRUE(logger_set_rotation(1048576, 8, false));
    for (int i = 1; i <= 8; i++) {
        std::string rotated = path_ + "." + std::to_string(i);
        ASSERT_TRUE(g_file_set_contents(rotated.c_str(), "u", -1, nullptr));
        ASSERT_TRUE(g_file_set_contents((rotated + ".cab").c_str(), "c", -1, nullptr));
    }
    ASSERT_TRUE(logger_set_rotate_count(5));
    for (int i = 1; i <= 8; i++) {
        EXPECT_EQ(Exists(path_ + "." + std::to_string(i)), i <= 5) << i;
        EXPECT_EQ(Exists(path_ + "." + std::to_string(i) + ".cab"), i <= 5) << i;
    }
    EXPECT_TRUE(Logged("[base-logger] setting agent logger rotate count to 5"));
}

/* The same across processes: the service in a child, the control command here. */
TEST_F(LoggerTest, ServiceProcessKeepsTheSeriesFromAControlProcess)
{
    ASSERT_EQ(g_mkdir_with_parents(logs_.c_str(), 0700), 0);
    int ready[2];
    int release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        base_logger_ctx_t *service = start_base_logger(path_.c_str(), nullptr);
        char byte = open_base_log_file(service, nullptr) ? 'y' : 'n';
        ssize_t unused = write(ready[1], &byte, 1);
        unused = read(release[0], &byte, 1);
        (void)unused;
        stop_base_logger(service);
        _exit(0);
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    EXPECT_EQ(byte, 'y');

    base_logger_ctx_t *control = start_base_logger(path_.c_str(), nullptr);
    ASSERT_TRUE(open_base_log_file(control, nullptr));
    ASSERT_TRUE(base_logger_set_rotate_threshold_bytes(control, 100));
    ASSERT_TRUE(base_logger_set_compressed(control, false));
    std::string line = "control " + std::string(200, 'p') + "\r\n";
    base_logger_append(control, line.data(), line.size());
    base_logger_append(control, line.data(), line.size());
    EXPECT_EQ(hvtest::ListDir(logs_), (std::vector<std::string>{"agent.log", "agent.log.rotate"}));

    /* The service ended: the next line due for rotation rotates. */
    ASSERT_EQ(write(release[1], "x", 1), 1);
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    for (int fd : {ready[0], ready[1], release[0], release[1]}) {
        close(fd);
    }
    base_logger_append(control, line.data(), line.size());
    stop_base_logger(control);
    EXPECT_EQ(hvtest::ListDir(logs_), (std::vector<std::string>{"agent.log", "agent.log.1", "agent.log.rotate"}));
    EXPECT_EQ(Read(path_ + ".1"), line + line + line);
}

TEST_F(LoggerTest, SettersRefuseInControlCommandMode)
{
    ASSERT_TRUE(start_logger(LOGGER_LEVELS_DEFAULT, path_.c_str()));
    agent_config_t config{};
    config.ctrl_mode = true;
    agent_module_t module{};
    module.config = &config;
    g_hv_agent = &module;
    ASSERT_TRUE(g_file_set_contents((path_ + ".3").c_str(), "u", -1, nullptr));
    EXPECT_FALSE(logger_set_rotate_count(1));
    EXPECT_FALSE(logger_set_rotate_threshold(1));
    EXPECT_FALSE(logger_set_rotate_compressed(true));
    EXPECT_FALSE(logger_set_enabled(false));
    EXPECT_TRUE(Exists(path_ + ".3"));
    EXPECT_FALSE(Logged("[base-logger] setting agent logger rotate count to 1"));
}

TEST_F(LoggerTest, DisabledOrMissingLoggerFallsBackToDirectWriter)
{
    testing::internal::CaptureStdout();
    logger_write_critical("[test] early %d", 7);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "** critical error but no logger ** - [test] early 7\r\n");

    ASSERT_TRUE(start_logger(LOGGER_LEVELS_DEFAULT, path_.c_str()));
    logger_write_message("[test] direct");
    /* The direct writer bypasses the mask and uses the epoch time form. */
    logger_set_level(G_LOG_LEVEL_ERROR);
    logger_write_critical("[test] direct critical");
    std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    std::string pid = std::to_string(getpid());
    std::string epoch = "^\\d+\\.\\d+,\\d+\\t\\[" + pid;
    EXPECT_TRUE(Matches(epoch + ":MESSAGE\\]\\t\\[test\\] direct$", lines[0])) << lines[0];
    EXPECT_TRUE(Matches(epoch + ":CRITICAL\\]\\t\\[test\\] direct critical$", lines[1]))
        << lines[1];

    logger_set_level(LOGGER_LEVELS_DEFAULT);
    ASSERT_TRUE(logger_set_enabled(false));
    testing::internal::CaptureStdout();
    g_message("[test] not written");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "** critical error but no logger ** - [base-logger] not ready: is_initialized=true, "
              "enabled=false\r\n");
    EXPECT_FALSE(Logged("[test] not written"));
}

TEST_F(LoggerTest, ProfileFromCommandLineEnvironmentOrDefault)
{
    ASSERT_TRUE(start_logger(LOGGER_LEVELS_DEFAULT, path_.c_str()));
    bool is_explicit = true;
    logger_get_profile(&is_explicit);
    EXPECT_FALSE(is_explicit);
    g_setenv("HV_LOGGING_PROFILE", "MAX", TRUE);
    logger_get_profile(&is_explicit);
    EXPECT_FALSE(is_explicit);
    g_setenv("HV_LOGGING_PROFILE", "max", TRUE);
    logger_get_profile(&is_explicit);
    EXPECT_TRUE(is_explicit);
    EXPECT_TRUE(Logged("[logger-profile] Logging profile set to 'max' from environment variable"));

    /* The module's runner replaces the built-in table. */
    logger_set_profile(LOGGER_PROFILE_MIN, 30, 5, true);
    EXPECT_EQ(logger_parse_profile_arg("minimal"), LOGGER_PROFILE_NONE);
    EXPECT_EQ(logger_parse_profile_arg("min"), LOGGER_PROFILE_MIN);
    logger_profile_t p = logger_get_profile(&is_explicit);
    EXPECT_TRUE(is_explicit);
    EXPECT_EQ(p.threshold_mib, 30u);
    EXPECT_EQ(p.count, 5u);
    EXPECT_TRUE(Logged("[logger-profile] Logging profile set to 'min' from cli arg"));
    g_unsetenv("HV_LOGGING_PROFILE");
}

/* Runs the default main context until pred holds or limit_ms passes; returns the wait. */
template <typename Pred>
gint64 RunUntil(Pred pred, gint64 limit_ms)
{
    gint64 start = g_get_monotonic_time();
    while (!pred() && g_get_monotonic_time() - start < limit_ms * 1000) {
        g_main_context_iteration(nullptr, FALSE);
        g_usleep(10000);
    }
    return (g_get_monotonic_time() - start) / 1000;
}

TEST_F(LoggerTest, OverlappingVerboseTriggersRevertToFirstSavedLevel)
{
    agent_state_t state{};
    ga_state = &state;
    ASSERT_TRUE(start_logger(LOGGER_LEVELS_DEFAULT, path_.c_str()));
    qmp_trigger_verbose_log(1, nullptr);
    EXPECT_EQ(logger_get_level(), static_cast<uint32_t>(LOGGER_LEVELS_ALL));
    EXPECT_NE(state.verbose_revert_timer, 0u);
    g_usleep(500000);
    qmp_trigger_verbose_log(2, nullptr);

    gint64 waited = RunUntil([] { return logger_get_level() != LOGGER_LEVELS_ALL; }, 5000);
    EXPECT_EQ(logger_get_level(), static_cast<uint32_t>(LOGGER_LEVELS_DEFAULT));
    EXPECT_GE(waited, 1000);
    EXPECT_EQ(state.verbose_revert_timer, 0u);
    EXPECT_TRUE(Logged("[log trigger] triggering verbose log for 2 seconds"));
    EXPECT_TRUE(Logged("[log trigger] verbose log timer expired"));

    /* A cancelled revert leaves the level to whoever cancelled it. */
    logger_trigger_verbose_log(1);
    logger_cancel_verbose_log_revert();
    EXPECT_EQ(state.verbose_revert_timer, 0u);
    RunUntil([] { return false; }, 1500);
    EXPECT_EQ(logger_get_level(), static_cast<uint32_t>(LOGGER_LEVELS_ALL));
}

TEST_F(LoggerTest, ErrorFamiliesFormatCodes)
{
    ASSERT_TRUE(start_logger(LOGGER_LEVELS_ALL, path_.c_str()));
    logger_win32_warning(5, "[test] open %s", "x");
    logger_win32_debug(0, "[test] no code");
    logger_log_win32(G_LOG_LEVEL_INFO, 1060, "[test] service");
    errno = 42;
    logger_errno_critical(ENOENT, "[test] stat %d", 3);
    EXPECT_EQ(errno, 42);
    logger_errno_message(0, "[test] no errno");

    EXPECT_TRUE(Logged("[test] open x: Access is denied. (error: 5)"));
    EXPECT_TRUE(Logged("[test] no code"));
    EXPECT_TRUE(Logged("[test] service: The specified service does not exist as an installed "
                       "service. (error: 1060)"));
    EXPECT_TRUE(Logged("[test] stat 3: No such file or directory"));
    EXPECT_TRUE(Logged("[test] no errno"));

    testing::internal::CaptureStdout();
    logger_console_errno(EACCES, "[test] console");
    logger_console_errno(0, "[test] plain");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[test] console: Permission denied\n[test] plain\n");
}

TEST_F(LoggerTest, ContextWrapperSharesOrRefuses)
{
    ASSERT_TRUE(start_logger(LOGGER_LEVELS_DEFAULT, path_.c_str()));
    log_ctx_wrapper_t *wrapper = get_log_ctx_wrapper();
    set_log_ctx_wrapper(wrapper);
    g_message("[test] after wrapper");
    EXPECT_TRUE(Logged("[test] after wrapper"));

    log_ctx_wrapper_t other = *wrapper;
    other.base_logger_ctx = nullptr;
    EXPECT_EXIT(set_log_ctx_wrapper(&other), testing::ExitedWithCode(1), "");
    free_log_ctx_wrapper(wrapper);
    std::string log = Read(path_);
    EXPECT_NE(log.find("agent module reached an unexpected condition ((NULL == g_base_logger_ctx) "
                       "|| (g_base_logger_ctx == log_ctx_wrapper->base_logger_ctx))\r\n"),
              std::string::npos);
    EXPECT_TRUE(Logged("aborting due to assertion error"));
}

TEST_F(LoggerTest, FatalErrorExits15)
{
    ASSERT_TRUE(start_logger(LOGGER_LEVELS_DEFAULT, path_.c_str()));
    EXPECT_EXIT(agent_fatal_error("[test] failed to allocate QMP object of type '%s' (%zu bytes)",
                                  "Policy", static_cast<size_t>(64)),
                testing::ExitedWithCode(15), "");
    std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(
                  ":CRITICAL]\t[test] failed to allocate QMP object of type 'Policy' (64 bytes)"),
              std::string::npos);
    EXPECT_NE(lines[1].find(":CRITICAL]\t*** FATAL ERROR - breaking out of process ***"),
              std::string::npos);
}

TEST_F(LoggerTest, AssertionAndErrorLevelExit1)
{
    ASSERT_TRUE(start_logger(LOGGER_LEVELS_DEFAULT, path_.c_str()));
    int one = 1;
    EXPECT_EXIT(AGENT_ASSERT(one == 2), testing::ExitedWithCode(1), "");
    std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(Matches(":CRITICAL\\]\\tERROR: .*logger_test\\.cpp:\\d+#.*: agent module "
                        "reached an unexpected condition \\(one == 2\\)$",
                        lines[0]))
        << lines[0];
    EXPECT_NE(lines[1].find(":CRITICAL]\taborting due to assertion error"), std::string::npos);

    /* An error-level line is written, then the process ends. */
    EXPECT_EXIT(g_error("[test] unrecoverable %d", 9), testing::ExitedWithCode(1), "");
    EXPECT_TRUE(Logged("[test] unrecoverable 9"));
    EXPECT_NE(Lines().back().find(":ERROR]\t"), std::string::npos);
}

} // namespace
