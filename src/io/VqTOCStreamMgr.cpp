#include "VqTOCStreamMgr.h"

#include "VqBuildConfig.h"
#include "VqDataStream.h"
#include "VqErrorState.h"
#include "VqFSStorageLocation.h"
#include "VqFactory.h"
#include "VqFileByteStream.h"
#include "VqFormatSettings.h"
#include "VqPlatform.h"
#include "VqRethrowRecorded.h"
#include "VqRwClientMgr.h"
#include "VqRwStorageLocation.h"
#include "VqStdError.h"
#include "VqThreadPool.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <thread>

VQ_IMPLEMENT_TYPE_NOCLONE(VqTOCStreamMgr, VqStreamMgr, CLSID_ZQTOCStreamMgr)

namespace {
const char* const kCls = "VqTOCStreamMgr";
const char kMarker[5] = {' ', '\n', '\r', '\n', ' '};
constexpr int kMarkerPos = 75;

// "<major>.<minor>" after optional spaces: unsigned decimal numbers that fit
// an int, nothing between them but the point. A sign, a space after the point
// or a number out of range is no version (a scanf conversion would take
// "10.-5" and wrap "4294967305" round to 9).
bool parseVersionNumbers(const char* p, int& major, int& minor) {
    auto number = [&p](int& out) {
        if (*p < '0' || *p > '9') return false;
        long long v = 0;
        for (; *p >= '0' && *p <= '9'; ++p) {
            v = v * 10 + (*p - '0');
            if (v > INT_MAX) return false;
        }
        out = static_cast<int>(v);
        return true;
    };
    while (*p == ' ')
        ++p;
    if (!number(major) || *p != '.') return false;
    ++p;
    return number(minor);
}

} // namespace

// A physical stream and a data stream on it for one header or TOC step;
// the physical stream goes back to the pool on every path.
struct VqTOCPhysAccess {
    explicit VqTOCPhysAccess(VqTOCStreamMgr* m) : mgr(m) {}
    ~VqTOCPhysAccess() {
        ds.reset();
        raw.reset();
        if (index >= 0) mgr->_releasePhysStream(index);
    }
    VqTOCPhysAccess(const VqTOCPhysAccess&) = delete;
    VqTOCPhysAccess& operator=(const VqTOCPhysAccess&) = delete;

    VqTOCStreamMgr* mgr;
    int index = -1;
    Vq::SharedPtr<VqByteStream> raw;
    Vq::SharedPtr<VqDataStream> ds;
};

VqTOCStreamMgr::VqTOCStreamMgr(const VqStorageLocation* loc, bool readOnly) : VqStreamMgr(loc, readOnly) {}

VqTOCStreamMgr::~VqTOCStreamMgr() {
    _closePhysStreams();
}

// ---------------------------------------------------------------------------------------------------------------
// Physical streams

bool VqTOCStreamMgr::_createRawStream(bool readOnly, bool truncate, Vq::SharedPtr<VqByteStream>& out,
                                      int blockNum) {
    out.reset();
    if (blockNum != 0) VQ_FAIL(kCls, "_createRawStream", "iBlockNum == 0", VQ_ERR_ARGUMENT);
    if (const auto* fs = Vq::typeCast<VqFSStorageLocation>(_pLocation.get())) {
        Vq::SharedPtr<VqFileByteStream> file = new VqFileByteStream(fs->fullPath(), readOnly, truncate);
        if (!file)
            VQ_FAIL(kCls, "_createRawStream",
                    "Allocation failed: new VqFileByteStream(path, bReadOnly, bTruncate)", VQ_ERR_ALLOC);
        if (_bPinned) file->pin(_nPinnedDev, _nPinnedIno);
        out = file.get();
        return true;
    }
    if (const auto* rw = Vq::typeCast<VqRwStorageLocation>(_pLocation.get())) {
        VQ_PROPAGATE(VqRwClientMgr::createRawStream(rw, readOnly, truncate, out));
        return true;
    }
    VQ_FAIL(kCls, "_createRawStream", "Unsupported Storage Location", VQ_ERR_ARGUMENT);
}

bool VqTOCStreamMgr::_acquirePhysStream(int& index, Vq::SharedPtr<VqByteStream>& out) {
    index = -1;
    out.reset();
    // Only the stream that writes the header of a new file truncates it.
    bool truncate = false;
    if (!_bReadOnly) {
        VqAutoLockRead tocLock(_tTocLock);
        truncate = _nFileEnd == 0;
    }
    {
        VqAutoLockWrite lock(_tPhysLock);
        int iStreamNum = 0;
        for (; iStreamNum < static_cast<int>(_vpPhysStreams.size()); ++iStreamNum)
            if (!_vbPhysInUse[iStreamNum]) break;
        if (iStreamNum == static_cast<int>(_vpPhysStreams.size())) {
            if (!(iStreamNum < cMaxPhysStreams))
                VQ_FAIL(kCls, "_acquirePhysStream", "iStreamNum < cMaxPhysStreams", VQ_ERR_INTERNAL);
            Vq::SharedPtr<VqByteStream> s;
            VQ_PROPAGATE(_createRawStream(_bReadOnly, truncate, s, 0));
            _vpPhysStreams.push_back(s);
            _vbPhysInUse.push_back(false);
        }
        _vbPhysInUse[iStreamNum] = true;
        index = iStreamNum;
        out = _vpPhysStreams[iStreamNum];
    }
    out->lock();
    try {
        out->open();
    } catch (...) {
        _releasePhysStream(index);
        index = -1;
        out.reset();
        return VqErrorState::recordCurrentException(kCls, "_acquirePhysStream");
    }
    return true;
}

