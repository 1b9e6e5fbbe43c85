// The coded vertex arrays that the mesh records carry, and the raw dump.
//
// Every array is written for the records a coder lists, in its order:
//
//   coordinates  u32 n; when n > 0: u8 components (2, 3, 4); the point
//                quantizer record (box and bits, 27 bytes); then with 0 bits
//                one coded array of raw f32 patterns per component, else
//                the X and Y codes, and Z for 3 or 4 components.
//   normals      u32 n; when n > 0: u8 bits (0-13); the normal codec record;
//                with 0 bits three coded arrays of raw patterns, else one of
//                normal codes.
//   colours      u32 n; when n > 0: u8 components (3, 4); u8 bits (0-8); the
//                colour quantizer record; one coded array per component, of
//                raw patterns with 0 bits, else of that component's part of
//                the packed colour code.
//   texture      u32 n; when n > 0: u8 components (1-4); u8 bits (0-32); the
//                first `components` texture quantizers; one coded array per
//                component, raw patterns or codes.
//   flags        u32 n; when n > 0: one coded array of 0 and 1.
//   aux fields   u32 number of fields; per field: GUID, u8 type, u8 components,
//                u8 bits, u32 steps; then per step and component the values
//                over the records: 8- to 32-bit integers as one coded array,
//                64-bit integers as two (low words, then high words); f32 with
//                0 bits as raw patterns, f64 as two arrays of raw low and high
//                words; with bits, an array quantizer record and the codes;
//                then the section's own u32 check value.
//
// A coded array is the driver's packet of the values' residuals followed by
// a u32 check value. The VQ 9.x records code their arrays with the version-2
// driver, the VQ 10 records with the version-3 driver; nothing else differs.
// Decisions where the layout was ours to make:
// - The colour header gives components before bits, as the texture header
//   does, so both read alike.
// - A count of 0 ends an array: there is nothing to describe.
// - Coordinates are quantised as the points they stand for: homogeneous ones
//   as x/w, y/w, z/w (the reader sets w = 1), 2D ones as x, y alone. Only
//   0 bits keeps w, bit for bit.
// - Colours are coded per component rather than as one packed code: the
//   parts of a packed code are unrelated bit fields that code badly together.
//   The writer codes RGB over each component's range; a reader also takes HSV.
// - The second u8 of an auxiliary field repeats its component count, which
//   the reader checks against the type.
// - Suppressed steps are not written; a field with several active steps is
//   written to VQ 10 files only.
// - The auxiliary section ends with a check value of its own: a field
//   header whose step count was damaged to 0 leaves no array to check it.
// - Residuals: previous value subtracted for codes and integers, previous
//   value xor-ed for raw bit patterns, whose high bits (sign, exponent) repeat.
//   Both drivers have these two predictors.
// - VQ 10 keeps the 9.x shapes, 64-bit integers included (two 32-bit
//   arrays, not a 64-bit driver): one reader serves both formats, and high
//   words, mostly alike, code to almost nothing.
// - Quantising needs finite values; 0 bits keeps anything, NaN included.
// - The check value chains lookup2 (word variant) from the caller's seed over
//   each array's header fields, its quantizer record as written in little-
//   endian order, and each coded array's values before residual packing; it
//   is written after every coded array. So a damaged header or quantizer
//   fails the check as surely as damaged codes.
#include "VqArrayQuantizer.h"
#include "VqAutoScratchVec.h"
#include "VqCodecDriver2.h"
#include "VqCodecDriver3T.h"
#include "VqColorQuantizer.h"
#include "VqDataStream.h"
#include "VqDeeringNormalCodec.h"
#include "VqErrorState.h"
#include "VqLookup2.h"
#include "VqMemoryByteStream.h"
#include "VqObjectStream.h"
#include "VqPointQuantizer.h"
#include "VqTextureQuantizer.h"
#include "VqVertexRecordPool.h"

#include <cmath>
#include <cstring>
#include <new>
#include <vector>

namespace {

constexpr const char* kCls = "VqVertexRecordPool";

// GUID, three u8 and the u32 step count.
constexpr uint64_t kAuxFieldHeaderBytes = 16 + 3 + 4;
// A packet's value count and the check value after it.
constexpr uint64_t kMinCodedArrayBytes = 4 + 4;

uint32_t bitsOf(float f) {
    uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}
float floatOf(uint32_t u) {
    float f;
    std::memcpy(&f, &u, 4);
    return f;
}

// Coded arrays through the version-2 driver of the VQ 9.x records.
struct Driver2IO {
    VqCodecDriver2& cd;

    static VqCodecDriver2::VqPredictorType predictor(bool bRawBits) {
        return bRawBits ? VqCodecDriver2::PredXor1 : VqCodecDriver2::PredLag1;
    }
    bool write(VqObjectStream& os, VqVeci& v, bool bRawBits) {
        VQ_PROPAGATE(VqCodecDriver2::packResiduals(v, v, predictor(bRawBits)));
        cd.setValueVector(v);
        VQ_PROPAGATE(cd.serialize(os));
        return true;
    }
    bool read(VqObjectStream& os, VqVeci& v, bool bRawBits, int nMax) {
        cd.setValueVector(v);
        VQ_PROPAGATE(cd.deserialize(os, nMax));
        VQ_PROPAGATE(VqCodecDriver2::unpackResiduals(v, v, predictor(bRawBits)));
        return true;
    }
};

// Coded arrays through the version-3 driver of the VQ 10 records: the same
// arrays and predictors, in the driver's own packets.
struct Driver3IO {
    Vq::CodecDriver3T<int>& cd;

    static Vq::CodecDriver3Base::VqPredictorType predictor(bool bRawBits) {
        return bRawBits ? Vq::CodecDriver3Base::PredXor1 : Vq::CodecDriver3Base::PredLag1;
    }
    bool write(VqObjectStream& os, VqVeci& v, bool bRawBits) {
        VQ_PROPAGATE(Vq::CodecDriver3T<int>::packResiduals(v, v, predictor(bRawBits)));
        VQ_PROPAGATE(cd.serialize(os, v));
        return true;
    }
    bool read(VqObjectStream& os, VqVeci& v, bool bRawBits, int nMax) {
        VQ_PROPAGATE(cd.deserialize(os, v, nMax));
        VQ_PROPAGATE(Vq::CodecDriver3T<int>::unpackResiduals(v, v, predictor(bRawBits)));
        return true;
    }
};

void hashWords(const uint32_t* w, size_t n, uint32_t& uHash) {
    uHash = vqLookup2Words(w, static_cast<uint32_t>(n), uHash);
}

// An auxiliary field's header as words that do not depend on the host.
void hashFieldHeader(const VqGUID& g, int type, int nComps, int nBits, uint32_t nSteps, uint32_t& uHash) {
    auto le = [&](int i) {
        return uint32_t(g.Data4[i]) | uint32_t(g.Data4[i + 1]) << 8 | uint32_t(g.Data4[i + 2]) << 16 |
               uint32_t(g.Data4[i + 3]) << 24;
    };
    const uint32_t header[8] = {g.Data1,         uint32_t(g.Data2) | uint32_t(g.Data3) << 16,
                                le(0),           le(4),
                                uint32_t(type),  uint32_t(nComps),
                                uint32_t(nBits), nSteps};
    hashWords(header, 8, uHash);
}

// Chains the bytes of a quantizer's record, written little-endian whatever
// the stream's order, so that the value is the same on every host.
template <class Write>
bool hashRecord(Write write, uint32_t& uHash) {
    Vq::SharedPtr<VqMemoryByteStream> mem = new VqMemoryByteStream(false);
    Vq::SharedPtr<VqDataStream> ds = mem ? new VqDataStream(mem.get()) : nullptr;
    if (!ds) VQ_FAIL(kCls, "_hashRecord", "Allocation failed: new VqDataStream(mem)", VQ_ERR_ALLOC);
    ds->open();
    ds->setByteOrder(LsbFirst);
    const bool ok = write(static_cast<VqBaseDataStream&>(*ds));
    if (ok) uHash = vqLookup2(mem->data(), static_cast<uint32_t>(mem->dataLength()), uHash);
    ds->close();
    VQ_PROPAGATE(ok);
    return true;
}

template <class IO>
bool putArray(VqObjectStream& os, IO& io, VqVeci& v, bool bRawBits, uint32_t& uHash) {
    hashWords(reinterpret_cast<const uint32_t*>(v.data()), v.size(), uHash);
    VQ_PROPAGATE(io.write(os, v, bRawBits));
    VQ_PROPAGATE(os.write(uHash));
    return true;
}

template <class IO>
bool getArray(VqObjectStream& os, IO& io, VqVeci& v, bool bRawBits, uint32_t nExpected, const char* method,
              const char* lengthText, uint32_t& uHash) {
    // The packet may not claim more values than the records it belongs to.
    VQ_PROPAGATE(io.read(os, v, bRawBits, VqCodecDriver2::s_clampCount(nExpected)));
    if (v.size() != nExpected) VQ_FAIL(kCls, method, lengthText, VQ_ERR_CORRUPT);
    hashWords(reinterpret_cast<const uint32_t*>(v.data()), v.size(), uHash);
    uint32_t uRefHash = 0;
    VQ_PROPAGATE(os.read(&uRefHash));
    VQ_CHECK(uHash == uRefHash, kCls, method, VQ_ERR_CORRUPT);
    return true;
}

// Arrays of nExpected values each, every one followed by its check value.
template <class IO>
bool getArrays(VqObjectStream& os, IO& io, VqVeci* const* v, int nArrays, uint32_t nExpected,
               const char* method, const char* lengthText, uint32_t& uHash) {
    for (int i = 0; i < nArrays; ++i)
        VQ_PROPAGATE(getArray(os, io, *v[i], false, nExpected, method, lengthText, uHash));
    return true;
}

constexpr int kMaxArrays = 3;

// However the batch ends (a failure, or an exception from the stream), a
// driver that goes back to its pool holds no packet pointing into arrays
// that are gone.
struct DropBatch {
    Vq::CodecDriver3T<int>& cd;
    ~DropBatch() { cd.dropBatch(); }
};

// The packets and check values, their code texts left in the batch.
bool parkArrays(VqObjectStream& os, Driver3IO& io, VqVeci* const* v, int nArrays, uint32_t nExpected,
                const char* method, uint32_t* auRefHash) {
    VQ_CHECK(nArrays <= kMaxArrays, kCls, method, VQ_ERR_INTERNAL);
    for (int i = 0; i < nArrays; ++i)
        VQ_PROPAGATE(io.cd.deserializeBatched(os, *v[i], VqCodecDriver2::s_clampCount(nExpected)) &&
                     os.read(&auRefHash[i]));
    return true;
}

// The arrays of a decoded batch, listed in the stream's order, each with
// its length and the value its check value's hash starts from. hash()
// undoes their residuals in order up to the first of a wrong length
// (nSized of them) and hashes those together. Each array's value chains on
// from the one stored before it, which is where the chain stands when every
// array before it matches (and otherwise one of those is refused first), so
// the chains need not wait for each other.
struct BatchHashes {
    static constexpr int kMax = kMaxArrays + 1; // the coordinates and the normals
    VqVeci* v[kMax] = {};
    uint32_t nExpected[kMax] = {}, from[kMax] = {}, got[kMax] = {};
    int n = 0, nSized = 0;

