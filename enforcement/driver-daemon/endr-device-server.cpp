#include "enforcement/driver-daemon/endr-device-server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <glib.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "enforcement/driver-daemon/driver-emu.h"
#include "enforcement/driver-daemon/endr-device-frame.h"
#include "enforcement/driver-daemon/endr-wire.h"

namespace endr {

namespace {

/* What a driver answers for a caller address it cannot touch. */
constexpr uint32_t kNoAccess = 998;
constexpr uint32_t kMethodMask = 3;
constexpr uint32_t kMethodOutDirect = 2;
constexpr uint32_t kNoResources = 1450;

template <typename T> T load_at(const std::vector<uint8_t> &b, size_t off)
{
    T v;
    memcpy(&v, b.data() + off, sizeof(T));
    return v;
}

template <typename T> void store_at(std::vector<uint8_t> &b, size_t off, T v)
{
    memcpy(b.data() + off, &v, sizeof(T));
}

/* What a request that waits holds while it waits: the memory lent to it and its output. */
uint64_t held_bytes(const DeviceRequest &r)
{
    uint64_t n = r.out_size;
    for (const FrameRegion &region : r.regions) {
        n += region.bytes.size();
    }
    return n;
}

bool may_wait(uint32_t code)
{
    return code == kReadEvent || code == kGetConnections || code == kGetDriverLogs;
}

/* The daemon's copy of the region starting at the caller's address, at least need bytes. */
FrameRegion *region_at(std::vector<FrameRegion> &regions, uint64_t address, uint64_t need)
{
    for (FrameRegion &r : regions) {
        if (r.address == address && r.bytes.size() >= need) {
            return &r;
        }
    }
    return nullptr;
}

/*
 * Points the caller addresses of the request at the daemon's copies of the regions: the
 * header's buffer or event area, and the record or log buffer inside a connection or log
 * request. An address without its region is refused rather than followed.
 */
uint32_t bind_regions(uint32_t code, std::vector<uint8_t> &input, std::vector<FrameRegion> &regions)
{
    const CodeInfo *info = code_info(code);
    if (!info || input.size() != kHeaderSize) {
        return kOk; /* the engine refuses these on its own */
    }
    uint64_t value = load_at<uint64_t>(input, 4);
    uint32_t length = load_at<uint32_t>(input, 12);
    if (value == 0 || (info->form != Form::Buffer && info->form != Form::ReadEvent) ||
        (info->form == Form::Buffer && length == 0)) {
        return kOk;
    }
    FrameRegion *main = region_at(regions, value, info->form == Form::Buffer ? length : kEventAreaSize);
    if (!main) {
        return kNoAccess;
    }
    store_at<uint64_t>(input, 4, reinterpret_cast<uintptr_t>(main->bytes.data()));
    size_t ptr_at = 0, size_at = 0;
    if (code == kGetConnections && length == kConnectionRequestSize) {
        ptr_at = 24;
        size_at = 20;
    } else if (code == kGetDriverLogs && length == kLogRequestSize) {
        ptr_at = 8;
        size_at = 16;
    } else {
        return kOk;
    }
    uint64_t inner = load_at<uint64_t>(main->bytes, ptr_at);
    uint32_t inner_size = load_at<uint32_t>(main->bytes, size_at);
    if (inner == 0) {
        return kOk;
    }
    FrameRegion *buffer = region_at(regions, inner, inner_size);
    if (!buffer || buffer == main) {
        return kNoAccess;
    }
    store_at<uint64_t>(main->bytes, ptr_at, reinterpret_cast<uintptr_t>(buffer->bytes.data()));
    return kOk;
}

/* Puts the caller's addresses back before the regions travel home. */
void unbind_regions(uint32_t code, std::vector<FrameRegion> &regions)
{
    if (regions.empty()) {
        return;
    }
    FrameRegion &main = regions[0];
    size_t ptr_at = code == kGetConnections && main.bytes.size() == kConnectionRequestSize ? 24
                    : code == kGetDriverLogs && main.bytes.size() == kLogRequestSize ? 8
                                                                                       : 0;
    if (!ptr_at) {
        return;
    }
    uint64_t local = load_at<uint64_t>(main.bytes, ptr_at);
    for (size_t i = 1; i < regions.size(); i++) {
        if (reinterpret_cast<uintptr_t>(regions[i].bytes.data()) == local) {
            store_at<uint64_t>(main.bytes, ptr_at, regions[i].address);
        }
    }
}

/*
 * Cuts a write-only region down to what the driver wrote into it: the records or log bytes
 * its request says were returned; nothing (and no region) when the request failed.
 */
void trim_write_only(uint32_t code, uint32_t result, std::vector<FrameRegion> &regions)
{
    if (regions.empty()) {
        return;
    }
    const FrameRegion &main = regions[0];
    uint64_t written = 0;
    if (result == kOk && code == kGetConnections && main.bytes.size() == kConnectionRequestSize) {
        written = uint64_t{load_at<uint32_t>(main.bytes, kConnectionReturnedOffset)} * kConnectionRecordSize;
    } else if (result == kOk && code == kGetDriverLogs && main.bytes.size() == kLogRequestSize) {
        written = load_at<uint32_t>(main.bytes, kLogReturnedOffset);
    }
    for (FrameRegion &r : regions) {
        if (r.write_only) {
            r.bytes.resize(std::min<uint64_t>(written, r.bytes.size()));
            r.write_only = 0;
        }
    }
    /* A region comes back only with bytes in it. */
    std::erase_if(regions, [](const FrameRegion &r) { return r.bytes.empty(); });
}

DeviceAnswer serve(endr_device *dev, DeviceRequest &req)
{
    DeviceAnswer a;
    a.id = req.id;
    /* One caller address is one piece of caller memory: lent twice, the copies would disagree
     * on which one the driver's pointers were put into and back. */
    for (size_t i = 0; i < req.regions.size(); i++) {
        for (size_t j = i + 1; j < req.regions.size(); j++) {
            if (req.regions[i].address == req.regions[j].address) {
                a.result = kInvalidParameter;
                return a;
            }
        }
    }
    /* The header's buffer is the first region the engine looks at: keep it first. */
    if (req.input.size() == kHeaderSize && req.regions.size() > 1) {
        uint64_t value = load_at<uint64_t>(req.input, 4);
        for (size_t i = 1; i < req.regions.size(); i++) {
            if (req.regions[i].address == value) {
                std::swap(req.regions[0], req.regions[i]);
            }
        }
    }
    a.result = bind_regions(req.code, req.input, req.regions);
    if (a.result != kOk) {
        return a;
    }
    /* The output buffer is memory the daemon lends the driver, like a write-only region, and
     * it travels back whole: a size no request uses is not allocated on a peer's word. */
    if (req.out_size > kMaxWriteOnlyBytes) {
        a.result = kNoResources;
        return a;
    }
    a.output.assign(req.out_size, 0);
    a.result = endr_device_ioctl(dev, req.code, req.input.data(), static_cast<uint32_t>(req.input.size()),
                                 req.out_size ? a.output.data() : nullptr, req.out_size, &a.returned);
    if ((req.code & kMethodMask) == kMethodOutDirect) {
        unbind_regions(req.code, req.regions);
        trim_write_only(req.code, a.result, req.regions);
        a.regions = std::move(req.regions);
    }
    return a;
}

/* Connections accepted so far, counted under the lock that requests changing the driver's
 * state hold shared. */
struct AcceptCount {
    std::shared_mutex mu;
    uint64_t accepted = 0;
};

/* Whether the peer closed its end; what it sent before stays readable. */
bool peer_gone(int fd)
{
    struct pollfd p = {fd, POLLRDHUP, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLRDHUP | POLLERR)) != 0;
}

struct Connection {
    int fd = -1;
    endr_device *dev = nullptr;
    AcceptCount *accepts = nullptr;
    /* This connection's place in the accept count. */
    uint64_t number = 0;
    /* Set once the peer is seen gone while later connections exist; read only by the reader. */
    bool orphaned = false;
    size_t not_run = 0;
    std::mutex write_mu;
    std::mutex waiters_mu;
    /* Threads of the requests that may wait, each with its end flag. */
    std::list<std::pair<std::thread, std::shared_ptr<std::atomic<bool>>>> waiters;
    std::thread reader;
    std::atomic<bool> done{false};
    /* Set by the reader at a cancel frame; read only by the reader. */
    bool cancelled = false;
    /* The latest groups one of whose requests failed, oldest overwritten first; read only by
     * the reader. Groups sent side by side each stop at their own failure; a peer that fails
     * more groups than this at once makes only the oldest of them run again. */
    static constexpr size_t kFailedGroups = 64;
    std::array<uint32_t, kFailedGroups> failed_groups{};
    size_t next_failed = 0;

