#pragma once

#include "VqCowGoatPtr.h"
#include "VqExport.h"
#include "VqMutex.h"
#include "VqSharedPtr.h"

#include <cstdint>
#include <functional>
#include <unordered_map>
#include <vector>

class VqBase;

namespace Vq {

// Process-wide table through which equal objects are shared by several
// holders. Each entry keeps the object, the number of handles that refer to
// it, the hash under which it is shared (0 when private) and the time of its
// last use. Handles are indices into the entry vector; freed entries are reused.
class VQ_API GlobalObjectAliasTable {
public:
    static GlobalObjectAliasTable* EnsureInstance();
    static void DestroyInstance();

    // Gives cgp a new entry that holds obj (after releasing what cgp held).
    bool bindObject(CowGoatPtr& cgp, VqBase* obj);
    // Shares cgp's object under a non-zero hash. The object must not carry a
    // hash yet ("uGoatHash == 0") and the hash must be free ("!I.valid()").
    bool makeShared(CowGoatPtr& cgp, uint32_t hash);
    // Points cgp at the object shared under hash; false when there is none.
    bool findShared(uint32_t hash, CowGoatPtr& cgp);
    // Points cgp at the object shared under hash, or, when there is none yet,
    // at a new entry holding obj shared under hash: concurrent loads of the
    // same data end up sharing the first object published.
    bool shareObject(CowGoatPtr& cgp, VqBase* obj, uint32_t hash);
    // An object cgp alone holds, cloned and rebound first when it is shared;
    // a private object leaves the hash map.
    bool uniqueObject(CowGoatPtr& cgp, Vq::SharedPtr<VqBase>& out);

    Vq::SharedPtr<VqBase> object(uint32_t hGoatObj, bool touch);
    uint32_t objectHash(uint32_t hGoatObj) const;
    uint32_t objectRefCount(uint32_t hGoatObj) const;
    uint64_t objectTimeStamp(uint32_t hGoatObj) const;
    // Disposal under memory pressure is not available yet: always false.
    bool isObjectDisposable(uint32_t hGoatObj) const;
    void touchObject(uint32_t hGoatObj);
    // Drops one handle's reference; the entry is freed with its last one.
    bool releaseObject(uint32_t hGoatObj);
    void releaseCGP(CowGoatPtr& cgp);
    void enumerateObjects(const std::function<void(uint32_t, const VqBase*)>& visit) const;
    // Trims the free tail of the entry vector.
    void shrink();

    size_t numObjects() const;

private:
    friend class CowGoatPtr;
    struct Entry {
        Vq::SharedPtr<VqBase> pObject;
        uint32_t nRefs = 0;
        uint32_t uHash = 0;
        uint64_t uTimeStamp = 0;
    };
    bool _checkHandle(uint32_t hGoatObj, const char* method) const;
    void _addRef(uint32_t hGoatObj);
    uint32_t _newEntry(VqBase* obj);
    void _releaseLocked(uint32_t hGoatObj, Vq::SharedPtr<VqBase>& dropped);

    mutable VqMutex _mutex;
    std::vector<Entry> _vdpObject;
    std::vector<uint32_t> _vFree;
    std::unordered_map<uint32_t, uint32_t> _hashToHandle;
    uint64_t _uClock = 0;
};

} // namespace Vq

extern VQ_API Vq::GlobalObjectAliasTable* g_pInstanceGlobalObjectAliasTable;
