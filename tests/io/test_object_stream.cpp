#include "VqFactory.h"
#include "VqInBufFVec.h"
#include "VqLibFixture.h"
#include "VqStdError.h"
#include "VqStdException.h"
#include "VqTestObjectStream.h"
#include "VqTestThrown.h"

#include <cstring>
#include <stdexcept>

namespace {

constexpr _VqIID CLSID_TestItem = {0x7E570001, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr _VqIID CLSID_TestHolder = {0x7E570002, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};

// A persistent probe: a value, a reference to another item, and knobs that
// make it read less or more than it wrote.
class TestItem : public VqBase {
    VQ_DECLARE_TYPE(TestItem)
public:
    TestItem() = default;
    explicit TestItem(int v) : _nValue(v) {}

    int _nValue = 0;
    // A reference slot: a plain address filled by the swizzler.
    const TestItem* _pRef = nullptr;
    int _nExtraWritten = 0;
    // The reader of the item with value s_nExtraFor reads s_nReadExtra bytes after its fields.
    static int s_nExtraFor;
    static int s_nReadExtra;
    static bool s_bFailRead;

    bool _serializeVQvirtual(VqObjectStream& os) const override {
        int refId = -1;
        if (!os.write(_nValue) || !os.ptr2num(_pRef, &refId) || !os.write(refId)) return false;
        for (int i = 0; i < _nExtraWritten; ++i)
            if (!os.write(static_cast<unsigned char>(0xEE))) return false;
        return true;
    }
    bool _deserializeVQvirtual(VqObjectStream& os) override {
        if (s_bFailRead) VQ_FAIL("TestItem", "deserialize", "probe failure", VQ_ERR_CORRUPT);
        int refId = -1;
        if (!os.read(&_nValue) || !os.read(&refId)) return false;
        os.ptrFromNum(refId, reinterpret_cast<const void**>(&_pRef));
        for (int i = 0; _nValue == s_nExtraFor && i < s_nReadExtra; ++i) {
            unsigned char c;
            if (!os.read(&c)) return false;
        }
        return true;
    }
};
int TestItem::s_nExtraFor = 0;
int TestItem::s_nReadExtra = 0;
bool TestItem::s_bFailRead = false;
VQ_IMPLEMENT_TYPE(TestItem, VqBase, CLSID_TestItem)

// Holds a nested element, as objects that contain other objects do.
class TestHolder : public VqBase {
    VQ_DECLARE_TYPE(TestHolder)
public:
    Vq::SharedPtr<VqBase> _pInner;
    bool _serializeVQvirtual(VqObjectStream& os) const override {
        return os.write(7) && VqPartition::writeLogicalElementV10(os, _pInner.get()) && os.write(8);
    }
    bool _deserializeVQvirtual(VqObjectStream& os) override {
        int a = 0, b = 0;
        return os.read(&a) && a == 7 && VqPartition::readLogicalElementV10(os, _pInner) && os.read(&b) &&
               b == 8;
    }
};
VQ_IMPLEMENT_TYPE(TestHolder, VqBase, CLSID_TestHolder)

class ObjectStreamTest : public VqLibTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        VqLibTest::SetUp();
        ASSERT_TRUE(TestItem::constructType());
        ASSERT_TRUE(TestHolder::constructType());
        TestItem::s_nExtraFor = TestItem::s_nReadExtra = 0;
        TestItem::s_bFailRead = false;
    }
    void TearDown() override {
        TestHolder::destructType();
        TestItem::destructType();
        VqLibTest::TearDown();
    }
    bool buffered() const { return GetParam(); }
    static int32_t i32At(const std::vector<uint8_t>& b, size_t pos) {
        int32_t v;
        std::memcpy(&v, b.data() + pos, 4);
        return v;
    }
};

