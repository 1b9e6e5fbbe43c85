#include "VqAuxVertexField.h"

#include "VqErrorState.h"

#include <cstring>
#include <new>

namespace Vq {

namespace {
constexpr const char* kCls = "Vq::AuxVertexField";
} // namespace

int AuxVertexField::s_numComponents(VqAuxType e) {
    if (!s_isValid(e)) return 0;
    if (e < VQ_AUXTYPE_F_V1) return (e - 1) % 4 + 1;
    // Both floating-point groups run 1, 2, 3, 4 and then four irregular
    // shapes: 6 before the 2x2 matrix, so the fifth code is not 4 components.
    static const int kFloatComps[8] = {1, 2, 3, 4, 6, 4, 9, 16};
    return kFloatComps[(e - VQ_AUXTYPE_F_V1) % 8];
}

int AuxVertexField::s_elementSize(VqAuxType e) {
    if (!s_isValid(e)) return 0;
    if (e < VQ_AUXTYPE_F_V1) return 1 << ((e - 1) / 8);
    return e <= VQ_AUXTYPE_F_M4 ? 4 : 8;
}

AuxVertexField::AuxVertexField(VqAuxType eType, const VqGUID& guid, uint32_t nSteps)
    : _eType(eType), _nComps(s_numComponents(eType)), _nRecSize(s_recordSize(eType)), _guid(guid),
      _vSteps(nSteps), _vbStepSuppressed(static_cast<int>(nSteps)) {}

AuxVertexField::AuxVertexField(const AuxVertexField& o)
    : VqRefCounted(o), _eType(o._eType), _nComps(o._nComps), _nRecSize(o._nRecSize), _guid(o._guid),
      _nRecs(o._nRecs), _vSteps(o._vSteps), _vbStepSuppressed(o._vbStepSuppressed),
      _nQuantBits(o._nQuantBits) {}

bool AuxVertexField::s_create(VqAuxType eType, const VqGUID& guid, uint32_t nSteps, uint32_t nRecs,
                              Vq::SharedPtr<AuxVertexField>& out) {
    out = nullptr;
    if (!s_isValid(eType)) VQ_FAIL(kCls, "s_create", "_eType < VQ_AUXTYPE_LAST", VQ_ERR_ARGUMENT);
    // A step count that cannot be a count of anything real is a caller's bug.
    VQ_CHECK(nSteps <= 0x7FFFFFFF, kCls, "s_create", VQ_ERR_ARGUMENT);
    Vq::SharedPtr<AuxVertexField> f;
    try {
        f = new AuxVertexField(eType, guid, nSteps);
    } catch (const std::bad_alloc&) {
    }
    if (!f)
        VQ_FAIL(kCls, "s_create", "Allocation failed: new AuxVertexField(eType, guid, nSteps)", VQ_ERR_ALLOC);
    VQ_PROPAGATE(f->_resize(nRecs));
    out = f;
    return true;
}

uint32_t AuxVertexField::numActiveSteps() const {
    uint32_t n = 0;
    for (uint32_t i = 0; i < numSteps(); ++i)
        n += _vbStepSuppressed.get(static_cast<int>(i)) ? 0 : 1;
    return n;
}

uint8_t* AuxVertexField::stepData(uint32_t iStep) {
    return iStep < numSteps() && !isStepSuppressed(iStep) ? _vSteps[iStep].data() : nullptr;
}

const uint8_t* AuxVertexField::stepData(uint32_t iStep) const {
    return iStep < numSteps() && !isStepSuppressed(iStep) ? _vSteps[iStep].data() : nullptr;
}

double AuxVertexField::componentAsDouble(uint32_t iStep, uint32_t iRec, int c) const {
    const uint8_t* p = record(iStep, iRec) + size_t(c) * elementSize();
    if (s_isFloat(_eType)) {
        float v;
        std::memcpy(&v, p, 4);
        return v;
    }
    if (s_isDouble(_eType)) {
        double v;
        std::memcpy(&v, p, 8);
        return v;
    }
    const bool bSigned = s_isSigned(_eType);
    switch (elementSize()) {
    case 1:
        return bSigned ? double(int8_t(*p)) : double(*p);
    case 2: {
        uint16_t v;
        std::memcpy(&v, p, 2);
        return bSigned ? double(int16_t(v)) : double(v);
    }
    case 4: {
        uint32_t v;
        std::memcpy(&v, p, 4);
        return bSigned ? double(int32_t(v)) : double(v);
    }
    default: {
        uint64_t v;
        std::memcpy(&v, p, 8);
        return bSigned ? double(int64_t(v)) : double(v);
    }
    }
}

bool AuxVertexField::isStepSuppressed(uint32_t iStep) const {
    return iStep < numSteps() && _vbStepSuppressed.get(static_cast<int>(iStep));
}

bool AuxVertexField::suppressStep(uint32_t iStep) {
    const uint32_t nSteps = static_cast<uint32_t>(_vbStepSuppressed.length());
    if (!(iStep < nSteps)) VQ_FAIL(kCls, "suppressStep", "iStep < _vbStepSuppressed.size()", VQ_ERR_ARGUMENT);
    _vbStepSuppressed.set(static_cast<int>(iStep));
    std::vector<uint8_t>().swap(_vSteps[iStep]);
    return true;
}

bool AuxVertexField::activateStep(uint32_t iStep) {
    const uint32_t nSteps = static_cast<uint32_t>(_vbStepSuppressed.length());
    if (!(iStep < nSteps)) VQ_FAIL(kCls, "activateStep", "iStep < _vbStepSuppressed.size()", VQ_ERR_ARGUMENT);
    VQ_CHECK(!_bIsBound, kCls, "activateStep", VQ_ERR_ARGUMENT);
    if (!isStepSuppressed(iStep)) return true;
    try {
        _vSteps[iStep].assign(size_t(_nRecs) * _nRecSize, 0);
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, "activateStep", "Memory Allocation", VQ_ERR_ALLOC);
    }
    _vbStepSuppressed.set(static_cast<int>(iStep), false);
    return true;
}

