// Triangle stripping and vertex-cache ordering on real meshes, next to
// meshoptimizer on the same triangles in the same run.
//
// Meshes: bunny00, armadillo and refined_elephant as OFF files in the
// directory VQ_MESH_DIR names (data/meshes in the data archive of Debian's
// libcgal-demo package, unpacked with apt-get download and dpkg -x), and a
// generated torus grid that is always there.
//
// Stripping, per mesh:
//   Strip/cold        VqTriStripperEngine::apply by a new engine each run,
//                     on a source without topology, as after decoding a
//                     mesh: the adjacency is derived inside the run;
//   Strip/warm        the same by one engine that keeps its arrays, as a
//                     decoder strips mesh after mesh;
//   Strip/topology    one engine on a source whose topology is current,
//                     which the engine then reads;
//   Meshopt/file      meshopt_stripify on the triangles in file order;
//   Meshopt/cacheopt  meshopt_stripify after meshopt_optimizeVertexCacheStrip
//                     (its own recommended preparation, not timed).
// Counters: Mtri/s, and idx/tri, counted as the file stores strips: every
// index plus one primitive start per strip, against meshoptimizer's output
// with restart indices (one per restart).
//
// Cache order, per mesh, for a first-in first-out cache of 16:
//   Cache/ours        VqVertexCacheOptimizer::execute with cache size 16;
//   Cache/meshopt     meshopt_optimizeVertexCache.
// Counters: Mtri/s, and ACMR (records loaded per triangle) of the file order
// and of the result, measured by meshopt_analyzeVertexCache when present and
// by the same simulation here otherwise.
#include "BenchLib.h"
#include "BenchMeshes.h"
#include "VqLib.h"
#include "VqPolygonTopoMesh.h"
#include "VqTriStripTopoMesh.h"
#include "VqTriStripperEngine.h"
#include "VqVertexCacheOptimizer.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#ifdef VQ_HAVE_MESHOPTIMIZER
#include <meshoptimizer.h>
#endif

