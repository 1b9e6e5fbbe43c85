#pragma once

// Builds VQ files field by field, independently of the library's writer, so
// that single values can be set to what no writer would produce: deep and
// wide graphs, nested elements, shared children, self-references, segments
// that decompress to far more than they store. The layouts are those of the
// golden record tests (least significant byte first): header, table of
// contents and segments of formats 9 and 10, the legacy block of format 7.
//
// Header-only; needs zlib and liblzma (the test and fuzz programs link both).

#include <lzma.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace vqcraft {

using Bytes = std::vector<uint8_t>;

struct Guid {
    uint8_t b[16];
};

inline Guid guid(uint32_t d1, uint16_t d2, uint16_t d3, std::initializer_list<uint8_t> d4) {
    Guid g{};
    std::memcpy(g.b, &d1, 4);
    std::memcpy(g.b + 4, &d2, 2);
    std::memcpy(g.b + 6, &d3, 2);
    size_t i = 8;
    for (uint8_t v : d4)
        g.b[i++] = v;
    return g;
}
// The {10DDxxxx-2AC8-11D1-9B6B-0080C7BB5997} family of the scene-graph classes.
inline Guid family(uint16_t low) {
    return guid(0x10DD0000u | low, 0x2AC8, 0x11D1, {0x9B, 0x6B, 0x00, 0x80, 0xC7, 0xBB, 0x59, 0x97});
}
inline const Guid kNode = family(0x1035);
inline const Guid kGroup = family(0x101B);
inline const Guid kPartition = family(0x103E);
inline const Guid kInstance = family(0x102A);
inline const Guid kStringAtom = family(0x106E);
inline const Guid kTexCoordGen =
    guid(0xAA1B831D, 0x6E47, 0x4FEE, {0xA8, 0x65, 0xCD, 0x7E, 0x1F, 0x2F, 0x39, 0xDC});
inline const Guid kMappingPlane =
    guid(0xA3CFB921, 0xBDEB, 0x48D7, {0xB3, 0x96, 0x8B, 0x8D, 0x0E, 0xF4, 0x85, 0xA0});
// A type no library registers.
inline const Guid kForeign = guid(0x12345678, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8});
inline const Guid kLsgSegment =
    guid(0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x66, 0x66, 0x77, 0x77});
// The padding copy that a one-segment table of contents carries.
inline const Guid kPaddingSegment = guid(4, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0});

enum BaseType : uint8_t { kBaseNode = 0, kBaseGroup = 1, kBaseAttribute = 3, kBaseAtom = 5, kBaseObject = 9 };

// Appends little-endian values.
class Out {
public:
    Bytes b;
    Out& u8(uint8_t v) {
        b.push_back(v);
        return *this;
    }
    Out& i16(int16_t v) { return raw(&v, 2); }
    Out& i32(int32_t v) { return raw(&v, 4); }
    Out& u32(uint32_t v) { return raw(&v, 4); }
    Out& u64(uint64_t v) { return raw(&v, 8); }
    Out& id(const Guid& g) { return raw(g.b, 16); }
    Out& bytes(const Bytes& v) {
        b.insert(b.end(), v.begin(), v.end());
        return *this;
    }
    // A string: its UCS-2 code units (ASCII here), counted.
    Out& text(const std::string& s) {
        i32(static_cast<int32_t>(s.size()));
        for (char c : s)
            u8(static_cast<uint8_t>(c)).u8(0);
        return *this;
    }
    Out& raw(const void* p, size_t n) {
        const auto* c = static_cast<const uint8_t*>(p);
        b.insert(b.end(), c, c + n);
        return *this;
    }
};

// Element encoders of one format version.
class Format {
public:
    int major, minor;
    Format(int ma, int mi) : major(ma), minor(mi) {}

