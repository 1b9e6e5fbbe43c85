#include "VqString.h"

#include "VqAsciiRun.h"
#include "VqErrorState.h"
#include "VqLookup2.h"
#include "VqPlatform.h"
#include "VqUCS2Converter.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>
#include <functional>
#include <new>
#include <ostream>

namespace {
// The empty primitive's buffer: a single terminator that is never written.
constinit unsigned short s_emptyUnit = 0;

// Strings are counted in 32-bit code units, and their byte size must fit too.
constexpr size_t kMaxUnits = INT32_MAX / 2 - 1;

const char* const kToUcs2Failed = "UTF8 to UCS2 conversion failed.";
const char* const kFromUcs2Failed = "UCS2 to UTF8 conversion failed.";

void failAlloc() {
    VqErrorState::throwStdError("VqStringPrimitive", "_verify", "new failed to create a new string",
                                VQ_ERR_ALLOC);
}

// The length, and whether any byte is above 127.
size_t scanNarrow(const char* s, bool& ascii) {
    size_t n = std::strlen(s);
    ascii = Vq::asciiPrefix(reinterpret_cast<const unsigned char*>(s), n) == n;
    return n;
}

bool allAscii(const unsigned short* u, size_t n) {
    return Vq::asciiPrefix(u, n) == n;
}

} // namespace

// ---- VqStringPrimitive --------------------------------------------------------

constinit VqStringPrimitive VqStringPrimitive::s_empty(1, 1, 0, &s_emptyUnit);

VqStringPrimitive* VqStringPrimitive::create(int nUnits) {
    VqPlatform* platform = VqPlatform::EnsureInstance();
    void* mem = platform ? platform->alloc(sizeof(VqStringPrimitive)) : nullptr;
    if (!mem) {
        failAlloc();
        return nullptr;
    }
    auto* prim = new (mem) VqStringPrimitive(1, 0, -1, nullptr);
    if (!prim->_verify(nUnits, false)) {
        platform->dealloc(mem);
        return nullptr;
    }
    prim->setLength(0);
    return prim;
}

