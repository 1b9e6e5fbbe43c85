#include "VqState.h"

#include "VqCuttingPlane.h"
#include "VqDrawStyle.h"
#include "VqFactory.h"
#include "VqFog.h"
#include "VqLightSet.h"
#include "VqLineStyle.h"
#include "VqMaterial.h"
#include "VqMutex.h"
#include "VqPointStyle.h"
#include "VqShader.h"
#include "VqShaderEffects.h"
#include "VqTexCoordGen.h"
#include "VqTexImage.h"
#include "VqXform.h"

#include <new>

VQ_IMPLEMENT_TYPE(VqState, VqBase, CLSID_ZQState)

const int VqState::s_aiCmpOrder[VqState::s_nNumPos] = {s_iPosShadFX, s_iPosShader, s_iPosTex,   s_iPosTCG,
                                                       s_iPosCPlane, s_iPosFog,    s_iPosLight, s_iPosDStyle,
                                                       s_iPosLStyle, s_iPosPStyle, s_iPosMtl,   s_iPosXform};
bool VqState::s_bInitialized = false;
Vq::SharedPtr<VqAttribute>* VqState::s_apDefaultAttrs = nullptr;

namespace {
VqMutex s_initMutex;
}

bool VqState::init() {
    VqAutoLock lock(s_initMutex);
    if (s_bInitialized) return true;
    Vq::SharedPtr<VqAttribute>* defs = new (std::nothrow) Vq::SharedPtr<VqAttribute>[s_nNumPos];
    if (!defs) VQ_FAIL("VqState", "init", "Allocation failed: s_apDefaultAttrs", VQ_ERR_ALLOC);
    defs[s_iPosXform] = new VqXform();
    defs[s_iPosTex] = new VqTexImage();
    defs[s_iPosTCG] = new VqTexCoordGen();
    defs[s_iPosCPlane] = new VqCuttingPlane();
    defs[s_iPosFog] = new VqFog();
    defs[s_iPosLight] = new VqLightSet();
    defs[s_iPosDStyle] = new VqDrawStyle();
    defs[s_iPosLStyle] = new VqLineStyle();
    defs[s_iPosPStyle] = new VqPointStyle();
    defs[s_iPosMtl] = new VqMaterial();
    defs[s_iPosShadFX] = new VqShaderEffects();
    defs[s_iPosShader] = new Vq::Shader();
    for (int i = 0; i < s_nNumPos; ++i)
        if (!defs[i]) {
            delete[] defs;
            VQ_FAIL("VqState", "init", "Allocation failed: s_apDefaultAttrs[i]", VQ_ERR_ALLOC);
        }
    s_apDefaultAttrs = defs;
    s_bInitialized = true;
    return true;
}

void VqState::fini() {
    VqAutoLock lock(s_initMutex);
    delete[] s_apDefaultAttrs;
    s_apDefaultAttrs = nullptr;
    s_bInitialized = false;
}

VqState::VqState() {
    if (!s_bInitialized && !init()) return;
    for (int i = 0; i < s_nNumPos; ++i)
        _apAttrs[i] = s_apDefaultAttrs[i];
}

VqState::VqState(const VqState& o) : VqCachedState(o), _uRenderFlags(o._uRenderFlags) {
    for (int i = 0; i < s_nNumPos; ++i)
        _apAttrs[i] = o._apAttrs[i];
}

VqState& VqState::operator=(const VqState& o) {
    if (this == &o) return *this;
    for (int i = 0; i < s_nNumPos; ++i)
        _apAttrs[i] = o._apAttrs[i];
    _uRenderFlags = o._uRenderFlags;
    _pLightState = nullptr;
    _pShapeState = nullptr;
    _pXformState = nullptr;
    return *this;
}

VqState::~VqState() = default;

void VqState::clear() {
    for (int i = 0; i < s_nNumPos; ++i)
        _apAttrs[i] = s_bInitialized ? s_apDefaultAttrs[i] : nullptr;
    _uRenderFlags = VQ_RF_ALWAYS;
    _pLightState = nullptr;
    _pShapeState = nullptr;
    _pXformState = nullptr;
}

int VqState::_slotOf(const VqAttribute* attr) const {
    const VqType* t = attr->type();
    for (int i = 0; i < s_nNumPos; ++i)
        if (_apAttrs[i] && _apAttrs[i]->type() == t) return i;
    for (int i = 0; i < s_nNumPos; ++i)
        if (_apAttrs[i] && t->isA(*_apAttrs[i]->type())) return i;
    return -1;
}

