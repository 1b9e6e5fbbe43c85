// The record-fields classes: binding masks, re-laying arrays, auxiliary
// field types and steps.
#include "PoolTestUtil.h"
#include "VqAuxDefVertexRecordFields.h"
#include "VqMinVertexRecordFields.h"

namespace {

class FieldsTest : public VqLibTest {};

TEST_F(FieldsTest, BindingsGiveComponentCounts) {
    Vq::DefVertexRecordFields f;
    Vq::BaseChange change = 0;
    const uint64_t mask = VQ_GEOMBIND_VTXCOORD4 | VQ_GEOMBIND_NORMVEC3 | VQ_GEOMBIND_VTXCOLOR4 |
                          VQ_GEOMBIND_VTXFLAG_MASK | vqTexCoordBinding(0, 1) | vqTexCoordBinding(3, 2) |
                          vqTexCoordBinding(7, 4);
    ASSERT_TRUE(f.setBindings(mask, change)) << lastError();
    EXPECT_EQ(f.numVtxCoordComps(), 4);
    EXPECT_EQ(f.numNormalComps(), 3);
    EXPECT_EQ(f.numColorComps(), 4);
    EXPECT_EQ(f.numTexCoordComps(0), 1);
    EXPECT_EQ(f.numTexCoordComps(3), 2);
    EXPECT_EQ(f.numTexCoordComps(7), 4);
    EXPECT_EQ(f.numTexCoordComps(1), 0);
    EXPECT_TRUE(f.hasVtxFlags());
    EXPECT_EQ(f.coreVtxRecSize(), sizeof(float) * (4 + 3 + 4 + 1 + 2 + 4));
    EXPECT_EQ(VQ_GEOMBIND_TEXCOORD2_C0, 0x200u);
    EXPECT_EQ(VQ_GEOMBIND_TEXCOORD4_C7, 0x8000000000ull);
}

TEST_F(FieldsTest, InvalidMasksAreRefusedAndChangeNothing) {
    Vq::DefVertexRecordFields f;
    Vq::BaseChange change = 0;
    ASSERT_TRUE(f.setBindings(VQ_GEOMBIND_VTXCOORD3, change));
    const struct {
        uint64_t mask;
        const char* text;
    } cases[] = {
        {0, "Incorrect vertex coord bindings specified"},
        {0x3, "Incorrect vertex coord bindings specified"},
        {VQ_GEOMBIND_VTXCOORD3 | 0x30, "Incorrect vertex color bindings specified"},
        {VQ_GEOMBIND_VTXCOORD3 | 0x300, "Incorrect tex coord bindings specified"},
        {VQ_GEOMBIND_VTXCOORD3 | (uint64_t(0x5) << 36), "Incorrect tex coord bindings specified"},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(f.setBindings(c.mask, change)) << std::hex << c.mask;
        EXPECT_EQ(lastError(), c.text);
        EXPECT_EQ(f.bindings(), VQ_GEOMBIND_VTXCOORD3);
    }
}

TEST_F(FieldsTest, GrowingKeepsDataAndShrinkingReportsLoss) {
    VqVertexRecordPool pool(VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_VTXCOLOR3);
    FakeMesh mesh(&pool, {0, 1});
    Records r;
    r.coords = {1, 2, 3, 4, 6, 8};
    r.colors = {0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f};
    ASSERT_TRUE(r.addTo(pool, 2));

    // 3 -> 4 components: w and alpha come in as 1; nothing lost, change 4.
    ASSERT_TRUE(pool.setBindings(VQ_GEOMBIND_VTXCOORD4 | VQ_GEOMBIND_VTXCOLOR4)) << lastError();
    EXPECT_EQ(mesh.changes.back(), 4);
    const float* c = pool.fields()->vtxCoords();
    EXPECT_EQ(std::vector<float>(c, c + 8), (std::vector<float>{1, 2, 3, 1, 4, 6, 8, 1}));
    const float* col = pool.fields()->colors();
    EXPECT_EQ(col[3], 1.0f);
    EXPECT_EQ(col[4], 0.4f);

    // A w of 2 is divided out when coordinates lose it; the lost colour
    // component makes the change 8.
    {
        WriteLock lock(pool);
        const float p[4] = {2, 4, 6, 2};
        ASSERT_TRUE(pool.setVtxRecord(1, p, nullptr, nullptr, nullptr, nullptr));
    }
    ASSERT_TRUE(pool.setBindings(VQ_GEOMBIND_VTXCOORD2 | VQ_GEOMBIND_VTXCOLOR3)) << lastError();
    EXPECT_EQ(mesh.changes.back(), 8);
    EXPECT_EQ(std::vector<float>(pool.fields()->vtxCoords(), pool.fields()->vtxCoords() + 4),
              (std::vector<float>{1, 2, 1, 2}));
}

TEST_F(FieldsTest, MinimalFieldsAcceptAnyMaskAndHoldNothing) {
    Vq::MinVertexRecordFields f;
    Vq::BaseChange change = 77;
    EXPECT_TRUE(f.setBindings(0x30, change));
    EXPECT_EQ(change, Vq::BaseChangeNone);
    EXPECT_EQ(f.bindings(), 0u);
    EXPECT_TRUE(f.resize(5));
    EXPECT_EQ(f.numRecords(), 5u);
    EXPECT_EQ(f.coreVtxRecSize(), 0u);
}

TEST_F(FieldsTest, AuxTypesHaveTheirShapes) {
    using F = Vq::AuxVertexField;
    const struct {
        VqAuxType type;
        int comps, width;
    } cases[] = {{VQ_AUXTYPE_U8_V1, 1, 1},  {VQ_AUXTYPE_I8_V4, 4, 1},  {VQ_AUXTYPE_U16_V3, 3, 2},
                 {VQ_AUXTYPE_I32_V2, 2, 4}, {VQ_AUXTYPE_U64_V1, 1, 8}, {VQ_AUXTYPE_I64_V4, 4, 8},
                 {VQ_AUXTYPE_F_V4, 4, 4},   {VQ_AUXTYPE_F_V6, 6, 4},   {VQ_AUXTYPE_F_M2, 4, 4},
                 {VQ_AUXTYPE_F_M3, 9, 4},   {VQ_AUXTYPE_F_M4, 16, 4},  {VQ_AUXTYPE_D_V1, 1, 8},
                 {VQ_AUXTYPE_D_V6, 6, 8},   {VQ_AUXTYPE_D_M2, 4, 8},   {VQ_AUXTYPE_D_M4, 16, 8}};
    for (const auto& c : cases) {
        EXPECT_EQ(F::s_numComponents(c.type), c.comps) << c.type;
        EXPECT_EQ(F::s_elementSize(c.type), c.width) << c.type;
    }
    EXPECT_EQ(F::s_recordSize(VQ_AUXTYPE_F_M4), 64);
    EXPECT_EQ(F::s_recordSize(VQ_AUXTYPE_D_M4), 128);
    EXPECT_EQ(VQ_AUXTYPE_U64_V1, 25);
    EXPECT_EQ(VQ_AUXTYPE_I64_V4, 32);
    EXPECT_EQ(VQ_AUXTYPE_D_M4, 48);
    EXPECT_TRUE(F::s_isSigned(VQ_AUXTYPE_I16_V1));
    EXPECT_FALSE(F::s_isSigned(VQ_AUXTYPE_U32_V4));
    EXPECT_FALSE(F::s_isQuantizable(VQ_AUXTYPE_U64_V1));
    EXPECT_FALSE(F::s_isQuantizable(VQ_AUXTYPE_I64_V4));
    EXPECT_TRUE(F::s_isQuantizable(VQ_AUXTYPE_I32_V4));
    EXPECT_TRUE(F::s_isQuantizable(VQ_AUXTYPE_F_V1));

    Vq::SharedPtr<F> f;
    EXPECT_FALSE(F::s_create(VQ_AUXTYPE_LAST, VqGUID(), 1, 1, f));
    EXPECT_EQ(lastError(), "_eType < VQ_AUXTYPE_LAST");
}

TEST_F(FieldsTest, StepsAreSuppressedAndOnlyAFreeFieldGetsThemBack) {
    VqVertexRecordPool pool(VQ_GEOMBIND_VTXCOORD3);
    Records r;
    r.coords = {0, 0, 0, 1, 1, 1};
    ASSERT_TRUE(r.addTo(pool, 2));
    Vq::SharedPtr<Vq::AuxVertexField> f;
    ASSERT_TRUE(
        Vq::AuxVertexField::s_create(VQ_AUXTYPE_F_V3, VqVertexRecordPool::s_AUXFIELD_VQ_TANVECS, 3, 2, f));
    EXPECT_TRUE(f->suppressStep(1));
    EXPECT_EQ(f->stepData(1), nullptr);
    EXPECT_EQ(f->numActiveSteps(), 2u);
    EXPECT_FALSE(f->suppressStep(3));
    EXPECT_EQ(lastError(), "iStep < _vbStepSuppressed.size()");
    EXPECT_TRUE(f->activateStep(1));
    EXPECT_TRUE(f->suppressStep(1));

    {
        WriteLock lock(pool);
        ASSERT_TRUE(pool.bindAuxField(f.get())) << lastError();
    }
    EXPECT_TRUE(pool.getBindings() & VQ_GEOMBIND_AUXFIELDS_MASK);
    EXPECT_FALSE(f->activateStep(1));
    EXPECT_EQ(lastError(), "!_bIsBound");
    // The pool keeps the field's records in step with its own.
    {
        WriteLock lock(pool);
        uint32_t i = 0;
        ASSERT_TRUE(pool.newVtxRecord(i));
        EXPECT_EQ(f->numRecords(), 3u);
        EXPECT_TRUE(pool.unbindAuxField(f->guid()));
    }
    EXPECT_FALSE(pool.getBindings() & VQ_GEOMBIND_AUXFIELDS_MASK);
    EXPECT_TRUE(f->activateStep(1));
}

TEST_F(FieldsTest, VisualizationsNeedADrawableBoundField) {
    VqVertexRecordPool pool(VQ_GEOMBIND_VTXCOORD3);
    Records r;
    r.coords = {0, 0, 0};
    ASSERT_TRUE(r.addTo(pool, 1));
    Vq::SharedPtr<Vq::AuxVertexField> ids, disp;
    const VqGUID g1(1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1), g2(2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2);
    ASSERT_TRUE(Vq::AuxVertexField::s_create(VQ_AUXTYPE_U64_V1, g1, 1, 1, ids));
    ASSERT_TRUE(Vq::AuxVertexField::s_create(VQ_AUXTYPE_D_V3, g2, 2, 1, disp));
    {
        WriteLock lock(pool);
        ASSERT_TRUE(pool.bindAuxField(ids.get()) && pool.bindAuxField(disp.get()));
    }
    EXPECT_FALSE(pool.addFieldVisualization(0, g1, 0));
    EXPECT_EQ(lastError(),
              "_eType < VQ_AUXTYPE_LAST && (_eType < VQ_AUXTYPE_U64_V1 || _eType > VQ_AUXTYPE_I64_V4)");
    EXPECT_FALSE(pool.addFieldVisualization(2, g2, 2));
    EXPECT_EQ(lastError(), "iStep < _vbStepSuppressed.size()");
    EXPECT_TRUE(pool.addFieldVisualization(2, g2, 1));

    // Displacement: position plus scale times the field's vector.
    const double d[3] = {1.0, -2.0, 0.5};
    std::memcpy(disp->stepData(1), d, sizeof d);
    VqVecf out;
    ASSERT_TRUE(pool._computeDeformVtxCoords(g2, 1, 0, 2.0f, out)) << lastError();
    EXPECT_EQ(out, (VqVecf{2.0f, -4.0f, 1.0f}));
    EXPECT_FALSE(pool._computeDeformVtxCoords(g2, 1, 1, 2.0f, out));
}

} // namespace
