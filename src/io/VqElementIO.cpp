#include "VqElementIO.h"

#include "VqBase.h"
#include "VqErrorState.h"
#include "VqFactory.h"
#include "VqForeignElement.h"
#include "VqObjectStream.h"

#include <atomic>

namespace {
const char* const kCls = "VqPartition";

// The result of an element read is either counted (format 10) or a raw
// pointer whose count the caller raises (format 9 and before). Forgetting
// the previous result never deletes it; discarding a fresh object that failed
// does, unless something took a count on it meanwhile.
void forget(Vq::SharedPtr<VqBase>& out) {
    out.reset();
}
void forget(VqBase*& out) {
    out = nullptr;
}
void adopt(Vq::SharedPtr<VqBase>& out, VqBase* obj) {
    out = obj;
}
void adopt(VqBase*& out, VqBase* obj) {
    out = obj;
}
// A discarded object may have left reference slots in the stream's swizzler:
// the stream keeps it until the swizzler is done with them.
void discard(VqObjectStream& os, Vq::SharedPtr<VqBase>& out) {
    if (out) os.deferRelease(out.get());
    out.reset();
}
void discard(VqObjectStream& os, VqBase*& out) {
    if (out) os.deferRelease(out);
    out = nullptr;
}
VqBase* get(const Vq::SharedPtr<VqBase>& out) {
    return out.get();
}
VqBase* get(VqBase* out) {
    return out;
}

// Reads one element's header and object. isEnd tells the end marker apart
// from an unregistered type without a placeholder (both yield null).
template <class Out>
bool readElementImpl(VqObjectStream& os, Out& out, bool withId, bool& isEnd, const char* method,
                     const VqType* expected = nullptr) {
    forget(out);
    isEnd = false;
    VqGUID guid;
    VQ_PROPAGATE(os.read(guid));
    if (guid.Data2 == 0xFFFF) {
        isEnd = true;
        return true;
    }
    unsigned char baseType = 0;
    VQ_PROPAGATE(os.read(&baseType));
    int id = -1;
    if (withId) VQ_PROPAGATE(os.read(&id));

    VqType* type = nullptr;
    VQ_PROPAGATE(VqFactory::getType(guid, type));
    if (expected && !(type && type->isA(*expected)))
        VQ_FAIL(kCls, method, "Nested element is not of the class expected in its place", VQ_ERR_CORRUPT);
    VqBase* obj = nullptr;
    if (type) {
        VQ_PROPAGATE(type->createInstance(obj));
        if (!obj) VQ_FAIL(kCls, method, "Stream constructor failed.", VQ_ERR_INTERNAL);
    } else {
        uint64_t start = 0, pos = 0;
        uint32_t length = 0;
        int64_t dataLength = -1;
        if (os.currentReadElement(start, length)) {
            os.getPosition(pos);
            dataLength = static_cast<int64_t>(start + length) - static_cast<int64_t>(pos);
        }
        VQ_PROPAGATE(VqElementIO::createPlaceholder(baseType, dataLength, guid, obj));
        if (!obj) return true;
    }
    adopt(out, obj);
    if (!obj->deserialize(os)) {
        discard(os, out);
        VqErrorState::rethrowError();
        return false;
    }
    if (!withId) return true;
    bool registered = true;
    if (!os.registerPtr(obj, id, &registered)) {
        discard(os, out);
        VqErrorState::rethrowError();
        return false;
    }
    if (!registered) {
        // Two elements with one ID: the first one stands for the ID.
        auto* earlier = static_cast<VqBase*>(const_cast<void*>(os.possiblePtr(id)));
        discard(os, out);
        adopt(out, earlier);
        VqErrorState::throwStdError(kCls, method, "bReg", VQ_ERR_INTERNAL);
    }
    return true;
}

template <class Out>
bool readLogicalElementImpl(VqObjectStream& os, Out& out, bool withId, const char* method,
                            const VqType* expected = nullptr) {
    forget(out);
    os.setLastElementUnknown(false);
    VQ_PROPAGATE(os.beginRead());
    bool isEnd = false;
    bool ok = false;
    bool escaped = false;
    try {
        ok = readElementImpl(os, out, withId, isEnd, method, expected);
    } catch (...) {
        escaped = true;
    }
    if (!ok) {
        discard(os, out);
        os.setNoLengthCheck(true);
        os.endRead();
        if (escaped) {
            VqErrorState::throwStdError(kCls, method, "Error reading element block", VQ_ERR_READ);
        } else {
            VqErrorState::rethrowError();
        }
        return false;
    }
    // An unregistered type without a placeholder leaves its data unread:
    // endRead passes over it by its length.
    if (!os.endRead()) {
        discard(os, out);
        VqErrorState::rethrowError();
        return false;
    }
    os.setLastElementUnknown(!get(out) && !isEnd);
    return true;
}
} // namespace

