#include "VqModelContext.h"

#include "VqFactory.h"
#include "VqFog.h"
#include "VqGroup.h"
#include "VqLightSet.h"
#include "VqMaterial.h"
#include "VqMutex.h"
#include "VqPartition.h"
#include "VqSpatialTree.h"
#include "VqStackNodeIter.h"
#include "VqState.h"
#include "VqStdException.h"
#include "VqStringPropAtom.h"
#include "VqTexImage.h"

#include <algorithm>
#include <new>
#include <unordered_set>

VQ_IMPLEMENT_TYPE_NOCLONE(Vq::ModelContext, VqNotifyBase, CLSID_VQModelContext)

namespace {
VqMutex s_listMutex;
// Guards the lists of shadow-casting lights and mirrors, searched again
// lazily by whichever traversal thread asks first. Searches are rare, so one
// lock serves every model.
VqMutex s_searchMutex;

// Spatial occurrences belong to a layer above this one: they are known by
// their registered type.
bool isSpatialOccurrence(const VqBase* who) {
    VqType* t = nullptr;
    return who && VqFactory::getType(VqGUID(CLSID_VQSpatialOccurrenceImpl), t) && t && who->isOfType(*t);
}

bool partitionOpened(VqPartition* partition, VqPartition::CallbackTime time, void* userData) {
    return Vq::ModelContext::_partitionOpened(partition, time, userData);
}
std::vector<Vq::ModelContext*>* s_pModelContexts = nullptr;

// Collects the shadow-casting lights and the mirror shapes of a graph.
struct SearchData : public VqRefCountedBody {
    std::vector<Vq::ModelContext::Found<VqLight>> lights;
    std::vector<Vq::ModelContext::Found<VqNode>> mirrors;
    Vq::SharedPtr<VqStringPropAtom> mirrorKey;
};

bool findShadowLightsAndMirrors(VqNodeIter* iter, VqNodeIter::ActionTime, int, VqNode* node, unsigned int key,
                                VqNodeIter::DataHandle& data, float) {
    SearchData* sd = static_cast<SearchData*>(data.get());
    VqAttribute* const* attrs = nullptr;
    int count = 0;
    node->attributes(attrs, count);
    for (int i = 0; i < count; ++i) {
        const VqLightSet* ls = Vq::typeCast<VqLightSet>(attrs[i]);
        for (int l = 0; ls && l < ls->numLights(); ++l) {
            const VqLight* light = ls->light(l);
            if (!light->shadowCaster()) continue;
            const bool known = std::any_of(sd->lights.begin(), sd->lights.end(), [&](const auto& f) {
                return f.pObj.get() == light && f.uKey == key;
            });
            if (!known) sd->lights.push_back({light, key});
        }
    }
    VqPropAtom* value = nullptr;
    if (sd->mirrorKey && node->propValue(sd->mirrorKey.get(), value, false) && value)
        sd->mirrors.push_back({node, key});
    VqVec<float> none;
    return iter->addAllChildren(data, none);
}
} // namespace

