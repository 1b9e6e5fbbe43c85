// Editing a pool: the lock and dynamic rules with their refusal texts,
// adding and copying records, transforms, internals.
#include "PoolTestUtil.h"
#include "VqTestObjectStream.h"

namespace {

class PoolEditTest : public VqLibTest {
protected:
    void TearDown() override {
        VqVertexRecordPool::s_bEnforceLocking = true;
        VqLibTest::TearDown();
    }
};

TEST_F(PoolEditTest, EditsNeedTheWriteLockAndAnEditablePool) {
    VqVertexRecordPool pool(VQ_GEOMBIND_VTXCOORD3);
    const float p[3] = {1, 2, 3};
    uint32_t first = 0;
    EXPECT_FALSE(pool.addVtxRecords(1, first, p, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(lastError(), "!s_bEnforceLocking || (isWriteLocked())");
    EXPECT_EQ(pool.numVtxRecords(), 0u);

    VqVertexRecordPool::s_bEnforceLocking = false;
    EXPECT_TRUE(pool.addVtxRecords(1, first, p, nullptr, nullptr, nullptr, nullptr));
    VqVertexRecordPool::s_bEnforceLocking = true;

    ASSERT_TRUE(pool.setDynamic(true));
    {
        WriteLock lock(pool);
        EXPECT_FALSE(pool.addVtxRecords(1, first, p, nullptr, nullptr, nullptr, nullptr));
        EXPECT_EQ(lastError(), "!_bDynamic");
        EXPECT_FALSE(pool.clear());
        EXPECT_EQ(lastError(), "!_bDynamic");
    }
    EXPECT_FALSE(pool.setBindings(VQ_GEOMBIND_VTXCOORD2));
    EXPECT_EQ(lastError(), "!_bDynamic");
    // A dynamic pool keeps its collocation when the tolerance loosens.
    ASSERT_TRUE(pool.setDynamic(false));
    ASSERT_TRUE(pool._ensureCollocated(false));
    ASSERT_TRUE(pool.setDynamic(true));
    ASSERT_TRUE(pool.setCollocateTol(1e-3f, 0.1f));
    EXPECT_TRUE(pool.isCollocated());
    ASSERT_TRUE(pool.setDynamic(false));
    ASSERT_TRUE(pool.setCollocateTol(1e-2f, 0.1f));
    EXPECT_FALSE(pool.isCollocated());
    EXPECT_EQ(pool.numVtxRecords(), 1u);
}

TEST_F(PoolEditTest, BindingChangesRefuseAReadLockAndTakeTheWriteLock) {
    VqVertexRecordPool pool(VQ_GEOMBIND_VTXCOORD3);
    ASSERT_TRUE(pool.lockRead(true));
    EXPECT_FALSE(pool.setBindings(VQ_GEOMBIND_VTXCOORD2));
    EXPECT_EQ(lastError(), "!isReadLocked()");
    EXPECT_FALSE(pool._ensureCollocated(false));
    EXPECT_EQ(lastError(), "!isReadLocked()");
    ASSERT_TRUE(pool.lockRead(false));

    EXPECT_FALSE(pool.setBindings(0x30 | VQ_GEOMBIND_VTXCOORD3));
    EXPECT_EQ(lastError(), "bResults == true");
    EXPECT_EQ(pool.getBindings(), VQ_GEOMBIND_VTXCOORD3);
    EXPECT_EQ(pool.numWriteLocks(), 0);
}

TEST_F(PoolEditTest, ANullArrayForABoundAttributeAddsNothing) {
    const uint64_t all = VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_NORMVEC3 | VQ_GEOMBIND_VTXCOLOR3 |
                         VQ_GEOMBIND_VTXFLAG_MASK | vqTexCoordBinding(5, 2);
    VqVertexRecordPool pool(all);
    WriteLock lock(pool);
    const float v[3] = {0, 0, 1};
    const unsigned char flag = 1;
    const float* tex[8] = {};
    const float* tex5[8] = {nullptr, nullptr, nullptr, nullptr, nullptr, v};
    uint32_t first = 99;
    const struct {
        const float *coords, *normals, *colors;
        const float* const* tex;
        const unsigned char* flags;
        const char* text;
    } cases[] = {
        {nullptr, v, v, tex5, &flag,
         "((eBindings&VQ_GEOMBIND_VTXCOORD_MASK))&&(paVtxCoords) || "
         "!((eBindings&VQ_GEOMBIND_VTXCOORD_MASK))"},
        {v, nullptr, v, tex5, &flag,
         "((eBindings&VQ_GEOMBIND_NORMVEC_MASK))&&(paNormVecs) || !((eBindings&VQ_GEOMBIND_NORMVEC_MASK))"},
        {v, v, nullptr, tex5, &flag,
         "((eBindings&VQ_GEOMBIND_VTXCOLOR_MASK))&&(paVtxColors) || "
         "!((eBindings&VQ_GEOMBIND_VTXCOLOR_MASK))"},
        {v, v, v, tex5, nullptr,
         "((eBindings&VQ_GEOMBIND_VTXFLAG_MASK))&&(paVtxFlags) || !((eBindings&VQ_GEOMBIND_VTXFLAG_MASK))"},
        {v, v, v, tex, &flag,
         "((eBindings&VQ_GEOMBIND_TEXCOORD_C5_MASK))&&(paTexCoords[5]) || "
         "!((eBindings&VQ_GEOMBIND_TEXCOORD_C5_MASK))"},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(pool.addVtxRecords(1, first, c.coords, c.normals, c.colors, c.tex, c.flags));
        EXPECT_EQ(lastError(), c.text);
        EXPECT_EQ(pool.numVtxRecords(), 0u);
    }
    EXPECT_TRUE(pool.addVtxRecords(1, first, v, v, v, tex5, &flag));
    EXPECT_EQ(first, 0u);
}

TEST_F(PoolEditTest, RecordsComeFromEveryFormOfTheirData) {
    VqVertexRecordPool pool(VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_VTXFLAG_MASK | vqTexCoordBinding(1, 2));
    WriteLock lock(pool);
    const double dc[6] = {1, 2, 3, 4, 5, 6};
    const double dt[4] = {0.5, 0.25, 1, 2};
    const double* dtex[8] = {nullptr, dt};
    const unsigned char packed = 0x2; // record 0 clear, record 1 set
    uint32_t first = 0;
    ASSERT_TRUE(pool.addVtxRecords(2, first, dc, nullptr, nullptr, dtex, &packed, true)) << lastError();
    const float fc[6] = {7, 8, 9, 10, 11, 12};
    const float ft[4] = {3, 4, 5, 6};
    const float* ftex[8] = {nullptr, ft};
    const unsigned char bytes[2] = {0, 9};
    const uint32_t pick[3] = {1, 0, 1};
    ASSERT_TRUE(pool.addVtxRecords(3, pick, first, fc, nullptr, nullptr, ftex, bytes)) << lastError();
    EXPECT_EQ(first, 2u);
    float c[3], t[2];
    bool flag = false;
    float* tp[8] = {nullptr, t};
    ASSERT_TRUE(pool.getVtxRecord(1, c, nullptr, nullptr, tp, &flag));
    EXPECT_EQ(std::vector<float>(c, c + 3), (std::vector<float>{4, 5, 6}));
    EXPECT_EQ(std::vector<float>(t, t + 2), (std::vector<float>{1, 2}));
    EXPECT_TRUE(flag);
    ASSERT_TRUE(pool.getVtxRecord(2, c, nullptr, nullptr, tp, &flag));
    EXPECT_EQ(std::vector<float>(c, c + 3), (std::vector<float>{10, 11, 12}));
    EXPECT_TRUE(flag);
    ASSERT_TRUE(pool.getVtxRecord(3, c, nullptr, nullptr, tp, &flag));
    EXPECT_FALSE(flag);
    EXPECT_FALSE(pool.getVtxRecord(5, c, nullptr, nullptr, tp, &flag));
    EXPECT_EQ(lastError(), "index < numVtxRecords()");

    // Another pool's records, transformed on the way in.
    VqVertexRecordPool copy(pool.getBindings());
    VqMatrix4f shift;
    shift.m[3][0] = 100;
    uint32_t at = 0;
    WriteLock lock2(copy);
    ASSERT_TRUE(copy.addVtxRecords(pool, pick, 2, &shift, at));
    ASSERT_TRUE(copy.getVtxRecord(0, c, nullptr, nullptr, tp, &flag));
    EXPECT_EQ(std::vector<float>(c, c + 3), (std::vector<float>{104, 5, 6}));
    EXPECT_TRUE(copy.merge(pool, false));
    EXPECT_EQ(copy.numVtxRecords(), 7u);
    VqVertexRecordPool other(VQ_GEOMBIND_VTXCOORD2);
    EXPECT_FALSE(copy.merge(other, false));
}

TEST_F(PoolEditTest, AvailableTextureSlot) {
    uint32_t slot = 0;
    VqVertexRecordPool two(VQ_GEOMBIND_VTXCOORD3 | vqTexCoordBinding(0, 2) | vqTexCoordBinding(1, 3));
    ASSERT_TRUE(two._getAvailTexCoordSlot(slot));
    EXPECT_EQ(slot, 2u);
    uint64_t mask = VQ_GEOMBIND_VTXCOORD3;
    for (int k = 0; k < 8; ++k)
        mask |= vqTexCoordBinding(k, 1);
    VqVertexRecordPool full(mask);
    ASSERT_TRUE(full._getAvailTexCoordSlot(slot));
    EXPECT_EQ(slot, 0xFFFFFFFFu);
}

TEST_F(PoolEditTest, TransformTurnsNormalsByTheInverseTranspose) {
    VqVertexRecordPool pool(VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_NORMVEC3);
    Records r;
    const float s = 1 / std::sqrt(2.0f);
    r.coords = {1, 1, 0};
    r.normals = {s, s, 0};
    ASSERT_TRUE(r.addTo(pool, 1));
    VqMatrix4d m; // x scaled by 2, then moved by (0, 0, 5)
    m.m[0][0] = 2;
    m.m[3][2] = 5;
    {
        WriteLock lock(pool);
        ASSERT_TRUE(pool.transform(m)) << lastError();
    }
    float c[3], n[3];
    ASSERT_TRUE(pool.getVtxRecord(0, c, n, nullptr, nullptr, nullptr));
    EXPECT_EQ(std::vector<float>(c, c + 3), (std::vector<float>{2, 1, 5}));
    // The surface x + y = 2 became x/2 + y = 2: its normal is (1, 2, 0)/sqrt 5.
    EXPECT_NEAR(n[0], 1 / std::sqrt(5.0f), 1e-6);
    EXPECT_NEAR(n[1], 2 / std::sqrt(5.0f), 1e-6);
    EXPECT_EQ(pool.bbox(), VqBox3<float>(VqVec3f(2, 1, 5), VqVec3f(2, 1, 5)));
    VqMatrix4f flat;
    flat.m[2][2] = 0;
    WriteLock lock(pool);
    EXPECT_FALSE(pool.transform(flat));
    EXPECT_EQ(lastError(), "m.invert(inv)");
}

TEST_F(PoolEditTest, WritableInternalsDropWhatWasDerived) {
    VqVertexRecordPool pool(VQ_GEOMBIND_VTXCOORD2);
    Records r;
    r.coords = {0, 0, 0, 0};
    ASSERT_TRUE(r.addTo(pool, 2));
    ASSERT_TRUE(pool._ensureCollocated(false));
    EXPECT_EQ(pool.numVtxRecords(), 1u);
    VqBaseVertexRecordPoolInternals view;
    ASSERT_TRUE(pool.acquireInternals(view, false));
    EXPECT_EQ(view.nVtxRecs, 1u);
    EXPECT_EQ(view.nCoordComps, 2);
    EXPECT_EQ(view.pfNormals, nullptr);
    EXPECT_TRUE(pool.isReadLocked());
    ASSERT_TRUE(pool.releaseInternals(view));
    EXPECT_TRUE(pool.isCollocated());

    ASSERT_TRUE(pool.acquireInternals(view, true));
    EXPECT_TRUE(pool.isWriteLocked());
    view.pfCoords[0] = 5;
    ASSERT_TRUE(pool.releaseInternals(view));
    EXPECT_FALSE(pool.isWriteLocked());
    EXPECT_FALSE(pool.isCollocated());
    EXPECT_EQ(pool.bbox().max[0], 5.0f);
}

// Swapped coordinates must be the whole array: anything else is refused
// with both arrays as they were. Taken, they drop what was derived as a
// write through the internals does.
TEST_F(PoolEditTest, SwappedCoordinatesAreWholeAndDropWhatWasDerived) {
    VqVertexRecordPool pool(VQ_GEOMBIND_VTXCOORD2);
    Records r;
    r.coords = {0, 0, 1, 1};
    ASSERT_TRUE(r.addTo(pool, 2));
    ASSERT_TRUE(pool._ensureCollocated(false));
    ASSERT_EQ(pool.bbox().max[0], 1.0f);

    VqVecf coords = {7, 8, 9};
    EXPECT_FALSE(pool._swapVtxCoords(coords));
    EXPECT_EQ(lastError(), "coords.size() == size_t(_nRecs) * size_t(_nCoordComps)");
    EXPECT_EQ(coords, VqVecf({7, 8, 9}));
    EXPECT_EQ(pool.fields()->vtxCoords()[2], 1.0f);
    EXPECT_TRUE(pool.isCollocated());
    EXPECT_FALSE(pool.isWriteLocked());

    coords = {5, 0, 2, 2};
    ASSERT_TRUE(pool._swapVtxCoords(coords));
    EXPECT_EQ(coords, VqVecf({0, 0, 1, 1}));
    EXPECT_FALSE(pool.isWriteLocked());
    EXPECT_FALSE(pool.isCollocated());
    EXPECT_EQ(pool.bbox().max[0], 5.0f);
}

TEST_F(PoolEditTest, RawFormRoundTripsEveryAttribute) {
    VqVertexRecordPool pool(VQ_GEOMBIND_VTXCOORD4 | VQ_GEOMBIND_VTXCOLOR4 | VQ_GEOMBIND_VTXFLAG_MASK |
                            vqTexCoordBinding(2, 3));
    Records r;
    r.coords = {1, 2, 3, 1, NAN, -0.0f, 7, 2};
    r.colors = {0.1f, 0.2f, 0.3f, 0.4f, 1, 1, 1, 1};
    r.tex[2] = {1, 2, 3, 4, 5, 6};
    r.flags = {0, 1};
    ASSERT_TRUE(r.addTo(pool, 2));
    Vq::SharedPtr<Vq::AuxVertexField> f;
    ASSERT_TRUE(Vq::AuxVertexField::s_create(VQ_AUXTYPE_I16_V2,
                                             VqVertexRecordPool::s_AUXFIELD_VQ_SKIN_WEIGHTS, 2, 2, f));
    for (int i = 0; i < 8; ++i)
        f->stepData(1)[i] = uint8_t(i * 31);
    {
        WriteLock lock(pool);
        ASSERT_TRUE(pool.bindAuxField(f.get()));
    }
    {
        // Writers use the host's order, which the reader is told.
        const VqByteOrder order = VqBaseDataStream::s_systemByteOrder();
        VqTestObjectStream out = VqTestObjectStream::forWriting(9, 5);
        ASSERT_TRUE(pool._writeRaw(*out)) << lastError();
        VqTestObjectStream in = VqTestObjectStream::forReading(out.bytes(), 9, 5, order);
        VqVertexRecordPool back;
        WriteLock lock(back);
        ASSERT_TRUE(back._readRaw(*in)) << lastError();
        EXPECT_EQ(back.getBindings(), pool.getBindings());
        EXPECT_EQ(std::memcmp(back.fields()->vtxCoords(), pool.fields()->vtxCoords(), 8 * 4), 0);
        EXPECT_EQ(std::memcmp(back.fields()->colors(), pool.fields()->colors(), 8 * 4), 0);
        EXPECT_EQ(std::memcmp(back.fields()->texCoords(2), pool.fields()->texCoords(2), 6 * 4), 0);
        EXPECT_TRUE(back.fields()->vtxFlags() == pool.fields()->vtxFlags());
        ASSERT_NE(back.auxField(f->guid()), nullptr);
        EXPECT_EQ(std::memcmp(back.auxField(f->guid())->stepData(1), f->stepData(1), 8), 0);

        // Cut short anywhere, the dump is refused and the pool keeps its records.
        const std::vector<uint8_t> bytes = out.bytes();
        for (size_t cut : {size_t(4), size_t(12), bytes.size() / 2, bytes.size() - 1}) {
            VqTestObjectStream part = VqTestObjectStream::forReading(
                std::vector<uint8_t>(bytes.begin(), bytes.begin() + cut), 9, 5, order);
            EXPECT_FALSE(back._readRaw(*part)) << cut;
            EXPECT_EQ(back.numVtxRecords(), 2u);
        }
    }
}

} // namespace
