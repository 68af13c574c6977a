/* hv-qmp against a real nanomsg REP peer. */
#include <gtest/gtest.h>
#include <glib.h>
#include <nanomsg/nn.h>
#include <nanomsg/reqrep.h>
#include <sys/wait.h>

#include <climits>
#include <string>
#include <thread>
#include <vector>

#include "tools/hv-qmp-socket.h"

namespace {

struct Outcome {
    int exit_code = -1;
    std::string out;
};

Outcome run(const std::vector<std::string> &args, const std::string &input = "")
{
    std::vector<char *> argv = {const_cast<char *>(HV_QMP)};
    for (const auto &a : args) {
        argv.push_back(const_cast<char *>(a.c_str()));
    }
    argv.push_back(nullptr);
    GPid pid;
    int in_fd = -1, out_fd = -1;
    Outcome r;
    if (!g_spawn_async_with_pipes(nullptr, argv.data(), nullptr,
                                  static_cast<GSpawnFlags>(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_STDERR_TO_DEV_NULL),
                                  nullptr, nullptr, &pid, &in_fd, &out_fd, nullptr, nullptr)) {
        return r;
    }
    if (!input.empty()) {
        EXPECT_EQ(write(in_fd, input.data(), input.size()), static_cast<ssize_t>(input.size()));
    }
    close(in_fd);
    char buf[4096];
    ssize_t n;
    while ((n = read(out_fd, buf, sizeof buf)) > 0) {
        r.out.append(buf, static_cast<size_t>(n));
    }
    close(out_fd);
    int status = 0;
    waitpid(pid, &status, 0);
    r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

/* Answers each request with a reply chosen from its text; records what arrived. */
class Peer {
public:
    explicit Peer(const std::string &address)
    {
        sock_ = nn_socket(AF_SP, NN_REP);
        EXPECT_GE(nn_bind(sock_, address.c_str()), 0);
        int timeout = 5000;
        nn_setsockopt(sock_, NN_SOL_SOCKET, NN_RCVTIMEO, &timeout, sizeof timeout);
        thread_ = std::thread([this] { serve(); });
    }
    ~Peer()
    {
        thread_.join();
        nn_close(sock_);
    }
    std::vector<std::string> received;

private:
    void serve()
    {
        for (int i = 0; i < 3; i++) {
            char *msg = nullptr;
            int len = nn_recv(sock_, &msg, NN_MSG, 0);
            if (len < 0) {
                return;
            }
            std::string text(msg, static_cast<size_t>(len));
            nn_freemsg(msg);
            received.push_back(text);
            std::string reply = text.find("ping") != std::string::npos
                                    ? "{\"return\": {}}\n"
                                    : "{\"error\": {\"class\": \"CommandNotFound\", \"desc\": \"x\"}}\n";
            nn_send(sock_, reply.data(), reply.size(), 0);
        }
    }
    int sock_;
    std::thread thread_;
};

} // namespace

TEST(HvQmp, SendsOneCommandAndMapsTheReplyToTheExitCode)
{
    g_autofree char *dir = g_dir_make_tmp("hv-qmp-XXXXXX", nullptr);
    const std::string address = std::string("ipc://") + dir + "/qmp.ipc";
    g_autofree char *file = g_build_filename(dir, "request.json", nullptr);
    g_file_set_contents(file, "{\"execute\": \"nope\"}\n", -1, nullptr);
    {
        Peer peer(address);
        Outcome ping = run({"--address", address, R"({"execute": "ping"})"});
        EXPECT_EQ(ping.exit_code, 0);
        EXPECT_EQ(ping.out, "{\"return\": {}}\n");
        Outcome from_file = run({"--address", address, "-f", file});
        EXPECT_EQ(from_file.exit_code, 1) << "an error reply";
        Outcome from_stdin = run({"--address", address, "-"}, "{\"execute\": \"ping\"}\n");
        EXPECT_EQ(from_stdin.exit_code, 0);
        ASSERT_EQ(peer.received.size(), 3u);
        EXPECT_EQ(peer.received[1], "{\"execute\": \"nope\"}") << "the trailing line feed is not sent";
    }
    Outcome nobody = run({"--address", address, "--timeout", "300", R"({"execute": "ping"})"});
    EXPECT_EQ(nobody.exit_code, 2) << "nothing answers";
    EXPECT_EQ(run({}).exit_code, 2);
    g_autofree char *cmd = g_strdup_printf("rm -rf '%s'", dir);
    ASSERT_EQ(system(cmd), 0);
}

/* hv-qmp's socket waits the whole time-out for a reply and never resends the request
 * meanwhile (nanomsg's own resend interval is a fixed minute). */
TEST(HvQmp, TheSocketNeverResendsWithinItsTimeOut)
{
    for (int timeout_ms : {1, 4000, 59999, 120000, 3600000, INT_MAX}) {
        SCOPED_TRACE(timeout_ms);
        int sock = hv_qmp_socket_open(timeout_ms);
        ASSERT_GE(sock, 0) << nn_strerror(nn_errno());
        int value = 0;
        size_t size = sizeof value;
        ASSERT_EQ(nn_getsockopt(sock, NN_SOL_SOCKET, NN_RCVTIMEO, &value, &size), 0);
        EXPECT_EQ(value, timeout_ms);
        size = sizeof value;
        ASSERT_EQ(nn_getsockopt(sock, NN_REQ, NN_REQ_RESEND_IVL, &value, &size), 0);
        EXPECT_GE(value, timeout_ms);
        size = sizeof value;
        ASSERT_EQ(nn_getsockopt(sock, NN_SOL_SOCKET, NN_RCVMAXSIZE, &value, &size), 0);
        EXPECT_EQ(value, -1) << "replies of any size";
        nn_close(sock);
    }
}
