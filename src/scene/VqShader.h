#pragma once

#include "VqAttributeT.h"
#include "VqExport.h"
#include "VqString.h"

namespace Vq {

// A shader program: the source text of its vertex, fragment and geometry
// stages. Compiling and binding belong to the drawing side; here the program
// is held, stored and compared so that states carry it. A stage shader sets
// only its own stage and leaves the others to what is above it.
class VQ_API Shader : public VqAttributeT<Shader> {
    VQ_DECLARE_TYPE(Shader)
public:
    enum Stage : unsigned int { Vertex = 0, Fragment = 1, Geometry = 2, NumStages = 3 };

    Shader() = default;

    bool clone(VqAttribute*& out) const override;
    unsigned int _numFields() const override { return NumStages; }
    // Elements of 9.6 and 9.7 keep a final mask that bit 0 cannot express.
    bool _writesV9FinalMask() const override { return true; }
    bool _apply(VqRenderContext& rc, const VqState* state, bool, bool) const override;
    bool accumulateHook(const VqAttribute& in, const VqState* state, const VqPath* path) override;

    const VqString& source(Stage stage) const { return _aSources[stage]; }
    bool setSource(Stage stage, const VqString& text);

    auto _fields() const { return std::tie(_aSources); }
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const;
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion);

protected:
    // Makes the shader one of a single stage.
    void _restrictToStage(Stage stage);

private:
    VqString _aSources[NumStages];
};

class VQ_API VertexShader : public Shader {
    VQ_DECLARE_TYPE(VertexShader)
public:
    VertexShader() { _restrictToStage(Vertex); }
};

class VQ_API FragmentShader : public Shader {
    VQ_DECLARE_TYPE(FragmentShader)
public:
    FragmentShader() { _restrictToStage(Fragment); }
};

class VQ_API GeometryShader : public Shader {
    VQ_DECLARE_TYPE(GeometryShader)
public:
    GeometryShader() { _restrictToStage(Geometry); }
};

} // namespace Vq
