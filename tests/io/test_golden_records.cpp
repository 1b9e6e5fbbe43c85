// The file format's layouts pinned to bytes assembled by hand from the record
// tables: one element of each family (node, group, partition, attribute,
// value atom, late-loaded atom) in formats 6.4, 9.5 and 10.0, and the header
// and table of contents of a small file. Every case goes both ways: the writer
// produces exactly the fixture, and the reader turns the fixture into an
// object with the values it encodes. A round trip through our own writer and
// reader cannot catch a field misplaced the same way in both.
//
// All fixtures are least significant byte first. An element is its length
// (the bytes after the length field), the type GUID, the base-type byte, from
// format 9 on the object ID, then the object's data, root class level first.

#include "ContainerTestUtil.h"
#include "VqBuildConfig.h"
#include "VqDrawStyle.h"
#include "VqFSStorageLocation.h"
#include "VqGroup.h"
#include "VqInt32PropAtom.h"
#include "VqLateLoadedPropAtom.h"
#include "VqTestSegment.h"

#include <cstdio>
#include <cstring>
#include <string>

using namespace vqtest;

namespace {

// A type GUID of the {10DDxxxx-2AC8-11D1-9B6B-0080C7BB5997} family as stored:
// the 32-bit field (low 16 bits given), the two 16-bit fields, eight bytes.
#define FAMILY_GUID(lo, hi)                                                                                  \
    lo, hi, 0xDD, 0x10, 0xC8, 0x2A, 0xD1, 0x11, 0x9B, 0x6B, 0x00, 0x80, 0xC7, 0xBB, 0x59, 0x97

struct Format {
    int major, minor;
};
constexpr Format k64{6, 4}, k95{9, 5}, k100{10, 0};

struct Golden {
    Format format;
    Bytes bytes;
};

std::string name(Format f) {
    return std::to_string(f.major) + "." + std::to_string(f.minor);
}

// The writer stores values in the host's order; the fixtures are in one order.
bool hostIsLsbFirst() {
    return VqBaseDataStream::s_systemByteOrder() == LsbFirst;
}

// obj written as one element; owner is the partition whose file is written.
void expectWrites(const VqBase* obj, const Golden& g, VqPartition* owner = nullptr) {
    if (!hostIsLsbFirst()) return;
    VqTestObjectStream os = VqTestObjectStream::forWriting(g.format.major, g.format.minor);
    os->setPartition(owner);
    ASSERT_TRUE(VqTestSegment::writeElement(*os, g.format.major, obj)) << lastError();
    EXPECT_EQ(os.bytes(), g.bytes);
}

// The fixture read as one element, every byte of it, the objects it refers to
// (IDs 1, 2, ...) being the given stand-ins; a node's lists are fixed up.
template <class T>
Vq::SharedPtr<T> readBack(const Golden& g, const std::vector<const VqBase*>& standIns = {}) {
    VqTestObjectStream os = VqTestObjectStream::forReading(g.bytes, g.format.major, g.format.minor, LsbFirst);
    Vq::SharedPtr<VqBase> obj;
    if (!VqTestSegment::readElement(*os, g.format.major, obj) || !obj) {
        ADD_FAILURE() << "read failed: " << lastError();
        return nullptr;
    }
    EXPECT_FALSE(os->dataSkipped()) << "the reader left bytes of the element unread";
    for (size_t i = 0; i < standIns.size(); ++i) {
        bool ok = true;
        EXPECT_TRUE(os->registerPtr(standIns[i], static_cast<int>(i) + 1, &ok));
    }
    if (auto* n = Vq::typeCast<VqNode>(obj.get())) {
        EXPECT_TRUE(n->fixupLists()) << lastError();
        n->setInternalFlag(VqNode::VQ_NODE_IFLAG_NEEDSLOADFIXUP, false);
    }
    auto* t = Vq::typeCast<T>(obj.get());
    EXPECT_NE(t, nullptr) << "the element read is of another class";
    return t;
}

class GoldenTest : public VqLibTest {};

// ---- node -----------------------------------------------------------------------
//
// A node with the ignore flag and a user flag (not stored) holding one
// attribute, which gets object ID 1.

// clang-format off
const Golden kNode[] = {
    {k64,
     {
         0x21, 0x00, 0x00, 0x00,  // element length 33
         FAMILY_GUID(0x35, 0x10), // VqNode {10DD1035-...}
         0x00,                    // base type 0: a node
         0x00, 0x00, 0x00, 0x00,  // VqNode: own object ID 0 (before format 9)
         0x01, 0x00, 0x00, 0x00,  //   node flags: ignore (bit 0) only
         0x01, 0x00, 0x00, 0x00,  //   attribute count 1
         0x01, 0x00, 0x00, 0x00,  //   attribute object ID 1
     }},
    {k95,
     {
         0x23, 0x00, 0x00, 0x00,  // element length 35
         FAMILY_GUID(0x35, 0x10), // VqNode
         0x00,                    // base type 0
         0x00, 0x00, 0x00, 0x00,  // object ID 0
         0x01, 0x00,              // VqNode: local version 1 (16-bit)
         0x01, 0x00, 0x00, 0x00,  //   node flags: ignore
         0x01, 0x00, 0x00, 0x00,  //   attribute count 1
         0x01, 0x00, 0x00, 0x00,  //   attribute object ID 1
     }},
    {k100,
     {
         0x22, 0x00, 0x00, 0x00,  // element length 34
         FAMILY_GUID(0x35, 0x10), // VqNode
         0x00,                    // base type 0
         0x00, 0x00, 0x00, 0x00,  // object ID 0
         0x01,                    // VqNode: local version 1 (8-bit)
         0x01, 0x00, 0x00, 0x00,  //   node flags: ignore
         0x01, 0x00, 0x00, 0x00,  //   attribute count 1
         0x01, 0x00, 0x00, 0x00,  //   attribute object ID 1
     }},
};
// clang-format on

TEST_F(GoldenTest, Node) {
    for (const Golden& g : kNode) {
        SCOPED_TRACE(name(g.format));
        Vq::SharedPtr<VqNode> node = new VqNode();
        ASSERT_TRUE(node->setIgnoreFlag(true));
        ASSERT_TRUE(node->setFlag(0x0004, true));
        Vq::SharedPtr<VqDrawStyle> attr = new VqDrawStyle();
        ASSERT_TRUE(node->appendAttribute(attr.get()));
        expectWrites(node.get(), g);

        Vq::SharedPtr<VqDrawStyle> standIn = new VqDrawStyle();
        Vq::SharedPtr<VqNode> back = readBack<VqNode>(g, {standIn.get()});
        ASSERT_TRUE(back);
        EXPECT_TRUE(back->isIgnored());
        ASSERT_EQ(back->numAttributes(), 1);
        VqAttribute* a = nullptr;
        ASSERT_TRUE(back->getAttribute(0, a));
        EXPECT_EQ(a, standIn.get());
    }
}

// ---- group ----------------------------------------------------------------------
//
// A group of two nodes (object IDs 1 and 2), without attributes.

// clang-format off
const Golden kGroup[] = {
    {k64,
     {
         0x29, 0x00, 0x00, 0x00,  // element length 41
         FAMILY_GUID(0x1B, 0x10), // VqGroup {10DD101B-...}
         0x01,                    // base type 1: a group
         0x00, 0x00, 0x00, 0x00,  // VqNode: own object ID 0
         0x00, 0x00, 0x00, 0x00,  //   node flags
         0x00, 0x00, 0x00, 0x00,  //   attribute count 0
         0x02, 0x00, 0x00, 0x00,  // VqGroup: child count 2 (unsigned before format 9)
         0x01, 0x00, 0x00, 0x00,  //   child object ID 1
         0x02, 0x00, 0x00, 0x00,  //   child object ID 2
     }},
    {k95,
     {
         0x2D, 0x00, 0x00, 0x00,  // element length 45
         FAMILY_GUID(0x1B, 0x10), // VqGroup
         0x01,                    // base type 1
         0x00, 0x00, 0x00, 0x00,  // object ID 0
         0x01, 0x00,              // VqNode: local version 1
         0x00, 0x00, 0x00, 0x00,  //   node flags
         0x00, 0x00, 0x00, 0x00,  //   attribute count 0
         0x01, 0x00,              // VqGroup: local version 1
         0x02, 0x00, 0x00, 0x00,  //   child count 2
         0x01, 0x00, 0x00, 0x00,  //   child object ID 1
         0x02, 0x00, 0x00, 0x00,  //   child object ID 2
     }},
    {k100,
     {
         0x2B, 0x00, 0x00, 0x00,  // element length 43
         FAMILY_GUID(0x1B, 0x10), // VqGroup
         0x01,                    // base type 1
         0x00, 0x00, 0x00, 0x00,  // object ID 0
         0x01,                    // VqNode: local version 1
         0x00, 0x00, 0x00, 0x00,  //   node flags
         0x00, 0x00, 0x00, 0x00,  //   attribute count 0
         0x01,                    // VqGroup: local version 1
         0x02, 0x00, 0x00, 0x00,  //   child count 2
         0x01, 0x00, 0x00, 0x00,  //   child object ID 1
         0x02, 0x00, 0x00, 0x00,  //   child object ID 2
     }},
};
// clang-format on

TEST_F(GoldenTest, Group) {
    for (const Golden& g : kGroup) {
        SCOPED_TRACE(name(g.format));
        Vq::SharedPtr<VqGroup> group = new VqGroup();
        ASSERT_TRUE(group->appendChild(new VqNode()));
        ASSERT_TRUE(group->appendChild(new VqNode()));
        expectWrites(group.get(), g);

        Vq::SharedPtr<VqNode> first = new VqNode(), second = new VqNode();
        Vq::SharedPtr<VqGroup> back = readBack<VqGroup>(g, {first.get(), second.get()});
        ASSERT_TRUE(back);
        EXPECT_FALSE(back->isIgnored());
        EXPECT_EQ(back->numAttributes(), 0);
        ASSERT_EQ(back->numChildren(), 2u);
        EXPECT_EQ(back->child(0), first.get());
        EXPECT_EQ(back->child(1), second.get());
    }
}

// ---- partition ------------------------------------------------------------------
//
// A partition is a group: the group level (with its children) comes before
// the partition's own level. The partition of the file being written lists its
// child (object ID 1); its own level is a local version from format 9, flags
// (bit 0: the group level holds the contents) and a location, empty for the
// file's own partition.

// clang-format off
const Golden kPartition[] = {
    {k64,
     {
         0x2A, 0x00, 0x00, 0x00,  // element length 42
         FAMILY_GUID(0x3E, 0x10), // VqPartition {10DD103E-...}
         0x01,                    // base type 1: a group
         0x00, 0x00, 0x00, 0x00,  // VqNode: own object ID 0
         0x00, 0x00, 0x00, 0x00,  //   node flags
         0x00, 0x00, 0x00, 0x00,  //   attribute count 0
         0x01, 0x00, 0x00, 0x00,  // VqGroup: child count 1
         0x01, 0x00, 0x00, 0x00,  //   child object ID 1
         0x01,                    // VqPartition: flags, bit 0: the children are its contents
         0x00, 0x00, 0x00, 0x00,  //   location: a string of 0 characters
     }},
    {k95,
     {
         0x30, 0x00, 0x00, 0x00,  // element length 48
         FAMILY_GUID(0x3E, 0x10), // VqPartition
         0x01,                    // base type 1
         0x00, 0x00, 0x00, 0x00,  // object ID 0
         0x01, 0x00,              // VqNode: local version 1
         0x00, 0x00, 0x00, 0x00,  //   node flags
         0x00, 0x00, 0x00, 0x00,  //   attribute count 0
         0x01, 0x00,              // VqGroup: local version 1
         0x01, 0x00, 0x00, 0x00,  //   child count 1
         0x01, 0x00, 0x00, 0x00,  //   child object ID 1
         0x01, 0x00,              // VqPartition: local version 1
         0x01,                    //   flags: contents
         0x00, 0x00, 0x00, 0x00,  //   location ""
     }},
    {k100,
     {
         0x2D, 0x00, 0x00, 0x00,  // element length 45
         FAMILY_GUID(0x3E, 0x10), // VqPartition
         0x01,                    // base type 1
         0x00, 0x00, 0x00, 0x00,  // object ID 0
         0x01,                    // VqNode: local version 1
         0x00, 0x00, 0x00, 0x00,  //   node flags
         0x00, 0x00, 0x00, 0x00,  //   attribute count 0
         0x01,                    // VqGroup: local version 1
         0x01, 0x00, 0x00, 0x00,  //   child count 1
         0x01, 0x00, 0x00, 0x00,  //   child object ID 1
         0x01,                    // VqPartition: local version 1
         0x01,                    //   flags: contents
         0x00, 0x00, 0x00, 0x00,  //   location ""
     }},
};
// clang-format on

// A partition node in another file's graph, standing for "axle.vq": it holds
// a child in memory (its file is open) but lists none.
// clang-format off
const Golden kReferringPartition = {
    k100,
    {
        0x37, 0x00, 0x00, 0x00,  // element length 55
        FAMILY_GUID(0x3E, 0x10), // VqPartition
        0x01,                    // base type 1
        0x00, 0x00, 0x00, 0x00,  // object ID 0
        0x01,                    // VqNode: local version 1
        0x00, 0x00, 0x00, 0x00,  //   node flags
        0x00, 0x00, 0x00, 0x00,  //   attribute count 0
        0x01,                    // VqGroup: local version 1
        0x00, 0x00, 0x00, 0x00,  //   child count 0
        0x01,                    // VqPartition: local version 1
        0x00,                    //   flags: no contents
        0x07, 0x00, 0x00, 0x00,  //   location: 7 UCS-2 code units
        'a', 0, 'x', 0, 'l', 0, 'e', 0, '.', 0, 'v', 0, 'q', 0,
    }};
// clang-format on

TEST_F(GoldenTest, Partition) {
    for (const Golden& g : kPartition) {
        SCOPED_TRACE(name(g.format));
        Vq::SharedPtr<VqPartition> part = new VqPartition();
        ASSERT_TRUE(part->appendChild(new VqNode()));
        expectWrites(part.get(), g, part.get());

        Vq::SharedPtr<VqNode> child = new VqNode();
        Vq::SharedPtr<VqPartition> back = readBack<VqPartition>(g, {child.get()});
        ASSERT_TRUE(back);
        ASSERT_EQ(back->numChildren(), 1u);
        EXPECT_EQ(back->child(0), child.get());
        EXPECT_EQ(back->location(), nullptr);
    }
}

TEST_F(GoldenTest, PartitionStandingForAnotherFile) {
    const Golden& g = kReferringPartition;
    Vq::SharedPtr<VqFSStorageLocation> axle = new VqFSStorageLocation(VqString::fromUtf8("axle.vq"));
    Vq::SharedPtr<VqPartition> ref = new VqPartition(axle.get());
    ASSERT_TRUE(ref->appendChild(new VqNode()));
    Vq::SharedPtr<VqPartition> writer = new VqPartition();
    expectWrites(ref.get(), g, writer.get());

    Vq::SharedPtr<VqPartition> back = readBack<VqPartition>(g);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->numChildren(), 0u);
    EXPECT_FALSE(back->isOpen());
    const auto* loc = Vq::typeCast<VqFSStorageLocation>(back->location());
    ASSERT_NE(loc, nullptr);
    EXPECT_TRUE(loc->isRelative());
    EXPECT_EQ(loc->name().toUtf8(), "axle.vq");

