// Importing generated meshes written by hand into each format: counts,
// boxes, hierarchy, instancing and levels of detail in the VQ graph, and how
// bad inputs are refused.

#include "ExchangeTestUtil.h"
#include "VqFloat32PropAtom.h"
#include "VqGroup.h"
#include "VqImporter.h"
#include "VqInstance.h"
#include "VqLodChain.h"
#include "VqPartition.h"
#include "VqPointSet.h"
#include "VqRangeLOD.h"
#include "VqStreamMgr.h"
#include "VqStringPropAtom.h"
#include "VqTopoMesh.h"
#include "VqTriStripSet.h"
#include "VqVertexRecordFields.h"
#include "VqVertexShapeImpl.h"

#include <meshoptimizer.h>

#include <algorithm>
#include <set>

namespace {

class ImportTest : public VqLibTest {
protected:
    // Imports name (written from text first) with opt; the graph in root.
    bool import(const std::string& name, const std::string& text, Vq::SharedPtr<VqPartition>& root,
                Vq::Importer::Options opt = lods(1)) {
        writeText(dir / name, text);
        return importer.read(dir / name, opt, root);
    }
    static Vq::Importer::Options lods(int n) {
        Vq::Importer::Options o;
        o.lodCount = n;
        return o;
    }
    ScratchDir dir;
    Vq::Importer importer;
};

VqTopoMesh* meshOf(VqShape* s) {
    Vq::SharedPtr<VqShapeImpl> impl = s->ensureImpl();
    return impl ? impl->topoMesh() : nullptr;
}

// Triangles a strip mesh stands for, turns left out.
uint32_t triangles(const VqTopoMesh& m) {
    uint32_t n = 0;
    for (uint32_t p = 0; p < m.numPrims(); ++p)
        for (uint32_t j = m.primStarts()[p]; j + 2 < m.primStarts()[p + 1]; ++j) {
            const uint32_t* i = m.indices() + j;
            n += i[0] != i[1] && i[1] != i[2] && i[0] != i[2];
        }
    return n;
}

void expectBox(const VqBox3<float>& b, std::array<float, 3> lo, std::array<float, 3> hi, float tol = 1e-5f) {
    for (int k = 0; k < 3; ++k) {
        EXPECT_NEAR(b.min[k], lo[size_t(k)], tol) << "axis " << k;
        EXPECT_NEAR(b.max[k], hi[size_t(k)], tol) << "axis " << k;
    }
}

float lodError(const VqShape& s) {
    VqPropAtom* v = nullptr;
    Vq::SharedPtr<VqStringPropAtom> key = new VqStringPropAtom(Vq::Importer::s_kLodErrorProp);
    if (!s.propValue(key.get(), v) || !v) return -1;
    auto* f = Vq::typeCast<VqFloat32PropAtom>(v);
    return f ? f->value() : -1;
}

// ---- What each format brings in

TEST_F(ImportTest, CubeWithPerFaceNormalsKeepsTheCornersOfEachFaceApart) {
    Vq::SharedPtr<VqPartition> root;
    ASSERT_TRUE(import("cube.obj", objText(cubeMesh()), root)) << Vq::lastErrorMessage();
    auto all = VqShape::shapesBelow(root.get());
    ASSERT_EQ(all.size(), 1u);
    ASSERT_TRUE(Vq::typeCast<VqTriStripSet>(all[0]));
    VqTopoMesh* m = meshOf(all[0]);
    ASSERT_TRUE(m);
    EXPECT_EQ(triangles(*m), 12u);
    // Welding merges only vertices that agree in every attribute: the three
    // faces at a corner keep their own normals.
    EXPECT_EQ(m->vtxRecPool()->numVtxRecords(), 24u);
    EXPECT_TRUE(m->getBindings() & VQ_GEOMBIND_NORMVEC3);
    expectBox(root->bBoxRaw(), {-1, -1, -1}, {1, 1, 1});
    // Each record's normal is the axis of the face its position lies on.
    const Vq::VertexRecordFields& f = *m->vtxRecPool()->fields();
    for (uint32_t r = 0; r < f.numRecords(); ++r) {
        const float* p = f.vtxCoords() + 3 * r;
        const float* n = f.normals() + 3 * r;
        int axis = 0;
        for (int k = 1; k < 3; ++k)
            if (std::fabs(n[k]) > std::fabs(n[axis])) axis = k;
        EXPECT_FLOAT_EQ(p[axis], n[axis]) << "record " << r;
    }
    EXPECT_EQ(importer.report().triangles, 12u);
}

TEST_F(ImportTest, PolygonsBecomeTriangles) {
    // Quads and a pentagon: triangulated faces carry assimp's polygon flag.
    Vq::SharedPtr<VqPartition> root;
    ASSERT_TRUE(import("poly.obj",
                       "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nv 2 0 0\nv 2 1 0\nv 1.5 2 0\n"
                       "f 1 2 3 4\nf 2 5 6 7 3\n",
                       root))
        << Vq::lastErrorMessage();
    auto all = VqShape::shapesBelow(root.get());
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(triangles(*meshOf(all[0])), 5u);
}

TEST_F(ImportTest, WeldingIsAnOption) {
    Vq::SharedPtr<VqPartition> root;
    Vq::Importer::Options opt = lods(1);
    // Binary STL repeats every corner: welding finds the 8 shared corners of
    // each face normal's set, without it all 36 stay.
    ASSERT_TRUE(import("cube.stl", stlBinary(cubeMesh()), root, opt)) << Vq::lastErrorMessage();
    EXPECT_EQ(meshOf(VqShape::shapesBelow(root.get())[0])->vtxRecPool()->numVtxRecords(), 24u);
    opt.weld = false;
    ASSERT_TRUE(import("cube.stl", stlBinary(cubeMesh()), root, opt)) << Vq::lastErrorMessage();
    EXPECT_EQ(meshOf(VqShape::shapesBelow(root.get())[0])->vtxRecPool()->numVtxRecords(), 36u);
    expectBox(root->bBoxRaw(), {-1, -1, -1}, {1, 1, 1});
}

TEST_F(ImportTest, TexturedGridKeepsItsTextureCoordinates) {
    const TestMesh grid = gridMesh(4, 2.0f, 1.0f);
    Vq::SharedPtr<VqPartition> root;
    ASSERT_TRUE(import("grid.obj", objText(grid), root)) << Vq::lastErrorMessage();
    VqTopoMesh* m = meshOf(VqShape::shapesBelow(root.get())[0]);
    ASSERT_TRUE(m);
    ASSERT_EQ(m->getBindings() & VQ_GEOMBIND_TEXCOORD_C0_MASK, VQ_GEOMBIND_TEXCOORD2_C0);
    EXPECT_EQ(triangles(*m), grid.nTris());
    const Vq::VertexRecordFields& f = *m->vtxRecPool()->fields();
    EXPECT_EQ(f.numRecords(), grid.nVerts());
    // The grid maps its texture linearly: u = x / 2, v = y.
    for (uint32_t r = 0; r < f.numRecords(); ++r) {
        EXPECT_NEAR(f.texCoords(0)[2 * r], f.vtxCoords()[3 * r] / 2, 1e-6);
        EXPECT_NEAR(f.texCoords(0)[2 * r + 1], f.vtxCoords()[3 * r + 1], 1e-6);
    }
    expectBox(root->bBoxRaw(), {0, 0, 0}, {2, 1, 0});
}

TEST_F(ImportTest, ColouredPointSetBecomesAPointShapeWithColours) {
    const TestMesh pts = colouredPoints(200);
    Vq::SharedPtr<VqPartition> root;
    ASSERT_TRUE(import("points.ply", plyPoints(pts), root)) << Vq::lastErrorMessage();
    auto all = VqShape::shapesBelow(root.get());
    ASSERT_EQ(all.size(), 1u);
    ASSERT_TRUE(Vq::typeCast<VqPointSet>(all[0]));
    VqTopoMesh* m = meshOf(all[0]);
    ASSERT_TRUE(m && m->primKind() == VqTopoMesh::VQ_PRIM_POINT);
    EXPECT_EQ(m->numIndices(), 200u);
    EXPECT_EQ(m->getBindings() & VQ_GEOMBIND_VTXCOLOR_MASK, VQ_GEOMBIND_VTXCOLOR3);
    const Vq::VertexRecordFields& f = *m->vtxRecPool()->fields();
    // Colours came through 8-bit channels; each point's z tells which it was.
    for (uint32_t r = 0; r < f.numRecords(); ++r) {
        const float t = f.vtxCoords()[3 * r + 2] / 3;
        EXPECT_NEAR(f.colors()[3 * r], t, 1.0 / 255) << r;
        EXPECT_NEAR(f.colors()[3 * r + 1], 1 - t, 1.0 / 255) << r;
    }
    EXPECT_EQ(importer.report().points, 200u);
}

TEST_F(ImportTest, OffMeshAndUnitScale) {
    Vq::SharedPtr<VqPartition> root;
    Vq::Importer::Options opt = lods(1);
    opt.unitScale = 0.001; // millimetres into metres
    ASSERT_TRUE(import("ball.off", offText(sphereMesh(8, 12, 500.0f)), root, opt)) << Vq::lastErrorMessage();
    EXPECT_EQ(importer.report().triangles, sphereMesh(8, 12, 500.0f).nTris());
    // The scale sits on the root: the geometry keeps the file's numbers.
    expectBox(VqShape::shapesBelow(root.get())[0]->bBoxRaw(), {-500, -500, -500}, {500, 500, 500}, 1.0f);
    expectBox(root->bBox(), {-0.5f, -0.5f, -0.5f}, {0.5f, 0.5f, 0.5f}, 1e-3f);
}

// ---- Hierarchy and instancing

TEST_F(ImportTest, AMeshUsedByTwoNodesIsStoredOnceAndPlacedTwice) {
    Vq::SharedPtr<VqPartition> root;
    ASSERT_TRUE(import("pair.gltf", gltfTwoInstances(cubeMesh()), root)) << Vq::lastErrorMessage();
    // One shape, two instances of it, each under its node's group.
    auto all = VqShape::shapesBelow(root.get());
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0]->numParents(), 2);
    EXPECT_EQ(importer.report().instances, 2u);
    std::vector<std::string> groups;
    VqNode::walkOnce(root.get(), [&](VqNode* n) {
        if (auto* i = Vq::typeCast<VqInstance>(n)) {
            EXPECT_EQ(i->child(), all[0]);
            groups.push_back(i->parent(0)->name().toUtf8());
        }
        return VqNode::Walk::Descend;
    });
    std::sort(groups.begin(), groups.end());
    EXPECT_EQ(groups, (std::vector<std::string>{"left", "right"}));
    // left: the cube moved to x = -3; right: twice the size at (3, 1, 0).
    expectBox(root->bBoxRaw(), {-4, -1, -2}, {5, 3, 2});

    // Saved and read back, the sharing stays: one shape node, two parents.
    ASSERT_TRUE(root->saveAs(VqString::fromUtf8(dir / "pair.vq"))) << Vq::lastErrorMessage();
    Vq::SharedPtr<VqPartition> back;
    ASSERT_TRUE(VqPartition::openFile(VqString::fromUtf8(dir / "pair.vq"), back)) << Vq::lastErrorMessage();
    auto again = VqShape::shapesBelow(back.get());
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0]->numParents(), 2);
    expectBox(back->bBoxRaw(), {-4, -1, -2}, {5, 3, 2}, 1e-4f);
}

