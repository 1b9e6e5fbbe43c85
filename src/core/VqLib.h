#pragma once

#include "VqExport.h"
#include "VqString.h"

// Build identification of the library.
struct VQ_API VqBuildInfo {
    int nMajor = 0;
    int nMinor = 0;
    int nPatch = 0;
    VqString strVersion; // "major.minor.patch"
    VqString strStatus;  // release status
    VqString strBuild;   // build identification (compiler, date)
};

// Library lifetime. A host calls init() before anything else and fini() when
// done; both are counted, so independent users in one process may each call them.
class VQ_API VqLib {
public:
    static bool init();
    static bool fini();
    static bool isInitialized() { return _refCount > 0; }
    static const VqBuildInfo& buildInfo() { return _tBuildInfo; }

private:
    static int _refCount;
    static VqBuildInfo _tBuildInfo;
};
