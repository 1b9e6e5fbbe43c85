#include "VqCompressedRepHelper.h"

#include "VqCompressorImpl.h"
#include "VqErrorState.h"
#include "VqGeomBindings.h"
#include "VqMeshLockGuard.h"
#include "VqObjectStream.h"
#include "VqPackedRepHelper.h"
#include "VqScratchMgr.h"
#include "VqStdException.h"
#include "VqTopoMesh.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <new>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

const char* const kCls = "VqCompressedRepHelper";
using Pred = VqCodecDriverBase::VqPredictorType;

// Deflate never grows data by more than about a thousandth; zlib's bound.
size_t deflateBound(size_t n) {
    return n + (n >> 12) + (n >> 14) + (n >> 25) + 13;
}
// Nor does inflation multiply it by more than 1032 (a deflate block of
// maximal matches); a larger claimed size cannot be right.
constexpr int64_t kMaxInflateRatio = 1032;

// Reads n bytes, the memory growing with the bytes that arrive, so that a
// length beyond the end of the stream costs no more than the stream holds.
bool readBytes(VqObjectStream& os, int64_t n, std::vector<unsigned char>& out) {
    constexpr int64_t kStep = 1 << 16;
    out.clear();
    try {
        for (int64_t done = 0; done < n;) {
            const int64_t len = std::min(n - done, kStep);
            out.resize(size_t(done + len));
            VQ_PROPAGATE(os.read(out.data() + done, int(len)));
            done += len;
        }
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, "readV8Format", "Memory Allocation", VQ_ERR_ALLOC);
    }
    return true;
}

uint32_t lowMask(int bits) {
    return bits >= 32 ? 0xFFFFFFFFu : (uint32_t(1) << bits) - 1;
}

// The running offsets of a packet as primitive starts: from 0, never falling.
bool toPrimList(const VqVeci& v, VqVecu& prims) {
    try {
        prims.assign(v.begin(), v.end());
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, "readV8Format", "Memory Allocation", VQ_ERR_ALLOC);
    }
    if (prims.empty()) return true;
    VQ_CHECK(v[0] == 0, kCls, "readV8Format", VQ_ERR_CORRUPT);
    for (size_t i = 1; i < v.size(); ++i)
        if (!(v[i] >= v[i - 1])) VQ_FAIL(kCls, "readV8Format", "vPrim[i] >= vPrim[i - 1]", VQ_ERR_CORRUPT);
    return true;
}

} // namespace

// ---- Pool

VqCompressedRepHelper* VqCompressedRepHelper::s_acquireCompressedRepHelper() {
    Vq::ScratchMgr* mgr = Vq::ScratchMgr::EnsureInstance();
    VqCompressedRepHelper* p = nullptr;
    if (!mgr || !mgr->acquireCodecDriver(p)) {
        VqErrorState::throwStdError(kCls, "s_acquireCompressedRepHelper",
                                    "Allocation failed: new VqCompressedRepHelper()", VQ_ERR_ALLOC);
        return nullptr;
    }
    if (!p->init()) {
        delete p;
        return nullptr;
    }
    return p;
}

void VqCompressedRepHelper::s_releaseCompressedRepHelper(VqCompressedRepHelper* p) {
    // Without the manager (after the library's end) there is no pool.
    if (g_pInstanceVqScratchMgr)
        g_pInstanceVqScratchMgr->releaseCodecDriver(p);
    else
        delete p;
}

void VqCompressedRepHelper::s_shrinkCompressedRepHelperPool() {
    if (g_pInstanceVqScratchMgr) g_pInstanceVqScratchMgr->shrinkCodecDriverPool(s_eScratchPool);
}

int VqCompressedRepHelper::s_numPooledCompressedRepHelpers() {
    return g_pInstanceVqScratchMgr ? g_pInstanceVqScratchMgr->numIdleDrivers(s_eScratchPool) : 0;
}

// ---- Settings

VqCompressedRepHelper::VqCompressedRepHelper() = default;
VqCompressedRepHelper::~VqCompressedRepHelper() = default;

bool VqCompressedRepHelper::init() {
    VQ_PROPAGATE(setLayout(VQ_GRAPHICS_OPENGL, 0, 0, 0));
    VQ_PROPAGATE(setPrec(24, 8, 16, 8));
    _nColFloats = 3;
    _vValues.clear();
    try {
        if (!_pmCD2) _pmCD2.reset(new VqCodecDriver<int>(_vValues));
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, "init", "Allocation failed: _pmCD2 = new VqCodecDriver<int>()", VQ_ERR_ALLOC);
    }
    try {
        if (!_pZLib) _pZLib = std::make_unique<VqCIZLib>();
    } catch (...) {
        return VqErrorState::recordCurrentException(kCls, "init");
    }
    return true;
}

void VqCompressedRepHelper::fini() {
    _pmCD2.reset();
    _pZLib.reset();
    VqVeci().swap(_vValues);
}

