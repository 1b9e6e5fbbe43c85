#pragma once

#include "VqExport.h"
#include "VqVertexRecordFields.h"

namespace Vq {

// Fields with the standard attributes of the binding mask: coordinates,
// normals, colours, eight texture units and the vertex flag.
class VQ_API DefVertexRecordFields : public VertexRecordFields {
    VQ_DECLARE_TYPE(DefVertexRecordFields)
public:
    DefVertexRecordFields() = default;
    DefVertexRecordFields(const DefVertexRecordFields&) = default;

    // Refuses a mask with a coordinate, colour or texture value the mask does
    // not define ("Incorrect vertex coord bindings specified" and its
    // siblings) and leaves the fields as they were. Components an attribute
    // gains are 0, except w and alpha, which are 1; coordinates that lose w
    // are divided by it.
    bool setBindings(uint64_t eBindings, Vq::BaseChange& change) override;
};

} // namespace Vq
