#pragma once

#include "VqElementIO.h"
#include "VqErrorState.h"
#include "VqExport.h"
#include "VqForeignElement.h"
#include "VqFormatSettings.h"
#include "VqGUID.h"
#include "VqObjectStream.h"

#include <cstdint>
#include <vector>

// What a placeholder keeps of an object whose type this library does not
// know: the type GUID and base-type code it was read with (and is written
// back under), and the object data it could not interpret, byte for byte.
//
// Format generations: 0 for the formats before 9, 9 and 10. In the
// generations where a placeholder knows nothing of the object's layout, the
// whole object data is the payload. In the others the known base class reads
// its part. Before format 9 the rest of the element then becomes the payload
// (the atom placeholders), written back only into the very version it was
// read from, since its layout may depend on the version. In formats 9 and 10
// the rest is not kept: the element framing skips it, and a written
// placeholder holds its base class's part alone, so that no object IDs
// another writer numbered end up in a file this library numbers. Object IDs
// inside a payload are not renumbered.
class VQ_API VqUnknownInfo : public VqForeignElement {
public:
    VqUnknownInfo(int64_t dataLength, const VqGUID& realType, int baseType)
        : _nDataLength(static_cast<int32_t>(dataLength)), _tRealType(realType), _nBaseType(baseType) {}
    ~VqUnknownInfo() override = default;

    const VqGUID& realType() const override { return _tRealType; }
    int realBaseType() const override { return _nBaseType; }
    int32_t dataLength() const { return _nDataLength; }
    const std::vector<uint8_t>& payload() const { return _vPayload; }
    // Whether the payload is the whole object data (else it follows the base part).
    bool isWholePayload() const { return _bWhole; }

    // Sets what a placeholder holds, as a reader would.
    void setPayload(const std::vector<uint8_t>& bytes, bool whole, int major, int minor);

    // Gives the element reader a placeholder class for every base type.
    static bool registerPlaceholders();

    // The generation of a format major version.
    static int generation(int major) { return major >= 10 ? 10 : major == 9 ? 9 : 0; }

protected:
    // Whether the whole object data is the payload in a generation.
    virtual bool _wholeIn(int generation) const = 0;
    // Node placeholders of the formats before 9 start their data with their
    // own object ID, which is registered on reading and assigned on writing.
    virtual bool _hasOwnIdBefore9() const { return false; }
    // Called after the whole object data was read as payload.
    virtual void _wholeRead() {}
    const VqBase* _self() const { return dynamic_cast<const VqBase*>(this); }

    // The bodies of every version hook. base reads or writes the known base
    // class's part through the hook of the same version.
    template <class F>
    bool _unknownRead(VqObjectStream& os, int major, F&& base);
    template <class F>
    bool _unknownWrite(VqObjectStream& os, int major, F&& base) const;

    bool _readRest(VqObjectStream& os);
    bool _writeRest(VqObjectStream& os) const;
    bool _payloadEqual(const VqUnknownInfo& o) const { return _vPayload == o._vPayload; }
    // The payload bytes hashed onto a seed.
    uint32_t _payloadHash(uint32_t seed) const;

    int32_t _nDataLength;
    std::vector<uint8_t> _vPayload;
    VqGUID _tRealType;
    int _nBaseType;
    bool _bWhole = false;
    // The version the payload was read in; -1 while nothing was read.
    int _nReadMajor = -1;
    int _nReadMinor = -1;
    // Set while a hook runs, so that the base hooks' fall-through calls into
    // the overridden hooks of lower versions go straight to the base class.
    mutable bool _bInHook = false;
};

namespace Vq {
// Clears a flag when the scope ends.
struct VQ_API UnknownHookScope {
    bool& flag;
    explicit UnknownHookScope(bool& f) : flag(f) { flag = true; }
    ~UnknownHookScope() { flag = false; }
};
} // namespace Vq

