// The line-strip and point mesh records at VQ 9.0, 9.4 and 10: the bytes of
// small records worked out by hand, round trips through segment streams of
// every kind, the index maps and rings, and refusal of damaged records.
#include "MeshTestUtil.h"
#include "PoolCodedTestUtil.h"
#include "VqIndexedMeshCoder.h"
#include "VqLineStripTopoMesh.h"
#include "VqLookup2.h"
#include "VqPointTopoMesh.h"

#include <gtest/gtest.h>
#include <random>

namespace {

struct Format {
    int major, minor;
};
constexpr Format kFormats[] = {{9, 0}, {9, 4}, {10, 0}};

std::string nameOf(Format f, Kind k) {
    return std::to_string(f.major) + "." + std::to_string(f.minor) + " " + kindName(k);
}

Bytes writeMesh(const VqTopoMesh& m, Kind kind, Format f) {
    return writeWith(kind, f.major, f.minor,
                     [&](VqObjectStream& os) { return m.serializeVersion(os, f.major, f.minor); });
}

bool readMesh(VqTopoMesh& m, const Bytes& image, Kind kind, Format f) {
    return readWith(kind, f.major, f.minor, image,
                    [&](VqObjectStream& os) { return m.deserializeVersion(os, f.major, f.minor); });
}

Vq::SharedPtr<VqTopoMesh> newOfKind(VqTopoMesh::PrimKind k) {
    if (k == VqTopoMesh::VQ_PRIM_POINT) return new VqPointTopoMesh();
    return new VqLineStripTopoMesh();
}

// Every attribute of the record at each index position, in index order.
std::vector<std::vector<float>> rowsOf(const VqTopoMesh& m) {
    const Vq::VertexRecordFields& f = *m.vtxRecPool()->fields();
    std::vector<std::vector<float>> rows;
    for (uint32_t j = 0; j < m.numIndices(); ++j) {
        const size_t i = m.indices()[j];
        std::vector<float> r;
        auto put = [&](const float* a, int n) {
            r.insert(r.end(), a + i * size_t(n), a + (i + 1) * size_t(n));
        };
        put(f.vtxCoords(), f.numVtxCoordComps());
        if (f.numNormalComps()) put(f.normals(), 3);
        if (f.numColorComps()) put(f.colors(), f.numColorComps());
        for (int k = 0; k < 8; ++k)
            if (f.numTexCoordComps(k)) put(f.texCoords(k), f.numTexCoordComps(k));
        if (f.hasVtxFlags()) r.push_back(f.vtxFlags().get(int(i)) ? 1.0f : 0.0f);
        rows.push_back(r);
    }
    return rows;
}

std::vector<uint32_t> primStartsOf(const VqTopoMesh& m) {
    return {m.primStarts(), m.primStarts() + m.numPrims() + 1};
}
std::vector<uint32_t> faceGroupsOf(const VqTopoMesh& m) {
    return {m.faceGroupStarts(), m.faceGroupStarts() + m.numFaceGroups() + 1};
}

// The same primitives and groups, and every attribute at every index
// position within tol (0: bit for bit, as floats compare).
void expectSameMesh(const VqTopoMesh& want, const VqTopoMesh& got, float tol) {
    EXPECT_EQ(primStartsOf(got), primStartsOf(want));
    EXPECT_EQ(faceGroupsOf(got), faceGroupsOf(want));
    const auto a = rowsOf(want), b = rowsOf(got);
    ASSERT_EQ(a.size(), b.size());
    for (size_t j = 0; j < a.size(); ++j) {
        ASSERT_EQ(a[j].size(), b[j].size());
        for (size_t k = 0; k < a[j].size(); ++k)
            ASSERT_LE(std::abs(a[j][k] - b[j][k]), tol) << "index " << j << " value " << k;
    }
}

// Points with normals and colours over a pool that also holds records no
// primitive uses; two face groups, a point used twice.
Vq::SharedPtr<VqTopoMesh> pointCloud() {
    Vq::SharedPtr<VqTopoMesh> m =
        new VqPointTopoMesh(VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_NORMVEC3 | VQ_GEOMBIND_VTXCOLOR3);
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(-4.0f, 9.0f), unit(0.0f, 1.0f);
    Records r;
    const uint32_t n = 60;
    for (uint32_t i = 0; i < n; ++i) {
        VqVec3f p(u(rng), u(rng), u(rng));
        r.coords.insert(r.coords.end(), {p[0], p[1], p[2]});
        const float len = p.length();
        r.normals.insert(r.normals.end(), {p[0] / len, p[1] / len, p[2] / len});
        r.colors.insert(r.colors.end(), {unit(rng), unit(rng), unit(rng)});
    }
    EXPECT_TRUE(r.addTo(*m->vtxRecPool(), n));
    std::vector<uint32_t> idx;
    for (uint32_t i = 0; i < n; i += 3)
        idx.push_back((i * 7) % n); // every third record, shuffled
    idx.push_back(idx[4]);
    const uint32_t sizes0[] = {6, 1, 8}, sizes1[] = {6};
    MeshLock lock(*m);
    EXPECT_TRUE(m->addPrimitives(0, 3u, sizes0, idx.data()));
    EXPECT_TRUE(m->addPrimitives(1, 1u, sizes1, idx.data() + 15));
    return m;
}

// Line strips in two face groups with a colour, a texture unit and flags;
// where two strips meet, each has a record of its own at the shared
// position (a seam: same place, other colour).
Vq::SharedPtr<VqTopoMesh> lineSet() {
    Vq::SharedPtr<VqTopoMesh> m = new VqLineStripTopoMesh(VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_VTXCOLOR4 |
                                                          vqTexCoordBinding(0, 2) | VQ_GEOMBIND_VTXFLAG_MASK);
    Records r;
    const uint32_t sizes[] = {2, 5, 3, 4, 6};
    uint32_t n = 0;
    for (uint32_t s = 0; s < 5; ++s)
        for (uint32_t k = 0; k < sizes[s]; ++k, ++n) {
            // A strip starts where the previous one ended.
            const float t = float(n - s);
            r.coords.insert(r.coords.end(), {t, 0.5f * t * t, float(s % 2) - 0.25f * t});
            r.colors.insert(r.colors.end(), {float(s) / 5, float(k) / 6, 0.5f, 1.0f});
            r.tex[0].insert(r.tex[0].end(), {t / 20, float(s)});
            r.flags.push_back(static_cast<unsigned char>(k & 1));
        }
    EXPECT_TRUE(r.addTo(*m->vtxRecPool(), n));
    std::vector<uint32_t> idx(n);
    for (uint32_t i = 0; i < n; ++i)
        idx[i] = n - 1 - i; // records in reverse, so the index map renumbers
    MeshLock lock(*m);
    EXPECT_TRUE(m->addPrimitives(0, 3u, sizes, idx.data()));
    EXPECT_TRUE(m->addPrimitives(1, 2u, sizes + 3, idx.data() + 10));
    return m;
}

// The record alone, without the framing of a segment stream, for the
// records worked out by hand and for damage at every bit.
Bytes writeBare(const VqTopoMesh& m, Format f) {
    VqTestObjectStream os = VqTestObjectStream::forWriting(f.major, f.minor);
    EXPECT_TRUE(m.serializeVersion(*os, f.major, f.minor)) << lastError();
    return os.bytes();
}
bool readBare(VqTopoMesh& m, const Bytes& image, Format f) {
    VqTestObjectStream os = VqTestObjectStream::forReading(image, f.major, f.minor);
    return m.deserializeVersion(*os, f.major, f.minor);
}

class LinePointRecordTest : public VqLibTest {};

} // namespace

