// The partition as a node and as a file: its own record, opening a file into
// a graph, late loading, merging a partition node's file in, and closing.

#include "VqBlockDecoder.h"
#include "VqErrorState.h"
#include "VqFSStorageLocation.h"
#include "VqFactory.h"
#include "VqFlatTable.h"
#include "VqMemoryReservation.h"
#include "VqMutex.h"
#include "VqObjectStream.h"
#include "VqPartition.h"
#include "VqPartitionRequestEntry.h"
#include "VqPlatform.h"
#include "VqPropBase.h"
#include "VqPtrSwizzle.h"
#include "VqResidencyRequestManager.h"
#include "VqStdError.h"
#include "VqStorageManager.h"
#include "VqStreamMgr.h"
#include "VqTOCStreamMgr.h"

#include <sys/stat.h>

#include <mutex>
#include <unordered_map>
#include <unordered_set>

VQ_IMPLEMENT_TYPE(VqPartition, VqGroup, CLSID_ZQPartition)

namespace {
const char* const kCls = "VqPartition";

// The directory of a file-system location's full path, with its separator.
std::string directoryOf(const VqStorageLocation* loc) {
    const auto* fs = Vq::typeCast<VqFSStorageLocation>(loc);
    if (!fs || fs->isRelative()) return std::string();
    std::string full = fs->fullPath().toUtf8();
    size_t cut = full.find_last_of("/\\");
    return cut == std::string::npos ? std::string() : full.substr(0, cut + 1);
}

// The text under which a partition node's file is recorded: its path relative
// to the directory of the file being written when both are file-system paths,
// else its own name.
std::string locationText(const VqStorageLocation* loc, const VqStorageLocation* writer) {
    const auto* fs = Vq::typeCast<VqFSStorageLocation>(loc);
    if (!fs) return std::string();
    if (fs->isRelative()) return fs->name().toUtf8();
    std::string target = fs->fullPath().toUtf8();
    std::string dir = directoryOf(writer);
    if (dir.empty() || target.empty() || target[0] != '/') return target;
    // Common directory prefix, then one "../" per remaining directory of the writer.
    size_t common = 0;
    for (size_t i = 0; i < dir.size() && i < target.size() && dir[i] == target[i]; ++i)
        if (dir[i] == '/') common = i + 1;
    std::string rel;
    for (size_t i = common; i < dir.size(); ++i)
        if (dir[i] == '/') rel += "../";
    return rel + target.substr(common);
}
} // namespace

VqPartition::VqPartition() {
    _uAttrWord.store(VQ_PARTITION_NEW);
    ++s_nPartitions;
}

VqPartition::VqPartition(const VqStorageLocation* loc) : VqPartition() {
    if (loc) loc->clone(_pLocation);
}

VqPartition::VqPartition(const VqPartition& o) : Record(o) {
    _uAttrWord.store(VQ_PARTITION_NEW);
    if (o._pLocation) o._pLocation->clone(_pLocation);
    ++s_nPartitions;
}

VqPartition::~VqPartition() {
    if (_pStreamMgr && _pStreamMgr->isOpen()) _pStreamMgr->close();
    --s_nPartitions;
}

bool VqPartition::_cloneInto(VqNode* copy, bool deep, CloneMap& map) const {
    // A copy stands for the same file: the contents stay with the file.
    (void)deep;
    return VqGroup::_cloneInto(copy, false, map);
}

bool VqPartition::setLocation(const VqStorageLocation* loc) {
    _pLocation.reset();
    if (loc) VQ_PROPAGATE(loc->clone(_pLocation));
    return true;
}

VqString VqPartition::datastoreName() const {
    VqString name;
    if (_pLocation) _pLocation->getName(name);
    return name;
}

bool VqPartition::prepareForSerialize() const {
    const VqPartition* holder = _enclosingPartition();
    return ensureLLData(*const_cast<VqPartition*>(holder ? holder : this));
}

VqPartition* VqPartition::_enclosingPartition() const {
    for (const VqNode* n = numParents() > 0 ? parent(0) : nullptr; n;
         n = n->numParents() > 0 ? n->parent(0) : nullptr)
        if (n->_isPartitionRoot()) return Vq::typeCast<VqPartition>(const_cast<VqNode*>(n));
    return nullptr;
}

// ---- the partition's record ----------------------------------------------------
//
// A partition is a group, so its element holds the node's level, then the
// group's level (child count and child IDs), then the partition's own level:
//
//   local version   i16 (format 9) or u8 (format 10) = 1; absent before 9
//   flags           u8: bit 0 set when the group level holds the partition's
//                   contents
//                   bit 1 the legacy graph follows; with it, bit 3: the
//                   shapes' implementations lie at the file positions their
//                   records name (see VqShape::writeData)
//   location        string: the file this partition node stands for, relative
//                   to the directory of the file that holds the record when
//                   both are file-system paths; "" for none
//   legacy graph    only with bit 1 (formats 6 and 7, outermost element):
//                   the graph's other objects as nested elements up to an end
//                   marker, then the property elements up to an end marker
//
// Only the partition whose file is being written (the object stream's
// partition) lists its children: any other partition node stands for its own
// file, lists none and is opened from its location (resolved against the
// location of the file that holds the record).

