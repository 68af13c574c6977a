#include "enforcement/driver-daemon/endr-device-client.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "enforcement/driver-daemon/endr-device-frame.h"
#include "enforcement/driver-daemon/endr-wire.h"

using namespace endr;

namespace {

constexpr uint32_t kDeviceNotConnected = 1167;

template <typename T> T load_at(const uint8_t *p)
{
    T v;
    memcpy(&v, p, sizeof(T));
    return v;
}

/* A buffer the driver only writes need not travel to the daemon (see kRegionWriteOnly). */
void add_region(std::vector<FrameRegion> &regions, uint64_t address, uint64_t size, bool write_only = false)
{
    if (address == 0 || size == 0 || size > kMaxFrameBytes) {
        return;
    }
    FrameRegion r;
    r.address = address;
    if (write_only && size <= kMaxWriteOnlyBytes) {
        r.write_only = static_cast<uint32_t>(size);
    } else {
        const auto *p = reinterpret_cast<const uint8_t *>(static_cast<uintptr_t>(address));
        r.bytes.assign(p, p + size);
    }
    regions.push_back(std::move(r));
}

/* The caller memory a request points at, as a driver would read it from the process. */
std::vector<FrameRegion> caller_regions(uint32_t code, const uint8_t *in, uint32_t in_len)
{
    std::vector<FrameRegion> regions;
    if (!in || in_len != kHeaderSize || load_at<uint16_t>(in) != kMagic) {
        return regions;
    }
    uint64_t value = load_at<uint64_t>(in + 4);
    uint32_t length = load_at<uint32_t>(in + 12);
    if (code == kReadEvent) {
        add_region(regions, value, kEventAreaSize);
        return regions;
    }
    if (length == 0) {
        return regions;
    }
    add_region(regions, value, length);
    const auto *req = reinterpret_cast<const uint8_t *>(static_cast<uintptr_t>(value));
    if (value && code == kGetConnections && length == kConnectionRequestSize) {
        add_region(regions, load_at<uint64_t>(req + 24), load_at<uint32_t>(req + 20), true);
    } else if (value && code == kGetDriverLogs && length == kLogRequestSize) {
        add_region(regions, load_at<uint64_t>(req + 8), load_at<uint32_t>(req + 16), true);
    }
    return regions;
}

} // namespace

struct endr_pending {
    bool done = false;
    DeviceAnswer answer;
};

struct endr_client {
    int fd = -1;
    std::mutex mu;
    std::condition_variable cv;
    std::map<uint32_t, endr_pending *> pending;
    uint32_t next_id = 1;
    bool gone = false;
    std::atomic<uint32_t> next_group{1};
    std::mutex write_mu;
    /* Requests sent without waiting gather here (under write_mu) and leave in one write. */
    std::vector<uint8_t> unsent;
    std::thread reader;

    static constexpr size_t kFlushBytes = 64 * 1024;

    void read_answers()
    {
        FrameReader frames(fd);
        const uint8_t *body = nullptr;
        size_t len = 0;
        bool intact = true;
        while (intact && frames.next(&body, &len)) {
            /* Every answer already read is handed over under one hold of the lock. */
            std::lock_guard<std::mutex> g(mu);
            for (;;) {
                DeviceAnswer a;
                if (!frame_decode_answer(body, len, &a, nullptr)) {
                    intact = false;
                    break;
                }
                auto it = pending.find(a.id);
                if (it != pending.end()) {
                    it->second->answer = std::move(a);
                    it->second->done = true;
                    pending.erase(it);
                }
                if (!frames.has_frame() || !frames.next(&body, &len)) {
                    break;
                }
            }
            cv.notify_all();
        }
        std::lock_guard<std::mutex> g(mu);
        gone = true;
        cv.notify_all();
    }

    bool flush_locked()
    {
        if (unsent.empty()) {
            return true;
        }
        bool ok = frame_write_all(fd, unsent.data(), unsent.size());
        unsent.clear();
        if (!ok) {
            /* Requests may be lost with the write: ending the stream ends their waits. */
            shutdown(fd, SHUT_RDWR);
        }
        return ok;
    }

    bool send(const DeviceRequest &r, bool now = true)
    {
        std::vector<uint8_t> frame = frame_encode_request(r);
        std::lock_guard<std::mutex> g(write_mu);
        if (!now) {
            unsent.insert(unsent.end(), frame.begin(), frame.end());
            return unsent.size() < kFlushBytes || flush_locked();
        }
        /* After what was gathered before it, and without another copy of a large frame. */
        if (!flush_locked()) {
            return false;
        }
        if (!frame_write_all(fd, frame.data(), frame.size())) {
            shutdown(fd, SHUT_RDWR);
            return false;
        }
        return true;
    }

    bool flush()
    {
        std::lock_guard<std::mutex> g(write_mu);
        return flush_locked();
    }

    /* Registers p under a new id; false when the daemon is gone. */
    bool enlist(DeviceRequest &r, endr_pending *p)
    {
        std::lock_guard<std::mutex> g(mu);
        if (gone) {
            return false;
        }
        r.id = next_id++;
        pending[r.id] = p;
        return true;
    }

