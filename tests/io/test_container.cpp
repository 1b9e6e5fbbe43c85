#include "ContainerTestUtil.h"
#include "VqBufferedObjectStream.h"
#include "VqCompressedObjectStream.h"
#include "VqCompressor.h"
#include "VqLibFixture.h"
#include "VqLzmaSegObjectStream.h"
#include "VqMemoryByteStream.h"
#include "VqStdException.h"
#include "VqZlibSegObjectStream.h"

#include <chrono>
#include <functional>
#include <lzma.h>
#include <thread>
#include <zlib.h>

using namespace vqtest;

namespace {
class ContainerTest : public VqLibTest {
protected:
    void TearDown() override {
        VqStreamMgr::s_maxFlushThreads = 0;
        VqStreamMgr::s_eDefaultCryptoMethod = 0;
        VqLibTest::TearDown();
    }
    VqPartition _part;
    TempDir _dir;
};

struct Version {
    int major, minor;
};
class ContainerVersionTest : public ContainerTest, public ::testing::WithParamInterface<Version> {};

std::string decodeWithXz(const Bytes& packed) {
    char path[] = "/tmp/vq_seg_XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) return "mkstemp failed";
    if (write(fd, packed.data(), packed.size()) != static_cast<ssize_t>(packed.size())) return "write failed";
    close(fd);
    FILE* p = popen((std::string("xz -dc < ") + path).c_str(), "r");
    std::string out;
    char buf[65536];
    size_t got;
    while (p && (got = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, got);
    if (p) pclose(p);
    unlink(path);
    return out;
}

// A zlib segment reader over the bytes a writer left in mem.
struct ZlibSegReader {
    explicit ZlibSegReader(VqMemoryByteStream& mem) : in(new VqMemoryByteStream(true)) {
        ok = in->setData(mem.data(), mem.dataLength());
        in->lock();
        in->open();
        ds = new VqDataStream(in.get());
        r = new VqZlibSegObjectStream(ds.get());
    }
    ~ZlibSegReader() { in->unlock(); }
    Vq::SharedPtr<VqMemoryByteStream> in;
    Vq::SharedPtr<VqDataStream> ds;
    Vq::SharedPtr<VqZlibSegObjectStream> r;
    bool ok = false;
};
} // namespace

TEST_P(ContainerVersionTest, SegmentsOfEverySizeRoundTrip) {
    const Version v = GetParam();
    const size_t sizes[] = {0, 1, 4095, 4096, (1u << 18) + 1};
    std::vector<SegmentSpec> segs;
    for (size_t i = 0; i < std::size(sizes); ++i)
        segs.push_back(
            {guidFor(static_cast<int>(i)), VQSEG_PMI, sampleData(sizes[i], static_cast<unsigned>(i))});
    ASSERT_TRUE(writeVqFile(_dir.path(), "sizes.vq", v.major, v.minor, segs, _part)) << lastError();

    auto mgr = openForReading(_dir.path(), "sizes.vq");
    ASSERT_TRUE(mgr) << lastError();
    int major = 0, minor = 0;
    ASSERT_TRUE(mgr->getVersion(major, minor));
    EXPECT_EQ(major, v.major);
    EXPECT_EQ(minor, v.minor);
    for (const SegmentSpec& s : segs) {
        Vq::SharedPtr<VqObjectStream> os;
        ASSERT_TRUE(mgr->beginReadSegment(s.guid, os)) << lastError();
        const VqType* expected =
            v.major >= 10 ? &VqLzmaSegObjectStream::classTypeID() : &VqZlibSegObjectStream::classTypeID();
        EXPECT_EQ(os->type(), expected);
        Bytes back(s.data.size());
        // Small reads exercise the decompressed buffer; the rest goes in one call.
        size_t head = std::min<size_t>(back.size(), 13);
        for (size_t i = 0; i < head; ++i)
            ASSERT_TRUE(os->read(back.data() + i, 1));
        if (back.size() > head) {
            ASSERT_TRUE(os->read(back.data() + head, static_cast<int>(back.size() - head)));
        }
        EXPECT_EQ(back, s.data) << s.data.size();
        // Nothing more is there.
        VqUChar extra;
        EXPECT_FALSE(os->read(&extra, 1));
        ASSERT_TRUE(mgr->endReadSegment(os.get()));
    }
    ASSERT_TRUE(mgr->close());
}

TEST_P(ContainerVersionTest, FiftyMegabyteSegmentRoundTrips) {
    const Version v = GetParam();
    // Cheap to compress, yet every byte matters: a counter and noise woven
    // into text, at a ratio that real segments reach (a segment may decode to
    // at most 256 times its stored size once it is past 32 MiB).
    Bytes data(50u << 20);
    std::mt19937 rng(5);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = (i & 63) == 0  ? static_cast<VqUChar>(i >> 6)
                  : (i & 7) == 0 ? static_cast<VqUChar>(rng())
                                 : "ZQ"[i & 1];
    ASSERT_TRUE(writeVqFile(_dir.path(), "big.vq", v.major, v.minor, {{guidFor(1), VQSEG_BREP, data}}, _part))
        << lastError();
    auto mgr = openForReading(_dir.path(), "big.vq");
    ASSERT_TRUE(mgr) << lastError();
    Bytes back;
    ASSERT_TRUE(readSegment(mgr.get(), guidFor(1), data.size(), back, 3 << 20)) << lastError();
    EXPECT_TRUE(back == data);
}

INSTANTIATE_TEST_SUITE_P(ZlibAndLzma, ContainerVersionTest, ::testing::Values(Version{9, 5}, Version{10, 0}),
                         [](const auto& info) { return info.param.major >= 10 ? "V10_0" : "V9_5"; });

TEST_F(ContainerTest, LayoutAt95FieldByField) {
    Bytes data = sampleData(30000, 3);
    ASSERT_TRUE(writeVqFile(_dir.path(), "a.vq", 9, 5, {{guidFor(7), VQSEG_METADATA, data}}, _part))
        << lastError();
    Bytes f = readFile(_dir.file("a.vq"));
    ASSERT_GE(f.size(), 105u);
    // Header: finished text, marker bytes, byte order, crypto, TOC offset, LSG GUID.
    EXPECT_EQ(std::string(f.begin(), f.begin() + 11), "Version 9.5");
    EXPECT_EQ(std::string(f.begin() + 75, f.begin() + 80), std::string(" \n\r\n "));
    EXPECT_EQ(f[80], 0);
    EXPECT_EQ(load<int32_t>(f, 81), 0);
    const int32_t tocOffset = load<int32_t>(f, 85);
    // The TOC holds the one segment twice: the second copy under the padding GUID.
    ASSERT_EQ(load<int32_t>(f, tocOffset), 2);
    size_t e = static_cast<size_t>(tocOffset) + 4;
    EXPECT_EQ(load<VqGUID>(f, e), guidFor(7));
    const int32_t segOff = load<int32_t>(f, e + 16);
    const uint32_t segLen = load<uint32_t>(f, e + 20);
    EXPECT_EQ(load<uint32_t>(f, e + 24), uint32_t(VQSEG_METADATA) << 24);
    EXPECT_EQ(load<VqGUID>(f, e + 28), VqStreamMgr::PropSegGuid);
    EXPECT_EQ(load<int32_t>(f, e + 28 + 16), segOff);
    // The TOC space comes right after the header; the segment follows it.
    EXPECT_EQ(tocOffset, 105);
    // Segment header: GUID, type, length including these 24 bytes.
    EXPECT_EQ(load<VqGUID>(f, segOff), guidFor(7));
    EXPECT_EQ(load<int32_t>(f, segOff + 16), VQSEG_METADATA);
    EXPECT_EQ(load<uint32_t>(f, segOff + 20), segLen);
    // Framing: flag 2, compressed length + 1, algorithm 2, a zlib stream.
    size_t fr = static_cast<size_t>(segOff) + 24;
    EXPECT_EQ(load<uint32_t>(f, fr), 2u);
    const int32_t len = load<int32_t>(f, fr + 4);
    EXPECT_EQ(f[fr + 8], 2);
    EXPECT_EQ(static_cast<uint32_t>(len), segLen - 24 - 8);
    Bytes payload(f.begin() + static_cast<long>(fr + 9), f.begin() + static_cast<long>(fr + 8 + len));
    Bytes inflated(data.size());
    uLongf outLen = inflated.size();
    ASSERT_EQ(uncompress(inflated.data(), &outLen, payload.data(), payload.size()), Z_OK);
    EXPECT_EQ(inflated, data);
    EXPECT_EQ(f.size(), static_cast<size_t>(segOff) + segLen);

    // Read back: one entry.
    auto mgr = openForReading(_dir.path(), "a.vq");
    ASSERT_TRUE(mgr);
    EXPECT_EQ(mgr->toc().numEntries(), 1);
    EXPECT_EQ(mgr->tocOffset(), 105);
}

TEST_F(ContainerTest, LayoutAt100AndAnEmptySegment) {
    Bytes data = sampleData(20000, 4);
    ASSERT_TRUE(writeVqFile(_dir.path(), "b.vq", 10, 0,
                            {{guidFor(1), VQSEG_PMI, data}, {guidFor(2), VQSEG_BREP, Bytes()}}, _part))
        << lastError();
    Bytes f = readFile(_dir.file("b.vq"));
    EXPECT_EQ(std::string(f.begin(), f.begin() + 12), "Version 10.0");
    const uint64_t tocOffset = load<uint64_t>(f, 85);
    EXPECT_EQ(tocOffset, 109u);
    ASSERT_EQ(load<int32_t>(f, tocOffset), 2);
    // Entries of 32 bytes in file order; the PMI segment ranks before the BRep one.
    const size_t e1 = tocOffset + 4, e2 = e1 + 32;
    ASSERT_EQ(load<VqGUID>(f, e1), guidFor(1));
    ASSERT_EQ(load<VqGUID>(f, e2), guidFor(2));
    const uint64_t off1 = load<uint64_t>(f, e1 + 16);
    const uint64_t off2 = load<uint64_t>(f, e2 + 16);
    ASSERT_EQ(off1, tocOffset + 4 + 64);
    ASSERT_EQ(off2, off1 + load<uint32_t>(f, e1 + 24));
    ASSERT_EQ(f.size(), off2 + 24);
    // A segment into which nothing was written has its header and no framing.
    EXPECT_EQ(load<uint32_t>(f, e2 + 24), 24u);
    EXPECT_EQ(load<int32_t>(f, off2 + 20), 24);
    // The payload is an xz stream that the system's own tool decodes.
    size_t fr = off1 + 24;
    EXPECT_EQ(load<uint32_t>(f, fr), 3u);
    const int32_t len = load<int32_t>(f, fr + 4);
    EXPECT_EQ(f[fr + 8], 3);
    ASSERT_EQ(static_cast<uint64_t>(len) + 8 + 24, load<uint32_t>(f, e1 + 24));
    Bytes payload(f.begin() + static_cast<long>(fr + 9), f.begin() + static_cast<long>(fr + 8 + len));
    EXPECT_EQ(decodeWithXz(payload), std::string(data.begin(), data.end()));

    auto mgr = openForReading(_dir.path(), "b.vq");
    ASSERT_TRUE(mgr);
    EXPECT_EQ(mgr->toc().numEntries(), 2);
    Vq::SharedPtr<VqObjectStream> os;
    ASSERT_TRUE(mgr->beginReadSegment(guidFor(2), os));
    VqUChar c;
    EXPECT_FALSE(os->read(&c, 1));
    EXPECT_TRUE(mgr->endReadSegment(os.get()));
}

// The writer patches each element's length where its placeholder went, in
// buffer fragments of 2^18 bytes: a length whose four bytes straddle two
// fragments, or a placeholder that does not fit the rest of a fragment,
// must frame the element as well as one inside a fragment.
TEST_F(ContainerTest, ElementLengthsAroundAFragmentBoundary) {
    constexpr size_t kFrag = size_t(1) << 18;
    for (size_t before : {kFrag - 8, kFrag - 6, kFrag - 4, kFrag - 3, kFrag - 1, kFrag}) {
        SCOPED_TRACE(before);
        Vq::SharedPtr<VqMemoryByteStream> mem = new VqMemoryByteStream(false);
        Vq::SharedPtr<VqDataStream> ds = new VqDataStream(mem.get());
        ds->open();
        Vq::SharedPtr<VqZlibSegObjectStream> w = new VqZlibSegObjectStream(ds.get());
        const Bytes filler = sampleData(before, 3);
        const Bytes inner = sampleData(1000, 4);
        // outer { int, inner { bytes }, empty {} }, then one more element.
        ASSERT_TRUE(w->write(reinterpret_cast<const char*>(filler.data()), static_cast<int>(filler.size())));
        ASSERT_TRUE(w->beginWrite());
        ASSERT_TRUE(w->write(77));
        ASSERT_TRUE(w->beginWrite());
        ASSERT_TRUE(w->write(reinterpret_cast<const char*>(inner.data()), static_cast<int>(inner.size())));
        ASSERT_TRUE(w->endWrite());
        ASSERT_TRUE(w->beginWrite() && w->endWrite());
        ASSERT_TRUE(w->endWrite());
        ASSERT_TRUE(w->beginWrite() && w->write(short(5)) && w->endWrite());
        w->setDataStream(nullptr);

        ZlibSegReader seg(*mem);
        ASSERT_TRUE(seg.ok);
        VqZlibSegObjectStream* r = seg.r.get();
        Bytes back(before);
        ASSERT_TRUE(r->read(reinterpret_cast<char*>(back.data()), static_cast<int>(back.size())));
        EXPECT_EQ(back, filler);
        uint64_t start = 0;
        uint32_t length = 0;
        ASSERT_TRUE(r->beginRead());
        ASSERT_TRUE(r->currentReadElement(start, length));
        EXPECT_EQ(start, before + 4);
        EXPECT_EQ(length, 4u + 4u + inner.size() + 4u);
        int value = 0;
        ASSERT_TRUE(r->read(&value));
        EXPECT_EQ(value, 77);
        ASSERT_TRUE(r->beginRead());
        ASSERT_TRUE(r->currentReadElement(start, length));
        EXPECT_EQ(length, inner.size());
        back.assign(inner.size(), 0);
        ASSERT_TRUE(r->read(reinterpret_cast<char*>(back.data()), static_cast<int>(back.size())));
        EXPECT_EQ(back, inner);
        ASSERT_TRUE(r->endRead());
        ASSERT_TRUE(r->beginRead());
        ASSERT_TRUE(r->currentReadElement(start, length));
        EXPECT_EQ(length, 0u);
        ASSERT_TRUE(r->endRead());
        ASSERT_TRUE(r->endRead());
        short last = 0;
        ASSERT_TRUE(r->beginRead());
        ASSERT_TRUE(r->currentReadElement(start, length));
        EXPECT_EQ(length, 2u);
        ASSERT_TRUE(r->read(&last) && r->endRead());
        EXPECT_EQ(last, 5);
        EXPECT_FALSE(r->dataSkipped());
    }
}

// A segment reader works out its position from the read buffer without a
// virtual call while it frames elements. Across buffer refills and a read
// large enough to bypass the buffer, element starts must match the stream's
// own position, an element read short must be passed over to its end, and
// one read past its end must fail.
TEST_F(ContainerTest, ElementEndsAcrossReadBufferRefills) {
    const Bytes big = sampleData(2 * VqSegObjectStream::kReadBufferSize + 5000, 21);
    const Bytes filler = sampleData(VqSegObjectStream::kReadBufferSize - 3, 22);
    Vq::SharedPtr<VqMemoryByteStream> mem = new VqMemoryByteStream(false);
    Vq::SharedPtr<VqDataStream> ds = new VqDataStream(mem.get());
    ds->open();
    Vq::SharedPtr<VqZlibSegObjectStream> w = new VqZlibSegObjectStream(ds.get());
    // { 1, big, 2 } { filler, { 3 } } { 4 } { 5 }
    ASSERT_TRUE(w->beginWrite() && w->write(1));
    ASSERT_TRUE(w->write(reinterpret_cast<const char*>(big.data()), static_cast<int>(big.size())));
    ASSERT_TRUE(w->write(2) && w->endWrite());
    ASSERT_TRUE(w->beginWrite());
    ASSERT_TRUE(w->write(reinterpret_cast<const char*>(filler.data()), static_cast<int>(filler.size())));
    ASSERT_TRUE(w->beginWrite() && w->write(3) && w->endWrite() && w->endWrite());
    ASSERT_TRUE(w->beginWrite() && w->write(4) && w->endWrite());
    ASSERT_TRUE(w->beginWrite() && w->write(5) && w->endWrite());
    w->setDataStream(nullptr);

    ZlibSegReader seg(*mem);
    ASSERT_TRUE(seg.ok);
    VqZlibSegObjectStream* r = seg.r.get();
    uint64_t start = 0, pos = 0;
    uint32_t length = 0;
    auto open = [&] {
        ASSERT_TRUE(r->beginRead() && r->currentReadElement(start, length));
        r->getPosition(pos);
        EXPECT_EQ(start, pos);
    };
    int value = 0;
    Bytes back(big.size());
    open();
    ASSERT_TRUE(r->read(&value) && r->read(reinterpret_cast<char*>(back.data()), static_cast<int>(back.size())));
    EXPECT_EQ(back, big);
    ASSERT_TRUE(r->endRead());
    EXPECT_TRUE(r->dataSkipped());
    r->getPosition(pos);
    EXPECT_EQ(pos, start + length);

    open();
    back.resize(filler.size());
    ASSERT_TRUE(r->read(reinterpret_cast<char*>(back.data()), static_cast<int>(back.size())));
    open();
    ASSERT_TRUE(r->read(&value) && r->endRead() && r->endRead());
    EXPECT_EQ(value, 3);
    EXPECT_FALSE(r->dataSkipped());

    open();
    short extra = 0;
    ASSERT_TRUE(r->read(&value) && r->read(&extra));
    EXPECT_FALSE(r->endRead());
    EXPECT_EQ(lastError(), "Data block too short");
    EXPECT_EQ(r->elementDepth(), 0);
}

// The writer compresses each fragment once every element open over it is
// closed, while later bytes are still being written. An element held open
// across several fragments must still get its length, the segment's payload
// must be what zlib at level 1 makes of the bytes as a whole, and a seek back
// into what was compressed must fail rather than be lost.
TEST_F(ContainerTest, SegmentCompressedAsItIsWritten) {
    constexpr size_t kFrag = size_t(1) << 18;
    const Bytes spanning = sampleData(3 * kFrag + 100, 11);
    const Bytes piece = sampleData(5000, 12);
    constexpr int kPieces = 200;
    Vq::SharedPtr<VqMemoryByteStream> mem = new VqMemoryByteStream(false);
    Vq::SharedPtr<VqDataStream> ds = new VqDataStream(mem.get());
    ds->open();
    Vq::SharedPtr<VqZlibSegObjectStream> w = new VqZlibSegObjectStream(ds.get());
    ASSERT_TRUE(w->beginWrite() && w->write(1));
    ASSERT_TRUE(w->write(reinterpret_cast<const char*>(spanning.data()), static_cast<int>(spanning.size())));
    ASSERT_TRUE(w->endWrite());
    for (int i = 0; i < kPieces; ++i)
        ASSERT_TRUE(w->beginWrite() && w->write(reinterpret_cast<const char*>(piece.data()), 4000 + i) &&
                    w->endWrite());
    EXPECT_ANY_THROW(w->seek(0));
    w->setDataStream(nullptr);

    Bytes plain;
    auto put = [&plain](const void* p, size_t n) {
        plain.insert(plain.end(), static_cast<const VqUChar*>(p), static_cast<const VqUChar*>(p) + n);
    };
    const uint32_t first = 4 + static_cast<uint32_t>(spanning.size()), one = 1;
    put(&first, 4);
    put(&one, 4);
    put(spanning.data(), spanning.size());
    for (int i = 0; i < kPieces; ++i) {
        const uint32_t n = 4000 + i;
        put(&n, 4);
        put(piece.data(), n);
    }
    Bytes expected(compressBound(plain.size()));
    uLongf n = expected.size();
    ASSERT_EQ(compress2(expected.data(), &n, plain.data(), plain.size(), 1), Z_OK);
    expected.resize(n);
    const Bytes framed(mem->data(), mem->data() + mem->dataLength());
    ASSERT_EQ(framed.size(), 9 + expected.size());
    EXPECT_EQ(load<int32_t>(framed, 4), static_cast<int32_t>(expected.size() + 1));
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), framed.begin() + 9));

    ZlibSegReader seg(*mem);
    ASSERT_TRUE(seg.ok);
    uint64_t start = 0;
    uint32_t length = 0;
    ASSERT_TRUE(seg.r->beginRead() && seg.r->currentReadElement(start, length));
    EXPECT_EQ(length, first);
}

