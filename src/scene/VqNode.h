#pragma once

#include <functional>

#include "VqAttribute.h"
#include "VqBox3.h"
#include "VqCachedState.h"
#include "VqExport.h"
#include "VqFixedVec.h"
#include "VqFlatTable.h"
#include "VqPathQual.h"
#include "VqPropBase.h"
#include "VqRecord.h"
#include "VqString.h"
#include "VqUserData.h"

#include <atomic>
#include <cstdint>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class VqGroup;
class VqMutex;
class VqPartition;
class VqPath;
class VqState;
namespace Vq {
class ModelContext;
}

// Root of every node of the scene graph, a directed acyclic graph: a node
// may have several parents, and whatever depends on the path by which it is
// reached lives in per-instance records keyed by a 32-bit instance key.
// A node carries attributes, properties, flags, traversal masks and caches
// of its extent and counts that are filled on demand and invalidated upwards.
class VQ_API VqNode : public Vq::Record<VqNode, VqPropBase> {
    VQ_DECLARE_TYPE(VqNode)
public:
    // Internal flags: the low half of the flag word.
    enum : unsigned short {
        VQ_NODE_IFLAG_IGNORE = 0x0001, // the only flag stored in files
        VQ_NODE_IFLAG_NEEDSLOADFIXUP = 0x0004,
        VQ_NODE_IFLAG_INVALHOOK = 0x0020, // invalidation bit 0x010 calls _invalidateHook
        VQ_NODE_IFLAG_MODELCONTEXT = 0x0040,
        VQ_NODE_IFLAG_LODLOADED = 0x0100,
        VQ_NODE_IFLAG_LODLOADEDVALID = 0x0200,
        VQ_NODE_IFLAG_MODIFIED = 0x1000,
        VQ_NODE_IFLAG_NOINSTDATA = 0x2000
    };
    // Invalidation mask bits.
    enum : int {
        VQ_INVAL_AREA = 0x001,
        VQ_INVAL_VERTICES = 0x004,
        VQ_INVAL_POLYGONS = 0x008,
        VQ_INVAL_HOOK = 0x010,
        VQ_INVAL_NODES = 0x040,
        VQ_INVAL_LODLOADED = 0x080,
        VQ_INVAL_BBOX = 0x100,
        VQ_INVAL_STATE = 0x200,
        VQ_INVAL_MODIFIED = 0x800,
        VQ_INVAL_STATECACHES = 0x1000 | 0x2000 | 0x4000,
        VQ_INVAL_DOWN = 0x200 | 0x1000 | 0x2000 | 0x4000,
        VQ_INVAL_STRUCTURE = 511,
        VQ_INVAL_IGNORE = 255,
        VQ_INVAL_DYNAMIC = 512
    };
    // Changes sent to a model context.
    static constexpr Vq::BaseChange VQ_CHANGE_CHILD_ADDED = 16;
    static constexpr Vq::BaseChange VQ_CHANGE_CHILD_REMOVED = 32;

    // Per-instance record.
    struct VqInstData {
        uint32_t _uWord = 0;
        uint32_t _uTravMask = 0;
        Vq::SharedPtr<VqUserData> _pUserData;
        Vq::SharedPtr<VqCachedState> _pState;
    };

    VqNode();
    // A copy has this node's attributes, properties, flags, masks and
    // caches, but no parents, no children and no instance data.
    VqNode(const VqNode& o);
    VqNode& operator=(const VqNode&) = delete;
    ~VqNode() override;

    // When only the path qualifiers that start here would still hold the
    // node after this release, it drops the qualified attributes whose paths
    // start here: they are what would keep it alive, through the nodes below.
    void _unref() const override;

    // Trims the parent, attribute and path-qualifier lists to their length.
    virtual bool shrink() const;
    // A copy of this node; deep copies the subgraph, keeping its sharing.
    virtual bool clone(VqNode*& out, bool deep) const;

