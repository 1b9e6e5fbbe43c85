#pragma once

#include "VqBitField.h"
#include "VqGeomBindings.h"

#include <cstdint>

class VqVertexRecordPool;

// A view of a pool's raw arrays, handed out by acquireInternals under the
// pool's lock and valid until releaseInternals. Arrays are record-major with
// the given component counts; a pointer is null when the attribute is not
// bound. A read-only view must not be written through.
struct VqBaseVertexRecordPoolInternals {
    VqVertexRecordPool* pPool = nullptr;
    bool bWritable = false;
    uint64_t eBindings = 0;
    uint32_t nVtxRecs = 0;
    int nCoordComps = 0;
    int nNormalComps = 0;
    int nColorComps = 0;
    int anTexComps[VQ_GEOMBIND_NUM_TEXUNITS] = {};
    float* pfCoords = nullptr;
    float* pfNormals = nullptr;
    float* pfColors = nullptr;
    float* apfTexCoords[VQ_GEOMBIND_NUM_TEXUNITS] = {};
    VqBitVec* pvbFlags = nullptr;
};
