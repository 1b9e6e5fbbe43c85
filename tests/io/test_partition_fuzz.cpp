// Inputs that once broke opening a file, kept as regression tests: each must
// open into an error or a graph, and its late-loaded data must load or fail
// cleanly (the sanitizer builds catch what a plain build cannot).

#include "ContainerTestUtil.h"
#include "VqLateLoadedPropAtom.h"
#include "VqLibFixture.h"
#include "VqPartition.h"
#include "VqPeakMemory.h"

#include <gtest/gtest.h>

using namespace vqtest;

namespace {

// Opens one of the inputs kept with the fuzzer's seeds and loads every
// late-loaded property of its graph.
bool openAndLoad(const std::string& name) {
    // Appended to, not summed from a temporary: GCC 12 warns of a false
    // overrun in the sum at -O1.
    std::string path = VQ_FUZZ_SEEDS;
    path += '/';
    path += name;
    const Bytes input = readFile(path);
    if (input.empty()) {
        // A missing input must not pass for a refused one.
        ADD_FAILURE() << "no input " << name;
        return false;
    }
    TempDir dir;
    writeFile(dir.file("input.vq"), input);
    Vq::SharedPtr<VqPartition> part;
    if (!VqPartition::openPartition(location(dir.path(), "input.vq").get(), nullptr, part)) return false;
    VqNode::walkOnce(part.get(), [&](VqNode* n) {
        for (int i = 0; i < n->numProps(false); ++i) {
            VqPropAtom *k = nullptr, *v = nullptr;
            if (n->prop(i, k, v, false))
                if (auto* ll = Vq::typeCast<VqLateLoadedPropAtom>(v)) ll->ensureData(*part);
        }
        return VqNode::Walk::Descend;
    });
    return true;
}

// An element whose data ran past its end after its node had linked its
// attribute slots into the segment's swizzler.
TEST_F(VqLibTest, DamagedElementAfterLinkedSlotsFailsCleanly) {
    EXPECT_FALSE(openAndLoad("overlong_element.vq"));
}

// An element registered under its ID, linked into another's slot, and then
// discarded because its data ran past its end.
TEST_F(VqLibTest, DiscardedElementIsNotFollowedAfterAFailedOpen) {
    EXPECT_FALSE(openAndLoad("discarded_then_linked.vq"));
}

// A scene-graph segment whose first element is not a partition but has
// reference slots waiting in the swizzler when the open gives up.
TEST_F(VqLibTest, RefusedFirstElementOutlivesItsSegment) {
    EXPECT_FALSE(openAndLoad("first_not_partition_linked.vq"));
}

// A group claiming 0x20000000 children inside a compressed segment whose
// element length alone could not refute the count.
TEST_F(VqLibTest, ClaimedChildCountDoesNotDriveAllocation) {
    // The peak is the process's, and earlier tests of the same process may
    // have set it: what counts is how far this open raises it, which stays
    // far below the gigabytes the claimed count would need.
    const long before = vqPeakRssKiB();
    ASSERT_GE(before, 0);
    EXPECT_FALSE(openAndLoad("huge_child_count.vq"));
    EXPECT_EQ(lastCode(), VQ_ERR_SHORT_READ);
    EXPECT_LT(vqPeakRssKiB() - before, 512L * 1024);
}

// A valid 9.5 file whose late-loaded data, once loaded, was held twice.
TEST_F(VqLibTest, LateLoadedDataOfVersion9IsReleasedWithItsAtom) {
    EXPECT_TRUE(openAndLoad("wheel_9_5.vq"));
}

} // namespace