TEST_F(ContainerTest, ReadersFollowTheFlagAndTheAlgorithmByte) {
    // A format-10 writer set to zlib frames with 2/2; the format-10 reader takes it.
    ASSERT_TRUE(VqPartition::setVersion(10, 0));
    ASSERT_TRUE(VqPartition::setCompressionAlgortihm(2));
    Bytes data = sampleData(5000, 9);
    Vq::SharedPtr<VqTOCStreamMgr> w = openForWriting(_dir.path(), "z.vq", _part);
    ASSERT_TRUE(w);
    Vq::SharedPtr<VqSegment> seg = new VqSegment(VQSEG_PMI, guidFor(3));
    seg->addSection(new BytesSection(data));
    ASSERT_TRUE(w->addNewSegment(seg));
    ASSERT_TRUE(w->close()) << lastError();
    Bytes f = readFile(_dir.file("z.vq"));
    const uint64_t off = load<uint64_t>(f, load<uint64_t>(f, 85) + 4 + 16);
    EXPECT_EQ(load<uint32_t>(f, off + 24), 2u);
    EXPECT_EQ(f[off + 32], 2);
    auto r = openForReading(_dir.path(), "z.vq");
    ASSERT_TRUE(r);
    Bytes back;
    ASSERT_TRUE(readSegment(r.get(), guidFor(3), data.size(), back)) << lastError();
    EXPECT_EQ(back, data);

    // The zlib reader refuses the LZMA flag before touching the payload.
    Vq::SharedPtr<VqMemoryByteStream> mem = new VqMemoryByteStream(true);
    const VqUChar framed[] = {3, 0, 0, 0, 2, 0, 0, 0, 3, 0};
    ASSERT_TRUE(mem->setData(framed, sizeof framed));
    mem->lock();
    mem->open();
    Vq::SharedPtr<VqDataStream> ds = new VqDataStream(mem.get());
    Vq::SharedPtr<VqZlibSegObjectStream> zs = new VqZlibSegObjectStream(ds.get());
    int value = 0;
    EXPECT_FALSE(zs->read(&value));
    EXPECT_EQ(lastError(), "_uIsCompressed == VqCompressor::VQCOMPRESSOR_ALGORITHM_ZLIB");
    mem->unlock();
}

