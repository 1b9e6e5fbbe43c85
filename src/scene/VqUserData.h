#pragma once

#include "VqExport.h"
#include "VqRefCounted.h"

// Base of data that callers attach to nodes or to instances of nodes.
class VQ_API VqUserData : public VqRefCounted {
public:
    VqUserData() = default;
};
