// Late loading of shapes: a format 9.5 file of 10^4 polygon and strip shapes
// (generated tori, two levels under each LOD node, about 10^7 triangles in
// all) is opened and every shape loaded through the residency request
// manager with 0, 1 and 2 loader threads, the application thread executing
// once per millisecond frame. The reference is the synchronous load of every
// shape on the calling thread (ensureImpl), without the manager.
//
// Counters: shapes/s and Mtri/s of the whole load, first_ms = time from the
// first request to the first shape hooked up, tris = triangles loaded.
// The file is written once and kept in /tmp under a name made of its sizes;
// VQ_SHAPELOAD_SHAPES and VQ_SHAPELOAD_TRIS choose smaller ones for quick runs.
#include "BenchLib.h"
#include "BenchMeshes.h"
#include "VqErrorState.h"
#include "VqFSStorageLocation.h"
#include "VqLOD.h"
#include "VqPartition.h"
#include "VqPolygonSet.h"
#include "VqPolygonTopoMesh.h"
#include "VqResidencyRequestManager.h"
#include "VqShapeRequestEntry.h"
#include "VqStdError.h"
#include "VqTriStripSet.h"
#include "VqTriStripTopoMesh.h"
#include "VqVertexShapeImpl.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <sys/stat.h>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

long envOr(const char* name, long fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::strtol(v, nullptr, 10) : fallback;
}

std::string failure() {
    Vq::SharedPtr<VqStdError> e = VqErrorState::currentError();
    return e ? e->description().toUtf8() : std::string("unknown failure");
}

// A torus of about nTris triangles as a polygon set or, with strips, a strip
// set of one three-index strip per triangle (the reader strips it anew).
Vq::SharedPtr<VqShape> torusShape(long nTris, bool strips, float offset) {
    const int nu = std::max(3, int(std::sqrt(double(nTris) / 2)));
    const int nv = std::max(3, int(nTris / 2 / nu));
    Mesh m = torusGrid(nu, nv);
    for (size_t i = 0; i < m.coords.size(); i += 3)
        m.coords[i] += offset;
    Vq::SharedPtr<VqShape> shape;
    Vq::SharedPtr<VqTopoMesh> mesh;
    if (strips) {
        shape = new VqTriStripSet(VQ_GEOMBIND_VTXCOORD3);
        mesh = new VqTriStripTopoMesh(VQ_GEOMBIND_VTXCOORD3);
    } else {
        shape = new VqPolygonSet(VQ_GEOMBIND_VTXCOORD3);
        mesh = new VqPolygonTopoMesh(VQ_GEOMBIND_VTXCOORD3);
    }
    mesh->lockWrite(true);
    VqVertexRecordPool& pool = *mesh->vtxRecPool();
    pool.lockWrite(true);
    uint32_t first = 0;
    pool.addVtxRecords(m.nVerts(), first, m.coords.data(), nullptr, nullptr, nullptr, nullptr);
    pool.lockWrite(false);
    mesh->addPrimitives(0, m.nTris(), 3u, m.tris.data());
    mesh->lockWrite(false);
    Vq::SharedPtr<VqShapeImpl> impl = shape->createImplInstance();
    auto* vsi = Vq::typeCast<VqVertexShapeImpl>(impl.get());
    if (!vsi || !vsi->setTopoMesh(mesh.get()) || !shape->setImpl(impl.get())) return nullptr;
    return shape;
}

