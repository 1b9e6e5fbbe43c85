#include "VqMinVertexRecordFields.h"

#include "VqFactory.h"

VQ_IMPLEMENT_TYPE(Vq::MinVertexRecordFields, Vq::VertexRecordFields, CLSID_VQMinVertexRecordFields)

namespace Vq {

bool MinVertexRecordFields::setBindings(uint64_t, Vq::BaseChange& change) {
    change = Vq::BaseChangeNone;
    return true;
}

} // namespace Vq
