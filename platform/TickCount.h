#pragma once
// The system tick count: milliseconds of a steady clock, wrapping at 32 bits.
#include <chrono>
#include <cstdint>

inline uint32_t TickCount() {
    using namespace std::chrono;
    return uint32_t(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}