void VqStringPrimitive::unref() {
    if (this == &s_empty) return;
    if (_nRefCount.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    VqPlatform* platform = VqPlatform::EnsureInstance();
    platform->dealloc(_pBuffer);
    this->~VqStringPrimitive();
    platform->dealloc(this);
}

bool VqStringPrimitive::_verify(int n, bool keep) {
    if (n < 0 || static_cast<size_t>(n) > kMaxUnits) {
        failAlloc();
        return false;
    }
    if (_nCapacity >= n + 1) return true;
    VqPlatform* platform = VqPlatform::EnsureInstance();
    auto* buf =
        static_cast<unsigned short*>(platform ? platform->alloc((static_cast<size_t>(n) + 1) * 2) : nullptr);
    if (!buf) {
        failAlloc();
        return false;
    }
    if (keep && _pBuffer) {
        std::memcpy(buf, _pBuffer, static_cast<size_t>(_nCapacity) * 2);
    } else {
        buf[0] = 0;
        _nLength.store(-1, std::memory_order_relaxed);
    }
    if (_pBuffer) platform->dealloc(_pBuffer);
    _pBuffer = buf;
    _nCapacity = n + 1;
    return true;
}

int VqStringPrimitive::length() const {
    int n = _nLength.load(std::memory_order_relaxed);
    if (n < 0) {
        n = 0;
        while (_pBuffer[n])
            ++n;
        _nLength.store(n, std::memory_order_relaxed);
    }
    return n;
}

// ---- VqString: construction and assignment ------------------------------------

std::atomic<Vq::UCS2Converter*> VqString::s_pUCS2Conv{nullptr};

VqString::VqString() noexcept : _pPrim(VqStringPrimitive::empty()) {}

VqString::VqString(const unsigned short* ucs2) : _pPrim(VqStringPrimitive::empty()) {
    setString(ucs2);
}

VqString::VqString(const char* text) : _pPrim(VqStringPrimitive::empty()) {
    setString(text);
}

VqString::VqString(const VqString& other) noexcept : _pPrim(other._pPrim) {
    _pPrim->ref();
}

VqString::VqString(VqString&& other) noexcept : _pPrim(other._pPrim) {
    other._pPrim = VqStringPrimitive::empty();
}

VqString::~VqString() {
    _pPrim->unref();
}

VqString& VqString::operator=(const VqString& other) noexcept {
    other._pPrim->ref();
    _pPrim->unref();
    _pPrim = other._pPrim;
    return *this;
}

VqString& VqString::operator=(VqString&& other) noexcept {
    if (this != &other) {
        _pPrim->unref();
        _pPrim = other._pPrim;
        other._pPrim = VqStringPrimitive::empty();
    }
    return *this;
}

VqString& VqString::operator=(const char* text) {
    setString(text);
    return *this;
}

bool VqString::_createUniquePrim(int nUnits, bool keep) {
    if (!_pPrim->isEmptyPrim() && !_pPrim->isShared()) return _pPrim->_verify(nUnits, keep);
    VqStringPrimitive* prim = VqStringPrimitive::create(nUnits);
    if (!prim) return false;
    if (keep) {
        int n = std::min(numChars(), nUnits);
        std::memcpy(prim->_pBuffer, _pPrim->_pBuffer, static_cast<size_t>(n) * 2);
        prim->setLength(n);
    }
    _pPrim->unref();
    _pPrim = prim;
    return true;
}

bool VqString::setString(const char* text) {
    if (!text) return true;
    bool ascii;
    size_t len = scanNarrow(text, ascii);
    if (len > kMaxUnits) {
        failAlloc();
        VqErrorState::rethrowError();
        return false;
    }
    if (ascii) {
        if (!_createUniquePrim(static_cast<int>(len), false)) {
            VqErrorState::rethrowError();
            return false;
        }
        Vq::widenBytes(_pPrim->_pBuffer, reinterpret_cast<const unsigned char*>(text), len);
        _pPrim->setLength(static_cast<int>(len));
        return true;
    }
    Vq::UCS2Converter* conv = converter();
    if (!conv) {
        VqErrorState::rethrowError();
        return false;
    }
    size_t nChars0 = 0;
    if (!conv->MBStoUCS2(nullptr, nullptr, text, text + len, nChars0))
        VQ_FAIL("VqString", "setString", kToUcs2Failed, VQ_ERR_ARGUMENT);
    if (nChars0 > kMaxUnits) failAlloc();
    if (nChars0 > kMaxUnits || !_createUniquePrim(static_cast<int>(nChars0), false)) {
        VqErrorState::rethrowError();
        return false;
    }
    size_t nChars1 = 0;
    bool converted = conv->MBStoUCS2(_pPrim->_pBuffer, _pPrim->_pBuffer + nChars0, text, text + len, nChars1);
    // The buffer was overwritten: on failure the string is left empty.
    _pPrim->setLength(converted && nChars0 == nChars1 ? static_cast<int>(nChars1) : 0);
    if (!converted) VQ_FAIL("VqString", "setString", kToUcs2Failed, VQ_ERR_ARGUMENT);
    if (nChars0 != nChars1) VQ_FAIL("VqString", "setString", "nChars0 == nChars1", VQ_ERR_INTERNAL);
    return true;
}

bool VqString::setString(const unsigned short* ucs2) {
    if (!ucs2) return true;
    size_t n = 0;
    while (ucs2[n])
        ++n;
    if (n > kMaxUnits) VQ_FAIL("VqString", "setString", "nChars <= INT32_MAX / 2", VQ_ERR_ARGUMENT);
    return setString(ucs2, static_cast<int>(n));
}

bool VqString::setString(const unsigned short* ucs2, int nChars) {
    if (nChars < 0) VQ_FAIL("VqString", "setString", "nChars >= 0", VQ_ERR_ARGUMENT);
    if (!ucs2 && nChars > 0) VQ_FAIL("VqString", "setString", "pStr != __null", VQ_ERR_ARGUMENT);
    const unsigned short* own = _pPrim->_pBuffer;
    if (std::less_equal<const unsigned short*>()(own, ucs2) &&
        std::less<const unsigned short*>()(ucs2, own + _pPrim->_nCapacity)) {
        // The source lives in this string's own buffer, which may be replaced.
        VqString copy;
        VQ_PROPAGATE(copy.setString(ucs2, nChars));
        *this = std::move(copy);
        return true;
    }
    if (!_createUniquePrim(nChars, false)) {
        VqErrorState::rethrowError();
        return false;
    }
    if (nChars) std::memcpy(_pPrim->_pBuffer, ucs2, static_cast<size_t>(nChars) * 2);
    _pPrim->setLength(nChars);
    return true;
}

void VqString::clear() {
    _pPrim->unref();
    _pPrim = VqStringPrimitive::empty();
}

// ---- Comparison and search ----------------------------------------------------

uint32_t VqString::hash() const {
    return vqLookup2(reinterpret_cast<const uint8_t*>(getConstPtr()), static_cast<uint32_t>(numBytes()), 0);
}

bool VqString::operator==(const VqString& o) const {
    if (_pPrim == o._pPrim) return true;
    int n = numChars();
    if (n != o.numChars()) return false;
    return std::memcmp(getConstPtr(), o.getConstPtr(), static_cast<size_t>(n) * 2) == 0;
}

bool VqString::operator<(const VqString& o) const {
    const unsigned short* a = getConstPtr();
    const unsigned short* b = o.getConstPtr();
    return std::lexicographical_compare(a, a + numChars(), b, b + o.numChars());
}

int VqString::find(const VqString& needle, int start) const {
    int nl = needle.numChars();
    if (nl == 0) return 0;
    int len = numChars();
    if (start < 0 || start > len || nl > len - start) return -1;
    const unsigned short* h = getConstPtr();
    const unsigned short* n = needle.getConstPtr();
    const unsigned short* it = std::search(h + start, h + len, n, n + nl);
    return it == h + len ? -1 : static_cast<int>(it - h);
}

int VqString::findLast(const VqString& needle) const {
    int nl = needle.numChars();
    if (nl == 0) return 0;
    int len = numChars();
    if (nl > len) return -1;
    const unsigned short* h = getConstPtr();
    const unsigned short* n = needle.getConstPtr();
    for (int i = len - nl; i >= 0; --i)
        if (h[i] == n[0] && std::memcmp(h + i, n, static_cast<size_t>(nl) * 2) == 0) return i;
    return -1;
}

bool VqString::isSingleByte(short maxUnit) const {
    unsigned short limit = static_cast<unsigned short>(maxUnit);
    const unsigned short* u = getConstPtr();
    int n = numChars();
    for (int i = 0; i < n; ++i)
        if (u[i] > limit) return false;
    return true;
}

// ---- Editing ------------------------------------------------------------------

bool VqString::subString(int start, VqString& out, int count) const {
    int len = numChars();
    if (start < 0 || start > len)
        VQ_FAIL("VqString", "subString", "iStart >= 0 && iStart <= numChars()", VQ_ERR_ARGUMENT);
    if (count < 0 || count > len - start) count = len - start;
    if (start == 0 && count == len) {
        out = *this;
        return true;
    }
    VQ_PROPAGATE(out.setString(getConstPtr() + start, count));
    return true;
}

bool VqString::_append(const unsigned short* units, int n) {
    if (n == 0) return true;
    int len = numChars();
    if (static_cast<size_t>(len) + static_cast<size_t>(n) > kMaxUnits) {
        failAlloc();
        return false;
    }
    if (!_createUniquePrim(len + n, true)) return false;
    std::memcpy(_pPrim->_pBuffer + len, units, static_cast<size_t>(n) * 2);
    _pPrim->setLength(len + n);
    return true;
}

bool VqString::insert(int at, const VqString& text) {
    int len = numChars();
    if (at < 0 || at > len) VQ_FAIL("VqString", "insert", "iPos >= 0 && iPos <= numChars()", VQ_ERR_ARGUMENT);
    // Holding the text keeps its buffer alive when it is this string's own.
    VqString held(text);
    int n = held.numChars();
    if (n == 0) return true;
    if (static_cast<size_t>(len) + static_cast<size_t>(n) > kMaxUnits) {
        failAlloc();
        VqErrorState::rethrowError();
        return false;
    }
    if (!_createUniquePrim(len + n, true)) {
        VqErrorState::rethrowError();
        return false;
    }
    unsigned short* buf = _pPrim->_pBuffer;
    std::memmove(buf + at + n, buf + at, static_cast<size_t>(len - at) * 2);
    std::memcpy(buf + at, held.getConstPtr(), static_cast<size_t>(n) * 2);
    _pPrim->setLength(len + n);
    return true;
}

bool VqString::remove(int start, int count) {
    int len = numChars();
    if (start < 0 || start > len)
        VQ_FAIL("VqString", "remove", "iStart >= 0 && iStart <= numChars()", VQ_ERR_ARGUMENT);
    if (count < 0) VQ_FAIL("VqString", "remove", "iCount >= 0", VQ_ERR_ARGUMENT);
    count = std::min(count, len - start);
    if (count == 0) return true;
    if (count == len) {
        clear();
        return true;
    }
    if (!_createUniquePrim(len, true)) {
        VqErrorState::rethrowError();
        return false;
    }
    unsigned short* buf = _pPrim->_pBuffer;
    std::memmove(buf + start, buf + start + count, static_cast<size_t>(len - start - count) * 2);
    _pPrim->setLength(len - count);
    return true;
}

bool VqString::replace(const VqString& what, const VqString& with) {
    int nw = what.numChars();
    if (nw == 0) VQ_FAIL("VqString", "replace", "!strOld.isEmpty()", VQ_ERR_ARGUMENT);
    int len = numChars();
    int nr = with.numChars();
    size_t hits = 0;
    for (int i = find(what, 0); i >= 0; i = find(what, i + nw))
        ++hits;
    if (hits == 0) return true;
    size_t newLen =
        static_cast<size_t>(len) + hits * static_cast<size_t>(nr) - hits * static_cast<size_t>(nw);
    if (newLen > kMaxUnits) {
        failAlloc();
        VqErrorState::rethrowError();
        return false;
    }
    // Built in one buffer, so the cost stays linear in the number of hits.
    VqString out;
    if (!out._createUniquePrim(static_cast<int>(newLen), false)) {
        VqErrorState::rethrowError();
        return false;
    }
    const unsigned short* src = getConstPtr();
    unsigned short* dst = out._pPrim->_pBuffer;
    int from = 0;
    for (int i = find(what, 0); i >= 0; i = find(what, i + nw)) {
        std::memcpy(dst, src + from, static_cast<size_t>(i - from) * 2);
        dst += i - from;
        std::memcpy(dst, with.getConstPtr(), static_cast<size_t>(nr) * 2);
        dst += nr;
        from = i + nw;
    }
    std::memcpy(dst, src + from, static_cast<size_t>(len - from) * 2);
    out._pPrim->setLength(static_cast<int>(newLen));
    *this = std::move(out);
    return true;
}

VqString& VqString::operator+=(const VqString& o) {
    if (isEmpty()) {
        *this = o;
        return *this;
    }
    VqString held(o);
    if (!_append(held.getConstPtr(), held.numChars())) VqErrorState::rethrowError();
    return *this;
}

VqString& VqString::operator+=(const char* o) {
    VqString text;
    if (text.setString(o)) return *this += text;
    VqErrorState::rethrowError();
    return *this;
}

VqString VqString::operator+(const VqString& o) const {
    if (o.isEmpty()) return *this;
    if (isEmpty()) return o;
    VqString out;
    int a = numChars(), b = o.numChars();
    if (static_cast<size_t>(a) + static_cast<size_t>(b) > kMaxUnits) {
        failAlloc();
        return out;
    }
    if (!out._createUniquePrim(a + b, false)) return out;
    std::memcpy(out._pPrim->_pBuffer, getConstPtr(), static_cast<size_t>(a) * 2);
    std::memcpy(out._pPrim->_pBuffer + a, o.getConstPtr(), static_cast<size_t>(b) * 2);
    out._pPrim->setLength(a + b);
    return out;
}

// ---- Conversion to 8-bit text -------------------------------------------------

bool VqString::stringToMbs(char* buf, int size) const {
    if (!buf) VQ_FAIL("VqString", "stringToMbs", "pBuf != __null", VQ_ERR_ARGUMENT);
    if (size < 1) VQ_FAIL("VqString", "stringToMbs", "iSize > 0", VQ_ERR_ARGUMENT);
    const unsigned short* u = getConstPtr();
    size_t len = static_cast<size_t>(numChars());
    if (allAscii(u, len)) {
        size_t n = std::min(len, static_cast<size_t>(size) - 1);
        Vq::narrowUnits(reinterpret_cast<unsigned char*>(buf), u, n);
        buf[n] = 0;
        return true;
    }
    Vq::UCS2Converter* conv = converter();
    if (!conv) {
        VqErrorState::rethrowError();
        return false;
    }
    size_t n = 0;
    if (!conv->UCS2toMBS(buf, buf + size - 1, u, u + len, n)) {
        buf[0] = 0;
        VQ_FAIL("VqString", "stringToMbs", kFromUcs2Failed, VQ_ERR_ARGUMENT);
    }
    buf[n] = 0;
    return true;
}

namespace {
bool convertWith(Vq::UCS2Converter& conv, std::string& out, const unsigned short* u, size_t len) {
    size_t n = 0;
    if (!conv.UCS2toMBS(nullptr, nullptr, u, u + len, n)) return false;
    out.resize(n);
    size_t written = 0;
    if (!conv.UCS2toMBS(out.data(), out.data() + n, u, u + len, written) || written != n) {
        out.clear();
        return false;
    }
    return true;
}

bool asciiToNarrow(std::string& out, const unsigned short* u, size_t len) {
    if (!allAscii(u, len)) return false;
    out.resize(len);
    Vq::narrowUnits(reinterpret_cast<unsigned char*>(out.data()), u, len);
    return true;
}
} // namespace

bool Vq::convertToMBCS(std::string& out, const VqString& in) {
    out.clear();
    const unsigned short* u = in.getConstPtr();
    size_t len = static_cast<size_t>(in.numChars());
    if (asciiToNarrow(out, u, len)) return true;
    UCS2Converter* conv = VqString::converter();
    if (!conv) {
        VqErrorState::rethrowError();
        return false;
    }
    if (!convertWith(*conv, out, u, len))
        VQ_FAIL("VqString", "convertToMBCS", kFromUcs2Failed, VQ_ERR_ARGUMENT);
    return true;
}

std::string VqString::toMbs() const {
    std::string out;
    Vq::convertToMBCS(out, *this);
    return out;
}

std::string VqString::toUtf8() const {
    std::string out;
    const unsigned short* u = getConstPtr();
    size_t len = static_cast<size_t>(numChars());
    if (asciiToNarrow(out, u, len)) return out;
    Vq::UCS2ConvUTF8 utf8;
    if (!convertWith(utf8, out, u, len))
        VqErrorState::throwStdError("VqString", "toUtf8", kFromUcs2Failed, VQ_ERR_ARGUMENT);
    return out;
}

VqString VqString::fromUtf8(const char* text, size_t length) {
    VqString out;
    if (!text || !length) return out;
    if (length > kMaxUnits) {
        VqErrorState::throwStdError("VqString", "fromUtf8", kToUcs2Failed, VQ_ERR_ARGUMENT);
        return out;
    }
    Vq::UCS2ConvUTF8 utf8;
    size_t n0 = 0;
    if (!utf8.MBStoUCS2(nullptr, nullptr, text, text + length, n0)) {
        VqErrorState::throwStdError("VqString", "fromUtf8", kToUcs2Failed, VQ_ERR_ARGUMENT);
        return out;
    }
    if (!out._createUniquePrim(static_cast<int>(n0), false)) return out;
    size_t n1 = 0;
    utf8.MBStoUCS2(out._pPrim->_pBuffer, out._pPrim->_pBuffer + n0, text, text + length, n1);
    out._pPrim->setLength(static_cast<int>(n1));
    return out;
}

std::ostream& operator<<(std::ostream& os, const VqString& s) {
    std::string text;
    if (Vq::convertToMBCS(text, s))
        os << text;
    else
        os.setstate(std::ios_base::failbit);
    return os;
}

// ---- Process-wide converter ---------------------------------------------------

namespace {
// Converter objects come from the platform allocator, which may not exist yet
// when the first string is converted before start-up.
Vq::UCS2Converter* newConverter(bool utf8) {
    if (!VqPlatform::EnsureInstance()) return nullptr;
    Vq::UCS2Converter* conv;
    if (utf8)
        conv = new Vq::UCS2ConvUTF8;
    else
        conv = new Vq::UCS2ConvOruUnicode;
    if (conv) conv->ref();
    return conv;
}
} // namespace

Vq::UCS2Converter* VqString::converter() {
    Vq::UCS2Converter* conv = s_pUCS2Conv.load(std::memory_order_acquire);
    if (conv) return conv;
    Vq::UCS2Converter* created = newConverter(false);
    if (!created) {
        VqErrorState::throwStdError("VqString", "converter", "s_pUCS2Conv != __null", VQ_ERR_INTERNAL);
        return nullptr;
    }
    if (s_pUCS2Conv.compare_exchange_strong(conv, created, std::memory_order_acq_rel)) return created;
    // Another thread installed one first.
    created->unref();
    return conv;
}

bool VqString::SetUTF8(bool utf8) {
    Vq::UCS2Converter* conv = newConverter(utf8);
    if (!conv) {
        VQ_FAIL("VqString", "SetUTF8",
                utf8 ? "Allocation failed: new Vq::UCS2ConvUTF8"
                     : "Allocation failed: new Vq::UCS2ConvOruUnicode",
                VQ_ERR_ALLOC);
    }
    if (Vq::UCS2Converter* old = s_pUCS2Conv.exchange(conv, std::memory_order_acq_rel)) old->unref();
    return true;
}

bool VqString::isNetworkByteOrder() {
    return std::endian::native == std::endian::big;
}

bool VqString::init() {
    if (converter()) return true;
    VqErrorState::rethrowError();
    return false;
}

void VqString::fini() {
    if (Vq::UCS2Converter* old = s_pUCS2Conv.exchange(nullptr, std::memory_order_acq_rel)) old->unref();
}