    // Children named by the group level of such a node are not its to hold.
    Golden listed = g;
    // After the length, GUID, base type, ID, node level and group's local version.
    const size_t countAt = 4 + 16 + 1 + 4 + 9 + 1;
    ASSERT_EQ(listed.bytes[countAt], 0);
    listed.bytes[countAt] = 1;
    const uint8_t id[] = {0x01, 0x00, 0x00, 0x00};
    listed.bytes.insert(listed.bytes.begin() + static_cast<std::ptrdiff_t>(countAt + 4), id, id + 4);
    listed.bytes[0] += 4;
    Vq::SharedPtr<VqNode> child = new VqNode();
    back = readBack<VqPartition>(listed, {child.get()});
    ASSERT_TRUE(back);
    EXPECT_EQ(back->numChildren(), 0u);
    EXPECT_EQ(child->numParents(), 0);
}

// ---- attribute ------------------------------------------------------------------
//
// A draw style that forces accumulation, inhibits field 5 (separate specular)
// and has two-sided lighting (field 0), back-face culling (field 1) and flat
// shading (field 4) on, the others (lighting, on by default, included) off. Its state flags are 0x0A:
// persistable (bit 3) and force (bit 1); its data flags 0x13: bit 1 two-sided, bit 0 culling, bit 4 flat.
// Before format 8 the inhibit mask is not stored.

