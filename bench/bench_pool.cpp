// Collocation of a vertex record pool: a grid of quads whose four corners
// each carry a record of their own, as a mesh read face by face arrives, with
// positions jittered far below the tolerance. The pool welds the corner
// copies back to one record per grid point. Reference in the same run:
// std::sort of the same points (the sort the sweep needs, with nothing else).
//
// Arguments: quads per side. 500 gives 10^6 records over 251,001 positions;
// 1000 gives 4 x 10^6 records over 10^6 positions. Rates are records per second.
#include "VqLib.h"
#include "VqVertexRecordPool.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <vector>

namespace {
// Brought up on first use rather than at static initialisation, which may
// run before the library's own statics exist.
struct LibScope {
    LibScope() { VqLib::init(); }
    ~LibScope() { VqLib::fini(); }
};
void ensureLib() {
    static LibScope s_lib;
}

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

} // namespace
