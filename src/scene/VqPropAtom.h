#pragma once

#include "VqBase.h"
#include "VqExport.h"
#include "VqRecord.h"

#include <cstdint>
#include <iosfwd>

// A key or a value of a property table: a small object compared by value.
class VQ_API VqPropAtom : public Vq::Record<VqPropAtom, VqBase> {
    VQ_DECLARE_TYPE(VqPropAtom)
public:
    // State word bits. The low byte is free for callers and is stored in files.
    enum : uint32_t {
        VQ_PROPATOM_FREE_BITS = 0x000000FFu,
        VQ_PROPATOM_OLD_LAYOUT = 0x04000000u, // read from a format-10 element of local version 1
        VQ_PROPATOM_LOADED = 0x08000000u,     // late-loaded data is loaded
        VQ_PROPATOM_WRITTEN = 0x10000000u,
        VQ_PROPATOM_NONUSER = 0x20000000u, // hidden from the user forms of the table operations
        VQ_PROPATOM_PERSISTABLE = 0x40000000u,
        VQ_PROPATOM_FILE_BITS = 0x400000FFu // what an element stores of the word
    };

    VqPropAtom() = default;
    VqPropAtom(const VqPropAtom& o) : Record(o), _uState(o._uState) {}
    VqPropAtom& operator=(const VqPropAtom& o) {
        _uState = o._uState;
        return *this;
    }

    virtual uint32_t hash() const { return 0; }
    // A copy of the atom (null, with success, for atoms that cannot be copied).
    virtual bool clone(VqPropAtom*& out) const;
    // Called by operator== only for two atoms of exactly the same type.
    virtual bool isEqualHook(const VqPropAtom&) const { return false; }
    // Prints the value.
    virtual void write(std::ostream&) const {}

    // The same object, or two atoms of the same type whose values agree.
    bool operator==(const VqPropAtom& o) const {
        return this == &o || (type() == o.type() && isEqualHook(o));
    }
    bool operator!=(const VqPropAtom& o) const { return !(*this == o); }

    bool isPersistable() const override { return (_uState & VQ_PROPATOM_PERSISTABLE) != 0; }
    void setPersistable(bool on) { _setStateBit(VQ_PROPATOM_PERSISTABLE, on); }
    bool isUserProp() const { return (_uState & VQ_PROPATOM_NONUSER) == 0; }
    void setUserProp(bool on) { _setStateBit(VQ_PROPATOM_NONUSER, !on); }
    bool hasWritten() const { return (_uState & VQ_PROPATOM_WRITTEN) != 0; }
    void setHasWritten(bool on) { _setStateBit(VQ_PROPATOM_WRITTEN, on); }
    uint32_t freeBits() const { return _uState & VQ_PROPATOM_FREE_BITS; }
    void setFreeBits(uint32_t bits) {
        _uState = (_uState & ~VQ_PROPATOM_FREE_BITS) | (bits & VQ_PROPATOM_FREE_BITS);
    }
    uint32_t stateWord() const { return _uState; }

    // The atom's own level, which derived atoms write first: before format
    // 9 the own object ID, then the stored bits of the state word. Format 10
    // writes it as local version 2; local version 1 of older writers has no
    // fields, and the levels after it are laid out the older way too.
    int _localVersion(const Vq::RecordFormat& fmt) const { return fmt.generation() == 10 ? 2 : 1; }
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const;
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion);

protected:
    void _setStateBit(uint32_t bit, bool on) { _uState = on ? (_uState | bit) : (_uState & ~bit); }
    // An atom read from a file is persistable whatever its writer said.
    void _setStateFromFile(uint32_t word) {
        _uState = (_uState & 0xBFFFFF00u) | (word & VQ_PROPATOM_FILE_BITS) | VQ_PROPATOM_PERSISTABLE;
    }

    uint32_t _uState = VQ_PROPATOM_PERSISTABLE;
};

// Keys are ordinary atoms.
typedef VqPropAtom VqPropKey;

namespace Vq {
// 32-bit mix of a word, for atom hashes of numeric values.
inline uint32_t vqhash32(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7FEB352Du;
    x ^= x >> 15;
    x *= 0x846CA68Bu;
    x ^= x >> 16;
    return x;
}
inline uint32_t vqhash32(const void* p) {
    uint64_t v = reinterpret_cast<uintptr_t>(p);
    return vqhash32(static_cast<uint32_t>(v) ^ vqhash32(static_cast<uint32_t>(v >> 32)));
}
} // namespace Vq
