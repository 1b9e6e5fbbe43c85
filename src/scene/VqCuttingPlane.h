#pragma once

#include "VqAttributeT.h"
#include "VqExport.h"
#include "VqFixedVec.h"

#include <atomic>
#include <vector>

#include "VqXform.h"

// A clipping plane a·x + b·y + c·z + d ≥ 0 keeps what lies on its positive
// side. Planes accumulate: the accumulator lists every plane met on the path
// with the transform in force where it was met. Each plane that takes part in
// accumulation holds one of 31 process-wide identifiers (1 to 31) from its
// first accumulation until it dies.
class VQ_API VqCuttingPlane : public VqAttributeT<VqCuttingPlane> {
    VQ_DECLARE_TYPE(VqCuttingPlane)
public:
    static constexpr int s_nMaxPlaneIDs = 31;

    VqCuttingPlane() = default;
    VqCuttingPlane(double a, double b, double c, double d);
    VqCuttingPlane(const VqCuttingPlane& o);
    VqCuttingPlane& operator=(const VqCuttingPlane&) = delete;
    ~VqCuttingPlane() override;

    unsigned int _numFields() const override { return 1; }
    bool _apply(VqRenderContext& rc, const VqState* state, bool, bool) const override;
    bool accumulateHook(const VqAttribute& in, const VqState* state, const VqPath* path) override;
    int numAccumulands() const override;
    const VqAttribute* accumuland(int index) const override;

    bool setPlane(double a, double b, double c, double d);
    bool setPlane(float a, float b, float c, float d) {
        return setPlane(double(a), double(b), double(c), double(d));
    }
    const VqFixedVec<double, 4>& plane() const { return _vPlane; }
    // True when the plane clips nothing: a, b and c are 0 and d is not negative.
    bool clipsNothing() const;
    // 0 until the plane is first accumulated.
    unsigned short planeID() const { return _iPlaneID; }

    const std::vector<Vq::SharedPtr<const VqCuttingPlane>>& accumulatedPlanes() const { return _vpAccPlanes; }
    const std::vector<Vq::SharedPtr<const VqXform>>& accumulatedXforms() const { return _vpAccXforms; }

    // The identifier pool. allocID gives the lowest free identifier, or 0
    // when all are in use.
    static unsigned short allocID();
    static bool freeID(int id);
    static int numIDsInUse();

    auto _fields() const { return std::tie(_vPlane, _uAccIDBits, _vpAccPlanes, _vpAccXforms); }
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const;
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion);

private:
    VqFixedVec<double, 4> _vPlane{0.0, 0.0, 0.0, 1.0};
    // Given when the plane is first accumulated, possibly by several threads at once.
    mutable std::atomic<unsigned short> _iPlaneID{0};
    // The stored identifier of a plane read from a file, written back as is.
    unsigned short _iStoredID = 0;
    std::vector<Vq::SharedPtr<const VqCuttingPlane>> _vpAccPlanes;
    std::vector<Vq::SharedPtr<const VqXform>> _vpAccXforms;
    uint32_t _uAccIDBits = 0;

    // Bit i set: identifier i is in use.
    static std::atomic<uint32_t> s_uUsedIDs;
};
