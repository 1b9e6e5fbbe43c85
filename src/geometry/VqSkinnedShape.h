#pragma once

#include "VqExport.h"
#include "VqShape.h"
#include "VqSkinnedShapeImpl.h"

#include <vector>

namespace Vq {

// A shape whose mesh is deformed by bones (see SkinnedShapeImpl); it needs a
// format 9.6 or later file. The operations reach the implementation, which
// a shape built in memory gets on first use. Its record is the shape's.
class VQ_API SkinnedShape : public VqShape {
    VQ_DECLARE_TYPE(SkinnedShape)
public:
    SkinnedShape() = default;
    SkinnedShape(const SkinnedShape& o) = default;

    VqShapeImpl* createImplInstance() const override;
    bool isPostV95Content() const override { return true; }

    bool setBaseTopoMesh(VqTopoMesh* mesh, const VqBox3<float>& box);
    bool setNumberBones(uint32_t n);
    uint32_t numberBones() const;
    bool setBoneMatrices(const std::vector<VqMatrix4f>& matrices);
    bool boneMatrices(std::vector<VqMatrix4f>& out) const;
    bool deformedTopoMesh(Vq::SharedPtr<VqTopoMesh>& out) const;
    VqBox3<float> deformedBBox() const;

private:
    bool _skinned(Vq::SharedPtr<SkinnedShapeImpl>& out, const char* method) const;
};

} // namespace Vq
