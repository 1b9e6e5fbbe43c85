#pragma once

#include "VqExport.h"
#include "VqStreamMgr.h"
#include "VqTOC.h"

// The stream manager of the VQ file layout: the header at offset 0, the
// segments, and the table of contents at the offset the header gives. It
// keeps a pool of physical byte streams on the file so that several
// segments can be read (or, during a parallel flush, copied) at once, and
// writes pending segments on the thread pool at close.
//
// Header: an 80-byte text ("Version 9.5 VQ  ZQ ..." once closed, "Invalid
// ..." until then; bytes 75 to 79 are space, LF, CR, LF, space), the byte
// order (1 byte), the crypto method (4), the TOC offset (4 bytes up to
// format 9, 8 from format 10) and, from format 8 on, the scene-graph GUID.
// TOC: a 32-bit count and entries of GUID, offset (4 or 8 bytes), length and
// attributes; a count of 1 introduces the legacy one-entry form.
class VQ_API VqTOCStreamMgr : public VqStreamMgr {
    VQ_DECLARE_TYPE(VqTOCStreamMgr)
public:
    // Physical streams on one file.
    static constexpr int cMaxPhysStreams = 32;

    VqTOCStreamMgr(const VqStorageLocation* loc = nullptr, bool readOnly = true);
    ~VqTOCStreamMgr() override;

    // Offset and length of a segment; fails with "bFound" when it is not in the TOC.
    bool guidToSegDescr(const VqGUID& guid, uint64_t& offset, uint32_t& length) const;
    // The entry of a segment; false (no error) when the TOC has none.
    bool findSegment(const VqGUID& guid, VqTOCElem& out) const;
    // A copy of the TOC (readers and tests list segments through it).
    VqTOC toc() const;
    int64_t tocOffset() const { return _nTocOffset; }
    int64_t tocSize() const;
    // Number of physical streams created so far.
    int numPhysStreams() const;
    // The file being written already exists and lies in a directory that
    // others may write to: its streams open only the file with this device
    // and inode number (see VqFileByteStream::pin).
    void pinFile(uint64_t dev, uint64_t ino);

protected:
    bool setLegacyGraphOffset(uint64_t offset) override;
    bool readHeader() override;
    bool _open() override;
    bool _close() override;
    void _abort() override;
    bool _beginReadSegment(const VqGUID& guid, VqSegmentIOData& data, uint64_t& extent) override;
    bool _endReadSegment(VqSegmentIOData& data) override;
    bool _beginWriteSegment(const VqGUID& guid, int segType, uint64_t reserve,
                            VqSegmentIOData& data) override;
    bool _endWriteSegment(VqSegmentIOData& data) override;
    bool _createRawStream(bool readOnly, bool truncate, Vq::SharedPtr<VqByteStream>& out,
                          int blockNum) override;

    bool writeHeader();
    bool activateHeader();
    bool flushSegments();
    bool readTOC();
    bool writeTOC();
    bool computTOCPosition();

    void createSegment(const VqGUID& guid, uint64_t offset, uint32_t length, int segType);
    void registerSegment(const VqTOCElem& elem);
    bool deleteSegment(const VqGUID& guid);
    bool setSegmentLength(const VqGUID& guid, uint32_t length);

private:
    friend struct VqFlushWorker;
    friend struct VqTOCPhysAccess;

    // Takes a free physical stream (creating one in an empty slot), opened and locked.
    bool _acquirePhysStream(int& index, Vq::SharedPtr<VqByteStream>& out);
    void _releasePhysStream(int index);
    bool _closePhysStreams();
    bool _headerSize(int& size) const;
    bool _writeSegmentsParallel(std::vector<VqSegment*>& segments, int nThreads);

    VqTOC _tTOC;
    Vq::SharedPtrVec<VqByteStream> _vpPhysStreams;
    std::vector<bool> _vbPhysInUse;
    int _nFlushedSegments = 0;
    int64_t _nTocOffset = -1;
    int64_t _nTocOffsetFieldPos = -1;
    int64_t _nLsgGuidFieldPos = -1;
    int64_t _nFileEnd = -1;
    // Where the legacy block of formats 6 and 7 was written.
    int64_t _nLegacyBlockOffset = -1;
    bool _bPinned = false;
    uint64_t _nPinnedDev = 0;
    uint64_t _nPinnedIno = 0;

    mutable VqRWSpinLock _tPhysLock;
    // The TOC and the file end.
    mutable VqRWSpinLock _tTocLock;
};