TEST_F(ContainerTest, CorruptSegmentFailsThatSegmentOnly) {
    for (Version v : {Version{9, 5}, Version{10, 0}}) {
        std::vector<SegmentSpec> segs;
        for (int i = 0; i < 3; ++i)
            segs.push_back({guidFor(i), VQSEG_PMI, sampleData(40000, 20 + i)});
        ASSERT_TRUE(writeVqFile(_dir.path(), "c.vq", v.major, v.minor, segs, _part));
        const uint64_t off = segmentOffset(_dir.path(), "c.vq", guidFor(1));
        ASSERT_GT(off, 0u);
        Bytes f = readFile(_dir.file("c.vq"));
        for (size_t i = off + 24 + 9 + 200; i < off + 24 + 9 + 260; ++i)
            f[i] ^= 0xA5;
        writeFile(_dir.file("c.vq"), f);

        auto mgr = openForReading(_dir.path(), "c.vq");
        ASSERT_TRUE(mgr);
        Bytes back;
        VqErrorState::clearError();
        EXPECT_FALSE(readSegment(mgr.get(), guidFor(1), 40000, back));
        if (v.major == 9) {
            EXPECT_EQ(lastError(), "Zlib data stream is corrupt");
            EXPECT_EQ(lastCode(), VQ_ERR_CORRUPT);
        } else {
            EXPECT_EQ(lastError(), "_iLastRetcode == LZMA_OK || _iLastRetcode == LZMA_STREAM_END");
        }
        for (int i : {0, 2}) {
            ASSERT_TRUE(readSegment(mgr.get(), guidFor(i), 40000, back)) << lastError();
            EXPECT_EQ(back, segs[i].data);
        }
        EXPECT_EQ(mgr->numPhysStreams() > 0, true);
        ASSERT_TRUE(mgr->close());
    }
}

