#include "VqPartition.h"

#include "VqBase.h"
#include "VqErrorState.h"
#include "VqFactory.h"
#include "VqObjectStream.h"
#include "VqUnknownAttribute.h"
#include "VqUnknownBase.h"
#include "VqUnknownBasePtrPropAtom.h"
#include "VqUnknownDataPropAtom.h"
#include "VqUnknownGroup.h"
#include "VqUnknownLLPropAtom.h"
#include "VqUnknownNode.h"
#include "VqUnknownPropAtom.h"

#include <algorithm>
#include <cstdio>

VqString* VqPartition::s_pWriteVersionText = nullptr;
int VqPartition::s_nWriteMajor = -1;
int VqPartition::s_nWriteMinor = -1;
int VqPartition::s_nMaxReadMajor = 10;
int VqPartition::s_nMaxReadMinor = 99;
int VqPartition::s_nCompressionAlgorithm = 3;
std::atomic<int> VqPartition::s_nPartitions{0};
std::vector<VqPartition::CallbackEntry>* VqPartition::s_pCallbacks = nullptr;

namespace {
const char* const kDefaultVersionText = "Version 9.5";

bool parseDecimal(const VqString& text, int start, int end, int& value) {
    value = 0;
    if (end <= start) return false;
    for (int i = start; i < end; ++i) {
        unsigned short c = text[i];
        if (c < '0' || c > '9' || value > 100000) return false;
        value = value * 10 + (c - '0');
    }
    return true;
}
} // namespace

bool VqPartition::init() {
    if (!s_pWriteVersionText) s_pWriteVersionText = new VqString(kDefaultVersionText);
    if (!s_pCallbacks) s_pCallbacks = new std::vector<CallbackEntry>();
    s_nWriteMajor = s_nWriteMinor = -1;
    s_nMaxReadMajor = 10;
    s_nMaxReadMinor = 99;
    s_nCompressionAlgorithm = 3;
    return s_pWriteVersionText != nullptr && s_pCallbacks != nullptr;
}

void VqPartition::fini() {
    delete s_pWriteVersionText;
    s_pWriteVersionText = nullptr;
    delete s_pCallbacks;
    s_pCallbacks = nullptr;
    s_nWriteMajor = s_nWriteMinor = -1;
}

bool VqPartition::addCallback(Callback fn, CallbackTime time, void* userData) {
    if (!fn) VQ_FAIL("VqPartition", "addCallback", "fn", VQ_ERR_ARGUMENT);
    if (!s_pCallbacks) VQ_FAIL("VqPartition", "addCallback", "s_pCallbacks", VQ_ERR_INTERNAL);
    for (const CallbackEntry& e : *s_pCallbacks)
        if (e.fn == fn && e.time == time && e.userData == userData) return true;
    s_pCallbacks->push_back({fn, time, userData});
    return true;
}

bool VqPartition::removeCallback(Callback fn, CallbackTime time, void* userData) {
    if (!s_pCallbacks) return true;
    auto& v = *s_pCallbacks;
    v.erase(std::remove_if(v.begin(), v.end(),
                           [&](const CallbackEntry& e) {
                               return e.fn == fn && e.time == time && e.userData == userData;
                           }),
            v.end());
    return true;
}

void VqPartition::_callCallbacks(CallbackTime time) {
    if (!s_pCallbacks) return;
    // A callback may add or remove callbacks: call a snapshot.
    std::vector<CallbackEntry> snapshot = *s_pCallbacks;
    for (const CallbackEntry& e : snapshot)
        if (e.time == time) e.fn(this, time, e.userData);
}

