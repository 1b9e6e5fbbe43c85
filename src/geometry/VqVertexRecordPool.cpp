#include "VqVertexRecordPool.h"

#include "VqAuxDefVertexRecordFields.h"
#include "VqErrorState.h"
#include "VqFactory.h"
#include "VqStdError.h"
#include "VqStdException.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <type_traits>

VQ_IMPLEMENT_TYPE(VqVertexRecordPool, VqPropBase, CLSID_ZQVertexRecordPool)

const VqGUID VqVertexRecordPool::s_AUXFIELD_VQ_SKIN_INDICES(0xEF37DE47, 0x8563, 0x4DEE, 0xB1, 0x4B, 0x68,
                                                            0x59, 0x99, 0x44, 0xBC, 0x35);
const VqGUID VqVertexRecordPool::s_AUXFIELD_VQ_SKIN_WEIGHTS(0x0ACECF91, 0xD69B, 0x4C48, 0x98, 0xEC, 0x01,
                                                            0x84, 0x21, 0xA5, 0x47, 0x9D);
const VqGUID VqVertexRecordPool::s_AUXFIELD_VQ_TANVECS(0xD0B010CE, 0x8854, 0x4B84, 0xAE, 0x18, 0xB2, 0x03,
                                                       0xF8, 0xFF, 0x5D, 0x9D);

std::atomic<bool> VqVertexRecordPool::s_bEnforceLocking{true};

namespace {

constexpr const char* kCls = "VqVertexRecordPool";

std::atomic<float> s_fDefaultVertexEps{1e-6f};
std::atomic<float> s_fDefaultAngleEps{1e-4f};

// The refusal texts of addVtxRecords for a bound texture unit without data.
const char* const kTexNullText[VQ_GEOMBIND_NUM_TEXUNITS] = {
    "((eBindings&VQ_GEOMBIND_TEXCOORD_C0_MASK))&&(paTexCoords[0]) || "
    "!((eBindings&VQ_GEOMBIND_TEXCOORD_C0_MASK))",
    "((eBindings&VQ_GEOMBIND_TEXCOORD_C1_MASK))&&(paTexCoords[1]) || "
    "!((eBindings&VQ_GEOMBIND_TEXCOORD_C1_MASK))",
    "((eBindings&VQ_GEOMBIND_TEXCOORD_C2_MASK))&&(paTexCoords[2]) || "
    "!((eBindings&VQ_GEOMBIND_TEXCOORD_C2_MASK))",
    "((eBindings&VQ_GEOMBIND_TEXCOORD_C3_MASK))&&(paTexCoords[3]) || "
    "!((eBindings&VQ_GEOMBIND_TEXCOORD_C3_MASK))",
    "((eBindings&VQ_GEOMBIND_TEXCOORD_C4_MASK))&&(paTexCoords[4]) || "
    "!((eBindings&VQ_GEOMBIND_TEXCOORD_C4_MASK))",
    "((eBindings&VQ_GEOMBIND_TEXCOORD_C5_MASK))&&(paTexCoords[5]) || "
    "!((eBindings&VQ_GEOMBIND_TEXCOORD_C5_MASK))",
    "((eBindings&VQ_GEOMBIND_TEXCOORD_C6_MASK))&&(paTexCoords[6]) || "
    "!((eBindings&VQ_GEOMBIND_TEXCOORD_C6_MASK))",
    "((eBindings&VQ_GEOMBIND_TEXCOORD_C7_MASK))&&(paTexCoords[7]) || "
    "!((eBindings&VQ_GEOMBIND_TEXCOORD_C7_MASK))",
};

// Holds the pool's write lock for a scope.
class WriteGuard {
public:
    explicit WriteGuard(VqVertexRecordPool& pool) : _pool(pool), _bOk(pool.lockWrite(true)) {}
    ~WriteGuard() {
        if (_bOk) _pool.lockWrite(false);
    }
    WriteGuard(const WriteGuard&) = delete;
    WriteGuard& operator=(const WriteGuard&) = delete;
    bool ok() const { return _bOk; }

private:
    VqVertexRecordPool& _pool;
    bool _bOk;
};

float normalThreshold(float angleEps) {
    return static_cast<float>(1.0 - std::cos(static_cast<double>(angleEps)));
}

[[noreturn]] void throwRecorded(const char* function) {
    Vq::SharedPtr<VqStdError> e = VqErrorState::currentError();
    const std::string text = e ? e->description().toUtf8() : std::string("Memory Allocation");
    throw Vq::StdException(function, text.c_str(), e ? e->code() : VQ_ERR_ALLOC);
}

} // namespace

// ---- Construction

bool VqVertexRecordPool::s_setDefaultCollocateTol(float vertexEps, float angleEps) {
    VQ_CHECK(std::isfinite(vertexEps) && std::isfinite(angleEps), kCls, "s_setDefaultCollocateTol",
             VQ_ERR_ARGUMENT);
    s_fDefaultVertexEps = vertexEps;
    s_fDefaultAngleEps = angleEps;
    return true;
}

