#include "VqErrorState.h"
#include "VqFactory.h"
#include "VqLibFixture.h"
#include "VqNotifyBase.h"
#include "VqStdError.h"

#include <cstdlib>
#include <string>

namespace {
constexpr _VqIID kFirstGUID = {0x7A51FF11, 0x51C3, 0x4E0B, {0x9D, 0x27, 0x6B, 0x1F, 0x3C, 0x88, 0x0E, 0x45}};

class Widget : public VqBase {
    VQ_DECLARE_TYPE(Widget)
};
VQ_IMPLEMENT_TYPE(Widget, VqBase, kFirstGUID)

class Gadget : public VqBase {
    VQ_DECLARE_TYPE(Gadget)
};
// Deliberately the same GUID as Widget.
VQ_IMPLEMENT_TYPE_NOCLONE(Gadget, VqBase, kFirstGUID)

} // namespace

class VqFactoryTest : public VqLibTest {};

TEST_F(VqFactoryTest, LookupByGUIDNameAndIndex) {
    VqType* t = nullptr;
    ASSERT_TRUE(VqFactory::getType(VqGUID(CLSID_ZQStdError), t));
    EXPECT_EQ(t, &VqStdError::classTypeID());
    EXPECT_TRUE(t->isA(VqBase::classTypeID()));
    EXPECT_FALSE(VqBase::classTypeID().isA(*t));

    ASSERT_TRUE(VqFactory::getType(VqString("VqNotifyBase"), t));
    EXPECT_EQ(t, &VqNotifyBase::classTypeID());
    ASSERT_TRUE(VqFactory::getType(0, t));
    EXPECT_EQ(t, &VqBase::classTypeID());
    ASSERT_TRUE(VqFactory::getType(VqFactory::numTypes(), t));
    EXPECT_EQ(t, nullptr);

    EXPECT_FALSE(VqFactory::getType(-1, t));
    EXPECT_EQ(lastError(), "index >= 0");
    EXPECT_EQ(VqErrorState::currentError()->code(), VQ_ERR_ARGUMENT);

    // A miss is success with a null result.
    ASSERT_TRUE(VqFactory::getType(VqGUID(0xDEADBEEF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0), t));
    EXPECT_EQ(t, nullptr);
    ASSERT_TRUE(VqFactory::getType(VqString("NoSuchClass"), t));
    EXPECT_EQ(t, nullptr);
}

TEST_F(VqFactoryTest, NameMissDoesNotDisturbTheCache) {
    // "VqStdError" is cached in its slot; a miss on any name leaves it there, so
    // the next lookup still hits even with the registration vector reordered.
    VqType* t = nullptr;
    ASSERT_TRUE(VqFactory::getType(VqString("VqStdError"), t));
    ASSERT_EQ(t, &VqStdError::classTypeID());
    for (const char* miss : {"VqStdErro", "VqStdErrors", "", "x"}) {
        ASSERT_TRUE(VqFactory::getType(VqString(miss), t));
        EXPECT_EQ(t, nullptr);
    }
    ASSERT_TRUE(VqFactory::getType(VqString("VqStdError"), t));
    EXPECT_EQ(t, &VqStdError::classTypeID());
}

// A duplicate GUID leaves a record in the registration vector for the life of
// the process (the rule implies it), so the scenario runs in a child process.
// It exits with the number of the first check that failed, 0 when all held.
[[noreturn]] void duplicateGUIDScenario() {
    int check = 0;
    auto expect = [&check](bool ok) {
        ++check;
        if (!ok) std::_Exit(check);
    };
    const int n = VqFactory::numTypes();
    expect(Widget::constructType());
    expect(Gadget::constructType());
    expect(VqFactory::numTypes() == n + 2);
    VqType* t = nullptr;
    expect(VqFactory::getType(VqGUID(kFirstGUID), t) && t == &Gadget::classTypeID());

    VqBase* obj = nullptr;
    expect(t->createInstance(obj) && obj != nullptr);
    Vq::SharedPtr<VqBase> held(obj);
    VqBase* clone = reinterpret_cast<VqBase*>(1);
    expect(held->_clone(clone) && clone == nullptr); // a class that cannot be copied

    // Removing Widget's record: its GUID maps to Gadget, whose entry is erased,
    // and the last record moves into Widget's place.
    expect(Widget::destructType());
    expect(VqFactory::numTypes() == n + 1);
    expect(VqFactory::getType(n, t) && t == &Gadget::classTypeID());
    expect(!Gadget::destructType() && lastError() == "count==1");
    // Gadget stays findable by name and index, no longer by GUID.
    expect(VqFactory::getType(VqString("Gadget"), t) && t == &Gadget::classTypeID());
    expect(VqFactory::getType(VqGUID(kFirstGUID), t) && t == nullptr);
    std::_Exit(0);
}

TEST_F(VqFactoryTest, DuplicateGUIDReplacesTheMapEntryAndRemovalSwapsIndices) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(duplicateGUIDScenario(), ::testing::ExitedWithCode(0), "");
}

TEST_F(VqFactoryTest, RemovingTheLastTypeDestroysTheDatabase) {
    // Take every registered type out, then put them back in the same order.
    std::vector<VqType*> all;
    for (int i = 0; i < VqFactory::numTypes(); ++i) {
        VqType* t = nullptr;
        ASSERT_TRUE(VqFactory::getType(i, t));
        all.push_back(t);
    }
    for (VqType* t : all)
        ASSERT_TRUE(VqFactory::removeType(*t));
    VqType* t = nullptr;
    EXPECT_FALSE(VqFactory::getType(VqGUID(CLSID_ZQBase), t));
    EXPECT_EQ(lastError(), "_dataBase");
    EXPECT_EQ(VqErrorState::currentError()->code(), VQ_ERR_INTERNAL);
    EXPECT_FALSE(VqFactory::getType(VqString("VqBase"), t));
    for (VqType* type : all)
        ASSERT_TRUE(VqFactory::addType(*type));
    ASSERT_TRUE(VqFactory::getType(VqGUID(CLSID_ZQBase), t));
    EXPECT_EQ(t, &VqBase::classTypeID());
}
