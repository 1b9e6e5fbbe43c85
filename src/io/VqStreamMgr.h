#pragma once

#include "VqBase.h"
#include "VqExport.h"
#include "VqMutex.h"
#include "VqRWSpinLock.h"
#include "VqSegment.h"
#include "VqString.h"

#include <condition_variable>
#include <cstdint>
#include <vector>

class VqByteStream;
class VqDataStream;
class VqObjectStream;
class VqPartition;
class VqStorageLocation;

// Segment types, stored in segment headers and in the TOC attributes.
enum VqSegmentType : int {
    VQSEG_SPATIALSHAPEIMPL = 0,
    VQSEG_LSG = 1,
    VQSEG_BREP = 2,
    VQSEG_PMI = 3,
    VQSEG_METADATA = 4,
    VQSEG_SHAPE = 6,
    VQSEG_SHAPELOD0 = 7, // levels 0 to 9 are types 7 to 16
    VQSEG_SHAPELOD9 = 16,
    VQSEG_KXBREP = 17,
    VQSEG_WFREP = 18,
    VQSEG_ORBIT = 20,
    VQSEG_LWPA = 24,
    VQSEG_TOC = 25,
    VQSEG_HEADER = 27,
    VQSEG_OCCURRENCETABLE = 28,
    VQSEG_SPATIALHIER = 29,
    VQSEG_MAXTYPE = 32
};

// One open segment.
struct VQ_API VqSegmentIOData {
    Vq::SharedPtr<VqObjectStream> pObjStrm;
    Vq::SharedPtr<VqByteStream> pRawStrm;
    Vq::SharedPtr<VqDataStream> pDataStrm;
    // While writing: the segment's start offset (-1 for the header, the TOC
    // and the legacy block). While reading: the length from the segment header.
    int64_t iData = -1;
    int segType = 0;
    VqGUID guid;
    // Slot in the physical stream pool, -1 for a memory stream.
    int physIndex = -1;
    // The segment is being written into a memory stream (parallel flush).
    bool bMemStream = false;
    bool bWrapped = false;
    // The segment's turn to take its place in the file during a parallel
    // flush (see VqStreamMgr::_awaitPlacementTurn), -1 outside one.
    int64_t iPlaceTurn = -1;
};

// The stream manager: the only component that knows where things lie in a VQ
// file. It hands out one object stream per open segment, positioned on the
// segment's data with byte order, version, segment type, partition, a
// swizzler and the decompressing wrapper of the file's version already set,
// and takes it back when the caller is done. For writing it registers each
// segment, patches its length and, at close, writes the pending segments,
// the table of contents and the final header.
//
// Segment operations fail with the error recorded and return false. Any
// number of threads may read segments of one file at once.
class VQ_API VqStreamMgr : public VqBase {
    VQ_DECLARE_TYPE(VqStreamMgr)
public:
    // Well-known segment GUIDs.
    static const VqGUID RawSegGuid;    // the header, as a pseudo-segment
    static const VqGUID TocSegGuid;    // the TOC, as a pseudo-segment
    static const VqGUID LsgSegGuid;    // callers' name for the scene-graph segment
    static const VqGUID OldLsgSegGuid; // the legacy scene-graph block
    static const VqGUID PropSegGuid;   // the padding entry of one-entry TOCs
    static const VqGUID ShSegGuid;     // the spatial hierarchy segment
    static const VqGUID LockerSegGuid; // the locker of scrambled files

    // Write rank by segment type: lower ranks are written first.
    static const int s_aSegRank[VQSEG_MAXTYPE + 1];
    static int segmentRank(int segType);

    // Header size of formats 8 and 9.
    static constexpr int s_HeaderSize = 105;
    static constexpr int kVersionTextSize = 80;

    // Threads used to flush pending segments; 0 picks the processor count.
    static int s_maxFlushThreads;
    // Crypto method of new files: 0 plain, 1 scrambled.
    static int s_eDefaultCryptoMethod;

    VqStreamMgr(const VqStorageLocation* loc = nullptr, bool readOnly = true);
    ~VqStreamMgr() override;

    bool open();
    bool close();
    // Gives up a file being written: nothing more is written to it, the
    // late-loaded data of the pending segments is marked unsaved again and
    // the streams are released. Nothing is recorded on the way, so that the
    // failure that led here stays the one reported.
    void abort();
    bool isOpen() const { return _bOpen; }
    bool isReadOnly() const { return _bReadOnly; }
    const VqStorageLocation* location() const { return _pLocation.get(); }

