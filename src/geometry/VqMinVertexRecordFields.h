#pragma once

#include "VqExport.h"
#include "VqVertexRecordFields.h"

namespace Vq {

// Fields that hold no attributes at all: setBindings accepts any mask and
// changes nothing, so a pool over them keeps only a record count.
class VQ_API MinVertexRecordFields : public VertexRecordFields {
    VQ_DECLARE_TYPE(MinVertexRecordFields)
public:
    MinVertexRecordFields() = default;
    MinVertexRecordFields(const MinVertexRecordFields&) = default;

    bool setBindings(uint64_t eBindings, Vq::BaseChange& change) override;
};

} // namespace Vq