TEST_P(ObjectStreamTest, ElementHeaderWithAndWithoutObjectIds) {
    for (int major : {8, 9, 10}) {
        SCOPED_TRACE(major);
        VqTestObjectStream w = VqTestObjectStream::forWriting(major, 0, buffered());
        Vq::SharedPtr<TestItem> item = new TestItem(42);
        bool ok = major == 10  ? VqPartition::writeLogicalElementV10(*w, item.get())
                  : major == 9 ? VqPartition::writeLogicalElementV9(*w, item.get())
                               : VqPartition::writeLogicalElement(*w, item.get());
        ASSERT_TRUE(ok);
        std::vector<uint8_t> b = w.bytes();
        const int header = major >= 9 ? 21 : 17;
        // length, GUID, base type (9: a VqBase), the ID from 9 on, then the data (value and reference ID).
        ASSERT_EQ(b.size(), 4u + header + 8);
        EXPECT_EQ(i32At(b, 0), header + 8);
        EXPECT_EQ(std::memcmp(b.data() + 4, &CLSID_TestItem, 16), 0);
        EXPECT_EQ(b[20], VQ_BASETYPE_BASE);
        if (major >= 9) {
            EXPECT_EQ(i32At(b, 21), 0);
        }
        EXPECT_EQ(i32At(b, 4 + header), 42);
        EXPECT_EQ(i32At(b, 8 + header), -1);

        VqTestObjectStream r =
            VqTestObjectStream::forReading(b, major, 0, VqBaseDataStream::s_systemByteOrder(), buffered());
        Vq::SharedPtr<VqBase> back;
        VqBase* raw = nullptr;
        if (major == 10) {
            ASSERT_TRUE(VqPartition::readLogicalElementV10(*r, back));
        } else {
            ASSERT_TRUE(major == 9 ? VqPartition::readLogicalElementV9(*r, raw)
                                   : VqPartition::readLogicalElement(*r, raw));
            back = raw;
        }
        const TestItem* t = Vq::typeCast<TestItem>(back.get());
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(t->_nValue, 42);
        EXPECT_EQ(r->possiblePtr(0), major >= 9 ? t : nullptr);
    }
}

TEST_P(ObjectStreamTest, NullObjectWritesTheEndMarker) {
    VqTestObjectStream w = VqTestObjectStream::forWriting(9, 5, buffered());
    ASSERT_TRUE(VqPartition::writeLogicalElementV9(*w, nullptr));
    std::vector<uint8_t> b = w.bytes();
    ASSERT_EQ(b.size(), 20u);
    EXPECT_EQ(i32At(b, 0), 16);
    for (size_t k = 4; k < 20; ++k)
        EXPECT_EQ(b[k], 0xFF);
}

TEST_P(ObjectStreamTest, AnyGuidWithSecondFieldAllOnesEndsASequence) {
    VqTestObjectStream w = VqTestObjectStream::forWriting(10, 0, buffered());
    Vq::SharedPtr<TestItem> item = new TestItem(1);
    ASSERT_TRUE(VqPartition::writeLogicalElementV10(*w, item.get()));
    std::vector<uint8_t> b = w.bytes();
    // An element whose GUID has 0xFFFF in its second field, with junk after it.
    std::vector<uint8_t> marker = {20, 0, 0, 0, 0x12, 0x34, 0x56, 0x78, 0xFF, 0xFF,
                                   0,  0, 1, 2, 3,    4,    5,    6,    7,    8};
    marker.insert(marker.end(), {9, 9, 9, 9});
    b.insert(b.end(), marker.begin(), marker.end());
    b.insert(b.end(), {0xAA});
    VqTestObjectStream r =
        VqTestObjectStream::forReading(b, 10, 0, VqBaseDataStream::s_systemByteOrder(), buffered());
    Vq::SharedPtr<VqBase> obj;
    ASSERT_TRUE(VqPartition::readLogicalElementV10(*r, obj));
    ASSERT_TRUE(obj);
    ASSERT_TRUE(VqPartition::readLogicalElementV10(*r, obj));
    EXPECT_FALSE(obj);
    // The marker's element was skipped whole.
    unsigned char next = 0;
    ASSERT_TRUE(r->read(&next));
    EXPECT_EQ(next, 0xAA);
}

