// Coded mesh records against the reference open mesh codec: bytes per
// triangle and decoding speed on real meshes.
//
// Meshes: bunny00, armadillo, refined_elephant and fandisk as OFF files in the
// directory VQ_MESH_DIR names (data/meshes in the data archive of Debian's
// libcgal-demo package). Each is coded twice: positions at 11 bits ("p11"),
// and positions at 11 bits with per-vertex normals at 8 bits ("p11n8"; the
// normals are the area-weighted means of the facet normals, computed here,
// since the files carry none).
//
//   Vq/<mesh>/<cfg>     our format-10 mesh section (topology coder version 2,
//                       plain stream), decoded into a polygon mesh with the
//                       decoder's topology and collocation checks;
//   Draco/<mesh>/<cfg>  Debian's libdraco (libdraco-dev): edgebreaker, speed
//                       7 for encoding and decoding, the same quantisation,
//                       decoded into its mesh. Left out when the package is
//                       missing.
// Counters: B/tri (the whole record or buffer), Mtri/s of decoding; on ours
// also the split of the bytes per triangle into connectivity symbols,
// coordinates, normals and tables (headers, counts, quantiser records and
// check values).
#include "BenchLib.h"
#include "BenchMeshes.h"
#include "VqDataStream.h"
#include "VqDualTopoMeshCoder.h"
#include "VqErrorState.h"
#include "VqGeomBindings.h"
#include "VqMemoryByteStream.h"
#include "VqObjectStream.h"
#include "VqPolygonTopoMesh.h"
#include "VqSharedPtr.h"

#include <benchmark/benchmark.h>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#ifdef VQ_HAVE_DRACO
#include <draco/compression/decode.h>
#include <draco/compression/encode.h>
#include <draco/mesh/mesh.h>
#endif