    bool group_failed(uint32_t group) const
    {
        return std::find(failed_groups.begin(), failed_groups.end(), group) != failed_groups.end();
    }
    /* Requests waiting in their own thread, and the memory they hold, under waiters_mu. */
    size_t waiting = 0;
    uint64_t waiting_bytes = 0;
    /* Answers not written yet, under write_mu: the reader writes them in one go once it
     * has no further request at hand. */
    std::vector<uint8_t> unsent;

    static constexpr size_t kFlushBytes = 64 * 1024;

    void flush_locked()
    {
        /* A peer that left finds out on its own; the reader sees the end of stream. */
        if (!unsent.empty()) {
            frame_write_all(fd, unsent.data(), unsent.size());
            unsent.clear();
        }
    }

    void answer(const DeviceAnswer &a, bool more_to_come = false)
    {
        std::vector<uint8_t> frame = frame_encode_answer(a);
        std::lock_guard<std::mutex> g(write_mu);
        unsent.insert(unsent.end(), frame.begin(), frame.end());
        if (!more_to_come || unsent.size() >= kFlushBytes) {
            flush_locked();
        }
    }

    void flush()
    {
        std::lock_guard<std::mutex> g(write_mu);
        flush_locked();
    }

    void run()
    {
        uint32_t open_rc = endr_device_open(&dev);
        uint8_t hello[8];
        uint32_t four = 4;
        memcpy(hello, &four, 4);
        memcpy(hello + 4, &open_rc, 4);
        if (frame_write_all(fd, hello, sizeof(hello)) && open_rc == kOk) {
            read_requests();
            if (not_run) {
                g_message("[endr-emu] device socket: the peer left, %zu of its requests not run", not_run);
            }
        }
        if (dev) {
            endr_device_cancel(dev);
        }
        std::list<std::pair<std::thread, std::shared_ptr<std::atomic<bool>>>> pending;
        {
            std::lock_guard<std::mutex> g(waiters_mu);
            pending.swap(waiters);
        }
        for (auto &w : pending) {
            w.first.join();
        }
        if (dev) {
            endr_device_close(dev);
            dev = nullptr;
        }
        shutdown(fd, SHUT_RDWR);
        done = true;
    }