TEST_P(ObjectStreamTest, UnderReadIsSkippedAndOverReadFails) {
    VqTestObjectStream w = VqTestObjectStream::forWriting(10, 1, buffered());
    Vq::SharedPtr<TestItem> a = new TestItem(1), b = new TestItem(2);
    a->_nExtraWritten = 5;
    ASSERT_TRUE(VqPartition::writeLogicalElementV10(*w, a.get()));
    ASSERT_TRUE(VqPartition::writeLogicalElementV10(*w, b.get()));
    ASSERT_TRUE(VqPartition::writeLogicalElementV10(*w, nullptr));

    VqPartition partition;
    TestItem::s_nExtraFor = 1;
    TestItem::s_nReadExtra = 2;
    VqTestObjectStream r =
        VqTestObjectStream::forReading(w.bytes(), 10, 1, VqBaseDataStream::s_systemByteOrder(), buffered());
    r->setPartition(&partition);
    Vq::SharedPtr<VqBase> obj;
    ASSERT_TRUE(VqPartition::readLogicalElementV10(*r, obj));
    EXPECT_TRUE(r->dataSkipped());
    EXPECT_TRUE(partition.isDataSkipped());
    ASSERT_TRUE(VqPartition::readLogicalElementV10(*r, obj));
    EXPECT_EQ(static_cast<TestItem*>(obj.get())->_nValue, 2);
    EXPECT_FALSE(partition.isDataSkipped());
    ASSERT_TRUE(VqPartition::readLogicalElementV10(*r, obj));
    EXPECT_FALSE(obj);

    TestItem::s_nReadExtra = 6;
    VqTestObjectStream r2 =
        VqTestObjectStream::forReading(w.bytes(), 10, 1, VqBaseDataStream::s_systemByteOrder(), buffered());
    EXPECT_FALSE(VqPartition::readLogicalElementV10(*r2, obj));
    EXPECT_EQ(lastError(), "Data block too short");
    EXPECT_EQ(lastCode(), VQ_ERR_CORRUPT);
    EXPECT_FALSE(obj);
    EXPECT_EQ(r2->elementDepth(), 0);
}

TEST_P(ObjectStreamTest, ElementsNest) {
    VqTestObjectStream w = VqTestObjectStream::forWriting(10, 0, buffered());
    Vq::SharedPtr<TestHolder> outer = new TestHolder();
    Vq::SharedPtr<TestHolder> middle = new TestHolder();
    middle->_pInner = new TestItem(99);
    outer->_pInner = middle.get();
    ASSERT_TRUE(VqPartition::writeLogicalElementV10(*w, outer.get()));
    std::vector<uint8_t> b = w.bytes();
    // outer: 21 + 4 + middle element + 4; middle: 21 + 4 + item (4 + 21 + 8) + 4.
    EXPECT_EQ(i32At(b, 0), static_cast<int>(b.size()) - 4);
    EXPECT_EQ(i32At(b, 29), 21 + 4 + (4 + 21 + 8) + 4);

    VqTestObjectStream r =
        VqTestObjectStream::forReading(b, 10, 0, VqBaseDataStream::s_systemByteOrder(), buffered());
    Vq::SharedPtr<VqBase> obj;
    ASSERT_TRUE(VqPartition::readLogicalElementV10(*r, obj));
    auto* o = Vq::typeCast<TestHolder>(obj.get());
    ASSERT_NE(o, nullptr);
    auto* m = Vq::typeCast<TestHolder>(o->_pInner.get());
    ASSERT_NE(m, nullptr);
    auto* item = Vq::typeCast<TestItem>(m->_pInner.get());
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->_nValue, 99);
    // IDs follow the order in which the objects were met.
    EXPECT_EQ(r->possiblePtr(0), o);
    EXPECT_EQ(r->possiblePtr(1), m);
    EXPECT_EQ(r->possiblePtr(2), item);
    EXPECT_FALSE(r->dataSkipped());
}