// clang-format off
const Golden kDrawStyle[] = {
    {k64,
     {
         0x17, 0x00, 0x00, 0x00,  // element length 23
         FAMILY_GUID(0x14, 0x10), // VqDrawStyle {10DD1014-...}
         0x03,                    // base type 3: an attribute
         0x00, 0x00, 0x00, 0x00,  // VqAttribute: own object ID 0
         0x0A,                    //   state flags
         0x13,                    // VqDrawStyle: data flags
     }},
    {k95,
     {
         0x1F, 0x00, 0x00, 0x00,  // element length 31
         FAMILY_GUID(0x14, 0x10), // VqDrawStyle
         0x03,                    // base type 3
         0x00, 0x00, 0x00, 0x00,  // object ID 0
         0x01, 0x00,              // VqAttribute: local version 1 (no final mask)
         0x0A,                    //   state flags
         0x20, 0x00, 0x00, 0x00,  //   inhibit mask: field 5
         0x01, 0x00,              // VqDrawStyle: local version 1
         0x13,                    //   data flags
     }},
    {k100,
     {
         0x21, 0x00, 0x00, 0x00,  // element length 33
         FAMILY_GUID(0x14, 0x10), // VqDrawStyle
         0x03,                    // base type 3
         0x00, 0x00, 0x00, 0x00,  // object ID 0
         0x01,                    // VqAttribute: local version 1
         0x0A,                    //   state flags
         0x20, 0x00, 0x00, 0x00,  //   inhibit mask: field 5
         0x00, 0x00, 0x00, 0x00,  //   final mask: none
         0x01,                    // VqDrawStyle: local version 1
         0x13,                    //   data flags
     }},
};
// clang-format on

