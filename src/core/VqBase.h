#pragma once

#include "VqExport.h"
#include "VqGUIDTable.h"
#include "VqRefCounted.h"
#include "VqSharedPtr.h"
#include "VqType.h"

#include <atomic>
#include <cstdint>
#include <iosfwd>

class VqObjectStream;
class VqFactory;

// Root of every shared, stored or returned library object: reference count,
// type identity, per-version serialisation hooks and instance tracking.
class VQ_API VqBase : public VqRefCounted {
public:
    VqBase();
    VqBase(const VqBase& other);
    VqBase& operator=(const VqBase&) { return *this; }
    ~VqBase() override;

    virtual size_t _memSize(bool deep) const;
    // What the leak report adds to an object's line after its reference count.
    virtual void _leakReportDetail(std::ostream& os) const { (void)os; }
    // False keeps the object out of any graph that is written.
    virtual bool isPersistable() const { return true; }

    // Entry points of the object stream: write with the current write version
    // of the partition settings, read with the version of the stream.
    virtual bool serialize(VqObjectStream& os) const;
    virtual bool deserialize(VqObjectStream& os);

    // True when the object holds content that needs a later format than the
    // named one. Each default answers what the next later level answers.
    virtual bool isPostV70Content() const { return isPostV80Content(); }
    virtual bool isPostV80Content() const { return isPostV81Content(); }
    virtual bool isPostV81Content() const { return isPostV82Content(); }
    virtual bool isPostV82Content() const { return isPostV90Content(); }
    virtual bool isPostV90Content() const { return isPostV91Content(); }
    virtual bool isPostV91Content() const { return isPostV92Content(); }
    virtual bool isPostV92Content() const { return isPostV93Content(); }
    virtual bool isPostV93Content() const { return isPostV94Content(); }
    virtual bool isPostV94Content() const { return isPostV95Content(); }
    virtual bool isPostV95Content() const { return isPostV96Content(); }
    virtual bool isPostV96Content() const { return isPostV97Content(); }
    virtual bool isPostV97Content() const { return isPostV100Content(); }
    virtual bool isPostV100Content() const { return isPostV101Content(); }
    virtual bool isPostV101Content() const { return false; }

    // Write hooks, one per format version; each default falls back to the
    // next older one, and the oldest writes nothing.
    virtual bool _serializeVQvirtual(VqObjectStream&) const { return true; }
    virtual bool _serializeVQ64virtual(VqObjectStream& os) const { return _serializeVQvirtual(os); }
    virtual bool _serializeVQ70virtual(VqObjectStream& os) const { return _serializeVQ64virtual(os); }
    virtual bool _serializeVQ80virtual(VqObjectStream& os) const { return _serializeVQ70virtual(os); }
    virtual bool _serializeVQ81virtual(VqObjectStream& os) const { return _serializeVQ80virtual(os); }
    virtual bool _serializeVQ82virtual(VqObjectStream& os) const { return _serializeVQ81virtual(os); }
    virtual bool _serializeVQ83virtual(VqObjectStream& os) const { return _serializeVQ82virtual(os); }
    virtual bool _serializeVQ90virtual(VqObjectStream& os) const { return _serializeVQ83virtual(os); }
    virtual bool _serializeVQ91virtual(VqObjectStream& os) const { return _serializeVQ90virtual(os); }
    virtual bool _serializeVQ92virtual(VqObjectStream& os) const { return _serializeVQ91virtual(os); }
    virtual bool _serializeVQ93virtual(VqObjectStream& os) const { return _serializeVQ92virtual(os); }
    virtual bool _serializeVQ94virtual(VqObjectStream& os) const { return _serializeVQ93virtual(os); }
    virtual bool _serializeVQ95virtual(VqObjectStream& os) const { return _serializeVQ94virtual(os); }
    virtual bool _serializeVQ96virtual(VqObjectStream& os) const { return _serializeVQ95virtual(os); }
    virtual bool _serializeVQ97virtual(VqObjectStream& os) const { return _serializeVQ96virtual(os); }
    virtual bool _serializeVQ100virtual(VqObjectStream& os) const { return _serializeVQ97virtual(os); }
    virtual bool _serializeVQ101virtual(VqObjectStream& os) const { return _serializeVQ100virtual(os); }