TEST_P(ObjectStreamTest, UnregisteredTypeIsSkippedByItsLength) {
    VqTestObjectStream w = VqTestObjectStream::forWriting(10, 0, buffered());
    Vq::SharedPtr<TestItem> a = new TestItem(5);
    a->_nExtraWritten = 300;
    Vq::SharedPtr<TestHolder> holder = new TestHolder();
    holder->_pInner = new TestItem(6);
    ASSERT_TRUE(VqPartition::writeLogicalElementV10(*w, a.get()));
    ASSERT_TRUE(VqPartition::writeLogicalElementV10(*w, holder.get()));
    ASSERT_TRUE(VqPartition::writeLogicalElementV10(*w, nullptr));
    // Read back by a reader that does not know the item type, with a base
    // type for which there is no placeholder.
    std::vector<uint8_t> bytes = w.bytes();
    VqGUID itemGuid = TestItem::classTypeID().guid;
    for (size_t at = 0; at + 17 <= bytes.size(); ++at)
        if (std::memcmp(bytes.data() + at, &itemGuid, 16) == 0) bytes[at + 16] = 0xFF;
    TestItem::destructType();
    VqTestObjectStream r =
        VqTestObjectStream::forReading(bytes, 10, 0, VqBaseDataStream::s_systemByteOrder(), buffered());
    Vq::SharedPtr<VqBase> obj = new TestHolder();
    ASSERT_TRUE(VqPartition::readLogicalElementV10(*r, obj));
    EXPECT_FALSE(obj);
    EXPECT_TRUE(r->lastElementUnknown());
    // A nested unknown element is passed over inside its holder.
    ASSERT_TRUE(VqPartition::readLogicalElementV10(*r, obj));
    auto* h = Vq::typeCast<TestHolder>(obj.get());
    ASSERT_NE(h, nullptr);
    EXPECT_FALSE(h->_pInner);
    EXPECT_FALSE(r->lastElementUnknown());
    ASSERT_TRUE(VqPartition::readLogicalElementV10(*r, obj));
    EXPECT_FALSE(obj);
    EXPECT_FALSE(r->lastElementUnknown());
    uint64_t pos = 0;
    r->getPosition(pos);
    EXPECT_EQ(pos, bytes.size());
    ASSERT_TRUE(TestItem::constructType());
}

TEST_P(ObjectStreamTest, FailedObjectReadReportsAndLeavesNoElementOpen) {
    VqTestObjectStream w = VqTestObjectStream::forWriting(10, 0, buffered());
    Vq::SharedPtr<TestItem> a = new TestItem(5);
    ASSERT_TRUE(VqPartition::writeLogicalElementV10(*w, a.get()));
    TestItem::s_bFailRead = true;
    VqTestObjectStream r =
        VqTestObjectStream::forReading(w.bytes(), 10, 0, VqBaseDataStream::s_systemByteOrder(), buffered());
    Vq::SharedPtr<VqBase> obj;
    EXPECT_FALSE(VqPartition::readLogicalElementV10(*r, obj));
    EXPECT_EQ(lastError(), "probe failure");
    EXPECT_FALSE(obj);
    EXPECT_EQ(r->elementDepth(), 0);
    EXPECT_TRUE(r->noLengthCheck());
}

