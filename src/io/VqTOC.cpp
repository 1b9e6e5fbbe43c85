#include "VqTOC.h"

#include <algorithm>

std::vector<VqTOCElem> VqTOC::entriesByOffset() const {
    std::vector<VqTOCElem> out;
    out.reserve(_mEntries.size());
    for (const auto& kv : _mEntries)
        out.push_back(kv.second);
    std::sort(out.begin(), out.end(), [](const VqTOCElem& a, const VqTOCElem& b) {
        return a.offset != b.offset ? a.offset < b.offset : a.guid < b.guid;
    });
    return out;
}