bool VqCompressedRepHelper::_checkPrec(int vtxPrec, int normPrec, int texPrec, int colPrec,
                                       const char* method, VqErrorCode code) {
    if (!((0 <= vtxPrec) && (vtxPrec <= 32)))
        VQ_FAIL(kCls, method, "(0 <= vtxPrec ) && (vtxPrec <= 32)", code);
    if (!((0 <= normPrec) && (normPrec <= 13)))
        VQ_FAIL(kCls, method, "(0 <= normPrec) && (normPrec <= 13)", code);
    if (!((0 <= texPrec) && (texPrec <= 32)))
        VQ_FAIL(kCls, method, "(0 <= texPrec ) && (texPrec <= 32)", code);
    if (!((0 <= colPrec) && (colPrec <= 8)))
        VQ_FAIL(kCls, method, "(0 <= colPrec ) && (colPrec <= 8 )", code);
    return true;
}

bool VqCompressedRepHelper::setPrec(int vtxPrec, int normPrec, int texPrec, int colPrec) {
    VQ_PROPAGATE(_checkPrec(vtxPrec, normPrec, texPrec, colPrec, "setPrec", VQ_ERR_ARGUMENT));
    _vtxPrec = vtxPrec;
    _normPrec = normPrec;
    _texPrec = texPrec;
    _colPrec = colPrec;
    return true;
}

void VqCompressedRepHelper::getPrec(int& vtxPrec, int& normPrec, int& texPrec, int& colPrec) const {
    vtxPrec = _vtxPrec;
    normPrec = _normPrec;
    texPrec = _texPrec;
    colPrec = _colPrec;
}

bool VqCompressedRepHelper::setLayout(unsigned long layout) {
    int n = 0, t = 0, c = 0;
    VqInterleavedRepHelper::s_convertTopoMeshBindings(layout, n, t, c);
    return setLayout(VQ_GRAPHICS_OPENGL, n, t, c);
}

bool VqCompressedRepHelper::setLayout(GraphicsAPI api, int normal, int texture, int color) {
    if (api != VQ_GRAPHICS_OPENGL) VQ_FAIL(kCls, "setLayout", "Invalid graphics API", VQ_ERR_ARGUMENT);
    _eGraphicsAPI = api;
    _eNormBinding = normal;
    _eTexBinding = texture;
    _eColBinding = color;
    _bNorm = normal != 0;
    _bTex = texture != 0;
    _bCol = color != 0;
    _offsets = VqInterleavedRepHelper::computeNeutralOffsets(normal, texture, color);
    _normalOffset = _offsets.normal;
    _textureOffset = _offsets.texture;
    _colorOffset = _offsets.color;
    _stride = _offsets.stride;
    VQ_CHECK(!(_bNorm && (_normalOffset == -1)), kCls, "setLayout", VQ_ERR_INTERNAL);
    VQ_CHECK(!(_bTex && (_textureOffset == -1)), kCls, "setLayout", VQ_ERR_INTERNAL);
    VQ_CHECK(!(_bCol && (_colorOffset == -1)), kCls, "setLayout", VQ_ERR_INTERNAL);
    if (_bCol) _nColFloats = VqInterleavedRepHelper::computeOffsets(normal, texture, color).colorFloats;
    return true;
}

bool VqCompressedRepHelper::setNumColorFloats(int n) {
    if (!((n == 4) || (n == 3) || (n == 1)))
        VQ_FAIL(kCls, "setNumColorFloats", "(_nColFloats == 4) || (_nColFloats == 3) || (_nColFloats == 1)",
                VQ_ERR_ARGUMENT);
    _nColFloats = n;
    return true;
}

// ---- Packets

bool VqCompressedRepHelper::_readCodes(VqObjectStream& os, Pred pred, int nMax, VqVeci& out) {
    VQ_PROPAGATE(_pmCD2->deserialize(os, pred, nMax));
    out.swap(_vValues);
    return true;
}

bool VqCompressedRepHelper::_writeCodes(VqObjectStream& os, Pred pred, const uint32_t* codes, size_t n,
                                        int stride) {
    VQ_CHECK(n <= size_t(INT_MAX), kCls, "writeV8Format", VQ_ERR_ARGUMENT);
    try {
        _vValues.resize(n);
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, "writeV8Format", "Memory Allocation", VQ_ERR_ALLOC);
    }
    for (size_t i = 0; i < n; ++i)
        _vValues[i] = int(codes[i * size_t(stride)]);
    VQ_PROPAGATE(_pmCD2->serialize(os, VqCodecDriverBase::CodecNone, pred));
    return true;
}

// ---- Reading

bool VqCompressedRepHelper::readV8Format(VqObjectStream& os, VqTopoMesh* pMesh) {
    if (!pMesh) return true;
    VQ_CHECK(_pmCD2, kCls, "readV8Format", VQ_ERR_INTERNAL);
    short iVersion = 0;
    VQ_PROPAGATE(os.read(&iVersion));
    VQ_CHECK(iVersion == 1, kCls, "readV8Format", VQ_ERR_CORRUPT);
    unsigned char b[3] = {}, prec[4] = {};
    VQ_PROPAGATE(os.read(b, 3));
    for (unsigned char x : b)
        if (!VqInterleavedRepHelper::s_isValidBinding(x))
            VQ_FAIL(kCls, "readV8Format", "Invalid binding", VQ_ERR_CORRUPT);
    VQ_PROPAGATE(setLayout(VQ_GRAPHICS_OPENGL, b[0], b[1], b[2]));
    VQ_PROPAGATE(os.read(prec, 4));
    VQ_PROPAGATE(_checkPrec(prec[0], prec[1], prec[2], prec[3], "readV8Format", VQ_ERR_CORRUPT));
    VQ_PROPAGATE(setPrec(prec[0], prec[1], prec[2], prec[3]));
    VqVeci raw;
    VqVecu prims;
    // The primitive list comes first: nothing read yet bounds it.
    VQ_PROPAGATE(_readCodes(os, VqCodecDriverBase::PredStride1, INT_MAX, raw));
    VQ_PROPAGATE(toPrimList(raw, prims));
    if (_vtxPrec == 0) return _readLossless(os, *pMesh, prims);
    return _readQuantized(os, *pMesh, prims);
}

