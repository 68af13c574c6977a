/* Services on Linux from fixture roots: units, tags, cgroup texts, socket tables, and the
 * map bytes the module builds from them. */
#include <glib.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "enforcement/framework/agent/en-service-map.h"
#include "enforcement/platforms/service-map.h"
#include "tests/common/hv-test-support.h"

namespace {

using hvtest::kAnyLevel;

void Write(const std::string &path, const std::string &text)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    ASSERT_TRUE(g_file_set_contents(path.c_str(), text.c_str(), static_cast<gssize>(text.size()), nullptr));
}

class ServiceRoots : public hvtest::LoggingTest {
protected:
    void SetUp() override
    {
        hvtest::LoggingTest::SetUp();
        dir_ = hvtest::MakeTempDir("hv-svc-roots");
        ASSERT_FALSE(dir_.empty());
        g_setenv("HV_UNIT_PATH", (dir_ + "/etc:" + dir_ + "/lib").c_str(), TRUE);
        g_setenv("HV_CGROUP_ROOT", (dir_ + "/cgroup").c_str(), TRUE);
        g_setenv("HV_PROC_ROOT", (dir_ + "/proc").c_str(), TRUE);
        platform_service_tags_reset();
    }
    void TearDown() override
    {
        platform_service_tags_reset();
        g_unsetenv("HV_UNIT_PATH");
        g_unsetenv("HV_CGROUP_ROOT");
        g_unsetenv("HV_PROC_ROOT");
        hvtest::RemoveTree(dir_);
        hvtest::LoggingTest::TearDown();
    }
    std::vector<platform_service_tag> Tags()
    {
        std::vector<platform_service_tag> out;
        uint32_t code = 0;
        EXPECT_TRUE(platform_service_tags(&out, &code)) << code;
        return out;
    }
    static std::string Named(const std::vector<platform_service_tag> &tags)
    {
        std::string s;
        for (const auto &t : tags) {
            s += std::to_string(t.tag) + "=" + t.name + " ";
        }
        return s;
    }
    std::string dir_;
};

TEST(CgroupService, PicksTheUnitOfTheSystemdHierarchy)
{
    EXPECT_EQ(platform_parse_cgroup_service("0::/system.slice/demo.service\n"), "demo.service");
    /* systemd's own hierarchy wins over a controller that puts the process elsewhere. */
    EXPECT_EQ(platform_parse_cgroup_service("4:memory:/other.service\n1:name=systemd:/system.slice/ssh.service\n"
                                            "0::/system.slice/unified.service\n"),
              "ssh.service");
    EXPECT_EQ(platform_parse_cgroup_service("4:memory:/x.slice/mem.service\n0::/\n"), "mem.service");
    /* A user's own units and programs run under the user's manager: no service of the system. */
    EXPECT_EQ(platform_parse_cgroup_service("0::/user.slice/user-1000.slice/user@1000.service/app.slice/"
                                            "player.service\n"),
              "");
    EXPECT_EQ(platform_parse_cgroup_service("0::/user.slice/user-1000.slice/user@1000.service/app.slice/"
                                            "app-editor-42.scope\n"),
              "");
    /* Only the manager instance of a uid is special. */
    EXPECT_EQ(platform_parse_cgroup_service("0::/system.slice/user@x.service\n"), "user@x.service");
    EXPECT_EQ(platform_parse_cgroup_service("0::/system.slice/demo.service/init.scope"), "demo.service");
    EXPECT_EQ(platform_parse_cgroup_service("0::/user.slice/session-3.scope\n"), "");
    EXPECT_EQ(platform_parse_cgroup_service("0::/\n1:name=systemd:/\n"), "");
    /* Malformed lines, a bare suffix and a template are no units. */
    EXPECT_EQ(platform_parse_cgroup_service("garbage\n0::/.service\n0:/x/a@.service"), "");
    EXPECT_EQ(platform_parse_cgroup_service(""), "");
}

/* Whoever owns a delegated subtree names its folders: a user or a container must not pass
 * for the system service it names a folder after. */
