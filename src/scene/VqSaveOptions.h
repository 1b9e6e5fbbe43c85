#pragma once

#include "VqExport.h"

// How one save writes its file. The options apply to that call only, on the
// thread that makes it: the process-wide settings, other threads' saves and
// later saves are not affected. Designated initialisers read well at the call:
//     root->saveAs("out.vq", {.versionMajor = 10, .versionMinor = 1});
struct VQ_API VqSaveOptions {
    // The segment compression of formats 10 and above, by the number the
    // file stores for it.
    enum class Compression : int {
        Default = 0, // what the version implies: LZMA above format 9, zlib below
        Zlib = 2,
        Lzma = 3 // formats 10 and above only
    };

    // The format version to write (6.4, 7.0, 8.0-8.2, 9.0-9.7, 10.0, 10.1 or
    // 99.0). Left at 0.0, the save uses the process-wide version, and a
    // default compression is then the process-wide one too.
    int versionMajor = 0;
    int versionMinor = 0;
    Compression compression = Compression::Default;
    // A save refuses a graph holding content that the version has no place
    // for (face groups or vertex flags before 9.0, auxiliary vertex fields
    // before 9.4, ...), naming the kind of object and the oldest version that
    // holds it; the target keeps what it held. Set, it writes the file and
    // leaves that content out. Kinds of object that the version has no record
    // for at all are refused either way.
    bool allowLoss = false;
};
