#pragma once

#include "VqBox3.h"
#include "VqExport.h"
#include "VqFixedVec.h"
#include "VqUniformQuantizer.h"

#include <algorithm>
#include <cstdint>

class VqBaseDataStream;

// Codes points of a box as three unsigned integers, one uniform quantizer
// per axis over the box's extent on that axis. Encoding clamps points to the
// box; decoding refuses codes an axis cannot have, since those only come from
// damaged data.
//
// NaN coordinates are refused: no code stands for them, and mapping them to
// a corner would hide the fault in the mesh that holds them. Infinite
// coordinates clamp to the box like any other point outside it; the box
// itself must be finite.
//
// Record (27 bytes): the x, y and z quantizers in that order.
class VQ_API VqPointQuantizer {
public:
    VqPointQuantizer() = default;

    // Sets the three ranges when the box is not empty; an empty box is kept
    // and leaves the quantizer unable to code until a valid one is set.
    bool setBBox(const VqBox3<float>& box);
    const VqBox3<float>& getBBox() const { return _bbox; }

    // Each 0 ... 32.
    bool setNumBitsPrecision(int nBitsX, int nBitsY, int nBitsZ);
    bool setNumBitsPrecision(int nBits) { return setNumBitsPrecision(nBits, nBits, nBits); }
    void getNumBitsPrecision(int& nBitsX, int& nBitsY, int& nBitsZ) const;

    // Shares totalBits among the axes in proportion to the box's extents,
    // each axis getting minBits ... maxBits, the sum exactly totalBits.
    bool distributePrecision(int totalBits, int minBits, int maxBits);

    bool convertVecToCode(const VqVec3f& vec, uint32_t& outCodeX, uint32_t& outCodeY,
                          uint32_t& outCodeZ) const;
    bool convertCodeToVec(uint32_t inCodeX, uint32_t inCodeY, uint32_t inCodeZ, VqVec3f& vec) const;

    // The same over arrays of n points and three code arrays, as the coded
    // vertex arrays hold them; the checks run once per call where they can.
    bool convertVecsToCodes(const VqVec3f* vecs, int n, uint32_t* codesX, uint32_t* codesY,
                            uint32_t* codesZ) const;
    bool convertCodesToVecs(const uint32_t* codesX, const uint32_t* codesY, const uint32_t* codesZ, int n,
                            VqVec3f* vecs) const;
    // Point i into the first nOut (1 to 3) floats at out + indices[i] *
    // stride, straight into the records that hold it; every code is checked
    // before any record changes.
    bool convertCodesToRecords(const uint32_t* codesX, const uint32_t* codesY, const uint32_t* codesZ, int n,
                               const uint32_t* indices, int stride, int nOut, float* out) const;

    // How far apart the points of two different code triples lie at least
    // (see Vq::UniformQuantizer::minCodeGap): they differ on some axis.
    double minPointGap() const {
        return std::min({_xQuantizer.minCodeGap(), _yQuantizer.minCodeGap(), _zQuantizer.minCodeGap()});
    }

    // Needs a valid box.
    bool serialize(VqBaseDataStream& s) const;
    // Sets the box from the ranges read.
    bool deserialize(VqBaseDataStream& s);

private:
    bool _checkCanCode(const char* method) const;
    bool _checkCodes(const uint32_t* codesX, const uint32_t* codesY, const uint32_t* codesZ, int n,
                     const char* method) const;

    Vq::UniformQuantizer<float> _xQuantizer;
    Vq::UniformQuantizer<float> _yQuantizer;
    Vq::UniformQuantizer<float> _zQuantizer;
    VqBox3<float> _bbox;
};