    // A class level's local version: 16-bit in format 9, 8-bit from 10, none before.
    Bytes lv(int v = 1) const {
        Out o;
        if (major >= 10)
            o.u8(static_cast<uint8_t>(v));
        else if (major == 9)
            o.i16(static_cast<int16_t>(v));
        return o.b;
    }
    // One element; length, when not -1, replaces the recorded length.
    Bytes element(const Guid& type, uint8_t baseType, int32_t oid, const Bytes& data,
                  int64_t length = -1) const {
        Out body;
        body.id(type).u8(baseType);
        if (major >= 9) body.i32(oid);
        body.bytes(data);
        Out o;
        o.u32(length >= 0 ? static_cast<uint32_t>(length) : static_cast<uint32_t>(body.b.size()));
        o.bytes(body.b);
        return o.b;
    }
    Bytes end() const {
        Out o;
        o.u32(16);
        for (int i = 0; i < 16; ++i)
            o.u8(0xFF);
        return o.b;
    }
    Bytes nodeLevel(int32_t oid, const std::vector<int32_t>& attrs = {}) const {
        Out o;
        if (major < 9)
            o.i32(oid);
        else
            o.bytes(lv());
        o.u32(0).i32(static_cast<int32_t>(attrs.size()));
        for (int32_t a : attrs)
            o.i32(a);
        return o.b;
    }
    Bytes groupLevel(const std::vector<int32_t>& children) const {
        Out o;
        o.bytes(lv()).i32(static_cast<int32_t>(children.size()));
        for (int32_t c : children)
            o.i32(c);
        return o.b;
    }
    Bytes node(int32_t oid, const std::vector<int32_t>& attrs = {}) const {
        return element(kNode, kBaseNode, oid, nodeLevel(oid, attrs));
    }
    Bytes group(int32_t oid, const std::vector<int32_t>& children) const {
        Out d;
        d.bytes(nodeLevel(oid)).bytes(groupLevel(children));
        return element(kGroup, kBaseGroup, oid, d.b);
    }
    Bytes instance(int32_t oid, int32_t child) const {
        Out d;
        d.bytes(nodeLevel(oid)).bytes(lv()).i32(child);
        return element(kInstance, kBaseNode, oid, d.b);
    }
    // The partition's own level follows the group's: local version, flags
    // (bit 0: the children are its contents; bit 1: formats 6 and 7 carry the
    // graph in the record), the location of the file it stands for, and with
    // bit 1 the nested graph (legacyTail: its elements, an end marker, the
    // property elements, an end marker).
    Bytes partition(int32_t oid, const std::vector<int32_t>& children, const std::string& location = "",
                    const Bytes& legacyTail = {}) const {
        const bool contents = location.empty();
        Out d;
        d.bytes(nodeLevel(oid)).bytes(groupLevel(contents ? children : std::vector<int32_t>{}));
        d.bytes(lv()).u8(static_cast<uint8_t>((contents ? 1 : 0) | (legacyTail.empty() ? 0 : 2)));
        d.text(location).bytes(legacyTail);
        return element(kPartition, kBaseGroup, oid, d.b);
    }
    // A property table with no holders.
    Bytes emptyPropertyTable() const { return propertyTable({}); }
    // A property table: per holder its object ID and (key, value) ID pairs.
    Bytes propertyTable(
        const std::vector<std::pair<int32_t, std::vector<std::pair<int32_t, int32_t>>>>& holders) const {
        Out o;
        o.i16(1).i32(static_cast<int32_t>(holders.size()));
        for (const auto& [holder, pairs] : holders) {
            o.i32(holder);
            for (const auto& [k, v] : pairs)
                o.i32(k).i32(v);
            o.i32(0);
        }
        return o.b;
    }
    // The content of a graph segment: the elements, an end marker, the
    // property elements, an end marker, the property table (empty by default).
    Bytes sceneGraph(const std::vector<Bytes>& elements, const std::vector<Bytes>& properties = {},
                     const Bytes& table = {}) const {
        Out o;
        for (const Bytes& e : elements)
            o.bytes(e);
        o.bytes(end());
        for (const Bytes& e : properties)
            o.bytes(e);
        o.bytes(end()).bytes(table.empty() ? emptyPropertyTable() : table);
        return o.b;
    }
    // An element of format 9 or 10 under another object ID.
    static Bytes withId(Bytes element, int32_t oid) {
        std::memcpy(element.data() + 21, &oid, 4);
        return element;
    }

