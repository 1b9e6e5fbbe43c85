// Skinned shapes: the base mesh's requirements, the deformation by bones,
// and the implementation's record from 9.6 on.
#include "MeshTestUtil.h"
#include "PoolTestUtil.h"
#include "ShapeTestUtil.h"
#include "VqAuxVertexField.h"
#include "VqPartition.h"
#include "VqSkinnedShape.h"
#include "VqTestObjectStream.h"
#include "VqTestSegment.h"

#include <cstring>
#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<uint8_t>;

// One strip of two triangles over the unit square at z = 0. Records 0 and 1
// follow bone 0 alone; records 2 and 3 bones 0 and 1 by halves (their
// other two slots name bone 7, which does not exist, with weight 0.25 and
// bone -1 with weight 0).
Vq::SharedPtr<VqTopoMesh> skinMesh(bool withSkin = true) {
    Vq::SharedPtr<VqTopoMesh> m = new VqTriStripTopoMesh(VQ_GEOMBIND_VTXCOORD3);
    Records r;
    r.coords = {0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 1, 0};
    EXPECT_TRUE(r.addTo(*m->vtxRecPool(), 4));
    if (withSkin) {
        Vq::SharedPtr<Vq::AuxVertexField> w, i;
        EXPECT_TRUE(Vq::AuxVertexField::s_create(VQ_AUXTYPE_F_V4,
                                                 VqVertexRecordPool::s_AUXFIELD_VQ_SKIN_WEIGHTS, 1, 4, w));
        EXPECT_TRUE(Vq::AuxVertexField::s_create(VQ_AUXTYPE_I32_V4,
                                                 VqVertexRecordPool::s_AUXFIELD_VQ_SKIN_INDICES, 1, 4, i));
        const float weights[16] = {1, 0, 0, 0, 1, 0, 0, 0, 0.5f, 0.5f, 0.25f, 0, 0.5f, 0.5f, 0.25f, 0};
        const int32_t bones[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 7, -1, 0, 1, 7, -1};
        std::memcpy(w->stepData(0), weights, sizeof(weights));
        std::memcpy(i->stepData(0), bones, sizeof(bones));
        WriteLock lock(*m->vtxRecPool());
        EXPECT_TRUE(m->vtxRecPool()->bindAuxField(w.get()) && m->vtxRecPool()->bindAuxField(i.get()))
            << lastError();
    }
    MeshLock lock(*m);
    const uint32_t idx[4] = {0, 1, 2, 3};
    EXPECT_TRUE(m->addPrimitives(0, 1u, 4u, idx)) << lastError();
    return m;
}

VqMatrix4f translation(float x, float y, float z) {
    VqMatrix4f m;
    m[3][0] = x;
    m[3][1] = y;
    m[3][2] = z;
    return m;
}

class SkinnedShapeTest : public VqLibTest {
protected:
    void TearDown() override {
        VqPartition::setVersion(9, 5);
        VqLibTest::TearDown();
    }
    // A shape over the skin mesh with bone 0 at rest and bone 1 raised by 2.
    static Vq::SharedPtr<Vq::SkinnedShape> posed() {
        Vq::SharedPtr<Vq::SkinnedShape> s = new Vq::SkinnedShape();
        EXPECT_TRUE(s->setBaseTopoMesh(skinMesh().get(), VqBox3<float>(VqVec3f(0, 0, 0), VqVec3f(1, 1, 2))))
            << lastError();
        EXPECT_TRUE(s->setNumberBones(2));
        EXPECT_TRUE(s->setBoneMatrices({VqMatrix4f(), translation(0, 0, 2)}));
        return s;
    }
};

TEST_F(SkinnedShapeTest, BonesBlendThePositions) {
    Vq::SharedPtr<Vq::SkinnedShape> s = posed();
    Vq::SharedPtr<VqTopoMesh> d;
    ASSERT_TRUE(s->deformedTopoMesh(d)) << lastError();
    ASSERT_EQ(d->numIndices(), 4u);
    // Records 2 and 3: half at rest, half raised by 2; the slot naming no
    // bone adds nothing (the weights are not renormalised).
    const float* c = d->vtxRecPool()->fields()->vtxCoords();
    const std::vector<float> want = {0, 0, 0, 1, 0, 0, 0, 1, 1, 1, 1, 1};
    EXPECT_EQ(std::vector<float>(c, c + 12), want);
    EXPECT_EQ(d->getBindings() & VQ_GEOMBIND_AUXFIELDS_MASK, 0u);
    EXPECT_EQ(s->deformedBBox().max, (VqVec3f(1, 1, 2)));
    EXPECT_TRUE(s->isPostV95Content());
    // Matrices must match the bone count.
    EXPECT_FALSE(s->setBoneMatrices({VqMatrix4f()}));
}

