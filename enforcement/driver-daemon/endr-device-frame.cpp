#include "enforcement/driver-daemon/endr-device-frame.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <algorithm>

namespace endr {

namespace {

class Writer {
public:
    explicit Writer(size_t size_hint)
    {
        out_.reserve(size_hint);
        out_.resize(4);
    }
    void u32(uint32_t v) { raw(&v, 4); }
    void u64(uint64_t v) { raw(&v, 8); }
    void bytes(const std::vector<uint8_t> &b)
    {
        u32(static_cast<uint32_t>(b.size()));
        raw(b.data(), b.size());
    }
    void regions(const std::vector<FrameRegion> &rs)
    {
        u32(static_cast<uint32_t>(rs.size()));
        for (const FrameRegion &r : rs) {
            u64(r.address);
            if (r.write_only) {
                u32(kRegionWriteOnly | r.write_only);
            } else {
                bytes(r.bytes);
            }
        }
    }
    std::vector<uint8_t> finish()
    {
        uint32_t n = static_cast<uint32_t>(out_.size() - 4);
        memcpy(out_.data(), &n, 4);
        return std::move(out_);
    }

private:
    void raw(const void *p, size_t n)
    {
        if (n) {
            size_t at = out_.size();
            out_.resize(at + n);
            memcpy(out_.data() + at, p, n);
        }
    }
    std::vector<uint8_t> out_;
};

class Reader {
public:
    Reader(const uint8_t *p, size_t n, std::string *why) : p_(p), n_(n), why_(why) {}
    bool u32(uint32_t *v) { return raw(v, 4, "truncated u32"); }
    bool u64(uint64_t *v) { return raw(v, 8, "truncated u64"); }
    bool bytes(std::vector<uint8_t> *b)
    {
        uint32_t len;
        if (!u32(&len)) {
            return false;
        }
        if (len > n_ - at_) {
            return fail("byte count beyond the frame");
        }
        b->assign(p_ + at_, p_ + at_ + len);
        at_ += len;
        return true;
    }
    bool regions(std::vector<FrameRegion> *rs, bool write_only_allowed)
    {
        uint32_t count;
        if (!u32(&count)) {
            return false;
        }
        if (count > kMaxFrameRegions) {
            return fail("too many regions");
        }
        rs->resize(count);
        uint64_t write_only_total = 0;
        for (FrameRegion &r : *rs) {
            uint32_t len;
            if (!u64(&r.address) || !u32(&len)) {
                return false;
            }
            r.write_only = 0;
            if (len & kRegionWriteOnly) {
                len &= ~kRegionWriteOnly;
                write_only_total += len;
                if (!write_only_allowed) {
                    return fail("write-only region in an answer");
                }
                if (len == 0 || write_only_total > kMaxWriteOnlyBytes) {
                    return fail("write-only region too large");
                }
                r.write_only = len;
                r.bytes.assign(len, 0);
            } else {
                if (len > n_ - at_) {
                    return fail("byte count beyond the frame");
                }
                r.bytes.assign(p_ + at_, p_ + at_ + len);
                at_ += len;
            }
            if (r.address == 0 || r.bytes.empty() || r.address + r.bytes.size() < r.address) {
                return fail("empty or wrapping region");
            }
        }
        return true;
    }
    bool end() { return at_ == n_ || fail("trailing bytes"); }
    bool fail(const char *why)
    {
        if (why_) {
            *why_ = why;
        }
        return false;
    }

private:
    bool raw(void *v, size_t n, const char *why)
    {
        if (n > n_ - at_) {
            return fail(why);
        }
        memcpy(v, p_ + at_, n);
        at_ += n;
        return true;
    }
    const uint8_t *p_;
    size_t n_;
    size_t at_ = 0;
    std::string *why_;
};

} // namespace

/* The bytes regions take in a frame: one allocation for the whole frame. */
static size_t regions_size(const std::vector<FrameRegion> &rs)
{
    size_t n = 4;
    for (const FrameRegion &r : rs) {
        n += 12 + (r.write_only ? 0 : r.bytes.size());
    }
    return n;
}

std::vector<uint8_t> frame_encode_request(const DeviceRequest &r)
{
    Writer w(24 + 4 + r.input.size() + regions_size(r.regions));
    w.u32(r.kind);
    w.u32(r.id);
    if (r.kind == kFrameGroupIoctl) {
        w.u32(r.group);
    }
    w.u32(r.code);
    w.u32(r.out_size);
    w.bytes(r.input);
    w.regions(r.regions);
    return w.finish();
}

std::vector<uint8_t> frame_encode_answer(const DeviceAnswer &a)
{
    Writer w(16 + 4 + a.output.size() + regions_size(a.regions));
    w.u32(a.id);
    w.u32(a.result);
    w.u32(a.returned);
    w.bytes(a.output);
    w.regions(a.regions);
    return w.finish();
}

bool frame_decode_request(const uint8_t *body, size_t len, DeviceRequest *out, std::string *why)
{
    Reader r(body, len, why);
    if (len > kMaxFrameBytes) {
        return r.fail("frame too large");
    }
    if (!r.u32(&out->kind) || !r.u32(&out->id)) {
        return false;
    }
    if (out->kind != kFrameIoctl && out->kind != kFrameCancel && out->kind != kFrameGroupIoctl) {
        return r.fail("unknown frame kind");
    }
    out->group = 0;
    if (out->kind == kFrameGroupIoctl && !r.u32(&out->group)) {
        return false;
    }
    if (!r.u32(&out->code) || !r.u32(&out->out_size) || !r.bytes(&out->input) || !r.regions(&out->regions, true) ||
        !r.end()) {
        return false;
    }
    if (out->out_size > kMaxFrameBytes) {
        return r.fail("output size too large");
    }
    return true;
}

bool frame_decode_answer(const uint8_t *body, size_t len, DeviceAnswer *out, std::string *why)
{
    Reader r(body, len, why);
    if (len > kMaxFrameBytes) {
        return r.fail("frame too large");
    }
    return r.u32(&out->id) && r.u32(&out->result) && r.u32(&out->returned) && r.bytes(&out->output) &&
           r.regions(&out->regions, false) && r.end();
}

std::string device_socket_path()
{
    const char *dir = getenv("HV_RUNTIME_DIR");
    return std::string(dir && *dir ? dir : "/run/holvenstad") + "/hv-enforcement.sock";
}

bool frame_write_all(int fd, const uint8_t *p, size_t n)
{
    while (n) {
        ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) {
            continue;
        }
        if (w <= 0) {
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

bool frame_read_all(int fd, uint8_t *p, size_t n)
{
    while (n) {
        ssize_t r = recv(fd, p, n, 0);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            return false;
        }
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool frame_read(int fd, std::vector<uint8_t> *body)
{
    uint32_t len;
    if (!frame_read_all(fd, reinterpret_cast<uint8_t *>(&len), 4) || len > kMaxFrameBytes) {
        return false;
    }
    body->resize(len);
    return frame_read_all(fd, body->data(), len);
}

namespace {
constexpr size_t kReadChunk = 256 * 1024;
}

size_t FrameReader::buffer_size() const
{
    return buf_.size();
}

bool FrameReader::has_frame() const
{
    if (end_ - start_ < 4) {
        return false;
    }
    uint32_t len;
    memcpy(&len, buf_.data() + start_, 4);
    return len <= kMaxFrameBytes && end_ - start_ - 4 >= len;
}

bool FrameReader::next(const uint8_t **body, size_t *len)
{
    size_t need = 4;
    for (;;) {
        if (end_ - start_ >= 4) {
            uint32_t n;
            memcpy(&n, buf_.data() + start_, 4);
            if (n > kMaxFrameBytes) {
                return false;
            }
            need = 4 + size_t{n};
            if (end_ - start_ >= need) {
                *body = buf_.data() + start_ + 4;
                *len = n;
                start_ += need;
                return true;
            }
        }
        /* Keep the partial frame at the front, with room for the rest of it. */
        if (start_ > 0) {
            memmove(buf_.data(), buf_.data() + start_, end_ - start_);
            end_ -= start_;
            start_ = 0;
        }
        /* Room for the frame grows with what arrives of it, not with what its length claims:
         * a peer that announces a large frame and sends little of it holds little memory. A
         * buffer grown for a large frame is given back. */
        size_t want = std::max(need, kReadChunk);
        if (buf_.size() > 2 * want) {
            buf_.resize(want);
            buf_.shrink_to_fit();
        }
        if (end_ == buf_.size()) {
            buf_.resize(std::min(want, std::max(kReadChunk, 2 * buf_.size())));
        }
        ssize_t r = recv(fd_, buf_.data() + end_, buf_.size() - end_, 0);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            return false;
        }
        end_ += static_cast<size_t>(r);
    }
}

} // namespace endr
