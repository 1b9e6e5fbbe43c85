// Quantisation throughput: 10^7 points and 10^7 normals coded and decoded on
// one core. References on the same data in the same run: a plain loop that
// scales floats to integers and back (the least any quantiser must do), and
// std::sort of the same points (the core of welding them).
//
// Rates are in items per second: points (three coordinates each) or normals.
#include "BenchLib.h"
#include "VqDeeringNormalCodec.h"
#include "VqLib.h"
#include "VqPointQuantizer.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace {
constexpr int kCount = 10000000;
const VqBox3<float> kBox(VqVec3f(-250.0f, -40.0f, 0.0f), VqVec3f(750.0f, 60.0f, 12.5f));

// Points of a model-sized box, as a mesh's vertices spread over it.
const std::vector<VqVec3f>& points() {
    static const std::vector<VqVec3f> pts = [] {
        std::vector<VqVec3f> v(kCount);
        std::mt19937 rng(7);
        std::uniform_real_distribution<float> x(kBox.min[0], kBox.max[0]), y(kBox.min[1], kBox.max[1]),
            z(kBox.min[2], kBox.max[2]);
        for (VqVec3f& p : v)
            p = VqVec3f(x(rng), y(rng), z(rng));
        return v;
    }();
    return pts;
}

const std::vector<VqVec3f>& normals() {
    static const std::vector<VqVec3f> nrm = [] {
        std::vector<VqVec3f> v(kCount);
        std::mt19937 rng(8);
        std::normal_distribution<float> g;
        for (VqVec3f& n : v) {
            do
                n = VqVec3f(g(rng), g(rng), g(rng));
            while (n.length() < 1e-3f);
            n = n * (1.0f / n.length());
        }
        return v;
    }();
    return nrm;
}

VqPointQuantizer pointQuantizer(int bits) {
    VqPointQuantizer pq;
    pq.setBBox(kBox);
    pq.setNumBitsPrecision(bits);
    return pq;
}

struct Codes {
    std::vector<uint32_t> x, y, z;
    explicit Codes(size_t n) : x(n), y(n), z(n) {}
};

void setRate(benchmark::State& state) {
    state.SetItemsProcessed(state.iterations() * kCount);
}

void BM_PointQuantize(benchmark::State& state) {
    ensureLib();
    const VqPointQuantizer pq = pointQuantizer(static_cast<int>(state.range(0)));
    const std::vector<VqVec3f>& pts = points();
    Codes c(kCount);
    for (auto _ : state) {
        if (!pq.convertVecsToCodes(pts.data(), kCount, c.x.data(), c.y.data(), c.z.data()))
            state.SkipWithError("quantize failed");
        benchmark::ClobberMemory();
    }
    setRate(state);
}
BENCHMARK(BM_PointQuantize)->Arg(16)->Arg(24)->Unit(benchmark::kMillisecond);

void BM_PointDequantize(benchmark::State& state) {
    ensureLib();
    const VqPointQuantizer pq = pointQuantizer(static_cast<int>(state.range(0)));
    const std::vector<VqVec3f>& pts = points();
    Codes c(kCount);
    pq.convertVecsToCodes(pts.data(), kCount, c.x.data(), c.y.data(), c.z.data());
    std::vector<VqVec3f> out(kCount);
    for (auto _ : state) {
        if (!pq.convertCodesToVecs(c.x.data(), c.y.data(), c.z.data(), kCount, out.data()))
            state.SkipWithError("dequantize failed");
        benchmark::ClobberMemory();
    }
    setRate(state);
}
BENCHMARK(BM_PointDequantize)->Arg(16)->Arg(24)->Unit(benchmark::kMillisecond);

// The one-point calls, each with its checks.
void BM_PointDequantizeOneByOne(benchmark::State& state) {
    ensureLib();
    const VqPointQuantizer pq = pointQuantizer(16);
    const std::vector<VqVec3f>& pts = points();
    Codes c(kCount);
    pq.convertVecsToCodes(pts.data(), kCount, c.x.data(), c.y.data(), c.z.data());
    std::vector<VqVec3f> out(kCount);
    for (auto _ : state) {
        for (int i = 0; i < kCount; ++i)
            pq.convertCodeToVec(c.x[i], c.y[i], c.z[i], out[i]);
        benchmark::ClobberMemory();
    }
    setRate(state);
}
BENCHMARK(BM_PointDequantizeOneByOne)->Unit(benchmark::kMillisecond);