    VqPartition* partition() const { return _pPartition; }
    // A write-mode manager also takes the write version and the compression
    // of the format settings (those of the calling thread's save, if any):
    // every segment it writes uses them, on whichever thread it is written.
    bool setPartition(VqPartition* partition);
    // The segment compression a write-mode manager uses (2 zlib, 3 LZMA).
    int compressionAlgorithm() const { return _nCompression; }

    // In read mode the header is read first when needed.
    bool getVersion(int& major, int& minor);
    const VqString& versionText() const { return _strVersionText; }
    bool lsgSegGUID(VqGUID& out);
    VqByteOrder byteOrder() const { return _eByteOrder; }
    bool isScrambled() const { return _nLockerVersion != 0; }

    bool beginReadSegment(const VqGUID& guid, Vq::SharedPtr<VqObjectStream>& out);
    // Files before format 8: a stream on the header pseudo-segment positioned at offset.
    bool beginReadSegment(const int& offset, Vq::SharedPtr<VqObjectStream>& out);
    bool endReadSegment(VqObjectStream* stream);
    bool beginWriteSegment(const VqGUID& guid, Vq::SharedPtr<VqObjectStream>& out, int segType);
    bool endWriteSegment(VqObjectStream* stream);
    // Files before format 8: the graph starts at offset inside the legacy
    // block being written (what precedes it is reached by file position);
    // the table of contents names that offset.
    virtual bool setLegacyGraphOffset(uint64_t offset) = 0;

    // A segment written at close.
    bool addNewSegment(const Vq::SharedPtr<VqSegment>& segment);
    int numPendingSegments() const;
    // A segment of source written at close as source stores it: the bytes
    // after its header are taken unread (wrapping and compression included)
    // under the same GUID. Only sound when both files share version and byte
    // order; the caller decides that.
    bool addCopiedSegment(VqStreamMgr* source, const VqGUID& guid, int segType);
    // The stored bytes of a segment after its header (read mode, format 8 on).
    bool readSegmentBody(const VqGUID& guid, std::vector<uint8_t>& out);

    bool createRawStream(bool readOnly, bool truncate, Vq::SharedPtr<VqByteStream>& out, int blockNum);

    // Chooses the wrapping object-stream class and mode by the file's version
    // (fromFile) or the partition settings' write version.
    bool _initStreamMgr(bool fromFile);
    bool setRawWrapper(const VqType* wrapType, int mode);
    void getRawWrapper(const VqType*& wrapType, int& mode) const;

    // Hash of a segment GUID seeded with the location's hash; keys caches of loaded segments.
    uint32_t segmentHash(const VqGUID& guid) const { return segmentHash(guid, _pLocation.get()); }
    static uint32_t segmentHash(const VqGUID& guid, const VqStorageLocation* loc);

    // Bytes written per segment type (shape LOD types count under 6, the TOC under 25).
    uint64_t bytesWritten(int segType) const;

protected:
    // The file layout, implemented by VqTOCStreamMgr.
    virtual bool readHeader() = 0;
    virtual bool _open() = 0;
    virtual bool _close() = 0;
    // Releases the streams of an abandoned file without finishing it.
    virtual void _abort() = 0;
    // Positions a physical stream on the segment; data.iData receives the segment's extent.
    virtual bool _beginReadSegment(const VqGUID& guid, VqSegmentIOData& data, uint64_t& extent) = 0;
    virtual bool _endReadSegment(VqSegmentIOData& data) = 0;
    // Takes a physical stream and positions it where the segment goes; a
    // non-zero reserve places it at the end of the file and claims that much.
    virtual bool _beginWriteSegment(const VqGUID& guid, int segType, uint64_t reserve,
                                    VqSegmentIOData& data) = 0;
    virtual bool _endWriteSegment(VqSegmentIOData& data) = 0;
    virtual void _invalidatePersistedState();
    virtual int _assignBlkNum(const VqGUID&) { return 0; }
    virtual bool _doWrap(const VqGUID& guid, int segType, int mode) const;
    virtual bool _createRawStream(bool readOnly, bool truncate, Vq::SharedPtr<VqByteStream>& out,
                                  int blockNum) = 0;
    virtual bool ensureSwizzler(VqObjectStream* stream);
    virtual bool releaseSwizzler(VqObjectStream* stream);
    virtual bool _createSegmentMemStream(Vq::SharedPtr<VqByteStream>& out);
    virtual void _releaseSegmentMemStream(Vq::SharedPtr<VqByteStream>& stream);

