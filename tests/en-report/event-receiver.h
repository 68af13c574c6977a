/* The visibility module's side of the report channel for tests: a PULL socket that takes
 * the module's messages and splits them into events by the framing of the wire. */
#pragma once

#include <glib.h>
#include <gtest/gtest.h>
#include <nanomsg/nn.h>
#include <nanomsg/pipeline.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "agent-common/network-events.pb.h"

namespace hvtest {

struct ReportMessage {
    bool batch = false;
    std::vector<NetEvent> events;
};

class EventReceiver {
public:
    ~EventReceiver() { Close(); }

    bool Bind(const std::string &address)
    {
        sock_ = nn_socket(AF_SP, NN_PULL);
        int big = 8 << 20;
        return sock_ >= 0 && nn_setsockopt(sock_, NN_SOL_SOCKET, NN_RCVBUF, &big, sizeof big) == 0 &&
               nn_setsockopt(sock_, NN_SOL_SOCKET, NN_RCVMAXSIZE, &big, sizeof big) == 0 &&
               nn_bind(sock_, address.c_str()) >= 0;
    }

    void Close()
    {
        if (sock_ >= 0) {
            nn_close(sock_);
            sock_ = -1;
        }
    }

    /* The next message within ms; false when none came. */
    bool Next(ReportMessage *out, int ms = 20000)
    {
        nn_setsockopt(sock_, NN_SOL_SOCKET, NN_RCVTIMEO, &ms, sizeof ms);
        void *buf = nullptr;
        int n = nn_recv(sock_, &buf, NN_MSG, 0);
        if (n < 0) {
            return false;
        }
        std::string bytes(static_cast<const char *>(buf), static_cast<size_t>(n));
        nn_freemsg(buf);
        *out = Split(bytes);
        return true;
    }

    /* Messages until count events of the given type came (others are skipped); false when
     * they did not all come within ms. */
    bool Collect(NetEvent::Type type, size_t count, std::vector<NetEvent> *events,
                 std::vector<ReportMessage> *messages = nullptr, int ms = 20000)
    {
        gint64 until = g_get_monotonic_time() + gint64{ms} * 1000;
        while (events->size() < count) {
            gint64 left = (until - g_get_monotonic_time()) / 1000;
            ReportMessage m;
            if (left <= 0 || !Next(&m, static_cast<int>(left))) {
                return false;
            }
            for (const NetEvent &e : m.events) {
                if (e.type() == type) {
                    events->push_back(e);
                }
            }
            if (messages) {
                messages->push_back(m);
            }
        }
        return true;
    }

    /* A batch is records of an 8-byte header (magic C0 D1 07 9A, version 1, length) and an
     * event; anything else is one event. */
    static ReportMessage Split(const std::string &bytes)
    {
        ReportMessage m;
        static const char kMagic[] = "\xC0\xD1\x07\x9A";
        if (bytes.size() >= 4 && memcmp(bytes.data(), kMagic, 4) == 0) {
            m.batch = true;
            size_t at = 0;
            while (at < bytes.size()) {
                EXPECT_GE(bytes.size() - at, 8u) << "a cut record header";
                if (bytes.size() - at < 8) {
                    break;
                }
                EXPECT_EQ(memcmp(bytes.data() + at, kMagic, 4), 0) << "record at " << at;
                uint16_t version = static_cast<uint8_t>(bytes[at + 4]) | static_cast<uint8_t>(bytes[at + 5]) << 8;
                size_t length = static_cast<uint8_t>(bytes[at + 6]) | static_cast<uint8_t>(bytes[at + 7]) << 8;
                EXPECT_EQ(version, 1u);
                EXPECT_LE(at + 8 + length, bytes.size()) << "record at " << at << " runs past the message";
                NetEvent e;
                EXPECT_TRUE(e.ParseFromArray(bytes.data() + at + 8, static_cast<int>(length))) << "record at " << at;
                m.events.push_back(e);
                at += 8 + length;
            }
            return m;
        }
        NetEvent e;
        EXPECT_TRUE(e.ParseFromString(bytes)) << "a single event";
        m.events.push_back(e);
        return m;
    }

private:
    int sock_ = -1;
};

} // namespace hvtest
