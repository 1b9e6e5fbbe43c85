#pragma once

#include "VqExport.h"

#include <cstdint>

// The fields of a version-1 context entry that do not depend on the value
// type: the symbol (CEBEscape marks the escape entry), the count, the
// cumulative count and the index of the context that codes the next symbol.
struct VQ_API VqCntxEntryBase {
    enum { CEBEscape = -2 };

    int32_t _iSymbol = 0;
    int32_t _cCount = 0;
    int32_t _cCumCount = 0;
    int32_t _iNextCntx = 0;

    bool isEscape() const { return _iSymbol == CEBEscape; }
};
