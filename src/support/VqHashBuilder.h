#pragma once

#include "VqExport.h"

#include <cstddef>
#include <cstdint>

// FNV-1a over the bytes of values, chained from a seed: the cached hash of
// an object made of plain fields.
class VQ_API VqHashBuilder {
public:
    explicit VqHashBuilder(uint32_t seed) : _uHash(seed ^ 2166136261u) {}
    VqHashBuilder& add(const void* data, size_t n) {
        const unsigned char* p = static_cast<const unsigned char*>(data);
        for (size_t i = 0; i < n; ++i)
            _uHash = (_uHash ^ p[i]) * 16777619u;
        return *this;
    }
    template <class T>
    VqHashBuilder& add(const T& v) {
        return add(&v, sizeof(T));
    }
    VqHashBuilder& addPtr(const void* p) {
        uintptr_t v = reinterpret_cast<uintptr_t>(p);
        return add(&v, sizeof(v));
    }
    // Never 0, which marks a hash not yet computed.
    uint32_t value() const { return _uHash ? _uHash : 1u; }

private:
    uint32_t _uHash;
};