void VqVertexRecordPool::s_getDefaultCollocateTol(float& vertexEps, float& angleEps) {
    vertexEps = s_fDefaultVertexEps;
    angleEps = s_fDefaultAngleEps;
}

VqVertexRecordPool::VqVertexRecordPool()
    : _pFields(new Vq::AuxDefVertexRecordFields()), _fVertexEps(s_fDefaultVertexEps),
      _fAngleEps(s_fDefaultAngleEps), _fNormalThreshold(normalThreshold(_fAngleEps)) {
    if (!_pFields) throw Vq::StdException(__PRETTY_FUNCTION__, "Memory Allocation", VQ_ERR_ALLOC);
}

VqVertexRecordPool::VqVertexRecordPool(uint64_t eBindings) : VqVertexRecordPool() {
    Vq::BaseChange change;
    if (!_pFields->setBindings(eBindings, change)) throwRecorded(__PRETTY_FUNCTION__);
}

VqVertexRecordPool::VqVertexRecordPool(const VqVertexRecordPool& o)
    : VqPropBase(o), Vq::RWLockable(), _bCollocated(o._bCollocated), _bEquivRingsValid(o._bEquivRingsValid),
      _bDynamic(o._bDynamic), _vuIndexMap(o._vuIndexMap), _vuEquivRing(o._vuEquivRing),
      _fVertexEps(o._fVertexEps), _fAngleEps(o._fAngleEps), _fNormalThreshold(o._fNormalThreshold),
      _nVtxBits(o._nVtxBits), _nNormBits(o._nNormBits), _nTexBits(o._nTexBits), _nColBits(o._nColBits) {
    {
        // Another thread may be filling the original's box as we copy it.
        VqAutoLock lock(o._cacheMutex);
        _bbox = o._bbox;
        _bBBoxValid = o._bBBoxValid;
    }
    VqBase* pCopy = nullptr;
    if (!o._pFields->_clone(pCopy) || !pCopy)
        throw Vq::StdException(__PRETTY_FUNCTION__, "Memory Allocation", VQ_ERR_ALLOC);
    _pFields = static_cast<Vq::VertexRecordFields*>(pCopy);
}

VqVertexRecordPool::~VqVertexRecordPool() = default;

size_t VqVertexRecordPool::_memSize(bool deep) const {
    size_t n = VqPropBase::_memSize(deep) + sizeof(*this) - sizeof(VqPropBase);
    n += (_vuIndexMap.capacity() + _vuEquivRing.capacity()) * sizeof(uint32_t);
    return n + (deep ? _pFields->_memSize(true) : 0);
}

bool VqVertexRecordPool::clone(Vq::SharedPtr<VqVertexRecordPool>& out) const {
    out = nullptr;
    VqBase* p = nullptr;
    try {
        if (!_clone(p)) VQ_PROPAGATE(false);
    } catch (...) {
        return VqErrorState::recordCurrentException(kCls, "clone");
    }
    if (!p) VQ_FAIL(kCls, "clone", "Allocation failed: pClone = new VqVertexRecordPool(*this)", VQ_ERR_ALLOC);
    out = static_cast<VqVertexRecordPool*>(p);
    return true;
}

// ---- Edits: checks and notification

bool VqVertexRecordPool::_checkEdit(const char* method) const {
    if (!(!s_bEnforceLocking || (isWriteLocked())))
        VQ_FAIL(kCls, method, "!s_bEnforceLocking || (isWriteLocked())", VQ_ERR_INTERNAL);
    VQ_CHECK(!_bDynamic, kCls, method, VQ_ERR_INTERNAL);
    return true;
}

void VqVertexRecordPool::_recordsChanged() {
    {
        VqAutoLock lock(_cacheMutex);
        _bBBoxValid = false;
    }
    _bCollocated = false;
    _bEquivRingsValid = false;
}

bool VqVertexRecordPool::_sendChange(Vq::BaseChange change) {
    for (size_t i = 0; i < _vpMeshes.size(); ++i)
        VQ_PROPAGATE(_vpMeshes[i]->_vtxRecPoolChanged(this, change));
    VQ_PROPAGATE(sendNotification(this, change));
    return true;
}

Vq::AuxDefVertexRecordFields* VqVertexRecordPool::_auxFields() const {
    return Vq::typeCast<Vq::AuxDefVertexRecordFields>(_pFields.get());
}

