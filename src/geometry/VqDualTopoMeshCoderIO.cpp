// The coder's sections on a stream: the symbol section, then the vertex data.
//
// Symbol section, each array one packet of the version's driver (the
// version-2 driver for the 9.x layouts, the version-3 driver for VQ 10):
//   the eight valence streams; the polygon degrees; the polygon groups; the
//   polygon flags widened to 32 bits, as residuals; the attribute masks of
//   contexts 0 to 7, each cut into the version's chunks; the large masks as
//   a plain u32 vector (count first); the split offsets, as residuals; the
//   split slots; the i32 check value of the streams.
//
// Vertex data:
//   u64 bindings: bits 0-39 of the pool's (VQ 10 also bit 63, which says
//       whether auxiliary fields follow: bits 0-39 alone could not tell);
//   u8 x 4 quantisation bits: coordinates, normals, texture, colours;
//   u32 number of vertices (positions, not records);
//   when not 0: i32 number of records; the coordinates of the vertices in
//       the order the walk reached them; then for the records in the order
//       the walk emitted them: normals, colours, texture units 0-7 and flags,
//       each when bound; VQ 10: the auxiliary fields when bit 63 is set.
//   9.4+ (serialize9xV2) then: i16 local version (1); the full u64
//       bindings; the auxiliary fields when bit 63 is set.
//
// Residuals are the previous value subtracted. The vertex arrays chain their
// check values from the symbol section's and the vertex data's header
// (bindings, bit counts, the two counts, as eight words), so that neither a
// damaged header nor another section's symbols pass.
//
// Every count read is held to what the symbols allow before anything is
// sized by it: one vertex per non-zero valence symbol, at most one record
// per corner.
#include "VqCodecDriver2.h"
#include "VqCodecDriver3T.h"
#include "VqDualTopoMeshCoder.h"
#include "VqDualVFMesh.h"
#include "VqErrorState.h"
#include "VqIdentityMap.h"
#include "VqLookup2.h"
#include "VqObjectStream.h"
#include "VqPolygonTopoMesh.h"
#include "VqStdException.h"
#include "VqTriStripTopoMesh.h"

#include <emmintrin.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <new>
#include <type_traits>

namespace Vq {

namespace {

constexpr const char* kCls = "DualTopoMeshCoder";
// The pool's bindings a section carries in every layout.
constexpr uint64_t kSectionBindings = 0xFFFFFFFFFFull;
// The bits of the trailer's full bindings that say auxiliary fields follow.
constexpr uint64_t kAuxTrailerBits = 0xE000000000000000ull;

// One symbol array through the version-2 driver.
struct Sym2 {
    VqCodecDriver2& cd;
    bool put(VqObjectStream& os, VqVeci& v) {
        cd.setValueVector(v);
        return cd.serialize(os);
    }
    bool put(VqObjectStream& os, VqVecu& v) {
        cd.setValueVector(v);
        return cd.serialize(os);
    }
    bool get(VqObjectStream& os, VqVeci& v, int nMax) {
        cd.setValueVector(v);
        return cd.deserialize(os, nMax);
    }
    bool get(VqObjectStream& os, VqVecu& v, int nMax) {
        cd.setValueVector(v);
        return cd.deserialize(os, nMax);
    }
    // This driver decodes each packet as it reads it.
    bool getBatched(VqObjectStream& os, VqVeci& v, int nMax) { return get(os, v, nMax); }
    bool getBatched(VqObjectStream& os, VqVecu& v, int nMax) { return get(os, v, nMax); }
    bool finishBatch() { return true; }
    void dropBatch() {}
    static bool pack(VqVeci& v) { return VqCodecDriver2::packResiduals(v, v, VqCodecDriver2::PredLag1); }
    static bool unpack(VqVeci& v) { return VqCodecDriver2::unpackResiduals(v, v, VqCodecDriver2::PredLag1); }
};

// One symbol array through the version-3 driver, which codes signed values:
// the unsigned mask chunks travel as their bit patterns.
struct Sym3 {
    CodecDriver3T<int>& cd;
    VqVeci tmp;
    bool put(VqObjectStream& os, VqVeci& v) { return cd.serialize(os, v); }
    bool put(VqObjectStream& os, VqVecu& v) {
        tmp.assign(v.begin(), v.end());
        return cd.serialize(os, tmp);
    }
    // v has its length at once, its values after finishBatch(). A failure
    // drops the batch, and the driver holds none past its section.
    bool getBatched(VqObjectStream& os, VqVeci& v, int nMax) { return cd.deserializeBatched(os, v, nMax); }
    // Mask words wait as signed values until finishBatch(), in a deque that
    // keeps each where the driver was told it is.
    bool getBatched(VqObjectStream& os, VqVecu& v, int nMax) {
        std::pair<VqVeci, VqVecu*>& w = words.emplace_back(VqVeci(), &v);
        return cd.deserializeBatched(os, w.first, nMax);
    }
    bool finishBatch() {
        VQ_PROPAGATE(cd.finishBatch());
        for (auto& [vi, pv] : words) {
            // The words as they are, in one copy: assigned from the signed
            // values, each was converted on its own.
            const unsigned* pBits = reinterpret_cast<const unsigned*>(vi.data());
            pv->assign(pBits, pBits + vi.size());
        }
        words.clear();
        return true;
    }
    void dropBatch() {
        cd.dropBatch();
        words.clear();
    }
    std::deque<std::pair<VqVeci, VqVecu*>> words;
    static bool pack(VqVeci& v) {
        return CodecDriver3T<int>::packResiduals(v, v, CodecDriver3Base::PredLag1);
    }
    static bool unpack(VqVeci& v) {
        return CodecDriver3T<int>::unpackResiduals(v, v, CodecDriver3Base::PredLag1);
    }
};

uint64_t position(VqObjectStream& os) {
    uint64_t u = 0;
    os.getPosition(u);
    return u;
}

// Adds the bytes from a mark to the position now to a statistic.
struct ByteMark {
    VqObjectStream& os;
    uint64_t at;
    explicit ByteMark(VqObjectStream& s) : os(s), at(position(s)) {}
    void to(uint64_t& stat) {
        const uint64_t now = position(os);
        stat += now - at;
        at = now;
    }
};

enum class Layout { V9xV1, V9xV2, V10xV1 };

// The section header chained onto the symbols' check value: the arrays'
// values alone would not notice a damaged bit count, or bindings that drop
// an attribute whose array then goes unread.
uint32_t headerCheckValue(uint64_t eBindings, const unsigned char* aBits, uint32_t nVerts, uint32_t nRecs,
                          uint32_t uSymbols) {
    const uint32_t words[8] = {uint32_t(eBindings),
                               uint32_t(eBindings >> 32),
                               aBits[0],
                               aBits[1],
                               aBits[2],
                               aBits[3],
                               nVerts,
                               nRecs};
    return vqLookup2Words(words, 8, uSymbols);
}

} // namespace

// The sections, written through the coder's internals.
struct DualTopoMeshCoderIO {
    using Coder = DualTopoMeshCoder;
    using SectionStats = DualTopoMeshCoder::SectionStats;

