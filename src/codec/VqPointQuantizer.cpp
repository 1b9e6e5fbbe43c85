#include "VqPointQuantizer.h"

#include "VqBaseDataStream.h"
#include "VqErrorState.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>

namespace {
const char* const kCls = "VqPointQuantizer";
const char* const kCodeRange = "inCodeX <= xMax && inCodeY <= yMax && inCodeZ <= zMax";
} // namespace

bool VqPointQuantizer::setBBox(const VqBox3<float>& box) {
    if (box.isEmpty()) {
        _bbox = box;
        return true;
    }
    // Set on copies, so that a refused box leaves the quantizer as it was.
    Vq::UniformQuantizer<float> qx = _xQuantizer, qy = _yQuantizer, qz = _zQuantizer;
    VQ_PROPAGATE(qx.setRange(box.min[0], box.max[0]) && qy.setRange(box.min[1], box.max[1]) &&
                 qz.setRange(box.min[2], box.max[2]));
    _xQuantizer = qx;
    _yQuantizer = qy;
    _zQuantizer = qz;
    _bbox = box;
    return true;
}

bool VqPointQuantizer::setNumBitsPrecision(int nBitsX, int nBitsY, int nBitsZ) {
    if (!((nBitsX >= 0) && (nBitsX <= 32) && (nBitsY >= 0) && (nBitsY <= 32) && (nBitsZ >= 0) &&
          (nBitsZ <= 32)))
        VQ_FAIL(kCls, "setNumBitsPrecision",
                "(nBitsX>=0) && (nBitsX<=32) && (nBitsY>=0) && (nBitsY<=32) && (nBitsZ>=0) && (nBitsZ<=32)",
                VQ_ERR_ARGUMENT);
    VQ_PROPAGATE(_xQuantizer.setQuantizedSize(nBitsX) && _yQuantizer.setQuantizedSize(nBitsY) &&
                 _zQuantizer.setQuantizedSize(nBitsZ));
    return true;
}

void VqPointQuantizer::getNumBitsPrecision(int& nBitsX, int& nBitsY, int& nBitsZ) const {
    nBitsX = static_cast<int>(_xQuantizer.quantizedSize());
    nBitsY = static_cast<int>(_yQuantizer.quantizedSize());
    nBitsZ = static_cast<int>(_zQuantizer.quantizedSize());
}

bool VqPointQuantizer::distributePrecision(int totalBits, int minBits, int maxBits) {
    if (!(totalBits <= 96)) VQ_FAIL(kCls, "distributePrecision", "totalBits <= 96", VQ_ERR_ARGUMENT);
    // The balancing below moves one bit at a time towards the total; it ends
    // only if the total can be reached with every axis in [minBits, maxBits].
    // An unreachable request is refused rather than looped on or bent.
    if (!((minBits >= 0) && (minBits <= maxBits) && (maxBits <= 32) && (3 * minBits <= totalBits) &&
          (totalBits <= 3 * maxBits)))
        VQ_FAIL(kCls, "distributePrecision",
                "(minBits >= 0) && (minBits <= maxBits) && (maxBits <= 32) && (3 * minBits <= totalBits) && "
                "(totalBits <= 3 * maxBits)",
                VQ_ERR_ARGUMENT);

    // The box is finite (setBBox and deserialize refuse infinite and NaN
    // bounds), so the extents are too. An empty box counts as no extent.
    // Without any extent (an empty box or a single point) no axis needs more
    // than another: the bits are shared evenly instead of dividing by zero.
    double extent[3];
    double sum = 0.0;
    for (int i = 0; i < 3; ++i) {
        extent[i] = std::max(0.0, static_cast<double>(_bbox.max[i]) - static_cast<double>(_bbox.min[i]));
        sum += extent[i];
    }
    int bits[3];
    int have = 0;
    for (int i = 0; i < 3; ++i) {
        const double share = sum > 0.0 ? extent[i] / sum * totalBits : totalBits / 3.0;
        bits[i] = std::clamp(static_cast<int>(share + 0.5), minBits, maxBits);
        have += bits[i];
    }
    for (int axis = 0; have != totalBits; axis = (axis + 1) % 3) {
        if (have > totalBits && bits[axis] > minBits) {
            --bits[axis];
            --have;
        } else if (have < totalBits && bits[axis] < maxBits) {
            ++bits[axis];
            ++have;
        }
    }
    VQ_PROPAGATE(setNumBitsPrecision(bits[0], bits[1], bits[2]));
    return true;
}

bool VqPointQuantizer::_checkCanCode(const char* method) const {
    if (_bbox.isEmpty()) VQ_FAIL(kCls, method, "_bbox.isValid()", VQ_ERR_ARGUMENT);
    if (!(_xQuantizer.isUsable() && _yQuantizer.isUsable() && _zQuantizer.isUsable()))
        VQ_FAIL(kCls, method, "_xQuantizer.isUsable() && _yQuantizer.isUsable() && _zQuantizer.isUsable()",
                VQ_ERR_ARGUMENT);
    return true;
}

