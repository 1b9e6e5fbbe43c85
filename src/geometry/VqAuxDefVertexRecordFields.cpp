#include "VqAuxDefVertexRecordFields.h"

#include "VqErrorState.h"
#include "VqFactory.h"
#include "VqStdException.h"

#include <algorithm>
#include <new>

VQ_IMPLEMENT_TYPE(Vq::AuxDefVertexRecordFields, Vq::DefVertexRecordFields, CLSID_VQAuxDefVertexRecordFields)

namespace Vq {

namespace {
constexpr const char* kCls = "Vq::AuxDefVertexRecordFields";
} // namespace

AuxDefVertexRecordFields::AuxDefVertexRecordFields(const AuxDefVertexRecordFields& o)
    : DefVertexRecordFields(o), _vFieldVis(o._vFieldVis) {
    for (const auto& f : o._vpAuxFields) {
        Vq::SharedPtr<AuxVertexField> copy = new AuxVertexField(*f);
        if (!copy) throw Vq::StdException(__PRETTY_FUNCTION__, "Memory Allocation", VQ_ERR_ALLOC);
        copy->_setBound(true);
        _vpAuxFields.push_back(copy);
    }
}

void AuxDefVertexRecordFields::_updateAuxBit() {
    _eBindings &= ~VQ_GEOMBIND_AUXFIELDS_MASK;
    if (!_vpAuxFields.empty()) _eBindings |= VQ_GEOMBIND_AUXFIELDS_MASK;
}

bool AuxDefVertexRecordFields::setBindings(uint64_t eBindings, Vq::BaseChange& change) {
    VQ_PROPAGATE(DefVertexRecordFields::setBindings(eBindings, change));
    _updateAuxBit();
    return true;
}

AuxVertexField* AuxDefVertexRecordFields::auxField(uint32_t index) const {
    return index < _vpAuxFields.size() ? _vpAuxFields[index].get() : nullptr;
}

AuxVertexField* AuxDefVertexRecordFields::auxField(const VqGUID& guid) const {
    for (const auto& f : _vpAuxFields)
        if (f->guid() == guid) return f.get();
    return nullptr;
}

bool AuxDefVertexRecordFields::bindAuxField(AuxVertexField* pField) {
    VQ_CHECK(pField, kCls, "bindAuxField", VQ_ERR_ARGUMENT);
    const bool _bIsBound = pField->isBound();
    VQ_CHECK(!_bIsBound, kCls, "bindAuxField", VQ_ERR_ARGUMENT);
    VQ_CHECK(!auxField(pField->guid()), kCls, "bindAuxField", VQ_ERR_ARGUMENT);
    VQ_CHECK(pField->numRecords() == numRecords(), kCls, "bindAuxField", VQ_ERR_ARGUMENT);
    try {
        _vpAuxFields.emplace_back(pField);
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, "bindAuxField", "Memory Allocation", VQ_ERR_ALLOC);
    }
    pField->_setBound(true);
    _updateAuxBit();
    return true;
}

bool AuxDefVertexRecordFields::unbindAuxField(const VqGUID& guid) {
    auto it = std::find_if(_vpAuxFields.begin(), _vpAuxFields.end(),
                           [&](const Vq::SharedPtr<AuxVertexField>& f) { return f->guid() == guid; });
    VQ_CHECK(it != _vpAuxFields.end(), kCls, "unbindAuxField", VQ_ERR_ARGUMENT);
    std::erase_if(_vFieldVis, [&](const FieldVisualization& v) { return v.guid == guid; });
    (*it)->_setBound(false);
    _vpAuxFields.erase(it);
    _updateAuxBit();
    return true;
}

bool AuxDefVertexRecordFields::addFieldVisualization(int eMode, const VqGUID& guid, uint32_t iStep) {
    VQ_CHECK(eMode >= VisContour && eMode <= VisAuxArrow, kCls, "addFieldVisualization", VQ_ERR_ARGUMENT);
    const AuxVertexField* pField = auxField(guid);
    VQ_CHECK(pField, kCls, "addFieldVisualization", VQ_ERR_ARGUMENT);
    const VqAuxType _eType = pField->type();
    VQ_CHECK(_eType < VQ_AUXTYPE_LAST && (_eType < VQ_AUXTYPE_U64_V1 || _eType > VQ_AUXTYPE_I64_V4), kCls,
             "addFieldVisualization", VQ_ERR_ARGUMENT);
    if (!(iStep < pField->numSteps()))
        VQ_FAIL(kCls, "addFieldVisualization", "iStep < _vbStepSuppressed.size()", VQ_ERR_ARGUMENT);
    VQ_CHECK(!pField->isStepSuppressed(iStep), kCls, "addFieldVisualization", VQ_ERR_ARGUMENT);
    for (FieldVisualization& v : _vFieldVis)
        if (v.eMode == eMode && v.guid == guid) {
            v.iStep = iStep;
            return true;
        }
    try {
        _vFieldVis.push_back({eMode, guid, iStep});
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, "addFieldVisualization", "Memory Allocation", VQ_ERR_ALLOC);
    }
    return true;
}

