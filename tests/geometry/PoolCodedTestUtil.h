#pragma once

// What the tests of the coded vertex arrays share: object streams of every
// kind a mesh record lands in, the whole set of a pool's arrays written and
// read as a coder does (with the driver generation of the stream's format),
// and pools filled with data that exercise every path.
#include "PoolTestUtil.h"
#include "VqCodecDriver2.h"
#include "VqCodecDriver3T.h"
#include "VqDataStream.h"
#include "VqLzmaSegObjectStream.h"
#include "VqMemoryByteStream.h"
#include "VqTestObjectStream.h"
#include "VqZlibSegObjectStream.h"

#include <functional>
#include <random>

using Bytes = std::vector<uint8_t>;
enum class Kind { Plain, Zlib, Lzma };

inline const char* kindName(Kind k) {
    return k == Kind::Plain ? "plain" : k == Kind::Zlib ? "zlib" : "lzma";
}

inline Vq::SharedPtr<VqObjectStream> segmentStream(Kind kind, VqDataStream* ds) {
    if (kind == Kind::Zlib) return new VqZlibSegObjectStream(ds);
    return new VqLzmaSegObjectStream(ds);
}

// One element written through fn into a stream of the given kind and format.
inline Bytes writeWith(Kind kind, int major, int minor, const std::function<bool(VqObjectStream&)>& fn) {
    if (kind == Kind::Plain) {
        VqTestObjectStream s = VqTestObjectStream::forWriting(major, minor);
        EXPECT_TRUE(s->beginWrite() && fn(*s) && s->endWrite()) << lastError();
        return s.bytes();
    }
    Vq::SharedPtr<VqMemoryByteStream> mem = new VqMemoryByteStream(false);
    Vq::SharedPtr<VqDataStream> ds = new VqDataStream(mem.get());
    ds->open();
    Vq::SharedPtr<VqObjectStream> zs = segmentStream(kind, ds.get());
    zs->setVersion(major, minor);
    EXPECT_TRUE(zs->beginWrite() && fn(*zs) && zs->endWrite()) << lastError();
    zs->setDataStream(nullptr);
    Bytes b(mem->data(), mem->data() + mem->dataLength());
    ds->close();
    return b;
}

inline bool readWith(Kind kind, int major, int minor, const Bytes& image,
                     const std::function<bool(VqObjectStream&)>& fn) {
    if (kind == Kind::Plain) {
        VqTestObjectStream s = VqTestObjectStream::forReading(image, major, minor);
        return s->beginRead() && fn(*s) && s->endRead();
    }
    Vq::SharedPtr<VqMemoryByteStream> mem = new VqMemoryByteStream(true);
    mem->setData(image.data(), image.size());
    Vq::SharedPtr<VqDataStream> ds = new VqDataStream(mem.get());
    ds->open();
    Vq::SharedPtr<VqObjectStream> zs = segmentStream(kind, ds.get());
    zs->setVersion(major, minor);
    const bool ok = zs->beginRead() && fn(*zs) && zs->endRead();
    zs->setDataStream(nullptr);
    ds->close();
    return ok;
}

struct Bits {
    int vtx = 0, norm = 0, tex = 0, col = 0;
};

// Runs fn with the driver a coder uses for the stream's format: the
// version-3 driver for VQ 10, the version-2 driver before.
template <class Fn>
bool withDriverFor(VqObjectStream& os, Fn fn) {
    int major = 0, minor = 0;
    os.getVersion(major, minor);
    if (major >= 10) {
        Vq::CodecDriver3T<int> cd;
        return fn(cd);
    }
    VqCodecDriver2 cd;
    return fn(cd);
}

// Every bound attribute of the listed records, in the order a coder writes them.
inline bool writeAll(const VqVertexRecordPool& p, VqObjectStream& os, const std::vector<uint32_t>& idx,
                     const Bits& b) {
    return withDriverFor(os, [&](auto& cd) {
        uint32_t h = 0;
        const uint32_t n = uint32_t(idx.size());
        const Vq::VertexRecordFields& f = *p.fields();
        if (!p._writeQuantizedVertexArray(os, cd, idx.data(), n, VqBox3<float>(), b.vtx, h)) return false;
        if (f.numNormalComps() && !p._writeQuantizedNormalArray(os, cd, idx.data(), n, b.norm, h))
            return false;
        if (f.numColorComps() && !p._writeQuantizedColorArray(os, cd, idx.data(), n, b.col, h)) return false;
        for (int k = 0; k < 8; ++k)
            if (f.numTexCoordComps(k) && !p._writeQuantizedTextureArray(os, cd, k, idx.data(), n, b.tex, h))
                return false;
        if (f.hasVtxFlags() && !p._writeVtxFlagArray(os, cd, idx.data(), n, h)) return false;
        if ((p.getBindings() & VQ_GEOMBIND_AUXFIELDS_MASK) &&
            !p._writeAuxiliaryFields(os, cd, idx.data(), n, h))
            return false;
        return true;
    });
}