TEST_F(GoldenTest, Attribute) {
    for (const Golden& g : kDrawStyle) {
        SCOPED_TRACE(name(g.format));
        Vq::SharedPtr<VqDrawStyle> style = new VqDrawStyle();
        ASSERT_TRUE(style->setForceAccum(true));
        ASSERT_TRUE(style->setInhibit(VqDrawStyle::SeparateSpecular, true));
        ASSERT_TRUE(style->setTwoSidedLighting(true));
        ASSERT_TRUE(style->setBackFaceCulling(true));
        ASSERT_TRUE(style->setFlatShading(true));
        ASSERT_TRUE(style->setLighting(false));
        expectWrites(style.get(), g);

        Vq::SharedPtr<VqDrawStyle> back = readBack<VqDrawStyle>(g);
        ASSERT_TRUE(back);
        EXPECT_TRUE(back->isForceAccum());
        EXPECT_TRUE(back->isPersistable());
        EXPECT_FALSE(back->isIgnored());
        EXPECT_FALSE(back->isFinal());
        EXPECT_EQ(back->isInhibited(VqDrawStyle::SeparateSpecular), g.format.major >= 8);
        EXPECT_FALSE(back->isInhibited(VqDrawStyle::TwoSidedLighting));
        EXPECT_TRUE(back->twoSidedLighting());
        EXPECT_TRUE(back->backFaceCulling());
        EXPECT_FALSE(back->outlinedPolygons());
        EXPECT_FALSE(back->lighting());
        EXPECT_TRUE(back->flatShading());
        EXPECT_FALSE(back->separateSpecular());
    }
}

