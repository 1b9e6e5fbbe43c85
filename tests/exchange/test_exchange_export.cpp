// Exporting VQ files made by the importer and reading the result back with
// assimp: geometry within the quantisation bound in every format, hierarchy
// and sharing in glTF, the LOD chosen, and glTF files the reference
// validator accepts.

#include "ExchangeTestUtil.h"
#include "VqExporter.h"
#include "VqImporter.h"
#include "VqPartition.h"

namespace {

class ExportTest : public VqLibTest {
protected:
    // name written from text, imported into name.vq with opt.
    std::string importVq(const std::string& name, const std::string& text, Vq::Importer::Options opt = {}) {
        writeText(dir / name, text);
        const std::string vq = dir / (name + ".vq");
        Vq::Importer importer;
        EXPECT_TRUE(importer.importFile(dir / name, vq, opt)) << Vq::lastErrorMessage();
        return vq;
    }
    bool exportTo(const std::string& vq, const std::string& out, Vq::Exporter::Options opt = {}) {
        return exporter.exportFile(vq, dir / out, opt);
    }
    void expectValidGltf(const std::string& name) {
        std::string skip;
        const std::string report = validateGltf(dir / name, skip);
        if (!skip.empty()) {
            std::cout << "[ SKIPPED  ] " << skip << "\n";
            return;
        }
        EXPECT_EQ(report, "") << name;
    }
    ScratchDir dir;
    Vq::Exporter exporter;
};

// One quantisation step of coordinates of `bits` bits over an extent, the
// most a coordinate may move in the file.
float quantStep(float extent, int bits) {
    return std::max(extent / float((1u << bits) - 1), 1e-6f);
}

TEST_F(ExportTest, EveryFormatGivesBackTheCubeWithinTheQuantisationBound) {
    for (int bits : {24, 11}) {
        SCOPED_TRACE(std::to_string(bits) + " coordinate bits");
        Vq::Importer::Options opt;
        opt.lodCount = 1;
        opt.compressionLevel = Vq::Importer::coordBitsLevel(bits);
        const std::string vq = importVq("cube" + std::to_string(bits) + ".obj", objText(cubeMesh()), opt);
        for (const char* ext : {"glb", "gltf", "obj", "ply", "stl"}) {
            SCOPED_TRACE(ext);
            const std::string out = "cube." + std::string(ext);
            ASSERT_TRUE(exportTo(vq, out)) << Vq::lastErrorMessage();
            EXPECT_EQ(exporter.report().triangles, 12u);
            expectSameTriangles(meshTriangles(cubeMesh()), fileTriangles(dir / out), quantStep(2.0f, bits));
            if (std::string(ext) == "glb" || std::string(ext) == "gltf") expectValidGltf(out);
        }
    }
}

TEST_F(ExportTest, GltfKeepsTheHierarchyAndTheSharedMesh) {
    const std::string vq = importVq("pair.gltf", gltfTwoInstances(cubeMesh()));
    ASSERT_TRUE(exportTo(vq, "pair.glb")) << Vq::lastErrorMessage();
    expectValidGltf("pair.glb");
    Assimp::Importer imp;
    const aiScene* s = imp.ReadFile(dir / "pair.glb", 0);
    ASSERT_TRUE(s) << imp.GetErrorString();
    // One mesh, used by the two nodes that kept their names.
    EXPECT_EQ(s->mNumMeshes, 1u);
    const aiNode* left = s->mRootNode->FindNode("left");
    const aiNode* right = s->mRootNode->FindNode("right");
    ASSERT_TRUE(left && right);
    int uses = 0;
    std::function<void(const aiNode*)> count = [&](const aiNode* n) {
        uses += int(n->mNumMeshes);
        for (unsigned i = 0; i < n->mNumChildren; ++i)
            count(n->mChildren[i]);
    };
    count(s->mRootNode);
    EXPECT_EQ(uses, 2);
    std::vector<Triangle> want = meshTriangles(cubeMesh(), -3, 0, 1),
                          right2 = meshTriangles(cubeMesh(), 3, 1, 2);
    want.insert(want.end(), right2.begin(), right2.end());
    expectSameTriangles(want, fileTriangles(dir / "pair.glb"), 1e-5f);

    // Flattened: a mesh per use in world coordinates, nothing under the root.
    Vq::Exporter::Options flat;
    flat.flatten = true;
    ASSERT_TRUE(exportTo(vq, "flat.glb", flat)) << Vq::lastErrorMessage();
    expectValidGltf("flat.glb");
    Assimp::Importer imp2;
    const aiScene* f = imp2.ReadFile(dir / "flat.glb", 0);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->mNumMeshes, 2u);
    EXPECT_EQ(f->mRootNode->mNumChildren, 0u);
    expectSameTriangles(want, fileTriangles(dir / "flat.glb"), 1e-5f);

    // Formats without nodes get the same world triangles.
    ASSERT_TRUE(exportTo(vq, "pair.stl")) << Vq::lastErrorMessage();
    expectSameTriangles(want, fileTriangles(dir / "pair.stl"), 1e-5f);
}

