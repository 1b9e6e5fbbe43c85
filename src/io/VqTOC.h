#pragma once

#include "VqExport.h"
#include "VqGUID.h"
#include "VqHashMap.h"

#include <cstdint>
#include <vector>

// One entry of the table of contents: where a segment lies and what it is.
// The attributes word holds the segment type in bits 24 to 31 and a block
// number in bits 8 to 23 (non-zero marks an external segment).
struct VQ_API VqTOCElem {
    VqGUID guid;
    uint64_t offset = 0;
    uint32_t length = 0;
    uint32_t attributes = 0;

    int segType() const { return static_cast<int>(attributes >> 24); }
    int blockNum() const { return static_cast<int>((attributes >> 8) & 0xFFFFu); }
    void setSegType(int type) {
        attributes = (attributes & 0x00FFFFFFu) | (static_cast<uint32_t>(type & 0xFF) << 24);
    }
    void setBlockNum(int block) {
        attributes = (attributes & 0xFF0000FFu) | (static_cast<uint32_t>(block & 0xFFFF) << 8);
    }
};

// The table of contents in memory, keyed by segment GUID. Registering a GUID
// that is present overwrites its entry.
class VQ_API VqTOC {
public:
    void registerEntry(const VqTOCElem& e) { _mEntries[e.guid] = e; }
    const VqTOCElem* find(const VqGUID& guid) const { return _mEntries.lookup(guid); }
    VqTOCElem* find(const VqGUID& guid) { return _mEntries.lookup(guid); }
    bool remove(const VqGUID& guid) { return _mEntries.erase(guid) > 0; }
    int numEntries() const { return _mEntries.numEntries(); }
    void clear() { _mEntries.clear(); }
    // The entries in file order (by offset, then GUID), for writing and listing.
    std::vector<VqTOCElem> entriesByOffset() const;

private:
    VqHashMap<VqGUID, VqTOCElem> _mEntries;
};