bool VqCompressedRepHelper::_readLossless(VqObjectStream& os, VqTopoMesh& mesh, VqVecu& prims) {
    int c32OutBufSize = 0, cStored = 0;
    VQ_PROPAGATE(os.read(&c32OutBufSize));
    VQ_PROPAGATE(os.read(&cStored));
    VQ_CHECK(c32OutBufSize >= 0, kCls, "readV8Format", VQ_ERR_CORRUPT);
    VQ_CHECK((c32OutBufSize & 3) == 0, kCls, "readV8Format", VQ_ERR_CORRUPT);
    VqVecf floats;
    if (cStored != 0) {
        const int64_t nStored = cStored < 0 ? -int64_t(cStored) : int64_t(cStored);
        // Stored as they are, the bytes are the floats: the lengths agree.
        // Deflated, they cannot stand for more than the ratio allows.
        int64_t cUCmprsLen = cStored < 0 ? nStored : -1;
        if (cStored > 0 && int64_t(c32OutBufSize) > nStored * kMaxInflateRatio)
            VQ_FAIL(kCls, "readV8Format", "c32OutBufSize == cUCmprsLen", VQ_ERR_CORRUPT);
        if (cStored < 0 && cUCmprsLen != c32OutBufSize)
            VQ_FAIL(kCls, "readV8Format", "c32OutBufSize == cUCmprsLen", VQ_ERR_CORRUPT);
        std::vector<unsigned char> bytes;
        VQ_PROPAGATE(readBytes(os, nStored, bytes));
        try {
            floats.resize(size_t(c32OutBufSize) / 4);
        } catch (const std::bad_alloc&) {
            VQ_FAIL(kCls, "readV8Format", "Memory Allocation", VQ_ERR_ALLOC);
        }
        if (cStored < 0) {
            if (!bytes.empty()) std::memcpy(floats.data(), bytes.data(), bytes.size());
        } else {
            unsigned char dummy = 0;
            VqSize outLen = 0;
            try {
                _pZLib->uncompress(bytes.data(), bytes.size(),
                                   floats.empty() ? &dummy : reinterpret_cast<unsigned char*>(floats.data()),
                                   size_t(c32OutBufSize), outLen);
            } catch (const Vq::StdException&) {
                outLen = VqCompressorImpl::kTooSmall;
            }
            cUCmprsLen = outLen == VqCompressorImpl::kTooSmall ? -1 : int64_t(outLen);
            if (cUCmprsLen != c32OutBufSize)
                VQ_FAIL(kCls, "readV8Format", "c32OutBufSize == cUCmprsLen", VQ_ERR_CORRUPT);
        }
        os.swapCheck(floats.data(), floats.length());
    }
    if (floats.empty()) {
        // No data: an empty shape, whatever the list claims beyond nothing.
        if (!prims.empty() && prims.back() != 0)
            VQ_FAIL(kCls, "readV8Format", "vPrim.back() * stride == vNlist.length()", VQ_ERR_CORRUPT);
        return true;
    }
    const uint64_t layout =
        VqInterleavedRepHelper::s_convertVtxBindings(_eNormBinding, _eTexBinding, _eColBinding);
    VQ_PROPAGATE(VqInterleavedRepHelper::s_addNeutral(mesh, layout, prims, floats, kCls, "readV8Format",
                                                      "vPrim.back() * stride == vNlist.length()"));
    return true;
}

bool VqCompressedRepHelper::_readVertices(VqObjectStream& os, VqVecf& out, int& nVerts) {
    VQ_PROPAGATE(_pointQuantizer.deserialize(os));
    VQ_PROPAGATE(os.read(&nVerts));
    VQ_CHECK(nVerts >= 0, kCls, "readV8Format", VQ_ERR_CORRUPT);
    VqVeci v[3];
    for (int ii = 0; ii < 3; ++ii) {
        VQ_PROPAGATE(_readCodes(os, VqCodecDriverBase::PredLag1, nVerts, v[ii]));
        VQ_CHECK(nVerts == v[ii].length(), kCls, "readV8Format", VQ_ERR_CORRUPT);
    }
    try {
        out.resize(size_t(nVerts) * 3);
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, "readV8Format", "Memory Allocation", VQ_ERR_ALLOC);
    }
    for (int i = 0; i < nVerts; ++i) {
        VqVec3f p;
        VQ_PROPAGATE(
            _pointQuantizer.convertCodeToVec(uint32_t(v[0][i]), uint32_t(v[1][i]), uint32_t(v[2][i]), p));
        std::copy(p.data(), p.data() + 3, out.data() + size_t(i) * 3);
    }
    return true;
}