namespace {
// A finished 9.5 file with one segment, to be damaged byte by byte.
Bytes validFile(const TempDir& dir, VqPartition& part) {
    EXPECT_TRUE(writeVqFile(dir.path(), "ok.vq", 9, 5, {{guidFor(5), VQSEG_PMI, sampleData(3000, 5)}}, part));
    return readFile(dir.file("ok.vq"));
}

void putText(Bytes& f, size_t at, const char* text) {
    std::memcpy(f.data() + at, text, std::strlen(text));
}
} // namespace

TEST_F(ContainerTest, EveryHeaderErrorWithItsTextAndCode) {
    const Bytes good = validFile(_dir, _part);
    struct Case {
        const char* name;
        std::function<void(Bytes&)> damage;
        const char* text; // null: opens
        int code;
    };
    const Case cases[] = {
        {"space at byte 77", [](Bytes& f) { f[77] = ' '; }, nullptr, 0},
        {"CR removed", [](Bytes& f) { f.erase(f.begin() + 77); }, "VQ file corrupted by CR/LF conversion",
         VQ_ERR_CRLF},
        {"never finished", [](Bytes& f) { putText(f, 0, "Invalid"); },
         "VQ file not finalized or closed properly", VQ_ERR_READ},
        {"foreign text", [](Bytes& f) { putText(f, 0, "Versio#"); }, "Cannot parse file header",
         VQ_ERR_CORRUPT},
        {"no numbers", [](Bytes& f) { putText(f, 0, "Version x.5"); }, "Failed to extract version number",
         VQ_ERR_READ},
        {"major 5", [](Bytes& f) { putText(f, 0, "Version 5.5"); }, "File version is too old.",
         VQ_ERR_TOO_OLD},
        {"major 11", [](Bytes& f) { putText(f, 0, "Version 11.0"); },
         "File version is newer than current version", VQ_ERR_TOO_NEW},
        {"byte order 2", [](Bytes& f) { f[80] = 2; }, "Invalid byte order", VQ_ERR_READ},
        {"scrambled",
         [](Bytes& f) {
             putText(f, 0, "Version Scrambled 9.5");
             f[81] = 1;
         },
         "Scrambled VQ files are not supported by this library", VQ_ERR_READ},
        {"scrambled 9.0", [](Bytes& f) { putText(f, 0, "Version Scrambled 9.0"); },
         "Scrambled file version is too old.", VQ_ERR_TOO_OLD},
        {"scrambler 2",
         [](Bytes& f) {
             putText(f, 0, "Version Scrambled 9.5");
             f[81] = 2;
         },
         "Unexpected scrambler version", VQ_ERR_READ},
        {"50 bytes", [](Bytes& f) { f.resize(50); }, "Failed to extract Vq file header", VQ_ERR_READ},
        {"cut after the text", [](Bytes& f) { f.resize(80); }, "Failed to extract byte order", VQ_ERR_READ},
        {"cut in the crypto method", [](Bytes& f) { f.resize(83); }, "Unexpected read failure", VQ_ERR_READ},
        {"cut in the TOC offset", [](Bytes& f) { f.resize(87); }, "Failed to extract TOC offset",
         VQ_ERR_READ},
        {"cut in the LSG GUID", [](Bytes& f) { f.resize(95); }, "Failed to extract LSG segment GUID",
         VQ_ERR_READ},
    };
    for (const Case& c : cases) {
        Bytes f = good;
        c.damage(f);
        writeFile(_dir.file("bad.vq"), f);
        VqErrorState::clearError();
        Vq::SharedPtr<VqTOCStreamMgr> mgr = new VqTOCStreamMgr(location(_dir.path(), "bad.vq").get(), true);
        bool opened = mgr->open();
        if (!c.text) {
            EXPECT_TRUE(opened) << c.name << ": " << lastError();
            continue;
        }
        EXPECT_FALSE(opened) << c.name;
        EXPECT_EQ(lastError(), c.text) << c.name;
        EXPECT_EQ(lastCode(), c.code) << c.name;
    }

    // Major 99 passes the header and is refused by the version dispatch.
    Bytes f = good;
    putText(f, 0, "Version 99.0");
    writeFile(_dir.file("v99.vq"), f);
    Vq::SharedPtr<VqTOCStreamMgr> mgr = new VqTOCStreamMgr(location(_dir.path(), "v99.vq").get(), true);
    int major = 0, minor = 0;
    ASSERT_TRUE(mgr->getVersion(major, minor));
    EXPECT_EQ(major, 99);
    EXPECT_FALSE(mgr->_initStreamMgr(true));
    EXPECT_EQ(lastError(), "File version out of range.");

    // A segment header whose GUID is not the one asked for.
    f = good;
    const uint64_t off = segmentOffset(_dir.path(), "ok.vq", guidFor(5));
    ASSERT_GT(off, 0u);
    f[off + 3] ^= 0x40;
    writeFile(_dir.file("guid.vq"), f);
    auto g = openForReading(_dir.path(), "guid.vq");
    ASSERT_TRUE(g);
    Vq::SharedPtr<VqObjectStream> os;
    EXPECT_FALSE(g->beginReadSegment(guidFor(5), os));
    EXPECT_EQ(lastError(), "Invalid segment header");
    EXPECT_EQ(lastCode(), VQ_ERR_READ);
    // The failed begin left no stream in use: the segment can be asked for again.
    EXPECT_FALSE(g->beginReadSegment(guidFor(6), os));
    EXPECT_EQ(lastError(), "bFound");
}