    // Child interface; a plain node has no children.
    virtual bool appendChild(VqNode* child);
    virtual VqNode* child(int index, bool cooked = false) const;
    virtual int findChild(const VqNode* child) const;
    virtual bool insertChild(int index, VqNode* child);
    virtual unsigned int numChildren(bool cooked = false) const;
    virtual bool replaceChild(int index, VqNode* child);
    virtual bool replaceChild(const VqNode* oldChild, VqNode* newChild);
    virtual bool removeChild(const VqNode* child);
    virtual bool removeChild(int index);
    virtual bool removeAllChildren();
    virtual bool children(VqNode* const*& list, unsigned int& count, bool cooked = false) const;

    virtual bool _sendAttrNotificationToMC(VqAttribute* attr);
    virtual bool setIgnoreFlag(bool on);
    virtual bool setModifiedFlag(bool on);
    // Drops caches named by mask here and, with propagate, passes the bits
    // that changed something up to the parents and down to cooked children.
    virtual bool invalidateState(int mask, bool propagate = true) const;
    // Loads the node's late-loaded data through its partition, so that it
    // can be written; a node outside any partition has none to load.
    virtual bool prepareForSerialize() const;
    // The same for a save of the partition within, which holds the node: a
    // save prepares every node of its graph and must not look for each one's
    // partition (a walk up its parents, quadratic on deep graphs).
    virtual bool prepareForSerialize(VqPartition& within) const;
    // Loads the geometry a node keeps late-loaded, through within; nodes
    // without any have nothing to do.
    virtual bool loadShapeData(VqPartition& within) const {
        (void)within;
        return true;
    }
    // Called after the node's element is written, to write what belongs with
    // it; a plain node has nothing.
    virtual bool writeData(VqObjectStream& os) const;
    virtual bool removeAllInstData(bool recursive) const;
    // Turns the reference slots filled while reading into counted references,
    // dropping those left null. Runs once the segment's swizzler has been
    // cleared (so that no slot still waits for an object), while the reader
    // still keeps every object it read alive.
    virtual bool fixupLists();

    // The node's raw box for the instance key: its children's boxes, each
    // placed by the child's own transforms. Computed for the node as the top
    // of its subgraph: its own transforms, not those above it, decide whether
    // what lies below is under a final transform.
    virtual bool computeBBox(VqBox3<float>& box, unsigned int key, bool useCache) const;
    // The box and the area of the instance in world coordinates, that is,
    // placed by every transform from the head of its path down to the node,
    // as its state places it. Either pointer may be null. The area is the
    // node's area scaled by the placement (exact for rotations and uniform
    // scaling, by |det|^(2/3) otherwise); shapes answer from their geometry.
    virtual bool computeBBoxAreaWC(unsigned int key, VqBox3<float>* box, float* area) const;
    virtual float computeArea() const;
    virtual float _computeAreaRaw() const;
    virtual VqFixedVec<int, 2> computeNumPolygons() const;
    virtual VqFixedVec<int, 2> computeNumVertices() const;
    virtual VqFixedVec<int, 2> computeNumNodes() const;
    // a + b per component, held at the int range: shared subgraphs count once
    // per path, and a small graph can have more paths than an int holds.
    static VqFixedVec<int, 2> s_addCounts(const VqFixedVec<int, 2>& a, const VqFixedVec<int, 2>& b);

    bool receiveNotification(const VqBase* who, Vq::BaseChange change) const override;
    // Also tells the model context about string property keys, one of which
    // marks mirror planes.
    bool sendNotification(const VqBase* who, Vq::BaseChange change) const override;
    void _getMinimumVQVersion(int& major, int& minor) const override;
    // From 7.0, raised over the whole subgraph below this node.
    bool getMinimumVQVersion(int& major, int& minor) const;

