/*
 * Device socket frames. Whatever the bytes: no crash, no read outside the body, a group
 * only on the kind that carries one, and a frame the decoder accepts encodes back to
 * exactly the same bytes (a write-only region, decoded to zero bytes, back to its length).
 */
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "enforcement/driver-daemon/endr-device-frame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1) {
        return 0;
    }
    const uint8_t *body = data + 1;
    size_t len = size - 1;
    std::string why;
    if (data[0] & 1) {
        endr::DeviceAnswer a;
        if (endr::frame_decode_answer(body, len, &a, &why)) {
            std::vector<uint8_t> again = endr::frame_encode_answer(a);
            if (again.size() != len + 4 || memcmp(again.data() + 4, body, len) != 0) {
                abort();
            }
        }
        return 0;
    }
    endr::DeviceRequest r;
    if (endr::frame_decode_request(body, len, &r, &why)) {
        if (r.regions.size() > endr::kMaxFrameRegions || r.out_size > endr::kMaxFrameBytes ||
            (r.kind != endr::kFrameGroupIoctl && r.group != 0)) {
            abort();
        }
        uint64_t write_only = 0;
        for (const endr::FrameRegion &g : r.regions) {
            write_only += g.write_only;
            if (g.write_only && g.bytes.size() != g.write_only) {
                abort();
            }
        }
        if (write_only > endr::kMaxWriteOnlyBytes) {
            abort();
        }
        std::vector<uint8_t> again = endr::frame_encode_request(r);
        if (again.size() != len + 4 || memcmp(again.data() + 4, body, len) != 0) {
            abort();
        }
    }
    return 0;
}