inline bool readAll(VqVertexRecordPool& p, VqObjectStream& os, const std::vector<uint32_t>& idx, bool bAux) {
    return withDriverFor(os, [&](auto& cd) {
        uint32_t h = 0;
        const uint32_t n = uint32_t(idx.size());
        const Vq::VertexRecordFields& f = *p.fields();
        WriteLock lock(p);
        if (!p._readQuantizedVertexArray(os, cd, idx.data(), n, h)) return false;
        if (f.numNormalComps() && !p._readQuantizedNormalArray(os, cd, idx.data(), n, h)) return false;
        if (f.numColorComps() && !p._readQuantizedColorArray(os, cd, idx.data(), n, h)) return false;
        for (int k = 0; k < 8; ++k)
            if (f.numTexCoordComps(k) && !p._readQuantizedTextureArray(os, cd, k, idx.data(), n, h))
                return false;
        if (f.hasVtxFlags() && !p._readVtxFlagArray(os, cd, idx.data(), n, h)) return false;
        if (bAux && !p._readAuxiliaryFields(os, cd, idx.data(), n, h)) return false;
        return true;
    });
}

inline const uint64_t kAll = VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_NORMVEC3 | VQ_GEOMBIND_VTXCOLOR4 |
                             VQ_GEOMBIND_VTXFLAG_MASK | vqTexCoordBinding(0, 2) | vqTexCoordBinding(3, 1);

inline const VqGUID kStress(0x51AE55, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10);
inline const VqGUID kIds(0x1D5, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10);

class CodedArrayTest : public VqLibTest {
protected:
    // n records of random data; with bSpecial some coordinates and colours
    // are NaN, infinite or -0.0 (which only 0 bits can keep).
    static void fill(VqVertexRecordPool& pool, uint32_t n, bool bSpecial, unsigned seed = 1) {
        std::mt19937 rng(seed);
        std::uniform_real_distribution<float> u(-50.0f, 50.0f), unit(0.0f, 1.0f);
        Records r;
        for (uint32_t i = 0; i < n; ++i) {
            for (int c = 0; c < 3; ++c)
                r.coords.push_back(u(rng));
            VqVec3f nv(u(rng), u(rng), u(rng));
            const float len = nv.length();
            for (int c = 0; c < 3; ++c)
                r.normals.push_back(nv[c] / len);
            for (int c = 0; c < 4; ++c)
                r.colors.push_back(unit(rng));
            for (int c = 0; c < 2; ++c)
                r.tex[0].push_back(u(rng) * 0.1f);
            r.tex[3].push_back(unit(rng) * 3);
            r.flags.push_back(static_cast<unsigned char>(rng() & 1));
        }
        if (bSpecial && n > 3) {
            r.coords[0] = NAN;
            r.coords[4] = -INFINITY;
            r.coords[8] = -0.0f;
            r.colors[5] = NAN;
            r.tex[3][1] = INFINITY;
        }
        ASSERT_TRUE(r.addTo(pool, n));
    }

    // A field of each kind the arrays treat apart.
    static void addFields(VqVertexRecordPool& pool, unsigned seed = 2) {
        const uint32_t n = pool.numVtxRecords();
        std::mt19937 rng(seed);
        Vq::SharedPtr<Vq::AuxVertexField> fv, ids, wts, dbl;
        ASSERT_TRUE(Vq::AuxVertexField::s_create(VQ_AUXTYPE_F_V3, VqVertexRecordPool::s_AUXFIELD_VQ_TANVECS,
                                                 1, n, fv));
        ASSERT_TRUE(Vq::AuxVertexField::s_create(VQ_AUXTYPE_I8_V4,
                                                 VqVertexRecordPool::s_AUXFIELD_VQ_SKIN_INDICES, 1, n, ids));
        ASSERT_TRUE(Vq::AuxVertexField::s_create(VQ_AUXTYPE_U64_V1, kIds, 1, n, wts));
        ASSERT_TRUE(Vq::AuxVertexField::s_create(VQ_AUXTYPE_D_V2, kStress, 3, n, dbl));
        for (Vq::AuxVertexField* f : {fv.get(), ids.get(), wts.get(), dbl.get()})
            for (uint32_t s = 0; s < f->numSteps(); ++s)
                for (size_t b = 0; b < size_t(n) * f->recordSize(); ++b)
                    f->stepData(s)[b] = uint8_t(rng());
        // Floating-point fields hold finite values.
        for (uint32_t i = 0; i < 3 * n; ++i)
            reinterpret_cast<float*>(fv->stepData(0))[i] = float(rng() % 1000) / 7;
        for (uint32_t s = 0; s < 3; ++s)
            for (uint32_t i = 0; i < 2 * n; ++i)
                reinterpret_cast<double*>(dbl->stepData(s))[i] = double(rng()) / 3;
        ASSERT_TRUE(dbl->suppressStep(1));
        WriteLock lock(pool);
        for (Vq::AuxVertexField* f : {fv.get(), ids.get(), wts.get(), dbl.get()})
            ASSERT_TRUE(pool.bindAuxField(f));
    }

    // A pool of the same standard bindings with room for the records.
    static void blankLike(const VqVertexRecordPool& src, VqVertexRecordPool& out) {
        ASSERT_TRUE(out.setBindings(src.getBindings() & ~VQ_GEOMBIND_AUXFIELDS_MASK));
        WriteLock lock(out);
        ASSERT_TRUE(out.allocate(src.numVtxRecords()));
    }

    static std::vector<uint32_t> someIndices(uint32_t n) {
        // Every other record, backwards: order and gaps must be kept.
        std::vector<uint32_t> idx;
        for (uint32_t i = n; i-- > 0;)
            if (i % 2 == 0) idx.push_back(i);
        return idx;
    }
};
