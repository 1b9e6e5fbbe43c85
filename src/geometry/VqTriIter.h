#pragma once

#include "VqBase.h"
#include "VqExport.h"
#include "VqSharedPtr.h"
#include "VqTriSet.h"

#include <cstdint>

// Walks the triangles of a VqTriSet, holding the set:
//     for (it.reset(); it.next();) use(it.coord(0), it.coord(1), it.coord(2));
class VQ_API VqTriIter : public VqBase {
    VQ_DECLARE_TYPE(VqTriIter)
public:
    VqTriIter() = default;
    explicit VqTriIter(VqTriSet* pSet) : _pSet(pSet) {}

    bool isPersistable() const override { return false; }

    VqTriSet* triSet() const { return _pSet.get(); }
    uint32_t numTris() const { return _pSet ? _pSet->numTris() : 0; }
    // Back to before the first triangle.
    void reset() { _iTri = -1; }
    // Steps to the next triangle; false once there is none.
    bool next() {
        if (_iTri + 1 >= int64_t(numTris())) {
            _iTri = numTris();
            return false;
        }
        ++_iTri;
        return true;
    }
    uint32_t index() const { return uint32_t(_iTri); }
    // Corner c (0-2) of the current triangle.
    const float* coord(int c) const { return _pSet->coord(index(), c); }
    const float* normal(int c) const { return _pSet->normal(index(), c); }
    const float* color(int c) const { return _pSet->color(index(), c); }
    const float* texCoord(int unit, int c) const { return _pSet->texCoord(unit, index(), c); }

private:
    Vq::SharedPtr<VqTriSet> _pSet;
    int64_t _iTri = -1;
};
