#include "VqBaseDataStream.h"

#include "VqErrorState.h"
#include "VqFactory.h"
#include "VqString.h"
#include "VqVec.h"

#include <algorithm>
#include <bit>
#include <memory>

VQ_IMPLEMENT_ABSTRACT_TYPE(VqBaseDataStream, VqBaseStream, CLSID_ZQBaseDataStream)

namespace {
const char* const kCls = "VqBaseDataStream";
// Strings up to this many code units are read through a buffer on the stack.
constexpr int kLocalStringUnits = 2046;
// Counts whose bytes fit here are allocated at once; larger ones are first
// checked against what the stream can deliver, or read in pieces of this size
// when the stream cannot tell, so that a corrupt count never allocates more
// than the data that actually arrives.
constexpr uint64_t kTrustedBytes = 1u << 20;

bool shortRead() {
    VqErrorState::throwStdError(kCls, "read", "Short read", VQ_ERR_SHORT_READ);
    return false;
}
} // namespace

VqBaseDataStream::VqBaseDataStream() : _eByteOrder(s_systemByteOrder()) {}

VqBaseDataStream::ByteOrder VqBaseDataStream::s_systemByteOrder() {
    return std::endian::native == std::endian::little ? LsbFirst : MsbFirst;
}

void VqBaseDataStream::setByteOrder(ByteOrder order) {
    _eByteOrder = order;
    _bSwap = order != s_systemByteOrder();
}

bool VqBaseDataStream::_getSlow(void* dst, VqSize n) {
    auto* out = static_cast<VqUChar*>(dst);
    VqSize got = 0;
    // The window may hold the first part of the request.
    if (VqSize inWindow = static_cast<VqSize>(_pGetEnd - _pGetCur); inWindow > 0 && inWindow < n) {
        std::memcpy(out, _pGetCur, inWindow);
        _pGetCur += inWindow;
        got = inWindow;
    }
    try {
        while (got < n) {
            VqSize r = 0;
            readBytes(out + got, n - got, r);
            if (r == 0) break;
            got += r;
        }
    } catch (...) {
        return VqErrorState::recordCurrentException(kCls, "read");
    }
    return got == n || shortRead();
}

bool VqBaseDataStream::_putSlow(const void* src, VqSize n) {
    try {
        writeBytes(static_cast<const VqUChar*>(src), n);
    } catch (...) {
        return VqErrorState::recordCurrentException(kCls, "write");
    }
    return true;
}

bool VqBaseDataStream::_checkLength(int len, VqSize elemSize) {
    VQ_CHECK(len >= 0, kCls, "read", VQ_ERR_INTERNAL);
    uint64_t bytes = static_cast<uint64_t>(len) * elemSize;
    if (bytes > kTrustedBytes && bytes > _readLimit()) return shortRead();
    return true;
}

bool VqBaseDataStream::readLength(int& len, VqSize elemSize) {
    len = 0;
    int n = 0;
    VQ_PROPAGATE(read(&n));
    VQ_PROPAGATE(_checkLength(n, elemSize));
    len = n;
    return true;
}

bool VqBaseDataStream::read(bool* v) {
    int32_t i = 0;
    if (!_getScalar(&i)) return false;
    *v = i != 0;
    return true;
}

bool VqBaseDataStream::read(VqBitField<1>* v) {
    uint32_t bits = 0;
    if (!_getScalar(&bits)) return false;
    v->setBits(bits);
    return true;
}

void VqBaseDataStream::s_byteSwap(VqGUID& v) {
    v.Data1 = __builtin_bswap32(v.Data1);
    v.Data2 = __builtin_bswap16(v.Data2);
    v.Data3 = __builtin_bswap16(v.Data3);
}

bool VqBaseDataStream::write(const VqString& v) {
    int n = v.numChars();
    VQ_PROPAGATE(write(n));
    return n == 0 || _put(v.getConstPtr(), static_cast<VqSize>(n) * 2);
}

bool VqBaseDataStream::read(VqString& v) {
    int n = 0;
    VQ_PROPAGATE(readLength(n, 2));
    if (n == 0) {
        v.clear();
        return true;
    }
    unsigned short local[kLocalStringUnits];
    std::vector<unsigned short> heap;
    unsigned short* units = local;
    if (n <= kLocalStringUnits) {
        if (!_get(units, static_cast<VqSize>(n) * 2)) return false;
    } else {
        // Grown in pieces like the vectors: an element's recorded length is all
        // that bounds the count, and a compressed segment cannot vouch for it.
        const size_t step = kTrustedBytes / 2;
        for (size_t done = 0; done < static_cast<size_t>(n);) {
            size_t len = std::min(static_cast<size_t>(n) - done, step);
            heap.resize(done + len);
            if (!_get(heap.data() + done, len * 2)) return false;
            done += len;
        }
        units = heap.data();
    }
    swapCheck(units, n);
    VQ_PROPAGATE(v.setString(units, n));
    return true;
}