    static int versionFor(Layout l) { return l == Layout::V10xV1 ? Coder::V2 : Coder::V1; }

    // ---- Symbol section

    template <class IO>
    static bool writeSymbols(Coder& c, VqObjectStream& os, IO& io) {
        DualMeshSymbols& s = c._syms;
        for (VqVeci& v : s.vviOutDegSyms)
            VQ_PROPAGATE(io.put(os, v));
        VQ_PROPAGATE(io.put(os, s.viOutValSyms) && io.put(os, s.viOutVGrpSyms));
        VqVeci v(s.vuOutVtxFlags.begin(), s.vuOutVtxFlags.end());
        VQ_PROPAGATE(IO::pack(v) && io.put(os, v));
        std::vector<VqVecu> chunks;
        for (int k = 0; k < DualMeshSymbols::kNumContexts; ++k) {
            c._maskChunks(k, chunks);
            for (VqVecu& chunk : chunks)
                VQ_PROPAGATE(io.put(os, chunk));
        }
        VQ_PROPAGATE(os.writeVecu(s.vuOutAttrMasksLrg));
        v = s.viOutSplitFaceSyms;
        VQ_PROPAGATE(IO::pack(v) && io.put(os, v));
        VQ_PROPAGATE(io.put(os, s.viOutSplitPosSyms));
        return os.write(static_cast<int>(c._uRefHash));
    }

    // What the valence streams leave room for in the streams after them. A
    // valence opens a vertex (0: a split, which reads one offset and one
    // slot); its corners are corners of polygons of degree 3 or more; a
    // vertex of up to 64 corners reads one mask in its context, a larger one
    // a mask word per 32 corners. Valences the decoder refuses count nothing.
    // The vertex data's bounds come from the same pass: one vertex per
    // valence above 0, and at most one record per corner of them.
    struct ValenceBounds {
        uint64_t nSplits = 0, nCorners = 0, nLargeWords = 0;
        uint64_t aMasks[DualMeshSymbols::kNumContexts] = {};
        uint64_t nVerts = 0, nVertCorners = 0;