// ---- value atom -----------------------------------------------------------------
//
// An Int32 property atom holding -123456 (0xFFFE1DC0) with the free bits 0x5A;
// its state word as stored is word & 0x400000FF: 0x4000005A (persistable).

// clang-format off
const Golden kInt32Atom[] = {
    {k64,
     {
         0x1D, 0x00, 0x00, 0x00,  // element length 29
         FAMILY_GUID(0x2B, 0x10), // VqInt32PropAtom {10DD102B-...}
         0x05,                    // base type 5: a property atom
         0x00, 0x00, 0x00, 0x00,  // VqPropAtom: own object ID 0
         0x5A, 0x00, 0x00, 0x40,  //   state word
         0xC0, 0x1D, 0xFE, 0xFF,  // VqInt32PropAtom: value
     }},
    {k95,
     {
         0x21, 0x00, 0x00, 0x00,  // element length 33
         FAMILY_GUID(0x2B, 0x10), // VqInt32PropAtom
         0x05,                    // base type 5
         0x00, 0x00, 0x00, 0x00,  // object ID 0
         0x01, 0x00,              // VqPropAtom: local version 1
         0x5A, 0x00, 0x00, 0x40,  //   state word
         0x01, 0x00,              // VqInt32PropAtom: local version 1
         0xC0, 0x1D, 0xFE, 0xFF,  //   value
     }},
    {k100,
     {
         0x1F, 0x00, 0x00, 0x00,  // element length 31
         FAMILY_GUID(0x2B, 0x10), // VqInt32PropAtom
         0x05,                    // base type 5
         0x00, 0x00, 0x00, 0x00,  // object ID 0
         0x02,                    // VqPropAtom: local version 2 (format 10)
         0x5A, 0x00, 0x00, 0x40,  //   state word
         0x01,                    // VqInt32PropAtom: local version 1
         0xC0, 0x1D, 0xFE, 0xFF,  //   value
     }},
};
// clang-format on

