#pragma once

#include "VqString.h"

// The process-wide format settings: which version new files are written in,
// the newest version that is read, and the segment compression of format 10.
// They are configured before files are read or written and are not locked.
class VqPartition {
public:
    // Accepted write versions: 6.4, 7.0, 8.0-8.2, 9.0-9.7, 10.0, 10.1 and 99.0.
    static bool setVersion(int major, int minor);
    // The write version, parsed from the version text on first use.
    static bool getVersion(int& major, int& minor);
    static bool getVersion(int& major, int& minor, VqString& text);
    static bool setMaxReadVersion(int major, int minor);
    static void getMaxReadVersion(int& major, int& minor);
    static void getSupportedVQVersion(int& major, int& minor);
    // Algorithm number written by the format-10 segment stream: 2 (zlib) or 3 (LZMA).
    static bool setCompressionAlgortihm(int algorithm);
    static int compressionAlgorithm() { return s_nCompressionAlgorithm; }
    static int propertyTableVersion() { return s_nPropTableVersion; }

    static bool init();
    static void fini();

private:
    static bool _parseVersion(const VqString& text, int& major, int& minor);

    static VqString* s_pWriteVersionText;
    static int s_nWriteMajor;
    static int s_nWriteMinor;
    static int s_nMaxReadMajor;
    static int s_nMaxReadMinor;
    static int s_nCompressionAlgorithm;
    static const int s_nPropTableVersion = 1;
};
