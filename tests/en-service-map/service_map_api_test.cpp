/* The service name map and existing tuples end to end: the API's monitor and one-shot send
 * through the channel to the emulated driver, and the driver's verdicts on service rules. */
#include <arpa/inet.h>
#include <gio/gio.h>
#include <signal.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "../en-classify/classify-fixture.h"
#include "enforcement/framework/agent/en-service-map.h"
#include "tests/common/process-child.h"

namespace {

void Write(const std::string &path, const std::string &text)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    ASSERT_TRUE(g_file_set_contents(path.c_str(), text.c_str(), static_cast<gssize>(text.size()), nullptr));
}

/* A socket bound to addr:0 (listening for TCP); its port, 0 when it could not be made. */
struct Socket {
    int fd = -1;
    uint16_t port = 0;
    Socket(int family, int type, const char *addr)
    {
        fd = socket(family, type | SOCK_CLOEXEC, 0);
        sockaddr_storage ss{};
        socklen_t len;
        if (family == AF_INET) {
            auto *a = reinterpret_cast<sockaddr_in *>(&ss);
            a->sin_family = AF_INET;
            inet_pton(AF_INET, addr, &a->sin_addr);
            len = sizeof *a;
        } else {
            auto *a = reinterpret_cast<sockaddr_in6 *>(&ss);
            a->sin6_family = AF_INET6;
            inet_pton(AF_INET6, addr, &a->sin6_addr);
            len = sizeof *a;
        }
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&ss), len) != 0 ||
            (type == SOCK_STREAM && listen(fd, 4) != 0) || getsockname(fd, reinterpret_cast<sockaddr *>(&ss), &len)) {
            return;
        }
        port = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in *>(&ss)->sin_port
                                       : reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port);
    }
    ~Socket()
    {
        if (fd >= 0) {
            close(fd);
        }
    }
};

std::string Rule(const std::string &id, const std::string &verdict, const std::string &src, const std::string &dst)
{
    return R"({"match_src": )" + src + R"(, "match_dst": )" + dst +
           R"(, "protocols": ["tcp", "udp"], "rule_type": "explicit", "verdict": ")" + verdict + R"(", "id": ")" + id +
           R"("})";
}

std::string OneChain(const std::vector<std::string> &rules)
{
    std::string s = R"([{"chain_name": "c", "rules": [)";
    for (size_t i = 0; i < rules.size(); i++) {
        s += (i ? ", " : "") + rules[i];
    }
    return s + "]}]";
}

constexpr uint64_t kDemoPid = 4000001, kOtherPid = 4000002, kGhostPid = 4000003, kUserPid = 4000004;

class ServiceApiTest : public EnApiTest {
protected:
    void SetUp() override
    {
        EnApiTest::SetUp();
        Write(dir_ + "/bin/hv-enforcement64.sys", "4 FALSE\n5 FALSE\n6 FALSE\n7 TRUE\n");
        /* A machine of fixture processes; this process is one of them, with its real
         * sockets and descriptors, placed in demo.service. */
        std::string proc = dir_ + "/proc", self = proc + "/" + std::to_string(getpid());
        std::filesystem::create_directories(self);
        ASSERT_EQ(symlink("/proc/self/net", (proc + "/net").c_str()), 0);
        ASSERT_EQ(symlink("/proc/self/fd", (self + "/fd").c_str()), 0);
        Write(self + "/cgroup", "0::/system.slice/demo.service\n");
        Write(proc + "/" + std::to_string(kDemoPid) + "/cgroup", "0::/system.slice/demo.service\n");
        Write(proc + "/" + std::to_string(kOtherPid) + "/cgroup", "0::/system.slice/other.service\n");
        Write(proc + "/" + std::to_string(kGhostPid) + "/cgroup", "0::/system.slice/ghost.service\n");
        Write(proc + "/" + std::to_string(kUserPid) + "/cgroup", "0::/user.slice/user-1000.slice/session-1.scope\n");
        std::filesystem::create_directories(dir_ + "/cgroup/system.slice/demo.service");
        Write(dir_ + "/units/other.service", "[Unit]\nDescription=Other\n");
        g_setenv("HV_PROC_ROOT", proc.c_str(), TRUE);
        g_setenv("HV_CGROUP_ROOT", (dir_ + "/cgroup").c_str(), TRUE);
        g_setenv("HV_UNIT_PATH", (dir_ + "/units").c_str(), TRUE);
        g_setenv("HV_SYSTEMD_BUS_ADDRESS", ("unix:path=" + dir_ + "/no-bus").c_str(), TRUE);
        en_service_name_map_set_interval_for_test(20);
        ASSERT_TRUE(en_lid_map_init());
    }
    void TearDown() override
    {
        EnApiTest::TearDown();
        en_lid_map_free();
        en_service_name_map_set_interval_for_test(0);
        g_unsetenv("HV_PROC_ROOT");
        g_unsetenv("HV_CGROUP_ROOT");
        g_unsetenv("HV_UNIT_PATH");
        g_unsetenv("HV_SYSTEMD_BUS_ADDRESS");
    }