bool AuxDefVertexRecordFields::removeFieldVisualization(int eMode, const VqGUID& guid) {
    const size_t n = std::erase_if(
        _vFieldVis, [&](const FieldVisualization& v) { return v.eMode == eMode && v.guid == guid; });
    VQ_CHECK(n > 0, kCls, "removeFieldVisualization", VQ_ERR_ARGUMENT);
    return true;
}

bool AuxDefVertexRecordFields::resize(uint32_t n) {
    const uint32_t nOld = numRecords();
    VQ_PROPAGATE(DefVertexRecordFields::resize(n));
    for (size_t i = 0; i < _vpAuxFields.size(); ++i) {
        if (_vpAuxFields[i]->_resize(n)) continue;
        // Cutting back never allocates: every array returns to the old count.
        for (size_t j = 0; j < i; ++j)
            _vpAuxFields[j]->_resize(nOld);
        DefVertexRecordFields::resize(nOld);
        VqErrorState::rethrowError();
        return false;
    }
    return true;
}

void AuxDefVertexRecordFields::copyRecord(uint32_t dst, uint32_t src) {
    DefVertexRecordFields::copyRecord(dst, src);
    for (const auto& f : _vpAuxFields)
        f->_copyRecord(dst, src);
}

bool AuxDefVertexRecordFields::reorder(const uint32_t* recordMap, uint32_t nRecs, const uint32_t* coordMap) {
    // The fields' new steps are built before anything changes, so that a
    // failure leaves every array as it was.
    // A bad map is left to the base, which names it.
    std::vector<AuxVertexField::Steps> vSteps(_vpAuxFields.size());
    const uint32_t nOrig = numRecords();
    const bool bValid = nRecs <= nOrig &&
                        std::all_of(recordMap, recordMap + nRecs, [nOrig](uint32_t r) { return r < nOrig; });
    if (bValid)
        for (size_t i = 0; i < _vpAuxFields.size(); ++i)
            VQ_PROPAGATE(_vpAuxFields[i]->_gather(recordMap, nRecs, vSteps[i]));
    VQ_PROPAGATE(DefVertexRecordFields::reorder(recordMap, nRecs, coordMap));
    for (size_t i = 0; i < _vpAuxFields.size(); ++i)
        _vpAuxFields[i]->_adopt(vSteps[i], nRecs);
    return true;
}

bool AuxDefVertexRecordFields::equalAuxRecords(uint32_t a, uint32_t b) const {
    for (const auto& f : _vpAuxFields)
        if (!f->_equalRecords(a, b)) return false;
    return true;
}

bool AuxDefVertexRecordFields::append(const VertexRecordFields& src, const uint32_t* indices, uint32_t n) {
    const uint32_t nOld = numRecords();
    VQ_PROPAGATE(DefVertexRecordFields::append(src, indices, n));
    const auto* pSrc = Vq::typeCast<AuxDefVertexRecordFields>(&src);
    for (size_t i = 0; i < _vpAuxFields.size(); ++i) {
        AuxVertexField& f = *_vpAuxFields[i];
        const AuxVertexField* s = pSrc ? pSrc->auxField(f.guid()) : nullptr;
        const bool ok = s && s->_sameLayout(f) ? f._append(*s, indices, n) : f._resize(nOld + n);
        if (ok) continue;
        for (size_t j = 0; j < i; ++j)
            _vpAuxFields[j]->_resize(nOld);
        DefVertexRecordFields::resize(nOld);
        VqErrorState::rethrowError();
        return false;
    }
    return true;
}

void AuxDefVertexRecordFields::clear(bool bFreeMemory) {
    DefVertexRecordFields::clear(bFreeMemory);
    for (const auto& f : _vpAuxFields) {
        f->_resize(0);
        if (bFreeMemory) f->_shrink();
    }
}

void AuxDefVertexRecordFields::shrink() {
    DefVertexRecordFields::shrink();
    for (const auto& f : _vpAuxFields)
        f->_shrink();
}

size_t AuxDefVertexRecordFields::_memSize(bool deep) const {
    size_t n = DefVertexRecordFields::_memSize(deep);
    for (const auto& f : _vpAuxFields)
        n += f->_memSize();
    return n;
}

} // namespace Vq
