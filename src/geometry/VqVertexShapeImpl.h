#pragma once

#include "VqExport.h"
#include "VqPrimData.h"
#include "VqShapeDataIter.h"
#include "VqShapeImpl.h"
#include "VqTopoMesh.h"

#include <cstdint>

// The implementation of a vertex shape: a topology mesh over a vertex record
// pool, of the kind the concrete class fixes (strips, line strips, polygons
// or points), and the bindings of its records.
class VQ_API VqVertexShapeImpl : public Vq::Record<VqVertexShapeImpl, VqShapeImpl> {
    VQ_DECLARE_TYPE(VqVertexShapeImpl)
public:
    // Change sent to the shapes when the geometry changed.
    static constexpr Vq::BaseChange VQ_CHANGE_GEOMETRY = 1;
    // The bits the 9.0-style records keep, and those the 9.4+ and 10 records keep.
    static constexpr uint64_t s_kBindings40 = 0xFFFFFFFFFFull;
    static constexpr uint64_t s_kBindingsStored = 0xE00000FFFFFFFFFFull;

    explicit VqVertexShapeImpl(uint64_t eBindings = 0) : _eBindings(eBindings) {}
    // The copy has a mesh of its own, over a copy of the pool.
    VqVertexShapeImpl(const VqVertexShapeImpl& o);

    // ---- Mesh and bindings
    VqTopoMesh* topoMesh() const override { return _pTopoMesh.get(); }
    virtual VqTopoMesh::PrimKind meshKind() const = 0;
    // Takes mesh (of this kind) with the bindings of its pool.
    bool setTopoMesh(VqTopoMesh* mesh);
    uint64_t bindings() const { return _eBindings; }
    bool setBindings(uint64_t eBindings);
    // Refuses a mask whose coordinate, colour or texture bits name no layout.
    static bool s_checkBindings(uint64_t eBindings, const char* cls, const char* method);

    // ---- Primitives
    bool removeAllPrims();
    uint32_t numPrims() const { return _pTopoMesh ? _pTopoMesh->numPrims() : 0; }
    // Appends each primitive: its records from the bundle's iterators (those
    // the bindings call for), into the face group given by its type.
    bool addPrims(VqShapeDataIter<VqPrimData, 1>& prims);
    // The primitive an atom belongs to, -1 when there is none.
    int atomPrim(uint32_t atom) const;
    // The mesh, created empty with the bindings when there is none.
    bool _ensureTopoMesh();

    // ---- Quantisation
    // Level 0 turns quantisation off (0 bits); any other level L gives each
    // attribute trunc(L min + (max + 1)(1 - L)) bits, clamped to [min, max],
    // with the ranges coordinates (9, 24), normals (3, 8), texture
    // coordinates (6, 16) and colours (4, 8).
    static void s_levelToBits(float fLevel, int& vtxBits, int& normBits, int& texBits, int& colBits);
    bool _setCompressionLevel(float fLevel);

    // ---- Sizes and counts
    bool numVertices(VqFixedVec<int, 2>& out) const override;
    bool numPolygons(VqFixedVec<int, 2>& out) const override;
    bool computeBBox(VqBox3<float>& box) const override;
    // Triangles and polygons give their surface; line strips their length
    // and points their number, which the shapes scale by their area factor.
    float computeArea() const override;
    int computeSize() const override;
    bool shrink() override;
    size_t _memSize(bool deep) const override;

    // The bindings and the mesh (see VqVertexShapeImpl.cpp). Format 8.x
    // opens this level and the concrete ones with a 16-bit local version.
    static bool s_localVersionIn(const Vq::RecordFormat& f) { return f.generation() != 0 || f.major == 8; }
    bool _localVersionIn(const Vq::RecordFormat& f) const { return s_localVersionIn(f); }
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const;
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion);

protected:
    // The geometry the concrete levels carry before format 9: the format-8
    // compressed data or the 6.4-7.x neutral data. Nothing in 9 and 10.
    bool _writeOlderGeometry(VqObjectStream& os, const Vq::RecordFormat& fmt) const;
    bool _readOlderGeometry(VqObjectStream& os, const Vq::RecordFormat& fmt);

    // An empty mesh of this kind.
    virtual VqTopoMesh* _newTopoMesh() const = 0;
    void _geometryChanged() const;

    uint64_t _eBindings;
    Vq::SharedPtr<VqTopoMesh> _pTopoMesh;

private:
    bool _writeOlderLevel(VqObjectStream& os, const Vq::RecordFormat& fmt) const;
    bool _readOlderLevel(VqObjectStream& os, const Vq::RecordFormat& fmt);
};