const VqGUID& VqElementIO::endOfFileGUID() {
    static const VqGUID s_endOfFile(VQ_GUID_END_OF_ELEMENTS);
    return s_endOfFile;
}

namespace {
// What an element header needs of a type: its base-type code and whether its
// objects are written under another type (placeholders). Both follow from the
// type alone, so they are worked out once per type and kept in a small table
// that every thread reads without a lock: a slot holds the type's address and
// its info in one word (user-space addresses leave the top 16 bits free), is
// claimed by one compare-and-swap and never changes after.
constexpr uint32_t kForeign = 0x100;
constexpr int kTypeSlots = 512;
std::atomic<uint64_t> s_typeSlots[kTypeSlots];

uint32_t computeTypeInfo(const VqBase* obj) {
    struct Test {
        VqGUID guid;
        VqObjectBaseType code;
    };
    static const Test kTests[] = {
        {VqGUID(CLSID_ZQGroup), VQ_BASETYPE_GROUP},
        {VqGUID(CLSID_ZQShape), VQ_BASETYPE_SHAPE},
        {VqGUID(CLSID_ZQNode), VQ_BASETYPE_NODE},
        {VqGUID(CLSID_ZQAttribute), VQ_BASETYPE_ATTRIBUTE},
        {VqGUID(CLSID_ZQShapeImpl), VQ_BASETYPE_SHAPEIMPL},
        {VqGUID(CLSID_ZQBasePtrPropAtom), VQ_BASETYPE_BASEPTRPROPATOM},
        {VqGUID(CLSID_ZQDataPropAtom), VQ_BASETYPE_DATAPROPATOM},
        {VqGUID(CLSID_ZQLateLoadedPropAtom), VQ_BASETYPE_LATELOADEDPROPATOM},
        {VqGUID(CLSID_ZQPropAtom), VQ_BASETYPE_PROPATOM},
        {VqGUID(CLSID_ZQBase), VQ_BASETYPE_BASE},
    };
    if (dynamic_cast<const VqForeignElement*>(obj)) return kForeign;
    // By GUID along the type chain, so that the test needs none of the classes it names.
    for (const Test& t : kTests)
        for (const VqType* type = obj->type(); type; type = type->parent)
            if (type->guid == t.guid) return t.code;
    return VQ_BASETYPE_NONE;
}

uint32_t typeInfo(const VqBase* obj) {
    const VqType* type = obj->type();
    const uint64_t key = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(type)) << 16;
    const size_t home = (reinterpret_cast<uintptr_t>(type) >> 4) % kTypeSlots;
    for (size_t k = 0; k < 8; ++k) {
        std::atomic<uint64_t>& slot = s_typeSlots[(home + k) % kTypeSlots];
        uint64_t held = slot.load(std::memory_order_acquire);
        if ((held & ~uint64_t(0xFFFF)) == key) return static_cast<uint32_t>(held & 0xFFFF);
        if (held) continue;
        const uint32_t info = computeTypeInfo(obj);
        // A thread that claimed the slot first, for this type or another, wins.
        if (slot.compare_exchange_strong(held, key | info, std::memory_order_acq_rel) ||
            (held & ~uint64_t(0xFFFF)) == key)
            return info;
    }
    // A crowded neighbourhood: answer without keeping it.
    return computeTypeInfo(obj);
}