bool VqPartition::_writesChildren(const VqObjectStream& os) const {
    return os.partition() == this;
}

bool VqPartition::_writeFields(VqObjectStream& os, const Vq::RecordFormat&) const {
    const VqPartition* writer = os.partition();
    const bool contents = _writesChildren(os);
    const bool legacy = contents && _pLegacyElements;
    // With the graph, bit 3: the shapes' implementations were written ahead of
    // it, at the positions their records name.
    VQ_PROPAGATE(os.write(static_cast<unsigned char>((contents ? 1 : 0) | (legacy ? 2 | 8 : 0))));
    std::string text;
    if (!contents) text = locationText(_pLocation.get(), writer ? writer->location() : nullptr);
    VQ_PROPAGATE(os.write(VqString::fromUtf8(text)));
    if (!legacy) return true;
    std::vector<const VqPropBase*> holders;
    for (const auto& e : *_pLegacyElements) {
        if (const auto* h = Vq::typeCast<VqPropBase>(e.get())) holders.push_back(h);
        if (e.get() == this) continue;
        VQ_PROPAGATE(writeLogicalElement(os, e.get()));
        if (const auto* node = Vq::typeCast<VqNode>(e.get())) VQ_PROPAGATE(node->writeData(os));
    }
    VQ_PROPAGATE(writeLogicalElement(os, nullptr));
    VqPropBase::Listing listing;
    return _writePropertyElements(os, 6, holders, nullptr, listing, nullptr);
}

bool VqPartition::_readFields(VqObjectStream& os, const Vq::RecordFormat&, int) {
    unsigned char flags = 0;
    VQ_PROPAGATE(os.read(&flags));
    // A partition node that stands for another file starts empty, whatever
    // children its group level named: they are its file's to give. The IDs
    // read are not yet handed to the stream, so dropping them is enough.
    if (!(flags & 1)) _vpChildren.clear();
    VqString text;
    VQ_PROPAGATE(os.read(text));
    _pLocation.reset();
    _uAttrWord.store((flags & 2) && (flags & 8) ? uint32_t(VQ_PARTITION_IMPLPOS) : 0u);
    if (flags & 2) VQ_PROPAGATE(_readLegacyGraph(os));
    // A location read from a file is always taken relative to that file (it
    // is resolved against the directory of the file holding the record when
    // the node is opened): a file must not send the reader to any path it
    // names. Leading separators are dropped, so that an absolute path names a
    // file below that directory.
    std::string path = text.toUtf8();
    const size_t start = path.find_first_not_of("/\\");
    if (start == std::string::npos) return true;
    auto* loc = new VqFSStorageLocation(VqString::fromUtf8(path.substr(start)));
    if (!loc)
        VQ_FAIL(kCls, "_readOwnFields", "Allocation failed: new VqFSStorageLocation(text)", VQ_ERR_ALLOC);
    _pLocation = loc;
    return true;
}

// ---- opening -------------------------------------------------------------------

bool VqPartition::_createStreamMgr(const VqPartition* parent, const VqStorageLocation* loc, bool readOnly,
                                   Vq::SharedPtr<VqStorageLocation>& resolved,
                                   Vq::SharedPtr<VqStreamMgr>& mgr) {
    resolved.reset();
    mgr.reset();
    if (!loc) VQ_FAIL(kCls, "createStreamMgr", "pLocation", VQ_ERR_ARGUMENT);
    VqStorageManager* storage = VqStorageManagerSingleton::EnsureInstance();
    if (!storage) VQ_FAIL(kCls, "createStreamMgr", "g_pInstanceVqStorageManager", VQ_ERR_INTERNAL);
    if (readOnly && loc->isRelative()) {
        VQ_PROPAGATE(storage->resolveLocation(loc, parent ? parent->location() : nullptr, resolved));
        if (!resolved) VQ_FAIL(kCls, "createStreamMgr", "pResolvedLoc", VQ_ERR_SETTING);
    } else {
        VQ_PROPAGATE(loc->clone(resolved));
    }
    VQ_PROPAGATE(storage->openLocationAsVq(resolved.get(), readOnly, mgr));
    if (!mgr) VQ_FAIL(kCls, "createStreamMgr", "pStreamMgr", VQ_ERR_INTERNAL);
    return true;
}