TEST(CgroupService, FoldersBelowAUnitCannotImpersonateASystemService)
{
    EXPECT_EQ(platform_parse_cgroup_service("0::/user.slice/user-1000.slice/user@1000.service/app.slice/"
                                            "sshd.service\n"),
              "");
    EXPECT_EQ(platform_parse_cgroup_service("0::/system.slice/demo.service/payload/sshd.service\n"), "demo.service");
    EXPECT_EQ(platform_parse_cgroup_service("0::/machine.slice/docker-1.scope/system.slice/sshd.service\n"), "");
    EXPECT_EQ(platform_parse_cgroup_service("0::/user.slice/user-1000.slice/session-2.scope/sshd.service\n"), "");
    /* A folder with bytes systemd never puts in a unit name is no service, nor is what is below it. */
    EXPECT_EQ(platform_parse_cgroup_service("0::/system.slice/b\xff" "d.service/sshd.service\n"), "");
    EXPECT_EQ(platform_parse_cgroup_service("0::/system.slice/" + std::string(300, 'a') + ".service\n"), "");
}

TEST(SocketTable, DecodesKernelRows)
{
    const char *tcp =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
        "   0: 0100007F:0277 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 12345 1 0 100 0 0 10 0\n"
        "   1: 0A01A8C0:C350 0201A8C0:01BB 01 00000000:00000000 00:00000000 00000000  1000        0 999 1 0\n";
    std::vector<platform_socket_row> rows;
    ASSERT_TRUE(platform_parse_socket_table(tcp, false, false, &rows));
    ASSERT_EQ(rows.size(), 2u);
    uint32_t host = 0;
    memcpy(&host, rows[0].socket.local, 4);
    EXPECT_EQ(host, 0x7F000001u);
    EXPECT_EQ(rows[0].socket.local_port, 631);
    EXPECT_EQ(rows[0].inode, 12345u);
    memcpy(&host, rows[1].socket.local, 4);
    EXPECT_EQ(host, 0xC0A8010Au); /* 192.168.1.10 */
    memcpy(&host, rows[1].socket.remote, 4);
    EXPECT_EQ(host, 0xC0A80102u);
    EXPECT_EQ(rows[1].socket.local_port, 50000);
    EXPECT_EQ(rows[1].socket.remote_port, 443);
    for (int i = 4; i < 16; i++) {
        EXPECT_EQ(rows[1].socket.local[i], 0) << i;
    }

    /* ::1 port 53 in the kernel's words; UDP rows lose their remote side. */
    const char *udp6 = "  sl  local_address                         remote_address                        st\n"
                       "  7: 00000000000000000000000001000000:0035 00000000000000000000000001000000:1234 07 "
                       "00000000:00000000 00:00000000 00000000   0   0 777 2 0\n";
    ASSERT_TRUE(platform_parse_socket_table(udp6, true, true, &rows));
    ASSERT_EQ(rows.size(), 1u);
    uint8_t loopback[16] = {};
    loopback[15] = 1;
    EXPECT_EQ(memcmp(rows[0].socket.local, loopback, 16), 0);
    EXPECT_EQ(rows[0].socket.local_port, 53);
    EXPECT_EQ(rows[0].socket.remote_port, 0);
    uint8_t zero[16] = {};
    EXPECT_EQ(memcmp(rows[0].socket.remote, zero, 16), 0);
    EXPECT_EQ(rows[0].inode, 777u);

    /* A short address, a port beyond 16 bits or a missing inode fail the table. */
    std::string head = "header\n";
    EXPECT_FALSE(platform_parse_socket_table(head + " 0: 0100007F:0277 00000000:0000 0A 0:0 0:0 0 0 0\n", false,
                                             false, &rows));
    EXPECT_FALSE(platform_parse_socket_table(head + " 0: 100007F:0277 00000000:0000 0A 0:0 0:0 0 0 0 5\n", false,
                                             false, &rows));
    EXPECT_FALSE(platform_parse_socket_table(head + " 0: 0100007F:10277 00000000:0000 0A 0:0 0:0 0 0 0 5\n", false,
                                             false, &rows));
    EXPECT_FALSE(platform_parse_socket_table(head + " 0: 0100007F:0277 00000000:0000 0A 0:0 0:0 0 0 0 5x\n", false,
                                             false, &rows));
    EXPECT_TRUE(platform_parse_socket_table(head, false, false, &rows));
    EXPECT_TRUE(rows.empty());
}

