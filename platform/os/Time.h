#pragma once
// Sleeping and the millisecond tick.
#include <cstdint>

// Suspends the calling thread for at least `ms` milliseconds.
void Sleep(uint32_t ms);
// Milliseconds of the monotonic clock as a 32-bit count that wraps (about
// every 49.7 days); compare ticks by unsigned difference.
uint32_t timeGetTime();