void VqTOCStreamMgr::_releasePhysStream(int index) {
    Vq::SharedPtr<VqByteStream> s;
    {
        VqAutoLockWrite lock(_tPhysLock);
        if (index < 0 || index >= static_cast<int>(_vpPhysStreams.size()) || !_vbPhysInUse[index]) return;
        s = _vpPhysStreams[index];
        _vbPhysInUse[index] = false;
    }
    if (s) s->unlock();
}

bool VqTOCStreamMgr::_closePhysStreams() {
    Vq::SharedPtrVec<VqByteStream> streams;
    {
        VqAutoLockWrite lock(_tPhysLock);
        streams.swap(_vpPhysStreams);
        _vbPhysInUse.clear();
    }
    // Closing hands the buffered bytes to the file: a failure here is a failed write.
    bool ok = true;
    for (auto& s : streams) {
        try {
            s->close();
        } catch (...) {
            ok = VqErrorState::recordCurrentException(kCls, "_closePhysStreams");
        }
    }
    return ok;
}

int VqTOCStreamMgr::numPhysStreams() const {
    VqAutoLockRead lock(_tPhysLock);
    return static_cast<int>(_vpPhysStreams.size());
}

void VqTOCStreamMgr::pinFile(uint64_t dev, uint64_t ino) {
    VqAutoLockWrite lock(_tPhysLock);
    _bPinned = true;
    _nPinnedDev = dev;
    _nPinnedIno = ino;
}

// ---------------------------------------------------------------------------------------------------------------
// The TOC in memory

void VqTOCStreamMgr::createSegment(const VqGUID& guid, uint64_t offset, uint32_t length, int segType) {
    VqTOCElem e;
    e.guid = guid;
    e.offset = offset;
    e.length = length;
    e.setSegType(segType);
    e.setBlockNum(_assignBlkNum(guid));
    _tTOC.registerEntry(e);
}

void VqTOCStreamMgr::registerSegment(const VqTOCElem& elem) {
    _tTOC.registerEntry(elem);
}

bool VqTOCStreamMgr::deleteSegment(const VqGUID& guid) {
    return _tTOC.remove(guid);
}

bool VqTOCStreamMgr::setSegmentLength(const VqGUID& guid, uint32_t length) {
    VqTOCElem* e = _tTOC.find(guid);
    if (!e) return false;
    e->length = length;
    return true;
}

bool VqTOCStreamMgr::guidToSegDescr(const VqGUID& guid, uint64_t& offset, uint32_t& length) const {
    VqAutoLockRead lock(_tTocLock);
    const VqTOCElem* e = _tTOC.find(guid);
    bool bFound = e != nullptr;
    if (!bFound) VQ_FAIL(kCls, "guidToSegDescr", "bFound", VQ_ERR_ARGUMENT);
    offset = e->offset;
    length = e->length;
    return true;
}

VqTOC VqTOCStreamMgr::toc() const {
    VqAutoLockRead lock(_tTocLock);
    return _tTOC;
}

bool VqTOCStreamMgr::_headerSize(int& size) const {
    if (_iMajorVer >= 10)
        size = 109;
    else if (_iMajorVer >= 8)
        size = s_HeaderSize;
    else
        size = 89;
    return true;
}

int64_t VqTOCStreamMgr::tocSize() const {
    const int n = _tTOC.numEntries() + static_cast<int>(_vpPendingSegments.size());
    if (n < 1) return 46;
    if (_iMajorVer < 8) return -1;
    const int entry = _iMajorVer >= 10 ? 32 : 28;
    return int64_t(entry) * n + 4 + (n == 1 ? entry : 0);
}

// ---------------------------------------------------------------------------------------------------------------
// Header

