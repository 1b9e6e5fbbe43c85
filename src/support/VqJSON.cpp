#include "VqJSON.h"

#include "VqAsciiRun.h"
#include "VqErrorState.h"
#include "VqPlatform.h"
#include "VqStdException.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <locale.h>
#ifdef __linux__
#include <sys/mman.h>
#include <unistd.h>
#endif
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace Vq {
namespace JSON {

namespace {

typedef unsigned short Unit;
typedef unsigned char Byte;

// Up to this many members a scan finds a name sooner than a hash would.
constexpr size_t s_cScannedMembers = 8;

// The part of the remaining text an error shows: enough to find the place,
// without copying a whole large document into the message.
constexpr size_t s_cErrorContextUnits = 256;

template <class T, class... Args>
T* makeNode(const char* failure, Args&&... args) {
    T* p = new T(std::forward<Args>(args)...);
    if (!p) throw StdException(__PRETTY_FUNCTION__, failure, VQ_ERR_ALLOC);
    return p;
}

// Descriptions and positions (in code units of the text) of syntax errors,
// turned into the recorded error at the parser's boundary.
struct SyntaxError {
    const char* description;
    size_t pos;
};

// Overflow of a number needs the C library's answer to tell it from an
// underflow; that call gets a fixed C locale, never the process's.
locale_t cLocale() {
    static locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return loc;
}

// Length of the UTF-8 sequence at s, with its code point, or 0 when the bytes
// there are not UTF-8: overlong forms, surrogates and values above U+10FFFF
// are refused.
size_t utf8Sequence(const Byte* s, const Byte* end, unsigned& cp) {
    const unsigned c = *s;
    if (c < 0x80) {
        cp = c;
        return 1;
    }
    size_t extra;
    unsigned min;
    if ((c & 0xE0) == 0xC0) {
        extra = 1, cp = c & 0x1F, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        extra = 2, cp = c & 0x0F, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        extra = 3, cp = c & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (static_cast<size_t>(end - s) <= extra) return 0;
    for (size_t k = 1; k <= extra; ++k) {
        const unsigned cc = s[k];
        if ((cc & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (cc & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return extra + 1;
}

// The first byte that does not belong to a UTF-8 sequence, or end.
const Byte* firstBadUtf8(const Byte* s, const Byte* end) {
    while (s < end) {
        s += asciiPrefix(s, static_cast<size_t>(end - s));
        if (s == end) break;
        unsigned cp;
        const size_t n = utf8Sequence(s, end, cp);
        if (!n) return s;
        s += n;
    }
    return end;
}

// Where a plain run of string text ends: at a quote, a backslash, the end of
// the text, or (in UTF-8) a byte above 127, which needs decoding.
inline const Byte* plainRunEnd(const Byte* p, const Byte* end) {
#ifdef __SSE2__
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    for (; end - p >= 16; p += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i stop =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)), v);
        if (const int mask = _mm_movemask_epi8(stop)) return p + __builtin_ctz(static_cast<unsigned>(mask));
    }
#endif
    while (p < end && *p != '"' && *p != '\\' && *p < 0x80)
        ++p;
    return p;
}

inline const Unit* plainRunEnd(const Unit* p, const Unit* end) {
#ifdef __SSE2__
    const __m128i quote = _mm_set1_epi16('"');
    const __m128i backslash = _mm_set1_epi16('\\');
    for (; end - p >= 8; p += 8) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i stop = _mm_or_si128(_mm_cmpeq_epi16(v, quote), _mm_cmpeq_epi16(v, backslash));
        if (const int mask = _mm_movemask_epi8(stop))
            return p + __builtin_ctz(static_cast<unsigned>(mask)) / 2;
    }
#endif
    while (p < end && *p != '"' && *p != '\\')
        ++p;
    return p;
}

// Reads the usual numbers without the general conversion, straight from the
// text: a decimal of at most 19 significant digits whose value is an exact
// double, scaled by an exact power of ten, is rounded once by the
// multiplication or division and so gives the same double. Returns where the
// number ends, or null for every other form and for anything the general
// conversion would refuse.
template <class C>
const C* shortDecimal(const C* p, const C* end, double& out) {
    static constexpr double s_aPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                          1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                          1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const bool negative = p != end && *p == '-';
    if (negative) ++p;
    uint64_t mantissa = 0;
    int significant = 0, scale = 0;
    bool digits = false;
    auto isDigit = [](unsigned c) { return c >= '0' && c <= '9'; };
    for (; p != end && isDigit(*p); ++p, digits = true) {
        if (mantissa == 0 && *p == '0') continue;
        if (++significant > 19) return nullptr;
        mantissa = mantissa * 10 + static_cast<unsigned>(*p - '0');
    }
    if (p != end && *p == '.') {
        for (++p; p != end && isDigit(*p); ++p, digits = true) {
            --scale;
            if (mantissa == 0 && *p == '0') continue;
            if (++significant > 19) return nullptr;
            mantissa = mantissa * 10 + static_cast<unsigned>(*p - '0');
        }
    }
    if (!digits) return nullptr;
    if (p != end && (*p == 'e' || *p == 'E')) {
        ++p;
        const bool down = p != end && *p == '-';
        if (p != end && (*p == '-' || *p == '+')) ++p;
        if (p == end || !isDigit(*p)) return nullptr;
        int exponent = 0;
        for (; p != end && isDigit(*p); ++p)
            if (exponent < 100000) exponent = exponent * 10 + static_cast<int>(*p - '0');
        scale += down ? -exponent : exponent;
    }
    double value = 0.0;
    if (mantissa != 0) {
        if (mantissa > (uint64_t(1) << 53) || scale < -22 || scale > 22) return nullptr;
        value = static_cast<double>(mantissa);
        value = scale < 0 ? value / s_aPow10[-scale] : value * s_aPow10[scale];
    }
    out = negative ? -value : value;
    return p;
}

// Maps the whole pages of a new block in one call. Nodes fill a block page by
// page, and on large documents the fault taken at each fresh page cost a
// quarter of the parse. Pages already mapped stay as they are; where the call
// is unknown or refused, the pages fault in one by one as before.
void prefault(void* mem, size_t bytes) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
    const long size = sysconf(_SC_PAGESIZE);
    if (size <= 0) return;
    const uintptr_t page = static_cast<uintptr_t>(size);
    const uintptr_t first = (reinterpret_cast<uintptr_t>(mem) + page - 1) & ~(page - 1);
    const uintptr_t last = (reinterpret_cast<uintptr_t>(mem) + bytes) & ~(page - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
#else
    (void)mem;
    (void)bytes;
#endif
}

// A hash of a short run of bytes taken a word at a time; its top bits are the
// best mixed. A chain of one multiplication per byte, or the general string
// hash, cost as much as the rest of reading a member name.
inline uint64_t wordHash(const void* data, size_t bytes) {
    const unsigned char* b = static_cast<const unsigned char*>(data);
    uint64_t h = bytes * 0x9E3779B97F4A7C15u;
    auto mix = [&h](uint64_t w) { h = (h ^ w) * 0xFF51AFD7ED558CCDu; };
    if (bytes >= 8) {
        uint64_t w;
        for (; bytes > 8; b += 8, bytes -= 8) {
            std::memcpy(&w, b, 8);
            mix(w);
        }
        // The last word overlaps the one before when the length is not a
        // multiple of eight.
        std::memcpy(&w, b + bytes - 8, 8);
        mix(w);
    } else if (bytes >= 4) {
        uint32_t first, last;
        std::memcpy(&first, b, 4);
        std::memcpy(&last, b + bytes - 4, 4);
        mix(uint64_t(first) << 32 | last);
    } else if (bytes) {
        mix(uint64_t(b[0]) | uint64_t(b[bytes / 2]) << 8 | uint64_t(b[bytes - 1]) << 16);
    }
    return h ^ (h >> 29);
}

// Whether two short runs of bytes are the same, in a word or two compared
// whole; a call to the general comparison cost as much as hashing the span.
inline bool sameBytes(const void* a, const void* b, size_t n) {
    const char* x = static_cast<const char*>(a);
    const char* y = static_cast<const char*>(b);
    if (n >= 8 && n <= 16) {
        uint64_t x0, y0, x1, y1;
        std::memcpy(&x0, x, 8), std::memcpy(&y0, y, 8);
        std::memcpy(&x1, x + n - 8, 8), std::memcpy(&y1, y + n - 8, 8);
        return ((x0 ^ y0) | (x1 ^ y1)) == 0;
    }
    if (n >= 4 && n < 8) {
        uint32_t x0, y0, x1, y1;
        std::memcpy(&x0, x, 4), std::memcpy(&y0, y, 4);
        std::memcpy(&x1, x + n - 4, 4), std::memcpy(&y1, y + n - 4, 4);
        return ((x0 ^ y0) | (x1 ^ y1)) == 0;
    }
    if (n < 4) {
        for (size_t i = 0; i < n; ++i)
            if (x[i] != y[i]) return false;
        return true;
    }
    return std::memcmp(x, y, n) == 0;
}

} // namespace

// Memory for the nodes of one parse, carved from blocks instead of one heap
// allocation per node: that allocation, not the reading, was most of the
// cost of a parse. A block goes back to the platform allocator once the
// parser has moved on from it and every node in it is released; a single node
// kept alive keeps its whole block.
class NodeBlocks {
public:
    NodeBlocks() = default;
    NodeBlocks(const NodeBlocks&) = delete;
    NodeBlocks& operator=(const NodeBlocks&) = delete;
    ~NodeBlocks() { _retire(); }

    // A new node, already counted for the value that holds it. Throws
    // Vq::StdException when memory runs out.
    template <class T, class... Args>
    JSONValue make(T*& node, Args&&... args) {
        static_assert(alignof(T) <= s_cAlign);
        constexpr size_t size = (sizeof(T) + s_cAlign - 1) & ~(s_cAlign - 1);
        if (!_pBlock || _nUsed + size > s_cBlockBytes) _open();
        node = new (_pBlock + _nUsed) T(std::forward<Args>(args)...);
        node->_nBlockOffset = static_cast<uint32_t>(_nUsed);
        _nUsed += size;
        ++_nPlaced;
        node->_countFirstRef();
        return JSONValue(SharedPtr<JSONBase>::adopt(node));
    }
    template <class T, class... Args>
    JSONValue make(Args&&... args) {
        T* node;
        return make(node, std::forward<Args>(args)...);
    }

    // Room for the storage of a member list, index or value list, behind a record of
    // where it lies; null when it is better taken from the heap.
    void* placeStorage(size_t bytes) {
        if (bytes > s_cMaxStorageBytes) return nullptr;
        const size_t size = (sizeof(StorageHeader) + bytes + s_cAlign - 1) & ~(s_cAlign - 1);
        if (!_pBlock || _nUsed + size > s_cBlockBytes) _open();
        auto* h = new (_pBlock + _nUsed) StorageHeader{static_cast<uint32_t>(_nUsed)};
        _nUsed += size;
        ++_nPlaced;
        return h + 1;
    }

    // A released node's or storage's share of its block.
    static void release(void* at, uint32_t offset) noexcept {
        Header* h = reinterpret_cast<Header*>(static_cast<char*>(at) - offset);
        if (h->live.fetch_sub(1, std::memory_order_acq_rel) == 1) _free(h);
    }

    // In front of every piece of storage: its offset in its block, 0 for
    // storage of its own.
    struct StorageHeader {
        uint32_t offset;
        uint32_t unused = 0;
    };

private:
    struct Header {
        // Nodes still alive, plus s_cOpen while the parser still places nodes
        // in the block: nodes are placed without touching the count.
        std::atomic<uint32_t> live;
    };
    static constexpr size_t s_cAlign = 8;
    // Large enough to make the block allocations rare, small enough that a
    // few nodes kept from a large document hold little memory.
    static constexpr size_t s_cBlockBytes = 65536;
    static constexpr size_t s_cFirstNode = (sizeof(Header) + s_cAlign - 1) & ~(s_cAlign - 1);
    static constexpr uint32_t s_cOpen = 1u << 31;
    // Larger storage (long arrays, large objects) is not worth a block.
    static constexpr size_t s_cMaxStorageBytes = s_cBlockBytes / 8;

    void _open() {
        _retire();
        void* mem = s_spare.take();
        if (!mem) {
            VqPlatform* platform = VqPlatform::EnsureInstance();
            mem = platform ? platform->alloc(s_cBlockBytes) : nullptr;
            if (!mem)
                throw StdException(__PRETTY_FUNCTION__, "Allocation failed: JSON node block", VQ_ERR_ALLOC);
            prefault(mem, s_cBlockBytes);
        }
        new (mem) Header{s_cOpen};
        _pBlock = static_cast<char*>(mem);
        _nUsed = s_cFirstNode;
        _nPlaced = 0;
    }

    void _retire() noexcept {
        if (!_pBlock) return;
        Header* h = reinterpret_cast<Header*>(_pBlock);
        const uint32_t unused = s_cOpen - _nPlaced;
        if (h->live.fetch_sub(unused, std::memory_order_acq_rel) == unused) _free(h);
        _pBlock = nullptr;
    }

    static void _free(Header* h) noexcept {
        h->~Header();
        if (s_spare.put(h)) return;
        if (VqPlatform* platform = VqPlatform::EnsureInstance()) platform->dealloc(h);
    }

    // Blocks of released trees, kept for the next parse. Memory handed back
    // to the allocator went back to the system when a whole tree was freed,
    // and taking fresh pages again (the system clears each one) cost a fifth
    // of the next parse. What is kept is bounded: an idle process holds at
    // most the blocks of a tree from a few megabytes of text.
    class Spare {
    public:
        void* take() noexcept {
            std::lock_guard<std::mutex> lock(_mutex);
            Link* l = _pFirst;
            if (l) {
                _pFirst = l->next;
                --_nCount;
            }
            return l;
        }
        bool put(void* block) noexcept {
            std::lock_guard<std::mutex> lock(_mutex);
            if (_nCount >= s_cMaxSpareBlocks) return false;
            _pFirst = new (block) Link{_pFirst};
            ++_nCount;
            return true;
        }

    private:
        struct Link {
            Link* next;
        };
        std::mutex _mutex;
        Link* _pFirst = nullptr;
        size_t _nCount = 0;
    };
    // 32 MB. Half of that, tried first, left a tree from 10 MB of text
    // taking most of its pages fresh.
    static constexpr size_t s_cMaxSpareBlocks = 512;
    static Spare s_spare;

    char* _pBlock = nullptr;
    size_t _nUsed = 0;
    uint32_t _nPlaced = 0;
};

NodeBlocks::Spare NodeBlocks::s_spare;

namespace {
// The blocks of the parse running on this thread, for the storage the
// containers of its nodes ask for.
thread_local NodeBlocks* s_pParseBlocks = nullptr;

// Routes this thread's storage requests to a parse's blocks while it lives.
class ParseStorageScope {
public:
    explicit ParseStorageScope(NodeBlocks& blocks) : _pPrevious(s_pParseBlocks) { s_pParseBlocks = &blocks; }
    ~ParseStorageScope() { s_pParseBlocks = _pPrevious; }
    ParseStorageScope(const ParseStorageScope&) = delete;
    ParseStorageScope& operator=(const ParseStorageScope&) = delete;

private:
    NodeBlocks* _pPrevious;
};
} // namespace

void* allocateStorage(size_t bytes) {
    if (NodeBlocks* blocks = s_pParseBlocks)
        if (void* p = blocks->placeStorage(bytes)) return p;
    // Like strings, containers work before the library starts.
    VqPlatform* platform = VqPlatform::EnsureInstance();
    constexpr size_t header = sizeof(NodeBlocks::StorageHeader);
    void* mem = platform && bytes <= SIZE_MAX - header ? platform->alloc(header + bytes) : nullptr;
    if (!mem) throw std::bad_alloc();
    auto* h = new (mem) NodeBlocks::StorageHeader{0};
    return h + 1;
}

void releaseStorage(void* p) noexcept {
    if (!p) return;
    auto* h = static_cast<NodeBlocks::StorageHeader*>(p) - 1;
    if (h->offset)
        NodeBlocks::release(h, h->offset);
    else if (VqPlatform* platform = VqPlatform::EnsureInstance())
        platform->dealloc(h);
}

void JSONBase::operator delete(JSONBase* p, std::destroying_delete_t) noexcept {
    const uint32_t offset = p->_nBlockOffset;
    p->~JSONBase();
    if (offset)
        NodeBlocks::release(p, offset);
    else
        VqAllocHooked::operator delete(p);
}

namespace {

// A member read but not yet placed in its object, with a digest of its name
// that equal names share: their length and first and last units.
struct Member {
    VqString name;
    JSONValue value;
    uint64_t key;
};
// Marks in a member's key that a later member of the same name took its value.
constexpr uint64_t s_cReplaced = uint64_t(1) << 63;
} // namespace

// Places the members of an object just read. A small object tells its
// duplicate names apart by their digests, without a search of the object per
// member; a larger one is searched through its index.
class ObjectBuilder {
public:
    static void fill(JSONObject& out, Member* members, size_t count) {
        if (count > s_cScannedMembers) {
            out.reserve(static_cast<int>(count));
            for (size_t i = 0; i < count; ++i)
                out.addMember(std::move(members[i].name), std::move(members[i].value));
            return;
        }
        size_t kept = count;
        for (size_t i = 1; i < count; ++i)
            for (size_t j = 0; j < i; ++j)
                if (members[j].key == members[i].key && members[j].name == members[i].name) {
                    // The first place, the last value.
                    members[j].value = std::move(members[i].value);
                    members[i].key |= s_cReplaced;
                    --kept;
                    break;
                }
        out._members.reserve(kept);
        for (size_t i = 0; i < count; ++i)
            if (!(members[i].key & s_cReplaced))
                out._members.emplace_back(std::move(members[i].name), std::move(members[i].value));
    }
};

namespace {

// What one parse keeps between values, so that reading a value allocates
// nothing beyond the tree's own nodes and strings.
struct Scratch {
    NodeBlocks nodes;
    // Elements of the arrays being read, innermost last: an array is given
    // its exact size once its terminator is seen.
    std::vector<JSONValue> values;
    // Members of the objects being read, likewise: the member list is sized
    // once instead of moving as it grows.
    std::vector<Member> members;
    // Code units of a string that needs decoding.
    std::vector<Unit> units;
    // A number copied out of UCS-2 text for the conversion.
    std::string digits;

    // Short strings that recur (member names above all) share one string
    // buffer: a string is copy-on-write, so sharing is invisible to users
    // of the tree. Slots are found by a hash of the text span and replaced
    // on collision; 256 slots hold the vocabulary of typical documents.
    struct InternSlot {
        const void* text = nullptr; // the span in the parsed text
        size_t length = 0;          // in code units
        VqString value;
    };
    static constexpr size_t s_cInternSlots = 256;
    static constexpr size_t s_cInternMaxUnits = 32;
    std::unique_ptr<InternSlot[]> intern{new InternSlot[s_cInternSlots]};
};

// The intern slot of a short span: the top byte of its hash.
template <class C>
size_t internSlot(const C* p, size_t n) {
    static_assert(Scratch::s_cInternSlots == 256, "the slot is the top byte of the hash");
    return static_cast<size_t>(wordHash(p, n * sizeof(C)) >> 56);
}

// Reads UTF-8 bytes (C = Byte) or UCS-2 code units (C = Unit). Positions in
// errors are offsets in those units.
template <class C>
class Reader {
public:
    Reader(const C* text, size_t length, Scratch& scratch)
        : _begin(text), _p(text), _end(text + length), _s(scratch) {}

    void skipWhitespace() {
        while (_p < _end && (*_p == ' ' || *_p == '\t' || *_p == '\n' || *_p == '\r'))
            ++_p;
    }
    bool atEnd() const { return _p >= _end; }
    unsigned peek() const { return _p < _end ? *_p : 0; }

    [[noreturn]] void fail(const char* description) const { failAt(description, _p); }
    [[noreturn]] void failAt(const char* description, const C* where) const {
        throw SyntaxError{description, static_cast<size_t>(where - _begin)};
    }

    void readObject(JSONObject& out, int depth) {
        if (depth > s_cMaxNestingDepth) fail("Nesting too deep");
        ++_p; // the opening brace
        skipWhitespace();
        if (peek() == '}') {
            ++_p;
            return;
        }
        std::vector<Member>& stack = _s.members;
        const size_t base = stack.size();
        for (;;) {
            skipWhitespace();
            if (peek() != '"') fail("Expected a member");
            size_t units;
            VqString name = readString(units);
            // The length's top bit stays clear of the mark of a replaced
            // member; equal names still share their digests.
            uint64_t key = uint64_t(units & 0x7FFFFFFFu) << 32;
            if (units) key |= uint64_t(name.getConstPtr()[0]) << 16 | name.getConstPtr()[units - 1];
            skipWhitespace();
            if (peek() != ':') fail("Expected a colon");
            ++_p;
            stack.push_back(Member{std::move(name), readValue(depth), key});
            skipWhitespace();
            if (peek() == ',') {
                ++_p;
                continue;
            }
            if (peek() == '}') {
                ++_p;
                break;
            }
            fail("Expected a comma or object terminator");
        }
        ObjectBuilder::fill(out, stack.data() + base, stack.size() - base);
        stack.resize(base);
    }

    void readArray(JSONArray& out, int depth) {
        if (depth > s_cMaxNestingDepth) fail("Nesting too deep");
        ++_p; // the opening bracket
        skipWhitespace();
        if (peek() == ']') {
            ++_p;
            return;
        }
        std::vector<JSONValue>& stack = _s.values;
        const size_t base = stack.size();
        for (;;) {
            stack.push_back(readValue(depth));
            skipWhitespace();
            if (peek() == ',') {
                ++_p;
                continue;
            }
            if (peek() == ']') {
                ++_p;
                break;
            }
            fail("Expected comma or array terminator");
        }
        out.reserve(static_cast<int>(stack.size() - base));
        for (size_t i = base; i < stack.size(); ++i)
            out.append(std::move(stack[i]));
        stack.resize(base);
    }

private:
    JSONValue readValue(int depth) {
        skipWhitespace();
        switch (peek()) {
        case '{': {
            JSONObject* o;
            JSONValue v = _s.nodes.make(o);
            readObject(*o, depth + 1);
            return v;
        }
        case '[': {
            JSONArray* a;
            JSONValue v = _s.nodes.make(a);
            readArray(*a, depth + 1);
            return v;
        }
        case '"': {
            size_t units;
            return _s.nodes.make<JSONString>(readString(units));
        }
        case 't':
            if (matchLiteral("true", 4)) return _s.nodes.make<JSONBoolean>(true);
            break;
        case 'f':
            if (matchLiteral("false", 5)) return _s.nodes.make<JSONBoolean>(false);
            break;
        case 'n':
            if (matchLiteral("null", 4)) return JSONValue();
            break;
        default:
            if (isNumberChar(peek())) return JSONValue(_s.nodes.make<JSONNumber>(readNumber()));
            break;
        }
        fail("Expected a value");
    }

    bool matchLiteral(const char* literal, size_t n) {
        if (static_cast<size_t>(_end - _p) < n) return false;
        for (size_t i = 0; i < n; ++i)
            if (_p[i] != static_cast<C>(literal[i])) return false;
        _p += n;
        return true;
    }

    static bool isNumberChar(unsigned c) {
        return (c >= '0' && c <= '9') || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-';
    }

    static int hexDigit(unsigned c) {
        if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
        if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
        if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
        return -1;
    }

    // The longest run of number characters, which must convert as a whole.
    double readNumber() {
        double value = 0.0;
        // The usual number in one pass, when no number character follows it.
        if (const C* stop = shortDecimal(_p, _end, value); stop && (stop == _end || !isNumberChar(*stop))) {
            _p = stop;
            return value;
        }
        const C* end = _p;
        while (end < _end && isNumberChar(*end))
            ++end;
        const char* first;
        const char* last;
        if constexpr (sizeof(C) == 1) {
            first = reinterpret_cast<const char*>(_p);
            last = reinterpret_cast<const char*>(end);
        } else {
            _s.digits.assign(static_cast<size_t>(end - _p), '\0');
            for (const C* q = _p; q != end; ++q)
                _s.digits[static_cast<size_t>(q - _p)] = static_cast<char>(*q);
            first = _s.digits.data();
            last = first + _s.digits.size();
        }
        // A leading plus is part of the accepted form; the conversion below
        // takes only a minus.
        if (first != last && *first == '+' && first + 1 != last && first[1] != '-' && first[1] != '+')
            ++first;
        auto [ptr, ec] = std::from_chars(first, last, value, std::chars_format::general);
        if (ec == std::errc::result_out_of_range && ptr == last) {
            locale_t loc = cLocale();
            if (!loc) fail("Number out of range");
            // The run is not terminated in the text itself.
            const std::string run(first, last);
            value = strtod_l(run.c_str(), nullptr, loc);
            if (std::isinf(value)) fail("Number out of range");
        } else if (ec != std::errc() || ptr != last) {
            fail("Invalid number");
        }
        _p = end;
        return value;
    }

    // The string and its length in code units.
    VqString readString(size_t& units) {
        const C* const start = _p;
        const C* const first = _p + 1; // after the opening quote
        const C* stop = plainRunEnd(first, _end);
        if (stop < _end && *stop == '"') {
            // The common case: nothing to decode.
            _p = stop + 1;
            const size_t n = static_cast<size_t>(stop - first);
            units = n;
            return n <= Scratch::s_cInternMaxUnits ? interned(first, n) : plainString(first, n);
        }
        std::vector<Unit>& decoded = _s.units;
        decoded.clear();
        _p = first;
        for (;;) {
            appendPlain(_p, stop);
            _p = stop;
            if (_p >= _end) failAt("Unterminated string", start);
            if (*_p == '"') {
                ++_p;
                break;
            }
            if constexpr (sizeof(C) == 1) {
                if (*_p >= 0x80) {
                    unsigned cp;
                    const size_t len = utf8Sequence(_p, _end, cp);
                    if (!len) fail("Invalid UTF-8");
                    if (cp >= 0x10000) {
                        cp -= 0x10000;
                        decoded.push_back(static_cast<Unit>(0xD800 + (cp >> 10)));
                        decoded.push_back(static_cast<Unit>(0xDC00 + (cp & 0x3FF)));
                    } else {
                        decoded.push_back(static_cast<Unit>(cp));
                    }
                    _p += len;
                    stop = plainRunEnd(_p, _end);
                    continue;
                }
            }
            // A backslash; with nothing after it the string never ends.
            if (_p + 1 >= _end) failAt("Unterminated string", start);
            const C* const escape = _p;
            const unsigned c = _p[1];
            _p += 2;
            switch (c) {
            case '"':
            case '\\':
            case '/':
                decoded.push_back(static_cast<Unit>(c));
                break;
            case 'b':
                decoded.push_back(u'\b');
                break;
            case 'f':
                decoded.push_back(u'\f');
                break;
            case 'n':
                decoded.push_back(u'\n');
                break;
            case 'r':
                decoded.push_back(u'\r');
                break;
            case 't':
                decoded.push_back(u'\t');
                break;
            case 'u': {
                unsigned unit = 0;
                for (int i = 0; i < 4; ++i) {
                    const int d = _p + i < _end ? hexDigit(_p[i]) : -1;
                    if (d < 0) failAt("Expected unicode sequence", escape);
                    unit = unit * 16 + static_cast<unsigned>(d);
                }
                _p += 4;
                decoded.push_back(static_cast<Unit>(unit));
                break;
            }
            default:
                // Kept as it stands, backslash included; the character itself
                // is read as text by the next round.
                decoded.push_back(u'\\');
                _p = escape + 1;
                break;
            }
            stop = plainRunEnd(_p, _end);
        }
        units = decoded.size();
        return makeString(decoded.data(), decoded.size());
    }

    // Appends text that needs no decoding.
    void appendPlain(const C* from, const C* to) {
        std::vector<Unit>& units = _s.units;
        const size_t old = units.size();
        units.resize(old + static_cast<size_t>(to - from));
        if constexpr (sizeof(C) == 1)
            widenBytes(units.data() + old, from, static_cast<size_t>(to - from));
        else
            std::copy(from, to, units.data() + old);
    }

    VqString plainString(const C* text, size_t n) {
        if constexpr (sizeof(C) == 1) {
            _s.units.resize(n);
            widenBytes(_s.units.data(), text, n);
            return makeString(_s.units.data(), n);
        } else {
            return makeString(text, n);
        }
    }

    // A short plain span: the string made from the same span before, if any.
    VqString interned(const C* text, size_t n) {
        Scratch::InternSlot& slot = _s.intern[internSlot(text, n)];
        if (slot.text && slot.length == n && sameBytes(slot.text, text, n * sizeof(C))) return slot.value;
        slot.value = plainString(text, n);
        slot.text = text;
        slot.length = n;
        return slot.value;
    }

    static VqString makeString(const Unit* units, size_t n) {
        VqString s;
        if (n == 0) return s;
        if (n > static_cast<size_t>(INT32_MAX) || !s.setString(units, static_cast<int>(n)))
            throw StdException(__PRETTY_FUNCTION__, "Allocation failed: string", VQ_ERR_ALLOC);
        return s;
    }

    const C* const _begin;
    const C* _p;
    const C* const _end;
    Scratch& _s;
};

void recordSyntaxError(const char* description, const std::string& rest) {
    std::string message = std::string("JSON syntax error:  ") + description + ":  " + rest;
    VqErrorState::throwStdError("Vq::JSON::JSONParser", "parse", message.c_str(), VQ_ERR_CORRUPT);
}

// The bytes from the first one that is not UTF-8, those outside printable
// ASCII in hexadecimal.
std::string badUtf8Context(const Byte* bad, const Byte* end) {
    static const char hex[] = "0123456789ABCDEF";
    std::string rest;
    for (const Byte* b = bad; b < end && rest.size() < s_cErrorContextUnits; ++b) {
        if (*b >= 0x20 && *b < 0x7F) {
            rest.push_back(static_cast<char>(*b));
        } else {
            rest += "\\x";
            rest.push_back(hex[*b >> 4]);
            rest.push_back(hex[*b & 15]);
        }
    }
    return rest;
}

// At most s_cErrorContextUnits code units of valid UTF-8 text from `from`,
// cut only between characters.
std::string utf8Context(const Byte* from, const Byte* end) {
    const Byte* p = from;
    for (size_t units = 0; p < end;) {
        unsigned cp;
        const size_t n = utf8Sequence(p, end, cp);
        const size_t u = cp >= 0x10000 ? 2 : 1;
        if (!n || units + u > s_cErrorContextUnits) break;
        units += u;
        p += n;
    }
    return std::string(reinterpret_cast<const char*>(from), static_cast<size_t>(p - from));
}

std::string ucs2Context(const Unit* from, const Unit* end) {
    const size_t count = std::min(static_cast<size_t>(end - from), s_cErrorContextUnits);
    VqString rest;
    if (count) rest.setString(from, static_cast<int>(count));
    return rest.toUtf8();
}

} // namespace

// ---- values

static void throwKind(const char* condition) {
    throw StdException(__PRETTY_FUNCTION__, condition, VQ_ERR_ARGUMENT);
}

JSONValue::JSONValue(double number) : _p(makeNode<JSONNumber>("Allocation failed: new JSONNumber", number)) {}
JSONValue::JSONValue(bool boolean)
    : _p(makeNode<JSONBoolean>("Allocation failed: new JSONBoolean", boolean)) {}
JSONValue::JSONValue(const VqString& string)
    : _p(makeNode<JSONString>("Allocation failed: new JSONString", string)) {}

JSONObject& JSONValue::object() const {
    if (!(_p && _p->getType() == VQ_JSON_OBJECT)) throwKind("_p && _p->getType()==VQ_JSON_OBJECT");
    return static_cast<JSONObject&>(*_p);
}
JSONArray& JSONValue::array() const {
    if (!(_p && _p->getType() == VQ_JSON_ARRAY)) throwKind("_p && _p->getType()==VQ_JSON_ARRAY");
    return static_cast<JSONArray&>(*_p);
}
VqString& JSONValue::string() const {
    if (!(_p && _p->getType() == VQ_JSON_STRING)) throwKind("_p && _p->getType()==VQ_JSON_STRING");
    return static_cast<JSONString&>(*_p).value();
}
double& JSONValue::number() const {
    if (!(_p && _p->getType() == VQ_JSON_NUMBER)) throwKind("_p && _p->getType()==VQ_JSON_NUMBER");
    return static_cast<JSONNumber&>(*_p).value();
}
bool& JSONValue::boolean() const {
    if (!(_p && _p->getType() == VQ_JSON_BOOLEAN)) throwKind("_p && _p->getType()==VQ_JSON_BOOLEAN");
    return static_cast<JSONBoolean&>(*_p).value();
}

bool JSONValue::operator==(const JSONValue& o) const {
    if (!_p || !o._p) return !_p && !o._p;
    return _p == o._p || _p->equals(*o._p);
}

size_t JSONStringHash::operator()(const VqString& s) const noexcept {
    return static_cast<size_t>(wordHash(s.getConstPtr(), static_cast<size_t>(s.numChars()) * 2));
}

namespace {

// Names read by the parser share one buffer when they recur, so the same
// buffer is the usual way two names are equal.
inline bool sameName(const VqString& a, const VqString& b) {
    const unsigned short* pa = a.getConstPtr();
    const unsigned short* pb = b.getConstPtr();
    if (pa == pb) return true;
    const int n = a.numChars();
    return n == b.numChars() &&
           (n == 0 || (pa[0] == pb[0] && std::memcmp(pa, pb, static_cast<size_t>(n) * 2) == 0));
}
} // namespace

ptrdiff_t JSONObject::_find(const VqString& name) const {
    if (_index.empty()) {
        for (size_t i = 0; i < _members.size(); ++i)
            if (sameName(_members[i].first, name)) return static_cast<ptrdiff_t>(i);
        return -1;
    }
    const size_t mask = _index.size() - 1;
    for (size_t slot = JSONStringHash()(name) & mask;; slot = (slot + 1) & mask) {
        const uint32_t at = _index[slot];
        if (!at) return -1;
        if (sameName(_members[at - 1].first, name)) return static_cast<ptrdiff_t>(at - 1);
    }
}

void JSONObject::_indexMembers(size_t slots) {
    // Cleared first: should the allocation fail, an empty index still finds
    // every member by a scan.
    _index.clear();
    _index.resize(slots, 0);
    const size_t mask = slots - 1;
    for (size_t i = 0; i < _members.size(); ++i) {
        size_t slot = JSONStringHash()(_members[i].first) & mask;
        while (_index[slot])
            slot = (slot + 1) & mask;
        _index[slot] = static_cast<uint32_t>(i + 1);
    }
}

void JSONObject::_append(VqString&& name, JSONValue&& value) {
    // Positions are kept plus one in 32 bits.
    if (_members.size() >= UINT32_MAX - 1)
        throw StdException(__PRETTY_FUNCTION__, "Too many members", VQ_ERR_ALLOC);
    _members.emplace_back(std::move(name), std::move(value));
    const size_t n = _members.size();
    if (n <= s_cScannedMembers && _index.empty()) return;
    // At most half the slots taken, so that probes stay short.
    if (_index.size() < 2 * n) {
        size_t slots = 4 * s_cScannedMembers;
        while (slots < 2 * n)
            slots *= 2;
        // The member is in place by now: without room for a larger index
        // the object goes on with none, found by a scan, rather than report
        // a failure for a member it holds. The next append tries again.
        try {
            _indexMembers(slots);
        } catch (const std::bad_alloc&) {
            _index.clear();
        }
        return;
    }
    const size_t mask = _index.size() - 1;
    size_t slot = JSONStringHash()(_members.back().first) & mask;
    while (_index[slot])
        slot = (slot + 1) & mask;
    _index[slot] = static_cast<uint32_t>(n);
}

void JSONObject::addMember(VqString&& name, JSONValue&& value) {
    const ptrdiff_t at = _find(name);
    if (at >= 0)
        _members[static_cast<size_t>(at)].second = std::move(value);
    else
        _append(std::move(name), std::move(value));
}

JSONValue& JSONObject::operator[](const VqString& name) {
    const ptrdiff_t at = _find(name);
    if (at >= 0) return _members[static_cast<size_t>(at)].second;
    _append(VqString(name), JSONValue());
    return _members.back().second;
}

bool JSONObject::removeMember(const VqString& name) {
    const ptrdiff_t at = _find(name);
    if (at < 0) return false;
    _members.erase(_members.begin() + at);
    // The positions after it moved; the slots already there are enough.
    if (!_index.empty()) _indexMembers(_index.size());
    return true;
}

JSONValue JSONObject::value(const VqString& name) const {
    const ptrdiff_t at = _find(name);
    return at >= 0 ? _members[static_cast<size_t>(at)].second : JSONValue();
}

static JSONValue cloneValue(const JSONValue& v) {
    return v.isNull() ? JSONValue() : JSONValue(v.get()->clone());
}

JSONBase* JSONObject::clone() const {
    JSONObject* copy = makeNode<JSONObject>("Allocation failed: new JSONObject");
    try {
        copy->_members.reserve(_members.size());
        for (const auto& [name, value] : _members)
            copy->_append(VqString(name), cloneValue(value));
    } catch (...) {
        delete copy;
        throw;
    }
    return copy;
}

bool JSONObject::equals(const JSONBase& other) const {
    if (other.getType() != VQ_JSON_OBJECT) return false;
    const JSONObject& o = static_cast<const JSONObject&>(other);
    if (o._members.size() != _members.size()) return false;
    for (const auto& [name, value] : _members) {
        const ptrdiff_t at = o._find(name);
        if (at < 0 || !(o._members[static_cast<size_t>(at)].second == value)) return false;
    }
    return true;
}

JSONBase* JSONArray::clone() const {
    JSONArray* copy = makeNode<JSONArray>("Allocation failed: new JSONArray");
    try {
        copy->_values.reserve(_values.size());
        for (const JSONValue& v : _values)
            copy->_values.push_back(cloneValue(v));
    } catch (...) {
        delete copy;
        throw;
    }
    return copy;
}

bool JSONArray::equals(const JSONBase& other) const {
    if (other.getType() != VQ_JSON_ARRAY) return false;
    const JSONArray& o = static_cast<const JSONArray&>(other);
    if (o._values.size() != _values.size()) return false;
    for (size_t i = 0; i < _values.size(); ++i)
        if (!(_values[i] == o._values[i])) return false;
    return true;
}

JSONBase* JSONString::clone() const {
    return makeNode<JSONString>("Allocation failed: new JSONString", _value);
}
bool JSONString::equals(const JSONBase& other) const {
    return other.getType() == VQ_JSON_STRING && static_cast<const JSONString&>(other)._value == _value;
}

JSONBase* JSONNumber::clone() const {
    return makeNode<JSONNumber>("Allocation failed: new JSONNumber", _value);
}
bool JSONNumber::equals(const JSONBase& other) const {
    return other.getType() == VQ_JSON_NUMBER && static_cast<const JSONNumber&>(other)._value == _value;
}

JSONBase* JSONBoolean::clone() const {
    return makeNode<JSONBoolean>("Allocation failed: new JSONBoolean", _value);
}
bool JSONBoolean::equals(const JSONBase& other) const {
    return other.getType() == VQ_JSON_BOOLEAN && static_cast<const JSONBoolean&>(other)._value == _value;
}

// ---- parser

JSONParser::JSONParser(const VqString& text) : _strText(text) {}

JSONParser::JSONParser(const char* utf8, size_t length)
    : _pUtf8(utf8), _nUtf8(utf8 ? length : 0), _bUtf8(true) {}

namespace {

template <class T, class C>
void readTop(const C* text, size_t length, T& out, unsigned open, const char* expected) {
    Scratch scratch;
    ParseStorageScope storage(scratch.nodes);
    Reader<C> reader(text, length, scratch);
    T value;
    reader.skipWhitespace();
    if (reader.peek() != open) reader.fail(expected);
    if constexpr (std::is_same_v<T, JSONObject>)
        reader.readObject(value, 1);
    else
        reader.readArray(value, 1);
    reader.skipWhitespace();
    if (!reader.atEnd()) reader.fail("Expected the end of the text");
    out.swap(value);
}

} // namespace

template <class T>
bool JSONParser::_parseTop(T& out, unsigned short open, const char* expected) {
    try {
        if (_bUtf8) {
            const Byte* bytes = reinterpret_cast<const Byte*>(_pUtf8);
            try {
                readTop(bytes, _nUtf8, out, open, expected);
            } catch (const SyntaxError& e) {
                // The text is checked as UTF-8 only as far as it was read; a
                // bad byte anywhere is the error to report, wherever the
                // syntax broke down.
                const Byte* end = bytes + _nUtf8;
                const Byte* bad = firstBadUtf8(bytes, end);
                if (bad != end)
                    recordSyntaxError("Invalid UTF-8", badUtf8Context(bad, end));
                else
                    recordSyntaxError(e.description, utf8Context(bytes + e.pos, end));
                return false;
            }
        } else {
            const Unit* text = _strText.getConstPtr();
            const size_t length = static_cast<size_t>(_strText.numChars());
            try {
                readTop(text, length, out, open, expected);
            } catch (const SyntaxError& e) {
                recordSyntaxError(e.description, ucs2Context(text + e.pos, text + length));
                return false;
            }
        }
        return true;
    } catch (...) {
        return VqErrorState::recordCurrentException("Vq::JSON::JSONParser", "parse");
    }
}

bool JSONParser::parse(JSONObject& out) {
    return _parseTop(out, '{', "Expected an object");
}

bool JSONParser::parse(JSONArray& out) {
    return _parseTop(out, '[', "Expected an array");
}

// ---- writer

namespace {

class Writer {
public:
    void writeValue(const JSONValue& v, int depth) {
        switch (v.getType()) {
        case VQ_JSON_NULL:
            ascii("null");
            break;
        case VQ_JSON_OBJECT:
            writeObject(static_cast<const JSONObject&>(*v.get()), depth + 1);
            break;
        case VQ_JSON_ARRAY:
            writeArray(static_cast<const JSONArray&>(*v.get()), depth + 1);
            break;
        case VQ_JSON_STRING:
            writeString(static_cast<const JSONString&>(*v.get()).value());
            break;
        case VQ_JSON_NUMBER:
            writeNumber(static_cast<const JSONNumber&>(*v.get()).value());
            break;
        case VQ_JSON_BOOLEAN:
            ascii(static_cast<const JSONBoolean&>(*v.get()).value() ? "true" : "false");
            break;
        }
    }

    void writeObject(const JSONObject& o, int depth) {
        checkDepth(depth);
        ascii("{\n");
        bool first = true;
        for (const auto& [name, value] : o) {
            if (!first) ascii(",\n");
            first = false;
            writeString(name);
            ascii(" : ");
            writeValue(value, depth);
        }
        ascii("\n}");
    }

    void writeArray(const JSONArray& a, int depth) {
        checkDepth(depth);
        _out.push_back(u'[');
        bool first = true;
        for (const JSONValue& v : a) {
            if (!first) ascii(", ");
            first = false;
            writeValue(v, depth);
        }
        _out.push_back(u']');
    }

    const std::u16string& text() const { return _out; }

private:
    static void checkDepth(int depth) {
        if (depth > s_cMaxNestingDepth)
            throw StdException(__PRETTY_FUNCTION__, "Nesting too deep", VQ_ERR_ARGUMENT);
    }

    void ascii(const char* s) {
        while (*s)
            _out.push_back(static_cast<char16_t>(*s++));
    }

    void writeNumber(double d) {
        // The "%.10lg" form, but independent of the process locale.
        char buf[64];
        auto r = std::to_chars(buf, buf + sizeof(buf), d, std::chars_format::general, 10);
        for (const char* p = buf; p != r.ptr; ++p)
            _out.push_back(static_cast<char16_t>(*p));
    }

    void writeString(const VqString& s) {
        _out.push_back(u'"');
        const Unit* p = s.getConstPtr();
        const int n = s.numChars();
        for (int i = 0; i < n; ++i) {
            switch (p[i]) {
            case '"':
                ascii("\\\"");
                break;
            case '\\':
                ascii("\\\\");
                break;
            case '/':
                ascii("\\/");
                break;
            case '\b':
                ascii("\\b");
                break;
            case '\f':
                ascii("\\f");
                break;
            case '\n':
                ascii("\\n");
                break;
            case '\r':
                ascii("\\r");
                break;
            case '\t':
                ascii("\\t");
                break;
            default:
                _out.push_back(static_cast<char16_t>(p[i]));
                break;
            }
        }
        _out.push_back(u'"');
    }

    std::u16string _out;
};

bool storeText(VqString& out, const std::u16string& text) {
    VqString s;
    if (!text.empty() &&
        !s.setString(reinterpret_cast<const unsigned short*>(text.data()), static_cast<int>(text.size()))) {
        VqErrorState::rethrowError();
        return false;
    }
    out = s;
    return true;
}

} // namespace

bool JSONWriter::serialize(VqString& out, const JSONObject& object) {
    try {
        Writer w;
        w.writeObject(object, 1);
        return storeText(out, w.text());
    } catch (...) {
        return VqErrorState::recordCurrentException("Vq::JSON::JSONWriter", "serialize");
    }
}

bool JSONWriter::serialize(VqString& out, const JSONArray& array) {
    try {
        Writer w;
        w.writeArray(array, 1);
        return storeText(out, w.text());
    } catch (...) {
        return VqErrorState::recordCurrentException("Vq::JSON::JSONWriter", "serialize");
    }
}

} // namespace JSON
} // namespace Vq