TEST_F(ContainerTest, TableOfContentsThatDoesNotFitTheFileIsRefused) {
    const Bytes good = validFile(_dir, _part);
    const int32_t toc = load<int32_t>(good, 85);
    struct Case {
        const char* name;
        std::function<void(Bytes&)> damage;
        const char* text;
    };
    auto put32 = [](Bytes& f, size_t at, int32_t v) { std::memcpy(f.data() + at, &v, 4); };
    const Case cases[] = {
        {"negative count", [&](Bytes& f) { put32(f, toc, -3); }, "iNumEntries >= 0"},
        {"count beyond the file", [&](Bytes& f) { put32(f, toc, 0x7FFFFFFF); },
         "iNumEntries * iEntrySize <= iFileSize - iTocOffset"},
        {"offset beyond the file", [&](Bytes& f) { put32(f, toc + 4 + 16, 0x7FFFFF00); },
         "TOC entry points outside the file"},
        {"negative offset", [&](Bytes& f) { put32(f, toc + 4 + 16, -200); },
         "TOC entry points outside the file"},
        {"length beyond the file", [&](Bytes& f) { put32(f, toc + 4 + 20, 0x7FFFFFF0); },
         "TOC entry points outside the file"},
        {"TOC offset beyond the file", [&](Bytes& f) { put32(f, 85, static_cast<int32_t>(f.size())); },
         "TOC offset lies outside the file"},
    };
    for (const Case& c : cases) {
        Bytes f = good;
        c.damage(f);
        writeFile(_dir.file("bad.vq"), f);
        VqErrorState::clearError();
        Vq::SharedPtr<VqTOCStreamMgr> mgr = new VqTOCStreamMgr(location(_dir.path(), "bad.vq").get(), true);
        EXPECT_FALSE(mgr->open()) << c.name;
        EXPECT_EQ(lastError(), c.text) << c.name;
        EXPECT_EQ(lastCode(), VQ_ERR_READ) << c.name;
    }
}

TEST_F(ContainerTest, LegacyOneEntryTableOfContents) {
    // Header of a 9.5 file whose TOC is the legacy form naming the scene graph's block.
    Bytes f = validFile(_dir, _part);
    f.resize(105);
    const uint32_t tocOffset = static_cast<uint32_t>(f.size());
    std::memcpy(f.data() + 85, &tocOffset, 4);
    auto put = [&f](const void* p, size_t n) {
        const auto* b = static_cast<const VqUChar*>(p);
        f.insert(f.end(), b, b + n);
    };
    const int32_t one = 1, keyLen = 17;
    put(&one, 4);
    put(&keyLen, 4);
    for (char c : std::string("LogicalSceneGraph")) {
        uint16_t u = static_cast<uint16_t>(c);
        put(&u, 2);
    }
    const int32_t lsgOffset = static_cast<int32_t>(f.size()) + 4;
    put(&lsgOffset, 4);
    const char payload[] = "legacy block";
    put(payload, sizeof payload);
    writeFile(_dir.file("legacy.vq"), f);

    auto mgr = openForReading(_dir.path(), "legacy.vq");
    ASSERT_TRUE(mgr) << lastError();
    VqTOC toc = mgr->toc();
    ASSERT_EQ(toc.numEntries(), 1);
    const VqTOCElem* e = toc.find(VqStreamMgr::OldLsgSegGuid);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->offset, static_cast<uint64_t>(lsgOffset));
    // Absolute offsets address data only in files before format 8.
    Vq::SharedPtr<VqObjectStream> os;
    EXPECT_FALSE(mgr->beginReadSegment(lsgOffset, os));
    EXPECT_EQ(lastError(), "_iMajorVer < 8");

    // A key other than the scene graph's is refused.
    f[tocOffset + 8] = 'X';
    writeFile(_dir.file("legacy2.vq"), f);
    Vq::SharedPtr<VqTOCStreamMgr> bad = new VqTOCStreamMgr(location(_dir.path(), "legacy2.vq").get(), true);
    EXPECT_FALSE(bad->open());
    EXPECT_EQ(lastError(), "Invalid legacy table of contents");
}

