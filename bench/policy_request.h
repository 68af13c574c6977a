/* The "set-enforcement-policy" request of the push benchmarks: the tables of
 * bench_policy_table split in half over input and output, each ending in a default chain. */
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct EnforcementChainList;

/* One table of `rules` rules as the management side sends it (no rule types). */
EnforcementChainList *bench_push_table(size_t rules, bool output);

/* Compact request text; the revision sits in a fixed-width slot so that each iteration
 * can change it in place. */
struct BenchPushRequest {
    std::string text;
    size_t revision_at = 0;
    size_t rules = 0;
};
BenchPushRequest bench_push_request(size_t rules);
void bench_push_request_set_revision(BenchPushRequest *request, uint32_t revision);
