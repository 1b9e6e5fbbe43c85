// The strip and polygon mesh records at VQ 9.0, 9.4 and 10: round trips
// through segment streams of every kind, lossless and lossy; refusal of
// damaged records, which leave the mesh empty; the head's pool number.
#include "MeshTestUtil.h"
#include "PoolCodedTestUtil.h"
#include "TetraGolden.h"
#include "VqAuxVertexField.h"
#include "VqCpuIsa.h"
#include "VqDualTopoMeshCoder.h"
#include "VqLineStripTopoMesh.h"
#include "VqLookup2.h"
#include "VqPartition.h"
#include "VqPeakMemory.h"

#include <algorithm>
#include <array>
#include <gtest/gtest.h>

namespace {

struct Format {
    int major, minor;
};
constexpr Format kFormats[] = {{9, 0}, {9, 4}, {10, 0}};

constexpr uint64_t kRich = VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_NORMVEC3 | VQ_GEOMBIND_VTXCOLOR4 |
                           VQ_GEOMBIND_VTXFLAG_MASK | vqTexCoordBinding(0, 2) | vqTexCoordBinding(1, 2);

// Every attribute of a corner, in one row: position, normal, colour,
// texture units 0 and 1, flag.
using Row = std::array<float, 3 + 3 + 4 + 2 + 2 + 1>;

// A torus whose records carry every attribute; seams (corners of one
// position with different colours and texture coordinates) run along one
// ring of the torus, and the triangles fall into two face groups.
Vq::SharedPtr<VqTopoMesh> richTorus(bool bStrip, int nu = 7) {
    TriSoup s = torus(nu, 5);
    Vq::SharedPtr<VqTopoMesh> m;
    if (bStrip)
        m = new VqTriStripTopoMesh(kRich);
    else
        m = new VqPolygonTopoMesh(kRich);
    std::map<std::pair<uint32_t, uint32_t>, uint32_t> recOf;
    Records r;
    std::vector<uint32_t> idx;
    for (size_t i = 0; i < s.tris.size(); ++i) {
        const uint32_t p = s.tris[i];
        const uint32_t tri = uint32_t(i / 3);
        // Triangles of the first ring of quads see their corners on ring 0
        // as another record.
        const uint32_t key = (tri < 10 && p < 5) ? 1 : 0;
        auto it = recOf.find({p, key});
        if (it == recOf.end()) {
            it = recOf.emplace(std::make_pair(p, key), uint32_t(r.coords.size() / 3)).first;
            const float* c = &s.pos[3 * p];
            r.coords.insert(r.coords.end(), c, c + 3);
            const float len = std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]);
            r.normals.insert(r.normals.end(), {c[0] / len, c[1] / len, c[2] / len});
            r.colors.insert(r.colors.end(), {0.25f * float(key), float(p % 7) / 7, 0.5f, 1.0f});
            r.tex[0].insert(r.tex[0].end(), {float(p % 5) + float(key), float(p / 5)});
            r.tex[1].insert(r.tex[1].end(), {-float(p), 0.125f * float(p)});
            r.flags.push_back(static_cast<unsigned char>((p + key) & 1));
        }
        idx.push_back(it->second);
    }
    EXPECT_TRUE(r.addTo(*m->vtxRecPool(), uint32_t(r.coords.size() / 3)));
    MeshLock lock(*m);
    const uint32_t half = s.numTris() / 2;
    EXPECT_TRUE(m->addPrimitives(0, half, 3u, idx.data()));
    EXPECT_TRUE(m->addPrimitives(1, s.numTris() - half, 3u, idx.data() + 3 * half));
    return m;
}

