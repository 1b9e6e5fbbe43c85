#pragma once

#include "VqBaseDataStream.h"
#include "VqDataStream.h"
#include "VqExport.h"
#include "VqPtrSwizzle.h"

#include <cstdint>
#include <vector>

class VqInBufFVec;
class VqPartition;

// The typed stream through which every persistent object writes and reads
// itself. On top of the data stream it carries the format version of the
// data, the segment type and owning partition, the framing of each object's
// data as a length-prefixed element, and pointer identity through a swizzler.
//
// Element framing: beginWrite pushes the position and writes a placeholder
// length; endWrite patches it with the number of bytes that followed.
// beginRead reads the length; endRead skips what the object left unread
// (setting the data-skipped flag) and fails with "Data block too short"
// (code 8) when the object read past its element. Elements nest.
//
// The byte operations forward to the raw data stream; without one they
// throw "_pRaw" (code 5).
class VQ_API VqObjectStream : public VqBaseDataStream {
    VQ_DECLARE_TYPE(VqObjectStream)
public:
    // Takes the raw stream (may be null) and gives it the host's byte order.
    explicit VqObjectStream(VqDataStream* raw = nullptr);
    ~VqObjectStream() override;

    void open() override;
    void close() override;
    void readBytes(VqUChar* buf, VqSize n, VqSize& nRead) override;
    void writeBytes(const VqUChar* buf, VqSize n) override;
    void seek(uint64_t offset) override;
    void getPosition(uint64_t& offset) override;
    void readPrefetch(VqSize n, VqSize& nHint) override;
    // False, with "this && _pRaw" recorded, when there is no raw stream.
    bool isOpen() const override;
    // What the raw stream can still deliver, bounded by the end of the
    // innermost element being read.
    uint64_t _readLimit() override;
    void setByteOrder(ByteOrder order) override;

    bool _flush() override { return true; }
    // Replaces the raw stream and gives it the current byte order.
    virtual void setDataStream(VqDataStream* raw);
    virtual bool beginRead();
    virtual bool endRead();
    virtual bool beginWrite();
    virtual bool endWrite();

    VqDataStream* dataStream() const { return _pRaw.get(); }

    // Format version of the data. While either number is -1 and a partition
    // is set, the partition's data-store version is fetched and kept.
    void setVersion(int major, int minor) {
        _nMajorVersion = major;
        _nMinorVersion = minor;
    }
    // Every level of every element's record asks: inline while known.
    void getVersion(int& major, int& minor) const {
        if ((_nMajorVersion == -1 || _nMinorVersion == -1) && _pPartition) _fetchVersion();
        major = _nMajorVersion;
        minor = _nMinorVersion;
    }

    void setSegmentType(int type) { _nSegmentType = type; }
    int segmentType() const { return _nSegmentType; }

    void setPartition(VqPartition* partition) { _pPartition = partition; }
    VqPartition* partition() const { return _pPartition; }
    // The partition is a scene-graph node, defined in a layer above the
    // streams: what the stream asks of it goes through these functions, which
    // the partition module installs at library start.
    struct PartitionAccess {
        void (*datastoreVersion)(const VqPartition* partition, int& major, int& minor);
        void (*setDataSkipped)(VqPartition* partition, bool skipped);
    };
    static void setPartitionAccess(const PartitionAccess* access);

    // A swizzler can be set only when none is set and cleared only when one is.
    bool setSwizzler(VqPtrSwizzle* swizzler);
    VqPtrSwizzle* swizzler() const { return _currentSwizzler.get(); }

