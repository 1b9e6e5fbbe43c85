// The shape node: identity, sizes and counts, the compression level, the
// segment type of the implementation and the node's record.
//
// The record (after the node's level):
//
//   VQ 10      u8 local version 1; the box without transform (min, max as
//              2 x 3 f32); area f32; vertex, node and polygon count ranges
//              (3 x 2 i32); u32 last implementation size; f32 compression level
//   VQ 9.x     i16 local version 1; the box with the node's own transform
//              (ignored on reading); the box without; area; the three ranges;
//              i32 last implementation size; f32 compression level
//   VQ 8.x     as 9.x without the local version
//   VQ 6.4-7.x as 8.x without the compression level, then the i32 position
//              of the implementation in the file (-1 for none)
#include "VqShape.h"

#include "VqErrorState.h"
#include "VqFactory.h"
#include "VqLOD.h"
#include "VqMutex.h"
#include "VqObjectStream.h"
#include "VqPartition.h"
#include "VqStreamMgr.h"

#include <cfloat>
#include <cmath>
#include <unordered_map>

VQ_IMPLEMENT_ABSTRACT_TYPE(VqShape, VqNode, CLSID_ZQShape)

float VqShape::s_fDefaultCompressionLevel = 0.01f;
std::atomic<double> VqShape::s_TotalTime{0.0};
std::atomic<int64_t> VqShape::s_TotalShapes{0};

namespace {
constexpr const char* kCls = "VqShape";

// The identifier table: numbers from an atomic counter, the map under one
// mutex. Both live for the process (shapes may outlive a library shutdown
// in a host's statics), so they are never destroyed.
std::atomic<uint32_t> s_nextShapeID{1};
VqMutex& shapeTableMutex() {
    static VqMutex* m = new VqMutex();
    return *m;
}
std::unordered_map<uint32_t, VqShape*>& shapeTable() {
    static auto* t = new std::unordered_map<uint32_t, VqShape*>();
    return *t;
}
} // namespace

VqShape::VqShape(uint64_t eBindings)
    : _fCompressionLevel(s_fDefaultCompressionLevel), _eBindings(eBindings),
      _uShapeID(s_nextShapeID.fetch_add(1, std::memory_order_relaxed)) {
    s_registerShape(this);
    setInternalFlag(VQ_NODE_IFLAG_INVALHOOK, true);
    setInternalFlag(VQ_NODE_IFLAG_LODLOADEDVALID, true);
}

// A copy is a shape of its own: a new identifier, and no implementation
// until it is given or loaded one.
VqShape::VqShape(const VqShape& o)
    : Record(o), _fCompressionLevel(o._fCompressionLevel), _uLastImplSize(o._uLastImplSize),
      _eBindings(o._eBindings), _uShapeID(s_nextShapeID.fetch_add(1, std::memory_order_relaxed)) {
    s_registerShape(this);
    setInternalFlag(VQ_NODE_IFLAG_INVALHOOK, true);
    setInternalFlag(VQ_NODE_IFLAG_LODLOADEDVALID, true);
}

VqShape::~VqShape() {
    _disconnect();
    s_unregisterShape(_uShapeID);
}

bool VqShape::s_registerShape(VqShape* pShape) {
    VQ_CHECK(pShape, kCls, "s_registerShape", VQ_ERR_ARGUMENT);
    VqAutoLock lock(shapeTableMutex());
    shapeTable()[pShape->_uShapeID] = pShape;
    return true;
}

void VqShape::s_unregisterShape(uint32_t id) {
    VqAutoLock lock(shapeTableMutex());
    shapeTable().erase(id);
}

VqShape* VqShape::s_lookupShape(uint32_t id) {
    VqAutoLock lock(shapeTableMutex());
    auto it = shapeTable().find(id);
    return it == shapeTable().end() ? nullptr : it->second;
}

VqTopoMesh* VqShape::topoMesh() const {
    Vq::SharedPtr<VqShapeImpl> cur = impl();
    return cur ? cur->topoMesh() : nullptr;
}

const VqTopoMesh* VqShape::constTopoMesh() const {
    Vq::SharedPtr<VqShapeImpl> cur = ensureConstImpl();
    return cur ? cur->topoMesh() : nullptr;
}

VqTopoMesh* VqShape::nonConstTopoMesh() {
    Vq::SharedPtr<VqShapeImpl> cur = ensureImpl();
    return cur ? cur->topoMesh() : nullptr;
}

// ---- Compression level

std::vector<VqShape*> VqShape::shapesBelow(VqNode* root) {
    std::vector<VqShape*> out;
    VqNode::walkOnce(root, [&](VqNode* n) {
        if (auto* s = Vq::typeCast<VqShape>(n)) out.push_back(s);
        return VqNode::Walk::Descend;
    });
    return out;
}

