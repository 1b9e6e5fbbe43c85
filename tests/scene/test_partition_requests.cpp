// Placeholder partitions opened through the residency request manager: read
// on loader threads, merged by execute on the application thread.

#include "VqFSStorageLocation.h"
#include "VqGroup.h"
#include "VqLibFixture.h"
#include "VqModelContext.h"
#include "VqPartition.h"
#include "VqResidencyRequestManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

struct OpenLog {
    std::atomic<int> nOpened{0};
    std::atomic<int> nFailed{0};
    static bool record(VqPartition*, VqPartition::CallbackTime t, void* data) {
        auto* log = static_cast<OpenLog*>(data);
        ++(t == VqPartition::VQ_CB_OPENED ? log->nOpened : log->nFailed);
        return true;
    }
};

class PartitionRequestTest : public VqLibTest {
protected:
    void SetUp() override {
        VqLibTest::SetUp();
        char tmpl[] = "/tmp/vq_requests_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        _strDir = tmpl;
        mgr = VqResidencyRequestManagerSingleton::EnsureInstance();
        ASSERT_TRUE(mgr);
        ASSERT_TRUE(VqPartition::addCallback(&OpenLog::record, VqPartition::VQ_CB_OPENED, &log));
        ASSERT_TRUE(VqPartition::addCallback(&OpenLog::record, VqPartition::VQ_CB_OPEN_FAILED, &log));
    }
    void TearDown() override {
        VqPartition::removeCallback(&OpenLog::record, VqPartition::VQ_CB_OPENED, &log);
        VqPartition::removeCallback(&OpenLog::record, VqPartition::VQ_CB_OPEN_FAILED, &log);
        VqLibTest::TearDown();
        std::system(("rm -rf '" + _strDir + "'").c_str());
    }
    // A file named name holding a partition with `children` groups.
    void writeFile(const std::string& name, int children) {
        Vq::SharedPtr<VqPartition> p = new VqPartition();
        for (int i = 0; i < children; ++i)
            p->appendChild(new VqGroup());
        ASSERT_TRUE(p->saveAs(VqString::fromUtf8(_strDir + "/" + name))) << lastError();
    }
    Vq::SharedPtr<VqPartition> placeholder(const std::string& name) {
        Vq::SharedPtr<VqFSStorageLocation> loc;
        EXPECT_TRUE(VqFSStorageLocation::fromPath(VqString::fromUtf8(_strDir + "/" + name), loc));
        return new VqPartition(loc.get());
    }

    std::string _strDir;
    VqResidencyRequestManager* mgr = nullptr;
    OpenLog log;
};

// Without loader threads, open() reads and merges on the calling thread, as
// it always did; a request without waiting is served by execute.
TEST_F(PartitionRequestTest, OpenWithoutLoadersAndRequestServedByExecute) {
    writeFile("a.vq", 3);
    Vq::SharedPtr<VqPartition> root = new VqPartition();
    Vq::SharedPtr<VqPartition> a = placeholder("a.vq"), b = placeholder("a.vq");
    Vq::SharedPtr<VqGroup> g = new VqGroup();
    root->appendChild(g.get());
    g->appendChild(a.get());
    g->appendChild(b.get());

    ASSERT_TRUE(a->open()) << lastError();
    EXPECT_TRUE(a->isOpen());
    EXPECT_EQ(a->numChildren(), 3u);

    ASSERT_TRUE(b->requestOpen(5));
    EXPECT_FALSE(b->isOpen());
    EXPECT_EQ(mgr->numPartnsPending(), 1);
    // The root's execute serves the node below it.
    ASSERT_TRUE(mgr->execute(VqRequestInfo(root.get(), 0))) << lastError();
    EXPECT_TRUE(b->isOpen());
    EXPECT_EQ(b->numChildren(), 3u);
    EXPECT_EQ(log.nOpened, 2);
    EXPECT_FALSE(mgr->areItemsPending());
    EXPECT_FALSE(mgr->execute(static_cast<Vq::ModelContext*>(nullptr)));
    EXPECT_EQ(lastError(), "pMC != __null");
}