bool VqVertexRecordPool::setBindings(uint64_t eBindings) {
    VQ_CHECK(!isReadLocked(), kCls, "setBindings", VQ_ERR_INTERNAL);
    VQ_CHECK(!_bDynamic, kCls, "setBindings", VQ_ERR_INTERNAL);
    WriteGuard guard(*this);
    VQ_PROPAGATE(guard.ok());
    Vq::BaseChange change = Vq::BaseChangeNone;
    const bool bResults = _pFields->setBindings(eBindings, change);
    VQ_CHECK(bResults == true, kCls, "setBindings", VQ_ERR_ARGUMENT);
    if (change >= Vq::VertexRecordFields::VQ_VRF_COMPONENTS_DROPPED) _bCollocated = false;
    _bEquivRingsValid = false;
    {
        VqAutoLock lock(_cacheMutex);
        _bBBoxValid = false;
    }
    return _sendChange(change);
}

bool VqVertexRecordPool::clear(bool bFreeMemory) {
    VQ_PROPAGATE(_checkEdit("clear"));
    _pFields->clear(bFreeMemory);
    _vuIndexMap.clear();
    _vuEquivRing.clear();
    if (bFreeMemory) {
        _vuIndexMap.shrink_to_fit();
        _vuEquivRing.shrink_to_fit();
    }
    _recordsChanged();
    return _sendChange(VQ_VRP_RECORDS_CHANGED);
}

bool VqVertexRecordPool::shrink() {
    // Moves the arrays, so readers must be kept out; the records stay as
    // they are, which a dynamic pool allows.
    if (!(!s_bEnforceLocking || (isWriteLocked())))
        VQ_FAIL(kCls, "shrink", "!s_bEnforceLocking || (isWriteLocked())", VQ_ERR_INTERNAL);
    _pFields->shrink();
    _vuIndexMap.shrink_to_fit();
    _vuEquivRing.shrink_to_fit();
    return true;
}

bool VqVertexRecordPool::setDynamic(bool bDynamic) {
    _bDynamic = bDynamic;
    return true;
}

// ---- Adding and accessing records

bool VqVertexRecordPool::_appendRecords(uint32_t n, uint32_t& firstIndex) {
    const uint32_t nVtxRec = numVtxRecords();
    const uint32_t nVts = n;
    firstIndex = nVtxRec;
    if (nVts > Vq::VertexRecordFields::s_cMaxRecords - nVtxRec || !_pFields->resize(nVtxRec + nVts))
        VQ_FAIL(kCls, "addVtxRecords", "allocate(nVtxRec + nVts)", VQ_ERR_ALLOC);
    return true;
}

bool VqVertexRecordPool::allocate(uint32_t nVtxRecs) {
    VQ_PROPAGATE(_checkEdit("allocate"));
    if (nVtxRecs <= numVtxRecords()) return true;
    uint32_t first = 0;
    VQ_PROPAGATE(_appendRecords(nVtxRecs - numVtxRecords(), first));
    _recordsChanged();
    return _sendChange(VQ_VRP_RECORDS_CHANGED);
}

bool VqVertexRecordPool::_swapVtxCoords(VqVecf& coords) {
    VQ_CHECK(!_bDynamic, kCls, "_swapVtxCoords", VQ_ERR_INTERNAL);
    VQ_CHECK(!isReadLocked(), kCls, "_swapVtxCoords", VQ_ERR_INTERNAL);
    VQ_PROPAGATE(lockWrite(true));
    const bool ok = _pFields->swapVtxCoords(coords);
    if (ok) _recordsChanged();
    const bool sent = ok && _sendChange(VQ_VRP_RECORDS_CHANGED);
    VQ_PROPAGATE(lockWrite(false));
    return sent;
}

bool VqVertexRecordPool::newVtxRecord(uint32_t& index) {
    VQ_PROPAGATE(_checkEdit("newVtxRecord"));
    VQ_PROPAGATE(_appendRecords(1, index));
    _recordsChanged();
    return _sendChange(VQ_VRP_RECORDS_CHANGED);
}

namespace {

// The data of addVtxRecords, f32 or f64, record i taken from entry at(i).
template <class T, class At>
struct RecordSource {
    const T* coords;
    const T* normals;
    const T* colors;
    const T* const* texCoords;
    const unsigned char* flags;
    bool flagsArePacked;
    At at;

    bool flag(uint32_t i) const {
        const uint32_t k = at(i);
        return flagsArePacked ? (flags[k >> 3] >> (k & 7)) & 1 : flags[k] != 0;
    }
};

template <class T, class At>
void copyArray(float* dst, const T* src, int nComps, uint32_t n, const At& at) {
    for (uint32_t i = 0; i < n; ++i) {
        const T* s = src + size_t(at(i)) * nComps;
        for (int c = 0; c < nComps; ++c)
            dst[size_t(i) * nComps + c] = static_cast<float>(s[c]);
    }
}

} // namespace

