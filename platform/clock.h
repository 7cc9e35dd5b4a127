// Millisecond tick and sleeps.
#pragma once
#include <cstdint>

// Milliseconds from an arbitrary origin, wrapping modulo 2^32. Callers take
// differences as (int32_t)(now - then) so that the wrap never matters.
// Monotonic: never jumps with the wall clock.
uint32_t plat_tick_ms();

// Sleeps at least ms milliseconds. 0 gives up the rest of the time slice.
void plat_sleep_ms(uint32_t ms);

// Microseconds from an arbitrary origin, monotonic; for timing only.
int64_t plat_micros();
