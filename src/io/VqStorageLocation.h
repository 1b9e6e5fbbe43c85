#pragma once

#include "VqBase.h"
#include "VqExport.h"
#include "VqString.h"

// Where a VQ file lives. Locations are compared and hashed by what they name,
// so that stream managers and caches of loaded segments can be keyed by them.
class VQ_API VqStorageLocation : public VqBase {
    VQ_DECLARE_TYPE(VqStorageLocation)
public:
    VqStorageLocation() = default;
    VqStorageLocation(const VqStorageLocation& o) : VqBase(o) {}

    virtual uint32_t hash() const = 0;
    virtual bool isEqual(const VqStorageLocation& other) const = 0;
    virtual bool getName(VqString& out) const = 0;
    virtual bool clone(Vq::SharedPtr<VqStorageLocation>& out) const = 0;
    // A relative location is resolved against the location of the file that refers to it.
    virtual bool isRelative() const = 0;

    bool isPersistable() const override { return false; }
};
