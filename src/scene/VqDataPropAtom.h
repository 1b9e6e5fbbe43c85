#pragma once

#include "VqPropAtom.h"

#include <cstdint>

// Position of late-loaded data in a file of a format before 8: a signed
// 32-bit integer in the file, a 64-bit offset in memory.
struct VqSID {
    int64_t offset = 0;
    bool operator==(const VqSID& o) const { return offset == o.offset; }
};

// A reference to data of an old-format file by its position. Stored only in
// files of formats before 8; an atom read from a file is not written again.
class VqDataPropAtom : public VqPropAtom {
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

    bool _serializeVQvirtual(VqObjectStream& os) const override;
    bool _deserializeVQvirtual(VqObjectStream& os) override;

private:
    VqSID _sid;
};
