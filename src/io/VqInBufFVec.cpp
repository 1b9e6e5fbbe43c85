#include "VqInBufFVec.h"

#include "VqPlatform.h"

#include <algorithm>
#include <cstring>

VqInBufFVec::~VqInBufFVec() {
    _nLength = 0;
    VqPlatform* platform = VqPlatform::EnsureInstance();
    for (VqUChar* f : _vpFrags)
        platform->dealloc(f);
}

bool VqInBufFVec::verify(uint64_t index) {
    VqPlatform* platform = VqPlatform::EnsureInstance();
    if (!platform) return false;
    uint64_t needed = (index >> kFragShift) + 1;
    if (needed > (uint64_t(1) << 32)) return false;
    while (_vpFrags.size() < needed) {
        auto* f = static_cast<VqUChar*>(platform->alloc(kFragSize));
        if (!f) return false;
        _vpFrags.push_back(f);
    }
    return true;
}

void VqInBufFVec::write(uint64_t pos, const VqUChar* src, VqSize n) {
    uint64_t end = pos + n;
    while (n > 0) {
        VqSize in = static_cast<VqSize>(pos & (kFragSize - 1));
        VqSize len = std::min(n, kFragSize - in);
        std::memcpy(_vpFrags[pos >> kFragShift] + in, src, len);
        src += len;
        pos += len;
        n -= len;
    }
    _nLength = std::max(_nLength, end);
}

void VqInBufFVec::read(uint64_t pos, VqUChar* dst, VqSize n) const {
    while (n > 0) {
        VqSize in = static_cast<VqSize>(pos & (kFragSize - 1));
        VqSize len = std::min(n, kFragSize - in);
        std::memcpy(dst, _vpFrags[pos >> kFragShift] + in, len);
        dst += len;
        pos += len;
        n -= len;
    }
}

void VqInBufFVec::clear() {
    _nLength = 0;
    VqPlatform* platform = VqPlatform::EnsureInstance();
    while (_vpFrags.size() > 1) {
        platform->dealloc(_vpFrags.back());
        _vpFrags.pop_back();
    }
}
