#pragma once

#include "VqBitField.h"
#include "VqBox3.h"
#include "VqExport.h"
#include "VqNotifyBase.h"
#include "VqString.h"
#include "VqVec.h"

#include <atomic>
#include <cstdint>
#include <vector>

class VqAttribute;
class VqPartition;
class VqLight;
class VqTexImage;
class VqNode;
struct VqType;
class VqView;

// Key of the string property that marks a shape as a mirror plane.
inline constexpr const char* vqPropMirrorPlane = "VQ_MIRROR_PLANE";

namespace Vq {

typedef uint8_t SliceID;
typedef uint64_t SliceMask;
enum TriBool : int { TriFalse = 0, TriTrue = 1, TriUnknown = 2 };

// What a slice is for: a name and the value its flag plane starts with.
class SpatialTree;

struct VQ_API SliceDesc {
    VqString name;
    TriBool initValue = TriFalse;
    bool operator==(const SliceDesc& o) const { return name == o.name && initValue == o.initValue; }
};

// The slices of a model: up to 64 flag planes, by 8-bit identifier.
class VQ_API SliceContext : public VqAllocHooked {
public:
    static constexpr int s_nMaxSlices = 64;
    bool allocate(const SliceDesc& desc, SliceID& id);
    bool dealloc(SliceID id);
    bool setDesc(SliceID id, const SliceDesc& desc);
    bool desc(SliceID id, SliceDesc& out) const;
    bool isAllocated(SliceID id) const { return id < s_nMaxSlices && ((_uMask >> id) & 1u); }
    SliceMask mask() const { return _uMask; }

private:
    SliceMask _uMask = 0;
    SliceDesc _aDescs[s_nMaxSlices];
};

// The owner of one model as the rendering side sees it: its logical scene
// graphs, the model-wide default attributes, the slices, and the lists of
// shadow-casting lights and mirror shapes with the validity of each light's
// shadow map. Nodes of its graphs tell it about their changes; it keeps its
// lists current and passes the news on to its own clients.
class VQ_API ModelContext : public VqNotifyBase {
    VQ_DECLARE_TYPE(ModelContext)
public:
    // What the context tells its clients: something joined the model (a
    // graph, an opened partition, a slice) or something left it.
    enum : Vq::BaseChange { VQ_MC_CHANGE_ADDED = 16, VQ_MC_CHANGE_REMOVED = 32 };
    // A found light or mirror with the instance key it was found under.
    template <class T>
    struct Found {
        Vq::SharedPtr<const T> pObj;
        unsigned int uKey;
    };

    ModelContext();
    ModelContext(const ModelContext&) = delete;
    ModelContext& operator=(const ModelContext&) = delete;
    ~ModelContext() override;

    virtual bool setRootPartition(VqPartition* root);
    virtual VqPartition* rootPartition() const;
    virtual VqBox3<float> bboxWC() const;
    virtual bool setShadowMapResolution(int cSize);
    size_t _memSize(bool deep) const override;
    bool receiveNotification(const VqBase* who, Vq::BaseChange change) const override;

    bool addLogicalSceneGraph(VqPartition* root);
    bool removeLogicalSceneGraph(unsigned int index);
    unsigned int numLogicalSceneGraphs() const { return static_cast<unsigned int>(_vpLSGs.size()); }
    VqPartition* logicalSceneGraph(unsigned int index) const;

    const VqAttribute* attribute(const VqType& type) const;
    bool replaceAttribute(VqAttribute* attr);
    bool getDefaultAttributes(Vq::SharedPtrVec<VqAttribute>& out) const;

    // Spatial trees built over the model. Removing one tells the clients
    // with 32.
    bool addSpatialTree(SpatialTree* tree);
    bool removeSpatialTree(unsigned int index);
    SpatialTree* spatialTree(unsigned int index) const;
    unsigned int numSpatialTrees() const { return static_cast<unsigned int>(_vpSpatialTrees.size()); }

    // Slices; each throws "_pSliceCntx != __null" without a slice context.
    // Every spatial tree hears of a change under its write lock first.
    bool allocateSlice(const SliceDesc& desc, SliceID& id);
    bool deallocSlice(SliceID id);
    bool setSliceDesc(SliceID id, const SliceDesc& desc);
    SliceDesc sliceDesc(SliceID id) const;
    bool isAllocatedSlice(SliceID id) const;
    SliceMask allocatedSliceMask() const;
    int numOfAllocatedSlices() const;
    bool sliceInitValues(unsigned long& mask, VqVec<TriBool>& values) const;

    // Shadows and mirrors; the lists are searched again when a change asked for it.
    int numShadowCastingLights() const;
    const VqLight* shadowCastingLight(int index) const;
    unsigned int shadowCastingLightKey(int index) const;
    // The place of a shadow-casting light reached with the given instance key
    // in the list (-1 when it is not listed), and the shadow map texture that
    // this place renders into, its channel set to the place.
    bool shadowCaster(const VqLight* light, unsigned int key, int& index, const VqTexImage*& tex) const;
    int numMirrorPlanes() const;
    const VqNode* mirrorPlane(int index) const;
    bool isShadowMapValid(int loc) const;
    void setShadowMapValid(int loc, bool valid) const;
    void invalidateAllShadowMaps() const;
    // The shadow maps belong to the model, not to a view: they hold what the
    // last view to render left in them. A view about to render calls this;
    // when another view rendered last, every map is invalid. The view is
    // only compared, never used.
    void invalidateAllShadowMapsIfNotLastViewToRender(const VqView* view);
    int shadowMapResolution() const { return _nShadowMapRes; }

    // Called when a partition has read its file: a model holding it takes
    // the new nodes in and searches its lights and mirrors again.
    static bool _partitionOpened(VqPartition* partition, int time, void* userData);

    // Every model context of the process.
    static const std::vector<ModelContext*>& modelContexts();
    // The model context whose logical scene graphs hold the node, or null.
    // Every way up is followed: a node may be in the model through one of
    // its parents only.
    static ModelContext* findModelContext(const VqNode* node);
    static void fini();

private:
    void _searchLightsAndMirrors() const;
    void _checkShadowIndex(int loc) const;
    bool _isDefaultAttribute(const VqBase* who) const;
    static void _markSubgraph(VqNode* node, bool on);
    static void _createList();
    static bool _notifyFromNode(const VqNode* node, const VqBase* who, Vq::BaseChange change);
    // Runs tell(tree) on every spatial tree under its write lock.
    template <class Tell>
    bool _tellSpatialTrees(Tell&& tell);

    mutable VqBitVec _vbShadowCastingLightsValid;
    Vq::SharedPtrVec<VqPartition> _vpLSGs;
    std::vector<Vq::SharedPtr<SpatialTree>> _vpSpatialTrees;
    const VqView* _pLastView = nullptr;
    SliceContext* _pSliceCntx = nullptr;
    Vq::SharedPtrVec<VqAttribute> _vpDefaultAttrs;
    mutable std::vector<Found<VqLight>> _vShadowLights;
    mutable std::vector<Vq::SharedPtr<VqTexImage>> _vpShadowTextures;
    mutable std::vector<Found<VqNode>> _vMirrors;
    mutable std::atomic<bool> _bSearchLights{true};
    mutable std::atomic<bool> _bSearchMirrors{true};
    int _nShadowMapRes = 1024;
};

} // namespace Vq
