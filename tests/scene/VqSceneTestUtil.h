#pragma once

#include "VqCachedState.h"
#include "VqFactory.h"
#include "VqLibFixture.h"
#include "VqNode.h"
#include "VqObjectStream.h"
#include "VqStdError.h"
#include "VqTestAttr.h"

#include <string>

// A cached state that counts how often its sub-caches were dropped.
class TestState : public VqCachedState {
public:
    int nDropped = 0;
    bool dropCaches(int) override {
        ++nDropped;
        return true;
    }
    bool _clone(VqBase*& out) const override {
        out = nullptr;
        return true;
    }
};

// Tells a test when the node holding it dies.
class DeathFlag : public VqUserData {
public:
    explicit DeathFlag(bool& dead) : _bDead(dead) { _bDead = false; }
    ~DeathFlag() override { _bDead = true; }

private:
    bool& _bDead;
};

class SceneTest : public VqLibTest {
protected:
    void SetUp() override {
        VqLibTest::SetUp();
        ASSERT_TRUE(TestAttr::constructType());
    }
    void TearDown() override {
        TestAttr::destructType();
        VqLibTest::TearDown();
    }
};
