#include "VqSceneTestUtil.h"
#include "VqStdException.h"
#include "VqTestSegment.h"

#include <cstring>

namespace {

using AttributeTest = SceneTest;

Vq::SharedPtr<TestAttr> readBack(const std::vector<uint8_t>& image, int major, int minor) {
    VqTestObjectStream in = VqTestObjectStream::forReading(image, major, minor);
    Vq::SharedPtr<VqBase> obj;
    if (!VqTestSegment::readElement(*in, major, obj)) return nullptr;
    return Vq::typeCast<TestAttr>(obj.get());
}

std::vector<uint8_t> written(const VqAttribute* a, int major, int minor) {
    VqTestObjectStream os = VqTestObjectStream::forWriting(major, minor);
    if (!VqTestSegment::writeElement(*os, major, a)) return {};
    return os.bytes();
}

TEST_F(AttributeTest, BaseRecordOfEachVersion) {
    Vq::SharedPtr<TestAttr> a = new TestAttr(0.75f);
    a->setForceAccum(true);
    a->setIgnoreFlag(true);
    a->setDynamicFlag(true);
    a->setInhibit(0, true);
    a->setInhibit(2, true);
    a->setFieldFinal(1, true);

    // Format 10: version, flags without the dynamic bit, inhibit and final masks.
    std::vector<uint8_t> v10 = written(a.get(), 10, 0);
    ASSERT_EQ(v10.size(), 4u + 21u + 1u + 1u + 4u + 4u + 4u);
    EXPECT_EQ(v10[25], 1);
    EXPECT_EQ(v10[26], 0x0E);
    uint32_t masks[2];
    std::memcpy(masks, v10.data() + 27, 8);
    EXPECT_EQ(masks[0], 0x5u);
    EXPECT_EQ(masks[1], 0x2u);
    Vq::SharedPtr<TestAttr> b10 = readBack(v10, 10, 0);
    ASSERT_TRUE(b10);
    EXPECT_EQ(b10->inhibitMask(), a->inhibitMask());
    EXPECT_EQ(b10->finalMask(), a->finalMask());
    EXPECT_TRUE(b10->isForceAccum() && b10->isIgnored());
    EXPECT_FALSE(b10->isDynamic());
    EXPECT_EQ(b10->_fValue, 0.75f);

    // Format 9 before 9.6 has no place for a partial final mask.
    int major = 9, minor = 5;
    a->_getMinimumVQVersion(major, minor);
    EXPECT_EQ(major * 10 + minor, 96);
    std::vector<uint8_t> v95 = written(a.get(), 9, 5);
    ASSERT_EQ(v95.size(), 4u + 21u + 2u + 1u + 4u + 4u);
    Vq::SharedPtr<TestAttr> b95 = readBack(v95, 9, 5);
    ASSERT_TRUE(b95);
    EXPECT_EQ(b95->inhibitMask(), a->inhibitMask());
    EXPECT_EQ(b95->finalMask().bits(), 0u);

    // Format 8: own ID first, then flags and inhibit mask.
    std::vector<uint8_t> v81 = written(a.get(), 8, 1);
    ASSERT_EQ(v81.size(), 4u + 17u + 4u + 1u + 4u + 4u);
    Vq::SharedPtr<TestAttr> b81 = readBack(v81, 8, 1);
    ASSERT_TRUE(b81);
    EXPECT_EQ(b81->inhibitMask(), a->inhibitMask());
}

TEST_F(AttributeTest, FinalAsAWholeTravelsInBit0BeforeFormat10) {
    Vq::SharedPtr<TestAttr> a = new TestAttr(1.0f);
    ASSERT_TRUE(a->setFinal(true));
    EXPECT_EQ(a->finalMask().bits(), 0x7u);
    for (auto [major, minor] : {std::pair{8, 1}, std::pair{9, 5}}) {
        Vq::SharedPtr<TestAttr> b = readBack(written(a.get(), major, minor), major, minor);
        ASSERT_TRUE(b);
        EXPECT_TRUE(b->isFinal());
        for (unsigned int f = 0; f < 3; ++f)
            EXPECT_TRUE(b->isFieldFinal(f));
    }
}

TEST_F(AttributeTest, Format9WriterNeedsAFormat9Stream) {
    Vq::SharedPtr<TestAttr> a = new TestAttr();
    VqTestObjectStream os = VqTestObjectStream::forWriting(10, 0);
    EXPECT_FALSE(a->serializeVersion(*os, 9, 5));
    EXPECT_EQ(lastError(), "iMaj == 9");
    EXPECT_EQ(lastCode(), VQ_ERR_INTERNAL);
    // The hook itself throws: a caller's mistake, not a condition of the data.
    try {
        a->_serializeVQ90virtual(*os);
        ADD_FAILURE() << "no throw";
    } catch (const Vq::StdException& e) {
        EXPECT_STREQ(e.description(), "iMaj == 9");
        EXPECT_EQ(e.code(), VQ_ERR_INTERNAL);
    }
}

TEST_F(AttributeTest, AdmissionRules) {
    auto offer = [](bool accFinal, bool force, bool ignore, bool dynamic) {
        Vq::SharedPtr<TestAttr> acc = new TestAttr(1.0f);
        Vq::SharedPtr<TestAttr> in = new TestAttr(2.0f);
        acc->setFinal(accFinal);
        acc->setForceAccum(true);
        in->setForceAccum(force);
        in->setIgnoreFlag(ignore);
        in->setDynamicFlag(dynamic);
        EXPECT_TRUE(acc->accumulate(*in, nullptr, nullptr));
        EXPECT_TRUE(acc->isAccumulant());
        bool admitted = acc->_fValue == 2.0f;
        // A merge clears the accumulator's force bit.
        EXPECT_EQ(acc->isForceAccum(), !admitted);
        return admitted;
    };
    EXPECT_TRUE(offer(false, false, false, false));
    EXPECT_FALSE(offer(true, false, false, false));
    EXPECT_TRUE(offer(true, false, false, true));
    EXPECT_TRUE(offer(true, true, false, false));
    EXPECT_FALSE(offer(false, false, true, false));
    EXPECT_TRUE(offer(false, false, true, true));
    EXPECT_FALSE(offer(true, true, true, false));
}

TEST_F(AttributeTest, MaskChecksAndNotifications) {
    Vq::SharedPtr<TestAttr> a = new TestAttr();
    EXPECT_FALSE(a->setInhibit(32, true));
    EXPECT_EQ(lastError(), "iFieldNum < 32");
    EXPECT_EQ(a->knownFieldsMask(), 0x7u);
    uint32_t h = a->hashValue();
    ASSERT_TRUE(a->setInhibit(31, true));
    EXPECT_NE(a->hashValue(), h);
}

} // namespace
