#pragma once

#include "VqRefCounted.h"

// Base of data that callers attach to nodes or to instances of nodes.
class VqUserData : public VqRefCounted {
public:
    VqUserData() = default;
};
