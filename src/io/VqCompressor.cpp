#include "VqCompressor.h"

#include "VqCompressorImpl.h"
#include "VqErrorState.h"
#include "VqMutex.h"
#include "VqPlatform.h"
#include "VqStdException.h"

#include <new>
#include <vector>

namespace {
VqMutex* s_pPoolMutex = nullptr;
std::vector<VqCompressor*>* s_pPool = nullptr;
} // namespace

VqCompressor::VqCompressor() = default;

VqCompressor::~VqCompressor() {
    shrinkAllocation();
    delete _pImpl;
}

bool VqCompressor::setAlgorithm(int algorithm) {
    if (algorithm < VQCOMPRESSOR_ALGORITHM_NONE || algorithm > VQCOMPRESSOR_ALGORITHM_LZMA)
        VQ_FAIL("VqCompressor", "setAlgorithm", "Invalid compression algorithm", VQ_ERR_ARGUMENT);
    _eAlgorithm = static_cast<VqCompressionType>(algorithm);
    return true;
}

void VqCompressor::reset() {
    if (_pImpl) _pImpl->reset();
}

VqCompressorImpl* VqCompressor::_impl() {
    if (_pImpl && _eImplAlgorithm == _eAlgorithm) return _pImpl;
    delete _pImpl;
    _pImpl = nullptr;
    _eImplAlgorithm = VQCOMPRESSOR_ALGORITHM_INVALID;
    switch (_eAlgorithm) {
    case VQCOMPRESSOR_ALGORITHM_NONE:
        _pImpl = new VqCINoCompression();
        if (!_pImpl) VQ_THROW("Allocation failed: _pImpl = new VqCINoCompression()", VQ_ERR_ALLOC);
        break;
    case VQCOMPRESSOR_ALGORITHM_ZLIB:
        _pImpl = new VqCIZLib();
        if (!_pImpl) VQ_THROW("Allocation failed: _pImpl = new VqCIZLib()", VQ_ERR_ALLOC);
        break;
    case VQCOMPRESSOR_ALGORITHM_LZMA:
        _pImpl = new VqCILzma();
        if (!_pImpl) VQ_THROW("Allocation failed: _pImpl = new VqCILzma()", VQ_ERR_ALLOC);
        break;
    default:
        VQ_THROW("Invalid compression algorithm", VQ_ERR_ARGUMENT);
    }
    _eImplAlgorithm = _eAlgorithm;
    return _pImpl;
}

void VqCompressor::beginCompress() {
    _impl()->beginCompress();
}

bool VqCompressor::doCompress(const VqUChar*& nextIn, VqSize& availIn, VqUChar*& nextOut, VqSize& availOut) {
    return _impl()->doCompress(nextIn, availIn, nextOut, availOut);
}

void VqCompressor::endCompress() {
    _impl()->endCompress();
}

void VqCompressor::beginUncompress() {
    _impl()->beginUncompress();
}

bool VqCompressor::doUncompress(const VqUChar*& nextIn, VqSize& availIn, VqUChar*& nextOut,
                                VqSize& availOut) {
    return _impl()->doUncompress(nextIn, availIn, nextOut, availOut);
}

void VqCompressor::endUncompress() {
    _impl()->endUncompress();
}

void VqCompressor::_ensureOutput(VqSize size) {
    if (size <= _nOutCapacity) return;
    VqPlatform* platform = g_pInstanceVqPlatform;
    VqUChar* buf = platform ? static_cast<VqUChar*>(platform->alloc(size)) : nullptr;
    if (!buf) VQ_THROW("Allocation failed: _pOutBuffer = alloc(size)", VQ_ERR_ALLOC);
    shrinkAllocation();
    _pOutBuffer = buf;
    _nOutCapacity = size;
    platform->addToMemory(size);
}

void VqCompressor::shrinkAllocation() {
    if (!_pOutBuffer) return;
    g_pInstanceVqPlatform->dealloc(_pOutBuffer);
    g_pInstanceVqPlatform->removeFromMemory(_nOutCapacity);
    _pOutBuffer = nullptr;
    _nOutCapacity = 0;
}

