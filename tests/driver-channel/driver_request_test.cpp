#include "channel-fixture.h"

#include "enforcement/driver-daemon/endr-state.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

using hvtest::WaitFor;

class RequestTest : public ChannelTest {
protected:
    void SetUp() override
    {
        ChannelTest::SetUp();
        WriteDriver(kAllFalse);
        ASSERT_TRUE(daemon_.Start());
        ASSERT_TRUE(en_driver_init(true));
        Error *err = nullptr;
        device_ = do_en_driver_win_open(&err);
        ASSERT_NE(device_, nullptr) << hvtest::TakeMessage(err);
    }

    void TearDown() override
    {
        platform_device_close(device_);
        ChannelTest::TearDown();
    }

    platform_device *device_ = nullptr;
};

TEST_F(RequestTest, QueueSizeOutsideItsBoundsIsRefusedWithoutCallingTheDriver)
{
    /* An armed fault proves which requests really reach the driver. */
    ASSERT_TRUE(endr::state_update([](endr::State &s) {
        s.faults[endr::fault_key(EN_IOCTL_SET_QUEUE_SIZE)] = endr::Fault{31, 1};
        return true;
    }));
    EXPECT_FALSE(en_driver_set_queue_size(device_, 0, 0));
    EXPECT_FALSE(en_driver_set_queue_size(device_, 0, 32769));
    EXPECT_FALSE(en_driver_set_queue_size(device_, 1, 127));
    EXPECT_FALSE(en_driver_set_queue_size(device_, 1, 2049));
    EXPECT_FALSE(en_driver_set_queue_size(device_, 2, 500));
    EXPECT_TRUE(ChannelLines(G_LOG_LEVEL_CRITICAL).empty());

    EXPECT_FALSE(en_driver_set_queue_size(device_, 0, 32768));
    EXPECT_EQ(ChannelLines(G_LOG_LEVEL_CRITICAL),
              std::vector<std::string>{"[en_driver] failed to send ioctl with code 1188921: A device attached to "
                                       "the system is not functioning. (error: 31)"});

    EXPECT_TRUE(en_driver_set_queue_size(device_, 0, 32768));
    EXPECT_TRUE(en_driver_set_queue_size(device_, 1, 128));
    endr::State st = endr::state_read();
    EXPECT_EQ(st.driver.queue_sizes[0], 32768u);
    EXPECT_EQ(st.driver.queue_sizes[1], 128u);
}

TEST_F(RequestTest, SixtyFiveWaitingRequestsAllCompleteAndCloseAbortsThem)
{
    constexpr int kWaiting = EN_DRIVER_EVENT_CACHE_SLOTS + 1;
    std::vector<std::thread> readers;
    std::vector<int> results(kWaiting, -1);
    for (int i = 0; i < kWaiting; i++) {
        readers.emplace_back([this, i, &results] {
            std::vector<uint8_t> area(EN_DRIVER_EVENT_AREA_SIZE), buffer(EN_DRIVER_EVENT_BUFFER_SIZE);
            uint32_t n = 0;
            results[i] = en_driver_read_event(device_, area.data(), buffer.data(), &n);
        });
    }
    ASSERT_TRUE(WaitFor([] { return en_driver_requests_in_flight() == kWaiting; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(en_driver_cached_events_in_use(), static_cast<unsigned>(EN_DRIVER_EVENT_CACHE_SLOTS));

    /* With every cached event lent, more requests still run at once beside the waiting ones. */
    std::vector<std::future<bool>> extra;
    for (int i = 0; i < 8; i++) {
        extra.push_back(std::async(std::launch::async, [this] {
            bool all = true;
            for (int k = 0; k < 20; k++) {
                uint64_t version = 0;
                all = en_driver_read_output(device_, EN_IOCTL_GET_DRIVER_VERSION, &version, sizeof version) &&
                      version == 420005 && all;
            }
            return all;
        }));
    }
    for (auto &f : extra) {
        ASSERT_EQ(f.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        EXPECT_TRUE(f.get());
    }

    platform_device_close(device_);
    device_ = nullptr;
    for (std::thread &t : readers) {
        t.join();
    }
    for (int r : results) {
        EXPECT_EQ(r, 0);
    }
    EXPECT_EQ(Count(G_LOG_LEVEL_WARNING, "[en_driver] ioctl operation aborted"), static_cast<size_t>(kWaiting));
    EXPECT_EQ(en_driver_cached_events_in_use(), 0u);
}

TEST_F(RequestTest, FreeWaitsForRequestsThenRefusesThem)
{
    std::thread reader([this] {
        std::vector<uint8_t> area(EN_DRIVER_EVENT_AREA_SIZE), buffer(EN_DRIVER_EVENT_BUFFER_SIZE);
        uint32_t n = 0;
        en_driver_read_event(device_, area.data(), buffer.data(), &n);
    });
    ASSERT_TRUE(WaitFor([] { return en_driver_requests_in_flight() == 1; }));
    std::atomic<bool> freed{false};
    std::thread freer([&freed] {
        en_driver_free();
        freed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(freed);

    platform_device_close(device_);
    device_ = nullptr;
    reader.join();
    freer.join();
    EXPECT_TRUE(freed);

    EXPECT_FALSE(en_driver_send_value(nullptr, EN_IOCTL_ENFORCEMENT_MODE, 1));
    EXPECT_TRUE(Logged(G_LOG_LEVEL_WARNING, "[en_driver] ioctl: module has already been unloaded"));
    Error *err = nullptr;
    EXPECT_EQ(do_en_driver_win_open(&err), nullptr);
    error_free(err);
    EXPECT_TRUE(Logged(G_LOG_LEVEL_WARNING, "[en_driver] driver open: module has already been unloaded"));
}

TEST_F(RequestTest, ADriverGoneWithAFullPipelineEndsEveryRequestAndTheLogSaysWhy)
{
    std::vector<uint8_t> limits(32, 0);
    en_driver_pipeline *pipeline = en_driver_pipeline_new(device_);
    for (int i = 0; i < 1024; i++) {
        en_driver_pipeline_send_buffer(pipeline, EN_IOCTL_SET_POLICY_LIMITS, limits.data(), 32);
    }
    daemon_.Stop();
    size_t failed = 0;
    while (en_driver_pipeline_outstanding(pipeline) > 0) {
        if (!en_driver_pipeline_take(pipeline)) {
            failed++;
            EXPECT_EQ(en_driver_last_error(), 1167u);
        }
    }
    en_driver_pipeline_free(pipeline);
    EXPECT_GT(failed, 0u);
    EXPECT_TRUE(LoggedContaining("The device is not connected. (error: 1167)"));
    EXPECT_FALSE(LoggedContaining("Unknown error"));
}
