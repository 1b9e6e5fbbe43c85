#include "VqBlockDataStream.h"
#include "VqDataStream.h"
#include "VqLibFixture.h"
#include "VqMemoryByteStream.h"
#include "VqStdError.h"
#include "VqString.h"
#include "VqVec.h"

#include <cstring>
#include <vector>

namespace {

class DataStreamTest : public VqLibTest {
protected:
    // A data stream writing into memory.
    void startWriting() {
        _pBytes = new VqMemoryByteStream(false);
        _pData = new VqDataStream(_pBytes.get());
        _pData->open();
    }
    std::vector<uint8_t> written() const {
        return std::vector<uint8_t>(_pBytes->data(), _pBytes->data() + _pBytes->dataLength());
    }
    // A data stream reading image as written by a host of the given order.
    void startReading(const std::vector<uint8_t>& image, VqByteOrder order) {
        _pBytes = new VqMemoryByteStream(true);
        if (!image.empty()) {
            ASSERT_TRUE(_pBytes->setData(image.data(), image.size()));
        }
        _pData = new VqDataStream(_pBytes.get());
        _pData->open();
        _pData->setByteOrder(order);
    }
    static VqByteOrder otherOrder() {
        return VqBaseDataStream::s_systemByteOrder() == LsbFirst ? MsbFirst : LsbFirst;
    }