bool writeElementImpl(VqObjectStream& os, const VqBase* obj, bool withId) {
    if (!obj) {
        VQ_PROPAGATE(os.write(VqElementIO::endOfFileGUID()));
        return true;
    }
    // One look at the type table serves both fields of the header.
    const uint32_t info = typeInfo(obj);
    if (info & kForeign) {
        VQ_PROPAGATE(os.write(VqElementIO::elementTypeGUID(obj)));
        VQ_PROPAGATE(os.write(static_cast<unsigned char>(VqElementIO::objectBaseType(obj))));
    } else {
        VQ_PROPAGATE(os.write(obj->type()->guid));
        VQ_PROPAGATE(os.write(static_cast<unsigned char>(info)));
    }
    if (withId) {
        int id = -1;
        VQ_PROPAGATE(os.ptr2num(obj, &id));
        VQ_PROPAGATE(os.write(id));
    }
    VQ_PROPAGATE(obj->serialize(os));
    return true;
}

bool writeLogicalElementImpl(VqObjectStream& os, const VqBase* obj, bool withId, const char* method) {
    VQ_PROPAGATE(os.beginWrite());
    bool ok = false;
    try {
        ok = writeElementImpl(os, obj, withId);
    } catch (...) {
        ok = VqErrorState::recordCurrentException(kCls, method);
    }
    // The element is closed also after a failure, so that the stream stays framed.
    bool ended = os.endWrite();
    if (!ok || !ended) {
        VqErrorState::rethrowError();
        return false;
    }
    return true;
}

} // namespace

VqObjectBaseType VqElementIO::objectBaseType(const VqBase* obj) {
    if (!obj) return VQ_BASETYPE_NONE;
    const uint32_t info = typeInfo(obj);
    if (info & kForeign)
        return static_cast<VqObjectBaseType>(dynamic_cast<const VqForeignElement*>(obj)->realBaseType());
    return static_cast<VqObjectBaseType>(info);
}

VqGUID VqElementIO::elementTypeGUID(const VqBase* obj) {
    if (typeInfo(obj) & kForeign) return dynamic_cast<const VqForeignElement*>(obj)->realType();
    return obj->type()->guid;
}

namespace {
struct PlaceholderEntry {
    std::atomic<VqElementIO::PlaceholderMaker> maker{nullptr};
    std::atomic<const char*> failureText{nullptr};
};
PlaceholderEntry s_placeholders[VQ_BASETYPE_BASE + 1];
} // namespace

bool VqElementIO::setPlaceholderMaker(int baseType, PlaceholderMaker maker, const char* failureText) {
    VQ_CHECK(baseType >= 0 && baseType <= VQ_BASETYPE_BASE, kCls, "setPlaceholderMaker", VQ_ERR_ARGUMENT);
    s_placeholders[baseType].failureText = failureText;
    s_placeholders[baseType].maker = maker;
    return true;
}

void VqElementIO::clearPlaceholderMakers() {
    for (PlaceholderEntry& e : s_placeholders) {
        e.maker = nullptr;
        e.failureText = nullptr;
    }
}

bool VqElementIO::createPlaceholder(int baseType, int64_t dataLength, const VqGUID& guid, VqBase*& out) {
    out = nullptr;
    if (baseType < 0 || baseType > VQ_BASETYPE_BASE) return true;
    const PlaceholderMaker maker = s_placeholders[baseType].maker;
    if (!maker) return true;
    out = maker(dataLength, guid, baseType);
    if (!out) {
        const char* text = s_placeholders[baseType].failureText;
        VQ_FAIL(kCls, "createPlaceholder", text ? text : "Allocation failed: pBase", VQ_ERR_ALLOC);
    }
    return true;
}