    // How a walk goes on after visiting a node.
    enum class Walk { Descend, Prune, Stop };
    // Visits root and every node below it once each, however many parents
    // it has (following every path would take time exponential in the depth
    // of a graph that shares subgraphs): depth first, children in order.
    // visit(node) returns how to go on; false when a visit stopped the walk.
    // Visits see a VqNode, const when root is.
    template <class Node, class Visit>
    static bool walkOnce(Node* root, Visit&& visit);
    // The objects a graph segment holds, in the writer's order: a walkOnce
    // in which each node joins when first met, followed by its persistable
    // attributes not yet listed (a node's list holds only what was attached
    // to it, never what it inherits) and the objects those attributes refer
    // to. Partition nodes below root join as nodes standing for their own
    // files, and the walk does not descend into them.
    static void graphObjects(const VqNode* root, std::vector<const VqBase*>& out);
    // The same objects in the same order, each handed to join as it is met:
    // a save does its first work on an object while the walk has just
    // brought it into the cache, rather than in a pass of its own.
    template <class Join>
    static void graphObjects(const VqNode* root, Join&& join);

    // Reads through the version hooks, then hands the object IDs read for
    // references to the stream: only an element read whole leaves its slots
    // in the stream's fix-up lists.
    bool deserialize(VqObjectStream& os) override;
    // The node's level: its own object ID before format 9, the ignore flag
    // and the IDs of its persistable attributes.
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const;
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion);

    // Parents: one entry per link (a parent holding this node twice is listed twice).
    int numParents() const { return static_cast<int>(_vpParents.size()); }
    VqNode* parent(int index) const;
    // Whether node is this node or lies above it on some parent chain.
    bool isAtOrAbove(const VqBase* node) const;
    // Visits every node above this one, each once however many paths lead to
    // it, until found returns true; returns whether it did.
    bool anyAbove(const std::function<bool(const VqNode*)>& found) const;
    int findParent(const VqNode* parent) const;
    // Adds a link and takes one reference.
    void appendParent(VqNode* parent);
    // Removes every link to parent, releasing one reference per link.
    void removeParent(VqNode* parent);
    // Drops one link to parent (releasing one reference).
    void _removeParentLink(VqNode* parent);
    // Drops the links that parent, which is going away, holds to children
    // (one per entry) and releases their references. Whatever this releases
    // in turn is released from a work list, not by recursion, so that the
    // root of a graph of any depth goes with constant stack; and a child that
    // loses many parents has its parent list cleaned in one pass.
    static void _releaseChildLinks(VqNode* parent, VqNode* const* children, size_t count);
    // Whether making child a child of this node would close a cycle: child is
    // this node or lies above it.
    bool _wouldCloseCycle(const VqNode* child) const;

    // Attributes, each with its path qualifier or null for one that applies
    // on every path through the node. A qualifier's path must end at this
    // node; the forms without one insert attributes for every path, and a
    // replacement keeps the place's qualifier.
    bool appendAttribute(VqAttribute* attr, VqPathQual* pPath = nullptr);
    bool insertAttribute(int index, VqAttribute* attr);
    bool replaceAttribute(int index, VqAttribute* attr);
    bool replaceAttribute(const VqAttribute* oldAttr, VqAttribute* newAttr);
    bool replaceAttribute(const VqType& type, VqAttribute* attr);
    bool removeAttribute(int index);
    bool removeAttribute(const VqAttribute* attr);
    bool removeAttribute(const VqType& type);
    bool removeAllAttributes();
    bool getAttribute(int iIndex, VqAttribute*& attr) const;
    bool getAttribute(int iIndex, VqAttribute*& attr, VqPathQual*& pPath) const;
    // Every attribute, qualified or not.
    void attributes(VqAttribute* const*& list, int& count) const;
    // The attributes and, parallel to them, their qualifiers.
    void attributes(VqAttribute* const*& list, VqPathQual* const*& quals, int& count) const;
    // The attribute at index when it applies on path (which ends at this
    // node), else null.
    VqAttribute* attribute(int index, const VqPath* path) const;
    int numAttributes() const { return static_cast<int>(_vAttrList.size()); }
    int findAttribute(const VqAttribute* attr, int start = 0) const;
    int findAttribute(const VqType& type, int start = 0) const;

    // The node's name: the text of its "name" property, "" when it has none
    // (or a value that is not text). An empty name removes the property.
    VqString name() const;
    bool setName(const VqString& name);

    // Flags: low 16 bits internal, high 16 bits the caller's.
    uint32_t flags() const { return _uFlags; }
    bool setFlag(unsigned short flag, bool on);
    bool setFlags(unsigned short flags);
    unsigned short userFlags() const { return static_cast<unsigned short>(_uFlags >> 16); }
    bool internalFlag(unsigned short flag) const { return (_uFlags & flag) != 0; }
    // Inline: an open sets and clears flags on every node it reads.
    void setInternalFlag(unsigned short flag, bool on) const {
        _uFlags = on ? (_uFlags | flag) : (_uFlags & ~static_cast<uint32_t>(flag));
    }
    void setInternalFlags(unsigned short flags) const;
    bool isIgnored() const { return internalFlag(VQ_NODE_IFLAG_IGNORE); }
    bool isModified() const { return internalFlag(VQ_NODE_IFLAG_MODIFIED); }

    // Traversal masks and user data, of the node and of its instances.
    uint32_t travMask() const { return _uTravMask; }
    void setTravMask(uint32_t mask) { _uTravMask = mask; }
    uint32_t defaultInstTravMask() const { return _uDefInstTravMask; }
    void setDefaultInstTravMask(uint32_t mask) { _uDefInstTravMask = mask; }
    uint32_t travMask(unsigned int key) const;
    bool setTravMask(unsigned int key, uint32_t mask);
    VqUserData* userData() const { return _pUserData.get(); }
    void setUserData(VqUserData* data) { _pUserData = data; }
    VqUserData* userData(unsigned int key) const;
    bool setUserData(unsigned int key, VqUserData* data);
    // The record of an instance, created (with those of the parents) on request.
    VqInstData* instData(unsigned int key, bool create) const;
    bool haveInstData(bool subgraph) const;

    static void setDefaultTravMasks(uint32_t lgMask, uint32_t instMask);
    static void getDefaultTravMasks(uint32_t& lgMask, uint32_t& instMask);
    static void setDefaultNodeInstTravMask(uint32_t mask) { s_uDefInstTravMask = mask; }
    static uint32_t getDefaultNodeInstTravMask() { return s_uDefInstTravMask; }

    // Extents and counts, computed when the cache holds its "not computed" value.
    // The raw box: in the node's own coordinates, of the subgraph below it
    // placed as from this node down (see computeBBox).
    VqBox3<float> bBoxRaw(unsigned int key = 1) const;
    // The box in the parent's coordinates for the instance key: the node's
    // own transforms applied as the state applies them on the instance's
    // path, so that a transform made final above also holds below.
    VqBox3<float> bBox(unsigned int key = 1) const;
    const VqBox3<float>& cachedBBox() const { return _bBox; }
    void setBBox(const VqBox3<float>& box);
    void setBBox(const VqFixedVec<float, 3>& mn, const VqFixedVec<float, 3>& mx);
    bool isBBoxIndeterminate() const;
    VqSphere3<float> bSphere(unsigned int key = 1) const { return VqSphere3<float>(bBox(key)); }
    // World coordinates (see computeBBoxAreaWC); empty, -1 or false when the
    // key names no instance of the node.
    VqBox3<float> bBoxWC(unsigned int key = 1) const;
    VqSphere3<float> bSphereWC(unsigned int key = 1) const { return VqSphere3<float>(bBoxWC(key)); }
    bool getBBoxWC(unsigned int key, VqBox3<float>& box) const;
    float areaWC(unsigned int key = 1) const;
    float area() const;
    void setArea(float area);
    bool numVertices(VqFixedVec<int, 2>& out) const;
    bool numNodes(VqFixedVec<int, 2>& out) const;
    bool numPolygons(VqFixedVec<int, 2>& out) const;

    // Whether instance boxes may differ from the shared one: a node above
    // (this one included, along the key) starts attribute path qualifiers.
    static bool s_isTermNodeAbove(const VqNode* node, unsigned int key);
    // One step of the instance key: extends a parent's key to the child at
    // childIndex, or recovers the parent (and its key) from a node's key.
    static bool s_childKey(unsigned int& key, const VqNode* parent, int childIndex);
    static bool s_parentKey(unsigned int& key, const VqNode* node, VqNode*& parentOut);
    static int s_cLog2(int n);

    uint32_t pathQualStarts() const { return _nPathQualStarts; }

    // The partition the node is in: the nearest partition node at or above
    // it, or null.
    VqPartition* partition() const;
    // The model context whose graphs hold the node, or null.
    Vq::ModelContext* modelContext() const;
    // The group above this node that roots its partition, or null.
    VqGroup* _partitionRoot() const;
    virtual bool _isPartitionRoot() const { return false; }

    // Routes a change to the model context of a node in one (internal flag
    // 0x0040); installed by the model-context module.
    typedef bool (*ModelContextNotifier)(const VqNode* node, const VqBase* who, Vq::BaseChange change);
    static void setModelContextNotifier(ModelContextNotifier fn) { s_pfNotifyMC = fn; }

    // The accumulated and finalized state in force at the instance of node
    // that path (from a root down to node) reaches; built on first request
    // and cached in the instance data of each node on the path.
    static bool getState(const VqNode* node, const VqPath* path, Vq::SharedPtr<VqState>& state);

    static bool init();
    static void fini();

    // The box states: a new node's box is empty; an invalidated one is indeterminate.
    static const VqBox3<float> s_emptyBox;
    static const VqBox3<float> s_indeterminateBox;