template <class Src>
bool VqVertexRecordPool::_addRecords(uint32_t n, uint32_t& firstIndex, const Src& src) {
    firstIndex = numVtxRecords();
    const uint64_t eBindings = getBindings();
    // A bound attribute needs its data; the texts are the conditions as written.
    auto given = [eBindings](uint64_t mask, const void* data) { return !(eBindings & mask) || data; };
    if (!given(VQ_GEOMBIND_VTXCOORD_MASK, src.coords))
        VQ_FAIL(kCls, "addVtxRecords",
                "((eBindings&VQ_GEOMBIND_VTXCOORD_MASK))&&(paVtxCoords) || "
                "!((eBindings&VQ_GEOMBIND_VTXCOORD_MASK))",
                VQ_ERR_ARGUMENT);
    if (!given(VQ_GEOMBIND_NORMVEC_MASK, src.normals))
        VQ_FAIL(
            kCls, "addVtxRecords",
            "((eBindings&VQ_GEOMBIND_NORMVEC_MASK))&&(paNormVecs) || !((eBindings&VQ_GEOMBIND_NORMVEC_MASK))",
            VQ_ERR_ARGUMENT);
    if (!given(VQ_GEOMBIND_VTXCOLOR_MASK, src.colors))
        VQ_FAIL(kCls, "addVtxRecords",
                "((eBindings&VQ_GEOMBIND_VTXCOLOR_MASK))&&(paVtxColors) || "
                "!((eBindings&VQ_GEOMBIND_VTXCOLOR_MASK))",
                VQ_ERR_ARGUMENT);
    if (!given(VQ_GEOMBIND_VTXFLAG_MASK, src.flags))
        VQ_FAIL(
            kCls, "addVtxRecords",
            "((eBindings&VQ_GEOMBIND_VTXFLAG_MASK))&&(paVtxFlags) || !((eBindings&VQ_GEOMBIND_VTXFLAG_MASK))",
            VQ_ERR_ARGUMENT);
    for (int k = 0; k < VQ_GEOMBIND_NUM_TEXUNITS; ++k)
        if ((eBindings & vqTexCoordMask(k)) && !(src.texCoords && src.texCoords[k]))
            VQ_FAIL(kCls, "addVtxRecords", kTexNullText[k], VQ_ERR_ARGUMENT);
    VQ_PROPAGATE(_checkEdit("addVtxRecords"));
    if (n == 0) return true;
    uint32_t first = 0;
    VQ_PROPAGATE(_appendRecords(n, first));
    Vq::VertexRecordFields& f = *_pFields;
    const size_t base = first;
    if (f.numVtxCoordComps())
        copyArray(f.vtxCoords() + base * f.numVtxCoordComps(), src.coords, f.numVtxCoordComps(), n, src.at);
    if (f.numNormalComps())
        copyArray(f.normals() + base * f.numNormalComps(), src.normals, f.numNormalComps(), n, src.at);
    if (f.numColorComps())
        copyArray(f.colors() + base * f.numColorComps(), src.colors, f.numColorComps(), n, src.at);
    for (int k = 0; k < VQ_GEOMBIND_NUM_TEXUNITS; ++k)
        if (f.numTexCoordComps(k))
            copyArray(f.texCoords(k) + base * f.numTexCoordComps(k), src.texCoords[k], f.numTexCoordComps(k),
                      n, src.at);
    if (f.hasVtxFlags())
        for (uint32_t i = 0; i < n; ++i)
            f.vtxFlags().set(static_cast<int>(first + i), src.flag(i));
    firstIndex = first;
    _recordsChanged();
    return _sendChange(VQ_VRP_RECORDS_CHANGED);
}

namespace {
struct Identity {
    uint32_t operator()(uint32_t i) const { return i; }
};
struct Indexed {
    const uint32_t* indices;
    uint32_t operator()(uint32_t i) const { return indices[i]; }
};
} // namespace

bool VqVertexRecordPool::addVtxRecords(uint32_t n, uint32_t& firstIndex, const float* coords,
                                       const float* normals, const float* colors,
                                       const float* const* texCoords, const unsigned char* flags,
                                       bool flagsArePacked) {
    return _addRecords(
        n, firstIndex,
        RecordSource<float, Identity>{coords, normals, colors, texCoords, flags, flagsArePacked, {}});
}

bool VqVertexRecordPool::addVtxRecords(uint32_t n, uint32_t& firstIndex, const double* coords,
                                       const double* normals, const double* colors,
                                       const double* const* texCoords, const unsigned char* flags,
                                       bool flagsArePacked) {
    return _addRecords(
        n, firstIndex,
        RecordSource<double, Identity>{coords, normals, colors, texCoords, flags, flagsArePacked, {}});
}

bool VqVertexRecordPool::addVtxRecords(uint32_t n, const uint32_t* indices, uint32_t& firstIndex,
                                       const float* coords, const float* normals, const float* colors,
                                       const float* const* texCoords, const unsigned char* flags,
                                       bool flagsArePacked) {
    VQ_CHECK(n == 0 || indices, kCls, "addVtxRecords", VQ_ERR_ARGUMENT);
    return _addRecords(
        n, firstIndex,
        RecordSource<float, Indexed>{coords, normals, colors, texCoords, flags, flagsArePacked, {indices}});
}

