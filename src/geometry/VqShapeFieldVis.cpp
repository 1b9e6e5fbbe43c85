// Result-field visualisations of a shape: their settings, kept as a property
// of the node so that they are saved and read with it, and the point set the
// vector modes draw at.
#include "VqErrorState.h"
#include "VqPointSet.h"
#include "VqRefCountedPtrPropAtom.h"
#include "VqShape.h"
#include "VqShapeDataIter.h"
#include "VqStdError.h"
#include "VqStringPropAtom.h"
#include "VqTopoMesh.h"
#include "VqVertexRecordFields.h"
#include "VqVertexRecordPool.h"

#include <array>

using Vq::JSON::JSONObject;
using Vq::JSON::JSONValue;

namespace {
constexpr const char* kCls = "VqShape";

constexpr std::array<const char*, 4> kModeNames = {"CAE Contour", "CAE Vector", "CAE Displacement",
                                                   "CAE AuxArrow"};

bool hasKind(const JSONObject& o, const char* name, Vq::JSON::JSONType kind) {
    return o.hasMember(VqString(name)) && o.value(VqString(name)).getType() == kind;
}

// Every setting the drawing needs must be there with the kind it reads: a
// visualisation found short of one later, in a file, could not be drawn.
bool checkSettings(const JSONObject& o) {
    static constexpr const char* kNumbers[] = {"Scale", "Sentinel Value", "Max Magnitude", "Step",
                                               "Multiplication Factor"};
    for (const char* name : kNumbers)
        if (!hasKind(o, name, Vq::JSON::VQ_JSON_NUMBER))
            VQ_FAIL(kCls, "addFieldVisualization", name, VQ_ERR_ARGUMENT);
    if (!hasKind(o, "Color Map", Vq::JSON::VQ_JSON_ARRAY))
        VQ_FAIL(kCls, "addFieldVisualization", "Color Map", VQ_ERR_ARGUMENT);
    if (!hasKind(o, "Animation Factor", Vq::JSON::VQ_JSON_NUMBER))
        VQ_FAIL(kCls, "addFieldVisualization", "Animation Factor", VQ_ERR_ARGUMENT);
    if (!hasKind(o, "Display Mode", Vq::JSON::VQ_JSON_STRING))
        VQ_FAIL(kCls, "addFieldVisualization", "Display Mode", VQ_ERR_ARGUMENT);
    // Values map to colours either by a bias or by an explicit map.
    if (!hasKind(o, "Bias", Vq::JSON::VQ_JSON_NUMBER) && !hasKind(o, "Value Map", Vq::JSON::VQ_JSON_ARRAY))
        VQ_FAIL(kCls, "addFieldVisualization", "Bias", VQ_ERR_ARGUMENT);
    return true;
}

Vq::SharedPtr<VqStringPropAtom> key(const char* text) {
    return Vq::SharedPtr<VqStringPropAtom>(new VqStringPropAtom(text));
}
} // namespace

const char* VqShape::fieldVisModeName(int eMode) {
    return eMode >= 0 && eMode < int(kModeNames.size()) ? kModeNames[size_t(eMode)] : nullptr;
}