    bool add(VqVeci& a, uint32_t nValues, uint32_t uFrom) {
        VQ_CHECK(n < kMax, kCls, "_readQuantizedVertexArray", VQ_ERR_INTERNAL);
        v[n] = &a;
        nExpected[n] = nValues;
        from[n++] = uFrom;
        return true;
    }
    // Arrays of nValues values each, checked in turn after uHash, with the
    // values stored after them.
    bool addChain(VqVeci* const* a, int nArrays, uint32_t nValues, uint32_t uHash,
                  const uint32_t* auRefHash) {
        for (int i = 0; i < nArrays; ++i)
            VQ_PROPAGATE(add(*a[i], nValues, i == 0 ? uHash : auRefHash[i - 1]));
        return true;
    }
    bool hash() {
        const uint32_t* keys[kMax] = {};
        for (nSized = 0; nSized < n; ++nSized) {
            VqVeci& a = *v[nSized];
            VQ_PROPAGATE(Vq::CodecDriver3T<int>::unpackResiduals(a, a, Driver3IO::predictor(false)));
            if (a.size() != nExpected[nSized]) break;
            keys[nSized] = reinterpret_cast<const uint32_t*>(a.data());
        }
        vqLookup2WordsTogether(nSized, keys, nExpected, from, got);
        return true;
    }
    // Array i's checks, as they come when the arrays are checked in turn:
    // its length, then its value, which the chain takes on.
    bool check(int i, const char* method, const char* lengthText, uint32_t uRefHash, uint32_t& uHash) const {
        if (i >= nSized) VQ_FAIL(kCls, method, lengthText, VQ_ERR_CORRUPT);
        uHash = got[i];
        VQ_CHECK(uHash == uRefHash, kCls, method, VQ_ERR_CORRUPT);
        return true;
    }
    // The checks of the first nArrays arrays, added by addChain().
    bool checkChain(int nArrays, const char* method, const char* lengthText, const uint32_t* auRefHash,
                    uint32_t& uHash) const {
        for (int i = 0; i < nArrays; ++i)
            VQ_PROPAGATE(check(i, method, lengthText, auRefHash[i], uHash));
        return true;
    }
};

// Decodes the batch, then checks the arrays parked (nExpected values each)
// in turn.
bool checkArrays(Driver3IO& io, VqVeci* const* v, int nArrays, uint32_t nExpected, const char* method,
                 const char* lengthText, const uint32_t* auRefHash, uint32_t& uHash) {
    VQ_PROPAGATE(io.cd.finishBatch());
    BatchHashes h;
    return h.addChain(v, nArrays, nExpected, uHash, auRefHash) && h.hash() &&
           h.checkChain(nArrays, method, lengthText, auRefHash, uHash);
}

// The version-3 driver reads every packet and check value first and then
// decodes the packets' code texts together, up to five at once, where one
// alone leaves the core waiting on each symbol; the arrays are then checked
// in order. When several are damaged, which one is reported may differ
// from reading them in turn.
bool getArrays(VqObjectStream& os, Driver3IO& io, VqVeci* const* v, int nArrays, uint32_t nExpected,
               const char* method, const char* lengthText, uint32_t& uHash) {
    uint32_t auRefHash[kMaxArrays] = {};
    DropBatch drop{io.cd};
    VQ_PROPAGATE(parkArrays(os, io, v, nArrays, nExpected, method, auRefHash));
    return checkArrays(io, v, nArrays, nExpected, method, lengthText, auRefHash, uHash);
}

bool writeU8(VqObjectStream& os, int v) {
    return os.write(static_cast<unsigned char>(v));
}
bool readU8(VqObjectStream& os, int& v) {
    unsigned char c = 0;
    VQ_PROPAGATE(os.read(&c));
    v = c;
    return true;
}

// A scratch vector of n values, or false with the reason recorded.
bool sized(VqAutoScratchVec<VqVeci>& v, uint32_t n, const char* method) {
    if (!v.ok()) VQ_FAIL(kCls, method, "xAutovTmp._p", VQ_ERR_ALLOC);
    try {
        v->resize(n);
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, method, "Memory Allocation", VQ_ERR_ALLOC);
    }
    return true;
}

// The finite range of one component of the listed records ([0, 0] when none
// is finite), and whether all were finite.
bool componentRange(const float* a, int nComps, int c, const uint32_t* indices, uint32_t n, float& lo,
                    float& hi) {
    bool bAllFinite = true, bAny = false;
    lo = hi = 0.0f;
    for (uint32_t i = 0; i < n; ++i) {
        const float v = a[size_t(indices[i]) * nComps + c];
        if (!std::isfinite(v)) {
            bAllFinite = false;
            continue;
        }
        lo = bAny ? std::min(lo, v) : v;
        hi = bAny ? std::max(hi, v) : v;
        bAny = true;
    }
    return bAllFinite;
}

} // namespace

// The implementation, one template per array over the driver's interface.
struct VqVertexRecordPoolCoding {
    using Pool = VqVertexRecordPool;

    static bool checkIndices(const Pool& p, const uint32_t* indices, uint32_t n, const char* method) {
        VQ_CHECK(n == 0 || indices, kCls, method, VQ_ERR_ARGUMENT);
        for (uint32_t i = 0; i < n; ++i)
            if (indices[i] >= p.numVtxRecords())
                VQ_FAIL(kCls, method, "indices[i] < numVtxRecords()", VQ_ERR_ARGUMENT);
        return true;
    }

    // Reading starts with the count, which must be the coder's.
    static bool readCount(VqObjectStream& os, uint32_t nIndices, const char* method) {
        uint32_t nCount = 0;
        VQ_PROPAGATE(os.read(&nCount));
        VQ_CHECK(nCount == nIndices, kCls, method, VQ_ERR_CORRUPT);
        return true;
    }

    // ---- Coordinates

