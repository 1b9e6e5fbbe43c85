#pragma once

#include "VqAuxVertexField.h"
#include "VqDefVertexRecordFields.h"
#include "VqExport.h"
#include "VqGUID.h"
#include "VqSharedPtr.h"

#include <vector>

namespace Vq {

// The standard attributes plus any number of auxiliary fields, and the
// visualisations chosen for them. The bindings carry bit 63 exactly while at
// least one field is bound.
class VQ_API AuxDefVertexRecordFields : public DefVertexRecordFields {
    VQ_DECLARE_TYPE(AuxDefVertexRecordFields)
public:
    // How a result field is shown.
    enum VisMode { VisContour = 0, VisVector = 1, VisDisplacement = 2, VisAuxArrow = 3 };
    struct FieldVisualization {
        int eMode;
        VqGUID guid;
        uint32_t iStep;
    };

    AuxDefVertexRecordFields() = default;
    // The copy holds copies of the fields.
    AuxDefVertexRecordFields(const AuxDefVertexRecordFields& o);

    bool setBindings(uint64_t eBindings, Vq::BaseChange& change) override;

    uint32_t numAuxFields() const { return static_cast<uint32_t>(_vpAuxFields.size()); }
    AuxVertexField* auxField(uint32_t index) const;
    AuxVertexField* auxField(const VqGUID& guid) const;
    // Takes a field of as many records as the fields hold and a GUID not yet
    // bound; the field is bound until unbound.
    bool bindAuxField(AuxVertexField* pField);
    // Also drops the field's visualisations.
    bool unbindAuxField(const VqGUID& guid);

    // A visualisation needs a bound field of a type that can be drawn and
    // one of its active steps.
    bool addFieldVisualization(int eMode, const VqGUID& guid, uint32_t iStep);
    bool removeFieldVisualization(int eMode, const VqGUID& guid);
    const std::vector<FieldVisualization>& fieldVisualizations() const { return _vFieldVis; }

    bool resize(uint32_t n) override;
    void copyRecord(uint32_t dst, uint32_t src) override;
    bool reorder(const uint32_t* recordMap, uint32_t nRecs, const uint32_t* coordMap) override;
    bool equalAuxRecords(uint32_t a, uint32_t b) const override;
    // Fields of src with the GUID and layout of a field here are appended;
    // fields that src lacks get zero records.
    bool append(const VertexRecordFields& src, const uint32_t* indices, uint32_t n) override;
    void clear(bool bFreeMemory) override;
    void shrink() override;
    size_t _memSize(bool deep) const override;

private:
    void _updateAuxBit();

    std::vector<Vq::SharedPtr<AuxVertexField>> _vpAuxFields;
    std::vector<FieldVisualization> _vFieldVis;
};

} // namespace Vq