    Vq::SharedPtr<VqMemoryByteStream> _pBytes;
    Vq::SharedPtr<VqDataStream> _pData;
};

const VqGUID kGuid(0x01020304, 0x0506, 0x0708, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10);

// Writes one of everything; readAll checks it back.
void writeAll(VqBaseDataStream& s) {
    ASSERT_TRUE(s.write(true));
    ASSERT_TRUE(s.write('x'));
    ASSERT_TRUE(s.write(static_cast<unsigned char>(0xFE)));
    ASSERT_TRUE(s.write(static_cast<short>(-12345)));
    ASSERT_TRUE(s.write(static_cast<unsigned short>(0xBEEF)));
    ASSERT_TRUE(s.write(-123456789));
    ASSERT_TRUE(s.write(0xDEADBEEFu));
    ASSERT_TRUE(s.write(-1234567890123456789L));
    ASSERT_TRUE(s.write(0xFEDCBA9876543210UL));
    ASSERT_TRUE(s.write(3.25f));
    ASSERT_TRUE(s.write(-2.0e300));
    ASSERT_TRUE(s.write(VqBitField<1>(0x80000005u)));
    ASSERT_TRUE(s.write(kGuid));
    ASSERT_TRUE(s.write(VqString("h\xC3\xA9llo")));
    const int ints[3] = {1, -2, 3};
    ASSERT_TRUE(s.write(ints, 3));
    const double dbls[2] = {0.5, -0.25};
    ASSERT_TRUE(s.write(dbls, 2));
    ASSERT_TRUE(s.writeVecus({1, 2, 0xFFFF}));
    ASSERT_TRUE(s.writeVecl({-1, 1L << 40}));
    ASSERT_TRUE(s.writeVecf({}));
    ASSERT_TRUE(s.writeVVec3f({VqVec3f(1.f, 2.f, 3.f), VqVec3f(4.f, 5.f, 6.f)}));
    ASSERT_TRUE(s.writeVec3f(VqVec3f(7.f, 8.f, 9.f)));
    VqMatrix4d m;
    m.m[3][0] = 10.0;
    ASSERT_TRUE(s.writeMatrix4d(m));
}

// Reads one value of T and compares it with expected.
template <class T>
void expectRead(VqBaseDataStream& s, const T& expected) {
    T v{};
    ASSERT_TRUE(s.read(&v));
    EXPECT_EQ(v, expected);
}

void readAll(VqBaseDataStream& s) {
    expectRead(s, true);
    expectRead(s, 'x');
    expectRead(s, static_cast<unsigned char>(0xFE));
    expectRead(s, static_cast<short>(-12345));
    expectRead(s, static_cast<unsigned short>(0xBEEF));
    expectRead(s, -123456789);
    expectRead(s, 0xDEADBEEFu);
    expectRead(s, -1234567890123456789L);
    expectRead(s, 0xFEDCBA9876543210UL);
    expectRead(s, 3.25f);
    expectRead(s, -2.0e300);
    VqBitField<1> bits;
    ASSERT_TRUE(s.read(&bits));
    EXPECT_EQ(bits.bits(), 0x80000005u);
    VqGUID g;
    ASSERT_TRUE(s.read(g));
    EXPECT_EQ(g, kGuid);
    VqString str;
    ASSERT_TRUE(s.read(str));
    EXPECT_EQ(str, VqString("h\xC3\xA9llo"));
    int ints[3] = {};
    ASSERT_TRUE(s.read(ints, 3));
    EXPECT_EQ(ints[1], -2);
    double dbls[2] = {};
    ASSERT_TRUE(s.read(dbls, 2));
    EXPECT_EQ(dbls[1], -0.25);
    std::vector<unsigned short> vus;
    ASSERT_TRUE(s.readVecus(vus));
    EXPECT_EQ(vus, (std::vector<unsigned short>{1, 2, 0xFFFF}));
    VqVec<long> vl;
    ASSERT_TRUE(s.readVecl(vl));
    EXPECT_EQ(vl, (std::vector<long>{-1, 1L << 40}));
    std::vector<float> vf = {1.f};
    ASSERT_TRUE(s.readVecf(vf));
    EXPECT_TRUE(vf.empty());
    std::vector<VqVec3f> vv;
    ASSERT_TRUE(s.readVVec3f(vv));
    ASSERT_EQ(vv.size(), 2u);
    EXPECT_EQ(vv[1], VqVec3f(4.f, 5.f, 6.f));
    VqVec3f v3;
    ASSERT_TRUE(s.readVec3f(v3));
    EXPECT_EQ(v3, VqVec3f(7.f, 8.f, 9.f));
    VqMatrix4d m;
    m.m[3][0] = 0;
    ASSERT_TRUE(s.readMatrix4d(m));
    EXPECT_EQ(m.m[3][0], 10.0);
    EXPECT_EQ(m.m[2][2], 1.0);
}

// Reverses the bytes of each multi-byte value of writeAll's image, as a host
// of the other byte order would have written it.
std::vector<uint8_t> swapImage(const std::vector<uint8_t>& in) {
    std::vector<uint8_t> out = in;
    size_t pos = 0;
    auto swap = [&](size_t width, size_t count = 1) {
        for (size_t k = 0; k < count; ++k, pos += width)
            std::reverse(out.begin() + pos, out.begin() + pos + width);
    };
    auto skip = [&](size_t n) { pos += n; };
    auto count = [&]() {
        int32_t n;
        std::memcpy(&n, in.data() + pos, 4);
        swap(4);
        return static_cast<size_t>(n);
    };
    swap(4);                      // bool
    skip(2);                      // char, unsigned char
    swap(2, 2);                   // short, unsigned short
    swap(4, 2);                   // int, unsigned int
    swap(8, 2);                   // long, unsigned long
    swap(4);                      // float
    swap(8);                      // double
    swap(4);                      // bit field
    swap(4), swap(2, 2), skip(8); // GUID: only the first three fields
    swap(2, count());             // string
    swap(4, 3);                   // int array
    swap(8, 2);                   // double array
    swap(2, count());             // vector of unsigned short
    swap(8, count());             // vector of long
    swap(4, count());             // empty float vector
    swap(4, 3 * count());         // vector of 3-float vectors
    swap(4, 3);                   // fixed 3-float vector
    swap(8, 16);                  // matrix
    EXPECT_EQ(pos, in.size());
    return out;
}

TEST_F(DataStreamTest, EveryPrimitiveRoundTripsInEitherByteOrder) {
    startWriting();
    writeAll(*_pData);
    const std::vector<uint8_t> image = written();
    startReading(image, VqBaseDataStream::s_systemByteOrder());
    EXPECT_FALSE(_pData->isSwapping());
    readAll(*_pData);
    // The same values as a host of the other byte order writes them.
    startReading(swapImage(image), otherOrder());
    EXPECT_TRUE(_pData->isSwapping());
    readAll(*_pData);
}

TEST_F(DataStreamTest, HandBuiltMostSignificantFirstImage) {
    const std::vector<uint8_t> image = {
        0x00, 0x00, 0x00, 0x02,                         // bool: any nonzero is true
        0xFF, 0xFE,                                     // short -2
        0x12, 0x34, 0x56, 0x78,                         // int
        0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, // unsigned long
        0x3F, 0xC0, 0x00, 0x00,                         // float 1.5
        0xC0, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // double -2.5
        0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, // GUID
        0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10, //
        0x00, 0x00, 0x00, 0x02, 0x00, 0x41, 0x00, 0xE9, // string "Aé"
        0x00, 0x00, 0x00, 0x00,                         // ""
    };
    startReading(image, MsbFirst);
    bool b = false;
    short sh = 0;
    int i = 0;
    unsigned long ul = 0;
    float f = 0;
    double d = 0;
    VqGUID g;
    VqString s1, s2("x");
    ASSERT_TRUE(_pData->read(&b) && _pData->read(&sh) && _pData->read(&i) && _pData->read(&ul));
    ASSERT_TRUE(_pData->read(&f) && _pData->read(&d) && _pData->read(g) && _pData->read(s1) &&
                _pData->read(s2));
    EXPECT_TRUE(b);
    EXPECT_EQ(sh, -2);
    EXPECT_EQ(i, 0x12345678);
    EXPECT_EQ(ul, 0x0102030405060708UL);
    EXPECT_EQ(f, 1.5f);
    EXPECT_EQ(d, -2.5);
    EXPECT_EQ(g, VqGUID(0x01020304, 0x0506, 0x0708, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10));
    const unsigned short expected[] = {0x41, 0xE9, 0};
    EXPECT_EQ(s1, VqString(expected));
    EXPECT_TRUE(s2.isEmpty());
}

TEST_F(DataStreamTest, NoOrderSwapsAndBytesNeverDo) {
    const std::vector<uint8_t> image = {0x00, 0x01, 0xAB, 0xCD};
    startReading(image, NoOrder);
    EXPECT_EQ(_pData->isSwapping(), VqBaseDataStream::s_systemByteOrder() != NoOrder);
    short sh = 0;
    unsigned char bytes[2] = {};
    ASSERT_TRUE(_pData->read(&sh));
    ASSERT_TRUE(_pData->read(bytes, 2));
    EXPECT_EQ(sh, 1);
    EXPECT_EQ(bytes[0], 0xAB);
    EXPECT_EQ(bytes[1], 0xCD);
}

TEST_F(DataStreamTest, EmptyAndLongStrings) {
    // An empty string is its count alone.
    startWriting();
    ASSERT_TRUE(_pData->write(VqString("")));
    EXPECT_EQ(written(), (std::vector<uint8_t>{0, 0, 0, 0}));

    // A long one is read through the heap.
    std::vector<unsigned short> units(5000, 0x263A);
    units.push_back(0);
    VqString big(units.data());
    startWriting();
    ASSERT_TRUE(_pData->write(big));
    startReading(written(), VqBaseDataStream::s_systemByteOrder());
    VqString back;
    ASSERT_TRUE(_pData->read(back));
    EXPECT_EQ(back, big);

    // Longer than one 1 MiB reading piece: read back in several pieces.
    std::vector<unsigned short> many(700000);
    for (size_t i = 0; i < many.size(); ++i)
        many[i] = static_cast<unsigned short>(0x100 + i % 0xD000);
    many.push_back(0);
    VqString huge(many.data());
    startWriting();
    ASSERT_TRUE(_pData->write(huge));
    startReading(written(), VqBaseDataStream::s_systemByteOrder());
    ASSERT_TRUE(_pData->read(back));
    EXPECT_EQ(back, huge);
}

TEST_F(DataStreamTest, BitPacking) {
    startWriting();
    ASSERT_TRUE(_pData->writeBits(5, 3));
    ASSERT_TRUE(_pData->writeAlignmentBits());
    ASSERT_TRUE(_pData->writeAlignmentBits());
    EXPECT_EQ(written(), (std::vector<uint8_t>{0xA0}));

    startWriting();
    ASSERT_TRUE(_pData->writeBits(1, 1));
    ASSERT_TRUE(_pData->writeBits(0x12345678u, 32));
    ASSERT_TRUE(_pData->writeBits64(0x1ABCDEF012UL, 37));
    ASSERT_TRUE(_pData->writeBits(0, 0));
    ASSERT_TRUE(_pData->writeAlignmentBits());
    EXPECT_EQ(written().size(), 9u);
    startReading(written(), VqBaseDataStream::s_systemByteOrder());
    unsigned int one = 0, word = 0;
    unsigned long wide = 0;
    ASSERT_TRUE(_pData->readBits(one, 1));
    ASSERT_TRUE(_pData->readBits(word, 32));
    ASSERT_TRUE(_pData->readBits64(wide, 37));
    EXPECT_EQ(one, 1u);
    EXPECT_EQ(word, 0x12345678u);
    EXPECT_EQ(wide, 0x1ABCDEF012UL);

    EXPECT_FALSE(_pData->writeBits(1, 33));
    EXPECT_EQ(lastError(), "nBits >= 0 && nBits <= 32");
    EXPECT_FALSE(_pData->readBits64(wide, -1));
    EXPECT_EQ(lastError(), "nBits >= 0 && nBits <= 64");
}

TEST_F(DataStreamTest, ShortReadsAndBadCounts) {
    startReading({1, 2, 3}, LsbFirst);
    int i = 0;
    EXPECT_FALSE(_pData->read(&i));
    EXPECT_EQ(lastError(), "Short read");
    EXPECT_EQ(lastCode(), VQ_ERR_SHORT_READ);

    // A negative count.
    startReading({0xFF, 0xFF, 0xFF, 0xFF}, LsbFirst);
    std::vector<int> v;
    EXPECT_FALSE(_pData->readVeci(v));
    EXPECT_EQ(lastError(), "len >= 0");

    // A count far beyond the bytes that remain is refused before anything is allocated.
    startReading({0xFF, 0xFF, 0xFF, 0x7F, 1, 2, 3, 4}, LsbFirst);
    VqString s;
    EXPECT_FALSE(_pData->read(s));
    EXPECT_EQ(lastError(), "Short read");
    startReading({0x00, 0x00, 0x00, 0x40, 1, 2, 3, 4}, LsbFirst);
    std::vector<double> vd;
    EXPECT_FALSE(_pData->readVecd(vd));
    EXPECT_EQ(lastError(), "Short read");
    EXPECT_TRUE(vd.empty());
}

TEST_F(DataStreamTest, ByteSwapHelpers) {
    unsigned long w[2] = {0x0102030405060708UL, 0x1122334455667788UL};
    VqBaseDataStream::s_wordSwap(w, 2);
    EXPECT_EQ(w[0], 0x0506070801020304UL);
    VqBaseDataStream::s_byteSwap(w, 1);
    EXPECT_EQ(w[0], 0x0403020108070605UL);
    float f = 1.0f;
    VqBaseDataStream::s_byteSwap(&f, 1);
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    EXPECT_EQ(bits, 0x0000803Fu);
}

TEST_F(DataStreamTest, MissingByteStreamIsReported) {
    Vq::SharedPtr<VqDataStream> s = new VqDataStream(nullptr);
    EXPECT_FALSE(s->write(1));
    EXPECT_EQ(lastError(), "_pRaw");
    EXPECT_EQ(lastCode(), VQ_ERR_INTERNAL);
}

TEST_F(DataStreamTest, BlockStreamMovesWholeBlocks) {
    Vq::SharedPtr<VqMemoryByteStream> bytes = new VqMemoryByteStream(false);
    {
        Vq::SharedPtr<VqBlockDataStream> s = new VqBlockDataStream(bytes.get(), 100);
        s->open();
        std::vector<int> payload(600);
        for (int k = 0; k < 600; ++k)
            payload[k] = k * 7;
        ASSERT_TRUE(s->write(payload.data(), 600));
        uint64_t pos = 0;
        s->getPosition(pos);
        EXPECT_EQ(pos, 2400u);
        s->close();
    }
    // Three whole blocks after the base.
    EXPECT_EQ(bytes->dataLength(), 100u + 3 * VQ_STREAM_BLOCK_SIZE);
    Vq::SharedPtr<VqBlockDataStream> s = new VqBlockDataStream(bytes.get(), 100);
    s->open();
    s->seek(1020);
    int v[2] = {};
    ASSERT_TRUE(s->read(v, 2));
    EXPECT_EQ(v[0], 255 * 7);
    EXPECT_EQ(v[1], 256 * 7);
    s->close();

    // A block cut short is a corrupt file.
    std::vector<uint8_t> cut(bytes->data(), bytes->data() + 100 + 1500);
    Vq::SharedPtr<VqMemoryByteStream> ro = new VqMemoryByteStream(true);
    ASSERT_TRUE(ro->setData(cut.data(), cut.size()));
    Vq::SharedPtr<VqBlockDataStream> bad = new VqBlockDataStream(ro.get(), 100);
    bad->open();
    bad->seek(1024);
    EXPECT_FALSE(bad->read(v, 1));
    EXPECT_EQ(lastError(), "Corrupted scrambled VQ file");
    EXPECT_EQ(lastCode(), VQ_ERR_READ);
}

} // namespace
