#pragma once

#include "VqErrorState.h"
#include "VqObjectStream.h"

#include <cstdint>
#include <cstring>

// Helpers shared by the attribute types: the local version of a class level,
// the per-version hook pairs, and the hash of field values.

// Reads the 16-bit local version of a format-9 class level.
inline bool vqReadLocalVersion9(VqObjectStream& os, const char* cls, const char* method, short& lv) {
    if (!os.read(&lv)) {
        VqErrorState::rethrowError();
        return false;
    }
    if (lv < 1) VQ_FAIL(cls, method, "iLocalVers >= 1", VQ_ERR_INTERNAL);
    return true;
}

// Reads the 8-bit local version of a format-10 class level.
inline bool vqReadLocalVersion10(VqObjectStream& os, const char* cls, const char* method, unsigned char& lv) {
    if (!os.read(&lv)) {
        VqErrorState::rethrowError();
        return false;
    }
    if (lv < 1) VQ_FAIL(cls, method, "iLocalVers >= 1", VQ_ERR_INTERNAL);
    return true;
}

// Declares the write and read hooks of a class whose own level is written by
// _writeFields and read by _readFields after its parent's level.
#define VQ_DECLARE_LEVEL_IO                                                                                  \
public:                                                                                                      \
    bool _serializeVQ64virtual(VqObjectStream& os) const override;                                           \
    bool _serializeVQ80virtual(VqObjectStream& os) const override;                                           \
    bool _serializeVQ90virtual(VqObjectStream& os) const override;                                           \
    bool _serializeVQ100virtual(VqObjectStream& os) const override;                                          \
    bool _deserializeVQvirtual(VqObjectStream& os) override;                                                 \
    bool _deserializeVQ64virtual(VqObjectStream& os) override;                                               \
    bool _deserializeVQ80virtual(VqObjectStream& os) override;                                               \
    bool _deserializeVQ90virtual(VqObjectStream& os) override;                                               \
    bool _deserializeVQ100virtual(VqObjectStream& os) override;                                              \
                                                                                                             \
private:                                                                                                     \
    bool _writeFields(VqObjectStream& os) const;                                                             \
    bool _readFields(VqObjectStream& os);