bool VqShape::setCompressionLevel(float fLevel) {
    if (!(fLevel >= 0.0f && fLevel <= 1.0f))
        VQ_FAIL(kCls, "setCompressionLevel", "fLevel >= 0.0f && fLevel <= 1.0f", VQ_ERR_ARGUMENT);
    const bool changed = fLevel != _fCompressionLevel;
    _fCompressionLevel = fLevel;
    // A mesh built in memory takes the level's bit counts even when the
    // shape already had that level: its pool starts without them. One loaded
    // from a file keeps the bits it was stored with while the level stays,
    // so that its stored bytes may still be copied.
    if (!changed && (!impl() || isImplPersistent())) return true;
    // The stored implementation was encoded at the old level: the next save
    // encodes it again instead of copying its bytes.
    if (impl()) {
        // Bit counts live in the mesh: another shape sharing it keeps its own.
        Vq::SharedPtr<VqShapeImpl> cur;
        VQ_PROPAGATE(_ownImpl(cur, "setCompressionLevel"));
        VQ_PROPAGATE(_applyCompressionLevel(*cur));
        _uImplPersistent = VQ_IMPL_NOT_PERSISTENT;
        _uImplSize = ~0u;
    } else if (isImplPersistent()) {
        _bLevelPending = true;
    }
    return true;
}

bool VqShape::_applyPendingLevel(VqShapeImpl& cur) const {
    if (!_bLevelPending) return true;
    VQ_PROPAGATE(_applyCompressionLevel(cur));
    _bLevelPending = false;
    _uImplPersistent = VQ_IMPL_NOT_PERSISTENT;
    _uImplSize = ~0u;
    return true;
}

bool VqShape::setDefaultCompressionLevel(float fLevel) {
    if (!(fLevel >= 0.0f && fLevel <= 1.0f))
        VQ_FAIL(kCls, "setDefaultCompressionLevel", "fLevel >= 0.0f && fLevel <= 1.0f", VQ_ERR_ARGUMENT);
    s_fDefaultCompressionLevel = fLevel;
    return true;
}

// ---- Sizes, boxes and counts

uint32_t VqShape::implSize() const {
    Vq::SharedPtr<VqShapeImpl> cur = impl();
    if (!cur) return 0;
    if (_uImplSize == ~0u) {
        const int s = cur->size();
        _uImplSize = _uLastImplSize = s < 0 ? 0u : uint32_t(s);
    }
    return _uImplSize;
}

uint32_t VqShape::lastImplSize() const {
    if (_uLastImplSize == ~0u)
        if (Vq::SharedPtr<VqShapeImpl> cur = impl()) {
            const int s = cur->size();
            _uLastImplSize = s < 0 ? 0u : uint32_t(s);
        }
    return _uLastImplSize == ~0u ? 0u : _uLastImplSize;
}

void VqShape::_invalidateHook() const {
    _uImplSize = ~0u;
}

bool VqShape::computeBBox(VqBox3<float>& box, unsigned int, bool) const {
    if (_bBox.min[0] != FLT_MAX) {
        box = _bBox;
        return true;
    }
    Vq::SharedPtr<VqShapeImpl> cur;
    VQ_PROPAGATE(_ensureImpl(nullptr, cur));
    box = cur ? cur->bbox() : VqBox3<float>();
    return true;
}

float VqShape::_computeAreaRaw() const {
    Vq::SharedPtr<VqShapeImpl> cur;
    if (!_ensureImpl(nullptr, cur) || !cur) return 0.0f;
    return _implArea(*cur);
}

VqFixedVec<int, 2> VqShape::computeNumVertices() const {
    Vq::SharedPtr<VqShapeImpl> cur;
    VqFixedVec<int, 2> out(0, 0);
    if (_ensureImpl(nullptr, cur) && cur) cur->numVertices(out);
    return out;
}

VqFixedVec<int, 2> VqShape::computeNumPolygons() const {
    Vq::SharedPtr<VqShapeImpl> cur;
    VqFixedVec<int, 2> out(0, 0);
    if (_ensureImpl(nullptr, cur) && cur) cur->numPolygons(out);
    return out;
}

bool VqShape::receiveNotification(const VqBase* who, Vq::BaseChange change) const {
    if (who && who == _pConnected) {
        // The stored copy no longer matches: a save writes this one.
        _uImplPersistent = VQ_IMPL_NOT_PERSISTENT;
        _uImplSize = ~0u;
        invalidateState(VQ_INVAL_BBOX | VQ_INVAL_AREA | VQ_INVAL_VERTICES | VQ_INVAL_POLYGONS);
        return true;
    }
    return VqNode::receiveNotification(who, change);
}

