// Converting a file of many shapes: open and save 9.5 -> 10.0 (every mesh
// decoded and coded again) and 10.0 -> 10.0 (shape segments copied as they
// are stored), next to copying the 10.0 file byte for byte, the floor any
// conversion stands on.
//
// Counters: shapes/s and Mtri/s over the file's shapes and triangles, by wall
// time (a save writes segments on the thread pool).
// The default file holds 1000 shapes of 1000 triangles; VQ_BENCH_SHAPES and
// VQ_BENCH_TRIS set others (10000 and 1000 for the full size).

#include "BenchLib.h"
#include "VqGeomBindings.h"
#include "VqPartition.h"
#include "VqPolygonSet.h"
#include "VqShapeDataIter.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace {

int envCount(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v && std::atoi(v) > 0 ? std::atoi(v) : fallback;
}

const int kShapes = envCount("VQ_BENCH_SHAPES", 1000);
const int kTris = envCount("VQ_BENCH_TRIS", 1000);

struct Fixture {
    std::string dir;
    uint64_t triangles = 0;

    Fixture() {
        ensureLib();
        char tmpl[] = "/tmp/vq_bench_convert_XXXXXX";
        dir = std::string(mkdtemp(tmpl)) + "/";
        Vq::SharedPtr<VqPartition> root = build();
        for (auto [major, minor, name] : {std::tuple{9, 5, "in95.vq"}, std::tuple{10, 0, "in100.vq"}})
            if (!root->saveAs((dir + name).c_str(), {.versionMajor = major, .versionMinor = minor}))
                std::abort();
    }
    ~Fixture() { std::filesystem::remove_all(dir); }

    // Each shape a wavy grid of quads (two triangles each), offset so that no
    // two shapes code alike.
    Vq::SharedPtr<VqPartition> build() {
        Vq::SharedPtr<VqPartition> root = new VqPartition();
        const int quads = std::max(1, kTris / 2);
        const int nx = std::max(1, int(std::sqrt(double(quads))));
        const int ny = std::max(1, quads / nx);
        for (int s = 0; s < kShapes; ++s) {
            Vq::SharedPtr<VqPolygonSet> shape = new VqPolygonSet(VQ_GEOMBIND_VTXCOORD3);
            auto z = [&](int x, int y) { return 0.05f * std::sin(0.3f * float(x + s) + 0.2f * float(y)); };
            for (int y = 0; y < ny; ++y)
                for (int x = 0; x < nx; ++x) {
                    const float fx = float(x), fy = float(y) + float(s) * float(ny);
                    VqShapeDataArrayIter<float, 3> c(
                        std::vector<float>{fx, fy, z(x, y), fx + 1, fy, z(x + 1, y), fx + 1, fy + 1,
                                           z(x + 1, y + 1), fx, fy + 1, z(x, y + 1)});
                    if (!shape->addPrim(&c, nullptr, nullptr, nullptr, 0)) std::abort();
                }
            triangles += 2 * uint64_t(nx) * uint64_t(ny);
            root->appendChild(shape.get());
        }
        return root;
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

void convert(benchmark::State& state, const char* from, int major, int minor) {
    Fixture& f = fixture();
    for (auto _ : state) {
        Vq::SharedPtr<VqPartition> part;
        if (!VqPartition::openFile((f.dir + from).c_str(), part) ||
            !part->saveAs((f.dir + "out.vq").c_str(), {.versionMajor = major, .versionMinor = minor}))
            state.SkipWithError("conversion failed");
    }
    state.counters["shapes/s"] =
        benchmark::Counter(double(kShapes), benchmark::Counter::kIsIterationInvariantRate);
    state.counters["Mtri/s"] =
        benchmark::Counter(double(f.triangles) / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_Convert95To100(benchmark::State& state) {
    convert(state, "in95.vq", 10, 0);
}

void BM_Convert100To100(benchmark::State& state) {
    convert(state, "in100.vq", 10, 0);
}

void BM_FileCopyAlone(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state)
        std::filesystem::copy_file(f.dir + "in100.vq", f.dir + "copy.vq",
                                   std::filesystem::copy_options::overwrite_existing);
    state.counters["bytes"] = double(std::filesystem::file_size(f.dir + "in100.vq"));
}

} // namespace

BENCHMARK(BM_Convert95To100)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_Convert100To100)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_FileCopyAlone)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
