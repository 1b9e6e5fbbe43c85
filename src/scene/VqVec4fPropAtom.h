#pragma once

#include "VqExport.h"
#include "VqValuePropAtom.h"

// Four floats. Formats from 9.4 on store it; format 9 without the atom level.
class VQ_API VqVec4fPropAtom : public VqValuePropAtom<VqVec4fPropAtom, VqFixedVec<float, 4>> {
    VQ_DECLARE_TYPE(VqVec4fPropAtom)
public:
    using VqValuePropAtom::VqValuePropAtom;

    // Also false while the write version is older than 9.4.
    bool isPersistable() const override;
    bool isPostV93Content() const override { return true; }

    bool _parentLevelIn(const Vq::RecordFormat& fmt) const { return fmt.generation() != 9; }
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion);
};
