#include "VqAdler32.h"
#include "VqCompressor.h"
#include "VqErrorState.h"
#include "VqLibFixture.h"
#include "VqStdError.h"
#include "VqStdException.h"
#include "VqTestThrown.h"

#include <cstdio>
#include <lzma.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace {
using Bytes = std::vector<VqUChar>;

// Half text-like runs, half noise: compresses, but not to nothing.
Bytes sampleData(size_t n, unsigned seed = 7) {
    Bytes b(n);
    std::mt19937 rng(seed);
    for (size_t i = 0; i < n; ++i)
        b[i] = (i / 64) % 2 ? static_cast<VqUChar>(rng()) : "segment data "[i % 13];
    return b;
}

// Runs the streaming calls with deliberately small, odd-sized windows.
Bytes streamCompress(VqCompressor& c, const Bytes& in, size_t inStep, size_t outStep) {
    Bytes out;
    std::vector<VqUChar> chunk(outStep);
    c.beginCompress();
    size_t pos = 0;
    bool done = false;
    while (!done) {
        VqSize take = std::min(inStep, in.size() - pos);
        const VqUChar* nextIn = in.data() + pos;
        VqSize availIn = take;
        do {
            VqUChar* nextOut = chunk.data();
            VqSize availOut = chunk.size();
            done = c.doCompress(nextIn, availIn, nextOut, availOut);
            out.insert(out.end(), chunk.data(), nextOut);
            if (take == 0 && availOut > 0) done = true;
        } while (availIn > 0);
        pos += take;
    }
    c.endCompress();
    return out;
}

Bytes streamUncompress(VqCompressor& c, const Bytes& in, size_t inStep, size_t outStep) {
    Bytes out;
    std::vector<VqUChar> chunk(outStep);
    c.beginUncompress();
    size_t pos = 0;
    for (;;) {
        VqSize take = std::min(inStep, in.size() - pos);
        const VqUChar* nextIn = in.data() + pos;
        VqSize availIn = take;
        bool end = false;
        VqSize produced = 0;
        do {
            VqUChar* nextOut = chunk.data();
            VqSize availOut = chunk.size();
            end = c.doUncompress(nextIn, availIn, nextOut, availOut);
            produced = nextOut - chunk.data();
            out.insert(out.end(), chunk.data(), nextOut);
        } while (!end && (availIn > 0 || (take == 0 && produced > 0)));
        pos += take;
        if (end || take == 0) break;
    }
    c.endUncompress();
    return out;
}

class CompressorTest : public VqLibTest {};
} // namespace

TEST_F(CompressorTest, OneShotRoundTripEveryAlgorithmAndSize) {
    for (int alg = 1; alg <= 3; ++alg) {
        VqCompressor c;
        ASSERT_TRUE(c.setAlgorithm(alg));
        for (size_t n : {size_t(0), size_t(1), size_t(4095), size_t(4096), size_t(300001)}) {
            Bytes in = sampleData(n);
            const VqUChar* out = nullptr;
            VqSize outLen = 0;
            ASSERT_TRUE(c.compress(in.data(), in.size(), out, outLen)) << alg << " " << n;
            ASSERT_GE(outLen, 1u);
            EXPECT_EQ(out[0], alg);
            Bytes packed(out, out + outLen);
            // A compressor set to another algorithm follows the leading byte and keeps its own setting.
            VqCompressor d;
            ASSERT_TRUE(d.setAlgorithm(alg == 3 ? 2 : 3));
            const VqUChar* back = nullptr;
            VqSize backLen = 0;
            ASSERT_TRUE(d.uncompress(packed.data(), packed.size(), back, backLen)) << alg << " " << n;
            EXPECT_EQ(Bytes(back, back + backLen), in) << alg << " " << n;
            EXPECT_EQ(d.algorithm(), alg == 3 ? 2 : 3);
        }
    }
}

TEST_F(CompressorTest, StreamingRoundTripEveryAlgorithm) {
    Bytes in = sampleData(200000, 11);
    for (int alg = 1; alg <= 3; ++alg) {
        VqCompressor c;
        ASSERT_TRUE(c.setAlgorithm(alg));
        // Twice, so that the reset between streams is exercised too.
        for (int round = 0; round < 2; ++round) {
            Bytes packed = streamCompress(c, in, 1000, 97);
            Bytes back = streamUncompress(c, packed, 1024, 4096);
            EXPECT_EQ(back, in) << alg;
        }
        Bytes empty = streamCompress(c, Bytes(), 1000, 64);
        EXPECT_TRUE(streamUncompress(c, empty, 1024, 64).empty());
    }
}