// The model's file, written on first use.
const std::string& modelPath() {
    static std::string path;
    if (!path.empty()) return path;
    const long nShapes = envOr("VQ_SHAPELOAD_SHAPES", 10000), nTris = envOr("VQ_SHAPELOAD_TRIS", 10000000);
    path = "/tmp/vq_bench_shapeload_" + std::to_string(nShapes) + "_" + std::to_string(nTris) + ".vq";
    struct stat st;
    if (stat(path.c_str(), &st) == 0) return path;
    VqPartition::setVersion(9, 5);
    Vq::SharedPtr<VqPartition> root = new VqPartition();
    const double perShape = double(nTris) / double(nShapes);
    for (long i = 0; i < nShapes / 2; ++i) {
        // Fine levels from 0.9 to 2.7 times the mean, coarse ones an eighth.
        const long fine = long(perShape * 1.8 * (0.5 + double(i % 11) / 10.0));
        Vq::SharedPtr<VqLOD> lod = new VqLOD();
        for (long n : {fine, fine / 8}) {
            Vq::SharedPtr<VqShape> s = torusShape(n, i % 2 == 1, float(i % 100) * 7.0f);
            if (!s || !lod->appendChild(s.get())) {
                std::fprintf(stderr, "building the model failed: %s\n", failure().c_str());
                std::exit(1);
            }
        }
        root->appendChild(lod.get());
    }
    const std::string tmp = path + ".part";
    if (!root->saveAs(VqString::fromUtf8(tmp))) {
        std::fprintf(stderr, "writing %s failed: %s\n", tmp.c_str(), failure().c_str());
        std::exit(1);
    }
    std::rename(tmp.c_str(), path.c_str());
    return path;
}

uint64_t triangles(const std::vector<VqShape*>& shapes) {
    uint64_t n = 0;
    for (VqShape* s : shapes)
        if (const VqTopoMesh* m = s->topoMesh()) {
            const uint32_t nIdx = m->primStarts()[m->numPrims()];
            n += m->primKind() == VqTopoMesh::VQ_PRIM_TRISTRIP ? nIdx - 2 * m->numPrims() : m->numPrims();
        }
    return n;
}

// loaders < 0: the synchronous reference.
void BM_LoadAllShapes(benchmark::State& state) {
    ensureLib();
    const int loaders = int(state.range(0));
    const std::string& path = modelPath();
    VqResidencyRequestManager* mgr = VqShapeRequestEntry::manager();
    mgr->setUseThreadedLoading(loaders > 0 ? loaders : 0);
    double firstMs = 0, seconds = 0;
    uint64_t nShapes = 0, nTris = 0;
    for (auto _ : state) {
        Vq::SharedPtr<VqFSStorageLocation> loc;
        Vq::SharedPtr<VqPartition> root;
        if (!VqFSStorageLocation::fromPath(VqString::fromUtf8(path), loc) ||
            !VqPartition::openPartition(loc.get(), nullptr, root)) {
            state.SkipWithError(failure().c_str());
            return;
        }
        const std::vector<VqShape*> shapes = VqShape::shapesBelow(root.get());
        mgr->clearPerfCounters();
        const Clock::time_point t0 = Clock::now();
        Clock::time_point first{};
        if (loaders < 0) {
            for (VqShape* s : shapes) {
                if (!s->ensureImpl()) {
                    state.SkipWithError(failure().c_str());
                    return;
                }
                if (first == Clock::time_point{}) first = Clock::now();
            }
        } else {
            for (VqShape* s : shapes)
                s->loadImpl(false);
            const VqRequestInfo doc(root.get(), 0.0f);
            while (mgr->areItemsPending()) {
                mgr->execute(doc);
                if (first == Clock::time_point{} && mgr->perfCounters().nHookedUp > 0) first = Clock::now();
                if (loaders > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        const Clock::time_point t1 = Clock::now();
        const double dt = std::chrono::duration<double>(t1 - t0).count();
        state.SetIterationTime(dt);
        seconds += dt;
        firstMs += std::chrono::duration<double, std::milli>(first - t0).count();
        nShapes += shapes.size();
        nTris += triangles(shapes);
    }
    mgr->setUseThreadedLoading(0);
    const double it = double(state.iterations());
    state.counters["shapes/s"] = double(nShapes) / seconds;
    state.counters["Mtri/s"] = double(nTris) / seconds / 1e6;
    state.counters["first_ms"] = firstMs / it;
    state.counters["tris"] = double(nTris) / it;
}

BENCHMARK(BM_LoadAllShapes)
    ->ArgName("loaders")
    ->Arg(-1)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->UseManualTime()
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);

} // namespace