bool VqShape::fieldSetGUIDString(const VqGUID& guid, VqString& out) {
    return VqGUID::guidToString(guid, out, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X");
}

// The settings of all modes are one JSON text under one key, mode name to
// settings: a string value every file version holds, and one the user can
// read back as it was given.
bool VqShape::_fieldVisTable(JSONObject& out) const {
    out.clear();
    Vq::SharedPtr<VqPropAtom> v = propValue(key(Vq::vqPropFieldVis).get());
    if (!v) return true;
    auto* text = Vq::typeCast<VqStringPropAtom>(v.get());
    if (!text || !text->hasValue()) VQ_FAIL(kCls, "fieldVisualization", "pFieldVis", VQ_ERR_CORRUPT);
    Vq::JSON::JSONParser parser(text->value());
    VQ_PROPAGATE(parser.parse(out));
    return true;
}

bool VqShape::_setFieldVisTable(const JSONObject& table) {
    Vq::SharedPtr<VqStringPropAtom> k = key(Vq::vqPropFieldVis);
    if (table.numMembers() == 0) {
        if (propValue(k.get())) VQ_PROPAGATE(removeProp(k.get(), false));
        return true;
    }
    VqString text;
    Vq::JSON::JSONWriter writer;
    VQ_PROPAGATE(writer.serialize(text, table));
    Vq::SharedPtr<VqStringPropAtom> value = new VqStringPropAtom(text);
    VQ_PROPAGATE(addProp(k.get(), value.get(), false));
    return true;
}

bool VqShape::addFieldVisualization(int eMode, const JSONObject& settings) {
    const char* name = fieldVisModeName(eMode);
    if (!name) VQ_FAIL(kCls, "addFieldVisualization", "eMode", VQ_ERR_ARGUMENT);
    VQ_PROPAGATE(checkSettings(settings));
    try {
        JSONObject table;
        VQ_PROPAGATE(_fieldVisTable(table));
        Vq::JSON::JSONBase* copy = settings.clone();
        table.addMember(VqString(name), JSONValue(copy));
        VQ_PROPAGATE(_setFieldVisTable(table));
    } catch (...) {
        return VqErrorState::recordCurrentException(kCls, "addFieldVisualization");
    }
    if (!isVectorFieldVisMode(eMode)) return true;
    Vq::SharedPtr<VqShape> points;
    VQ_PROPAGATE(_buildVectorVisPointSet(points));
    return true;
}

bool VqShape::removeFieldVisualization(int eMode) {
    const char* name = fieldVisModeName(eMode);
    if (!name) VQ_FAIL(kCls, "removeFieldVisualization", "eMode", VQ_ERR_ARGUMENT);
    try {
        JSONObject table;
        VQ_PROPAGATE(_fieldVisTable(table));
        if (!table.removeMember(VqString(name))) return true;
        VQ_PROPAGATE(_setFieldVisTable(table));
    } catch (...) {
        return VqErrorState::recordCurrentException(kCls, "removeFieldVisualization");
    }
    // The points go with the last mode that draws at them.
    if (!hasFieldVisualization(VQ_FIELDVIS_VECTOR) && !hasFieldVisualization(VQ_FIELDVIS_AUXARROW)) {
        Vq::SharedPtr<VqStringPropAtom> k = key(Vq::vqPropVectorVisPointSet);
        if (propValue(k.get())) VQ_PROPAGATE(removeProp(k.get(), false));
    }
    return true;
}

bool VqShape::hasFieldVisualization(int eMode) const {
    const char* name = fieldVisModeName(eMode);
    if (!name) return false;
    try {
        JSONObject table;
        return _fieldVisTable(table) && table.hasMember(VqString(name));
    } catch (...) {
        return VqErrorState::recordCurrentException(kCls, "hasFieldVisualization");
    }
}

bool VqShape::fieldVisualization(int eMode, JSONObject& out) const {
    const char* name = fieldVisModeName(eMode);
    try {
        JSONObject table;
        if (name) VQ_PROPAGATE(_fieldVisTable(table));
        if (!name || !table.hasMember(VqString(name)))
            VQ_FAIL(kCls, "fieldVisualization", "eMode", VQ_ERR_ARGUMENT);
        JSONValue v = table.value(VqString(name));
        if (v.getType() != Vq::JSON::VQ_JSON_OBJECT)
            VQ_FAIL(kCls, "fieldVisualization", "pFieldVis", VQ_ERR_CORRUPT);
        out.clear();
        for (const auto& m : v.object())
            out.addMember(m.first, m.second);
        return true;
    } catch (...) {
        return VqErrorState::recordCurrentException(kCls, "fieldVisualization");
    }
}

std::vector<int> VqShape::fieldVisualizationModes() const {
    std::vector<int> out;
    for (int m = 0; m < int(kModeNames.size()); ++m)
        if (hasFieldVisualization(m)) out.push_back(m);
    return out;
}

Vq::SharedPtr<VqShape> VqShape::vectorVisPointSet() const {
    Vq::SharedPtr<VqPropAtom> v = propValue(key(Vq::vqPropVectorVisPointSet).get());
    if (auto* held = v ? Vq::typeCast<VqRefCountedPtrPropAtom>(v.get()) : nullptr)
        if (auto* shape = dynamic_cast<VqShape*>(held->value())) return shape;
    if (!hasFieldVisualization(VQ_FIELDVIS_VECTOR) && !hasFieldVisualization(VQ_FIELDVIS_AUXARROW))
        return nullptr;
    // Read from a file, or dropped with the geometry: made again.
    Vq::SharedPtr<VqShape> out;
    if (!_buildVectorVisPointSet(out)) return nullptr;
    return out;
}

// One point per vertex of the shape's mesh, in three coordinates; a shape
// without a mesh gets an empty set. The set is held by the node only, not
// put into the graph: drawing adds it next to the shape.
bool VqShape::_buildVectorVisPointSet(Vq::SharedPtr<VqShape>& out) const {
    Vq::SharedPtr<VqPointSet> points = new VqPointSet(VQ_GEOMBIND_VTXCOORD3);
    Vq::SharedPtr<VqShapeImpl> cur = ensureImpl();
    const VqTopoMesh* mesh = cur ? cur->topoMesh() : nullptr;
    const Vq::VertexRecordFields* f = mesh && mesh->vtxRecPool() ? mesh->vtxRecPool()->fields() : nullptr;
    if (f && f->numRecords() > 0 && f->vtxCoords() && f->numVtxCoordComps() >= 2) {
        const int comps = f->numVtxCoordComps();
        std::vector<float> xyz;
        xyz.reserve(size_t(f->numRecords()) * 3);
        for (uint32_t i = 0; i < f->numRecords(); ++i) {
            const float* c = f->vtxCoords() + size_t(i) * size_t(comps);
            xyz.insert(xyz.end(), {c[0], c[1], comps > 2 ? c[2] : 0.0f});
        }
        VqShapeDataArrayIter<float, 3> coords(std::move(xyz));
        VQ_PROPAGATE(points->addPrim(&coords, nullptr, nullptr, nullptr, 0));
    }
    Vq::SharedPtr<VqRefCountedPtrPropAtom> value = new VqRefCountedPtrPropAtom(points.get());
    VQ_PROPAGATE(
        const_cast<VqShape*>(this)->addProp(key(Vq::vqPropVectorVisPointSet).get(), value.get(), false));
    out = points.get();
    return true;
}
