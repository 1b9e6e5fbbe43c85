#pragma once

// The golden records of a tetrahedron's polygon mesh, derived by hand from
// the layouts of the mesh record, the coder's symbol section and the coded
// vertex data; shared by the mesh and the shape record tests.
#include "MeshTestUtil.h"
#include "PoolCodedTestUtil.h"
#include "VqLookup2.h"

#include <initializer_list>
#include <string>

// ---- Golden records of a tetrahedron
//
// The tetrahedron (0,0,0) (1,0,0) (0,1,0) (0,0,1), one record per corner
// position, coordinates only, at 1 bit: every code is 0 or 1, so every
// packet is a short bit-length packet in fixed mode. Its walk (pinned by the
// coder's own tests): four degrees 3; the seed's valence 3 in context 1 and
// the three others' in context 0; groups and flags 0; four masks 1 in mask
// context 1 (valence 3); no splits.
//
// Version-2 packets (9.x): int32 N, u8 codec 1, int32 B, the code text in
// ceil(B / 32) words: 0 | wmin (6 bits) | wmax (6 bits) | min in wmin bits |
// max in wmax bits | each v - min in bits(max - min) bits, where the widths
// count a sign bit (1 + significant bits).
// Version-3 packets (10): the same frame; code text 0 | min | max as nibble
// numbers (4-bit groups, a continuation bit after each) | each v - min.
// An empty packet is its count 0. The first four values of an array are
// never predicted, so no residual differs from its value here.
namespace tetra {

struct Image {
    Bytes b;
    Image& u8(uint8_t v) {
        b.push_back(v);
        return *this;
    }
    Image& u16(uint16_t v) { return u8(uint8_t(v)).u8(uint8_t(v >> 8)); }
    Image& u32(uint32_t v) { return u16(uint16_t(v)).u16(uint16_t(v >> 16)); }
    Image& u64(uint64_t v) { return u32(uint32_t(v)).u32(uint32_t(v >> 32)); }
    Image& bytes(const Bytes& x) {
        b.insert(b.end(), x.begin(), x.end());
        return *this;
    }
    Image& empty(int n = 1) {
        for (int i = 0; i < n; ++i)
            u32(0);
        return *this;
    }
    // A bit-length packet of n values whose code text is given as a string
    // of 0s and 1s (anything else ignored), most significant bit first.
    Image& packet(uint32_t n, const char* text) {
        std::string bits;
        for (const char* p = text; *p; ++p)
            if (*p == '0' || *p == '1') bits.push_back(*p);
        u32(n).u8(1).u32(uint32_t(bits.size()));
        for (size_t w = 0; w < bits.size(); w += 32) {
            uint32_t word = 0;
            for (size_t i = 0; i < 32; ++i)
                word = word << 1 | (w + i < bits.size() && bits[w + i] == '1' ? 1u : 0u);
            u32(word);
        }
        return *this;
    }
};

inline uint32_t chain(std::initializer_list<uint32_t> values, uint32_t h) {
    const std::vector<uint32_t> v(values);
    return vqLookup2Words(v.data(), uint32_t(v.size()), h);
}

// The check value of the tetrahedron's streams, chained in section order;
// bV2 cuts context 7's masks into two chunks, else three.
inline uint32_t symbolCheckValue(bool bV2) {
    uint32_t h = chain({3, 3, 3}, 0); // valences, context 0
    h = chain({3}, h);                // context 1
    for (int k = 2; k < 8; ++k)
        h = chain({}, h);
    h = chain({3, 3, 3, 3}, h); // degrees
    h = chain({0, 0, 0, 0}, h); // groups
    h = chain({0, 0}, h);       // four 16-bit flags, two to a word
    h = chain({}, h);           // masks, context 0
    h = chain({1, 1, 1, 1}, h); // context 1
    for (int k = 2; k < 7; ++k)
        h = chain({}, h);
    for (int c = 0; c < (bV2 ? 2 : 3); ++c)
        h = chain({}, h); // context 7's chunks
    h = chain({}, h);     // large masks
    h = chain({}, h);     // split offsets
    return chain({}, h);  // split slots
}

// The symbol section: valences 3 3 3 (context 0) and 3 (context 1), degrees
// 3 3 3 3, groups and flags 0 0 0 0, masks 1 1 1 1 (context 1).
inline Bytes symbolSection(bool bV2) {
    Image i;
    if (bV2) {
        const char* k3 = "0 | 0011 0 | 0011 0"; // all 3: min = max = 3, no value bits
        const char* k0 = "0 | 0000 0 | 0000 0";
        i.packet(3, k3).packet(1, k3).empty(6).packet(4, k3).packet(4, k0).packet(4, k0);
        i.empty().packet(4, "0 | 0001 0 | 0001 0").empty(5).empty(2);
    } else {
        const char* k3 = "0 | 000011 | 000011 | 011 | 011"; // widths 3: 3 with its sign bit
        const char* k0 = "0 | 000001 | 000001 | 0 | 0";
        i.packet(3, k3).packet(1, k3).empty(6).packet(4, k3).packet(4, k0).packet(4, k0);
        i.empty().packet(4, "0 | 000010 | 000010 | 01 | 01").empty(5).empty(3);
    }
    i.u32(0);   // no large masks: a u32 vector of length 0
    i.empty(2); // split offsets and slots
    i.u32(symbolCheckValue(bV2));
    return i.b;
}

// The vertex data: bindings (coordinates, 3 components), bits 1 0 0 0, four
// vertices and four records, then the coordinate array: count 4, 3
// components, the point quantizer (per axis f32 minimum 0, f32 maximum 1,
// u8 bits 1) and the X, Y, Z codes in the order the walk reached the
// vertices, (0,0,0) (1,0,0) (0,0,1) (0,1,0): X 0 1 0 0, Y 0 0 0 1, Z 0 0 1 0,
// each followed by its check value, chained on from the symbols'.
inline Bytes vertexData(bool bV2, bool bTrailer) {
    Image i;
    i.u64(VQ_GEOMBIND_VTXCOORD3).u8(1).u8(0).u8(0).u8(0).u32(4).u32(4);
    const Bytes record = {0, 0,    0,    0, 0, 0, 0x80, 0x3F, 1, 0, 0,    0,    0, 0,
                          0, 0x80, 0x3F, 1, 0, 0, 0,    0,    0, 0, 0x80, 0x3F, 1};
    i.u32(4).u8(3).bytes(record);
    // The chain: the symbols' check value, the section header as eight
    // words (bindings low and high, the four bit counts, vertices,
    // records), the array's header (count, components, bits) and the
    // quantizer record's bytes.
    const uint32_t section[8] = {uint32_t(VQ_GEOMBIND_VTXCOORD3), 0, 1, 0, 0, 0, 4, 4};
    const uint32_t header[3] = {4, 3, 1};
    uint32_t h = vqLookup2Words(section, 8, symbolCheckValue(bV2));
    h = vqLookup2(record.data(), uint32_t(record.size()), vqLookup2Words(header, 3, h));
    // min 0, max 1, one bit per value.
    if (bV2) {
        i.packet(4, "0 | 0000 0 | 0001 0 | 0 1 0 0").u32(h = chain({0, 1, 0, 0}, h));
        i.packet(4, "0 | 0000 0 | 0001 0 | 0 0 0 1").u32(h = chain({0, 0, 0, 1}, h));
        i.packet(4, "0 | 0000 0 | 0001 0 | 0 0 1 0").u32(h = chain({0, 0, 1, 0}, h));
    } else {
        i.packet(4, "0 | 000001 | 000010 | 0 | 01 | 0 1 0 0").u32(h = chain({0, 1, 0, 0}, h));
        i.packet(4, "0 | 000001 | 000010 | 0 | 01 | 0 0 0 1").u32(h = chain({0, 0, 0, 1}, h));
        i.packet(4, "0 | 000001 | 000010 | 0 | 01 | 0 0 1 0").u32(h = chain({0, 0, 1, 0}, h));
    }
    if (bTrailer) i.u16(1).u64(VQ_GEOMBIND_VTXCOORD3); // local version 1, the full bindings
    return i.b;
}

inline Vq::SharedPtr<VqTopoMesh> goldenTetrahedron() {
    Vq::SharedPtr<VqTopoMesh> m = new VqPolygonTopoMesh(VQ_GEOMBIND_VTXCOORD3);
    Records r;
    r.coords = {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1};
    EXPECT_TRUE(r.addTo(*m->vtxRecPool(), 4));
    MeshLock lock(*m);
    const uint32_t tris[] = {0, 2, 1, 0, 1, 3, 1, 2, 3, 0, 3, 2};
    EXPECT_TRUE(m->addPrimitives(0, 4u, 3u, tris));
    EXPECT_TRUE(m->setCompressionParams(1, 0, 0, 0));
    return m;
}

} // namespace tetra
