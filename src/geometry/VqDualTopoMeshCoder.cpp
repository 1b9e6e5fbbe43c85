#include "VqDualTopoMeshCoder.h"

#include "VqAuxVertexField.h"
#include "VqCollocScratch.h"
#include "VqDualMeshCoderV1.h"
#include "VqDualMeshDecoderV1.h"
#include "VqDualTopoMeshCoderV1.h"
#include "VqDualTopoMeshCoderV2.h"
#include "VqErrorState.h"
#include "VqIdentityMap.h"
#include "VqLookup2.h"
#include "VqPolygonTopoMesh.h"
#include "VqTopoMeshTopology.h"
#include "VqTriStripTopoMesh.h"
#include "VqTriStripperEngine.h"
#include "VqVFMesh.h"

#include <emmintrin.h>

#include <algorithm>
#include <cstddef>
#include <mutex>
#include <type_traits>
#include <utility>

namespace Vq {

namespace {
constexpr const char* kCls = "DualTopoMeshCoder";

// Idle coders per version (index version - 1).
std::mutex s_poolMutex;
std::vector<std::unique_ptr<DualTopoMeshCoder>> s_vpPool[2];

// How a version cuts the masks of context k into 32-bit chunks: chunk i of
// mask m is (m >> shift) & mask of cut i.
struct MaskCut {
    int shift;
    uint32_t mask;
};
struct MaskCuts {
    const MaskCut* p;
    size_t n;
};
MaskCuts maskCuts(int version, int k) {
    // V1: bits 0-29, and for context 7 (valences 9 to 64) then bits 30-59
    // and 60-63; V2: the low word, and for context 7 the high one.
    static constexpr MaskCut kV1[] = {{0, 0x3FFFFFFFu}, {30, 0x3FFFFFFFu}, {60, 0xFu}};
    static constexpr MaskCut kV2[] = {{0, ~0u}, {32, ~0u}};
    const MaskCut* const p = version == DualTopoMeshCoder::V1 ? kV1 : kV2;
    return {p, k != 7 ? 1u : version == DualTopoMeshCoder::V1 ? 3u : 2u};
}

void cutMasks(int version, int k, const VqVec<uint64_t>& masks, std::vector<VqVecu>& out) {
    const MaskCuts cuts = maskCuts(version, k);
    const size_t n = masks.size();
    // Resized, not replaced: a kept out keeps its capacity.
    out.resize(cuts.n);
    // One chunk per loop, through plain pointers: the compiler vectorises
    // each, which it would not across the chunks' vectors.
    const uint64_t* m = masks.data();
    for (size_t j = 0; j < cuts.n; ++j) {
        out[j].resize(n);
        uint32_t* c = out[j].data();
        const int sh = cuts.p[j].shift;
        const uint32_t mk = cuts.p[j].mask;
        for (size_t i = 0; i < n; ++i)
            c[i] = uint32_t(m[i] >> sh) & mk;
    }
}

void chainInts(const VqVeci& v, Lookup2Chain& ch) {
    ch.addWords(reinterpret_cast<const uint32_t*>(v.data()), uint32_t(v.size()));
}

// The streams in the order the check value chains them (see the class
// comment), the masks read in place as the version cuts them.
void chainStreams(const DualMeshSymbols& y, int version, Lookup2Chain& ch) {
    for (int k = 0; k < DualMeshSymbols::kNumContexts; ++k)
        chainInts(y.vviOutDegSyms[k], ch);
    chainInts(y.viOutValSyms, ch);
    chainInts(y.viOutVGrpSyms, ch);
    ch.addHalves(y.vuOutVtxFlags.data(), uint32_t(y.vuOutVtxFlags.size()));
    for (int k = 0; k < DualMeshSymbols::kNumContexts; ++k) {
        const MaskCuts cuts = maskCuts(version, k);
        const VqVec<uint64_t>& m = y.vvuOutAttrMasks[k];
        for (size_t j = 0; j < cuts.n; ++j)
            ch.addBits(m.data(), uint32_t(m.size()), cuts.p[j].shift, cuts.p[j].mask);
    }
    ch.addWords(y.vuOutAttrMasksLrg.data(), uint32_t(y.vuOutAttrMasksLrg.size()));
    chainInts(y.viOutSplitFaceSyms, ch);
    chainInts(y.viOutSplitPosSyms, ch);
}
} // namespace

DualTopoMeshCoder::DualTopoMeshCoder() = default;
DualTopoMeshCoder::~DualTopoMeshCoder() = default;

DualTopoMeshCoder* DualTopoMeshCoder::acquireDualTopoMeshCoder(int version) {
    if (version != V1 && version != V2) return nullptr;
    {
        std::lock_guard<std::mutex> lock(s_poolMutex);
        auto& pool = s_vpPool[version - 1];
        if (!pool.empty()) {
            DualTopoMeshCoder* p = pool.back().release();
            pool.pop_back();
            return p;
        }
    }
    if (version == V1) return new DualTopoMeshCoderV1();
    return new DualTopoMeshCoderV2();
}

void DualTopoMeshCoder::releaseDualTopoMeshCoder(DualTopoMeshCoder* pCoder) {
    if (!pCoder) return;
    pCoder->clearState();
    std::unique_ptr<DualTopoMeshCoder> p(pCoder);
    std::lock_guard<std::mutex> lock(s_poolMutex);
    s_vpPool[pCoder->version() - 1].push_back(std::move(p));
}

void DualTopoMeshCoder::s_shrinkDualTopoMeshCoderPool() {
    std::lock_guard<std::mutex> lock(s_poolMutex);
    for (auto& pool : s_vpPool)
        pool.clear();
}

bool DualTopoMeshCoder::setTopoMesh(const VqTopoMesh* pTM) {
    VQ_CHECK(pTM, kCls, "setTopoMesh", VQ_ERR_ARGUMENT);
    const VqTopoMesh::PrimKind eKind = pTM->primKind();
    VQ_CHECK(eKind == VqTopoMesh::VQ_PRIM_TRISTRIP || eKind == VqTopoMesh::VQ_PRIM_POLYGON, kCls,
             "setTopoMesh", VQ_ERR_ARGUMENT);
    _pTM = pTM;
    return true;
}

void DualTopoMeshCoder::setVertexData(VqVecf coords, int nComps, VqVertexRecordPool* pAttrs) {
    _vfCoords = std::move(coords);
    _nCoordComps = nComps;
    _pAttrs = pAttrs;
    _bOwnAttrs = false;
    _dPointGap = 0;
}

void DualTopoMeshCoder::clearState() {
    _pTM = nullptr;
    _syms.clear();
    _src.clear();
    _dst.clear();
    _pVFM.reset();
    _viCoordOrder.clear();
    _viAttrOrder.clear();
    _vfCoords.clear();
    _nCoordComps = 0;
    _pAttrs = nullptr;
    _bOwnAttrs = false;
    _dPointGap = 0;
    _uRefHash = 0;
    _nCovers = _nAliases = 0;
}

void DualTopoMeshCoder::shrink() {
    clearState();
    _freeDecodeScratch();
    _src.shrink();
    _pCoder.reset();
    _viCoordOrder.shrink_to_fit();
    _viAttrOrder.shrink_to_fit();
    _vfCoords.shrink_to_fit();
}

uint32_t DualTopoMeshCoder::computeCheckValue() const {
    Lookup2Chain ch;
    chainStreams(_syms, version(), ch);
    return ch.finish();
}

void DualTopoMeshCoder::_freeDecodeScratch() {
    _dst.shrink();
    _syms.shrink();
    _pDecoder.reset();
    _pTopoStorage.reset();
    _pTriStripperEngine.reset();
    _pCollocScratch.reset();
}

bool DualTopoMeshCoder::_checkChunks(const std::vector<VqVecu>& chunks, size_t nChunks, const char* cls) {
    VQ_CHECK(chunks.size() == nChunks, cls, "_joinMaskChunks", VQ_ERR_CORRUPT);
    for (const VqVecu& c : chunks)
        VQ_CHECK(c.size() == chunks[0].size(), cls, "_joinMaskChunks", VQ_ERR_CORRUPT);
    return true;
}

bool DualTopoMeshCoder::encode() {
    VQ_CHECK(_pTM, kCls, "encode", VQ_ERR_ARGUMENT);
    VqTopoMesh* pTM = const_cast<VqTopoMesh*>(_pTM);
    VqVertexRecordPool* pVP = pTM->vtxRecPool();
    VQ_PROPAGATE(pTM->lockRead(true));
    if (!pVP->lockRead(true)) {
        pTM->lockRead(false);
        VqErrorState::rethrowError();
        return false;
    }
    bool ok = false;
    try {
        ok = _encodeLocked();
    } catch (...) {
        ok = VqErrorState::recordCurrentException(kCls, "encode");
    }
    pVP->lockRead(false);
    pTM->lockRead(false);
    VQ_PROPAGATE(ok);
    return true;
}

bool DualTopoMeshCoder::_encodeLocked() {
    _syms.clear();
    const VqVertexRecordPool& pool = *_pTM->vtxRecPool();
    _pVFM = std::make_unique<VqVFMesh>();
    VQ_PROPAGATE(_pVFM->doImport(*_pTM));
    VQ_PROPAGATE(_pVFM->extractCoverFaces());
    VQ_PROPAGATE(_pVFM->buildDual(_src));
    _nCovers = _pVFM->numCovers();
    _nAliases = _pVFM->numAliases();
    _pVFM.reset();
    if (!_pCoder) _pCoder = std::make_unique<DualMeshCoderV1>();
    VQ_PROPAGATE(_pCoder->encode(_src, _dst, _syms, _viCoordOrder, _viAttrOrder));

    // Vertex data: each vertex's coordinates from one of its records (all
    // of them lie at its position).
    _nCoordComps = pool.fields()->numVtxCoordComps();
    const float* pfCoords = pool.fields()->vtxCoords();
    _dPointGap = 0; // the source's positions: no codes tell of them
    _vfCoords.resize(_viCoordOrder.size() * size_t(_nCoordComps));
    for (size_t i = 0; i < _viCoordOrder.size(); ++i) {
        const int V = _viCoordOrder[i];
        int rec = -1;
        for (int s = 0; s < _src.vertValence(V) && rec < 0; ++s)
            rec = _src.vertAttr(V, s);
        VQ_CHECK(rec >= 0, kCls, "encode", VQ_ERR_INTERNAL);
        std::copy_n(pfCoords + size_t(rec) * size_t(_nCoordComps), _nCoordComps,
                    _vfCoords.data() + i * size_t(_nCoordComps));
    }
    _pAttrs = new VqVertexRecordPool(pool.getBindings());
    VQ_PROPAGATE(_pAttrs->lockWrite(true));
    // The records take their auxiliary fields along only into fields of the
    // same GUID: the copy gets an empty one of each first.
    for (uint32_t k = 0; k < pool.numAuxFields(); ++k) {
        const Vq::AuxVertexField* f = pool.auxField(k);
        Vq::SharedPtr<Vq::AuxVertexField> empty;
        const bool bound = Vq::AuxVertexField::s_create(f->type(), f->guid(), f->numSteps(), 0, empty) &&
                           empty->setQuantizationBits(f->quantizationBits()) &&
                           _pAttrs->bindAuxField(empty.get());
        if (!bound) {
            _pAttrs->lockWrite(false);
            VqErrorState::rethrowError();
            return false;
        }
    }
    uint32_t first = 0;
    // A null index list means "every record of the source": a mesh with
    // nothing to code (whose order list may never have been allocated) adds
    // no records at all.
    const bool ok = _viAttrOrder.empty() ||
                    _pAttrs->addVtxRecords(pool, reinterpret_cast<const uint32_t*>(_viAttrOrder.data()),
                                           uint32_t(_viAttrOrder.size()), nullptr, first);
    _pAttrs->lockWrite(false);
    VQ_PROPAGATE(ok);
    _uRefHash = computeCheckValue();
    _src.clear();
    return true;
}

bool DualTopoMeshCoder::_decodeSymbols() {
    if (!_pDecoder) _pDecoder = std::make_unique<DualMeshDecoderV1>();
    // No check value: an empty chain.
    Lookup2Chain none;
    VQ_PROPAGATE(_pDecoder->decode(_syms, _dst, none));
    return true;
}

bool DualTopoMeshCoder::decode(VqTopoMesh::PrimKind eKind, Vq::SharedPtr<VqTopoMesh>& out) {
    out = nullptr;
    VQ_CHECK(eKind == VqTopoMesh::VQ_PRIM_TRISTRIP || eKind == VqTopoMesh::VQ_PRIM_POLYGON, kCls, "decode",
             VQ_ERR_ARGUMENT);
    bool ok = false;
    try {
        // The check value is hashed within the walk, a block at a time: the
        // hash is a serial chain of ALU work, and the walk leaves ALU slots
        // idle while it waits on its dependent loads. The walk only reads
        // the streams the value covers, and it is safe on any streams (it
        // bounds every read and refuses what describes no mesh), so walking
        // before the value is known risks nothing; the value is compared
        // before anything is exported.
        if (!_pDecoder) _pDecoder = std::make_unique<DualMeshDecoderV1>();
        Lookup2Chain check;
        chainStreams(_syms, version(), check);
        const auto matches = [this](uint32_t uHash) {
            const uint32_t uRefHash = _uRefHash;
            VQ_CHECK(uHash == uRefHash, kCls, "decode", VQ_ERR_CORRUPT);
            return true;
        };
        ok = _pDecoder->decode(_syms, _dst, check) && matches(check.finish()) && _doExport(eKind, out);
    } catch (...) {
        ok = VqErrorState::recordCurrentException(kCls, "decode");
    }
    if (_dst.numVerts() > kLargeMeshVerts) _freeDecodeScratch();
    if (!ok) {
        out = nullptr;
        VqErrorState::rethrowError();
        return false;
    }
    return true;
}

namespace {
// The strips of checked polygons of triangles, which share their pool. Kept
// out of _doExport, where inlined it cost the polygons' loops registers.
[[gnu::noinline]] bool exportStrips(VqPolygonTopoMesh& polys, VqVertexRecordPool& pool, int nCoordComps,
                                    VqTopoMeshTopology& t, VqTriStripperEngine& engine,
                                    Vq::SharedPtr<VqTopoMesh>& out) {
    // The polygons' topology is derived into storage the coder keeps, not
    // into the mesh: neither the stripper nor the listing below reads
    // edges, the vertices' start half-edges or the atoms' facets, and a
    // topology without them must not become a mesh's own, where any later
    // caller would take it for whole. The polygons are dropped when the
    // decode returns.
    {
        VqTopoMeshPrimitives view;
        VQ_PROPAGATE(polys.acquirePrimitives(view, false));
        vqBuildTopoMeshTopology(VqTopoMesh::VQ_PRIM_POLYGON, view.nPrims, view.paiPrimStart, view.paiIndices,
                                pool.numVtxRecords(), pool.fields()->vtxCoords(), nCoordComps, t,
                                pool._positionRings(), false);
        VQ_PROPAGATE(polys.releasePrimitives(view));
    }
    Vq::SharedPtr<VqTriStripTopoMesh> pTSTM = new VqTriStripTopoMesh(&pool);
    VQ_PROPAGATE(engine.apply(pTSTM.get(), &polys, &t));
    // The strips are checked through the polygons' topology: when they list
    // its facets, each once and turned as there, their own topology is that
    // one renumbered, and deriving it again (a third of a strip decode)
    // proves nothing more.
    bool bListed = false;
    {
        VqTopoMeshPrimitives view;
        VqVec<uint8_t> used;
        VQ_PROPAGATE(pTSTM->acquirePrimitives(view, false));
        bListed = vqStripsListFacets(t, view.nPrims, view.paiPrimStart, view.paiIndices, used);
        VQ_PROPAGATE(pTSTM->releasePrimitives(view));
    }
    if (!bListed) VQ_FAIL(kCls, "_doExport", "_pTM->isTopologyValid()", VQ_ERR_CORRUPT);
    out = pTSTM.get();
    return true;
}

// Nearly every decoded mesh is triangles of one group without covers, their
// corners laid out in polygon order, each vertex with one record: then the
// corners' records are the corners' vertices as they lie. The mesh tells
// (VqDualVFMesh::plainTriangles); the vertices are then taken four corners
// a load pair, without a visit to each polygon. False for any other mesh,
// whose arrays the general passes then write anew. uNeg receives the bits of
// every record, for the sign test.
bool plainTriangles(const VqDualVFMesh& m, int nPolys, uint32_t* pStart, uint32_t* pIdx, uint32_t& uNeg) {
    const size_t nCorners = 3 * size_t(nPolys);
    if (nPolys <= 0 || m.numPolyCorners() < nCorners || !m.plainTriangles()) return false;
    const VqDualVFMesh::Corner* const base = m.polyRing(0);
    Vq::fillSteps(pStart, uint32_t(nPolys), 3);
    static_assert(sizeof(VqDualVFMesh::Corner) == 2 * sizeof(int32_t) &&
                      offsetof(VqDualVFMesh::Corner, iElem) == 0,
                  "a corner is its vertex and its slot");
    // The vertices are the even words: moved as float bits, never computed.
    const float* words = reinterpret_cast<const float*>(base);
    __m128i vBits = _mm_setzero_si128();
    size_t k = 0;
    for (; k + 4 <= nCorners; k += 4) {
        const __m128 a = _mm_loadu_ps(words + 2 * k), b = _mm_loadu_ps(words + 2 * k + 4);
        const __m128i v = _mm_castps_si128(_mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)));
        vBits = _mm_or_si128(vBits, v);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(pIdx + k), v);
    }
    uint32_t bits = uint32_t(_mm_movemask_ps(_mm_castsi128_ps(vBits))) ? 0x80000000u : 0u;
    for (; k < nCorners; ++k) {
        bits |= uint32_t(base[k].iElem);
        pIdx[k] = uint32_t(base[k].iElem);
    }
    uNeg = bits;
    return true;
}
} // namespace