TEST_F(CompressorTest, ZlibOutputIsTheLibrarysOwnLevelOneStream) {
    Bytes in = sampleData(100000, 3);
    VqCompressor c;
    ASSERT_TRUE(c.setAlgorithm(VqCompressor::VQCOMPRESSOR_ALGORITHM_ZLIB));
    const auto reference = [](const Bytes& b) {
        Bytes ref(compressBound(b.size()));
        uLongf refLen = ref.size();
        EXPECT_EQ(compress2(ref.data(), &refLen, b.data(), b.size(), 1), Z_OK);
        ref.resize(refLen);
        return ref;
    };
    Bytes streamed = streamCompress(c, in, 1 << 18, 4096);
    EXPECT_EQ(streamed, reference(in));
    // The header and trailer the stream adds around the raw deflate output
    // come whole however small the output windows are, empty input included.
    for (size_t outStep : {1, 3, 5})
        for (const Bytes& b : {Bytes(in.begin(), in.begin() + 3000), Bytes()})
            EXPECT_EQ(streamCompress(c, b, 1000, outStep), reference(b)) << outStep << " " << b.size();
    // And zlib's own inflate reads it, adler32 trailer included.
    Bytes back(in.size());
    uLongf backLen = back.size();
    ASSERT_EQ(uncompress(back.data(), &backLen, streamed.data(), streamed.size()), Z_OK);
    EXPECT_EQ(back, in);
}

TEST_F(CompressorTest, Adler32AgreesWithZlibAtEveryLengthAlignmentAndSplit) {
    // Bytes of 0xFF make every sum as large as it gets between reductions.
    Bytes noisy = sampleData(300000, 13);
    Bytes full(300000, 0xFF);
    for (const Bytes* data : {&noisy, &full}) {
        std::vector<size_t> lengths;
        for (size_t n = 0; n <= 70; ++n)
            lengths.push_back(n);
        for (size_t n : {5551, 5552, 5553, 65535, 65536, 65537, 131089, 299990})
            lengths.push_back(n);
        for (size_t n : lengths)
            for (size_t at = 0; at < 4; ++at) {
                const VqUChar* p = data->data() + at;
                EXPECT_EQ(Vq::adler32(1, p, n), ::adler32(1, p, static_cast<uInt>(n))) << n << " " << at;
            }
        // Continued across a split, from a checksum of a large prefix.
        for (size_t split : {size_t(1), size_t(15), size_t(16), size_t(70001)}) {
            const uint32_t head = Vq::adler32(1, data->data(), split);
            EXPECT_EQ(Vq::adler32(head, data->data() + split, data->size() - split),
                      ::adler32(1, data->data(), static_cast<uInt>(data->size())))
                << split;
        }
    }
}

TEST_F(CompressorTest, ZlibTrailerIsCheckedHoweverTheInputIsCut) {
    Bytes in = sampleData(70000, 17);
    VqCompressor c;
    ASSERT_TRUE(c.setAlgorithm(VqCompressor::VQCOMPRESSOR_ALGORITHM_ZLIB));
    Bytes packed = streamCompress(c, in, 1 << 18, 4096);
    ASSERT_GT(packed.size(), 4u);
    // Input steps that end inside the trailer, before it and at its start.
    for (size_t step : {size_t(1), size_t(3), packed.size() - 2, packed.size() - 4, size_t(1024)}) {
        EXPECT_EQ(streamUncompress(c, packed, step, 4096), in) << step;
        for (size_t k = 1; k <= 4; ++k) {
            Bytes bad = packed;
            bad[bad.size() - k] ^= 0x10;
            EXPECT_EQ(thrown([&] { streamUncompress(c, bad, step, 4096); }).text,
                      "Zlib data stream is corrupt")
                << step << " " << k;
        }
    }
}

