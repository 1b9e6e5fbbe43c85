#pragma once

// What the fuzz targets of codec packets and mesh records share.

#include "VqCodecDriver2.h"
#include "VqLib.h"
#include "VqLineStripTopoMesh.h"
#include "VqPointTopoMesh.h"
#include "VqPolygonTopoMesh.h"
#include "VqTriStripTopoMesh.h"

#include <cstdint>
#include <cstdlib>

// The library, with the value count a packet may claim held to nMaxValues:
// packets of equal values cost no bits, and the fuzzer's memory limit would
// otherwise stop runs on inputs that are refused only for their size. The
// library's pools are freed before the leak check that ends the process.
// Returns what LLVMFuzzerInitialize returns.
inline int vqFuzzInit(int nMaxValues) {
    if (!VqLib::init()) return 1;
    VqCodecDriver2::s_setMaxValueCount(nMaxValues);
    std::atexit([] { VqLib::fini(); });
    return 0;
}

// The mesh kinds an input's selector bits name.
enum VqFuzzKind { kVqFuzzLineStrips, kVqFuzzPoints, kVqFuzzTriStrips, kVqFuzzPolygons };

// An empty mesh of the kind an input's selector bits name.
inline Vq::SharedPtr<VqTopoMesh> vqFuzzMeshOfKind(int kind) {
    switch (kind & 3) {
    case kVqFuzzLineStrips:
        return new VqLineStripTopoMesh();
    case kVqFuzzPoints:
        return new VqPointTopoMesh();
    case kVqFuzzTriStrips:
        return new VqTriStripTopoMesh();
    default:
        return new VqPolygonTopoMesh();
    }
}

// A mesh record input's first byte: bits 0-1 the kind, bits 2-3 the
// record's format, an index into kVqFuzzFormats (3 is 10 as well).
struct VqFuzzFormat {
    int major, minor;
};
inline constexpr VqFuzzFormat kVqFuzzFormats[4] = {{9, 0}, {9, 4}, {10, 0}, {10, 0}};
inline uint8_t vqFuzzSelector(int kind, int format) {
    return uint8_t((kind & 3) | (format & 3) << 2);
}
