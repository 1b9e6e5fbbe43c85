#include "VqXform.h"

#include "VqFactory.h"
#include "VqMutex.h"

#include <cmath>
#include <ostream>

VQ_IMPLEMENT_TYPE(VqXform, VqAttribute, CLSID_ZQXform)

VqXform::VqXform(const VqMatrix4d& m) : _mMatrix(m) {}

VqXform::VqXform(const VqXform& o) : VqAttributeT(o), _mMatrix(o._mMatrix), _uMatFlags(o._uMatFlags.load()) {
    if (!o._pMixedAccumData) return;
    _pMixedAccumData = new MixedAccumData();
    if (!_pMixedAccumData) return;
    _pMixedAccumData->_vEntries = o._pMixedAccumData->_vEntries;
    _pMixedAccumData->_nComposedChanges = o._pMixedAccumData->_nComposedChanges.load();
}

VqXform::~VqXform() {
    delete _pMixedAccumData;
}

uint64_t VqXform::_dynamicChanges() const {
    uint64_t sum = 0;
    for (const MixedEntry& e : _pMixedAccumData->_vEntries)
        if (e.eKind == MixedEntry::Dynamic) sum += e.pDynamic->changeCount();
    return sum;
}

bool VqXform::clone(VqAttribute*& out) const {
    VqXform* x = new VqXform(*this);
    out = x;
    if (!x) VQ_FAIL("VqXform", "clone", "Allocation failed: out = new VqXform(*this)", VQ_ERR_ALLOC);
    if (_pMixedAccumData && !x->_pMixedAccumData) {
        delete x;
        out = nullptr;
        VQ_FAIL("VqXform", "clone", "Allocation failed: _pMixedAccumData = new MixedAccumData()",
                VQ_ERR_ALLOC);
    }
    return true;
}

bool VqXform::_apply(VqRenderContext&, const VqState*, bool, bool) const {
    return true;
}

void VqXform::_leakReportDetail(std::ostream& os) const {
    const VqMatrix4d& m = matrix();
    os << " Position=[" << m.m[3][0] << " " << m.m[3][1] << " " << m.m[3][2] << "]";
}

bool VqXform::_placement(VqSquareMatrix<double, 4>& m) const {
    m = matrix();
    return true;
}

namespace {
bool outOfDate(unsigned short flags) {
    const unsigned short mask = VqXform::VQ_XF_MIXED | VqXform::VQ_XF_OUT_OF_DATE;
    return (flags & mask) == mask;
}
} // namespace

const VqMatrix4d& VqXform::matrix() const {
    auto stale = [this] {
        return outOfDate(_uMatFlags.load(std::memory_order_acquire)) ||
               (_pMixedAccumData && _dynamicChanges() != _pMixedAccumData->_nComposedChanges.load());
    };
    if (stale()) {
        VqAutoLock lock(_lazyFillLock(this));
        if (stale()) _recompose();
    }
    return _mMatrix;
}

unsigned short VqXform::_flags() const {
    matrix();
    if (!(_uMatFlags.load(std::memory_order_acquire) & VQ_XF_VALID)) {
        VqAutoLock lock(_lazyFillLock(this));
        if (!(_uMatFlags.load(std::memory_order_relaxed) & VQ_XF_VALID)) _computeFlags();
    }
    return _uMatFlags.load(std::memory_order_acquire);
}

void VqXform::_computeFlags() const {
    unsigned short f =
        static_cast<unsigned short>((_uMatFlags & (VQ_XF_MIXED | VQ_XF_OUT_OF_DATE)) | VQ_XF_VALID);
    if (_mMatrix.isIdentity()) {
        f |= VQ_XF_IDENTITY;
    } else {
        const double eps = 1e-6;
        double len[3];
        for (int r = 0; r < 3; ++r)
            len[r] = std::sqrt(_mMatrix.m[r][0] * _mMatrix.m[r][0] + _mMatrix.m[r][1] * _mMatrix.m[r][1] +
                               _mMatrix.m[r][2] * _mMatrix.m[r][2]);
        if (std::fabs(len[0] - 1.0) > eps || std::fabs(len[1] - 1.0) > eps || std::fabs(len[2] - 1.0) > eps) {
            f |= VQ_XF_SCALED;
            if (std::fabs(len[0] - len[1]) <= eps * len[0] && std::fabs(len[0] - len[2]) <= eps * len[0])
                f |= VQ_XF_UNIFORM_SCALED;
        }
        const double(*a)[4] = _mMatrix.m;
        const double det = a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
                           a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
                           a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
        if (det < 0.0) f |= VQ_XF_MIRRORED;
    }
    _uMatFlags = f;
}

// Identity, then each static product and each dynamic transform multiplied
// on the left in sequence order. Within a run of dynamic transforms an
// ignored one is skipped, and after one that is final in all its fields only
// forcing ones still count.
void VqXform::_recompose() const {
    // Counted before the matrices are read: a change made meanwhile is seen
    // by the next reader.
    _pMixedAccumData->_nComposedChanges = _dynamicChanges();
    _resetHash();
    VqMatrix4d m;
    bool skipRest = false;
    for (const MixedEntry& e : _pMixedAccumData->_vEntries) {
        switch (e.eKind) {
        case MixedEntry::Static:
            m = e.mStatic * m;
            break;
        case MixedEntry::Dynamic:
            if ((skipRest && !e.pDynamic->isForceAccum()) || e.pDynamic->isIgnored()) break;
            m = e.pDynamic->matrix() * m;
            if (e.pDynamic->isFinal()) skipRest = true;
            break;
        case MixedEntry::RunEnd:
            skipRest = false;
            break;
        }
    }
    _mMatrix = m;
    _uMatFlags = VQ_XF_MIXED;
    _computeFlags();
}