namespace {

// Elements up to the end marker, kept alive in objects.
bool readElementsToEnd(int major, VqObjectStream& os, std::vector<Vq::SharedPtr<VqBase>>& objects) {
    for (;;) {
        Vq::SharedPtr<VqBase> obj;
        VQ_PROPAGATE(VqElementIO::readLogicalElementOf(major, os, obj));
        if (!obj) {
            // An element of a type without a placeholder was passed over.
            if (os.lastElementUnknown()) continue;
            return true;
        }
        objects.push_back(std::move(obj));
    }
}

// The contents of a segment after its first element: the rest of a graph (type
// 1) up to its end marker, the property elements up to theirs, the property table.
bool readSegmentRest(int major, VqObjectStream& os, bool graph, std::vector<Vq::SharedPtr<VqBase>>& objects,
                     const char* method) {
    if (graph) VQ_PROPAGATE(readElementsToEnd(major, os, objects));
    VQ_PROPAGATE(readElementsToEnd(major, os, objects));
    if (!VqPropBase::readPropertyTable(os)) {
        VqErrorState::rethrowError();
        VqErrorState::throwStdError(kCls, method, "readPropertyTable( *dbReadStream )", VQ_ERR_INTERNAL);
        return false;
    }
    return true;
}

} // namespace

// Only the outermost element of a format-6 or format-7 block may carry the
// graph, so that a damaged file cannot nest graphs inside graphs.
bool VqPartition::_readLegacyGraph(VqObjectStream& os) {
    int major = -1, minor = -1;
    os.getVersion(major, minor);
    if (major < 0 || major >= 8 || os.elementDepth() != 1)
        VQ_FAIL(kCls, "_readOwnFields", "A graph inside a partition's record belongs to formats 6 and 7",
                VQ_ERR_CORRUPT);
    VQ_PROPAGATE(readElementsToEnd(major, os, _vpLegacyObjects));
    return readElementsToEnd(major, os, _vpLegacyObjects);
}

void VqPartition::_takeLegacyObjects(std::vector<Vq::SharedPtr<VqBase>>& objects) {
    for (auto& o : _vpLegacyObjects)
        objects.push_back(std::move(o));
    _vpLegacyObjects.clear();
}

namespace {
// Whether objects are of one type, asked of the type records once for each
// run of objects of the same class: a file's objects come in long runs (its
// nodes, then its property values), and a negative answer walks the whole
// parent chain of the record.
class TypeRun {
public:
    explicit TypeRun(const VqType& t) : _type(t) {}
    bool is(const VqBase* o) {
        if (!o) return false;
        const VqType* t = o->type();
        if (t != _pLast) {
            _pLast = t;
            _bIs = t->isA(_type);
        }
        return _bIs;
    }

private:
    const VqType& _type;
    const VqType* _pLast = nullptr;
    bool _bIs = false;
};

// Turns the references read into counted ones; every node read is fixed
// once, and counted. A node's fixup reads no other node's flag, so each is
// marked done as it is fixed: in a large graph a second pass over the objects
// costs a cache miss per object.
// Each node is handed to fixed() after its own fixup; the nodes left with
// children are listed in inner, for the cycle check.
template <class Fixed>
bool fixupObjects(std::vector<Vq::SharedPtr<VqBase>>& objects, std::vector<const VqNode*>& inner,
                  Fixed&& fixed) {
    bool ok = true;
    inner.clear();
    TypeRun nodes(VqNode::classTypeID());
    for (auto& o : objects)
        if (nodes.is(o.get())) {
            auto* n = static_cast<VqNode*>(o.get());
            ok = n->fixupLists() && ok;
            n->setInternalFlag(VqNode::VQ_NODE_IFLAG_NEEDSLOADFIXUP, false);
            if (n->numChildren(false) > 0) inner.push_back(n);
            fixed(n);
        }
    return ok;
}

// Unlinks every node read from its children, so that whatever a damaged file
// linked (cycles included) is released with the objects.
void dropGraph(std::vector<Vq::SharedPtr<VqBase>>& objects) {
    for (auto& o : objects)
        if (auto* n = Vq::typeCast<VqNode>(o.get())) n->removeAllChildren();
    objects.clear();
}

// The walk state of a node in the cycle check, keyed by its address. The
// nodes of a file are allocated one after the other as they are read, and the
// walk meets them in about that order: a hash that keeps neighbouring
// addresses in neighbouring slots (the one of the save's ID table) sweeps the
// table in order, where a mixing hash costs a cache miss per node.
struct NodeState {
    const void* node;
    char state;
};
struct NodeStateTraits {
    static bool empty(const NodeState& e) { return e.node == nullptr; }
    static NodeState emptyEntry() { return NodeState{nullptr, 0}; }
    static uint64_t hash(const void* p) {
        const uintptr_t a = reinterpret_cast<uintptr_t>(p);
        return (a >> 4) ^ Vq::mix64(a >> 24);
    }
    static bool matches(const NodeState& e, const void* p) { return e.node == p; }
    static const void* keyOf(const NodeState& e) { return e.node; }
};
using NodeStates = VqFlatTable<NodeState, const void*, NodeStateTraits>;

// Whether the child links among the nodes read form a cycle (a damaged file
// can make a group its own descendant). Every node on a cycle has a child, so
// a depth-first walk over the nodes with children settles it: they are the
// ones with a state, and a child without one is a leaf, passed over without
// being read. In a large tree nearly every node is a leaf, and reading each
// one again would cost a cache miss per node.
bool hasCycle(const std::vector<const VqNode*>& inner) {
    enum : char { kUnmet = 0, kOpen = 1, kDone = 2 };
    NodeStates state;
    state.reserve(inner.size());
    for (const VqNode* n : inner)
        state.insert(n, NodeState{n, kUnmet});
    // A node on the walk's path, with its children (asked once, not once per child).
    struct Open {
        NodeState* s;
        VqNode* const* kids;
        unsigned int count, next;
    };
    auto open = [](NodeState* s) {
        s->state = kOpen;
        Open o{s, nullptr, 0u, 0u};
        static_cast<const VqNode*>(s->node)->children(o.kids, o.count, false);
        return o;
    };
    std::vector<Open> stack;
    for (const VqNode* start : inner) {
        NodeState* s = state.find(start);
        if (s->state != kUnmet) continue;
        stack.assign(1, open(s));
        while (!stack.empty()) {
            Open& top = stack.back();
            if (top.next >= top.count) {
                top.s->state = kDone;
                stack.pop_back();
                continue;
            }
            NodeState* c = state.find(top.kids[top.next++]);
            if (!c) continue;
            if (c->state == kOpen) return true;
            if (c->state == kDone) continue;
            stack.push_back(open(c));
        }
    }
    return false;
}
} // namespace

