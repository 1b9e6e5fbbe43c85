#pragma once

#include <cstddef>
#include <cstdint>

// Basic typedefs used by every public signature. They are kept as named
// aliases so that function texts in error reports read as documented.
typedef char VqChar;
typedef unsigned char VqUChar;
typedef size_t VqSize;

// Error codes recorded with every failure (see VqErrorState).
enum VqErrorCode : int32_t {
    VQ_ERR_ARGUMENT = 1,         // failed precondition on an argument
    VQ_ERR_INTERNAL = 5,         // broken invariant or unexpected exception
    VQ_ERR_UNREACHABLE = 6,      // a requested item cannot be reached
    VQ_ERR_CORRUPT = 8,          // corrupt or unreadable input
    VQ_ERR_SETTING = 9,          // a required setting is missing, a path cannot be resolved
    VQ_ERR_OPEN = 11,            // a file cannot be opened
    VQ_ERR_SHORT_READ = 13,      // a short read
    VQ_ERR_WRITE = 14,           // a write failed
    VQ_ERR_SEEK = 15,            // a seek failed
    VQ_ERR_ALLOC = 20,           // allocation failure
    VQ_ERR_TOO_OLD = 21,         // file version older than the oldest supported
    VQ_ERR_TOO_NEW = 22,         // data or request newer than supported
    VQ_ERR_PARTITION = 23,       // parent and child in different partitions or contexts
    VQ_ERR_BUFFER = 24,          // output buffer too small
    VQ_ERR_MUTEX = 25,           // a mutex lock failed
    VQ_ERR_THREAD_EXIT = 26,     // a worker thread did not stop in time
    VQ_ERR_READ = 100,           // read error in a file's structure
    VQ_ERR_CRLF = 101,           // file damaged by a text-mode transfer
    VQ_ERR_SCRAMBLE = 107,       // scrambling requested for a version without it
    VQ_ERR_NONE = 300            // no error recorded
};

// Byte order of data streams and files. A stream set to NoOrder swaps, as
// its order differs from the host's.
enum VqByteOrder : int32_t { LsbFirst = 0, MsbFirst = 1, NoOrder = 2 };

namespace Vq {
// What changed, sent with a notification. 0 is nothing, 255 everything;
// single bits are defined by the sending class.
typedef uint8_t BaseChange;
constexpr BaseChange BaseChangeNone = 0;
constexpr BaseChange BaseChangeAll = 255;
// What appearance objects (attributes, lights) send: a value that changes how
// things are drawn (colours, shading, fog), and a setting that changes what
// is drawn (culling, outlines, line and point sizes, masks, shadows).
constexpr BaseChange BaseChangeRendering = 4;
constexpr BaseChange BaseChangeCulling = 8;
} // namespace Vq