protected:
    bool _notifyModelContext(const VqBase* who, Vq::BaseChange change) const;
    // This node's part of invalidateState: the caches named by mask are
    // dropped, and the bits that changed something come back for the
    // parents (up) and the cooked children (down).
    void _invalidateHere(int mask, int& up, int& down) const;
    // Empties the instance-data map; true when it held records.
    bool _dropInstData() const;
    // The record of an instance, or null; and a new record (under the class mutex).
    VqInstData* _findInstData(unsigned int key) const;
    VqInstData* _makeInstData(unsigned int key) const;
    // Removes one link for each entry of gone (parents released meanwhile).
    void _purgeParents(const std::vector<VqNode*>& gone);
    // Called by invalidation bit 0x010 while internal flag 0x0020 is set.
    virtual void _invalidateHook() const {}
    // The node and the copies made so far of nodes with several parents.
    typedef std::unordered_map<const VqNode*, VqNode*> CloneMap;
    virtual bool _cloneInto(VqNode* copy, bool deep, CloneMap& map) const;
    bool _cloneChild(const VqNode* child, bool deep, CloneMap& map, VqNode*& out) const;

    void _propAdded(const VqPropAtom* value) override;
    void _propRemoved(const VqPropAtom* value) override;

    // The node's part of a child change: notifications, instance data, caches.
    void _childAdded(VqNode* child);
    void _childRemoving(VqNode* child);

    bool _attachAttribute(VqAttribute* attr);
    void _detachAttribute(VqAttribute* attr);
    // The reference and the start count that an attached qualifier puts on
    // the first node of its path.
    static void _holdPathHead(const VqPathQual* q);
    static void _releasePathHead(const VqPathQual* q, const VqNode* dying);
    // Removes, from this node and the nodes below it, the attributes whose
    // qualifiers start at this node.
    void _dropPathQualsStartingHere();
    void _dropQualifiedQuietly(size_t index);
    bool _hasPathQuals() const;

