#pragma once

#include "VqExport.h"
#include "VqGUID.h"
#include "VqSharedPtr.h"

#include <cstdint>

class VqBase;
class VqObjectStream;
struct VqType;

// Kind of an object, written with each element so that a reader that does
// not know the object's class can build a placeholder of the right kind.
enum VqObjectBaseType : int {
    VQ_BASETYPE_NODE = 0,
    VQ_BASETYPE_GROUP = 1,
    VQ_BASETYPE_SHAPE = 2,
    VQ_BASETYPE_ATTRIBUTE = 3,
    VQ_BASETYPE_SHAPEIMPL = 4,
    VQ_BASETYPE_PROPATOM = 5,
    VQ_BASETYPE_BASEPTRPROPATOM = 6,
    VQ_BASETYPE_DATAPROPATOM = 7,
    VQ_BASETYPE_LATELOADEDPROPATOM = 8,
    VQ_BASETYPE_BASE = 9,
    VQ_BASETYPE_NONE = 255
};

// The element operations frame whole objects in a segment: each object is one
// element (length, type GUID, base type, from format 9 on the object ID, then
// the object's data). They are the only code that writes or reads element
// headers; objects that hold other objects call them from their own
// serialize/deserialize to nest elements. A null object is written as the
// end-of-elements marker, and reading the marker yields null with success:
// any GUID whose second field is 0xFFFF ends a sequence. The partition's
// statics of the same names forward here; failures are reported under the
// partition's name, the documented owner of these operations.
class VQ_API VqElementIO {
public:
    // Whole elements. The V10 and V9 forms write and read the object ID
    // (formats 9 and 10); the plain forms serve the formats before 9.
    // An element whose type is not registered and for which no placeholder
    // can be made is passed over by its length and yields null with success,
    // as the end marker does; the stream's lastElementUnknown() tells the two
    // apart, so that a loop over a sequence can go on past such an element.
    static bool writeLogicalElementV10(VqObjectStream& os, const VqBase* obj);
    static bool writeLogicalElementV9(VqObjectStream& os, const VqBase* obj);
    static bool writeLogicalElement(VqObjectStream& os, const VqBase* obj);
    static bool readLogicalElementV10(VqObjectStream& os, Vq::SharedPtr<VqBase>& out);
    // The raw forms hand out the object without raising its count (a new
    // object has count 0): the caller adopts it.
    static bool readLogicalElementV9(VqObjectStream& os, VqBase*& out);
    static bool readLogicalElement(VqObjectStream& os, VqBase*& out);

    // The element of the format generation of major (10, 9 or earlier).
    static bool writeLogicalElementOf(int major, VqObjectStream& os, const VqBase* obj);
    static bool readLogicalElementOf(int major, VqObjectStream& os, Vq::SharedPtr<VqBase>& out);
    // The same for an element nested in an object's data where only objects
    // of class expected (or of a class derived from it) belong: an element of
    // any other type, unknown types included, is refused from its type GUID,
    // before its object is made and reads its own data. The end marker still
    // yields null with success.
    static bool readLogicalElementOf(int major, VqObjectStream& os, Vq::SharedPtr<VqBase>& out,
                                     const VqType& expected);

    // One element's header and object, inside beginWrite/endWrite or
    // beginRead/endRead. A read that meets an unregistered type without a
    // placeholder yields null with success, as the end marker does.
    static bool writeElementV10(VqObjectStream& os, const VqBase* obj);
    static bool writeElementV9(VqObjectStream& os, const VqBase* obj);
    static bool writeElement(VqObjectStream& os, const VqBase* obj);
    static bool readElementV10(VqObjectStream& os, Vq::SharedPtr<VqBase>& out);
    static bool readElementV9(VqObjectStream& os, VqBase*& out);
    static bool readElement(VqObjectStream& os, VqBase*& out);

    // The base-type code of an object: the first kind in the order group,
    // shape, node, attribute, shape implementation, object-reference atom,
    // data atom, late-loaded atom, property atom, base that its type is.
    static VqObjectBaseType objectBaseType(const VqBase* obj);
    // The type GUID written for an object; a placeholder of an unknown type
    // gives the GUID it was read with.
    static VqGUID elementTypeGUID(const VqBase* obj);

    // Makes the placeholder for an object of an unregistered type from its
    // base type, the length of its data and its GUID. Null when there is no
    // placeholder for the kind.
    static bool createPlaceholder(int baseType, int64_t dataLength, const VqGUID& guid, VqBase*& out);
    // The placeholder classes belong to the layers that define the kinds:
    // each registers its maker at library start. failureText is reported
    // when the maker returns null.
    typedef VqBase* (*PlaceholderMaker)(int64_t dataLength, const VqGUID& guid, int baseType);
    static bool setPlaceholderMaker(int baseType, PlaceholderMaker maker, const char* failureText);
    static void clearPlaceholderMakers();

    // The end-of-elements marker's type GUID.
    static const VqGUID& endOfFileGUID();
};