bool VqCompressedRepHelper::_readNormals(VqObjectStream& os, int nVerts, VqVecf& out) {
    VQ_PROPAGATE(_normalCodec.deserialize(os));
    int nNormals = 0;
    VQ_PROPAGATE(os.read(&nNormals));
    // Every array is indexed by the one index list, so all have a vertex's count.
    VQ_CHECK(nNormals == nVerts, kCls, "readV8Format", VQ_ERR_CORRUPT);
    VqVeci v[4];
    for (int ii = 0; ii < 4; ++ii) {
        VQ_PROPAGATE(_readCodes(os, VqCodecDriverBase::PredLag1, nNormals, v[ii]));
        VQ_CHECK(nNormals == v[ii].length(), kCls, "readV8Format", VQ_ERR_CORRUPT);
    }
    try {
        out.resize(size_t(nVerts) * 3);
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, "readV8Format", "Memory Allocation", VQ_ERR_ALLOC);
    }
    for (int i = 0; i < nVerts; ++i) {
        VqFixedVec<float, 3> n;
        if (!_normalCodec.convertCodeToVec(uint32_t(v[0][i]), uint32_t(v[1][i]), uint32_t(v[2][i]),
                                           uint32_t(v[3][i]), n)) {
            VqErrorState::rethrowError();
            return false;
        }
        std::copy(n.data(), n.data() + 3, out.data() + size_t(i) * 3);
    }
    return true;
}

bool VqCompressedRepHelper::_readTexCoords(VqObjectStream& os, int nVerts, VqVecf& out) {
    VQ_PROPAGATE(_textureQuantizer.deserialize2(os));
    unsigned char texPrec = 0;
    VQ_PROPAGATE(os.read(&texPrec));
    VqVeci s, t;
    VQ_PROPAGATE(_readCodes(os, VqCodecDriverBase::PredLag1, nVerts, s));
    VQ_PROPAGATE(_readCodes(os, VqCodecDriverBase::PredLag1, nVerts, t));
    VQ_CHECK(s.length() == t.length(), kCls, "readV8Format", VQ_ERR_CORRUPT);
    VQ_CHECK(s.length() == nVerts, kCls, "readV8Format", VQ_ERR_CORRUPT);
    try {
        out.resize(size_t(nVerts) * 2);
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, "readV8Format", "Memory Allocation", VQ_ERR_ALLOC);
    }
    for (int i = 0; i < nVerts; ++i) {
        VqFixedVec<float, 2> st;
        VQ_PROPAGATE(_textureQuantizer.convertCodeToFloat<2>(
            VqFixedVec<uint32_t, 2>{uint32_t(s[i]), uint32_t(t[i])}, st));
        out[size_t(i) * 2] = st[0];
        out[size_t(i) * 2 + 1] = st[1];
    }
    return true;
}

bool VqCompressedRepHelper::_readColors(VqObjectStream& os, int nVerts, VqVecf& out) {
    VQ_PROPAGATE(_colorQuantizer.deserialize(os));
    unsigned char colPrec = 0, nColFloats = 0, bSeparate = 0;
    VQ_PROPAGATE(os.read(&colPrec));
    VQ_PROPAGATE(os.read(&nColFloats));
    VQ_PROPAGATE(os.read(&bSeparate));
    if (!((nColFloats == 4) || (nColFloats == 3) || (nColFloats == 1)))
        VQ_FAIL(kCls, "readV8Format", "(_nColFloats == 4) || (_nColFloats == 3) || (_nColFloats == 1)",
                VQ_ERR_CORRUPT);
    _nColFloats = nColFloats;
    VQ_CHECK(bSeparate <= 1, kCls, "readV8Format", VQ_ERR_CORRUPT);
    VqVeci codes;
    if (bSeparate == 0) {
        VQ_PROPAGATE(_readCodes(os, VqCodecDriverBase::PredNull, nVerts, codes));
    } else {
        int p[4] = {};
        _colorQuantizer.getPrec(p[0], p[1], p[2], p[3]);
        VqVeci part[4];
        for (int ii = 0; ii < 4; ++ii) {
            VQ_PROPAGATE(_readCodes(os, VqCodecDriverBase::PredLag1, nVerts, part[ii]));
            VQ_CHECK(part[ii].length() == part[0].length(), kCls, "readV8Format", VQ_ERR_CORRUPT);
        }
        codes.swap(part[0]);
        for (size_t i = 0; i < codes.size(); ++i) {
            uint64_t code = 0;
            for (int ii = 0; ii < 4; ++ii) {
                const uint32_t c = uint32_t(ii == 0 ? codes[i] : part[ii][i]);
                // A component wider than its precision would spill into the
                // next one: only damage makes such a code.
                VQ_CHECK(c <= lowMask(p[ii]), kCls, "readV8Format", VQ_ERR_CORRUPT);
                code = code << p[ii] | c;
            }
            codes[i] = int(uint32_t(code));
        }
    }
    VQ_CHECK(codes.length() == nVerts, kCls, "readV8Format", VQ_ERR_CORRUPT);
    try {
        out.resize(size_t(nVerts) * 3);
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, "readV8Format", "Memory Allocation", VQ_ERR_ALLOC);
    }
    for (int i = 0; i < nVerts; ++i) {
        float* c = out.data() + size_t(i) * 3;
        if (_nColFloats == 1) {
            // One float holds the colour as packed RGBA: its components are
            // bytes, and so are the colours read back.
            unsigned char r = 0, g = 0, bl = 0, a = 0;
            _colorQuantizer.convertCodeToRGB(uint32_t(codes[i]), r, g, bl, a);
            float alpha = 0;
            VqPackedRepHelper::s_unpackRGBA(uint32_t(r) << 24 | uint32_t(g) << 16 | uint32_t(bl) << 8 | a,
                                            c[0], c[1], c[2], alpha);
        } else {
            VqFixedVec<float, 3> rgb;
            _colorQuantizer.convertCodeToRGB(uint32_t(codes[i]), rgb);
            std::copy(rgb.data(), rgb.data() + 3, c);
        }
    }
    return true;
}

