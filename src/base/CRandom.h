#pragma once
// The humanisation's random numbers. One generator per engine, seeded through
// one operation: with the time in the arranger, with a fixed value in the
// tests and the renderer, so that every test and every render repeats.
#include <cstdint>

class CRandom {
public:
    static constexpr int kMax = 0x7FFFFFFF;

    explicit CRandom(uint32_t value = 1) { seed(value); }
    void seed(uint32_t value) { state = (static_cast<uint64_t>(value) << 1) | 1; }
    // 0 .. kMax, as rand() gives them.
    int next()
    {
        // PCG-XSH-RR, 64-bit state.
        const uint64_t old = state;
        state = old * 6364136223846793005ULL + 1442695040888963407ULL;
        const auto shifted = static_cast<uint32_t>(((old >> 18) ^ old) >> 27);
        const auto rot = static_cast<uint32_t>(old >> 59);
        const uint32_t r = (shifted >> rot) | (shifted << ((32 - rot) & 31));
        return static_cast<int>(r >> 1);
    }

    // The whole state, to draw the same numbers again from a point.
    uint64_t saved() const { return state; }
    void restore(uint64_t saved) { state = saved; }

private:
    uint64_t state = 0;
};