    bool Start()
    {
        h_ = Init();
        return h_ && en_api_start(h_);
    }

    /* The driver's map: name -> tag. */
    static std::map<std::string, uint64_t> DriverMap()
    {
        endr::Engine &e = endr::engine();
        std::lock_guard<std::mutex> g(e.mu);
        std::map<std::string, uint64_t> out;
        for (const auto &[tag, name] : e.service_names) {
            out[name] = tag;
        }
        return out;
    }
    static bool DriverHas(const std::string &name) { return DriverMap().count(name) > 0; }

    /* The bus library keeps worker threads of its own, so threads are looked for by name. */
    static bool HasThread(const std::string &name)
    {
        for (const auto &task : std::filesystem::directory_iterator("/proc/self/task")) {
            /* The kernel keeps the first 15 bytes of a thread's name. */
            if (hvtest::ReadFile(task.path().string() + "/comm", "").rfind(name.substr(0, 15), 0) == 0) {
                return true;
            }
        }
        return false;
    }

    static std::vector<endr::ServiceTuple> DriverTuples()
    {
        endr::Engine &e = endr::engine();
        std::lock_guard<std::mutex> g(e.mu);
        return e.service_tuples;
    }

    bool Push(const std::string &input, const std::string &output, std::string *why)
    {
        TablePtr in = ParseTable(input), out = ParseTable(output);
        en_lid_map_reset();
        uint64_t count = 0;
        Error *err = nullptr;
        if (!en_table_convert(h_, false, in.get(), &count, &err) || !en_table_convert(h_, true, out.get(), &count, &err)) {
            *why = hvtest::TakeMessage(err);
            return false;
        }
        return en_api_policy_set_revision(h_, ++revision_) && en_api_policy_swap(h_);
    }

    static std::string Decide(Tuple t, uint64_t pid)
    {
        t.pid = pid;
        return ClassifyTest::Decide(t);
    }

    en_handle *h_ = nullptr;
    uint64_t revision_ = 7;
};

TEST(DriverServiceBuffers, MapsAndTuplesAsTheDriverReadsThem)
{
    std::vector<platform_service_tag> entries = {{3, "a.service"}, {9, "b.service"}};
    std::vector<uint8_t> map;
    ASSERT_TRUE(en_service_name_map_convert(entries, &map));
    uint32_t n = 0;
    std::map<uint64_t, std::string> names;
    ASSERT_EQ(endr::parse_service_map(map, &n, &names), 0u);
    EXPECT_EQ(names, (std::map<uint64_t, std::string>{{3, "a.service"}, {9, "b.service"}}));
    /* One tag for two names would leave the driver to pick one. */
    ASSERT_TRUE(en_service_name_map_convert({{3, "a.service"}, {3, "b.service"}}, &map));
    EXPECT_EQ(endr::parse_service_map(map, &n, &names), 87u);

    /* 10.1.2.3:80 from a host-order u32, to 10.1.2.4:5000. */
    std::vector<uint8_t> tuples(4 + 46, 0);
    uint32_t count = 1, local = 0x0A010203, remote = 0x0A010204;
    uint16_t lport = 80, rport = 5000;
    uint64_t tag = 9;
    memcpy(tuples.data(), &count, 4);
    memcpy(tuples.data() + 4, &local, 4);
    memcpy(tuples.data() + 20, &remote, 4);
    memcpy(tuples.data() + 36, &lport, 2);
    memcpy(tuples.data() + 38, &rport, 2);
    tuples[40] = 0;
    tuples[41] = 1;
    memcpy(tuples.data() + 42, &tag, 8);
    std::vector<endr::ServiceTuple> read;
    ASSERT_EQ(endr::parse_service_tuples(tuples, &count, &read), 0u);
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read[0].local, (std::array<uint8_t, 16>{10, 1, 2, 3}));
    EXPECT_EQ(read[0].remote, (std::array<uint8_t, 16>{10, 1, 2, 4}));
    EXPECT_EQ(read[0].local_port, 80);
    EXPECT_EQ(read[0].remote_port, 5000);
    EXPECT_EQ(read[0].tag, 9u);
    EXPECT_FALSE(read[0].udp);
    EXPECT_FALSE(read[0].ipv6);
}