TEST_F(GoldenTest, ValueAtom) {
    for (const Golden& g : kInt32Atom) {
        SCOPED_TRACE(name(g.format));
        Vq::SharedPtr<VqInt32PropAtom> atom = new VqInt32PropAtom(-123456);
        atom->setFreeBits(0x5A);
        expectWrites(atom.get(), g);

        Vq::SharedPtr<VqInt32PropAtom> back = readBack<VqInt32PropAtom>(g);
        ASSERT_TRUE(back);
        EXPECT_EQ(back->value(), -123456);
        EXPECT_EQ(back->freeBits(), 0x5Au);
        EXPECT_TRUE(back->isPersistable());
    }
}

// ---- late-loaded atom -----------------------------------------------------------
//
// A late-loaded atom naming the metadata segment (type 4)
// {0A1B2C3D-4E5F-6A7B-8C9D-AEBFC0D1E2F3}. A new late-loaded atom is a
// non-user (bit 29), persistable (bit 30) atom: its state word as stored is 0x40000000.

#define SEGMENT_GUID                                                                                         \
    0x3D, 0x2C, 0x1B, 0x0A, 0x5F, 0x4E, 0x7B, 0x6A, 0x8C, 0x9D, 0xAE, 0xBF, 0xC0, 0xD1, 0xE2, 0xF3
#define LATE_LOADED_GUID                                                                                     \
    0xE5, 0x5B, 0xB0, 0xE0, 0xBD, 0xFB, 0xD1, 0x11, 0xA3, 0xA7, 0x00, 0xAA, 0x00, 0xD1, 0x09, 0x54

// clang-format off
const Golden kLateLoadedAtom[] = {
    {k64,
     {
         0x2D, 0x00, 0x00, 0x00, // element length 45
         LATE_LOADED_GUID,       // VqLateLoadedPropAtom {E0B05BE5-FBBD-11D1-A3A7-00AA00D10954}
         0x08,                   // base type 8: a late-loaded atom
         0x00, 0x00, 0x00, 0x00, // VqPropAtom: own object ID 0
         0x00, 0x00, 0x00, 0x40, //   state word
         SEGMENT_GUID,           // VqLateLoadedPropAtom: segment GUID
         0x04, 0x00, 0x00, 0x00, //   segment type 4
     }},
    {k95,
     {
         0x39, 0x00, 0x00, 0x00, // element length 57
         LATE_LOADED_GUID,       // VqLateLoadedPropAtom
         0x08,                   // base type 8
         0x00, 0x00, 0x00, 0x00, // object ID 0
         0x01, 0x00,             // VqPropAtom: local version 1
         0x00, 0x00, 0x00, 0x40, //   state word
         0x01, 0x00,             // VqLateLoadedPropAtom: local version 1
         SEGMENT_GUID,           //   segment GUID
         0x04, 0x00, 0x00, 0x00, //   segment type 4
         0x00, 0x00, 0x00, 0x00, //   0
         0x01, 0x00, 0x00, 0x00, //   1
     }},
    {k100,
     {
         0x33, 0x00, 0x00, 0x00, // element length 51
         LATE_LOADED_GUID,       // VqLateLoadedPropAtom
         0x08,                   // base type 8
         0x00, 0x00, 0x00, 0x00, // object ID 0
         0x02,                   // VqPropAtom: local version 2
         0x00, 0x00, 0x00, 0x40, //   state word
         0x02,                   // VqLateLoadedPropAtom: local version 2
         SEGMENT_GUID,           //   segment GUID
         0x04, 0x00, 0x00, 0x00, //   segment type 4
         0x00, 0x00, 0x00, 0x00, //   reserved 0
     }},
};
// clang-format on

