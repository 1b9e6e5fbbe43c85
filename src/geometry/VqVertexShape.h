#pragma once

#include "VqExport.h"
#include "VqPrimData.h"
#include "VqShape.h"
#include "VqShapeDataIter.h"

#include <cstdint>

class VqVertexShapeImpl;

// A shape whose geometry is a topology mesh over vertex records; the node
// keeps the bindings of the records, so that what a shape carries is known
// before its mesh is loaded.
class VQ_API VqVertexShape : public Vq::Record<VqVertexShape, VqShape> {
    VQ_DECLARE_TYPE(VqVertexShape)
public:
    // The per-attribute bindings of the older formats.
    enum Binding : int { NoBind = 0, PerVertex = 1, PerFacet = 2, PerPrim = 3 };

    explicit VqVertexShape(uint64_t eBindings = 0) : Record(eBindings) {}
    VqVertexShape(const VqVertexShape& o) = default;

    // ---- Building in code (the implementation is created when needed)
    virtual bool removeAllPrims();
    virtual bool setBindings(uint64_t eBindings);
    virtual uint32_t numPrims() const;
    virtual bool addPrims(VqShapeDataIter<VqPrimData, 1>& prims);
    // One primitive; primType is the face group it joins.
    virtual bool addPrim(const VqShapeDataIter<float, 3>* coords, const VqShapeDataIter<float, 3>* normals,
                         const VqShapeDataIter<float, 2>* texCoords, const VqShapeDataIter<float, 3>* colors,
                         int primType);
    // The primitive of an atom of the loaded mesh, -1 when there is none.
    virtual int atomPrim(uint32_t atom) const;
    // The bit counts of the loaded mesh; all 0 without one.
    bool getCompressionParams(int& vtxBits, int& normBits, int& texBits, int& colBits) const;

    // The older bindings as a mask: coordinates always with 3 components,
    // then normals, texture unit 0 with 2 components and colours with 3 for
    // each binding other than NoBind; and back (PerVertex or NoBind each).
    static uint64_t s_convertVtxBindings(Binding normal, Binding texture, Binding color);
    static void s_convertTopoMeshBindings(uint64_t eBindings, Binding& normal, Binding& texture,
                                          Binding& color);

    // Vertex flags or several face groups need 9.0, auxiliary fields 9.4,
    // bit 62 10.0.
    bool isPostV82Content() const override;
    bool isPostV93Content() const override;
    bool isPostV97Content() const override;

    // The node's level (see VqVertexShape.cpp).
    int _localVersion(const Vq::RecordFormat& fmt) const;
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const;
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion);

protected:
    // Whether the 9.4+ record of this level carries the full bindings; the
    // kinds with an area factor carry them on their own level instead.
    virtual bool _fullBindingsInOwnLevel94() const { return true; }
    bool _prepareNewImpl(VqShapeImpl& impl) const override;
    bool _applyCompressionLevel(VqShapeImpl& impl) const override;
    // The vertex implementation to edit, this shape's own (created for a
    // shape built in memory).
    bool _vertexImpl(Vq::SharedPtr<VqVertexShapeImpl>& out, const char* method);

    // The area-factor level of the line-strip and point kinds: the factor,
    // and in 9.4+ the full bindings after it.
    static bool _writeAreaFactor(VqObjectStream& os, const Vq::RecordFormat& fmt, float factor,
                                 uint64_t eBindings);
    static bool _readAreaFactor(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion,
                                float& factor, uint64_t& eBindings);
    static int _areaFactorLocalVersion(const Vq::RecordFormat& fmt) {
        return fmt.generation() == 9 && fmt.atLeast(9, 4) ? 2 : 1;
    }
};