bool VqVertexRecordPool::addVtxRecords(const VqVertexRecordPool& src, const uint32_t* indices, uint32_t n,
                                       const VqMatrix4f* xf, uint32_t& firstIndex) {
    firstIndex = numVtxRecords();
    VQ_PROPAGATE(_checkEdit("addVtxRecords"));
    // Refused before anything is appended: a matrix that cannot turn normals.
    VqMatrix4f inv;
    if (xf && _pFields->numNormalComps()) VQ_CHECK(xf->invert(inv), kCls, "addVtxRecords", VQ_ERR_ARGUMENT);
    VqVecu all;
    if (!indices) {
        VQ_CHECK(n == src.numVtxRecords(), kCls, "addVtxRecords", VQ_ERR_ARGUMENT);
        try {
            all.resize(n);
        } catch (const std::bad_alloc&) {
            VQ_FAIL(kCls, "addVtxRecords", "allocate(nVtxRec + nVts)", VQ_ERR_ALLOC);
        }
        for (uint32_t i = 0; i < n; ++i)
            all[static_cast<int>(i)] = i;
        indices = all.data();
    }
    const uint32_t first = numVtxRecords();
    VQ_PROPAGATE(_pFields->append(*src._pFields, indices, n));
    if (xf) _transformRecords(*xf, first, n);
    firstIndex = first;
    _recordsChanged();
    return _sendChange(VQ_VRP_RECORDS_CHANGED);
}

bool VqVertexRecordPool::setVtxRecord(uint32_t index, const float* coord, const float* normal,
                                      const float* color, const float* const* texCoords, const bool* flag) {
    VQ_PROPAGATE(_checkEdit("setVtxRecord"));
    VQ_CHECK(index < numVtxRecords(), kCls, "setVtxRecord", VQ_ERR_ARGUMENT);
    Vq::VertexRecordFields& f = *_pFields;
    auto put = [index](float* dst, const float* s, int nComps) {
        if (s && nComps) std::memcpy(dst + size_t(index) * nComps, s, sizeof(float) * nComps);
    };
    put(f.vtxCoords(), coord, f.numVtxCoordComps());
    put(f.normals(), normal, f.numNormalComps());
    put(f.colors(), color, f.numColorComps());
    for (int k = 0; texCoords && k < VQ_GEOMBIND_NUM_TEXUNITS; ++k)
        put(f.texCoords(k), texCoords[k], f.numTexCoordComps(k));
    if (flag && f.hasVtxFlags()) f.vtxFlags().set(static_cast<int>(index), *flag);
    _recordsChanged();
    return _sendChange(VQ_VRP_RECORDS_CHANGED);
}

bool VqVertexRecordPool::getVtxRecord(uint32_t index, float* coord, float* normal, float* color,
                                      float* const* texCoords, bool* flag) const {
    VQ_CHECK(index < numVtxRecords(), kCls, "getVtxRecord", VQ_ERR_ARGUMENT);
    const Vq::VertexRecordFields& f = *_pFields;
    auto get = [index](float* dst, const float* s, int nComps) {
        if (dst && nComps) std::memcpy(dst, s + size_t(index) * nComps, sizeof(float) * nComps);
    };
    get(coord, f.vtxCoords(), f.numVtxCoordComps());
    get(normal, f.normals(), f.numNormalComps());
    get(color, f.colors(), f.numColorComps());
    for (int k = 0; texCoords && k < VQ_GEOMBIND_NUM_TEXUNITS; ++k)
        get(texCoords[k], f.texCoords(k), f.numTexCoordComps(k));
    if (flag) *flag = f.hasVtxFlags() && f.vtxFlags().get(static_cast<int>(index));
    return true;
}

bool VqVertexRecordPool::_getAvailTexCoordSlot(uint32_t& slot) const {
    slot = 0xFFFFFFFFu;
    for (int k = 0; k < VQ_GEOMBIND_NUM_TEXUNITS; ++k)
        if (_pFields->numTexCoordComps(k) == 0) {
            slot = static_cast<uint32_t>(k);
            break;
        }
    return true;
}

// ---- Geometry

void VqVertexRecordPool::_projectedPoint(uint32_t i, VqVec3f& p) const {
    const int nComps = _pFields->numVtxCoordComps();
    const float* c = _pFields->vtxCoords() + size_t(i) * nComps;
    switch (nComps) {
    case 2:
        p = VqVec3f(c[0], c[1], 0.0f);
        break;
    case 3:
        p = VqVec3f(c[0], c[1], c[2]);
        break;
    case 4:
        p = VqVec3f(c[0] / c[3], c[1] / c[3], c[2] / c[3]);
        break;
    default:
        p = VqVec3f(0.0f, 0.0f, 0.0f);
        break;
    }
}

