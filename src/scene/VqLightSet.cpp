#include "VqLightSet.h"

#include "VqFactory.h"
#include "VqMaterial.h"
#include "VqModelContext.h"
#include "VqNode.h"
#include "VqPath.h"
#include "VqState.h"
#include "VqTexImage.h"
#include "VqXform.h"

#include <cstdint>

VQ_IMPLEMENT_TYPE(VqLightSet, VqAttribute, CLSID_ZQLightSet)

VqLightSet::VqLightSet(const VqLightSet& o)
    : VqAttributeT(o), _vpLights(o._vpLights), _vpXforms(o._vpXforms) {}

VqLightSet::~VqLightSet() {
    if (_bNeedsFixup) {
        // The slots hold addresses the set never counted.
        for (auto& l : _vpLights)
            l.release();
        return;
    }
    if (_bListening.load())
        for (const auto& l : _vpLights)
            l->removeNotification(this);
}

bool VqLightSet::addNotification(const VqNotifyBase* client) const {
    VQ_PROPAGATE(VqAttribute::addNotification(client));
    if (_bListening.exchange(true)) return true;
    // While the slots hold object IDs the fix-up registers instead.
    if (_bNeedsFixup) return true;
    for (const auto& l : _vpLights)
        VQ_PROPAGATE(l->addNotification(this));
    return true;
}

bool VqLightSet::_apply(VqRenderContext&, const VqState*, bool, bool) const {
    return true;
}

// A light's change is this set's change: the nodes holding the set drop
// their states and tell their model context.
bool VqLightSet::receiveNotification(const VqBase* who, Vq::BaseChange change) const {
    for (const auto& l : _vpLights)
        if (l.get() == who) {
            _resetHash();
            VQ_PROPAGATE(sendNotification(this, change));
            return true;
        }
    return VqAttribute::receiveNotification(who, change);
}

bool VqLightSet::appendLight(VqLight* light) {
    VQ_CHECK(light != nullptr, "VqLightSet", "appendLight", VQ_ERR_ARGUMENT);
    VQ_CHECK(!isAccumulant(), "VqLightSet", "appendLight", VQ_ERR_INTERNAL);
    _vpLights.push_back(light);
    _vpXforms.push_back(nullptr);
    if (_bListening.load()) VQ_PROPAGATE(light->addNotification(this));
    _resetHash();
    VQ_PROPAGATE(sendNotification(this, Vq::BaseChangeRendering));
    return true;
}

bool VqLightSet::removeLight(int index) {
    VQ_CHECK(index >= 0 && index < numLights(), "VqLightSet", "removeLight", VQ_ERR_ARGUMENT);
    if (_bListening.load()) _vpLights[size_t(index)]->removeNotification(this);
    _vpLights.erase(_vpLights.begin() + index);
    _vpXforms.erase(_vpXforms.begin() + index);
    _resetHash();
    VQ_PROPAGATE(sendNotification(this, Vq::BaseChangeRendering));
    return true;
}

int VqLightSet::numLights(VqCoordSystem cs) const {
    if (cs == VQ_COORDSYS_NONE) return numLights();
    int n = 0;
    for (const auto& l : _vpLights)
        if (l->coordSys() == cs) ++n;
    return n;
}

VqLight* VqLightSet::light(int index) const {
    return index >= 0 && index < numLights() ? _vpLights[size_t(index)].get() : nullptr;
}

const VqXform* VqLightSet::lightXform(int index) const {
    return index >= 0 && index < numLights() ? _vpXforms[size_t(index)].get() : nullptr;
}

// A light reached through several instances casts one shadow per instance:
// in a model the place and its texture belong to the (light, instance key)
// pair, the key being that of the node on the path that holds the set. A set
// accumulated outside a model (or on a path the model's search did not list)
// uses the light's own place, on a texture of the state's own.
bool VqLightSet::_shadowMap(const VqLight& light, const VqLightSet& holder, const VqPath* path, int& index,
                            Vq::SharedPtr<const VqTexImage>& tex) {
    index = -1;
    const Vq::ModelContext* mc =
        path && path->length() ? Vq::ModelContext::findModelContext(path->first()) : nullptr;
    int at = path ? path->length() - 1 : -1;
    while (at >= 0 && (*path)[at]->findAttribute(&holder) < 0)
        --at;
    if (mc && at >= 0) {
        unsigned int key = 0;
        VQ_PROPAGATE(path->getPathBitVec(key));
        for (int i = path->length() - 1; i > at; --i)
            key >>= VqPath::cLog2((*path)[i]->numParents());
        const VqTexImage* placeTex = nullptr;
        VQ_PROPAGATE(mc->shadowCaster(&light, key, index, placeTex));
        tex = placeTex;
        if (index >= 0) return true;
    }
    index = light.shadowCasterIndex();
    if (index < 0) return true;
    const VqTexImage* base = nullptr;
    VqAttribute* copy = nullptr;
    VQ_PROPAGATE(light.shadowTexture(base) && base->clone(copy));
    Vq::SharedPtr<VqTexImage> own = static_cast<VqTexImage*>(copy);
    VQ_PROPAGATE(own->setChannel(index));
    tex = own.get();
    return true;
}

