#pragma once

#include "VqExport.h"
#include "VqGUID.h"

// An object written under another type than its own class's. A placeholder
// for a type this library does not know is one: it keeps the type GUID and
// base-type code it was read with, and is written back under them, so that
// nothing of a newer writer's data is lost in a round trip.
class VQ_API VqForeignElement {
public:
    virtual ~VqForeignElement() = default;
    virtual const VqGUID& realType() const = 0;
    virtual int realBaseType() const = 0;
};