// ---- Levels of detail

TEST_F(ImportTest, LevelsKeepTheirRatioAndStayWithinTheReportedError) {
    const TestMesh ball = sphereMesh(40, 60, 1.0f);
    Vq::Importer::Options opt = lods(4);
    opt.lodRatios = {0.5f, 0.2f, 0.05f};
    opt.lodErrors = {0.05f, 0.1f, 0.5f}; // loose: the ratios decide
    Vq::SharedPtr<VqPartition> root;
    ASSERT_TRUE(import("ball.off", offText(ball), root, opt)) << Vq::lastErrorMessage();
    VqRangeLOD* lod = nullptr;
    VqNode::walkOnce(root.get(), [&](VqNode* n) {
        if (auto* l = Vq::typeCast<VqRangeLOD>(n)) lod = l;
        return VqNode::Walk::Descend;
    });
    ASSERT_TRUE(lod);
    ASSERT_EQ(lod->numChildren(), 4u);
    // The ranges rise with the level, the last reaching any distance, so
    // that a traversal going out from the centre meets the levels in order.
    const std::vector<float>& limits = lod->rangeLimits();
    ASSERT_EQ(limits.size(), 4u);
    EXPECT_TRUE(std::is_sorted(limits.begin(), limits.end()));
    EXPECT_GT(limits[3], 1e30f);
    EXPECT_LT(limits[0], limits[2]);

    const float ratios[] = {1.0f, 0.5f, 0.2f, 0.05f};
    const float extent = meshopt_simplifyScale(ball.pos.data(), ball.nVerts(), 12);
    uint32_t previous = ~0u;
    for (int l = 0; l < 4; ++l) {
        auto* s = Vq::typeCast<VqShape>(lod->child(l));
        ASSERT_TRUE(s);
        VqTopoMesh* m = meshOf(s);
        ASSERT_TRUE(m);
        const uint32_t n = triangles(*m);
        EXPECT_LE(n, uint32_t(ratios[l] * float(ball.nTris()))) << "level " << l;
        EXPECT_LT(n, previous);
        previous = n;
        const float bound = lodError(*s);
        ASSERT_GE(bound, 0.0f) << "level " << l << " has no error property";
        EXPECT_LE(bound, opt.lodErrors[size_t(std::max(l - 1, 0))] * extent + 1e-6f);
        // The simplifier only collapses edges, so every vertex kept lies on
        // the sphere; the surface between moves inward by at most the
        // bound: the distance of each triangle's centre from the sphere.
        const Vq::VertexRecordFields& f = *m->vtxRecPool()->fields();
        float worst = 0;
        for (uint32_t p = 0; p < m->numPrims(); ++p)
            for (uint32_t j = m->primStarts()[p]; j + 2 < m->primStarts()[p + 1]; ++j) {
                float c[3] = {0, 0, 0};
                for (int k = 0; k < 3; ++k)
                    for (int a = 0; a < 3; ++a)
                        c[a] += f.vtxCoords()[3 * m->indices()[j + k] + a] / 3;
                worst = std::max(worst, 1.0f - std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]));
            }
        // A triangle's centre sits deeper than the surface error at its
        // edges; twice the bound covers it on a sphere this smooth.
        EXPECT_LE(worst, 2 * bound + 0.01f) << "level " << l;
    }
    EXPECT_EQ(importer.report().lodNodes, 1u);
}