// The non-degenerate triangles of a mesh by face group, each as its corner
// rows turned to start at the least one.
using Tri = std::array<Row, 3>;
std::vector<std::vector<Tri>> trianglesOf(const VqTopoMesh& m) {
    std::vector<std::vector<Tri>> out(m.numFaceGroups());
    const Vq::VertexRecordFields& f = *m.vtxRecPool()->fields();
    for (uint32_t a = 0; a < m.numAtoms(); ++a) {
        uint32_t r[3];
        if (m.atomRecords(a, r, 3) != 3) continue;
        Tri t;
        for (int c = 0; c < 3; ++c) {
            const size_t i = r[c];
            Row& row = t[c];
            row.fill(0);
            std::copy_n(f.vtxCoords() + 3 * i, 3, row.begin());
            if (f.numNormalComps()) std::copy_n(f.normals() + 3 * i, 3, row.begin() + 3);
            if (f.numColorComps() == 4) std::copy_n(f.colors() + 4 * i, 4, row.begin() + 6);
            if (f.numColorComps() == 3) std::copy_n(f.colors() + 3 * i, 3, row.begin() + 6);
            if (f.numTexCoordComps(0)) std::copy_n(f.texCoords(0) + 2 * i, 2, row.begin() + 10);
            if (f.numTexCoordComps(1)) std::copy_n(f.texCoords(1) + 2 * i, 2, row.begin() + 12);
            if (f.hasVtxFlags()) row[14] = f.vtxFlags().get(int(i)) ? 1.0f : 0.0f;
        }
        auto samePos = [&](int a, int b) { return std::equal(t[a].begin(), t[a].begin() + 3, t[b].begin()); };
        if (samePos(0, 1) || samePos(1, 2) || samePos(0, 2)) continue; // a strip's turn
        std::rotate(t.begin(), std::min_element(t.begin(), t.end()), t.end());
        out[size_t(m.atomToFaceGroup(a))].push_back(t);
    }
    for (auto& g : out)
        std::sort(g.begin(), g.end());
    return out;
}

// How far each attribute of b's corners may lie from a's.
struct Tolerance {
    float coord = 0, normal = 0, color = 0, tex = 0;
};

bool near(const Tri& a, const Tri& b, const Tolerance& tol) {
    for (int c = 0; c < 3; ++c)
        for (int k = 0; k < 15; ++k) {
            const float t = k < 3    ? tol.coord
                            : k < 6  ? tol.normal
                            : k < 10 ? tol.color
                            : k < 14 ? tol.tex
                                     : 0;
            if (!(std::abs(a[c][k] - b[c][k]) <= t)) return false;
        }
    return true;
}

// Every triangle of want has its own match in got, group by group (the
// oriented triangles, with every attribute of every corner).
void expectSameTriangles(const VqTopoMesh& want, const VqTopoMesh& got, const Tolerance& tol) {
    const auto a = trianglesOf(want), b = trianglesOf(got);
    ASSERT_EQ(a.size(), b.size());
    for (size_t g = 0; g < a.size(); ++g) {
        ASSERT_EQ(a[g].size(), b[g].size()) << "group " << g;
        std::vector<bool> used(b[g].size(), false);
        for (const Tri& t : a[g]) {
            bool found = false;
            for (size_t j = 0; j < b[g].size() && !found; ++j)
                if (!used[j] && near(t, b[g][j], tol)) used[j] = found = true;
            ASSERT_TRUE(found) << "a triangle of group " << g << " was not decoded within the tolerance";
        }
    }
}

Bytes writeMesh(const VqTopoMesh& m, Kind kind, Format f) {
    return writeWith(kind, f.major, f.minor,
                     [&](VqObjectStream& os) { return m.serializeVersion(os, f.major, f.minor); });
}

Vq::SharedPtr<VqTopoMesh> newOfKind(VqTopoMesh::PrimKind k) {
    if (k == VqTopoMesh::VQ_PRIM_TRISTRIP) return new VqTriStripTopoMesh();
    return new VqPolygonTopoMesh();
}

bool readMesh(VqTopoMesh& m, const Bytes& image, Kind kind, Format f) {
    return readWith(kind, f.major, f.minor, image,
                    [&](VqObjectStream& os) { return m.deserializeVersion(os, f.major, f.minor); });
}

class TopoMeshRecordTest : public VqLibTest {};

} // namespace

TEST_F(TopoMeshRecordTest, LosslessRecordsGiveBackEveryBit) {
    for (bool bStrip : {false, true}) {
        Vq::SharedPtr<VqTopoMesh> src = richTorus(bStrip);
        for (Format f : kFormats)
            for (Kind kind : {Kind::Plain, Kind::Zlib, Kind::Lzma}) {
                SCOPED_TRACE(std::string(bStrip ? "strip " : "polygon ") + std::to_string(f.major) + "." +
                             std::to_string(f.minor) + " " + kindName(kind));
                const Bytes image = writeMesh(*src, kind, f);
                Vq::SharedPtr<VqTopoMesh> back = newOfKind(src->primKind());
                ASSERT_TRUE(readMesh(*back, image, kind, f)) << lastError();
                EXPECT_EQ(back->getBindings(), src->getBindings());
                expectSameTriangles(*src, *back, Tolerance());
                EXPECT_TRUE(back->isTopologyValid());
                // The decoded pool takes the bit counts of the written one.
                int b[4];
                back->getCompressionParams(b[0], b[1], b[2], b[3]);
                EXPECT_EQ(b[0] + b[1] + b[2] + b[3], 0);
            }
    }
}