bool VqState::accumAttribute(const VqAttribute* attr, const VqPath* path) {
    if (!attr) return true;
    const int pos = _slotOf(attr);
    if (pos < 0) return true;
    // An accumulator that only this state holds is changed in place; any
    // other slot object (a default, or one shared with other states) is
    // copied first.
    VqAttribute* acc = _apAttrs[pos].get();
    if (!(acc->isAccumulant() && acc->refCount() == 1 && acc != attr)) {
        VqAttribute* pNewAttr = nullptr;
        if (!acc->clone(pNewAttr) || !pNewAttr)
            VQ_FAIL("VqState", "accumAttribute", "pNewAttr", VQ_ERR_INTERNAL);
        _apAttrs[pos] = pNewAttr;
        acc = pNewAttr;
    }
    VQ_PROPAGATE(acc->accumulate(*attr, this, path));
    return true;
}

bool VqState::setAttribute(const VqAttribute* attr) {
    VQ_CHECK(attr != nullptr, "VqState", "setAttribute", VQ_ERR_ARGUMENT);
    if (!s_bInitialized) VQ_PROPAGATE(init());
    for (int i = 0; i < s_nNumPos; ++i)
        if (s_apDefaultAttrs[i]->type() == attr->type()) {
            _apAttrs[i] = const_cast<VqAttribute*>(attr);
            return true;
        }
    VQ_FAIL("VqState", "setAttribute", "No attribute of type passed in is registered", VQ_ERR_ARGUMENT);
}

bool VqState::setAttributes(const Vq::SharedPtrVec<VqAttribute>& attrs) {
    VQ_CHECK(attrs.size() == size_t(s_nNumPos), "VqState", "setAttributes", VQ_ERR_ARGUMENT);
    if (!s_bInitialized) VQ_PROPAGATE(init());
    for (int i = 0; i < s_nNumPos; ++i)
        if (!attrs[size_t(i)] || attrs[size_t(i)]->type() != s_apDefaultAttrs[i]->type())
            VQ_FAIL("VqState", "setAttributes", "No attribute of type passed in is registered",
                    VQ_ERR_ARGUMENT);
    for (int i = 0; i < s_nNumPos; ++i)
        _apAttrs[i] = attrs[size_t(i)];
    return true;
}

const VqAttribute* VqState::attribute(const VqType& type) const {
    for (int i = 0; i < s_nNumPos; ++i)
        if (_apAttrs[i] && _apAttrs[i]->type() == &type) return _apAttrs[i].get();
    return nullptr;
}

int VqState::attributePosition(const VqType& type) {
    if (s_bInitialized || init())
        for (int i = 0; i < s_nNumPos; ++i)
            if (s_apDefaultAttrs[i]->type() == &type) return i;
    VqErrorState::throwStdError("VqState", "attributePosition",
                                "The attrtype passed in is not of type VqAttribute.", VQ_ERR_ARGUMENT);
    return -1;
}

uint32_t VqState::stateMask(const VqType& type) {
    const int pos = attributePosition(type);
    return pos < 0 ? 0u : (1u << pos);
}

bool VqState::getDefaultAttributes(Vq::SharedPtrVec<VqAttribute>& out) {
    if (!s_bInitialized) VQ_PROPAGATE(init());
    out.assign(s_apDefaultAttrs, s_apDefaultAttrs + s_nNumPos);
    return true;
}

unsigned char VqState::ensureRenderFlag() const {
    unsigned char flags = VQ_RF_ALWAYS;
    VqMaterial* mtl = static_cast<VqMaterial*>(_apAttrs[s_iPosMtl].get());
    if (mtl) {
        if (mtl->mixedAccumActive() && mtl->mixedAccumModified()) mtl->recomputeDynamicState();
        if (mtl->dataFlags() & VqMaterial::s_uBlendFlag) flags |= VQ_RF_TRANSPARENT;
    }
    const VqDrawStyle* ds = static_cast<const VqDrawStyle*>(_apAttrs[s_iPosDStyle].get());
    if ((flags & VQ_RF_TRANSPARENT) && !(ds && ds->outlinedPolygons())) flags |= VQ_RF_OPAQUE_DRAWN;
    _uRenderFlags = flags;
    return flags;
}