    // Forward to the swizzler; without one they fail with "_currentSwizzler".
    // ptr2num sets the ID to -1 first, ptrFromNum the slot to null first.
    bool ptr2num(const void* ptr, int* id);
    // Library objects go through the overloads that see their ID slots (see
    // VqPtrSwizzle); any VqBase-derived pointer picks these. A save asks for
    // several IDs per object: the common case runs inline.
    bool ptr2num(const VqBase* obj, int* id) {
        if (id && _currentSwizzler && _currentSwizzler->heldSlotId(obj, *id)) return true;
        return _ptr2numSlow(obj, id);
    }
    bool registerPtr(const void* ptr, int id);
    // An open enters every element's object, and its readers ask for the
    // objects they refer to: the common cases run inline, as ptr2num's does.
    bool registerPtr(const void* ptr, int id, bool* ok) {
        if (ok && _currentSwizzler && _currentSwizzler->heldRegister(ptr, id, *ok)) return true;
        return _registerPtrSlow(ptr, id, ok);
    }
    // True when the slot was filled, false when it waits for the object (or on error).
    bool ptrFromNum(int id, const void** slot) {
        if (slot) *slot = nullptr;
        if (bool filled; _currentSwizzler && _currentSwizzler->heldPtrFromNum(id, slot, filled)) return filled;
        return _ptrFromNumSlow(id, slot);
    }
    template <class T>
    bool ptrFromNum(int id, Vq::SharedPtr<T>& field) {
        return ptrFromNum(id, static_cast<const void**>(static_cast<void*>(field.slot())));
    }
    const void* possiblePtr(int id) {
        if (const void* ptr; _currentSwizzler && _currentSwizzler->heldPossiblePtr(id, ptr)) return ptr;
        return _possiblePtrSlow(id);
    }
    bool pointerRegistered(const void* ptr);
    bool pointerRegistered(const VqBase* obj);

    // The deepest nesting of elements a reader follows. Real files nest a few
    // levels (an attribute holding a mapping surface, a format-7 partition
    // holding its graph); anything deeper is refused with code 100.
    static constexpr int kMaxElementDepth = 64;

    // Element state.
    int elementDepth() const { return static_cast<int>(_vElems.size()); }
    // Start position (after the length field) and recorded length of the
    // innermost element being read; false when none is open.
    bool currentReadElement(uint64_t& start, uint32_t& length) const;
    bool dataSkipped() const { return _bDataSkipped; }
    // Set when the last whole element read was of an unregistered type
    // without a placeholder: it yielded null but did not end the sequence.
    void setLastElementUnknown(bool on) { _bLastElementUnknown = on; }
    bool lastElementUnknown() const { return _bLastElementUnknown; }
    // Set when an element failed, so that its end is not checked.
    void setNoLengthCheck(bool on) { _bNoLengthCheck = on; }
    bool noLengthCheck() const { return _bNoLengthCheck; }

    // Keeps an object discarded while reading until the stream goes: its
    // reference slots may still wait in the swizzler, which writes to them
    // when the segment ends.
    void deferRelease(VqBase* obj) { _vpDeferred.emplace_back(obj); }

    // The process-wide pool of write buffers.
    static bool s_allocWriteBuffer(VqInBufFVec*& buffer);
    static void s_deallocWriteBuffer(VqInBufFVec* buffer);
    static void s_shrinkWriteBufferPool();
    static int s_numPooledWriteBuffers();
    // Frees the pool.
    static void fini();

protected:
    VqDataStream* _raw(const char* function) const;
    void _fetchVersion() const;
    bool _ptr2numSlow(const VqBase* obj, int* id);
    bool _registerPtrSlow(const void* ptr, int id, bool* ok);
    bool _ptrFromNumSlow(int id, const void** slot);
    const void* _possiblePtrSlow(int id);
    // Bytes left in the innermost element being read (UINT64_MAX when none is open).
    uint64_t _elementRemaining();
    // endRead once the element is off the stack and its end is to be checked.
    bool _endReadAt(uint64_t end);
    // The read position. A subclass whose get window maps straight onto its
    // positions keeps _nGetBias (position minus the cursor's address) while
    // _bGetBias is set: framing asks twice per element, without a virtual call.
    uint64_t _position() {
        if (_bGetBias) return _nGetBias + reinterpret_cast<uintptr_t>(_pGetCur);
        uint64_t pos = 0;
        getPosition(pos);
        return pos;
    }

    // Declared before the swizzler, so that they outlive it.
    std::vector<Vq::SharedPtr<VqBase>> _vpDeferred;
    Vq::SharedPtr<VqPtrSwizzle> _currentSwizzler;
    VqPartition* _pPartition = nullptr;
    mutable int _nMajorVersion = -1;
    mutable int _nMinorVersion = -1;
    int _nSegmentType = 0;
    // An open element: where its data starts and, when it is being read, its
    // recorded length. Written elements learn theirs at endWrite.
    struct OpenElement {
        uint64_t nStart;
        uint32_t nLength;
        bool bRead;
    };
    std::vector<OpenElement> _vElems;
    uint64_t _nGetBias = 0;
    bool _bGetBias = false;
    bool _bDataSkipped = false;
    bool _bNoLengthCheck = false;
    Vq::SharedPtr<VqDataStream> _pRaw;
    bool _bLastElementUnknown = false;
};