bool VqCompressedRepHelper::_readQuantized(VqObjectStream& os, VqTopoMesh& mesh, VqVecu& prims) {
    int nVerts = 0;
    VqVecf vtx, normals, tex, colors;
    VQ_PROPAGATE(_readVertices(os, vtx, nVerts));
    if (_bNorm) VQ_PROPAGATE(_readNormals(os, nVerts, normals));
    if (_bTex) VQ_PROPAGATE(_readTexCoords(os, nVerts, tex));
    if (_bCol) VQ_PROPAGATE(_readColors(os, nVerts, colors));
    VqVeci raw;
    // A primitive list read ends at the number of indices.
    const int nMaxIndices = prims.empty() ? INT_MAX : int(std::min<uint32_t>(prims.back(), INT_MAX));
    VQ_PROPAGATE(_readCodes(os, VqCodecDriverBase::PredStripIndex, nMaxIndices, raw));
    for (int i : raw)
        if (!(i >= 0 && i < nVerts)) VQ_FAIL(kCls, "readV8Format", "vIndices[i] < nVerts", VQ_ERR_CORRUPT);
    VqVecu indices;
    try {
        indices.assign(raw.begin(), raw.end());
        if (prims.empty()) prims = {0u, uint32_t(indices.size())};
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, "readV8Format", "Memory Allocation", VQ_ERR_ALLOC);
    }
    if (!(prims.back() == indices.size()))
        VQ_FAIL(kCls, "readV8Format", "vPrim.back() == vIndices.length()", VQ_ERR_CORRUPT);
    if (indices.empty()) return true;

    const uint64_t layout =
        VqInterleavedRepHelper::s_convertVtxBindings(_eNormBinding, _eTexBinding, _eColBinding);
    VqMeshLockGuard lock(mesh, VqMeshLockGuard::Write);
    VQ_PROPAGATE(lock.ok());
    if (mesh.getBindings() != layout) VQ_PROPAGATE(mesh.setBindings(layout));
    VQ_PROPAGATE(mesh._addPrimitives(prims, indices, vtx, normals, colors, tex));
    VQ_PROPAGATE(mesh.collocate(false));
    VQ_PROPAGATE(mesh.shrink());
    return true;
}

// ---- Writing

bool VqCompressedRepHelper::writeV8Format(VqObjectStream& os, const VqTopoMesh* pMesh) {
    if (!pMesh) return true;
    VQ_CHECK(_pmCD2, kCls, "writeV8Format", VQ_ERR_INTERNAL);
    VqMeshLockGuard lock(*pMesh, VqMeshLockGuard::Read);
    VQ_PROPAGATE(lock.ok());
    const int nColFloats = _nColFloats;
    VQ_PROPAGATE(setLayout(pMesh->getBindings()));
    // setLayout picks the graphics layout's count; a packed choice stays.
    if (nColFloats == 1) _nColFloats = 1;
    // Nothing to quantize: the empty shape is written losslessly.
    const bool bLossless = _vtxPrec == 0 || pMesh->numIndices() == 0;
    VQ_PROPAGATE(os.write(short(1)));
    const unsigned char b[3] = {(unsigned char)_eNormBinding, (unsigned char)_eTexBinding,
                                (unsigned char)_eColBinding};
    VQ_PROPAGATE(os.write(b, 3));
    const unsigned char prec[4] = {(unsigned char)(bLossless ? 0 : _vtxPrec), (unsigned char)_normPrec,
                                   (unsigned char)_texPrec, (unsigned char)_colPrec};
    VQ_PROPAGATE(os.write(prec, 4));
    return bLossless ? _writeLossless(os, *pMesh) : _writeQuantized(os, *pMesh);
}