// Closed triangle solids of one group, one record a vertex, come back
// through the export's plain-triangle pass (corners four at a time, the
// coordinates taken whole): 210 corners leave two past those blocks, 240
// none. With a seam (vertices of two records) the same solids take the
// general passes. Every way gives back every triangle and record.
TEST_F(TopoMeshRecordTest, PlainAndSeamedTriangleSolidsComeBackWhole) {
    for (const int nu : {7, 8})
        for (const bool bSeam : {false, true}) {
            SCOPED_TRACE(std::to_string(nu) + (bSeam ? " seam" : ""));
            TriSoup s = torus(nu, 5);
            if (bSeam) {
                s.seamKey.assign(s.tris.size(), 0);
                std::fill_n(s.seamKey.begin(), 12, 1u);
            }
            Vq::SharedPtr<VqTopoMesh> src = new VqPolygonTopoMesh(kSoupBindings);
            addSoup(*src, s);
            const Format f = {10, 0};
            const Bytes image = writeMesh(*src, Kind::Plain, f);
            Vq::SharedPtr<VqTopoMesh> back = newOfKind(src->primKind());
            ASSERT_TRUE(readMesh(*back, image, Kind::Plain, f)) << lastError();
            expectSameTriangles(*src, *back, Tolerance());
            EXPECT_EQ(back->vtxRecPool()->numVtxRecords(), src->vtxRecPool()->numVtxRecords());
        }
}

// A mesh without primitives keeps its bindings. (A pool that binds nothing,
// not even coordinates, cannot be coded.)
// Auxiliary fields travel with their records (from 9.4 on), in the order
// the coder emits the records: each corner keeps its own value.
TEST_F(TopoMeshRecordTest, AuxiliaryFieldsComeBackWithTheirRecords) {
    for (bool bStrip : {false, true}) {
        Vq::SharedPtr<VqTopoMesh> m = richTorus(bStrip);
        VqVertexRecordPool& pool = *m->vtxRecPool();
        const uint32_t n = pool.numVtxRecords();
        Vq::SharedPtr<Vq::AuxVertexField> ids;
        ASSERT_TRUE(Vq::AuxVertexField::s_create(VQ_AUXTYPE_I32_V1, kIds, 1, n, ids));
        for (uint32_t i = 0; i < n; ++i)
            reinterpret_cast<int32_t*>(ids->stepData(0))[i] = int32_t(7 * i + 1);
        {
            WriteLock lock(pool);
            ASSERT_TRUE(pool.bindAuxField(ids.get())) << lastError();
        }
        for (Format f : {Format{9, 4}, Format{10, 0}}) {
            SCOPED_TRACE(std::to_string(f.major) + (bStrip ? " strips" : " polygons"));
            Vq::SharedPtr<VqTopoMesh> back = newOfKind(m->primKind());
            ASSERT_TRUE(readMesh(*back, writeMesh(*m, Kind::Plain, f), Kind::Plain, f)) << lastError();
            const Vq::AuxVertexField* got = back->vtxRecPool()->auxField(kIds);
            ASSERT_NE(got, nullptr);
            // Each record read has a position and an id; the pairs are those written.
            std::multiset<std::pair<std::array<float, 3>, int32_t>> want, have;
            for (uint32_t i = 0; i < n; ++i)
                want.insert({posOf(*m, i), reinterpret_cast<const int32_t*>(ids->stepData(0))[i]});
            for (uint32_t i = 0; i < back->vtxRecPool()->numVtxRecords(); ++i)
                have.insert({posOf(*back, i), reinterpret_cast<const int32_t*>(got->stepData(0))[i]});
            EXPECT_EQ(std::set(want.begin(), want.end()), std::set(have.begin(), have.end()));
        }
    }
}

