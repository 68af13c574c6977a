/* A policy-shaped "set-enforcement-policy" request for benchmarks. */
#pragma once
#include <cstddef>
#include <string>

/* Deterministic: the same arguments always give the same bytes. */
std::string bench_policy_request(size_t rule_count, size_t target_bytes);
