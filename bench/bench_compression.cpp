// Segment compression throughput: 64 MB of segment-like data through the
// zlib and LZMA segment streams (bulk and 4-byte accesses), next to the
// libraries' own one-shot calls on the same bytes.
#include "VqDataStream.h"
#include "VqLib.h"
#include "VqLzmaSegObjectStream.h"
#include "VqMemoryByteStream.h"
#include "VqPartition.h"
#include "VqZlibSegObjectStream.h"

#include <benchmark/benchmark.h>
#include <cstring>
#include <lzma.h>
#include <random>
#include <vector>
#include <zlib.h>

namespace {
struct LibScope {
    LibScope() { VqLib::init(); }
    ~LibScope() { VqLib::fini(); }
} s_lib;

using Bytes = std::vector<VqUChar>;
constexpr size_t kDataSize = 64u << 20;
constexpr size_t kBulk = 1u << 20;

// Records shaped like a scene-graph segment: IDs, quantised coordinates with
// noise, flags and short names.
const Bytes& segmentData() {
    static const Bytes data = [] {
        Bytes b;
        b.reserve(kDataSize);
        std::mt19937 rng(42);
        std::normal_distribution<float> noise(0.f, 0.01f);
        const char* names[] = {"bolt_M8x20", "bracket_left", "housing", "gear_z32", "shaft"};
        for (int32_t id = 0; b.size() < kDataSize; ++id) {
            auto put = [&b](const void* p, size_t n) {
                const auto* c = static_cast<const VqUChar*>(p);
                b.insert(b.end(), c, c + n);
            };
            float xyz[3] = {float(id % 1000) * 0.5f + noise(rng), float(id / 1000) + noise(rng), noise(rng)};
            int32_t flags = (id % 7) << 4;
            put(&id, 4);
            put(xyz, 12);
            put(&flags, 4);
            const char* n = names[id % 5];
            int32_t len = static_cast<int32_t>(std::strlen(n));
            put(&len, 4);
            put(n, static_cast<size_t>(len));
        }
        b.resize(kDataSize);
        return b;
    }();
    return data;
}

// A segment stream of the given class writing into memory; returns the framed bytes.
template <class Stream>
Bytes writeSegment(const Bytes& data, size_t chunk) {
    Vq::SharedPtr<VqMemoryByteStream> mem = new VqMemoryByteStream(false);
    mem->reserve(data.size() / 2);
    mem->lock();
    mem->open();
    Vq::SharedPtr<VqDataStream> ds = new VqDataStream(mem.get());
    Vq::SharedPtr<Stream> os = new Stream(ds.get());
    if (chunk == 4) {
        const auto* words = reinterpret_cast<const int*>(data.data());
        for (size_t i = 0; i < data.size() / 4; ++i)
            os->write(words[i]);
    } else {
        for (size_t pos = 0; pos < data.size(); pos += chunk)
            os->write(data.data() + pos, static_cast<int>(std::min(chunk, data.size() - pos)));
    }
    os->setDataStream(nullptr);
    Bytes out(mem->data(), mem->data() + mem->dataLength());
    mem->unlock();
    return out;
}

// The framed segment in a read-only memory stream, made once so that the
// timed loop holds only the segment stream's own work.
Vq::SharedPtr<VqMemoryByteStream> memoryOf(const Bytes& framed) {
    Vq::SharedPtr<VqMemoryByteStream> mem = new VqMemoryByteStream(true);
    mem->setData(framed.data(), framed.size());
    return mem;
}

template <class Stream>
void readSegment(VqMemoryByteStream* mem, Bytes& out, size_t chunk) {
    mem->lock();
    mem->open();
    mem->seek(0);
    Vq::SharedPtr<VqDataStream> ds = new VqDataStream(mem);
    Vq::SharedPtr<Stream> os = new Stream(ds.get());
    if (chunk == 4) {
        auto* words = reinterpret_cast<int*>(out.data());
        for (size_t i = 0; i < out.size() / 4; ++i)
            os->read(&words[i]);
    } else {
        for (size_t pos = 0; pos < out.size(); pos += chunk)
            os->read(out.data() + pos, static_cast<int>(std::min(chunk, out.size() - pos)));
    }
    mem->unlock();
}

Bytes zlibRaw(const Bytes& data) {
    Bytes out(compressBound(data.size()));
    uLongf len = out.size();
    compress2(out.data(), &len, data.data(), data.size(), 1);
    out.resize(len);
    return out;
}

Bytes lzmaRaw(const Bytes& data) {
    Bytes out(lzma_stream_buffer_bound(data.size()));
    size_t pos = 0;
    lzma_easy_buffer_encode(1, LZMA_CHECK_CRC64, nullptr, data.data(), data.size(), out.data(), &pos,
                            out.size());
    out.resize(pos);
    return out;
}

template <class Stream>
const Bytes& framed() {
    static const Bytes f = writeSegment<Stream>(segmentData(), kBulk);
    return f;
}

void finish(benchmark::State& state) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kDataSize));
}