// ---- Records worked out by hand
//
// A pool of three records, (0, 0, 0), (5, 5, 5) and (2, 0, 0), of which the
// mesh uses records 2 and 0: as one line strip [2, 0], or as two point
// primitives [2] [0]. The referenced records are [0, 2], so the index map
// is [1, 0]. Coordinates at 0 bits: raw patterns, x = [0, 0x40000000],
// y = z = [0, 0]. The pool is not collocated: every record is a ring of its
// own, run lengths [1, 1], representatives [0, 2].
//
// Every packet is a bit-length packet in fixed mode (int32 count, u8 codec 1,
// int32 bit count B, the code-text words): for so few values both drivers
// choose it, and fixed mode is cheaper than any variable-mode code.
// Version 3 code text: 0 | min | max | values in w = significant bits of
// max - min, min and max as nibble numbers (4-bit groups, least significant
// first, each followed by 1 when another follows):
//   [0, 2]     0 | 0000 0 | 0010 0 | 00 10              B = 15: 0x00840000
//   [0, 1]     0 | 0000 0 | 0001 0 | 0 1                B = 13: 0x00480000
//   [1, 0]     0 | 0000 0 | 0001 0 | 1 0                B = 13: 0x00500000
//   [1, 1]     0 | 0001 0 | 0001 0                      B = 11: 0x08400000
//   [0, 1, 2]  0 | 0000 0 | 0010 0 | 00 01 10           B = 17: 0x00830000
//   [0, 0]     0 | 0000 0 | 0000 0                      B = 11: 0x00000000
//   x          0 | 0000 0 | 0000 1 x 7, 0100 0 | 31 bits of 0 | 1 and 30 zeros
//              B = 108: 0x00210842 0x10A00000 0x00040000 0x00000000
// Version 2 code text: 0 | wmin (6) | wmax (6) | min in wmin bits | max in
// wmax bits | values in w bits, wmin and wmax 1 + the bits of |min|, |max|:
//   [0, 2]     0 | 000001 | 000011 | 0 | 010 | 00 10      B = 21: 0x02191000
//   [0, 1]     0 | 000001 | 000010 | 0 | 01 | 0 1         B = 18: 0x02114000
//   [1, 0]     0 | 000001 | 000010 | 0 | 01 | 1 0         B = 18: 0x02118000
//   [0, 1, 2]  0 | 000001 | 000011 | 0 | 010 | 00 01 10   B = 23: 0x02190C00
//   [0, 0]     0 | 000001 | 000001 | 0 | 0                B = 15: 0x02080000
//   x          0 | 000001 | 100000 | 0 | 0x40000000 in 32 | 0 in 31 | 1 and 30 zeros
//              B = 108: 0x03010000 0x00000000 0x00040000 0x00000000
// Check values are lookup2 chains (the hash itself is tested on its own):
// the section's over the primitive starts, face groups and index map; the
// lists' on from it over six header words (bindings low and high, four bit
// counts) and the lists; then each coordinate array's, on from that, over
// its header (count, components, bits), the quantizer record's bytes and
// its values.
namespace {

struct Packet {
    uint32_t n, nBits;
    std::vector<uint32_t> words;
    std::vector<uint32_t> values; // before residual packing, for the check values
};

void appendU32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b.push_back(uint8_t(v >> (8 * i)));
}
void append(Bytes& b, const Packet& p) {
    appendU32(b, p.n);
    b.push_back(1);
    appendU32(b, p.nBits);
    for (uint32_t w : p.words)
        appendU32(b, w);
}
uint32_t chain(const Packet& p, uint32_t h) {
    return vqLookup2Words(p.values.data(), uint32_t(p.values.size()), h);
}