bool VqElementIO::writeElementV10(VqObjectStream& os, const VqBase* obj) {
    return writeElementImpl(os, obj, true);
}
bool VqElementIO::writeElementV9(VqObjectStream& os, const VqBase* obj) {
    return writeElementImpl(os, obj, true);
}
bool VqElementIO::writeElement(VqObjectStream& os, const VqBase* obj) {
    return writeElementImpl(os, obj, false);
}

bool VqElementIO::writeLogicalElementV10(VqObjectStream& os, const VqBase* obj) {
    return writeLogicalElementImpl(os, obj, true, "writeLogicalElementV10");
}
bool VqElementIO::writeLogicalElementV9(VqObjectStream& os, const VqBase* obj) {
    return writeLogicalElementImpl(os, obj, true, "writeLogicalElementV9");
}
bool VqElementIO::writeLogicalElement(VqObjectStream& os, const VqBase* obj) {
    return writeLogicalElementImpl(os, obj, false, "writeLogicalElement");
}

bool VqElementIO::readElementV10(VqObjectStream& os, Vq::SharedPtr<VqBase>& out) {
    bool isEnd = false;
    try {
        return readElementImpl(os, out, true, isEnd, "readElementV10");
    } catch (...) {
        out.reset();
        return VqErrorState::recordCurrentException(kCls, "readElementV10");
    }
}

bool VqElementIO::readElementV9(VqObjectStream& os, VqBase*& out) {
    bool isEnd = false;
    try {
        return readElementImpl(os, out, true, isEnd, "readElementV9");
    } catch (...) {
        discard(os, out);
        return VqErrorState::recordCurrentException(kCls, "readElementV9");
    }
}

bool VqElementIO::readElement(VqObjectStream& os, VqBase*& out) {
    bool isEnd = false;
    try {
        return readElementImpl(os, out, false, isEnd, "readElement");
    } catch (...) {
        discard(os, out);
        return VqErrorState::recordCurrentException(kCls, "readElement");
    }
}

bool VqElementIO::readLogicalElementV10(VqObjectStream& os, Vq::SharedPtr<VqBase>& out) {
    return readLogicalElementImpl(os, out, true, "readLogicalElementV10");
}
bool VqElementIO::readLogicalElementV9(VqObjectStream& os, VqBase*& out) {
    return readLogicalElementImpl(os, out, true, "readLogicalElementV9");
}
bool VqElementIO::readLogicalElement(VqObjectStream& os, VqBase*& out) {
    return readLogicalElementImpl(os, out, false, "readLogicalElement");
}

bool VqElementIO::writeLogicalElementOf(int major, VqObjectStream& os, const VqBase* obj) {
    if (major >= 10) return writeLogicalElementV10(os, obj);
    if (major == 9) return writeLogicalElementV9(os, obj);
    return writeLogicalElement(os, obj);
}

bool VqElementIO::readLogicalElementOf(int major, VqObjectStream& os, Vq::SharedPtr<VqBase>& out) {
    if (major >= 10) return readLogicalElementImpl(os, out, true, "readLogicalElementV10");
    VqBase* raw = nullptr;
    const bool ok = major == 9 ? readLogicalElementImpl(os, raw, true, "readLogicalElementV9")
                               : readLogicalElementImpl(os, raw, false, "readLogicalElement");
    out = raw;
    return ok;
}

bool VqElementIO::readLogicalElementOf(int major, VqObjectStream& os, Vq::SharedPtr<VqBase>& out,
                                       const VqType& expected) {
    if (major >= 10) return readLogicalElementImpl(os, out, true, "readLogicalElementV10", &expected);
    VqBase* raw = nullptr;
    const bool ok = major == 9 ? readLogicalElementImpl(os, raw, true, "readLogicalElementV9", &expected)
                               : readLogicalElementImpl(os, raw, false, "readLogicalElement", &expected);
    out = raw;
    return ok;
}
