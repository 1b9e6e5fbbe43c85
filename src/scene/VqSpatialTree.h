#pragma once

#include "VqBase.h"
#include "VqExport.h"
#include "VqModelContext.h"
#include "VqRWLockable.h"

namespace Vq {

// A spatial hierarchy over a model, kept beside its scene graph for very
// large models. The kinds of hierarchy, their records and their rendering
// derive from it; the model context holds its trees through this class and
// needs of them only the write lock and the news about slices, which it
// gives under that lock. A tree keeps per-node flag planes only when its
// kind needs them, so the hooks do nothing here.
class VQ_API SpatialTree : public VqBase, public RWLockable {
    VQ_DECLARE_TYPE(SpatialTree)
public:
    SpatialTree() = default;
    SpatialTree(const SpatialTree&) = delete;
    SpatialTree& operator=(const SpatialTree&) = delete;

    virtual bool _sliceAllocated(SliceID id, const SliceDesc& desc) {
        (void)id;
        (void)desc;
        return true;
    }
    virtual bool _sliceDeallocated(SliceID id) {
        (void)id;
        return true;
    }
    virtual bool _sliceDescChanged(SliceID id, const SliceDesc& desc) {
        (void)id;
        (void)desc;
        return true;
    }
};

} // namespace Vq