bool VqPartition::_loadRootSegment(VqStreamMgr* mgr, int major, Vq::SharedPtr<VqPartition>& root,
                                   std::vector<Vq::SharedPtr<VqBase>>& objects) {
    const char* method = major >= 10  ? "loadRootSegmentV10"
                         : major == 9 ? "loadRootSegmentV9"
                                      : "loadRootSegmentV8";
    Vq::SharedPtr<VqObjectStream> os;
    if (!mgr->beginReadSegment(VqStreamMgr::LsgSegGuid, os) || !os) {
        VqErrorState::rethrowError();
        VqErrorState::throwStdError(kCls, method,
                                    "dbStreamMgr->beginReadSegment(VqStreamMgr::LsgSegGuid, dbReadStream)",
                                    VQ_ERR_INTERNAL);
        return false;
    }
    VqAutoEndReadSegment guard(mgr, os.get());
    {
        VqRWPtrSwizzle::Hold hold(os->swizzler());
        Vq::SharedPtr<VqBase> first;
        VQ_PROPAGATE(VqElementIO::readLogicalElementOf(major, *os, first));
        // Kept by objects, which outlives the segment: its slots may wait in the swizzler.
        if (first) objects.push_back(first);
        if (!first || !first->type()->isA(VqPartition::classTypeID())) {
            if (major >= 9)
                VQ_FAIL(kCls, method, "pBaseObj != __null && pBaseObj->isOfType(VqPartition::classTypeID())",
                        VQ_ERR_INTERNAL);
            VQ_FAIL(kCls, method, "obj != __null && obj->isOfType(VqPartition::classTypeID())",
                    VQ_ERR_INTERNAL);
        }
        root = static_cast<VqPartition*>(first.get());
        root->_strVersionText = mgr->versionText();
        root->_setAttrBit(VQ_PARTITION_OPEN, true);
        VQ_PROPAGATE(readSegmentRest(major, *os, true, objects, method));
    }
    guard.relinquish();
    if (!mgr->endReadSegment(os.get())) {
        VqErrorState::rethrowError();
        VqErrorState::throwStdError(kCls, method, "dbStreamMgr->endReadSegment(dbReadStream)",
                                    VQ_ERR_INTERNAL);
        return false;
    }
    // Only once the segment has let go of its file stream: the manager's lock
    // is taken before a file stream's everywhere else.
    return mgr->setPartition(root.get());
}