TEST_F(ServiceApiTest, MapAndTuplesReachTheDriver)
{
    Socket tcp(AF_INET, SOCK_STREAM, "0.0.0.0"), udp(AF_INET, SOCK_DGRAM, "0.0.0.0");
    Socket tcp_lo(AF_INET, SOCK_STREAM, "127.0.0.1"), tcp6_lo(AF_INET6, SOCK_STREAM, "::1");
    Socket tcp6(AF_INET6, SOCK_STREAM, "::");
    ASSERT_NE(tcp.port, 0);
    ASSERT_NE(udp.port, 0);
    ASSERT_NE(tcp_lo.port, 0);
    ASSERT_TRUE(Start());
    /* The tuples went before start returned; the map comes with the first refresh. */
    ASSERT_TRUE(WaitFor([] { return DriverHas("demo.service"); }));
    std::map<std::string, uint64_t> map = DriverMap();
    EXPECT_EQ(map.size(), 2u);
    EXPECT_EQ(map.count("other.service"), 1u);
    uint64_t demo = map["demo.service"];

    std::map<std::pair<bool, uint16_t>, endr::ServiceTuple> seen;
    for (const endr::ServiceTuple &t : DriverTuples()) {
        seen[std::make_pair(t.udp, t.local_port)] = t;
        EXPECT_EQ(t.tag, demo);
    }
    auto has = [&](bool is_udp, uint16_t port) { return seen.count(std::make_pair(is_udp, port)) == 1; };
    auto at = [&](bool is_udp, uint16_t port) { return seen[std::make_pair(is_udp, port)]; };
    const std::array<uint8_t, 16> zero{};
    ASSERT_TRUE(has(false, tcp.port));
    EXPECT_FALSE(at(false, tcp.port).ipv6);
    EXPECT_EQ(at(false, tcp.port).local, zero);
    ASSERT_TRUE(has(true, udp.port));
    EXPECT_EQ(at(true, udp.port).remote, zero);
    EXPECT_EQ(at(true, udp.port).remote_port, 0);
    EXPECT_FALSE(has(false, tcp_lo.port));
    if (tcp6_lo.port) {
        EXPECT_FALSE(has(false, tcp6_lo.port));
    }
    if (tcp6.port) {
        ASSERT_TRUE(has(false, tcp6.port));
        EXPECT_TRUE(at(false, tcp6.port).ipv6);
    }
    EXPECT_TRUE(LoggedMatching(kAny, "[service_existing] found ", " existing service tuples; sending to driver"));

    /* A module starting again numbers its own tags: tuples it cannot send now must not
     * stay behind from before. */
    ASSERT_TRUE(en_api_stop(h_));
    std::filesystem::remove(dir_ + "/proc/net");
    ASSERT_TRUE(en_api_start(h_));
    EXPECT_TRUE(DriverTuples().empty());
    EXPECT_TRUE(LoggedPrefix(kAny, "[service_name_map] listing services from unit files in " + dir_ + "/units"));
    std::string no_bus = "[service_name_map] no service change notifications (cannot reach the bus at unix:path=" +
                         dir_ + "/no-bus";
    EXPECT_TRUE(WaitFor([&] { return LoggedPrefix(kAny, no_bus); }));
}