bool VqTOCStreamMgr::readHeader() {
    VqAutoLock lock(_tMgrMutex);
    if (_bHeaderRead) return true;
    VqTOCPhysAccess pa(this);
    VQ_PROPAGATE(_acquirePhysStream(pa.index, pa.raw));
    char text[kVersionTextSize + 1] = {};
    int major = 0, minor = 0;
    bool scrambled = false;
    try {
        pa.raw->seek(0);
        _nFileSize = pa.raw->_readLimit();
        pa.ds = new VqDataStream(pa.raw.get());
        if (!pa.ds) VQ_THROW("Allocation failed: new VqDataStream(pRaw)", VQ_ERR_ALLOC);
        VqSize got = 0;
        pa.ds->readBytes(reinterpret_cast<VqUChar*>(text), kVersionTextSize, got);
        if (got != kVersionTextSize) VQ_THROW("Failed to extract Vq file header", VQ_ERR_READ);
    } catch (const Vq::StdException& e) {
        if (e.code() == VQ_ERR_ALLOC) return VqErrorState::recordCurrentException(kCls, "readHeader");
        VQ_FAIL(kCls, "readHeader", "Failed to extract Vq file header", VQ_ERR_READ);
    } catch (...) {
        return VqErrorState::recordCurrentException(kCls, "readHeader");
    }
    _strVersionText = VqString(text);
    if (text[77] != ' ' && std::memcmp(text + kMarkerPos, kMarker, sizeof kMarker) != 0)
        VQ_FAIL(kCls, "readHeader", "VQ file corrupted by CR/LF conversion", VQ_ERR_CRLF);
    if (std::strncmp(text, "Version", 7) != 0) {
        if (std::strncmp(text, "Invalid", 7) == 0)
            VQ_FAIL(kCls, "readHeader", "VQ file not finalized or closed properly", VQ_ERR_READ);
        VQ_FAIL(kCls, "readHeader", "Cannot parse file header", VQ_ERR_CORRUPT);
    }
    scrambled = std::strncmp(text + 8, "Scrambled", 9) == 0;
    if (!parseVersionNumbers(text + (scrambled ? 17 : 7), major, minor))
        VQ_FAIL(kCls, "readHeader", "Failed to extract version number", VQ_ERR_READ);

    int maxMajor = 0, maxMinor = 0;
    VqFormatSettings::getMaxReadVersion(maxMajor, maxMinor);
    if (major > maxMajor && major != 99)
        VQ_FAIL(kCls, "readHeader", "File version is newer than current version", VQ_ERR_TOO_NEW);
    if (major < 6) VQ_FAIL(kCls, "readHeader", "File version is too old.", VQ_ERR_TOO_OLD);
    if (scrambled && (major < 9 || (major == 9 && minor < 5)))
        VQ_FAIL(kCls, "readHeader", "Scrambled file version is too old.", VQ_ERR_TOO_OLD);
    // The maximum's minor bounds the minors of its own major only: a file of an
    // older major keeps its minor, which selects its layouts.
    if (major == maxMajor && minor > maxMinor) minor = maxMinor;

    unsigned char order = 0;
    if (!pa.ds->read(&order)) VQ_FAIL(kCls, "readHeader", "Failed to extract byte order", VQ_ERR_READ);
    if (order >= 2) VQ_FAIL(kCls, "readHeader", "Invalid byte order", VQ_ERR_READ);
    pa.ds->setByteOrder(static_cast<VqByteOrder>(order));
    int crypto = 0;
    if (!pa.ds->read(&crypto)) VQ_FAIL(kCls, "readHeader", "Unexpected read failure", VQ_ERR_READ);
    if (scrambled) {
        // The scrambling layer is not part of this library: such files are recognised and refused.
        if (crypto == 1)
            VQ_FAIL(kCls, "readHeader", "Scrambled VQ files are not supported by this library", VQ_ERR_READ);
        VQ_FAIL(kCls, "readHeader", "Unexpected scrambler version", VQ_ERR_READ);
    }
    // A plain file names no scrambler: any value would have its data read
    // through a layer it was not written for.
    if (crypto != 0) VQ_FAIL(kCls, "readHeader", "Unexpected scrambler version", VQ_ERR_READ);
    int64_t tocOffset = -1;
    if (major <= 9) {
        int off32 = 0;
        if (!pa.ds->read(&off32)) VQ_FAIL(kCls, "readHeader", "Failed to extract TOC offset", VQ_ERR_READ);
        tocOffset = off32;
    } else {
        unsigned long off64 = 0;
        if (!pa.ds->read(&off64)) VQ_FAIL(kCls, "readHeader", "Failed to extract TOC offset", VQ_ERR_READ);
        tocOffset = off64 > static_cast<unsigned long>(INT64_MAX) ? -1 : static_cast<int64_t>(off64);
    }
    VqGUID lsg = OldLsgSegGuid;
    if (major >= 8 && !pa.ds->read(lsg))
        VQ_FAIL(kCls, "readHeader", "Failed to extract LSG segment GUID", VQ_ERR_READ);

    _iMajorVer = major;
    _iMinorVer = minor;
    _eByteOrder = static_cast<VqByteOrder>(order);
    _nCryptoMethod = crypto;
    _nTocOffset = tocOffset;
    _tLsgGuid = lsg;
    _bHeaderRead = true;
    return true;
}

