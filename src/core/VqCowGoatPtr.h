#pragma once

#include "VqExport.h"
#include "VqSharedPtr.h"

#include <cstdint>

class VqBase;

namespace Vq {

// Copy-on-write handle to an object kept in the global object alias table.
// Copies share the table entry; the entry lives while any handle refers to it.
class VQ_API CowGoatPtr {
public:
    static constexpr uint32_t kNoHandle = 0xFFFFFFFFu;

    CowGoatPtr() = default;
    CowGoatPtr(const CowGoatPtr& o);
    CowGoatPtr& operator=(const CowGoatPtr& o);
    ~CowGoatPtr();

    // The shared object (null when there is none); refreshes its time stamp.
    Vq::SharedPtr<VqBase> constData() const;
    // An object private to this handle, copied first when others share it.
    Vq::SharedPtr<VqBase> nonConstData();
    void touch() const;
    // Gives up this handle's share of the object.
    void unloadData();

    bool hasHandle() const { return _hGoatObj != kNoHandle; }
    uint32_t goatHandle() const { return _hGoatObj; }
    uint32_t goatHash() const { return _uGoatHash; }

private:
    friend class GlobalObjectAliasTable;
    uint32_t _hGoatObj = kNoHandle;
    uint32_t _uGoatHash = 0;
};

} // namespace Vq