TEST_P(ObjectStreamTest, DuplicateIdYieldsTheFirstObject) {
    VqTestObjectStream w = VqTestObjectStream::forWriting(10, 0, buffered());
    Vq::SharedPtr<TestItem> a = new TestItem(1);
    ASSERT_TRUE(VqPartition::writeLogicalElementV10(*w, a.get()));
    std::vector<uint8_t> one = w.bytes();
    std::vector<uint8_t> two = one;
    two[4 + 21] = 2; // same ID 0, value 2
    one.insert(one.end(), two.begin(), two.end());
    VqTestObjectStream r =
        VqTestObjectStream::forReading(one, 10, 0, VqBaseDataStream::s_systemByteOrder(), buffered());
    Vq::SharedPtr<VqBase> first, second;
    ASSERT_TRUE(VqPartition::readLogicalElementV10(*r, first));
    ASSERT_TRUE(VqPartition::readLogicalElementV10(*r, second));
    EXPECT_EQ(first, second);
    EXPECT_EQ(static_cast<TestItem*>(second.get())->_nValue, 1);
    EXPECT_EQ(lastError(), "bReg");
    EXPECT_EQ(lastCode(), VQ_ERR_INTERNAL);
}

TEST_P(ObjectStreamTest, ReferencesAreRestored) {
    // c refers to a (met first as a reference, so it gets ID 1); a refers to b, written later.
    Vq::SharedPtr<TestItem> a = new TestItem(10), b = new TestItem(20), c = new TestItem(30),
                            absent = new TestItem(0);
    a->_pRef = b.get();
    c->_pRef = a.get();
    b->_pRef = absent.get();
    VqTestObjectStream w = VqTestObjectStream::forWriting(10, 0, buffered());
    ASSERT_TRUE(VqPartition::writeLogicalElementV10(*w, c.get()));
    ASSERT_TRUE(VqPartition::writeLogicalElementV10(*w, a.get()));
    ASSERT_TRUE(VqPartition::writeLogicalElementV10(*w, b.get()));
    int id = -2;
    ASSERT_TRUE(w->ptr2num(c.get(), &id));
    EXPECT_EQ(id, 0);
    ASSERT_TRUE(w->ptr2num(a.get(), &id));
    EXPECT_EQ(id, 1);
    ASSERT_TRUE(w->ptr2num(b.get(), &id));
    EXPECT_EQ(id, 2);
    ASSERT_TRUE(w->ptr2num(absent.get(), &id));
    EXPECT_EQ(id, 3);

    Vq::SharedPtr<VqBase> rc, ra, rb;
    {
        VqTestObjectStream r = VqTestObjectStream::forReading(
            w.bytes(), 10, 0, VqBaseDataStream::s_systemByteOrder(), buffered());
        ASSERT_TRUE(VqPartition::readLogicalElementV10(*r, rc));
        ASSERT_TRUE(VqPartition::readLogicalElementV10(*r, ra));
        ASSERT_TRUE(VqPartition::readLogicalElementV10(*r, rb));
        EXPECT_EQ(r->swizzler()->numRecords(), 4);
    }
    // Done with the segment, a reference to an object it does not hold ends null.
    EXPECT_EQ(static_cast<TestItem*>(rc.get())->_pRef, ra.get());
    EXPECT_EQ(static_cast<TestItem*>(ra.get())->_pRef, rb.get());
    EXPECT_EQ(static_cast<TestItem*>(rb.get())->_pRef, nullptr);
}