bool VqTOCStreamMgr::writeHeader() {
    VqAutoLock lock(_tMgrMutex);
    VQ_CHECK(_pPartition, kCls, "writeHeader", VQ_ERR_INTERNAL);
    VQ_CHECK(!_bReadOnly, kCls, "writeHeader", VQ_ERR_INTERNAL);
    VQ_CHECK(_eByteOrder == LsbFirst || _eByteOrder == MsbFirst, kCls, "writeHeader", VQ_ERR_INTERNAL);
    if (_iMajorVer < 0) VQ_PROPAGATE(setPartition(_pPartition));
    if (_nCryptoMethod == 1) {
        if (_iMajorVer < 9 || (_iMajorVer == 9 && _iMinorVer < 5))
            VQ_FAIL(kCls, "writeHeader", "VQ version does not support scrambling.", VQ_ERR_SCRAMBLE);
        VQ_FAIL(kCls, "writeHeader", "Scrambled VQ files are not supported by this library", VQ_ERR_SCRAMBLE);
    }
    if (_nCryptoMethod >= 2) VQ_FAIL(kCls, "writeHeader", "Unexpected scrambler version", VQ_ERR_READ);

    char text[kVersionTextSize];
    std::memset(text, ' ', sizeof text);
    char head[kVersionTextSize];
    int n = std::snprintf(head, sizeof head, "Invalid %d.%d VQ  ZQ %d.%d.%d.%d", _iMajorVer, _iMinorVer,
                          VQ_VERSION_MAJOR, VQ_VERSION_MINOR, VQ_VERSION_PATCH, 0);
    std::memcpy(text, head, std::min(n, kMarkerPos));
    std::memcpy(text + kMarkerPos, kMarker, sizeof kMarker);

    VqTOCPhysAccess pa(this);
    VQ_PROPAGATE(_acquirePhysStream(pa.index, pa.raw));
    try {
        pa.raw->seek(0);
        pa.ds = new VqDataStream(pa.raw.get());
        if (!pa.ds) VQ_THROW("Allocation failed: new VqDataStream(pRaw)", VQ_ERR_ALLOC);
        pa.ds->setByteOrder(_eByteOrder);
        pa.ds->writeBytes(reinterpret_cast<const VqUChar*>(text), sizeof text);
        bool ok = pa.ds->write(static_cast<unsigned char>(_eByteOrder)) && pa.ds->write(_nCryptoMethod);
        uint64_t pos = 0;
        pa.ds->getPosition(pos);
        _nTocOffsetFieldPos = static_cast<int64_t>(pos);
        if (_iMajorVer <= 9)
            ok = ok && pa.ds->write(static_cast<int>(-1));
        else
            ok = ok && pa.ds->write(static_cast<unsigned long>(0));
        if (_iMajorVer >= 8) {
            pa.ds->getPosition(pos);
            _nLsgGuidFieldPos = static_cast<int64_t>(pos);
            ok = ok && pa.ds->write(_tLsgGuid);
        }
        if (!ok) vqThrowRecordedError(__PRETTY_FUNCTION__, "Write failed", VQ_ERR_WRITE);
        pa.ds->getPosition(pos);
        VqAutoLockWrite tocLock(_tTocLock);
        _nFileEnd = std::max<int64_t>(_nFileEnd, static_cast<int64_t>(pos));
    } catch (...) {
        return VqErrorState::recordCurrentException(kCls, "writeHeader");
    }
    return true;
}

bool VqTOCStreamMgr::activateHeader() {
    VqAutoLock lock(_tMgrMutex);
    VqTOCPhysAccess pa(this);
    VQ_PROPAGATE(_acquirePhysStream(pa.index, pa.raw));
    try {
        pa.ds = new VqDataStream(pa.raw.get());
        if (!pa.ds) VQ_THROW("Allocation failed: new VqDataStream(pRaw)", VQ_ERR_ALLOC);
        pa.ds->setByteOrder(_eByteOrder);
        pa.ds->seek(0);
        pa.ds->writeBytes(reinterpret_cast<const VqUChar*>("Version"), 7);
        pa.ds->seek(static_cast<uint64_t>(_nTocOffsetFieldPos));
        bool ok = true;
        if (_iMajorVer <= 9) {
            if (_nTocOffset > INT_MAX) VQ_THROW("iTocOffset <= INT_MAX", VQ_ERR_WRITE);
            ok = pa.ds->write(static_cast<int>(_nTocOffset));
        } else {
            ok = pa.ds->write(static_cast<unsigned long>(_nTocOffset));
        }
        if (ok && _iMajorVer >= 8) {
            pa.ds->seek(static_cast<uint64_t>(_nLsgGuidFieldPos));
            ok = pa.ds->write(_tLsgGuid);
        }
        if (!ok) vqThrowRecordedError(__PRETTY_FUNCTION__, "Write failed", VQ_ERR_WRITE);
        uint64_t end = static_cast<uint64_t>(_nFileEnd);
        pa.ds->seek(end);
    } catch (...) {
        return VqErrorState::recordCurrentException(kCls, "activateHeader");
    }
    return true;
}

// ---------------------------------------------------------------------------------------------------------------
// TOC