    template <class IO>
    static bool writeVertices(const Pool& p, VqObjectStream& os, IO& io, const uint32_t* indices,
                              uint32_t nIndices, const VqBox3<float>& box, int nBits, uint32_t& uHash) {
        const char* method = "_writeQuantizedVertexArray";
        VQ_PROPAGATE(checkIndices(p, indices, nIndices, method));
        VQ_PROPAGATE(os.write(nIndices));
        if (nIndices == 0) return true;
        const Vq::VertexRecordFields& f = *p._pFields;
        const int nComps = f.numVtxCoordComps();
        VQ_CHECK(f.numVtxCoordComps() >= 2 && f.numVtxCoordComps() <= 4, kCls, method, VQ_ERR_ARGUMENT);
        // The box grows over the points written: a point outside it would be
        // clamped, and the reader takes the box from the record anyway.
        std::vector<VqVec3f> pts(nIndices);
        VqBox3<float> qbox = box;
        bool bFinite = true;
        for (uint32_t i = 0; i < nIndices; ++i) {
            p._projectedPoint(indices[i], pts[i]);
            const VqVec3f& v = pts[i];
            if (std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]))
                qbox.extendBy(v);
            else
                bFinite = false;
        }
        if (qbox.isEmpty()) qbox = VqBox3<float>(VqVec3f(0, 0, 0), VqVec3f(0, 0, 0));
        if (nBits > 0 && !bFinite)
            VQ_FAIL(kCls, method, "std::isfinite(x) && std::isfinite(y) && std::isfinite(z)",
                    VQ_ERR_ARGUMENT);
        VqPointQuantizer q;
        VQ_PROPAGATE(q.setBBox(qbox) && q.setNumBitsPrecision(nBits));
        VQ_PROPAGATE(writeU8(os, nComps) && q.serialize(os));
        const uint32_t header[3] = {nIndices, uint32_t(nComps), uint32_t(nBits)};
        hashWords(header, 3, uHash);
        VQ_PROPAGATE(hashRecord([&](VqBaseDataStream& s) { return q.serialize(s); }, uHash));

        VqAutoScratchVec<VqVeci> v;
        VQ_PROPAGATE(sized(v, nIndices, method));
        if (nBits == 0) {
            for (int c = 0; c < nComps; ++c) {
                VQ_PROPAGATE(sized(v, nIndices, method));
                for (uint32_t i = 0; i < nIndices; ++i)
                    (*v)[i] = static_cast<int>(bitsOf(f.vtxCoords()[size_t(indices[i]) * nComps + c]));
                VQ_PROPAGATE(putArray(os, io, *v, true, uHash));
            }
            return true;
        }
        VqAutoScratchVec<VqVeci> vy, vz;
        VQ_PROPAGATE(sized(vy, nIndices, method) && sized(vz, nIndices, method));
        VQ_PROPAGATE(q.convertVecsToCodes(
            pts.data(), static_cast<int>(nIndices), reinterpret_cast<uint32_t*>(v->data()),
            reinterpret_cast<uint32_t*>(vy->data()), reinterpret_cast<uint32_t*>(vz->data())));
        VQ_PROPAGATE(putArray(os, io, *v, false, uHash) && putArray(os, io, *vy, false, uHash));
        if (nComps > 2) VQ_PROPAGATE(putArray(os, io, *vz, false, uHash));
        return true;
    }

    template <class IO>
    static bool readVertices(Pool& p, VqObjectStream& os, IO& io, const uint32_t* indices, uint32_t nIndices,
                             uint32_t& uHash) {
        const char* method = "_readQuantizedVertexArray";
        VQ_PROPAGATE(p._checkEdit(method) && checkIndices(p, indices, nIndices, method));
        Vq::VertexRecordFields& f = *p._pFields;
        double dPointGap = 0;
        VQ_PROPAGATE(
            readCoords(os, io, f.numVtxCoordComps(), f.vtxCoords(), indices, nIndices, uHash, dPointGap));
        if (nIndices > 0) p._recordsChanged();
        return true;
    }

    // A coordinate array's header, up to its arrays.
    struct CoordsHeader {
        VqPointQuantizer q;
        int nComps = 0;
        int nBits = 0;
    };
    static bool readCoordsHeader(VqObjectStream& os, int poolComps, CoordsHeader& ch) {
        const char* method = "_readQuantizedVertexArray";
        VQ_PROPAGATE(readU8(os, ch.nComps));
        VQ_CHECK(ch.nComps == poolComps, kCls, method, VQ_ERR_CORRUPT);
        VQ_PROPAGATE(ch.q.deserialize(os));
        int bx = 0, by = 0, bz = 0;
        ch.q.getNumBitsPrecision(bx, by, bz);
        // The writer gives every axis the same count; one that differs is damage.
        VQ_CHECK(bx == by && by == bz, kCls, method, VQ_ERR_CORRUPT);
        ch.nBits = bx;
        return true;
    }
    static bool hashCoordsHeader(CoordsHeader& ch, uint32_t nIndices, uint32_t& uHash) {
        const uint32_t header[3] = {nIndices, uint32_t(ch.nComps), uint32_t(ch.nBits)};
        hashWords(header, 3, uHash);
        return hashRecord([&](VqBaseDataStream& s) { return ch.q.serialize(s); }, uHash);
    }

    // The coordinates of the listed points, poolComps floats each, into
    // coords (which holds every listed point); dPointGap receives how far
    // apart any two of different codes lie at least (0: nothing known).
    template <class IO>
    static bool readCoords(VqObjectStream& os, IO& io, int poolComps, float* coords, const uint32_t* indices,
                           uint32_t nIndices, uint32_t& uHash, double& dPointGap) {
        const char* method = "_readQuantizedVertexArray";
        dPointGap = 0;
        VQ_PROPAGATE(readCount(os, nIndices, method));
        if (nIndices == 0) return true;
        CoordsHeader ch;
        VQ_PROPAGATE(readCoordsHeader(os, poolComps, ch));
        VQ_PROPAGATE(hashCoordsHeader(ch, nIndices, uHash));
        const int nComps = ch.nComps;
        VqAutoScratchVec<VqVeci> vuX;
        VQ_PROPAGATE(vuX.ok());
        if (ch.nBits == 0) return readLosslessCoords(os, io, *vuX, nComps, coords, indices, nIndices, uHash);
        VqAutoScratchVec<VqVeci> vuY, vuZ;
        VQ_PROPAGATE(vuY.ok() && vuZ.ok());
        VqVeci* const aArrays[3] = {&*vuX, &*vuY, &*vuZ};
        const int nArrays = nComps > 2 ? 3 : 2;
        VQ_PROPAGATE(getArrays(os, io, aArrays, nArrays, nIndices, method, kCoordsLengthText, uHash));
        return placeCoords(ch, aArrays, coords, indices, nIndices, dPointGap);
    }

    static constexpr const char* kCoordsLengthText =
        "vuX.length() == nIndices && vuY.length() == nIndices && vuZ.length() == nIndices";

    template <class IO>
    static bool readLosslessCoords(VqObjectStream& os, IO& io, VqVeci& vuX, int nComps, float* coords,
                                   const uint32_t* indices, uint32_t nIndices, uint32_t& uHash) {
        const char* method = "_readQuantizedVertexArray";
        // Every array is read before any record changes.
        std::vector<float> tmp(size_t(nIndices) * nComps);
        for (int c = 0; c < nComps; ++c) {
            VQ_PROPAGATE(getArray(os, io, vuX, true, nIndices, method, "vuX.length() == nIndices", uHash));
            for (uint32_t i = 0; i < nIndices; ++i)
                tmp[size_t(i) * nComps + c] = floatOf(uint32_t(vuX[i]));
        }
        for (uint32_t i = 0; i < nIndices; ++i)
            std::memcpy(coords + size_t(indices[i]) * nComps, &tmp[size_t(i) * nComps],
                        sizeof(float) * nComps);
        return true;
    }

    // Quantised codes, checked, into the listed points.
    static bool placeCoords(CoordsHeader& ch, VqVeci* const* v, float* coords, const uint32_t* indices,
                            uint32_t nIndices, double& dPointGap) {
        const int nComps = ch.nComps;
        if (nComps < 3) v[2]->assign(nIndices, 0);
        VQ_PROPAGATE(ch.q.convertCodesToRecords(
            reinterpret_cast<const uint32_t*>(v[0]->data()), reinterpret_cast<const uint32_t*>(v[1]->data()),
            reinterpret_cast<const uint32_t*>(v[2]->data()), static_cast<int>(nIndices), indices, nComps,
            std::min(nComps, 3), coords));
        if (nComps == 4)
            for (uint32_t i = 0; i < nIndices; ++i)
                coords[size_t(indices[i]) * 4 + 3] = 1.0f;
        if (nComps == 3) dPointGap = ch.q.minPointGap();
        return true;
    }

    // ---- Normals

    template <class IO>
    static bool writeNormals(const Pool& p, VqObjectStream& os, IO& io, const uint32_t* indices,
                             uint32_t nIndices, int nQuantBits, uint32_t& uHash) {
        const char* method = "_writeQuantizedNormalArray";
        VQ_PROPAGATE(checkIndices(p, indices, nIndices, method));
        const Vq::VertexRecordFields& f = *p._pFields;
        VQ_CHECK(f.numNormalComps() == 3, kCls, method, VQ_ERR_ARGUMENT);
        VQ_CHECK(nQuantBits >= 0 && nQuantBits <= 13, kCls, method, VQ_ERR_ARGUMENT);
        VQ_PROPAGATE(os.write(nIndices));
        if (nIndices == 0) return true;
        VqDeeringNormalCodec codec(nQuantBits);
        VQ_PROPAGATE(writeU8(os, nQuantBits) && codec.serialize(os));
        const uint32_t header[2] = {nIndices, uint32_t(nQuantBits)};
        hashWords(header, 2, uHash);
        VQ_PROPAGATE(hashRecord([&](VqBaseDataStream& s) { return codec.serialize(s); }, uHash));
        VqAutoScratchVec<VqVeci> v;
        VQ_PROPAGATE(sized(v, nIndices, method));
        const float* normals = f.normals();
        if (nQuantBits == 0) {
            for (int c = 0; c < 3; ++c) {
                for (uint32_t i = 0; i < nIndices; ++i)
                    (*v)[i] = static_cast<int>(bitsOf(normals[size_t(indices[i]) * 3 + c]));
                VQ_PROPAGATE(putArray(os, io, *v, true, uHash));
            }
            return true;
        }
        std::vector<VqVec3f> vecs(nIndices);
        for (uint32_t i = 0; i < nIndices; ++i) {
            const float* nv = normals + size_t(indices[i]) * 3;
            vecs[i] = VqVec3f(nv[0], nv[1], nv[2]);
        }
        VQ_PROPAGATE(codec.convertVecsToCodes(vecs.data(), static_cast<int>(nIndices),
                                              reinterpret_cast<uint32_t*>(v->data())));
        return putArray(os, io, *v, false, uHash);
    }

    // A normal array's header, up to its arrays.
    static bool readNormalsHeader(VqObjectStream& os, int& nQuantBits, VqDeeringNormalCodec& codec) {
        const char* method = "_readQuantizedNormalArray";
        VQ_PROPAGATE(readU8(os, nQuantBits));
        VQ_CHECK(nQuantBits <= 13, kCls, method, VQ_ERR_CORRUPT);
        codec = VqDeeringNormalCodec(nQuantBits);
        VQ_PROPAGATE(codec.deserialize(os));
        VQ_CHECK(codec.numBits() == nQuantBits, kCls, method, VQ_ERR_CORRUPT);
        return true;
    }
    static bool hashNormalsHeader(VqDeeringNormalCodec& codec, uint32_t nIndices, int nQuantBits,
                                  uint32_t& uHash) {
        const uint32_t header[2] = {nIndices, uint32_t(nQuantBits)};
        hashWords(header, 2, uHash);
        return hashRecord([&](VqBaseDataStream& s) { return codec.serialize(s); }, uHash);
    }
    static bool checkNormalsRead(Pool& p, const uint32_t* indices, uint32_t nIndices) {
        const char* method = "_readQuantizedNormalArray";
        VQ_PROPAGATE(p._checkEdit(method) && checkIndices(p, indices, nIndices, method));
        VQ_CHECK(p._pFields->numNormalComps() == 3, kCls, method, VQ_ERR_ARGUMENT);
        return true;
    }

    template <class IO>
    static bool readNormals(Pool& p, VqObjectStream& os, IO& io, const uint32_t* indices, uint32_t nIndices,
                            uint32_t& uHash) {
        const char* method = "_readQuantizedNormalArray";
        VQ_PROPAGATE(checkNormalsRead(p, indices, nIndices));
        VQ_PROPAGATE(readCount(os, nIndices, method));
        if (nIndices == 0) return true;
        int nQuantBits = 0;
        VqDeeringNormalCodec xNormCodec(0);
        VQ_PROPAGATE(readNormalsHeader(os, nQuantBits, xNormCodec));
        VQ_PROPAGATE(hashNormalsHeader(xNormCodec, nIndices, nQuantBits, uHash));
        VqAutoScratchVec<VqVeci> vNormCodes;
        VQ_PROPAGATE(vNormCodes.ok());
        if (nQuantBits == 0) return readLosslessNormals(p, os, io, *vNormCodes, indices, nIndices, uHash);
        VQ_PROPAGATE(
            getArray(os, io, *vNormCodes, false, nIndices, method, "vNormCodes.length() == nNorms", uHash));
        return placeNormals(p, xNormCodec, *vNormCodes, indices, nIndices);
    }

    template <class IO>
    static bool readLosslessNormals(Pool& p, VqObjectStream& os, IO& io, VqVeci& vNormCodes,
                                    const uint32_t* indices, uint32_t nNorms, uint32_t& uHash) {
        const char* method = "_readQuantizedNormalArray";
        Vq::VertexRecordFields& f = *p._pFields;
        std::vector<VqVec3f> vecs(nNorms);
        for (int c = 0; c < 3; ++c) {
            VQ_PROPAGATE(
                getArray(os, io, vNormCodes, true, nNorms, method, "vNormCodes.length() == nNorms", uHash));
            for (uint32_t i = 0; i < nNorms; ++i)
                vecs[i][c] = floatOf(uint32_t(vNormCodes[i]));
        }
        for (uint32_t i = 0; i < nNorms; ++i)
            for (int c = 0; c < 3; ++c)
                f.normals()[size_t(indices[i]) * 3 + c] = vecs[i][c];
        p._recordsChanged();
        return true;
    }

    static bool placeNormals(Pool& p, VqDeeringNormalCodec& codec, const VqVeci& vNormCodes,
                             const uint32_t* indices, uint32_t nNorms) {
        VQ_PROPAGATE(codec.convertCodesToRecords(reinterpret_cast<const uint32_t*>(vNormCodes.data()),
                                                 static_cast<int>(nNorms), indices, p._pFields->normals()));
        p._recordsChanged();
        return true;
    }

    // The coordinates and then the normals of a version-3 record, their code
    // texts decoded together: the coordinates' wait in the driver's batch
    // while the normals' packet is read, whose pair of texts takes two of
    // them along. The check values chain in the stream's order, and each
    // array is checked where it was when read in turn; when several are
    // damaged, which one is reported may differ.
    static bool readCoordsAndNormals(Pool& p, VqObjectStream& os, Driver3IO& io, int poolComps, float* coords,
                                     const uint32_t* indices, uint32_t nVerts, uint32_t nRecs,
                                     uint32_t& uHash, uint64_t& uCoordsEnd, double& dPointGap) {
        dPointGap = 0;
        const char* method = "_readQuantizedVertexArray";
        const char* normMethod = "_readQuantizedNormalArray";
        VQ_PROPAGATE(readCount(os, nVerts, method));
        CoordsHeader ch;
        if (nVerts > 0) VQ_PROPAGATE(readCoordsHeader(os, poolComps, ch));
        if (nVerts == 0 || ch.nBits == 0) {
            // Nothing to park: in turn.
            if (nVerts > 0) {
                VQ_PROPAGATE(hashCoordsHeader(ch, nVerts, uHash));
                VqAutoScratchVec<VqVeci> vuX;
                VQ_PROPAGATE(vuX.ok() &&
                             readLosslessCoords(os, io, *vuX, ch.nComps, coords, indices, nVerts, uHash));
            }
            os.getPosition(uCoordsEnd);
            return readNormals(p, os, io, indices, nRecs, uHash);
        }
        VqAutoScratchVec<VqVeci> vuX, vuY, vuZ, vNormCodes;
        VQ_PROPAGATE(vuX.ok() && vuY.ok() && vuZ.ok() && vNormCodes.ok());
        VqVeci* const aArrays[3] = {&*vuX, &*vuY, &*vuZ};
        const int nArrays = ch.nComps > 2 ? 3 : 2;
        uint32_t auRefHash[kMaxArrays] = {};
        DropBatch drop{io.cd};
        VQ_PROPAGATE(parkArrays(os, io, aArrays, nArrays, nVerts, method, auRefHash));
        os.getPosition(uCoordsEnd);
        auto finishCoords = [&] {
            VQ_PROPAGATE(hashCoordsHeader(ch, nVerts, uHash));
            VQ_PROPAGATE(
                checkArrays(io, aArrays, nArrays, nVerts, method, kCoordsLengthText, auRefHash, uHash));
            return placeCoords(ch, aArrays, coords, indices, nVerts, dPointGap);
        };
        VQ_PROPAGATE(checkNormalsRead(p, indices, nRecs));
        VQ_PROPAGATE(readCount(os, nRecs, normMethod));
        if (nRecs == 0) return finishCoords();
        int nQuantBits = 0;
        VqDeeringNormalCodec xNormCodec(0);
        VQ_PROPAGATE(readNormalsHeader(os, nQuantBits, xNormCodec));
        if (nQuantBits == 0) {
            VQ_PROPAGATE(finishCoords() && hashNormalsHeader(xNormCodec, nRecs, nQuantBits, uHash));
            return readLosslessNormals(p, os, io, *vNormCodes, indices, nRecs, uHash);
        }
        uint32_t uNormRefHash = 0;
        VQ_PROPAGATE(io.cd.deserializeBeside(os, *vNormCodes, VqCodecDriver2::s_clampCount(nRecs)) &&
                     os.read(&uNormRefHash));
        // The coordinates' and the normals' values are hashed together, the
        // normals' from the coordinates' last stored value through their
        // header; the checks then come in the order of the arrays.
        uint32_t uNormFrom = auRefHash[nArrays - 1];
        VQ_PROPAGATE(hashCoordsHeader(ch, nVerts, uHash) &&
                     hashNormalsHeader(xNormCodec, nRecs, nQuantBits, uNormFrom));
        VQ_PROPAGATE(io.cd.finishBatch());
        BatchHashes h;
        VQ_PROPAGATE(h.addChain(aArrays, nArrays, nVerts, uHash, auRefHash) &&
                     h.add(*vNormCodes, nRecs, uNormFrom) && h.hash());
        VQ_PROPAGATE(h.checkChain(nArrays, method, kCoordsLengthText, auRefHash, uHash));
        VQ_PROPAGATE(placeCoords(ch, aArrays, coords, indices, nVerts, dPointGap));
        VQ_PROPAGATE(h.check(nArrays, normMethod, "vNormCodes.length() == nNorms", uNormRefHash, uHash));
        return placeNormals(p, xNormCodec, *vNormCodes, indices, nRecs);
    }

    // ---- Colours

    template <class IO>
    static bool writeColors(const Pool& p, VqObjectStream& os, IO& io, const uint32_t* indices,
                            uint32_t nIndices, int nBits, uint32_t& uHash) {
        const char* method = "_writeQuantizedColorArray";
        VQ_PROPAGATE(checkIndices(p, indices, nIndices, method));
        const Vq::VertexRecordFields& f = *p._pFields;
        const int nComps = f.numColorComps();
        VQ_CHECK(nComps == 3 || nComps == 4, kCls, method, VQ_ERR_ARGUMENT);
        VQ_CHECK(nBits >= 0 && nBits <= 8, kCls, method, VQ_ERR_ARGUMENT);
        VQ_PROPAGATE(os.write(nIndices));
        if (nIndices == 0) return true;
        const float* colors = f.colors();
        VqColorQuantizer q;
        float lo[4] = {0, 0, 0, 0}, hi[4] = {1, 1, 1, 1};
        if (nBits > 0) {
            for (int c = 0; c < nComps; ++c)
                if (!componentRange(colors, nComps, c, indices, nIndices, lo[c], hi[c]))
                    VQ_FAIL(kCls, method, "std::isfinite(color[c])", VQ_ERR_ARGUMENT);
            VQ_PROPAGATE(q.setRange(lo[0], hi[0], lo[1], hi[1], lo[2], hi[2], lo[3], hi[3]));
        }
        const int nAlpha = nComps == 4 ? nBits : 0;
        VQ_PROPAGATE(q.setPrec(nBits, nBits, nBits, nAlpha));
        VQ_PROPAGATE(writeU8(os, nComps) && writeU8(os, nBits) && q.serialize(os));
        const uint32_t header[3] = {nIndices, uint32_t(nComps), uint32_t(nBits)};
        hashWords(header, 3, uHash);
        VQ_PROPAGATE(hashRecord([&](VqBaseDataStream& s) { return q.serialize(s); }, uHash));

        VqAutoScratchVec<VqVeci> v;
        VQ_PROPAGATE(sized(v, nIndices, method));
        if (nBits == 0) {
            for (int c = 0; c < nComps; ++c) {
                for (uint32_t i = 0; i < nIndices; ++i)
                    (*v)[i] = static_cast<int>(bitsOf(colors[size_t(indices[i]) * nComps + c]));
                VQ_PROPAGATE(putArray(os, io, *v, true, uHash));
            }
            return true;
        }
        std::vector<uint32_t> codes(nIndices);
        for (uint32_t i = 0; i < nIndices; ++i) {
            const float* c = colors + size_t(indices[i]) * nComps;
            const VqVec4f rgba(c[0], c[1], c[2], nComps == 4 ? c[3] : 1.0f);
            VQ_PROPAGATE(q.convertRGBtoCode(rgba, codes[i]));
        }
        const uint32_t mask = (1u << nBits) - 1;
        for (int c = 0; c < nComps; ++c) {
            // c1 sits in the highest bits: its shift passes the parts after it.
            const int shift = nBits * (2 - c) + nAlpha;
            for (uint32_t i = 0; i < nIndices; ++i)
                (*v)[i] = static_cast<int>(c == 3 ? codes[i] & mask : (codes[i] >> shift) & mask);
            VQ_PROPAGATE(putArray(os, io, *v, false, uHash));
        }
        return true;
    }

    template <class IO>
    static bool readColors(Pool& p, VqObjectStream& os, IO& io, const uint32_t* indices, uint32_t nIndices,
                           uint32_t& uHash) {
        const char* method = "_readQuantizedColorArray";
        VQ_PROPAGATE(p._checkEdit(method) && checkIndices(p, indices, nIndices, method));
        Vq::VertexRecordFields& f = *p._pFields;
        VQ_PROPAGATE(readCount(os, nIndices, method));
        if (nIndices == 0) return true;
        int nComps = 0, nBits = 0;
        VQ_PROPAGATE(readU8(os, nComps) && readU8(os, nBits));
        VQ_CHECK(nComps == f.numColorComps(), kCls, method, VQ_ERR_CORRUPT);
        VQ_CHECK(nBits <= 8, kCls, method, VQ_ERR_CORRUPT);
        VqColorQuantizer q;
        VQ_PROPAGATE(q.deserialize(os));
        int prec[4];
        q.getPrec(prec[0], prec[1], prec[2], prec[3]);
        if (nBits != 0) {
            // The parts the arrays carry are those of the record's precisions.
            VQ_CHECK(prec[0] == nBits && prec[1] == nBits && prec[2] == nBits &&
                         prec[3] == (nComps == 4 ? nBits : 0),
                     kCls, method, VQ_ERR_CORRUPT);
        }
        const uint32_t header[3] = {nIndices, uint32_t(nComps), uint32_t(nBits)};
        hashWords(header, 3, uHash);
        VQ_PROPAGATE(hashRecord([&](VqBaseDataStream& s) { return q.serialize(s); }, uHash));

        VqAutoScratchVec<VqVeci> v;
        VQ_PROPAGATE(v.ok());
        std::vector<float> tmp(size_t(nIndices) * nComps);
        const char* lengthText = "vColors.length() == nIndices";
        if (nBits == 0) {
            for (int c = 0; c < nComps; ++c) {
                VQ_PROPAGATE(getArray(os, io, *v, true, nIndices, method, lengthText, uHash));
                for (uint32_t i = 0; i < nIndices; ++i)
                    tmp[size_t(i) * nComps + c] = floatOf(uint32_t((*v)[i]));
            }
        } else {
            const int nAlpha = nComps == 4 ? nBits : 0;
            const uint32_t mask = (1u << nBits) - 1;
            std::vector<uint32_t> codes(nIndices, 0);
            for (int c = 0; c < nComps; ++c) {
                VQ_PROPAGATE(getArray(os, io, *v, false, nIndices, method, lengthText, uHash));
                const int shift = c == 3 ? 0 : nBits * (2 - c) + nAlpha;
                for (uint32_t i = 0; i < nIndices; ++i) {
                    const uint32_t part = uint32_t((*v)[i]);
                    if (part > mask) VQ_FAIL(kCls, method, "uPart <= uMaxCode", VQ_ERR_CORRUPT);
                    codes[i] |= part << shift;
                }
            }
            for (uint32_t i = 0; i < nIndices; ++i) {
                VqVec4f rgba;
                q.convertCodeToRGB(codes[i], rgba);
                std::memcpy(&tmp[size_t(i) * nComps], rgba.data(), sizeof(float) * nComps);
            }
        }
        for (uint32_t i = 0; i < nIndices; ++i)
            std::memcpy(f.colors() + size_t(indices[i]) * nComps, &tmp[size_t(i) * nComps],
                        sizeof(float) * nComps);
        p._recordsChanged();
        return true;
    }

    // ---- Texture coordinates

    // Codes or decodes the components of one record through the quantizer's
    // n-component forms.
    static bool texToCodes(const VqTextureQuantizer& q, int n, const float* v, uint32_t* codes) {
        switch (n) {
        case 1:
            return q.convertFloatToCode(v[0], codes[0]);
        case 2:
            return toCodes<2>(q, v, codes);
        case 3:
            return toCodes<3>(q, v, codes);
        default:
            return toCodes<4>(q, v, codes);
        }
    }
    template <int n>
    static bool toCodes(const VqTextureQuantizer& q, const float* v, uint32_t* codes) {
        VqFixedVec<float, n> in;
        VqFixedVec<uint32_t, n> out;
        std::memcpy(in.data(), v, sizeof(float) * n);
        VQ_PROPAGATE(q.convertFloatToCode(in, out));
        std::memcpy(codes, out.data(), sizeof(uint32_t) * n);
        return true;
    }
    static bool texFromCodes(const VqTextureQuantizer& q, int n, const uint32_t* codes, float* v) {
        switch (n) {
        case 1:
            return q.convertCodeToFloat(codes[0], v[0]);
        case 2:
            return fromCodes<2>(q, codes, v);
        case 3:
            return fromCodes<3>(q, codes, v);
        default:
            return fromCodes<4>(q, codes, v);
        }
    }
    template <int n>
    static bool fromCodes(const VqTextureQuantizer& q, const uint32_t* codes, float* v) {
        VqFixedVec<uint32_t, n> in;
        VqFixedVec<float, n> out;
        std::memcpy(in.data(), codes, sizeof(uint32_t) * n);
        VQ_PROPAGATE(q.convertCodeToFloat(in, out));
        std::memcpy(v, out.data(), sizeof(float) * n);
        return true;
    }
    static bool texSerialize(const VqTextureQuantizer& q, VqBaseDataStream& s, int n) {
        switch (n) {
        case 1:
            return q.serialize1(s);
        case 2:
            return q.serialize2(s);
        case 3:
            return q.serialize3(s);
        default:
            return q.serialize4(s);
        }
    }
    static bool texDeserialize(VqTextureQuantizer& q, VqBaseDataStream& s, int n) {
        switch (n) {
        case 1:
            return q.deserialize1(s);
        case 2:
            return q.deserialize2(s);
        case 3:
            return q.deserialize3(s);
        default:
            return q.deserialize4(s);
        }
    }

    template <class IO>
    static bool writeTexture(const Pool& p, VqObjectStream& os, IO& io, int iUnit, const uint32_t* indices,
                             uint32_t nIndices, int nBits, uint32_t& uHash) {
        const char* method = "_writeQuantizedTextureArray";
        VQ_CHECK(iUnit >= 0 && iUnit < VQ_GEOMBIND_NUM_TEXUNITS, kCls, method, VQ_ERR_ARGUMENT);
        VQ_PROPAGATE(checkIndices(p, indices, nIndices, method));
        const Vq::VertexRecordFields& f = *p._pFields;
        const int nComps = f.numTexCoordComps(iUnit);
        VQ_CHECK(nComps > 0, kCls, method, VQ_ERR_ARGUMENT);
        VQ_CHECK(nBits >= 0 && nBits <= 32, kCls, method, VQ_ERR_ARGUMENT);
        VQ_PROPAGATE(os.write(nIndices));
        if (nIndices == 0) return true;
        const float* tex = f.texCoords(iUnit);
        float lo[4] = {0, 0, 0, 0}, hi[4] = {1, 1, 1, 1};
        for (int c = 0; c < nComps; ++c)
            if (!componentRange(tex, nComps, c, indices, nIndices, lo[c], hi[c]) && nBits > 0)
                VQ_FAIL(kCls, method, "std::isfinite(texCoord[c])", VQ_ERR_ARGUMENT);
        VqTextureQuantizer q;
        VQ_PROPAGATE(q.setRange(lo[0], hi[0], lo[1], hi[1], lo[2], hi[2], lo[3], hi[3]) &&
                     q.setPrec(nBits, nBits, nBits, nBits));
        VQ_PROPAGATE(writeU8(os, nComps) && writeU8(os, nBits) && texSerialize(q, os, nComps));
        const uint32_t header[3] = {nIndices, uint32_t(nComps), uint32_t(nBits)};
        hashWords(header, 3, uHash);
        VQ_PROPAGATE(hashRecord([&](VqBaseDataStream& s) { return texSerialize(q, s, nComps); }, uHash));

        VqAutoScratchVec<VqVeci> v;
        VQ_PROPAGATE(sized(v, nIndices, method));
        std::vector<uint32_t> codes;
        if (nBits > 0) {
            codes.resize(size_t(nIndices) * nComps);
            for (uint32_t i = 0; i < nIndices; ++i)
                VQ_PROPAGATE(
                    texToCodes(q, nComps, tex + size_t(indices[i]) * nComps, &codes[size_t(i) * nComps]));
        }
        for (int c = 0; c < nComps; ++c) {
            for (uint32_t i = 0; i < nIndices; ++i)
                (*v)[i] = static_cast<int>(nBits ? codes[size_t(i) * nComps + c]
                                                 : bitsOf(tex[size_t(indices[i]) * nComps + c]));
            VQ_PROPAGATE(putArray(os, io, *v, nBits == 0, uHash));
        }
        return true;
    }

    template <class IO>
    static bool readTexture(Pool& p, VqObjectStream& os, IO& io, int iUnit, const uint32_t* indices,
                            uint32_t nIndices, uint32_t& uHash) {
        const char* method = "_readQuantizedTextureArray";
        VQ_CHECK(iUnit >= 0 && iUnit < VQ_GEOMBIND_NUM_TEXUNITS, kCls, method, VQ_ERR_ARGUMENT);
        VQ_PROPAGATE(p._checkEdit(method) && checkIndices(p, indices, nIndices, method));
        Vq::VertexRecordFields& f = *p._pFields;
        VQ_PROPAGATE(readCount(os, nIndices, method));
        if (nIndices == 0) return true;
        int nComps = 0, nBits = 0;
        VQ_PROPAGATE(readU8(os, nComps) && readU8(os, nBits));
        VQ_CHECK(nComps == f.numTexCoordComps(iUnit), kCls, method, VQ_ERR_CORRUPT);
        VQ_CHECK(nBits <= 32, kCls, method, VQ_ERR_CORRUPT);
        VqTextureQuantizer q;
        VQ_PROPAGATE(texDeserialize(q, os, nComps));
        const uint32_t header[3] = {nIndices, uint32_t(nComps), uint32_t(nBits)};
        hashWords(header, 3, uHash);
        VQ_PROPAGATE(hashRecord([&](VqBaseDataStream& s) { return texSerialize(q, s, nComps); }, uHash));

        VqAutoScratchVec<VqVeci> v;
        VQ_PROPAGATE(v.ok());
        std::vector<uint32_t> codes(size_t(nIndices) * nComps);
        for (int c = 0; c < nComps; ++c) {
            VQ_PROPAGATE(
                getArray(os, io, *v, nBits == 0, nIndices, method, "vTexCoords.length() == nIndices", uHash));
            for (uint32_t i = 0; i < nIndices; ++i)
                codes[size_t(i) * nComps + c] = uint32_t((*v)[i]);
        }
        std::vector<float> tmp(size_t(nIndices) * nComps);
        for (uint32_t i = 0; i < nIndices; ++i) {
            const uint32_t* in = &codes[size_t(i) * nComps];
            if (nBits == 0)
                for (int c = 0; c < nComps; ++c)
                    tmp[size_t(i) * nComps + c] = floatOf(in[c]);
            else
                VQ_PROPAGATE(texFromCodes(q, nComps, in, &tmp[size_t(i) * nComps]));
        }
        float* tex = f.texCoords(iUnit);
        for (uint32_t i = 0; i < nIndices; ++i)
            std::memcpy(tex + size_t(indices[i]) * nComps, &tmp[size_t(i) * nComps], sizeof(float) * nComps);
        p._recordsChanged();
        return true;
    }

    // ---- Vertex flags

    template <class IO>
    static bool writeFlags(const Pool& p, VqObjectStream& os, IO& io, const uint32_t* indices,
                           uint32_t nIndices, uint32_t& uHash) {
        const char* method = "_writeVtxFlagArray";
        VQ_PROPAGATE(checkIndices(p, indices, nIndices, method));
        const Vq::VertexRecordFields& f = *p._pFields;
        VQ_CHECK(f.hasVtxFlags(), kCls, method, VQ_ERR_ARGUMENT);
        VQ_PROPAGATE(os.write(nIndices));
        if (nIndices == 0) return true;
        hashWords(&nIndices, 1, uHash);
        VqAutoScratchVec<VqVeci> v;
        VQ_PROPAGATE(sized(v, nIndices, method));
        for (uint32_t i = 0; i < nIndices; ++i)
            (*v)[i] = f.vtxFlags().get(static_cast<int>(indices[i])) ? 1 : 0;
        return putArray(os, io, *v, false, uHash);
    }

    template <class IO>
    static bool readFlags(Pool& p, VqObjectStream& os, IO& io, const uint32_t* indices, uint32_t nIndices,
                          uint32_t& uHash) {
        const char* method = "_readVtxFlagArray";
        VQ_PROPAGATE(p._checkEdit(method) && checkIndices(p, indices, nIndices, method));
        Vq::VertexRecordFields& f = *p._pFields;
        VQ_CHECK(f.hasVtxFlags(), kCls, method, VQ_ERR_ARGUMENT);
        VQ_PROPAGATE(readCount(os, nIndices, method));
        if (nIndices == 0) return true;
        hashWords(&nIndices, 1, uHash);
        VqAutoScratchVec<VqVeci> vFlags;
        VQ_PROPAGATE(vFlags.ok());
        VQ_PROPAGATE(
            getArray(os, io, *vFlags, false, nIndices, method, "vFlags.length() == nIndices", uHash));
        for (uint32_t i = 0; i < nIndices; ++i)
            if ((*vFlags)[i] != 0 && (*vFlags)[i] != 1)
                VQ_FAIL(kCls, method, "vFlags[i] == 0 || vFlags[i] == 1", VQ_ERR_CORRUPT);
        for (uint32_t i = 0; i < nIndices; ++i)
            f.vtxFlags().set(static_cast<int>(indices[i]), (*vFlags)[i] != 0);
        p._recordsChanged();
        return true;
    }

    // ---- Auxiliary fields

    static bool isPersistable(const Vq::AuxVertexField& fld, bool bVQ10) {
        return fld.numActiveSteps() < 2 || bVQ10;
    }
    static bool isVQ10(const VqObjectStream& os) {
        int major = -1, minor = -1;
        os.getVersion(major, minor);
        return major >= 10;
    }

    // One component of one step over the records, as the coded arrays hold it.
    template <class IO>
    static bool writeAuxComponent(VqObjectStream& os, IO& io, const Vq::AuxVertexField& fld, uint32_t iStep,
                                  int c, const uint32_t* indices, uint32_t n, int nBits, uint32_t& uHash) {
        const char* method = "_writeAuxiliaryFields";
        const VqAuxType e = fld.type();
        const int w = fld.elementSize();
        VqAutoScratchVec<VqVeci> v;
        VQ_PROPAGATE(sized(v, n, method));
        auto at = [&](uint32_t i) { return fld.record(iStep, indices[i]) + size_t(c) * w; };
        if ((Vq::AuxVertexField::s_isFloat(e) || Vq::AuxVertexField::s_isDouble(e)) && nBits > 0) {
            std::vector<double> d(n);
            for (uint32_t i = 0; i < n; ++i)
                d[i] = fld.componentAsDouble(iStep, indices[i], c);
            Vq::ArrayQuantizer q;
            VQ_PROPAGATE(q.setFromValues(d.data(), static_cast<int>(n), nBits) && q.serialize(os));
            VQ_PROPAGATE(hashRecord([&](VqBaseDataStream& s) { return q.serialize(s); }, uHash));
            VQ_PROPAGATE(q.quantize(d.data(), static_cast<int>(n), reinterpret_cast<uint32_t*>(v->data())));
            return putArray(os, io, *v, false, uHash);
        }
        if (w == 8) {
            // Low words, then high words: the drivers code 32-bit values.
            const bool bRaw = !(e >= VQ_AUXTYPE_U64_V1 && e <= VQ_AUXTYPE_I64_V4);
            for (int half = 0; half < 2; ++half) {
                for (uint32_t i = 0; i < n; ++i) {
                    uint64_t u;
                    std::memcpy(&u, at(i), 8);
                    (*v)[i] = static_cast<int>(static_cast<uint32_t>(half ? u >> 32 : u));
                }
                VQ_PROPAGATE(putArray(os, io, *v, bRaw, uHash));
            }
            return true;
        }
        for (uint32_t i = 0; i < n; ++i) {
            if (Vq::AuxVertexField::s_isFloat(e)) {
                float fv;
                std::memcpy(&fv, at(i), 4);
                (*v)[i] = static_cast<int>(bitsOf(fv));
            } else {
                (*v)[i] = static_cast<int>(static_cast<int64_t>(fld.componentAsDouble(iStep, indices[i], c)));
            }
        }
        return putArray(os, io, *v, Vq::AuxVertexField::s_isFloat(e), uHash);
    }

    template <class IO>
    static bool writeAux(const Pool& p, VqObjectStream& os, IO& io, const uint32_t* indices,
                         uint32_t nIndices, uint32_t& uHash) {
        const char* method = "_writeAuxiliaryFields";
        VQ_PROPAGATE(checkIndices(p, indices, nIndices, method));
        const bool bVQ10 = isVQ10(os);
        std::vector<const Vq::AuxVertexField*> fields;
        for (uint32_t k = 0; k < p.numAuxFields(); ++k)
            if (isPersistable(*p.auxField(k), bVQ10)) fields.push_back(p.auxField(k));
        const uint32_t nFields = static_cast<uint32_t>(fields.size());
        VQ_PROPAGATE(os.write(nFields));
        hashWords(&nFields, 1, uHash);
        for (const Vq::AuxVertexField* fld : fields) {
            const VqAuxType e = fld->type();
            const int nBits = Vq::AuxVertexField::s_isFloat(e) || Vq::AuxVertexField::s_isDouble(e)
                                  ? fld->quantizationBits()
                                  : 0;
            const uint32_t nSteps = fld->numActiveSteps();
            VQ_PROPAGATE(os.write(fld->guid()) && writeU8(os, e) && writeU8(os, fld->numComponents()) &&
                         writeU8(os, nBits) && os.write(nSteps));
            hashFieldHeader(fld->guid(), e, fld->numComponents(), nBits, nSteps, uHash);
            for (uint32_t s = 0; s < fld->numSteps(); ++s) {
                if (fld->isStepSuppressed(s)) continue;
                for (int c = 0; c < fld->numComponents(); ++c)
                    VQ_PROPAGATE(writeAuxComponent(os, io, *fld, s, c, indices, nIndices, nBits, uHash));
            }
        }
        VQ_PROPAGATE(os.write(uHash));
        return true;
    }

    template <class IO>
    static bool readAuxComponent(VqObjectStream& os, IO& io, Vq::AuxVertexField& fld, uint32_t iStep, int c,
                                 const uint32_t* indices, uint32_t n, int nBits, uint32_t& uHash) {
        const char* method = "_readAuxiliaryFields";
        const char* lengthText = "vValues.length() == nIndices";
        const VqAuxType e = fld.type();
        const int w = fld.elementSize();
        uint8_t* data = fld.stepData(iStep);
        auto at = [&](uint32_t i) { return data + size_t(indices[i]) * fld.recordSize() + size_t(c) * w; };
        VqAutoScratchVec<VqVeci> v;
        VQ_PROPAGATE(v.ok());
        const bool bFloat = Vq::AuxVertexField::s_isFloat(e), bDouble = Vq::AuxVertexField::s_isDouble(e);
        if ((bFloat || bDouble) && nBits > 0) {
            Vq::ArrayQuantizer q;
            VQ_PROPAGATE(q.deserialize(os));
            VQ_CHECK(q.numBits() == nBits, kCls, method, VQ_ERR_CORRUPT);
            VQ_PROPAGATE(hashRecord([&](VqBaseDataStream& s) { return q.serialize(s); }, uHash));
            VQ_PROPAGATE(getArray(os, io, *v, false, n, method, lengthText, uHash));
            std::vector<double> d(n);
            VQ_PROPAGATE(
                q.dequantize(reinterpret_cast<const uint32_t*>(v->data()), static_cast<int>(n), d.data()));
            for (uint32_t i = 0; i < n; ++i) {
                if (bFloat) {
                    const float fv = static_cast<float>(d[i]);
                    std::memcpy(at(i), &fv, 4);
                } else {
                    std::memcpy(at(i), &d[i], 8);
                }
            }
            return true;
        }
        if (w == 8) {
            const bool bRaw = !(e >= VQ_AUXTYPE_U64_V1 && e <= VQ_AUXTYPE_I64_V4);
            std::vector<uint64_t> u(n, 0);
            for (int half = 0; half < 2; ++half) {
                VQ_PROPAGATE(getArray(os, io, *v, bRaw, n, method, lengthText, uHash));
                for (uint32_t i = 0; i < n; ++i)
                    u[i] |= uint64_t(uint32_t((*v)[i])) << (half ? 32 : 0);
            }
            for (uint32_t i = 0; i < n; ++i)
                std::memcpy(at(i), &u[i], 8);
            return true;
        }
        VQ_PROPAGATE(getArray(os, io, *v, bFloat, n, method, lengthText, uHash));
        for (uint32_t i = 0; i < n; ++i) {
            const int32_t x = (*v)[i];
            // Integers narrower than 32 bits must fit their type.
            if (w < 4) {
                const int64_t lo = Vq::AuxVertexField::s_isSigned(e) ? -(int64_t(1) << (8 * w - 1)) : 0;
                const int64_t hi = Vq::AuxVertexField::s_isSigned(e) ? (int64_t(1) << (8 * w - 1)) - 1
                                                                     : (int64_t(1) << (8 * w)) - 1;
                if (x < lo || x > hi) VQ_FAIL(kCls, method, "iValue fits the field's type", VQ_ERR_CORRUPT);
            }
            if (w == 1) {
                const uint8_t b = static_cast<uint8_t>(x);
                std::memcpy(at(i), &b, 1);
            } else if (w == 2) {
                const uint16_t h = static_cast<uint16_t>(x);
                std::memcpy(at(i), &h, 2);
            } else {
                std::memcpy(at(i), &x, 4);
            }
        }
        return true;
    }

    template <class IO>
    static bool readAux(Pool& p, VqObjectStream& os, IO& io, const uint32_t* indices, uint32_t nIndices,
                        uint32_t& uHash) {
        const char* method = "_readAuxiliaryFields";
        VQ_PROPAGATE(p._checkEdit(method) && checkIndices(p, indices, nIndices, method));
        Vq::AuxDefVertexRecordFields* pAux = p._auxFields();
        VQ_CHECK(pAux, kCls, method, VQ_ERR_ARGUMENT);
        uint32_t nFields = 0;
        VQ_PROPAGATE(os.read(&nFields));
        // Counts are held to what the stream can still hold: a field header
        // takes 23 bytes, and each step one coded array of at least 8 bytes
        // (count and check value) per component. A step allocates a record
        // for every record of the pool, however few the coder lists, so a
        // damaged count must fail before the first step rather than after
        // steps that the stream cannot back.
        if (uint64_t(nFields) * kAuxFieldHeaderBytes > os._readLimit())
            VQ_FAIL(kCls, method, "nFields * 23 <= nBytesLeft", VQ_ERR_CORRUPT);
        hashWords(&nFields, 1, uHash);
        // Fields are built aside and bound only when all have been read.
        std::vector<Vq::SharedPtr<Vq::AuxVertexField>> read;
        for (uint32_t k = 0; k < nFields; ++k) {
            VqGUID guid;
            int type = 0, nComps = 0, nBits = 0;
            uint32_t nSteps = 0;
            VQ_PROPAGATE(os.read(guid) && readU8(os, type) && readU8(os, nComps) && readU8(os, nBits) &&
                         os.read(&nSteps));
            const VqAuxType _eType = static_cast<VqAuxType>(type);
            if (!Vq::AuxVertexField::s_isValid(_eType))
                VQ_FAIL(kCls, method, "_eType < VQ_AUXTYPE_LAST", VQ_ERR_CORRUPT);
            VQ_CHECK(nComps == Vq::AuxVertexField::s_numComponents(_eType), kCls, method, VQ_ERR_CORRUPT);
            VQ_CHECK(nBits <= 32, kCls, method, VQ_ERR_CORRUPT);
            if (uint64_t(nSteps) * nComps * kMinCodedArrayBytes > os._readLimit())
                VQ_FAIL(kCls, method, "nSteps * nComps * 8 <= nBytesLeft", VQ_ERR_CORRUPT);
            hashFieldHeader(guid, type, nComps, nBits, nSteps, uHash);
            Vq::SharedPtr<Vq::AuxVertexField> fld;
            VQ_PROPAGATE(Vq::AuxVertexField::s_create(_eType, guid, 0, p.numVtxRecords(), fld));
            VQ_PROPAGATE(fld->setQuantizationBits(nBits));
            // Steps are added as their data arrive, so that a step count read
            // from a file asks for no memory the file does not fill.
            for (uint32_t s = 0; s < nSteps; ++s) {
                VQ_PROPAGATE(fld->_appendStep());
                for (int c = 0; c < nComps; ++c)
                    VQ_PROPAGATE(readAuxComponent(os, io, *fld, s, c, indices, nIndices, nBits, uHash));
            }
            read.push_back(fld);
        }
        uint32_t uRefHash = 0;
        VQ_PROPAGATE(os.read(&uRefHash));
        VQ_CHECK(uHash == uRefHash, kCls, method, VQ_ERR_CORRUPT);
        for (const auto& fld : read) {
            if (pAux->auxField(fld->guid())) VQ_PROPAGATE(pAux->unbindAuxField(fld->guid()));
            VQ_PROPAGATE(pAux->bindAuxField(fld.get()));
        }
        p._recordsChanged();
        return true;
    }
};