TEST_F(ServiceApiTest, RefreshSendsOnlyChanges)
{
    ASSERT_TRUE(Start());
    ASSERT_TRUE(WaitFor([] { return Logged(kAny, "[service_name_map] refresh: map hasn't changed"); }));
    EXPECT_EQ(Count(kAny, "[service_name_map] refresh: sent new map to kernel"), 1u);
    uint64_t demo = DriverMap()["demo.service"];

    std::filesystem::create_directories(dir_ + "/cgroup/system.slice/fresh.service");
    ASSERT_TRUE(WaitFor([] { return DriverHas("fresh.service"); }));
    EXPECT_EQ(DriverMap()["demo.service"], demo);
    EXPECT_TRUE(WaitFor([] { return Count(kAny, "[service_name_map] refresh: sent new map to kernel") == 2; }));

    /* A unit that goes leaves the map. */
    std::filesystem::remove(dir_ + "/cgroup/system.slice/fresh.service");
    ASSERT_TRUE(WaitFor([] { return !DriverHas("fresh.service"); }));

    ASSERT_TRUE(en_api_stop(h_));
    EXPECT_TRUE(Logged(kAny, "[service_name_map] stopping monitoring"));
    EXPECT_TRUE(Logged(kAny, "[service_name_map] breaking out of monitoring thread - got stop signal"));
    EXPECT_TRUE(Logged(kAny, "[service_name_map] monitoring thread exited"));
    EXPECT_FALSE(HasThread("service-name-map"));
}

TEST_F(ServiceApiTest, RefusedMapIsSentAgain)
{
    ArmFault(EN_IOCTL_SET_SERVICE_NAME_MAP, 31, 1);
    ASSERT_TRUE(Start());
    ASSERT_TRUE(WaitFor([] { return Logged(kAny, "[service_name_map] refresh: sent new map to kernel"); }));
    EXPECT_TRUE(DriverHas("demo.service"));
    EXPECT_TRUE(LoggedPrefix(kCritical, "[service_name_map] refresh: kernel call failed"));
}

TEST_F(ServiceApiTest, ListingFailuresAreRetried)
{
    g_setenv("HV_CGROUP_ROOT", (dir_ + "/nowhere").c_str(), TRUE);
    g_setenv("HV_UNIT_PATH", (dir_ + "/nowhere").c_str(), TRUE);
    ASSERT_TRUE(Start());
    ASSERT_TRUE(WaitFor([] { return CountPrefix(kCritical, "[service_name_map] failed to refresh") >= 2; }));
    g_setenv("HV_CGROUP_ROOT", (dir_ + "/cgroup").c_str(), TRUE);
    ASSERT_TRUE(WaitFor([] { return DriverHas("demo.service"); }));
}

TEST_F(ServiceApiTest, TupleFailuresOnlyWarn)
{
    Socket tcp(AF_INET, SOCK_STREAM, "0.0.0.0");
    ArmFault(EN_IOCTL_EXISTING_SERVICE_TUPLES, 31, 1);
    ASSERT_TRUE(Start());
    EXPECT_TRUE(LoggedPrefix(kCritical, "[service_existing] kernel call failed"));
    EXPECT_TRUE(Logged(kWarning, "[api] error: failed to send existing service tags"));
    EXPECT_TRUE(DriverTuples().empty());
    ASSERT_TRUE(en_api_stop(h_));

    LogRecord::Clear();
    std::filesystem::remove(dir_ + "/proc/net");
    ASSERT_TRUE(en_api_start(h_));
    EXPECT_TRUE(LoggedPrefix(kWarning, "[service_existing] error getting TCP table: "));
    EXPECT_TRUE(Logged(kWarning, "[api] error: failed to send existing service tags"));

    /* No service socket at all: nothing is sent, and that is no failure. */
    ASSERT_TRUE(en_api_stop(h_));
    LogRecord::Clear();
    std::filesystem::create_directories(dir_ + "/proc/net");
    for (const char *t : {"tcp", "udp", "tcp6", "udp6"}) {
        Write(dir_ + "/proc/net/" + t, "header\n");
    }
    ASSERT_TRUE(en_api_start(h_));
    EXPECT_TRUE(Logged(kAny, "[service_existing] found no existing service tuples"));
    EXPECT_FALSE(Logged(kWarning, "[api] error: failed to send existing service tags"));
}

