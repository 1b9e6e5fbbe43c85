#include "VqVertexRecordFields.h"

#include "VqErrorState.h"
#include "VqFactory.h"

#include <algorithm>
#include <cstring>
#include <new>

VQ_IMPLEMENT_ABSTRACT_TYPE(Vq::VertexRecordFields, VqBase, CLSID_VQVertexRecordFields)

namespace Vq {

namespace {
constexpr const char* kCls = "Vq::VertexRecordFields";

// One attribute array with its component count, so that the operations on
// records run over all of them alike.
struct Attr {
    VqVecf* v;
    int nComps;
};

// Copies components [0, min) of every record from an array of nFrom
// components to one of nTo, and gives the components the old layout lacks
// their neutral value: w of a coordinate and alpha of a colour are 1.
void relay(const VqVecf& from, int nFrom, VqVecf& to, int nTo, uint32_t n, float fill4th) {
    to.assign(size_t(n) * nTo, 0.0f);
    const int nCommon = std::min(nFrom, nTo);
    for (uint32_t i = 0; i < n; ++i) {
        const float* s = from.data() + size_t(i) * nFrom;
        float* d = to.data() + size_t(i) * nTo;
        for (int c = 0; c < nCommon; ++c)
            d[c] = s[c];
        if (nTo == 4 && nFrom < 4) d[3] = fill4th;
    }
}
} // namespace

size_t VertexRecordFields::coreVtxRecSize() const {
    int n = _nCoordComps + _nNormalComps + _nColorComps;
    for (int k = 0; k < VQ_GEOMBIND_NUM_TEXUNITS; ++k)
        n += _anTexComps[k];
    return sizeof(float) * static_cast<size_t>(n);
}

bool VertexRecordFields::_decodeBindings(uint64_t e, Layout& out, const char* cls) {
    Layout l;
    switch (e & VQ_GEOMBIND_VTXCOORD_MASK) {
    case VQ_GEOMBIND_VTXCOORD2:
        l.nCoord = 2;
        break;
    case VQ_GEOMBIND_VTXCOORD3:
        l.nCoord = 3;
        break;
    case VQ_GEOMBIND_VTXCOORD4:
        l.nCoord = 4;
        break;
    default:
        VQ_FAIL(cls, "setBindings", "Incorrect vertex coord bindings specified", VQ_ERR_ARGUMENT);
    }
    l.nNormal = (e & VQ_GEOMBIND_NORMVEC_MASK) ? 3 : 0;
    switch (e & VQ_GEOMBIND_VTXCOLOR_MASK) {
    case 0:
        l.nColor = 0;
        break;
    case VQ_GEOMBIND_VTXCOLOR3:
        l.nColor = 3;
        break;
    case VQ_GEOMBIND_VTXCOLOR4:
        l.nColor = 4;
        break;
    default:
        VQ_FAIL(cls, "setBindings", "Incorrect vertex color bindings specified", VQ_ERR_ARGUMENT);
    }
    for (int k = 0; k < VQ_GEOMBIND_NUM_TEXUNITS; ++k) {
        const uint64_t nibble = e & vqTexCoordMask(k);
        int n = -1;
        for (int c = 0; c <= 4; ++c)
            if (nibble == (c == 0 ? 0 : vqTexCoordBinding(k, c))) n = c;
        if (n < 0) VQ_FAIL(cls, "setBindings", "Incorrect tex coord bindings specified", VQ_ERR_ARGUMENT);
        l.anTex[k] = n;
    }
    l.bFlags = (e & VQ_GEOMBIND_VTXFLAG_MASK) != 0;
    out = l;
    return true;
}

VertexRecordFields::Layout VertexRecordFields::_layout() const {
    Layout l;
    l.nCoord = _nCoordComps;
    l.nNormal = _nNormalComps;
    l.nColor = _nColorComps;
    for (int k = 0; k < VQ_GEOMBIND_NUM_TEXUNITS; ++k)
        l.anTex[k] = _anTexComps[k];
    l.bFlags = hasVtxFlags();
    return l;
}

void VertexRecordFields::_setLayout(uint64_t eBindings, const Layout& l) {
    _eBindings = eBindings;
    _nCoordComps = l.nCoord;
    _nNormalComps = l.nNormal;
    _nColorComps = l.nColor;
    for (int k = 0; k < VQ_GEOMBIND_NUM_TEXUNITS; ++k)
        _anTexComps[k] = l.anTex[k];
}

bool VertexRecordFields::_recomponentize(const Layout& to) {
    const uint32_t n = _nRecs;
    VqVecf coords, normals, colors, tex[VQ_GEOMBIND_NUM_TEXUNITS];
    VqBitVec flags;
    try {
        relay(_vfCoords, _nCoordComps, coords, to.nCoord, n, 1.0f);
        // Coordinates that lose w keep the point they stood for.
        if (_nCoordComps == 4 && to.nCoord < 4)
            for (uint32_t i = 0; i < n; ++i) {
                const float w = _vfCoords[size_t(i) * 4 + 3];
                if (w == 0.0f) continue;
                for (int c = 0; c < to.nCoord; ++c)
                    coords[size_t(i) * to.nCoord + c] /= w;
            }
        relay(_vfNormals, _nNormalComps, normals, to.nNormal, n, 0.0f);
        relay(_vfColors, _nColorComps, colors, to.nColor, n, 1.0f);
        for (int k = 0; k < VQ_GEOMBIND_NUM_TEXUNITS; ++k)
            relay(_avfTexCoords[k], _anTexComps[k], tex[k], to.anTex[k], n, 0.0f);
        if (to.bFlags) {
            flags = _vbFlags;
            flags.resize(static_cast<int>(n));
        }
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, "_recomponentize", "Memory Allocation", VQ_ERR_ALLOC);
    }
    _vfCoords.swap(coords);
    _vfNormals.swap(normals);
    _vfColors.swap(colors);
    for (int k = 0; k < VQ_GEOMBIND_NUM_TEXUNITS; ++k)
        _avfTexCoords[k].swap(tex[k]);
    std::swap(_vbFlags, flags);
    return true;
}