bool VqXform::_appendStatic(const VqMatrix4d& m) {
    std::vector<MixedEntry>& v = _pMixedAccumData->_vEntries;
    if (!v.empty() && v.back().eKind == MixedEntry::Static) {
        v.back().mStatic = m * v.back().mStatic;
    } else {
        v.push_back(MixedEntry{MixedEntry::Static, m, nullptr});
    }
    return true;
}

// Consecutive dynamic transforms form one run, closed by an empty entry.
bool VqXform::_appendDynamic(const VqXform* x) {
    std::vector<MixedEntry>& v = _pMixedAccumData->_vEntries;
    MixedEntry e{MixedEntry::Dynamic, VqMatrix4d(), x};
    if (!v.empty() && v.back().eKind == MixedEntry::RunEnd) {
        v.insert(v.end() - 1, e);
    } else {
        v.push_back(e);
        v.push_back(MixedEntry{MixedEntry::RunEnd, VqMatrix4d(), nullptr});
    }
    return true;
}

bool VqXform::hasDynamicParts() const {
    if (!_pMixedAccumData) return false;
    for (const MixedEntry& e : _pMixedAccumData->_vEntries)
        if (e.eKind == MixedEntry::Dynamic) return true;
    return false;
}

bool VqXform::accumulateHook(const VqAttribute& a, const VqState*, const VqPath*) {
    const VqXform& in = static_cast<const VqXform&>(a);
    if (!_pMixedAccumData && !isDynamic() && !in.isDynamic() && !in._pMixedAccumData) {
        _mMatrix = in.matrix() * _mMatrix;
        _uMatFlags = 0;
    } else {
        if (!_pMixedAccumData) {
            _pMixedAccumData = new MixedAccumData();
            if (!_pMixedAccumData)
                VQ_FAIL("VqXform", "accumulateHook",
                        "Allocation failed: _pMixedAccumData = new MixedAccumData()", VQ_ERR_ALLOC);
            _pMixedAccumData->_vEntries.push_back(MixedEntry{MixedEntry::Static, _mMatrix, nullptr});
        }
        if (in._pMixedAccumData) {
            bool newRun = false;
            for (const MixedEntry& e : in._pMixedAccumData->_vEntries) {
                if (e.eKind == MixedEntry::Static) {
                    _appendStatic(e.mStatic);
                } else if (e.eKind == MixedEntry::RunEnd) {
                    newRun = true;
                } else {
                    if (newRun)
                        _pMixedAccumData->_vEntries.push_back(
                            MixedEntry{MixedEntry::Static, VqMatrix4d(), nullptr});
                    newRun = false;
                    VQ_PROPAGATE(_appendDynamic(e.pDynamic.get()));
                }
            }
        } else if (in.isDynamic()) {
            VQ_PROPAGATE(_appendDynamic(&in));
        } else {
            _appendStatic(in.matrix());
        }
        _uMatFlags = VQ_XF_MIXED | VQ_XF_OUT_OF_DATE;
    }
    _uFinalMask |= in._uFinalMask;
    _uFlags &= static_cast<uint8_t>(~s_uDynamicFlag);
    _resetHash();
    _updateHashVal();
    return true;
}

bool VqXform::setMatrix(const VqMatrix4d& m) {
    if (!(_uMatFlags & VQ_XF_OUT_OF_DATE) && m == _mMatrix) return true;
    _mMatrix = m;
    _uMatFlags &= static_cast<unsigned short>(~(VQ_XF_VALID | VQ_XF_OUT_OF_DATE));
    _computeFlags();
    _resetHash();
    VQ_PROPAGATE(sendNotification(this, Vq::BaseChangeCulling));
    return true;
}

unsigned short VqXform::elementStoreMask() const {
    const VqMatrix4d& m = matrix();
    unsigned short mask = 0;
    for (int i = 0; i < 16; ++i) {
        const int r = i / 4, c = i % 4;
        if (m.m[r][c] != (r == c ? 1.0 : 0.0)) mask = static_cast<unsigned short>(mask | (0x8000u >> i));
    }
    return mask;
}

bool VqXform::_writeFields(VqObjectStream& os, const Vq::RecordFormat&) const {
    const VqMatrix4d& m = matrix();
    const unsigned short mask = elementStoreMask();
    VQ_PROPAGATE(os.write(mask));
    for (int i = 0; i < 16; ++i)
        if (mask & (0x8000u >> i)) VQ_PROPAGATE(os.write(m.m[i / 4][i % 4]));
    return true;
}

bool VqXform::_readFields(VqObjectStream& os, const Vq::RecordFormat&, int) {
    unsigned short mask = 0;
    VQ_PROPAGATE(os.read(&mask));
    VqMatrix4d m;
    for (int i = 0; i < 16; ++i)
        if (mask & (0x8000u >> i)) VQ_PROPAGATE(os.read(&m.m[i / 4][i % 4]));
    _mMatrix = m;
    _uMatFlags = 0;
    _computeFlags();
    _resetHash();
    return true;
}
