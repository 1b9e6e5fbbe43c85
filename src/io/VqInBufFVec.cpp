#include "VqInBufFVec.h"

#include "VqPlatform.h"

#include <algorithm>
#include <cstring>

VqInBufFVec::~VqInBufFVec() {
    _nLength = 0;
    VqPlatform* platform = VqPlatform::EnsureInstance();
    for (VqUChar* f : _vpFrags)
        platform->dealloc(f);
    for (VqUChar* f : _vpSpare)
        platform->dealloc(f);
}

bool VqInBufFVec::verify(uint64_t index) {
    VqPlatform* platform = VqPlatform::EnsureInstance();
    if (!platform) return false;
    uint64_t needed = (index >> kFragShift) + 1;
    if (needed > (uint64_t(1) << 32)) return false;
    while (_vpFrags.size() < needed) {
        VqUChar* f = nullptr;
        if (!_vpSpare.empty()) {
            f = _vpSpare.back();
            _vpSpare.pop_back();
        } else {
            f = static_cast<VqUChar*>(platform->alloc(kFragSize));
            if (!f) return false;
        }
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
    // One fragment stays for reuse, in the first slot, whose room the vector
    // keeps: emptying allocates nothing.
    VqUChar* kept = nullptr;
    for (std::vector<VqUChar*>* v : {&_vpFrags, &_vpSpare})
        for (VqUChar* f : *v) {
            if (f && !kept)
                kept = f;
            else
                platform->dealloc(f);
        }
    _vpFrags.clear();
    _vpSpare.clear();
    if (kept) _vpFrags.push_back(kept);
}

void VqInBufFVec::recycle(int i) {
    VqUChar*& f = _vpFrags[static_cast<size_t>(i)];
    if (!f) return;
    _vpSpare.push_back(f);
    f = nullptr;
}
