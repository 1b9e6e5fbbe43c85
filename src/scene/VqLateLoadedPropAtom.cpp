#include "VqLateLoadedPropAtom.h"

#include "VqErrorState.h"
#include "VqFactory.h"
#include "VqFormatSettings.h"
#include "VqGlobalObjectAliasTable.h"
#include "VqStdException.h"
#include "VqStreamMgrSegmentIO.h"
#include "VqStringPropAtom.h"

#include <ostream>

VQ_IMPLEMENT_TYPE(VqLateLoadedPropAtom, VqPropAtom, CLSID_ZQLateLoadedPropAtom)

VqStringPropAtom* vqLLPropShapeImpl = nullptr;
VqStringPropAtom* vqLLPropTopoMesh = nullptr;
VqStringPropAtom* vqLLPropVertexRecordPool = nullptr;
VqStringPropAtom* vqLLPropBBHier = nullptr;
VqStringPropAtom* vqLLPropBrep = nullptr;
VqStringPropAtom* vqLLPropKXBrep = nullptr;
VqStringPropAtom* vqLLPropMultiKXBrep = nullptr;
VqStringPropAtom* vqLLPropWFRep = nullptr;
VqStringPropAtom* vqLLPropOrbit = nullptr;
VqStringPropAtom* vqLLPropLWPA = nullptr;
VqStringPropAtom* vqLLPropPMI = nullptr;
VqStringPropAtom* vqLLPropMetaData = nullptr;
VqStringPropAtom* vqLLPropThumbnail = nullptr;
VqStringPropAtom* vqLLPropData = nullptr;

namespace {
struct WellKnownKey {
    VqStringPropAtom** slot;
    const char* text;
};
const WellKnownKey s_keys[] = {
    {&vqLLPropShapeImpl, "VQ_LLPROP_SHAPEIMPL"},
    {&vqLLPropTopoMesh, "VQ_LLPROP_TOPOMESH"},
    {&vqLLPropVertexRecordPool, "VQ_LLPROP_VERTEXRECORDPOOL"},
    {&vqLLPropBBHier, "VQ_LLPROP_BBHIER"},
    {&vqLLPropBrep, "VQ_LLPROP_BREP"},
    {&vqLLPropKXBrep, "VQ_LLPROP_KXBREP"},
    {&vqLLPropMultiKXBrep, "VQ_LLPROP_MULTIKXBREP"},
    {&vqLLPropWFRep, "VQ_LLPROP_WFREP"},
    {&vqLLPropOrbit, "VQ_LLPROP_ORBIT"},
    {&vqLLPropLWPA, "VQ_LLPROP_LWPA"},
    {&vqLLPropPMI, "VQ_LLPROP_PMI"},
    {&vqLLPropMetaData, "VQ_LLPROP_METADATA"},
    {&vqLLPropThumbnail, "VQ_LLPROP_THUMBNAIL"},
    {&vqLLPropData, "VQ_LLPROP_DATA"},
};

Vq::GlobalObjectAliasTable* aliasTable() {
    if (!g_pInstanceGlobalObjectAliasTable) VQ_THROW("g_pInstanceGlobalObjectAliasTable", VQ_ERR_INTERNAL);
    return g_pInstanceGlobalObjectAliasTable;
}
} // namespace

bool VqLateLoadedPropAtom::init() {
    try {
        for (const WellKnownKey& k : s_keys) {
            if (*k.slot) continue;
            VqStringPropAtom* key = new VqStringPropAtom(k.text);
            if (!key)
                VQ_FAIL("VqLateLoadedPropAtom", "init", "Allocation failed: new VqStringPropAtom",
                        VQ_ERR_ALLOC);
            key->ref();
            *k.slot = key;
        }
        return true;
    } catch (...) {
        return VqErrorState::recordCurrentException("VqLateLoadedPropAtom", "init");
    }
}

void VqLateLoadedPropAtom::fini() {
    for (const WellKnownKey& k : s_keys) {
        if (*k.slot) (*k.slot)->unref();
        *k.slot = nullptr;
    }
}

VqLateLoadedPropAtom::VqLateLoadedPropAtom() {
    _setStateBit(VQ_PROPATOM_NONUSER, true);
}

VqLateLoadedPropAtom::VqLateLoadedPropAtom(const VqGUID& guid, int segType) : VqLateLoadedPropAtom() {
    _guid = guid;
    _eSegType = segType;
}

VqLateLoadedPropAtom::VqLateLoadedPropAtom(const VqLateLoadedPropAtom& o)
    : Record(o), Vq::CowGoatPtr(o), _guid(o._guid), _eSegType(o._eSegType) {}