// The legacy block of formats 6 and 7 in the layout _writeLegacyBlock
// describes: the partition's element (its record carries the graph), one
// further element (an end marker from this library; a graph element, whose
// record may carry objects too, is taken as well), the property table.
bool VqPartition::_loadRootSegmentV6(VqStreamMgr* mgr, Vq::SharedPtr<VqPartition>& root,
                                     std::vector<Vq::SharedPtr<VqBase>>& objects) {
    Vq::SharedPtr<VqObjectStream> os;
    if (!mgr->beginReadSegment(VqStreamMgr::OldLsgSegGuid, os) || !os) {
        VqErrorState::rethrowError();
        VqErrorState::throwStdError(kCls, "openPartition",
                                    "dbStreamMgr->beginReadSegment(VqStreamMgr::OldLsgSegGuid, dbReadStream)",
                                    VQ_ERR_INTERNAL);
        return false;
    }
    VqAutoEndReadSegment guard(mgr, os.get());
    Vq::SharedPtr<VqBase> first, graph;
    VQ_PROPAGATE(VqElementIO::readLogicalElementOf(6, *os, first));
    if (first) objects.push_back(first);
    if (!first || !first->type()->isA(VqPartition::classTypeID()))
        VQ_FAIL(kCls, "openPartition", "obj != __null && obj->isOfType(VqPartition::classTypeID())",
                VQ_ERR_INTERNAL);
    root = static_cast<VqPartition*>(first.get());
    root->_takeLegacyObjects(objects);
    root->_strVersionText = mgr->versionText();
    root->_setAttrBit(VQ_PARTITION_OPEN, true);
    VQ_PROPAGATE(VqElementIO::readLogicalElementOf(6, *os, graph));
    if (graph) objects.push_back(graph);
    // Every object read is fixed with the others, wherever its record sat.
    if (auto* p = Vq::typeCast<VqPartition>(graph.get())) p->_takeLegacyObjects(objects);
    if (!VqPropBase::readPropertyTable(*os)) {
        VqErrorState::rethrowError();
        VqErrorState::throwStdError(kCls, "openPartition", "readPropertyTable( *dbReadStream )",
                                    VQ_ERR_INTERNAL);
        return false;
    }
    guard.relinquish();
    if (!mgr->endReadSegment(os.get())) {
        VqErrorState::rethrowError();
        VqErrorState::throwStdError(kCls, "openPartition", "dbStreamMgr->endReadSegment(dbReadStream)",
                                    VQ_ERR_INTERNAL);
        return false;
    }
    return mgr->setPartition(root.get());
}

bool VqPartition::_fixGraph(std::vector<Vq::SharedPtr<VqBase>>& objects) {
    // Partition nodes of the graph other than this one stand for their own
    // files: they start empty and closed, whatever their record held. (A
    // graph with a cycle is dropped whole, reset or not.)
    std::vector<const VqNode*> inner;
    TypeRun partitions(VqPartition::classTypeID());
    bool ok = fixupObjects(objects, inner, [this, &partitions](VqNode* n) {
        if (n != this && partitions.is(n)) static_cast<VqPartition*>(n)->_uAttrWord.store(0);
    });
    if (ok && hasCycle(inner)) {
        dropGraph(objects);
        VQ_FAIL(kCls, "fixGraph", "The graph read contains a cycle", VQ_ERR_CORRUPT);
    }
    if (!ok) VqErrorState::rethrowError();
    return ok;
}

bool VqPartition::openPartition(const VqStorageLocation* loc, const VqPartition* parent,
                                Vq::SharedPtr<VqPartition>& out) {
    Vq::SharedPtr<VqStorageLocation> resolved;
    if (_openPartition(loc, parent, out, resolved)) return true;
    _rethrowForFile(resolved ? resolved.get() : loc);
    return false;
}

bool VqPartition::openFile(const VqString& path, Vq::SharedPtr<VqPartition>& out) {
    out.reset();
    Vq::SharedPtr<VqFSStorageLocation> loc;
    if (!VqFSStorageLocation::fromPath(path, loc)) {
        VqErrorState::rethrowError(path);
        return false;
    }
    return openPartition(loc.get(), nullptr, out);
}

bool VqPartition::_openPartition(const VqStorageLocation* loc, const VqPartition* parent,
                                 Vq::SharedPtr<VqPartition>& out,
                                 Vq::SharedPtr<VqStorageLocation>& resolved) {
    out.reset();
    try {
        Vq::SharedPtr<VqStreamMgr> mgr;
        VQ_PROPAGATE(_createStreamMgr(parent, loc, true, resolved, mgr));
        VQ_PROPAGATE(mgr->_initStreamMgr(true));
        VQ_PROPAGATE(mgr->open());
        int major = -1, minor = -1;
        VQ_PROPAGATE(mgr->getVersion(major, minor));

        uint64_t lsgLength = 0;
        if (major >= 8) {
            VqGUID lsg;
            VQ_PROPAGATE(mgr->lsgSegGUID(lsg));
            auto* toc = Vq::typeCast<VqTOCStreamMgr>(mgr.get());
            uint64_t offset = 0;
            uint32_t length = 0;
            if (!toc || !toc->guidToSegDescr(lsg, offset, length)) {
                VqErrorState::rethrowError();
                VqErrorState::throwStdError(kCls, "openPartition", "Scene graph segment not found",
                                            VQ_ERR_INTERNAL);
                return false;
            }
            lsgLength = length;
        }
        // What the segment is expected to need while it is read; it may decode
        // to a bounded multiple of this reservation (see VqBlockDecoder).
        VqMemoryReservation reservation(VqBlockDecoder::kExpectedExpansion * lsgLength);
        if (!((major >= 6 && major <= 10) || major == 99))
            VQ_FAIL(kCls, "openPartition", "(iMajor >= 6 && iMajor <= 10) || (iMajor == 99)", VQ_ERR_TOO_NEW);

        Vq::SharedPtr<VqPartition> root;
        std::vector<Vq::SharedPtr<VqBase>> objects;
        bool ok = major >= 8 ? _loadRootSegment(mgr.get(), major, root, objects)
                             : _loadRootSegmentV6(mgr.get(), root, objects);
        if (!ok) {
            Vq::SharedPtr<VqStdError> error = VqErrorState::currentError();
            // The references among the objects read so far were never counted
            // (and may name objects already discarded): drop them unlinked.
            objects.clear();
            if (mgr->isOpen()) mgr->close();
            if (error) VqErrorState::setError(error.get());
            return false;
        }
        if (!root) VQ_FAIL(kCls, "openPartition", "Root of graph is a NULL partition", VQ_ERR_CORRUPT);
        root->_pLocation = resolved;
        root->_pStreamMgr = mgr;
        root->setDatastoreVersion(major, minor);
        root->_uAttrWord.store(VQ_PARTITION_OPEN | (root->attrWord() & VQ_PARTITION_IMPLPOS));
        if (!root->_fixGraph(objects)) {
            Vq::SharedPtr<VqStdError> error = VqErrorState::currentError();
            dropGraph(objects);
            root->_pStreamMgr.reset();
            mgr->close();
            if (error) VqErrorState::setError(error.get());
            return false;
        }
        VqByteStream::s_reapClosedStreams();
        out = root;
        return true;
    } catch (...) {
        return VqErrorState::recordCurrentException(kCls, "openPartition");
    }
}