void VqShape::_getMinimumVQVersion(int& major, int& minor) const {
    VqNode::_getMinimumVQVersion(major, minor);
    if (Vq::SharedPtr<VqShapeImpl> cur = impl()) cur->_getMinimumVQVersion(major, minor);
}

bool VqShape::shrink() const {
    if (Vq::SharedPtr<VqShapeImpl> cur = impl()) VQ_PROPAGATE(cur->shrink());
    return VqNode::shrink();
}

// ---- Segment type

// The nearest LOD or partition node above, by the first parent of each node
// on the way (a shape reached through several parents stores its
// implementation once, so one way up has to decide).
int VqShape::_determineSegType() const {
    const VqNode* child = this;
    while (child->numParents() > 0) {
        const VqNode* p = child->parent(0);
        if (!p) break;
        if (p->isOfType(VqPartition::classTypeID())) return VQSEG_SHAPE;
        if (p->isOfType(VqLOD::classTypeID())) {
            const int index = p->findChild(child);
            if (index < 0) return VQSEG_SHAPE;
            return VQSEG_SHAPELOD0 + (index < 9 ? index : 9);
        }
        child = p;
    }
    return VQSEG_SHAPE;
}

// ---- Record

namespace {
bool writeBox(VqObjectStream& os, const VqBox3<float>& b) {
    for (int i = 0; i < 3; ++i)
        VQ_PROPAGATE(os.write(b.min[i]));
    for (int i = 0; i < 3; ++i)
        VQ_PROPAGATE(os.write(b.max[i]));
    return true;
}
bool readBox(VqObjectStream& os, VqBox3<float>& b) {
    for (int i = 0; i < 3; ++i)
        VQ_PROPAGATE(os.read(&b.min[i]));
    for (int i = 0; i < 3; ++i)
        VQ_PROPAGATE(os.read(&b.max[i]));
    return true;
}
bool writeRange(VqObjectStream& os, const VqFixedVec<int, 2>& r) {
    return os.write(r[0]) && os.write(r[1]);
}
bool readRange(VqObjectStream& os, VqFixedVec<int, 2>& r) {
    return os.read(&r[0]) && os.read(&r[1]);
}
} // namespace

bool VqShape::_writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const {
    VqFixedVec<int, 2> verts, nodes, polys;
    VQ_PROPAGATE(numVertices(verts) && numNodes(nodes) && numPolygons(polys));
    const VqBox3<float> raw = bBoxRaw(1);
    if (fmt.generation() != 10) VQ_PROPAGATE(writeBox(os, bBox(1)));
    VQ_PROPAGATE(writeBox(os, raw));
    VQ_PROPAGATE(os.write(area()));
    VQ_PROPAGATE(writeRange(os, verts) && writeRange(os, nodes) && writeRange(os, polys));
    if (fmt.generation() == 10)
        VQ_PROPAGATE(os.write(static_cast<unsigned int>(lastImplSize())));
    else
        VQ_PROPAGATE(os.write(static_cast<int>(lastImplSize())));
    if (fmt.atLeast(8, 0)) return os.write(_fCompressionLevel);
    const int sid = _uImplStreamPos == ~uint64_t(0) ? -1 : static_cast<int>(_uImplStreamPos);
    return os.write(sid);
}

bool VqShape::_readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int) {
    VqBox3<float> box;
    if (fmt.generation() != 10) VQ_PROPAGATE(readBox(os, box)); // the placed box: derived, not kept
    VQ_PROPAGATE(readBox(os, box));
    float a = -1.0f;
    VQ_PROPAGATE(os.read(&a));
    VqFixedVec<int, 2> verts, nodes, polys;
    VQ_PROPAGATE(readRange(os, verts) && readRange(os, nodes) && readRange(os, polys));
    unsigned int last = 0;
    VQ_PROPAGATE(os.read(&last));
    // A negative 9.x size is no size: the value says "unset".
    if (fmt.generation() != 10 && static_cast<int>(last) < 0) last = ~0u;
    float level = s_fDefaultCompressionLevel;
    if (fmt.atLeast(8, 0)) {
        VQ_PROPAGATE(os.read(&level));
        // A level the interface would refuse is replaced, not refused: the
        // rest of the record is sound, and the level only steers a later save.
        if (!std::isfinite(level) || level < 0.0f || level > 1.0f) level = 0.01f;
    } else {
        VQ_PROPAGATE(os.read(&_iLegacySID));
    }
    _bBox = box;
    _fArea = a;
    _vNumVertices = verts;
    _vNumNodes = nodes;
    _vNumPolygons = polys;
    _uLastImplSize = last;
    _fCompressionLevel = level;
    _uImplStreamPos = ~uint64_t(0);
    return true;
}
