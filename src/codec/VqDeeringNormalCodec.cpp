#include "VqDeeringNormalCodec.h"

#include "VqBaseDataStream.h"
#include "VqDeeringNormalLookupTable.h"
#include "VqErrorState.h"

#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <utility>

namespace {
const char* const kCls = "VqNormalCoder";
// The widest angle within a sextant, atan(1/sqrt(2)), as the file format
// rounds it; encoder, decoder and table must use the same value.
constexpr double kMaxAngle = 0.6154797;
// A normal on the border between two sextants is stored in the neighbour.
constexpr uint32_t kSextantSwitchTable[6] = {5, 0, 1, 2, 3, 4};
// Held by a codec whose constructor was given a bad width: every coding
// operation refuses it, and the pack/unpack shifts stay below 32.
constexpr int kUnusableBits = VqDeeringNormalCodec::kMaxBits + 1;

// Decoding, in internal functions so that the per-normal steps inline into
// the array loop.
bool checkCode(int numBits, uint32_t iSextant, uint32_t iOctant, uint32_t iTheta, uint32_t iPsi,
               const char* method) {
    const uint64_t iBitRange = uint64_t(1) << numBits;
    // Summed in 64 bits: parts read from separate arrays may be anything.
    if (!((iSextant <= 5) && ((uint64_t(iPsi) + iTheta) < iBitRange)))
        VQ_FAIL(kCls, method, "(iSextant <= 5) && ((iPsi+iTheta) < iBitRange)", VQ_ERR_CORRUPT);
    if (!(iOctant <= 7)) VQ_FAIL(kCls, method, "iOctant <= 7", VQ_ERR_CORRUPT);
    return true;
}

// The shared table for the widths it covers, else null.
const VqDeeringNormalLookupTable* tableFor(int numBits) {
    return numBits <= VqDeeringNormalLookupTable::kTableBits
               ? VqDeeringNormalLookupTableSingleton::EnsureInstance()
               : nullptr;
}

// Where each sextant puts (x, y, z): 0 keeps it, 1 gives (z, y, x), 2 (y, z,
// x), 3 (y, x, z), 4 (z, x, y), 5 (x, z, y); each clear octant bit negates
// its component. Per sextant and octant, the component each place takes and
// its sign bit, so that a normal costs no branch (neighbouring normals of a
// mesh may lie in any sextant and octant) and no per-component bit fiddling.
struct Placement {
    uint8_t from[3];
    uint32_t sign[3];
};
constexpr auto kPlacements = [] {
    constexpr uint8_t kPerm[6][3] = {{0, 1, 2}, {2, 1, 0}, {1, 2, 0}, {1, 0, 2}, {2, 0, 1}, {0, 2, 1}};
    std::array<Placement, 48> p{};
    for (uint32_t s = 0; s < 6; ++s)
        for (uint32_t o = 0; o < 8; ++o)
            for (int i = 0; i < 3; ++i) {
                p[s * 8 + o].from[i] = kPerm[s][i];
                p[s * 8 + o].sign[i] = (((o >> (2 - i)) & 1u) ^ 1u) << 31;
            }
    return p;
}();

// Decodes parts that passed checkCode.
[[gnu::always_inline]] inline void decodeParts(int numBits, const VqDeeringNormalLookupTable* table,
                                               uint32_t iSextant, uint32_t iOctant, uint32_t iTheta,
                                               uint32_t iPsi, float* vec) {
    // Odd sextants store θ - 1.
    const int theta = static_cast<int>(iTheta + (iSextant & 1));
    const int psi = static_cast<int>(iPsi);
    float cosTheta = 0.0f, sinTheta = 0.0f, cosPsi = 0.0f, sinPsi = 0.0f;
    if (table) {
        table->lookupInRange(numBits, theta, psi, cosTheta, sinTheta, cosPsi, sinPsi);
    } else {
        const double range = static_cast<double>(1 << numBits);
        const double angTheta = std::asin(std::tan(kMaxAngle * (range - theta) / range));
        const double angPsi = kMaxAngle * psi / range;
        cosTheta = static_cast<float>(std::cos(angTheta));
        sinTheta = static_cast<float>(std::sin(angTheta));
        cosPsi = static_cast<float>(std::cos(angPsi));
        sinPsi = static_cast<float>(std::sin(angPsi));
    }
    const float xyz[3] = {cosTheta * cosPsi, sinPsi, sinTheta * cosPsi};
    const Placement& pl = kPlacements[iSextant * 8 + iOctant];
    for (int i = 0; i < 3; ++i)
        vec[i] = std::bit_cast<float>(std::bit_cast<uint32_t>(xyz[pl.from[i]]) ^ pl.sign[i]);
}

// The same in vectors, for a run of codes through the table: the product of
// the table's rows gives (x, y, z) in one multiply, the sextant's masks take
// each place's component and the octant's word negates it, all without a
// branch or a trip through memory. Lanes hold what decodeParts computes.
using V4f = float __attribute__((vector_size(16)));
using V4u = uint32_t __attribute__((vector_size(16)));
struct SextantMasks {
    V4u take[3]; // lane i all ones where place i takes component k
};
constexpr auto kSextantMasks = [] {
    std::array<SextantMasks, 6> m{};
    for (uint32_t s = 0; s < 6; ++s)
        for (int k = 0; k < 3; ++k) {
            const uint8_t* from = kPlacements[s * 8].from;
            m[s].take[k] = V4u{from[0] == k ? ~0u : 0u, from[1] == k ? ~0u : 0u, from[2] == k ? ~0u : 0u, 0u};
        }
    return m;
}();
constexpr auto kOctantSigns = [] {
    std::array<V4u, 8> m{};
    for (uint32_t o = 0; o < 8; ++o)
        m[o] = V4u{kPlacements[o].sign[0], kPlacements[o].sign[1], kPlacements[o].sign[2], 0u};
    return m;
}();

// Codes of NB-bit angles that passed checkCode. The width is a constant of
// the loop: its shifts by a count in a register took a fifth of it.
template <int NB>
void decodeTableRun(const VqDeeringNormalLookupTable& table, const uint32_t* codes, int n,
                    const uint32_t* indices, float* out) {
    constexpr int kShift = VqDeeringNormalLookupTable::kTableBits - NB;
    constexpr uint32_t kMask = (uint32_t(1) << NB) - 1;
    for (int i = 0; i < n; ++i) {
        const uint32_t c = codes[i];
        const uint32_t sextant = c >> (2 * NB + 3), octant = (c >> (2 * NB)) & 7u;
        // Odd sextants store θ - 1.
        const uint32_t theta = ((c >> NB) & kMask) + (sextant & 1), psi = c & kMask;
        V4f t, p;
        std::memcpy(&t, table.thetaRow(int(theta << kShift)), sizeof t);
        std::memcpy(&p, table.psiRow(int(psi << kShift)), sizeof p);
        const V4u xyz = V4u(t * p);
        const SextantMasks& m = kSextantMasks[sextant];
        const V4u x = {xyz[0], xyz[0], xyz[0], xyz[0]}, y = {xyz[1], xyz[1], xyz[1], xyz[1]},
                  z = {xyz[2], xyz[2], xyz[2], xyz[2]};
        const V4u v = ((x & m.take[0]) | (y & m.take[1]) | (z & m.take[2])) ^ kOctantSigns[octant];
        float* dst = out + size_t(indices[i]) * 3;
        std::memcpy(dst, &v, 2 * sizeof(float));
        dst[2] = std::bit_cast<float>(v[2]);
    }
}

using TableRun = void (*)(const VqDeeringNormalLookupTable&, const uint32_t*, int, const uint32_t*, float*);
template <int... NB>
constexpr std::array<TableRun, sizeof...(NB)> tableRuns(std::integer_sequence<int, NB...>) {
    return {&decodeTableRun<NB>...};
}
constexpr auto kTableRuns =
    tableRuns(std::make_integer_sequence<int, VqDeeringNormalLookupTable::kTableBits + 1>());

} // namespace

