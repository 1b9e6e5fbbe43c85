#include "VqObjectStream.h"

#include "VqErrorState.h"
#include "VqFactory.h"
#include "VqFormatSettings.h"
#include "VqInBufFVec.h"
#include "VqMutex.h"
#include "VqStdException.h"

#include <algorithm>
#include <atomic>
#include <new>

VQ_IMPLEMENT_TYPE_NOCLONE(VqObjectStream, VqBaseDataStream, CLSID_ZQObjectStream)

namespace {
const char* const kCls = "VqObjectStream";

VqMutex s_poolMutex;
std::vector<VqInBufFVec*> s_vpWriteBufferPool;
} // namespace

VqObjectStream::VqObjectStream(VqDataStream* raw) : _pRaw(raw) {
    VqObjectStream::setByteOrder(s_systemByteOrder());
    // Reading never nests deeper: the stack does not grow while a file is read.
    _vElems.reserve(kMaxElementDepth);
}

VqObjectStream::~VqObjectStream() = default;

VqDataStream* VqObjectStream::_raw(const char* function) const {
    if (!_pRaw) throw Vq::StdException(function, "_pRaw", VQ_ERR_INTERNAL);
    return _pRaw.get();
}

void VqObjectStream::open() {
    VqDataStream* raw = _raw("virtual void VqObjectStream::open()");
    if (!raw->isOpen()) raw->open();
}

void VqObjectStream::close() {
    VqDataStream* raw = _raw("virtual void VqObjectStream::close()");
    if (raw->isOpen()) raw->close();
}

void VqObjectStream::readBytes(VqUChar* buf, VqSize n, VqSize& nRead) {
    _raw("virtual void VqObjectStream::readBytes(VqUChar*, VqSize, VqSize&)")->readBytes(buf, n, nRead);
}

void VqObjectStream::writeBytes(const VqUChar* buf, VqSize n) {
    _raw("virtual void VqObjectStream::writeBytes(const VqUChar*, VqSize)")->writeBytes(buf, n);
}

void VqObjectStream::seek(uint64_t offset) {
    _raw("virtual void VqObjectStream::seek(VqUInt64)")->seek(offset);
}

void VqObjectStream::getPosition(uint64_t& offset) {
    _raw("virtual void VqObjectStream::getPosition(VqUInt64&)")->getPosition(offset);
}

void VqObjectStream::readPrefetch(VqSize n, VqSize& nHint) {
    _raw("virtual void VqObjectStream::readPrefetch(VqSize, VqSize&)")->readPrefetch(n, nHint);
}

bool VqObjectStream::isOpen() const {
    if (!_pRaw) {
        VqErrorState::throwStdError(kCls, "isOpen", "this && _pRaw", VQ_ERR_INTERNAL);
        return false;
    }
    return _pRaw->isOpen();
}

uint64_t VqObjectStream::_readLimit() {
    if (!_pRaw) return 0;
    return std::min(_pRaw->_readLimit(), _elementRemaining());
}

uint64_t VqObjectStream::_elementRemaining() {
    if (_vElems.empty() || !_vElems.back().bRead) return UINT64_MAX;
    uint64_t pos = 0;
    try {
        pos = _position();
    } catch (...) {
        return UINT64_MAX;
    }
    uint64_t end = _vElems.back().nStart + _vElems.back().nLength;
    return end > pos ? end - pos : 0;
}

void VqObjectStream::setByteOrder(ByteOrder order) {
    VqBaseDataStream::setByteOrder(order);
    if (_pRaw) _pRaw->setByteOrder(order);
}

void VqObjectStream::setDataStream(VqDataStream* raw) {
    _pRaw = raw;
    if (_pRaw) _pRaw->setByteOrder(byteOrder());
}

namespace {
std::atomic<const VqObjectStream::PartitionAccess*> s_pPartitionAccess{nullptr};
} // namespace

void VqObjectStream::setPartitionAccess(const PartitionAccess* access) {
    s_pPartitionAccess.store(access, std::memory_order_release);
}

namespace {
// The partition learns, at the end of each outermost element, whether it left data unread.
void noteDataSkipped(VqPartition* partition, bool skipped) {
    const VqObjectStream::PartitionAccess* access = s_pPartitionAccess.load(std::memory_order_acquire);
    if (access) access->setDataSkipped(partition, skipped);
}
} // namespace

void VqObjectStream::_fetchVersion() const {
    const PartitionAccess* access = s_pPartitionAccess.load(std::memory_order_acquire);
    if (access) access->datastoreVersion(_pPartition, _nMajorVersion, _nMinorVersion);
}