bool DualTopoMeshCoder::_doExport(VqTopoMesh::PrimKind eKind, Vq::SharedPtr<VqTopoMesh>& out) {
    const VqDualVFMesh& m = _dst;
    const int nVerts = m.numVerts(), nPolys = m.numPolys();
    VQ_CHECK(_pAttrs, kCls, "_doExport", VQ_ERR_CORRUPT);
    VQ_CHECK(_nCoordComps >= 2 && _nCoordComps <= 4, kCls, "_doExport", VQ_ERR_CORRUPT);
    // The texts name the streams' counterparts in the records' readers.
    if (_vfCoords.size() != size_t(nVerts) * size_t(_nCoordComps))
        VQ_FAIL(kCls, "_doExport", "vFaceCoordOrder.length() == _viFaceCoordOrder.length()", VQ_ERR_CORRUPT);
    if (_pAttrs->numVtxRecords() != m.numAttrs())
        VQ_FAIL(kCls, "_doExport", "nVFFaceAttrs == _pSrcVFM->numAttrs()", VQ_ERR_CORRUPT);
    VQ_CHECK(_pAttrs->fields()->numVtxCoordComps() == _nCoordComps, kCls, "_doExport", VQ_ERR_CORRUPT);
    // The pool: the attribute records, each placed at its vertex. A pool
    // read from a section is taken as it is (its copy was most of the
    // export's own work); the coder lets go of it, as the mesh renumbers
    // it, so that nothing decodes from it again.
    // Nearly every decoded vertex has one record for all its corners. When
    // every vertex has, the records are the vertices in order (a vertex's
    // records are numbered on from the earlier vertices'), and the
    // coordinates and the corners' records need no lookup through the rings.
    const bool bOneEach = m.oneAttrEach();
    Vq::SharedPtr<VqVertexRecordPool> pVP;
    const bool bOwn = _bOwnAttrs;
    if (bOwn) {
        pVP = std::move(_pAttrs);
        _bOwnAttrs = false;
    } else {
        VQ_PROPAGATE(_pAttrs->clone(pVP));
    }
    // The records' positions are the decoded points themselves when the pool
    // takes them: then what the codes tell of how far apart they lie holds
    // for the records too.
    double dPointGap = 0;
    if (bOneEach && bOwn) {
        // The vertices' coordinates are the records' as they stand, and the
        // coder lets go of them with the pool: the pool takes the array.
        VqVecf taken = std::move(_vfCoords);
        _vfCoords.clear();
        VQ_PROPAGATE(pVP->_swapVtxCoords(taken));
        dPointGap = _dPointGap;
    } else {
        VqBaseVertexRecordPoolInternals in;
        VQ_PROPAGATE(pVP->acquireInternals(in, true));
        // Three coordinates, nearly every pool, are copied without a call
        // per record.
        auto place = [&](auto nComps) {
            for (int v = 0; v < nVerts; ++v) {
                const float* c = _vfCoords.data() + size_t(v) * size_t(nComps);
                const uint32_t a0 = m.vertFirstAttr(v), a1 = a0 + uint32_t(m.vertNumAttrs(v));
                for (uint32_t a = a0; a < a1; ++a)
                    for (int k = 0; k < int(nComps); ++k)
                        in.pfCoords[size_t(a) * size_t(nComps) + size_t(k)] = c[k];
            }
        };
        if (bOneEach)
            std::copy(_vfCoords.begin(), _vfCoords.end(), in.pfCoords);
        else if (_nCoordComps == 3)
            place(std::integral_constant<int, 3>());
        else
            place(_nCoordComps);
        VQ_PROPAGATE(pVP->releaseInternals(in));
    }
    // Polygons by face group, covers left out (group -1 joins group 0).
    // Polygons that are not triangles are noted, not refused, in the passes,
    // and so are corners without a record: nothing else in them can fail,
    // and they write every slot they sized whatever they read.
    // The arrays are the result's, new with every decode, written through
    // pointers: appending checked the room at every corner.
    VqVecu faceGrps(2, 0), primStart, indices;
    int nCover = 0, iAtom = 0;
    uint32_t nWritten = 0, uNeg = 0, uNotTri = 0;
    auto viaRing = [&m](const VqDualVFMesh::Corner& c) { return m.vertAttrs(c.iElem)[c.iSlot]; };
    auto vertexItself = [](const VqDualVFMesh::Corner& c) { return c.iElem; };
    // Nearly every mesh has one face group: one pass writes its polygons as
    // it meets them, into arrays sized for every corner (the covers' too),
    // and counts as it goes; a pass only to count read every polygon twice.
    // A polygon of another group ends it, and the passes below sort.
    // Unset: the slots read are the ones written, the rest cut off below.
    primStart.resizeUnset(size_t(nPolys) + 1);
    indices.resizeUnset(size_t(m.numPolyCorners()));
    auto oneGroup = [&](auto recordOf) {
        uint32_t* const pStart = primStart.data();
        uint32_t* const pIdx = indices.data();
        // The counts in locals, stored once: captured, they stayed in memory.
        uint32_t n = 0, neg = 0, notTri = 0;
        int i = 0, covers = 0;
        bool bOne = true;
        for (int p = 0; p < nPolys; ++p) {
            if (m.isCover(p)) {
                ++covers;
                continue;
            }
            if (m.polyGroup(p) > 0) {
                bOne = false;
                break;
            }
            pStart[i++] = n;
            const VqDualVFMesh::Corner* ring = m.polyRing(p);
            auto corner = [&](int s) {
                const int iAttrRec = recordOf(ring[s]);
                neg |= uint32_t(iAttrRec);
                pIdx[n++] = uint32_t(iAttrRec);
            };
            const int cVal = m.polyDegree(p);
            notTri |= uint32_t(cVal ^ 3);
            if (cVal == 3) {
                corner(0), corner(1), corner(2);
            } else {
                for (int s = 0; s < cVal; ++s)
                    corner(s);
            }
        }
        nWritten = n, uNeg = neg, uNotTri = notTri, iAtom = i, nCover = covers;
        return bOne;
    };
    // Whether the records come in the order the polygons written first use
    // them, every one used. The walk numbers a vertex as it links it into
    // the polygon being completed, and completes each polygon before it
    // adds the next, so the polygons in the order they were added use the
    // vertices first in theirs; with one record a vertex and no cover left
    // out, the records follow.
    bool bFirstUseOrder = false;
    if (bOneEach && plainTriangles(m, nPolys, primStart.data(), indices.data(), uNeg)) {
        iAtom = nPolys;
        nWritten = 3 * uint32_t(nPolys);
        faceGrps[1] = uint32_t(iAtom);
        bFirstUseOrder = true;
    } else if (bOneEach ? oneGroup(vertexItself) : oneGroup(viaRing)) {
        faceGrps[1] = uint32_t(iAtom);
        bFirstUseOrder = bOneEach && nCover == 0;
    } else {
        // One pass counts the polygons per group, the next writes them in
        // group order.
        nCover = 0, nWritten = 0, uNeg = 0, uNotTri = 0;
        // The counts through a pointer and a size kept beside it: the
        // vector's own were read again after every count.
        uint32_t* grpCount = faceGrps.data();
        size_t nGrpSlots = faceGrps.size();
        for (int p = 0; p < nPolys; ++p) {
            if (m.isCover(p)) {
                ++nCover;
                continue;
            }
            const size_t g = size_t(std::max(m.polyGroup(p), 0));
            if (g + 2 > nGrpSlots) {
                faceGrps.resize(g + 2, 0);
                grpCount = faceGrps.data();
                nGrpSlots = faceGrps.size();
            }
            ++grpCount[g + 1];
            uNotTri |= uint32_t(m.polyDegree(p) ^ 3);
        }
        const size_t nGroups = faceGrps.size() - 1;
        for (size_t g = 0; g < nGroups; ++g)
            faceGrps[g + 1] += faceGrps[g];
        iAtom = int(faceGrps.back());
        std::vector<uint32_t> order(static_cast<size_t>(iAtom));
        {
            std::vector<uint32_t> fill(faceGrps.begin(), faceGrps.end() - 1);
            for (int p = 0; p < nPolys; ++p)
                if (!m.isCover(p)) order[fill[size_t(std::max(m.polyGroup(p), 0))]++] = uint32_t(p);
        }
        uint32_t* pStart = primStart.data();
        uint32_t* pIdx = indices.data();
        // One loop for each way of writing the polygons, so that neither
        // choice is made again at every polygon.
        auto writeAll = [&](auto writePoly, auto recordOf) {
            for (int i = 0; i < iAtom; ++i) {
                const int p = int(order[size_t(i)]);
                pStart[i] = nWritten;
                const VqDualVFMesh::Corner* ring = m.polyRing(p);
                auto corner = [&](int s) {
                    const int iAttrRec = recordOf(ring[s]);
                    uNeg |= uint32_t(iAttrRec);
                    pIdx[nWritten++] = uint32_t(iAttrRec);
                };
                writePoly(p, corner);
            }
        };
        auto triangle = [](int, auto& corner) { corner(0), corner(1), corner(2); };
        auto polygon = [&m](int p, auto& corner) {
            const int cVal = m.polyDegree(p);
            for (int s = 0; s < cVal; ++s)
                corner(s);
        };
        auto writeBy = [&](auto writePoly) {
            if (bOneEach)
                writeAll(writePoly, vertexItself);
            else
                writeAll(writePoly, viaRing);
        };
        if (uNotTri == 0)
            writeBy(triangle);
        else
            writeBy(polygon);
    }
    if (eKind == VqTopoMesh::VQ_PRIM_TRISTRIP && uNotTri != 0)
        VQ_FAIL(kCls, "_doExport", "cVal == 3", VQ_ERR_CORRUPT);
    VQ_CHECK(nPolys - nCover == iAtom, kCls, "_doExport", VQ_ERR_INTERNAL);
    // Shortened, never grown: the slots past the ends were sized for covers.
    primStart.resize(size_t(iAtom) + 1);
    primStart[size_t(iAtom)] = nWritten;
    indices.resize(size_t(nWritten));
    if (uNeg >> 31) VQ_FAIL(kCls, "_doExport", "iAttrRec >= 0", VQ_ERR_CORRUPT);

    Vq::SharedPtr<VqPolygonTopoMesh> pPTM = new VqPolygonTopoMesh(pVP.get());
    VQ_PROPAGATE(pPTM->lockWrite(true));
    const bool bAssigned =
        pPTM->_assignPrimitives(std::move(primStart), std::move(indices), std::move(faceGrps));
    pPTM->lockWrite(false);
    VQ_PROPAGATE(bAssigned);
    // The collocation check first: it renumbers the records, which drops a
    // topology built before it. In this order the topology a strip decode
    // derives below is the polygons' own, and the stripper walks it as it is.
    if (!_pCollocScratch) _pCollocScratch = std::make_unique<CollocScratch>();
    _pCollocScratch->dPointGap = dPointGap;
    _pCollocScratch->bFirstUseOrder = bFirstUseOrder;
    const bool bValidColloc = pVP->_isValidColloc(_pCollocScratch.get());
    _pCollocScratch->dPointGap = 0;
    _pCollocScratch->bFirstUseOrder = false;
    if (!bValidColloc) VQ_FAIL(kCls, "_doExport", "_pPTM->vtxRecPool()->_isValidColloc()", VQ_ERR_CORRUPT);
    // Polygons that pass the array checks always have a topology: the
    // derivation drops degenerate facets, pairs what its rule pairs and
    // leaves the rest as borders or non-manifold edges. The arrays were
    // checked when assigned, and the renumbering maps every index the pool
    // checked onto one of its records: checking them again could not fail.
    // The polygon mesh is returned without a topology (it is derived on
    // demand).
    if (eKind == VqTopoMesh::VQ_PRIM_POLYGON) {
        out = pPTM.get();
        return true;
    }
    if (!_pTopoStorage) _pTopoStorage = std::make_unique<VqTopoMeshTopology>();
    if (!_pTriStripperEngine) _pTriStripperEngine = std::make_unique<VqTriStripperEngine>();
    return exportStrips(*pPTM, *pVP, _nCoordComps, *_pTopoStorage, *_pTriStripperEngine, out);
}