VqDeeringNormalCodec::VqDeeringNormalCodec(int nBits) : _numBits(nBits) {
    if (nBits < 0 || nBits > kMaxBits) {
        _numBits = kUnusableBits;
        VqErrorState::throwStdError(kCls, "VqNormalCoder", "Bad argument", VQ_ERR_ARGUMENT);
    }
}

bool VqDeeringNormalCodec::setNumBits(int nbits) {
    if (!((nbits <= 13) && (nbits >= 0)))
        VQ_FAIL(kCls, "setNumBits", "(nbits <= 13) && (nbits >= 0)", VQ_ERR_ARGUMENT);
    _numBits = nbits;
    return true;
}

bool VqDeeringNormalCodec::_checkBits(const char* method) const {
    if (!(_numBits <= 13)) VQ_FAIL(kCls, method, "_numBits <= 13", VQ_ERR_ARGUMENT);
    return true;
}

bool VqDeeringNormalCodec::convertVecToCode(const VqFixedVec<float, 3>& vec, uint32_t& code) const {
    uint32_t sextant, octant, theta, psi;
    VQ_PROPAGATE(convertVecToCode(vec, sextant, octant, theta, psi));
    code = packCode(sextant, octant, theta, psi);
    return true;
}

bool VqDeeringNormalCodec::convertVecToCode(const VqFixedVec<float, 3>& vec, uint32_t& outSextant,
                                            uint32_t& outOctant, uint32_t& outTheta, uint32_t& outPsi) const {
    VQ_PROPAGATE(_checkBits("convertVecToCode"));
    if (!(std::isfinite(vec[0]) && std::isfinite(vec[1]) && std::isfinite(vec[2])))
        VQ_FAIL(kCls, "convertVecToCode",
                "std::isfinite(vec[0]) && std::isfinite(vec[1]) && std::isfinite(vec[2])", VQ_ERR_ARGUMENT);
    float x = vec[0], y = vec[1], z = vec[2];
    if (x == 0.0f && y == 0.0f && z == 0.0f) {
        x = 0.0f;
        y = 0.0f;
        z = 1.0f;
    }
    // The sign bit, not a comparison: -0.0 counts as negative.
    uint32_t octant = (std::signbit(x) ? 0u : 4u) | (std::signbit(y) ? 0u : 2u) | (std::signbit(z) ? 0u : 1u);
    // In double: squares of large floats overflow float, and the angle
    // indices must round the same way on every machine.
    const double ax = std::fabs(x), ay = std::fabs(y), az = std::fabs(z);
    // u is the largest component, w the one for ψ, t the one for θ.
    uint32_t sextant;
    double u, w, t;
    if (ax > ay) {
        if (ay > az)
            sextant = 5, u = ax, w = az, t = ay;
        else if (ax > az)
            sextant = 0, u = ax, w = ay, t = az;
        else
            sextant = 1, u = az, w = ay, t = ax;
    } else {
        if (az > ay)
            sextant = 2, u = az, w = ax, t = ay;
        else if (az > ax)
            sextant = 3, u = ay, w = ax, t = az;
        else
            sextant = 4, u = ay, w = az, t = ax;
    }
    const int iBitRange = 1 << _numBits;
    const double r = std::sqrt(u * u + t * t);
    int iPsi = 0;
    if (w != 0.0) {
        iPsi = static_cast<int>(std::floor(std::atan(w / r) / kMaxAngle * iBitRange + 0.5));
        if (!(iPsi <= iBitRange)) VQ_FAIL(kCls, "convertVecToCode", "iPsi <= iBitRange", VQ_ERR_INTERNAL);
        if (iPsi == iBitRange) iPsi = iBitRange - 1;
    }
    int iTheta = iBitRange - static_cast<int>(std::floor((iBitRange / kMaxAngle) * std::atan(t / r) + 0.5));
    // w <= t, so ψ + θ stays at most 2^n up to rounding; the two angles are
    // scaled in different orders, though, and where w and t (nearly) agree
    // that can give one more. Such a normal lies on the sextant border,
    // which is where the smaller ψ puts it.
    if (iPsi + iTheta > iBitRange) iPsi = iBitRange - iTheta;
    if (sextant & 1) {
        if (iTheta == 0)
            sextant = kSextantSwitchTable[sextant];
        else
            --iTheta;
    } else if (iPsi + iTheta == iBitRange) {
        sextant = kSextantSwitchTable[sextant];
        --iTheta;
    }
    if (!((iPsi + iTheta) < iBitRange))
        VQ_FAIL(kCls, "convertVecToCode", "(iPsi+iTheta) < iBitRange", VQ_ERR_INTERNAL);
    // With ψ = 0 the component ψ stands for is zero, and so is its sign; it
    // is always stored as positive, so that -0.0 and 0.0 give one code. On
    // the last θ of an odd sextant the θ component is zero too.
    if (iPsi == 0) {
        static constexpr uint32_t kPsiSign[6] = {2, 2, 4, 4, 1, 1};
        static constexpr uint32_t kBothSigns[6] = {0, 6, 0, 5, 0, 3};
        if ((sextant & 1) && iTheta == iBitRange - 1)
            octant |= kBothSigns[sextant];
        else
            octant |= kPsiSign[sextant];
    }
    outSextant = sextant;
    outOctant = octant;
    outTheta = static_cast<uint32_t>(iTheta);
    outPsi = static_cast<uint32_t>(iPsi);
    return true;
}

