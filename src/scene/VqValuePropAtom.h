#pragma once

#include "VqFixedVec.h"
#include "VqPropAtom.h"
#include "VqRecord.h"

#include <cstdint>
#include <cstring>
#include <ostream>

namespace Vq {
// How a value of the atoms below hashes, prints and is stored.
inline uint32_t valueHash(int32_t v) { return static_cast<uint32_t>(v); }
inline uint32_t valueHash(float v) {
    uint32_t u;
    std::memcpy(&u, &v, sizeof(u));
    return vqhash32(u);
}
inline uint32_t valueHash(const VqFixedVec<float, 4>& v) {
    uint32_t h = 0;
    for (int i = 0; i < 4; ++i)
        h = vqhash32(h ^ valueHash(v[i]));
    return h;
}
inline void writeValue(std::ostream& os, int32_t v) { os << v; }
inline void writeValue(std::ostream& os, float v) { os << v; }
inline void writeValue(std::ostream& os, const VqFixedVec<float, 4>& v) {
    os << v[0] << ' ' << v[1] << ' ' << v[2] << ' ' << v[3];
}
inline bool putValue(VqObjectStream& os, int32_t v) { return os.write(static_cast<int>(v)); }
inline bool putValue(VqObjectStream& os, float v) { return os.write(v); }
inline bool putValue(VqObjectStream& os, const VqFixedVec<float, 4>& v) { return os.writeVec4f(v); }
inline bool getValue(VqObjectStream& os, int32_t& v) { return os.read(&v); }
inline bool getValue(VqObjectStream& os, float& v) { return os.read(&v); }
inline bool getValue(VqObjectStream& os, VqFixedVec<float, 4>& v) { return os.readVec4f(v); }
} // namespace Vq

// An atom that holds one plain value, compared by its bytes (so that equal
// atoms hash alike: +0 and -0 differ, a NaN equals itself) and stored as the
// level after the atom's.
template <class Derived, class T>
class VqValuePropAtom : public Vq::Record<Derived, VqPropAtom> {
public:
    VqValuePropAtom() = default;
    explicit VqValuePropAtom(const T& value) : _tValue(value) {}

    const T& value() const { return _tValue; }
    void setValue(const T& value) { _tValue = value; }

    uint32_t hash() const override { return Vq::valueHash(_tValue); }
    bool isEqualHook(const VqPropAtom& o) const override {
        return std::memcmp(&_tValue, &static_cast<const VqValuePropAtom&>(o)._tValue, sizeof(T)) == 0;
    }
    void write(std::ostream& os) const override { Vq::writeValue(os, _tValue); }

    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat&) const { return Vq::putValue(os, _tValue); }
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat&, int) { return Vq::getValue(os, _tValue); }

protected:
    T _tValue{};
};