TEST_F(TopoMeshRecordTest, EmptyMeshesRoundTrip) {
    for (uint64_t eBindings : {VQ_GEOMBIND_VTXCOORD3, VQ_GEOMBIND_VTXCOORD2 | VQ_GEOMBIND_NORMVEC3})
        for (VqTopoMesh::PrimKind k : {VqTopoMesh::VQ_PRIM_POLYGON, VqTopoMesh::VQ_PRIM_TRISTRIP})
            for (Format f : kFormats) {
                Vq::SharedPtr<VqTopoMesh> src = newOfKind(k);
                {
                    MeshLock lock(*src);
                    ASSERT_TRUE(src->setBindings(eBindings)) << lastError();
                }
                ASSERT_EQ(src->getBindings(), eBindings);
                const Bytes image = writeMesh(*src, Kind::Plain, f);
                Vq::SharedPtr<VqTopoMesh> back = newOfKind(k);
                ASSERT_TRUE(readMesh(*back, image, Kind::Plain, f)) << lastError();
                EXPECT_EQ(back->numPrims(), 0u);
                EXPECT_EQ(back->vtxRecPool()->numVtxRecords(), 0u);
                EXPECT_EQ(back->getBindings(), eBindings);
            }
}

TEST_F(TopoMeshRecordTest, LossyRecordsStayWithinTheQuantisationBounds) {
    for (bool bStrip : {false, true}) {
        Vq::SharedPtr<VqTopoMesh> src = richTorus(bStrip);
        ASSERT_TRUE(src->setCompressionParams(11, 8, 10, 6));
        const VqBox3<float> box = src->bbox();
        float extent = 0;
        for (int c = 0; c < 3; ++c)
            extent = std::max(extent, box.max[c] - box.min[c]);
        Tolerance tol;
        tol.coord = extent / 2047 * 0.51f;
        tol.normal = 0.02f;     // 8-bit normal codes, as a chord
        tol.color = 1.0f / 63;  // over [0, 1] at 6 bits
        tol.tex = 35.0f / 1023; // the widest texture range at 10 bits
        for (Format f : kFormats)
            for (Kind kind : {Kind::Plain, Kind::Lzma}) {
                SCOPED_TRACE(std::string(bStrip ? "strip " : "polygon ") + std::to_string(f.major) + "." +
                             std::to_string(f.minor) + " " + kindName(kind));
                const Bytes image = writeMesh(*src, kind, f);
                Vq::SharedPtr<VqTopoMesh> back = newOfKind(src->primKind());
                ASSERT_TRUE(readMesh(*back, image, kind, f)) << lastError();
                expectSameTriangles(*src, *back, tol);
                int b[4];
                back->getCompressionParams(b[0], b[1], b[2], b[3]);
                EXPECT_EQ(std::vector<int>(b, b + 4), (std::vector<int>{11, 8, 10, 6}));
            }
    }
}

namespace {

// A small open polygon mesh: two triangles and a quad, one seam.
Vq::SharedPtr<VqTopoMesh> smallMesh() {
    Vq::SharedPtr<VqTopoMesh> m = new VqPolygonTopoMesh(VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_VTXCOLOR3);
    Records r;
    r.coords = {0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, 2, 0, 0, 2, 1, 0, 1, 1, 0};
    r.colors = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0};
    EXPECT_TRUE(r.addTo(*m->vtxRecPool(), 7));
    MeshLock lock(*m);
    const uint32_t tris[] = {0, 1, 2, 0, 2, 3};
    const uint32_t quad[] = {1, 4, 5, 6};
    EXPECT_TRUE(m->addPrimitives(0, 2u, 3u, tris));
    EXPECT_TRUE(m->addPrimitives(0, 1u, 4u, quad));
    return m;
}

// A grid of nx x ny cells in the plane z = 0, each a quad but every fifth,
// which is cut into two triangles: the walk over polygons of any degree.
Vq::SharedPtr<VqTopoMesh> mixedGrid(int nx, int ny) {
    Vq::SharedPtr<VqTopoMesh> m = new VqPolygonTopoMesh(VQ_GEOMBIND_VTXCOORD3);
    Records r;
    for (int j = 0; j <= ny; ++j)
        for (int i = 0; i <= nx; ++i)
            r.coords.insert(r.coords.end(), {float(i), float(j), float((i * j) % 7) * 0.125f});
    EXPECT_TRUE(r.addTo(*m->vtxRecPool(), uint32_t((nx + 1) * (ny + 1))));
    const auto at = [&](int i, int j) { return uint32_t(j * (nx + 1) + i); };
    std::vector<uint32_t> quads, tris;
    for (int j = 0; j < ny; ++j)
        for (int i = 0; i < nx; ++i)
            if ((i + j) % 5 == 0)
                tris.insert(tris.end(), {at(i, j), at(i + 1, j), at(i + 1, j + 1), at(i, j), at(i + 1, j + 1),
                                         at(i, j + 1)});
            else
                quads.insert(quads.end(), {at(i, j), at(i + 1, j), at(i + 1, j + 1), at(i, j + 1)});
    MeshLock lock(*m);
    EXPECT_TRUE(m->addPrimitives(0, uint32_t(quads.size() / 4), 4u, quads.data()));
    EXPECT_TRUE(m->addPrimitives(0, uint32_t(tris.size() / 3), 3u, tris.data()));
    return m;
}

