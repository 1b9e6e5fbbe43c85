// Integer packets: encode and decode speed (MB/s of int32) and size
// (bits per value, next to the zero-order entropy of the values) for each
// codec of each packet generation (v1, v2, v3), on geometric, Laplace,
// uniform 12-bit and constant arrays of 10^2, 10^4 and 10^6 values, next to
// zlib level 1 and LZMA preset 1 on the same int32 arrays. Counters: bpv =
// packet bits per value, H0 = entropy per value, bpv_code = bits per value
// without the context table or model (arithmetic and Huffman packets),
// allocs = heap allocations per decoded packet (the driver is reused, as a
// loader reuses pooled drivers).
#include "BenchLib.h"
#include "VqCodecDriver.h"
#include "VqCodecDriver2.h"
#include "VqCodecDriver3T.h"
#include "VqDataStream.h"
#include "VqErrorState.h"
#include "VqLib.h"
#include "VqMemoryByteStream.h"
#include "VqObjectStream.h"
#include "VqStdError.h"

#include <atomic>
#include <benchmark/benchmark.h>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <lzma.h>
#include <map>
#include <new>
#include <random>
#include <string>
#include <vector>
#include <zlib.h>

// Every allocation of the process is counted, the library's included.
std::atomic<uint64_t> g_nAllocs{0};

void* operator new(size_t n) {
    g_nAllocs.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}

namespace {
using Bytes = std::vector<uint8_t>;
using Driver = VqCodecDriver2;

VqVeci makeArray(const std::string& kind, int n) {
    std::mt19937 rng(1234);
    VqVeci v(static_cast<size_t>(n));
    if (kind == "geometric") {
        std::geometric_distribution<int> g(0.2);
        for (int& x : v)
            x = g(rng);
    } else if (kind == "laplace") {
        // Residuals of a smooth signal: two-sided, scale 8.
        std::exponential_distribution<double> e(1.0 / 8);
        for (int& x : v)
            x = static_cast<int>(std::lround(rng() & 1 ? e(rng) : -e(rng)));
    } else if (kind == "uniform12") {
        for (int& x : v)
            x = static_cast<int>(rng() & 0xFFF);
    } else {
        std::fill(v.begin(), v.end(), 1234567);
    }
    return v;
}

double entropyPerValue(const VqVeci& v) {
    std::map<int, double> counts;
    for (int x : v)
        counts[x] += 1;
    double h = 0;
    for (const auto& [value, c] : counts)
        h -= c * std::log2(c / v.size());
    return h / v.size();
}

Vq::SharedPtr<VqObjectStream> streamOver(VqMemoryByteStream* mem) {
    Vq::SharedPtr<VqDataStream> data = new VqDataStream(mem);
    data->open();
    return new VqObjectStream(data.get());
}

// A codec of one packet generation: 1, 2 or 3, and the driver's codec type.
struct Codec {
    int gen;
    int type;
};

Bytes encode(VqVeci& v, Codec c) {
    Vq::SharedPtr<VqMemoryByteStream> mem = new VqMemoryByteStream(false);
    Vq::SharedPtr<VqObjectStream> os = streamOver(mem.get());
    bool ok = false;
    if (c.gen == 1) {
        VqCodecDriver<int> driver(v);
        ok = driver.serialize(*os, static_cast<VqCodecDriverBase::VqCodecType>(c.type));
    } else if (c.gen == 2) {
        Driver driver(v);
        ok = driver.serialize(*os, static_cast<Driver::VqCodecType>(c.type));
    } else {
        Vq::CodecDriver3 driver;
        ok = driver.serialize(*os, v, static_cast<Vq::CodecDriver3Base::VqCodecType>(c.type));
    }
    if (!ok) return Bytes();
    return Bytes(mem->data(), mem->data() + mem->dataLength());
}

// One bound driver per generation, reused from packet to packet.
class Decoder {
public:
    Decoder(int gen, VqVeci& out) : _nGen(gen), _out(out), _v1(out), _v2(out) {}
    bool decode(VqObjectStream& os) {
        if (_nGen == 1) return _v1.deserialize(os, VqCodecDriverBase::PredNull, INT_MAX);
        if (_nGen == 2) return _v2.deserialize(os, INT_MAX);
        return _v3.deserialize(os, _out, INT_MAX);
    }

private:
    int _nGen;
    VqVeci& _out;
    VqCodecDriver<int> _v1;
    Driver _v2;
    Vq::CodecDriver3 _v3;
};

size_t bitsToBytes(size_t bits) {
    return (bits + 7) / 8;
}

uint32_t bitField(const Bytes& p, size_t bitPos, int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i, ++bitPos)
        v = (v << 1) | ((p[bitPos / 8] >> (7 - bitPos % 8)) & 1u);
    return v;
}