bool VqObjectStream::setSwizzler(VqPtrSwizzle* pSwizzler) {
    if (!((_currentSwizzler && !pSwizzler) || (!_currentSwizzler && pSwizzler)))
        VQ_FAIL(kCls, "setSwizzler", "( _currentSwizzler && !pSwizzler) || (!_currentSwizzler && pSwizzler)",
                VQ_ERR_INTERNAL);
    _currentSwizzler = pSwizzler;
    return true;
}

bool VqObjectStream::ptr2num(const void* ptr, int* id) {
    if (id) *id = -1;
    VQ_CHECK(_currentSwizzler, kCls, "ptr2num", VQ_ERR_INTERNAL);
    VQ_PROPAGATE(_currentSwizzler->ptr2num(ptr, id));
    return true;
}

bool VqObjectStream::_ptr2numSlow(const VqBase* obj, int* id) {
    if (id) *id = -1;
    VQ_CHECK(_currentSwizzler, kCls, "ptr2num", VQ_ERR_INTERNAL);
    VQ_PROPAGATE(_currentSwizzler->ptr2num(obj, id));
    return true;
}

bool VqObjectStream::registerPtr(const void* ptr, int id) {
    VQ_CHECK(_currentSwizzler, kCls, "registerPtr", VQ_ERR_INTERNAL);
    VQ_PROPAGATE(_currentSwizzler->registerPtr(ptr, id));
    return true;
}

bool VqObjectStream::_registerPtrSlow(const void* ptr, int id, bool* ok) {
    VQ_CHECK(_currentSwizzler, kCls, "registerPtr", VQ_ERR_INTERNAL);
    VQ_PROPAGATE(_currentSwizzler->registerPtr(ptr, id, ok));
    return true;
}

bool VqObjectStream::_ptrFromNumSlow(int id, const void** slot) {
    VQ_CHECK(_currentSwizzler, kCls, "ptrFromNum", VQ_ERR_INTERNAL);
    return _currentSwizzler->ptrFromNum(id, slot);
}

const void* VqObjectStream::_possiblePtrSlow(int id) {
    if (!_currentSwizzler) {
        VqErrorState::throwStdError(kCls, "possiblePtr", "_currentSwizzler", VQ_ERR_INTERNAL);
        return nullptr;
    }
    return _currentSwizzler->possiblePtr(id);
}

bool VqObjectStream::pointerRegistered(const void* ptr) {
    VQ_CHECK(_currentSwizzler, kCls, "pointerRegistered", VQ_ERR_INTERNAL);
    return _currentSwizzler->pointerRegistered(ptr);
}

bool VqObjectStream::pointerRegistered(const VqBase* obj) {
    VQ_CHECK(_currentSwizzler, kCls, "pointerRegistered", VQ_ERR_INTERNAL);
    return _currentSwizzler->pointerRegistered(obj);
}

bool VqObjectStream::currentReadElement(uint64_t& start, uint32_t& length) const {
    if (_vElems.empty() || !_vElems.back().bRead) return false;
    start = _vElems.back().nStart;
    length = _vElems.back().nLength;
    return true;
}

bool VqObjectStream::beginWrite() {
    try {
        uint64_t pos = 0;
        getPosition(pos);
        _vElems.push_back(OpenElement{pos, 0, false});
        if (!write(int32_t(0))) {
            _vElems.pop_back();
            VqErrorState::rethrowError();
            return false;
        }
    } catch (...) {
        return VqErrorState::recordCurrentException(kCls, "beginWrite");
    }
    return true;
}

bool VqObjectStream::endWrite() {
    if (_vElems.empty()) VQ_FAIL(kCls, "endWrite", "No element is open for writing", VQ_ERR_INTERNAL);
    uint64_t start = _vElems.back().nStart;
    _vElems.pop_back();
    try {
        uint64_t end = 0;
        getPosition(end);
        VQ_CHECK(end >= start + 4 && end - start - 4 <= UINT32_MAX, kCls, "endWrite", VQ_ERR_INTERNAL);
        seek(start);
        if (!write(static_cast<int32_t>(static_cast<uint32_t>(end - start - 4)))) {
            VqErrorState::rethrowError();
            return false;
        }
        seek(end);
    } catch (...) {
        return VqErrorState::recordCurrentException(kCls, "endWrite");
    }
    return true;
}

