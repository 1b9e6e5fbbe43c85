#pragma once

#include "VqExport.h"

#include <cstdint>

// One entry of a version-3 probability context: count, cumulative count, the
// escape mark (the entry that stands for the values the table does not hold)
// and the value, of the driver's value type T (int or long).
template <class T>
struct VqCntxEntry3T {
    typedef T ValueType;
    static constexpr const char* s_pContextClass = "VqProbContext3T";

    int32_t _cCount = 0;
    int32_t _cCumCount = 0;
    bool _bEscape = false;
    T _value = 0;

    bool isEscape() const { return _bEscape; }
    ValueType value() const { return _value; }
};
