// Objects of types a reader does not know: written by a writer that knows
// them, read back after their types were withdrawn from the factory, and
// written again.

#include "VqGroup.h"
#include "VqInt32PropAtom.h"
#include "VqPartition.h"
#include "VqSceneTestUtil.h"
#include "VqStringPropAtom.h"
#include "VqTestObjectStream.h"
#include "VqTestSegment.h"
#include "VqUnknownAttribute.h"
#include "VqUnknownBase.h"
#include "VqUnknownGroup.h"
#include "VqUnknownNode.h"
#include "VqUnknownPropAtom.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// A node type of a newer writer: a node with fields of its own in every format.
class TestWidget : public VqNode {
    VQ_DECLARE_TYPE(TestWidget)
public:
    // Off: the writer stands for one that knows the class's base only.
    static inline bool s_bExtras = true;
    int32_t _iA = 0;
    VqString _strB;
    bool _write(VqObjectStream& os) const { return !s_bExtras || (os.write(_iA) && os.write(_strB)); }
    bool _read(VqObjectStream& os) { return os.read(&_iA) && os.read(_strB); }
    bool _serializeVQ64virtual(VqObjectStream& os) const override {
        return VqNode::_serializeVQ64virtual(os) && _write(os);
    }
    bool _serializeVQ90virtual(VqObjectStream& os) const override {
        return VqNode::_serializeVQ90virtual(os) && _write(os);
    }
    bool _serializeVQ100virtual(VqObjectStream& os) const override {
        return VqNode::_serializeVQ100virtual(os) && _write(os);
    }
    bool _deserializeVQ64virtual(VqObjectStream& os) override {
        return VqNode::_deserializeVQ64virtual(os) && _read(os);
    }
    bool _deserializeVQ90virtual(VqObjectStream& os) override {
        return VqNode::_deserializeVQ90virtual(os) && _read(os);
    }
    bool _deserializeVQ100virtual(VqObjectStream& os) override {
        return VqNode::_deserializeVQ100virtual(os) && _read(os);
    }
};
inline constexpr _VqIID CLSID_TestWidget = {0x7E5CE002, 0x5CE1, 0x4E57, {1, 2, 3, 4, 5, 6, 7, 9}};
VQ_IMPLEMENT_TYPE(TestWidget, VqNode, CLSID_TestWidget)

// A group type of a newer writer.
class TestAssembly : public VqGroup {
    VQ_DECLARE_TYPE(TestAssembly)
public:
    static inline bool s_bExtras = true;
    double _dMass = 0;
    bool _write(VqObjectStream& os) const { return !s_bExtras || os.write(_dMass); }
    bool _serializeVQ64virtual(VqObjectStream& os) const override {
        return VqGroup::_serializeVQ64virtual(os) && _write(os);
    }
    bool _serializeVQ90virtual(VqObjectStream& os) const override {
        return VqGroup::_serializeVQ90virtual(os) && _write(os);
    }
    bool _serializeVQ100virtual(VqObjectStream& os) const override {
        return VqGroup::_serializeVQ100virtual(os) && _write(os);
    }
    bool _deserializeVQvirtual(VqObjectStream& os) override {
        return VqGroup::_deserializeVQvirtual(os) && os.read(&_dMass);
    }
    bool _deserializeVQ90virtual(VqObjectStream& os) override {
        return VqGroup::_deserializeVQ90virtual(os) && os.read(&_dMass);
    }
    bool _deserializeVQ100virtual(VqObjectStream& os) override {
        return VqGroup::_deserializeVQ100virtual(os) && os.read(&_dMass);
    }
};
inline constexpr _VqIID CLSID_TestAssembly = {0x7E5CE003, 0x5CE1, 0x4E57, {1, 2, 3, 4, 5, 6, 7, 10}};
VQ_IMPLEMENT_TYPE(TestAssembly, VqGroup, CLSID_TestAssembly)

