#pragma once

#include "VqErrorState.h"
#include "VqObjectStream.h"

// The local version that opens each class level of an element: a signed
// 16-bit integer in format 9, an unsigned 8-bit integer in format 10.
namespace Vq {

inline bool writeLocalVersion9(VqObjectStream& os, int v) {
    return os.write(static_cast<short>(v));
}
inline bool writeLocalVersion10(VqObjectStream& os, int v) {
    return os.write(static_cast<unsigned char>(v));
}

// Reads the version and refuses one below 1 ("iLocalVers >= 1", code 5).
inline bool readLocalVersion9(VqObjectStream& os, int& v, const char* cls, const char* method) {
    short s = 0;
    VQ_PROPAGATE(os.read(&s));
    v = s;
    if (v < 1) VQ_FAIL(cls, method, "iLocalVers >= 1", VQ_ERR_INTERNAL);
    return true;
}
inline bool readLocalVersion10(VqObjectStream& os, int& v, const char* cls, const char* method) {
    unsigned char c = 0;
    VQ_PROPAGATE(os.read(&c));
    v = c;
    if (v < 1) VQ_FAIL(cls, method, "iLocalVers >= 1", VQ_ERR_INTERNAL);
    return true;
}

// Formats before 9 carry the object ID of referable objects in their data:
// the writer stores the object's ID, the reader registers the object at once.
inline bool writeOwnId(VqObjectStream& os, const VqBase* self) {
    int id = -1;
    VQ_PROPAGATE(os.ptr2num(self, &id));
    return os.write(id);
}
inline bool readOwnId(VqObjectStream& os, const VqBase* self) {
    int id = -1;
    VQ_PROPAGATE(os.read(&id));
    bool ok = true;
    VQ_PROPAGATE(os.registerPtr(self, id, &ok));
    return true;
}

} // namespace Vq