// Bytes of the context or model of a top-level packet that has one (0 otherwise).
size_t tableBytes(const Bytes& p, int gen) {
    if (gen == 1) {
        if (p.size() < 2 ||
            (p[0] != VqCodecDriverBase::CodecHuffman && p[0] != VqCodecDriverBase::CodecArithmetic))
            return 0;
        size_t bitPos = 16;
        for (int c = 0; c < p[1]; ++c) {
            const uint32_t e = bitField(p, bitPos, 32);
            bitPos += 32;
            uint32_t w = 0;
            for (int f = 0; f < (c == 0 ? 4 : 3); ++f, bitPos += 6)
                w += bitField(p, bitPos, 6);
            bitPos += (c == 0 ? 32 : 0) + size_t(e) * w;
        }
        return bitsToBytes(bitPos) - 1;
    }
    if (p.size() < 9 || p[4] != 3) return 0;
    int32_t bits = 0;
    std::memcpy(&bits, &p[5], 4);
    const size_t pos = 9 + static_cast<size_t>((int64_t(bits) + 31) / 32) * 4;
    const uint32_t e = bitField(p, pos * 8, 16);
    if (gen == 2) {
        const uint32_t w =
            bitField(p, pos * 8 + 16, 6) + bitField(p, pos * 8 + 22, 6) + bitField(p, pos * 8 + 28, 6);
        return bitsToBytes(66 + size_t(e) * w);
    }
    const uint32_t w = 1 + bitField(p, pos * 8 + 16, 6) + bitField(p, pos * 8 + 22, 7);
    return bitsToBytes(61 + size_t(e) * w);
}

Bytes zlib1(const VqVeci& v) {
    Bytes out(compressBound(v.size() * 4));
    uLongf len = out.size();
    compress2(out.data(), &len, reinterpret_cast<const Bytef*>(v.data()), v.size() * 4, 1);
    out.resize(len);
    return out;
}

Bytes lzma1(const VqVeci& v) {
    Bytes out(lzma_stream_buffer_bound(v.size() * 4));
    size_t pos = 0;
    lzma_easy_buffer_encode(1, LZMA_CHECK_CRC64, nullptr, reinterpret_cast<const uint8_t*>(v.data()),
                            v.size() * 4, out.data(), &pos, out.size());
    out.resize(pos);
    return out;
}

void sizeCounters(benchmark::State& state, const VqVeci& v, const Bytes& packed, size_t tableBytes) {
    const double n = static_cast<double>(v.size());
    state.counters["bpv"] = packed.size() * 8.0 / n;
    state.counters["H0"] = entropyPerValue(v);
    if (tableBytes) state.counters["bpv_code"] = (packed.size() - tableBytes) * 8.0 / n;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(v.size()) * 4);
}

// A forced codec that cannot code the array (a chopper on equal values)
// says why.
void skipWithLastError(benchmark::State& state) {
    Vq::SharedPtr<VqStdError> e = VqErrorState::currentError();
    const std::string why = "encoding failed: " + (e ? e->description().toUtf8() : std::string());
    state.SkipWithError(why.c_str());
}

void encodePacket(benchmark::State& state, const std::string& kind, int n, Codec codec) {
    ensureLib();
    VqVeci v = makeArray(kind, n);
    Bytes packed;
    for (auto _ : state) {
        packed = encode(v, codec);
        benchmark::DoNotOptimize(packed.data());
    }
    if (packed.empty()) {
        skipWithLastError(state);
        return;
    }
    sizeCounters(state, v, packed, tableBytes(packed, codec.gen));
}