    // Read hooks, with the same fallback chain.
    virtual bool _deserializeVQvirtual(VqObjectStream&) { return true; }
    virtual bool _deserializeVQ64virtual(VqObjectStream& os) { return _deserializeVQvirtual(os); }
    virtual bool _deserializeVQ70virtual(VqObjectStream& os) { return _deserializeVQ64virtual(os); }
    virtual bool _deserializeVQ80virtual(VqObjectStream& os) { return _deserializeVQ70virtual(os); }
    virtual bool _deserializeVQ81virtual(VqObjectStream& os) { return _deserializeVQ80virtual(os); }
    virtual bool _deserializeVQ82virtual(VqObjectStream& os) { return _deserializeVQ81virtual(os); }
    virtual bool _deserializeVQ83virtual(VqObjectStream& os) { return _deserializeVQ82virtual(os); }
    virtual bool _deserializeVQ90virtual(VqObjectStream& os) { return _deserializeVQ83virtual(os); }
    virtual bool _deserializeVQ91virtual(VqObjectStream& os) { return _deserializeVQ90virtual(os); }
    virtual bool _deserializeVQ92virtual(VqObjectStream& os) { return _deserializeVQ91virtual(os); }
    virtual bool _deserializeVQ93virtual(VqObjectStream& os) { return _deserializeVQ92virtual(os); }
    virtual bool _deserializeVQ94virtual(VqObjectStream& os) { return _deserializeVQ93virtual(os); }
    virtual bool _deserializeVQ95virtual(VqObjectStream& os) { return _deserializeVQ94virtual(os); }
    virtual bool _deserializeVQ96virtual(VqObjectStream& os) { return _deserializeVQ95virtual(os); }
    virtual bool _deserializeVQ97virtual(VqObjectStream& os) { return _deserializeVQ96virtual(os); }
    virtual bool _deserializeVQ100virtual(VqObjectStream& os) { return _deserializeVQ97virtual(os); }
    virtual bool _deserializeVQ101virtual(VqObjectStream& os) { return _deserializeVQ100virtual(os); }

    // Raises (never lowers) the pair to the oldest format that can hold the object.
    virtual void _getMinimumVQVersion(int& major, int& minor) const;

    virtual const VqType* type() const { return &s_vqType; }
    virtual bool _clone(VqBase*& out) const = 0;

    bool isOfType(const VqType& t) const { return type()->isA(t); }

    // The hook pair selected for a format version, and the dispatch itself.
    // serialize/deserialize call these with the version they resolve.
    bool serializeVersion(VqObjectStream& os, int major, int minor) const;
    bool deserializeVersion(VqObjectStream& os, int major, int minor);

    static VqType s_vqType;
    static const VqType& classTypeID() { return s_vqType; }
    static VqBase* createInstance() { return nullptr; }
    static bool constructType();
    static bool destructType();

    static bool init();
    static void fini();

    // Instance tracking, a debugging aid.
    static bool enableVqBaseTracking(bool enable);
    static bool ignoreStaticObject(const VqBase* object);
    static bool getExtantObjects(Vq::SharedPtrVec<VqBase>& out);
    static bool reportMemoryLeaks();
    static bool reportMemoryLeaks(std::ostream& os);

    // The object's ID slot: the one writing swizzler that holds the slot
    // lease keeps the ID it gave the object here (plus 1) instead of in a
    // table keyed by address. Only that swizzler reads or writes it; a value
    // left from an earlier lease holder is told apart by the swizzler (see
    // VqPtrSwizzle). It sits in the padding after the reference count, so it
    // costs no memory, and a copy starts without one.
    std::atomic<uint32_t>& _idSlot() const { return _uIdSlot; }

private:
    mutable std::atomic<uint32_t> _uIdSlot{0};

    // The writer hook of the format; hooks may throw for a stream of another format.
    bool _serializeHook(VqObjectStream& os, int major, int minor) const;
    void _addToInstrumentTable();
    void _removeFromInstrumentTable();
};

namespace Vq {
// p when p is non-null and of type t, else null.
template <class T>
T* typeCast(VqBase* p, const VqType& t) {
    return (p && p->isOfType(t)) ? static_cast<T*>(p) : nullptr;
}
template <class T>
const T* typeCast(const VqBase* p, const VqType& t) {
    return (p && p->isOfType(t)) ? static_cast<const T*>(p) : nullptr;
}
// Shorthand for the usual case of a class's own type record.
template <class T>
T* typeCast(VqBase* p) {
    return typeCast<T>(p, T::classTypeID());
}
template <class T>
const T* typeCast(const VqBase* p) {
    return typeCast<T>(p, T::classTypeID());
}
} // namespace Vq
