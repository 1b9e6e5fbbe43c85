#pragma once

#include "VqExport.h"

#include <cstdint>

// A small reproducible pseudo-random generator: the same seed gives the same
// sequence on every platform, which tests and shuffles that must repeat need.
// Each number is a step of splitmix64, which is well mixed from any seed,
// 0 included. Not for cryptography.
class VQ_API VqRandom {
public:
    explicit VqRandom(uint64_t seed = 0) : _uState(seed) {}

    void setSeed(uint64_t seed) { _uState = seed; }
    uint64_t nextULong() {
        uint64_t z = (_uState += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t nextUInt() { return uint32_t(nextULong() >> 32); }
    // Uniform in [0, 1).
    double nextDouble() { return double(nextULong() >> 11) * (1.0 / 9007199254740992.0); }

private:
    uint64_t _uState;
};
