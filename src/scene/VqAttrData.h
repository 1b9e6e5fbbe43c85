#pragma once

#include "VqAttribute.h"
#include "VqExport.h"
#include "VqRefCounted.h"
#include "VqSharedPtr.h"

#include <vector>

// The attributes that apply along part of a path, in the order in which a
// state accumulates them. Each is held, so that the list stays usable while
// the graph is edited.
class VQ_API VqAttrData : public VqRefCounted {
public:
    int numAttributes() const { return static_cast<int>(_vpAttrs.size()); }
    const VqAttribute* attribute(int index) const {
        return index >= 0 && index < numAttributes() ? _vpAttrs[size_t(index)].get() : nullptr;
    }
    void append(const VqAttribute* attr) { _vpAttrs.emplace_back(attr); }
    void clear() { _vpAttrs.clear(); }

private:
    std::vector<Vq::SharedPtr<const VqAttribute>> _vpAttrs;
};

typedef VqRefCountedHandle<VqAttrData> VqAttrDataHdl;
