#pragma once

// What the fuzz targets of codec packets and mesh records share.

#include "VqCodecDriver2.h"
#include "VqLib.h"
#include "VqLineStripTopoMesh.h"
#include "VqPointTopoMesh.h"
#include "VqPolygonTopoMesh.h"
#include "VqTriStripTopoMesh.h"

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

// An empty mesh of the kind an input's selector bits name: line strips,
// points, triangle strips, polygons.
inline Vq::SharedPtr<VqTopoMesh> vqFuzzMeshOfKind(int kind) {
    switch (kind & 3) {
    case 0:
        return new VqLineStripTopoMesh();
    case 1:
        return new VqPointTopoMesh();
    case 2:
        return new VqTriStripTopoMesh();
    default:
        return new VqPolygonTopoMesh();
    }
}