// Each light of the incoming set goes to the front, so the lowest set's
// lights come first and each set's lights end up in reverse order.
bool VqLightSet::accumulateHook(const VqAttribute& a, const VqState* state, const VqPath* path) {
    const VqLightSet& in = static_cast<const VqLightSet&>(a);
    VqState* accState = const_cast<VqState*>(state);
    for (const auto& pAccLight : in._vpLights) {
        const VqXform* xf = nullptr;
        if (pAccLight->coordSys() == VQ_COORDSYS_MODEL && state)
            xf = static_cast<const VqXform*>(state->attribute(VqXform::classTypeID()));
        _vpLights.insert(_vpLights.begin(), pAccLight);
        _vpXforms.insert(_vpXforms.begin(), xf);
        if (!pAccLight->shadowCaster() || !accState) continue;
        if (pAccLight->nonShadowAlphaFactor() < 1.0f || pAccLight->shadowAlphaFactor() < 1.0f) {
            // Only the blending switch, through whatever the path made final.
            Vq::SharedPtr<VqMaterial> blend = new VqMaterial();
            if (!blend)
                VQ_FAIL("VqLightSet", "accumulateHook", "Allocation failed: blend = new VqMaterial()",
                        VQ_ERR_ALLOC);
            const VqMaterial* cur =
                static_cast<const VqMaterial*>(state->attribute(VqMaterial::classTypeID()));
            if (cur) VQ_PROPAGATE(blend->setBlendFactors(cur->srcBlendFactor(), cur->dstBlendFactor()));
            VQ_PROPAGATE(blend->setBlending(true));
            for (unsigned int f = 0; f < VqMaterial::NumFields; ++f)
                if (f != VqMaterial::Blending) VQ_PROPAGATE(blend->setInhibit(f, true));
            VQ_PROPAGATE(blend->setForceAccum(true));
            VQ_PROPAGATE(accState->accumAttribute(blend.get(), path));
        }
        int index = -1;
        Vq::SharedPtr<const VqTexImage> tex;
        VQ_PROPAGATE(_shadowMap(*pAccLight, in, path, index, tex));
        if (!(index >= 0))
            VQ_FAIL("VqLightSet", "accumulateHook", "pAccLight->shadowCasterIndex() >= 0", VQ_ERR_INTERNAL);
        VQ_PROPAGATE(accState->accumAttribute(tex.get(), path));
    }
    _uFlags = in._uFlags;
    _uInhibitMask = in._uInhibitMask;
    _uFinalMask = in._uFinalMask;
    _resetHash();
    _updateHashVal();
    return true;
}

bool VqLightSet::_fixupLists() {
    if (!_bNeedsFixup) return true;
    size_t j = 0;
    for (size_t i = 0; i < _vpLights.size(); ++i) {
        VqLight* l = _vpLights[i].release();
        if (!l) continue;
        _vpLights[j++] = l;
        if (_bListening.load()) VQ_PROPAGATE(l->addNotification(this));
    }
    _vpLights.resize(j);
    _vpXforms.assign(j, nullptr);
    _bNeedsFixup = false;
    _resetHash();
    return true;
}

void VqLightSet::_referencedObjects(std::vector<const VqBase*>& out) const {
    for (const auto& l : _vpLights)
        out.push_back(l.get());
}

bool VqLightSet::_writeFields(VqObjectStream& os, const Vq::RecordFormat&) const {
    VQ_PROPAGATE(os.write(static_cast<int>(_vpLights.size())));
    for (const auto& l : _vpLights) {
        int id = -1;
        VQ_PROPAGATE(os.ptr2num(l.get(), &id) && os.write(id));
    }
    return true;
}

bool VqLightSet::_readFields(VqObjectStream& os, const Vq::RecordFormat&, int) {
    int count = 0;
    VQ_PROPAGATE(os.read(&count));
    if (count < 0 || uint64_t(count) * sizeof(int) > os._readLimit())
        VQ_FAIL("VqLightSet", "_readFields", "nLights >= 0 && nLights * 4 <= bytes left in the element",
                VQ_ERR_CORRUPT);
    VQ_CHECK(_vpLights.empty(), "VqLightSet", "_readFields", VQ_ERR_INTERNAL);
    // Sized once: the stream threads its pending references through these
    // slots. Until the whole element is read they hold the object IDs.
    _vpLights.resize(size_t(count));
    _vpXforms.assign(size_t(count), nullptr);
    _bNeedsFixup = true;
    for (int i = 0; i < count; ++i) {
        int id = -1;
        VQ_PROPAGATE(os.read(&id));
        *_vpLights[size_t(i)].slot() = reinterpret_cast<VqLight*>(static_cast<intptr_t>(id));
    }
    return true;
}

// Only an element read whole hands its references to the stream, so that a
// failed read leaves no slot in the stream's fix-up lists.
bool VqLightSet::deserialize(VqObjectStream& os) {
    if (VqAttribute::deserialize(os)) {
        for (auto& l : _vpLights) {
            const int id = static_cast<int>(reinterpret_cast<intptr_t>(l.release()));
            void* slot = l.slot();
            // False only means the object comes later in the segment.
            os.ptrFromNum(id, static_cast<const void**>(slot));
        }
        return true;
    }
    for (auto& l : _vpLights)
        l.release();
    _vpLights.clear();
    _vpXforms.clear();
    _bNeedsFixup = false;
    VqErrorState::rethrowError();
    return false;
}
