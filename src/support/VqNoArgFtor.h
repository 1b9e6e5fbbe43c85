#pragma once

#include "VqExport.h"

// A call without arguments handed into a long-running operation, which calls
// it between steps. Used as an interrupt: returning true asks the operation to
// stop at the next step and return what it has done so far.
class VQ_API VqNoArgFtor {
public:
    virtual ~VqNoArgFtor() = default;
    virtual bool operator()() = 0;
};