Bytes handRecord(VqTopoMesh::PrimKind kind, Format f) {
    const bool v3 = f.major >= 10;
    const bool bPoints = kind == VqTopoMesh::VQ_PRIM_POINT;
    const Packet p02 = v3 ? Packet{2, 15, {0x00840000}, {0, 2}} : Packet{2, 21, {0x02191000}, {0, 2}};
    const Packet p01 = v3 ? Packet{2, 13, {0x00480000}, {0, 1}} : Packet{2, 18, {0x02114000}, {0, 1}};
    const Packet p10 = v3 ? Packet{2, 13, {0x00500000}, {1, 0}} : Packet{2, 18, {0x02118000}, {1, 0}};
    const Packet p012 = v3 ? Packet{3, 17, {0x00830000}, {0, 1, 2}} : Packet{3, 23, {0x02190C00}, {0, 1, 2}};
    const Packet p11{2, 11, {0x08400000}, {1, 1}};
    const Packet p00 = v3 ? Packet{2, 11, {0x00000000}, {0, 0}} : Packet{2, 15, {0x02080000}, {0, 0}};
    const Packet px = v3 ? Packet{2, 108, {0x00210842, 0x10A00000, 0x00040000, 0}, {0, 0x40000000}}
                         : Packet{2, 108, {0x03010000, 0, 0x00040000, 0}, {0, 0x40000000}};

    Bytes b;
    // The head: local version, then the pool's number (0: used by this mesh
    // alone), or in 9.0 a null reference to it; then the kind's local version.
    if (v3)
        b.insert(b.end(), {0x01, 0, 0, 0, 0, 0x01});
    else if (f.minor >= 4)
        b.insert(b.end(), {0x02, 0x00, 0, 0, 0, 0, 0x01, 0x00});
    else
        b.insert(b.end(), {0x01, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x00});
    // nPrims, nFaceGrps, nIndices.
    appendU32(b, bPoints ? 2 : 1);
    appendU32(b, 1);
    appendU32(b, 2);
    // Primitive starts, face groups, index map; the section's check value.
    const Packet& starts = bPoints ? p012 : p02;
    const Packet& groups = bPoints ? p02 : p01;
    append(b, starts);
    append(b, groups);
    append(b, p10);
    uint32_t h = chain(p10, chain(groups, chain(starts, 0)));
    appendU32(b, h);
    // Bindings (coordinates, 3 components) and the four bit counts.
    b.insert(b.end(), {0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    const uint32_t header[6] = {2, 0, 0, 0, 0, 0};
    h = vqLookup2Words(header, 6, h);
    // The referenced records, and in VQ 10 run lengths and representatives.
    append(b, p02);
    h = chain(p02, h);
    if (v3) {
        append(b, p11);
        append(b, p02);
        h = chain(p02, chain(p11, h));
    }
    appendU32(b, h);
    // Coordinates of the two representatives: count 2, 3 components, the
    // quantizer (per axis f32 minimum, f32 maximum, u8 bits), x, y, z.
    appendU32(b, 2);
    b.push_back(3);
    const Bytes quantizer = {0, 0, 0, 0, 0, 0, 0, 0x40, 0,  // x: [0, 2], 0 bits
                             0, 0, 0, 0, 0, 0, 0, 0,    0,  // y: [0, 0]
                             0, 0, 0, 0, 0, 0, 0, 0,    0}; // z: [0, 0]
    b.insert(b.end(), quantizer.begin(), quantizer.end());
    const uint32_t coordHeader[3] = {2, 3, 0};
    h = vqLookup2(quantizer.data(), uint32_t(quantizer.size()), vqLookup2Words(coordHeader, 3, h));
    for (const Packet* p : {&px, &p00, &p00}) {
        append(b, *p);
        appendU32(b, h = chain(*p, h));
    }
    return b;
}

Vq::SharedPtr<VqTopoMesh> handMesh(VqTopoMesh::PrimKind kind) {
    Vq::SharedPtr<VqTopoMesh> m = newOfKind(kind);
    MeshLock lock(*m);
    EXPECT_TRUE(m->setBindings(VQ_GEOMBIND_VTXCOORD3));
    Records r;
    r.coords = {0, 0, 0, 5, 5, 5, 2, 0, 0};
    EXPECT_TRUE(r.addTo(*m->vtxRecPool(), 3));
    const uint32_t idx[] = {2, 0};
    if (kind == VqTopoMesh::VQ_PRIM_POINT)
        EXPECT_TRUE(m->addPrimitives(0, 2u, 1u, idx));
    else
        EXPECT_TRUE(m->addPrimitives(0, 1u, 2u, idx));
    return m;
}

} // namespace

TEST_F(LinePointRecordTest, SmallRecordsMatchTheirLayout) {
    for (auto kind : {VqTopoMesh::VQ_PRIM_LINESTRIP, VqTopoMesh::VQ_PRIM_POINT})
        for (Format f : kFormats) {
            SCOPED_TRACE(std::string(kind == VqTopoMesh::VQ_PRIM_POINT ? "points " : "lines ") +
                         nameOf(f, Kind::Plain));
            Vq::SharedPtr<VqTopoMesh> src = handMesh(kind);
            const Bytes want = handRecord(kind, f);
            EXPECT_EQ(writeBare(*src, f), want);
            Vq::SharedPtr<VqTopoMesh> back = newOfKind(kind);
            ASSERT_TRUE(readBare(*back, want, f)) << lastError();
            // The new pool holds the two records used, in list order.
            EXPECT_EQ(std::vector<uint32_t>(back->indices(), back->indices() + 2),
                      (std::vector<uint32_t>{1, 0}));
            ASSERT_EQ(back->vtxRecPool()->numVtxRecords(), 2u);
            expectSameMesh(*src, *back, 0);
        }
}

// ---- Index maps

TEST_F(LinePointRecordTest, IndexMapsListTheReferencedRecordsAndGroupRings) {
    // Records 0..5; 1 and 4 share a position with 3 (other colours), 2 and 5
    // are the same record twice over (collocation merges them).
    Vq::SharedPtr<VqTopoMesh> m = new VqPointTopoMesh(VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_VTXCOLOR3);
    Records r;
    r.coords = {9, 9, 9, 1, 1, 1, 7, 0, 0, 1, 1, 1, 1, 1, 1, 3, 3, 3};
    r.colors = {0, 0, 0, 0.1f, 0, 0, 0, 0, 0, 0.2f, 0, 0, 0.3f, 0, 0, 0, 0, 1};
    ASSERT_TRUE(r.addTo(*m->vtxRecPool(), 6));
    {
        MeshLock lock(*m);
        const uint32_t idx[] = {4, 2, 1, 2, 5, 3};
        ASSERT_TRUE(m->addPrimitives(0, 1u, 6u, idx));
    }
    VqVecu refs, runLens, reps, mapped;
    // Without collocation: ascending, record 0 left out, no rings.
    ASSERT_TRUE(Vq::IndexedMeshCoder::_createIndexMap(*m, refs, mapped));
    EXPECT_EQ(std::vector<uint32_t>(refs.begin(), refs.end()), (std::vector<uint32_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(std::vector<uint32_t>(mapped.begin(), mapped.end()), (std::vector<uint32_t>{3, 1, 0, 1, 4, 2}));
    ASSERT_TRUE(Vq::IndexedMeshCoder::_createIndexMapV10(*m, refs, runLens, reps, mapped));
    EXPECT_EQ(std::vector<uint32_t>(runLens.begin(), runLens.end()), (std::vector<uint32_t>(5, 1)));
    EXPECT_EQ(reps.size(), 5u);

    // Collocated: the pool renumbers by first use, and the ring of the three
    // records at (1, 1, 1) comes together behind its lowest record.
    {
        MeshLock lock(*m);
        ASSERT_TRUE(m->collocate(true));
    }
    const VqVertexRecordPool& pool = *m->vtxRecPool();
    ASSERT_TRUE(Vq::IndexedMeshCoder::_createIndexMapV10(*m, refs, runLens, reps, mapped));
    ASSERT_EQ(refs.size(), pool.numVtxRecords());
    uint32_t k = 0;
    std::set<uint32_t> seen;
    for (size_t run = 0; run < runLens.size(); ++run) {
        EXPECT_EQ(refs[k], reps[run]);
        for (uint32_t j = 0; j < runLens[run]; ++j, ++k) {
            EXPECT_EQ(coordOf(pool, refs[k], 0), coordOf(pool, reps[run], 0));
            if (j > 0) {
                EXPECT_LT(refs[k - 1], refs[k]);
            }
            seen.insert(refs[k]);
        }
    }
    EXPECT_EQ(seen.size(), refs.size());
    EXPECT_EQ(std::vector<uint32_t>(runLens.begin(), runLens.end()), (std::vector<uint32_t>{3, 1, 1}));
    for (uint32_t j = 0; j < m->numIndices(); ++j)
        EXPECT_EQ(refs[mapped[j]], m->indices()[j]);
}

// ---- Round trips

TEST_F(LinePointRecordTest, LosslessRecordsGiveBackEveryBit) {
    for (bool bCollocated : {false, true})
        for (auto make : {pointCloud, lineSet}) {
            Vq::SharedPtr<VqTopoMesh> src = make();
            if (bCollocated) {
                MeshLock lock(*src);
                ASSERT_TRUE(src->collocate(false));
            }
            for (Format f : kFormats)
                for (Kind kind : {Kind::Plain, Kind::Zlib, Kind::Lzma}) {
                    SCOPED_TRACE(nameOf(f, kind) + (bCollocated ? " collocated" : ""));
                    const Bytes image = writeMesh(*src, kind, f);
                    Vq::SharedPtr<VqTopoMesh> back = newOfKind(src->primKind());
                    ASSERT_TRUE(readMesh(*back, image, kind, f)) << lastError();
                    EXPECT_EQ(back->getBindings(), src->getBindings());
                    expectSameMesh(*src, *back, 0);
                    // Records no primitive uses are not carried.
                    std::set<uint32_t> used(src->indices(), src->indices() + src->numIndices());
                    EXPECT_EQ(back->vtxRecPool()->numVtxRecords(), used.size());
                    EXPECT_TRUE(back->verifyTopoMesh(false)) << lastError();
                }
        }
}

TEST_F(LinePointRecordTest, LossyRecordsStayWithinTheQuantisationBounds) {
    for (auto make : {pointCloud, lineSet}) {
        Vq::SharedPtr<VqTopoMesh> src = make();
        ASSERT_TRUE(src->setCompressionParams(11, 8, 10, 6));
        for (Format f : kFormats)
            for (Kind kind : {Kind::Plain, Kind::Lzma}) {
                SCOPED_TRACE(nameOf(f, kind));
                const Bytes image = writeMesh(*src, kind, f);
                Vq::SharedPtr<VqTopoMesh> back = newOfKind(src->primKind());
                ASSERT_TRUE(readMesh(*back, image, kind, f)) << lastError();
                // The widest range here is about 80 (y of the lines) at 11
                // bits; normals at 8 bits and colours at 6 are closer still.
                expectSameMesh(*src, *back, 0.05f);
                int b[4];
                back->getCompressionParams(b[0], b[1], b[2], b[3]);
                EXPECT_EQ(std::vector<int>(b, b + 4), (std::vector<int>{11, 8, 10, 6}));
            }
    }
}

TEST_F(LinePointRecordTest, EmptyMeshesRoundTrip) {
    for (auto kind : {VqTopoMesh::VQ_PRIM_LINESTRIP, VqTopoMesh::VQ_PRIM_POINT})
        for (Format f : kFormats) {
            Vq::SharedPtr<VqTopoMesh> src = newOfKind(kind);
            {
                MeshLock lock(*src);
                ASSERT_TRUE(src->setBindings(VQ_GEOMBIND_VTXCOORD3));
            }
            Vq::SharedPtr<VqTopoMesh> back = handMesh(kind);
            ASSERT_TRUE(readMesh(*back, writeMesh(*src, Kind::Plain, f), Kind::Plain, f)) << lastError();
            EXPECT_EQ(back->numPrims(), 0u);
            EXPECT_EQ(back->vtxRecPool()->numVtxRecords(), 0u);
        }
}

// ---- Damage

// Every single bit flipped anywhere in a small record is refused, and the
// mesh it was read into is left empty.
TEST_F(LinePointRecordTest, EveryBitFlipIsRefusedAndLeavesAnEmptyMesh) {
    // A damaged count of a packet of equal values costs no bits to back it:
    // the process-wide bound is what keeps it from filling memory. A low one
    // keeps the sweep quick.
    struct MaxValues {
        int nWas = VqCodecDriver2::s_maxValueCount();
        MaxValues() { VqCodecDriver2::s_setMaxValueCount(1 << 12); }
        ~MaxValues() { VqCodecDriver2::s_setMaxValueCount(nWas); }
    } maxValues;
    for (auto kind : {VqTopoMesh::VQ_PRIM_LINESTRIP, VqTopoMesh::VQ_PRIM_POINT})
        for (Format f : kFormats) {
            SCOPED_TRACE(std::string(kind == VqTopoMesh::VQ_PRIM_POINT ? "points " : "lines ") +
                         nameOf(f, Kind::Plain));
            const Bytes image = writeBare(*handMesh(kind), f);
            for (size_t bit = 0; bit < image.size() * 8; ++bit) {
                Bytes bad = image;
                bad[bit / 8] ^= uint8_t(1u << (bit % 8));
                Vq::SharedPtr<VqTopoMesh> back = handMesh(kind);
                EXPECT_FALSE(readBare(*back, bad, f)) << "bit " << bit << " of " << image.size() * 8;
                EXPECT_EQ(back->numPrims(), 0u) << "bit " << bit;
                EXPECT_EQ(back->numIndices(), 0u) << "bit " << bit;
                EXPECT_EQ(back->vtxRecPool()->numVtxRecords(), 0u) << "bit " << bit;
            }
            // So is every record cut short.
            for (size_t n = 0; n < image.size(); ++n) {
                Vq::SharedPtr<VqTopoMesh> back = newOfKind(kind);
                EXPECT_FALSE(readBare(*back, Bytes(image.begin(), image.begin() + long(n)), f)) << n;
                EXPECT_EQ(back->numPrims(), 0u);
            }
        }
}

// Counts a damaged record could ask for are refused before anything of
// their size is allocated: the arrays' own packets must hold them.
TEST_F(LinePointRecordTest, HugeCountsAreRefused) {
    const Format f{10, 0};
    const Bytes image = handRecord(VqTopoMesh::VQ_PRIM_LINESTRIP, f);
    for (size_t at : {size_t(6), size_t(10), size_t(14)}) {
        Bytes bad = image;
        for (size_t i = 0; i < 4; ++i)
            bad[at + i] = 0xFF;
        Vq::SharedPtr<VqTopoMesh> back = new VqLineStripTopoMesh();
        EXPECT_FALSE(readBare(*back, bad, f));
        EXPECT_NE(lastError().find("length()"), std::string::npos) << lastError();
    }
    // The primitive starts' packet (after the 6-byte head and the three
    // counts) claiming 10^8 values where the count read allows 2.
    Bytes bad = image;
    for (size_t i = 0; i < 4; ++i)
        bad[18 + i] = uint8_t(100000000u >> (8 * i));
    Vq::SharedPtr<VqTopoMesh> back = new VqLineStripTopoMesh();
    EXPECT_FALSE(readBare(*back, bad, f));
    EXPECT_EQ(lastError(), "nValues <= nMaxValues");
    EXPECT_EQ(back->numPrims(), 0u);
}
