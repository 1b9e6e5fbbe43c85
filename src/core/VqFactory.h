#pragma once

#include "VqExport.h"
#include "VqType.h"

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
    static bool getType(const VqGUID& guid, VqType*& out);
    static bool getType(const VqString& name, VqType*& out);
    static bool getType(const char* name, VqType*& out);
    static bool getType(int index, VqType*& out);

    static int numTypes();
    static bool equalGUIDs(const VqGUID& a, const VqGUID& b) { return a == b; }
};