VqBox3<float> VqVertexRecordPool::bbox() const {
    VqAutoLock lock(_cacheMutex);
    if (!_bBBoxValid) {
        VqBox3<float> box;
        const uint32_t n = _pFields->numVtxCoordComps() ? numVtxRecords() : 0;
        VqVec3f p;
        for (uint32_t i = 0; i < n; ++i) {
            _projectedPoint(i, p);
            // A position that is not finite has no place in a box.
            if (std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2])) box.extendBy(p);
        }
        _bbox = box;
        _bBBoxValid = true;
    }
    return _bbox;
}

bool VqVertexRecordPool::setBBox(const VqBox3<float>& box) {
    VqAutoLock lock(_cacheMutex);
    _bbox = box;
    _bBBoxValid = true;
    return true;
}

bool VqVertexRecordPool::computeVertexRefBBox(const uint32_t* indices, uint32_t n, VqBox3<float>& box) const {
    box.makeEmpty();
    VQ_CHECK(n == 0 || indices, kCls, "computeVertexRefBBox", VQ_ERR_ARGUMENT);
    VQ_CHECK(_pFields->numVtxCoordComps() >= 2 && _pFields->numVtxCoordComps() <= 4, kCls,
             "computeVertexRefBBox", VQ_ERR_ARGUMENT);
    VqVec3f p;
    for (uint32_t i = 0; i < n; ++i) {
        VQ_CHECK(indices[i] < numVtxRecords(), kCls, "computeVertexRefBBox", VQ_ERR_ARGUMENT);
        _projectedPoint(indices[i], p);
        if (std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2])) box.extendBy(p);
    }
    return true;
}

template <class M>
bool VqVertexRecordPool::_transformRecords(const M& m, uint32_t first, uint32_t n) {
    using T = std::remove_cvref_t<decltype(m.m[0][0])>;
    Vq::VertexRecordFields& f = *_pFields;
    // Normals turn with the inverse transpose, so that they stay
    // perpendicular to surfaces under non-uniform scaling.
    M inv;
    if (f.numNormalComps()) VQ_CHECK(m.invert(inv), kCls, "transform", VQ_ERR_ARGUMENT);
    const int nComps = f.numVtxCoordComps();
    float* c = f.vtxCoords() + size_t(first) * nComps;
    for (uint32_t i = 0; nComps && i < n; ++i, c += nComps) {
        const T in[4] = {c[0], c[1], nComps > 2 ? T(c[2]) : T(0), nComps == 4 ? T(c[3]) : T(1)};
        T out[4];
        for (int k = 0; k < 4; ++k)
            out[k] = in[0] * m.m[0][k] + in[1] * m.m[1][k] + in[2] * m.m[2][k] + in[3] * m.m[3][k];
        if (nComps == 4) {
            for (int k = 0; k < 4; ++k)
                c[k] = static_cast<float>(out[k]);
        } else {
            // A projective matrix leaves a w to divide by; an affine one leaves 1.
            for (int k = 0; k < nComps; ++k)
                c[k] = static_cast<float>(out[k] / out[3]);
        }
    }
    float* v = f.numNormalComps() ? f.normals() + size_t(first) * 3 : nullptr;
    for (uint32_t i = 0; v && i < n; ++i, v += 3) {
        T out[3];
        // n' = n (M^-1)^T: component k is the dot of n with row k of M^-1.
        for (int k = 0; k < 3; ++k)
            out[k] = v[0] * inv.m[k][0] + v[1] * inv.m[k][1] + v[2] * inv.m[k][2];
        const T len = std::sqrt(out[0] * out[0] + out[1] * out[1] + out[2] * out[2]);
        for (int k = 0; k < 3; ++k)
            v[k] = static_cast<float>(len > 0 ? out[k] / len : out[k]);
    }
    return true;
}

bool VqVertexRecordPool::transform(const VqMatrix4f& m) {
    VQ_PROPAGATE(_checkEdit("transform"));
    VQ_PROPAGATE(_transformRecords(m, 0, numVtxRecords()));
    _recordsChanged();
    return _sendChange(VQ_VRP_RECORDS_CHANGED);
}

bool VqVertexRecordPool::transform(const VqMatrix4d& m) {
    VQ_PROPAGATE(_checkEdit("transform"));
    VQ_PROPAGATE(_transformRecords(m, 0, numVtxRecords()));
    _recordsChanged();
    return _sendChange(VQ_VRP_RECORDS_CHANGED);
}

bool VqVertexRecordPool::merge(const VqVertexRecordPool& other, bool bCollocate) {
    uint32_t first = 0;
    VQ_PROPAGATE(addVtxRecords(other, nullptr, other.numVtxRecords(), nullptr, first));
    if (bCollocate) VQ_PROPAGATE(_ensureCollocated(false));
    return true;
}

// ---- Settings

