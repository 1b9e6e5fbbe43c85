#pragma once

#include "VqCntxEntry.h"
#include "VqCntxTable.h"
#include "VqExport.h"

#include <algorithm>
#include <cstdint>

// One context of a version-1 probability model: a table of entries whose
// counts total at most cMaxScale, so that the arithmetic coder can use it.
template <class T>
class VqProbContext : public VqCntxTable<VqCntxEntry<T>> {
public:
    static constexpr uint32_t cMaxScale = 16383;

    // Scales the counts down until the total is at most cMaxScale. Counts are
    // multiplied by cMaxScale / total and truncated, but never below 1, so
    // that no value drops out of the table; the table must hold fewer than
    // cMaxScale entries for that to end.
    bool rescaleToScale() {
        const char* cls = "VqProbModel";
        VQ_CHECK(this->numEntries() < static_cast<int>(cMaxScale), cls, "_rescaleProbContexts",
                 VQ_ERR_INTERNAL);
        this->accumulateCounts();
        const uint32_t maxValue = cMaxScale;
        while (this->totalCount() > maxValue) {
            const uint32_t last = this->totalCount();
            const double factor = double(maxValue) / double(last);
            for (VqCntxEntry<T>& e : this->_vEntries)
                e._cCount = std::max<int32_t>(static_cast<int32_t>(e._cCount * factor), 1);
            this->accumulateCounts();
            // Some count above 1 shrinks each pass, so the total does.
            if (this->totalCount() >= last)
                VQ_FAIL(cls, "_rescaleProbContexts", "aProbCntx[ii].totalCount() <= maxValue",
                        VQ_ERR_INTERNAL);
        }
        return true;
    }
};