bool VqTOCStreamMgr::readTOC() {
    VqAutoLock lock(_tMgrMutex);
    int headerSize = 0;
    _headerSize(headerSize);
    if (_nTocOffset < headerSize || static_cast<uint64_t>(_nTocOffset) + 4 > _nFileSize)
        VQ_FAIL(kCls, "readTOC", "TOC offset lies outside the file", VQ_ERR_READ);
    VqTOCPhysAccess pa(this);
    VQ_PROPAGATE(_acquirePhysStream(pa.index, pa.raw));
    VqTOC toc;
    try {
        pa.raw->seek(static_cast<uint64_t>(_nTocOffset));
        pa.ds = new VqDataStream(pa.raw.get());
        if (!pa.ds) VQ_THROW("Allocation failed: new VqDataStream(pRaw)", VQ_ERR_ALLOC);
        pa.ds->setByteOrder(_eByteOrder);
        const bool wide = _iMajorVer >= 10;
        const uint64_t available = _nFileSize - static_cast<uint64_t>(_nTocOffset) - 4;
        int iNumEntries = 0;
        if (!pa.ds->read(&iNumEntries)) VQ_THROW("Unexpected read failure", VQ_ERR_READ);
        if (iNumEntries < 0) VQ_THROW("iNumEntries >= 0", VQ_ERR_READ);
        if (iNumEntries == 1) {
            // The legacy form: one key naming the whole scene graph and its offset.
            VqString key;
            if (!pa.ds->read(key))
                vqThrowRecordedError(__PRETTY_FUNCTION__, "Unexpected read failure", VQ_ERR_READ);
            if (key != VqString("LogicalSceneGraph"))
                VQ_THROW("Invalid legacy table of contents", VQ_ERR_READ);
            uint64_t offset = 0;
            if (wide) {
                unsigned long off = 0;
                if (!pa.ds->read(&off)) VQ_THROW("Unexpected read failure", VQ_ERR_READ);
                offset = off;
            } else {
                int off = 0;
                if (!pa.ds->read(&off)) VQ_THROW("Unexpected read failure", VQ_ERR_READ);
                offset = off < 0 ? 0 : static_cast<uint64_t>(off);
            }
            if (!(offset > 84) || offset >= _nFileSize)
                VQ_THROW("iOffset > 84 && iOffset < iFileSize", VQ_ERR_READ);
            VqTOCElem e;
            e.guid = OldLsgSegGuid;
            e.offset = offset;
            toc.registerEntry(e);
        } else {
            const uint64_t entrySize = wide ? 32 : 28;
            if (uint64_t(iNumEntries) * entrySize > available)
                VQ_THROW("iNumEntries * iEntrySize <= iFileSize - iTocOffset", VQ_ERR_READ);
            for (int i = 0; i < iNumEntries; ++i) {
                VqTOCElem e;
                bool ok = pa.ds->read(e.guid);
                if (wide) {
                    unsigned long off = 0;
                    ok = ok && pa.ds->read(&off);
                    e.offset = off;
                } else {
                    int off = 0;
                    ok = ok && pa.ds->read(&off);
                    // Offsets of the 32-bit form are signed; a negative one cannot be in the file.
                    e.offset = off < 0 ? UINT64_MAX : static_cast<uint64_t>(off);
                }
                ok = ok && pa.ds->read(&e.length) && pa.ds->read(&e.attributes);
                if (!ok) VQ_THROW("Unexpected read failure", VQ_ERR_READ);
                if (e.offset < static_cast<uint64_t>(headerSize) || e.offset > _nFileSize ||
                    e.length > _nFileSize - e.offset)
                    VQ_THROW("TOC entry points outside the file", VQ_ERR_READ);
                toc.registerEntry(e);
            }
            if (toc.numEntries() == 2) toc.remove(PropSegGuid);
        }
    } catch (...) {
        return VqErrorState::recordCurrentException(kCls, "readTOC");
    }
    VqAutoLockWrite tocLock(_tTocLock);
    _tTOC = toc;
    return true;
}

bool VqTOCStreamMgr::computTOCPosition() {
    VqAutoLock lock(_tMgrMutex);
    int64_t size = tocSize();
    if (size < 0) VQ_FAIL(kCls, "computTOCPosition", "iMajor >= 8", VQ_ERR_INTERNAL);
    if (_nFlushedSegments == 0 && _iMajorVer >= 8) {
        VqAutoLockWrite tocLock(_tTocLock);
        _nTocOffset = _nFileEnd;
        _nFileEnd += size;
    }
    {
        VqAutoLock countLock(_tCountMutex);
        _aBytesWritten[VQSEG_TOC] = static_cast<uint64_t>(size);
    }
    return true;
}