bool VqState::finalize() {
    static const int order[] = {s_iPosTex, s_iPosTCG, s_iPosShadFX};
    for (int pos : order)
        VQ_PROPAGATE(_apAttrs[pos]->finalize(this));
    ensureRenderFlag();
    if (!_pLightState) {
        _pLightState = new Vq::LightState(this);
        if (!_pLightState)
            VQ_FAIL("VqState", "finalize", "Allocation failed: _pLightState = new Vq::LightState(this)",
                    VQ_ERR_ALLOC);
    }
    if (!_pShapeState) {
        _pShapeState = new Vq::ShapeState(this);
        if (!_pShapeState)
            VQ_FAIL("VqState", "finalize", "Allocation failed: _pShapeState = new Vq::ShapeState(this)",
                    VQ_ERR_ALLOC);
    }
    if (!_pXformState) {
        _pXformState = new Vq::XformState(this);
        if (!_pXformState)
            VQ_FAIL("VqState", "finalize", "Allocation failed: _pXformState = new Vq::XformState(this)",
                    VQ_ERR_ALLOC);
    }
    return true;
}

bool VqState::apply(VqBitField<1> mask, VqRenderContext& rc) const {
    for (int i = 0; i < s_nNumPos; ++i)
        if (mask.isSet(i) && _apAttrs[i]) VQ_PROPAGATE(_apAttrs[i]->_apply(rc, this, false, false));
    return true;
}

int VqState::compare(const VqState& a, const VqState& b) {
    if (&a == &b) return 0;
    for (int pos : s_aiCmpOrder) {
        const VqAttribute* x = a._apAttrs[pos].get();
        const VqAttribute* y = b._apAttrs[pos].get();
        if (x == y) continue;
        if (!x || !y) return x ? 1 : -1;
        if (int c = x->compareHook(*y)) return c;
    }
    return 0;
}

// By the cached hashes alone: -1, 0 or 1, so that sorting stays consistent.
int VqState::compareQuick(const VqState& a, const VqState& b) {
    if (&a == &b) return 0;
    for (int pos : s_aiCmpOrder) {
        const VqAttribute* x = a._apAttrs[pos].get();
        const VqAttribute* y = b._apAttrs[pos].get();
        if (x == y) continue;
        const uint32_t hx = x ? x->hashValue() : 0u, hy = y ? y->hashValue() : 0u;
        if (hx != hy) return hx < hy ? -1 : 1;
    }
    return 0;
}

bool VqState::dropCaches(int mask) {
    bool dropped = false;
    if ((mask & 0x2000) && _pLightState) {
        _pLightState = nullptr;
        dropped = true;
    }
    if ((mask & 0x4000) && _pShapeState) {
        _pShapeState = nullptr;
        dropped = true;
    }
    if ((mask & 0x1000) && _pXformState) {
        _pXformState = nullptr;
        dropped = true;
    }
    return dropped;
}

namespace Vq {

LightState::LightState(const VqState* state) : _pState(state) {
    const VqLightSet* ls = static_cast<const VqLightSet*>(state->attributeAt(VqState::s_iPosLight));
    for (int i = 0; ls && i < ls->numLights(); ++i) {
        _vpLights.push_back(ls->light(i));
        VqMatrix4f m;
        if (const VqXform* xf = ls->lightXform(i)) xf->getMatrix(m);
        _vMatrices.push_back(m);
    }
}

ShapeState::ShapeState(const VqState* state) : _pState(state) {
    const VqDrawStyle* ds = static_cast<const VqDrawStyle*>(state->attributeAt(VqState::s_iPosDStyle));
    _bLighting = ds && ds->lighting();
    _bTwoSided = ds && ds->twoSidedLighting();
    _bCulling = ds && ds->backFaceCulling();
    _bOutlined = ds && ds->outlinedPolygons();
    _bTransparent = (state->renderFlags() & VqState::VQ_RF_TRANSPARENT) != 0;
}

XformState::XformState(const VqState* state) : _pState(state) {
    _pXform = static_cast<const VqXform*>(state->attributeAt(VqState::s_iPosXform));
    _bDynamicBase = _pXform && _pXform->hasDynamicParts();
    if (_pXform) _pXform->getMatrix(_mMatrix);
}

} // namespace Vq