public:
    // Drops the boxes that the node's own placement enters: those above it,
    // and its raw box when it has children (a final placement of its own
    // reaches them). A leaf's raw box, which may be set rather than computed,
    // does not depend on its placement.
    bool _invalidatePlacedBoxes() const;

protected:
    // Placements (see VqAttribute::Placement). The part that this node's own
    // attributes add for the instance key to a placement in force above
    // (given by its flags); the placement of the nodes above the node on the
    // path that key decodes to; the node's box in its parent's coordinates
    // under that placement; and its raw box when what arrives from above is
    // final, computed afresh (such boxes depend on the path, so they are
    // never cached).
    VqAttribute::Placement _ownPlacement(unsigned int key, const VqAttribute::Placement& above,
                                         const VqPath* path = nullptr) const;
    static void _pathPlacement(const VqPath& path, int end, VqAttribute::Placement& p);
    VqBox3<float> _boxIn(unsigned int key, const VqAttribute::Placement& above, const VqPath* path) const;
    VqBox3<float> _rawBoxWithin(unsigned int key, const VqAttribute::Placement& own) const;
    // The raw box under the placement above: computed afresh when that is
    // final and the node has children, else the cached one.
    VqBox3<float> _rawBoxUnder(unsigned int key, const VqAttribute::Placement& above,
                               const VqAttribute::Placement& own) const;

    // Element fields of this level.
    // The attributes a file holds, persistable ones without a path qualifier,
    // handed to f in order. A save visits every node's attributes several
    // times: a list built per visit would cost an allocation per node.
    template <class F>
    void _forPersistableAttributes(F&& f) const {
        for (size_t i = 0; i < _vAttrList.size(); ++i)
            if (!_vAttrPathList[i] && _vAttrList[i]->isPersistable()) f(_vAttrList[i].get());
    }

    // Reference slots while reading. A reader stores the object IDs it reads
    // in the slots themselves (kSlotsPendingIds); once the whole element has
    // been read they are handed to the stream, which fills them with raw,
    // uncounted addresses (kSlotsRaw) until fixupLists counts them.
    enum : uint8_t { kSlotsCounted = 0, kSlotsPendingIds = 1, kSlotsRaw = 2 };
    static void* _idToSlot(int id) { return reinterpret_cast<void*>(static_cast<intptr_t>(id)); }
    static int _slotToId(const void* p) { return static_cast<int>(reinterpret_cast<intptr_t>(p)); }
    // Reads an object ID count (checked against the element) and that many IDs into slots.
    static bool _readIds(VqObjectStream& os, int count, void** slots, size_t stride);
    static bool _writeId(VqObjectStream& os, const VqBase* obj);
    // Hands the pending IDs of every level to the stream, or forgets them.
    virtual bool _linkReadSlots(VqObjectStream& os);
    virtual void _dropReadSlots();
    // The object a raw slot was filled with, when it is of the given type.
    static VqBase* _rawSlotObject(const void* slotValue) {
        return static_cast<VqBase*>(const_cast<void*>(slotValue));
    }
    static bool _notANode(const char* method);

    // What a save reads of every node (its flags, parents and attributes)
    // comes first, beside the header and the property table's address: a
    // walk over a large graph then finds it in the lines it has brought in
    // already, where it used to miss on the node's later lines.
    mutable uint32_t _uFlags = VQ_NODE_IFLAG_MODIFIED | VQ_NODE_IFLAG_NOINSTDATA;
    uint8_t _uSlotState = kSlotsCounted;
    // Set while the parent list still names parents released during a
    // release in progress (see _releaseChildLinks).
    bool _bStaleParents = false;
    // Read by every release of the node, the save's among them.
    mutable uint32_t _nPathQualStarts = 0;
    // A node's parent links. Nearly every node has one parent: it is held in
    // place, and only a node under several parents keeps an array on the heap,
    // so that building, opening or releasing a large tree allocates nothing
    // per node for its parents.
    class ParentList {
    public:
        ParentList() = default;
        ParentList(const ParentList&) = delete;
        ParentList& operator=(const ParentList&) = delete;
        ~ParentList() {
            if (_nCap > 1) delete[] _u.pHeap;
        }
        size_t size() const { return _nSize; }
        bool empty() const { return _nSize == 0; }
        VqNode** begin() { return _nCap > 1 ? _u.pHeap : &_u.pOne; }
        VqNode* const* begin() const { return _nCap > 1 ? _u.pHeap : &_u.pOne; }
        VqNode** end() { return begin() + _nSize; }
        VqNode* const* end() const { return begin() + _nSize; }
        VqNode*& operator[](size_t i) { return begin()[i]; }
        VqNode* operator[](size_t i) const { return begin()[i]; }
        VqNode* back() const { return begin()[_nSize - 1]; }
        void push_back(VqNode* p) {
            if (_nSize == _nCap) _grow();
            begin()[_nSize++] = p;
        }
        void pop_back() { --_nSize; }
        void erase(size_t i);
        // Removes every link to p; returns how many there were.
        size_t eraseAll(const VqNode* p);
        // Keeps the first n links (n <= size()).
        void truncate(size_t n) { _nSize = static_cast<uint32_t>(n); }
        void shrinkToFit();
        std::vector<VqNode*> copy() const { return std::vector<VqNode*>(begin(), end()); }

    private:
        void _grow();
        void _moveTo(uint32_t cap);
        union {
            VqNode* pOne;
            VqNode** pHeap;
        } _u{nullptr};
        uint32_t _nSize = 0;
        uint32_t _nCap = 1;
    };
    mutable ParentList _vpParents;
    mutable std::vector<Vq::SharedPtr<VqAttribute>> _vAttrList;
    // Parallel to the attribute list, always of its length.
    mutable std::vector<Vq::SharedPtr<VqPathQual>> _vAttrPathList;
    uint32_t _uTravMask;
    uint32_t _uDefInstTravMask;
    mutable VqBox3<float> _bBox;
    mutable float _fArea = -1.0f;
    mutable VqFixedVec<int, 2> _vNumVertices{-1, -1};
    mutable VqFixedVec<int, 2> _vNumNodes{-1, -1};
    mutable VqFixedVec<int, 2> _vNumPolygons{-1, -1};
    Vq::SharedPtr<VqUserData> _pUserData;
    typedef std::unordered_map<uint32_t, VqInstData> InstDataMap;
    mutable InstDataMap* _pInstData = nullptr;
    mutable uint32_t _uCachedKey = 0;
    mutable VqInstData* _pCachedInstData = nullptr;

    // Path-qualifier starts of all nodes: while there are none, no instance
    // box differs from the shared one, and no walk up a path is needed.
    static std::atomic<int> s_nPathQualStartsInAll;
    static uint32_t s_uDefLGTravMask;
    static uint32_t s_uDefInstTravMask;
    static VqMutex* s_pInstDataMutex;
    static ModelContextNotifier s_pfNotifyMC;
};