// Defines them. A format-9 element carries, after the 9.x base part, the same
// field data as a format-10 element; elements before format 9 carry it
// without a local version, format 9 and 10 put one in front (1, 16-bit and
// 8-bit).
#define VQ_IMPLEMENT_LEVEL_IO(Class, Parent)                                                                 \
    bool Class::_serializeVQ64virtual(VqObjectStream& os) const {                                            \
        VQ_PROPAGATE(Parent::_serializeVQ64virtual(os) && _writeFields(os));                                 \
        return true;                                                                                         \
    }                                                                                                        \
    bool Class::_serializeVQ80virtual(VqObjectStream& os) const {                                            \
        VQ_PROPAGATE(Parent::_serializeVQ80virtual(os) && _writeFields(os));                                 \
        return true;                                                                                         \
    }                                                                                                        \
    bool Class::_serializeVQ90virtual(VqObjectStream& os) const {                                            \
        VQ_PROPAGATE(Parent::_serializeVQ90virtual(os) && os.write(static_cast<short>(1)) &&                 \
                     _writeFields(os));                                                                      \
        return true;                                                                                         \
    }                                                                                                        \
    bool Class::_serializeVQ100virtual(VqObjectStream& os) const {                                           \
        VQ_PROPAGATE(Parent::_serializeVQ100virtual(os) && os.write(static_cast<unsigned char>(1)) &&        \
                     _writeFields(os));                                                                      \
        return true;                                                                                         \
    }                                                                                                        \
    bool Class::_deserializeVQvirtual(VqObjectStream& os) {                                                  \
        VQ_PROPAGATE(Parent::_deserializeVQvirtual(os) && _readFields(os));                                  \
        return true;                                                                                         \
    }                                                                                                        \
    bool Class::_deserializeVQ64virtual(VqObjectStream& os) {                                                \
        VQ_PROPAGATE(Parent::_deserializeVQ64virtual(os) && _readFields(os));                                \
        return true;                                                                                         \
    }                                                                                                        \
    bool Class::_deserializeVQ80virtual(VqObjectStream& os) {                                                \
        VQ_PROPAGATE(Parent::_deserializeVQ80virtual(os) && _readFields(os));                                \
        return true;                                                                                         \
    }                                                                                                        \
    bool Class::_deserializeVQ90virtual(VqObjectStream& os) {                                                \
        short lv = 0;                                                                                        \
        VQ_PROPAGATE(Parent::_deserializeVQ90virtual(os) &&                                                  \
                     vqReadLocalVersion9(os, #Class, "_deserializeVQ90virtual", lv) && _readFields(os));     \
        return true;                                                                                         \
    }                                                                                                        \
    bool Class::_deserializeVQ100virtual(VqObjectStream& os) {                                               \
        unsigned char lv = 0;                                                                                \
        VQ_PROPAGATE(Parent::_deserializeVQ100virtual(os) &&                                                 \
                     vqReadLocalVersion10(os, #Class, "_deserializeVQ100virtual", lv) && _readFields(os));   \
        return true;                                                                                         \
    }

// The same for a class whose parents write nothing of their own: its level
// is the first of the element (the default hooks of VqBase fall through to
// the derived class's overrides, so they must not be called from here).
#define VQ_IMPLEMENT_FIRST_LEVEL_IO(Class)                                                                   \
    bool Class::_serializeVQ64virtual(VqObjectStream& os) const {                                            \
        VQ_PROPAGATE(_writeFields(os));                                                                      \
        return true;                                                                                         \
    }                                                                                                        \
    bool Class::_serializeVQ80virtual(VqObjectStream& os) const {                                            \
        VQ_PROPAGATE(_writeFields(os));                                                                      \
        return true;                                                                                         \
    }                                                                                                        \
    bool Class::_serializeVQ90virtual(VqObjectStream& os) const {                                            \
        VQ_PROPAGATE(os.write(static_cast<short>(1)) && _writeFields(os));                                   \
        return true;                                                                                         \
    }                                                                                                        \
    bool Class::_serializeVQ100virtual(VqObjectStream& os) const {                                           \
        VQ_PROPAGATE(os.write(static_cast<unsigned char>(1)) && _writeFields(os));                           \
        return true;                                                                                         \
    }                                                                                                        \
    bool Class::_deserializeVQvirtual(VqObjectStream& os) {                                                  \
        VQ_PROPAGATE(_readFields(os));                                                                       \
        return true;                                                                                         \
    }                                                                                                        \
    bool Class::_deserializeVQ64virtual(VqObjectStream& os) {                                                \
        VQ_PROPAGATE(_readFields(os));                                                                       \
        return true;                                                                                         \
    }                                                                                                        \
    bool Class::_deserializeVQ80virtual(VqObjectStream& os) {                                                \
        VQ_PROPAGATE(_readFields(os));                                                                       \
        return true;                                                                                         \
    }                                                                                                        \
    bool Class::_deserializeVQ90virtual(VqObjectStream& os) {                                                \
        short lv = 0;                                                                                        \
        VQ_PROPAGATE(vqReadLocalVersion9(os, #Class, "_deserializeVQ90virtual", lv) && _readFields(os));     \
        return true;                                                                                         \
    }                                                                                                        \
    bool Class::_deserializeVQ100virtual(VqObjectStream& os) {                                               \
        unsigned char lv = 0;                                                                                \
        VQ_PROPAGATE(vqReadLocalVersion10(os, #Class, "_deserializeVQ100virtual", lv) && _readFields(os));   \
        return true;                                                                                         \
    }

// FNV-1a over the bytes of field values, chained from a seed, for the
// cached hash of an attribute.
class VqHashBuilder {
public:
    explicit VqHashBuilder(uint32_t seed) : _uHash(seed ^ 2166136261u) {}
    VqHashBuilder& add(const void* data, size_t n) {
        const unsigned char* p = static_cast<const unsigned char*>(data);
        for (size_t i = 0; i < n; ++i)
            _uHash = (_uHash ^ p[i]) * 16777619u;
        return *this;
    }
    template <class T>
    VqHashBuilder& add(const T& v) {
        return add(&v, sizeof(T));
    }
    VqHashBuilder& addPtr(const void* p) {
        uintptr_t v = reinterpret_cast<uintptr_t>(p);
        return add(&v, sizeof(v));
    }
    // Never 0, which marks a hash not yet computed.
    uint32_t value() const { return _uHash ? _uHash : 1u; }

private:
    uint32_t _uHash;
};

// Three-way comparison of plain values, for the compare hooks.
template <class T>
inline int vqCompareValues(const T& a, const T& b) {
    int c = std::memcmp(&a, &b, sizeof(T));
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}
