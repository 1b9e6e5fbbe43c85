#pragma once

#include "VqExport.h"
#include "VqShapeImpl.h"

#include <cstdint>

// The implementation of a shape made of analytic primitives (abstract: the
// subclass fixes what a primitive is). It keeps the bindings and the
// texture generation type that its record shares with the shape's.
class VQ_API VqPrimitiveShapeImpl : public Vq::Record<VqPrimitiveShapeImpl, VqShapeImpl> {
    VQ_DECLARE_TYPE(VqPrimitiveShapeImpl)
public:
    explicit VqPrimitiveShapeImpl(uint64_t eBindings = 0, int texGenType = 0)
        : _eBindings(eBindings), _uTexGenType(uint8_t(texGenType)) {}
    VqPrimitiveShapeImpl(const VqPrimitiveShapeImpl& o) = default;

    virtual bool removeAllPrims() = 0;
    virtual uint32_t numPrims() const = 0;
    // The primitive of an atom, -1 when there is none.
    virtual int atomPrim(uint32_t atom) const = 0;

    uint64_t bindings() const { return _eBindings; }
    bool setBindings(uint64_t eBindings);
    int texGenType() const { return _uTexGenType; }
    bool setTexGenType(int type);

    // A texture generation type other than 0 needs 8.1.
    bool isPostV80Content() const override;

    // The level shared with VqPrimitiveShape (see VqPrimitiveShape.cpp).
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const;
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion);

protected:
    uint64_t _eBindings;
    uint8_t _uTexGenType;
};