TEST_F(ServiceRoots, UnitsFromFoldersAndCgroupsKeepTheirTags)
{
    Write(dir_ + "/lib/zeta.service", "[Unit]\nDescription=Zeta\n");
    Write(dir_ + "/lib/getty@.service", "[Unit]\n");
    Write(dir_ + "/lib/alpha.timer", "[Unit]\n");
    Write(dir_ + "/etc/alpha.service", "[Unit]\n");
    ASSERT_EQ(symlink("/dev/null", (dir_ + "/etc/masked.service").c_str()), 0);
    std::filesystem::create_directories(dir_ + "/cgroup/unified/system.slice/demo.service/sub");
    std::filesystem::create_directories(dir_ + "/cgroup/systemd/system.slice/demo.service");
    std::filesystem::create_directories(dir_ + "/cgroup/unified/user.slice/user@0.service/app.slice/mid.service");

    /* One listing is numbered in name order. */
    EXPECT_EQ(Named(Tags()), "1=alpha.service 2=demo.service 3=user@0.service 4=zeta.service ");

    /* A new unit gets the next tag; one that goes keeps its tag for when it comes back. */
    std::filesystem::create_directories(dir_ + "/cgroup/unified/system.slice/beta.service");
    std::filesystem::remove(dir_ + "/lib/zeta.service");
    EXPECT_EQ(Named(Tags()), "1=alpha.service 2=demo.service 3=user@0.service 5=beta.service ");
    Write(dir_ + "/lib/zeta.service", "[Unit]\n");
    EXPECT_EQ(Named(Tags()), "1=alpha.service 2=demo.service 3=user@0.service 4=zeta.service 5=beta.service ");

    platform_service_tags_reset();
    EXPECT_EQ(Named(Tags()), "1=alpha.service 2=beta.service 3=demo.service 4=user@0.service 5=zeta.service ");
}

/* Folders a user or a container may create, and names systemd would refuse, are no
 * services: they neither appear in the listing nor keep the map from being built. */
TEST_F(ServiceRoots, ListingSkipsDelegatedFoldersAndOddNames)
{
    std::filesystem::create_directories(dir_ + "/cgroup/system.slice/real.service");
    std::filesystem::create_directories(dir_ + "/cgroup/user.slice/user-1000.slice/user@1000.service/app.slice/"
                                               "sshd.service");
    std::filesystem::create_directories(dir_ + "/cgroup/system.slice/box.scope/system.slice/fake.service");
    std::filesystem::create_directories(dir_ + "/cgroup/system.slice/real.service/payload/inner.service");
    std::filesystem::create_directories(dir_ + "/cgroup/system.slice/b\xff\xfe" "d.service");
    Write(dir_ + "/etc/" + std::string(200, 'x') + "\n.service", "[Unit]\n");
    std::vector<platform_service_tag> tags = Tags();
    EXPECT_EQ(Named(tags), "1=real.service 2=user@1000.service ");
    std::vector<uint8_t> map;
    EXPECT_TRUE(en_service_name_map_convert(tags, &map));
}

TEST_F(ServiceRoots, NoSourceIsAFailureAndNoUnitIsAnEmptyList)
{
    std::vector<platform_service_tag> out;
    uint32_t code = 0;
    EXPECT_FALSE(platform_service_tags(&out, &code));
    EXPECT_EQ(code, 2u);
    std::filesystem::create_directories(dir_ + "/cgroup");
    EXPECT_TRUE(platform_service_tags(&out, &code));
    EXPECT_TRUE(out.empty());
    EXPECT_NE(platform_service_sources().find(dir_ + "/cgroup"), std::string::npos);
}

TEST_F(ServiceRoots, ProcessServiceFromItsCgroupFile)
{
    Write(dir_ + "/proc/42/cgroup", "1:name=systemd:/system.slice/demo.service\n0::/system.slice/demo.service\n");
    Write(dir_ + "/proc/43/cgroup", "0::/user.slice/session-1.scope\n");
    EXPECT_EQ(platform_process_service(42), "demo.service");
    EXPECT_EQ(platform_process_service(43), "");
    EXPECT_EQ(platform_process_service(44), "");
    EXPECT_EQ(platform_process_service(0), "");
}

