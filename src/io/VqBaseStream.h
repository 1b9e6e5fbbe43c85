#pragma once

#include "VqBase.h"
#include "VqExport.h"
#include "VqTypes.h"

#include <cstdint>

// Common root of byte streams and data streams: the byte-level operations.
//
// Byte operations report failure by throwing Vq::StdException (function,
// description, code); the typed operations of the data streams and the
// element framing of the object stream catch it at their boundary and record
// it in the error state.
class VQ_API VqBaseStream : public VqBase {
    VQ_DECLARE_TYPE(VqBaseStream)
public:
    VqBaseStream() = default;
    VqBaseStream(const VqBaseStream&) = delete;
    VqBaseStream& operator=(const VqBaseStream&) = delete;

    virtual void open() = 0;
    virtual void close() = 0;
    // Reads up to n bytes; nRead tells how many arrived (fewer at the end).
    virtual void readBytes(VqUChar* buf, VqSize n, VqSize& nRead) = 0;
    // Writes all n bytes or throws.
    virtual void writeBytes(const VqUChar* buf, VqSize n) = 0;
    virtual void seek(uint64_t offset) = 0;
    virtual void getPosition(uint64_t& offset) = 0;
    // Tells the stream that about n bytes will be read next; nHint is how many
    // it expects to serve from memory (0 when it does not prefetch).
    virtual void readPrefetch(VqSize n, VqSize& nHint) = 0;
    virtual bool isOpen() const = 0;

    // Upper bound of the bytes a read from the current position can still
    // deliver, or UINT64_MAX when the stream cannot tell. Counts read from a
    // stream are checked against it before anything is allocated for them.
    virtual uint64_t _readLimit() { return UINT64_MAX; }

    bool isPersistable() const override { return false; }
};
