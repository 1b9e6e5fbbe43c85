// Collocation of a vertex record pool: a grid of quads whose four corners
// each carry a record of their own, as a mesh read face by face arrives, with
// positions jittered far below the tolerance. The pool welds the corner
// copies back to one record per grid point. Reference in the same run:
// std::sort of the same points (the sort the sweep needs, with nothing else).
//
// Arguments: quads per side. 500 gives 10^6 records over 251,001 positions;
// 1000 gives 4 x 10^6 records over 10^6 positions. Rates are records per second.
#include "BenchLib.h"
#include "VqCodecDriver2.h"
#include "VqCodecDriver3T.h"
#include "VqDataStream.h"
#include "VqLib.h"
#include "VqMemoryByteStream.h"
#include "VqObjectStream.h"
#include "VqVertexRecordPool.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <cmath>
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <vector>

namespace {
// A mesh that uses every record once, in order, as a quad list would.
class QuadList : public Vq::VertexRecordPoolMesh {
public:
    explicit QuadList(uint32_t n) : _vIndices(n) {
        for (uint32_t i = 0; i < n; ++i)
            _vIndices[i] = i;
    }
    void _indexMapReference(VqVecu& vMap, uint32_t& nNext) const override {
        for (uint32_t i : _vIndices)
            if (vMap[static_cast<int>(i)] == 0xFFFFFFFFu) vMap[static_cast<int>(i)] = nNext++;
    }
    bool _indexMapUpdate(const VqVecu& vMap) override {
        for (uint32_t& i : _vIndices)
            i = vMap[static_cast<int>(i)];
        return true;
    }
    bool _vtxRecPoolChanged(const VqVertexRecordPool*, Vq::BaseChange) override { return true; }

private:
    std::vector<uint32_t> _vIndices;
};

struct Grid {
    std::vector<float> coords, normals;
    uint32_t nRecs = 0;
    uint32_t nPositions = 0;
};

const Grid& grid(int side) {
    static std::map<int, Grid> grids;
    Grid& g = grids[side];
    if (g.nRecs) return g;
    std::mt19937 rng(11);
    // The tolerance is 1e-6 of the diagonal (about 1.4e-6 here); the jitter
    // stays a thousand times below it.
    std::uniform_real_distribution<float> jitter(-1e-9f, 1e-9f);
    const int corner[4][2] = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};
    for (int j = 0; j < side; ++j)
        for (int i = 0; i < side; ++i)
            for (const auto& c : corner) {
                g.coords.push_back(float(i + c[0]) / side + jitter(rng));
                g.coords.push_back(float(j + c[1]) / side + jitter(rng));
                g.coords.push_back(0.0f);
                g.normals.insert(g.normals.end(), {0.0f, 0.0f, 1.0f});
            }
    g.nRecs = uint32_t(4 * side * side);
    g.nPositions = uint32_t((side + 1) * (side + 1));
    return g;
}

std::unique_ptr<VqVertexRecordPool> makePool(const Grid& g) {
    auto pool = std::make_unique<VqVertexRecordPool>(VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_NORMVEC3);
    pool->lockWrite(true);
    uint32_t first = 0;
    pool->addVtxRecords(g.nRecs, first, g.coords.data(), g.normals.data(), nullptr, nullptr, nullptr);
    pool->lockWrite(false);
    return pool;
}

void BM_Collocate(benchmark::State& state) {
    ensureLib();
    const Grid& g = grid(static_cast<int>(state.range(0)));
    const std::unique_ptr<VqVertexRecordPool> proto = makePool(g);
    uint32_t nAfter = 0;
    for (auto _ : state) {
        state.PauseTiming();
        VqVertexRecordPool pool(*proto);
        QuadList mesh(g.nRecs);
        pool.addMesh(&mesh);
        state.ResumeTiming();
        if (!pool._ensureCollocated(false)) state.SkipWithError("collocation failed");
        state.PauseTiming();
        nAfter = pool.numVtxRecords();
        pool.removeMesh(&mesh);
        state.ResumeTiming();
    }
    if (nAfter != g.nPositions) state.SkipWithError("the grid did not weld to its positions");
    state.SetItemsProcessed(state.iterations() * g.nRecs);
    state.counters["records_after"] = nAfter;
}
BENCHMARK(BM_Collocate)->Arg(500)->Arg(1000)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SortPoints(benchmark::State& state) {
    const Grid& g = grid(static_cast<int>(state.range(0)));
    std::vector<VqVec3f> pts(g.nRecs);
    for (auto _ : state) {
        state.PauseTiming();
        for (uint32_t i = 0; i < g.nRecs; ++i)
            pts[i] = VqVec3f(g.coords[3 * i], g.coords[3 * i + 1], g.coords[3 * i + 2]);
        state.ResumeTiming();
        std::sort(pts.begin(), pts.end(), [](const VqVec3f& a, const VqVec3f& b) {
            return a[0] < b[0] || (a[0] == b[0] && (a[1] < b[1] || (a[1] == b[1] && a[2] < b[2])));
        });
        benchmark::DoNotOptimize(pts.data());
    }
    state.SetItemsProcessed(state.iterations() * g.nRecs);
}
BENCHMARK(BM_SortPoints)->Arg(500)->Arg(1000)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---- Coded arrays of a mesh record
//
// The coordinates (16 bits) and normals (10 bits) of a smooth height field,
// in grid order as a coder lists them, written and read back with the
// version-2 driver of VQ 9.4 and the version-3 driver of VQ 10.0. Reference
// in the same run: the raw form of the same records. Arguments: format major
// version and grid side (316 gives about 10^5 records, 1000 gives 10^6).
// Rates are records per second; bytes_per_record is the coded size.