// A property value type of a newer writer.
class TestAtom : public VqPropAtom {
    VQ_DECLARE_TYPE(TestAtom)
public:
    static inline bool s_bExtras = true;
    double _dValue = 0;
    bool isEqualHook(const VqPropAtom& o) const override {
        return _dValue == static_cast<const TestAtom&>(o)._dValue;
    }
    bool _write(VqObjectStream& os) const { return !s_bExtras || os.write(_dValue); }
    bool _serializeVQ64virtual(VqObjectStream& os) const override {
        return VqPropAtom::_serializeVQ64virtual(os) && _write(os);
    }
    bool _serializeVQ90virtual(VqObjectStream& os) const override {
        return VqPropAtom::_serializeVQ90virtual(os) && _write(os);
    }
    bool _serializeVQ100virtual(VqObjectStream& os) const override {
        return VqPropAtom::_serializeVQ100virtual(os) && _write(os);
    }
    bool _deserializeVQvirtual(VqObjectStream& os) override {
        return VqPropAtom::_deserializeVQvirtual(os) && os.read(&_dValue);
    }
    bool _deserializeVQ90virtual(VqObjectStream& os) override {
        return VqPropAtom::_deserializeVQ90virtual(os) && os.read(&_dValue);
    }
    bool _deserializeVQ100virtual(VqObjectStream& os) override {
        return VqPropAtom::_deserializeVQ100virtual(os) && os.read(&_dValue);
    }
};
inline constexpr _VqIID CLSID_TestAtom = {0x7E5CE004, 0x5CE1, 0x4E57, {1, 2, 3, 4, 5, 6, 7, 11}};
VQ_IMPLEMENT_TYPE(TestAtom, VqPropAtom, CLSID_TestAtom)

// Any other object of a newer writer.
class TestBlob : public VqBase {
    VQ_DECLARE_TYPE(TestBlob)
public:
    std::vector<int> _vData;
    bool _serializeVQvirtual(VqObjectStream& os) const override { return os.writeVeci(_vData); }
    bool _deserializeVQvirtual(VqObjectStream& os) override { return os.readVeci(_vData); }
};
inline constexpr _VqIID CLSID_TestBlob = {0x7E5CE005, 0x5CE1, 0x4E57, {1, 2, 3, 4, 5, 6, 7, 12}};
VQ_IMPLEMENT_TYPE(TestBlob, VqBase, CLSID_TestBlob)

struct Version {
    int major, minor;
};

// Where two images part, for readable failures.
std::string firstDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i])
        ++i;
    if (i == a.size() && i == b.size()) return "";
    return "sizes " + std::to_string(a.size()) + " and " + std::to_string(b.size()) +
           ", first difference at " + std::to_string(i);
}

class UnknownTest : public SceneTest, public ::testing::WithParamInterface<Version> {
protected:
    void SetUp() override {
        SceneTest::SetUp();
        ASSERT_TRUE(TestWidget::constructType() && TestAssembly::constructType() &&
                    TestAtom::constructType() && TestBlob::constructType());
    }
    void TearDown() override {
        withdraw();
        TestWidget::s_bExtras = TestAssembly::s_bExtras = TestAtom::s_bExtras = true;
        TestAttr::s_bWriteValue = true;
        VqPartition::setVersion(9, 5);
        SceneTest::TearDown();
    }
    // The reader of a library that does not know the test types.
    static void withdraw() {
        TestWidget::destructType();
        TestAssembly::destructType();
        TestAtom::destructType();
        TestBlob::destructType();
        TestAttr::destructType();
    }

    // assembly (an unknown group, a plain group before format 9) -> widget
    // (unknown node), a node with an unknown attribute and an unknown property
    // value, and a plain node shared twice. Before format 9 a group's data and
    // before 10 a node's data are kept whole, with the references inside: so
    // the unknown group and node hold no attributes or children there.
    static Vq::SharedPtr<VqNode> buildGraph(int major) {
        Vq::SharedPtr<VqGroup> root = major >= 9 ? new TestAssembly() : new VqGroup();
        if (auto* a = Vq::typeCast<TestAssembly>(root.get())) a->_dMass = 12.5;
        Vq::SharedPtr<TestWidget> w = new TestWidget();
        w->_iA = 42;
        w->_strB = "widget";
        Vq::SharedPtr<VqNode> holder = new VqNode();
        holder->appendAttribute(new TestAttr(3.0f));
        Vq::SharedPtr<TestAtom> v = new TestAtom();
        v->_dValue = 2.75;
        Vq::SharedPtr<VqStringPropAtom> key = new VqStringPropAtom("mass");
        holder->addProp(key.get(), v.get());
        Vq::SharedPtr<VqNode> plain = new VqNode();
        root->appendChild(w.get());
        root->appendChild(holder.get());
        root->appendChild(plain.get());
        root->appendChild(plain.get());
        return Vq::SharedPtr<VqNode>(root.get());
    }
};

