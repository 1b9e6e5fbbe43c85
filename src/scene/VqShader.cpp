#include "VqShader.h"

#include "VqFactory.h"

VQ_IMPLEMENT_TYPE(Vq::Shader, VqAttribute, CLSID_VQShader)
VQ_IMPLEMENT_TYPE(Vq::VertexShader, Vq::Shader, CLSID_VQVertexShader)
VQ_IMPLEMENT_TYPE(Vq::FragmentShader, Vq::Shader, CLSID_VQFragmentShader)
VQ_IMPLEMENT_TYPE(Vq::GeometryShader, Vq::Shader, CLSID_VQGeometryShader)

namespace Vq {

bool Shader::clone(VqAttribute*& out) const {
    VqBase* copy = nullptr;
    if (!_clone(copy) || !copy)
        VQ_FAIL("Vq::Shader", "clone", "Allocation failed: copy = _clone()", VQ_ERR_ALLOC);
    out = static_cast<Shader*>(copy);
    return true;
}

bool Shader::_apply(VqRenderContext&, const VqState*, bool, bool) const {
    return true;
}

bool Shader::accumulateHook(const VqAttribute& a, const VqState*, const VqPath*) {
    const Shader& in = static_cast<const Shader&>(a);
    for (unsigned int i = 0; i < NumStages; ++i)
        if (_mergeField(in, i)) _aSources[i] = in._aSources[i];
    _resetHash();
    return true;
}

bool Shader::setSource(Stage stage, const VqString& text) {
    VQ_CHECK(stage < NumStages, "Vq::Shader", "setSource", VQ_ERR_ARGUMENT);
    if (_aSources[stage] == text) return true;
    _aSources[stage] = text;
    _resetHash();
    VQ_PROPAGATE(sendNotification(this, Vq::BaseChangeRendering));
    return true;
}

void Shader::_restrictToStage(Stage stage) {
    for (unsigned int i = 0; i < NumStages; ++i)
        if (i != stage) _uInhibitMask.set(static_cast<int>(i));
}

// The three stage sources in stage order.
bool Shader::_writeFields(VqObjectStream& os, const Vq::RecordFormat&) const {
    for (unsigned int i = 0; i < NumStages; ++i)
        VQ_PROPAGATE(os.write(_aSources[i]));
    return true;
}

bool Shader::_readFields(VqObjectStream& os, const Vq::RecordFormat&, int) {
    for (unsigned int i = 0; i < NumStages; ++i)
        VQ_PROPAGATE(os.read(_aSources[i]));
    _resetHash();
    return true;
}

} // namespace Vq
