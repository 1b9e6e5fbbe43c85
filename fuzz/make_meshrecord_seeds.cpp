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

const char* const kMeshes[] = {"bunny00", "armadillo", "refined_elephant", "fandisk"};

struct Config {
    int posBits, normBits;
    const char* name;
};
constexpr Config kConfigs[] = {{11, 0, "p11"}, {11, 8, "p11n8"}};
// Lossless records of the real meshes are large: the smallest one only.
constexpr const char* kLosslessMesh = "fandisk";
constexpr Config kLossless = {0, 0, "lossless"};

// mesh's record at c's bit counts, in formats 9.0, 9.4 and 10, written to
// dir; false on failure (reported).
bool writeRecords(const char* dir, const char* mesh, const Config& c, int& nWritten) {
    const Mesh& m = benchMesh(mesh, 0, 0);
    if (m.tris.empty()) return true;
    Vq::SharedPtr<VqPolygonTopoMesh> pm = polygonMesh(m, c.normBits != 0);
    pm->setCompressionParams(c.posBits, c.normBits, 0, 0);
    for (int iFormat = 0; iFormat < 3; ++iFormat) {
        const VqFuzzFormat f = kVqFuzzFormats[iFormat];
        const std::string path = std::string(dir) + "/" + mesh + "_" + c.name + "_" +
                                 std::to_string(f.major) + "_" + std::to_string(f.minor);
        VqTestObjectStream os = VqTestObjectStream::forWriting(f.major, f.minor);
        if (!pm->serializeVersion(*os, f.major, f.minor)) {
            std::fprintf(stderr, "%s: %s\n", path.c_str(), Vq::lastErrorMessage().c_str());
            return false;
        }
        const std::vector<uint8_t> record = os.bytes();
        std::ofstream out(path, std::ios::binary);
        const char selector = char(vqFuzzSelector(kVqFuzzPolygons, iFormat));
        out.write(&selector, 1);
        out.write(reinterpret_cast<const char*>(record.data()), std::streamsize(record.size()));
        if (!out) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            return false;
        }
        ++nWritten;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <directory>\n", argv[0]);
        return 2;
    }
    if (vqFuzzInit(1 << 20) != 0) return 1;
    int nWritten = 0;
    for (const char* mesh : kMeshes)
        for (const Config& c : kConfigs)
            if (!writeRecords(argv[1], mesh, c, nWritten)) return 1;
    if (!writeRecords(argv[1], kLosslessMesh, kLossless, nWritten)) return 1;
    std::printf("%d records written to %s\n", nWritten, argv[1]);
    return 0;
}