// Each primitive's positions in order, whatever its degree.
std::vector<std::vector<float>> polygonsOf(const VqTopoMesh& m) {
    std::vector<std::vector<float>> out;
    const float* xyz = m.vtxRecPool()->fields()->vtxCoords();
    for (uint32_t a = 0; a < m.numAtoms(); ++a) {
        uint32_t r[8];
        const uint32_t n = m.atomRecords(a, r, 8);
        auto& poly = out.emplace_back();
        for (uint32_t c = 0; c < std::min(n, 8u); ++c)
            poly.insert(poly.end(), xyz + 3 * size_t(r[c]), xyz + 3 * size_t(r[c]) + 3);
    }
    return out;
}

} // namespace

// The arithmetic decoder's symbol loop and the mesh walk run in copies built
// for a wider instruction set where the CPU has it. Both copies give back
// the same bits, on a mesh large enough for the coordinates' lookup tables
// and their packets decoded together, and on one of triangles and quads,
// which the walk takes by a path of its own.
TEST_F(TopoMeshRecordTest, BothInstructionSetCopiesDecodeAlike) {
    struct FastAgain {
        ~FastAgain() { Vq::CpuIsa::setFast(true); }
    } fastAgain;
    // Without the set there is one copy, and nothing to compare.
    if (!Vq::CpuIsa::setFast(true)) GTEST_SKIP() << "the CPU lacks the wider set";
    const Format f{10, 0};
    // src written, then read by the baseline copy and by the fast one, each
    // result seen through of().
    const auto readByBoth = [&](const VqTopoMesh& src, const auto& of) {
        const Bytes image = writeMesh(src, Kind::Plain, f);
        std::array<decltype(of(src)), 2> got;
        for (bool bFast : {false, true}) {
            Vq::CpuIsa::setFast(bFast);
            Vq::SharedPtr<VqTopoMesh> back = newOfKind(src.primKind());
            EXPECT_TRUE(readMesh(*back, image, Kind::Plain, f)) << lastError();
            got[bFast] = of(*back);
        }
        return got;
    };
    Vq::SharedPtr<VqTopoMesh> src = richTorus(false, 400);
    for (bool bLossy : {false, true}) {
        if (bLossy) {
            ASSERT_TRUE(src->setCompressionParams(11, 8, 10, 6));
        }
        const auto got = readByBoth(*src, trianglesOf);
        ASSERT_EQ(got[0].size(), 2u);
        EXPECT_EQ(got[0][0].size() + got[0][1].size(), 4000u);
        EXPECT_TRUE(got[0] == got[1]) << (bLossy ? "lossy" : "lossless");
    }
    Vq::SharedPtr<VqTopoMesh> grid = mixedGrid(40, 30);
    const auto got = readByBoth(*grid, polygonsOf);
    EXPECT_EQ(got[0].size(), polygonsOf(*grid).size());
    EXPECT_TRUE(got[0] == got[1]);
}