bool VqDeeringNormalCodec::convertCodeToVec(uint32_t code, VqFixedVec<float, 3>& vec) const {
    VQ_PROPAGATE(_checkBits("convertCodeToVec"));
    uint32_t sextant, octant, theta, psi;
    unpackCode(code, sextant, octant, theta, psi);
    VQ_PROPAGATE(checkCode(_numBits, sextant, octant, theta, psi, "convertCodeToVec"));
    decodeParts(_numBits, tableFor(_numBits), sextant, octant, theta, psi, vec.data());
    return true;
}

bool VqDeeringNormalCodec::convertCodeToVec(uint32_t iSextant, uint32_t iOctant, uint32_t iTheta,
                                            uint32_t iPsi, VqFixedVec<float, 3>& vec) const {
    VQ_PROPAGATE(_checkBits("convertCodeToVec"));
    VQ_PROPAGATE(checkCode(_numBits, iSextant, iOctant, iTheta, iPsi, "convertCodeToVec"));
    decodeParts(_numBits, tableFor(_numBits), iSextant, iOctant, iTheta, iPsi, vec.data());
    return true;
}

bool VqDeeringNormalCodec::convertVecsToCodes(const VqFixedVec<float, 3>* vecs, int n,
                                              uint32_t* codes) const {
    if (n < 0) VQ_FAIL(kCls, "convertVecsToCodes", "n >= 0", VQ_ERR_ARGUMENT);
    for (int i = 0; i < n; ++i)
        VQ_PROPAGATE(convertVecToCode(vecs[i], codes[i]));
    return true;
}

