// The coded vertex arrays of the mesh records: round trips through the
// object streams that carry them (plain and segment streams, VQ 9.x with the
// version-2 driver and VQ 10 with the version-3 driver), the error bounds of
// quantised arrays, the check values, and the 9.x layout against bytes worked
// out by hand.
#include "PoolCodedTestUtil.h"
#include "VqLookup2.h"

#include <cmath>
#include <set>

namespace {

class CodedRoundTrip : public CodedArrayTest,
                       public ::testing::WithParamInterface<std::tuple<Kind, int /*major*/, int /*minor*/>> {
};

TEST_P(CodedRoundTrip, ZeroBitsKeepEveryBit) {
    const auto [kind, major, minor] = GetParam();
    VqVertexRecordPool pool(kAll);
    fill(pool, 300, true);
    addFields(pool);
    const std::vector<uint32_t> idx = someIndices(300);
    const Bytes image =
        writeWith(kind, major, minor, [&](VqObjectStream& os) { return writeAll(pool, os, idx, Bits()); });
    ASSERT_FALSE(image.empty());
    VqVertexRecordPool back;
    blankLike(pool, back);
    ASSERT_TRUE(readWith(kind, major, minor, image, [&](VqObjectStream& os) {
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
    // The multi-step field goes to VQ 10 streams only, without its
    // suppressed step; the others come back whole at the records written and
    // zero elsewhere.
    if (major >= 10) {
        EXPECT_EQ(back.numAuxFields(), 4u);
        const Vq::AuxVertexField *fa = pool.auxField(kStress), *fb = back.auxField(kStress);
        ASSERT_NE(fb, nullptr);
        ASSERT_EQ(fb->numSteps(), 2u);
        for (uint32_t i : idx) {
            EXPECT_EQ(std::memcmp(fa->record(0, i), fb->record(0, i), 16), 0);
            EXPECT_EQ(std::memcmp(fa->record(2, i), fb->record(1, i), 16), 0);
        }
    } else {
        EXPECT_EQ(back.numAuxFields(), 3u);
        EXPECT_EQ(back.auxField(kStress), nullptr);
    }
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
    const auto [kind, major, minor] = GetParam();
    VqVertexRecordPool pool(kAll);
    fill(pool, 500, false, 3);
    const std::vector<uint32_t> idx = someIndices(500);
    for (const Bits bits : {Bits{9, 3, 6, 4}, Bits{16, 8, 12, 6}, Bits{24, 13, 16, 8}}) {
        const Bytes image =
            writeWith(kind, major, minor, [&](VqObjectStream& os) { return writeAll(pool, os, idx, bits); });
        VqVertexRecordPool back;
        blankLike(pool, back);
        ASSERT_TRUE(readWith(kind, major, minor, image, [&](VqObjectStream& os) {
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

std::string streamName(const ::testing::TestParamInfo<std::tuple<Kind, int, int>>& info) {
    const auto [kind, major, minor] = info.param;
    return std::string(kindName(kind)) + "_" + std::to_string(major) + "_" + std::to_string(minor);
}

INSTANTIATE_TEST_SUITE_P(Vq9, CodedRoundTrip,
                         ::testing::Combine(::testing::Values(Kind::Plain, Kind::Zlib), ::testing::Values(9),
                                            ::testing::Values(0, 4)),
                         streamName);
// Format 10 segments are LZMA streams; 10.1 changes nothing in the arrays.
INSTANTIATE_TEST_SUITE_P(Vq10, CodedRoundTrip,
                         ::testing::Combine(::testing::Values(Kind::Plain, Kind::Zlib, Kind::Lzma),
                                            ::testing::Values(10), ::testing::Values(0, 1)),
                         streamName);

// Tests run once with each driver generation, through plain streams.
class CodedFormat : public CodedArrayTest, public ::testing::WithParamInterface<std::pair<int, int>> {};

INSTANTIATE_TEST_SUITE_P(Drivers, CodedFormat, ::testing::Values(std::pair(9, 4), std::pair(10, 0)),
                         [](const auto& info) {
                             return "Vq" + std::to_string(info.param.first) + "_" +
                                    std::to_string(info.param.second);
                         });

TEST_P(CodedFormat, CoordinatesStayWithinTheBoundAtEveryWidth) {
    const auto [major, minor] = GetParam();
    VqVertexRecordPool pool(VQ_GEOMBIND_VTXCOORD3);
    fill(pool, 200, false, 5);
    std::vector<uint32_t> idx(200);
    for (uint32_t i = 0; i < 200; ++i)
        idx[i] = i;
    const VqBox3<float> box = pool.bbox();
    for (int b = 9; b <= 24; ++b) {
        Bits bits;
        bits.vtx = b;
        const Bytes image = writeWith(Kind::Plain, major, minor,
                                      [&](VqObjectStream& os) { return writeAll(pool, os, idx, bits); });
        VqVertexRecordPool back;
        blankLike(pool, back);
        ASSERT_TRUE(readWith(Kind::Plain, major, minor, image,
                             [&](VqObjectStream& os) { return readAll(back, os, idx, false); }));
        for (int c = 0; c < 3; ++c) {
            const double ext = double(box.max[c]) - box.min[c];
            const double bound = ext / (2 * (std::pow(2.0, b) - 1)) + (std::nextafter(50.0f, 100.0f) - 50.0f);
            for (uint32_t i : idx)
                ASSERT_LE(std::fabs(coordOf(pool, i, c) - coordOf(back, i, c)), bound) << "b=" << b;
        }
    }
}

TEST_P(CodedFormat, HomogeneousAnd2DCoordinates) {
    const auto [major, minor] = GetParam();
    VqVertexRecordPool hom(VQ_GEOMBIND_VTXCOORD4);
    Records r;
    r.coords = {2, 4, 6, 2, 1, 1, 1, 1};
    ASSERT_TRUE(r.addTo(hom, 2));
    const std::vector<uint32_t> idx = {0, 1};
    for (int b : {0, 20}) {
        Bits bits;
        bits.vtx = b;
        const Bytes image = writeWith(Kind::Plain, major, minor,
                                      [&](VqObjectStream& os) { return writeAll(hom, os, idx, bits); });
        VqVertexRecordPool back;
        blankLike(hom, back);
        ASSERT_TRUE(readWith(Kind::Plain, major, minor, image,
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
    const Bytes image = writeWith(Kind::Plain, major, minor,
                                  [&](VqObjectStream& os) { return writeAll(flat, os, idx, bits); });
    VqVertexRecordPool back;
    blankLike(flat, back);
    ASSERT_TRUE(readWith(Kind::Plain, major, minor, image,
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

// Quantised multi-step fields, which only VQ 10 streams carry.
TEST_F(CodedArrayTest, QuantisedMultiStepFieldsInVersion10Streams) {
    VqVertexRecordPool pool(VQ_GEOMBIND_VTXCOORD3);
    fill(pool, 20, false);
    addFields(pool);
    Vq::AuxVertexField* d = pool.auxField(kStress);
    ASSERT_TRUE(d->setQuantizationBits(20));
    std::vector<uint32_t> idx(20);
    for (uint32_t i = 0; i < 20; ++i)
        idx[i] = i;
    const Bytes image = writeWith(Kind::Plain, 10, 0, [&](VqObjectStream& os) {
        Vq::CodecDriver3T<int> cd;
        uint32_t h = 0;
        return pool._writeAuxiliaryFields(os, cd, idx.data(), 20, h);
    });
    VqVertexRecordPool back;
    blankLike(pool, back);
    ASSERT_TRUE(readWith(Kind::Plain, 10, 0, image, [&](VqObjectStream& os) {
        Vq::CodecDriver3T<int> cd;
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
TEST_P(CodedFormat, FlippedBitsAreRefused) {
    const auto [major, minor] = GetParam();
    VqVertexRecordPool pool(kAll);
    fill(pool, 12, false, 9);
    addFields(pool);
    const std::vector<uint32_t> idx = someIndices(12);
    const Bits bits{14, 6, 10, 5};
    const Bytes image = writeWith(Kind::Plain, major, minor,
                                  [&](VqObjectStream& os) { return writeAll(pool, os, idx, bits); });
    VqVertexRecordPool ref;
    blankLike(pool, ref);
    ASSERT_TRUE(readWith(Kind::Plain, major, minor, image,
                         [&](VqObjectStream& os) { return readAll(ref, os, idx, true); }));
    Bytes refRaw;
    {
        VqTestObjectStream os = VqTestObjectStream::forWriting(major, minor);
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
        if (!readWith(Kind::Plain, major, minor, bad,
                      [&](VqObjectStream& os) { return readAll(back, os, idx, true); })) {
            ++refused;
            hashRefusals += lastError() == "uHash == uRefHash";
            continue;
        }
        VqTestObjectStream os = VqTestObjectStream::forWriting(major, minor);
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
    EXPECT_FALSE(readWith(Kind::Plain, major, minor, bad,
                          [&](VqObjectStream& os) { return readAll(back, os, idx, true); }));
    EXPECT_EQ(lastError(), "uHash == uRefHash");
}

// Long coordinate arrays of a VQ 10 record are read first and decoded
// together: each array keeps its check value, and a damaged one leaves every
// record as it was. Points on the diagonal give three equal packets, so the
// layout places the check values: after the stream's length field and the
// header (count, components, the quantizer's 27 bytes) each packet and its
// check value take a third.
TEST_F(CodedArrayTest, CoordinateArraysDecodedTogetherKeepTheirChecks) {
    const uint32_t n = 3000;
    VqVertexRecordPool pool(VQ_GEOMBIND_VTXCOORD3);
    Records r;
    std::mt19937 rng(5);
    for (uint32_t i = 0; i < n; ++i)
        r.coords.insert(r.coords.end(), 3, float(rng() % 2048));
    ASSERT_TRUE(r.addTo(pool, n));
    const std::vector<uint32_t> idx = someIndices(n);
    const uint32_t m = uint32_t(idx.size());
    const Bytes image = writeWith(Kind::Plain, 10, 0, [&](VqObjectStream& os) {
        Vq::CodecDriver3T<int> cd;
        uint32_t h = 0;
        return pool._writeQuantizedVertexArray(os, cd, idx.data(), m, VqBox3<float>(), 11, h);
    });
    const size_t header = 4 + 4 + 1 + 27, third = (image.size() - header) / 3;
    ASSERT_EQ(header + 3 * third, image.size());
    const auto readBack = [&](const Bytes& bytes, VqVertexRecordPool& back) {
        blankLike(pool, back);
        return readWith(Kind::Plain, 10, 0, bytes, [&](VqObjectStream& os) {
            Vq::CodecDriver3T<int> cd;
            uint32_t h = 0;
            WriteLock lock(back);
            return back._readQuantizedVertexArray(os, cd, idx.data(), m, h);
        });
    };
    VqVertexRecordPool back;
    ASSERT_TRUE(readBack(image, back)) << lastError();
    for (uint32_t i : idx)
        ASSERT_EQ(back.fields()->vtxCoords()[3 * i + 1], r.coords[3 * i + 1]) << i;

    Bytes bad = image;
    bad[header + 2 * third - 1] ^= 0x01; // y's check value
    VqVertexRecordPool badBack;
    EXPECT_FALSE(readBack(bad, badBack));
    EXPECT_EQ(lastError(), "uHash == uRefHash");
    bad = image;
    bad[header + 2 * third + third / 2] ^= 0x40; // inside z's packet
    EXPECT_FALSE(readBack(bad, badBack));
    EXPECT_FALSE(readBack(Bytes(image.begin(), image.begin() + header + third + third / 2), badBack));
    EXPECT_EQ(lastCode(), VQ_ERR_SHORT_READ);
    for (uint32_t i = 0; i < 3 * n; ++i)
        ASSERT_EQ(badBack.fields()->vtxCoords()[i], 0.0f) << i;
}

// A VQ 10 record's coordinates and normals are decoded together and their
// check values hashed together: the chain ends where the writer's did, and
// a damaged check value is refused by the array it belongs to, though the
// hashes after it start from it.
TEST_F(CodedArrayTest, CoordinatesAndNormalsTogetherKeepTheirChecksInOrder) {
    const uint32_t n = 3000;
    VqVertexRecordPool pool(VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_NORMVEC3);
    Records r;
    std::mt19937 rng(9);
    for (uint32_t i = 0; i < n; ++i) {
        r.coords.insert(r.coords.end(), 3, float(rng() % 2048));
        const float a = float(rng() % 6283) / 1000.0f;
        r.normals.insert(r.normals.end(), {std::cos(a) * 0.6f, std::sin(a) * 0.6f, 0.8f});
    }
    ASSERT_TRUE(r.addTo(pool, n));
    const std::vector<uint32_t> idx = someIndices(n);
    const uint32_t m = uint32_t(idx.size());
    uint32_t uWritten = 0;
    const auto write = [&](bool bNormals) {
        return writeWith(Kind::Plain, 10, 0, [&](VqObjectStream& os) {
            Vq::CodecDriver3T<int> cd;
            uWritten = 0;
            return pool._writeQuantizedVertexArray(os, cd, idx.data(), m, VqBox3<float>(), 11, uWritten) &&
                   (!bNormals || pool._writeQuantizedNormalArray(os, cd, idx.data(), m, 8, uWritten));
        });
    };
    const size_t coordsEnd = write(false).size();
    const Bytes image = write(true);
    std::vector<float> coords(3 * size_t(n));
    uint32_t uRead = 0;
    const auto readBack = [&](const Bytes& bytes) {
        VqVertexRecordPool back;
        blankLike(pool, back);
        return readWith(Kind::Plain, 10, 0, bytes, [&](VqObjectStream& os) {
            Vq::CodecDriver3T<int> cd;
            uint64_t uCoordsEnd = 0;
            double dGap = 0;
            uRead = 0;
            WriteLock lock(back);
            return back._readQuantizedCoordAndNormalArrays(os, cd, 3, idx.data(), m, coords.data(), m, uRead,
                                                           uCoordsEnd, dGap);
        });
    };
    ASSERT_TRUE(readBack(image)) << lastError();
    EXPECT_EQ(uRead, uWritten);
    for (uint32_t i : idx)
        ASSERT_NEAR(coords[3 * i + 2], r.coords[3 * i + 2], 0.51f) << i; // half a step of 11 bits

    const auto refusedBy = [&](size_t at) {
        Bytes bad = image;
        bad[at] ^= 0x01;
        if (readBack(bad)) return std::string("read");
        EXPECT_EQ(lastError(), "uHash == uRefHash");
        return VqErrorState::currentError()->methodName().toUtf8();
    };
    const size_t third = (coordsEnd - (4 + 4 + 1 + 27)) / 3;
    EXPECT_EQ(refusedBy(coordsEnd - third - 1), "_readQuantizedVertexArray"); // y's check value
    EXPECT_EQ(refusedBy(coordsEnd - 1), "_readQuantizedVertexArray");         // z's
    EXPECT_EQ(refusedBy(image.size() - 1), "_readQuantizedNormalArray");
}

TEST_P(CodedFormat, CountsAndComponentsFromTheFileMustMatchThePool) {
    const auto [major, minor] = GetParam();
    VqVertexRecordPool pool(VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_VTXCOLOR3);
    Records r;
    r.coords = {1, 2, 3, 4, 5, 6};
    r.colors = {0, 0, 0, 1, 1, 1};
    ASSERT_TRUE(r.addTo(pool, 2));
    const std::vector<uint32_t> idx = {0, 1};
    const Bytes image = writeWith(Kind::Plain, major, minor,
                                  [&](VqObjectStream& os) { return writeAll(pool, os, idx, Bits()); });
    // The coder expects one record fewer.
    VqVertexRecordPool back;
    blankLike(pool, back);
    const std::vector<uint32_t> one = {0};
    EXPECT_FALSE(readWith(Kind::Plain, major, minor, image,
                          [&](VqObjectStream& os) { return readAll(back, os, one, false); }));
    EXPECT_EQ(lastError(), "nCount == nIndices");
    // A pool with 4-component colours does not take 3-component ones.
    VqVertexRecordPool other;
    ASSERT_TRUE(other.setBindings(VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_VTXCOLOR4));
    {
        WriteLock lock(other);
        ASSERT_TRUE(other.allocate(2));
    }
    EXPECT_FALSE(readWith(Kind::Plain, major, minor, image,
                          [&](VqObjectStream& os) { return readAll(other, os, idx, false); }));
    EXPECT_EQ(lastError(), "nComps == f.numColorComps()");
    // Records the coder lists must exist.
    const std::vector<uint32_t> beyond = {0, 7};
    EXPECT_FALSE(readWith(Kind::Plain, major, minor, image,
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