// ---- The VQ 9.x family

bool VqVertexRecordPool::_writeQuantizedVertexArray(VqObjectStream& os, VqCodecDriver2& cd,
                                                    const uint32_t* indices, uint32_t nIndices,
                                                    const VqBox3<float>& box, int nBits,
                                                    uint32_t& uHash) const {
    Driver2IO io{cd};
    return VqVertexRecordPoolCoding::writeVertices(*this, os, io, indices, nIndices, box, nBits, uHash);
}

bool VqVertexRecordPool::_readQuantizedVertexArray(VqObjectStream& os, VqCodecDriver2& cd,
                                                   const uint32_t* indices, uint32_t nIndices,
                                                   uint32_t& uHash) {
    Driver2IO io{cd};
    return VqVertexRecordPoolCoding::readVertices(*this, os, io, indices, nIndices, uHash);
}

bool VqVertexRecordPool::_readQuantizedCoordArray(VqObjectStream& os, VqCodecDriver2& cd, int nComps,
                                                  const uint32_t* indices, uint32_t n, float* coords,
                                                  uint32_t& uHash, double& dPointGap) {
    Driver2IO io{cd};
    return VqVertexRecordPoolCoding::readCoords(os, io, nComps, coords, indices, n, uHash, dPointGap);
}

bool VqVertexRecordPool::_writeQuantizedNormalArray(VqObjectStream& os, VqCodecDriver2& cd,
                                                    const uint32_t* indices, uint32_t nIndices, int nBits,
                                                    uint32_t& uHash) const {
    Driver2IO io{cd};
    return VqVertexRecordPoolCoding::writeNormals(*this, os, io, indices, nIndices, nBits, uHash);
}