namespace {
// Whether two locations name the same file, however they spell it.
bool sameFile(const VqStorageLocation* a, const VqStorageLocation* b) {
    const auto* fa = Vq::typeCast<VqFSStorageLocation>(a);
    const auto* fb = Vq::typeCast<VqFSStorageLocation>(b);
    if (!fa || !fb) return a->isEqual(*b);
    const std::string pa = fa->fullPath().toUtf8(), pb = fb->fullPath().toUtf8();
    struct stat sa, sb;
    if (::stat(pa.c_str(), &sa) == 0 && ::stat(pb.c_str(), &sb) == 0)
        return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    return pa == pb;
}
} // namespace

bool VqPartition::_checkFileNotAbove() const {
    // The file as the open will resolve it; one that cannot be resolved fails there.
    const VqPartition* parent = _enclosingPartition();
    Vq::SharedPtr<VqStorageLocation> target;
    VqStorageManager* storage = VqStorageManagerSingleton::EnsureInstance();
    if (!_pLocation->isRelative())
        target = _pLocation;
    else if (!storage ||
             !storage->resolveLocation(_pLocation.get(), parent ? parent->location() : nullptr, target) ||
             !target) {
        VqErrorState::clearError();
        return true;
    }
    // Every file above this node, on every path: a file that holds a partition
    // node standing for itself, directly or through others, would be read
    // into itself without end.
    const bool inItself = anyAbove([&](const VqNode* up) {
        const auto* p = up->_isPartitionRoot() ? Vq::typeCast<VqPartition>(up) : nullptr;
        return p && p->location() && sameFile(p->location(), target.get());
    });
    if (inItself) VQ_FAIL(kCls, "open", "Partition refers to a file that contains it", VQ_ERR_CORRUPT);
    return true;
}

namespace {
// A node's location is read by every thread that asks to open the node,
// while the thread that merges the node's file replaces it.
VqMutex s_mxLocation;
} // namespace

bool VqPartition::_hasLocation() const {
    VqAutoLock lock(s_mxLocation);
    return _pLocation != nullptr;
}

bool VqPartition::_openSource(Vq::SharedPtr<VqStorageLocation>& loc,
                              Vq::SharedPtr<VqStorageLocation>& parentLoc) const {
    VqAutoLock lock(s_mxLocation);
    loc.reset();
    parentLoc.reset();
    if (_pLocation) _pLocation->clone(loc);
    if (const VqPartition* parent = _enclosingPartition(); parent && parent->_pLocation)
        parent->_pLocation->clone(parentLoc);
    if (!_checkFileNotAbove()) {
        _rethrowForFile(_pLocation.get());
        return false;
    }
    return true;
}