bool VqDeeringNormalCodec::convertCodesToVecs(const uint32_t* codes, int n,
                                              VqFixedVec<float, 3>* vecs) const {
    if (n < 0) VQ_FAIL(kCls, "convertCodesToVecs", "n >= 0", VQ_ERR_ARGUMENT);
    VQ_PROPAGATE(_checkBits("convertCodesToVecs"));
    const VqDeeringNormalLookupTable* table = tableFor(_numBits);
    for (int i = 0; i < n; ++i) {
        uint32_t sextant, octant, theta, psi;
        unpackCode(codes[i], sextant, octant, theta, psi);
        VQ_PROPAGATE(checkCode(_numBits, sextant, octant, theta, psi, "convertCodesToVecs"));
        decodeParts(_numBits, table, sextant, octant, theta, psi, vecs[i].data());
    }
    return true;
}

bool VqDeeringNormalCodec::convertCodesToRecords(const uint32_t* codes, int n, const uint32_t* indices,
                                                 float* out) const {
    const char* method = "convertCodesToRecords";
    if (n < 0) VQ_FAIL(kCls, method, "n >= 0", VQ_ERR_ARGUMENT);
    VQ_PROPAGATE(_checkBits(method));
    // Without a branch per code: only a bad one, if any, is looked for again
    // to be reported as it would be alone. The sextant, the top part, keeps
    // what lies above it, so its bound (below 6 << (2 nb + 3), which fits 32
    // bits) covers all those bits. Both angles are below 2^13, so their sum
    // fits too. Four codes at a time: the compiler leaves a shift by a
    // count in a register scalar.
    const int nb = _numBits;
    const uint32_t range = uint32_t(1) << nb, mask = range - 1, sextantEnd = uint32_t(6) << (2 * nb + 3);
    V4u bad4 = {};
    int i4 = 0;
    for (; i4 + 4 <= n; i4 += 4) {
        V4u c;
        std::memcpy(&c, codes + i4, sizeof c);
        bad4 |= V4u(c >= sextantEnd) | V4u(((c >> nb) & mask) + (c & mask) >= range);
    }
    uint32_t bad = bad4[0] | bad4[1] | bad4[2] | bad4[3];
    for (int i = i4; i < n; ++i) {
        const uint32_t c = codes[i];
        bad |= uint32_t(c >= sextantEnd) | uint32_t(((c >> nb) & mask) + (c & mask) >= range);
    }
    for (int i = 0; i < n && bad; ++i) {
        uint32_t sextant, octant, theta, psi;
        unpackCode(codes[i], sextant, octant, theta, psi);
        VQ_PROPAGATE(checkCode(_numBits, sextant, octant, theta, psi, method));
    }
    // Checked codes decode without fail: no record changes unless all do.
    const VqDeeringNormalLookupTable* table = tableFor(_numBits);
    if (table) {
        kTableRuns[size_t(_numBits)](*table, codes, n, indices, out);
        return true;
    }
    for (int i = 0; i < n; ++i) {
        uint32_t sextant, octant, theta, psi;
        unpackCode(codes[i], sextant, octant, theta, psi);
        decodeParts(_numBits, nullptr, sextant, octant, theta, psi, out + size_t(indices[i]) * 3);
    }
    return true;
}

bool VqDeeringNormalCodec::serialize(VqBaseDataStream& s) const {
    VQ_PROPAGATE(_checkBits("serialize"));
    VQ_PROPAGATE(s.write(static_cast<unsigned char>(_numBits)));
    return true;
}

bool VqDeeringNormalCodec::deserialize(VqBaseDataStream& s) {
    unsigned char nbits = 0;
    VQ_PROPAGATE(s.read(&nbits));
    if (!(nbits <= 13)) VQ_FAIL(kCls, "deserialize", "(nbits <= 13) && (nbits >= 0)", VQ_ERR_CORRUPT);
    _numBits = nbits;
    return true;
}
