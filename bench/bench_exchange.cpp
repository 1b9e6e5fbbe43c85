// Importing real meshes into VQ files through the exchange library.
//
//   Import/<mesh>/<bits>/<lods>  Vq::Importer::importFile of the OFF file in
//                                VQ_MESH_DIR (bunny00, armadillo,
//                                refined_elephant from libcgal-demo's data)
//                                with coordinates of 24 bits (the default
//                                compression level 0.01) or 11 bits, with the
//                                default three levels of detail or one.
//                                Counters: the VQ file's size, the source
//                                file's, and the same mesh (positions and
//                                triangles, as the OFF file has no more)
//                                compressed by Draco (Debian's libdraco-dev,
//                                edgebreaker, default speed) with positions
//                                of the same bits, encoded in the same run;
//                                draco_ms is its encoding time, next to the
//                                import's own.
// Without libdraco-dev the Draco counters are left out.

#include "BenchLib.h"
#include "BenchMeshes.h"
#include "VqImporter.h"

#include <benchmark/benchmark.h>

#ifdef VQ_HAVE_DRACO
#include <draco/compression/encode.h>
#include <draco/mesh/mesh.h>
#endif

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

namespace {

const char* const kMeshes[] = {"bunny00", "armadillo", "refined_elephant"};

#ifdef VQ_HAVE_DRACO
// The encoded size and the encoding time in milliseconds; 0 when it fails.
std::pair<size_t, double> dracoSize(const Mesh& m, int bits) {
    const auto start = std::chrono::steady_clock::now();
    draco::Mesh dm;
    dm.set_num_points(m.nVerts());
    draco::GeometryAttribute pos;
    pos.Init(draco::GeometryAttribute::POSITION, nullptr, 3, draco::DT_FLOAT32, false, sizeof(float) * 3, 0);
    const int iPos = dm.AddAttribute(pos, true, m.nVerts());
    for (uint32_t i = 0; i < m.nVerts(); ++i)
        dm.attribute(iPos)->SetAttributeValue(draco::AttributeValueIndex(i), &m.coords[3 * i]);
    for (uint32_t t = 0; t < m.nTris(); ++t)
        dm.AddFace({draco::PointIndex(m.tris[3 * t]), draco::PointIndex(m.tris[3 * t + 1]),
                    draco::PointIndex(m.tris[3 * t + 2])});
    draco::Encoder enc;
    enc.SetEncodingMethod(draco::MESH_EDGEBREAKER_ENCODING);
    enc.SetAttributeQuantization(draco::GeometryAttribute::POSITION, bits);
    draco::EncoderBuffer buf;
    if (!enc.EncodeMeshToBuffer(dm, &buf).ok()) return {0, 0.0};
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    return {buf.size(), ms};
}
#endif

void BM_Import(benchmark::State& state, const std::string& name, int bits, int lods) {
    ensureLib();
    const char* dir = std::getenv("VQ_MESH_DIR");
    const std::string src = std::string(dir ? dir : "") + "/" + name + ".off";
    if (!dir || !std::filesystem::exists(src)) {
        state.SkipWithError("mesh not found: set VQ_MESH_DIR to the directory of the OFF files");
        return;
    }
    const std::string out =
        (std::filesystem::temp_directory_path() / ("bench_exchange_" + name + ".vq")).string();
    Vq::Importer::Options opt;
    opt.compressionLevel = bits == 24 ? 0.01f : Vq::Importer::coordBitsLevel(bits);
    opt.lodCount = lods;
    Vq::Importer importer;
    for (auto _ : state)
        if (!importer.importFile(src, out, opt)) {
            state.SkipWithError(Vq::lastErrorMessage().c_str());
            return;
        }
    state.counters["tris"] = double(importer.report().triangles);
    state.counters["vq_bytes"] = double(std::filesystem::file_size(out));
    state.counters["src_bytes"] = double(std::filesystem::file_size(src));
    std::remove(out.c_str());
#ifdef VQ_HAVE_DRACO
    const Mesh& m = benchMesh(name, 0, 0);
    const auto [bytes, ms] = dracoSize(m, bits);
    state.counters["draco_bytes"] = double(bytes);
    state.counters["draco_ms"] = ms;
#endif
}

const int kRegistered = [] {
    for (const char* name : kMeshes)
        for (int bits : {24, 11})
            for (int lods : {3, 1})
                benchmark::RegisterBenchmark(("Import/" + std::string(name) + "/" + std::to_string(bits) +
                                              "bit/" + std::to_string(lods) + "lod")
                                                 .c_str(),
                                             BM_Import, std::string(name), bits, lods)
                    ->Unit(benchmark::kMillisecond)
                    ->Iterations(1);
    return 0;
}();

} // namespace