bool VqPartition::mergeBottomHalf(VqPartition* loaded, bool error) {
    if (error || !loaded) {
        setNoOpen(true);
        _callCallbacks(VQ_CB_OPEN_FAILED);
        return false;
    }
    _callCallbacks(VQ_CB_BEFORE_MERGE);
    // The loaded partition's children move here; its own attributes are dropped.
    Vq::SharedPtr<VqPartition> keep(loaded);
    std::vector<Vq::SharedPtr<VqNode>> kids;
    for (unsigned int i = 0; i < loaded->numChildren(); ++i)
        kids.emplace_back(loaded->child(static_cast<int>(i)));
    loaded->removeAllChildren();
    bool ok = true;
    for (auto& k : kids)
        ok = appendChild(k.get()) && ok;
    // The file's own properties come with it.
    for (int i = 0, n = loaded->numProps(false); i < n; ++i) {
        VqPropAtom* key = nullptr;
        VqPropAtom* value = nullptr;
        if (loaded->prop(i, key, value, false)) ok = _addPropInternal(key, value) && ok;
    }
    {
        VqAutoLock lock(s_mxLocation);
        _pLocation = loaded->_pLocation;
    }
    _pStreamMgr = loaded->_pStreamMgr;
    loaded->_pStreamMgr.reset();
    if (_pStreamMgr) _pStreamMgr->setPartition(this);
    _strVersionText = loaded->_strVersionText;
    setDatastoreVersion(loaded->_nDatastoreMajor, loaded->_nDatastoreMinor);
    _setAttrBit(VQ_PARTITION_NEW, false);
    _setAttrBit(VQ_PARTITION_NOOPEN, false);
    _setAttrBit(VQ_PARTITION_IMPLPOS, (loaded->attrWord() & VQ_PARTITION_IMPLPOS) != 0);
    _setAttrBit(VQ_PARTITION_OPEN, true);
    _callCallbacks(VQ_CB_OPENED);
    if (!ok) VqErrorState::rethrowError();
    return ok;
}

bool VqPartition::open() {
    if (isOpen()) return true;
    if (!_hasLocation()) VQ_FAIL(kCls, "open", "_dbLocation", VQ_ERR_ARGUMENT);
    if (isSaving()) VQ_FAIL(kCls, "open", "!isSaving()", VQ_ERR_INTERNAL);
    VqResidencyRequestManager* mgr = VqPartitionRequestEntry::manager();
    if (!mgr || !mgr->blockOnLoad(VqRequestInfo(this, VqRequestInfo::s_cUrgentPriority))) {
        VqErrorState::rethrowError();
        return false;
    }
    return true;
}

bool VqPartition::requestOpen(float priority) {
    if (isOpen()) return true;
    if (!_hasLocation()) VQ_FAIL(kCls, "requestOpen", "_dbLocation", VQ_ERR_ARGUMENT);
    VqResidencyRequestManager* mgr = VqPartitionRequestEntry::manager();
    if (!mgr || !mgr->willNeed(VqRequestInfo(this, priority))) {
        VqErrorState::rethrowError();
        return false;
    }
    return true;
}

bool VqPartition::ensurePartition(bool force) {
    if (isOpen() || isSaving()) return true;
    if ((isNew() && !_hasLocation()) || (!force && isNoOpen())) return true;
    // A failed open leaves the node marked no-open (mergeBottomHalf).
    return open();
}

bool VqPartition::openAllPartitions(VqNode* root, bool force) {
    if (!root) VQ_FAIL(kCls, "openAllPartitions", "root", VQ_ERR_ARGUMENT);
    bool ok = true;
    // A partition opened on the way is descended into with its new children.
    walkOnce(root, [&](VqNode* n) {
        if (auto* p = Vq::typeCast<VqPartition>(n); p && !p->isOpen() && p->_pLocation)
            ok = p->ensurePartition(force) && ok;
        return Walk::Descend;
    });
    if (!ok) VqErrorState::rethrowError();
    return ok;
}

bool VqPartition::close() {
    if (!isOpen()) return true;
    _callCallbacks(VQ_CB_CLOSE_BEGIN);
    bool ok = removeAllChildren();
    _pLocation.reset();
    if (_pStreamMgr) {
        if (_pStreamMgr->isOpen()) ok = _pStreamMgr->close() && ok;
        _pStreamMgr.reset();
    }
    _setAttrBit(VQ_PARTITION_OPEN, false);
    _callCallbacks(VQ_CB_CLOSE_END);
    if (!ok) VqErrorState::rethrowError();
    return ok;
}

// ---- late loading ----------------------------------------------------------------

namespace {
bool loadSegmentAny(VqStreamMgr* mgr, int major, Vq::SharedPtr<VqBase>& out, const VqGUID& seg,
                    const char* method) {
    out.reset();
    if (!mgr) VQ_FAIL(kCls, method, "pStreamMgr", VQ_ERR_ARGUMENT);
    // Declared before the segment guard: slots still waiting in the segment's
    // swizzler are cleared when it ends, and must still exist then.
    std::vector<Vq::SharedPtr<VqBase>> objects;
    Vq::SharedPtr<VqObjectStream> os;
    if (!mgr->beginReadSegment(seg, os) || !os) {
        VqErrorState::rethrowError();
        return false;
    }
    VqAutoEndReadSegment guard(mgr, os.get());
    Vq::SharedPtr<VqBase> first;
    {
        VqRWPtrSwizzle::Hold hold(os->swizzler());
        VQ_PROPAGATE(VqElementIO::readLogicalElementOf(major, *os, first));
        if (first) objects.push_back(first);
        VQ_PROPAGATE(readSegmentRest(major, *os, os->segmentType() == VQSEG_LSG, objects, method));
    }
    guard.relinquish();
    if (!mgr->endReadSegment(os.get())) {
        VqErrorState::rethrowError();
        VqErrorState::throwStdError(kCls, method, "dbStreamMgr->endReadSegment(dbReadStream)",
                                    VQ_ERR_INTERNAL);
        return false;
    }
    std::vector<const VqNode*> inner;
    if (!fixupObjects(objects, inner, [](VqNode*) {}) || hasCycle(inner)) {
        Vq::SharedPtr<VqStdError> error = VqErrorState::currentError();
        dropGraph(objects);
        if (error) VqErrorState::setError(error.get());
        VQ_FAIL(kCls, method, "The segment's graph is damaged", VQ_ERR_CORRUPT);
    }
    out = first;
    return true;
}
} // namespace