bool VqCompressor::compress(const VqUChar* in, VqSize inLen, const VqUChar*& out, VqSize& outLen) {
    out = nullptr;
    outLen = 0;
    try {
        VqCompressorImpl* impl = _impl();
        VqSize size = inLen > 0 ? inLen : 1;
        for (;;) {
            _ensureOutput(size + 1);
            VqSize n = 0;
            impl->compress(in, inLen, _pOutBuffer + 1, _nOutCapacity - 1, n);
            if (n != VqCompressorImpl::kTooSmall) {
                _pOutBuffer[0] = static_cast<VqUChar>(_eAlgorithm);
                out = _pOutBuffer;
                outLen = n + 1;
                return true;
            }
            if (size > (VqSize(1) << 62)) VQ_THROW("Allocation failed: output buffer", VQ_ERR_ALLOC);
            size *= 2;
        }
    } catch (...) {
        return VqErrorState::recordCurrentException("VqCompressor", "compress");
    }
}

bool VqCompressor::uncompress(const VqUChar* in, VqSize inLen, const VqUChar*& out, VqSize& outLen) {
    out = nullptr;
    outLen = 0;
    VQ_CHECK(in != nullptr && inLen > 0, "VqCompressor", "uncompress", VQ_ERR_ARGUMENT);
    VqCompressionType previous = _eAlgorithm;
    VQ_PROPAGATE(setAlgorithm(in[0]));
    bool ok = true;
    try {
        VqCompressorImpl* impl = _impl();
        VqSize size = inLen < 16 ? 96 : 6 * inLen;
        for (;;) {
            _ensureOutput(size);
            VqSize n = 0;
            impl->uncompress(in + 1, inLen - 1, _pOutBuffer, _nOutCapacity, n);
            if (n != VqCompressorImpl::kTooSmall) {
                out = _pOutBuffer;
                outLen = n;
                break;
            }
            if (size > (VqSize(1) << 62)) VQ_THROW("Allocation failed: output buffer", VQ_ERR_ALLOC);
            size *= 2;
        }
    } catch (...) {
        ok = VqErrorState::recordCurrentException("VqCompressor", "uncompress");
    }
    _eAlgorithm = previous;
    return ok;
}

bool VqCompressor::s_acquireCompressor(VqCompressor*& out) {
    out = nullptr;
    VQ_CHECK(s_pPoolMutex && s_pPool, "VqCompressor", "s_acquireCompressor", VQ_ERR_INTERNAL);
    {
        VqAutoLock lock(s_pPoolMutex);
        if (!s_pPool->empty()) {
            out = s_pPool->back();
            s_pPool->pop_back();
            return true;
        }
    }
    out = new VqCompressor();
    if (!out)
        VQ_FAIL("VqCompressor", "s_acquireCompressor", "Allocation failed: pCompressor = new VqCompressor",
                VQ_ERR_ALLOC);
    out->reset();
    return true;
}

void VqCompressor::s_releaseCompressor(VqCompressor* compressor) {
    if (!compressor) return;
    if (!s_pPoolMutex || !s_pPool) {
        delete compressor;
        return;
    }
    VqAutoLock lock(s_pPoolMutex);
    try {
        s_pPool->push_back(compressor);
    } catch (...) {
        delete compressor;
    }
}

void VqCompressor::s_shrinkCompressorPool() {
    if (!s_pPoolMutex || !s_pPool) return;
    std::vector<VqCompressor*> idle;
    {
        VqAutoLock lock(s_pPoolMutex);
        idle.swap(*s_pPool);
    }
    for (VqCompressor* c : idle)
        delete c;
}

int VqCompressor::s_numPooledCompressors() {
    if (!s_pPoolMutex || !s_pPool) return 0;
    VqAutoLock lock(s_pPoolMutex);
    return static_cast<int>(s_pPool->size());
}

bool VqCompressor::init() {
    if (!s_pPoolMutex) s_pPoolMutex = new (std::nothrow) VqMutex();
    if (!s_pPool) s_pPool = new (std::nothrow) std::vector<VqCompressor*>();
    if (!s_pPoolMutex || !s_pPool)
        VQ_FAIL("VqCompressor", "init", "Allocation failed: s_pPool = new std::vector<VqCompressor*>",
                VQ_ERR_ALLOC);
    return true;
}

void VqCompressor::fini() {
    s_shrinkCompressorPool();
    delete s_pPool;
    s_pPool = nullptr;
    delete s_pPoolMutex;
    s_pPoolMutex = nullptr;
}
