#pragma once

#include "VqExport.h"
#include "VqType.h"

#include <atomic>

class VqString;

// Registry of every class's type record: lookup by GUID (once per element
// read), by name (cached) and by index. Registration happens only inside
// VqLib::init and fini; lookups are not locked.
class VQ_API VqFactory {
public:
    static bool addType(const VqType& type);
    static bool removeType(const VqType& type);

    // Results are null when nothing matches; the calls fail only when no type
    // was ever registered ("_dataBase") or the index is negative.
    // Opening a file asks for the same few types once per element: the type
    // found last for the GUID's slot answers inline when it matches.
    static bool getType(const VqGUID& guid, VqType*& out) {
        VqType* last = s_guidCache[guid.Data1 & (kGuidCacheSlots - 1)].load(std::memory_order_acquire);
        if (last && last->guid == guid) {
            out = last;
            return true;
        }
        return _getTypeSlow(guid, out);
    }
    static bool getType(const VqString& name, VqType*& out);
    static bool getType(const char* name, VqType*& out);
    static bool getType(int index, VqType*& out);

    static int numTypes();
    static bool equalGUIDs(const VqGUID& a, const VqGUID& b) { return a == b; }

private:
    static bool _getTypeSlow(const VqGUID& guid, VqType*& out);

    // The type found last by GUID, per slot of the GUID's first word. Readers
    // on several threads share the slots, hence atomic; adding or removing a
    // GUID's type empties its slot, so a slot never outlives its type.
    static constexpr unsigned kGuidCacheSlots = 16;
    static std::atomic<VqType*> s_guidCache[kGuidCacheSlots];
};
