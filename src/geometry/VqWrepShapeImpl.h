#pragma once

#include "VqExport.h"
#include "VqOpaqueRecord.h"
#include "VqPrimitiveShapeImpl.h"

// The implementation of a wire-harness shape: the harness representation's
// record, which this library keeps as stored (see VqWrepShape.cpp).
class VQ_API VqWrepShapeImpl : public Vq::Record<VqWrepShapeImpl, VqPrimitiveShapeImpl> {
    VQ_DECLARE_TYPE(VqWrepShapeImpl)
public:
    VqWrepShapeImpl() = default;
    VqWrepShapeImpl(const VqWrepShapeImpl& o) = default;

    // Whether a harness representation is held, and its record as stored.
    bool hasWireRep() const { return !_wireRep.empty(); }
    const Vq::OpaqueRecord& wireRepRecord() const { return _wireRep; }

    // Drops the harness representation: what is left is an empty shape.
    bool removeAllPrims() override;
    // The harness is not broken into primitives here.
    uint32_t numPrims() const override { return 0; }
    int atomPrim(uint32_t) const override { return -1; }

    // The extent is the node's (its record has it); none here.
    int computeSize() const override;
    bool isPostV92Content() const override { return true; }

    // After the primitive level, no local version: a bool (4 bytes) telling
    // whether a harness record follows, then that record.
    bool _localVersionIn(const Vq::RecordFormat&) const { return false; }
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const;
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion);

private:
    Vq::OpaqueRecord _wireRep;
};