TEST_F(GoldenTest, LateLoadedAtom) {
    const VqGUID segment(0x0A1B2C3Du, 0x4E5F, 0x6A7B, 0x8C, 0x9D, 0xAE, 0xBF, 0xC0, 0xD1, 0xE2, 0xF3);
    for (const Golden& g : kLateLoadedAtom) {
        SCOPED_TRACE(name(g.format));
        Vq::SharedPtr<VqLateLoadedPropAtom> atom = new VqLateLoadedPropAtom(segment, VQSEG_METADATA);
        expectWrites(atom.get(), g);

        Vq::SharedPtr<VqLateLoadedPropAtom> back = readBack<VqLateLoadedPropAtom>(g);
        ASSERT_TRUE(back);
        EXPECT_EQ(back->guid(), segment);
        EXPECT_EQ(back->segType(), VQSEG_METADATA);
        EXPECT_FALSE(back->isLoaded());
        EXPECT_FALSE(back->isUserProp());
        // A late-loaded atom read from a file is not persistable until it holds its object.
        EXPECT_EQ(back->stateWord() & 0x40000000u, 0u);
    }
}

// ---- header and table of contents -----------------------------------------------
//
// A file holding one shape-data segment (type 6, stored without compression)
// of six bytes, {C0DE0001-1234-5678-0102-030405060708}: the header, the TOC
// right after it (its one entry and the padding copy that keeps a count of 1
// from reading as the legacy form) and the segment.

// The 80-byte version text: "Version M.m VQ", two spaces, "ZQ" and the
// library's version (four numbers), spaces up to byte 74, then space, LF, CR,
// LF, space.
Bytes versionText(Format f) {
    char text[81];
    std::snprintf(text, sizeof text, "Version %d.%d VQ  ZQ %d.%d.%d.0", f.major, f.minor, VQ_VERSION_MAJOR,
                  VQ_VERSION_MINOR, VQ_VERSION_PATCH);
    Bytes b(text, text + std::strlen(text));
    b.resize(75, ' ');
    for (uint8_t c : {' ', '\n', '\r', '\n', ' '})
        b.push_back(c);
    return b;
}

#define SEG_GUID                                                                                             \
    0x01, 0x00, 0xDE, 0xC0, 0x34, 0x12, 0x78, 0x56, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08
#define PADDING_GUID                                                                                         \
    0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00
#define OLD_LSG_GUID                                                                                         \
    0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00

