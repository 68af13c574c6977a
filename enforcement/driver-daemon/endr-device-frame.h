/*
 * Frames of the device socket ($HV_RUNTIME_DIR/hv-enforcement.sock), the stream on which
 * a module reaches hv-endrd as it would reach the kernel device. Little-endian; every
 * frame starts with a u32 byte count of what follows it.
 *
 *   hello (daemon -> client, once, after accept):  u32 result (0: the device is open)
 *   request (client -> daemon):
 *     u32 kind (1 ioctl, 2 cancel, 3 ioctl of a group)  u32 id  [u32 group: kind 3 only]
 *     u32 control code  u32 output size
 *     u32 input length, input bytes (the 16-byte request header)
 *     u32 region count, regions: u64 caller address, u32 length, bytes; or, for a
 *       write-only region, u64 caller address, u32 (0x80000000 | length) and no bytes
 *   answer (daemon -> client, one per ioctl, in any order):
 *     u32 id  u32 Win32 result  u32 returned count
 *     u32 output length, output bytes
 *     u32 region count, regions (the caller buffers the driver wrote into)
 *
 * The regions carry the caller memory that the header (and the connection and log
 * requests inside it) point at, since the daemon cannot read the module's memory. A
 * buffer the driver only writes (the record or log buffer of a connection or log request)
 * travels write-only: the daemon hands the driver zeroed memory of its length, and only
 * the prefix the driver wrote comes back, which the client copies over the start of the
 * caller's buffer; the rest stays as the caller left it, as with a driver. A
 * cancel ends every waiting request of the connection with 995 and refuses later ones,
 * as closing the device handle does. A connection that closes releases what it held.
 *
 * Requests that do not wait run in arrival order, so a client may send many before reading
 * an answer. Once a request of a group fails, the daemon runs no later request of the
 * same group on that connection: they are answered with 1235 (the caller stops at the
 * first failure and would never have sent them one at a time).
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace endr {

constexpr uint32_t kFrameIoctl = 1;
constexpr uint32_t kFrameCancel = 2;
constexpr uint32_t kFrameGroupIoctl = 3;
/* The answer of a grouped request not run because an earlier one of its group failed. */
constexpr uint32_t kFrameNotRun = 1235;
/* Room for the largest rule index a module sends (32,768 rules on a side make over 100 MiB). */
constexpr uint32_t kMaxFrameBytes = 512u << 20;
constexpr uint32_t kMaxFrameRegions = 4;
/* Marks a write-only region's length; no length comes near it (see kMaxFrameBytes). */
constexpr uint32_t kRegionWriteOnly = 0x80000000u;
/* What the write-only regions of one request may ask the daemon to allocate: a 1000-record
 * block takes 1.85 MB. A larger buffer is lent whole instead. An output size above it is
 * answered 1450 (no resources) without running. */
constexpr uint32_t kMaxWriteOnlyBytes = 64u << 20;
/* Requests that may wait (event, connection and log reads) each keep a thread and what was
 * lent to them until they end. A connection gets at most this many of them at once, holding
 * at most kMaxWaitingBytes of lent memory and output between them; one beyond is answered
 * 1450 (no resources) without running. */
constexpr size_t kMaxWaitingRequests = 256;
constexpr uint64_t kMaxWaitingBytes = kMaxWriteOnlyBytes;

struct FrameRegion {
    uint64_t address = 0;
    std::vector<uint8_t> bytes;
    /* Requests only: nonzero for a write-only region, its length. The client leaves bytes
     * empty (nothing of it is sent); the daemon decodes it to that many zero bytes. */
    uint32_t write_only = 0;
};

struct DeviceRequest {
    uint32_t kind = kFrameIoctl;
    uint32_t id = 0;
    uint32_t group = 0; /* kFrameGroupIoctl only */
    uint32_t code = 0;
    uint32_t out_size = 0;
    std::vector<uint8_t> input;
    std::vector<FrameRegion> regions;
};

struct DeviceAnswer {
    uint32_t id = 0;
    uint32_t result = 0;
    uint32_t returned = 0;
    std::vector<uint8_t> output;
    std::vector<FrameRegion> regions;
};

/* The whole frame, length prefix included. */
std::vector<uint8_t> frame_encode_request(const DeviceRequest &r);
std::vector<uint8_t> frame_encode_answer(const DeviceAnswer &a);
/* body: the bytes after the length prefix. False (with why) for anything malformed:
 * truncated, trailing bytes, counts or sizes beyond the limits above. */
bool frame_decode_request(const uint8_t *body, size_t len, DeviceRequest *out, std::string *why);
bool frame_decode_answer(const uint8_t *body, size_t len, DeviceAnswer *out, std::string *why);

/* $HV_RUNTIME_DIR/hv-enforcement.sock (default folder /run/holvenstad). */
std::string device_socket_path();

/* Blocking whole-buffer I/O on a stream socket; false on error or end of stream. */
bool frame_write_all(int fd, const uint8_t *p, size_t n);
bool frame_read_all(int fd, uint8_t *p, size_t n);
/* One frame's body; false at end of stream, on error or on a length above the limit. */
bool frame_read(int fd, std::vector<uint8_t> *body);

/* Reads frames from a stream socket with as few calls as the data allow. */
class FrameReader {
public:
    explicit FrameReader(int fd) : fd_(fd) {}
    /* The next frame's body, valid until the next call; false at end of stream, on error
     * or on a length above the limit. */
    bool next(const uint8_t **body, size_t *len);
    /* Whether next() can return a frame without reading the socket. */
    bool has_frame() const;
    /* The memory held for frames (for tests). */
    size_t buffer_size() const;

private:
    int fd_;
    std::vector<uint8_t> buf_;
    size_t start_ = 0;
    size_t end_ = 0;
};

} // namespace endr
