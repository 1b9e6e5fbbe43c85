// The life of shape implementations: built in code, installed, stored in
// segments by level of detail, loaded, unloaded and loaded again through a
// partition's file; a damaged segment fails its own shape only.
#include "MeshTestUtil.h"
#include "ShapeTestUtil.h"
#include "VqFSStorageLocation.h"
#include "VqLOD.h"
#include "VqModelContext.h"
#include "VqNullShape.h"
#include "VqNullShapeImpl.h"
#include "VqPartition.h"
#include "VqPointSet.h"
#include "VqPolygonSet.h"
#include "VqPolylineSet.h"
#include "VqResidencyRequestManager.h"
#include "VqShapeRequestEntry.h"
#include "VqStringPropAtom.h"
#include "VqTOCStreamMgr.h"
#include "VqTempDir.h"
#include "VqTriStripSet.h"
#include "VqVertexShapeImpl.h"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>

namespace {

struct Version {
    int major, minor;
};

using Iter3 = VqShapeDataArrayIter<float, 3>;

// The quads of an nx by ny grid over [0, nx] x [0, ny] at height z, as
// primitives of the shape (triangle pairs for strips, quads for polygons).
bool addGrid(VqVertexShape& s, int nx, int ny, float z, bool quads, int nGroups = 2) {
    for (int y = 0; y < ny; ++y)
        for (int x = 0; x < nx; ++x) {
            const float fx = float(x), fy = float(y);
            const std::vector<float> q = {fx, fy, z, fx + 1, fy, z, fx + 1, fy + 1, z, fx, fy + 1, z};
            const std::vector<float> n = {0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1};
            if (quads) {
                Iter3 c(q), nn(n);
                if (!s.addPrim(&c, &nn, nullptr, nullptr, x % nGroups)) return false;
                continue;
            }
            // Two strips of one triangle each.
            Iter3 a(std::vector<float>(q.begin(), q.begin() + 9));
            Iter3 b(std::vector<float>({q[0], q[1], q[2], q[6], q[7], q[8], q[9], q[10], q[11]}));
            if (!s.addPrim(&a, nullptr, nullptr, nullptr, 0) || !s.addPrim(&b, nullptr, nullptr, nullptr, 0))
                return false;
        }
    return true;
}

bool addLines(VqVertexShape& s) {
    for (int k = 0; k < 3; ++k) {
        std::vector<float> p;
        for (int i = 0; i < 5; ++i)
            p.insert(p.end(), {float(i), float(k), float(i * k) * 0.5f});
        Iter3 c(p);
        if (!s.addPrim(&c, nullptr, nullptr, nullptr, 0)) return false;
    }
    return true;
}

bool addPoints(VqVertexShape& s) {
    std::vector<float> p, col;
    for (int i = 0; i < 20; ++i) {
        p.insert(p.end(), {float(i % 5), float(i / 5), 0.25f * float(i)});
        col.insert(col.end(), {float(i) / 20, 0.5f, 1.0f});
    }
    Iter3 c(p), cc(col);
    return s.addPrim(&c, nullptr, nullptr, &cc, 0);
}

VqLateLoadedPropAtom* llValue(const VqNode* n) {
    Vq::SharedPtr<VqPropAtom> v = n->propValue(vqLLPropShapeImpl);
    return Vq::typeCast<VqLateLoadedPropAtom>(v.get());
}

class ShapeLifeTest : public VqLibTest {
protected:
    void TearDown() override {
        VqPartition::setVersion(9, 5);
        VqLibTest::TearDown();
    }