VqLateLoadedPropAtom& VqLateLoadedPropAtom::operator=(const VqLateLoadedPropAtom& o) {
    VqPropAtom::operator=(o);
    Vq::CowGoatPtr::operator=(o);
    _guid = o._guid;
    _eSegType = o._eSegType;
    return *this;
}

Vq::SharedPtr<VqBase> VqLateLoadedPropAtom::object() const {
    if (!hasHandle() || !g_pInstanceGlobalObjectAliasTable) return nullptr;
    return g_pInstanceGlobalObjectAliasTable->object(goatHandle(), false);
}

bool VqLateLoadedPropAtom::setObject(VqBase* obj) {
    try {
        VQ_PROPAGATE(aliasTable()->bindObject(*this, obj));
        _setStateBit(VQ_PROPATOM_LOADED, obj != nullptr);
        return true;
    } catch (...) {
        return VqErrorState::recordCurrentException("VqLateLoadedPropAtom", "setObject");
    }
}

bool VqLateLoadedPropAtom::shareLoaded(VqBase* obj, uint32_t alias) {
    try {
        if (!obj) VQ_FAIL("VqLateLoadedPropAtom", "shareLoaded", "obj", VQ_ERR_ARGUMENT);
        VQ_PROPAGATE(aliasTable()->shareObject(*this, obj, alias));
        _setStateBit(VQ_PROPATOM_LOADED, true);
        return true;
    } catch (...) {
        return VqErrorState::recordCurrentException("VqLateLoadedPropAtom", "shareLoaded");
    }
}

bool VqLateLoadedPropAtom::isPersistable() const {
    int major = -1, minor = -1;
    if (!VqFormatSettings::getVersion(major, minor) || major <= 7) return false;
    Vq::SharedPtr<VqBase> obj = object();
    if (obj) return obj->isPersistable();
    // A save that copied the stored segment unread leaves the atom without
    // data, and the file being written with the segment it names.
    return hasWritten() && !_guid.isNull();
}

bool VqLateLoadedPropAtom::isEqualHook(const VqPropAtom& o) const {
    const auto& ll = static_cast<const VqLateLoadedPropAtom&>(o);
    if (_guid != ll._guid || _eSegType != ll._eSegType) return false;
    // Atoms of new data not saved yet are equal only when they share it.
    return !_guid.isNull() || goatHandle() == ll.goatHandle();
}

void VqLateLoadedPropAtom::write(std::ostream& os) const {
    VqString text;
    if (_guid.toString(text)) os << text;
    os << ' ' << _eSegType;
}

bool VqLateLoadedPropAtom::_failLoad() const {
    const_cast<VqLateLoadedPropAtom*>(this)->clearGUID();
    VqErrorState::throwStdError("VqLateLoadedPropAtom", "ensureData()", "LLPA load failed", VQ_ERR_READ);
    return false;
}

bool VqLateLoadedPropAtom::_ensureDataV8x(VqLLSegmentIO& io, Vq::SharedPtr<VqBase>& out) const {
    return io.loadSegmentRoot(8, _guid, _eSegType, out);
}
bool VqLateLoadedPropAtom::_ensureDataV9x(VqLLSegmentIO& io, Vq::SharedPtr<VqBase>& out) const {
    return io.loadSegmentRoot(9, _guid, _eSegType, out);
}
bool VqLateLoadedPropAtom::_ensureDataV10x(VqLLSegmentIO& io, Vq::SharedPtr<VqBase>& out) const {
    return io.loadSegmentRoot(10, _guid, _eSegType, out);
}

bool VqLateLoadedPropAtom::_loadByVersion(VqLLSegmentIO& io, Vq::SharedPtr<VqBase>& out) const {
    int major = -1, minor = -1;
    if (!io.fileVersion(major, minor)) return false;
    if (major > 9) return _ensureDataV10x(io, out);
    if (major == 9) return _ensureDataV9x(io, out);
    return _ensureDataV8x(io, out);
}

bool VqLateLoadedPropAtom::ensureData(VqLLSegmentIO& io) const {
    auto* self = const_cast<VqLateLoadedPropAtom*>(this);
    try {
        Vq::GlobalObjectAliasTable* table = aliasTable();
        if (hasHandle() && table->object(goatHandle(), true)) return true;
        if (_guid.isNull()) return true;
        uint32_t alias = io.segmentAlias(_guid);
        if (!table->findShared(alias, *self)) {
            Vq::SharedPtr<VqBase> obj;
            if (!_loadByVersion(io, obj) || !obj) return _failLoad();
            VQ_PROPAGATE(table->shareObject(*self, obj.get(), alias));
        }
        self->_setStateBit(VQ_PROPATOM_LOADED, true);
        return true;
    } catch (...) {
        return _failLoad();
    }
}