bool VqVertexRecordPool::setCollocateTol(float vertexEps, float angleEps) {
    VQ_CHECK(std::isfinite(vertexEps) && std::isfinite(angleEps), kCls, "setCollocateTol", VQ_ERR_ARGUMENT);
    // Looser tolerances may merge what was kept apart; tighter ones leave a
    // collocated pool collocated (its merges stay within them).
    if ((std::fabs(vertexEps) > std::fabs(_fVertexEps) || angleEps > _fAngleEps) && !_bDynamic) {
        _bCollocated = false;
        _bEquivRingsValid = false;
    }
    _fVertexEps = vertexEps;
    _fAngleEps = angleEps;
    _fNormalThreshold = normalThreshold(angleEps);
    return _sendChange(VQ_VRP_TOLERANCE_CHANGED);
}

void VqVertexRecordPool::getCollocateTol(float& vertexEps, float& angleEps) const {
    vertexEps = _fVertexEps;
    angleEps = _fAngleEps;
}

bool VqVertexRecordPool::setCompressionParams(int vtxBits, int normBits, int texBits, int colBits) {
    VQ_CHECK(vtxBits >= 0 && vtxBits <= 32 && normBits >= 0 && normBits <= 13 && texBits >= 0 &&
                 texBits <= 32 && colBits >= 0 && colBits <= 8,
             kCls, "setCompressionParams", VQ_ERR_ARGUMENT);
    _nVtxBits = static_cast<uint8_t>(vtxBits);
    _nNormBits = static_cast<uint8_t>(normBits);
    _nTexBits = static_cast<uint8_t>(texBits);
    _nColBits = static_cast<uint8_t>(colBits);
    return true;
}

void VqVertexRecordPool::getCompressionParams(int& vtxBits, int& normBits, int& texBits, int& colBits) const {
    vtxBits = _nVtxBits;
    normBits = _nNormBits;
    texBits = _nTexBits;
    colBits = _nColBits;
}

bool VqVertexRecordPool::isQuantized() const {
    return _nVtxBits || _nNormBits || _nTexBits || _nColBits;
}

// ---- Auxiliary fields

bool VqVertexRecordPool::bindAuxField(Vq::AuxVertexField* pField) {
    VQ_PROPAGATE(_checkEdit("bindAuxField"));
    Vq::AuxDefVertexRecordFields* pAuxFields = _auxFields();
    VQ_CHECK(pAuxFields, kCls, "bindAuxField", VQ_ERR_ARGUMENT);
    VQ_PROPAGATE(pAuxFields->bindAuxField(pField));
    // Records that were alike may differ in the new field.
    _bCollocated = false;
    _bEquivRingsValid = false;
    return _sendChange(Vq::VertexRecordFields::VQ_VRF_BINDINGS_CHANGED);
}

bool VqVertexRecordPool::unbindAuxField(const VqGUID& guid) {
    VQ_PROPAGATE(_checkEdit("unbindAuxField"));
    Vq::AuxDefVertexRecordFields* pAuxFields = _auxFields();
    VQ_CHECK(pAuxFields, kCls, "unbindAuxField", VQ_ERR_ARGUMENT);
    VQ_PROPAGATE(pAuxFields->unbindAuxField(guid));
    _bCollocated = false;
    _bEquivRingsValid = false;
    return _sendChange(Vq::VertexRecordFields::VQ_VRF_COMPONENTS_DROPPED);
}

uint32_t VqVertexRecordPool::numAuxFields() const {
    const Vq::AuxDefVertexRecordFields* p = _auxFields();
    return p ? p->numAuxFields() : 0;
}

Vq::AuxVertexField* VqVertexRecordPool::auxField(const VqGUID& guid) const {
    const Vq::AuxDefVertexRecordFields* p = _auxFields();
    return p ? p->auxField(guid) : nullptr;
}

Vq::AuxVertexField* VqVertexRecordPool::auxField(uint32_t index) const {
    const Vq::AuxDefVertexRecordFields* p = _auxFields();
    return p ? p->auxField(index) : nullptr;
}

bool VqVertexRecordPool::addFieldVisualization(int eMode, const VqGUID& guid, uint32_t iStep) {
    Vq::AuxDefVertexRecordFields* pAuxFields = _auxFields();
    VQ_CHECK(pAuxFields, kCls, "addFieldVisualization", VQ_ERR_ARGUMENT);
    VQ_PROPAGATE(pAuxFields->addFieldVisualization(eMode, guid, iStep));
    return _sendChange(Vq::BaseChangeRendering);
}

bool VqVertexRecordPool::removeFieldVisualization(int eMode, const VqGUID& guid) {
    Vq::AuxDefVertexRecordFields* pAuxFields = _auxFields();
    VQ_CHECK(pAuxFields, kCls, "removeFieldVisualization", VQ_ERR_ARGUMENT);
    VQ_PROPAGATE(pAuxFields->removeFieldVisualization(eMode, guid));
    return _sendChange(Vq::BaseChangeRendering);
}

