#pragma once

#include "VqExport.h"
#include "VqOpaqueRecord.h"
#include "VqShapeImpl.h"

#include <cstdint>

// The implementation of a wire set: three bindings and the wire
// representation's record as an external library wrote it through its
// bridge, which this library keeps as stored (see VqWireSet.cpp).
class VQ_API VqWireSetImpl : public Vq::Record<VqWireSetImpl, VqShapeImpl> {
    VQ_DECLARE_TYPE(VqWireSetImpl)
public:
    VqWireSetImpl() = default;
    VqWireSetImpl(const VqWireSetImpl& o) = default;

    // Normal, texture and colour bindings (VqWireSet::Binding values).
    void bindings(int& normal, int& texture, int& color) const;
    bool setBindings(int normal, int texture, int color);
    const Vq::OpaqueRecord& wireRepRecord() const { return _wireRep; }

    int computeSize() const override;

    // The three i32 bindings, then the wire representation's record; a u8
    // local version 1 before them in format 10 only.
    bool _localVersionIn(const Vq::RecordFormat& f) const { return f.generation() == 10; }
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const;
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion);

private:
    int _iBindings[3] = {0, 0, 0};
    Vq::OpaqueRecord _wireRep;
};
