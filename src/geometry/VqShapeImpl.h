#pragma once

#include "VqBox3.h"
#include "VqExport.h"
#include "VqFixedVec.h"
#include "VqPropBase.h"
#include "VqRecord.h"

#include <cstdint>

class VqTopoMesh;

// The geometry of a shape, kept apart from its node: it lives in a segment of
// its own, is loaded when asked for and may be dropped again, while the node
// (VqShape) stays in the graph with the box, area and counts that culling
// and level-of-detail selection need. Implementations are shared between
// shapes through the late-loaded property that holds them.
class VQ_API VqShapeImpl : public Vq::Record<VqShapeImpl, VqPropBase> {
    VQ_DECLARE_TYPE(VqShapeImpl)
public:
    // Bit 0 of the flags: a bounding-box hierarchy was stored with the
    // implementation (format 6.4-7.x records only).
    enum : uint8_t { VQ_SHAPEIMPL_BBH_STORED = 0x01 };

    VqShapeImpl() = default;
    VqShapeImpl(const VqShapeImpl& o);
    VqShapeImpl& operator=(const VqShapeImpl&) = delete;

    bool isPersistable() const override { return true; }

    virtual bool shrink();
    // Area and size, computed on first request (-1 marks "not computed").
    virtual float area() const;
    virtual int size() const;
    // The box of the geometry, computed on first request; empty for none.
    const VqBox3<float>& bbox() const;
    // Counts as ranges [least, most] over the levels the implementation holds.
    // The defaults here and in computeBBox/computeArea describe an
    // implementation without drawable geometry (wire sets, volumes, kept
    // records), so only the kinds with geometry override them.
    virtual bool numVertices(VqFixedVec<int, 2>& out) const;
    virtual bool numPolygons(VqFixedVec<int, 2>& out) const;
    virtual bool getClosestNumVertsAndPolys(int& nVerts, int& nPolys) const;
    virtual bool getMaxNumVertsAndPolys(int& nVerts, int& nPolys) const;
    // The mesh of a vertex implementation; null for other kinds.
    virtual VqTopoMesh* topoMesh() const { return nullptr; }
    virtual bool computeBBox(VqBox3<float>& box) const;
    virtual float computeArea() const { return 0.0f; }
    virtual int computeSize() const = 0;
    virtual bool prepareForSerialize() const { return true; }

    // Drops the cached box, area and size (after the geometry changed).
    void invalidateCaches() const;
    uint8_t implFlags() const { return _uFlags; }
    int64_t streamPosition() const { return _iStreamPos; }
    void setStreamPosition(int64_t pos) const { _iStreamPos = pos; }

    // This level is a local version alone (none before format 9).
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const;
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion);

protected:
    uint8_t _uFlags = 0;
    mutable VqBox3<float> _bbox;
    mutable bool _bBBoxValid = false;
    mutable float _fArea = -1.0f;
    mutable int _iSize = -1;
    mutable int64_t _iStreamPos = -1;
};