bool VqTOCStreamMgr::writeTOC() {
    VqAutoLock lock(_tMgrMutex);
    if (_nTocOffset < 0) _nTocOffset = _nFileEnd;
    const int64_t iTocSize = tocSize();
    if (iTocSize < 0) VQ_FAIL(kCls, "writeTOC", "iMajor >= 8", VQ_ERR_INTERNAL);
    std::vector<VqTOCElem> entries;
    {
        VqAutoLockRead tocLock(_tTocLock);
        entries = _tTOC.entriesByOffset();
    }
    // A count of 1 would read as the legacy form: a single entry gets a padding copy.
    if (entries.size() == 1) {
        VqTOCElem pad = entries[0];
        pad.guid = PropSegGuid;
        entries.push_back(pad);
    }
    VqTOCPhysAccess pa(this);
    VQ_PROPAGATE(_acquirePhysStream(pa.index, pa.raw));
    uint64_t iStartPos = static_cast<uint64_t>(_nTocOffset), iEndPos = 0;
    try {
        pa.raw->seek(iStartPos);
        pa.ds = new VqDataStream(pa.raw.get());
        if (!pa.ds) VQ_THROW("Allocation failed: new VqDataStream(pRaw)", VQ_ERR_ALLOC);
        pa.ds->setByteOrder(_eByteOrder);
        bool ok = true;
        if (entries.empty()) {
            // The legacy form: one key naming the scene graph's block.
            if (!(_nLegacyBlockOffset > 84)) VQ_THROW("iOffset > 84", VQ_ERR_INTERNAL);
            ok = pa.ds->write(static_cast<int>(1)) && pa.ds->write(VqString("LogicalSceneGraph"));
            if (_iMajorVer >= 10)
                ok = ok && pa.ds->write(static_cast<unsigned long>(_nLegacyBlockOffset));
            else
                ok = ok && pa.ds->write(static_cast<int>(_nLegacyBlockOffset));
        } else {
            ok = pa.ds->write(static_cast<int>(entries.size()));
        }
        for (const VqTOCElem& e : entries) {
            ok = ok && pa.ds->write(e.guid);
            if (_iMajorVer >= 10) {
                ok = ok && pa.ds->write(static_cast<unsigned long>(e.offset));
            } else {
                if (e.offset > static_cast<uint64_t>(INT_MAX))
                    VQ_THROW("iSegOffset <= INT_MAX", VQ_ERR_WRITE);
                ok = ok && pa.ds->write(static_cast<int>(e.offset));
            }
            ok = ok && pa.ds->write(e.length) && pa.ds->write(e.attributes);
        }
        if (!ok) vqThrowRecordedError(__PRETTY_FUNCTION__, "Write failed", VQ_ERR_WRITE);
        pa.ds->getPosition(iEndPos);
    } catch (...) {
        return VqErrorState::recordCurrentException(kCls, "writeTOC");
    }
    if (!(iTocSize == static_cast<int64_t>(iEndPos - iStartPos)))
        VQ_FAIL(kCls, "writeTOC", "iTocSize == iEndPos - iStartPos", VQ_ERR_INTERNAL);
    VqAutoLockWrite tocLock(_tTocLock);
    if (_iMajorVer < 8)
        _nFileEnd = static_cast<int64_t>(iEndPos);
    else
        _nFileEnd = std::max<int64_t>(_nFileEnd, static_cast<int64_t>(iEndPos));
    return true;
}

// ---------------------------------------------------------------------------------------------------------------
// Open and close

bool VqTOCStreamMgr::_open() {
    if (_bReadOnly) {
        if (!_bHeaderRead) VQ_PROPAGATE(readHeader());
        VQ_PROPAGATE(readTOC());
        return true;
    }
    {
        VqAutoLockWrite tocLock(_tTocLock);
        _nFileEnd = 0;
        _nFileSize = 0;
        _nTocOffset = -1;
        _tTOC.clear();
    }
    VQ_PROPAGATE(writeHeader());
    return true;
}

bool VqTOCStreamMgr::_close() {
    if (_bReadOnly || !_pPartition || refCount() == 0) {
        _closePhysStreams();
        return true;
    }
    // Every segment and the TOC reach the disk before the header declares the
    // file finished; a failure on the way leaves the "Invalid" text in place.
    bool ok = computTOCPosition() && flushSegments() && writeTOC() && _closePhysStreams() &&
              activateHeader() && _closePhysStreams();
    if (!ok) {
        // Closing streams after a failed write mostly fails the same way
        // again; the first failure is the one to report.
        Vq::SharedPtr<VqStdError> first = VqErrorState::currentError();
        _invalidatePersistedState();
        _closePhysStreams();
        if (first) VqErrorState::setError(first.get());
        return false;
    }
    return true;
}

void VqTOCStreamMgr::_abort() {
    _closePhysStreams();
}

// ---------------------------------------------------------------------------------------------------------------
// Segments

bool VqTOCStreamMgr::findSegment(const VqGUID& guid, VqTOCElem& out) const {
    VqAutoLockRead lock(_tTocLock);
    const VqTOCElem* e = _tTOC.find(guid);
    if (!e) return false;
    out = *e;
    return true;
}