TEST_F(ExportTest, TheLodIndexChoosesTheLevelAndStopsAtTheCoarsest) {
    Vq::Importer::Options opt;
    opt.lodCount = 3;
    opt.lodRatios = {0.5f, 0.1f};
    opt.lodErrors = {0.5f, 0.5f};
    const std::string vq = importVq("ball.off", offText(sphereMesh(30, 40, 1.0f)), opt);
    std::vector<uint64_t> tris;
    for (int lod : {0, 1, 2, 7}) {
        Vq::Exporter::Options e;
        e.lod = lod;
        ASSERT_TRUE(exportTo(vq, "ball" + std::to_string(lod) + ".glb", e)) << Vq::lastErrorMessage();
        expectValidGltf("ball" + std::to_string(lod) + ".glb");
        tris.push_back(exporter.report().triangles);
    }
    EXPECT_EQ(tris[0], sphereMesh(30, 40, 1.0f).nTris());
    EXPECT_LT(tris[1], tris[0]);
    EXPECT_LT(tris[2], tris[1]);
    EXPECT_EQ(tris[3], tris[2]);
}

TEST_F(ExportTest, PointsColoursAndTextureCoordinatesComeThrough) {
    const std::string pts = importVq("points.ply", plyPoints(colouredPoints(50)));
    ASSERT_TRUE(exportTo(pts, "points.glb")) << Vq::lastErrorMessage();
    expectValidGltf("points.glb");
    EXPECT_EQ(exporter.report().points, 50u);
    Assimp::Importer imp;
    const aiScene* s = imp.ReadFile(dir / "points.glb", 0);
    ASSERT_TRUE(s && s->mNumMeshes == 1);
    const aiMesh& m = *s->mMeshes[0];
    ASSERT_EQ(m.mNumVertices, 50u);
    ASSERT_TRUE(m.HasVertexColors(0));
    for (unsigned v = 0; v < m.mNumVertices; ++v)
        EXPECT_NEAR(m.mColors[0][v].r, m.mVertices[v].z / 3, 2.0 / 255) << v;
    // STL holds triangles alone: points leave nothing to write.
    EXPECT_FALSE(exportTo(pts, "points.stl"));
    EXPECT_NE(Vq::lastErrorMessage().find("no geometry"), std::string::npos) << Vq::lastErrorMessage();
    VqErrorState::clearError();

    Vq::Importer::Options opt;
    opt.lodCount = 1;
    const std::string grid = importVq("grid.obj", objText(gridMesh(3, 2, 1)), opt);
    ASSERT_TRUE(exportTo(grid, "grid.glb")) << Vq::lastErrorMessage();
    expectValidGltf("grid.glb");
    Assimp::Importer imp2;
    const aiScene* g = imp2.ReadFile(dir / "grid.glb", 0);
    ASSERT_TRUE(g && g->mNumMeshes == 1 && g->mMeshes[0]->HasTextureCoords(0));
    const aiMesh& gm = *g->mMeshes[0];
    // glTF flips v against OBJ's convention; assimp flips it back on reading.
    for (unsigned v = 0; v < gm.mNumVertices; ++v) {
        EXPECT_NEAR(gm.mTextureCoords[0][v].x, gm.mVertices[v].x / 2, 1e-3) << v;
        EXPECT_NEAR(gm.mTextureCoords[0][v].y, gm.mVertices[v].y, 1e-3) << v;
    }
}

TEST_F(ExportTest, FailuresNameTheFileAndLeaveTheOldOutput) {
    const std::string vq = importVq("cube.obj", objText(cubeMesh()));
    writeText(dir / "keep.glb", "older file");
    Vq::Exporter::Options opt;
    opt.format = "xyz";
    EXPECT_FALSE(exportTo(vq, "keep.glb", opt));
    EXPECT_NE(Vq::lastErrorMessage().find(dir / "keep.glb"), std::string::npos) << Vq::lastErrorMessage();
    EXPECT_NE(Vq::lastErrorMessage().find("'xyz'"), std::string::npos);
    EXPECT_EQ(readBytes(dir / "keep.glb"), "older file");

    EXPECT_FALSE(exporter.exportFile(dir / "absent.vq", dir / "keep.glb", {}));
    EXPECT_NE(Vq::lastErrorMessage().find("absent.vq"), std::string::npos) << Vq::lastErrorMessage();
    EXPECT_EQ(readBytes(dir / "keep.glb"), "older file");

    // A model without geometry has nothing to write.
    const std::string nothing = importVq("nothing.obj", "# only a comment\no empty\n");
    EXPECT_FALSE(exporter.exportFile(nothing, dir / "keep.glb", {}));
    EXPECT_NE(Vq::lastErrorMessage().find("no geometry"), std::string::npos) << Vq::lastErrorMessage();
    EXPECT_EQ(readBytes(dir / "keep.glb"), "older file");

    EXPECT_FALSE(exporter.exportFile(vq, dir / "no/such/dir/out.glb", {}));
    EXPECT_NE(Vq::lastErrorMessage().find("out.glb"), std::string::npos) << Vq::lastErrorMessage();
    // Nothing staged is left behind.
    for (const std::string& f : dir.files())
        EXPECT_NE(f[0], '.') << f;
    VqErrorState::clearError();
}

} // namespace
