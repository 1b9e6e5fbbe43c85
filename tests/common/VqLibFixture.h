#pragma once

#include "VqErrorState.h"
#include "VqLib.h"
#include "VqStdError.h"

#include <gtest/gtest.h>

#include <string>

// The description and code of the error recorded last ("" and 0 without one).
inline std::string lastError() {
    Vq::SharedPtr<VqStdError> e = VqErrorState::currentError();
    return e ? e->description().toUtf8() : std::string();
}
inline int lastCode() {
    Vq::SharedPtr<VqStdError> e = VqErrorState::currentError();
    return e ? static_cast<int>(e->code()) : 0;
}

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