bool VqTOCStreamMgr::_beginReadSegment(const VqGUID& guid, VqSegmentIOData& d, uint64_t& extent) {
    uint64_t offset = 0;
    uint32_t length = 0;
    VqGUID look = guid;
    int segType = 0;
    if (guid == RawSegGuid) {
        segType = VQSEG_HEADER;
    } else if (guid == TocSegGuid) {
        offset = static_cast<uint64_t>(_nTocOffset);
        segType = VQSEG_TOC;
    } else {
        if (guid == LsgSegGuid || guid == OldLsgSegGuid) look = _tLsgGuid;
        VqAutoLockRead lock(_tTocLock);
        const VqTOCElem* e = _tTOC.find(look);
        bool bFound = e != nullptr;
        if (!bFound) VQ_FAIL(kCls, "_beginReadSegment", "bFound", VQ_ERR_ARGUMENT);
        offset = e->offset;
        length = e->length;
        segType = e->segType();
    }
    d.guid = look;
    d.segType = segType;
    VQ_PROPAGATE(_acquirePhysStream(d.physIndex, d.pRawStrm));
    const bool hasSegHeader = _iMajorVer >= 8 && !_isPseudoSegment(look);
    bool headerOk = true;
    try {
        d.pRawStrm->seek(offset);
        VqSize hint = 0;
        d.pRawStrm->readPrefetch(length, hint);
        d.pDataStrm = new VqDataStream(d.pRawStrm.get());
        if (!d.pDataStrm) VQ_THROW("Allocation failed: new VqDataStream(pRaw)", VQ_ERR_ALLOC);
        d.pDataStrm->setByteOrder(_eByteOrder);
        extent = length ? length : UINT64_MAX;
        if (hasSegHeader) {
            VqGUID g;
            int type = 0, segLen = 0;
            headerOk = d.pDataStrm->read(g) && d.pDataStrm->read(&type) && d.pDataStrm->read(&segLen);
            headerOk = headerOk && g == look && segLen >= 24 && static_cast<uint32_t>(segLen) <= length;
            if (headerOk) {
                d.iData = segLen;
                d.segType = type;
                extent = static_cast<uint64_t>(segLen) - 24;
                // Segments stored without a wrapping stream (shape data from
                // format 8 on) have no framing of their own to stop a reader:
                // the segment's end is the end of its data, so that damaged
                // or hostile contents cannot read on into the next segment.
                d.pDataStrm->setReadEnd(offset + static_cast<uint64_t>(segLen));
            }
        }
    } catch (...) {
        VqErrorState::recordCurrentException(kCls, "_beginReadSegment");
        _endReadSegment(d);
        VqErrorState::rethrowError();
        return false;
    }
    if (!headerOk) {
        _endReadSegment(d);
        VQ_FAIL(kCls, "_beginReadSegment", "Invalid segment header", VQ_ERR_READ);
    }
    return true;
}

bool VqTOCStreamMgr::_endReadSegment(VqSegmentIOData& d) {
    d.pDataStrm.reset();
    d.pRawStrm.reset();
    if (d.physIndex >= 0) _releasePhysStream(d.physIndex);
    d.physIndex = -1;
    return true;
}

bool VqTOCStreamMgr::setLegacyGraphOffset(uint64_t offset) {
    VqAutoLockWrite lock(_tTocLock);
    if (_nLegacyBlockOffset < 0 || offset < uint64_t(_nLegacyBlockOffset) || offset > uint64_t(INT32_MAX))
        VQ_FAIL(kCls, "setLegacyGraphOffset", "iOffset >= _nLegacyBlockOffset", VQ_ERR_INTERNAL);
    _nLegacyBlockOffset = int64_t(offset);
    return true;
}

bool VqTOCStreamMgr::_beginWriteSegment(const VqGUID& guid, int segType, uint64_t reserve,
                                        VqSegmentIOData& d) {
    if (reserve > UINT32_MAX) VQ_FAIL(kCls, "_beginWriteSegment", "iSegLength <= UINT32_MAX", VQ_ERR_WRITE);
    VQ_PROPAGATE(_acquirePhysStream(d.physIndex, d.pRawStrm));
    uint64_t offset = 0;
    if (guid == TocSegGuid) {
        VqAutoLockRead lock(_tTocLock);
        offset = static_cast<uint64_t>(_nTocOffset >= 0 ? _nTocOffset : _nFileEnd);
    } else if (guid == RawSegGuid) {
        // The legacy block of formats 6 and 7 follows the header; the TOC's legacy form names it.
        VqAutoLockWrite lock(_tTocLock);
        offset = static_cast<uint64_t>(_nFileEnd);
        _nLegacyBlockOffset = _nFileEnd;
    } else {
        VqAutoLockWrite lock(_tTocLock);
        offset = static_cast<uint64_t>(_nFileEnd);
        _nFileEnd += static_cast<int64_t>(reserve);
        createSegment(guid, offset, static_cast<uint32_t>(reserve), segType);
    }
    try {
        d.pRawStrm->seek(offset);
    } catch (...) {
        VqErrorState::recordCurrentException(kCls, "_beginWriteSegment");
        _endReadSegment(d);
        VqErrorState::rethrowError();
        return false;
    }
    return true;
}

bool VqTOCStreamMgr::_endWriteSegment(VqSegmentIOData& d) {
    if (d.physIndex < 0) return true;
    uint64_t endPos = 0;
    bool ok = true;
    try {
        d.pRawStrm->getPosition(endPos);
    } catch (...) {
        ok = VqErrorState::recordCurrentException(kCls, "_endWriteSegment");
    }
    _endReadSegment(d);
    if (!ok) return false;
    VqAutoLockWrite lock(_tTocLock);
    if (!_isPseudoSegment(d.guid)) {
        VqTOCElem* e = _tTOC.find(d.guid);
        if (e && endPos >= e->offset) {
            if (endPos - e->offset > UINT32_MAX)
                VQ_FAIL(kCls, "_endWriteSegment", "iSegLength <= UINT32_MAX", VQ_ERR_WRITE);
            e->length = static_cast<uint32_t>(endPos - e->offset);
        }
    }
    _nFileEnd = std::max<int64_t>(_nFileEnd, static_cast<int64_t>(endPos));
    return true;
}