TEST_F(ImportTest, LodShapesAreStoredPerLevel) {
    Vq::SharedPtr<VqPartition> root;
    ASSERT_TRUE(import("ball.off", offText(sphereMesh(20, 30, 1.0f)), root, lods(3)))
        << Vq::lastErrorMessage();
    std::set<int> segTypes;
    for (VqShape* s : VqShape::shapesBelow(root.get()))
        segTypes.insert(s->_determineSegType());
    // Levels go to segments of their own, so a viewer loads the coarse ones first.
    EXPECT_EQ(segTypes, (std::set<int>{VQSEG_SHAPELOD0, VQSEG_SHAPELOD0 + 1, VQSEG_SHAPELOD0 + 2}));
}

// ---- Bad input

class BadInputTest : public ImportTest {
protected:
    // The import of name fails naming the file, with what in the message,
    // and leaves the older output as it was.
    void expectRefused(const std::string& name, const std::string& text, const std::string& what) {
        if (!text.empty() || name == "empty.obj") writeText(dir / name, text);
        writeText(dir / "out.vq", "older file");
        Vq::Importer::Options opt;
        EXPECT_FALSE(importer.importFile(dir / name, dir / "out.vq", opt)) << name;
        const std::string msg = Vq::lastErrorMessage();
        EXPECT_NE(msg.find(dir / name), std::string::npos) << msg;
        EXPECT_NE(msg.find(what), std::string::npos) << msg;
        EXPECT_EQ(readBytes(dir / "out.vq"), "older file");
        // No temporary file is left beside the output.
        for (const std::string& f : dir.files())
            EXPECT_TRUE(f == "out.vq" || f.find("out.vq") == std::string::npos) << f;
        VqErrorState::clearError();
    }
};

