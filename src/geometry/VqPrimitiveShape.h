#pragma once

#include "VqExport.h"
#include "VqShape.h"

#include <cstdint>

class VqPrimitiveShapeImpl;

// A shape made of analytic primitives (abstract: VqWrepShape is the kind
// this library has). Normals are always bound; the node keeps the texture
// and colour bindings and the texture generation type, so that they are
// known before the implementation is loaded.
class VQ_API VqPrimitiveShape : public Vq::Record<VqPrimitiveShape, VqShape> {
    VQ_DECLARE_TYPE(VqPrimitiveShape)
public:
    // The per-attribute bindings of the older formats.
    enum Binding : int { NoBind = 0, PerVertex = 1, PerFacet = 2, PerPrim = 3 };
    // The largest texture generation type: format 10 stores it in one byte.
    static constexpr int s_kMaxTexGenType = 255;

    // Coordinates and normals.
    VqPrimitiveShape();
    VqPrimitiveShape(const VqPrimitiveShape& o) = default;

    // ---- What the implementation holds (created for a shape built in memory)
    virtual bool removeAllPrims();
    virtual uint32_t numPrims() const;
    // The primitive of an atom of the loaded implementation, -1 when there is none.
    virtual int atomPrim(uint32_t atom) const;
    virtual int texGenType() const { return _uTexGenType; }
    bool setTexGenType(int type);
    // A mask as the vertex shapes take it (see VqGeomBindings.h).
    virtual bool setBindings(uint64_t eBindings);

    // The older bindings as a mask and back, as for the vertex shapes:
    // coordinates with 3 components always, normals, texture unit 0 with 2
    // components and colours with 3 for each binding other than NoBind.
    static uint64_t s_convertVtxBindings(Binding normal, Binding texture, Binding color);
    static void s_convertTopoMeshBindings(uint64_t eBindings, Binding& normal, Binding& texture,
                                          Binding& color);

    // A texture generation type other than 0 needs 8.1.
    bool isPostV80Content() const override;

    // The node's level (see VqPrimitiveShape.cpp).
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const;
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion);

    // The level as the node and its implementation both write it.
    static bool s_writePrimitiveLevel(VqObjectStream& os, const Vq::RecordFormat& fmt, uint64_t eBindings,
                                      int texGenType);
    static bool s_readPrimitiveLevel(VqObjectStream& os, const Vq::RecordFormat& fmt, const char* cls,
                                     uint64_t& eBindings, uint8_t& texGenType);
    static bool s_checkTexGenType(int type, const char* cls, const char* method);

protected:
    bool _prepareNewImpl(VqShapeImpl& impl) const override;
    // The implementation to edit, this shape's own.
    bool _primitiveImpl(Vq::SharedPtr<VqPrimitiveShapeImpl>& out, const char* method);

    uint8_t _uTexGenType = 0;
};
