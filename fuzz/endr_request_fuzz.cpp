/*
 * Emulated driver request decoder. Whatever the bytes: no crash, no read outside the
 * span, and a header the decoder accepts always names a known control code.
 */
#include <cstdint>
#include <algorithm>
#include <cstdlib>
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
    if (info.form == endr::Form::Buffer) {
        /* A copy of the exact size, so that any overread hits the sanitizer. */
        uint8_t *copy = static_cast<uint8_t *>(malloc(rest.size() ? rest.size() : 1));
        std::copy(rest.begin(), rest.end(), copy);
        endr::check_buffer(info.code, {copy, rest.size()});
        free(copy);
    }
    return 0;
}