bool VqBaseDataStream::write(const bool* v, int n) {
    VQ_CHECK(n >= 0, kCls, "write", VQ_ERR_ARGUMENT);
    for (int i = 0; i < n; ++i)
        if (!write(v[i])) return false;
    return true;
}

bool VqBaseDataStream::read(bool* v, int n) {
    VQ_CHECK(n >= 0, kCls, "read", VQ_ERR_ARGUMENT);
    for (int i = 0; i < n; ++i)
        if (!read(&v[i])) return false;
    return true;
}

bool VqBaseDataStream::write(const VqString* v, int n) {
    VQ_CHECK(n >= 0, kCls, "write", VQ_ERR_ARGUMENT);
    for (int i = 0; i < n; ++i)
        if (!write(v[i])) return false;
    return true;
}

bool VqBaseDataStream::read(VqString* v, int n) {
    VQ_CHECK(n >= 0, kCls, "read", VQ_ERR_ARGUMENT);
    for (int i = 0; i < n; ++i)
        if (!read(v[i])) return false;
    return true;
}

bool VqBaseDataStream::read(VqGUID* v, int n) {
    VQ_CHECK(n >= 0, kCls, "read", VQ_ERR_ARGUMENT);
    for (int i = 0; i < n; ++i)
        if (!read(v[i])) return false;
    return true;
}

template <class T>
bool VqBaseDataStream::_putArray(const T* v, int n) {
    VQ_CHECK(n >= 0, kCls, "write", VQ_ERR_ARGUMENT);
    return n == 0 || _put(v, static_cast<VqSize>(n) * sizeof(T));
}

template <class T>
bool VqBaseDataStream::_getArray(T* v, int n) {
    VQ_CHECK(n >= 0, kCls, "read", VQ_ERR_ARGUMENT);
    if (n == 0) return true;
    if (!_get(v, static_cast<VqSize>(n) * sizeof(T))) return false;
    if constexpr (sizeof(T) > 1) swapCheck(v, n);
    return true;
}

template <class T, class A>
bool VqBaseDataStream::_putVec(const std::vector<T, A>& v) {
    VQ_CHECK(v.size() <= static_cast<size_t>(INT32_MAX), kCls, "write", VQ_ERR_ARGUMENT);
    int n = static_cast<int>(v.size());
    VQ_PROPAGATE(write(n));
    return _putArray(v.data(), n);
}

template <class T, class A>
bool VqBaseDataStream::_getVec(std::vector<T, A>& v) {
    int n = 0;
    VQ_PROPAGATE(readLength(n, sizeof(T)));
    // A count beyond the trusted size whose bound the stream cannot tell is
    // read in pieces, so that memory follows the bytes that arrive.
    const size_t step = kTrustedBytes / sizeof(T);
    size_t done = 0;
    v.clear();
    while (done < static_cast<size_t>(n)) {
        size_t len = std::min(static_cast<size_t>(n) - done, step);
        v.resize(done + len);
        if (!_getArray(v.data() + done, static_cast<int>(len))) {
            v.clear();
            return false;
        }
        done += len;
    }
    return true;
}

static_assert(sizeof(VqVec3f) == 3 * sizeof(float), "3-float vectors are written as packed floats");

bool VqBaseDataStream::writeVVec3f(const std::vector<VqVec3f>& v) {
    VQ_CHECK(v.size() <= static_cast<size_t>(INT32_MAX / 3), kCls, "write", VQ_ERR_ARGUMENT);
    int n = static_cast<int>(v.size());
    VQ_PROPAGATE(write(n));
    return n == 0 || _putArray(v.data()->data(), 3 * n);
}

bool VqBaseDataStream::readVVec3f(std::vector<VqVec3f>& v) {
    int n = 0;
    VQ_PROPAGATE(readLength(n, 3 * sizeof(float)));
    const size_t step = kTrustedBytes / (3 * sizeof(float));
    size_t done = 0;
    v.clear();
    while (done < static_cast<size_t>(n)) {
        size_t len = std::min(static_cast<size_t>(n) - done, step);
        v.resize(done + len);
        if (!_getArray(v[done].data(), static_cast<int>(3 * len))) {
            v.clear();
            return false;
        }
        done += len;
    }
    return true;
}

bool VqBaseDataStream::writeBits(unsigned int value, int nBits) {
    VQ_CHECK(nBits >= 0 && nBits <= 32, kCls, "writeBits", VQ_ERR_INTERNAL);
    if (nBits == 0) return true;
    uint64_t mask = (uint64_t(1) << nBits) - 1;
    uint64_t acc = (uint64_t(_uBitBuffer) << nBits) | (value & mask);
    int count = _nBitCount + nBits;
    while (count >= 8) {
        count -= 8;
        unsigned char byte = static_cast<unsigned char>(acc >> count);
        if (!_put(&byte, 1)) return false;
    }
    _nBitCount = count;
    _uBitBuffer = static_cast<uint32_t>(acc & ((uint64_t(1) << count) - 1));
    return true;
}