// Every single bit flipped in a whole record is refused, and the mesh it was
// read into is left empty.
TEST_F(TopoMeshRecordTest, EveryBitFlipIsRefusedAndLeavesAnEmptyMesh) {
    // A flipped count may ask for a packet of 2^27 equal values, which the
    // drivers allow; a lower bound keeps the sweep quick.
    const int nMaxValues = VqCodecDriver2::s_maxValueCount();
    VqCodecDriver2::s_setMaxValueCount(1 << 12);
    struct Restore {
        int n;
        ~Restore() { VqCodecDriver2::s_setMaxValueCount(n); }
    } restore{nMaxValues};
    Vq::SharedPtr<VqTopoMesh> src = smallMesh();
    for (Format f : kFormats) {
        SCOPED_TRACE(std::to_string(f.major) + "." + std::to_string(f.minor));
        const Bytes image = writeMesh(*src, Kind::Plain, f);
        {
            Vq::SharedPtr<VqTopoMesh> back = new VqPolygonTopoMesh();
            ASSERT_TRUE(readMesh(*back, image, Kind::Plain, f)) << lastError();
            ASSERT_EQ(back->numPrims(), 3u);
        }
        int nAccepted = 0;
        // From the first bit after the element's length, which frames the
        // record and is not part of it.
        for (size_t bit = 32; bit < image.size() * 8; ++bit) {
            Bytes bad = image;
            bad[bit / 8] ^= uint8_t(1u << (bit % 8));
            // Read into a mesh that holds something: a failure must empty it.
            Vq::SharedPtr<VqTopoMesh> back = smallMesh();
            if (readMesh(*back, bad, Kind::Plain, f)) {
                ++nAccepted;
                ADD_FAILURE() << "flipped bit " << bit << " of " << image.size() * 8 << " was accepted";
                continue;
            }
            EXPECT_EQ(back->numPrims(), 0u) << "bit " << bit;
            EXPECT_EQ(back->numIndices(), 0u) << "bit " << bit;
            EXPECT_EQ(back->vtxRecPool()->numVtxRecords(), 0u) << "bit " << bit;
        }
        EXPECT_EQ(nAccepted, 0);
    }
}

TEST_F(TopoMeshRecordTest, TruncatedRecordsAreRefused) {
    Vq::SharedPtr<VqTopoMesh> src = richTorus(false);
    for (Format f : kFormats) {
        const Bytes image = writeMesh(*src, Kind::Plain, f);
        for (size_t n : {size_t(0), size_t(1), size_t(7), image.size() / 2, image.size() - 1}) {
            Vq::SharedPtr<VqTopoMesh> back = new VqPolygonTopoMesh();
            EXPECT_FALSE(readMesh(*back, Bytes(image.begin(), image.begin() + long(n)), Kind::Plain, f))
                << n << " of " << image.size() << " bytes";
            EXPECT_EQ(back->numPrims(), 0u);
        }
    }
}

// A pool that several meshes share is numbered within the partition of the
// stream; one used by a single mesh is not, and needs no partition.
TEST_F(TopoMeshRecordTest, SharedPoolsNeedAPartitionForTheirNumber) {
    Vq::SharedPtr<VqTopoMesh> a = smallMesh();
    for (Format f : {Format{9, 4}, Format{10, 0}}) {
        const Bytes image = writeMesh(*a, Kind::Plain, f);
        // After the element's length: the head's local version, then pool number 0.
        const size_t lvBytes = f.major == 10 ? 1 : 2;
        ASSERT_GE(image.size(), 4 + lvBytes + 4);
        EXPECT_EQ(image[4], f.major == 10 ? 1 : 2);
        EXPECT_EQ(Bytes(image.begin() + 4 + long(lvBytes), image.begin() + 4 + long(lvBytes) + 4),
                  Bytes(4, 0));
    }
    // A second mesh on the same pool.
    Vq::SharedPtr<VqTopoMesh> b = new VqPolygonTopoMesh(a->vtxRecPool());
    VqTestObjectStream os = VqTestObjectStream::forWriting(10, 0);
    EXPECT_FALSE(a->serializeVersion(*os, 10, 0));
    EXPECT_NE(lastError().find("iostrm.partition()"), std::string::npos) << lastError();
    // A record that names a pool cannot be read without a partition.
    Bytes image = writeMesh(*smallMesh(), Kind::Plain, Format{10, 0});
    image[5] = 7;
    Vq::SharedPtr<VqTopoMesh> back = new VqPolygonTopoMesh();
    EXPECT_FALSE(readMesh(*back, image, Kind::Plain, Format{10, 0}));
    EXPECT_NE(lastError().find("pPart"), std::string::npos) << lastError();
}