TEST_P(ObjectStreamTest, StreamWithoutRawOrSwizzlerReports) {
    Vq::SharedPtr<VqObjectStream> os = buffered() ? new VqBufferedObjectStream() : new VqObjectStream();
    EXPECT_FALSE(os->isOpen());
    EXPECT_EQ(lastError(), "this && _pRaw");
    VqUChar buf[4];
    VqSize n = 0;
    EXPECT_EQ(thrown([&] {
                  os->seek(0);
                  os->readBytes(buf, 4, n);
              }).text,
              "_pRaw");
    Vq::SharedPtr<VqObjectStream> plain = new VqObjectStream();
    try {
        plain->readBytes(buf, 4, n);
        FAIL() << "no exception";
    } catch (const Vq::StdException& e) {
        EXPECT_STREQ(e.function(), "virtual void VqObjectStream::readBytes(VqUChar*, VqSize, VqSize&)");
        EXPECT_EQ(e.code(), VQ_ERR_INTERNAL);
    }
    int id = 5;
    EXPECT_FALSE(os->ptr2num(os.get(), &id));
    EXPECT_EQ(id, -1);
    EXPECT_EQ(lastError(), "_currentSwizzler");
    const void* slot = os.get();
    EXPECT_FALSE(os->ptrFromNum(3, &slot));
    EXPECT_EQ(slot, nullptr);
    EXPECT_FALSE(os->setSwizzler(nullptr));
    EXPECT_EQ(lastError(), "( _currentSwizzler && !pSwizzler) || (!_currentSwizzler && pSwizzler)");
    ASSERT_TRUE(os->setSwizzler(new VqPtrSwizzle()));
    Vq::SharedPtr<VqPtrSwizzle> second = new VqPtrSwizzle();
    EXPECT_FALSE(os->setSwizzler(second.get()));
    EXPECT_TRUE(os->setSwizzler(nullptr));
}

TEST_P(ObjectStreamTest, VersionFallsBackToThePartition) {
    VqPartition partition;
    partition.setDatastoreVersion(9, 3);
    Vq::SharedPtr<VqObjectStream> os = buffered() ? new VqBufferedObjectStream() : new VqObjectStream();
    int major = 0, minor = 0;
    os->getVersion(major, minor);
    EXPECT_EQ(major, -1);
    os->setPartition(&partition);
    os->getVersion(major, minor);
    EXPECT_EQ(major, 9);
    EXPECT_EQ(minor, 3);
    os->setVersion(10, 1);
    os->getVersion(major, minor);
    EXPECT_EQ(major, 10);
}

TEST_P(ObjectStreamTest, TypesThatCannotBeMadeAndEscapingExceptions) {
    // An element of a registered abstract type.
    std::vector<uint8_t> b = {21, 0, 0, 0};
    const VqGUID abstractType(CLSID_ZQBaseStream);
    b.insert(b.end(), reinterpret_cast<const uint8_t*>(&abstractType),
             reinterpret_cast<const uint8_t*>(&abstractType) + 16);
    b.insert(b.end(), {9, 0, 0, 0, 0});
    VqTestObjectStream r =
        VqTestObjectStream::forReading(b, 10, 0, VqBaseDataStream::s_systemByteOrder(), buffered());
    Vq::SharedPtr<VqBase> obj;
    EXPECT_FALSE(VqPartition::readLogicalElementV10(*r, obj));
    EXPECT_EQ(lastError(), "Stream constructor failed.");

    // An exception out of an object's reader.
    class Thrower : public TestItem {
    public:
        bool deserialize(VqObjectStream&) override { throw std::runtime_error("boom"); }
    };
    VqTestObjectStream w = VqTestObjectStream::forWriting(10, 0, buffered());
    Vq::SharedPtr<TestItem> item = new TestItem(3);
    ASSERT_TRUE(VqPartition::writeLogicalElementV10(*w, item.get()));
    VqType throwing = TestItem::s_vqType;
    throwing.create = []() -> VqBase* { return new Thrower(); };
    TestItem::destructType();
    ASSERT_TRUE(VqFactory::addType(throwing));
    VqTestObjectStream r2 =
        VqTestObjectStream::forReading(w.bytes(), 10, 0, VqBaseDataStream::s_systemByteOrder(), buffered());
    EXPECT_FALSE(VqPartition::readLogicalElementV10(*r2, obj));
    EXPECT_EQ(lastError(), "Error reading element block");
    EXPECT_EQ(lastCode(), VQ_ERR_READ);
    EXPECT_EQ(r2->elementDepth(), 0);
    ASSERT_TRUE(VqFactory::removeType(throwing));
    ASSERT_TRUE(TestItem::constructType());
}

INSTANTIATE_TEST_SUITE_P(PlainAndBuffered, ObjectStreamTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Buffered" : "Plain"; });

} // namespace
