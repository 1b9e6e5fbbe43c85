// Writes seeds for fuzz_meshrecord: the records of the benchmarks' real
// meshes (read from the directory VQ_MESH_DIR names), as polygons at 11
// position bits, with and without normals at 8 bits, and fandisk lossless,
// each in formats 9.0, 9.4 and 10. The repository's seeds are small records;
// these carry the long symbol and coordinate texts, the large contexts and
// the deep walks that only real meshes have. Meshes not found are left out.
//
//   make_meshrecord_seeds <directory>

#include "BenchMeshes.h"
#include "FuzzSetup.h"
#include "VqErrorState.h"
#include "VqTestObjectStream.h"

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Format {
    int major, minor;
    uint8_t selector; // bits 2-3 of the fuzz input's first byte
    const char* name;
};
constexpr Format kFormats[] = {{9, 0, 0, "9_0"}, {9, 4, 1, "9_4"}, {10, 0, 2, "10_0"}};
// Polygons, in bits 0-1 of the first byte.
constexpr uint8_t kPolygons = 3;

struct Config {
    const char* mesh;
    int posBits, normBits;
    const char* name;
};
constexpr Config kConfigs[] = {
    {"bunny00", 11, 0, "p11"},     {"bunny00", 11, 8, "p11n8"},        {"armadillo", 11, 0, "p11"},
    {"armadillo", 11, 8, "p11n8"}, {"refined_elephant", 11, 0, "p11"}, {"refined_elephant", 11, 8, "p11n8"},
    {"fandisk", 11, 0, "p11"},     {"fandisk", 11, 8, "p11n8"},        {"fandisk", 0, 0, "lossless"},
};

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <directory>\n", argv[0]);
        return 2;
    }
    if (vqFuzzInit(1 << 20) != 0) return 1;
    int nWritten = 0;
    for (const Config& c : kConfigs) {
        const Mesh& m = benchMesh(c.mesh, 0, 0);
        if (m.tris.empty()) continue;
        Vq::SharedPtr<VqPolygonTopoMesh> pm = polygonMesh(m, c.normBits != 0);
        pm->setCompressionParams(c.posBits, c.normBits, 0, 0);
        for (const Format& f : kFormats) {
            VqTestObjectStream os = VqTestObjectStream::forWriting(f.major, f.minor);
            if (!pm->serializeVersion(*os, f.major, f.minor)) {
                std::fprintf(stderr, "%s %s %s: %s\n", c.mesh, c.name, f.name,
                             Vq::lastErrorMessage().c_str());
                return 1;
            }
            const std::vector<uint8_t> record = os.bytes();
            const std::string path = std::string(argv[1]) + "/" + c.mesh + "_" + c.name + "_" + f.name;
            std::ofstream out(path, std::ios::binary);
            const char selector = char(kPolygons | f.selector << 2);
            out.write(&selector, 1);
            out.write(reinterpret_cast<const char*>(record.data()), std::streamsize(record.size()));
            if (!out) {
                std::fprintf(stderr, "cannot write %s\n", path.c_str());
                return 1;
            }
            ++nWritten;
        }
    }
    std::printf("%d records written to %s\n", nWritten, argv[1]);
    return 0;
}