TEST_F(ContainerTest, ParallelFlushReadsBackLikeOneThread) {
    std::vector<SegmentSpec> segs;
    const int types[] = {VQSEG_PMI, VQSEG_BREP,  VQSEG_METADATA,   VQSEG_SHAPE,
                         9,         VQSEG_WFREP, VQSEG_SPATIALHIER};
    segs.push_back({VqStreamMgr::LsgSegGuid, VQSEG_LSG, sampleData(7000, 1000)});
    for (int i = 0; i < 499; ++i)
        segs.push_back(
            {guidFor(i), types[i % 7], sampleData(200 + (i * 37) % 3000, static_cast<unsigned>(i))});

    VqStreamMgr::s_maxFlushThreads = 1;
    ASSERT_TRUE(writeVqFile(_dir.path(), "one.vq", 10, 0, segs, _part)) << lastError();
    VqStreamMgr::s_maxFlushThreads = 2;
    ASSERT_TRUE(writeVqFile(_dir.path(), "two.vq", 10, 0, segs, _part)) << lastError();

    auto one = openForReading(_dir.path(), "one.vq");
    auto two = openForReading(_dir.path(), "two.vq");
    ASSERT_TRUE(one && two);
    for (VqStreamMgr* m : {static_cast<VqStreamMgr*>(one.get()), static_cast<VqStreamMgr*>(two.get())}) {
        for (const SegmentSpec& s : segs) {
            Bytes back;
            ASSERT_TRUE(readSegment(m, s.guid, s.data.size(), back)) << lastError();
            ASSERT_EQ(back, s.data);
        }
    }
    EXPECT_EQ(one->toc().numEntries(), 500);
    EXPECT_EQ(two->toc().numEntries(), 500);
    // One thread writes in rank order: the scene graph first, then by type rank.
    std::vector<VqTOCElem> order = one->toc().entriesByOffset();
    for (size_t i = 1; i < order.size(); ++i)
        ASSERT_LE(VqStreamMgr::segmentRank(order[i - 1].segType()),
                  VqStreamMgr::segmentRank(order[i].segType()));
    EXPECT_EQ(order.front().segType(), VQSEG_LSG);
    // Two threads give the same layout: every segment at the same place.
    std::vector<VqTOCElem> twoOrder = two->toc().entriesByOffset();
    ASSERT_EQ(twoOrder.size(), order.size());
    for (size_t i = 0; i < order.size(); ++i) {
        // The scene graph's GUID is made anew for each file.
        if (order[i].segType() != VQSEG_LSG) {
            ASSERT_EQ(twoOrder[i].guid, order[i].guid) << i;
        }
        ASSERT_EQ(twoOrder[i].offset, order[i].offset) << i;
        ASSERT_EQ(twoOrder[i].length, order[i].length) << i;
    }
    EXPECT_EQ(twoOrder.front().segType(), VQSEG_LSG);
}

namespace {
// Writes its bytes once `ready` holds, or after half a second when it never
// does (a flush that keeps the other segment waiting for this one, or a
// pool of one thread). Given a test for the other segment being in the file,
// it makes the later segment of a flush finish first, as a loaded machine may.
class GateSection : public VqSegmentSection {
public:
    GateSection(Bytes data, std::function<bool()> ready, bool fail)
        : _data(std::move(data)), _fReady(std::move(ready)), _bFail(fail) {}
    bool write(VqObjectStream& os) override {
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
        while (_fReady && !_fReady() && std::chrono::steady_clock::now() < giveUp)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (!os.write(_data.data(), static_cast<int>(_data.size()))) return false;
        if (_bFail) VQ_FAIL("GateSection", "write", "Injected failure", VQ_ERR_WRITE);
        return true;
    }
    void invalidatePersistedState() override {}

private:
    Bytes _data;
    std::function<bool()> _fReady;
    bool _bFail;
};
} // namespace

TEST_F(ContainerTest, ParallelFlushPlacesSegmentsInOrderWhicheverFinishesFirst) {
    VqStreamMgr::s_maxFlushThreads = 2;
    for (bool firstFails : {false, true}) {
        SCOPED_TRACE(firstFails ? "the first segment fails" : "both succeed");
        ASSERT_TRUE(VqPartition::setVersion(10, 0));
        Vq::SharedPtr<VqTOCStreamMgr> mgr = openForWriting(_dir.path(), "g.vq", _part);
        ASSERT_TRUE(mgr);
        Vq::SharedPtr<VqSegment> lsg = new VqSegment(VQSEG_LSG, VqStreamMgr::LsgSegGuid);
        lsg->addSection(new BytesSection(sampleData(500, 1)));
        // One type, so one rank: the order they were added in is the order in the file.
        Vq::SharedPtr<VqSegment> first = new VqSegment(VQSEG_SHAPELOD0, guidFor(1));
        VqTOCStreamMgr* writer = mgr.get();
        first->addSection(new GateSection(
            sampleData(3000, 2), [writer] { return writer->bytesWritten(VQSEG_SHAPE) > 0; }, firstFails));
        Vq::SharedPtr<VqSegment> second = new VqSegment(VQSEG_SHAPELOD0, guidFor(2));
        second->addSection(new BytesSection(sampleData(200, 3)));
        ASSERT_TRUE(mgr->addNewSegment(lsg) && mgr->addNewSegment(first) && mgr->addNewSegment(second));
        VqErrorState::clearError();
        if (firstFails) {
            // The segment waiting for the failed one's turn gives up too.
            EXPECT_FALSE(mgr->close());
            EXPECT_EQ(lastError(), "Injected failure");
            continue;
        }
        ASSERT_TRUE(mgr->close()) << lastError();
        auto r = openForReading(_dir.path(), "g.vq");
        ASSERT_TRUE(r);
        std::vector<VqTOCElem> order = r->toc().entriesByOffset();
        ASSERT_EQ(order.size(), 3u);
        EXPECT_EQ(order[0].segType(), VQSEG_LSG);
        EXPECT_EQ(order[1].guid, guidFor(1));
        EXPECT_EQ(order[2].guid, guidFor(2));
        EXPECT_EQ(order[2].offset, order[1].offset + order[1].length);
    }
}

// Shape segments are stored without a wrapping stream, so nothing but the
// segment's length stops their reader from going on into the next segment.
TEST_F(ContainerTest, ASegmentReaderStopsAtTheSegmentsEnd) {
    VqStreamMgr::s_maxFlushThreads = 1;
    // The first segment claims 300 bytes and holds 100; the second follows it.
    Bytes claims(4 + 100, 'a');
    const int32_t count = 300;
    std::memcpy(claims.data(), &count, 4);
    const Bytes next(400, 'b');
    for (Version v : {Version{9, 5}, Version{10, 0}}) {
        SCOPED_TRACE(v.major);
        ASSERT_TRUE(writeVqFile(_dir.path(), "s.vq", v.major, v.minor,
                                {{guidFor(1), VQSEG_SHAPE, claims}, {guidFor(2), VQSEG_SHAPE, next}}, _part))
            << lastError();
        auto mgr = openForReading(_dir.path(), "s.vq");
        ASSERT_TRUE(mgr);
        std::vector<VqTOCElem> order = mgr->toc().entriesByOffset();
        ASSERT_EQ(order.size(), 2u);
        ASSERT_EQ(order[0].guid, guidFor(1));

        Vq::SharedPtr<VqObjectStream> os;
        ASSERT_TRUE(mgr->beginReadSegment(guidFor(1), os)) << lastError();
        EXPECT_EQ(os->_readLimit(), claims.size());
        int32_t n = 0;
        ASSERT_TRUE(os->read(&n));
        ASSERT_EQ(n, count);
        Bytes buf(static_cast<size_t>(n));
        VqErrorState::clearError();
        EXPECT_FALSE(os->read(buf.data(), n));
        EXPECT_EQ(lastCode(), VQ_ERR_SHORT_READ);
        EXPECT_TRUE(mgr->endReadSegment(os.get()));

        // A bulk read takes the segment's bytes and no more, however it is asked.
        for (VqSize ask : {VqSize(65536), VqSize(16)}) {
            ASSERT_TRUE(mgr->beginReadSegment(guidFor(1), os));
            Bytes all(65536);
            VqSize total = 0, got = 0;
            do {
                got = 0;
                try {
                    os->readBytes(all.data() + total, ask, got);
                } catch (const Vq::StdException& e) {
                    EXPECT_EQ(e.code(), VQ_ERR_SHORT_READ);
                }
                total += got;
            } while (got == ask);
            EXPECT_EQ(total, claims.size()) << ask;
            EXPECT_EQ(Bytes(all.begin(), all.begin() + static_cast<long>(total)), claims);
            EXPECT_TRUE(mgr->endReadSegment(os.get()));
        }
        // The second segment reads whole, and not a byte more.
        Bytes back;
        ASSERT_TRUE(readSegment(mgr.get(), guidFor(2), next.size(), back)) << lastError();
        EXPECT_EQ(back, next);
        ASSERT_TRUE(mgr->beginReadSegment(guidFor(2), os));
        buf.assign(next.size() + 1, 0);
        EXPECT_FALSE(os->read(buf.data(), static_cast<int>(buf.size())));
        EXPECT_EQ(lastCode(), VQ_ERR_SHORT_READ);
        EXPECT_TRUE(mgr->endReadSegment(os.get()));
        ASSERT_TRUE(mgr->close());
    }
}