bool VertexRecordFields::resize(uint32_t n) {
    VQ_CHECK(n <= s_cMaxRecords, kCls, "resize", VQ_ERR_ARGUMENT);
    Attr attrs[3 + VQ_GEOMBIND_NUM_TEXUNITS] = {
        {&_vfCoords, _nCoordComps}, {&_vfNormals, _nNormalComps}, {&_vfColors, _nColorComps}};
    for (int k = 0; k < VQ_GEOMBIND_NUM_TEXUNITS; ++k)
        attrs[3 + k] = {&_avfTexCoords[k], _anTexComps[k]};
    try {
        // Value-initialised, the new floats are the zeros they must be, in
        // the wide stores of a byte fill: filled with an explicit 0.0f they
        // went out one store at a time.
        for (const Attr& a : attrs)
            a.v->resize(size_t(n) * a.nComps);
        if (hasVtxFlags()) _vbFlags.resize(static_cast<int>(n));
    } catch (const std::bad_alloc&) {
        // Cutting back never allocates, so the old count is restored whole.
        for (const Attr& a : attrs)
            a.v->resize(size_t(_nRecs) * a.nComps);
        if (hasVtxFlags()) _vbFlags.resize(static_cast<int>(_nRecs));
        VQ_FAIL(kCls, "resize", "Memory Allocation", VQ_ERR_ALLOC);
    }
    _nRecs = n;
    return true;
}

bool VertexRecordFields::swapVtxCoords(VqVecf& coords) {
    VQ_CHECK(coords.size() == size_t(_nRecs) * size_t(_nCoordComps), kCls, "swapVtxCoords", VQ_ERR_ARGUMENT);
    _vfCoords.swap(coords);
    return true;
}

void VertexRecordFields::copyRecord(uint32_t dst, uint32_t src) {
    auto copy = [&](VqVecf& v, int nComps) {
        if (nComps) std::memmove(&v[size_t(dst) * nComps], &v[size_t(src) * nComps], sizeof(float) * nComps);
    };
    copy(_vfCoords, _nCoordComps);
    copy(_vfNormals, _nNormalComps);
    copy(_vfColors, _nColorComps);
    for (int k = 0; k < VQ_GEOMBIND_NUM_TEXUNITS; ++k)
        copy(_avfTexCoords[k], _anTexComps[k]);
    if (hasVtxFlags()) _vbFlags.set(static_cast<int>(dst), _vbFlags.get(static_cast<int>(src)));
}