// Before format 9 every placeholder keeps what it could not read and writes it
// back: the graph round-trips byte for byte. From format 9 on, a placeholder
// that reads its known base class keeps nothing more, and what it did not read
// is absent after writing: the file is the one a writer that knew the base
// classes alone would write. (A format-9 unknown node keeps its whole data.)
TEST_P(UnknownTest, GraphOfUnknownTypesRoundTrips) {
    const Version v = GetParam();
    Vq::SharedPtr<VqNode> root = buildGraph(v.major);
    std::vector<uint8_t> first = VqTestSegment::save(root.get(), v.major, v.minor);
    ASSERT_FALSE(first.empty());
    root.reset();
    withdraw();

    Vq::SharedPtr<VqNode> read = VqTestSegment::load(first, v.major, v.minor);
    ASSERT_TRUE(read) << lastError();
    if (v.major >= 9) {
        auto* group = Vq::typeCast<VqUnknownGroup>(read.get());
        ASSERT_NE(group, nullptr);
        EXPECT_EQ(group->realType(), VqGUID(CLSID_TestAssembly));
    }
    // The group keeps its children, with their sharing.
    ASSERT_EQ(read->numChildren(), 4u);
    auto* widget = Vq::typeCast<VqUnknownNode>(read->child(0));
    ASSERT_NE(widget, nullptr);
    EXPECT_EQ(widget->realType(), VqGUID(CLSID_TestWidget));
    EXPECT_EQ(read->child(2), read->child(3));
    VqNode* holder = read->child(1);
    ASSERT_EQ(holder->numAttributes(), 1);
    VqAttribute* a = nullptr;
    ASSERT_TRUE(holder->getAttribute(0, a));
    auto* ua = Vq::typeCast<VqUnknownAttribute>(a);
    ASSERT_NE(ua, nullptr);
    EXPECT_FALSE(ua->isEqualHook(*ua));
    EXPECT_FALSE(ua->isFinal());
    ASSERT_EQ(holder->numProps(), 1);
    VqPropAtom* k = nullptr;
    VqPropAtom* value = nullptr;
    ASSERT_TRUE(holder->prop(0, k, value));
    EXPECT_NE(Vq::typeCast<VqUnknownPropAtom>(value), nullptr);

    std::vector<uint8_t> second = VqTestSegment::save(read.get(), v.major, v.minor);
    if (v.major < 9) {
        EXPECT_EQ(firstDifference(first, second), "");
        return;
    }
    read.reset();
    ASSERT_TRUE(TestWidget::constructType() && TestAssembly::constructType() && TestAtom::constructType() &&
                TestAttr::constructType());
    TestWidget::s_bExtras = v.major == 9;
    TestAssembly::s_bExtras = TestAtom::s_bExtras = false;
    TestAttr::s_bWriteValue = false;
    Vq::SharedPtr<VqNode> bare = buildGraph(v.major);
    std::vector<uint8_t> expected = VqTestSegment::save(bare.get(), v.major, v.minor);
    EXPECT_LT(second.size(), first.size());
    EXPECT_EQ(firstDifference(expected, second), "");
}

INSTANTIATE_TEST_SUITE_P(Versions, UnknownTest,
                         ::testing::Values(Version{6, 4}, Version{7, 0}, Version{8, 1}, Version{9, 5},
                                           Version{10, 0}, Version{10, 1}),
                         [](const auto& info) {
                             return "V" + std::to_string(info.param.major) + "_" +
                                    std::to_string(info.param.minor);
                         });