TEST_F(ContainerTest, EightThreadsReadSegmentsOfOneFile) {
    std::vector<SegmentSpec> segs;
    for (int i = 0; i < 48; ++i)
        segs.push_back({guidFor(i), VQSEG_PMI, sampleData(5000 + 997 * i, 50 + i)});
    ASSERT_TRUE(writeVqFile(_dir.path(), "mt.vq", 9, 5, segs, _part)) << lastError();
    auto mgr = openForReading(_dir.path(), "mt.vq");
    ASSERT_TRUE(mgr);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 3; ++round) {
                for (int k = 0; k < 48; ++k) {
                    const SegmentSpec& s = segs[(k * 7 + t * 5 + round) % 48];
                    Bytes back;
                    if (!readSegment(mgr.get(), s.guid, s.data.size(), back, 777 + t) || back != s.data)
                        ++failures;
                }
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_LE(mgr->numPhysStreams(), 8);

    // One thread holding every physical stream cannot open one more segment.
    Vq::SharedPtrVec<VqObjectStream> open(VqTOCStreamMgr::cMaxPhysStreams);
    for (int i = 0; i < VqTOCStreamMgr::cMaxPhysStreams; ++i)
        ASSERT_TRUE(mgr->beginReadSegment(segs[i].guid, open[i]));
    Vq::SharedPtr<VqObjectStream> extra;
    EXPECT_FALSE(mgr->beginReadSegment(segs[40].guid, extra));
    EXPECT_EQ(lastError(), "iStreamNum < cMaxPhysStreams");
    for (auto& os : open)
        ASSERT_TRUE(mgr->endReadSegment(os.get()));
    ASSERT_TRUE(mgr->beginReadSegment(segs[40].guid, extra));
    EXPECT_TRUE(mgr->endReadSegment(extra.get()));
}

TEST_F(ContainerTest, AFailedWriteFailsTheCloseAndLeavesTheFileInvalid) {
    for (int threads : {1, 2}) {
        VqStreamMgr::s_maxFlushThreads = threads;
        ASSERT_TRUE(VqPartition::setVersion(9, 5));
        Vq::SharedPtr<VqTOCStreamMgr> mgr = openForWriting(_dir.path(), "fail.vq", _part);
        ASSERT_TRUE(mgr);
        std::atomic<int> invalidated{0};
        for (int i = 0; i < 4; ++i) {
            Vq::SharedPtr<VqSegment> seg = new VqSegment(VQSEG_PMI, guidFor(i));
            seg->addSection(new BytesSection(sampleData(100000, i), &invalidated, i == 2 ? 60000 : -1));
            ASSERT_TRUE(mgr->addNewSegment(seg));
        }
        VqErrorState::clearError();
        EXPECT_FALSE(mgr->close());
        // The failure itself, whichever thread met it.
        EXPECT_EQ(lastError(), "Injected failure");
        // Every pending segment's late-loaded data is marked unsaved again.
        EXPECT_EQ(invalidated.load(), 4);
        EXPECT_FALSE(mgr->isOpen());
        Bytes f = readFile(_dir.file("fail.vq"));
        ASSERT_GE(f.size(), 7u);
        EXPECT_EQ(std::string(f.begin(), f.begin() + 7), "Invalid");
        Vq::SharedPtr<VqTOCStreamMgr> r = new VqTOCStreamMgr(location(_dir.path(), "fail.vq").get(), true);
        EXPECT_FALSE(r->open());
        EXPECT_EQ(lastError(), "VQ file not finalized or closed properly");
    }

    // A full device: the segment data cannot be written (the failure shows as
    // soon as buffered bytes meet the device, be it in a write or a seek),
    // and the system's reason comes with it.
    Vq::SharedPtr<VqTOCStreamMgr> full =
        new VqTOCStreamMgr(new VqFSStorageLocation(VqString("/dev/"), VqString("full")), false);
    ASSERT_TRUE(full->setPartition(&_part) && full->_initStreamMgr(false) && full->open());
    Vq::SharedPtr<VqSegment> seg = new VqSegment(VQSEG_BREP, guidFor(1));
    seg->addSection(new BytesSection(sampleData(4 << 20, 77)));
    ASSERT_TRUE(full->addNewSegment(seg));
    EXPECT_FALSE(full->close());
    EXPECT_EQ(lastError(), "Write failed: No space left on device");
    EXPECT_EQ(lastCode(), VQ_ERR_WRITE);
}

TEST_F(ContainerTest, ScrambledFilesAreNotWritten) {
    struct Case {
        int major, minor;
        const char* text;
    };
    const Case cases[] = {{9, 0, "VQ version does not support scrambling."},
                          {9, 5, "Scrambled VQ files are not supported by this library"}};
    VqStreamMgr::s_eDefaultCryptoMethod = 1;
    for (const Case& c : cases) {
        ASSERT_TRUE(VqPartition::setVersion(c.major, c.minor));
        Vq::SharedPtr<VqTOCStreamMgr> mgr = new VqTOCStreamMgr(location(_dir.path(), "s.vq").get(), false);
        ASSERT_TRUE(mgr->setPartition(&_part));
        EXPECT_FALSE(mgr->open());
        EXPECT_EQ(lastError(), c.text);
        EXPECT_EQ(lastCode(), VQ_ERR_SCRAMBLE);
    }
}