bool VqCompressedRepHelper::_writeLossless(VqObjectStream& os, const VqTopoMesh& mesh) {
    VqVecu prims;
    VqVecf floats;
    VQ_PROPAGATE(VqInterleavedRepHelper::s_extractNeutral(mesh, prims, floats, _nColFloats == 1));
    // One primitive over everything is what an empty list stands for.
    if (prims.size() <= 2) prims.clear();
    VQ_PROPAGATE(_writeCodes(os, VqCodecDriverBase::PredStride1, prims.data(), prims.size(), 1));
    VQ_CHECK(floats.size() <= size_t(INT_MAX / 4), kCls, "writeV8Format", VQ_ERR_ARGUMENT);
    const int nBytes = floats.length() * 4;
    if (nBytes == 0) {
        VQ_PROPAGATE(os.write(0));
        VQ_PROPAGATE(os.write(0));
        return true;
    }
    os.swapCheck(floats.data(), floats.length());
    std::vector<unsigned char> packed;
    VqSize outLen = VqCompressorImpl::kTooSmall;
    try {
        packed.resize(deflateBound(size_t(nBytes)));
        _pZLib->compress(reinterpret_cast<const unsigned char*>(floats.data()), size_t(nBytes), packed.data(),
                         packed.size(), outLen);
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, "writeV8Format", "Memory Allocation", VQ_ERR_ALLOC);
    } catch (...) {
        return VqErrorState::recordCurrentException(kCls, "writeV8Format");
    }
    VQ_PROPAGATE(os.write(nBytes));
    if (outLen == VqCompressorImpl::kTooSmall || outLen >= size_t(nBytes)) {
        // Deflating did not help: the floats go as they are.
        VQ_PROPAGATE(os.write(-nBytes));
        VQ_PROPAGATE(os.write(reinterpret_cast<const unsigned char*>(floats.data()), nBytes));
        return true;
    }
    VQ_PROPAGATE(os.write(int(outLen)));
    VQ_PROPAGATE(os.write(packed.data(), int(outLen)));
    return true;
}

bool VqCompressedRepHelper::_createIndexedRep(const VqTopoMesh& mesh, Tuples& all) {
    const Vq::VertexRecordFields& f = *mesh.vtxRecPool()->fields();
    const uint32_t nIdx = mesh.numIndices();
    const uint32_t* idx = mesh.indices();
    const int wVtx = f.numVtxCoordComps(), wCol = f.numColorComps(), wTex = f.numTexCoordComps(0);
    auto coord = [&](uint32_t r, int c) { return c < wVtx ? f.vtxCoords()[size_t(r) * wVtx + c] : 0.0f; };

    // Quantizers over what the mesh uses.
    VqBox3<float> box;
    float sMin = 3.4e38f, sMax = -3.4e38f, tMin = 3.4e38f, tMax = -3.4e38f;
    for (uint32_t j = 0; j < nIdx; ++j) {
        box.extendBy(VqVec3f{coord(idx[j], 0), coord(idx[j], 1), coord(idx[j], 2)});
        if (_bTex) {
            const float* st = f.texCoords(0) + size_t(idx[j]) * wTex;
            sMin = std::min(sMin, st[0]);
            sMax = std::max(sMax, st[0]);
            tMin = std::min(tMin, wTex > 1 ? st[1] : 0.0f);
            tMax = std::max(tMax, wTex > 1 ? st[1] : 0.0f);
        }
    }
    // NaN or infinite coordinates leave no box to quantize into.
    if (box.isEmpty() || !std::isfinite(box.min[0] - box.max[0]) || !std::isfinite(box.min[1] - box.max[1]) ||
        !std::isfinite(box.min[2] - box.max[2]))
        VQ_FAIL(kCls, "writeV8Format", "_bbox.isValid()", VQ_ERR_ARGUMENT);
    VQ_PROPAGATE(_pointQuantizer.setBBox(box));
    VQ_PROPAGATE(_pointQuantizer.setNumBitsPrecision(_vtxPrec));
    if (_bNorm) VQ_PROPAGATE(_normalCodec.setNumBits(_normPrec));
    if (_bTex) {
        if (!(sMin <= sMax && tMin <= tMax)) VQ_FAIL(kCls, "writeV8Format", "fMin <= fMax", VQ_ERR_ARGUMENT);
        VQ_PROPAGATE(_textureQuantizer.setRange(sMin, sMax, tMin, tMax, 0.0f, 1.0f, 0.0f, 1.0f));
        VQ_PROPAGATE(_textureQuantizer.setPrec(_texPrec, _texPrec, _texPrec, _texPrec));
    }
    if (_bCol) {
        _colorQuantizer = VqColorQuantizer();
        VQ_PROPAGATE(_colorQuantizer.setPrec(_colPrec, _colPrec, _colPrec, 0));
    }

    all.width = 3 + (_bNorm ? 4 : 0) + (_bTex ? 2 : 0) + (_bCol ? 1 : 0);
    try {
        all.codes.resize(size_t(nIdx) * all.width);
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, "writeV8Format", "Memory Allocation", VQ_ERR_ALLOC);
    }
    for (uint32_t j = 0; j < nIdx; ++j) {
        const uint32_t r = idx[j];
        uint32_t* t = all.codes.data() + size_t(j) * all.width;
        VQ_PROPAGATE(_pointQuantizer.convertVecToCode(VqVec3f{coord(r, 0), coord(r, 1), coord(r, 2)}, t[0],
                                                      t[1], t[2]));
        t += 3;
        if (_bNorm) {
            const float* n = f.normals() + size_t(r) * 3;
            VQ_PROPAGATE(_normalCodec.convertVecToCode(VqFixedVec<float, 3>{n[0], n[1], n[2]}, t[0], t[1],
                                                       t[2], t[3]));
            t += 4;
        }
        if (_bTex) {
            const float* st = f.texCoords(0) + size_t(r) * wTex;
            VqFixedVec<uint32_t, 2> c;
            VQ_PROPAGATE(_textureQuantizer.convertFloatToCode<2>(
                VqFixedVec<float, 2>{st[0], wTex > 1 ? st[1] : 0.0f}, c));
            t[0] = c[0];
            t[1] = c[1];
            t += 2;
        }
        if (_bCol) {
            // Colours outside [0, 1] (and NaN) have no code: they are clamped.
            const float* c = f.colors() + size_t(r) * wCol;
            auto clamp01 = [](float x) { return x > 0.0f ? std::min(x, 1.0f) : 0.0f; };
            VQ_PROPAGATE(_colorQuantizer.convertRGBtoCode(
                VqFixedVec<float, 3>{clamp01(c[0]), clamp01(c[1]), clamp01(c[2])}, t[0]));
        }
    }
    return true;
}

