#pragma once

#include "VqExport.h"
#include "VqShapeImpl.h"
#include "VqSquareMatrix.h"
#include "VqTopoMesh.h"

#include <cstdint>
#include <vector>

namespace Vq {

// The implementation of a skinned shape: a base mesh of triangle strips whose
// records carry up to four bone indices and weights (the auxiliary fields
// VqVertexRecordPool::s_AUXFIELD_VQ_SKIN_INDICES, four 32-bit integers, and
// s_AUXFIELD_VQ_SKIN_WEIGHTS, four f32), the box the deformed mesh is to stay
// in, and one matrix per bone. The deformed mesh blends each record's
// position by its bones' matrices (row vectors, p' = sum of w p M).
class VQ_API SkinnedShapeImpl : public Vq::Record<SkinnedShapeImpl, VqShapeImpl> {
    VQ_DECLARE_TYPE(SkinnedShapeImpl)
public:
    SkinnedShapeImpl() = default;
    // The copy shares the base mesh, which skinning never edits.
    SkinnedShapeImpl(const SkinnedShapeImpl& o) = default;

    // mesh: strips over 3-component coordinates whose pool binds both skin fields.
    bool setBaseTopoMesh(VqTopoMesh* mesh, const VqBox3<float>& box);
    VqTopoMesh* topoMesh() const override { return _pBaseMesh.get(); }
    // Bones beyond the matrices given so far start as the identity.
    bool setNumberBones(uint32_t n);
    uint32_t numberBones() const { return static_cast<uint32_t>(_vBones.size()); }
    // One matrix per bone.
    bool setBoneMatrices(const std::vector<VqMatrix4f>& matrices);
    const std::vector<VqMatrix4f>& boneMatrices() const { return _vBones; }
    // A mesh of its own with the blended positions (and normals), without the
    // skin fields; an index naming no bone leaves its weight out.
    bool deformedTopoMesh(Vq::SharedPtr<VqTopoMesh>& out) const;
    // The box given with the base mesh.
    const VqBox3<float>& deformedBBox() const { return _deformedBox; }

    bool numVertices(VqFixedVec<int, 2>& out) const override;
    bool numPolygons(VqFixedVec<int, 2>& out) const override;
    bool computeBBox(VqBox3<float>& box) const override;
    float computeArea() const override;
    int computeSize() const override;
    bool isPostV95Content() const override { return true; }

    // After the implementation's level (from 9.6 on only): the base mesh as
    // an element of its own; the box (min, max); u32 bone count; that many
    // 4x4 f32 matrices, row by row.
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const;
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion);

private:
    static bool _checkBaseMesh(const VqTopoMesh* mesh, const char* method);

    Vq::SharedPtr<VqTopoMesh> _pBaseMesh;
    VqBox3<float> _deformedBox;
    std::vector<VqMatrix4f> _vBones;
};

} // namespace Vq