// Reference: scale to integers, as a quantiser without clamping or checks.
void BM_RefFloatToInt(benchmark::State& state) {
    ensureLib();
    const std::vector<VqVec3f>& pts = points();
    Codes c(kCount);
    const float s[3] = {65535.0f / 1000.0f, 65535.0f / 100.0f, 65535.0f / 12.5f};
    for (auto _ : state) {
        for (int i = 0; i < kCount; ++i) {
            c.x[i] = static_cast<uint32_t>((pts[i][0] - kBox.min[0]) * s[0] + 0.5f);
            c.y[i] = static_cast<uint32_t>((pts[i][1] - kBox.min[1]) * s[1] + 0.5f);
            c.z[i] = static_cast<uint32_t>((pts[i][2] - kBox.min[2]) * s[2] + 0.5f);
        }
        benchmark::ClobberMemory();
    }
    setRate(state);
}
BENCHMARK(BM_RefFloatToInt)->Unit(benchmark::kMillisecond);

// Reference: integers back to floats.
void BM_RefIntToFloat(benchmark::State& state) {
    ensureLib();
    const std::vector<VqVec3f>& pts = points();
    Codes c(kCount);
    for (int i = 0; i < kCount; ++i) {
        c.x[i] = static_cast<uint32_t>(pts[i][0] - kBox.min[0]);
        c.y[i] = static_cast<uint32_t>(pts[i][1] - kBox.min[1]);
        c.z[i] = static_cast<uint32_t>(pts[i][2] - kBox.min[2]);
    }
    std::vector<VqVec3f> out(kCount);
    const float s[3] = {1000.0f / 65535.0f, 100.0f / 65535.0f, 12.5f / 65535.0f};
    for (auto _ : state) {
        for (int i = 0; i < kCount; ++i)
            out[i] = VqVec3f(c.x[i] * s[0] + kBox.min[0], c.y[i] * s[1] + kBox.min[1],
                             c.z[i] * s[2] + kBox.min[2]);
        benchmark::ClobberMemory();
    }
    setRate(state);
}
BENCHMARK(BM_RefIntToFloat)->Unit(benchmark::kMillisecond);

// Reference: sorting the same points lexicographically.
void BM_RefSortPoints(benchmark::State& state) {
    ensureLib();
    const std::vector<VqVec3f>& pts = points();
    std::vector<VqVec3f> work;
    for (auto _ : state) {
        state.PauseTiming();
        work = pts;
        state.ResumeTiming();
        std::sort(work.begin(), work.end(), [](const VqVec3f& a, const VqVec3f& b) {
            return a[0] != b[0] ? a[0] < b[0] : a[1] != b[1] ? a[1] < b[1] : a[2] < b[2];
        });
        benchmark::ClobberMemory();
    }
    setRate(state);
}
BENCHMARK(BM_RefSortPoints)->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_NormalEncode(benchmark::State& state) {
    ensureLib();
    const VqDeeringNormalCodec codec(static_cast<int>(state.range(0)));
    const std::vector<VqVec3f>& nrm = normals();
    std::vector<uint32_t> codes(kCount);
    for (auto _ : state) {
        if (!codec.convertVecsToCodes(nrm.data(), kCount, codes.data())) state.SkipWithError("encode failed");
        benchmark::ClobberMemory();
    }
    setRate(state);
}
BENCHMARK(BM_NormalEncode)->Arg(8)->Arg(12)->Unit(benchmark::kMillisecond);

// Widths up to 8 read the shared table; wider ones compute the angles.
void BM_NormalDecode(benchmark::State& state) {
    ensureLib();
    const VqDeeringNormalCodec codec(static_cast<int>(state.range(0)));
    std::vector<uint32_t> codes(kCount);
    codec.convertVecsToCodes(normals().data(), kCount, codes.data());
    std::vector<VqVec3f> out(kCount);
    for (auto _ : state) {
        if (!codec.convertCodesToVecs(codes.data(), kCount, out.data())) state.SkipWithError("decode failed");
        benchmark::ClobberMemory();
    }
    setRate(state);
}
BENCHMARK(BM_NormalDecode)->Arg(8)->Arg(12)->Unit(benchmark::kMillisecond);

// The one-normal call, each with its checks.
void BM_NormalDecodeOneByOne(benchmark::State& state) {
    ensureLib();
    const VqDeeringNormalCodec codec(8);
    std::vector<uint32_t> codes(kCount);
    codec.convertVecsToCodes(normals().data(), kCount, codes.data());
    std::vector<VqVec3f> out(kCount);
    for (auto _ : state) {
        for (int i = 0; i < kCount; ++i)
            codec.convertCodeToVec(codes[i], out[i]);
        benchmark::ClobberMemory();
    }
    setRate(state);
}
BENCHMARK(BM_NormalDecodeOneByOne)->Unit(benchmark::kMillisecond);

} // namespace
