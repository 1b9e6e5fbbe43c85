#include "VqDefVertexRecordFields.h"

#include "VqErrorState.h"
#include "VqFactory.h"

VQ_IMPLEMENT_TYPE(Vq::DefVertexRecordFields, Vq::VertexRecordFields, CLSID_VQDefVertexRecordFields)

namespace Vq {

bool DefVertexRecordFields::setBindings(uint64_t eBindings, Vq::BaseChange& change) {
    Layout to;
    VQ_PROPAGATE(_decodeBindings(eBindings, to, "Vq::DefVertexRecordFields"));
    const Layout from = _layout();
    bool bShrinks = to.nCoord < from.nCoord || to.nNormal < from.nNormal || to.nColor < from.nColor ||
                    (from.bFlags && !to.bFlags);
    for (int k = 0; k < VQ_GEOMBIND_NUM_TEXUNITS; ++k)
        bShrinks = bShrinks || to.anTex[k] < from.anTex[k];
    VQ_PROPAGATE(_recomponentize(to));
    _setLayout(eBindings, to);
    change = bShrinks ? VQ_VRF_COMPONENTS_DROPPED : VQ_VRF_BINDINGS_CHANGED;
    return true;
}

} // namespace Vq
