/*
 * Decoding of the messages on the report socket for hv-events: a single NetEvent, or a batch
 * of records (told apart by the first four bytes). Each event becomes one JSON object (type,
 * time, every set field by name, recursively; enums by name, bytes as hex); every malformed
 * part becomes a problem text and is skipped. Never trusts a length it has not checked.
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct HvEventsDecoded {
    std::vector<std::string> events;   /* one JSON object per event, in order */
    std::vector<std::string> problems; /* one text per malformed part */
};

void hv_events_decode(const uint8_t *msg, size_t len, HvEventsDecoded *out);