        void count(const DualMeshSymbols& s) {
            // Valences of up to 64, nearly all of them, are only counted, in
            // four sets taken in turn: with one, a run of one valence (as
            // most are) added to one count in memory, each value waiting for
            // the store of the one before. The sums follow from the counts.
            constexpr int kSets = 4, kSmall = 64;
            static_assert(kSmall <= VqDualVFMesh::kMaxDegree);
            uint32_t counts[kSets][kSmall + 1] = {};
            for (const VqVeci& v : s.vviOutDegSyms) {
                const int* pD = v.data();
                for (size_t i = 0, n = v.size(); i < n; ++i) {
                    const int d = pD[i];
                    if (uint32_t(d) <= uint32_t(kSmall)) {
                        ++counts[i % kSets][d];
                        continue;
                    }
                    if (d < 0) continue;
                    ++nVerts;
                    nVertCorners += uint64_t(d);
                    if (d > VqDualVFMesh::kMaxDegree) continue;
                    nCorners += uint64_t(d);
                    nLargeWords += uint64_t(d + 31) / 32;
                }
            }
            for (int d = 0; d <= kSmall; ++d) {
                const uint64_t c = uint64_t(counts[0][d]) + counts[1][d] + counts[2][d] + counts[3][d];
                if (d == 0) nSplits += c;
                if (d > 0) {
                    nVerts += c;
                    nVertCorners += c * uint64_t(d);
                }
                if (d < 2) continue;
                nCorners += c * uint64_t(d);
                aMasks[std::min(d - 2, DualMeshSymbols::kNumContexts - 1)] += c;
            }
        }
    };