// Within a partition, meshes that share a pool name it by one number, and a
// mesh read back gives its pool that partition and number.
TEST_F(TopoMeshRecordTest, SharedPoolsAreNumberedWithinTheirPartition) {
    Vq::SharedPtr<VqPartition> part = new VqPartition();
    Vq::SharedPtr<VqTopoMesh> a = smallMesh(), lone = smallMesh();
    Vq::SharedPtr<VqTopoMesh> b = new VqPolygonTopoMesh(a->vtxRecPool());
    auto write = [&](const VqTopoMesh& m) {
        VqTestObjectStream os = VqTestObjectStream::forWriting(10, 0);
        os->setPartition(part.get());
        EXPECT_TRUE(os->beginWrite() && m.serializeVersion(*os, 10, 0) && os->endWrite()) << lastError();
        return os.bytes();
    };
    auto poolNum = [](const Bytes& image) { // after the length and the local version
        return uint32_t(image[5]) | uint32_t(image[6]) << 8 | uint32_t(image[7]) << 16 |
               uint32_t(image[8]) << 24;
    };
    const Bytes ia = write(*a), ib = write(*b), il = write(*lone);
    EXPECT_NE(poolNum(ia), 0u);
    EXPECT_EQ(poolNum(ib), poolNum(ia));
    EXPECT_EQ(poolNum(il), 0u);

    Vq::SharedPtr<VqTopoMesh> back = new VqPolygonTopoMesh();
    VqTestObjectStream os = VqTestObjectStream::forReading(ia, 10, 0);
    os->setPartition(part.get());
    ASSERT_TRUE(os->beginRead() && back->deserializeVersion(*os, 10, 0) && os->endRead()) << lastError();
    const Vq::PartNumContainer* pNum = back->vtxRecPool()->partNumContainer();
    ASSERT_NE(pNum, nullptr);
    EXPECT_EQ(pNum->partition(), part.get());
    EXPECT_EQ(pNum->number(), poolNum(ia));
    EXPECT_EQ(back->numPrims(), 3u);
}

// The coder's byte split covers every byte of the section it wrote.
TEST_F(TopoMeshRecordTest, SectionStatisticsCoverTheWholeSection) {
    Vq::SharedPtr<VqTopoMesh> src = richTorus(false);
    ASSERT_TRUE(src->setCompressionParams(11, 8, 10, 6));
    Vq::DualTopoMeshCoder* c = Vq::DualTopoMeshCoder::acquireDualTopoMeshCoder(Vq::DualTopoMeshCoder::V2);
    ASSERT_TRUE(c->setTopoMesh(src.get()));
    const Bytes image =
        writeWith(Kind::Plain, 10, 0, [&](VqObjectStream& os) { return c->serialize10xV1(os); });
    const auto st = c->sectionStats();
    EXPECT_EQ(st.total() + 4, image.size()); // and the element's length
    EXPECT_GT(st.nConnectivityBytes, 0u);
    EXPECT_GT(st.nCoordBytes, 0u);
    EXPECT_GT(st.nNormalBytes, 0u);
    EXPECT_GT(st.nOtherAttrBytes, 0u);
    EXPECT_GT(st.nTableBytes, 0u);
    Vq::DualTopoMeshCoder::releaseDualTopoMeshCoder(c);
}

using namespace tetra;

TEST_F(TopoMeshRecordTest, TetrahedronRecordsMatchTheirLayouts) {
    ASSERT_EQ(VqBaseDataStream::s_systemByteOrder(), LsbFirst);
    Vq::SharedPtr<VqTopoMesh> tet = goldenTetrahedron();
    struct Case {
        Format f;
        Bytes want;
    };
    // Head (local version, pool number 0 or the null pool reference), the
    // polygon level's local version, the symbol section, the vertex data.
    const Case cases[] = {
        {{10, 0}, Image().u8(1).u32(0).u8(1).bytes(symbolSection(true)).bytes(vertexData(true, false)).b},
        {{9, 4}, Image().u16(2).u32(0).u16(1).bytes(symbolSection(false)).bytes(vertexData(false, true)).b},
        {{9, 0},
         Image().u16(1).u32(0xFFFFFFFF).u16(1).bytes(symbolSection(false)).bytes(vertexData(false, false)).b},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.f.major) + "." + std::to_string(c.f.minor));
        // Framed as one element: its length first.
        Bytes framed = Image().u32(uint32_t(c.want.size())).b;
        framed.insert(framed.end(), c.want.begin(), c.want.end());
        const Bytes got = writeMesh(*tet, Kind::Plain, c.f);
        EXPECT_EQ(got.size(), framed.size());
        const auto diff = std::mismatch(got.begin(), got.end(), framed.begin(), framed.end());
        EXPECT_TRUE(diff.first == got.end() && diff.second == framed.end())
            << "first difference at byte " << (diff.first - got.begin());
        Vq::SharedPtr<VqTopoMesh> back = new VqPolygonTopoMesh();
        ASSERT_TRUE(readMesh(*back, framed, Kind::Plain, c.f)) << lastError();
        expectSameTriangles(*tet, *back, Tolerance());
    }
}