template <class Join>
void VqNode::graphObjects(const VqNode* root, Join&& join) {
    VqFlatPtrSet seen;
    std::vector<const VqBase*> refs;
    walkOnce(root, [&](const VqNode* n) {
        if (!n->isPersistable()) return Walk::Prune;
        join(static_cast<const VqBase*>(n));
        n->_forPersistableAttributes([&](const VqAttribute* a) {
            if (!seen.insert(a)) return;
            join(static_cast<const VqBase*>(a));
            refs.clear();
            a->_referencedObjects(refs);
            for (const VqBase* r : refs)
                if (r && r->isPersistable() && seen.insert(r)) join(r);
        });
        return n != root && n->_isPartitionRoot() ? Walk::Prune : Walk::Descend;
    });
}

template <class Node, class Visit>
bool VqNode::walkOnce(Node* root, Visit&& visit) {
    using N = std::conditional_t<std::is_const_v<Node>, const VqNode, VqNode>;
    // Only a node with several parent links can be met twice: one with a
    // single parent is met once for each time its parent is expanded, which
    // by the same argument is once. So only those, and the root (which would
    // otherwise be met again on a cycle through it), are remembered: a tree
    // of a million nodes walks without a visited set.
    VqFlatPtrSet seen;
    std::vector<N*> todo{root};
    while (!todo.empty()) {
        N* n = todo.back();
        todo.pop_back();
        if (!n || ((n == root || n->numParents() > 1) && !seen.insert(n))) continue;
        const Walk next = visit(n);
        if (next == Walk::Stop) return false;
        if (next == Walk::Prune) continue;
        VqNode* const* kids = nullptr;
        unsigned int count = 0;
        n->children(kids, count, false);
        for (unsigned int i = count; i-- > 0;)
            todo.push_back(kids[i]);
    }
    return true;
}