void decodePacket(benchmark::State& state, const std::string& kind, int n, Codec codec) {
    ensureLib();
    VqVeci v = makeArray(kind, n);
    const Bytes packed = encode(v, codec);
    if (packed.empty()) {
        skipWithLastError(state);
        return;
    }
    Vq::SharedPtr<VqMemoryByteStream> mem = new VqMemoryByteStream(true);
    mem->setData(packed.data(), packed.size());
    Vq::SharedPtr<VqObjectStream> os = streamOver(mem.get());
    VqVeci out;
    Decoder decoder(codec.gen, out);
    // The first packet sizes the driver's and the pools' buffers.
    decoder.decode(*os);
    const uint64_t allocsBefore = g_nAllocs.load();
    for (auto _ : state) {
        os->seek(0);
        if (!decoder.decode(*os)) state.SkipWithError("decoding failed");
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["allocs"] = double(g_nAllocs.load() - allocsBefore) / double(state.iterations());
    if (out != v) state.SkipWithError("values differ");
    sizeCounters(state, v, packed, tableBytes(packed, codec.gen));
}

void encodeZlib(benchmark::State& state, const std::string& kind, int n) {
    VqVeci v = makeArray(kind, n);
    Bytes packed;
    for (auto _ : state)
        benchmark::DoNotOptimize((packed = zlib1(v)).data());
    sizeCounters(state, v, packed, 0);
}

void decodeZlib(benchmark::State& state, const std::string& kind, int n) {
    VqVeci v = makeArray(kind, n);
    const Bytes packed = zlib1(v);
    VqVeci out(v.size());
    for (auto _ : state) {
        uLongf len = out.size() * 4;
        uncompress(reinterpret_cast<Bytef*>(out.data()), &len, packed.data(), packed.size());
        benchmark::DoNotOptimize(out.data());
    }
    if (out != v) state.SkipWithError("values differ");
    sizeCounters(state, v, packed, 0);
}

void encodeLzma(benchmark::State& state, const std::string& kind, int n) {
    VqVeci v = makeArray(kind, n);
    Bytes packed;
    for (auto _ : state)
        benchmark::DoNotOptimize((packed = lzma1(v)).data());
    sizeCounters(state, v, packed, 0);
}

void decodeLzma(benchmark::State& state, const std::string& kind, int n) {
    VqVeci v = makeArray(kind, n);
    const Bytes packed = lzma1(v);
    VqVeci out(v.size());
    for (auto _ : state) {
        uint64_t limit = UINT64_MAX;
        size_t inPos = 0, outPos = 0;
        if (lzma_stream_buffer_decode(&limit, 0, nullptr, packed.data(), &inPos, packed.size(),
                                      reinterpret_cast<uint8_t*>(out.data()), &outPos,
                                      out.size() * 4) != LZMA_OK)
            state.SkipWithError("decoding failed");
        benchmark::DoNotOptimize(out.data());
    }
    if (out != v) state.SkipWithError("values differ");
    sizeCounters(state, v, packed, 0);
}

const int s_registered = [] {
    using B1 = VqCodecDriverBase;
    using B3 = Vq::CodecDriver3Base;
    const std::pair<const char*, Codec> codecs[] = {{"v1/auto", {1, B1::CodecNone}},
                                                    {"v1/bitlength", {1, B1::CodecBitLength}},
                                                    {"v1/huffman", {1, B1::CodecHuffman}},
                                                    {"v1/arithmetic", {1, B1::CodecArithmetic}},
                                                    {"v2/auto", {2, Driver::CodecAuto}},
                                                    {"v2/bitlength", {2, Driver::CodecBitLength}},
                                                    {"v2/arithmetic", {2, Driver::CodecArithmetic}},
                                                    {"v2/chopper", {2, Driver::CodecChopper}},
                                                    {"v3/auto", {3, B3::CodecAuto}},
                                                    {"v3/bitlength", {3, B3::CodecBitLength}},
                                                    {"v3/arithmetic", {3, B3::CodecArithmetic}},
                                                    {"v3/chopper", {3, B3::CodecChopper}},
                                                    {"v3/mtf", {3, B3::CodecMoveToFront}}};
    for (const char* kind : {"geometric", "laplace", "uniform12", "constant"}) {
        for (int n : {100, 10000, 1000000}) {
            const std::string suffix = std::string(kind) + "/" + std::to_string(n);
            for (const auto& [name, codec] : codecs) {
                benchmark::RegisterBenchmark(("Encode/" + suffix + "/" + name).c_str(), encodePacket, kind, n,
                                             codec)
                    ->Unit(benchmark::kMicrosecond);
                benchmark::RegisterBenchmark(("Decode/" + suffix + "/" + name).c_str(), decodePacket, kind, n,
                                             codec)
                    ->Unit(benchmark::kMicrosecond);
            }
            benchmark::RegisterBenchmark(("Encode/" + suffix + "/zlib1").c_str(), encodeZlib, kind, n)
                ->Unit(benchmark::kMicrosecond);
            benchmark::RegisterBenchmark(("Decode/" + suffix + "/zlib1").c_str(), decodeZlib, kind, n)
                ->Unit(benchmark::kMicrosecond);
            benchmark::RegisterBenchmark(("Encode/" + suffix + "/lzma1").c_str(), encodeLzma, kind, n)
                ->Unit(benchmark::kMicrosecond);
            benchmark::RegisterBenchmark(("Decode/" + suffix + "/lzma1").c_str(), decodeLzma, kind, n)
                ->Unit(benchmark::kMicrosecond);
        }
    }
    return 0;
}();
} // namespace
