// Files shaped to hurt the reader, built field by field (VqCraftedFile.h):
// deep and wide graphs, a child listed a million times, elements nested in
// each other, partition nodes that name their own file, locations outside the
// file's directory or naming special files, segments that decompress to far
// more than they store, and damaged headers. Each must open or fail with its
// error, quickly and within bounded memory, and what opens must be released.
//
// With VQ_KEEP_HOSTILE_FILES set to a directory, every file is also copied
// there, under the name the test gives it, so that the reader's time and
// memory on each can be measured from outside (vqtool info).

#include "ContainerTestUtil.h"
#include "VqCraftedFile.h"
#include "VqLateLoadedPropAtom.h"
#include "VqMappingSurface.h"
#include "VqPlatform.h"
#include "VqSaveOptions.h"
#include "VqStringPropAtom.h"
#include "VqTestObjectStream.h"
#include "VqTexCoordGen.h"
#include "VqUnknownBase.h"
#include "VqXform.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <numeric>
#include <sys/stat.h>
#include <unistd.h>

using namespace vqtest;
using vqcraft::Format;
using vqcraft::Packing;

namespace {

class HostileFileTest : public VqLibTest {
protected:
    TempDir _dir;

    // Writes a file into the test's directory (and where VQ_KEEP_HOSTILE_FILES says).
    void put(const std::string& name, const Bytes& bytes) {
        writeFile(_dir.file(name), bytes);
        if (const char* keep = std::getenv("VQ_KEEP_HOSTILE_FILES"))
            writeFile(std::string(keep) + "/" + name, bytes);
    }
    bool open(const std::string& name, Vq::SharedPtr<VqPartition>& out) {
        return VqPartition::openPartition(location(_dir.path(), name).get(), nullptr, out);
    }
    static size_t countNodes(VqNode* root) {
        size_t n = 0;
        VqNode::walkOnce(root, [&](VqNode*) {
            ++n;
            return VqNode::Walk::Descend;
        });
        return n;
    }
};

// ---- graph shape ---------------------------------------------------------------

// partition -> group 1 -> group 2 -> ... -> group n -> node: read whole, then
// walked, boxed, counted and released (recursive destructors overflowed the
// stack from 200,000 levels on).
TEST_F(HostileFileTest, DeepChainOfGroupsOpensAndIsReleased) {
    constexpr int kDepth = 300000;
    for (const Format& f : {Format(9, 5), Format(10, 0)}) {
        std::vector<Bytes> e{f.partition(0, {1})};
        for (int i = 1; i <= kDepth; ++i)
            e.push_back(f.group(i, {i + 1}));
        e.push_back(f.node(kDepth + 1));
        const std::string name = "chain_300k_" + std::to_string(f.major) + ".vq";
        put(name, vqcraft::sceneFile(f, e, f.major >= 10 ? Packing::Xz : Packing::Zlib));
        Vq::SharedPtr<VqPartition> part;
        ASSERT_TRUE(open(name, part)) << lastError();
        EXPECT_EQ(countNodes(part.get()), static_cast<size_t>(kDepth) + 2);
        VqFixedVec<int, 2> nodes;
        ASSERT_TRUE(part->numNodes(nodes));
        EXPECT_EQ(nodes[0], kDepth + 2);
        EXPECT_TRUE(part->bBoxRaw().isEmpty());
        // Saved again in linear time: preparing each node for writing once
        // looked for its partition up the whole chain.
        ASSERT_TRUE(part->saveAs(location(_dir.path(), "resaved_" + name).get(), VqSaveOptions{}))
            << lastError();
    }
}

// One group listing the same child a million times, from a file of a few KB:
// released in linear time (an erase per link from the front of the child's
// parent list took minutes).
TEST_F(HostileFileTest, ChildListedAMillionTimesOpensAndIsReleased) {
    const Format f(10, 0);
    put("same_child_1m.vq", vqcraft::sceneFile(f, {f.partition(0, {1}),
                                                   f.group(1, std::vector<int32_t>(1000000, 2)), f.node(2)}));
    Vq::SharedPtr<VqPartition> part;
    ASSERT_TRUE(open("same_child_1m.vq", part)) << lastError();
    VqNode* child = part->child(0)->child(0);
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(child->numParents(), 1000000);
    VqFixedVec<int, 2> nodes;
    ASSERT_TRUE(part->numNodes(nodes));
    EXPECT_EQ(nodes[0], 1000002);
}

// A million instances of one node, the instances read last to first, so that
// they are released in the order that makes finding each link longest.
TEST_F(HostileFileTest, NodeWithAMillionInstancesOpensAndIsReleased) {
    constexpr int kInstances = 1000000;
    const Format f(10, 0);
    std::vector<int32_t> children;
    std::vector<Bytes> e{f.partition(0, {1}), Bytes()};
    for (int i = 0; i < kInstances; ++i)
        children.push_back(2 + i);
    e[1] = f.group(1, children);
    for (int i = kInstances; i-- > 0;)
        e.push_back(f.instance(2 + i, 1 + 2 + kInstances));
    e.push_back(f.node(1 + 2 + kInstances));
    put("instances_1m.vq", vqcraft::sceneFile(f, e));
    Vq::SharedPtr<VqPartition> part;
    ASSERT_TRUE(open("instances_1m.vq", part)) << lastError();
    EXPECT_EQ(countNodes(part.get()), static_cast<size_t>(kInstances) + 3);
}

// One attribute used by a million nodes, as one material is by every part of
// a large model: each node registers with it when read and leaves it when
// released, which took minutes while each did a search of the attribute's
// client list. Releasing the nodes from the back, then the rest, leaves the
// attribute with the clients that remain, in the order they came.
// (The segment, at over 64 times its size, also passes the decompression bound.)
TEST_F(HostileFileTest, AttributeSharedByAMillionNodesOpensAndIsReleased) {
    constexpr int kNodes = 1000000;
    const Format f(10, 0);
    Vq::SharedPtr<VqXform> xform = new VqXform();
    VqTestObjectStream os = VqTestObjectStream::forWriting(f.major, f.minor);
    ASSERT_TRUE(VqElementIO::writeLogicalElementOf(f.major, *os, xform.get())) << lastError();
    const int32_t attrId = kNodes + 1;
    std::vector<int32_t> children(kNodes);
    std::iota(children.begin(), children.end(), 1);
    std::vector<Bytes> e{f.partition(0, children), Format::withId(os.bytes(), attrId)};
    for (int i = 1; i <= kNodes; ++i)
        e.push_back(f.node(i, {attrId}));
    put("shared_attribute_1m.vq", vqcraft::sceneFile(f, e, Packing::Xz));

    Vq::SharedPtr<VqPartition> part;
    ASSERT_TRUE(open("shared_attribute_1m.vq", part)) << lastError();
    ASSERT_EQ(part->numChildren(), static_cast<unsigned>(kNodes));
    VqAttribute* shared = nullptr;
    ASSERT_TRUE(part->child(0)->getAttribute(0, shared)) << lastError();
    VqAttribute* last = nullptr;
    ASSERT_TRUE(part->child(kNodes - 1)->getAttribute(0, last)) << lastError();
    EXPECT_EQ(shared, last);
    Vq::SharedPtr<VqAttribute> keep = shared;
    ASSERT_EQ(shared->numNotificationClients(), static_cast<unsigned>(kNodes));

    // Such a graph, as the library writes it with LZMA, decodes to over 100
    // times its size: the decompression bound must still let it be read.
    VqSaveOptions lzma;
    lzma.versionMajor = 10;
    lzma.compression = VqSaveOptions::Compression::Lzma;
    ASSERT_TRUE(part->saveAs(location(_dir.path(), "resaved.vq").get(), lzma)) << lastError();
    {
        Vq::SharedPtr<VqPartition> again;
        ASSERT_TRUE(open("resaved.vq", again)) << lastError();
        EXPECT_EQ(again->numChildren(), static_cast<unsigned>(kNodes));
    }

    for (int i = kNodes; i-- > 3;)
        ASSERT_TRUE(part->removeChild(i)) << lastError();
    const std::vector<const VqNotifyBase*> clients = shared->notificationClients();
    ASSERT_EQ(clients.size(), 3u);
    for (unsigned i = 0; i < clients.size(); ++i)
        EXPECT_EQ(clients[i], part->child(static_cast<int>(i)));
    part = nullptr;
    EXPECT_EQ(shared->numNotificationClients(), 0u);
}

// ---- nested elements -------------------------------------------------------------

// A texture-coordinate generator as the library writes it, and where its
// mapping surface's element starts in it.
Bytes generatorElement(const Format& f, size_t& innerAt) {
    Vq::SharedPtr<VqTexCoordGen> tcg = new VqTexCoordGen();
    tcg->setMappingSurface(new VqMappingPlane());
    VqTestObjectStream os = VqTestObjectStream::forWriting(f.major, f.minor);
    EXPECT_TRUE(VqElementIO::writeLogicalElementOf(f.major, *os, tcg.get())) << lastError();
    Bytes bytes = os.bytes();
    innerAt = vqcraft::findElement(bytes, vqcraft::kMappingPlane);
    EXPECT_GT(innerAt, 0u);
    return bytes;
}

// 40,000 generators nested in each other's records (the reader recursed once
// per level and overflowed its stack): the second level is refused from its
// type, before it reads anything.
TEST_F(HostileFileTest, NestedGeneratorsAreRefusedFromTheirType) {
    for (const Format& f : {Format(9, 5), Format(10, 0)}) {
        size_t innerAt = 0;
        const Bytes sample = generatorElement(f, innerAt);
        const std::string name = "nested_40k_" + std::to_string(f.major) + ".vq";
        put(name, vqcraft::sceneFile(
                      f, {f.partition(0, {1}), f.node(1, {1001}), f.nest(sample, innerAt, 40000, 1001)}));
        Vq::SharedPtr<VqPartition> part;
        EXPECT_FALSE(open(name, part));
        EXPECT_EQ(lastError(), "Nested element is not of the class expected in its place");
        EXPECT_EQ(lastCode(), VQ_ERR_CORRUPT);
        // One level reads.
        put("nested_1.vq", vqcraft::sceneFile(f, {f.partition(0, {1}), f.node(1, {1001}),
                                                  f.nest(sample, innerAt, 1, 1001)}));
        ASSERT_TRUE(open("nested_1.vq", part)) << lastError();
        ASSERT_EQ(part->child(0)->numAttributes(), 1);
    }
}

// The same nesting inside a late-loaded segment: the file opens, and loading
// the segment fails cleanly (it crashed a conversion); one level loads.
TEST_F(HostileFileTest, NestedGeneratorsInALateSegmentFailToLoad) {
    const Format f(10, 0);
    size_t innerAt = 0;
    const Bytes sample = generatorElement(f, innerAt);
    const VqGUID segGuid(0xABCDEF01u, 0x1234, 0x5678, 1, 2, 3, 4, 5, 6, 7, 8);
    Vq::SharedPtr<VqStringPropAtom> key = new VqStringPropAtom("VQ_LLPROP_METADATA");
    Vq::SharedPtr<VqLateLoadedPropAtom> late = new VqLateLoadedPropAtom(segGuid, VQSEG_METADATA);
    VqTestObjectStream os = VqTestObjectStream::forWriting(10, 0);
    ASSERT_TRUE(VqElementIO::writeLogicalElementV10(*os, key.get()));
    const size_t keyEnd = os.bytes().size();
    ASSERT_TRUE(VqElementIO::writeLogicalElementV10(*os, late.get()));
    const Bytes both = os.bytes();
    const Bytes keyElem(both.begin(), both.begin() + static_cast<std::ptrdiff_t>(keyEnd));
    const Bytes lateElem(both.begin() + static_cast<std::ptrdiff_t>(keyEnd), both.end());
    const Bytes graph = f.sceneGraph({f.partition(0, {1}), f.node(1)},
                                     {Format::withId(keyElem, 10), Format::withId(lateElem, 11)},
                                     f.propertyTable({{0, {{10, 11}}}}));
    vqcraft::Guid g;
    std::memcpy(g.b, &segGuid, 16);
    for (int depth : {1, 40000}) {
        // The segment's one object, then no property elements, an end marker and the table.
        vqcraft::Out late;
        late.bytes(f.nest(sample, innerAt, depth, 1)).bytes(f.end()).bytes(f.emptyPropertyTable());
        const std::string name = "nested_" + std::to_string(depth) + "_late.vq";
        put(name, vqcraft::file(f, {{vqcraft::kLsgSegment, VQSEG_LSG, vqcraft::pack(Packing::Xz, graph)},
                                    {g, VQSEG_METADATA, vqcraft::pack(Packing::Xz, late.b)}}));
        Vq::SharedPtr<VqPartition> part;
        ASSERT_TRUE(open(name, part)) << lastError();
        VqPropAtom* k = nullptr;
        VqPropAtom* v = nullptr;
        ASSERT_EQ(part->numProps(false), 1);
        ASSERT_TRUE(part->prop(0, k, v, false));
        auto* ll = Vq::typeCast<VqLateLoadedPropAtom>(v);
        ASSERT_NE(ll, nullptr);
        EXPECT_EQ(ll->ensureData(*part), depth == 1) << depth << ": " << lastError();
        if (depth == 1) {
            EXPECT_NE(Vq::typeCast<VqTexCoordGen>(ll->object().get()), nullptr);
        }
    }
}

// Below every class's own checks, element nesting as such stops at 64 levels,
// and a nested element must fit in the element that holds it.
TEST_F(HostileFileTest, ElementNestingIsBounded) {
    VqTestObjectStream w = VqTestObjectStream::forWriting(10, 0);
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(w->beginWrite());
    ASSERT_TRUE(w->write(int32_t(7)));
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(w->endWrite());
    Bytes deep = w.bytes();
    VqTestObjectStream r = VqTestObjectStream::forReading(deep, 10, 0);
    for (int i = 0; i < VqObjectStream::kMaxElementDepth; ++i)
        ASSERT_TRUE(r->beginRead()) << i;
    EXPECT_FALSE(r->beginRead());
    EXPECT_EQ(lastError(), "Elements nested too deeply");
    EXPECT_EQ(lastCode(), VQ_ERR_READ);

    // The second element claims four bytes more than the first leaves it.
    const uint32_t longer = static_cast<uint32_t>(deep.size() - 8 + 4);
    std::memcpy(deep.data() + 4, &longer, 4);
    VqTestObjectStream r2 = VqTestObjectStream::forReading(deep, 10, 0);
    ASSERT_TRUE(r2->beginRead());
    EXPECT_FALSE(r2->beginRead());
    EXPECT_EQ(lastError(), "Nested element runs past the end of the element holding it");
}

// ---- partition references ----------------------------------------------------------

// A partition node standing for the file that holds it, directly or through
// another file: opening every partition below the root (which read the file
// into itself without end) refuses the node that closes the circle.
TEST_F(HostileFileTest, PartitionFilesReferringToThemselvesAreRefused) {
    const Format f(10, 0);
    put("self.vq", vqcraft::sceneFile(f, {f.partition(0, {1}), f.partition(1, {}, "self.vq")}));
    put("a.vq", vqcraft::sceneFile(f, {f.partition(0, {1}), f.partition(1, {}, "b.vq")}));
    put("b.vq", vqcraft::sceneFile(f, {f.partition(0, {1}), f.partition(1, {}, "a.vq")}));

    Vq::SharedPtr<VqPartition> self;
    ASSERT_TRUE(open("self.vq", self)) << lastError();
    EXPECT_FALSE(VqPartition::openAllPartitions(self.get()));
    EXPECT_EQ(lastError(), "Partition refers to a file that contains it");
    EXPECT_EQ(lastCode(), VQ_ERR_CORRUPT);
    auto* node = Vq::typeCast<VqPartition>(self->child(0));
    ASSERT_NE(node, nullptr);
    EXPECT_FALSE(node->isOpen());
    EXPECT_TRUE(node->isNoOpen());

    Vq::SharedPtr<VqPartition> a;
    ASSERT_TRUE(open("a.vq", a)) << lastError();
    EXPECT_FALSE(VqPartition::openAllPartitions(a.get()));
    EXPECT_EQ(lastError(), "Partition refers to a file that contains it");
    // a -> b (opened) -> a (refused).
    auto* b = Vq::typeCast<VqPartition>(a->child(0));
    ASSERT_NE(b, nullptr);
    EXPECT_TRUE(b->isOpen());
    auto* again = Vq::typeCast<VqPartition>(b->child(0));
    ASSERT_NE(again, nullptr);
    EXPECT_FALSE(again->isOpen());
    EXPECT_EQ(countNodes(a.get()), 3u);
}

// A location read from a file is taken relative to that file's directory,
// whatever it says; and only regular files are opened, so that a location
// naming a FIFO or a device fails at once instead of blocking or never ending.
TEST_F(HostileFileTest, LocationsFromAFileOpenOnlyRegularFilesBelowIt) {
    const Format f(10, 0);
    TempDir elsewhere;
    writeFile(elsewhere.file("other.vq"), vqcraft::sceneFile(f, {f.partition(0, {1}), f.node(1)}));
    ASSERT_EQ(::mkfifo(_dir.file("fifo.vq").c_str(), 0600), 0);
    ASSERT_EQ(::symlink("/dev/zero", _dir.file("zero.vq").c_str()), 0);
    for (const std::string& target :
         {elsewhere.file("other.vq"), std::string("fifo.vq"), std::string("zero.vq")}) {
        put("refers.vq", vqcraft::sceneFile(f, {f.partition(0, {1}), f.partition(1, {}, target)}));
        Vq::SharedPtr<VqPartition> part;
        ASSERT_TRUE(open("refers.vq", part)) << lastError();
        EXPECT_FALSE(VqPartition::openAllPartitions(part.get())) << target;
        EXPECT_EQ(countNodes(part.get()), 2u) << target;
    }
    // The absolute path names a file below the directory; there it opens.
    const std::string below = _dir.path() + elsewhere.path();
    ASSERT_EQ(std::system(("mkdir -p '" + below + "'").c_str()), 0);
    writeFile(below + "/other.vq", readFile(elsewhere.file("other.vq")));
    put("refers.vq",
        vqcraft::sceneFile(f, {f.partition(0, {1}), f.partition(1, {}, elsewhere.file("other.vq"))}));
    Vq::SharedPtr<VqPartition> part;
    ASSERT_TRUE(open("refers.vq", part)) << lastError();
    EXPECT_TRUE(VqPartition::openAllPartitions(part.get())) << lastError();
    EXPECT_EQ(countNodes(part.get()), 3u);
}

// ---- decompression ------------------------------------------------------------------

// An object the library does not know, whose data is `zeros` zero bytes.
Bytes foreignHead(const Format& f, int32_t oid, uint64_t zeros) {
    Bytes head =
        f.element(vqcraft::kForeign, vqcraft::kBaseObject, oid, {}, 21 + static_cast<int64_t>(zeros));
    return head;
}

// A segment whose few kilobytes decode to 40 MiB, which an unknown object would
// keep whole (1 GiB took 1 GB of memory, and 2 GB through format 7): refused
// once the data passes what its size allows, in every framing.
TEST_F(HostileFileTest, DecompressionBombsAreRefused) {
    constexpr uint64_t kZeros = 40u << 20;
    for (const Format& f : {Format(9, 5), Format(10, 0)}) {
        vqcraft::Out tail;
        tail.bytes(f.end()).bytes(f.end()).bytes(f.emptyPropertyTable());
        vqcraft::Out head;
        head.bytes(f.partition(0, {})).bytes(foreignHead(f, 1, kZeros));
        const Packing packing = f.major >= 10 ? Packing::Xz : Packing::Zlib;
        const std::string name = "bomb_40m_" + std::to_string(f.major) + ".vq";
        put(name,
            vqcraft::file(f, {{vqcraft::kLsgSegment, VQSEG_LSG,
                               vqcraft::packStream(packing, vqcraft::ZeroRun(head.b, kZeros, tail.b))}}));
        Vq::SharedPtr<VqPartition> part;
        EXPECT_FALSE(open(name, part));
        EXPECT_EQ(lastError(), "Compressed data decodes to more than its size allows");
        EXPECT_EQ(lastCode(), VQ_ERR_READ);
    }

    // Format 7: the partition's element claims the zeros after its fields,
    // which the reader skips block-wise by decoding them.
    const Format f(7, 0);
    Bytes partition = f.partition(0, {}, "", [&] {
        vqcraft::Out t;
        t.bytes(f.end()).bytes(f.end());
        return t.b;
    }());
    const uint32_t claimed = static_cast<uint32_t>(partition.size() - 4 + kZeros);
    std::memcpy(partition.data(), &claimed, 4);
    put("bomb_40m_7.vq",
        vqcraft::legacyFile(f, {vqcraft::legacyBlockFrom(vqcraft::ZeroRun(partition, kZeros, {})),
                                vqcraft::legacyBlock(f.end())}));
    Vq::SharedPtr<VqPartition> part;
    EXPECT_FALSE(open("bomb_40m_7.vq", part));
    EXPECT_EQ(lastError(), "Compressed data decodes to more than its size allows");
    EXPECT_EQ(lastCode(), VQ_ERR_READ);
}

// Within the bound a segment reads whatever its ratio: 24 MiB from a few
// kilobytes (small, very regular segments); the same file is refused under a
// memory budget smaller than what it decodes to.
TEST_F(HostileFileTest, SegmentsReadWithinTheBoundAndTheBudget) {
    constexpr uint64_t kZeros = 24u << 20;
    const Format f(10, 0);
    vqcraft::Out tail;
    tail.bytes(f.end()).bytes(f.end()).bytes(f.emptyPropertyTable());
    vqcraft::Out head;
    head.bytes(f.partition(0, {1})).bytes(f.node(1)).bytes(foreignHead(f, 2, kZeros));
    put("dense_24m.vq",
        vqcraft::file(f, {{vqcraft::kLsgSegment, VQSEG_LSG,
                           vqcraft::packStream(Packing::Xz, vqcraft::ZeroRun(head.b, kZeros, tail.b))}}));
    Vq::SharedPtr<VqPartition> part;
    ASSERT_TRUE(open("dense_24m.vq", part)) << lastError();
    part = nullptr;

    VqPlatform* platform = VqPlatform::EnsureInstance();
    ASSERT_TRUE(platform->setMemoryBudget(static_cast<unsigned long>(16u << 20)));
    EXPECT_FALSE(open("dense_24m.vq", part));
    EXPECT_EQ(lastCode(), VQ_ERR_READ);
    ASSERT_TRUE(platform->setMemoryBudget(0ul));
}

// ---- header -------------------------------------------------------------------------

TEST_F(HostileFileTest, DamagedVersionTextsAndScramblersAreRefused) {
    const Format f(9, 5);
    const std::vector<Bytes> graph{f.partition(0, {1}), f.node(1)};
    for (const char* text :
         {"Version 4294967305.5 VQ", "Version 10.-5 VQ", "Version 9. 5 VQ", "Version +9.5 VQ"}) {
        put("version.vq",
            vqcraft::file(
                f, {{vqcraft::kLsgSegment, VQSEG_LSG, vqcraft::pack(Packing::Zlib, f.sceneGraph(graph))}},
                text));
        Vq::SharedPtr<VqPartition> part;
        EXPECT_FALSE(open("version.vq", part)) << text;
        EXPECT_EQ(lastError(), "Failed to extract version number") << text;
        EXPECT_EQ(lastCode(), VQ_ERR_READ);
    }
    // A plain file whose crypto method names a scrambler.
    Bytes scrambled = vqcraft::sceneFile(f, graph);
    scrambled[81] = 1;
    put("crypto.vq", scrambled);
    Vq::SharedPtr<VqPartition> part;
    EXPECT_FALSE(open("crypto.vq", part));
    EXPECT_EQ(lastError(), "Unexpected scrambler version");
    EXPECT_EQ(lastCode(), VQ_ERR_READ);
}

// The maximum read version lowers the minor of files of its own major only: a
// 9.5 file under a maximum of 10.0 stays 9.5 (its layouts depend on it).
TEST_F(HostileFileTest, MaximumReadVersionLowersOnlyItsOwnMajorsMinor) {
    ASSERT_TRUE(VqPartition::setMaxReadVersion(10, 0));
    for (const Format& f : {Format(9, 5), Format(10, 1)}) {
        put("v.vq", vqcraft::sceneFile(f, {f.partition(0, {1}), f.node(1)}));
        Vq::SharedPtr<VqPartition> part;
        ASSERT_TRUE(open("v.vq", part)) << lastError();
        int major = 0, minor = 0;
        part->datastoreVersion(major, minor);
        EXPECT_EQ(major, f.major);
        EXPECT_EQ(minor, f.major == 10 ? 0 : f.minor);
    }
}

} // namespace