namespace {

const Mesh& mesh(const std::string& name) {
    return benchMesh(name, 250, 200);
}

// ACMR of an index list through a first-in first-out cache of 16.
double acmr(const uint32_t* idx, size_t n, uint32_t nVerts) {
#ifdef VQ_HAVE_MESHOPTIMIZER
    return meshopt_analyzeVertexCache(idx, n, nVerts, 16, 0, 0).acmr;
#else
    std::vector<uint32_t> stamp(nVerts, 0);
    uint32_t time = 1, misses = 0;
    for (size_t i = 0; i < n; ++i) {
        if (stamp[idx[i]] && time - stamp[idx[i]] <= 16) continue;
        stamp[idx[i]] = time++;
        ++misses;
    }
    return double(misses) / double(n / 3);
#endif
}

bool haveMesh(benchmark::State& state, const Mesh& m) {
    if (m.tris.empty()) {
        state.SkipWithError("mesh not found: set VQ_MESH_DIR to the directory of the OFF files");
        return false;
    }
    return true;
}

// Stripping a source whose topology is current, which the engine reads.
void BM_StripTopology(benchmark::State& state, const std::string& name) {
    ensureLib();
    const Mesh& m = mesh(name);
    if (!haveMesh(state, m)) return;
    auto src = polygonMesh(m);
    VqTriStripTopoMesh dest(src->vtxRecPool());
    VqTriStripperEngine engine;
    src->ensureTopology();
    for (auto _ : state)
        if (!engine.apply(&dest, src.get())) state.SkipWithError("apply failed");
    state.counters["Mtri/s"] =
        benchmark::Counter(double(m.nTris()) * state.iterations() / 1e6, benchmark::Counter::kIsRate);
    state.counters["idx/tri"] = double(dest.numIndices() + dest.numPrims()) / m.nTris();
}

void BM_Strip(benchmark::State& state, const std::string& name, bool warm) {
    ensureLib();
    const Mesh& m = mesh(name);
    if (!haveMesh(state, m)) return;
    auto src = polygonMesh(m);
    VqTriStripTopoMesh dest(src->vtxRecPool());
    VqTriStripperEngine engine;
    for (auto _ : state) {
        if (warm) {
            if (!engine.apply(&dest, src.get())) state.SkipWithError("apply failed");
        } else {
            VqTriStripperEngine fresh;
            if (!fresh.apply(&dest, src.get())) state.SkipWithError("apply failed");
        }
    }
    state.counters["Mtri/s"] =
        benchmark::Counter(double(m.nTris()) * state.iterations() / 1e6, benchmark::Counter::kIsRate);
    state.counters["idx/tri"] = double(dest.numIndices() + dest.numPrims()) / m.nTris();
    state.counters["strips"] = dest.numPrims();
    state.counters["turns"] = engine.numDegenerateTris();
}

// Deriving the half-edge topology alone, which the cold runs include.
void BM_Topology(benchmark::State& state, const std::string& name) {
    ensureLib();
    const Mesh& m = mesh(name);
    if (!haveMesh(state, m)) return;
    auto src = polygonMesh(m);
    for (auto _ : state) {
        src->invalidateTopology();
        if (!src->ensureTopology()) state.SkipWithError("ensureTopology failed");
    }
    state.counters["Mtri/s"] =
        benchmark::Counter(double(m.nTris()) * state.iterations() / 1e6, benchmark::Counter::kIsRate);
}

void BM_CacheOurs(benchmark::State& state, const std::string& name) {
    ensureLib();
    const Mesh& m = mesh(name);
    if (!haveMesh(state, m)) return;
    auto pm = polygonMesh(m);
    VqVertexCacheOptimizer opt(16);
    for (auto _ : state) {
        state.PauseTiming();
        pm->lockWrite(true);
        pm->_assignPrimitives(VqVecu(pm->primStarts(), pm->primStarts() + pm->numPrims() + 1),
                              VqVecu(m.tris.begin(), m.tris.end()), VqVecu{0, pm->numPrims()});
        pm->lockWrite(false);
        state.ResumeTiming();
        if (!opt.execute(pm.get())) state.SkipWithError("execute failed");
    }
    state.counters["Mtri/s"] =
        benchmark::Counter(double(m.nTris()) * state.iterations() / 1e6, benchmark::Counter::kIsRate);
    state.counters["ACMR_before"] = acmr(m.tris.data(), m.tris.size(), m.nVerts());
    state.counters["ACMR_after"] = acmr(pm->indices(), pm->numIndices(), m.nVerts());
}

#ifdef VQ_HAVE_MESHOPTIMIZER
void BM_MeshoptStrip(benchmark::State& state, const std::string& name, bool cacheOpt) {
    const Mesh& m = mesh(name);
    if (!haveMesh(state, m)) return;
    std::vector<uint32_t> in = m.tris;
    if (cacheOpt) meshopt_optimizeVertexCacheStrip(in.data(), m.tris.data(), m.tris.size(), m.nVerts());
    std::vector<uint32_t> out(meshopt_stripifyBound(in.size()));
    size_t n = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(n = meshopt_stripify(out.data(), in.data(), in.size(), m.nVerts(), ~0u));
    state.counters["Mtri/s"] =
        benchmark::Counter(double(m.nTris()) * state.iterations() / 1e6, benchmark::Counter::kIsRate);
    state.counters["idx/tri"] = double(n) / m.nTris();
}

void BM_CacheMeshopt(benchmark::State& state, const std::string& name) {
    const Mesh& m = mesh(name);
    if (!haveMesh(state, m)) return;
    std::vector<uint32_t> out(m.tris.size());
    for (auto _ : state)
        meshopt_optimizeVertexCache(out.data(), m.tris.data(), m.tris.size(), m.nVerts());
    state.counters["Mtri/s"] =
        benchmark::Counter(double(m.nTris()) * state.iterations() / 1e6, benchmark::Counter::kIsRate);
    state.counters["ACMR_before"] = acmr(m.tris.data(), m.tris.size(), m.nVerts());
    state.counters["ACMR_after"] = acmr(out.data(), out.size(), m.nVerts());
}
#endif

void registerAll() {
    for (const std::string name : {"bunny00", "armadillo", "refined_elephant", "torus"}) {
        benchmark::RegisterBenchmark(("Strip/cold/" + name).c_str(), BM_Strip, name, false)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("Strip/warm/" + name).c_str(), BM_Strip, name, true)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("Strip/topology/" + name).c_str(), BM_StripTopology, name)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("Topology/" + name).c_str(), BM_Topology, name)
            ->Unit(benchmark::kMillisecond);
#ifdef VQ_HAVE_MESHOPTIMIZER
        benchmark::RegisterBenchmark(("Meshopt/file/" + name).c_str(), BM_MeshoptStrip, name, false)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("Meshopt/cacheopt/" + name).c_str(), BM_MeshoptStrip, name, true)
            ->Unit(benchmark::kMillisecond);
#endif
    }
    for (const std::string name : {"bunny00", "armadillo", "refined_elephant", "torus"}) {
        benchmark::RegisterBenchmark(("Cache/ours/" + name).c_str(), BM_CacheOurs, name)
            ->Unit(benchmark::kMillisecond);
#ifdef VQ_HAVE_MESHOPTIMIZER
        benchmark::RegisterBenchmark(("Cache/meshopt/" + name).c_str(), BM_CacheMeshopt, name)
            ->Unit(benchmark::kMillisecond);
#endif
    }
}

const bool s_registered = (registerAll(), true);

} // namespace