bool VqVertexRecordPool::_computeDeformVtxCoords(const VqGUID& guid, uint32_t iStep, int iComp, float scale,
                                                 VqVecf& out) const {
    const Vq::AuxVertexField* pField = auxField(guid);
    VQ_CHECK(pField, kCls, "_computeDeformVtxCoords", VQ_ERR_ARGUMENT);
    const VqAuxType _eType = pField->type();
    VQ_CHECK(_eType < VQ_AUXTYPE_LAST && (_eType < VQ_AUXTYPE_U64_V1 || _eType > VQ_AUXTYPE_I64_V4), kCls,
             "_computeDeformVtxCoords", VQ_ERR_ARGUMENT);
    if (!(iStep < pField->numSteps()))
        VQ_FAIL(kCls, "_computeDeformVtxCoords", "iStep < _vbStepSuppressed.size()", VQ_ERR_ARGUMENT);
    VQ_CHECK(!pField->isStepSuppressed(iStep), kCls, "_computeDeformVtxCoords", VQ_ERR_ARGUMENT);
    VQ_CHECK(iComp >= 0 && iComp + 3 <= pField->numComponents(), kCls, "_computeDeformVtxCoords",
             VQ_ERR_ARGUMENT);
    VQ_CHECK(_pFields->numVtxCoordComps() >= 2 && _pFields->numVtxCoordComps() <= 4, kCls,
             "_computeDeformVtxCoords", VQ_ERR_ARGUMENT);
    const uint32_t n = numVtxRecords();
    try {
        out.resize(size_t(n) * 3);
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, "_computeDeformVtxCoords", "Memory Allocation", VQ_ERR_ALLOC);
    }
    VqVec3f p;
    for (uint32_t i = 0; i < n; ++i) {
        _projectedPoint(i, p);
        for (int c = 0; c < 3; ++c)
            out[static_cast<int>(3 * i) + c] =
                static_cast<float>(p[c] + double(scale) * pField->componentAsDouble(iStep, i, iComp + c));
    }
    return true;
}

// ---- Locking and meshes

bool VqVertexRecordPool::acquireInternals(VqBaseVertexRecordPoolInternals& out, bool bWritable) {
    out = VqBaseVertexRecordPoolInternals();
    if (bWritable) {
        VQ_CHECK(!_bDynamic, kCls, "acquireInternals", VQ_ERR_INTERNAL);
        VQ_CHECK(!isReadLocked(), kCls, "acquireInternals", VQ_ERR_INTERNAL);
        VQ_PROPAGATE(lockWrite(true));
    } else {
        VQ_PROPAGATE(lockRead(true));
    }
    Vq::VertexRecordFields& f = *_pFields;
    out.pPool = this;
    out.bWritable = bWritable;
    out.eBindings = f.bindings();
    out.nVtxRecs = f.numRecords();
    out.nCoordComps = f.numVtxCoordComps();
    out.nNormalComps = f.numNormalComps();
    out.nColorComps = f.numColorComps();
    out.pfCoords = out.nCoordComps ? f.vtxCoords() : nullptr;
    out.pfNormals = out.nNormalComps ? f.normals() : nullptr;
    out.pfColors = out.nColorComps ? f.colors() : nullptr;
    for (int k = 0; k < VQ_GEOMBIND_NUM_TEXUNITS; ++k) {
        out.anTexComps[k] = f.numTexCoordComps(k);
        out.apfTexCoords[k] = out.anTexComps[k] ? f.texCoords(k) : nullptr;
    }
    out.pvbFlags = f.hasVtxFlags() ? &f.vtxFlags() : nullptr;
    return true;
}

bool VqVertexRecordPool::releaseInternals(VqBaseVertexRecordPoolInternals& view) {
    VQ_CHECK(view.pPool == this, kCls, "releaseInternals", VQ_ERR_ARGUMENT);
    const bool bWritable = view.bWritable;
    view = VqBaseVertexRecordPoolInternals();
    if (!bWritable) return lockRead(false);
    _recordsChanged();
    const bool ok = _sendChange(VQ_VRP_RECORDS_CHANGED);
    VQ_PROPAGATE(lockWrite(false));
    return ok;
}

bool VqVertexRecordPool::addMesh(Vq::VertexRecordPoolMesh* pMesh) {
    VQ_CHECK(pMesh, kCls, "addMesh", VQ_ERR_ARGUMENT);
    if (std::find(_vpMeshes.begin(), _vpMeshes.end(), pMesh) != _vpMeshes.end()) return true;
    try {
        _vpMeshes.push_back(pMesh);
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, "addMesh", "Memory Allocation", VQ_ERR_ALLOC);
    }
    return true;
}

bool VqVertexRecordPool::removeMesh(Vq::VertexRecordPoolMesh* pMesh) {
    std::erase(_vpMeshes, pMesh);
    return true;
}

void VqVertexRecordPool::setPartNumContainer(Vq::PartNumContainer* pNum) {
    _pPartNum = pNum;
}