    // A partition holding an LOD node with twelve levels: a strip set at
    // level 0, a polygon set at 1, a polyline set at 2, a point set at 3,
    // null shapes between, and a polygon set at level 11; and a polygon set
    // directly under the partition. The quads fall into two face groups
    // unless the file cannot hold more than one (formats before 9).
    static Vq::SharedPtr<VqPartition> build(int nGroups = 2) {
        Vq::SharedPtr<VqPartition> root = new VqPartition();
        Vq::SharedPtr<VqLOD> lod = new VqLOD();
        EXPECT_TRUE(root->appendChild(lod.get()));
        Vq::SharedPtr<VqTriStripSet> strips = new VqTriStripSet(VQ_GEOMBIND_VTXCOORD3);
        Vq::SharedPtr<VqPolygonSet> quads = new VqPolygonSet(VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_NORMVEC3);
        Vq::SharedPtr<VqPolylineSet> lines = new VqPolylineSet(VQ_GEOMBIND_VTXCOORD3);
        Vq::SharedPtr<VqPointSet> points = new VqPointSet(VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_VTXCOLOR3);
        EXPECT_TRUE(lod->appendChild(strips.get()) && lod->appendChild(quads.get()) &&
                    lod->appendChild(lines.get()) && lod->appendChild(points.get()));
        for (int i = 4; i < 11; ++i) {
            Vq::SharedPtr<VqNullShape> empty = new VqNullShape();
            EXPECT_TRUE(lod->appendChild(empty.get()));
        }
        Vq::SharedPtr<VqPolygonSet> deep = new VqPolygonSet(VQ_GEOMBIND_VTXCOORD3);
        EXPECT_TRUE(lod->appendChild(deep.get()));
        Vq::SharedPtr<VqPolygonSet> top = new VqPolygonSet(VQ_GEOMBIND_VTXCOORD3);
        EXPECT_TRUE(root->appendChild(top.get()));
        EXPECT_TRUE(addGrid(*strips, 4, 3, 0.0f, false)) << lastError();
        EXPECT_TRUE(addGrid(*quads, 3, 2, 1.0f, true, nGroups)) << lastError();
        EXPECT_TRUE(addLines(*lines)) << lastError();
        EXPECT_TRUE(addPoints(*points)) << lastError();
        EXPECT_TRUE(addGrid(*deep, 1, 1, 2.0f, true, nGroups)) << lastError();
        EXPECT_TRUE(addGrid(*top, 2, 2, -1.0f, true, nGroups)) << lastError();
        for (int i = 4; i < 11; ++i) {
            auto* empty = Vq::typeCast<VqNullShape>(lod->child(i));
            Vq::SharedPtr<VqNullShapeImpl> impl =
                new VqNullShapeImpl(VqBox3<float>(VqVec3f(0, 0, 0), VqVec3f(1, 1, float(i))));
            EXPECT_TRUE(empty->setImpl(impl.get())) << lastError();
        }
        return root;
    }