bool VqVertexRecordPool::_readQuantizedNormalArray(VqObjectStream& os, VqCodecDriver2& cd,
                                                   const uint32_t* indices, uint32_t nIndices,
                                                   uint32_t& uHash) {
    Driver2IO io{cd};
    return VqVertexRecordPoolCoding::readNormals(*this, os, io, indices, nIndices, uHash);
}

bool VqVertexRecordPool::_writeQuantizedColorArray(VqObjectStream& os, VqCodecDriver2& cd,
                                                   const uint32_t* indices, uint32_t nIndices, int nBits,
                                                   uint32_t& uHash) const {
    Driver2IO io{cd};
    return VqVertexRecordPoolCoding::writeColors(*this, os, io, indices, nIndices, nBits, uHash);
}

bool VqVertexRecordPool::_readQuantizedColorArray(VqObjectStream& os, VqCodecDriver2& cd,
                                                  const uint32_t* indices, uint32_t nIndices,
                                                  uint32_t& uHash) {
    Driver2IO io{cd};
    return VqVertexRecordPoolCoding::readColors(*this, os, io, indices, nIndices, uHash);
}

bool VqVertexRecordPool::_writeQuantizedTextureArray(VqObjectStream& os, VqCodecDriver2& cd, int iUnit,
                                                     const uint32_t* indices, uint32_t nIndices, int nBits,
                                                     uint32_t& uHash) const {
    Driver2IO io{cd};
    return VqVertexRecordPoolCoding::writeTexture(*this, os, io, iUnit, indices, nIndices, nBits, uHash);
}

