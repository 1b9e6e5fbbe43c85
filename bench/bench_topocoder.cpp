// The topology mesh coder on real meshes: coding and decoding speed, and how
// well the valence streams would compress.
//
// Meshes: bunny00, armadillo, refined_elephant and fandisk as OFF files in the
// directory VQ_MESH_DIR names (data/meshes in the data archive of Debian's
// libcgal-demo package), and a generated closed torus grid of 2M triangles
// that is always there.
//
//   Encode/<mesh>       import, cover polygons, the walk and the vertex data;
//   Decode/walk/<mesh>  the walk alone, streams into the dual mesh;
//   Decode/poly/<mesh>  the whole decode into a polygon mesh, with the
//                       decoded mesh's topology and collocation checks;
//   Decode/strip/<mesh> the same into a strip mesh (re-stripped).
// Counters: Mtri/s; on Encode also, in bits per vertex,
//   H_val     the zero-order entropy of the valence symbols (all contexts
//             together, split markers included) times their count / vertices;
//   H_ctx     the same with each context's stream coded on its own;
//   H_mesh    the zero-order entropy of the mesh's own vertex valences: the
//             limit a valence coder approaches, the reference for both;
//   splits    split symbols per vertex.
#include "BenchLib.h"
#include "BenchMeshes.h"
#include "VqDualTopoMeshCoder.h"
#include "VqLib.h"
#include "VqPolygonTopoMesh.h"

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

namespace {

const Mesh& mesh(const std::string& name) {
    return benchMesh(name, 1000, 1000);
}

bool haveMesh(benchmark::State& state, const Mesh& m) {
    if (m.tris.empty()) {
        state.SkipWithError("mesh not found (set VQ_MESH_DIR)");
        return false;
    }
    return true;
}

// Zero-order entropy of a histogram, in bits per symbol times the count.
double entropyBits(const std::map<int, uint64_t>& hist) {
    uint64_t n = 0;
    for (const auto& [v, c] : hist)
        n += c;
    double bits = 0;
    for (const auto& [v, c] : hist)
        bits -= double(c) * std::log2(double(c) / double(n));
    return bits;
}

void BM_Encode(benchmark::State& state, const std::string& name) {
    ensureLib();
    const Mesh& m = mesh(name);
    if (!haveMesh(state, m)) return;
    auto pm = polygonMesh(m);
    Vq::DualTopoMeshCoder* c = Vq::DualTopoMeshCoder::acquireDualTopoMeshCoder(Vq::DualTopoMeshCoder::V2);
    for (auto _ : state) {
        pm->invalidateTopology();
        if (!c->setTopoMesh(pm.get()) || !c->encode()) state.SkipWithError("encode failed");
    }
    state.counters["Mtri/s"] =
        benchmark::Counter(double(m.nTris()) * state.iterations() / 1e6, benchmark::Counter::kIsRate);
    // Entropies, per vertex of the mesh.
    const Vq::DualMeshSymbols& y = c->symbols();
    std::map<int, uint64_t> all;
    double ctxBits = 0;
    for (const VqVeci& s : y.vviOutDegSyms) {
        std::map<int, uint64_t> h;
        for (int v : s) {
            ++h[v];
            ++all[v];
        }
        ctxBits += entropyBits(h);
    }
    std::vector<int> valence(m.nVerts(), 0);
    for (uint32_t v : m.tris)
        ++valence[v];
    std::map<int, uint64_t> meshHist;
    uint32_t nUsed = 0;
    for (int v : valence)
        if (v > 0) {
            ++meshHist[v];
            ++nUsed;
        }
    state.counters["H_val"] = entropyBits(all) / nUsed;
    state.counters["H_ctx"] = ctxBits / nUsed;
    state.counters["H_mesh"] = entropyBits(meshHist) / nUsed;
    state.counters["splits"] = double(y.viOutSplitFaceSyms.size()) / nUsed;
    Vq::DualTopoMeshCoder::releaseDualTopoMeshCoder(c);
}

void BM_Decode(benchmark::State& state, const std::string& name, int what) {
    ensureLib();
    const Mesh& m = mesh(name);
    if (!haveMesh(state, m)) return;
    auto pm = polygonMesh(m);
    Vq::DualTopoMeshCoder* c = Vq::DualTopoMeshCoder::acquireDualTopoMeshCoder(Vq::DualTopoMeshCoder::V2);
    if (!c->setTopoMesh(pm.get()) || !c->encode()) state.SkipWithError("encode failed");
    // Kept aside: decoding a large mesh frees the streams.
    const Vq::DualMeshSymbols syms = c->symbols();
    for (auto _ : state) {
        state.PauseTiming();
        c->symbols() = syms;
        state.ResumeTiming();
        bool ok = false;
        if (what == 0) {
            ok = c->_decodeSymbols();
        } else {
            Vq::SharedPtr<VqTopoMesh> out;
            ok = c->decode(what == 1 ? VqTopoMesh::VQ_PRIM_POLYGON : VqTopoMesh::VQ_PRIM_TRISTRIP, out);
        }
        if (!ok) state.SkipWithError("decode failed");
    }
    state.counters["Mtri/s"] =
        benchmark::Counter(double(m.nTris()) * state.iterations() / 1e6, benchmark::Counter::kIsRate);
    Vq::DualTopoMeshCoder::releaseDualTopoMeshCoder(c);
}

void registerAll() {
    for (const std::string name : {"bunny00", "armadillo", "refined_elephant", "fandisk", "torus"}) {
        benchmark::RegisterBenchmark(("Encode/" + name).c_str(), BM_Encode, name)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("Decode/walk/" + name).c_str(), BM_Decode, name, 0)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("Decode/poly/" + name).c_str(), BM_Decode, name, 1)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("Decode/strip/" + name).c_str(), BM_Decode, name, 2)
            ->Unit(benchmark::kMillisecond);
    }
}

const bool s_registered = (registerAll(), true);

} // namespace