// ---- Hostile counts
//
// The golden tetrahedron with one packet replaced by a packet of 10^8 zeros:
// a few bytes that would decode into 400 MB. Every stream after the valences
// is bounded by what the streams before it leave room for (groups and flags
// exactly one per polygon degree, masks one per vertex of their context,
// split offsets one per split), and every vertex array by its count, so the
// load fails as damage before allocating the values.

namespace hostile {

constexpr uint32_t kHuge = 100000000;

// The zeros packet of the section's driver: version 3 (VQ 10) code text
// 0 | 0000 0 | 0000 0 (11 bits), version 2 (9.x) 0 | 000001 | 000001 | 0 | 0
// (15 bits); no value needs bits of its own.
Bytes zeros(bool bV2, uint32_t n) {
    return bV2 ? Image().u32(n).u8(1).u32(11).u32(0).b : Image().u32(n).u8(1).u32(15).u32(0x02080000).b;
}

Bytes splice(Bytes b, size_t at, size_t oldLen, const Bytes& packet) {
    b.erase(b.begin() + ptrdiff_t(at), b.begin() + ptrdiff_t(at + oldLen));
    b.insert(b.begin() + ptrdiff_t(at), packet.begin(), packet.end());
    return b;
}

// Where a packet starts: in the symbol section every non-empty packet of the
// tetrahedron is 13 bytes (count, codec, bits, one word) and an empty one 4,
// so valences 0-7 take 13 + 13 + 6 x 4; then degrees, groups, flags (13
// each), masks of context 0 (4) and 1 (13), contexts 2-6 (5 x 4), context
// 7's chunks (2 or 3 x 4), the large masks (4), split offsets, split slots.
// In the vertex data the X codes follow the 20-byte header, the array's
// count and components (5) and the quantizer record (27).
struct Target {
    const char* name;
    bool bSymbols;
    size_t at9, at10; // offset in the 9.x and the VQ 10 section
    size_t oldLen;
};
const Target kTargets[] = {
    {"polygon groups", true, 63, 63, 13},     {"polygon flags", true, 76, 76, 13},
    {"masks of context 1", true, 93, 93, 13}, {"split offsets", true, 142, 138, 4},
    {"split slots", true, 146, 142, 4},       {"X codes", false, 52, 52, 13},
};

} // namespace hostile

TEST_F(TopoMeshRecordTest, HostileCountsFailCleanlyWithBoundedMemory) {
    using namespace hostile;
    ASSERT_EQ(VqBaseDataStream::s_systemByteOrder(), LsbFirst);
    for (const bool bV2 : {false, true}) {
        const Format f = bV2 ? Format{10, 0} : Format{9, 4};
        for (const Target& t : kTargets) {
            SCOPED_TRACE(std::string(t.name) + (bV2 ? " in VQ 10" : " in 9.4"));
            Bytes syms = symbolSection(bV2), verts = vertexData(bV2, !bV2);
            const size_t at = bV2 ? t.at10 : t.at9;
            (t.bSymbols ? syms : verts) = splice(t.bSymbols ? syms : verts, at, t.oldLen, zeros(bV2, kHuge));
            const Bytes rec =
                (bV2 ? Image().u8(1).u32(0).u8(1) : Image().u16(2).u32(0).u16(1)).bytes(syms).bytes(verts).b;
            const Bytes framed = Image().u32(uint32_t(rec.size())).bytes(rec).b;
            ASSERT_LT(framed.size(), 400u);
            Vq::SharedPtr<VqTopoMesh> back = new VqPolygonTopoMesh();
            const long before = vqPeakRssKiB();
            ASSERT_GE(before, 0);
            EXPECT_FALSE(readMesh(*back, framed, Kind::Plain, f));
            EXPECT_EQ(lastCode(), VQ_ERR_CORRUPT);
            EXPECT_EQ(lastError(), "nValues <= nMaxValues");
            EXPECT_LT(vqPeakRssKiB() - before, 64L * 1024);
            EXPECT_EQ(back->numPrims(), 0u);
        }
    }
}