TEST_F(ServiceApiTest, ServiceRulesDecideVerdicts)
{
    Socket tcp(AF_INET, SOCK_STREAM, "0.0.0.0");
    ASSERT_NE(tcp.port, 0);
    ASSERT_TRUE(Start());
    ASSERT_TRUE(WaitFor([] { return DriverHas("demo.service"); }));
    std::string why;
    ASSERT_TRUE(Push(OneChain({Rule("in-demo", "BLOCK", "{}", R"({"match_win_services": [{"service_name": "demo.service"}]})")}),
                     OneChain({Rule("out-remote", "BLOCK", "{}", R"({"match_win_services": [{"service_name": "demo.service"}]})"),
                               Rule("out-demo", "BLOCK", R"({"match_win_services": [{"service_name": "demo"}]})", "{}"),
                               Rule("out-any", "ALLOW", R"({"match_win_any_services": true})", "{}")}),
                     &why))
        << why;
    Tuple out = Out("tcp", "10.0.0.1", 40000, "10.0.0.2", 443);
    EXPECT_EQ(Decide(out, kDemoPid), "BLOCK:out-demo");
    /* other.service is a unit file, so the map names it: only the any-service rule holds. */
    EXPECT_EQ(Decide(out, kOtherPid), "ALLOW:out-any");
    /* ghost.service is in no listing: the driver cannot name it. */
    EXPECT_EQ(Decide(out, kGhostPid), "ALLOW:");
    EXPECT_EQ(Decide(out, 0), "ALLOW:");

    /* Inbound to the socket demo.service owned at start: the tuples name the service. */
    Tuple in = In("tcp", "10.9.9.9", tcp.port, "10.0.0.2", 5555);
    EXPECT_EQ(Decide(in, 0), "BLOCK:in-demo");
    /* A user's process that holds that port now is not the service that held it then. */
    EXPECT_EQ(Decide(in, kUserPid), "ALLOW:");
    in.local_port = static_cast<uint16_t>(tcp.port + 1);
    EXPECT_EQ(Decide(in, 0), "ALLOW:");
    in.protocol = "udp";
    in.local_port = tcp.port;
    EXPECT_EQ(Decide(in, 0), "ALLOW:");
}

TEST_F(ServiceApiTest, ConnectionRecordsNameTheService)
{
    ASSERT_TRUE(Start());
    ASSERT_TRUE(WaitFor([] { return DriverHas("demo.service"); }));
    auto record_of = [](uint64_t pid) {
        endr::ConnectionSpec spec;
        spec.pid = pid;
        spec.local_port = 40000;
        spec.remote_port = 443;
        endr::InjectResult result;
        EXPECT_EQ(endr::engine_inject_connection(spec, 1, &result), 0u);
        endr::Engine &e = endr::engine();
        std::lock_guard<std::mutex> g(e.mu);
        std::vector<uint8_t> r = e.connections.back();
        e.connections.clear();
        return r;
    };
    std::vector<uint8_t> r = record_of(kDemoPid);
    EXPECT_EQ(r[740], 1);
    EXPECT_STREQ(reinterpret_cast<const char *>(r.data() + 741), "demo.service");
    r = record_of(kGhostPid);
    EXPECT_EQ(r[740], 0);
    EXPECT_EQ(r[741], 0);
    r = record_of(0);
    EXPECT_EQ(r[740], 0);
}