TEST_F(SkinnedShapeTest, BaseMeshesWithoutSkinOrOfAnotherKindAreRefused) {
    Vq::SharedPtr<Vq::SkinnedShape> s = new Vq::SkinnedShape();
    EXPECT_FALSE(s->setBaseTopoMesh(skinMesh(false).get(), VqBox3<float>()));
    EXPECT_NE(lastError().find("skin weights"), std::string::npos) << lastError();
    Vq::SharedPtr<VqTopoMesh> polys = new VqPolygonTopoMesh(VQ_GEOMBIND_VTXCOORD3);
    EXPECT_FALSE(s->setBaseTopoMesh(polys.get(), VqBox3<float>()));
    EXPECT_FALSE(s->setBaseTopoMesh(nullptr, VqBox3<float>()));
    // Without a base mesh the implementation writes nothing.
    VqTestObjectStream os = VqTestObjectStream::forWriting(10, 0);
    Vq::SharedPtr<Vq::SkinnedShapeImpl> empty = new Vq::SkinnedShapeImpl();
    EXPECT_FALSE(VqTestSegment::writeElement(*os, 10, empty.get()));
    EXPECT_EQ(lastError(), "_pBaseMesh");
}

// The record after the implementation's level: the base mesh's element (its
// own layout has fixtures of its own; here it is as the mesh writes it), then
// the box, the bone count and the matrices row by row.
TEST_F(SkinnedShapeTest, TheImplementationRecordFollowsItsLayout) {
    Vq::SharedPtr<Vq::SkinnedShape> s = posed();
    Vq::SharedPtr<VqShapeImpl> impl = s->impl();
    ASSERT_NE(impl, nullptr);
    struct Format {
        int major, minor;
    };
    for (Format f : {Format{9, 6}, Format{10, 0}}) {
        SCOPED_TRACE(std::to_string(f.major) + "." + std::to_string(f.minor));
        VqTestObjectStream os = VqTestObjectStream::forWriting(f.major, f.minor);
        ASSERT_TRUE(VqTestSegment::writeElement(*os, f.major, impl.get())) << lastError();
        const Bytes got = os.bytes();
        // The mesh element as the mesh writes it, its object ID 1.
        VqTestObjectStream ms = VqTestObjectStream::forWriting(f.major, f.minor);
        int id = -1;
        ASSERT_TRUE(ms->ptr2num(impl.get(), &id)); // the implementation's ID 0 comes first
        ASSERT_TRUE(VqTestSegment::writeElement(*ms, f.major, s->topoMesh())) << lastError();
        const Bytes mesh = ms.bytes();
        Bytes want;
        auto u8 = [&](uint8_t v) { want.push_back(v); };
        auto u32 = [&](uint32_t v) {
            for (int k = 0; k < 4; ++k)
                u8(uint8_t(v >> (8 * k)));
        };
        auto f32 = [&](float v) {
            uint32_t u;
            std::memcpy(&u, &v, 4);
            u32(u);
        };
        const Bytes guid = {0x9D, 0xD8, 0x08, 0xCC, 0x4F, 0x09, 0x5B, 0x49,
                            0xAC, 0x18, 0x82, 0xEF, 0x1C, 0xB5, 0xE7, 0x35};
        const size_t bodyLen = (f.major == 10 ? 2 : 4) + mesh.size() + 24 + 4 + 2 * 64;
        u32(uint32_t(16 + 1 + 4 + bodyLen));
        want.insert(want.end(), guid.begin(), guid.end());
        u8(4);                                    // base type: a shape implementation
        u32(0);                                   // object ID
        for (int level = 0; level < 2; ++level) { // VqShapeImpl's and this level's local versions 1
            u8(1);
            if (f.major == 9) u8(0);
        }
        want.insert(want.end(), mesh.begin(), mesh.end());
        for (float v : {0.f, 0.f, 0.f, 1.f, 1.f, 2.f})
            f32(v);
        u32(2);
        for (int b = 0; b < 2; ++b)
            for (int r = 0; r < 4; ++r)
                for (int c = 0; c < 4; ++c)
                    f32(r == c ? 1.0f : (b == 1 && r == 3 && c == 2) ? 2.0f : 0.0f);
        EXPECT_EQ(got, want);

        VqTestObjectStream in = VqTestObjectStream::forReading(got, f.major, f.minor);
        Vq::SharedPtr<VqBase> obj;
        ASSERT_TRUE(VqTestSegment::readElement(*in, f.major, obj)) << lastError();
        auto* back = Vq::typeCast<Vq::SkinnedShapeImpl>(obj.get());
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(back->numberBones(), 2u);
        EXPECT_EQ(back->boneMatrices()[1][3][2], 2.0f);
        EXPECT_EQ(back->deformedBBox().max, (VqVec3f(1, 1, 2)));
        ASSERT_NE(back->topoMesh(), nullptr);
        EXPECT_EQ(back->topoMesh()->primKind(), VqTopoMesh::VQ_PRIM_TRISTRIP);
        // The skin fields come back with their records: the pose is the same.
        Vq::SharedPtr<VqTopoMesh> d, posedMesh;
        ASSERT_TRUE(back->deformedTopoMesh(d)) << lastError();
        ASSERT_TRUE(s->deformedTopoMesh(posedMesh));
        expectSamePrims(*posedMesh, *d, 0.0f);
    }
    // Before 9.6 there is no layout for it.
    VqTestObjectStream old = VqTestObjectStream::forWriting(9, 5);
    EXPECT_FALSE(VqTestSegment::writeElement(*old, 9, impl.get()));
    EXPECT_NE(lastError().find("9.6"), std::string::npos) << lastError();
}

} // namespace