namespace Vq {

bool SliceContext::allocate(const SliceDesc& d, SliceID& id) {
    if (_uMask == ~SliceMask(0))
        VQ_FAIL("Vq::SliceContext", "allocate", "numOfAllocatedSlices() < 64", VQ_ERR_ARGUMENT);
    const int free = __builtin_ctzll(~_uMask);
    _uMask |= SliceMask(1) << free;
    _aDescs[free] = d;
    id = static_cast<SliceID>(free);
    return true;
}

bool SliceContext::dealloc(SliceID id) {
    VQ_CHECK(isAllocated(id), "Vq::SliceContext", "dealloc", VQ_ERR_ARGUMENT);
    _uMask &= ~(SliceMask(1) << id);
    _aDescs[id] = SliceDesc();
    return true;
}

bool SliceContext::setDesc(SliceID id, const SliceDesc& d) {
    VQ_CHECK(isAllocated(id), "Vq::SliceContext", "setDesc", VQ_ERR_ARGUMENT);
    _aDescs[id] = d;
    return true;
}

bool SliceContext::desc(SliceID id, SliceDesc& out) const {
    VQ_CHECK(isAllocated(id), "Vq::SliceContext", "desc", VQ_ERR_ARGUMENT);
    out = _aDescs[id];
    return true;
}

ModelContext::ModelContext() {
    _pSliceCntx = new SliceContext();
    Vq::SharedPtrVec<VqAttribute> defaults;
    if (VqState::getDefaultAttributes(defaults)) {
        // Copies of their own, so that replacing or changing one concerns
        // this model only.
        for (const auto& d : defaults) {
            VqAttribute* copy = nullptr;
            if (!d->clone(copy) || !copy) break;
            _vpDefaultAttrs.push_back(copy);
            copy->addNotification(this);
        }
    }
    VqAutoLock lock(s_listMutex);
    if (!s_pModelContexts) _createList();
    if (s_pModelContexts) s_pModelContexts->push_back(this);
}

ModelContext::~ModelContext() {
    {
        VqAutoLock lock(s_listMutex);
        if (s_pModelContexts) {
            auto it = std::find(s_pModelContexts->begin(), s_pModelContexts->end(), this);
            if (it != s_pModelContexts->end()) s_pModelContexts->erase(it);
        }
    }
    for (const auto& a : _vpDefaultAttrs)
        a->removeNotification(this);
    for (const auto& g : _vpLSGs)
        _markSubgraph(g.get(), false);
    delete _pSliceCntx;
}

bool ModelContext::addSpatialTree(SpatialTree* tree) {
    VQ_CHECK(tree != nullptr, "Vq::ModelContext", "addSpatialTree", VQ_ERR_ARGUMENT);
    _vpSpatialTrees.emplace_back(tree);
    return true;
}

bool ModelContext::removeSpatialTree(unsigned int index) {
    VQ_CHECK(index < _vpSpatialTrees.size(), "Vq::ModelContext", "removeSpatialTree", VQ_ERR_ARGUMENT);
    Vq::SharedPtr<SpatialTree> tree = _vpSpatialTrees[index];
    _vpSpatialTrees.erase(_vpSpatialTrees.begin() + index);
    return sendNotification(tree.get(), VQ_MC_CHANGE_REMOVED);
}

SpatialTree* ModelContext::spatialTree(unsigned int index) const {
    return index < _vpSpatialTrees.size() ? _vpSpatialTrees[index].get() : nullptr;
}

template <class Tell>
bool ModelContext::_tellSpatialTrees(Tell&& tell) {
    for (const auto& t : _vpSpatialTrees) {
        t->lockWrite(true);
        const bool ok = tell(*t);
        t->lockWrite(false);
        VQ_PROPAGATE(ok);
    }
    return true;
}

const std::vector<ModelContext*>& ModelContext::modelContexts() {
    static const std::vector<ModelContext*> s_none;
    VqAutoLock lock(s_listMutex);
    if (!s_pModelContexts) _createList();
    return s_pModelContexts ? *s_pModelContexts : s_none;
}

// The list of model contexts; made with it, the links through which nodes
// and opened partitions reach their model.
void ModelContext::_createList() {
    s_pModelContexts = new (std::nothrow) std::vector<ModelContext*>();
    if (!s_pModelContexts) return;
    VqNode::setModelContextNotifier(&ModelContext::_notifyFromNode);
    VqPartition::addCallback(&partitionOpened, VqPartition::VQ_CB_OPENED, nullptr);
}

bool ModelContext::_partitionOpened(VqPartition* partition, int, void*) {
    ModelContext* mc = findModelContext(partition);
    if (!mc) return true;
    mc->_bSearchLights = mc->_bSearchMirrors = true;
    _markSubgraph(partition, false);
    _markSubgraph(partition, true);
    return mc->sendNotification(partition, VQ_MC_CHANGE_ADDED);
}

void ModelContext::fini() {
    VqAutoLock lock(s_listMutex);
    if (s_pModelContexts) VqPartition::removeCallback(&partitionOpened, VqPartition::VQ_CB_OPENED, nullptr);
    delete s_pModelContexts;
    s_pModelContexts = nullptr;
    VqNode::setModelContextNotifier(nullptr);
}

ModelContext* ModelContext::findModelContext(const VqNode* node) {
    if (!node) return nullptr;
    VqAutoLock lock(s_listMutex);
    if (!s_pModelContexts || s_pModelContexts->empty()) return nullptr;
    auto holder = [](const VqNode* n) -> ModelContext* {
        if (!n->_isPartitionRoot()) return nullptr;
        for (ModelContext* mc : *s_pModelContexts)
            for (const auto& g : mc->_vpLSGs)
                if (g.get() == n) return mc;
        return nullptr;
    };
    // Parents marked as part of a model are tried first: they lead to its
    // graphs, where the others may lead to groups that only share the node.
    std::unordered_set<const VqNode*> seen;
    std::vector<const VqNode*> todo{node};
    while (!todo.empty()) {
        const VqNode* n = todo.back();
        todo.pop_back();
        if (!seen.insert(n).second) continue;
        if (ModelContext* mc = holder(n)) return mc;
        for (int pass = 0; pass < 2; ++pass)
            for (int i = 0; i < n->numParents(); ++i) {
                const VqNode* p = n->parent(i);
                if (p->internalFlag(VqNode::VQ_NODE_IFLAG_MODELCONTEXT) == (pass == 1)) todo.push_back(p);
            }
    }
    return nullptr;
}

bool ModelContext::_notifyFromNode(const VqNode* node, const VqBase* who, Vq::BaseChange change) {
    ModelContext* mc = findModelContext(node);
    return mc ? mc->receiveNotification(who, change) : true;
}

// Nodes of a model carry the model-context flag, which makes them report to it.
void ModelContext::_markSubgraph(VqNode* node, bool on) {
    if (!node || node->internalFlag(VqNode::VQ_NODE_IFLAG_MODELCONTEXT) == on) return;
    std::vector<VqNode*> stack{node};
    while (!stack.empty()) {
        VqNode* n = stack.back();
        stack.pop_back();
        if (n->internalFlag(VqNode::VQ_NODE_IFLAG_MODELCONTEXT) == on) continue;
        n->setInternalFlag(VqNode::VQ_NODE_IFLAG_MODELCONTEXT, on);
        VqNode* const* list = nullptr;
        unsigned int count = 0;
        n->children(list, count, false);
        stack.insert(stack.end(), list, list + count);
    }
}

bool ModelContext::setRootPartition(VqPartition* root) {
    while (!_vpLSGs.empty())
        VQ_PROPAGATE(removeLogicalSceneGraph(0));
    return root ? addLogicalSceneGraph(root) : true;
}

VqPartition* ModelContext::rootPartition() const {
    return _vpLSGs.empty() ? nullptr : _vpLSGs.front().get();
}

bool ModelContext::addLogicalSceneGraph(VqPartition* root) {
    VQ_CHECK(root != nullptr, "Vq::ModelContext", "addLogicalSceneGraph", VQ_ERR_ARGUMENT);
    _vpLSGs.push_back(root);
    _markSubgraph(root, true);
    _bSearchLights = _bSearchMirrors = true;
    VQ_PROPAGATE(sendNotification(root, VQ_MC_CHANGE_ADDED));
    return true;
}

bool ModelContext::removeLogicalSceneGraph(unsigned int index) {
    VQ_CHECK(index < _vpLSGs.size(), "Vq::ModelContext", "removeLogicalSceneGraph", VQ_ERR_ARGUMENT);
    Vq::SharedPtr<VqPartition> root = _vpLSGs[index];
    _vpLSGs.erase(_vpLSGs.begin() + index);
    _markSubgraph(root.get(), false);
    _bSearchLights = _bSearchMirrors = true;
    VQ_PROPAGATE(sendNotification(root.get(), 32));
    return true;
}

VqPartition* ModelContext::logicalSceneGraph(unsigned int index) const {
    return index < _vpLSGs.size() ? _vpLSGs[index].get() : nullptr;
}

VqBox3<float> ModelContext::bboxWC() const {
    VqBox3<float> box;
    for (const auto& g : _vpLSGs)
        box.extendBy(g->bBox(1));
    return box;
}

size_t ModelContext::_memSize(bool deep) const {
    size_t n =
        sizeof(*this) + _vpLSGs.capacity() * sizeof(void*) + _vpDefaultAttrs.capacity() * sizeof(void*) +
        _vShadowLights.capacity() * sizeof(Found<VqLight>) + _vMirrors.capacity() * sizeof(Found<VqNode>);
    if (_pSliceCntx) n += sizeof(SliceContext);
    (void)deep;
    return n;
}

const VqAttribute* ModelContext::attribute(const VqType& type) const {
    for (const auto& a : _vpDefaultAttrs)
        if (a->type() == &type) return a.get();
    return nullptr;
}

bool ModelContext::replaceAttribute(VqAttribute* attr) {
    VQ_CHECK(attr != nullptr, "Vq::ModelContext", "replaceAttribute", VQ_ERR_ARGUMENT);
    for (auto& a : _vpDefaultAttrs)
        if (a->type() == attr->type()) {
            if (a.get() == attr) return true;
            a->removeNotification(this);
            a = attr;
            VQ_PROPAGATE(attr->addNotification(this));
            if (VqPartition* root = rootPartition()) {
                VQ_PROPAGATE(attr->invalidateNodeData(root));
                if (attr->isPersistable()) VQ_PROPAGATE(root->setModifiedFlag(true));
            }
            return true;
        }
    VQ_FAIL("Vq::ModelContext", "replaceAttribute", "No attribute of type passed in is registered",
            VQ_ERR_ARGUMENT);
}

bool ModelContext::getDefaultAttributes(Vq::SharedPtrVec<VqAttribute>& out) const {
    out = _vpDefaultAttrs;
    return true;
}

bool ModelContext::_isDefaultAttribute(const VqBase* who) const {
    for (const auto& a : _vpDefaultAttrs)
        if (a.get() == who) return true;
    return false;
}

bool ModelContext::receiveNotification(const VqBase* who, Vq::BaseChange change) const {
    if (_isDefaultAttribute(who)) {
        const VqAttribute* attr = static_cast<const VqAttribute*>(who);
        if (VqPartition* root = rootPartition()) {
            VQ_PROPAGATE(attr->invalidateNodeData(root));
            if (attr->isPersistable()) VQ_PROPAGATE(root->setModifiedFlag(true));
        }
        return true;
    }
    if (Vq::typeCast<VqLightSet>(who)) {
        _bSearchLights = true;
    } else if (Vq::typeCast<VqFog>(who)) {
        invalidateAllShadowMaps();
    } else if (const VqNode* node = Vq::typeCast<VqNode>(who)) {
        if (change == 16 || change == 32) {
            _bSearchLights = _bSearchMirrors = true;
            // A node added below a model node joins the model. A removed one
            // keeps its mark: it may still be in the model through another
            // parent, and a stale mark only costs a lookup that finds nothing.
            if (change == 16) _markSubgraph(const_cast<VqNode*>(node), true);
        } else if (change & 8) {
            // Shapes register with the factory; the test needs no more of them.
            VqType* shape = nullptr;
            if (VqFactory::getType(VqGUID(CLSID_ZQShape), shape) && shape && node->isOfType(*shape))
                invalidateAllShadowMaps();
        }
    } else if (Vq::typeCast<VqLight>(who)) {
        _bSearchLights = true;
    } else if (isSpatialOccurrence(who)) {
        invalidateAllShadowMaps();
    } else if (const VqStringPropAtom* atom = Vq::typeCast<VqStringPropAtom>(who)) {
        if (atom->value() == VqString(vqPropMirrorPlane)) _bSearchMirrors = true;
    }
    VQ_PROPAGATE(sendNotification(who, change));
    return true;
}

void ModelContext::_searchLightsAndMirrors() const {
    VqAutoLock lock(s_searchMutex);
    if (!_bSearchLights && !_bSearchMirrors) return;
    Vq::SharedPtr<VqStackNodeIter> iter = new VqStackNodeIter();
    Vq::SharedPtr<SearchData> sd = new SearchData();
    if (!iter || !sd) return;
    sd->mirrorKey = new VqStringPropAtom(vqPropMirrorPlane);
    iter->setChildMode(false);
    if (!iter->appendAction(VqNodeIter::Pre, &findShadowLightsAndMirrors, VqNodeIter::DataHandle())) return;
    for (const auto& g : _vpLSGs) {
        VqNodeIter::DataHandle data = sd.get();
        if (!iter->execute(g.get(), 1, data, 0.0f)) return;
    }
    if (_bSearchLights) {
        // Each (light, instance) place gets a texture of its own, made here and
        // not while states are built: an accumulation only reads it. The light
        // itself is shared by the places and is left unchanged.
        std::vector<Vq::SharedPtr<VqTexImage>> textures;
        for (size_t i = 0; i < sd->lights.size(); ++i) {
            const VqTexImage* base = nullptr;
            VqAttribute* copy = nullptr;
            if (!sd->lights[i].pObj->shadowTexture(base) || !base->clone(copy) || !copy) return;
            textures.push_back(static_cast<VqTexImage*>(copy));
            if (!textures.back()->setChannel(int(i))) return;
        }
        _vShadowLights = sd->lights;
        _vpShadowTextures.swap(textures);
        _vbShadowCastingLightsValid = VqBitVec(static_cast<int>(_vShadowLights.size()));
        _bSearchLights = false;
    }
    if (_bSearchMirrors) {
        _vMirrors = sd->mirrors;
        _bSearchMirrors = false;
    }
}

int ModelContext::numShadowCastingLights() const {
    VqAutoLock lock(s_searchMutex);
    _searchLightsAndMirrors();
    return static_cast<int>(_vShadowLights.size());
}

const VqLight* ModelContext::shadowCastingLight(int index) const {
    VqAutoLock lock(s_searchMutex);
    _searchLightsAndMirrors();
    return index >= 0 && size_t(index) < _vShadowLights.size() ? _vShadowLights[size_t(index)].pObj.get()
                                                               : nullptr;
}

unsigned int ModelContext::shadowCastingLightKey(int index) const {
    VqAutoLock lock(s_searchMutex);
    _searchLightsAndMirrors();
    return index >= 0 && size_t(index) < _vShadowLights.size() ? _vShadowLights[size_t(index)].uKey : 0u;
}

int ModelContext::numMirrorPlanes() const {
    VqAutoLock lock(s_searchMutex);
    _searchLightsAndMirrors();
    return static_cast<int>(_vMirrors.size());
}

bool ModelContext::shadowCaster(const VqLight* light, unsigned int key, int& index,
                                const VqTexImage*& tex) const {
    VqAutoLock lock(s_searchMutex);
    _searchLightsAndMirrors();
    index = -1;
    tex = nullptr;
    for (size_t i = 0; i < _vShadowLights.size(); ++i)
        if (_vShadowLights[i].pObj.get() == light && _vShadowLights[i].uKey == key) {
            index = int(i);
            tex = _vpShadowTextures[i].get();
            break;
        }
    return true;
}

const VqNode* ModelContext::mirrorPlane(int index) const {
    VqAutoLock lock(s_searchMutex);
    _searchLightsAndMirrors();
    return index >= 0 && size_t(index) < _vMirrors.size() ? _vMirrors[size_t(index)].pObj.get() : nullptr;
}

void ModelContext::_checkShadowIndex(int loc) const {
    _searchLightsAndMirrors();
    if (!(loc < _vbShadowCastingLightsValid.length() && loc >= 0))
        VQ_THROW("loc < _vbShadowCastingLightsValid.length() && loc >= 0", VQ_ERR_ARGUMENT);
}

bool ModelContext::isShadowMapValid(int loc) const {
    VqAutoLock lock(s_searchMutex);
    _checkShadowIndex(loc);
    return _vbShadowCastingLightsValid.get(loc);
}

void ModelContext::setShadowMapValid(int loc, bool valid) const {
    VqAutoLock lock(s_searchMutex);
    _checkShadowIndex(loc);
    _vbShadowCastingLightsValid.set(loc, valid);
}

void ModelContext::invalidateAllShadowMaps() const {
    VqAutoLock lock(s_searchMutex);
    _vbShadowCastingLightsValid.clearAll();
}

void ModelContext::invalidateAllShadowMapsIfNotLastViewToRender(const VqView* view) {
    if (view == _pLastView) return;
    _pLastView = view;
    invalidateAllShadowMaps();
}

bool ModelContext::setShadowMapResolution(int cSize) {
    if (!(cSize >= 256 && cSize <= 2048 && ((cSize & (cSize - 1)) == 0)))
        VQ_FAIL("Vq::ModelContext", "setShadowMapResolution",
                "cSize >= 256 && cSize <= 2048 && ((cSize & (cSize-1)) == 0)", VQ_ERR_ARGUMENT);
    if (cSize == _nShadowMapRes) return true;
    _nShadowMapRes = cSize;
    invalidateAllShadowMaps();
    return true;
}

bool ModelContext::allocateSlice(const SliceDesc& desc, SliceID& id) {
    if (!_pSliceCntx) VQ_THROW("_pSliceCntx != __null", VQ_ERR_INTERNAL);
    VQ_PROPAGATE(_pSliceCntx->allocate(desc, id));
    VQ_PROPAGATE(_tellSpatialTrees([&](SpatialTree& t) { return t._sliceAllocated(id, desc); }));
    VQ_PROPAGATE(sendNotification(this, VQ_MC_CHANGE_ADDED));
    return true;
}

bool ModelContext::deallocSlice(SliceID id) {
    if (!_pSliceCntx) VQ_THROW("_pSliceCntx != __null", VQ_ERR_INTERNAL);
    VQ_PROPAGATE(_pSliceCntx->dealloc(id));
    VQ_PROPAGATE(_tellSpatialTrees([&](SpatialTree& t) { return t._sliceDeallocated(id); }));
    VQ_PROPAGATE(sendNotification(this, VQ_MC_CHANGE_REMOVED));
    return true;
}

bool ModelContext::setSliceDesc(SliceID id, const SliceDesc& desc) {
    if (!_pSliceCntx) VQ_THROW("_pSliceCntx != __null", VQ_ERR_INTERNAL);
    VQ_PROPAGATE(_pSliceCntx->setDesc(id, desc));
    VQ_PROPAGATE(_tellSpatialTrees([&](SpatialTree& t) { return t._sliceDescChanged(id, desc); }));
    VQ_PROPAGATE(sendNotification(this, Vq::BaseChangeCulling));
    return true;
}

SliceDesc ModelContext::sliceDesc(SliceID id) const {
    if (!_pSliceCntx) VQ_THROW("_pSliceCntx != __null", VQ_ERR_INTERNAL);
    SliceDesc d;
    _pSliceCntx->desc(id, d);
    return d;
}

bool ModelContext::isAllocatedSlice(SliceID id) const {
    if (!_pSliceCntx) VQ_THROW("_pSliceCntx != __null", VQ_ERR_INTERNAL);
    return _pSliceCntx->isAllocated(id);
}

SliceMask ModelContext::allocatedSliceMask() const {
    if (!_pSliceCntx) VQ_THROW("_pSliceCntx != __null", VQ_ERR_INTERNAL);
    return _pSliceCntx->mask();
}

int ModelContext::numOfAllocatedSlices() const {
    if (!_pSliceCntx) VQ_THROW("_pSliceCntx != __null", VQ_ERR_INTERNAL);
    return __builtin_popcountll(_pSliceCntx->mask());
}

bool ModelContext::sliceInitValues(unsigned long& mask, VqVec<TriBool>& values) const {
    if (!_pSliceCntx) VQ_THROW("_pSliceCntx != __null", VQ_ERR_INTERNAL);
    mask = _pSliceCntx->mask();
    values.assign(SliceContext::s_nMaxSlices, TriFalse);
    for (int i = 0; i < SliceContext::s_nMaxSlices; ++i) {
        SliceDesc d;
        if (_pSliceCntx->isAllocated(static_cast<SliceID>(i)) &&
            _pSliceCntx->desc(static_cast<SliceID>(i), d))
            values[i] = d.initValue;
    }
    return true;
}

} // namespace Vq
