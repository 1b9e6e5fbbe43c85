// The coded vertex arrays of the VQ 9.x records: round trips through the
// object streams that carry them (plain and zlib segment streams), the error
// bounds of quantised arrays, the check values, and the layout against bytes
// worked out by hand.
#include "PoolTestUtil.h"
#include "VqCodecDriver2.h"
#include "VqDataStream.h"
#include "VqLookup2.h"
#include "VqMemoryByteStream.h"
#include "VqTestObjectStream.h"
#include "VqZlibSegObjectStream.h"

#include <cmath>
#include <functional>
#include <random>
#include <set>

namespace {

using Bytes = std::vector<uint8_t>;
enum class Kind { Plain, Zlib };

// One element written through fn into a stream of the given kind and format.
Bytes writeWith(Kind kind, int major, int minor, const std::function<bool(VqObjectStream&)>& fn) {
    if (kind == Kind::Plain) {
        VqTestObjectStream s = VqTestObjectStream::forWriting(major, minor);
        EXPECT_TRUE(s->beginWrite() && fn(*s) && s->endWrite()) << lastError();
        return s.bytes();
    }
    Vq::SharedPtr<VqMemoryByteStream> mem = new VqMemoryByteStream(false);
    Vq::SharedPtr<VqDataStream> ds = new VqDataStream(mem.get());
    ds->open();
    Vq::SharedPtr<VqZlibSegObjectStream> zs = new VqZlibSegObjectStream(ds.get());
    zs->setVersion(major, minor);
    EXPECT_TRUE(zs->beginWrite() && fn(*zs) && zs->endWrite()) << lastError();
    zs->setDataStream(nullptr);
    Bytes b(mem->data(), mem->data() + mem->dataLength());
    ds->close();
    return b;
}

bool readWith(Kind kind, int major, int minor, const Bytes& image,
              const std::function<bool(VqObjectStream&)>& fn) {
    if (kind == Kind::Plain) {
        VqTestObjectStream s = VqTestObjectStream::forReading(image, major, minor);
        return s->beginRead() && fn(*s) && s->endRead();
    }
    Vq::SharedPtr<VqMemoryByteStream> mem = new VqMemoryByteStream(true);
    mem->setData(image.data(), image.size());
    Vq::SharedPtr<VqDataStream> ds = new VqDataStream(mem.get());
    ds->open();
    Vq::SharedPtr<VqZlibSegObjectStream> zs = new VqZlibSegObjectStream(ds.get());
    zs->setVersion(major, minor);
    const bool ok = zs->beginRead() && fn(*zs) && zs->endRead();
    zs->setDataStream(nullptr);
    ds->close();
    return ok;
}

struct Bits {
    int vtx = 0, norm = 0, tex = 0, col = 0;
};

// Every bound attribute of the listed records, in the order a coder writes them.
bool writeAll(const VqVertexRecordPool& p, VqObjectStream& os, const std::vector<uint32_t>& idx,
              const Bits& b) {
    VqCodecDriver2 cd;
    uint32_t h = 0;
    const uint32_t n = uint32_t(idx.size());
    const Vq::VertexRecordFields& f = *p.fields();
    if (!p._writeQuantizedVertexArray(os, cd, idx.data(), n, VqBox3<float>(), b.vtx, h)) return false;
    if (f.numNormalComps() && !p._writeQuantizedNormalArray(os, cd, idx.data(), n, b.norm, h)) return false;
    if (f.numColorComps() && !p._writeQuantizedColorArray(os, cd, idx.data(), n, b.col, h)) return false;
    for (int k = 0; k < 8; ++k)
        if (f.numTexCoordComps(k) && !p._writeQuantizedTextureArray(os, cd, k, idx.data(), n, b.tex, h))
            return false;
    if (f.hasVtxFlags() && !p._writeVtxFlagArray(os, cd, idx.data(), n, h)) return false;
    if ((p.getBindings() & VQ_GEOMBIND_AUXFIELDS_MASK) && !p._writeAuxiliaryFields(os, cd, idx.data(), n, h))
        return false;
    return true;
}

bool readAll(VqVertexRecordPool& p, VqObjectStream& os, const std::vector<uint32_t>& idx, bool bAux) {
    VqCodecDriver2 cd;
    uint32_t h = 0;
    const uint32_t n = uint32_t(idx.size());
    const Vq::VertexRecordFields& f = *p.fields();
    WriteLock lock(p);
    if (!p._readQuantizedVertexArray(os, cd, idx.data(), n, h)) return false;
    if (f.numNormalComps() && !p._readQuantizedNormalArray(os, cd, idx.data(), n, h)) return false;
    if (f.numColorComps() && !p._readQuantizedColorArray(os, cd, idx.data(), n, h)) return false;
    for (int k = 0; k < 8; ++k)
        if (f.numTexCoordComps(k) && !p._readQuantizedTextureArray(os, cd, k, idx.data(), n, h)) return false;
    if (f.hasVtxFlags() && !p._readVtxFlagArray(os, cd, idx.data(), n, h)) return false;
    if (bAux && !p._readAuxiliaryFields(os, cd, idx.data(), n, h)) return false;
    return true;
}

const uint64_t kAll = VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_NORMVEC3 | VQ_GEOMBIND_VTXCOLOR4 |
                      VQ_GEOMBIND_VTXFLAG_MASK | vqTexCoordBinding(0, 2) | vqTexCoordBinding(3, 1);

const VqGUID kStress(0x51AE55, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10);
const VqGUID kIds(0x1D5, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10);

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

class CodedRoundTrip : public CodedArrayTest,
                       public ::testing::WithParamInterface<std::tuple<Kind, int /*minor*/>> {};

TEST_P(CodedRoundTrip, ZeroBitsKeepEveryBit) {
    const auto [kind, minor] = GetParam();
    VqVertexRecordPool pool(kAll);
    fill(pool, 300, true);
    addFields(pool);
    const std::vector<uint32_t> idx = someIndices(300);
    const Bytes image =
        writeWith(kind, 9, minor, [&](VqObjectStream& os) { return writeAll(pool, os, idx, Bits()); });
    ASSERT_FALSE(image.empty());
    VqVertexRecordPool back;
    blankLike(pool, back);
    ASSERT_TRUE(readWith(kind, 9, minor, image, [&](VqObjectStream& os) {
        return readAll(back, os, idx, true);
    })) << lastError();
    const Vq::VertexRecordFields &a = *pool.fields(), &b = *back.fields();
    for (uint32_t i : idx) {
        EXPECT_EQ(std::memcmp(a.vtxCoords() + 3 * i, b.vtxCoords() + 3 * i, 12), 0) << i;
        EXPECT_EQ(std::memcmp(a.normals() + 3 * i, b.normals() + 3 * i, 12), 0) << i;
        EXPECT_EQ(std::memcmp(a.colors() + 4 * i, b.colors() + 4 * i, 16), 0) << i;
        EXPECT_EQ(std::memcmp(a.texCoords(0) + 2 * i, b.texCoords(0) + 2 * i, 8), 0) << i;
        EXPECT_EQ(std::memcmp(a.texCoords(3) + i, b.texCoords(3) + i, 4), 0) << i;
        EXPECT_EQ(a.vtxFlags().get(int(i)), b.vtxFlags().get(int(i))) << i;
    }
    // The multi-step field stays out of a 9.x file; the others come back
    // whole at the records written and zero elsewhere.
    EXPECT_EQ(back.numAuxFields(), 3u);
    EXPECT_EQ(back.auxField(kStress), nullptr);
    for (const VqGUID& g :
         {VqVertexRecordPool::s_AUXFIELD_VQ_TANVECS, VqVertexRecordPool::s_AUXFIELD_VQ_SKIN_INDICES, kIds}) {
        const Vq::AuxVertexField *fa = pool.auxField(g), *fb = back.auxField(g);
        ASSERT_NE(fb, nullptr);
        ASSERT_EQ(fb->type(), fa->type());
        const int rs = fa->recordSize();
        for (uint32_t i : idx)
            EXPECT_EQ(std::memcmp(fa->record(0, i), fb->record(0, i), rs), 0);
        EXPECT_EQ(fb->record(0, 1)[0], 0);
    }
}

TEST_P(CodedRoundTrip, QuantisedArraysStayWithinTheirBounds) {
    const auto [kind, minor] = GetParam();
    VqVertexRecordPool pool(kAll);
    fill(pool, 500, false, 3);
    const std::vector<uint32_t> idx = someIndices(500);
    for (const Bits bits : {Bits{9, 3, 6, 4}, Bits{16, 8, 12, 6}, Bits{24, 13, 16, 8}}) {
        const Bytes image =
            writeWith(kind, 9, minor, [&](VqObjectStream& os) { return writeAll(pool, os, idx, bits); });
        VqVertexRecordPool back;
        blankLike(pool, back);
        ASSERT_TRUE(readWith(kind, 9, minor, image, [&](VqObjectStream& os) {
            return readAll(back, os, idx, false);
        })) << lastError();
        const Vq::VertexRecordFields &a = *pool.fields(), &b = *back.fields();
        // Ranges of the written values, per component, as the writer takes them.
        auto range = [&](const float* v, int nComps, int c) {
            float lo = INFINITY, hi = -INFINITY;
            for (uint32_t i : idx) {
                lo = std::min(lo, v[i * nComps + c]);
                hi = std::max(hi, v[i * nComps + c]);
            }
            return std::pair<float, float>(lo, hi);
        };
        auto step = [](std::pair<float, float> r, int nBits) {
            return (double(r.second) - r.first) / (2.0 * (std::pow(2.0, nBits) - 1));
        };
        for (int c = 0; c < 3; ++c) {
            const auto r = range(a.vtxCoords(), 3, c);
            const double bound = step(r, bits.vtx) + std::nextafter(50.0f, 100.0f) - 50.0f;
            for (uint32_t i : idx)
                ASSERT_LE(std::fabs(a.vtxCoords()[3 * i + c] - b.vtxCoords()[3 * i + c]), bound);
        }
        const double angleBound = 1.25 * 0.6154797 / (1 << bits.norm);
        for (uint32_t i : idx) {
            const VqVec3f na(a.normals()[3 * i], a.normals()[3 * i + 1], a.normals()[3 * i + 2]);
            const VqVec3f nb(b.normals()[3 * i], b.normals()[3 * i + 1], b.normals()[3 * i + 2]);
            const double angle = std::atan2(vqCross(na, nb).length(), double(na.dot(nb)));
            ASSERT_LE(angle, angleBound) << i;
        }
        for (int c = 0; c < 4; ++c) {
            const double bound = step(range(a.colors(), 4, c), bits.col) + 1e-6;
            for (uint32_t i : idx)
                ASSERT_LE(std::fabs(a.colors()[4 * i + c] - b.colors()[4 * i + c]), bound);
        }
        for (int c = 0; c < 2; ++c) {
            const double bound = step(range(a.texCoords(0), 2, c), bits.tex) + 1e-6;
            for (uint32_t i : idx)
                ASSERT_LE(std::fabs(a.texCoords(0)[2 * i + c] - b.texCoords(0)[2 * i + c]), bound);
        }
        for (uint32_t i : idx)
            EXPECT_EQ(a.vtxFlags().get(int(i)), b.vtxFlags().get(int(i)));
    }
}

INSTANTIATE_TEST_SUITE_P(Streams, CodedRoundTrip,
                         ::testing::Combine(::testing::Values(Kind::Plain, Kind::Zlib),
                                            ::testing::Values(0, 4)));

TEST_F(CodedArrayTest, CoordinatesStayWithinTheBoundAtEveryWidth) {
    VqVertexRecordPool pool(VQ_GEOMBIND_VTXCOORD3);
    fill(pool, 200, false, 5);
    std::vector<uint32_t> idx(200);
    for (uint32_t i = 0; i < 200; ++i)
        idx[i] = i;
    const VqBox3<float> box = pool.bbox();
    for (int b = 9; b <= 24; ++b) {
        Bits bits;
        bits.vtx = b;
        const Bytes image =
            writeWith(Kind::Plain, 9, 4, [&](VqObjectStream& os) { return writeAll(pool, os, idx, bits); });
        VqVertexRecordPool back;
        blankLike(pool, back);
        ASSERT_TRUE(readWith(Kind::Plain, 9, 4, image,
                             [&](VqObjectStream& os) { return readAll(back, os, idx, false); }));
        for (int c = 0; c < 3; ++c) {
            const double ext = double(box.max[c]) - box.min[c];
            const double bound = ext / (2 * (std::pow(2.0, b) - 1)) + (std::nextafter(50.0f, 100.0f) - 50.0f);
            for (uint32_t i : idx)
                ASSERT_LE(std::fabs(coordOf(pool, i, c) - coordOf(back, i, c)), bound) << "b=" << b;
        }
    }
}

TEST_F(CodedArrayTest, HomogeneousAnd2DCoordinates) {
    VqVertexRecordPool hom(VQ_GEOMBIND_VTXCOORD4);
    Records r;
    r.coords = {2, 4, 6, 2, 1, 1, 1, 1};
    ASSERT_TRUE(r.addTo(hom, 2));
    const std::vector<uint32_t> idx = {0, 1};
    for (int b : {0, 20}) {
        Bits bits;
        bits.vtx = b;
        const Bytes image =
            writeWith(Kind::Plain, 9, 4, [&](VqObjectStream& os) { return writeAll(hom, os, idx, bits); });
        VqVertexRecordPool back;
        blankLike(hom, back);
        ASSERT_TRUE(readWith(Kind::Plain, 9, 4, image,
                             [&](VqObjectStream& os) { return readAll(back, os, idx, false); }));
        // 0 bits keeps w; with bits the point is kept, with w = 1.
        const std::vector<float> want = b ? std::vector<float>{1, 2, 3, 1} : std::vector<float>{2, 4, 6, 2};
        EXPECT_EQ(std::vector<float>(back.fields()->vtxCoords(), back.fields()->vtxCoords() + 4), want);
    }
    VqVertexRecordPool flat(VQ_GEOMBIND_VTXCOORD2);
    r.coords = {1, 2, 3, 4};
    ASSERT_TRUE(r.addTo(flat, 2));
    Bits bits;
    bits.vtx = 20;
    const Bytes image =
        writeWith(Kind::Plain, 9, 4, [&](VqObjectStream& os) { return writeAll(flat, os, idx, bits); });
    VqVertexRecordPool back;
    blankLike(flat, back);
    ASSERT_TRUE(readWith(Kind::Plain, 9, 4, image,
                         [&](VqObjectStream& os) { return readAll(back, os, idx, false); }));
    EXPECT_EQ(std::vector<float>(back.fields()->vtxCoords(), back.fields()->vtxCoords() + 4),
              (std::vector<float>{1, 2, 3, 4}));
}

TEST_F(CodedArrayTest, QuantisingRefusesValuesThatAreNotFinite) {
    VqVertexRecordPool pool(kAll);
    fill(pool, 10, true);
    const std::vector<uint32_t> idx = {0, 1, 2};
    VqTestObjectStream os = VqTestObjectStream::forWriting(9, 4);
    VqCodecDriver2 cd;
    uint32_t h = 0;
    EXPECT_FALSE(pool._writeQuantizedVertexArray(*os, cd, idx.data(), 3, VqBox3<float>(), 12, h));
    EXPECT_EQ(lastError(), "std::isfinite(x) && std::isfinite(y) && std::isfinite(z)");
    EXPECT_FALSE(pool._writeQuantizedColorArray(*os, cd, idx.data(), 3, 8, h));
    EXPECT_EQ(lastError(), "std::isfinite(color[c])");
    EXPECT_FALSE(pool._writeQuantizedNormalArray(*os, cd, idx.data(), 3, 14, h));
    EXPECT_EQ(lastError(), "nQuantBits >= 0 && nQuantBits <= 13");
}

TEST_F(CodedArrayTest, MultiStepFieldsGoToVersion10StreamsOnly) {
    VqVertexRecordPool pool(VQ_GEOMBIND_VTXCOORD3);
    fill(pool, 20, false);
    addFields(pool);
    Vq::AuxVertexField* d = pool.auxField(kStress);
    ASSERT_TRUE(d->setQuantizationBits(20));
    std::vector<uint32_t> idx(20);
    for (uint32_t i = 0; i < 20; ++i)
        idx[i] = i;
    const Bytes image = writeWith(Kind::Plain, 10, 0, [&](VqObjectStream& os) {
        VqCodecDriver2 cd;
        uint32_t h = 0;
        return pool._writeAuxiliaryFields(os, cd, idx.data(), 20, h);
    });
    VqVertexRecordPool back;
    blankLike(pool, back);
    ASSERT_TRUE(readWith(Kind::Plain, 10, 0, image, [&](VqObjectStream& os) {
        VqCodecDriver2 cd;
        uint32_t h = 0;
        WriteLock lock(back);
        return back._readAuxiliaryFields(os, cd, idx.data(), 20, h);
    })) << lastError();
    const Vq::AuxVertexField* e = back.auxField(kStress);
    ASSERT_NE(e, nullptr);
    // The suppressed step is left out; 20 bits over the range keep each value
    // within range / (2 (2^20 - 1)).
    ASSERT_EQ(e->numSteps(), 2u);
    for (uint32_t s : {0u, 2u})
        for (int c = 0; c < 2; ++c) {
            double lo = INFINITY, hi = -INFINITY;
            for (uint32_t i = 0; i < 20; ++i) {
                lo = std::min(lo, d->componentAsDouble(s, i, c));
                hi = std::max(hi, d->componentAsDouble(s, i, c));
            }
            const double bound = (hi - lo) * 1.0001 / (2 * ((1 << 20) - 1)) + 1e-3;
            for (uint32_t i = 0; i < 20; ++i)
                EXPECT_NEAR(e->componentAsDouble(s == 0 ? 0 : 1, i, c), d->componentAsDouble(s, i, c), bound);
        }
}

// Every single-bit flip of a section is refused or changes nothing that was
// read: no damage passes unnoticed. A flip inside a code text or a check
// value is refused by the check value itself.
TEST_F(CodedArrayTest, FlippedBitsAreRefused) {
    VqVertexRecordPool pool(kAll);
    fill(pool, 12, false, 9);
    addFields(pool);
    const std::vector<uint32_t> idx = someIndices(12);
    const Bits bits{14, 6, 10, 5};
    const Bytes image =
        writeWith(Kind::Plain, 9, 4, [&](VqObjectStream& os) { return writeAll(pool, os, idx, bits); });
    VqVertexRecordPool ref;
    blankLike(pool, ref);
    ASSERT_TRUE(
        readWith(Kind::Plain, 9, 4, image, [&](VqObjectStream& os) { return readAll(ref, os, idx, true); }));
    Bytes refRaw;
    {
        VqTestObjectStream os = VqTestObjectStream::forWriting(9, 4);
        ASSERT_TRUE(ref._writeRaw(*os));
        refRaw = os.bytes();
    }
    int refused = 0, hashRefusals = 0, unchanged = 0;
    // The element's length field (the first 4 bytes) is the stream's business.
    for (size_t bit = 32; bit < image.size() * 8; ++bit) {
        Bytes bad = image;
        bad[bit / 8] ^= uint8_t(1u << (bit % 8));
        VqVertexRecordPool back;
        blankLike(pool, back);
        VqErrorState::clearError();
        if (!readWith(Kind::Plain, 9, 4, bad,
                      [&](VqObjectStream& os) { return readAll(back, os, idx, true); })) {
            ++refused;
            hashRefusals += lastError() == "uHash == uRefHash";
            continue;
        }
        VqTestObjectStream os = VqTestObjectStream::forWriting(9, 4);
        ASSERT_TRUE(back._writeRaw(*os));
        ASSERT_EQ(os.bytes(), refRaw) << "bit " << bit << " changed the records unnoticed";
        ++unchanged;
    }
    EXPECT_GT(refused, 0);
    EXPECT_GT(hashRefusals, refused / 4) << refused << " refused, " << unchanged << " harmless";

    // A changed check value is refused as such.
    Bytes bad = image;
    bad[bad.size() - 1] ^= 0x10;
    VqVertexRecordPool back;
    blankLike(pool, back);
    EXPECT_FALSE(
        readWith(Kind::Plain, 9, 4, bad, [&](VqObjectStream& os) { return readAll(back, os, idx, true); }));
    EXPECT_EQ(lastError(), "uHash == uRefHash");
}

TEST_F(CodedArrayTest, CountsAndComponentsFromTheFileMustMatchThePool) {
    VqVertexRecordPool pool(VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_VTXCOLOR3);
    Records r;
    r.coords = {1, 2, 3, 4, 5, 6};
    r.colors = {0, 0, 0, 1, 1, 1};
    ASSERT_TRUE(r.addTo(pool, 2));
    const std::vector<uint32_t> idx = {0, 1};
    const Bytes image =
        writeWith(Kind::Plain, 9, 4, [&](VqObjectStream& os) { return writeAll(pool, os, idx, Bits()); });
    // The coder expects one record fewer.
    VqVertexRecordPool back;
    blankLike(pool, back);
    const std::vector<uint32_t> one = {0};
    EXPECT_FALSE(readWith(Kind::Plain, 9, 4, image,
                          [&](VqObjectStream& os) { return readAll(back, os, one, false); }));
    EXPECT_EQ(lastError(), "nCount == nIndices");
    // A pool with 4-component colours does not take 3-component ones.
    VqVertexRecordPool other;
    ASSERT_TRUE(other.setBindings(VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_VTXCOLOR4));
    {
        WriteLock lock(other);
        ASSERT_TRUE(other.allocate(2));
    }
    EXPECT_FALSE(readWith(Kind::Plain, 9, 4, image,
                          [&](VqObjectStream& os) { return readAll(other, os, idx, false); }));
    EXPECT_EQ(lastError(), "nComps == f.numColorComps()");
    // Records the coder lists must exist.
    const std::vector<uint32_t> beyond = {0, 7};
    EXPECT_FALSE(readWith(Kind::Plain, 9, 4, image,
                          [&](VqObjectStream& os) { return readAll(back, os, beyond, false); }));
    EXPECT_EQ(lastError(), "indices[i] < numVtxRecords()");
}

// The coordinates of one record (1, 2, 3) at 0 bits, worked out from the
// layout (the library's platform is little-endian): the count, the component
// count, the point quantizer (x, y, z ranges as f32 minimum and maximum, then
// the bit count), and for each component the driver's packet of the raw
// pattern followed by the check value. The packets are the driver's own
// (their layout is pinned by its tests); the check values chain lookup2
// words from 0 over the header words (1, 3, 0), the quantizer record's bytes,
// then each array's one value.
TEST_F(CodedArrayTest, CoordinateArrayMatchesItsLayout) {
    VqVertexRecordPool pool(VQ_GEOMBIND_VTXCOORD3);
    Records r;
    r.coords = {1, 2, 3};
    ASSERT_TRUE(r.addTo(pool, 1));
    const uint32_t idx = 0;
    VqTestObjectStream os = VqTestObjectStream::forWriting(9, 4);
    VqCodecDriver2 cd;
    uint32_t h = 0;
    ASSERT_TRUE(pool._writeQuantizedVertexArray(*os, cd, &idx, 1, VqBox3<float>(), 0, h));

    const Bytes record = {0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x80, 0x3F, 0x00,  // x: [1, 1], 0 bits
                          0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x40, 0x00,  // y: [2, 2]
                          0x00, 0x00, 0x40, 0x40, 0x00, 0x00, 0x40, 0x40, 0x00}; // z: [3, 3]
    auto packetOf = [](uint32_t value) {
        VqVec<int> v{int(value)};
        VqTestObjectStream s = VqTestObjectStream::forWriting(9, 4);
        VqCodecDriver2 d(v);
        EXPECT_TRUE(d.serialize(*s));
        return s.bytes();
    };
    const uint32_t header[3] = {1, 3, 0};
    uint32_t chain = vqLookup2Words(header, 3, 0);
    chain = vqLookup2(record.data(), uint32_t(record.size()), chain);
    Bytes want = {0x01, 0x00, 0x00, 0x00, 0x03};
    want.insert(want.end(), record.begin(), record.end());
    for (uint32_t value : {0x3F800000u, 0x40000000u, 0x40400000u}) {
        const Bytes packet = packetOf(value);
        want.insert(want.end(), packet.begin(), packet.end());
        chain = vqLookup2Words(&value, 1, chain);
        for (int i = 0; i < 4; ++i)
            want.push_back(uint8_t(chain >> (8 * i)));
    }
    EXPECT_EQ(os.bytes(), want);
    EXPECT_EQ(h, chain);
}

// The headers of the other arrays, for two records: normals at 8 bits (the
// count, the bit count, then the codec's own byte), colours at 6 bits
// (count, components, bits, then the colour quantizer: RGB flag 0 and four
// ranges with their bit counts, alpha over [0, 1] with 0 bits for 3
// components), texture unit 1 with 2 components at 0 bits (count,
// components, bits, two quantizers over the values' ranges) and flags
// (count alone).
TEST_F(CodedArrayTest, OtherArrayHeadersMatchTheirLayout) {
    VqVertexRecordPool pool(VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_NORMVEC3 | VQ_GEOMBIND_VTXCOLOR3 |
                            VQ_GEOMBIND_VTXFLAG_MASK | vqTexCoordBinding(1, 2));
    Records r;
    r.coords.assign(6, 0.0f);
    r.normals = {0, 0, 1, 0, 1, 0};
    r.colors = {0.5f, 0, 1, 1, 0, 0.25f};
    r.tex[1] = {-1.5f, 2, 10, 10.5f};
    r.flags = {1, 0};
    ASSERT_TRUE(r.addTo(pool, 2));
    const uint32_t idx[2] = {0, 1};
    VqCodecDriver2 cd;
    uint32_t h = 0;
    auto headerOf = [&](const std::function<bool(VqObjectStream&)>& write, size_t n) {
        VqTestObjectStream os = VqTestObjectStream::forWriting(9, 4);
        EXPECT_TRUE(write(*os)) << lastError();
        const Bytes b = os.bytes();
        return Bytes(b.begin(), b.begin() + std::min(n, b.size()));
    };
    EXPECT_EQ(
        headerOf([&](VqObjectStream& os) { return pool._writeQuantizedNormalArray(os, cd, idx, 2, 8, h); },
                 6),
        (Bytes{0x02, 0x00, 0x00, 0x00, 0x08, 0x08}));
    EXPECT_EQ(
        headerOf([&](VqObjectStream& os) { return pool._writeQuantizedColorArray(os, cd, idx, 2, 6, h); },
                 43),
        (Bytes{0x02, 0x00, 0x00, 0x00, 0x03, 0x06, 0x00,                // count, 3 components, 6 bits, RGB
               0x00, 0x00, 0x00, 0x3F, 0x00, 0x00, 0x80, 0x3F, 0x06,    // red [0.5, 1]
               0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x06,    // green [0, 0]
               0x00, 0x00, 0x80, 0x3E, 0x00, 0x00, 0x80, 0x3F, 0x06,    // blue [0.25, 1]
               0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x3F, 0x00})); // alpha [0, 1], 0 bits
    EXPECT_EQ(
        headerOf(
            [&](VqObjectStream& os) { return pool._writeQuantizedTextureArray(os, cd, 1, idx, 2, 0, h); },
            24),
        (Bytes{0x02, 0x00, 0x00, 0x00, 0x02, 0x00,                      // count, 2 components, 0 bits
               0x00, 0x00, 0xC0, 0xBF, 0x00, 0x00, 0x20, 0x41, 0x00,    // s: [-1.5, 10]
               0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x28, 0x41, 0x00})); // t: [2, 10.5]
    EXPECT_EQ(headerOf([&](VqObjectStream& os) { return pool._writeVtxFlagArray(os, cd, idx, 2, h); }, 5),
              (Bytes{0x02, 0x00, 0x00, 0x00, 0x02}));
}

} // namespace
