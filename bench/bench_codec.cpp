// Integer packets: encode and decode speed (MB/s of int32) and size
// (bits per value, next to the zero-order entropy of the values) for each
// codec, on geometric, Laplace, uniform 12-bit and constant arrays of 10^2,
// 10^4 and 10^6 values, next to zlib level 1 and LZMA preset 1 on the same
// int32 arrays. Counters: bpv = packet bits per value, H0 = entropy per
// value, bpv_code = bits per value without the context table (arithmetic
// packets), allocs = heap allocations per decoded packet.
#include "VqCodecDriver2.h"
#include "VqDataStream.h"
#include "VqLib.h"
#include "VqMemoryByteStream.h"
#include "VqObjectStream.h"

#include <atomic>
#include <benchmark/benchmark.h>
#include <cmath>
#include <cstdlib>
#include <new>
#include <cstring>
#include <lzma.h>
#include <map>
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
struct LibScope {
    LibScope() { VqLib::init(); }
    ~LibScope() { VqLib::fini(); }
} s_lib;

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

Bytes encode(VqVeci& v, Driver::VqCodecType codec) {
    Vq::SharedPtr<VqMemoryByteStream> mem = new VqMemoryByteStream(false);
    Vq::SharedPtr<VqObjectStream> os = streamOver(mem.get());
    Driver driver(v);
    if (!driver.serialize(*os, codec)) return Bytes();
    return Bytes(mem->data(), mem->data() + mem->dataLength());
}

// Bytes of the context of a top-level arithmetic packet (0 for other codecs).
size_t contextBytes(const Bytes& p) {
    if (p.size() < 9 || p[4] != Driver::CodecArithmetic) return 0;
    int32_t bits = 0;
    std::memcpy(&bits, &p[5], 4);
    size_t pos = 9 + static_cast<size_t>((int64_t(bits) + 31) / 32) * 4;
    auto field = [&](size_t bitPos, int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i, ++bitPos)
            v = (v << 1) | ((p[bitPos / 8] >> (7 - bitPos % 8)) & 1u);
        return v;
    };
    const uint32_t e = field(pos * 8, 16);
    const uint32_t w = field(pos * 8 + 16, 6) + field(pos * 8 + 22, 6) + field(pos * 8 + 28, 6);
    return (66 + size_t(e) * w + 7) / 8;
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

void encodePacket(benchmark::State& state, const std::string& kind, int n, Driver::VqCodecType codec) {
    VqVeci v = makeArray(kind, n);
    Bytes packed;
    for (auto _ : state) {
        packed = encode(v, codec);
        benchmark::DoNotOptimize(packed.data());
    }
    if (packed.empty()) state.SkipWithError("encoding failed");
    sizeCounters(state, v, packed, contextBytes(packed));
}

void decodePacket(benchmark::State& state, const std::string& kind, int n, Driver::VqCodecType codec) {
    VqVeci v = makeArray(kind, n);
    const Bytes packed = encode(v, codec);
    Vq::SharedPtr<VqMemoryByteStream> mem = new VqMemoryByteStream(true);
    mem->setData(packed.data(), packed.size());
    Vq::SharedPtr<VqObjectStream> os = streamOver(mem.get());
    VqVeci out;
    Driver driver(out);
    const uint64_t allocsBefore = g_nAllocs.load();
    for (auto _ : state) {
        os->seek(0);
        if (!driver.deserialize(*os)) state.SkipWithError("decoding failed");
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["allocs"] = double(g_nAllocs.load() - allocsBefore) / double(state.iterations());
    if (out != v) state.SkipWithError("values differ");
    sizeCounters(state, v, packed, contextBytes(packed));
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
        lzma_stream_buffer_decode(&limit, 0, nullptr, packed.data(), &inPos, packed.size(),
                                  reinterpret_cast<uint8_t*>(out.data()), &outPos, out.size() * 4);
        benchmark::DoNotOptimize(out.data());
    }
    if (out != v) state.SkipWithError("values differ");
    sizeCounters(state, v, packed, 0);
}

const int s_registered = [] {
    const std::pair<const char*, Driver::VqCodecType> codecs[] = {{"auto", Driver::CodecAuto},
                                                                   {"bitlength", Driver::CodecBitLength},
                                                                   {"arithmetic", Driver::CodecArithmetic},
                                                                   {"chopper", Driver::CodecChopper}};
    for (const char* kind : {"geometric", "laplace", "uniform12", "constant"}) {
        for (int n : {100, 10000, 1000000}) {
            const std::string suffix = std::string(kind) + "/" + std::to_string(n);
            for (const auto& [name, codec] : codecs) {
                benchmark::RegisterBenchmark(("Encode/" + suffix + "/" + name).c_str(), encodePacket, kind, n, codec)
                    ->Unit(benchmark::kMicrosecond);
                benchmark::RegisterBenchmark(("Decode/" + suffix + "/" + name).c_str(), decodePacket, kind, n, codec)
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