bool VqCompressedRepHelper::_createUniqueArrays(const Tuples& all, Tuples& unique, VqVecu& indices) {
    VQ_CHECK(all.width > 0 && all.codes.size() % size_t(all.width) == 0, kCls, "_createUniqueArrays",
             VQ_ERR_ARGUMENT);
    const size_t n = all.codes.size() / size_t(all.width);
    const size_t bytes = size_t(all.width) * sizeof(uint32_t);
    try {
        // Keys view the tuples in place.
        std::unordered_map<std::string_view, uint32_t> seen;
        seen.reserve(n);
        unique.width = all.width;
        unique.codes.clear();
        indices.resize(n);
        for (size_t j = 0; j < n; ++j) {
            const uint32_t* t = all.codes.data() + j * size_t(all.width);
            const std::string_view key(reinterpret_cast<const char*>(t), bytes);
            auto [it, bNew] = seen.emplace(key, uint32_t(seen.size()));
            if (bNew) unique.codes.insert(unique.codes.end(), t, t + all.width);
            indices[j] = it->second;
        }
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, "_createUniqueArrays", "Memory Allocation", VQ_ERR_ALLOC);
    }
    return true;
}

// Repeated corners. Where two consecutive corners are one quantized vertex
// the edge between them has collapsed:
// - polygons and line strips drop the repeat (for polygons also a last
//   corner equal to the first);
// - triangle strips keep their repeats, which turn the strip or swap its
//   winding, but a run of equal indices longer than needed loses pairs
//   (so that the parity of every later triangle stays): inside a strip a
//   run keeps 2 or 3 (2 still breaks the strip; 1 would join its two sides
//   into a new triangle), at either end of a strip 1 or 2;
// - point sets keep everything.
void VqCompressedRepHelper::cleanDoubleVerts(int primKind, VqVecu& primList, VqVecu& indices) {
    if (primKind == VqTopoMesh::VQ_PRIM_POINT || primList.empty()) return;
    size_t w = 0;
    for (size_t p = 0; p + 1 < primList.size(); ++p) {
        const size_t b = primList[p], e = primList[p + 1];
        primList[p] = uint32_t(w);
        if (primKind == VqTopoMesh::VQ_PRIM_TRISTRIP) {
            for (size_t i = b; i < e;) {
                size_t k = i;
                while (k < e && indices[k] == indices[i])
                    ++k;
                const size_t run = k - i;
                const bool bEnd = i == b || k == e;
                size_t keep = run;
                if (run > 3 || (bEnd && run > 2)) keep = (run % 2 == 1) ? (bEnd ? 1 : 3) : 2;
                for (size_t c = 0; c < keep; ++c)
                    indices[w++] = indices[i];
                i = k;
            }
        } else {
            const size_t start = w;
            for (size_t i = b; i < e; ++i)
                if (w == start || indices[w - 1] != indices[i]) indices[w++] = indices[i];
            if (primKind == VqTopoMesh::VQ_PRIM_POLYGON)
                while (w - start > 1 && indices[w - 1] == indices[start])
                    --w;
        }
    }
    primList.back() = uint32_t(w);
    indices.resize(w);
}

// Primitives that draw nothing go: strips of fewer than 3 indices or whose
// every triangle has a repeated corner, polygons of fewer than 3 corners,
// line strips of fewer than 2, empty point sets.
void VqCompressedRepHelper::cleanShortStrips(int primKind, VqVecu& primList, VqVecu& indices) {
    if (primList.empty()) return;
    const size_t minSize = primKind == VqTopoMesh::VQ_PRIM_POINT       ? 1
                           : primKind == VqTopoMesh::VQ_PRIM_LINESTRIP ? 2
                                                                       : 3;
    size_t w = 0, np = 0;
    for (size_t p = 0; p + 1 < primList.size(); ++p) {
        const size_t b = primList[p], e = primList[p + 1];
        bool bKeep = e - b >= minSize;
        if (bKeep && primKind == VqTopoMesh::VQ_PRIM_TRISTRIP) {
            bKeep = false;
            for (size_t i = b; i + 2 < e && !bKeep; ++i)
                bKeep = indices[i] != indices[i + 1] && indices[i] != indices[i + 2] &&
                        indices[i + 1] != indices[i + 2];
        }
        primList[np++] = uint32_t(w);
        if (!bKeep) {
            --np;
            continue;
        }
        for (size_t i = b; i < e; ++i)
            indices[w++] = indices[i];
    }
    primList[np] = uint32_t(w);
    primList.resize(np + 1);
    indices.resize(w);
}