void VqLateLoadedPropAtom::unloadData() {
    if (isLoaded() && hasHandle()) Vq::CowGoatPtr::unloadData();
    _setStateBit(VQ_PROPATOM_LOADED, false);
}

bool VqLateLoadedPropAtom::rollNewGUID(VqLLSegmentIO& io) {
    VqGUID fresh;
    VQ_PROPAGATE(VqGUID::createGUID(fresh));
    return _rebind(fresh, io);
}

bool VqLateLoadedPropAtom::restoreGUID(const VqGUID& guid, VqLLSegmentIO& io) {
    setHasWritten(false);
    return _guid == guid ? true : _rebind(guid, io);
}

bool VqLateLoadedPropAtom::_rebind(const VqGUID& guid, VqLLSegmentIO& io) {
    try {
        Vq::SharedPtr<VqBase> obj = object();
        Vq::CowGoatPtr::unloadData();
        _guid = guid;
        if (obj) VQ_PROPAGATE(aliasTable()->shareObject(*this, obj.get(), io.segmentAlias(_guid)));
        return true;
    } catch (...) {
        return VqErrorState::recordCurrentException("VqLateLoadedPropAtom", "rollNewGUID");
    }
}

void VqLateLoadedPropAtom::clearGUID() {
    Vq::CowGoatPtr::unloadData();
    _guid = VqGUID();
    _setStateBit(VQ_PROPATOM_LOADED, false);
}

bool VqLLSegmentIO::canCopySegment(const VqGUID&, int) const {
    return false;
}

bool VqLLSegmentIO::copySegment(const VqGUID&, int) {
    VQ_FAIL("VqLLSegmentIO", "copySegment", "Segments cannot be copied here", VQ_ERR_INTERNAL);
}

bool VqLateLoadedPropAtom::writeData(VqLLSegmentIO& io) const {
    try {
        if (_bCopyStored) {
            // The new file holds the stored bytes under the old GUID: the
            // atom's record stays valid as it is. Loaded data is shared from
            // now on under the alias of the file being written, as after a
            // save under a new GUID.
            _bCopyStored = false;
            VQ_PROPAGATE(const_cast<VqLateLoadedPropAtom*>(this)->_rebind(_guid, io));
            return io.copySegment(_guid, _eSegType);
        }
        int major = -1, minor = -1;
        VQ_PROPAGATE(io.writeVersion(major, minor));
        Vq::SharedPtr<VqBase> obj = object();
        if (!obj) return true;
        // Every save puts the object into a segment of its own under a new GUID.
        VQ_PROPAGATE(const_cast<VqLateLoadedPropAtom*>(this)->rollNewGUID(io));
        VQ_PROPAGATE(io.saveSegment(major, _guid, _eSegType, obj.get()));
        return true;
    } catch (...) {
        return VqErrorState::recordCurrentException("VqLateLoadedPropAtom", "writeData");
    }
}

bool VqLateLoadedPropAtom::_writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const {
    if (fmt.generation() == 10 && _guid == VqGUID())
        VQ_FAIL("VqLateLoadedPropAtom", "_serializeVQ100virtual", "_guid != VqGUID()", VQ_ERR_INTERNAL);
    VQ_PROPAGATE(os.write(_guid));
    VQ_PROPAGATE(os.write(_eSegType));
    if (fmt.generation() == 0) return true;
    VQ_PROPAGATE(os.write(0));
    return fmt.generation() == 9 ? os.write(1) : true;
}

bool VqLateLoadedPropAtom::_readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion) {
    if (fmt.generation() == 10 && localVersion < 2 && !(_uState & VQ_PROPATOM_OLD_LAYOUT))
        VQ_FAIL("VqLateLoadedPropAtom", "_deserializeVQ100virtual", "iLocalVers >= 2", VQ_ERR_INTERNAL);
    VQ_PROPAGATE(os.read(_guid));
    VQ_PROPAGATE(os.read(&_eSegType));
    if (fmt.generation() != 0) {
        int reserved[2] = {0, 0};
        VQ_PROPAGATE(os.read(reserved, fmt.generation() == 9 ? 2 : 1));
    }
    _setStateBit(VQ_PROPATOM_PERSISTABLE, false);
    return true;
}

bool VqLateLoadedPropAtom::writeData(VqStreamMgr& mgr) const {
    VqStreamMgrSegmentIO io(mgr);
    return writeData(io);
}

bool VqLateLoadedPropAtom::ensureData(VqStreamMgr& mgr) const {
    VqStreamMgrSegmentIO io(mgr);
    return ensureData(io);
}

bool VqLateLoadedPropAtom::rollNewGUID(VqStreamMgr& mgr) {
    VqStreamMgrSegmentIO io(mgr);
    return rollNewGUID(io);
}