bool VqPointQuantizer::convertVecToCode(const VqVec3f& vec, uint32_t& outCodeX, uint32_t& outCodeY,
                                        uint32_t& outCodeZ) const {
    VQ_PROPAGATE(_checkCanCode("convertVecToCode"));
    if (std::isnan(vec[0]) || std::isnan(vec[1]) || std::isnan(vec[2]))
        VQ_FAIL(kCls, "convertVecToCode", "!std::isnan(vec[0]) && !std::isnan(vec[1]) && !std::isnan(vec[2])",
                VQ_ERR_ARGUMENT);
    outCodeX = _xQuantizer.quantize(vec[0]);
    outCodeY = _yQuantizer.quantize(vec[1]);
    outCodeZ = _zQuantizer.quantize(vec[2]);
    return true;
}

bool VqPointQuantizer::convertCodeToVec(uint32_t inCodeX, uint32_t inCodeY, uint32_t inCodeZ,
                                        VqVec3f& vec) const {
    if (!(inCodeX <= _xQuantizer.maxCode() && inCodeY <= _yQuantizer.maxCode() &&
          inCodeZ <= _zQuantizer.maxCode()))
        VQ_FAIL(kCls, "convertCodeToVec", kCodeRange, VQ_ERR_CORRUPT);
    const float x = _xQuantizer.dequantize(inCodeX);
    const float y = _yQuantizer.dequantize(inCodeY);
    const float z = _zQuantizer.dequantize(inCodeZ);
    // Fails only without a valid box: decoding clamps to the box otherwise.
    const float* pBBMin = _bbox.min.data();
    const float* pBBMax = _bbox.max.data();
    if (!(x >= pBBMin[0] && x <= pBBMax[0] && y >= pBBMin[1] && y <= pBBMax[1] && z >= pBBMin[2] &&
          z <= pBBMax[2]))
        VQ_FAIL(
            kCls, "convertCodeToVec",
            "x >= pBBMin[0] && x <= pBBMax[0] && y >= pBBMin[1] && y <= pBBMax[1] && z >= pBBMin[2] && z <= "
            "pBBMax[2]",
            VQ_ERR_CORRUPT);
    vec = VqVec3f(x, y, z);
    return true;
}

bool VqPointQuantizer::convertVecsToCodes(const VqVec3f* vecs, int n, uint32_t* codesX, uint32_t* codesY,
                                          uint32_t* codesZ) const {
    if (n < 0) VQ_FAIL(kCls, "convertVecsToCodes", "n >= 0", VQ_ERR_ARGUMENT);
    VQ_PROPAGATE(_checkCanCode("convertVecsToCodes"));
    bool anyNaN = false;
    for (int i = 0; i < n; ++i) {
        const VqVec3f& v = vecs[i];
        anyNaN |= std::isnan(v[0]) | std::isnan(v[1]) | std::isnan(v[2]);
        codesX[i] = _xQuantizer.quantize(v[0]);
        codesY[i] = _yQuantizer.quantize(v[1]);
        codesZ[i] = _zQuantizer.quantize(v[2]);
    }
    if (anyNaN)
        VQ_FAIL(kCls, "convertVecsToCodes",
                "!std::isnan(vec[0]) && !std::isnan(vec[1]) && !std::isnan(vec[2])", VQ_ERR_ARGUMENT);
    return true;
}

// Every code in range before any point is made: a pass of its own, which
// leaves the output untouched when a code is out of range. Four codes at a
// time, in vectors: the compiler left the loop scalar.
bool VqPointQuantizer::_checkCodes(const uint32_t* codesX, const uint32_t* codesY, const uint32_t* codesZ,
                                   int n, const char* method) const {
    using V4u = uint32_t __attribute__((vector_size(16)));
    const uint32_t xMax = _xQuantizer.maxCode(), yMax = _yQuantizer.maxCode(), zMax = _zQuantizer.maxCode();
    V4u tooLarge4 = {};
    int i = 0;
    for (; i + 4 <= n; i += 4) {
        V4u x, y, z;
        std::memcpy(&x, codesX + i, sizeof x);
        std::memcpy(&y, codesY + i, sizeof y);
        std::memcpy(&z, codesZ + i, sizeof z);
        tooLarge4 |= V4u(x > xMax) | V4u(y > yMax) | V4u(z > zMax);
    }
    bool tooLarge = (tooLarge4[0] | tooLarge4[1] | tooLarge4[2] | tooLarge4[3]) != 0;
    for (; i < n; ++i)
        tooLarge |= (codesX[i] > xMax) | (codesY[i] > yMax) | (codesZ[i] > zMax);
    if (tooLarge) VQ_FAIL(kCls, method, kCodeRange, VQ_ERR_CORRUPT);
    return true;
}

