#pragma once

#include "VqExport.h"

#include <cstdint>

// One entry of a version-2 probability context (16 bytes). The symbol marks
// the escape entry (-2), which stands for the values the table does not
// hold; ordinary entries carry -1.
struct VQ_API VqCntxEntry2 {
    typedef int32_t ValueType;
    static constexpr int32_t s_iEscapeSymbol = -2;
    static constexpr int32_t s_iOrdinarySymbol = -1;
    static constexpr const char* s_pContextClass = "VqProbContext2";

    int32_t _iSymbol = s_iOrdinarySymbol;
    int32_t _cCount = 0;
    int32_t _cCumCount = 0;
    int32_t _iValue = 0;

    bool isEscape() const { return _iSymbol == s_iEscapeSymbol; }
    ValueType value() const { return _iValue; }
};

static_assert(sizeof(VqCntxEntry2) == 16, "a version-2 context entry is four 32-bit fields");