    /* Waits for p's answer; false when the daemon went away first. */
    bool await(uint32_t id, endr_pending *p)
    {
        std::unique_lock<std::mutex> lock(mu);
        cv.wait(lock, [&] { return p->done || gone; });
        if (!p->done) {
            pending.erase(id);
            return false;
        }
        return true;
    }
};

uint32_t endr_client_open(const char *path, endr_client **client)
{
    *client = nullptr;
    struct sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (!path || strlen(path) >= sizeof(addr.sun_path)) {
        return kFileNotFound;
    }
    strcpy(addr.sun_path, path);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return kGenFailure;
    }
    uint8_t hello[8];
    uint32_t len = 0, rc = 0;
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 || !frame_read_all(fd, hello, 8)) {
        close(fd);
        return kFileNotFound;
    }
    memcpy(&len, hello, 4);
    memcpy(&rc, hello + 4, 4);
    if (len != 4 || rc != kOk) {
        close(fd);
        return len != 4 ? kGenFailure : rc;
    }
    auto *c = new endr_client;
    c->fd = fd;
    c->reader = std::thread([c] { c->read_answers(); });
    *client = c;
    return kOk;
}

uint32_t endr_client_ioctl(endr_client *c, uint32_t code, const void *in, uint32_t in_len, void *out,
                           uint32_t out_len, uint32_t *returned)
{
    uint32_t unused = 0;
    uint32_t *ret = returned ? returned : &unused;
    *ret = 0;
    if (!c) {
        return kInvalidHandle;
    }
    if (out_len > kMaxFrameBytes || (in_len && !in) || in_len > 4096) {
        return kInvalidParameter;
    }
    DeviceRequest r;
    r.code = code;
    r.out_size = out ? out_len : 0;
    const auto *bytes = static_cast<const uint8_t *>(in);
    r.input.assign(bytes, bytes + in_len);
    r.regions = caller_regions(code, bytes, in_len);
    endr_pending p;
    if (!c->enlist(r, &p)) {
        return kDeviceNotConnected;
    }
    if (!c->send(r)) {
        std::lock_guard<std::mutex> g(c->mu);
        c->pending.erase(r.id);
        return kDeviceNotConnected;
    }
    if (!c->await(r.id, &p)) {
        return kDeviceNotConnected;
    }
    DeviceAnswer &a = p.answer;
    if (out && !a.output.empty()) {
        memcpy(out, a.output.data(), std::min<size_t>(out_len, a.output.size()));
    }
    /* Only memory this request lent comes back, and never more of it than was lent; of a
     * write-only buffer, the prefix the driver wrote. */
    for (const FrameRegion &back : a.regions) {
        for (const FrameRegion &lent : r.regions) {
            if (lent.address == back.address && (lent.write_only ? back.bytes.size() <= lent.write_only
                                                                  : lent.bytes.size() == back.bytes.size())) {
                memcpy(reinterpret_cast<void *>(static_cast<uintptr_t>(lent.address)), back.bytes.data(),
                       back.bytes.size());
            }
        }
    }
    *ret = std::min(a.returned, out ? out_len : a.returned);
    return a.result;
}

uint32_t endr_client_group(endr_client *c)
{
    if (!c) {
        return 0;
    }
    uint32_t g = c->next_group++;
    return g ? g : c->next_group++;
}

uint32_t endr_client_ioctl_send(endr_client *c, uint32_t code, const void *in, uint32_t in_len, uint32_t group,
                                endr_pending **pending)
{
    *pending = nullptr;
    if (!c) {
        return kInvalidHandle;
    }
    /* Nothing may come back into caller memory after the caller has moved on. */
    if ((in_len && !in) || in_len > 4096 || (code & 3) == 2 || code == kReadEvent || code == kGetConnections ||
        code == kGetDriverLogs) {
        return kInvalidParameter;
    }
    DeviceRequest r;
    r.kind = group ? kFrameGroupIoctl : kFrameIoctl;
    r.group = group;
    r.code = code;
    const auto *bytes = static_cast<const uint8_t *>(in);
    r.input.assign(bytes, bytes + in_len);
    r.regions = caller_regions(code, bytes, in_len);
    auto *p = new endr_pending;
    if (!c->enlist(r, p)) {
        delete p;
        return kDeviceNotConnected;
    }
    /* Stored with the answer, so the wait knows which entry to drop if none comes. */
    p->answer.id = r.id;
    if (!c->send(r, false)) {
        std::lock_guard<std::mutex> g(c->mu);
        c->pending.erase(r.id);
        delete p;
        return kDeviceNotConnected;
    }
    *pending = p;
    return kOk;
}

uint32_t endr_client_ioctl_wait(endr_client *c, endr_pending *p)
{
    if (!c || !p) {
        return kInvalidHandle;
    }
    uint32_t id = p->answer.id;
    c->flush();
    uint32_t rc = c->await(id, p) ? p->answer.result : kDeviceNotConnected;
    delete p;
    return rc;
}

void endr_client_cancel(endr_client *c)
{
    if (!c) {
        return;
    }
    DeviceRequest r;
    r.kind = kFrameCancel;
    c->send(r);
}

void endr_client_close(endr_client *c)
{
    if (!c) {
        return;
    }
    /* The daemon closes its side once it has released the handle: closing waits for that,
     * as closing a device handle returns after the driver's cleanup. */
    shutdown(c->fd, SHUT_WR);
    c->reader.join();
    close(c->fd);
    delete c;
}
