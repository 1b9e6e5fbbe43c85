#include "VqClassRegistry.h"

#include "VqAttribute.h"
#include "VqBasePtrPropAtom.h"
#include "VqBlockDataStream.h"
#include "VqBufferedObjectStream.h"
#include "VqCompressedObjectStream.h"
#include "VqDataPropAtom.h"
#include "VqErrorState.h"
#include "VqFSStorageLocation.h"
#include "VqFactory.h"
#include "VqFileByteStream.h"
#include "VqFloat32PropAtom.h"
#include "VqGroup.h"
#include "VqInstance.h"
#include "VqInt32PropAtom.h"
#include "VqLOD.h"
#include "VqLateLoadedPropAtom.h"
#include "VqLzmaSegObjectStream.h"
#include "VqMemoryByteStream.h"
#include "VqNode.h"
#include "VqNotifyBase.h"
#include "VqObjectStream.h"
#include "VqPropAtom.h"
#include "VqPropBase.h"
#include "VqRangeLOD.h"
#include "VqRefCountedPtrPropAtom.h"
#include "VqRwStorageLocation.h"
#include "VqStdError.h"
#include "VqStringPropAtom.h"
#include "VqSwitch.h"
#include "VqTOCStreamMgr.h"
#include "VqThumbnailSet.h"
#include "VqVec4fPropAtom.h"
#include "VqVoidPtrPropAtom.h"
#include "VqZlibSegObjectStream.h"

// Every registered class, in the order of registration. Groups follow the
// start-up order: base and notification classes, property atoms,
// render-context and view classes, the traversal strategy, storage
// locations, request entries and handlers, nodes, unknown-object
// placeholders, shapes and their implementations, agents, attributes,
// cameras, streams and stream managers, event handlers, extension agents,
// metadata and PMI, spatial trees, node iterators, topology meshes and the
// remaining classes. Each class is added to its group when it lands.
namespace {
struct Entry {
    bool (*construct)();
    bool (*destruct)();
};

#define VQ_CLASS(C)                                                                                          \
    { &C::constructType, &C::destructType }
const Entry s_classes[] = {
    // base and notification classes
    VQ_CLASS(VqBase),
    VQ_CLASS(VqNotifyBase),
    VQ_CLASS(VqPropBase),
    VQ_CLASS(VqStdError),
    // property atoms
    VQ_CLASS(VqPropAtom),
    VQ_CLASS(VqStringPropAtom),
    VQ_CLASS(VqInt32PropAtom),
    VQ_CLASS(VqFloat32PropAtom),
    VQ_CLASS(VqVec4fPropAtom),
    VQ_CLASS(VqBasePtrPropAtom),
    VQ_CLASS(VqVoidPtrPropAtom),
    VQ_CLASS(VqRefCountedPtrPropAtom),
    VQ_CLASS(VqDataPropAtom),
    VQ_CLASS(VqLateLoadedPropAtom),
    // storage locations
    VQ_CLASS(VqStorageLocation),
    VQ_CLASS(VqFSStorageLocation),
    VQ_CLASS(VqRwStorageLocation),
    // nodes
    VQ_CLASS(VqNode),
    VQ_CLASS(VqGroup),
    VQ_CLASS(VqLOD),
    VQ_CLASS(VqRangeLOD),
    VQ_CLASS(VqSwitch),
    VQ_CLASS(VqInstance),
    // attributes
    VQ_CLASS(VqAttribute),
    // streams and stream managers
    VQ_CLASS(VqBaseStream),
    VQ_CLASS(VqByteStream),
    VQ_CLASS(VqFileByteStream),
    VQ_CLASS(VqMemoryByteStream),
    VQ_CLASS(VqBaseDataStream),
    VQ_CLASS(VqDataStream),
    VQ_CLASS(VqBlockDataStream),
    VQ_CLASS(VqObjectStream),
    VQ_CLASS(VqBufferedObjectStream),
    VQ_CLASS(VqCompressedObjectStream),
    VQ_CLASS(VqZlibSegObjectStream),
    VQ_CLASS(VqLzmaSegObjectStream),
    VQ_CLASS(VqStreamMgr),
    VQ_CLASS(VqTOCStreamMgr),
    // remaining classes
    VQ_CLASS(VqThumbnailSet),
};
#undef VQ_CLASS
} // namespace

bool VqClassRegistry::registerAll() {
    const size_t n = sizeof(s_classes) / sizeof(s_classes[0]);
    for (size_t i = 0; i < n; ++i) {
        if (s_classes[i].construct()) continue;
        // Take back what was registered, so that a failed start leaves no trace.
        while (i-- > 0)
            s_classes[i].destruct();
        VqErrorState::rethrowError();
        return false;
    }
    return true;
}

bool VqClassRegistry::unregisterAll() {
    if (VqFactory::numTypes() == 0) return true;
    bool ok = true;
    for (size_t i = sizeof(s_classes) / sizeof(s_classes[0]); i-- > 0;)
        if (!s_classes[i].destruct()) ok = false;
    return ok;
}
