#include "VqFactory.h"
#include "VqLib.h"
#include "VqNotifyBase.h"

#include <gtest/gtest.h>

TEST(VqLib, InitAndFiniAreCountedAndReinitStartsFromScratch) {
    ASSERT_EQ(VqFactory::numTypes(), 0);
    ASSERT_TRUE(VqLib::init());
    const int registered = VqFactory::numTypes();
    EXPECT_GE(registered, 3);

    // A second init registers nothing again; the matching fini leaves all working.
    ASSERT_TRUE(VqLib::init());
    EXPECT_EQ(VqFactory::numTypes(), registered);
    ASSERT_TRUE(VqLib::fini());
    EXPECT_TRUE(VqLib::isInitialized());
    VqType* t = nullptr;
    ASSERT_TRUE(VqFactory::getType(VqGUID(CLSID_ZQNotifyBase), t));
    EXPECT_EQ(t, &VqNotifyBase::classTypeID());

    ASSERT_TRUE(VqLib::fini());
    EXPECT_FALSE(VqLib::isInitialized());
    EXPECT_EQ(VqFactory::numTypes(), 0);
    EXPECT_FALSE(VqFactory::getType(VqGUID(CLSID_ZQNotifyBase), t));
    // Without the library, a failure is still an error record, not a throw.
    bool found = true;
    EXPECT_NO_THROW(found = VqFactory::getType(-1, t));
    EXPECT_FALSE(found);

    ASSERT_TRUE(VqLib::init());
    EXPECT_EQ(VqFactory::numTypes(), registered);
    VqBase* obj = nullptr;
    ASSERT_TRUE(VqFactory::getType(VqGUID(CLSID_ZQNotifyBase), t));
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE(t->createInstance(obj));
    Vq::SharedPtr<VqBase> held(obj);
    EXPECT_TRUE(held->isOfType(VqNotifyBase::classTypeID()));
    held.reset();
    ASSERT_TRUE(VqLib::fini());
}

TEST(VqLib, BuildInfoIsFilled) {
    ASSERT_TRUE(VqLib::init());
    EXPECT_FALSE(VqLib::buildInfo().strVersion.isEmpty());
    VqLib::fini();
}