// Unknown base objects are kept whole in every format, and each placeholder
// is written under the GUID and base type it was read with.
TEST_P(UnknownTest, UnknownBaseKeepsItsData) {
    const Version v = GetParam();
    Vq::SharedPtr<TestBlob> blob = new TestBlob();
    blob->_vData = {1, 2, 3, 5, 8, 13};
    auto write = [&](const VqBase* obj) {
        VqTestObjectStream os = VqTestObjectStream::forWriting(v.major, v.minor);
        EXPECT_TRUE(VqTestSegment::writeElement(*os, v.major, obj));
        return os.bytes();
    };
    std::vector<uint8_t> first = write(blob.get());
    withdraw();
    VqTestObjectStream in = VqTestObjectStream::forReading(first, v.major, v.minor);
    Vq::SharedPtr<VqBase> obj;
    ASSERT_TRUE(VqTestSegment::readElement(*in, v.major, obj));
    auto* unknown = Vq::typeCast<VqUnknownBase>(obj.get());
    ASSERT_NE(unknown, nullptr);
    EXPECT_EQ(unknown->realBaseType(), VQ_BASETYPE_BASE);
    EXPECT_EQ(unknown->payload().size(), 4u + 6u * 4u);
    EXPECT_EQ(VqElementIO::elementTypeGUID(unknown), VqGUID(CLSID_TestBlob));
    EXPECT_EQ(write(unknown), first);
}

// A placeholder whose payload was read in one format is written into another
// as far as the known base class goes; an unknown base object keeps its data.
TEST_F(UnknownTest, PayloadAcrossVersions) {
    Vq::SharedPtr<TestBlob> blob = new TestBlob();
    blob->_vData = {7, 7};
    VqTestObjectStream os = VqTestObjectStream::forWriting(9, 5);
    ASSERT_TRUE(VqTestSegment::writeElement(*os, 9, blob.get()));
    std::vector<uint8_t> v95 = os.bytes();
    withdraw();
    VqTestObjectStream in = VqTestObjectStream::forReading(v95, 9, 5);
    Vq::SharedPtr<VqBase> obj;
    ASSERT_TRUE(VqTestSegment::readElement(*in, 9, obj));
    VqTestObjectStream out = VqTestObjectStream::forWriting(10, 0);
    ASSERT_TRUE(VqTestSegment::writeElement(*out, 10, obj.get()));
    std::vector<uint8_t> v10 = out.bytes();
    // Same element apart from the header: length, GUID, base type, ID, then the data.
    ASSERT_EQ(v10.size(), v95.size());
    EXPECT_TRUE(std::equal(v10.begin() + 25, v10.end(), v95.begin() + 25));
}

// An element that claims more data than the stream holds fails its read and
// allocates no more than what is there.
TEST_F(UnknownTest, OverlongUnknownElementFails) {
    Vq::SharedPtr<TestBlob> blob = new TestBlob();
    blob->_vData = {1};
    VqTestObjectStream os = VqTestObjectStream::forWriting(10, 0);
    ASSERT_TRUE(VqTestSegment::writeElement(*os, 10, blob.get()));
    std::vector<uint8_t> bytes = os.bytes();
    withdraw();
    const uint32_t huge = 0x7FFFFFF0u;
    std::memcpy(bytes.data(), &huge, 4);
    VqTestObjectStream in = VqTestObjectStream::forReading(bytes, 10, 0);
    Vq::SharedPtr<VqBase> obj;
    EXPECT_FALSE(VqTestSegment::readElement(*in, 10, obj));
    EXPECT_FALSE(obj);
}

// Two unknown property atoms are equal when their payloads are.
TEST_F(UnknownTest, UnknownAtomsCompareByPayload) {
    std::vector<Vq::SharedPtr<VqBase>> read;
    for (double d : {1.5, 1.5, 2.5}) {
        Vq::SharedPtr<TestAtom> a = new TestAtom();
        a->_dValue = d;
        VqTestObjectStream os = VqTestObjectStream::forWriting(8, 1);
        ASSERT_TRUE(VqTestSegment::writeElement(*os, 8, a.get()));
        std::vector<uint8_t> bytes = os.bytes();
        TestAtom::destructType();
        VqTestObjectStream in = VqTestObjectStream::forReading(bytes, 8, 1);
        Vq::SharedPtr<VqBase> obj;
        ASSERT_TRUE(VqTestSegment::readElement(*in, 8, obj));
        ASSERT_NE(Vq::typeCast<VqUnknownPropAtom>(obj.get()), nullptr);
        read.push_back(obj);
        TestAtom::constructType();
    }
    auto& a = static_cast<VqPropAtom&>(*read[0]);
    auto& b = static_cast<VqPropAtom&>(*read[1]);
    auto& c = static_cast<VqPropAtom&>(*read[2]);
    EXPECT_TRUE(a == b);
    EXPECT_EQ(a.hash(), b.hash());
    EXPECT_FALSE(a == c);
}

} // namespace
