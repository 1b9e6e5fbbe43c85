#pragma once

#include "VqBase.h"
#include "VqExport.h"
#include "VqSharedPtr.h"

#include <cstddef>
#include <functional>

// One declared need: an object that should become resident, and how much it
// matters. Requests for the same object are the same request whatever their
// priority, so hash and equality look at the object only.
class VQ_API VqRequestInfo {
public:
    // Served even while loading is paused; what a blocking open asks with.
    static constexpr float s_cUrgentPriority = 1e30f;

    VqRequestInfo() = default;
    VqRequestInfo(VqBase* object, float priority) : _pObject(object), _fPriority(priority) {}

    VqBase* object() const { return _pObject.get(); }
    float priority() const { return _fPriority; }
    void setPriority(float priority) { _fPriority = priority; }
    bool isUrgent() const { return _fPriority >= s_cUrgentPriority; }

    bool operator==(const VqRequestInfo& o) const { return _pObject == o._pObject; }
    bool operator!=(const VqRequestInfo& o) const { return !(*this == o); }
    size_t hash() const { return std::hash<const VqBase*>()(_pObject.get()); }

private:
    Vq::SharedPtr<VqBase> _pObject;
    float _fPriority = 0.0f;
};
