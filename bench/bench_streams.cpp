// Throughput of the object stream on the many small primitive reads and
// writes that object data is made of, next to a plain copy of the same bytes.
#include "VqBufferedObjectStream.h"
#include "VqDataStream.h"
#include "VqLib.h"
#include "VqMemoryByteStream.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

namespace {

constexpr int kPrimitives = 10'000'000;
// Eight primitives of 35 bytes in all, repeated.
constexpr int kGroup = 8;
constexpr size_t kGroupBytes = 4 + 4 + 8 + 2 + 1 + 4 + 8 + 4;
// Primitives per element: elements are the unit the writer buffers.
constexpr int kPerElement = 1000;
constexpr size_t kBytes = kPrimitives / kGroup * kGroupBytes + (kPrimitives / kPerElement) * 4;

struct Lib {
    Lib() { VqLib::init(); }
    ~Lib() { VqLib::fini(); }
};

bool writeGroup(VqObjectStream& os, int i) {
    return os.write(i) && os.write(static_cast<float>(i)) && os.write(static_cast<double>(i)) &&
           os.write(static_cast<short>(i)) && os.write(static_cast<unsigned char>(i)) &&
           os.write(static_cast<unsigned int>(i)) && os.write(static_cast<long>(i)) && os.write((i & 1) != 0);
}

bool readGroup(VqObjectStream& os, long& sum) {
    int a;
    float b;
    double c;
    short d;
    unsigned char e;
    unsigned int f;
    long g;
    bool h;
    bool ok = os.read(&a) && os.read(&b) && os.read(&c) && os.read(&d) && os.read(&e) && os.read(&f) &&
              os.read(&g) && os.read(&h);
    sum += a + static_cast<long>(b) + static_cast<long>(c) + d + e + f + g + h;
    return ok;
}

Vq::SharedPtr<VqObjectStream> makeStream(VqMemoryByteStream* bytes, bool buffered) {
    VqDataStream* data = new VqDataStream(bytes);
    data->open();
    return buffered ? new VqBufferedObjectStream(data) : new VqObjectStream(data);
}

void writeAll(VqObjectStream& os) {
    for (int i = 0; i < kPrimitives; i += kPerElement) {
        os.beginWrite();
        for (int k = 0; k < kPerElement; k += kGroup)
            writeGroup(os, i + k);
        os.endWrite();
    }
}

std::vector<VqUChar> image() {
    Vq::SharedPtr<VqMemoryByteStream> bytes = new VqMemoryByteStream(false);
    Vq::SharedPtr<VqObjectStream> os = makeStream(bytes.get(), true);
    writeAll(*os);
    return std::vector<VqUChar>(bytes->data(), bytes->data() + bytes->dataLength());
}

void BM_Write(benchmark::State& state) {
    Lib lib;
    Vq::SharedPtr<VqMemoryByteStream> bytes = new VqMemoryByteStream(false);
    bytes->reserve(kBytes + 1);
    Vq::SharedPtr<VqObjectStream> os = makeStream(bytes.get(), state.range(0) != 0);
    for (auto _ : state) {
        os->seek(0);
        writeAll(*os);
    }
    if (bytes->dataLength() != kBytes) state.SkipWithError("wrong length");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBytes);
}

void BM_Read(benchmark::State& state) {
    Lib lib;
    std::vector<VqUChar> img = image();
    Vq::SharedPtr<VqMemoryByteStream> bytes = new VqMemoryByteStream(true);
    bytes->setData(img.data(), img.size());
    long sum = 0;
    for (auto _ : state) {
        Vq::SharedPtr<VqObjectStream> os = makeStream(bytes.get(), state.range(0) != 0);
        bytes->seek(0);
        for (int i = 0; i < kPrimitives; i += kPerElement) {
            os->beginRead();
            for (int k = 0; k < kPerElement; k += kGroup)
                readGroup(*os, sum);
            if (!os->endRead()) state.SkipWithError("bad element");
        }
    }
    benchmark::DoNotOptimize(sum);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBytes);
}

void BM_Memcpy(benchmark::State& state) {
    std::vector<VqUChar> src(kBytes, 1), dst(kBytes);
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), kBytes);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBytes);
}

} // namespace

BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Write)->ArgName("buffered")->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Read)->ArgName("buffered")->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);
