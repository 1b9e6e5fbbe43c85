#pragma once

#include "VqSharedPtr.h"

class VqByteStream;
class VqRwStorageLocation;
class VqStreamMgr;

// Access to documents of a product-data-management system. The client that
// serves them is not part of this library and is not present in this build,
// so every request fails with a clear error and callers fail cleanly.
class VqRwClientMgr {
public:
    static bool available() { return false; }
    static bool createStreamMgr(const VqRwStorageLocation* loc, bool readOnly,
                                Vq::SharedPtr<VqStreamMgr>& out);
    static bool createRawStream(const VqRwStorageLocation* loc, bool readOnly, bool truncate,
                                Vq::SharedPtr<VqByteStream>& out);
    static const char* const s_notAvailableText;
};
