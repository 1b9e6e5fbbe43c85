#pragma once

#include "VqExport.h"
#include "VqFixedVec.h"

#include <cstdint>

class VqBaseDataStream;

// Codes unit vectors in 2n + 6 bits (n = 0 ... 13 angle bits): the sign of
// each component (octant), which of the six orderings of the absolute
// components holds (sextant), and two angles within that sextant:
//   sextant (3 bits) << (2n + 3) | octant (3 bits) << 2n | θ (n bits) << n | ψ (n bits).
// The vector need not be of unit length; the zero vector codes as (0, 0, 1).
// Infinite or NaN components are refused: the angles are undefined for them.
//
// Errors name the class "VqNormalCoder". Record: uint8 n.
class VQ_API VqDeeringNormalCodec {
public:
    static constexpr int kMaxBits = 13;

    // A bad bit count records "Bad argument" and leaves a codec that refuses
    // to code until setNumBits succeeds.
    explicit VqDeeringNormalCodec(int nBits = 0);

    bool setNumBits(int nBits);
    int numBits() const { return _numBits; }

    bool convertVecToCode(const VqFixedVec<float, 3>& vec, uint32_t& code) const;
    bool convertVecToCode(const VqFixedVec<float, 3>& vec, uint32_t& sextant, uint32_t& octant,
                          uint32_t& theta, uint32_t& psi) const;
    bool convertCodeToVec(uint32_t code, VqFixedVec<float, 3>& vec) const;
    bool convertCodeToVec(uint32_t sextant, uint32_t octant, uint32_t theta, uint32_t psi,
                          VqFixedVec<float, 3>& vec) const;

    // The same over arrays of n normals, as the coded normal arrays hold them.
    bool convertVecsToCodes(const VqFixedVec<float, 3>* vecs, int n, uint32_t* codes) const;
    bool convertCodesToVecs(const uint32_t* codes, int n, VqFixedVec<float, 3>* vecs) const;
    // Normal i into the three floats at out + 3 indices[i], straight into the
    // records that hold it; every code is checked before any record changes.
    bool convertCodesToRecords(const uint32_t* codes, int n, const uint32_t* indices, float* out) const;

    // Parts are taken modulo their widths, except that the sextant keeps
    // whatever lies above it, so that a code of the wrong width is refused
    // by the decoder rather than read as another normal.
    uint32_t packCode(uint32_t sextant, uint32_t octant, uint32_t theta, uint32_t psi) const {
        const int n = _numBits;
        const uint32_t mask = (uint32_t(1) << n) - 1;
        return sextant << (2 * n + 3) | (octant & 7u) << (2 * n) | (theta & mask) << n | (psi & mask);
    }
    void unpackCode(uint32_t code, uint32_t& sextant, uint32_t& octant, uint32_t& theta,
                    uint32_t& psi) const {
        const int n = _numBits;
        const uint32_t mask = (uint32_t(1) << n) - 1;
        sextant = code >> (2 * n + 3);
        octant = (code >> (2 * n)) & 7u;
        theta = (code >> n) & mask;
        psi = code & mask;
    }

    bool serialize(VqBaseDataStream& s) const;
    bool deserialize(VqBaseDataStream& s);

private:
    bool _checkBits(const char* method) const;

    int _numBits;
};