    void read_requests()
    {
        FrameReader frames(fd);
        const uint8_t *body = nullptr;
        size_t len = 0;
        while (frames.next(&body, &len)) {
            DeviceRequest req;
            std::string why;
            if (!frame_decode_request(body, len, &req, &why)) {
                g_warning("[endr-emu] device socket: malformed request (%s), closing the connection", why.c_str());
                flush();
                return;
            }
            bool more = frames.has_frame();
            if (req.kind == kFrameCancel) {
                cancelled = true;
                endr_device_cancel(dev);
                if (!more) {
                    flush();
                }
                continue;
            }
            if (!may_wait(req.code)) {
                bool grouped = req.kind == kFrameGroupIoctl && req.group != 0;
                DeviceAnswer a;
                /* A module killed mid-push leaves requests in its socket; once a newer
                 * connection exists (the next module), they must not land in its push.
                 * The newer connection's requests cannot start before the count that this
                 * check reads went up. */
                {
                    std::shared_lock<std::shared_mutex> order(accepts->mu);
                    if (!orphaned && accepts->accepted != number && peer_gone(fd)) {
                        orphaned = true;
                    }
                    if (orphaned) {
                        not_run++;
                        continue;
                    }
                    if (grouped && group_failed(req.group)) {
                        a.id = req.id;
                        a.result = kFrameNotRun;
                    } else {
                        a = serve(dev, req);
                        if (grouped && a.result != kOk) {
                            failed_groups[next_failed++ % kFailedGroups] = req.group;
                        }
                    }
                }
                answer(a, more);
                continue;
            }
            flush();
            uint32_t id = req.id;
            if (!start_waiter(std::move(req))) {
                DeviceAnswer a;
                a.id = id;
                a.result = kNoResources;
                answer(a);
            }
        }
    }

    /* Runs a request that may wait in a thread of its own; false when the connection's share
     * of waiting requests is taken (a peer gets a bounded share of threads and memory, as a
     * driver runs short of resources). */
    bool start_waiter(DeviceRequest &&req)
    {
        std::lock_guard<std::mutex> g(waiters_mu);
        for (auto it = waiters.begin(); it != waiters.end();) {
            if (*it->second) {
                it->first.join();
                it = waiters.erase(it);
            } else {
                ++it;
            }
        }
        uint64_t held = held_bytes(req);
        if (waiting >= kMaxWaitingRequests || held > kMaxWaitingBytes - waiting_bytes) {
            return false;
        }
        auto finished = std::make_shared<std::atomic<bool>>(false);
        /* Sent before a cancel, it was outstanding when the handle closed even if its
         * thread reaches the engine only after the cancel: it ends as aborted. */
        bool outstanding = !cancelled;
        std::thread thread;
        try {
            thread = std::thread([this, finished, outstanding, held, r = std::move(req)]() mutable {
                DeviceAnswer a = serve(dev, r);
                if (outstanding && a.result == kInvalidHandle) {
                    a.result = kAborted;
                }
                /* Its share is free before the peer hears of the end, so the next request
                 * the peer sends finds it free. */
                r = DeviceRequest{};
                {
                    std::lock_guard<std::mutex> held_guard(waiters_mu);
                    waiting--;
                    waiting_bytes -= held;
                }
                answer(a);
                *finished = true;
            });
        } catch (const std::system_error &) {
            return false;
        }
        waiting++;
        waiting_bytes += held;
        waiters.emplace_back(std::move(thread), finished);
        return true;
    }
};

} // namespace