template <class F>
bool VqUnknownInfo::_unknownRead(VqObjectStream& os, int major, F&& base) {
    if (_bInHook) return base();
    Vq::UnknownHookScope scope(_bInHook);
    int minor = -1;
    os.getVersion(major, minor);
    _nReadMajor = major;
    _nReadMinor = minor;
    _bWhole = _wholeIn(generation(major));
    _vPayload.clear();
    _nDataLength = 0;
    if (_bWhole) {
        if (generation(major) == 0 && _hasOwnIdBefore9()) {
            int id = -1;
            bool registered = true;
            if (!os.read(&id) || !os.registerPtr(_self(), id, &registered)) {
                VqErrorState::rethrowError();
                return false;
            }
        }
        _wholeRead();
    } else if (!base()) {
        VqErrorState::rethrowError();
        return false;
    } else if (generation(major) != 0) {
        return true;
    }
    return _readRest(os);
}

template <class F>
bool VqUnknownInfo::_unknownWrite(VqObjectStream& os, int major, F&& base) const {
    if (_bInHook) return base();
    Vq::UnknownHookScope scope(_bInHook);
    int minor = -1;
    VqFormatSettings::getVersion(major, minor);
    const bool whole = _wholeIn(generation(major));
    if (whole && _bWhole) {
        if (generation(major) == 0 && _hasOwnIdBefore9()) {
            int id = -1;
            if (!os.ptr2num(_self(), &id) || !os.write(id)) {
                VqErrorState::rethrowError();
                return false;
            }
        }
        return _writeRest(os);
    }
    if (whole) return true; // nothing of the object in the layout this version wants
    if (!base()) {
        VqErrorState::rethrowError();
        return false;
    }
    // The rest after the base part belongs to the version it was read in.
    if (!_bWhole && !_vPayload.empty() && major == _nReadMajor && minor == _nReadMinor) return _writeRest(os);
    return true;
}

// Declares the 17 write and 17 read version hooks of a placeholder whose
// known base class is Base, each routed through _unknownWrite/_unknownRead.
#define VQ_UNKNOWN_HOOK(Base, V, major)                                                                      \
    bool _serializeVQ##V##virtual(VqObjectStream & os) const override {                                      \
        return _unknownWrite(os, major, [&] { return Base::_serializeVQ##V##virtual(os); });                 \
    }                                                                                                        \
    bool _deserializeVQ##V##virtual(VqObjectStream & os) override {                                          \
        return _unknownRead(os, major, [&] { return Base::_deserializeVQ##V##virtual(os); });                \
    }
#define VQ_UNKNOWN_HOOKS(Base)                                                                               \
    VQ_UNKNOWN_HOOK(Base, , 6)                                                                               \
    VQ_UNKNOWN_HOOK(Base, 64, 6)                                                                             \
    VQ_UNKNOWN_HOOK(Base, 70, 7)                                                                             \
    VQ_UNKNOWN_HOOK(Base, 80, 8)                                                                             \
    VQ_UNKNOWN_HOOK(Base, 81, 8)                                                                             \
    VQ_UNKNOWN_HOOK(Base, 82, 8)                                                                             \
    VQ_UNKNOWN_HOOK(Base, 83, 8)                                                                             \
    VQ_UNKNOWN_HOOK(Base, 90, 9)                                                                             \
    VQ_UNKNOWN_HOOK(Base, 91, 9)                                                                             \
    VQ_UNKNOWN_HOOK(Base, 92, 9)                                                                             \
    VQ_UNKNOWN_HOOK(Base, 93, 9)                                                                             \
    VQ_UNKNOWN_HOOK(Base, 94, 9)                                                                             \
    VQ_UNKNOWN_HOOK(Base, 95, 9)                                                                             \
    VQ_UNKNOWN_HOOK(Base, 96, 9)                                                                             \
    VQ_UNKNOWN_HOOK(Base, 97, 9)                                                                             \
    VQ_UNKNOWN_HOOK(Base, 100, 10)                                                                           \
    VQ_UNKNOWN_HOOK(Base, 101, 10)