bool VqVertexRecordPool::_readQuantizedTextureArray(VqObjectStream& os, VqCodecDriver2& cd, int iUnit,
                                                    const uint32_t* indices, uint32_t nIndices,
                                                    uint32_t& uHash) {
    Driver2IO io{cd};
    return VqVertexRecordPoolCoding::readTexture(*this, os, io, iUnit, indices, nIndices, uHash);
}

bool VqVertexRecordPool::_writeVtxFlagArray(VqObjectStream& os, VqCodecDriver2& cd, const uint32_t* indices,
                                            uint32_t nIndices, uint32_t& uHash) const {
    Driver2IO io{cd};
    return VqVertexRecordPoolCoding::writeFlags(*this, os, io, indices, nIndices, uHash);
}

bool VqVertexRecordPool::_readVtxFlagArray(VqObjectStream& os, VqCodecDriver2& cd, const uint32_t* indices,
                                           uint32_t nIndices, uint32_t& uHash) {
    Driver2IO io{cd};
    return VqVertexRecordPoolCoding::readFlags(*this, os, io, indices, nIndices, uHash);
}

bool VqVertexRecordPool::_writeAuxiliaryFields(VqObjectStream& os, VqCodecDriver2& cd,
                                               const uint32_t* indices, uint32_t nIndices,
                                               uint32_t& uHash) const {
    Driver2IO io{cd};
    return VqVertexRecordPoolCoding::writeAux(*this, os, io, indices, nIndices, uHash);
}