    // Every stream is read with the most values the streams before it leave
    // room for, so that a damaged count is refused before it is allocated.
    // The valence streams come first and share the drivers' process-wide
    // maximum. The check value is compared when the walk decodes (decode()).
    template <class IO>
    static bool readSymbols(Coder& c, VqObjectStream& os, IO& io, ValenceBounds& b) {
        DualMeshSymbols& s = c._syms;
        s.clear();
        int64_t nValenceRoom = VqCodecDriver2::s_maxValueCount();
        // Their lengths need no values: their code texts decode together
        // once all are read. When two are damaged, which one is
        // reported may differ from decoding each as it is read.
        for (VqVeci& v : s.vviOutDegSyms) {
            VQ_PROPAGATE(io.getBatched(os, v, int(nValenceRoom)));
            nValenceRoom -= v.length();
        }
        VQ_PROPAGATE(io.finishBatch());
        b.count(s);
        // The streams after the valences need only those and each other's
        // lengths to be read, so their code texts too decode together, once
        // all are read; the checks on their values follow. A batch left by a
        // failure is dropped before its arrays go.
        struct DropBatch {
            IO& io;
            ~DropBatch() { io.dropBatch(); }
        } drop{io};
        VQ_PROPAGATE(io.getBatched(os, s.viOutValSyms, VqCodecDriver2::s_clampCount(b.nCorners / 3)));
        // One group and one flag word per polygon degree.
        const int nPolys = s.viOutValSyms.length();
        VQ_PROPAGATE(io.getBatched(os, s.viOutVGrpSyms, nPolys));
        if (s.viOutVGrpSyms.length() != nPolys)
            VQ_FAIL(kCls, "_readSymbols", "_viOutVGrpSyms.length() == _viOutValSyms.length()",
                    VQ_ERR_CORRUPT);
        VqVeci v;
        VQ_PROPAGATE(io.getBatched(os, v, nPolys));
        if (v.length() != nPolys)
            VQ_FAIL(kCls, "_readSymbols", "_vuOutVtxFlags.length() == _viOutValSyms.length()",
                    VQ_ERR_CORRUPT);
        std::vector<VqVecu> chunks[DualMeshSymbols::kNumContexts];
        for (int k = 0; k < DualMeshSymbols::kNumContexts; ++k) {
            // The version's cut of an empty context tells how many chunks follow.
            c._maskChunks(k, chunks[k]);
            for (VqVecu& chunk : chunks[k])
                VQ_PROPAGATE(io.getBatched(os, chunk, VqCodecDriver2::s_clampCount(b.aMasks[k])));
        }
        // Plain words: the stream's own length bounds what they allocate.
        VQ_PROPAGATE(os.readVecu(s.vuOutAttrMasksLrg));
        if (s.vuOutAttrMasksLrg.size() > b.nLargeWords)
            VQ_FAIL(kCls, "_readSymbols", "_iAttrMaskLrgReadPos == _vuOutAttrMasksLrg.length()",
                    VQ_ERR_CORRUPT);
        const int nSplits = VqCodecDriver2::s_clampCount(b.nSplits);
        VQ_PROPAGATE(io.getBatched(os, s.viOutSplitFaceSyms, nSplits));
        VQ_PROPAGATE(io.getBatched(os, s.viOutSplitPosSyms, nSplits));
        int iRefHash = 0;
        VQ_PROPAGATE(os.read(&iRefHash));
        c._uRefHash = static_cast<uint32_t>(iRefHash);
        VQ_PROPAGATE(io.finishBatch());
        VQ_PROPAGATE(IO::unpack(v));
        // A negative word has its top bits set as one above 0xFFFF has: the
        // words' union tells both, in a loop without exits.
        s.vuOutVtxFlags.resizeUnset(v.size()); // written in full below
        uint32_t uAll = 0;
        {
            const int* pIn = v.data();
            uint16_t* pOut = s.vuOutVtxFlags.data();
            // Eight words at a time (the compiler leaves the loop one at a
            // time): each word's low half, sign-extended, passes the signed
            // narrowing unchanged.
            const size_t n = v.size();
            size_t i = 0;
            __m128i all = _mm_setzero_si128();
            for (; n - i >= 8; i += 8) {
                const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pIn + i));
                const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pIn + i + 4));
                all = _mm_or_si128(all, _mm_or_si128(a, b));
                const __m128i lowA = _mm_srai_epi32(_mm_slli_epi32(a, 16), 16);
                const __m128i lowB = _mm_srai_epi32(_mm_slli_epi32(b, 16), 16);
                _mm_storeu_si128(reinterpret_cast<__m128i*>(pOut + i), _mm_packs_epi32(lowA, lowB));
            }
            all = _mm_or_si128(all, _mm_shuffle_epi32(all, 0x4E));
            all = _mm_or_si128(all, _mm_shuffle_epi32(all, 0xB1));
            uAll = uint32_t(_mm_cvtsi128_si32(all));
            for (; i < n; ++i) {
                const uint32_t u = uint32_t(pIn[i]);
                uAll |= u;
                pOut[i] = static_cast<uint16_t>(u);
            }
        }
        if (uAll > 0xFFFF) VQ_FAIL(kCls, "_readSymbols", "iFlags <= 0xFFFF", VQ_ERR_CORRUPT);
        for (int k = 0; k < DualMeshSymbols::kNumContexts; ++k)
            VQ_PROPAGATE(c._joinMaskChunks(k, chunks[k]));
        VQ_PROPAGATE(IO::unpack(s.viOutSplitFaceSyms));
        return true;
    }

    // ---- Vertex data

    template <class CD>
    static bool writeAttrs(const VqVertexRecordPool& recs, VqObjectStream& os, CD& cd, const uint32_t* idx,
                           uint32_t n, int normBits, int texBits, int colBits, uint32_t& h,
                           SectionStats& st) {
        const Vq::VertexRecordFields& f = *recs.fields();
        ByteMark m(os);
        if (f.numNormalComps()) {
            VQ_PROPAGATE(recs._writeQuantizedNormalArray(os, cd, idx, n, normBits, h));
            m.to(st.nNormalBytes);
        }
        if (f.numColorComps()) VQ_PROPAGATE(recs._writeQuantizedColorArray(os, cd, idx, n, colBits, h));
        for (int k = 0; k < VQ_GEOMBIND_NUM_TEXUNITS; ++k)
            if (f.numTexCoordComps(k))
                VQ_PROPAGATE(recs._writeQuantizedTextureArray(os, cd, k, idx, n, texBits, h));
        if (f.hasVtxFlags()) VQ_PROPAGATE(recs._writeVtxFlagArray(os, cd, idx, n, h));
        m.to(st.nOtherAttrBytes);
        return true;
    }

    // The attributes after the normals, and these too unless bNormalsRead.
    template <class CD>
    static bool readAttrs(VqVertexRecordPool& recs, VqObjectStream& os, CD& cd, const uint32_t* idx,
                          uint32_t n, uint32_t& h, SectionStats& st, bool bNormalsRead) {
        const Vq::VertexRecordFields& f = *recs.fields();
        ByteMark m(os);
        if (f.numNormalComps() && !bNormalsRead) {
            VQ_PROPAGATE(recs._readQuantizedNormalArray(os, cd, idx, n, h));
            m.to(st.nNormalBytes);
        }
        if (f.numColorComps()) VQ_PROPAGATE(recs._readQuantizedColorArray(os, cd, idx, n, h));
        for (int k = 0; k < VQ_GEOMBIND_NUM_TEXUNITS; ++k)
            if (f.numTexCoordComps(k)) VQ_PROPAGATE(recs._readQuantizedTextureArray(os, cd, k, idx, n, h));
        if (f.hasVtxFlags()) VQ_PROPAGATE(recs._readVtxFlagArray(os, cd, idx, n, h));
        m.to(st.nOtherAttrBytes);
        return true;
    }

    // 0, 1, ..., n - 1, not filled before it is written. Vertices and
    // records both go in their own order, so one list of the larger count
    // serves the two.
    static std::unique_ptr<uint32_t[]> identity(uint32_t n) {
        std::unique_ptr<uint32_t[]> p = std::make_unique_for_overwrite<uint32_t[]>(n);
        Vq::fillIdentity(p.get(), n);
        return p;
    }

    template <class CD>
    static bool writeFaceRecords(Coder& c, VqObjectStream& os, CD& cd, Layout l) {
        SectionStats& st = c._stats;
        ByteMark m(os);
        const VqVertexRecordPool& src = *c._pTM->vtxRecPool();
        const uint64_t eBindings = src.getBindings();
        int vtxBits = 0, normBits = 0, texBits = 0, colBits = 0;
        src.getCompressionParams(vtxBits, normBits, texBits, colBits);
        const bool bAux = (eBindings & VQ_GEOMBIND_AUXFIELDS_MASK) != 0;
        const uint64_t uSectionMask =
            kSectionBindings | (l == Layout::V10xV1 ? VQ_GEOMBIND_AUXFIELDS_MASK : 0);
        VQ_PROPAGATE(os.write(static_cast<unsigned long>(eBindings & uSectionMask)));
        for (int b : {vtxBits, normBits, texBits, colBits})
            VQ_PROPAGATE(os.write(static_cast<unsigned char>(b)));
        const int nComps = c._nCoordComps;
        const uint32_t nVerts = nComps > 0 ? uint32_t(c._vfCoords.size() / size_t(nComps)) : 0;
        VQ_PROPAGATE(os.write(nVerts));
        if (nVerts > 0) {
            const VqVertexRecordPool& recs = *c._pAttrs;
            const uint32_t nRecs = recs.numVtxRecords();
            VQ_PROPAGATE(os.write(static_cast<int>(nRecs)));
            const unsigned char aBits[4] = {uint8_t(vtxBits), uint8_t(normBits), uint8_t(texBits),
                                            uint8_t(colBits)};
            uint32_t h = headerCheckValue(eBindings & uSectionMask, aBits, nVerts, nRecs, c._uRefHash);
            m.to(st.nTableBytes);
            // The coordinates travel through a pool of their own: one record
            // per vertex, where the coder keeps one set per position.
            Vq::SharedPtr<VqVertexRecordPool> pVtx =
                new VqVertexRecordPool(eBindings & VQ_GEOMBIND_VTXCOORD_MASK);
            {
                VqBaseVertexRecordPoolInternals in;
                VQ_PROPAGATE(pVtx->lockWrite(true));
                const bool ok = pVtx->allocate(nVerts) && pVtx->acquireInternals(in, true);
                if (ok) {
                    std::copy(c._vfCoords.begin(), c._vfCoords.end(), in.pfCoords);
                    pVtx->releaseInternals(in);
                }
                pVtx->lockWrite(false);
                VQ_PROPAGATE(ok);
            }
            const std::unique_ptr<uint32_t[]> pIdx = identity(std::max(nVerts, nRecs));
            const uint32_t* idx = pIdx.get();
            VQ_PROPAGATE(pVtx->_writeQuantizedVertexArray(os, cd, idx, nVerts, VqBox3<float>(), vtxBits, h));
            m.to(st.nCoordBytes);
            VQ_PROPAGATE(writeAttrs(recs, os, cd, idx, nRecs, normBits, texBits, colBits, h, st));
            m.at = position(os);
            if (l == Layout::V10xV1 && bAux) {
                VQ_PROPAGATE(recs._writeAuxiliaryFields(os, cd, idx, nRecs, h));
                m.to(st.nOtherAttrBytes);
            }
            if (l == Layout::V9xV2) {
                VQ_PROPAGATE(os.write(static_cast<short>(1)) &&
                             os.write(static_cast<unsigned long>(eBindings)));
                m.to(st.nTableBytes);
                if (bAux) {
                    VQ_PROPAGATE(recs._writeAuxiliaryFields(os, cd, idx, nRecs, h));
                    m.to(st.nOtherAttrBytes);
                }
            }
        } else if (l == Layout::V9xV2) {
            VQ_PROPAGATE(os.write(static_cast<short>(1)) && os.write(static_cast<unsigned long>(eBindings)));
        }
        m.to(st.nTableBytes);
        return true;
    }

    // The coordinates into coords, then the records' attributes. The
    // version-3 driver decodes the coordinates' code texts with the normals'
    // when there are normals. dPointGap: how far apart points of different
    // codes lie at least.
    template <class CD>
    static bool readCoordsAndAttrs(VqVertexRecordPool& recs, VqObjectStream& os, CD& cd, int nComps,
                                   const uint32_t* idx, uint32_t nVerts, float* coords, uint32_t nRecs,
                                   uint32_t& h, ByteMark& m, SectionStats& st, double& dPointGap) {
        if constexpr (std::is_same_v<CD, CodecDriver3T<int>>) {
            if (recs.fields()->numNormalComps()) {
                uint64_t uCoordsEnd = 0;
                VQ_PROPAGATE(recs._readQuantizedCoordAndNormalArrays(os, cd, nComps, idx, nVerts, coords,
                                                                     nRecs, h, uCoordsEnd, dPointGap));
                st.nCoordBytes += uCoordsEnd - m.at;
                m.at = uCoordsEnd;
                m.to(st.nNormalBytes);
                return readAttrs(recs, os, cd, idx, nRecs, h, st, true);
            }
        }
        VQ_PROPAGATE(
            VqVertexRecordPool::_readQuantizedCoordArray(os, cd, nComps, idx, nVerts, coords, h, dPointGap));
        m.to(st.nCoordBytes);
        return readAttrs(recs, os, cd, idx, nRecs, h, st, false);
    }

    // A pool of the given bindings with n records, or the reason recorded.
    static bool newPool(uint64_t eBindings, uint32_t n, Vq::SharedPtr<VqVertexRecordPool>& out) {
        try {
            out = new VqVertexRecordPool(eBindings);
        } catch (const std::bad_alloc&) {
            VQ_FAIL(kCls, "_readFaceRecords", "Allocation failed: pVRP = new VqVertexRecordPool(eBindings)",
                    VQ_ERR_ALLOC);
        } catch (const Vq::StdException& e) {
            // The bindings themselves are wrong: the record is damaged.
            VqErrorState::throwStdError(kCls, "_readFaceRecords", e.description(), VQ_ERR_CORRUPT);
            return false;
        }
        if (!out)
            VQ_FAIL(kCls, "_readFaceRecords", "Allocation failed: pVRP = new VqVertexRecordPool(eBindings)",
                    VQ_ERR_ALLOC);
        VQ_PROPAGATE(out->lockWrite(true));
        const bool ok = out->allocate(n);
        out->lockWrite(false);
        VQ_PROPAGATE(ok);
        return true;
    }

    template <class CD>
    static bool readFaceRecords(Coder& c, VqObjectStream& os, CD& cd, Layout l, const ValenceBounds& b) {
        SectionStats& st = c._stats;
        ByteMark m(os);
        unsigned long uBindings = 0;
        VQ_PROPAGATE(os.read(&uBindings));
        uint64_t eBindings = uBindings;
        const uint64_t uSectionMask =
            kSectionBindings | (l == Layout::V10xV1 ? VQ_GEOMBIND_AUXFIELDS_MASK : 0);
        VQ_CHECK((eBindings & ~uSectionMask) == 0, kCls, "_readFaceRecords", VQ_ERR_CORRUPT);
        const uint64_t eCoords = eBindings & VQ_GEOMBIND_VTXCOORD_MASK;
        VQ_CHECK(eCoords == VQ_GEOMBIND_VTXCOORD2 || eCoords == VQ_GEOMBIND_VTXCOORD3 ||
                     eCoords == VQ_GEOMBIND_VTXCOORD4,
                 kCls, "_readFaceRecords", VQ_ERR_CORRUPT);
        unsigned char aBits[4] = {0, 0, 0, 0};
        for (unsigned char& b : aBits)
            VQ_PROPAGATE(os.read(&b));
        uint32_t nVerts = 0;
        VQ_PROPAGATE(os.read(&nVerts));
        // One vertex per non-zero valence symbol, and at most one record per
        // corner of them: the bounds of what follows.
        const uint64_t nCorners = b.nVertCorners;
        if (nVerts != b.nVerts)
            VQ_FAIL(kCls, "_readFaceRecords", "vFaceCoordOrder.length() == _viFaceCoordOrder.length()",
                    VQ_ERR_CORRUPT);
        int nVFFaceAttrs = 0;
        if (nVerts > 0) {
            VQ_PROPAGATE(os.read(&nVFFaceAttrs));
            if (nVFFaceAttrs < 0 || uint64_t(nVFFaceAttrs) > nCorners)
                VQ_FAIL(kCls, "_readFaceRecords", "nVFFaceAttrs == _pSrcVFM->numAttrs()", VQ_ERR_CORRUPT);
        }
        m.to(st.nTableBytes);
        const uint32_t nRecs = uint32_t(nVFFaceAttrs);
        const int nComps = eCoords == VQ_GEOMBIND_VTXCOORD2 ? 2 : eCoords == VQ_GEOMBIND_VTXCOORD3 ? 3 : 4;
        // The coordinates are bounded as the records are: the pool's limit,
        // and the same refusal.
        if (nVerts > Vq::VertexRecordFields::s_cMaxRecords)
            VQ_FAIL("VqVertexRecordPool", "addVtxRecords", "allocate(nVtxRec + nVts)", VQ_ERR_ALLOC);
        Vq::SharedPtr<VqVertexRecordPool> pRecs;
        VQ_PROPAGATE(newPool(eBindings & ~VQ_GEOMBIND_AUXFIELDS_MASK, nRecs, pRecs));
        VQ_PROPAGATE(pRecs->setCompressionParams(aBits[0], aBits[1], aBits[2], aBits[3]));
        uint32_t h = headerCheckValue(eBindings, aBits, nVerts, nRecs, c._uRefHash);
        VqVecf coords;
        double dPointGap = 0;
        if (nVerts > 0) {
            // The coordinates go straight into the coder's array: a pool of
            // their own only to be copied out of cost a fill and a copy.
            coords.resizeUnset(size_t(nVerts) * size_t(nComps)); // the read writes every point
            const std::unique_ptr<uint32_t[]> pIdx = identity(std::max(nVerts, nRecs));
            const uint32_t* idx = pIdx.get();
            VQ_PROPAGATE(pRecs->lockWrite(true));
            bool ok = readCoordsAndAttrs(*pRecs, os, cd, nComps, idx, nVerts, coords.data(), nRecs, h, m, st,
                                         dPointGap);
            m.at = position(os);
            if (ok && l == Layout::V10xV1 && (eBindings & VQ_GEOMBIND_AUXFIELDS_MASK)) {
                ok = pRecs->_readAuxiliaryFields(os, cd, idx, nRecs, h);
                m.to(st.nOtherAttrBytes);
            }
            if (ok && l == Layout::V9xV2) ok = readTrailer(os, cd, *pRecs, eBindings, idx, nRecs, h, m, st);
            pRecs->lockWrite(false);
            VQ_PROPAGATE(ok);
        } else if (l == Layout::V9xV2) {
            VQ_PROPAGATE(pRecs->lockWrite(true));
            const bool ok = readTrailer(os, cd, *pRecs, eBindings, nullptr, 0, h, m, st);
            pRecs->lockWrite(false);
            VQ_PROPAGATE(ok);
        }
        m.to(st.nTableBytes);
        c.setVertexData(std::move(coords), nComps, pRecs.get());
        c._bOwnAttrs = true;
        c._dPointGap = dPointGap;
        return true;
    }

    // The 9.4+ trailer: its local version, the full bindings (which must
    // agree with the section's) and the auxiliary fields.
    template <class CD>
    static bool readTrailer(VqObjectStream& os, CD& cd, VqVertexRecordPool& recs, uint64_t eBindings,
                            const uint32_t* idx, uint32_t n, uint32_t& h, ByteMark& m, SectionStats& st) {
        short iLocalVer = 0;
        VQ_PROPAGATE(os.read(&iLocalVer));
        VQ_CHECK(iLocalVer > 0, kCls, "_readFaceRecords9xV2", VQ_ERR_CORRUPT);
        if (iLocalVer > 1) VQ_FAIL(kCls, "_readFaceRecords9xV2", "iLocalVer <= 1", VQ_ERR_TOO_NEW);
        unsigned long uFull = 0;
        VQ_PROPAGATE(os.read(&uFull));
        VQ_CHECK((uFull & kSectionBindings) == eBindings &&
                     (uFull & ~(kSectionBindings | kAuxTrailerBits)) == 0,
                 kCls, "_readFaceRecords9xV2", VQ_ERR_CORRUPT);
        m.to(st.nTableBytes);
        if (uFull & kAuxTrailerBits) {
            VQ_PROPAGATE(recs._readAuxiliaryFields(os, cd, idx, n, h));
            m.to(st.nOtherAttrBytes);
        }
        return true;
    }

    // ---- Whole sections

    static bool checkVersion(const Coder& c, Layout l, const char* method) {
        if (c.version() != versionFor(l))
            VQ_FAIL(kCls, method, l == Layout::V10xV1 ? "version() == V2" : "version() == V1",
                    VQ_ERR_ARGUMENT);
        return true;
    }

    template <class Fn>
    static bool withDriver(Layout l, const char* method, Fn fn) {
        if (l == Layout::V10xV1) {
            // Drivers allocate through the accounted allocator, whose new gives null.
            std::unique_ptr<CodecDriver3T<int>> pCD(new CodecDriver3T<int>());
            if (!pCD) VQ_FAIL(kCls, method, "_pmCD", VQ_ERR_ALLOC);
            Sym3 io{*pCD, {}, {}};
            return fn(io, *pCD);
        }
        std::unique_ptr<VqCodecDriver2> pCD(new VqCodecDriver2());
        if (!pCD) VQ_FAIL(kCls, method, "_pmCD", VQ_ERR_ALLOC);
        Sym2 io{*pCD};
        return fn(io, *pCD);
    }

    static bool serialize(Coder& c, VqObjectStream& os, Layout l, const char* method) {
        VQ_PROPAGATE(checkVersion(c, l, method));
        VQ_CHECK(c._pTM, kCls, method, VQ_ERR_ARGUMENT);
        c.clearStats();
        VQ_PROPAGATE(c.encode());
        bool ok = false;
        try {
            ok = withDriver(l, method, [&](auto& io, auto& cd) {
                ByteMark m(os);
                VQ_PROPAGATE(writeSymbols(c, os, io));
                m.to(c._stats.nConnectivityBytes);
                VQ_PROPAGATE(writeFaceRecords(c, os, cd, l));
                return true;
            });
        } catch (...) {
            ok = VqErrorState::recordCurrentException(kCls, method);
        }
        VQ_PROPAGATE(ok);
        return true;
    }

    // A section of no vertices: nothing to walk, so every stream must be
    // empty (and the check value theirs); the mesh keeps the pool's bindings.
    static bool emptyMesh(Coder& c, VqTopoMesh::PrimKind eKind, Vq::SharedPtr<VqTopoMesh>& out) {
        const uint32_t uHash = c.computeCheckValue(), uRefHash = c._uRefHash;
        VQ_CHECK(uHash == uRefHash, kCls, "decode", VQ_ERR_CORRUPT);
        VQ_CHECK(c._syms.numSymbols() == 0, kCls, "decode", VQ_ERR_CORRUPT);
        if (eKind == VqTopoMesh::VQ_PRIM_TRISTRIP)
            out = new VqTriStripTopoMesh(c._pAttrs.get());
        else
            out = new VqPolygonTopoMesh(c._pAttrs.get());
        return true;
    }

    static bool deserialize(Coder& c, VqObjectStream& os, Layout l, VqTopoMesh::PrimKind eKind,
                            Vq::SharedPtr<VqTopoMesh>& out, const char* method) {
        out = nullptr;
        VQ_PROPAGATE(checkVersion(c, l, method));
        const VqTopoMesh* pTM = c._pTM;
        c.clearState();
        c._pTM = pTM;
        c.clearStats();
        bool ok = false;
        try {
            ok = withDriver(l, method, [&](auto& io, auto& cd) {
                ByteMark m(os);
                ValenceBounds b;
                VQ_PROPAGATE(readSymbols(c, os, io, b));
                m.to(c._stats.nConnectivityBytes);
                VQ_PROPAGATE(readFaceRecords(c, os, cd, l, b));
                return true;
            });
            ok = ok && (c._vfCoords.empty() ? emptyMesh(c, eKind, out) : c.decode(eKind, out));
        } catch (...) {
            ok = VqErrorState::recordCurrentException(kCls, method);
        }
        if (!ok) {
            out = nullptr;
            VqErrorState::rethrowError();
            return false;
        }
        return true;
    }
};

