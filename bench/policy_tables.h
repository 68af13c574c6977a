/* Typed policy tables of realistic shape for benchmarks: /32 addresses from a pool of
 * 2,000 hosts, /16 subnets (a quarter with a negated /24), 300 distinct ports, 50 distinct
 * ranges, TCP or UDP, spread over 16 chains. Deterministic. */
#pragma once

#include <cstddef>

struct EnforcementChainList;

EnforcementChainList *bench_policy_table(size_t rules);