bool VqVertexRecordPool::_readAuxiliaryFields(VqObjectStream& os, VqCodecDriver2& cd, const uint32_t* indices,
                                              uint32_t nIndices, uint32_t& uHash) {
    Driver2IO io{cd};
    return VqVertexRecordPoolCoding::readAux(*this, os, io, indices, nIndices, uHash);
}

// ---- The VQ 10 family

bool VqVertexRecordPool::_writeQuantizedVertexArray(VqObjectStream& os, Vq::CodecDriver3T<int>& cd,
                                                    const uint32_t* indices, uint32_t nIndices,
                                                    const VqBox3<float>& box, int nBits,
                                                    uint32_t& uHash) const {
    Driver3IO io{cd};
    return VqVertexRecordPoolCoding::writeVertices(*this, os, io, indices, nIndices, box, nBits, uHash);
}

bool VqVertexRecordPool::_readQuantizedVertexArray(VqObjectStream& os, Vq::CodecDriver3T<int>& cd,
                                                   const uint32_t* indices, uint32_t nIndices,
                                                   uint32_t& uHash) {
    Driver3IO io{cd};
    return VqVertexRecordPoolCoding::readVertices(*this, os, io, indices, nIndices, uHash);
}

bool VqVertexRecordPool::_readQuantizedCoordArray(VqObjectStream& os, Vq::CodecDriver3T<int>& cd, int nComps,
                                                  const uint32_t* indices, uint32_t n, float* coords,
                                                  uint32_t& uHash, double& dPointGap) {
    Driver3IO io{cd};
    return VqVertexRecordPoolCoding::readCoords(os, io, nComps, coords, indices, n, uHash, dPointGap);
}

bool VqVertexRecordPool::_readQuantizedCoordAndNormalArrays(VqObjectStream& os, Vq::CodecDriver3T<int>& cd,
                                                            int nComps, const uint32_t* indices,
                                                            uint32_t nVerts, float* coords, uint32_t nRecs,
                                                            uint32_t& uHash, uint64_t& uCoordsEnd,
                                                            double& dPointGap) {
    Driver3IO io{cd};
    return VqVertexRecordPoolCoding::readCoordsAndNormals(*this, os, io, nComps, coords, indices, nVerts,
                                                          nRecs, uHash, uCoordsEnd, dPointGap);
}

bool VqVertexRecordPool::_writeQuantizedNormalArray(VqObjectStream& os, Vq::CodecDriver3T<int>& cd,
                                                    const uint32_t* indices, uint32_t nIndices, int nBits,
                                                    uint32_t& uHash) const {
    Driver3IO io{cd};
    return VqVertexRecordPoolCoding::writeNormals(*this, os, io, indices, nIndices, nBits, uHash);
}

bool VqVertexRecordPool::_readQuantizedNormalArray(VqObjectStream& os, Vq::CodecDriver3T<int>& cd,
                                                   const uint32_t* indices, uint32_t nIndices,
                                                   uint32_t& uHash) {
    Driver3IO io{cd};
    return VqVertexRecordPoolCoding::readNormals(*this, os, io, indices, nIndices, uHash);
}

bool VqVertexRecordPool::_writeQuantizedColorArray(VqObjectStream& os, Vq::CodecDriver3T<int>& cd,
                                                   const uint32_t* indices, uint32_t nIndices, int nBits,
                                                   uint32_t& uHash) const {
    Driver3IO io{cd};
    return VqVertexRecordPoolCoding::writeColors(*this, os, io, indices, nIndices, nBits, uHash);
}

bool VqVertexRecordPool::_readQuantizedColorArray(VqObjectStream& os, Vq::CodecDriver3T<int>& cd,
                                                  const uint32_t* indices, uint32_t nIndices,
                                                  uint32_t& uHash) {
    Driver3IO io{cd};
    return VqVertexRecordPoolCoding::readColors(*this, os, io, indices, nIndices, uHash);
}

bool VqVertexRecordPool::_writeQuantizedTextureArray(VqObjectStream& os, Vq::CodecDriver3T<int>& cd,
                                                     int iUnit, const uint32_t* indices, uint32_t nIndices,
                                                     int nBits, uint32_t& uHash) const {
    Driver3IO io{cd};
    return VqVertexRecordPoolCoding::writeTexture(*this, os, io, iUnit, indices, nIndices, nBits, uHash);
}

bool VqVertexRecordPool::_readQuantizedTextureArray(VqObjectStream& os, Vq::CodecDriver3T<int>& cd, int iUnit,
                                                    const uint32_t* indices, uint32_t nIndices,
                                                    uint32_t& uHash) {
    Driver3IO io{cd};
    return VqVertexRecordPoolCoding::readTexture(*this, os, io, iUnit, indices, nIndices, uHash);
}

bool VqVertexRecordPool::_writeVtxFlagArray(VqObjectStream& os, Vq::CodecDriver3T<int>& cd,
                                            const uint32_t* indices, uint32_t nIndices,
                                            uint32_t& uHash) const {
    Driver3IO io{cd};
    return VqVertexRecordPoolCoding::writeFlags(*this, os, io, indices, nIndices, uHash);
}

bool VqVertexRecordPool::_readVtxFlagArray(VqObjectStream& os, Vq::CodecDriver3T<int>& cd,
                                           const uint32_t* indices, uint32_t nIndices, uint32_t& uHash) {
    Driver3IO io{cd};
    return VqVertexRecordPoolCoding::readFlags(*this, os, io, indices, nIndices, uHash);
}

bool VqVertexRecordPool::_writeAuxiliaryFields(VqObjectStream& os, Vq::CodecDriver3T<int>& cd,
                                               const uint32_t* indices, uint32_t nIndices,
                                               uint32_t& uHash) const {
    Driver3IO io{cd};
    return VqVertexRecordPoolCoding::writeAux(*this, os, io, indices, nIndices, uHash);
}

bool VqVertexRecordPool::_readAuxiliaryFields(VqObjectStream& os, Vq::CodecDriver3T<int>& cd,
                                              const uint32_t* indices, uint32_t nIndices, uint32_t& uHash) {
    Driver3IO io{cd};
    return VqVertexRecordPoolCoding::readAux(*this, os, io, indices, nIndices, uHash);
}

// ---- The raw form
//
// Every record as it is, for a pool that is kept whole rather than coded: u64
// bindings; u32 record count n; each bound attribute (coordinates, normals,
// colours, texture units 0-7) as a length-prefixed f32 vector of n x
// components values; with flags, a length-prefixed u32 vector of the flag
// bits (bit i in bit i % 32 of word i / 32); with bit 63, u32 number of
// fields and per field its GUID, u8 type, u8 quantisation bits, u32 active
// steps and per step a length-prefixed vector of n x components elements of
// the type's width. Everything is in the stream's byte order.

bool VqVertexRecordPool::_writeRaw(VqObjectStream& os) const {
    const Vq::VertexRecordFields& f = *_pFields;
    const uint32_t n = f.numRecords();
    VQ_PROPAGATE(os.write(static_cast<unsigned long>(f.bindings())) && os.write(n));
    auto vec = [n](const float* a, int nComps) { return VqVecf(a, a + size_t(n) * nComps); };
    if (f.numVtxCoordComps()) VQ_PROPAGATE(os.writeVecf(vec(f.vtxCoords(), f.numVtxCoordComps())));
    if (f.numNormalComps()) VQ_PROPAGATE(os.writeVecf(vec(f.normals(), f.numNormalComps())));
    if (f.numColorComps()) VQ_PROPAGATE(os.writeVecf(vec(f.colors(), f.numColorComps())));
    for (int k = 0; k < VQ_GEOMBIND_NUM_TEXUNITS; ++k)
        if (f.numTexCoordComps(k)) VQ_PROPAGATE(os.writeVecf(vec(f.texCoords(k), f.numTexCoordComps(k))));
    if (f.hasVtxFlags()) VQ_PROPAGATE(os.writeVecu(f.vtxFlags().words()));
    if (!(f.bindings() & VQ_GEOMBIND_AUXFIELDS_MASK)) return true;
    VQ_PROPAGATE(os.write(numAuxFields()));
    for (uint32_t k = 0; k < numAuxFields(); ++k) {
        const Vq::AuxVertexField& fld = *auxField(k);
        VQ_PROPAGATE(os.write(fld.guid()) && os.write(static_cast<unsigned char>(fld.type())) &&
                     os.write(static_cast<unsigned char>(fld.quantizationBits())) &&
                     os.write(fld.numActiveSteps()));
        const size_t nElems = size_t(n) * fld.numComponents();
        for (uint32_t s = 0; s < fld.numSteps(); ++s) {
            const uint8_t* d = fld.stepData(s);
            if (!d) continue;
            bool ok = false;
            switch (fld.elementSize()) {
            case 1:
                ok = os.writeVecuc(std::vector<unsigned char>(d, d + nElems));
                break;
            case 2: {
                std::vector<unsigned short> v(nElems);
                std::memcpy(v.data(), d, nElems * 2);
                ok = os.writeVecus(v);
                break;
            }
            case 4: {
                std::vector<unsigned int> v(nElems);
                std::memcpy(v.data(), d, nElems * 4);
                ok = os.writeVecu(v);
                break;
            }
            default: {
                std::vector<unsigned long> v(nElems);
                std::memcpy(v.data(), d, nElems * 8);
                ok = os.writeVeclu(v);
                break;
            }
            }
            VQ_PROPAGATE(ok);
        }
    }
    return true;
}