bool VqPointQuantizer::convertCodesToVecs(const uint32_t* codesX, const uint32_t* codesY,
                                          const uint32_t* codesZ, int n, VqVec3f* vecs) const {
    if (n < 0) VQ_FAIL(kCls, "convertCodesToVecs", "n >= 0", VQ_ERR_ARGUMENT);
    // With a valid box every decoded point lies in it, so the per-point box
    // test of convertCodeToVec is not needed here.
    VQ_PROPAGATE(_checkCanCode("convertCodesToVecs"));
    VQ_PROPAGATE(_checkCodes(codesX, codesY, codesZ, n, "convertCodesToVecs"));
    for (int i = 0; i < n; ++i)
        vecs[i] = VqVec3f(_xQuantizer.dequantize(codesX[i]), _yQuantizer.dequantize(codesY[i]),
                          _zQuantizer.dequantize(codesZ[i]));
    return true;
}

bool VqPointQuantizer::convertCodesToRecords(const uint32_t* codesX, const uint32_t* codesY,
                                             const uint32_t* codesZ, int n, const uint32_t* indices,
                                             int stride, int nOut, float* out) const {
    if (n < 0 || nOut < 1 || nOut > 3 || stride < nOut)
        VQ_FAIL(kCls, "convertCodesToRecords", "n >= 0 && nOut >= 1 && nOut <= 3 && stride >= nOut",
                VQ_ERR_ARGUMENT);
    VQ_PROPAGATE(_checkCanCode("convertCodesToRecords"));
    VQ_PROPAGATE(_checkCodes(codesX, codesY, codesZ, n, "convertCodesToRecords"));
    // Local copies of the quantizers, which no store of a coordinate can
    // alias: their factors and bounds stay in registers, where they were
    // loaded again for every point. The count of coordinates is a constant
    // of each loop.
    const Vq::UniformQuantizer<float> qx = _xQuantizer, qy = _yQuantizer, qz = _zQuantizer;
    int iFirst = 0; // the points before it are written in pairs below
    const auto run = [&](auto nComps) {
        for (int i = iFirst; i < n; ++i) {
            float* p = out + size_t(indices[i]) * size_t(stride);
            p[0] = qx.dequantize(codesX[i]);
            if constexpr (nComps() > 1) p[1] = qy.dequantize(codesY[i]);
            if constexpr (nComps() > 2) p[2] = qz.dequantize(codesZ[i]);
        }
    };
    // Three coordinates of codes below 2^31 (every bit count but 32), two
    // points at a time: each coordinate's pair is dequantized in one
    // register, and a point's x and y go out in one store.
    if (nOut == 3 && std::max({qx.maxCode(), qy.maxCode(), qz.maxCode()}) < 0x80000000u) {
        for (; iFirst + 2 <= n; iFirst += 2) {
            const auto pair = [&](const Vq::UniformQuantizer<float>& q, const uint32_t* codes) {
                return _mm_cvtpd_ps(
                    q.dequantize2(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(codes + iFirst))));
            };
            const __m128 x = pair(qx, codesX), y = pair(qy, codesY), z = pair(qz, codesZ);
            const __m128 xy = _mm_unpacklo_ps(x, y);
            float* p0 = out + size_t(indices[iFirst]) * size_t(stride);
            float* p1 = out + size_t(indices[iFirst + 1]) * size_t(stride);
            _mm_storel_pi(reinterpret_cast<__m64*>(p0), xy);
            _mm_store_ss(p0 + 2, z);
            _mm_storeh_pi(reinterpret_cast<__m64*>(p1), xy);
            _mm_store_ss(p1 + 2, _mm_shuffle_ps(z, z, 1));
        }
    }
    if (nOut == 3)
        run(std::integral_constant<int, 3>());
    else if (nOut == 2)
        run(std::integral_constant<int, 2>());
    else
        run(std::integral_constant<int, 1>());
    return true;
}

bool VqPointQuantizer::serialize(VqBaseDataStream& s) const {
    // An empty box set after a valid one leaves the old ranges behind; they
    // must not reach the file as if they were this box.
    if (_bbox.isEmpty()) VQ_FAIL(kCls, "serialize", "_bbox.isValid()", VQ_ERR_ARGUMENT);
    VQ_PROPAGATE(_xQuantizer.serialize(s) && _yQuantizer.serialize(s) && _zQuantizer.serialize(s));
    return true;
}

bool VqPointQuantizer::deserialize(VqBaseDataStream& s) {
    Vq::UniformQuantizer<float> q[3];
    VQ_PROPAGATE(q[0].deserialize(s) && q[1].deserialize(s) && q[2].deserialize(s));
    _xQuantizer = q[0];
    _yQuantizer = q[1];
    _zQuantizer = q[2];
    for (int i = 0; i < 3; ++i)
        q[i].getRange(_bbox.min[i], _bbox.max[i]);
    return true;
}
