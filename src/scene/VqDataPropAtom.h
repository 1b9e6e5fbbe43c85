#pragma once

#include "VqExport.h"
#include "VqPropAtom.h"

#include <cstdint>

// Position of late-loaded data in a file of a format before 8: a signed
// 32-bit integer in the file, a 64-bit offset in memory.
struct VQ_API VqSID {
    int64_t offset = 0;
    bool operator==(const VqSID& o) const { return offset == o.offset; }
};

// A reference to data of an old-format file by its position. Stored only in
// files of formats before 8; an atom read from a file is not written again.
class VQ_API VqDataPropAtom : public Vq::Record<VqDataPropAtom, VqPropAtom> {
    VQ_DECLARE_TYPE(VqDataPropAtom)
public:
    VqDataPropAtom() = default;
    explicit VqDataPropAtom(const VqSID& sid) : _sid(sid) {}

    const VqSID& sid() const { return _sid; }
    void setSID(const VqSID& sid) { _sid = sid; }

    bool isPersistable() const override;
    uint32_t hash() const override;
    bool isEqualHook(const VqPropAtom& o) const override {
        return _sid == static_cast<const VqDataPropAtom&>(o)._sid;
    }
    void write(std::ostream& os) const override;

    // The offset, in the formats before 8 that store the atom; later formats
    // give the level nothing (it is never written there).
    bool _localVersionIn(const Vq::RecordFormat&) const { return false; }
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const;
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion);

private:
    VqSID _sid;
};
