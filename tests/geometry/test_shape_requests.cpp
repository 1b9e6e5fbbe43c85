// Shape implementations loaded late through the residency request manager:
// read on loader threads (or the calling thread), installed by execute or
// blockOnLoad, unloaded and loaded again; requests of released shapes,
// damaged segments and shared vertex record pools.
#include "ShapeTestUtil.h"
#include "VqFSStorageLocation.h"
#include "VqLOD.h"
#include "VqLibFixture.h"
#include "VqPartition.h"
#include "VqPolygonSet.h"
#include "VqResidencyRequestManager.h"
#include "VqShapeRequestEntry.h"
#include "VqStringPropAtom.h"
#include "VqTOCStreamMgr.h"
#include "VqVertexShapeImpl.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

namespace {

using Iter3 = VqShapeDataArrayIter<float, 3>;

// An nx by 2 grid of quads at height z.
bool addQuads(VqPolygonSet& s, int nx, float z, bool normals) {
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < nx; ++x) {
            const float fx = float(x), fy = float(y);
            Iter3 c(std::vector<float>{fx, fy, z, fx + 1, fy, z, fx + 1, fy + 1, z, fx, fy + 1, z});
            Iter3 n(std::vector<float>{0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1});
            if (!s.addPrim(&c, normals ? &n : nullptr, nullptr, nullptr, 0)) return false;
        }
    return true;
}

class ShapeRequestTest : public VqLibTest {
protected:
    void SetUp() override {
        VqLibTest::SetUp();
        char tmpl[] = "/tmp/vq_shapereq_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        _strDir = tmpl;
        mgr = VqShapeRequestEntry::manager();
        ASSERT_NE(mgr, nullptr);
        ASSERT_TRUE(mgr->setExecutionTime(1e6));
    }
    void TearDown() override {
        if (mgr) mgr->setUseThreadedLoading(0);
        VqLibTest::TearDown();
        std::system(("rm -rf '" + _strDir + "'").c_str());
    }

