#pragma once

#include "VqBase.h"
#include "VqExport.h"

// What a node caches for each of its instances: the accumulated attribute
// state. The state class derives from this and owns sub-caches (lights,
// shapes, transforms) that node invalidation drops one by one.
class VQ_API VqCachedState : public VqBase {
public:
    // Drops the sub-caches named by the invalidation bits 0x1000, 0x2000 and
    // 0x4000 of mask; true when something was dropped.
    virtual bool dropCaches(int mask) = 0;
};
