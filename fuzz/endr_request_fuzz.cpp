/*
 * Emulated driver request decoder. Whatever the bytes: no crash, no read outside the
 * span, and a header the decoder accepts always names a known control code.
 */
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <array>
#include <span>

#include "enforcement/driver-daemon/endr-wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1) {
        return 0;
    }
    std::span<const endr::CodeInfo> codes = endr::all_codes();
    const endr::CodeInfo &info = codes[data[0] % codes.size()];
    std::span<const uint8_t> rest(data + 1, size - 1);

    if (rest.size() >= endr::kHeaderSize) {
        endr::Header h{};
        bool out_present = data[0] & 0x80;
        uint32_t rc = endr::decode_header(info.code, rest.data(), endr::kHeaderSize, out_present, 65535, &h);
        if (rc == 0 && !endr::code_info(info.code)) {
            abort();
        }
        if (rc == 0) {
            endr::check_value(info.code, h.value, h.selector);
        }
    }
    if (info.code == endr::kGetConnections) {
        /* An accepted connection request always describes a record buffer the records fit. */
        endr::ConnectionRequest req{};
        if (endr::parse_connection_request(rest, &req) == 0 &&
            (req.max_records == 0 || req.max_records > endr::kMaxConnectionRecords ||
             uint64_t{req.buffer_size} != uint64_t{req.max_records} * endr::kConnectionRecordSize || !req.buffer ||
             !req.aux)) {
            abort();
        }
        /* Texts and SID counts of any size stay inside their fields of the record. */
        endr::ConnectionRecord rec;
        size_t half = rest.size() / 2;
        rec.rule_id.assign(rest.begin(), rest.begin() + static_cast<long>(half));
        rec.dns.assign(rest.begin() + static_cast<long>(half), rest.end());
        rec.sid_count = rest.empty() ? 0 : rest[0];
        std::array<uint8_t, endr::kConnectionRecordSize> out;
        endr::encode_connection_record(rec, out);
        if (!memchr(out.data() + 100, 0, 129) || !memchr(out.data() + 229, 0, 255) || out[1826] > 15) {
            abort();
        }
    }
    if (info.form == endr::Form::Buffer) {
        /* A copy of the exact size, so that any overread hits the sanitizer. */
        uint8_t *copy = static_cast<uint8_t *>(malloc(rest.size() ? rest.size() : 1));
        std::copy(rest.begin(), rest.end(), copy);
        endr::check_buffer(info.code, {copy, rest.size()});
        free(copy);
    }
    return 0;
}
