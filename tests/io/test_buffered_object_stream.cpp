#include "VqInBufFVec.h"
#include "VqLibFixture.h"
#include "VqPlatform.h"
#include "VqStdError.h"
#include "VqStdException.h"
#include "VqTestObjectStream.h"
#include "VqTestThrown.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

class BufferedObjectStreamTest : public VqLibTest {};

// Nested elements whose payload crosses several buffer fragments.
void writeNested(VqObjectStream& os, const std::vector<int>& payload) {
    ASSERT_TRUE(os.beginWrite());
    ASSERT_TRUE(os.write(1.5));
    ASSERT_TRUE(os.beginWrite());
    ASSERT_TRUE(os.writeVeci(payload));
    for (int i = 0; i < 1000; ++i)
        ASSERT_TRUE(os.write(static_cast<short>(i)));
    ASSERT_TRUE(os.endWrite());
    ASSERT_TRUE(os.write('z'));
    ASSERT_TRUE(os.endWrite());
}

TEST_F(BufferedObjectStreamTest, BufferedWritingMatchesPlainWriting) {
    std::vector<int> payload(200000);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<int>(i * 31);
    VqTestObjectStream plain = VqTestObjectStream::forWriting(10, 0, false);
    VqTestObjectStream buffered = VqTestObjectStream::forWriting(10, 0, true);
    writeNested(*plain, payload);
    writeNested(*buffered, payload);
    ASSERT_TRUE(buffered->write(77));
    ASSERT_TRUE(plain->write(77));
    std::vector<uint8_t> a = plain.bytes(), b = buffered.bytes();
    ASSERT_EQ(a.size(), 4 + 8 + 4 + 4 + payload.size() * 4 + 2000 + 1 + 4);
    EXPECT_TRUE(a == b);

    VqTestObjectStream r = VqTestObjectStream::forReading(b, 10, 0);
    double d = 0;
    std::vector<int> back;
    ASSERT_TRUE(r->beginRead());
    ASSERT_TRUE(r->read(&d));
    ASSERT_TRUE(r->beginRead());
    ASSERT_TRUE(r->readVeci(back));
    // The rest of the inner element is skipped.
    ASSERT_TRUE(r->endRead());
    EXPECT_TRUE(r->dataSkipped());
    char z = 0;
    ASSERT_TRUE(r->read(&z));
    ASSERT_TRUE(r->endRead());
    EXPECT_EQ(z, 'z');
    EXPECT_EQ(back, payload);
    int tail = 0;
    ASSERT_TRUE(r->read(&tail));
    EXPECT_EQ(tail, 77);
}

TEST_F(BufferedObjectStreamTest, ReadAheadServesSmallAndLargePieces) {
    VqTestObjectStream w = VqTestObjectStream::forWriting(10, 0, false);
    std::vector<unsigned char> big(10000);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<unsigned char>(i * 7);
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 1500; ++i)
            ASSERT_TRUE(w->write(i * round));
        ASSERT_TRUE(w->write(big.data(), static_cast<int>(big.size())));
    }
    VqTestObjectStream r = VqTestObjectStream::forReading(w.bytes(), 10, 0);
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 1500; ++i) {
            int v = -1;
            ASSERT_TRUE(r->read(&v));
            ASSERT_EQ(v, i * round);
        }
        std::vector<unsigned char> back(big.size());
        ASSERT_TRUE(r->read(back.data(), static_cast<int>(back.size())));
        ASSERT_TRUE(back == big);
    }
    uint64_t pos = 0;
    r->getPosition(pos);
    EXPECT_EQ(pos, w.bytes().size());
    // Positions seen through seeks inside and outside the read-ahead.
    r->seek(4);
    int v = 0;
    ASSERT_TRUE(r->read(&v));
    EXPECT_EQ(v, 0);
    r->seek(6000 + 10000 + 8);
    ASSERT_TRUE(r->read(&v));
    EXPECT_EQ(v, 2);
    r->seek(pos - 1);
    EXPECT_FALSE(r->read(&v));
    EXPECT_EQ(lastError(), "End of file while filling buffer");
    EXPECT_EQ(lastCode(), VQ_ERR_SHORT_READ);
}