bool VqPartition::_parseVersion(const VqString& text, int& major, int& minor) {
    int space = text.find(VqString(" "), 0);
    if (space < 0)
        VQ_FAIL("VqPartition", "getVersion", "version string doesn't contain version numbers",
                VQ_ERR_ARGUMENT);
    int point = text.find(VqString("."), space + 1);
    if (point < 0) VQ_FAIL("VqPartition", "getVersion", "No oiMinor version", VQ_ERR_ARGUMENT);
    int end = text.find(VqString(" "), point + 1);
    if (end < 0) end = text.numChars();
    VqString majorText, minorText;
    text.subString(space + 1, majorText, point - space - 1);
    text.subString(point + 1, minorText, end - point - 1);
    if (!majorText.isISO8859_1())
        VQ_FAIL("VqPartition", "getVersion", "Major version must be ISO8859-1 or ASCII string",
                VQ_ERR_ARGUMENT);
    if (!minorText.isISO8859_1())
        VQ_FAIL("VqPartition", "getVersion", "Minor version must be ISO8859-1 or ASCII string",
                VQ_ERR_ARGUMENT);
    if (!parseDecimal(text, space + 1, point, major) || !parseDecimal(text, point + 1, end, minor))
        VQ_FAIL("VqPartition", "getVersion", "version string doesn't contain version numbers",
                VQ_ERR_ARGUMENT);
    return true;
}

bool VqPartition::getVersion(int& major, int& minor) {
    VqString text;
    return getVersion(major, minor, text);
}

bool VqPartition::getVersion(int& major, int& minor, VqString& text) {
    text = s_pWriteVersionText ? *s_pWriteVersionText : VqString(kDefaultVersionText);
    if (s_nWriteMajor < 0 || s_nWriteMinor < 0) {
        int ma = -1, mi = -1;
        VQ_PROPAGATE(_parseVersion(text, ma, mi));
        s_nWriteMajor = ma;
        s_nWriteMinor = mi;
    }
    major = s_nWriteMajor;
    minor = s_nWriteMinor;
    return true;
}

bool VqPartition::setVersion(int major, int minor) {
    bool accepted = (major == 6 && minor == 4) || (major == 7 && minor == 0) ||
                    (major == 8 && minor >= 0 && minor <= 2) || (major == 9 && minor >= 0 && minor <= 7) ||
                    (major == 10 && minor >= 0 && minor <= 1) || (major == 99 && minor == 0);
    if (!accepted) {
        if (major > 10 && major != 99)
            VQ_FAIL("VqPartition", "setVersion", "VQ version too high", VQ_ERR_TOO_NEW);
        if (major == 10 && minor >= 2)
            VQ_FAIL("VqPartition", "setVersion", "VQ version too high", VQ_ERR_TOO_NEW);
        VQ_FAIL(
            "VqPartition", "setVersion",
            "Version must be one of 6.4, 7.0, 8.0, 8.1, 8.2, 9.0, 9.1, 9.2, 9.3, 9.4, 9.5, 9.6, 9.7, 10.0, "
            "10.1 or 99.0",
            VQ_ERR_ARGUMENT);
    }
    char buf[64];
    std::snprintf(buf, sizeof(buf), "Version %d.%d", major, minor);
    if (!s_pWriteVersionText) s_pWriteVersionText = new VqString();
    if (!s_pWriteVersionText)
        VQ_FAIL("VqPartition", "setVersion", "Allocation failed: s_pWriteVersionText = new VqString",
                VQ_ERR_ALLOC);
    VQ_PROPAGATE(s_pWriteVersionText->setString(buf));
    s_nWriteMajor = s_nWriteMinor = -1;
    s_nCompressionAlgorithm = major > 9 ? 3 : 2;
    return true;
}

bool VqPartition::setMaxReadVersion(int major, int minor) {
    VQ_CHECK(major >= 6 && major <= 10, "VqPartition", "setMaxReadVersion", VQ_ERR_ARGUMENT);
    VQ_CHECK(minor >= 0 && minor <= 99, "VqPartition", "setMaxReadVersion", VQ_ERR_ARGUMENT);
    s_nMaxReadMajor = major;
    s_nMaxReadMinor = minor;
    return true;
}

void VqPartition::getMaxReadVersion(int& major, int& minor) {
    major = s_nMaxReadMajor;
    minor = s_nMaxReadMinor;
}

void VqPartition::getSupportedVQVersion(int& major, int& minor) {
    major = 10;
    minor = 1;
}

bool VqPartition::setCompressionAlgortihm(int algorithm) {
    VQ_CHECK(algorithm == 2 || algorithm == 3, "VqPartition", "setCompressionAlgortihm", VQ_ERR_ARGUMENT);
    s_nCompressionAlgorithm = algorithm;
    return true;
}