// ---------------------------------------------------------------------------------------------------------------
// Flushing pending segments

struct VqFlushWorker {
    VqTOCStreamMgr* mgr;
    std::vector<VqSegment*>* segments;
    std::atomic<size_t> next{0};
    std::vector<char> bRes;
    // The error each worker met, and the worker that failed first.
    std::vector<Vq::SharedPtr<VqStdError>> errors;
    std::atomic<int> firstFailure{-1};

    static void work(unsigned, unsigned threadIndex, void* data) {
        auto* self = static_cast<VqFlushWorker*>(data);
        if (threadIndex >= self->bRes.size()) return;
        // After a failure the file is given up: the others stop writing too.
        while (self->firstFailure.load() < 0) {
            size_t i = self->next.fetch_add(1);
            if (i >= self->segments->size()) break;
            if (!self->mgr->_writeOneSegment((*self->segments)[i], static_cast<int64_t>(i))) {
                self->bRes[threadIndex] = 0;
                self->errors[threadIndex] = VqErrorState::currentError();
                int none = -1;
                self->firstFailure.compare_exchange_strong(none, static_cast<int>(threadIndex));
                // A later segment waiting for this one's turn would wait forever.
                self->mgr->_abandonPlacementTurns();
                break;
            }
        }
    }
};

bool VqTOCStreamMgr::_writeSegmentsParallel(std::vector<VqSegment*>& segments, int nThreads) {
    Vq::ThreadPool* pool = g_pInstanceVqPlatform ? g_pInstanceVqPlatform->threadPool() : nullptr;
    VqFlushWorker worker;
    worker.mgr = this;
    worker.segments = &segments;
    worker.bRes.assign(static_cast<size_t>(nThreads), 1);
    worker.errors.resize(static_cast<size_t>(nThreads));
    if (!pool) {
        VqFlushWorker::work(1, 0, &worker);
    } else {
        Vq::ThreadPool::Task task;
        task.pfWorkFunction = &VqFlushWorker::work;
        task.pData = &worker;
        task.nMinThreads = 1;
        task.nMaxThreads = static_cast<int16_t>(nThreads);
        VQ_PROPAGATE(pool->addTask(&task));
        VQ_PROPAGATE(pool->joinTask(&task));
    }
    bool allOk = std::all_of(worker.bRes.begin(), worker.bRes.end(), [](char r) { return r != 0; });
    if (allOk) return true;
    // The first worker's failure is the cause to report; the task's own
    // text stands for a failure that left no error.
    const int first = worker.firstFailure.load();
    if (first >= 0 && worker.errors[static_cast<size_t>(first)]) {
        VqErrorState::setError(worker.errors[static_cast<size_t>(first)].get());
        return false;
    }
    VQ_FAIL(kCls, "flushSegments", "paTOCMgrSC[0].bRes == true", VQ_ERR_INTERNAL);
}

bool VqTOCStreamMgr::flushSegments() {
    if (_vpPendingSegments.empty()) return true;
    if (_iMajorVer < 8) VQ_FAIL(kCls, "flushSegments", "iMajor >= 8", VQ_ERR_INTERNAL);
    std::vector<VqSegment*> segments;
    segments.reserve(_vpPendingSegments.size());
    for (const auto& s : _vpPendingSegments)
        segments.push_back(s.get());
    // Segments of one rank keep the order they were added in (the graph's
    // walk order), whatever the sort algorithm of the library at hand.
    std::stable_sort(segments.begin(), segments.end(),
                     [](const VqSegment* a, const VqSegment* b) { return a->rank() < b->rank(); });

    int nThreads = s_maxFlushThreads;
    if (nThreads <= 0) {
        nThreads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
        if (g_pInstanceVqPlatform)
            nThreads = std::min(nThreads, std::max(1, g_pInstanceVqPlatform->maxTaskThreads()));
    }
    nThreads = std::min<int>(nThreads, static_cast<int>(segments.size()));

    if (nThreads < 2) {
        for (VqSegment* s : segments)
            VQ_PROPAGATE(_writeOneSegment(s));
    } else {
        size_t first = 0;
        if (segments[0]->segType() == VQSEG_LSG) {
            VQ_PROPAGATE(_writeOneSegment(segments[0]));
            first = 1;
        }
        std::vector<VqSegment*> rest(segments.begin() + static_cast<std::ptrdiff_t>(first), segments.end());
        _bMemoryMode = true;
        _startPlacementTurns();
        bool ok = _writeSegmentsParallel(rest, nThreads);
        _endPlacementTurns();
        _bMemoryMode = false;
        VQ_PROPAGATE(ok);
    }
    _nFlushedSegments += static_cast<int>(segments.size());
    _vpPendingSegments.clear();
    return true;
}
