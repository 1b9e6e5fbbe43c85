#include "VqClassRegistry.h"

#include "VqAttribute.h"
#include "VqBasePtrPropAtom.h"
#include "VqBlockDataStream.h"
#include "VqBufferedObjectStream.h"
#include "VqCompressedObjectStream.h"
#include "VqCuttingPlane.h"
#include "VqDataPropAtom.h"
#include "VqDrawStyle.h"
#include "VqErrorState.h"
#include "VqFSStorageLocation.h"
#include "VqFactory.h"
#include "VqFileByteStream.h"
#include "VqFloat32PropAtom.h"
#include "VqFog.h"
#include "VqGroup.h"
#include "VqHeapNodeIter.h"
#include "VqInstance.h"
#include "VqInt32PropAtom.h"
#include "VqLOD.h"
#include "VqLateLoadedPropAtom.h"
#include "VqLight.h"
#include "VqLightSet.h"
#include "VqLineStripTopoMesh.h"
#include "VqLineStyle.h"
#include "VqLzmaSegObjectStream.h"
#include "VqMappingSurface.h"
#include "VqMaterial.h"
#include "VqMemoryByteStream.h"
#include "VqMinVertexRecordFields.h"
#include "VqModelContext.h"
#include "VqNode.h"
#include "VqNodeIter.h"
#include "VqNotifyBase.h"
#include "VqNullShape.h"
#include "VqNullShapeImpl.h"
#include "VqObjectStream.h"
#include "VqPartNumContainer.h"
#include "VqPartition.h"
#include "VqPointSet.h"
#include "VqPointSetImpl.h"
#include "VqPointStyle.h"
#include "VqPointTopoMesh.h"
#include "VqPolygonSet.h"
#include "VqPolygonSetImpl.h"
#include "VqPolygonTopoMesh.h"
#include "VqPolylineSet.h"
#include "VqPolylineSetImpl.h"
#include "VqPrimitiveShape.h"
#include "VqPrimitiveShapeImpl.h"
#include "VqPropAtom.h"
#include "VqPropBase.h"
#include "VqRangeLOD.h"
#include "VqRefCountedPtrPropAtom.h"
#include "VqRwStorageLocation.h"
#include "VqShader.h"
#include "VqShaderEffects.h"
#include "VqShape.h"
#include "VqShapeImpl.h"
#include "VqSkinnedShape.h"
#include "VqSkinnedShapeImpl.h"
#include "VqSpatialTree.h"
#include "VqStackNodeIter.h"
#include "VqState.h"
#include "VqStdError.h"
#include "VqStringPropAtom.h"
#include "VqSwitch.h"
#include "VqTOCStreamMgr.h"
#include "VqTexCoordGen.h"
#include "VqTexImage.h"
#include "VqThumbnailSet.h"
#include "VqTopoMesh.h"
#include "VqTriIter.h"
#include "VqTriSet.h"
#include "VqTriStripSet.h"
#include "VqTriStripSetImpl.h"
#include "VqTriStripTopoMesh.h"
#include "VqTriangulator.h"
#include "VqUnknownAttribute.h"
#include "VqUnknownBase.h"
#include "VqUnknownBasePtrPropAtom.h"
#include "VqUnknownDataPropAtom.h"
#include "VqUnknownGroup.h"
#include "VqUnknownLLPropAtom.h"
#include "VqUnknownNode.h"
#include "VqUnknownPropAtom.h"
#include "VqVec4fPropAtom.h"
#include "VqVertexRecordPool.h"
#include "VqVertexShape.h"
#include "VqVertexShapeImpl.h"
#include "VqVoidPtrPropAtom.h"
#include "VqVolumeShape.h"
#include "VqVolumeShapeImpl.h"
#include "VqWireSet.h"
#include "VqWireSetImpl.h"
#include "VqWrepShape.h"
#include "VqWrepShapeImpl.h"
#include "VqXform.h"
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
    VQ_CLASS(VqPartition),
    // unknown-object placeholders
    VQ_CLASS(VqUnknownNode),
    VQ_CLASS(VqUnknownGroup),
    VQ_CLASS(VqUnknownAttribute),
    VQ_CLASS(VqUnknownPropAtom),
    VQ_CLASS(VqUnknownBasePtrPropAtom),
    VQ_CLASS(VqUnknownDataPropAtom),
    VQ_CLASS(VqUnknownLLPropAtom),
    VQ_CLASS(VqUnknownBase),
    // shapes and their implementations
    VQ_CLASS(VqShape),
    VQ_CLASS(VqVertexShape),
    VQ_CLASS(VqTriStripSet),
    VQ_CLASS(VqPolylineSet),
    VQ_CLASS(VqPolygonSet),
    VQ_CLASS(VqPointSet),
    VQ_CLASS(VqNullShape),
    VQ_CLASS(Vq::SkinnedShape),
    VQ_CLASS(VqPrimitiveShape),
    VQ_CLASS(VqWrepShape),
    VQ_CLASS(VqWireSet),
    VQ_CLASS(VqVolumeShape),
    VQ_CLASS(VqShapeImpl),
    VQ_CLASS(VqVertexShapeImpl),
    VQ_CLASS(VqTriStripSetImpl),
    VQ_CLASS(VqPolylineSetImpl),
    VQ_CLASS(VqPolygonSetImpl),
    VQ_CLASS(VqPointSetImpl),
    VQ_CLASS(VqNullShapeImpl),
    VQ_CLASS(Vq::SkinnedShapeImpl),
    VQ_CLASS(VqPrimitiveShapeImpl),
    VQ_CLASS(VqWrepShapeImpl),
    VQ_CLASS(VqWireSetImpl),
    VQ_CLASS(VqVolumeShapeImpl),
    // attributes
    VQ_CLASS(VqAttribute),
    VQ_CLASS(VqDrawStyle),
    VQ_CLASS(VqLineStyle),
    VQ_CLASS(VqPointStyle),
    VQ_CLASS(VqMaterial),
    VQ_CLASS(VqXform),
    VQ_CLASS(VqFog),
    VQ_CLASS(VqLight),
    VQ_CLASS(VqInfiniteLight),
    VQ_CLASS(VqPointLight),
    VQ_CLASS(VqLightSet),
    VQ_CLASS(VqCuttingPlane),
    VQ_CLASS(VqMappingSurface),
    VQ_CLASS(VqMappingPlane),
    VQ_CLASS(VqMappingCylinder),
    VQ_CLASS(VqMappingSphere),
    VQ_CLASS(VqMappingTriPlanar),
    VQ_CLASS(VqTexCoordGen),
    VQ_CLASS(VqShaderEffects),
    VQ_CLASS(VqTexImage),
    VQ_CLASS(Vq::Shader),
    VQ_CLASS(Vq::VertexShader),
    VQ_CLASS(Vq::FragmentShader),
    VQ_CLASS(Vq::GeometryShader),
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
    // node iterators
    VQ_CLASS(VqNodeIter),
    VQ_CLASS(VqStackNodeIter),
    VQ_CLASS(VqHeapNodeIter),
    // vertex record pools
    VQ_CLASS(VqVertexRecordPool),
    VQ_CLASS(Vq::VertexRecordFields),
    VQ_CLASS(Vq::MinVertexRecordFields),
    VQ_CLASS(Vq::DefVertexRecordFields),
    VQ_CLASS(Vq::AuxDefVertexRecordFields),
    // topology meshes
    VQ_CLASS(Vq::PartNumContainer),
    VQ_CLASS(VqTopoMesh),
    VQ_CLASS(VqTriStripTopoMesh),
    VQ_CLASS(VqPolygonTopoMesh),
    VQ_CLASS(VqLineStripTopoMesh),
    VQ_CLASS(VqPointTopoMesh),
    // triangle sets and the triangulator
    VQ_CLASS(VqTriSet),
    VQ_CLASS(VqTriIter),
    VQ_CLASS(VqTriangulator),
    // remaining classes
    VQ_CLASS(VqThumbnailSet),
    VQ_CLASS(VqState),
    VQ_CLASS(Vq::SpatialTree),
    VQ_CLASS(Vq::ModelContext),
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