TEST_F(CompressorTest, LzmaOutputIsAnXzStreamWithCrc64) {
    Bytes in = sampleData(150000, 5);
    VqCompressor c;
    ASSERT_TRUE(c.setAlgorithm(VqCompressor::VQCOMPRESSOR_ALGORITHM_LZMA));
    Bytes packed = streamCompress(c, in, 4096, 4096);
    ASSERT_GT(packed.size(), 12u);
    // Stream header: magic, then flags naming CRC64 (0x04).
    EXPECT_EQ(Bytes(packed.begin(), packed.begin() + 6), (Bytes{0xFD, '7', 'z', 'X', 'Z', 0x00}));
    EXPECT_EQ(packed[7], 0x04);
    lzma_stream_flags flags;
    ASSERT_EQ(lzma_stream_header_decode(&flags, packed.data()), LZMA_OK);
    EXPECT_EQ(flags.check, LZMA_CHECK_CRC64);
    // The system's xz tool decodes it.
    char path[] = "/tmp/vq_xz_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, packed.data(), packed.size()), static_cast<ssize_t>(packed.size()));
    close(fd);
    std::string cmd = std::string("xz -dc < ") + path;
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    Bytes decoded;
    VqUChar buf[65536];
    size_t got;
    while ((got = fread(buf, 1, sizeof buf, p)) > 0)
        decoded.insert(decoded.end(), buf, buf + got);
    EXPECT_EQ(pclose(p), 0);
    unlink(path);
    EXPECT_EQ(decoded, in);
}

TEST_F(CompressorTest, CorruptInputIsReportedWithTheLibrarysText) {
    Bytes in = sampleData(50000, 9);
    for (int alg = 2; alg <= 3; ++alg) {
        VqCompressor c;
        ASSERT_TRUE(c.setAlgorithm(alg));
        const VqUChar* out = nullptr;
        VqSize outLen = 0;
        ASSERT_TRUE(c.compress(in.data(), in.size(), out, outLen));
        Bytes packed(out, out + outLen);
        for (size_t i = packed.size() / 3; i < packed.size() / 3 + 40; ++i)
            packed[i] ^= 0x5A;
        VqErrorState::clearError();
        const VqUChar* back = nullptr;
        VqSize backLen = 0;
        EXPECT_FALSE(c.uncompress(packed.data(), packed.size(), back, backLen));
        if (alg == 2) {
            EXPECT_EQ(lastError(), "Zlib data stream is corrupt");
            EXPECT_EQ(lastCode(), VQ_ERR_CORRUPT);
        } else {
            EXPECT_EQ(lastError(), "res == LZMA_OK || res == LZMA_STREAM_END");
        }
        // Streaming reports the same through an exception.
        EXPECT_EQ(
            thrown([&] { streamUncompress(c, Bytes(packed.begin() + 1, packed.end()), 1024, 4096); }).text,
            alg == 2 ? "Zlib data stream is corrupt"
                     : "_iLastRetcode == LZMA_OK || _iLastRetcode == LZMA_STREAM_END");
        // The compressor stays usable.
        ASSERT_TRUE(c.compress(in.data(), 100, out, outLen));
    }
}

TEST_F(CompressorTest, MisuseIsRefused) {
    VqCompressor c;
    EXPECT_FALSE(c.setAlgorithm(0));
    EXPECT_FALSE(c.setAlgorithm(4));
    EXPECT_EQ(c.algorithm(), VqCompressor::VQCOMPRESSOR_ALGORITHM_ZLIB);
    // Input after the finish phase began.
    c.beginCompress();
    Bytes out(256);
    const VqUChar* nextIn = nullptr;
    VqSize availIn = 0;
    VqUChar* nextOut = out.data();
    VqSize availOut = out.size();
    c.doCompress(nextIn, availIn, nextOut, availOut);
    Bytes more(10, 1);
    nextIn = more.data();
    availIn = more.size();
    EXPECT_EQ(thrown([&] { c.doCompress(nextIn, availIn, nextOut, availOut); }).text, "!_bFlushPhase");
    c.endCompress();
    // An unknown algorithm byte in one-shot input.
    Bytes bogus{9, 1, 2, 3};
    const VqUChar* res = nullptr;
    VqSize resLen = 0;
    EXPECT_FALSE(c.uncompress(bogus.data(), bogus.size(), res, resLen));
}

TEST_F(CompressorTest, PoolHandsBackTheMostRecentlyReleased) {
    VqCompressor::s_shrinkCompressorPool();
    VqCompressor* a = nullptr;
    VqCompressor* b = nullptr;
    ASSERT_TRUE(VqCompressor::s_acquireCompressor(a));
    ASSERT_TRUE(VqCompressor::s_acquireCompressor(b));
    ASSERT_NE(a, b);
    VqCompressor::s_releaseCompressor(a);
    VqCompressor::s_releaseCompressor(b);
    EXPECT_EQ(VqCompressor::s_numPooledCompressors(), 2);
    VqCompressor* c = nullptr;
    ASSERT_TRUE(VqCompressor::s_acquireCompressor(c));
    EXPECT_EQ(c, b);
    VqCompressor::s_releaseCompressor(c);
    VqCompressor::s_shrinkCompressorPool();
    EXPECT_EQ(VqCompressor::s_numPooledCompressors(), 0);
}