TEST_F(ServiceApiTest, ServiceImagesNarrowTheMatch)
{
    ASSERT_TRUE(Start());
    ASSERT_TRUE(WaitFor([] { return DriverHas("demo.service"); }));
    std::string why;
    ASSERT_TRUE(Push("[]",
                     OneChain({Rule("imaged", "BLOCK",
                                    R"({"match_win_services": [{"service_name": "demo.service", "service_image_names": ["/usr/sbin/demod"]}]})",
                                    "{}")}),
                     &why))
        << why;
    uint16_t lid = 0;
    ASSERT_TRUE(en_lid_map_add(nullptr, "/usr/sbin/demod", nullptr, &lid));
    Tuple out = Out("tcp", "10.0.0.1", 40000, "10.0.0.2", 443);
    out.lids = {1};
    EXPECT_EQ(Decide(out, kDemoPid), "ALLOW:");
    out.lids = {1, lid};
    EXPECT_EQ(Decide(out, kDemoPid), "BLOCK:imaged");
    EXPECT_EQ(Decide(out, kOtherPid), "ALLOW:");
}

/* A private message bus, and on it, when asked, a stand-in for systemd's manager that
 * answers Subscribe and sends the unit signals a test asks for. */
class FakeSystemd {
public:
    bool Start(const std::string &dir, bool with_systemd)
    {
        std::string socket = dir + "/bus.sock";
        std::string config = dir + "/bus.conf";
        hvtest::WriteFile(config, "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
                                  "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                                  "<busconfig><type>session</type><listen>unix:path=" +
                                      socket +
                                      "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                                      "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                                      "<allow own=\"*\"/></policy></busconfig>\n");
        std::string arg = "--config-file=" + config;
        const char *argv[] = {"dbus-daemon", arg.c_str(), "--nofork", "--nopidfile", nullptr};
        if (!g_spawn_async(nullptr, const_cast<char **>(argv), nullptr,
                           static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD |
                                                    G_SPAWN_STDOUT_TO_DEV_NULL | G_SPAWN_STDERR_TO_DEV_NULL),
                           nullptr, nullptr, &daemon_, nullptr)) {
            return false;
        }
        address_ = "unix:path=" + socket;
        if (!hvtest::WaitFor([&] { return std::filesystem::exists(socket); }, 10000)) {
            return false;
        }
        context_ = g_main_context_new();
        g_main_context_push_thread_default(context_);
        bool ok = Connect(with_systemd);
        g_main_context_pop_thread_default(context_);
        loop_ = g_main_loop_new(context_, FALSE);
        thread_ = g_thread_new("fake-systemd", Run, this);
        return ok;
    }

    void Emit(const char *signal, const std::string &unit)
    {
        std::string path = "/org/freedesktop/systemd1/unit/x";
        ASSERT_TRUE(g_dbus_connection_emit_signal(conn_, nullptr, "/org/freedesktop/systemd1",
                                                  "org.freedesktop.systemd1.Manager", signal,
                                                  g_variant_new("(so)", unit.c_str(), path.c_str()), nullptr));
        g_dbus_connection_flush_sync(conn_, nullptr, nullptr);
    }

    /* Ends the bus: its clients lose their connections. */
    void StopBus()
    {
        if (daemon_ > 0) {
            kill(daemon_, SIGTERM);
            waitpid(daemon_, nullptr, 0);
            daemon_ = 0;
        }
    }

    ~FakeSystemd()
    {
        StopBus();
        if (thread_) {
            GSource *quit = g_idle_source_new();
            g_source_set_callback(
                quit,
                [](gpointer loop) {
                    g_main_loop_quit(static_cast<GMainLoop *>(loop));
                    return G_SOURCE_REMOVE;
                },
                loop_, nullptr);
            g_source_attach(quit, context_);
            g_source_unref(quit);
            g_thread_join(thread_);
        }
        if (conn_) {
            if (object_) {
                g_dbus_connection_unregister_object(conn_, object_);
            }
            g_object_unref(conn_);
        }
        if (loop_) {
            g_main_loop_unref(loop_);
        }
        if (context_) {
            while (g_main_context_iteration(context_, FALSE)) {
            }
            g_main_context_unref(context_);
        }
    }

    const std::string &address() const { return address_; }
    int subscribes() const { return subscribes_; }

