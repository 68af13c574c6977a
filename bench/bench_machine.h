/*
 * A private driver for the classifier benchmarks: a run-time folder, the driver daemon in
 * process, the module's driver channel opened, index limits raised for large random
 * tables. Tables go in through the module's conversion and the device requests, then a
 * swap, as a push does.
 */
#pragma once

#include <cstdint>
#include <string>

#include "tests/common/endr-harness.h"

struct EnforcementChainList;
struct en_handle;

class BenchMachine {
public:
    /* Aborts the benchmark process when the driver does not start: nothing can be measured. */
    explicit BenchMachine(const char *name);
    ~BenchMachine();
    BenchMachine(const BenchMachine &) = delete;
    BenchMachine &operator=(const BenchMachine &) = delete;

    /* Converts both tables (NULL: empty) and swaps them in; *why says what failed. */
    bool Load(const EnforcementChainList *input, const EnforcementChainList *output, std::string *why);

private:
    std::string dir_;
    en_handle *handle_ = nullptr;
    uint64_t revision_ = 1;
    hvtest::InProcessDaemon daemon_;
};