TEST_F(BadInputTest, MissingEmptyTruncatedAndMalformedFilesAreNamed) {
    expectRefused("missing.obj", "", "No such file");
    expectRefused("empty.obj", "", "empty");
    // A binary STL cut in the middle of its triangles.
    const std::string stl = stlBinary(cubeMesh());
    expectRefused("cut.stl", stl.substr(0, stl.size() / 2), "cannot read");
    std::string gltf = gltfTwoInstances(cubeMesh());
    expectRefused("cut.gltf", gltf.substr(0, gltf.size() / 2), "cannot read");
    expectRefused("bad.gltf", R"({"asset": 42, "meshes": "none"})", "cannot read");
    expectRefused("bad.glb", std::string("glTF\x02\0\0\0\xff\xff\0\0JSON", 16), "cannot read");
}

TEST_F(BadInputTest, NonFiniteCoordinatesAreRefusedWithTheirCount) {
    TestMesh m = cubeMesh();
    m.pos[0] = std::nanf("");
    m.pos[7] = INFINITY;
    m.pos[8] = INFINITY; // the same vertex again: counted once
    expectRefused("nan.stl", stlBinary(m), "vertices have a coordinate that is not a finite number");
    EXPECT_EQ(importer.report().triangles, 0u);
}

TEST_F(ImportTest, AFileWithoutGeometryGivesAnEmptyValidFile) {
    writeText(dir / "nothing.obj", "# only a comment\no empty\n");
    writeText(dir / "nothing.vq", "older file");
    Vq::Importer::Options opt;
    ASSERT_TRUE(importer.importFile(dir / "nothing.obj", dir / "nothing.vq", opt)) << Vq::lastErrorMessage();
    EXPECT_TRUE(importer.report().empty);
    Vq::SharedPtr<VqPartition> back;
    ASSERT_TRUE(VqPartition::openFile(VqString::fromUtf8(dir / "nothing.vq"), back))
        << Vq::lastErrorMessage();
    EXPECT_EQ(back->numChildren(), 0u);
}

