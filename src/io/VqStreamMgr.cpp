#include "VqStreamMgr.h"

#include "VqBufferedObjectStream.h"
#include "VqCompressedObjectStream.h"
#include "VqDataStream.h"
#include "VqErrorState.h"
#include "VqFactory.h"
#include "VqFormatSettings.h"
#include "VqLzmaSegObjectStream.h"
#include "VqMemoryByteStream.h"
#include "VqPtrSwizzle.h"
#include "VqRethrowRecorded.h"
#include "VqStdError.h"
#include "VqStdException.h"
#include "VqStorageLocation.h"
#include "VqZlibSegObjectStream.h"

#include <algorithm>
#include <climits>
#include <mutex>

VQ_IMPLEMENT_ABSTRACT_TYPE(VqStreamMgr, VqBase, CLSID_ZQStreamMgr)

const VqGUID VqStreamMgr::RawSegGuid(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
const VqGUID VqStreamMgr::TocSegGuid(1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
const VqGUID VqStreamMgr::LsgSegGuid(2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
const VqGUID VqStreamMgr::OldLsgSegGuid(3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
const VqGUID VqStreamMgr::PropSegGuid(4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
const VqGUID VqStreamMgr::ShSegGuid(0x117CACD8, 0x06DD, 0x4BDE, 0xBA, 0x4B, 0xA1, 0x5A, 0x39, 0x32, 0x17,
                                    0x24);
const VqGUID VqStreamMgr::LockerSegGuid(0x9C129BF6, 0xB1A0, 0x491E, 0x93, 0x4B, 0x14, 0xBF, 0x42, 0x91, 0x71,
                                        0x32);

const int VqStreamMgr::s_aSegRank[VQSEG_MAXTYPE + 1] = {28, 1,  26, 25, 24, 15, 14, 13, 12, 11, 10,
                                                        9,  8,  7,  6,  5,  4,  27, 23, 21, 20, 17,
                                                        18, 19, 22, 0,  16, 29, 3,  2,  30, 31, 32};

int VqStreamMgr::s_maxFlushThreads = 0;
int VqStreamMgr::s_eDefaultCryptoMethod = 0;

namespace {
const char* const kCls = "VqStreamMgr";
}

int VqStreamMgr::segmentRank(int segType) {
    if (segType < 0 || segType > VQSEG_MAXTYPE) return VQSEG_MAXTYPE + 1;
    return s_aSegRank[segType];
}

VqStreamMgr::VqStreamMgr(const VqStorageLocation* loc, bool readOnly)
    : _pLocation(const_cast<VqStorageLocation*>(loc)), _tLsgGuid(OldLsgSegGuid), _bReadOnly(readOnly),
      _nCryptoMethod(s_eDefaultCryptoMethod) {
    // A reader learns the byte order from the header; a writer uses the host's.
    _eByteOrder = readOnly ? NoOrder : VqBaseDataStream::s_systemByteOrder();
}

VqStreamMgr::~VqStreamMgr() = default;

bool VqStreamMgr::setPartition(VqPartition* partition) {
    VqAutoLock lock(_tMgrMutex);
    _pPartition = partition;
    if (!_bReadOnly && partition) {
        int major = -1, minor = -1;
        VqString text;
        if (!VqFormatSettings::getVersion(major, minor, text))
            VQ_FAIL(kCls, "setPartition", "VqPartition::getVersion(iMaj,iMin)", VQ_ERR_ARGUMENT);
        _iMajorVer = major;
        _iMinorVer = minor;
        _strVersionText = text;
        _nCompression = VqFormatSettings::compressionAlgorithm();
    }
    return true;
}

bool VqStreamMgr::getVersion(int& major, int& minor) {
    VqAutoLock lock(_tMgrMutex);
    if (_bReadOnly && !_bHeaderRead) VQ_PROPAGATE(readHeader());
    major = _iMajorVer;
    minor = _iMinorVer;
    return true;
}

bool VqStreamMgr::lsgSegGUID(VqGUID& out) {
    VqAutoLock lock(_tMgrMutex);
    if (_bReadOnly && !_bHeaderRead) VQ_PROPAGATE(readHeader());
    out = _tLsgGuid;
    return true;
}

bool VqStreamMgr::open() {
    VqAutoLock lock(_tMgrMutex);
    if (_bOpen) return true;
    VQ_PROPAGATE(_open());
    _bOpen = true;
    return true;
}

bool VqStreamMgr::close() {
    VqAutoLock lock(_tMgrMutex);
    if (!_bOpen) VQ_FAIL(kCls, "close", "isOpen()", VQ_ERR_INTERNAL);
    bool ok = _close();
    _bOpen = false;
    if (!ok) {
        VqErrorState::rethrowError();
        return false;
    }
    return true;
}

void VqStreamMgr::abort() {
    Vq::SharedPtr<VqStdError> first = VqErrorState::currentError();
    {
        // Also after a failed open, which may leave streams behind.
        VqAutoLock lock(_tMgrMutex);
        if (!_bReadOnly) _invalidatePersistedState();
        _vpPendingSegments.clear();
        _abort();
        _bOpen = false;
    }
    if (first) VqErrorState::setError(first.get());
}

int VqStreamMgr::numPendingSegments() const {
    VqAutoLock lock(_tMgrMutex);
    return static_cast<int>(_vpPendingSegments.size());
}

bool VqStreamMgr::addNewSegment(const Vq::SharedPtr<VqSegment>& segment) {
    VQ_CHECK(segment, kCls, "addNewSegment", VQ_ERR_ARGUMENT);
    VqAutoLock lock(_tMgrMutex);
    VQ_CHECK(!_bReadOnly, kCls, "addNewSegment", VQ_ERR_INTERNAL);
    _vpPendingSegments.push_back(segment);
    return true;
}

bool VqStreamMgr::addCopiedSegment(VqStreamMgr* source, const VqGUID& guid, int segType) {
    VQ_CHECK(source && source != this, kCls, "addCopiedSegment", VQ_ERR_ARGUMENT);
    if (_isPseudoSegment(guid))
        VQ_FAIL(kCls, "addCopiedSegment", "A pseudo-segment cannot be copied", VQ_ERR_ARGUMENT);
    Vq::SharedPtr<VqSegment> seg = new VqSegment(segType, guid, source);
    if (!seg) VQ_FAIL(kCls, "addCopiedSegment", "Allocation failed: new VqSegment", VQ_ERR_ALLOC);
    return addNewSegment(seg);
}

bool VqStreamMgr::readSegmentBody(const VqGUID& guid, std::vector<uint8_t>& out) {
    out.clear();
    VQ_CHECK(isOpen() && _bReadOnly, kCls, "readSegmentBody", VQ_ERR_INTERNAL);
    if (_iMajorVer < 8 || _isPseudoSegment(guid))
        VQ_FAIL(kCls, "readSegmentBody", "Only segments of format 8 files and later have a body of their own",
                VQ_ERR_ARGUMENT);
    VqSegmentIOData d;
    uint64_t extent = 0;
    VQ_PROPAGATE(_beginReadSegment(guid, d, extent));
    bool ok = true;
    try {
        // The header's length was checked against the table of contents,
        // whose entries lie within the file: the buffer is bounded by it.
        if (extent == UINT64_MAX) VQ_THROW("The segment's length is unknown", VQ_ERR_READ);
        out.resize(static_cast<size_t>(extent));
        VqSize got = 0;
        if (extent) d.pDataStrm->readBytes(out.data(), extent, got);
        if (got != extent) VQ_THROW("The segment is shorter than its header says", VQ_ERR_READ);
    } catch (...) {
        ok = VqErrorState::recordCurrentException(kCls, "readSegmentBody");
        out.clear();
    }
    Vq::SharedPtr<VqStdError> error = ok ? nullptr : VqErrorState::currentError();
    _endReadSegment(d);
    if (error) VqErrorState::setError(error.get());
    return ok;
}

bool VqStreamMgr::createRawStream(bool readOnly, bool truncate, Vq::SharedPtr<VqByteStream>& out,
                                  int blockNum) {
    return _createRawStream(readOnly, truncate, out, blockNum);
}

bool VqStreamMgr::_initStreamMgr(bool fromFile) {
    int major = -1, minor = -1;
    if (fromFile) {
        VQ_PROPAGATE(getVersion(major, minor));
    } else if (!VqFormatSettings::getVersion(major, minor)) {
        VQ_FAIL(kCls, "_initStreamMgr", "VqPartition::getVersion(iMaj,iMin)", VQ_ERR_ARGUMENT);
    }
    switch (major) {
    case 6:
        return setRawWrapper(&VqBufferedObjectStream::classTypeID(), 0);
    case 7:
        return setRawWrapper(&VqCompressedObjectStream::classTypeID(), 0);
    case 8:
    case 9:
        return setRawWrapper(&VqZlibSegObjectStream::classTypeID(), 3);
    case 10:
        return setRawWrapper(&VqLzmaSegObjectStream::classTypeID(), 3);
    default:
        VQ_FAIL(kCls, "_initStreamMgr", "File version out of range.", VQ_ERR_TOO_NEW);
    }
}

bool VqStreamMgr::setRawWrapper(const VqType* pWrapType, int mode) {
    if (pWrapType && !pWrapType->isA(VqObjectStream::classTypeID()))
        VQ_FAIL(kCls, "setRawWrapper", "pWrapType->isA(VqObjectStream::classTypeID())", VQ_ERR_ARGUMENT);
    VqAutoLock lock(_tMgrMutex);
    _ptWrapper = pWrapType;
    _nWrapMode = mode;
    return true;
}

void VqStreamMgr::getRawWrapper(const VqType*& wrapType, int& mode) const {
    VqAutoLock lock(_tMgrMutex);
    wrapType = _ptWrapper;
    mode = _nWrapMode;
}

uint32_t VqStreamMgr::segmentHash(const VqGUID& guid, const VqStorageLocation* loc) {
    uint32_t h = guid.hash();
    const uint32_t seed = loc ? loc->hash() : 0u;
    // Seeded finaliser of a 32-bit mixing hash: stable across runs and platforms.
    h ^= seed + 0x9E3779B9u + (h << 6) + (h >> 2);
    h ^= h >> 16;
    h *= 0x85EBCA6Bu;
    h ^= h >> 13;
    h *= 0xC2B2AE35u;
    h ^= h >> 16;
    return h;
}

uint64_t VqStreamMgr::bytesWritten(int segType) const {
    if (segType >= VQSEG_SHAPELOD0 && segType <= VQSEG_SHAPELOD9) segType = VQSEG_SHAPE;
    if (segType < 0 || segType >= VQSEG_MAXTYPE) return 0;
    VqAutoLock lock(_tCountMutex);
    return _aBytesWritten[segType];
}

void VqStreamMgr::_addBytes(int segType, uint64_t n) {
    if (segType >= VQSEG_SHAPELOD0 && segType <= VQSEG_SHAPELOD9) segType = VQSEG_SHAPE;
    if (segType < 0 || segType >= VQSEG_MAXTYPE) return;
    VqAutoLock lock(_tCountMutex);
    _aBytesWritten[segType] += n;
}

bool VqStreamMgr::_isPseudoSegment(const VqGUID& guid) {
    return guid == RawSegGuid || guid == TocSegGuid || guid == OldLsgSegGuid;
}

bool VqStreamMgr::_doWrap(const VqGUID& guid, int segType, int mode) const {
    switch (mode) {
    case 0:
        return true;
    case 1:
        return _isPseudoSegment(guid);
    case 2:
        return !_isPseudoSegment(guid);
    case 3:
        // Shape data carries its own compression.
        return !_isPseudoSegment(guid) && !(segType >= VQSEG_SHAPE && segType <= VQSEG_SHAPELOD9);
    default:
        return false;
    }
}

bool VqStreamMgr::ensureSwizzler(VqObjectStream* stream) {
    if (stream->swizzler()) return true;
    Vq::SharedPtr<VqPtrSwizzle> sw = new VqRWPtrSwizzle();
    if (!sw)
        VQ_FAIL(kCls, "ensureSwizzler", "Allocation failed: pSwizzler = new VqRWPtrSwizzle", VQ_ERR_ALLOC);
    VQ_PROPAGATE(stream->setSwizzler(sw.get()));
    return true;
}

bool VqStreamMgr::releaseSwizzler(VqObjectStream* stream) {
    if (!stream->swizzler()) return true;
    stream->swizzler()->clear();
    VQ_PROPAGATE(stream->setSwizzler(nullptr));
    return true;
}

bool VqStreamMgr::_createSegmentMemStream(Vq::SharedPtr<VqByteStream>& out) {
    Vq::SharedPtr<VqMemoryByteStream> mem = new VqMemoryByteStream(false);
    if (!mem)
        VQ_FAIL(kCls, "_createSegmentMemStream", "Allocation failed: new VqMemoryByteStream(false)",
                VQ_ERR_ALLOC);
    VQ_PROPAGATE(mem->reserve(8192));
    try {
        mem->lock();
        mem->open();
    } catch (...) {
        return VqErrorState::recordCurrentException(kCls, "_createSegmentMemStream");
    }
    out = mem.get();
    return true;
}

void VqStreamMgr::_releaseSegmentMemStream(Vq::SharedPtr<VqByteStream>& stream) {
    if (!stream) return;
    try {
        stream->close();
    } catch (...) {
        VqErrorState::recordCurrentException(kCls, "_releaseSegmentMemStream");
    }
    stream->unlock();
    stream.reset();
}

void VqStreamMgr::_invalidatePersistedState() {
    for (const auto& seg : _vpPendingSegments)
        seg->invalidatePersistedState();
}

bool VqStreamMgr::_createObjectStream(const VqGUID& guid, int segType, bool forWriting,
                                      Vq::SharedPtr<VqObjectStream>& out, bool& wrapped) {
    wrapped = false;
    out.reset();
    if (_ptWrapper && _doWrap(guid, segType, _nWrapMode)) {
        VqBase* obj = nullptr;
        _ptWrapper->createInstance(obj);
        if (!obj)
            VQ_FAIL(kCls, "_createObjectStream", "Allocation failed: pObjStrm = _ptWrapper->createInstance()",
                    VQ_ERR_ALLOC);
        out = static_cast<VqObjectStream*>(obj);
        wrapped = true;
    } else if (forWriting && _bMemoryMode) {
        out = new VqObjectStream();
        if (!out)
            VQ_FAIL(kCls, "_createObjectStream", "Allocation failed: new VqObjectStream()", VQ_ERR_ALLOC);
    } else {
        out = new VqBufferedObjectStream();
        if (!out)
            VQ_FAIL(kCls, "_createObjectStream", "Allocation failed: new VqBufferedObjectStream()",
                    VQ_ERR_ALLOC);
    }
    return true;
}

bool VqStreamMgr::_findOpenSegment(VqObjectStream* stream, VqSegmentIOData& out) {
    VqAutoLockWrite lock(_tSegLock);
    for (auto it = _vOpenSegments.begin(); it != _vOpenSegments.end(); ++it) {
        if (it->pObjStrm.get() == stream) {
            out = *it;
            _vOpenSegments.erase(it);
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------------------------------------------
// Reading

bool VqStreamMgr::beginReadSegment(const VqGUID& guid, Vq::SharedPtr<VqObjectStream>& out) {
    out.reset();
    if (guid != RawSegGuid && guid != TocSegGuid && _eByteOrder == NoOrder)
        VQ_FAIL(kCls, "beginReadSegment", "_eByteOrder != NoOrder", VQ_ERR_INTERNAL);
    VQ_CHECK(isOpen(), kCls, "beginReadSegment", VQ_ERR_INTERNAL);
    VQ_CHECK(_bReadOnly, kCls, "beginReadSegment", VQ_ERR_INTERNAL);

    VqSegmentIOData d;
    uint64_t extent = 0;
    VQ_PROPAGATE(_beginReadSegment(guid, d, extent));
    Vq::SharedPtr<VqObjectStream> os;
    if (!_createObjectStream(guid, d.segType, false, os, d.bWrapped)) {
        _endReadSegment(d);
        VqErrorState::rethrowError();
        return false;
    }
    os->setByteOrder(_eByteOrder);
    os->setDataStream(d.pDataStrm.get());
    os->setSegmentType(d.segType);
    os->setPartition(_pPartition);
    os->setVersion(_iMajorVer, _iMinorVer);
    if (auto* seg = dynamic_cast<VqSegObjectStream*>(os.get())) seg->setSegmentBytes(extent);
    if (!ensureSwizzler(os.get())) {
        os->setDataStream(nullptr);
        _endReadSegment(d);
        VqErrorState::rethrowError();
        return false;
    }
    d.pObjStrm = os;
    {
        VqAutoLockWrite lock(_tSegLock);
        _vOpenSegments.push_back(d);
    }
    out = os;
    return true;
}

bool VqStreamMgr::beginReadSegment(const int& offset, Vq::SharedPtr<VqObjectStream>& out) {
    out.reset();
    if (!(_iMajorVer < 8)) VQ_FAIL(kCls, "beginReadSegment", "_iMajorVer < 8", VQ_ERR_INTERNAL);
    if (offset < 0) VQ_FAIL(kCls, "beginReadSegment", "offset >= 0", VQ_ERR_ARGUMENT);
    VQ_PROPAGATE(beginReadSegment(RawSegGuid, out));
    try {
        out->dataStream()->seek(static_cast<uint64_t>(offset));
    } catch (...) {
        VqErrorState::recordCurrentException(kCls, "beginReadSegment");
        endReadSegment(out.get());
        out.reset();
        VqErrorState::rethrowError();
        return false;
    }
    return true;
}

bool VqStreamMgr::endReadSegment(VqObjectStream* pStream) {
    VqSegmentIOData segIOData;
    if (!pStream || !_findOpenSegment(pStream, segIOData))
        VQ_FAIL(kCls, "endReadSegment", "segIOData.pObjStrm == pStream", VQ_ERR_INTERNAL);
    bool ok = releaseSwizzler(pStream);
    try {
        pStream->setDataStream(nullptr);
    } catch (...) {
        ok = VqErrorState::recordCurrentException(kCls, "endReadSegment");
    }
    segIOData.pObjStrm.reset();
    if (!_endReadSegment(segIOData)) ok = false;
    if (!ok) VqErrorState::rethrowError();
    return ok;
}

// ---------------------------------------------------------------------------------------------------------------
// Writing

bool VqStreamMgr::beginWriteSegment(const VqGUID& guid, Vq::SharedPtr<VqObjectStream>& out, int segType) {
    return _beginWrite(guid, out, segType, -1);
}

bool VqStreamMgr::_beginWrite(const VqGUID& guid, Vq::SharedPtr<VqObjectStream>& out, int segType,
                              int64_t turn) {
    out.reset();
    VQ_CHECK(isOpen(), kCls, "beginWriteSegment", VQ_ERR_INTERNAL);
    VQ_CHECK(!_bReadOnly, kCls, "beginWriteSegment", VQ_ERR_INTERNAL);
    VqGUID segGuid = guid;
    if (guid == LsgSegGuid) {
        VQ_PROPAGATE(VqGUID::createGUID(segGuid));
        VqAutoLock lock(_tMgrMutex);
        _tLsgGuid = segGuid;
    }
    const bool pseudo = _isPseudoSegment(segGuid);
    if (!pseudo && _eByteOrder == NoOrder)
        VQ_FAIL(kCls, "beginWriteSegment", "_eByteOrder != NoOrder", VQ_ERR_INTERNAL);

    VqSegmentIOData d;
    d.guid = segGuid;
    d.segType = segType;
    d.iPlaceTurn = turn;
    Vq::SharedPtr<VqObjectStream> os;
    VQ_PROPAGATE(_createObjectStream(segGuid, segType, true, os, d.bWrapped));
    VQ_PROPAGATE(ensureSwizzler(os.get()));
    if (_bMemoryMode) {
        VQ_PROPAGATE(_createSegmentMemStream(d.pRawStrm));
        d.bMemStream = true;
    } else {
        VQ_PROPAGATE(_beginWriteSegment(segGuid, segType, 0, d));
    }
    try {
        d.pDataStrm = new VqDataStream(d.pRawStrm.get());
        if (!d.pDataStrm) VQ_THROW("Allocation failed: new VqDataStream(pRawStrm)", VQ_ERR_ALLOC);
        d.pDataStrm->setByteOrder(_eByteOrder);
        if (!pseudo) {
            uint64_t start = 0;
            d.pDataStrm->getPosition(start);
            d.iData = static_cast<int64_t>(start);
            if (!d.pDataStrm->write(segGuid) || !d.pDataStrm->write(static_cast<int>(segType)) ||
                !d.pDataStrm->write(static_cast<int>(-1)))
                vqThrowRecordedError(__PRETTY_FUNCTION__, "Write failed", VQ_ERR_WRITE);
        }
    } catch (...) {
        VqErrorState::recordCurrentException(kCls, "beginWriteSegment");
        d.pDataStrm.reset();
        if (d.physIndex >= 0)
            _endWriteSegment(d);
        else
            _releaseSegmentMemStream(d.pRawStrm);
        VqErrorState::rethrowError();
        return false;
    }
    os->setByteOrder(_eByteOrder);
    os->setDataStream(d.pDataStrm.get());
    os->setPartition(_pPartition);
    os->setVersion(_iMajorVer, _iMinorVer);
    os->setSegmentType(segType);
    if (auto* lzma = dynamic_cast<VqLzmaSegObjectStream*>(os.get())) lzma->setWriteAlgorithm(_nCompression);
    d.pObjStrm = os;
    {
        VqAutoLockWrite lock(_tSegLock);
        _vOpenSegments.push_back(d);
    }
    out = os;
    return true;
}

bool VqStreamMgr::endWriteSegment(VqObjectStream* pStream) {
    VqSegmentIOData segIOData;
    if (!pStream || !_findOpenSegment(pStream, segIOData))
        VQ_FAIL(kCls, "endWriteSegment", "segIOData.pObjStrm == pStream", VQ_ERR_INTERNAL);
    bool ok = true;
    try {
        if (!pStream->isOpen()) VQ_THROW("pStream->isOpen()", VQ_ERR_INTERNAL);
        if (!releaseSwizzler(pStream)) vqThrowRecordedError(__PRETTY_FUNCTION__, "releaseSwizzler");
        if (segIOData.bWrapped && !(_ptWrapper && pStream->type() == _ptWrapper))
            VQ_THROW("pStream->type() == *_ptWrapper", VQ_ERR_INTERNAL);
        // Detaching makes a wrapping stream compress and emit its data.
        pStream->setDataStream(nullptr);
        VqDataStream* ds = segIOData.pDataStrm.get();
        uint64_t length = 0;
        if (segIOData.iData >= 0) {
            uint64_t endPos = 0;
            ds->getPosition(endPos);
            length = endPos - static_cast<uint64_t>(segIOData.iData);
            if (length > static_cast<uint64_t>(INT_MAX)) VQ_THROW("iSegLength <= INT_MAX", VQ_ERR_WRITE);
            ds->seek(static_cast<uint64_t>(segIOData.iData) + 20);
            if (!ds->write(static_cast<int>(length)))
                vqThrowRecordedError(__PRETTY_FUNCTION__, "Write failed", VQ_ERR_WRITE);
            ds->seek(endPos);
        }
        if (segIOData.physIndex >= 0) {
            _addBytes(segIOData.segType, length);
            segIOData.pDataStrm.reset();
            if (!_endWriteSegment(segIOData)) vqThrowRecordedError(__PRETTY_FUNCTION__, "endWriteSegment");
        } else {
            auto* mem = static_cast<VqMemoryByteStream*>(segIOData.pRawStrm.get());
            const uint64_t memLen = mem->dataLength();
            VqSegmentIOData target;
            target.guid = segIOData.guid;
            target.segType = segIOData.segType;
            if (!_awaitPlacementTurn(segIOData.iPlaceTurn))
                vqThrowRecordedError(__PRETTY_FUNCTION__, "endWriteSegment");
            const bool placed = _beginWriteSegment(segIOData.guid, segIOData.segType, memLen, target);
            // The place is claimed (or the flush is failing): the next turn
            // may claim its own while these bytes are written.
            _passPlacementTurn(segIOData.iPlaceTurn);
            if (!placed) vqThrowRecordedError(__PRETTY_FUNCTION__, "endWriteSegment");
            try {
                uint64_t iStrmOff = 0;
                target.pRawStrm->getPosition(iStrmOff);
                if (!(iStrmOff >= s_HeaderSize)) VQ_THROW("iStrmOff >= 105", VQ_ERR_INTERNAL);
                target.pRawStrm->writeBytes(mem->data(), memLen);
            } catch (...) {
                _endWriteSegment(target);
                throw;
            }
            _addBytes(segIOData.segType, length);
            segIOData.pDataStrm.reset();
            _releaseSegmentMemStream(segIOData.pRawStrm);
            if (!_endWriteSegment(target)) vqThrowRecordedError(__PRETTY_FUNCTION__, "endWriteSegment");
        }
    } catch (...) {
        ok = VqErrorState::recordCurrentException(kCls, "endWriteSegment");
        segIOData.pDataStrm.reset();
        if (segIOData.physIndex >= 0)
            _endWriteSegment(segIOData);
        else if (segIOData.bMemStream)
            _releaseSegmentMemStream(segIOData.pRawStrm);
    }
    if (!ok) VqErrorState::rethrowError();
    return ok;
}

bool VqStreamMgr::_writeOneSegment(VqSegment* segment, int64_t turn) {
    if (VqStreamMgr* source = segment->copySource()) return _writeCopiedSegment(*source, *segment, turn);
    // Pending segments may be written on pool threads: objects that ask which
    // version is being written get this file's, whichever thread asks.
    VqFormatSettings::WriteScope scope(_iMajorVer, _iMinorVer, _nCompression);
    Vq::SharedPtr<VqObjectStream> os;
    VQ_PROPAGATE(_beginWrite(segment->guid(), os, segment->segType(), turn));
    VqAutoEndWriteSegment guard(this, os.get());
    VQ_PROPAGATE(segment->serialize(*os));
    guard.relinquish();
    VQ_PROPAGATE(endWriteSegment(os.get()));
    return true;
}

// The header is this file's (GUID, type, length), the body the source's
// bytes. The segment goes straight to its place in the file, also during a
// parallel flush (once its turn comes): its length is known before it is
// written.
bool VqStreamMgr::_writeCopiedSegment(VqStreamMgr& source, const VqSegment& segment, int64_t turn) {
    std::vector<uint8_t> body;
    VQ_PROPAGATE(source.readSegmentBody(segment.guid(), body));
    const uint64_t length = 24 + static_cast<uint64_t>(body.size());
    if (length > static_cast<uint64_t>(INT_MAX))
        VQ_FAIL(kCls, "_writeCopiedSegment", "iSegLength <= INT_MAX", VQ_ERR_WRITE);
    VqSegmentIOData d;
    d.guid = segment.guid();
    d.segType = segment.segType();
    VQ_PROPAGATE(_awaitPlacementTurn(turn));
    const bool placed = _beginWriteSegment(d.guid, d.segType, length, d);
    _passPlacementTurn(turn);
    VQ_PROPAGATE(placed);
    bool ok = true;
    try {
        d.pDataStrm = new VqDataStream(d.pRawStrm.get());
        if (!d.pDataStrm) VQ_THROW("Allocation failed: new VqDataStream(pRawStrm)", VQ_ERR_ALLOC);
        d.pDataStrm->setByteOrder(_eByteOrder);
        if (!d.pDataStrm->write(d.guid) || !d.pDataStrm->write(static_cast<int>(d.segType)) ||
            !d.pDataStrm->write(static_cast<int>(length)))
            vqThrowRecordedError(__PRETTY_FUNCTION__, "Write failed", VQ_ERR_WRITE);
        if (!body.empty()) d.pDataStrm->writeBytes(body.data(), body.size());
    } catch (...) {
        ok = VqErrorState::recordCurrentException(kCls, "_writeCopiedSegment");
    }
    Vq::SharedPtr<VqStdError> error = ok ? nullptr : VqErrorState::currentError();
    d.pDataStrm.reset();
    if (!_endWriteSegment(d)) return false;
    if (error) {
        VqErrorState::setError(error.get());
        return false;
    }
    _addBytes(d.segType, length);
    return true;
}

// ---------------------------------------------------------------------------------------------------------------
// Placement turns of a parallel flush

void VqStreamMgr::_startPlacementTurns() {
    VqAutoLock lock(_tTurnMutex);
    _nPlaceTurn = 0;
    _bTurnsAbandoned = false;
}

void VqStreamMgr::_endPlacementTurns() {
    VqAutoLock lock(_tTurnMutex);
    _nPlaceTurn = -1;
}

bool VqStreamMgr::_awaitPlacementTurn(int64_t turn) {
    if (turn < 0) return true;
    bool abandoned = false;
    {
        std::unique_lock<VqMutex> lock(_tTurnMutex);
        _tTurnCv.wait(lock, [&] { return _bTurnsAbandoned || _nPlaceTurn == turn || _nPlaceTurn < 0; });
        abandoned = _bTurnsAbandoned || _nPlaceTurn < 0;
    }
    if (abandoned) VQ_FAIL(kCls, "flushSegments", "Another segment of the flush failed", VQ_ERR_WRITE);
    return true;
}

void VqStreamMgr::_passPlacementTurn(int64_t turn) {
    if (turn < 0) return;
    {
        VqAutoLock lock(_tTurnMutex);
        if (_nPlaceTurn == turn) ++_nPlaceTurn;
    }
    _tTurnCv.notify_all();
}

void VqStreamMgr::_abandonPlacementTurns() {
    {
        VqAutoLock lock(_tTurnMutex);
        _bTurnsAbandoned = true;
    }
    _tTurnCv.notify_all();
}
