/*
 * Emulated driver's rule and index decoders. Whatever the bytes: no crash, no read
 * outside the span; an accepted index answers region lookups inside its bag.
 */
#include <cstdint>
#include <cstdlib>
#include <span>

#include "enforcement/driver-daemon/endr-policy.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1) {
        return 0;
    }
    std::span<const uint8_t> rest(data + 1, size - 1);
    if (data[0] & 1) {
        endr::DecodedRule rule;
        endr::decode_rule(rest, &rule);
        return 0;
    }
    endr::DecodedIndex index;
    if (endr::decode_index(rest, &index) != 0) {
        return 0;
    }
    size_t bags = index.words ? index.bag.size() / index.words : 0;
    for (const endr::Regions *r : {&index.port, &index.src, &index.dst}) {
        if (r->starts.empty()) {
            continue;
        }
        for (uint32_t v : {0u, 1u, 80u, 65535u, 0xFFFFFFFFu}) {
            if (r->lookup(v) >= bags) {
                abort();
            }
        }
    }
    return 0;
}