class DeviceServer {
public:
    bool start(const std::string &path, std::string *why)
    {
        path_ = path;
        struct sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (path.size() >= sizeof(addr.sun_path)) {
            *why = "socket path too long: " + path;
            return false;
        }
        memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listen_fd_ < 0 || pipe2(wake_, O_CLOEXEC) != 0) {
            *why = std::string("socket: ") + strerror(errno);
            return false;
        }
        if (bind(listen_fd_, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
            if (errno != EADDRINUSE) {
                *why = "bind " + path + ": " + strerror(errno);
                return false;
            }
            /* A socket file nobody answers on is what a killed daemon leaves behind. */
            int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            bool alive = probe >= 0 && connect(probe, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0;
            if (probe >= 0) {
                close(probe);
            }
            if (alive) {
                *why = "another driver daemon answers on " + path;
                return false;
            }
            unlink(path.c_str());
            if (bind(listen_fd_, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
                *why = "bind " + path + ": " + strerror(errno);
                return false;
            }
        }
        bound_ = true;
        if (listen(listen_fd_, 64) != 0) {
            *why = std::string("listen: ") + strerror(errno);
            return false;
        }
        acceptor_ = std::thread([this] { accept_loop(); });
        return true;
    }

    ~DeviceServer()
    {
        if (acceptor_.joinable()) {
            char c = 0;
            (void)!write(wake_[1], &c, 1);
            acceptor_.join();
        }
        std::list<std::unique_ptr<Connection>> conns;
        {
            std::lock_guard<std::mutex> g(mu_);
            conns.swap(conns_);
        }
        for (auto &c : conns) {
            shutdown(c->fd, SHUT_RDWR);
        }
        for (auto &c : conns) {
            c->reader.join();
            close(c->fd);
        }
        if (listen_fd_ >= 0) {
            close(listen_fd_);
        }
        for (int fd : wake_) {
            if (fd >= 0) {
                close(fd);
            }
        }
        if (bound_) {
            unlink(path_.c_str());
        }
    }

    size_t live_connections()
    {
        std::lock_guard<std::mutex> g(mu_);
        return static_cast<size_t>(std::count_if(conns_.begin(), conns_.end(), [](const auto &c) { return !c->done; }));
    }

private:
    void accept_loop()
    {
        for (;;) {
            struct pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                g_warning("[endr-emu] device socket: poll failed: %s", strerror(errno));
                return;
            }
            if (fds[1].revents) {
                return;
            }
            int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                continue;
            }
            reap();
            auto conn = std::make_unique<Connection>();
            conn->fd = fd;
            conn->accepts = &accepts_;
            {
                std::unique_lock<std::shared_mutex> l(accepts_.mu);
                conn->number = ++accepts_.accepted;
            }
            Connection *c = conn.get();
            std::lock_guard<std::mutex> g(mu_);
            conns_.push_back(std::move(conn));
            c->reader = std::thread([c] { c->run(); });
        }
    }

    /* Connections whose peer left: their thread has finished. */
    void reap()
    {
        std::lock_guard<std::mutex> g(mu_);
        for (auto it = conns_.begin(); it != conns_.end();) {
            if ((*it)->done) {
                (*it)->reader.join();
                close((*it)->fd);
                it = conns_.erase(it);
            } else {
                ++it;
            }
        }
    }

    std::string path_;
    int listen_fd_ = -1;
    int wake_[2] = {-1, -1};
    bool bound_ = false;
    std::thread acceptor_;
    AcceptCount accepts_;
    std::mutex mu_;
    std::list<std::unique_ptr<Connection>> conns_;
};

DeviceServer *device_server_start(const std::string &path, std::string *why)
{
    auto *server = new DeviceServer;
    if (!server->start(path, why)) {
        delete server;
        return nullptr;
    }
    return server;
}

void device_server_stop(DeviceServer *server)
{
    delete server;
}

size_t device_server_connections(DeviceServer *server)
{
    return server->live_connections();
}

} // namespace endr
