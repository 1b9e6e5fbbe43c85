// The VQ 10 coder section (Vq::DualTopoMeshCoder::serialize10xV1 and
// deserialize10xV1) on real meshes: its size and where its bytes go, and
// decoding speed from the section to a polygon mesh.
//
// Meshes as in bench_topocoder.cpp (VQ_MESH_DIR), positions at 11 bits, and
// at 11 bits with Gouraud normals (crease angle 60 degrees) at 8 bits.
//
//   Encode/<mesh>/<n>  the section written to a memory stream; n = 0:
//                      positions only, n = 1: with normals;
//   Decode/<mesh>/<n>  the section read back into a polygon mesh.
// Counters, per triangle: B/tri the whole section; conn, coord, norm,
// other, tables its parts (SectionStats); and Mtri/s.
#include "BenchLib.h"
#include "BenchMeshes.h"
#include "VqDataStream.h"
#include "VqDualTopoMeshCoder.h"
#include "VqLib.h"
#include "VqMemoryByteStream.h"
#include "VqObjectStream.h"
#include "VqPolygonTopoMesh.h"

#include <benchmark/benchmark.h>
#include <numbers>
#include <string>
#include <vector>

namespace {

using Vq::DualTopoMeshCoder;

Vq::SharedPtr<VqPolygonTopoMesh> prepared(const Mesh& m, bool bNormals) {
    Vq::SharedPtr<VqPolygonTopoMesh> pm = polygonMesh(m);
    pm->lockWrite(true);
    if (bNormals) pm->generateGouraudNormals(float(std::numbers::pi / 3), false);
    pm->setCompressionParams(11, bNormals ? 8 : 0, 0, 0);
    pm->lockWrite(false);
    return pm;
}

// A memory object stream at VQ 10.
struct MemStream {
    Vq::SharedPtr<VqMemoryByteStream> mem;
    Vq::SharedPtr<VqDataStream> ds;
    Vq::SharedPtr<VqObjectStream> os;
    explicit MemStream(const std::vector<uint8_t>* image) {
        mem = new VqMemoryByteStream(image != nullptr);
        if (image) mem->setData(image->data(), image->size());
        ds = new VqDataStream(mem.get());
        ds->open();
        os = new VqObjectStream(ds.get());
        os->setVersion(10, 0);
    }
    std::vector<uint8_t> bytes() const { return {mem->data(), mem->data() + mem->dataLength()}; }
};

void setCounters(benchmark::State& state, const DualTopoMeshCoder::SectionStats& st, uint32_t nTris) {
    const double n = double(nTris);
    state.counters["B/tri"] = double(st.total()) / n;
    state.counters["conn"] = double(st.nConnectivityBytes) / n;
    state.counters["coord"] = double(st.nCoordBytes) / n;
    state.counters["norm"] = double(st.nNormalBytes) / n;
    state.counters["other"] = double(st.nOtherAttrBytes) / n;
    state.counters["tables"] = double(st.nTableBytes) / n;
    state.counters["Mtri/s"] =
        benchmark::Counter(n * double(state.iterations()) / 1e6, benchmark::Counter::kIsRate);
}

void BM_Encode(benchmark::State& state, const std::string& name) {
    ensureLib();
    const Mesh& m = benchMesh(name, 1000, 1000);
    if (m.tris.empty()) return state.SkipWithError("mesh not found (set VQ_MESH_DIR)");
    Vq::SharedPtr<VqPolygonTopoMesh> pm = prepared(m, state.range(0) != 0);
    DualTopoMeshCoder* c = DualTopoMeshCoder::acquireDualTopoMeshCoder(DualTopoMeshCoder::V2);
    DualTopoMeshCoder::SectionStats st;
    for (auto _ : state) {
        MemStream s(nullptr);
        if (!c->setTopoMesh(pm.get()) || !c->serialize10xV1(*s.os))
            return state.SkipWithError("encode failed");
        st = c->sectionStats();
    }
    setCounters(state, st, m.nTris());
    DualTopoMeshCoder::releaseDualTopoMeshCoder(c);
}

void BM_Decode(benchmark::State& state, const std::string& name) {
    ensureLib();
    const Mesh& m = benchMesh(name, 1000, 1000);
    if (m.tris.empty()) return state.SkipWithError("mesh not found (set VQ_MESH_DIR)");
    Vq::SharedPtr<VqPolygonTopoMesh> pm = prepared(m, state.range(0) != 0);
    DualTopoMeshCoder* c = DualTopoMeshCoder::acquireDualTopoMeshCoder(DualTopoMeshCoder::V2);
    std::vector<uint8_t> image;
    {
        MemStream s(nullptr);
        if (!c->setTopoMesh(pm.get()) || !c->serialize10xV1(*s.os))
            return state.SkipWithError("encode failed");
        image = s.bytes();
    }
    DualTopoMeshCoder::SectionStats st;
    for (auto _ : state) {
        MemStream s(&image);
        Vq::SharedPtr<VqTopoMesh> out;
        if (!c->deserialize10xV1(*s.os, VqTopoMesh::VQ_PRIM_POLYGON, out))
            return state.SkipWithError("decode failed");
        st = c->sectionStats();
    }
    setCounters(state, st, m.nTris());
    DualTopoMeshCoder::releaseDualTopoMeshCoder(c);
}

const int s_registered = [] {
    for (const char* name : {"bunny00", "armadillo", "refined_elephant", "fandisk"}) {
        benchmark::RegisterBenchmark((std::string("Encode/") + name).c_str(), BM_Encode, std::string(name))
            ->Arg(0)
            ->Arg(1)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("Decode/") + name).c_str(), BM_Decode, std::string(name))
            ->Arg(0)
            ->Arg(1)
            ->Unit(benchmark::kMillisecond);
    }
    return 0;
}();

} // namespace