namespace {

const char* const kMeshes[] = {"bunny00", "armadillo", "refined_elephant", "fandisk"};

struct Config {
    const char* name;
    int posBits;
    int normBits; // 0: no normals
};
const Config kConfigs[] = {{"p11", 11, 0}, {"p11n8", 11, 8}};

const Mesh& mesh(const std::string& name) {
    return benchMesh(name, 0, 0);
}

void setRates(benchmark::State& state, const Mesh& m, size_t bytes) {
    state.counters["B/tri"] = double(bytes) / m.nTris();
    state.counters["Mtri/s"] =
        benchmark::Counter(double(m.nTris()) * state.iterations() / 1e6, benchmark::Counter::kIsRate);
}

// The polygon mesh at cfg's bit counts, with the vertex normals when cfg
// asks for them.
Vq::SharedPtr<VqPolygonTopoMesh> vqMesh(const Mesh& m, Config cfg) {
    Vq::SharedPtr<VqPolygonTopoMesh> pm = polygonMesh(m, cfg.normBits != 0);
    pm->setCompressionParams(cfg.posBits, cfg.normBits, 0, 0);
    return pm;
}

void BM_Vq(benchmark::State& state, const std::string& name, Config cfg) {
    ensureLib();
    const Mesh& m = mesh(name);
    if (m.tris.empty()) {
        state.SkipWithError("mesh not found (set VQ_MESH_DIR)");
        return;
    }
    Vq::SharedPtr<VqPolygonTopoMesh> pm = vqMesh(m, cfg);
    Vq::DualTopoMeshCoder* coder = Vq::DualTopoMeshCoder::acquireDualTopoMeshCoder(Vq::DualTopoMeshCoder::V2);
    std::vector<uint8_t> bytes;
    {
        Vq::SharedPtr<VqMemoryByteStream> mem = new VqMemoryByteStream(false);
        Vq::SharedPtr<VqDataStream> ds = new VqDataStream(mem.get());
        ds->open();
        Vq::SharedPtr<VqObjectStream> os = new VqObjectStream(ds.get());
        os->setVersion(10, 0);
        if (!os->beginWrite() || !coder->setTopoMesh(pm.get()) || !coder->serialize10xV1(*os) ||
            !os->endWrite()) {
            state.SkipWithError(("encoding failed: " + Vq::lastErrorMessage()).c_str());
            Vq::DualTopoMeshCoder::releaseDualTopoMeshCoder(coder);
            return;
        }
        bytes.assign(mem->data(), mem->data() + mem->dataLength());
    }
    const Vq::DualTopoMeshCoder::SectionStats written = coder->sectionStats();
    for (auto _ : state) {
        Vq::SharedPtr<VqMemoryByteStream> mem = new VqMemoryByteStream(true);
        mem->setData(bytes.data(), bytes.size());
        Vq::SharedPtr<VqDataStream> ds = new VqDataStream(mem.get());
        ds->open();
        Vq::SharedPtr<VqObjectStream> is = new VqObjectStream(ds.get());
        is->setVersion(10, 0);
        Vq::SharedPtr<VqTopoMesh> out;
        if (!is->beginRead() || !coder->deserialize10xV1(*is, VqTopoMesh::VQ_PRIM_POLYGON, out) || !out ||
            out->numPrims() != m.nTris()) {
            state.SkipWithError(("decoding failed: " + Vq::lastErrorMessage()).c_str());
            break;
        }
        benchmark::DoNotOptimize(out.get());
    }
    Vq::DualTopoMeshCoder::releaseDualTopoMeshCoder(coder);
    setRates(state, m, bytes.size());
    const double perTri = 1.0 / m.nTris();
    state.counters["conn"] = double(written.nConnectivityBytes) * perTri;
    state.counters["coord"] = double(written.nCoordBytes) * perTri;
    state.counters["normal"] = double(written.nNormalBytes) * perTri;
    state.counters["tables"] = double(written.nTableBytes + written.nOtherAttrBytes) * perTri;
}

#ifdef VQ_HAVE_DRACO
void BM_Draco(benchmark::State& state, const std::string& name, Config cfg) {
    const Mesh& m = mesh(name);
    if (m.tris.empty()) {
        state.SkipWithError("mesh not found (set VQ_MESH_DIR)");
        return;
    }
    draco::Mesh dm;
    dm.set_num_points(m.nVerts());
    draco::GeometryAttribute pos;
    pos.Init(draco::GeometryAttribute::POSITION, nullptr, 3, draco::DT_FLOAT32, false, sizeof(float) * 3, 0);
    const int iPos = dm.AddAttribute(pos, true, m.nVerts());
    for (uint32_t i = 0; i < m.nVerts(); ++i)
        dm.attribute(iPos)->SetAttributeValue(draco::AttributeValueIndex(i), &m.coords[3 * i]);
    if (cfg.normBits) {
        const std::vector<float> normals = vertexNormals(m);
        draco::GeometryAttribute nrm;
        nrm.Init(draco::GeometryAttribute::NORMAL, nullptr, 3, draco::DT_FLOAT32, false, sizeof(float) * 3,
                 0);
        const int iNrm = dm.AddAttribute(nrm, true, m.nVerts());
        for (uint32_t i = 0; i < m.nVerts(); ++i)
            dm.attribute(iNrm)->SetAttributeValue(draco::AttributeValueIndex(i), &normals[3 * i]);
    }
    for (uint32_t t = 0; t < m.nTris(); ++t)
        dm.AddFace({draco::PointIndex(m.tris[3 * t]), draco::PointIndex(m.tris[3 * t + 1]),
                    draco::PointIndex(m.tris[3 * t + 2])});

    draco::Encoder enc;
    enc.SetEncodingMethod(draco::MESH_EDGEBREAKER_ENCODING);
    enc.SetSpeedOptions(7, 7);
    enc.SetAttributeQuantization(draco::GeometryAttribute::POSITION, cfg.posBits);
    if (cfg.normBits) enc.SetAttributeQuantization(draco::GeometryAttribute::NORMAL, cfg.normBits);
    draco::EncoderBuffer buf;
    if (!enc.EncodeMeshToBuffer(dm, &buf).ok()) {
        state.SkipWithError("encoding failed");
        return;
    }
    for (auto _ : state) {
        draco::DecoderBuffer in;
        in.Init(buf.data(), buf.size());
        draco::Decoder dec;
        auto res = dec.DecodeMeshFromBuffer(&in);
        if (!res.ok() || res.value()->num_faces() != m.nTris()) {
            state.SkipWithError("decoding failed");
            return;
        }
        benchmark::DoNotOptimize(res.value().get());
    }
    setRates(state, m, buf.size());
}
#endif

const int kRegistered = [] {
    for (const char* name : kMeshes)
        for (const Config& cfg : kConfigs) {
            const std::string suffix = std::string(name) + "/" + cfg.name;
            benchmark::RegisterBenchmark(("Vq/" + suffix).c_str(), BM_Vq, name, cfg)
                ->Unit(benchmark::kMillisecond);
#ifdef VQ_HAVE_DRACO
            benchmark::RegisterBenchmark(("Draco/" + suffix).c_str(), BM_Draco, name, cfg)
                ->Unit(benchmark::kMillisecond);
#endif
        }
    return 0;
}();

} // namespace