bool VqCompressedRepHelper::cleanIndexedRep(int primKind, VqVecu& primList, VqVecu& indices, Tuples& unique) {
    cleanDoubleVerts(primKind, primList, indices);
    cleanShortStrips(primKind, primList, indices);
    // Tuples no index uses any more go, the rest keep their order.
    const size_t nUnique = unique.width > 0 ? unique.codes.size() / size_t(unique.width) : 0;
    VqVecu map;
    try {
        map.assign(nUnique, 0xFFFFFFFFu);
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, "cleanIndexedRep", "Memory Allocation", VQ_ERR_ALLOC);
    }
    for (uint32_t i : indices)
        map[i] = 0;
    uint32_t next = 0;
    for (size_t u = 0; u < nUnique; ++u) {
        if (map[u] != 0) continue;
        if (next != u)
            std::copy_n(unique.codes.data() + u * unique.width, unique.width,
                        unique.codes.data() + size_t(next) * unique.width);
        map[u] = next++;
    }
    unique.codes.resize(size_t(next) * unique.width);
    for (uint32_t& i : indices)
        i = map[i];
    return true;
}

bool VqCompressedRepHelper::_writeQuantized(VqObjectStream& os, const VqTopoMesh& mesh) {
    Tuples all, unique;
    VqVecu indices, prims;
    VQ_PROPAGATE(_createIndexedRep(mesh, all));
    VQ_PROPAGATE(_createUniqueArrays(all, unique, indices));
    try {
        prims.assign(mesh.primStarts(), mesh.primStarts() + mesh.numPrims() + 1);
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, "writeV8Format", "Memory Allocation", VQ_ERR_ALLOC);
    }
    VQ_PROPAGATE(cleanIndexedRep(mesh.primKind(), prims, indices, unique));
    if (prims.size() == 2 || indices.empty()) prims.clear();
    VQ_PROPAGATE(_writeCodes(os, VqCodecDriverBase::PredStride1, prims.data(), prims.size(), 1));

    const size_t n = unique.codes.size() / size_t(unique.width);
    VQ_CHECK(n <= size_t(INT_MAX), kCls, "writeV8Format", VQ_ERR_ARGUMENT);
    const uint32_t* t = unique.codes.data();
    const int w = unique.width;
    VQ_PROPAGATE(_pointQuantizer.serialize(os));
    VQ_PROPAGATE(os.write(int(n)));
    for (int c = 0; c < 3; ++c)
        VQ_PROPAGATE(_writeCodes(os, VqCodecDriverBase::PredLag1, t + c, n, w));
    int at = 3;
    if (_bNorm) {
        VQ_PROPAGATE(_normalCodec.serialize(os));
        VQ_PROPAGATE(os.write(int(n)));
        for (int c = 0; c < 4; ++c)
            VQ_PROPAGATE(_writeCodes(os, VqCodecDriverBase::PredLag1, t + at + c, n, w));
        at += 4;
    }
    if (_bTex) {
        VQ_PROPAGATE(_textureQuantizer.serialize2(os));
        VQ_PROPAGATE(os.write((unsigned char)_texPrec));
        for (int c = 0; c < 2; ++c)
            VQ_PROPAGATE(_writeCodes(os, VqCodecDriverBase::PredLag1, t + at + c, n, w));
        at += 2;
    }
    if (_bCol) {
        VQ_PROPAGATE(_colorQuantizer.serialize(os));
        VQ_PROPAGATE(os.write((unsigned char)_colPrec));
        VQ_PROPAGATE(os.write((unsigned char)_nColFloats));
        // Components apart: each runs smoothly along the vertices where the
        // whole codes jump with every change of the first one.
        VQ_PROPAGATE(os.write((unsigned char)1));
        int p[4] = {};
        _colorQuantizer.getPrec(p[0], p[1], p[2], p[3]);
        VqVecu part;
        try {
            part.resize(n);
        } catch (const std::bad_alloc&) {
            VQ_FAIL(kCls, "writeV8Format", "Memory Allocation", VQ_ERR_ALLOC);
        }
        int below = p[1] + p[2] + p[3];
        for (int c = 0; c < 4; ++c) {
            for (size_t i = 0; i < n; ++i)
                part[i] = uint32_t((uint64_t(t[i * w + at]) >> below) & lowMask(p[c]));
            VQ_PROPAGATE(_writeCodes(os, VqCodecDriverBase::PredLag1, part.data(), n, 1));
            if (c < 3) below -= p[c + 1];
        }
    }
    VQ_PROPAGATE(_writeCodes(os, VqCodecDriverBase::PredStripIndex, indices.data(), indices.size(), 1));
    return true;
}