// clang-format off
const Golden kFile[] = {
    {k95,
     {
         // header: the version text (80 bytes) comes before these
         0x00,                   // byte order: least significant byte first
         0x00, 0x00, 0x00, 0x00, // crypto method 0: plain
         0x69, 0x00, 0x00, 0x00, // TOC offset 105 (4 bytes up to format 9)
         OLD_LSG_GUID,           // LSG GUID: none written, the initial {00000003-...}
         // TOC at 105
         0x02, 0x00, 0x00, 0x00, // entry count 2
         SEG_GUID,               // entry: segment GUID
         0xA5, 0x00, 0x00, 0x00, //   offset 165 = 105 + 4 + 2 * 28 (4 bytes)
         0x1E, 0x00, 0x00, 0x00, //   length 30: segment header and data
         0x00, 0x00, 0x00, 0x06, //   attributes: type 6 in bits 24-31, block 0
         PADDING_GUID,           // padding entry {00000004-...}, a copy of the first
         0xA5, 0x00, 0x00, 0x00, //   offset 165
         0x1E, 0x00, 0x00, 0x00, //   length 30
         0x00, 0x00, 0x00, 0x06, //   attributes
         // segment at 165
         SEG_GUID,               // segment GUID
         0x06, 0x00, 0x00, 0x00, // segment type 6
         0x1E, 0x00, 0x00, 0x00, // segment length 30, these 24 bytes included
         'g', 'o', 'l', 'd', 'e', 'n',
     }},
    {k100,
     {
         0x00,                                           // byte order
         0x00, 0x00, 0x00, 0x00,                         // crypto method
         0x6D, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // TOC offset 109 (8 bytes from format 10)
         OLD_LSG_GUID,                                   // LSG GUID
         // TOC at 109
         0x02, 0x00, 0x00, 0x00,                         // entry count 2
         SEG_GUID,                                       // entry: segment GUID
         0xB1, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, //   offset 177 = 109 + 4 + 2 * 32 (8 bytes)
         0x1E, 0x00, 0x00, 0x00,                         //   length 30
         0x00, 0x00, 0x00, 0x06,                         //   attributes: type 6
         PADDING_GUID,                                   // padding entry
         0xB1, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, //   offset 177
         0x1E, 0x00, 0x00, 0x00,                         //   length 30
         0x00, 0x00, 0x00, 0x06,                         //   attributes
         // segment at 177
         SEG_GUID,                                       // segment GUID
         0x06, 0x00, 0x00, 0x00,                         // segment type 6
         0x1E, 0x00, 0x00, 0x00,                         // segment length 30
         'g', 'o', 'l', 'd', 'e', 'n',
     }},
};
// clang-format on

TEST_F(GoldenTest, HeaderAndTableOfContents) {
    const VqGUID seg(0xC0DE0001u, 0x1234, 0x5678, 1, 2, 3, 4, 5, 6, 7, 8);
    const Bytes data = {'g', 'o', 'l', 'd', 'e', 'n'};
    for (const Golden& g : kFile) {
        SCOPED_TRACE(name(g.format));
        Bytes expected = versionText(g.format);
        expected.insert(expected.end(), g.bytes.begin(), g.bytes.end());
        const uint64_t headerSize = g.format.major >= 10 ? 109 : 105;
        ASSERT_EQ(expected.size(), headerSize + 4 + 2 * (headerSize == 109 ? 32 : 28) + 30);

        TempDir dir;
        VqPartition owner;
        if (hostIsLsbFirst()) {
            ASSERT_TRUE(writeVqFile(dir.path(), "written.vq", g.format.major, g.format.minor,
                                    {{seg, VQSEG_SHAPE, data}}, owner))
                << lastError();
            EXPECT_EQ(readFile(dir.file("written.vq")), expected);
        }

        writeFile(dir.file("golden.vq"), expected);
        auto mgr = openForReading(dir.path(), "golden.vq");
        ASSERT_TRUE(mgr) << lastError();
        int major = -1, minor = -1;
        ASSERT_TRUE(mgr->getVersion(major, minor));
        EXPECT_EQ(major, g.format.major);
        EXPECT_EQ(minor, g.format.minor);
        EXPECT_EQ(mgr->byteOrder(), LsbFirst);
        EXPECT_EQ(mgr->tocOffset(), static_cast<int64_t>(headerSize));
        VqGUID lsg;
        ASSERT_TRUE(mgr->lsgSegGUID(lsg));
        EXPECT_EQ(lsg, VqStreamMgr::OldLsgSegGuid);
        // The padding copy is dropped on reading.
        const VqTOC toc = mgr->toc();
        EXPECT_EQ(toc.numEntries(), 1);
        const VqTOCElem* e = toc.find(seg);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->offset, headerSize + 4 + 2 * (headerSize == 109 ? 32 : 28));
        EXPECT_EQ(e->length, 30u);
        EXPECT_EQ(e->segType(), VQSEG_SHAPE);
        EXPECT_EQ(e->blockNum(), 0);
        Bytes back;
        ASSERT_TRUE(readSegment(mgr.get(), seg, data.size(), back)) << lastError();
        EXPECT_EQ(back, data);
    }
}

} // namespace