bool AuxVertexField::setQuantizationBits(int nBits) {
    VQ_CHECK(nBits >= 0 && nBits <= 32, kCls, "setQuantizationBits", VQ_ERR_ARGUMENT);
    _nQuantBits = nBits;
    return true;
}

bool AuxVertexField::_resize(uint32_t nRecs) {
    try {
        for (uint32_t s = 0; s < numSteps(); ++s)
            if (!isStepSuppressed(s)) _vSteps[s].resize(size_t(nRecs) * _nRecSize, 0);
    } catch (const std::bad_alloc&) {
        // Steps already grown are cut back so that all agree on the count.
        for (uint32_t s = 0; s < numSteps(); ++s)
            if (!isStepSuppressed(s)) _vSteps[s].resize(size_t(_nRecs) * _nRecSize);
        VQ_FAIL(kCls, "_resize", "Memory Allocation", VQ_ERR_ALLOC);
    }
    _nRecs = nRecs;
    return true;
}

void AuxVertexField::_copyRecord(uint32_t dst, uint32_t src) {
    for (uint32_t s = 0; s < numSteps(); ++s) {
        uint8_t* p = stepData(s);
        if (p) std::memmove(p + size_t(dst) * _nRecSize, p + size_t(src) * _nRecSize, _nRecSize);
    }
}

bool AuxVertexField::_gather(const uint32_t* recordMap, uint32_t nNew, Steps& out) const {
    try {
        out.assign(numSteps(), {});
        for (uint32_t s = 0; s < numSteps(); ++s) {
            const uint8_t* p = stepData(s);
            if (!p) continue;
            out[s].resize(size_t(nNew) * _nRecSize);
            for (uint32_t j = 0; j < nNew; ++j)
                std::memcpy(&out[s][size_t(j) * _nRecSize], p + size_t(recordMap[j]) * _nRecSize, _nRecSize);
        }
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, "_gather", "Memory Allocation", VQ_ERR_ALLOC);
    }
    return true;
}

void AuxVertexField::_adopt(Steps& steps, uint32_t nNew) {
    for (uint32_t s = 0; s < numSteps(); ++s)
        if (!isStepSuppressed(s)) _vSteps[s].swap(steps[s]);
    _nRecs = nNew;
}

bool AuxVertexField::_equalRecords(uint32_t a, uint32_t b) const {
    for (uint32_t s = 0; s < numSteps(); ++s) {
        const uint8_t* p = stepData(s);
        if (p && std::memcmp(p + size_t(a) * _nRecSize, p + size_t(b) * _nRecSize, _nRecSize) != 0)
            return false;
    }
    return true;
}

bool AuxVertexField::_sameLayout(const AuxVertexField& o) const {
    if (o._eType != _eType || o.numSteps() != numSteps()) return false;
    for (uint32_t s = 0; s < numSteps(); ++s)
        if (o.isStepSuppressed(s) != isStepSuppressed(s)) return false;
    return true;
}

bool AuxVertexField::_append(const AuxVertexField& src, const uint32_t* indices, uint32_t n) {
    VQ_CHECK(_sameLayout(src), kCls, "_append", VQ_ERR_ARGUMENT);
    const uint32_t nOld = _nRecs;
    VQ_PROPAGATE(_resize(nOld + n));
    for (uint32_t s = 0; s < numSteps(); ++s) {
        uint8_t* d = stepData(s);
        const uint8_t* p = src.stepData(s);
        if (!d) continue;
        for (uint32_t i = 0; i < n; ++i)
            std::memcpy(d + size_t(nOld + i) * _nRecSize, p + size_t(indices[i]) * _nRecSize, _nRecSize);
    }
    return true;
}

bool AuxVertexField::_appendStep() {
    try {
        _vSteps.emplace_back(size_t(_nRecs) * _nRecSize, uint8_t(0));
        _vbStepSuppressed.resize(static_cast<int>(_vSteps.size()));
    } catch (const std::bad_alloc&) {
        if (_vSteps.size() > static_cast<size_t>(_vbStepSuppressed.length())) _vSteps.pop_back();
        VQ_FAIL(kCls, "_appendStep", "Memory Allocation", VQ_ERR_ALLOC);
    }
    return true;
}

void AuxVertexField::_shrink() {
    for (auto& v : _vSteps)
        v.shrink_to_fit();
}

size_t AuxVertexField::_memSize() const {
    size_t n = sizeof(*this);
    for (const auto& v : _vSteps)
        n += v.capacity();
    return n;
}

} // namespace Vq
