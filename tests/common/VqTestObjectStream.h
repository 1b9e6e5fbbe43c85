#pragma once

#include "VqBufferedObjectStream.h"
#include "VqDataStream.h"
#include "VqMemoryByteStream.h"
#include "VqObjectStream.h"
#include "VqPartition.h"
#include "VqPtrSwizzle.h"

#include <cstdint>
#include <vector>

// An object stream over memory for tests, at a chosen format version and
// byte order, with a swizzler of its own. Write elements into one made by
// forWriting, take bytes(), and read them back through one made by
// forReading. Needs an initialised library.
//
// Objects write themselves with the process-wide write version, so
// forWriting also sets that (it must be one VqPartition::setVersion accepts).
class VqTestObjectStream {
public:
    static VqTestObjectStream forWriting(int major, int minor, bool buffered = true) {
        VqTestObjectStream s(new VqMemoryByteStream(false), major, minor, buffered);
        VqPartition::setVersion(major, minor);
        return s;
    }

    // Reads image as written by a host of the given byte order.
    static VqTestObjectStream forReading(const std::vector<uint8_t>& image, int major, int minor,
                                         VqByteOrder order = VqBaseDataStream::s_systemByteOrder(),
                                         bool buffered = true) {
        auto* bytes = new VqMemoryByteStream(true);
        if (!image.empty()) bytes->setData(image.data(), image.size());
        VqTestObjectStream s(bytes, major, minor, buffered);
        s._pStream->setByteOrder(order);
        return s;
    }

    VqObjectStream& operator*() const { return *_pStream; }
    VqObjectStream* operator->() const { return _pStream.get(); }
    VqObjectStream* get() const { return _pStream.get(); }
    VqMemoryByteStream* byteStream() const { return _pBytes.get(); }

    // What has been written so far.
    std::vector<uint8_t> bytes() const {
        const VqUChar* p = _pBytes->data();
        return p ? std::vector<uint8_t>(p, p + _pBytes->dataLength()) : std::vector<uint8_t>();
    }

private:
    VqTestObjectStream(VqMemoryByteStream* bytes, int major, int minor, bool buffered)
        : _pBytes(bytes), _pData(new VqDataStream(bytes)),
          _pStream(buffered ? new VqBufferedObjectStream(_pData.get()) : new VqObjectStream(_pData.get())) {
        _pData->open();
        _pStream->setVersion(major, minor);
        _pStream->setSwizzler(new VqPtrSwizzle());
    }

    Vq::SharedPtr<VqMemoryByteStream> _pBytes;
    Vq::SharedPtr<VqDataStream> _pData;
    Vq::SharedPtr<VqObjectStream> _pStream;
};