bool DualTopoMeshCoder::serialize9xV1(VqObjectStream& os) {
    return DualTopoMeshCoderIO::serialize(*this, os, Layout::V9xV1, "serialize9xV1");
}
bool DualTopoMeshCoder::serialize9xV2(VqObjectStream& os) {
    return DualTopoMeshCoderIO::serialize(*this, os, Layout::V9xV2, "serialize9xV2");
}
bool DualTopoMeshCoder::serialize10xV1(VqObjectStream& os) {
    return DualTopoMeshCoderIO::serialize(*this, os, Layout::V10xV1, "serialize10xV1");
}
bool DualTopoMeshCoder::deserialize9xV1(VqObjectStream& os, VqTopoMesh::PrimKind eKind,
                                        Vq::SharedPtr<VqTopoMesh>& out) {
    return DualTopoMeshCoderIO::deserialize(*this, os, Layout::V9xV1, eKind, out, "deserialize9xV1");
}
bool DualTopoMeshCoder::deserialize9xV2(VqObjectStream& os, VqTopoMesh::PrimKind eKind,
                                        Vq::SharedPtr<VqTopoMesh>& out) {
    return DualTopoMeshCoderIO::deserialize(*this, os, Layout::V9xV2, eKind, out, "deserialize9xV2");
}
bool DualTopoMeshCoder::deserialize10xV1(VqObjectStream& os, VqTopoMesh::PrimKind eKind,
                                         Vq::SharedPtr<VqTopoMesh>& out) {
    return DualTopoMeshCoderIO::deserialize(*this, os, Layout::V10xV1, eKind, out, "deserialize10xV1");
}

} // namespace Vq