TEST_F(BufferedObjectStreamTest, Errors) {
    VqTestObjectStream w = VqTestObjectStream::forWriting(10, 0, true);
    EXPECT_FALSE(w->endWrite());
    EXPECT_EQ(lastError(), "_bWriteElem");
    ASSERT_TRUE(w->beginWrite());
    ASSERT_TRUE(w->write(5));
    EXPECT_EQ(thrown([&] { w->seek(100); }), (Thrown{"false", VQ_ERR_INTERNAL}));
    ASSERT_TRUE(w->endWrite());

    std::vector<uint8_t> image = w.bytes();
    VqTestObjectStream r = VqTestObjectStream::forReading(image, 10, 0);
    ASSERT_TRUE(r->beginRead());
    EXPECT_FALSE(r->beginWrite());
    EXPECT_EQ(lastError(), "!_bReadElem");
    VqSize n = 0;
    EXPECT_EQ(thrown([&] { r->readBytes(nullptr, 4, n); }),
              (Thrown{"cLength == 0 || ptr != __null", VQ_ERR_ARGUMENT}));
    ASSERT_TRUE(r->endRead());
    auto* buffered = static_cast<VqBufferedObjectStream*>(r.get());
    EXPECT_FALSE(buffered->isReadingElement());
    EXPECT_TRUE(r->_flush());
}

TEST_F(BufferedObjectStreamTest, ElementThatCannotGrowFails) {
    VqTestObjectStream w = VqTestObjectStream::forWriting(10, 0, true);
    ASSERT_TRUE(w->beginWrite());
    std::vector<unsigned char> block(VqInBufFVec::kFragSize, 1);
    VqPlatform::AllocFunc oldAlloc = nullptr;
    VqPlatform::FreeFunc oldFree = nullptr;
    // Only blocks the size of a buffer fragment are refused.
    g_pInstanceVqPlatform->setGblAllocFreeFunc(
        [](size_t n) -> void* { return n >= VqInBufFVec::kFragSize ? nullptr : std::malloc(n); }, nullptr,
        &oldAlloc, &oldFree);
    bool ok = w->write(block.data(), static_cast<int>(block.size()));
    g_pInstanceVqPlatform->setGblAllocFreeFunc(oldAlloc, oldFree, nullptr, nullptr);
    EXPECT_FALSE(ok);
    EXPECT_EQ(lastError(), "_pvOutBuffer->verify(_iCurWritePos+length-1)");
    // The element still closes, and the stream stays usable.
    ASSERT_TRUE(w->endWrite());
    ASSERT_TRUE(w->beginWrite());
    ASSERT_TRUE(w->write(block.data(), static_cast<int>(block.size())));
    ASSERT_TRUE(w->endWrite());
}

TEST_F(BufferedObjectStreamTest, WriteBuffersArePooled) {
    VqObjectStream::s_shrinkWriteBufferPool();
    for (int segment = 0; segment < 1000; ++segment) {
        VqTestObjectStream w = VqTestObjectStream::forWriting(10, 0, true);
        ASSERT_TRUE(w->beginWrite());
        ASSERT_TRUE(w->write(segment));
        ASSERT_TRUE(w->endWrite());
    }
    EXPECT_EQ(VqObjectStream::s_numPooledWriteBuffers(), 1);
    {
        // Two streams at once need two buffers; both return.
        VqTestObjectStream a = VqTestObjectStream::forWriting(10, 0, true);
        VqTestObjectStream b = VqTestObjectStream::forWriting(10, 0, true);
        ASSERT_TRUE(a->beginWrite() && b->beginWrite());
        EXPECT_EQ(VqObjectStream::s_numPooledWriteBuffers(), 0);
    }
    EXPECT_EQ(VqObjectStream::s_numPooledWriteBuffers(), 2);
    VqObjectStream::s_shrinkWriteBufferPool();
    EXPECT_EQ(VqObjectStream::s_numPooledWriteBuffers(), 0);
}

TEST_F(BufferedObjectStreamTest, FragmentedBuffer) {
    VqInBufFVec buf;
    ASSERT_TRUE(buf.verify(VqInBufFVec::kFragSize));
    EXPECT_EQ(buf.numFragments(), 2);
    std::vector<VqUChar> data(100, 9);
    buf.write(VqInBufFVec::kFragSize - 50, data.data(), data.size());
    EXPECT_EQ(buf.length(), VqInBufFVec::kFragSize + 50);
    std::vector<VqUChar> back(100);
    buf.read(VqInBufFVec::kFragSize - 50, back.data(), back.size());
    EXPECT_TRUE(back == data);
    buf.clear();
    EXPECT_EQ(buf.length(), 0u);
    EXPECT_EQ(buf.numFragments(), 1);
}

} // namespace