private:
    bool Connect(bool with_systemd)
    {
        conn_ = g_dbus_connection_new_for_address_sync(
            address_.c_str(),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, nullptr);
        if (!conn_) {
            return false;
        }
        g_dbus_connection_set_exit_on_close(conn_, FALSE);
        if (!with_systemd) {
            return true;
        }
        static const char kXml[] = "<node><interface name='org.freedesktop.systemd1.Manager'>"
                                   "<method name='Subscribe'/></interface></node>";
        GDBusNodeInfo *node = g_dbus_node_info_new_for_xml(kXml, nullptr);
        static const GDBusInterfaceVTable vtable = {
            [](GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *method, GVariant *,
               GDBusMethodInvocation *invocation, gpointer self) {
                if (g_strcmp0(method, "Subscribe") == 0) {
                    static_cast<FakeSystemd *>(self)->subscribes_++;
                }
                g_dbus_method_invocation_return_value(invocation, nullptr);
            },
            nullptr, nullptr, {}};
        object_ = g_dbus_connection_register_object(conn_, "/org/freedesktop/systemd1", node->interfaces[0], &vtable,
                                                    this, nullptr, nullptr);
        g_dbus_node_info_unref(node);
        GVariant *r = g_dbus_connection_call_sync(conn_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                  "org.freedesktop.DBus", "RequestName",
                                                  g_variant_new("(su)", "org.freedesktop.systemd1", 4u),
                                                  G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
        guint32 reply = 0;
        if (r) {
            g_variant_get(r, "(u)", &reply);
            g_variant_unref(r);
        }
        return object_ != 0 && reply == 1;
    }

    static void *Run(void *self)
    {
        auto *f = static_cast<FakeSystemd *>(self);
        g_main_context_push_thread_default(f->context_);
        g_main_loop_run(f->loop_);
        g_main_context_pop_thread_default(f->context_);
        return nullptr;
    }

    GPid daemon_ = 0;
    std::string address_;
    GMainContext *context_ = nullptr;
    GMainLoop *loop_ = nullptr;
    GThread *thread_ = nullptr;
    GDBusConnection *conn_ = nullptr;
    guint object_ = 0;
    std::atomic<int> subscribes_{0};
};

bool HaveBusDaemon()
{
    g_autofree char *path = g_find_program_in_path("dbus-daemon");
    return path != nullptr;
}

TEST_F(ServiceApiTest, SystemdSignalsTriggerARefresh)
{
    if (!HaveBusDaemon()) {
        GTEST_SKIP() << "dbus-daemon is not installed";
    }
    FakeSystemd bus;
    ASSERT_TRUE(bus.Start(dir_, true));
    g_setenv("HV_SYSTEMD_BUS_ADDRESS", bus.address().c_str(), TRUE);
    /* So long that only a notification can bring the new unit in time. */
    en_service_name_map_set_interval_for_test(600000);
    ASSERT_TRUE(Start());
    ASSERT_TRUE(WaitFor([] { return DriverHas("demo.service"); }));
    ASSERT_TRUE(WaitFor([] { return Logged(kAny, "[service_name_map] registered for SCM notifications"); }));
    EXPECT_EQ(bus.subscribes(), 1);

    std::filesystem::create_directories(dir_ + "/cgroup/system.slice/fresh.service");
    bus.Emit("UnitNew", "fresh.service");
    ASSERT_TRUE(WaitFor([] { return DriverHas("fresh.service"); }, 20000));
    EXPECT_TRUE(Logged(kAny, "[service_name_map] service table changed!"));
    EXPECT_TRUE(Logged(kAny, "[service_name_map] refreshing (got notified of service table change)"));

    /* A stream of announcements, as any user can cause, brings at most one refresh a second. */
    size_t refreshes = Count(kAny, "[service_name_map] refreshing (got notified of service table change)");
    size_t announced = Count(kAny, "[service_name_map] service table changed!");
    auto began = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; i++) {
        bus.Emit("UnitNew", "unit" + std::to_string(i) + ".service");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(WaitFor([&] { return Count(kAny, "[service_name_map] service table changed!") == announced + 20; }));
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - began).count();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_LE(Count(kAny, "[service_name_map] refreshing (got notified of service table change)"),
              refreshes + 2 + static_cast<size_t>(seconds));

    /* Other manager signals are no unit changes. */
    size_t changes = Count(kAny, "[service_name_map] service table changed!");
    bus.Emit("JobNew", "fresh.service");
    std::filesystem::remove(dir_ + "/cgroup/system.slice/fresh.service");
    bus.Emit("UnitRemoved", "fresh.service");
    ASSERT_TRUE(WaitFor([] { return !DriverHas("fresh.service"); }, 20000));
    EXPECT_EQ(Count(kAny, "[service_name_map] service table changed!"), changes + 1);

    /* The bus goes: the monitor notices and finds nothing to register with. */
    bus.StopBus();
    ASSERT_TRUE(WaitFor([] {
        return Logged(kWarning, "[service_name_map] lost the service change notifications, registering again");
    }, 20000));
    ASSERT_TRUE(WaitFor([] { return LoggedPrefix(kAny, "[service_name_map] no service change notifications ("); },
                        20000));
    ASSERT_TRUE(en_api_stop(h_));
    EXPECT_FALSE(HasThread("service-name-map"));
    EXPECT_FALSE(HasThread("service-watch"));
}