bool VqPartition::loadSegmentV10(VqStreamMgr* mgr, Vq::SharedPtr<VqBase>& out, const VqGUID& seg) {
    try {
        return loadSegmentAny(mgr, 10, out, seg, "loadSegmentV10");
    } catch (...) {
        return VqErrorState::recordCurrentException(kCls, "loadSegmentV10");
    }
}

bool VqPartition::loadSegmentV9(VqStreamMgr* mgr, VqBase*& out, const VqGUID& seg) {
    out = nullptr;
    try {
        Vq::SharedPtr<VqBase> obj;
        VQ_PROPAGATE(loadSegmentAny(mgr, 9, obj, seg, "loadSegmentV9"));
        // The caller takes over one reference to the object.
        out = obj.release();
        return true;
    } catch (...) {
        return VqErrorState::recordCurrentException(kCls, "loadSegmentV9");
    }
}

bool VqPartition::loadSegmentV8(VqStreamMgr* mgr, Vq::SharedPtr<VqBase>& out, const VqGUID& seg) {
    try {
        return loadSegmentAny(mgr, 8, out, seg, "loadSegmentV8");
    } catch (...) {
        return VqErrorState::recordCurrentException(kCls, "loadSegmentV8");
    }
}

bool VqPartition::getReadStream(const VqSID& sid, Vq::SharedPtr<VqObjectStream>& out) {
    out.reset();
    if (!_pStreamMgr) VQ_FAIL(kCls, "getReadStream", "_pStreamMgr", VQ_ERR_ARGUMENT);
    if (sid.offset < 0 || sid.offset > INT32_MAX)
        VQ_FAIL(kCls, "getReadStream", "sid.offset", VQ_ERR_ARGUMENT);
    const int offset = static_cast<int>(sid.offset);
    return _pStreamMgr->beginReadSegment(offset, out);
}

bool VqPartition::getReadStream(const VqDataPropAtom* atom, Vq::SharedPtr<VqObjectStream>& out) {
    out.reset();
    if (!atom) VQ_FAIL(kCls, "getReadStream", "pAtom", VQ_ERR_ARGUMENT);
    return getReadStream(atom->sid(), out);
}

bool VqPartition::putReadStream(VqObjectStream* stream) {
    if (!_pStreamMgr) VQ_FAIL(kCls, "putReadStream", "_pStreamMgr", VQ_ERR_ARGUMENT);
    return _pStreamMgr->endReadSegment(stream);
}

bool VqPartition::fileVersion(int& major, int& minor) const {
    major = _nDatastoreMajor;
    minor = _nDatastoreMinor;
    if (major < 0 && _pStreamMgr) return _pStreamMgr->getVersion(major, minor);
    return major >= 0;
}

bool VqPartition::writeVersion(int& major, int& minor) const {
    return getVersion(major, minor);
}

uint32_t VqPartition::segmentAlias(const VqGUID& segGuid) const {
    // Keyed by the partition's own location, so that an object saved under a
    // new GUID is found again under the same alias once the file is reopened
    // (a save's stream manager writes to a temporary file beside it).
    const uint32_t h = VqStreamMgr::segmentHash(segGuid, _pLocation.get());
    return h ? h : 1u;
}

bool VqPartition::loadSegmentRoot(int major, const VqGUID& segGuid, int, Vq::SharedPtr<VqBase>& out) {
    out.reset();
    if (!_pStreamMgr) VQ_FAIL(kCls, "loadSegmentRoot", "_pStreamMgr", VQ_ERR_ARGUMENT);
    return loadSegmentOf(_pStreamMgr.get(), major, segGuid, out);
}

bool VqPartition::loadSegmentOf(VqStreamMgr* mgr, int major, const VqGUID& segGuid,
                                Vq::SharedPtr<VqBase>& out) {
    out.reset();
    if (!mgr) VQ_FAIL(kCls, "loadSegmentRoot", "_pStreamMgr", VQ_ERR_ARGUMENT);
    if (major >= 10) return loadSegmentV10(mgr, out, segGuid);
    if (major == 9) {
        VqBase* raw = nullptr;
        VQ_PROPAGATE(loadSegmentV9(mgr, raw, segGuid));
        out = raw;
        // The reference loadSegmentV9 handed over now lives in out.
        if (raw) raw->unref();
        return true;
    }
    return loadSegmentV8(mgr, out, segGuid);
}