    // Nests an element that ends with one nested element (as a texture-
    // coordinate generator ends with its mapping surface) depth times inside
    // itself. sample is such an element as a writer wrote it, innerAt the
    // offset of its nested element; the copies get object IDs from firstId
    // on, outermost first, and the innermost element the next one. Linear in
    // the result's size.
    Bytes nest(const Bytes& sample, size_t innerAt, int depth, int32_t firstId) const {
        const size_t headerSize = major >= 9 ? 25 : 21;
        const Bytes prefix(sample.begin() + static_cast<std::ptrdiff_t>(headerSize),
                           sample.begin() + static_cast<std::ptrdiff_t>(innerAt));
        Bytes inner(sample.begin() + static_cast<std::ptrdiff_t>(innerAt), sample.end());
        if (major >= 9) inner = withId(inner, firstId + depth);
        Out o;
        o.b.reserve(static_cast<size_t>(depth) * (headerSize + prefix.size()) + inner.size());
        for (int j = 0; j < depth; ++j) {
            const uint64_t below = static_cast<uint64_t>(depth - 1 - j) * (headerSize + prefix.size());
            o.u32(static_cast<uint32_t>(headerSize - 4 + prefix.size() + below + inner.size()));
            o.raw(sample.data() + 4, 17);
            if (major >= 9) o.i32(firstId + j);
            o.bytes(prefix);
        }
        o.bytes(inner);
        return o.b;
    }
};

// Where the first element with the given type GUID starts in bytes (its
// length field), or 0.
inline size_t findElement(const Bytes& bytes, const Guid& type) {
    for (size_t i = 4; i + 16 <= bytes.size(); ++i)
        if (std::memcmp(bytes.data() + i, type.b, 16) == 0) return i - 4;
    return 0;
}

// ---- compression

// Feeds the compressor from a generator of pieces (false when there are no
// more), so that content far larger than memory can be compressed.
template <class Next>
Bytes deflateStream(Next&& next, int level = 9) {
    z_stream z{};
    if (deflateInit(&z, level) != Z_OK) throw std::runtime_error("deflateInit");
    Bytes out;
    uint8_t chunk[1 << 16];
    Bytes piece;
    bool more = true;
    while (true) {
        if (z.avail_in == 0 && more) {
            piece.clear();
            more = next(piece);
            z.next_in = piece.data();
            z.avail_in = static_cast<uInt>(piece.size());
        }
        z.next_out = chunk;
        z.avail_out = sizeof chunk;
        const int rc = deflate(&z, more || z.avail_in ? Z_NO_FLUSH : Z_FINISH);
        out.insert(out.end(), chunk, chunk + (sizeof chunk - z.avail_out));
        if (rc == Z_STREAM_END) break;
        if (rc != Z_OK && rc != Z_BUF_ERROR) throw std::runtime_error("deflate");
    }
    deflateEnd(&z);
    return out;
}

template <class Next>
Bytes xzStream(Next&& next, uint32_t preset = 1) {
    lzma_stream s = LZMA_STREAM_INIT;
    if (lzma_easy_encoder(&s, preset, LZMA_CHECK_CRC64) != LZMA_OK) throw std::runtime_error("lzma init");
    Bytes out;
    uint8_t chunk[1 << 16];
    Bytes piece;
    bool more = true;
    while (true) {
        if (s.avail_in == 0 && more) {
            piece.clear();
            more = next(piece);
            s.next_in = piece.data();
            s.avail_in = piece.size();
        }
        s.next_out = chunk;
        s.avail_out = sizeof chunk;
        const lzma_ret rc = lzma_code(&s, more || s.avail_in ? LZMA_RUN : LZMA_FINISH);
        out.insert(out.end(), chunk, chunk + (sizeof chunk - s.avail_out));
        if (rc == LZMA_STREAM_END) break;
        if (rc != LZMA_OK) throw std::runtime_error("lzma_code");
    }
    lzma_end(&s);
    return out;
}

// Pieces: head, then `zeros` zero bytes, then tail.
class ZeroRun {
public:
    ZeroRun(Bytes head, uint64_t zeros, Bytes tail)
        : _head(std::move(head)), _zeros(zeros), _tail(std::move(tail)) {}
    bool operator()(Bytes& piece) {
        if (_step == 0) {
            piece = _head;
            _step = 1;
            return true;
        }
        if (_zeros > 0) {
            const uint64_t n = _zeros < (1u << 20) ? _zeros : (1u << 20);
            piece.assign(static_cast<size_t>(n), 0);
            _zeros -= n;
            return true;
        }
        piece = _tail;
        return false;
    }

private:
    Bytes _head;
    uint64_t _zeros;
    Bytes _tail;
    int _step = 0;
};

enum class Packing { Zlib = 2, Xz = 3 };