std::unique_ptr<VqVertexRecordPool> heightField(int side) {
    std::vector<float> coords, normals;
    for (int j = 0; j < side; ++j)
        for (int i = 0; i < side; ++i) {
            const float x = float(i) / side, y = float(j) / side;
            const float dx = 6.0f * std::cos(6 * x) * 0.05f, dy = -5.0f * std::sin(5 * y) * 0.05f;
            coords.insert(coords.end(), {x, y, 0.05f * (std::sin(6 * x) + std::cos(5 * y))});
            const float len = std::sqrt(dx * dx + dy * dy + 1);
            normals.insert(normals.end(), {-dx / len, -dy / len, 1 / len});
        }
    auto pool = std::make_unique<VqVertexRecordPool>(VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_NORMVEC3);
    pool->lockWrite(true);
    uint32_t first = 0;
    pool->addVtxRecords(uint32_t(side * side), first, coords.data(), normals.data(), nullptr, nullptr,
                        nullptr);
    pool->lockWrite(false);
    return pool;
}

struct MemStream {
    Vq::SharedPtr<VqMemoryByteStream> mem;
    Vq::SharedPtr<VqDataStream> data;
    Vq::SharedPtr<VqObjectStream> os;
    MemStream(int major, const std::vector<uint8_t>* image) : mem(new VqMemoryByteStream(image != nullptr)) {
        if (image) mem->setData(image->data(), image->size());
        data = new VqDataStream(mem.get());
        data->open();
        os = new VqObjectStream(data.get());
        os->setVersion(major, 0);
    }
    std::vector<uint8_t> bytes() const {
        return std::vector<uint8_t>(mem->data(), mem->data() + mem->dataLength());
    }
};

template <class Driver>
bool codeArrays(VqVertexRecordPool& pool, int major, const std::vector<uint32_t>& idx,
                std::vector<uint8_t>& image, bool bWrite) {
    MemStream s(major, bWrite ? nullptr : &image);
    Driver cd;
    uint32_t h = 0;
    const uint32_t n = uint32_t(idx.size());
    if (bWrite) {
        if (!pool._writeQuantizedVertexArray(*s.os, cd, idx.data(), n, VqBox3<float>(), 16, h) ||
            !pool._writeQuantizedNormalArray(*s.os, cd, idx.data(), n, 10, h))
            return false;
        image = s.bytes();
        return true;
    }
    pool.lockWrite(true);
    const bool ok = pool._readQuantizedVertexArray(*s.os, cd, idx.data(), n, h) &&
                    pool._readQuantizedNormalArray(*s.os, cd, idx.data(), n, h);
    pool.lockWrite(false);
    return ok;
}

bool codeArrays(VqVertexRecordPool& pool, int major, const std::vector<uint32_t>& idx,
                std::vector<uint8_t>& image, bool bWrite) {
    return major >= 10 ? codeArrays<Vq::CodecDriver3T<int>>(pool, major, idx, image, bWrite)
                       : codeArrays<VqCodecDriver2>(pool, major, idx, image, bWrite);
}

void BM_CodedArrays(benchmark::State& state, bool bWrite) {
    ensureLib();
    const int major = static_cast<int>(state.range(0)), side = static_cast<int>(state.range(1));
    const std::unique_ptr<VqVertexRecordPool> pool = heightField(side);
    std::vector<uint32_t> idx(pool->numVtxRecords());
    for (uint32_t i = 0; i < idx.size(); ++i)
        idx[i] = i;
    std::vector<uint8_t> image;
    if (!codeArrays(*pool, major, idx, image, true)) state.SkipWithError("writing failed");
    VqVertexRecordPool back(*pool);
    for (auto _ : state)
        if (!codeArrays(bWrite ? *pool : back, major, idx, image, bWrite))
            state.SkipWithError("coding failed");
    state.SetItemsProcessed(state.iterations() * int64_t(idx.size()));
    state.counters["bytes_per_record"] = double(image.size()) / double(idx.size());
}
void BM_WriteCodedArrays(benchmark::State& state) {
    BM_CodedArrays(state, true);
}
void BM_ReadCodedArrays(benchmark::State& state) {
    BM_CodedArrays(state, false);
}
BENCHMARK(BM_WriteCodedArrays)
    ->ArgsProduct({{9, 10}, {316, 1000}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_ReadCodedArrays)
    ->ArgsProduct({{9, 10}, {316, 1000}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_RawArrays(benchmark::State& state) {
    ensureLib();
    const std::unique_ptr<VqVertexRecordPool> pool = heightField(static_cast<int>(state.range(0)));
    size_t nBytes = 0;
    for (auto _ : state) {
        MemStream s(10, nullptr);
        if (!pool->_writeRaw(*s.os)) state.SkipWithError("writing failed");
        nBytes = s.mem->dataLength();
    }
    state.SetItemsProcessed(state.iterations() * int64_t(pool->numVtxRecords()));
    state.counters["bytes_per_record"] = double(nBytes) / pool->numVtxRecords();
}
BENCHMARK(BM_RawArrays)->Arg(316)->Arg(1000)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