bool VqBaseDataStream::writeBits64(unsigned long value, int nBits) {
    VQ_CHECK(nBits >= 0 && nBits <= 64, kCls, "writeBits", VQ_ERR_INTERNAL);
    if (nBits <= 32) return writeBits(static_cast<unsigned int>(value), nBits);
    return writeBits(static_cast<unsigned int>(value), 32) &&
           writeBits(static_cast<unsigned int>(value >> 32), nBits - 32);
}

bool VqBaseDataStream::writeAlignmentBits() {
    return _nBitCount == 0 || writeBits(0, 8 - _nBitCount);
}

bool VqBaseDataStream::readBits(unsigned int& value, int nBits) {
    value = 0;
    VQ_CHECK(nBits >= 0 && nBits <= 32, kCls, "readBits", VQ_ERR_INTERNAL);
    uint64_t acc = _uBitBuffer;
    int count = _nBitCount;
    while (count < nBits) {
        unsigned char byte = 0;
        if (!_get(&byte, 1)) return false;
        acc = (acc << 8) | byte;
        count += 8;
    }
    count -= nBits;
    value = static_cast<unsigned int>((acc >> count) & ((uint64_t(1) << nBits) - 1));
    _nBitCount = count;
    _uBitBuffer = static_cast<uint32_t>(acc & ((uint64_t(1) << count) - 1));
    return true;
}

bool VqBaseDataStream::readBits64(unsigned long& value, int nBits) {
    value = 0;
    VQ_CHECK(nBits >= 0 && nBits <= 64, kCls, "readBits", VQ_ERR_INTERNAL);
    unsigned int lo = 0, hi = 0;
    if (nBits <= 32) {
        if (!readBits(lo, nBits)) return false;
    } else if (!readBits(lo, 32) || !readBits(hi, nBits - 32)) {
        return false;
    }
    value = (static_cast<unsigned long>(hi) << 32) | lo;
    return true;
}

void VqBaseDataStream::s_byteSwap(unsigned short* v, int n) {
    for (int i = 0; i < n; ++i)
        v[i] = __builtin_bswap16(v[i]);
}

void VqBaseDataStream::s_byteSwap(unsigned int* v, int n) {
    for (int i = 0; i < n; ++i)
        v[i] = __builtin_bswap32(v[i]);
}

void VqBaseDataStream::s_byteSwap(unsigned long* v, int n) {
    for (int i = 0; i < n; ++i)
        v[i] = __builtin_bswap64(v[i]);
}

void VqBaseDataStream::s_wordSwap(unsigned long* v, int n) {
    for (int i = 0; i < n; ++i)
        v[i] = (v[i] << 32) | (v[i] >> 32);
}

// The element types the header's inline operations use.
#define VQ_INSTANTIATE_ARRAY(T)                                                                              \
    template bool VqBaseDataStream::_putArray<T>(const T*, int);                                             \
    template bool VqBaseDataStream::_getArray<T>(T*, int);
VQ_INSTANTIATE_ARRAY(char)
VQ_INSTANTIATE_ARRAY(unsigned char)
VQ_INSTANTIATE_ARRAY(short)
VQ_INSTANTIATE_ARRAY(unsigned short)
VQ_INSTANTIATE_ARRAY(int)
VQ_INSTANTIATE_ARRAY(unsigned int)
VQ_INSTANTIATE_ARRAY(long)
VQ_INSTANTIATE_ARRAY(unsigned long)
VQ_INSTANTIATE_ARRAY(float)
VQ_INSTANTIATE_ARRAY(double)
#undef VQ_INSTANTIATE_ARRAY
template bool VqBaseDataStream::_putArray<VqGUID>(const VqGUID*, int);

#define VQ_INSTANTIATE_VEC(T)                                                                                \
    template bool VqBaseDataStream::_putVec(const std::vector<T>&);                                          \
    template bool VqBaseDataStream::_getVec(std::vector<T>&);                                                \
    template bool VqBaseDataStream::_putVec(const VqVec<T>::vector&);                                        \
    template bool VqBaseDataStream::_getVec(VqVec<T>::vector&);
VQ_INSTANTIATE_VEC(unsigned char)
VQ_INSTANTIATE_VEC(short)
VQ_INSTANTIATE_VEC(unsigned short)
VQ_INSTANTIATE_VEC(int)
VQ_INSTANTIATE_VEC(unsigned int)
VQ_INSTANTIATE_VEC(long)
VQ_INSTANTIATE_VEC(unsigned long)
VQ_INSTANTIATE_VEC(float)
VQ_INSTANTIATE_VEC(double)
#undef VQ_INSTANTIATE_VEC
