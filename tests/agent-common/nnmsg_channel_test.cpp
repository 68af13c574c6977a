/* The push channel against a real PULL socket on a private IPC path. */
#include <gtest/gtest.h>
#include <nanomsg/nn.h>
#include <nanomsg/pipeline.h>

#include <string>

#include "agent-common/nnmsg-channel.h"
#include "tests/common/hv-test-support.h"

namespace {

using hvtest::TakeMessage;

class NnmsgChannelTest : public hvtest::LoggingTest {
protected:
    void SetUp() override
    {
        LoggingTest::SetUp();
        address_ = "ipc://" + dir_.path() + "/report.ipc";
    }
    void TearDown() override
    {
        nnmsg_channel_close(push_);
        if (pull_ >= 0) {
            nn_close(pull_);
        }
        LoggingTest::TearDown();
    }
    void BindPull()
    {
        pull_ = nn_socket(AF_SP, NN_PULL);
        ASSERT_GE(pull_, 0);
        ASSERT_GE(nn_bind(pull_, address_.c_str()), 0) << nn_strerror(nn_errno());
    }
    std::string Receive()
    {
        void *msg = nullptr;
        int len = nn_recv(pull_, &msg, NN_MSG, 0);
        if (len < 0) {
            return "<nothing>";
        }
        std::string out(static_cast<char *>(msg), static_cast<size_t>(len));
        nn_freemsg(msg);
        return out;
    }

    hvtest::TempDir dir_{"hv-nnmsg"};
    std::string address_;
    int push_ = -1;
    int pull_ = -1;
};

TEST_F(NnmsgChannelTest, DeliversWholeMessagesInOrder)
{
    BindPull();
    push_ = nnmsg_channel_open_push(address_.c_str());
    ASSERT_GE(push_, 0);
    EXPECT_TRUE(Logged(G_LOG_LEVEL_DEBUG, "[nnmsg-channel-rpc] opening push channel to: " + address_));
    std::string first("\x08\x07\x10\x01\x18\x00", 6);
    std::string second(70000, 'x');
    Error *err = nullptr;
    ASSERT_TRUE(nnmsg_channel_send_timeout(push_, first.data(), first.size(), 20000, &err)) << TakeMessage(err);
    ASSERT_TRUE(send_msg_on_push_channel(push_, second.data(), second.size(), &err)) << TakeMessage(err);
    EXPECT_EQ(Receive(), first);
    EXPECT_EQ(Receive(), second);
}

/* No receiver, or one that stopped reading: the sender is refused at once instead of being
 * held for the send timeout, and learns that the event was not taken. */
TEST_F(NnmsgChannelTest, SendNeverWaitsForTheReceiver)
{
    push_ = nnmsg_channel_open_push(address_.c_str());
    ASSERT_GE(push_, 0);
    const std::string expected = std::string("error sending message on nanomsg channel: ") + nn_strerror(EAGAIN);
    Error *err = nullptr;
    EXPECT_FALSE(send_msg_on_push_channel(push_, "abc", 3, &err));
    EXPECT_EQ(TakeMessage(err), expected);
    err = nullptr;

    BindPull();
    std::string chunk(65536, 'y');
    ASSERT_TRUE(nnmsg_channel_send_timeout(push_, chunk.data(), chunk.size(), 20000, &err)) << TakeMessage(err);
    /* The receiver never reads: its buffers fill and the next send is refused. */
    bool refused = false;
    for (int i = 0; i < 10000 && !refused; i++) {
        refused = !send_msg_on_push_channel(push_, chunk.data(), chunk.size(), &err);
    }
    ASSERT_TRUE(refused);
    EXPECT_EQ(TakeMessage(err), expected);
}

TEST_F(NnmsgChannelTest, ClosedAndMissingChannelsAreNamed)
{
    Error *err = nullptr;
    EXPECT_FALSE(send_msg_on_push_channel(-1, "a", 1, &err));
    EXPECT_EQ(TakeMessage(err), "channel is not initialized, dropping event");
    err = nullptr;

    int sock = nnmsg_channel_open_push(address_.c_str());
    ASSERT_GE(sock, 0);
    nnmsg_channel_close(sock);
    EXPECT_FALSE(send_msg_on_push_channel(sock, "a", 1, &err));
    EXPECT_EQ(TakeMessage(err), "channel already closed");
    nnmsg_channel_close(sock);
    nnmsg_channel_close(-1);
    EXPECT_EQ(CountPrefix(G_LOG_LEVEL_CRITICAL, "[nnmsg-channel-rpc] failed to close"), 0u)
        << "closing twice is not a failure worth a critical line";
}

TEST_F(NnmsgChannelTest, OpenFailureIsLoggedAndGivesMinusOne)
{
    EXPECT_EQ(nnmsg_channel_open_push("nonsense://nowhere"), -1);
    EXPECT_TRUE(LoggedPrefix(G_LOG_LEVEL_CRITICAL, "[nnmsg-channel-rpc] error connecting channel: "));
}

TEST_F(NnmsgChannelTest, ReportSocketIsSharedModuleWide)
{
    EXPECT_EQ(nnmsg_channel_report_socket(), -1);
    nnmsg_channel_set_report_socket(7);
    EXPECT_EQ(nnmsg_channel_report_socket(), 7);
    nnmsg_channel_set_report_socket(-1);
}

} // namespace