    static bool _isPseudoSegment(const VqGUID& guid);
    bool _createObjectStream(const VqGUID& guid, int segType, bool forWriting,
                             Vq::SharedPtr<VqObjectStream>& out, bool& wrapped);
    bool _findOpenSegment(VqObjectStream* stream, VqSegmentIOData& out);
    void _addBytes(int segType, uint64_t n);
    // turn: the segment's place in a parallel flush's order, -1 outside one.
    bool _writeOneSegment(VqSegment* segment, int64_t turn = -1);
    bool _writeCopiedSegment(VqStreamMgr& source, const VqSegment& segment, int64_t turn);
    bool _beginWrite(const VqGUID& guid, Vq::SharedPtr<VqObjectStream>& out, int segType, int64_t turn);

    // A parallel flush writes segments on several threads, but the file
    // takes them in the order of the sorted pending list whichever thread
    // finishes first: the same graph must give the same file every time.
    // Turn k claims its place only after turn k - 1 has claimed its own;
    // a thread that finishes early waits, holding one segment's bytes.
    void _startPlacementTurns();
    void _endPlacementTurns();
    bool _awaitPlacementTurn(int64_t turn);
    void _passPlacementTurn(int64_t turn);
    // After a failure: every waiting thread gives up.
    void _abandonPlacementTurns();

    Vq::SharedPtr<VqStorageLocation> _pLocation;
    VqPartition* _pPartition = nullptr;
    VqString _strVersionText;
    int _iMajorVer = -1;
    int _iMinorVer = -1;
    int _nCompression = 3;
    VqByteOrder _eByteOrder;
    VqGUID _tLsgGuid;
    const VqType* _ptWrapper = nullptr;
    int _nWrapMode = -1;
    bool _bReadOnly;
    bool _bOpen = false;
    bool _bHeaderRead = false;
    bool _bMemoryMode = false;
    int _nCryptoMethod;
    int _nLockerVersion = 0;
    std::vector<VqSegmentIOData> _vOpenSegments;
    Vq::SharedPtrVec<VqSegment> _vpPendingSegments;
    uint64_t _aBytesWritten[VQSEG_MAXTYPE] = {};
    uint64_t _nFileSize = 0;

    // Open, close, version queries, header and TOC writing, wrapper changes.
    mutable VqMutex _tMgrMutex;
    // The list of open segments.
    mutable VqRWSpinLock _tSegLock;
    // The byte counters.
    mutable VqMutex _tCountMutex;
    // The placement turns of a parallel flush.
    VqMutex _tTurnMutex;
    std::condition_variable_any _tTurnCv;
    int64_t _nPlaceTurn = -1;
    bool _bTurnsAbandoned = false;
};

// Ends a write segment when it goes out of scope, unless relinquished.
class VQ_API VqAutoEndWriteSegment {
public:
    VqAutoEndWriteSegment(VqStreamMgr* mgr, VqObjectStream* stream) : _pMgr(mgr), _pStream(stream) {}
    ~VqAutoEndWriteSegment() {
        if (_pMgr && _pStream) _pMgr->endWriteSegment(_pStream);
    }
    void relinquish() { _pStream = nullptr; }
    VqAutoEndWriteSegment(const VqAutoEndWriteSegment&) = delete;
    VqAutoEndWriteSegment& operator=(const VqAutoEndWriteSegment&) = delete;

private:
    VqStreamMgr* _pMgr;
    VqObjectStream* _pStream;
};

// Ends a read segment when it goes out of scope, unless relinquished.
class VQ_API VqAutoEndReadSegment {
public:
    VqAutoEndReadSegment(VqStreamMgr* mgr, VqObjectStream* stream) : _pMgr(mgr), _pStream(stream) {}
    ~VqAutoEndReadSegment() {
        if (_pMgr && _pStream) _pMgr->endReadSegment(_pStream);
    }
    void relinquish() { _pStream = nullptr; }
    VqAutoEndReadSegment(const VqAutoEndReadSegment&) = delete;
    VqAutoEndReadSegment& operator=(const VqAutoEndReadSegment&) = delete;

private:
    VqStreamMgr* _pMgr;
    VqObjectStream* _pStream;
};
