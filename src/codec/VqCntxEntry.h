#pragma once

#include "VqCntxEntryBase.h"
#include "VqExport.h"

// A version-1 context entry with its value. Entries of the higher contexts
// of a model store no value of their own; a reader copies it from the
// context-0 entry of the same symbol.
template <class T>
struct VqCntxEntry : VqCntxEntryBase {
    typedef T ValueType;
    static constexpr const char* s_pContextClass = "VqProbContext";

    T _value = 0;

    ValueType value() const { return _value; }
};