/* The socket tables of fixture processes: rows join their owners through the inode. */
TEST_F(ServiceRoots, SocketsCarryTheTagOfTheirOwnersService)
{
    std::filesystem::create_directories(dir_ + "/cgroup/system.slice/demo.service");
    Write(dir_ + "/proc/net/tcp",
          "header\n"
          " 0: 00000000:0016 00000000:0000 0A 0:0 0:0 0 0 0 501\n"
          " 1: 0A00000A:0050 00000000:0000 0A 0:0 0:0 0 0 0 502\n"
          " 2: 0A00000A:0051 00000000:0000 06 0:0 0:0 0 0 0 0\n");
    Write(dir_ + "/proc/100/cgroup", "0::/system.slice/demo.service\n");
    Write(dir_ + "/proc/200/cgroup", "0::/user.slice\n");
    std::filesystem::create_directories(dir_ + "/proc/100/fd");
    std::filesystem::create_directories(dir_ + "/proc/200/fd");
    ASSERT_EQ(symlink("socket:[501]", (dir_ + "/proc/100/fd/3").c_str()), 0);
    ASSERT_EQ(symlink("/dev/null", (dir_ + "/proc/100/fd/0").c_str()), 0);
    ASSERT_EQ(symlink("socket:[502]", (dir_ + "/proc/200/fd/4").c_str()), 0);

    std::vector<platform_service_tag> tags = Tags();
    ASSERT_EQ(Named(tags), "1=demo.service ");
    std::vector<platform_service_socket> rows;
    uint32_t code = 0;
    ASSERT_TRUE(platform_service_sockets(PLATFORM_SOCKETS_TCP, &rows, &code));
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].service_tag, 1u);
    EXPECT_EQ(rows[0].local_port, 22);
    EXPECT_EQ(rows[1].service_tag, 0u); /* its owner is in no service */
    EXPECT_EQ(rows[2].service_tag, 0u); /* no owner: inode 0 */

    EXPECT_FALSE(platform_service_sockets(PLATFORM_SOCKETS_UDP, &rows, &code));
    EXPECT_EQ(code, 2u);
    Write(dir_ + "/proc/net/udp", "header\n 0: zz\n");
    EXPECT_FALSE(platform_service_sockets(PLATFORM_SOCKETS_UDP, &rows, &code));
    EXPECT_EQ(code, 13u);
}

std::vector<uint8_t> Entry(uint64_t tag, const std::string &name)
{
    std::vector<uint8_t> b(8 + 2);
    memcpy(b.data(), &tag, 8);
    uint16_t n = static_cast<uint16_t>(name.size());
    memcpy(b.data() + 8, &n, 2);
    b.insert(b.end(), name.begin(), name.end());
    b.push_back(0);
    return b;
}

TEST_F(ServiceRoots, MapBytesAreSortedByTag)
{
    std::vector<uint8_t> map;
    ASSERT_TRUE(en_service_name_map_convert({{7, "b.service"}, {2, "zz.service"}, {0xFFFFFFFFu, "a"}}, &map));
    std::vector<uint8_t> want(8);
    for (const auto &e : {Entry(2, "zz.service"), Entry(7, "b.service"), Entry(0xFFFFFFFFu, "a")}) {
        want.insert(want.end(), e.begin(), e.end());
    }
    uint32_t total = static_cast<uint32_t>(want.size()), count = 3;
    memcpy(want.data(), &total, 4);
    memcpy(want.data() + 4, &count, 4);
    EXPECT_EQ(total, 8u + (10 + 11) + (9 + 11) + (1 + 11));
    EXPECT_EQ(map, want);
    EXPECT_TRUE(Logged(kAnyLevel, "[service_name_map] convert: writing 3 entries, 61 bytes"));
}

TEST_F(ServiceRoots, MapLimits)
{
    std::vector<uint8_t> map;
    EXPECT_TRUE(en_service_name_map_convert({{1, std::string(4096, 'x')}}, &map));
    EXPECT_EQ(map.size(), 8u + 4096 + 11);
    EXPECT_FALSE(en_service_name_map_convert({{1, "a"}, {2, std::string(4097, 'x')}}, &map));
    EXPECT_TRUE(LoggedPrefix(kAnyLevel, "[service_name_map] convert: cannot handle service name of length 4097: xxx"));
    EXPECT_FALSE(en_service_name_map_convert({}, &map));
    EXPECT_TRUE(Logged(kAnyLevel, "[service_name_map] convert: cannot handle map of size 0"));
    EXPECT_FALSE(en_service_name_map_convert({{1, std::string("bad\xff.service")}}, &map));
    EXPECT_TRUE(LoggedPrefix(kAnyLevel, "[service_name_map] convert: error converting service name to UTF-8: "));

    std::vector<platform_service_tag> many;
    for (uint32_t i = 1; i <= 65537; i++) {
        many.push_back({i, "s"});
    }
    EXPECT_FALSE(en_service_name_map_convert(many, &map));
    EXPECT_TRUE(Logged(kAnyLevel, "[service_name_map] convert: cannot handle map of size 65537"));
    many.pop_back();
    ASSERT_TRUE(en_service_name_map_convert(many, &map));
    EXPECT_EQ(map.size(), 8u + 65536u * 12);
}

} // namespace