// ---- elements ----------------------------------------------------------------

namespace {
const char* const kCls = "VqPartition";

// Bytes of an element header after the length field: GUID, base type and,
// from format 9 on, the object ID.
constexpr int64_t kHeaderWithId = 21;
constexpr int64_t kHeaderWithoutId = 17;

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

bool writeElementImpl(VqObjectStream& os, const VqBase* obj, bool withId) {
    if (!obj) {
        VQ_PROPAGATE(os.write(VqPartition::endOfFileGUID()));
        return true;
    }
    VQ_PROPAGATE(os.write(VqPartition::elementTypeGUID(obj)));
    VQ_PROPAGATE(os.write(static_cast<unsigned char>(VqPartition::objectBaseType(obj))));
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

// Reads one element's header and object. isEnd tells the end marker apart
// from an unregistered type without a placeholder (both yield null).
template <class Out>
bool readElementImpl(VqObjectStream& os, Out& out, bool withId, bool& isEnd, const char* method) {
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
        VQ_PROPAGATE(VqPartition::createPlaceholder(baseType, dataLength, guid, obj));
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
bool readLogicalElementImpl(VqObjectStream& os, Out& out, bool withId, const char* method) {
    forget(out);
    os.setLastElementUnknown(false);
    VQ_PROPAGATE(os.beginRead());
    bool isEnd = false;
    bool ok = false;
    bool escaped = false;
    try {
        ok = readElementImpl(os, out, withId, isEnd, method);
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

const VqGUID& VqPartition::endOfFileGUID() {
    static const VqGUID s_endOfFile(VQ_GUID_END_OF_ELEMENTS);
    return s_endOfFile;
}

VqObjectBaseType VqPartition::objectBaseType(const VqBase* obj) {
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
    if (!obj) return VQ_BASETYPE_NONE;
    if (const auto* unknown = dynamic_cast<const VqUnknownInfo*>(obj))
        return static_cast<VqObjectBaseType>(unknown->realBaseType());
    // By GUID along the type chain, so that the test needs none of the classes it names.
    for (const Test& t : kTests)
        for (const VqType* type = obj->type(); type; type = type->parent)
            if (type->guid == t.guid) return t.code;
    return VQ_BASETYPE_NONE;
}

VqGUID VqPartition::elementTypeGUID(const VqBase* obj) {
    if (const auto* unknown = dynamic_cast<const VqUnknownInfo*>(obj)) return unknown->realType();
    return obj->type()->guid;
}

bool VqPartition::createPlaceholder(int baseType, int64_t dataLength, const VqGUID& guid, VqBase*& out) {
    out = nullptr;
    switch (baseType) {
    case VQ_BASETYPE_NODE:
    // Shapes of unknown types keep their place in the graph as nodes whose data is kept whole.
    case VQ_BASETYPE_SHAPE:
        out = new VqUnknownNode(dataLength, guid, baseType);
        if (!out)
            VQ_FAIL(kCls, "createPlaceholder",
                    "Allocation failed: pBase = new VqUnknownNode(dataLength, classGuid)", VQ_ERR_ALLOC);
        break;
    case VQ_BASETYPE_GROUP:
        out = new VqUnknownGroup(dataLength, guid);
        if (!out)
            VQ_FAIL(kCls, "createPlaceholder",
                    "Allocation failed: pBase = new VqUnknownGroup(dataLength, classGuid)", VQ_ERR_ALLOC);
        break;
    case VQ_BASETYPE_ATTRIBUTE:
        out = new VqUnknownAttribute(dataLength, guid);
        if (!out)
            VQ_FAIL(kCls, "createPlaceholder",
                    "Allocation failed: pBase = new VqUnknownAttribute(dataLength, classGuid)", VQ_ERR_ALLOC);
        break;
    case VQ_BASETYPE_PROPATOM:
        out = new VqUnknownPropAtom(dataLength, guid);
        if (!out)
            VQ_FAIL(kCls, "createPlaceholder",
                    "Allocation failed: pBase = new VqUnknownPropAtom(dataLength, classGuid)", VQ_ERR_ALLOC);
        break;
    case VQ_BASETYPE_BASEPTRPROPATOM:
        out = new VqUnknownBasePtrPropAtom(dataLength, guid);
        if (!out)
            VQ_FAIL(kCls, "createPlaceholder",
                    "Allocation failed: pBase = new VqUnknownBasePtrPropAtom(dataLength, classGuid)",
                    VQ_ERR_ALLOC);
        break;
    case VQ_BASETYPE_DATAPROPATOM:
        out = new VqUnknownDataPropAtom(dataLength, guid);
        if (!out)
            VQ_FAIL(kCls, "createPlaceholder",
                    "Allocation failed: pBase = new VqUnknownDataPropAtom(dataLength, classGuid)",
                    VQ_ERR_ALLOC);
        break;
    case VQ_BASETYPE_LATELOADEDPROPATOM:
        out = new VqUnknownLLPropAtom(dataLength, guid);
        if (!out)
            VQ_FAIL(kCls, "createPlaceholder",
                    "Allocation failed: pBase = new VqUnknownLLPropAtom(dataLength, classGuid)",
                    VQ_ERR_ALLOC);
        break;
    // Shape implementations of unknown types are not part of the graph: kept whole.
    case VQ_BASETYPE_SHAPEIMPL:
    case VQ_BASETYPE_BASE:
        out = new VqUnknownBase(dataLength, guid, baseType);
        if (!out)
            VQ_FAIL(kCls, "createPlaceholder",
                    "Allocation failed: pBase = new VqUnknownBase(dataLength, classGuid)", VQ_ERR_ALLOC);
        break;
    default:
        break;
    }
    return true;
}

bool VqPartition::writeElementV10(VqObjectStream& os, const VqBase* obj) {
    return writeElementImpl(os, obj, true);
}
bool VqPartition::writeElementV9(VqObjectStream& os, const VqBase* obj) {
    return writeElementImpl(os, obj, true);
}
bool VqPartition::writeElement(VqObjectStream& os, const VqBase* obj) {
    return writeElementImpl(os, obj, false);
}

bool VqPartition::writeLogicalElementV10(VqObjectStream& os, const VqBase* obj) {
    return writeLogicalElementImpl(os, obj, true, "writeLogicalElementV10");
}
bool VqPartition::writeLogicalElementV9(VqObjectStream& os, const VqBase* obj) {
    return writeLogicalElementImpl(os, obj, true, "writeLogicalElementV9");
}
bool VqPartition::writeLogicalElement(VqObjectStream& os, const VqBase* obj) {
    return writeLogicalElementImpl(os, obj, false, "writeLogicalElement");
}

bool VqPartition::readElementV10(VqObjectStream& os, Vq::SharedPtr<VqBase>& out) {
    bool isEnd = false;
    try {
        return readElementImpl(os, out, true, isEnd, "readElementV10");
    } catch (...) {
        out.reset();
        return VqErrorState::recordCurrentException(kCls, "readElementV10");
    }
}

bool VqPartition::readElementV9(VqObjectStream& os, VqBase*& out) {
    bool isEnd = false;
    try {
        return readElementImpl(os, out, true, isEnd, "readElementV9");
    } catch (...) {
        discard(os, out);
        return VqErrorState::recordCurrentException(kCls, "readElementV9");
    }
}

bool VqPartition::readElement(VqObjectStream& os, VqBase*& out) {
    bool isEnd = false;
    try {
        return readElementImpl(os, out, false, isEnd, "readElement");
    } catch (...) {
        discard(os, out);
        return VqErrorState::recordCurrentException(kCls, "readElement");
    }
}

bool VqPartition::readLogicalElementV10(VqObjectStream& os, Vq::SharedPtr<VqBase>& out) {
    return readLogicalElementImpl(os, out, true, "readLogicalElementV10");
}
bool VqPartition::readLogicalElementV9(VqObjectStream& os, VqBase*& out) {
    return readLogicalElementImpl(os, out, true, "readLogicalElementV9");
}
bool VqPartition::readLogicalElement(VqObjectStream& os, VqBase*& out) {
    return readLogicalElementImpl(os, out, false, "readLogicalElement");
}