// Many placeholder nodes, requested from several threads, are read by two
// loaders and merged by the model context's execute on this thread; one
// whose file is missing fails alone and the loaders keep going.
TEST_F(PartitionRequestTest, ManyPartitionsRequestedFromSeveralThreads) {
    constexpr int kFiles = 4, kNodes = 40;
    for (int f = 0; f < kFiles; ++f)
        writeFile("f" + std::to_string(f) + ".vq", f + 1);
    Vq::SharedPtr<VqPartition> root = new VqPartition();
    std::vector<Vq::SharedPtr<VqPartition>> nodes;
    for (int i = 0; i < kNodes; ++i) {
        nodes.push_back(placeholder("f" + std::to_string(i % kFiles) + ".vq"));
        root->appendChild(nodes.back().get());
    }
    Vq::SharedPtr<VqPartition> missing = placeholder("missing.vq");
    root->appendChild(missing.get());
    Vq::SharedPtr<Vq::ModelContext> mc = new Vq::ModelContext();
    ASSERT_TRUE(mc->setRootPartition(root.get()));

    ASSERT_TRUE(mgr->setUseThreadedLoading(2));
    ASSERT_TRUE(missing->requestOpen(100));
    std::vector<std::thread> requesters;
    for (int t = 0; t < 4; ++t)
        requesters.emplace_back([&, t] {
            for (int i = t; i < kNodes; i += 4)
                EXPECT_TRUE(mgr->willNeed(VqRequestInfo(nodes[size_t(i)].get(), float(i))));
        });
    for (auto& t : requesters)
        t.join();

    int failures = 0;
    for (int round = 0; round < 20000 && log.nOpened + log.nFailed < kNodes + 1; ++round) {
        if (!mgr->execute(mc.get())) ++failures;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(log.nOpened, kNodes);
    EXPECT_EQ(log.nFailed, 1);
    EXPECT_EQ(failures, 1);
    for (int i = 0; i < kNodes; ++i) {
        EXPECT_TRUE(nodes[size_t(i)]->isOpen());
        EXPECT_EQ(nodes[size_t(i)]->numChildren(), unsigned(i % kFiles + 1));
    }
    EXPECT_TRUE(missing->isNoOpen());
    EXPECT_EQ(missing->numChildren(), 0u);

    // With loaders running, open() waits for the load and merges here.
    writeFile("late.vq", 2);
    Vq::SharedPtr<VqPartition> late = placeholder("late.vq");
    root->appendChild(late.get());
    ASSERT_TRUE(late->open()) << lastError();
    EXPECT_EQ(late->numChildren(), 2u);
    ASSERT_TRUE(mgr->setUseThreadedLoading(0));
    EXPECT_FALSE(mgr->areItemsPending());
}

// A placeholder whose graph is released before any loader reaches it is not
// read, and goes with the graph.
TEST_F(PartitionRequestTest, PlaceholderOfAReleasedGraphIsNotRead) {
    writeFile("a.vq", 1);
    const int before = VqPartition::numPartitions();
    {
        Vq::SharedPtr<VqPartition> root = new VqPartition();
        Vq::SharedPtr<VqPartition> node = placeholder("a.vq");
        root->appendChild(node.get());
        ASSERT_TRUE(node->requestOpen(1));
    }
    EXPECT_EQ(mgr->numPartnsPending(), 1);
    Vq::SharedPtr<VqPartition> other = new VqPartition();
    ASSERT_TRUE(mgr->execute(VqRequestInfo(other.get(), 0))) << lastError();
    EXPECT_EQ(mgr->perfCounters().nDropped, 1u);
    EXPECT_EQ(mgr->perfCounters().nLoaded, 0u);
    EXPECT_EQ(log.nOpened + log.nFailed, 0);
    EXPECT_FALSE(mgr->areItemsPending());
    other.reset();
    EXPECT_EQ(VqPartition::numPartitions(), before);
}

} // namespace
