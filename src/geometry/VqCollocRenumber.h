#pragma once

#include "VqBox3.h"
#include "VqExport.h"
#include "VqFixedVec.h"

#include <cstdint>

// One record's result of the collocation sweep: its class (the new record it
// merges into) and its position representative (the record whose position it
// takes). Records that share a representative lie at one place; records that
// share a class also carry compatible attributes.
struct VqCollocKey {
    uint32_t iIdx;  // the record
    int32_t iClass; // -1 until the sweep gives one
    int32_t iRep;   // -1 until the sweep gives one
};

// Whether records a and b may merge, position aside.
typedef bool (*VqCollocCompareFn)(const void* context, uint32_t a, uint32_t b);

// Gives each of nVerts points a class and a position representative: one
// sort along an axis chosen from a histogram of a sample of the points, then
// one forward sweep in which each class's first record takes the records
// within t of it that compare equal. keys receives the records in sweep order
// (nVerts entries), numUnique the number of classes, classes numbered from 0
// in sweep order.
//
// box may be empty; it is then grown over the points. Points with a
// coordinate that is not finite are sorted last and each stays alone: no
// distance to them means anything. pChosenAxis, when given, receives the
// index (0-6) of the axis sorted along.
VQ_API bool vqCollocRenumber(uint32_t nVerts, const VqVec3f* paVerts, const VqBox3<float>& box, double t,
                             VqCollocCompareFn compare, const void* context, VqCollocKey* keys,
                             uint32_t& numUnique, int* pChosenAxis = nullptr);
