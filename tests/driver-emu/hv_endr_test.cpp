/* hv-endr end to end: the real tool against this process's emulated driver. */
#include <algorithm>

#include "emu-fixture.h"
#include "qobject/qbool.h"

using namespace endr;

namespace {

class HvEndr : public EmuFixture {
protected:
    /* Runs hv-endr with the test's socket; the JSON object it printed, or NULL. */
    QDict *Run(std::vector<std::string> args, int *status, bool with_address = true)
    {
        if (with_address) {
            args.insert(args.begin(), {"--address", address_});
        }
        args.insert(args.begin(), HV_ENDR);
        hvtest::Outcome run = hvtest::RunProgram(args);
        *status = run.exit_code;
        EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << run.out;
        QObject *obj = qobject_from_json(run.out.c_str(), nullptr);
        if (!obj) {
            return nullptr;
        }
        holds_.push_back(obj);
        return qobject_to_qdict(obj);
    }
};

TEST_F(HvEndr, StatusShowsWhatTheModuleSent)
{
    Load();
    ASSERT_EQ(Value(kSetConsumerRole, 0), 0u);
    ASSERT_EQ(Value(kEnforcementMode, 3), 0u);
    std::vector<uint8_t> excluded(kExcludedSize, 0);
    put<uint64_t>(excluded, 0, 21);
    ASSERT_EQ(Buffer(kExcludedInterfaces, excluded), 0u);
    int status;
    QDict *s = Run({"status"}, &status);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(U(s, "version"), 420005u);
    EXPECT_STREQ(qdict_get_str(s, "role"), "consumer");
    EXPECT_TRUE(qdict_get_bool(s, "live"));
    EXPECT_EQ(U(qdict_get_qdict(s, "settings"), "enforcement-mode"), 3u);
    EXPECT_EQ(qlist_size(qdict_get_qlist(s, "excluded-luids")), 1u);
}

TEST_F(HvEndr, RaiseLidRequestReachesTheEventRead)
{
    Load();
    int status;
    QDict *r = Run({"raise-lid-request", "314"}, &status);
    EXPECT_EQ(status, 0);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(U(r, "pid"), 314u);
    std::vector<uint8_t> area(kEventAreaSize), out(65535);
    Hdr h;
    h.value = reinterpret_cast<uintptr_t>(area.data());
    ASSERT_EQ(Raw(kReadEvent, h, out.data(), 65535), 0u);
    EXPECT_EQ(get<uint64_t>(area.data() + 4), 314u);

    Run({"raise-lid-request", "-3"}, &status);
    EXPECT_EQ(status, 1);
}

TEST_F(HvEndr, InjectedConnectionIsServedToTheConnectionRead)
{
    Load();
    int status;
    Run({"inject-connection", "--direction", "in", "--protocol", "tcp", "--local", "[fe80::1]:443", "--remote",
         "[fe80::2]:50000", "--pid", "7"},
        &status);
    ASSERT_EQ(status, 0);
    std::vector<uint8_t> records(kConnectionRecordSize), aux(8), req(kConnectionRequestSize, 0);
    put<uint64_t>(req, 0, 1000);
    put<uint32_t>(req, 8, 1);
    put<uint32_t>(req, 12, 1);
    put<uint32_t>(req, 20, kConnectionRecordSize);
    put<uint64_t>(req, 24, reinterpret_cast<uintptr_t>(records.data()));
    put<uint64_t>(req, 32, reinterpret_cast<uintptr_t>(aux.data()));
    ASSERT_EQ(Buffer(kGetConnections, req), 0u);
    ASSERT_EQ(get<uint32_t>(req.data() + 16), 1u);
    const uint8_t *rec = records.data();
    EXPECT_EQ(rec[4], 0u) << "IPv6 head";
    EXPECT_EQ(rec[4 + 8 + 15], 2u) << "inbound: the remote endpoint is the source";
    EXPECT_EQ(get<uint16_t>(rec + 52), 50000u);
    EXPECT_EQ(get<uint16_t>(rec + 54), 443u);
    EXPECT_EQ(get<uint16_t>(rec + 60), 2u);
    EXPECT_EQ(rec[80], 1u);
    EXPECT_EQ(get<uint32_t>(rec + 84), 2u) << "ALLOW until the classifier exists";

    QDict *e = Run({"inject-connection", "--direction", "sideways", "--protocol", "tcp", "--local", "1.1.1.1",
                    "--remote", "2.2.2.2"},
                   &status);
    EXPECT_EQ(status, 1);
    ASSERT_NE(e, nullptr);
    EXPECT_TRUE(qdict_haskey(e, "error"));
}

TEST_F(HvEndr, FailAndLogThroughTheSocket)
{
    Load();
    int status;
    Run({"fail", "0x122472", "1"}, &status);
    ASSERT_EQ(status, 0);
    uint32_t rc;
    Version(&rc);
    EXPECT_EQ(rc, kGenFailure);
    Version(&rc);
    EXPECT_EQ(rc, 0u);

    Run({"log", "from the tool"}, &status);
    ASSERT_EQ(status, 0);
    std::vector<uint8_t> buf(64), req(kLogRequestSize, 0);
    put<uint64_t>(req, 8, reinterpret_cast<uintptr_t>(buf.data()));
    put<uint32_t>(req, 16, 64);
    put<uint32_t>(req, 20, 2048);
    ASSERT_EQ(Buffer(kGetDriverLogs, req), 0u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf.data()), get<uint32_t>(req.data() + 24)), "from the tool\n");
}

TEST_F(HvEndr, WithoutAModuleStatusAndFailUseTheStateFile)
{
    int status;
    QDict *s = Run({"status"}, &status);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(qdict_get_bool(s, "live"));

    Run({"fail", "1188978"}, &status); /* 0x122472 in decimal */
    ASSERT_EQ(status, 0);
    Run({"raise-lid-request", "1"}, &status);
    EXPECT_EQ(status, 2) << "a lid request needs a running driver";
    Run({"fail", "0x999999"}, &status);
    EXPECT_EQ(status, 1);

    /* The armed fault makes the next module start fail its version read, then not. */
    Load();
    uint32_t rc;
    Version(&rc);
    EXPECT_EQ(rc, kGenFailure);
    Version(&rc);
    EXPECT_EQ(rc, 0u);
}

TEST_F(HvEndr, UnreachableAddressExitsTwo)
{
    int status;
    std::string nowhere = std::string("ipc://") + dir_ + "/nobody.ipc";
    QDict *e = Run({"--address", nowhere, "log", "x"}, &status, false);
    EXPECT_EQ(status, 2);
    ASSERT_NE(e, nullptr);
    EXPECT_TRUE(qdict_haskey(e, "error"));
    Run({"classify", "--direction", "out"}, &status);
    EXPECT_EQ(status, 1);
}

} // namespace