TEST_F(ServiceApiTest, BusWithoutSystemdFallsBackToRescans)
{
    if (!HaveBusDaemon()) {
        GTEST_SKIP() << "dbus-daemon is not installed";
    }
    FakeSystemd bus;
    ASSERT_TRUE(bus.Start(dir_, false));
    g_setenv("HV_SYSTEMD_BUS_ADDRESS", bus.address().c_str(), TRUE);
    ASSERT_TRUE(Start());
    ASSERT_TRUE(WaitFor([] { return Count(kAny, "[service_name_map] refresh: map hasn't changed") >= 3; }));
    EXPECT_EQ(Count(kAny, "[service_name_map] no service change notifications (no systemd on the bus at " +
                              bus.address() + "); refreshing every 20 ms"),
              1u);
    EXPECT_FALSE(LoggedPrefix(kAny, "[service_name_map] register for SCM notification failed"));
}

/* A real process in a real cgroup named demo-<n>.service, when this test may make one. */
TEST_F(ServiceApiTest, ProcessInARealUnitCgroup)
{
    const std::string unified = "/sys/fs/cgroup/unified";
    std::string base = std::filesystem::exists(unified + "/cgroup.procs") ? unified : "/sys/fs/cgroup";
    if (geteuid() != 0 || !std::filesystem::exists(base + "/cgroup.procs")) {
        GTEST_SKIP() << "needs root and a cgroup2 hierarchy to place a process in a unit's cgroup";
    }
    std::string unit = "hv-demo-" + std::to_string(getpid()) + "-" + std::to_string(std::random_device{}()) + ".service";
    std::string parent = base + "/hv-test-" + std::to_string(getpid());
    std::string cg = parent + "/" + unit;
    std::error_code ec;
    if (!std::filesystem::create_directories(cg, ec)) {
        GTEST_SKIP() << "cannot create a cgroup under " << base << ": " << ec.message();
    }
    struct Cleanup {
        std::string parent, cg;
        hvtest::Child *child;
        ~Cleanup()
        {
            child->Stop();
            rmdir(cg.c_str());
            rmdir(parent.c_str());
        }
    };
    hvtest::Child child;
    Cleanup cleanup{parent, cg, &child};
    ASSERT_TRUE(child.Start(dir_ + "/bin/demod", {}));
    {
        std::ofstream procs(cg + "/cgroup.procs");
        procs << child.pid() << std::flush;
        if (!procs) {
            GTEST_SKIP() << "cannot move a process into " << cg;
        }
    }
    g_unsetenv("HV_PROC_ROOT");
    g_setenv("HV_CGROUP_ROOT", parent.c_str(), TRUE);
    ASSERT_TRUE(Start());
    ASSERT_TRUE(WaitFor([&] { return DriverHas(unit); }));
    std::string why;
    ASSERT_TRUE(Push("[]", OneChain({Rule("demo", "BLOCK", R"({"match_win_services": [{"service_name": ")" + unit + R"("}]})", "{}")}),
                     &why))
        << why;
    Tuple out = Out("tcp", "10.0.0.1", 40000, "10.0.0.2", 443);
    EXPECT_EQ(Decide(out, child.pid()), "BLOCK:demo");
    EXPECT_EQ(Decide(out, static_cast<uint64_t>(getpid())), "ALLOW:");
}

} // namespace