TEST_F(ImportTest, OptionsOutOfRangeAreRefusedBeforeReading) {
    writeText(dir / "cube.obj", objText(cubeMesh()));
    Vq::SharedPtr<VqPartition> root;
    Vq::Importer::Options opt;
    opt.lodCount = 11;
    EXPECT_FALSE(importer.read(dir / "cube.obj", opt, root));
    opt = lods(3);
    opt.lodErrors = {0.1f}; // one for each of two generated levels is needed
    EXPECT_FALSE(importer.read(dir / "cube.obj", opt, root));
    opt = lods(1);
    opt.unitScale = 0;
    EXPECT_FALSE(importer.read(dir / "cube.obj", opt, root));
    opt = lods(1);
    opt.compressionLevel = 1.5f;
    EXPECT_FALSE(importer.read(dir / "cube.obj", opt, root));
    EXPECT_FALSE(root);
}

TEST_F(ImportTest, CoordinateBitsLevelGivesThoseBits) {
    for (int bits = 9; bits <= 24; ++bits) {
        int v = 0, n = 0, t = 0, c = 0;
        VqVertexShapeImpl::s_levelToBits(Vq::Importer::coordBitsLevel(bits), v, n, t, c);
        EXPECT_EQ(v, bits);
    }
}

} // namespace