bool VqVertexRecordPool::_readRaw(VqObjectStream& os) {
    const char* method = "_readRaw";
    VQ_PROPAGATE(_checkEdit(method));
    unsigned long eBindings = 0;
    uint32_t n = 0;
    VQ_PROPAGATE(os.read(&eBindings) && os.read(&n));
    VQ_CHECK(n <= Vq::VertexRecordFields::s_cMaxRecords, kCls, method, VQ_ERR_CORRUPT);
    // The records are built in fields of their own and take the pool's place
    // only when all were read.
    Vq::SharedPtr<Vq::AuxDefVertexRecordFields> pNew = new Vq::AuxDefVertexRecordFields();
    if (!pNew) VQ_FAIL(kCls, method, "Allocation failed: new Vq::AuxDefVertexRecordFields()", VQ_ERR_ALLOC);
    Vq::BaseChange change = Vq::BaseChangeNone;
    // A pool that never had bindings is written with none.
    if (eBindings & ~VQ_GEOMBIND_AUXFIELDS_MASK)
        VQ_PROPAGATE(pNew->setBindings(eBindings & ~VQ_GEOMBIND_AUXFIELDS_MASK, change));
    // Every array must have n records; reading the first one bounds n by
    // what the stream holds before any record is allocated.
    auto readArray = [&](float* dst, int nComps) {
        VqVecf v;
        VQ_PROPAGATE(os.readVecf(v));
        if (v.size() != size_t(n) * nComps)
            VQ_FAIL(kCls, method, "vValues.length() == nRecs * nComps", VQ_ERR_CORRUPT);
        std::memcpy(dst, v.data(), v.size() * sizeof(float));
        return true;
    };
    Vq::VertexRecordFields& f = *pNew;
    if (f.numVtxCoordComps()) {
        VqVecf v;
        VQ_PROPAGATE(os.readVecf(v));
        if (v.size() != size_t(n) * f.numVtxCoordComps())
            VQ_FAIL(kCls, method, "vValues.length() == nRecs * nComps", VQ_ERR_CORRUPT);
        VQ_PROPAGATE(f.resize(n));
        std::memcpy(f.vtxCoords(), v.data(), v.size() * sizeof(float));
    } else {
        VQ_PROPAGATE(f.resize(n));
    }
    if (f.numNormalComps()) VQ_PROPAGATE(readArray(f.normals(), f.numNormalComps()));
    if (f.numColorComps()) VQ_PROPAGATE(readArray(f.colors(), f.numColorComps()));
    for (int k = 0; k < VQ_GEOMBIND_NUM_TEXUNITS; ++k)
        if (f.numTexCoordComps(k)) VQ_PROPAGATE(readArray(f.texCoords(k), f.numTexCoordComps(k)));
    if (f.hasVtxFlags()) {
        std::vector<unsigned int> words;
        VQ_PROPAGATE(os.readVecu(words));
        VQ_CHECK(words.size() == (size_t(n) + 31) / 32, kCls, method, VQ_ERR_CORRUPT);
        for (uint32_t i = 0; i < n; ++i)
            f.vtxFlags().set(static_cast<int>(i), (words[i / 32] >> (i % 32)) & 1u);
    }
    if (eBindings & VQ_GEOMBIND_AUXFIELDS_MASK) {
        uint32_t nFields = 0;
        VQ_PROPAGATE(os.read(&nFields));
        for (uint32_t k = 0; k < nFields; ++k) {
            VqGUID guid;
            unsigned char type = 0, nBits = 0;
            uint32_t nSteps = 0;
            VQ_PROPAGATE(os.read(guid) && os.read(&type) && os.read(&nBits) && os.read(&nSteps));
            const VqAuxType _eType = static_cast<VqAuxType>(type);
            if (!Vq::AuxVertexField::s_isValid(_eType))
                VQ_FAIL(kCls, method, "_eType < VQ_AUXTYPE_LAST", VQ_ERR_CORRUPT);
            Vq::SharedPtr<Vq::AuxVertexField> fld;
            VQ_PROPAGATE(Vq::AuxVertexField::s_create(_eType, guid, 0, n, fld));
            VQ_CHECK(nBits <= 32, kCls, method, VQ_ERR_CORRUPT);
            fld->setQuantizationBits(nBits);
            const size_t nBytes = size_t(n) * fld->recordSize();
            for (uint32_t s = 0; s < nSteps; ++s) {
                size_t got = 0;
                std::vector<unsigned char> b;
                std::vector<unsigned short> h;
                std::vector<unsigned int> w;
                std::vector<unsigned long> l;
                const void* src = nullptr;
                switch (fld->elementSize()) {
                case 1:
                    VQ_PROPAGATE(os.readVecuc(b));
                    got = b.size();
                    src = b.data();
                    break;
                case 2:
                    VQ_PROPAGATE(os.readVecus(h));
                    got = h.size() * 2;
                    src = h.data();
                    break;
                case 4:
                    VQ_PROPAGATE(os.readVecu(w));
                    got = w.size() * 4;
                    src = w.data();
                    break;
                default:
                    VQ_PROPAGATE(os.readVeclu(l));
                    got = l.size() * 8;
                    src = l.data();
                    break;
                }
                VQ_CHECK(got == nBytes, kCls, method, VQ_ERR_CORRUPT);
                VQ_PROPAGATE(fld->_appendStep());
                if (nBytes) std::memcpy(fld->stepData(s), src, nBytes);
            }
            VQ_CHECK(!pNew->auxField(guid), kCls, method, VQ_ERR_CORRUPT);
            VQ_PROPAGATE(pNew->bindAuxField(fld.get()));
        }
    }
    _pFields = pNew.get();
    _vuIndexMap.clear();
    _recordsChanged();
    return _sendChange(VQ_VRP_RECORDS_CHANGED);
}

// ---- Quantising in place

bool VqVertexRecordPool::preQuantize(const VqBox3<float>& box) {
    const char* method = "preQuantize";
    VQ_PROPAGATE(_checkEdit(method));
    Vq::VertexRecordFields& f = *_pFields;
    const uint32_t n = f.numRecords();
    if (n == 0) return true;
    std::vector<uint32_t> all(n);
    for (uint32_t i = 0; i < n; ++i)
        all[i] = i;
    // Each attribute goes through the quantizer the writer would set up for
    // the whole pool, and back.
    if (_nVtxBits && f.numVtxCoordComps()) {
        const int nComps = f.numVtxCoordComps();
        std::vector<VqVec3f> pts(n);
        VqBox3<float> qbox = box;
        for (uint32_t i = 0; i < n; ++i) {
            _projectedPoint(i, pts[i]);
            const VqVec3f& v = pts[i];
            if (!(std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2])))
                VQ_FAIL(kCls, method, "std::isfinite(x) && std::isfinite(y) && std::isfinite(z)",
                        VQ_ERR_ARGUMENT);
            qbox.extendBy(v);
        }
        VqPointQuantizer q;
        std::vector<uint32_t> cx(n), cy(n), cz(n);
        VQ_PROPAGATE(q.setBBox(qbox) && q.setNumBitsPrecision(_nVtxBits) &&
                     q.convertVecsToCodes(pts.data(), int(n), cx.data(), cy.data(), cz.data()) &&
                     q.convertCodesToVecs(cx.data(), cy.data(), cz.data(), int(n), pts.data()));
        for (uint32_t i = 0; i < n; ++i) {
            float* c = f.vtxCoords() + size_t(i) * nComps;
            for (int k = 0; k < std::min(nComps, 3); ++k)
                c[k] = pts[i][k];
            if (nComps == 4) c[3] = 1.0f;
        }
    }
    if (_nNormBits && f.numNormalComps()) {
        VqDeeringNormalCodec codec(_nNormBits);
        std::vector<VqVec3f> vecs(n);
        std::vector<uint32_t> codes(n);
        float* nv = f.normals();
        for (uint32_t i = 0; i < n; ++i)
            vecs[i] = VqVec3f(nv[3 * i], nv[3 * i + 1], nv[3 * i + 2]);
        VQ_PROPAGATE(codec.convertVecsToCodes(vecs.data(), int(n), codes.data()) &&
                     codec.convertCodesToVecs(codes.data(), int(n), vecs.data()));
        for (uint32_t i = 0; i < n; ++i)
            for (int c = 0; c < 3; ++c)
                nv[3 * i + c] = vecs[i][c];
    }
    if (_nColBits && f.numColorComps()) {
        const int nComps = f.numColorComps();
        float lo[4] = {0, 0, 0, 0}, hi[4] = {1, 1, 1, 1};
        for (int c = 0; c < nComps; ++c)
            if (!componentRange(f.colors(), nComps, c, all.data(), n, lo[c], hi[c]))
                VQ_FAIL(kCls, method, "std::isfinite(color[c])", VQ_ERR_ARGUMENT);
        VqColorQuantizer q;
        VQ_PROPAGATE(q.setRange(lo[0], hi[0], lo[1], hi[1], lo[2], hi[2], lo[3], hi[3]) &&
                     q.setPrec(_nColBits, _nColBits, _nColBits, nComps == 4 ? _nColBits : 0));
        for (uint32_t i = 0; i < n; ++i) {
            float* c = f.colors() + size_t(i) * nComps;
            VqVec4f rgba(c[0], c[1], c[2], nComps == 4 ? c[3] : 1.0f);
            uint32_t code = 0;
            VQ_PROPAGATE(q.convertRGBtoCode(rgba, code));
            q.convertCodeToRGB(code, rgba);
            std::memcpy(c, rgba.data(), sizeof(float) * nComps);
        }
    }
    for (int k = 0; _nTexBits && k < VQ_GEOMBIND_NUM_TEXUNITS; ++k) {
        const int nComps = f.numTexCoordComps(k);
        if (!nComps) continue;
        float lo[4] = {0, 0, 0, 0}, hi[4] = {1, 1, 1, 1};
        for (int c = 0; c < nComps; ++c)
            if (!componentRange(f.texCoords(k), nComps, c, all.data(), n, lo[c], hi[c]))
                VQ_FAIL(kCls, method, "std::isfinite(texCoord[c])", VQ_ERR_ARGUMENT);
        VqTextureQuantizer q;
        VQ_PROPAGATE(q.setRange(lo[0], hi[0], lo[1], hi[1], lo[2], hi[2], lo[3], hi[3]) &&
                     q.setPrec(_nTexBits, _nTexBits, _nTexBits, _nTexBits));
        uint32_t codes[4];
        for (uint32_t i = 0; i < n; ++i) {
            float* t = f.texCoords(k) + size_t(i) * nComps;
            VQ_PROPAGATE(VqVertexRecordPoolCoding::texToCodes(q, nComps, t, codes) &&
                         VqVertexRecordPoolCoding::texFromCodes(q, nComps, codes, t));
        }
    }
    _recordsChanged();
    return _sendChange(VQ_VRP_RECORDS_CHANGED);
}
