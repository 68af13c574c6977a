/* Heap accounting for benchmarks: live bytes and the peak since the last reset. */
#pragma once
#include <cstddef>

size_t alloc_counter_live(void);
size_t alloc_counter_peak(void);
/* Starts a new peak measurement at the current live size. */
void alloc_counter_reset_peak(void);
