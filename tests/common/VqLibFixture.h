#pragma once

#include "VqErrorState.h"
#include "VqLib.h"

#include <gtest/gtest.h>

// Brings the library up for each test and down again afterwards, so that
// every test starts from a freshly initialised library.
class VqLibTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(VqLib::init()); }
    void TearDown() override {
        VqErrorState::clearError();
        VqLib::fini();
    }
};