TEST_F(ContainerTest, FormatsSixAndSevenHoldOneLegacyBlock) {
    const Bytes payload = sampleData(20000, 12);
    for (Version v : {Version{6, 4}, Version{7, 0}}) {
        ASSERT_TRUE(VqPartition::setVersion(v.major, v.minor));
        Vq::SharedPtr<VqTOCStreamMgr> w = openForWriting(_dir.path(), "old.vq", _part);
        ASSERT_TRUE(w);
        Vq::SharedPtr<VqObjectStream> os;
        ASSERT_TRUE(w->beginWriteSegment(VqStreamMgr::RawSegGuid, os, VQSEG_LSG)) << lastError();
        ASSERT_TRUE(os->beginWrite() && os->write(payload.data(), static_cast<int>(payload.size())) &&
                    os->endWrite());
        ASSERT_TRUE(w->endWriteSegment(os.get())) << lastError();
        ASSERT_TRUE(w->close()) << lastError();

        Bytes f = readFile(_dir.file("old.vq"));
        // An 89-byte header, the block right after it, the TOC's legacy form at the end.
        const int32_t toc = load<int32_t>(f, 85);
        EXPECT_EQ(static_cast<size_t>(toc) + 46, f.size());
        EXPECT_EQ(load<int32_t>(f, toc), 1);
        EXPECT_EQ(load<int32_t>(f, f.size() - 4), 89);

        auto r = openForReading(_dir.path(), "old.vq");
        ASSERT_TRUE(r) << lastError();
        ASSERT_TRUE(r->beginReadSegment(VqStreamMgr::LsgSegGuid, os)) << lastError();
        EXPECT_EQ(os->type(), v.major == 7 ? &VqCompressedObjectStream::classTypeID()
                                           : &VqBufferedObjectStream::classTypeID());
        Bytes back(payload.size());
        ASSERT_TRUE(os->beginRead() && os->read(back.data(), static_cast<int>(back.size())) && os->endRead());
        EXPECT_EQ(back, payload);
        ASSERT_TRUE(r->endReadSegment(os.get()));
        // Late-loaded data of these formats is reached by absolute offset.
        ASSERT_TRUE(r->beginReadSegment(89, os));
        ASSERT_TRUE(r->endReadSegment(os.get()));
    }
}

TEST_F(ContainerTest, WrapperDispatchAndRanks) {
    struct Row {
        int major;
        const VqType* wrapper;
        int mode;
    };
    const Row rows[] = {{6, &VqBufferedObjectStream::classTypeID(), 0},
                        {7, &VqCompressedObjectStream::classTypeID(), 0},
                        {8, &VqZlibSegObjectStream::classTypeID(), 3},
                        {9, &VqZlibSegObjectStream::classTypeID(), 3},
                        {10, &VqLzmaSegObjectStream::classTypeID(), 3}};
    const int minors[] = {4, 0, 0, 5, 0};
    for (size_t i = 0; i < std::size(rows); ++i) {
        ASSERT_TRUE(VqPartition::setVersion(rows[i].major, minors[i]));
        Vq::SharedPtr<VqTOCStreamMgr> mgr = new VqTOCStreamMgr(location(_dir.path(), "x.vq").get(), false);
        ASSERT_TRUE(mgr->_initStreamMgr(false));
        const VqType* t = nullptr;
        int mode = -1;
        mgr->getRawWrapper(t, mode);
        EXPECT_EQ(t, rows[i].wrapper) << rows[i].major;
        EXPECT_EQ(mode, rows[i].mode) << rows[i].major;
    }
    Vq::SharedPtr<VqTOCStreamMgr> mgr = new VqTOCStreamMgr(location(_dir.path(), "x.vq").get(), false);
    EXPECT_FALSE(mgr->setRawWrapper(&VqStdError::classTypeID(), 0));
    EXPECT_EQ(lastError(), "pWrapType->isA(VqObjectStream::classTypeID())");
    EXPECT_EQ(VqStreamMgr::segmentRank(VQSEG_TOC), 0);
    EXPECT_EQ(VqStreamMgr::segmentRank(VQSEG_LSG), 1);
    EXPECT_EQ(VqStreamMgr::segmentRank(VQSEG_SPATIALHIER), 2);
    EXPECT_EQ(VqStreamMgr::segmentRank(16), 4);
    EXPECT_EQ(VqStreamMgr::segmentRank(7), 13);
    EXPECT_EQ(VqStreamMgr::segmentRank(VQSEG_HEADER), 29);
    // The same GUID hashes differently for different files.
    Vq::SharedPtr<VqTOCStreamMgr> other = new VqTOCStreamMgr(location(_dir.path(), "y.vq").get(), true);
    EXPECT_EQ(mgr->segmentHash(guidFor(1)), mgr->segmentHash(guidFor(1)));
    EXPECT_NE(mgr->segmentHash(guidFor(1)), other->segmentHash(guidFor(1)));
}

TEST_F(ContainerTest, FormatSevenCompressesEachElement) {
    Vq::SharedPtr<VqMemoryByteStream> mem = new VqMemoryByteStream(false);
    mem->lock();
    mem->open();
    Vq::SharedPtr<VqDataStream> ds = new VqDataStream(mem.get());
    Vq::SharedPtr<VqCompressedObjectStream> w = new VqCompressedObjectStream(ds.get());
    Bytes payload = sampleData(10000, 8);
    // Two outermost elements, the first with a nested one.
    ASSERT_TRUE(w->beginWrite() && w->write(11) && w->beginWrite());
    ASSERT_TRUE(w->write(payload.data(), static_cast<int>(payload.size())) && w->endWrite());
    ASSERT_TRUE(w->write(22) && w->endWrite());
    ASSERT_TRUE(w->beginWrite() && w->write(33) && w->endWrite());
    const VqUChar* raw = mem->data();
    // flag, length + 1, algorithm byte: a zlib block.
    EXPECT_EQ(load<uint32_t>(Bytes(raw, raw + 12), 0), 2u);
    EXPECT_EQ(raw[8], 2);
    ASSERT_LT(load<int32_t>(Bytes(raw, raw + 12), 4), 10000);
    Bytes file(raw, raw + mem->dataLength());
    mem->unlock();

    Vq::SharedPtr<VqMemoryByteStream> in = new VqMemoryByteStream(true);
    ASSERT_TRUE(in->setData(file.data(), file.size()));
    in->lock();
    in->open();
    Vq::SharedPtr<VqDataStream> rds = new VqDataStream(in.get());
    Vq::SharedPtr<VqCompressedObjectStream> r = new VqCompressedObjectStream(rds.get());
    int a = 0, b = 0, c = 0;
    Bytes back(payload.size());
    ASSERT_TRUE(r->beginRead() && r->read(&a) && r->beginRead());
    ASSERT_TRUE(r->read(back.data(), static_cast<int>(back.size())) && r->endRead());
    ASSERT_TRUE(r->read(&b) && r->endRead());
    // The second element's data is left unread: the end of the element skips it.
    ASSERT_TRUE(r->beginRead() && r->endRead());
    EXPECT_TRUE(r->dataSkipped());
    EXPECT_EQ(a, 11);
    EXPECT_EQ(b, 22);
    EXPECT_EQ(c, 0);
    EXPECT_EQ(back, payload);
    in->unlock();
}
