#include "ContainerTestUtil.h"
#include "VqBufferedObjectStream.h"
#include "VqCompressedObjectStream.h"
#include "VqCompressor.h"
#include "VqLibFixture.h"
#include "VqLzmaSegObjectStream.h"
#include "VqMemoryByteStream.h"
#include "VqZlibSegObjectStream.h"

#include <lzma.h>
#include <zlib.h>

using namespace vqtest;

namespace {
class ContainerTest : public VqLibTest {
protected:
    void TearDown() override {
        VqStreamMgr::s_maxFlushThreads = 0;
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
} // namespace

TEST_P(ContainerVersionTest, SegmentsOfEverySizeRoundTrip) {
    const Version v = GetParam();
    const size_t sizes[] = {0, 1, 4095, 4096, (1u << 18) + 1};
    std::vector<SegmentSpec> segs;
    for (size_t i = 0; i < std::size(sizes); ++i)
        segs.push_back(
            {guidFor(static_cast<int>(i)), VQSEG_PMI, sampleData(sizes[i], static_cast<unsigned>(i))});
    ASSERT_TRUE(writeVqFile(_dir.path(), "sizes.vq", v.major, v.minor, segs, _part)) << errorText();

    auto mgr = openForReading(_dir.path(), "sizes.vq");
    ASSERT_TRUE(mgr) << errorText();
    int major = 0, minor = 0;
    ASSERT_TRUE(mgr->getVersion(major, minor));
    EXPECT_EQ(major, v.major);
    EXPECT_EQ(minor, v.minor);
    for (const SegmentSpec& s : segs) {
        Vq::SharedPtr<VqObjectStream> os;
        ASSERT_TRUE(mgr->beginReadSegment(s.guid, os)) << errorText();
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
    // Cheap to compress, yet every byte matters: a counter woven into text.
    Bytes data(50u << 20);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = (i & 63) == 0 ? static_cast<VqUChar>(i >> 6) : "ZQ"[i & 1];
    ASSERT_TRUE(writeVqFile(_dir.path(), "big.vq", v.major, v.minor, {{guidFor(1), VQSEG_BREP, data}}, _part))
        << errorText();
    auto mgr = openForReading(_dir.path(), "big.vq");
    ASSERT_TRUE(mgr) << errorText();
    Bytes back;
    ASSERT_TRUE(readSegment(mgr.get(), guidFor(1), data.size(), back, 3 << 20)) << errorText();
    EXPECT_TRUE(back == data);
}

INSTANTIATE_TEST_SUITE_P(ZlibAndLzma, ContainerVersionTest, ::testing::Values(Version{9, 5}, Version{10, 0}),
                         [](const auto& info) { return info.param.major >= 10 ? "V10_0" : "V9_5"; });

TEST_F(ContainerTest, LayoutAt95FieldByField) {
    Bytes data = sampleData(30000, 3);
    ASSERT_TRUE(writeVqFile(_dir.path(), "a.vq", 9, 5, {{guidFor(7), VQSEG_METADATA, data}}, _part))
        << errorText();
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
        << errorText();
    Bytes f = readFile(_dir.file("b.vq"));
    EXPECT_EQ(std::string(f.begin(), f.begin() + 12), "Version 10.0");
    const uint64_t tocOffset = load<uint64_t>(f, 85);
    EXPECT_EQ(tocOffset, 109u);
    ASSERT_EQ(load<int32_t>(f, tocOffset), 2);
    // Entries of 32 bytes; a parallel flush places segments in the order they finish.
    size_t e1 = tocOffset + 4, e2 = e1 + 32;
    if (load<VqGUID>(f, e1) != guidFor(1)) std::swap(e1, e2);
    EXPECT_EQ(load<VqGUID>(f, e1), guidFor(1));
    EXPECT_EQ(load<VqGUID>(f, e2), guidFor(2));
    const uint64_t off1 = load<uint64_t>(f, e1 + 16);
    const uint64_t off2 = load<uint64_t>(f, e2 + 16);
    EXPECT_EQ(std::min(off1, off2), tocOffset + 4 + 64);
    // A segment into which nothing was written has its header and no framing.
    EXPECT_EQ(load<uint32_t>(f, e2 + 24), 24u);
    EXPECT_EQ(load<int32_t>(f, off2 + 20), 24);
    // The payload is an xz stream that the system's own tool decodes.
    size_t fr = off1 + 24;
    EXPECT_EQ(load<uint32_t>(f, fr), 3u);
    const int32_t len = load<int32_t>(f, fr + 4);
    EXPECT_EQ(f[fr + 8], 3);
    EXPECT_EQ(static_cast<uint64_t>(len) + 8 + 24, load<uint32_t>(f, e1 + 24));
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

TEST_F(ContainerTest, ReadersFollowTheFlagAndTheAlgorithmByte) {
    // A format-10 writer set to zlib frames with 2/2; the format-10 reader takes it.
    ASSERT_TRUE(VqPartition::setVersion(10, 0));
    ASSERT_TRUE(VqPartition::setCompressionAlgortihm(2));
    Bytes data = sampleData(5000, 9);
    auto loc = location(_dir.path(), "z.vq");
    Vq::SharedPtr<VqTOCStreamMgr> w = new VqTOCStreamMgr(loc.get(), false);
    ASSERT_TRUE(w->setPartition(&_part) && w->_initStreamMgr(false) && w->open());
    Vq::SharedPtr<VqSegment> seg = new VqSegment(VQSEG_PMI, guidFor(3));
    seg->addSection(new BytesSection(data));
    ASSERT_TRUE(w->addNewSegment(seg));
    ASSERT_TRUE(w->close()) << errorText();
    Bytes f = readFile(_dir.file("z.vq"));
    const uint64_t off = load<uint64_t>(f, load<uint64_t>(f, 85) + 4 + 16);
    EXPECT_EQ(load<uint32_t>(f, off + 24), 2u);
    EXPECT_EQ(f[off + 32], 2);
    auto r = openForReading(_dir.path(), "z.vq");
    ASSERT_TRUE(r);
    Bytes back;
    ASSERT_TRUE(readSegment(r.get(), guidFor(3), data.size(), back)) << errorText();
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
    EXPECT_EQ(errorText(), "_uIsCompressed == VqCompressor::VQCOMPRESSOR_ALGORITHM_ZLIB");
    mem->unlock();
}

TEST_F(ContainerTest, CorruptSegmentFailsThatSegmentOnly) {
    for (Version v : {Version{9, 5}, Version{10, 0}}) {
        std::vector<SegmentSpec> segs;
        for (int i = 0; i < 3; ++i)
            segs.push_back({guidFor(i), VQSEG_PMI, sampleData(40000, 20 + i)});
        ASSERT_TRUE(writeVqFile(_dir.path(), "c.vq", v.major, v.minor, segs, _part));
        auto probe = openForReading(_dir.path(), "c.vq");
        ASSERT_TRUE(probe);
        uint64_t off = 0;
        uint32_t len = 0;
        ASSERT_TRUE(probe->guidToSegDescr(guidFor(1), off, len));
        probe.reset();
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
            EXPECT_EQ(errorText(), "Zlib data stream is corrupt");
            EXPECT_EQ(errorCode(), VQ_ERR_CORRUPT);
        } else {
            EXPECT_EQ(errorText(), "_iLastRetcode == LZMA_OK || _iLastRetcode == LZMA_STREAM_END");
        }
        for (int i : {0, 2}) {
            ASSERT_TRUE(readSegment(mgr.get(), guidFor(i), 40000, back)) << errorText();
            EXPECT_EQ(back, segs[i].data);
        }
        EXPECT_EQ(mgr->numPhysStreams() > 0, true);
        ASSERT_TRUE(mgr->close());
    }
}