// The framing of a compressed segment: flag, compressed length + 1, algorithm
// byte, compressed data.
inline Bytes frame(Packing packing, const Bytes& packed) {
    Out o;
    o.u32(static_cast<uint32_t>(packing)).i32(static_cast<int32_t>(packed.size() + 1));
    o.u8(static_cast<uint8_t>(packing)).bytes(packed);
    return o.b;
}
template <class Next>
Bytes packStream(Packing packing, Next&& next) {
    return frame(packing, packing == Packing::Zlib ? deflateStream(next) : xzStream(next));
}
inline Bytes pack(Packing packing, const Bytes& content) {
    return packStream(packing, ZeroRun(content, 0, {}));
}

// ---- files of formats 8 to 10

struct Segment {
    Guid id;
    int32_t type;
    Bytes payload; // the framed data after the 24-byte segment header
};

// Header, table of contents and segments; the first segment is the scene
// graph (its GUID is the header's LSG GUID).
inline Bytes file(const Format& f, const std::vector<Segment>& segments,
                  const std::string& versionText = "") {
    const bool wide = f.major >= 10;
    const size_t headerSize = wide ? 109 : 105;
    const size_t entrySize = wide ? 32 : 28;
    std::vector<Segment> toc = segments;
    if (toc.size() == 1) toc.push_back({kPaddingSegment, toc[0].type, {}});
    std::string text = versionText.empty() ? "Version " + std::to_string(f.major) + "." +
                                                 std::to_string(f.minor) + " VQ  ZQ 0.1.0.0"
                                           : versionText;
    text.resize(75, ' ');
    Out o;
    o.raw(text.data(), 75).raw(" \n\r\n ", 5).u8(0).i32(0);
    if (wide)
        o.u64(headerSize);
    else
        o.i32(static_cast<int32_t>(headerSize));
    o.id(segments.at(0).id);
    uint64_t offset = headerSize + 4 + entrySize * toc.size();
    std::vector<uint64_t> offsets;
    for (const Segment& s : segments) {
        offsets.push_back(offset);
        offset += 24 + s.payload.size();
    }
    o.i32(static_cast<int32_t>(toc.size()));
    for (size_t i = 0; i < toc.size(); ++i) {
        const size_t at = i < segments.size() ? i : 0;
        o.id(toc[i].id);
        if (wide)
            o.u64(offsets[at]);
        else
            o.i32(static_cast<int32_t>(offsets[at]));
        o.u32(static_cast<uint32_t>(24 + segments[at].payload.size()));
        o.u32(static_cast<uint32_t>(segments[at].type) << 24);
    }
    for (const Segment& s : segments)
        o.id(s.id).i32(s.type).i32(static_cast<int32_t>(24 + s.payload.size())).bytes(s.payload);
    return o.b;
}

// A file whose only segment is the scene graph holding these elements.
inline Bytes sceneFile(const Format& f, const std::vector<Bytes>& elements, Packing packing = Packing::Zlib) {
    return file(f, {{kLsgSegment, 1, pack(packing, f.sceneGraph(elements))}});
}

// ---- files of format 7

// The header, then the legacy block: each outermost element compressed by
// itself (flag, length + 1, algorithm byte, zlib data), then the property
// table as it is; then the legacy table of contents that names the block.
// blocks holds the outermost elements' packed forms (see legacyBlock).
inline Bytes legacyFile(const Format& f, const std::vector<Bytes>& blocks) {
    std::string text =
        "Version " + std::to_string(f.major) + "." + std::to_string(f.minor) + " VQ  ZQ 0.1.0.0";
    text.resize(75, ' ');
    const size_t headerSize = 89;
    Out body;
    for (const Bytes& b : blocks)
        body.bytes(b);
    body.bytes(f.emptyPropertyTable());
    Out o;
    o.raw(text.data(), 75).raw(" \n\r\n ", 5).u8(0).i32(0);
    o.i32(static_cast<int32_t>(headerSize + body.b.size()));
    o.bytes(body.b);
    o.i32(1).text("LogicalSceneGraph").i32(static_cast<int32_t>(headerSize));
    return o.b;
}
// One outermost element of a format-7 block, compressed from the pieces next gives.
template <class Next>
Bytes legacyBlockFrom(Next&& next) {
    const Bytes packed = deflateStream(next);
    Out o;
    o.u32(2).i32(static_cast<int32_t>(packed.size() + 1)).u8(2).bytes(packed);
    return o.b;
}
inline Bytes legacyBlock(const Bytes& element) {
    return legacyBlockFrom(ZeroRun(element, 0, {}));
}

} // namespace vqcraft