bool VqObjectStream::beginRead() {
    // Objects that hold objects read them as nested elements, through the
    // same calls: the bound keeps a file from driving the reader's recursion
    // off its stack.
    if (_vElems.size() >= static_cast<size_t>(kMaxElementDepth))
        VQ_FAIL(kCls, "beginRead", "Elements nested too deeply", VQ_ERR_READ);
    uint32_t length = 0;
    VQ_PROPAGATE(read(&length));
    try {
        const uint64_t pos = _position();
        if (_vElems.empty()) {
            _bDataSkipped = false;
            _bNoLengthCheck = false;
        } else if (const OpenElement& outer = _vElems.back();
                   outer.bRead && pos + length > outer.nStart + outer.nLength) {
            VQ_FAIL(kCls, "beginRead", "Nested element runs past the end of the element holding it",
                    VQ_ERR_CORRUPT);
        }
        _vElems.push_back(OpenElement{pos, length, true});
    } catch (...) {
        return VqErrorState::recordCurrentException(kCls, "beginRead");
    }
    return true;
}

bool VqObjectStream::endRead() {
    if (_vElems.empty() || !_vElems.back().bRead)
        VQ_FAIL(kCls, "endRead", "No element is open for reading", VQ_ERR_INTERNAL);
    const uint64_t end = _vElems.back().nStart + _vElems.back().nLength;
    _vElems.pop_back();
    if (_bNoLengthCheck) return true;
    // An object that read its element exactly: one compare, and no call
    // that would make this a full frame unless the outermost element ended.
    if (_bGetBias && end == _nGetBias + reinterpret_cast<uintptr_t>(_pGetCur)) {
        if (_vElems.empty() && _pPartition) noteDataSkipped(_pPartition, _bDataSkipped);
        return true;
    }
    return _endReadAt(end);
}

bool VqObjectStream::_endReadAt(uint64_t end) {
    try {
        if (const uint64_t pos = _position(); end != pos) {
            if (end < pos) VQ_FAIL(kCls, "endRead", "Data block too short", VQ_ERR_CORRUPT);
            // A newer writer added fields that this reader does not know.
            seek(end);
            _bDataSkipped = true;
        }
    } catch (...) {
        return VqErrorState::recordCurrentException(kCls, "endRead");
    }
    if (_vElems.empty() && _pPartition) noteDataSkipped(_pPartition, _bDataSkipped);
    return true;
}

bool VqObjectStream::s_allocWriteBuffer(VqInBufFVec*& buffer) {
    {
        VqAutoLock guard(s_poolMutex);
        if (!s_vpWriteBufferPool.empty()) {
            buffer = s_vpWriteBufferPool.back();
            s_vpWriteBufferPool.pop_back();
            buffer->clear();
            return true;
        }
    }
    buffer = new (std::nothrow) VqInBufFVec();
    if (!buffer)
        VQ_FAIL(kCls, "s_allocWriteBuffer", "Allocation failed: opInBuf = new VqInBufFVec", VQ_ERR_ALLOC);
    return true;
}

void VqObjectStream::s_deallocWriteBuffer(VqInBufFVec* buffer) {
    if (!buffer) return;
    buffer->clear();
    VqAutoLock guard(s_poolMutex);
    s_vpWriteBufferPool.push_back(buffer);
}

void VqObjectStream::s_shrinkWriteBufferPool() {
    std::vector<VqInBufFVec*> pool;
    {
        VqAutoLock guard(s_poolMutex);
        pool.swap(s_vpWriteBufferPool);
    }
    for (VqInBufFVec* b : pool)
        delete b;
}

int VqObjectStream::s_numPooledWriteBuffers() {
    VqAutoLock guard(s_poolMutex);
    return static_cast<int>(s_vpWriteBufferPool.size());
}

void VqObjectStream::fini() {
    s_shrinkWriteBufferPool();
}

// The entry points through which every object writes and reads itself. They
// belong to the stream, which knows the version being read; the object model
// below keeps only the dispatch to the version hooks.
bool VqBase::serialize(VqObjectStream& os) const {
    int major = -1, minor = -1;
    VqFormatSettings::getVersion(major, minor);
    return serializeVersion(os, major, minor);
}

bool VqBase::deserialize(VqObjectStream& os) {
    int major = -1, minor = -1;
    os.getVersion(major, minor);
    try {
        return deserializeVersion(os, major, minor);
    } catch (...) {
        VqErrorState::throwStdError("VqBase", "deserialize", "exception encountered", VQ_ERR_READ);
        return false;
    }
}