    // A 9.5 file of nLods LOD nodes under the partition, each with a grid
    // of coordinates only at level 0 and a grid with normals at level 1.
    void writeModel(int nLods) {
        ASSERT_TRUE(VqPartition::setVersion(9, 5));
        Vq::SharedPtr<VqPartition> root = new VqPartition();
        for (int i = 0; i < nLods; ++i) {
            Vq::SharedPtr<VqLOD> lod = new VqLOD();
            Vq::SharedPtr<VqPolygonSet> fine = new VqPolygonSet(VQ_GEOMBIND_VTXCOORD3);
            Vq::SharedPtr<VqPolygonSet> coarse =
                new VqPolygonSet(VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_NORMVEC3);
            ASSERT_TRUE(addQuads(*fine, 2 + i % 5, float(i), false)) << lastError();
            ASSERT_TRUE(addQuads(*coarse, 1, float(i), true)) << lastError();
            ASSERT_TRUE(lod->appendChild(fine.get()) && lod->appendChild(coarse.get()));
            ASSERT_TRUE(root->appendChild(lod.get()));
        }
        ASSERT_TRUE(root->saveAs(VqString::fromUtf8(_strDir + "/"), VqString::fromUtf8("m.vq")))
            << lastError();
    }
    Vq::SharedPtr<VqPartition> openModel() {
        Vq::SharedPtr<VqPartition> read;
        Vq::SharedPtr<VqFSStorageLocation> loc =
            new VqFSStorageLocation(VqString::fromUtf8(_strDir + "/"), VqString::fromUtf8("m.vq"));
        EXPECT_TRUE(VqPartition::openPartition(loc.get(), nullptr, read)) << lastError();
        return read;
    }
    // Executes until nothing is pending; false on a time-out.
    bool drain(VqPartition* root) {
        for (int k = 0; k < 20000; ++k) {
            mgr->execute(VqRequestInfo(root, 0.0f));
            if (!mgr->areItemsPending()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    std::string _strDir;
    VqResidencyRequestManager* mgr = nullptr;
};

class ShapeRequestLoaders : public ShapeRequestTest, public ::testing::WithParamInterface<int> {};

// The file is read again in each round: nothing else holds the loaded data
// (the copy the file was written from is gone).
TEST_P(ShapeRequestLoaders, LoadUnloadAndReload) {
    writeModel(12);
    ASSERT_TRUE(mgr->setUseThreadedLoading(GetParam()));
    Vq::SharedPtr<VqPartition> root = openModel();
    const std::vector<VqShape*> got = VqShape::shapesBelow(root.get());
    ASSERT_EQ(got.size(), 24u);
    std::vector<std::vector<std::vector<std::vector<float>>>> first;
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        const int64_t loadsBefore = VqShape::s_TotalShapes.load();
        for (VqShape* s : got) {
            ASSERT_TRUE(s->loadImpl(false)) << lastError();
            // Installed only by execute, on this thread.
            EXPECT_FALSE(s->isImplLoaded());
        }
        // Loaders may have taken some already.
        if (GetParam() == 0) {
            EXPECT_EQ(mgr->numShapesPending(), 24);
        }
        ASSERT_TRUE(drain(root.get()));
        EXPECT_EQ(VqShape::s_TotalShapes.load() - loadsBefore, 24);
        for (size_t i = 0; i < got.size(); ++i) {
            ASSERT_TRUE(got[i]->isImplLoaded()) << i;
            const VqTopoMesh* m = got[i]->topoMesh();
            ASSERT_NE(m, nullptr);
            EXPECT_EQ(m->numPrims(), i % 2 ? 2u : 2u * (2 + (i / 2) % 5)) << i;
            if (round == 0)
                first.push_back(primPositions(*m));
            else
                EXPECT_EQ(primPositions(*m), first[i]) << i;
            // A request for a loaded shape needs nothing.
            bool already = false;
            ASSERT_TRUE(mgr->willNeed(VqRequestInfo(got[i], 1.0f), &already));
            EXPECT_TRUE(already);
            ASSERT_TRUE(got[i]->unloadImpl()) << lastError();
            EXPECT_FALSE(got[i]->isImplLoaded());
        }
    }
    // An immediate load returns with the implementation installed.
    ASSERT_TRUE(got[3]->loadImpl(true)) << lastError();
    EXPECT_TRUE(got[3]->isImplLoaded());
    EXPECT_FALSE(mgr->areItemsPending());
}

INSTANTIATE_TEST_SUITE_P(Loaders, ShapeRequestLoaders, ::testing::Values(0, 2));

// Without loaders the drop is decided in execute, so nothing races it.
TEST_F(ShapeRequestTest, ARequestOfAReleasedShapeIsDroppedUnread) {
    writeModel(2);
    Vq::SharedPtr<VqPartition> root = openModel();
    VqNode* lod = root->child(0);
    Vq::SharedPtr<VqShape> kept = Vq::typeCast<VqShape>(root->child(1)->child(0));
    Vq::SharedPtr<VqShape> gone = Vq::typeCast<VqShape>(lod->child(0));
    const uint32_t id = gone->shapeID();
    ASSERT_TRUE(lod->removeChild(0));
    ASSERT_TRUE(gone->loadImpl(false) && kept->loadImpl(false)) << lastError();
    gone = nullptr;
    // The entry keeps it until the application thread retires the entry.
    EXPECT_NE(VqShape::s_lookupShape(id), nullptr);
    ASSERT_TRUE(drain(root.get()));
    const VqResidencyRequestManager::PerfCounters pc = mgr->perfCounters();
    EXPECT_EQ(pc.nDropped, 1u);
    EXPECT_EQ(pc.nLoaded, 1u);
    EXPECT_EQ(VqShape::s_lookupShape(id), nullptr);
    EXPECT_TRUE(kept->isImplLoaded());
}

TEST_F(ShapeRequestTest, ADamagedSegmentFailsItsShapeWhileTheOthersLoad) {
    writeModel(6);
    uint64_t at = 0;
    {
        Vq::SharedPtr<VqPartition> root = openModel();
        const auto* toc = Vq::typeCast<VqTOCStreamMgr>(root->streamMgr());
        ASSERT_NE(toc, nullptr);
        const VqNode* damaged = root->child(2)->child(0);
        Vq::SharedPtr<VqPropAtom> v = damaged->propValue(vqLLPropShapeImpl);
        const VqTOC entries = toc->toc();
        const VqTOCElem* e = entries.find(Vq::typeCast<VqLateLoadedPropAtom>(v.get())->guid());
        ASSERT_NE(e, nullptr);
        at = e->offset + e->length / 2;
        ASSERT_TRUE(root->close());
    }
    {
        std::fstream f(_strDir + "/m.vq", std::ios::in | std::ios::out | std::ios::binary);
        for (uint64_t k = at; k < at + 8; ++k) {
            f.seekg(std::streamoff(k));
            const int c = f.get();
            f.seekp(std::streamoff(k));
            f.put(char(c ^ 0x5A));
        }
    }
    ASSERT_TRUE(mgr->setUseThreadedLoading(2));
    Vq::SharedPtr<VqPartition> root = openModel();
    const std::vector<VqShape*> all = VqShape::shapesBelow(root.get());
    auto* damaged = Vq::typeCast<VqShape>(root->child(2)->child(0));
    for (VqShape* s : all)
        ASSERT_TRUE(s->loadImpl(false)) << lastError();
    ASSERT_TRUE(drain(root.get()));
    EXPECT_EQ(mgr->perfCounters().nFailed, 1u);
    for (VqShape* s : all)
        EXPECT_EQ(s->isImplLoaded(), s != damaged);
    // Asked for again, it fails the same way, and the loaders still serve.
    VqErrorState::clearError();
    EXPECT_FALSE(damaged->loadImpl(true));
    EXPECT_EQ(lastError(), "LLPA load failed");
    EXPECT_EQ(lastCode(), VQ_ERR_READ);
    EXPECT_FALSE(damaged->isImplLoaded());
    EXPECT_EQ(mgr->numLoaderThreads(), 2);
    ASSERT_TRUE(all[0]->unloadImpl());
    ASSERT_TRUE(all[0]->loadImpl(false));
    ASSERT_TRUE(drain(root.get()));
    EXPECT_TRUE(all[0]->isImplLoaded());
}

TEST_F(ShapeRequestTest, LoadedRecordsMergeIntoARegisteredPoolThatFits) {
    writeModel(3);
    Vq::SharedPtr<VqPartition> root = openModel();
    const std::vector<VqShape*> got = VqShape::shapesBelow(root.get());
    // What each shape holds when loaded into a pool of its own.
    std::vector<std::vector<std::vector<std::vector<float>>>> alone;
    uint32_t nFitting = 0;
    for (VqShape* s : got)
        ASSERT_TRUE(s->loadImpl(false)) << lastError();
    ASSERT_TRUE(drain(root.get()));
    for (VqShape* s : got) {
        alone.push_back(primPositions(*s->topoMesh()));
        if (s->getBindings() == VQ_GEOMBIND_VTXCOORD3)
            nFitting += s->topoMesh()->vtxRecPool()->numVtxRecords();
        ASSERT_TRUE(s->unloadImpl());
    }

    Vq::SharedPtr<VqVertexRecordPool> shared = new VqVertexRecordPool(VQ_GEOMBIND_VTXCOORD3);
    ASSERT_TRUE(mgr->registerPool(shared.get()));
    for (VqShape* s : got)
        ASSERT_TRUE(s->loadImpl(false)) << lastError();
    ASSERT_TRUE(drain(root.get()));
    for (size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE(i);
        const VqTopoMesh* m = got[i]->topoMesh();
        ASSERT_NE(m, nullptr);
        // The grids with normals bind differently and keep their own pool.
        EXPECT_EQ(m->vtxRecPool() == shared.get(), got[i]->getBindings() == VQ_GEOMBIND_VTXCOORD3);
        EXPECT_EQ(primPositions(*m), alone[i]);
    }
    // Grids at different heights share no corner.
    EXPECT_EQ(shared->numVtxRecords(), nFitting);
    ASSERT_TRUE(mgr->unregisterPool(shared.get()));
}

// Hundreds of shapes requested on one thread while another walks the graph,
// the application thread executes and two loaders read; the requester lets
// go of some shapes it alone holds right after asking for them.
TEST_F(ShapeRequestTest, ConcurrentRequestsWalksAndDropsAreClean) {
    const int nLods = 160;
    writeModel(nLods);
    Vq::SharedPtr<VqPartition> root = openModel();
    // The shapes of every fourth LOD node are asked for while in the graph,
    // then leave it: the requester holds them alone and lets them go.
    std::vector<Vq::SharedPtr<VqShape>> kept, loose;
    for (int i = nLods - 4; i >= 0; i -= 4) {
        VqNode* lod = root->child(i);
        for (unsigned k = 0; k < lod->numChildren(); ++k) {
            loose.push_back(Vq::typeCast<VqShape>(lod->child(k)));
            ASSERT_TRUE(mgr->willNeed(VqRequestInfo(loose.back().get(), 0.5f))) << lastError();
        }
        ASSERT_TRUE(root->removeChild(i));
    }
    for (VqShape* s : VqShape::shapesBelow(root.get()))
        kept.push_back(s);
    ASSERT_EQ(kept.size() + loose.size(), size_t(2 * nLods));
    ASSERT_TRUE(mgr->setUseThreadedLoading(2));

    std::atomic<bool> requested{false}, stop{false};
    std::atomic<int> failures{0};
    std::thread requester([&] {
        for (size_t i = 0; i < kept.size(); ++i) {
            if (!mgr->willNeed(VqRequestInfo(kept[i].get(), float(i)))) ++failures;
            if (i < loose.size()) loose[i] = nullptr;
        }
        requested = true;
    });
    std::atomic<long> seen{0};
    std::thread walker([&] {
        while (!stop) {
            VqNode::walkOnce(root.get(), [&](VqNode* n) {
                if (auto* s = Vq::typeCast<VqShape>(n)) seen += s->isImplLoaded() ? 1 : 0;
                return VqNode::Walk::Descend;
            });
            std::this_thread::yield();
        }
    });
    while (!requested)
        mgr->execute(VqRequestInfo(root.get(), 0.0f));
    requester.join();
    const bool drained = drain(root.get());
    stop = true;
    walker.join();
    ASSERT_TRUE(drained);
    EXPECT_EQ(failures.load(), 0);
    for (const Vq::SharedPtr<VqShape>& s : kept)
        EXPECT_TRUE(s->isImplLoaded());
    const VqResidencyRequestManager::PerfCounters pc = mgr->perfCounters();
    // A released shape is loaded only when a loader got to it first.
    EXPECT_EQ(pc.nLoaded + pc.nDropped, size_t(2 * nLods));
    EXPECT_EQ(pc.nFailed, 0u);
}

} // namespace