bool VertexRecordFields::reorder(const uint32_t* recordMap, uint32_t nRecs, const uint32_t* coordMap) {
    const uint32_t nOrigRecs = _nRecs;
    const uint32_t nCoords = coordMap ? nRecs : 0;
    VQ_CHECK(nRecs <= nOrigRecs && nCoords <= nOrigRecs, kCls, "reorder", VQ_ERR_ARGUMENT);
    for (uint32_t j = 0; j < nRecs; ++j)
        if (recordMap[j] >= nOrigRecs || (coordMap && coordMap[j] >= nOrigRecs))
            VQ_FAIL(kCls, "reorder", "recordMap[j] < nOrigRecs && coordMap[j] < nOrigRecs", VQ_ERR_ARGUMENT);
    auto gather = [&](const VqVecf& from, int nComps, const uint32_t* map, VqVecf& to) {
        to.resize(size_t(nRecs) * nComps);
        for (uint32_t j = 0; nComps && j < nRecs; ++j)
            std::memcpy(&to[size_t(j) * nComps], &from[size_t(map[j]) * nComps], sizeof(float) * nComps);
    };
    VqVecf coords, normals, colors, tex[VQ_GEOMBIND_NUM_TEXUNITS];
    VqBitVec flags;
    try {
        gather(_vfCoords, _nCoordComps, coordMap ? coordMap : recordMap, coords);
        gather(_vfNormals, _nNormalComps, recordMap, normals);
        gather(_vfColors, _nColorComps, recordMap, colors);
        for (int k = 0; k < VQ_GEOMBIND_NUM_TEXUNITS; ++k)
            gather(_avfTexCoords[k], _anTexComps[k], recordMap, tex[k]);
        if (hasVtxFlags()) {
            flags.resize(static_cast<int>(nRecs));
            for (uint32_t j = 0; j < nRecs; ++j)
                if (_vbFlags.get(static_cast<int>(recordMap[j]))) flags.set(static_cast<int>(j));
        }
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, "reorder", "Memory Allocation", VQ_ERR_ALLOC);
    }
    _vfCoords.swap(coords);
    _vfNormals.swap(normals);
    _vfColors.swap(colors);
    for (int k = 0; k < VQ_GEOMBIND_NUM_TEXUNITS; ++k)
        _avfTexCoords[k].swap(tex[k]);
    std::swap(_vbFlags, flags);
    _nRecs = nRecs;
    return true;
}

bool VertexRecordFields::equalAuxRecords(uint32_t, uint32_t) const {
    return true;
}

bool VertexRecordFields::append(const VertexRecordFields& src, const uint32_t* indices, uint32_t n) {
    constexpr uint64_t kStd = ~VQ_GEOMBIND_AUXFIELDS_MASK;
    VQ_CHECK((src.bindings() & kStd) == (_eBindings & kStd), kCls, "append", VQ_ERR_ARGUMENT);
    for (uint32_t i = 0; i < n; ++i)
        VQ_CHECK(indices[i] < src.numRecords(), kCls, "append", VQ_ERR_ARGUMENT);
    VQ_CHECK(n <= s_cMaxRecords - _nRecs, kCls, "append", VQ_ERR_ARGUMENT);
    const uint32_t nOld = _nRecs;
    VQ_PROPAGATE(VertexRecordFields::resize(nOld + n));
    auto copy = [&](VqVecf& to, const VqVecf& from, int nComps) {
        for (uint32_t i = 0; nComps && i < n; ++i)
            std::memcpy(&to[size_t(nOld + i) * nComps], &from[size_t(indices[i]) * nComps],
                        sizeof(float) * nComps);
    };
    copy(_vfCoords, src._vfCoords, _nCoordComps);
    copy(_vfNormals, src._vfNormals, _nNormalComps);
    copy(_vfColors, src._vfColors, _nColorComps);
    for (int k = 0; k < VQ_GEOMBIND_NUM_TEXUNITS; ++k)
        copy(_avfTexCoords[k], src._avfTexCoords[k], _anTexComps[k]);
    if (hasVtxFlags())
        for (uint32_t i = 0; i < n; ++i)
            _vbFlags.set(static_cast<int>(nOld + i), src._vbFlags.get(static_cast<int>(indices[i])));
    return true;
}

void VertexRecordFields::clear(bool bFreeMemory) {
    auto drop = [bFreeMemory](VqVecf& v) {
        if (bFreeMemory)
            VqVecf().swap(v);
        else
            v.clear();
    };
    drop(_vfCoords);
    drop(_vfNormals);
    drop(_vfColors);
    for (VqVecf& v : _avfTexCoords)
        drop(v);
    _vbFlags = VqBitVec();
    _nRecs = 0;
}

void VertexRecordFields::shrink() {
    _vfCoords.shrink_to_fit();
    _vfNormals.shrink_to_fit();
    _vfColors.shrink_to_fit();
    for (VqVecf& v : _avfTexCoords)
        v.shrink_to_fit();
}

size_t VertexRecordFields::_memSize(bool deep) const {
    size_t n = VqBase::_memSize(deep);
    n += sizeof(float) * (_vfCoords.capacity() + _vfNormals.capacity() + _vfColors.capacity());
    for (const VqVecf& v : _avfTexCoords)
        n += sizeof(float) * v.capacity();
    return n + _vbFlags.words().capacity() * sizeof(uint32_t);
}

} // namespace Vq
