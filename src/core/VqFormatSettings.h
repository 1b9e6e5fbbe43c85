#pragma once

#include "VqExport.h"

class VqString;

// The process-wide format settings that every reader and writer consults:
// the version new files are written in, the newest version that is read, the
// algorithm of format-10 segments and the property-table version. They are
// configured before files are read or written; the partition's statics of the
// same names are the documented way to set them, and failures are reported
// under that class's name.
//
// A save that asks for another version or compression than the process-wide
// one does so through a WriteScope, which overrides the settings for the
// calling thread only, so that concurrent saves and later saves are not
// affected. The stream manager opens the same scope on the threads that write
// its segments.
class VQ_API VqFormatSettings {
public:
    // Accepted write versions: 6.4, 7.0, 8.0-8.2, 9.0-9.7, 10.0, 10.1 and 99.0.
    // Also sets the compression to LZMA above format 9 and zlib otherwise.
    static bool setVersion(int major, int minor);
    // Whether a version can be written; records why not when it cannot.
    static bool checkWriteVersion(int major, int minor, const char* method);
    // The write version of this thread's scope, else the process-wide one.
    static bool getVersion(int& major, int& minor);
    // The same with its header text ("Version 9.5").
    static bool getVersion(int& major, int& minor, VqString& text);
    static bool setMaxReadVersion(int major, int minor);
    static void getMaxReadVersion(int& major, int& minor);
    // The newest version this library writes.
    static void getSupportedVersion(int& major, int& minor);
    // Algorithm number written by the format-10 segment stream: 2 (zlib) or 3 (LZMA).
    static bool setCompressionAlgorithm(int algorithm);
    static int compressionAlgorithm();
    // The algorithm a write version uses unless told otherwise.
    static int defaultCompressionFor(int major) { return major > 9 ? 3 : 2; }
    static int propertyTableVersion() { return s_nPropTableVersion; }

    // Back to the defaults (library start and end).
    static void reset();

    // Overrides the write version and compression on this thread while it
    // lives. Scopes nest; the innermost wins.
    class WriteScope {
    public:
        WriteScope(int major, int minor, int compression);
        ~WriteScope();
        WriteScope(const WriteScope&) = delete;
        WriteScope& operator=(const WriteScope&) = delete;

    private:
        const WriteScope* _pOuter;
        int _nMajor;
        int _nMinor;
        int _nCompression;
        friend class VqFormatSettings;
    };

private:
    static const int s_nPropTableVersion = 1;
};