    static std::vector<VqShape*> shapes(VqNode* root) {
        std::vector<VqShape*> out;
        VqNode::walkOnce(root, [&](VqNode* n) {
            if (auto* s = Vq::typeCast<VqShape>(n)) out.push_back(s);
            return VqNode::Walk::Descend;
        });
        return out;
    }
};

TEST_F(ShapeLifeTest, ImplementationsGoToTheSegmentTypeOfTheirLevel) {
    Vq::SharedPtr<VqPartition> root = build();
    auto* lod = root->child(0);
    EXPECT_EQ(Vq::typeCast<VqShape>(lod->child(0))->_determineSegType(), 7);
    EXPECT_EQ(Vq::typeCast<VqShape>(lod->child(3))->_determineSegType(), 10);
    EXPECT_EQ(Vq::typeCast<VqShape>(lod->child(11))->_determineSegType(), 16); // the twelfth child
    EXPECT_EQ(Vq::typeCast<VqShape>(root->child(1))->_determineSegType(), 6);
    // Outside any LOD or partition node, and below a plain group under the LOD.
    Vq::SharedPtr<VqPointSet> alone = new VqPointSet(VQ_GEOMBIND_VTXCOORD3);
    EXPECT_EQ(alone->_determineSegType(), 6);
    Vq::SharedPtr<VqGroup> g = new VqGroup();
    ASSERT_TRUE(lod->insertChild(0, g.get()) && g->appendChild(alone.get()));
    EXPECT_EQ(alone->_determineSegType(), 7);

    // The file's table of contents says so too.
    VqTempDir dir;
    ASSERT_TRUE(VqPartition::setVersion(10, 0));
    ASSERT_TRUE(lod->removeChild(g.get()));
    ASSERT_TRUE(root->saveAs(VqString::fromUtf8(dir.path() + "/"), VqString::fromUtf8("lod.vq")))
        << lastError();
    const auto* mgr = Vq::typeCast<VqTOCStreamMgr>(root->streamMgr());
    ASSERT_NE(mgr, nullptr);
    const VqTOC toc = mgr->toc();
    auto typeOf = [&](const VqNode* n) {
        const VqTOCElem* e = toc.find(llValue(n)->guid());
        return e ? e->segType() : -1;
    };
    EXPECT_EQ(typeOf(lod->child(0)), 7);
    EXPECT_EQ(typeOf(lod->child(2)), 9);
    EXPECT_EQ(typeOf(lod->child(11)), 16);
    EXPECT_EQ(typeOf(root->child(1)), 6);
}

TEST_F(ShapeLifeTest, ShapesBuiltInMemoryKeepTheirImplementation) {
    Vq::SharedPtr<VqPolygonSet> s = new VqPolygonSet(VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_NORMVEC3);
    EXPECT_FALSE(s->isImplLoaded());
    EXPECT_EQ(s->implSize(), 0u);
    ASSERT_TRUE(addGrid(*s, 2, 1, 0.0f, true)) << lastError();
    ASSERT_TRUE(s->isImplLoaded());
    EXPECT_FALSE(s->isImplPersistent());
    EXPECT_EQ(s->numPrims(), 2u);
    EXPECT_FALSE(s->setImplPersistent(2));
    EXPECT_EQ(lastError(), "bPersistent >= -1 && bPersistent <= 1");
    // Nothing is stored: the unload forgets nothing and succeeds.
    ASSERT_TRUE(s->unloadImpl());
    ASSERT_TRUE(s->isImplLoaded());
    EXPECT_EQ(s->numPrims(), 2u);
    // The node answers from the implementation; a change of the geometry
    // drops what it computed.
    EXPECT_EQ(s->bBoxRaw().max, (VqVec3f(2, 1, 0)));
    EXPECT_FLOAT_EQ(s->area(), 2.0f);
    ASSERT_TRUE(addGrid(*s, 3, 1, 0.0f, true));
    EXPECT_EQ(s->bBoxRaw().max, (VqVec3f(3, 1, 0)));
    EXPECT_FLOAT_EQ(s->area(), 5.0f);
    VqFixedVec<int, 2> polys;
    ASSERT_TRUE(s->numPolygons(polys));
    EXPECT_EQ(polys[0], 5);
    EXPECT_GT(s->implSize(), 0u);
    EXPECT_EQ(s->lastImplSize(), s->implSize());
    // A primitive short of what the bindings ask for is refused.
    Iter3 c(std::vector<float>{0, 0, 0, 1, 0, 0, 1, 1, 0});
    EXPECT_FALSE(s->addPrim(&c, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(lastError(), "Incorrect vertex norm bindings specified");
    // Line strips and points weigh their measure by the area factor.
    Vq::SharedPtr<VqPolylineSet> lines = new VqPolylineSet(VQ_GEOMBIND_VTXCOORD3);
    ASSERT_TRUE(addLines(*lines));
    ASSERT_TRUE(lines->setAreaFactor(0.5f));
    EXPECT_NEAR(lines->area(), 0.5 * (4 + 4 * std::sqrt(1.25) + 4 * std::sqrt(2.0)), 1e-5);
}

TEST_F(ShapeLifeTest, IdentifiersAreRegisteredWhileTheShapeLives) {
    Vq::SharedPtr<VqPointSet> a = new VqPointSet();
    Vq::SharedPtr<VqPointSet> b = new VqPointSet(*a);
    EXPECT_GE(a->shapeID(), 1u);
    EXPECT_GT(b->shapeID(), a->shapeID());
    EXPECT_EQ(VqShape::s_lookupShape(a->shapeID()), a.get());
    const uint32_t id = b->shapeID();
    b = nullptr;
    EXPECT_EQ(VqShape::s_lookupShape(id), nullptr);
    EXPECT_FALSE(VqShape::s_registerShape(nullptr));
    EXPECT_EQ(lastError(), "pShape");
}

TEST_F(ShapeLifeTest, InstallingAnImplementationTellsTheModelContext) {
    Vq::SharedPtr<VqPartition> root = build();
    Vq::SharedPtr<Vq::ModelContext> mc = new Vq::ModelContext();
    ASSERT_TRUE(mc->addLogicalSceneGraph(root.get())) << lastError();
    struct Listener : VqNotifyBase {
        mutable int impls = 0;
        bool receiveNotification(const VqBase*, Vq::BaseChange change) const override {
            if (change == VqShape::VQ_CHANGE_IMPL) ++impls;
            return true;
        }
    };
    Vq::SharedPtr<Listener> l = new Listener();
    ASSERT_TRUE(mc->addNotification(l.get()));
    auto* s = Vq::typeCast<VqShape>(root->child(1));
    Vq::SharedPtr<VqShapeImpl> fresh = s->createImplInstance();
    ASSERT_TRUE(s->setImpl(fresh.get())) << lastError();
    EXPECT_GE(l->impls, 1);
    EXPECT_EQ(s->impl().get(), fresh.get());
    EXPECT_FALSE(s->setImpl(nullptr));
    EXPECT_EQ(lastError(), "pNewImpl");
    mc->removeNotification(l.get());
}

class ShapeRoundTrip : public ShapeLifeTest, public ::testing::WithParamInterface<Version> {};

TEST_P(ShapeRoundTrip, EveryKindSavesOpensLoadsUnloadsAndReloads) {
    const Version v = GetParam();
    VqTempDir dir;
    Vq::SharedPtr<VqPartition> root = build(v.major >= 9 ? 2 : 1);
    const std::vector<VqShape*> built = shapes(root.get());
    ASSERT_EQ(built.size(), 13u);
    ASSERT_TRUE(VqPartition::setVersion(v.major, v.minor));
    ASSERT_TRUE(root->saveAs(VqString::fromUtf8(dir.path() + "/"), VqString::fromUtf8("shapes.vq")))
        << lastError();
    for (VqShape* s : built)
        EXPECT_TRUE(s->isImplPersistent());

    Vq::SharedPtr<VqPartition> read;
    Vq::SharedPtr<VqFSStorageLocation> loc =
        new VqFSStorageLocation(VqString::fromUtf8(dir.path() + "/"), VqString::fromUtf8("shapes.vq"));
    ASSERT_TRUE(VqPartition::openPartition(loc.get(), nullptr, read)) << lastError();
    const std::vector<VqShape*> got = shapes(read.get());
    ASSERT_EQ(got.size(), built.size());
    // Coordinates at the default level (24 bits) over extents below 20.
    const float tol = 20.0f / float((1 << 24) - 1);
    for (size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE(i);
        VqShape* s = got[i];
        EXPECT_EQ(s->type(), built[i]->type());
        // The node knows its box, area and counts before any geometry is read.
        EXPECT_FALSE(s->isImplLoaded());
        EXPECT_EQ(s->getBindings(), built[i]->getBindings());
        EXPECT_EQ(s->bBoxRaw(), built[i]->bBoxRaw());
        EXPECT_FALSE(s->isImplLoaded());
        for (int round = 0; round < 2; ++round) {
            Vq::SharedPtr<VqShapeImpl> impl = s->ensureImpl();
            ASSERT_NE(impl, nullptr) << lastError();
            EXPECT_TRUE(s->isImplLoaded());
            const VqTopoMesh* want = built[i]->topoMesh();
            if (want) {
                ASSERT_NE(impl->topoMesh(), nullptr);
                if (want->primKind() == VqTopoMesh::VQ_PRIM_TRISTRIP) {
                    // Strips are stripped anew: the same surface, otherwise cut.
                    EXPECT_NEAR(impl->area(), built[i]->impl()->area(), 1e-4);
                    EXPECT_EQ(impl->bbox(), built[i]->impl()->bbox());
                } else {
                    expectSamePrims(*want, *impl->topoMesh(), tol);
                }
            } else {
                auto* null = Vq::typeCast<VqNullShapeImpl>(impl.get());
                ASSERT_NE(null, nullptr);
                EXPECT_EQ(null->extent(), Vq::typeCast<VqNullShapeImpl>(built[i]->impl().get())->extent());
            }
            ASSERT_TRUE(s->unloadImpl()) << lastError();
            EXPECT_FALSE(s->isImplLoaded());
        }
        // A deferred load is queued, and the next execute (loading on this
        // thread, without loader threads) hooks it up.
        EXPECT_TRUE(s->loadImpl(false)) << lastError();
        EXPECT_FALSE(s->isImplLoaded());
        ASSERT_TRUE(VqShapeRequestEntry::manager()->execute(VqRequestInfo(read.get(), 0.0f))) << lastError();
        EXPECT_TRUE(s->isImplLoaded());
    }
    EXPECT_GT(VqShape::s_TotalShapes.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(Versions, ShapeRoundTrip,
                         ::testing::Values(Version{6, 4}, Version{7, 0}, Version{8, 1}, Version{9, 0},
                                           Version{9, 5}, Version{10, 0}, Version{10, 1}),
                         [](const auto& info) {
                             return "V" + std::to_string(info.param.major) + "_" +
                                    std::to_string(info.param.minor);
                         });

// Format 8 keeps implementations in segments too.
TEST_F(ShapeLifeTest, Format81KeepsNullShapes) {
    VqTempDir dir;
    Vq::SharedPtr<VqPartition> root = new VqPartition();
    Vq::SharedPtr<VqLOD> lod = new VqLOD();
    ASSERT_TRUE(root->appendChild(lod.get()));
    for (int i = 0; i < 3; ++i) {
        Vq::SharedPtr<VqNullShape> s = new VqNullShape();
        ASSERT_TRUE(lod->appendChild(s.get()));
        Vq::SharedPtr<VqNullShapeImpl> impl =
            new VqNullShapeImpl(VqBox3<float>(VqVec3f(0, 0, 0), VqVec3f(1, 1, float(i))));
        ASSERT_TRUE(s->setImpl(impl.get()));
    }
    ASSERT_TRUE(VqPartition::setVersion(8, 1));
    ASSERT_TRUE(root->saveAs(VqString::fromUtf8(dir.path() + "/"), VqString::fromUtf8("old.vq")))
        << lastError();
    Vq::SharedPtr<VqPartition> read;
    Vq::SharedPtr<VqFSStorageLocation> loc =
        new VqFSStorageLocation(VqString::fromUtf8(dir.path() + "/"), VqString::fromUtf8("old.vq"));
    ASSERT_TRUE(VqPartition::openPartition(loc.get(), nullptr, read)) << lastError();
    for (int i = 0; i < 3; ++i) {
        auto* s = Vq::typeCast<VqShape>(read->child(0)->child(i));
        ASSERT_NE(s, nullptr);
        Vq::SharedPtr<VqShapeImpl> impl = s->ensureImpl();
        auto* null = Vq::typeCast<VqNullShapeImpl>(impl.get());
        ASSERT_NE(null, nullptr) << lastError();
        EXPECT_EQ(null->extent().max, (VqVec3f(1, 1, float(i))));
    }
}

TEST_F(ShapeLifeTest, ADamagedSegmentFailsItsShapeOnly) {
    VqTempDir dir;
    Vq::SharedPtr<VqPartition> root = build();
    ASSERT_TRUE(VqPartition::setVersion(9, 5));
    ASSERT_TRUE(root->saveAs(VqString::fromUtf8(dir.path() + "/"), VqString::fromUtf8("bad.vq")))
        << lastError();
    // The segment of the polygon set at level 1: its bytes in the file.
    const auto* mgr = Vq::typeCast<VqTOCStreamMgr>(root->streamMgr());
    ASSERT_NE(mgr, nullptr);
    const VqTOC toc = mgr->toc();
    const VqTOCElem* e = toc.find(llValue(root->child(0)->child(1))->guid());
    ASSERT_NE(e, nullptr);
    const uint64_t at = e->offset + e->length / 2;
    ASSERT_TRUE(root->close());
    {
        std::fstream f(dir.path() + "/bad.vq", std::ios::in | std::ios::out | std::ios::binary);
        for (uint64_t k = at; k < at + 8; ++k) {
            f.seekg(std::streamoff(k));
            const int c = f.get();
            f.seekp(std::streamoff(k));
            f.put(char(c ^ 0x5A));
        }
    }
    Vq::SharedPtr<VqPartition> read;
    Vq::SharedPtr<VqFSStorageLocation> loc =
        new VqFSStorageLocation(VqString::fromUtf8(dir.path() + "/"), VqString::fromUtf8("bad.vq"));
    ASSERT_TRUE(VqPartition::openPartition(loc.get(), nullptr, read)) << lastError();
    const std::vector<VqShape*> got = shapes(read.get());
    auto* damaged = Vq::typeCast<VqShape>(read->child(0)->child(1));
    ASSERT_NE(damaged, nullptr);
    VqErrorState::clearError();
    EXPECT_EQ(damaged->ensureImpl(), nullptr);
    EXPECT_NE(lastError(), "");
    EXPECT_FALSE(damaged->isImplLoaded());
    for (VqShape* s : got) {
        if (s == damaged) continue;
        EXPECT_NE(s->ensureImpl(), nullptr) << lastError();
    }
}

// Format 7 compresses each implementation by itself at its file position: a
// damaged one fails its own shape, and the file's other shapes still load.
TEST_F(ShapeLifeTest, ADamagedFormat7ImplementationFailsItsShapeOnly) {
    VqTempDir dir;
    Vq::SharedPtr<VqPartition> root = build(1);
    ASSERT_TRUE(VqPartition::setVersion(7, 0));
    ASSERT_TRUE(root->saveAs(VqString::fromUtf8(dir.path() + "/"), VqString::fromUtf8("bad.vq")))
        << lastError();
    auto* quads = Vq::typeCast<VqShape>(root->child(0)->child(1));
    ASSERT_NE(quads, nullptr);
    const int64_t pos = quads->impl()->streamPosition();
    ASSERT_GT(pos, 0);
    ASSERT_TRUE(root->close());
    {
        // Past the block's flag, length and algorithm: into the deflated data.
        std::fstream f(dir.path() + "/bad.vq", std::ios::in | std::ios::out | std::ios::binary);
        for (int64_t k = pos + 12; k < pos + 20; ++k) {
            f.seekg(std::streamoff(k));
            const int c = f.get();
            f.seekp(std::streamoff(k));
            f.put(char(c ^ 0x5A));
        }
    }
    Vq::SharedPtr<VqPartition> read;
    Vq::SharedPtr<VqFSStorageLocation> loc =
        new VqFSStorageLocation(VqString::fromUtf8(dir.path() + "/"), VqString::fromUtf8("bad.vq"));
    ASSERT_TRUE(VqPartition::openPartition(loc.get(), nullptr, read)) << lastError();
    auto* damaged = Vq::typeCast<VqShape>(read->child(0)->child(1));
    ASSERT_NE(damaged, nullptr);
    VqErrorState::clearError();
    EXPECT_EQ(damaged->ensureImpl(), nullptr);
    EXPECT_NE(lastError(), "");
    EXPECT_FALSE(damaged->isImplLoaded());
    for (VqShape* s : shapes(read.get())) {
        if (s == damaged) continue;
        EXPECT_NE(s->ensureImpl(), nullptr) << lastError();
    }
}

} // namespace

// A new node's empty box counts as known; a shape handed an implementation
// that already holds geometry must still answer with that geometry's box.
TEST_F(ShapeLifeTest, ANewShapeGivenAFullImplementationTakesItsBox) {
    Vq::SharedPtr<VqPolygonSet> a = new VqPolygonSet(VQ_GEOMBIND_VTXCOORD3);
    ASSERT_TRUE(addGrid(*a, 2, 1, 0.0f, true));
    Vq::SharedPtr<VqShapeImpl> impl = a->impl();
    Vq::SharedPtr<VqPolygonSet> b = new VqPolygonSet(VQ_GEOMBIND_VTXCOORD3);
    ASSERT_TRUE(b->setImpl(impl.get()));
    EXPECT_EQ(b->bBoxRaw().max, (VqVec3f(2, 1, 0)));
    EXPECT_FLOAT_EQ(b->area(), 2.0f);
}

// Shapes given one implementation share it until one of them edits: the
// edit goes to a copy of its own, the others keep what they showed.
TEST_F(ShapeLifeTest, EditingASharedImplementationCopiesItFirst) {
    Vq::SharedPtr<VqPolygonSet> a = new VqPolygonSet(VQ_GEOMBIND_VTXCOORD3);
    ASSERT_TRUE(addGrid(*a, 2, 1, 0.0f, true));
    Vq::SharedPtr<VqShapeImpl> shared = a->impl();
    Vq::SharedPtr<VqPolygonSet> b = new VqPolygonSet(VQ_GEOMBIND_VTXCOORD3);
    Vq::SharedPtr<VqPolygonSet> c = new VqPolygonSet(VQ_GEOMBIND_VTXCOORD3);
    ASSERT_TRUE(b->setImpl(shared.get()) && c->setImpl(shared.get()));
    // Reading does not copy.
    EXPECT_EQ(b->ensureConstImpl(), shared);

    // The level's bit counts (0.01 gives 24/8/16/8) are b's alone.
    int v = 0, n = 0, t = 0, col = 0;
    ASSERT_TRUE(b->setCompressionLevel(0.0f)) << lastError();
    ASSERT_TRUE(b->getCompressionParams(v, n, t, col));
    EXPECT_EQ(v + n + t + col, 0);
    for (VqPolygonSet* other : {a.get(), c.get()}) {
        EXPECT_EQ(other->impl(), shared);
        ASSERT_TRUE(other->getCompressionParams(v, n, t, col));
        EXPECT_EQ(v, 24);
        EXPECT_EQ(n, 8);
    }
    EXPECT_NE(b->impl(), shared);
    EXPECT_EQ(b->numPrims(), 2u);

    // a and c still share: adding to a copies for a, c keeps two squares.
    ASSERT_TRUE(addGrid(*a, 3, 1, 0.0f, true));
    EXPECT_EQ(a->numPrims(), 5u);
    EXPECT_EQ(c->numPrims(), 2u);
    EXPECT_EQ(c->impl(), shared);
    // The copy reports its changes to its own shape only: c's box stays.
    EXPECT_EQ(a->bBoxRaw().max, (VqVec3f(3, 1, 0)));
    EXPECT_EQ(c->bBoxRaw().max, (VqVec3f(2, 1, 0)));

    // The mesh to edit is a copy's; the one to read is the shared one's.
    Vq::SharedPtr<VqPolygonSet> d = new VqPolygonSet(VQ_GEOMBIND_VTXCOORD3);
    ASSERT_TRUE(d->setImpl(shared.get()));
    EXPECT_EQ(d->constTopoMesh(), shared->topoMesh());
    VqTopoMesh* own = d->nonConstTopoMesh();
    ASSERT_NE(own, nullptr);
    EXPECT_NE(own, shared->topoMesh());
    EXPECT_NE(own->vtxRecPool(), shared->topoMesh()->vtxRecPool());
    EXPECT_EQ(c->impl(), shared);
    d = nullptr;

    // The last holder edits in place; marking as modified copies nothing.
    ASSERT_TRUE(c->setImplModified(true));
    EXPECT_EQ(c->impl(), shared);
    EXPECT_EQ(c->ensureImpl(), shared);
    EXPECT_FALSE(c->isImplPersistent());
}

// A mesh built in memory starts without bit counts: the shape's level, set
// again at the value it already has, still gives them to it.
TEST_F(ShapeLifeTest, TheDefaultLevelSetAgainQuantisesAMeshBuiltInMemory) {
    Vq::SharedPtr<VqPolygonSet> a = new VqPolygonSet(VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_NORMVEC3);
    ASSERT_TRUE(addGrid(*a, 2, 1, 0.0f, true));
    ASSERT_TRUE(a->setCompressionLevel(0.0f));
    int v = -1, n = -1, t = -1, c = -1;
    ASSERT_TRUE(a->getCompressionParams(v, n, t, c));
    EXPECT_EQ(v, 0);
    Vq::SharedPtr<VqPolygonSet> b = new VqPolygonSet(VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_NORMVEC3);
    ASSERT_TRUE(b->setImpl(a->impl().get()));
    ASSERT_TRUE(b->setCompressionLevel(b->compressionLevel()));
    ASSERT_TRUE(b->getCompressionParams(v, n, t, c));
    EXPECT_EQ(v, 24); // trunc(0.01 * 9 + 25 * 0.99)
    EXPECT_EQ(n, 8);
    // The other shape's mesh keeps its own bits.
    ASSERT_TRUE(a->getCompressionParams(v, n, t, c));
    EXPECT_EQ(v, 0);
}