void DualTopoMeshCoderV1::_maskChunks(int k, std::vector<VqVecu>& out) const {
    cutMasks(V1, k, _syms.vvuOutAttrMasks[k], out);
}

bool DualTopoMeshCoderV1::_joinMaskChunks(int k, const std::vector<VqVecu>& chunks) {
    VQ_CHECK(k >= 0 && k < DualMeshSymbols::kNumContexts, "DualTopoMeshCoderV1", "_joinMaskChunks",
             VQ_ERR_ARGUMENT);
    VQ_PROPAGATE(_checkChunks(chunks, k == 7 ? 3 : 1, "DualTopoMeshCoderV1"));
    VqVec<uint64_t>& masks = _syms.vvuOutAttrMasks[k];
    const size_t n = chunks[0].size();
    masks.resize(n);
    // Through plain pointers, the context's choice made once: through the
    // vectors every size and data pointer was read again at every mask.
    uint64_t* m = masks.data();
    const uint32_t* c0 = chunks[0].data();
    if (k != 7) {
        for (size_t i = 0; i < n; ++i)
            m[i] = c0[i] & 0x3FFFFFFFu;
        return true;
    }
    const uint32_t* c1 = chunks[1].data();
    const uint32_t* c2 = chunks[2].data();
    for (size_t i = 0; i < n; ++i)
        m[i] = (c0[i] & 0x3FFFFFFFu) | (uint64_t(c1[i] & 0x3FFFFFFFu) << 30) | (uint64_t(c2[i] & 0xFu) << 60);
    return true;
}

void DualTopoMeshCoderV2::_maskChunks(int k, std::vector<VqVecu>& out) const {
    cutMasks(V2, k, _syms.vvuOutAttrMasks[k], out);
}

bool DualTopoMeshCoderV2::_joinMaskChunks(int k, const std::vector<VqVecu>& chunks) {
    VQ_CHECK(k >= 0 && k < DualMeshSymbols::kNumContexts, "DualTopoMeshCoderV2", "_joinMaskChunks",
             VQ_ERR_ARGUMENT);
    VQ_PROPAGATE(_checkChunks(chunks, k == 7 ? 2 : 1, "DualTopoMeshCoderV2"));
    VqVec<uint64_t>& masks = _syms.vvuOutAttrMasks[k];
    const size_t n = chunks[0].size();
    const uint32_t* c0 = chunks[0].data();
    // Widened as copied, without filling the masks first.
    if (k != 7) {
        masks.assign(c0, c0 + n);
        return true;
    }
    masks.resize(n);
    uint64_t* m = masks.data();
    const uint32_t* c1 = chunks[1].data();
    for (size_t i = 0; i < n; ++i)
        m[i] = c0[i] | uint64_t(c1[i]) << 32;
    return true;
}

} // namespace Vq