// --- zlib ---------------------------------------------------------------------------------------------

void BM_ZlibRawCompress(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(zlibRaw(segmentData()));
    finish(state);
}
void BM_ZlibSegWrite(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(writeSegment<VqZlibSegObjectStream>(segmentData(), state.range(0)));
    finish(state);
}
void BM_ZlibRawUncompress(benchmark::State& state) {
    const Bytes packed = zlibRaw(segmentData());
    Bytes out(kDataSize);
    for (auto _ : state) {
        uLongf len = out.size();
        uncompress(out.data(), &len, packed.data(), packed.size());
        benchmark::DoNotOptimize(out.data());
    }
    finish(state);
}
void BM_ZlibSegRead(benchmark::State& state) {
    auto mem = memoryOf(framed<VqZlibSegObjectStream>());
    Bytes out(kDataSize);
    for (auto _ : state)
        readSegment<VqZlibSegObjectStream>(mem.get(), out, state.range(0));
    if (out != segmentData()) state.SkipWithError("content differs");
    finish(state);
}

// --- LZMA ---------------------------------------------------------------------------------------------

void BM_LzmaRawCompress(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(lzmaRaw(segmentData()));
    finish(state);
}
void BM_LzmaSegWrite(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(writeSegment<VqLzmaSegObjectStream>(segmentData(), state.range(0)));
    finish(state);
}
void BM_LzmaRawUncompress(benchmark::State& state) {
    const Bytes packed = lzmaRaw(segmentData());
    Bytes out(kDataSize);
    for (auto _ : state) {
        uint64_t limit = UINT64_MAX;
        size_t inPos = 0, outPos = 0;
        if (lzma_stream_buffer_decode(&limit, 0, nullptr, packed.data(), &inPos, packed.size(), out.data(),
                                      &outPos, out.size()) != LZMA_OK)
            state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(out.data());
    }
    finish(state);
}
void BM_LzmaSegRead(benchmark::State& state) {
    auto mem = memoryOf(framed<VqLzmaSegObjectStream>());
    Bytes out(kDataSize);
    for (auto _ : state)
        readSegment<VqLzmaSegObjectStream>(mem.get(), out, state.range(0));
    if (out != segmentData()) state.SkipWithError("content differs");
    finish(state);
}
} // namespace

BENCHMARK(BM_ZlibRawCompress)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ZlibSegWrite)->Arg(kBulk)->Arg(4)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ZlibRawUncompress)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_ZlibSegRead)->Arg(kBulk)->Arg(4)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_LzmaRawCompress)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_LzmaSegWrite)->Arg(kBulk)->Arg(4)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_LzmaRawUncompress)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_LzmaSegRead)->Arg(kBulk)->Arg(4)->Unit(benchmark::kMillisecond)->Iterations(3);
