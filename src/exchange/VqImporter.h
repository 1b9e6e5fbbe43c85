#pragma once

#include "VqExport.h"
#include "VqSharedPtr.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class VqPartition;

namespace Vq {

// Reads the mesh formats users have (those Debian's assimp reads: OBJ, STL,
// PLY, OFF, glTF and GLB, 3MF, COLLADA, FBX and more) into a VQ graph, and
// writes it as a VQ file.
//
// The graph keeps the file's node hierarchy as groups with their names and
// transforms. Each mesh becomes one shape (triangle strips, points or line
// strips) with its normals, first texture coordinate set and first colour
// set, under the material of the mesh. A mesh that several nodes use is
// built once: each use is an instance whose child is the one shape (or LOD
// node), so the file stores its geometry once. With more than one level of
// detail, a triangle mesh becomes a range LOD node whose children are the
// levels, finest first, each shape carrying the simplifier's error bound
// under the property "lod error" (in the mesh's own units), and range
// limits set from those errors so that a traversal picks them by distance.
class VQ_API Importer {
public:
    struct Options {
        // The format version of the file written (0.0: the process-wide one).
        int versionMajor = 0;
        int versionMinor = 0;
        // The shapes' compression level, 0 (lossless) to 1 (coarsest); see
        // coordBitsLevel for a level that gives a number of coordinate bits.
        float compressionLevel = 0.01f;
        // Levels of detail of each triangle mesh, 1 (none generated) to 10.
        int lodCount = 3;
        // Per generated level (lodCount - 1 entries each, or empty for the
        // defaults of LodChain::Targets): the largest share of the
        // triangles kept and the largest error, relative to the mesh's extent.
        std::vector<float> lodRatios;
        std::vector<float> lodErrors;
        // Length of one unit of the file in the graph's units: 0.001 for a
        // file in millimetres read into metres. Applied as a scale on the root.
        double unitScale = 1.0;
        // Merges vertices that agree in every attribute.
        bool weld = true;
        // Called with a stage ("reading", "building", "writing") and the share
        // of it done, from the calling thread.
        std::function<void(const char* stage, float done)> progress;
    };

    // What an import found and made.
    struct Report {
        uint32_t nodes = 0, meshes = 0, shapes = 0, instances = 0, lodNodes = 0, materials = 0;
        uint64_t triangles = 0, points = 0, lines = 0, vertices = 0;
        // True when the input holds no geometry: the graph (and the file) is
        // then a root alone.
        bool empty = false;
    };

    // The smallest compression level whose coordinates get `bits` bits (9 to 24).
    static float coordBitsLevel(int bits);

    // Reads path into a new graph whose root is a partition not yet saved.
    bool read(const std::string& path, const Options& options, Vq::SharedPtr<VqPartition>& out);
    // Reads inPath and saves the graph as outPath. On failure nothing is left
    // at outPath that was not there before.
    bool importFile(const std::string& inPath, const std::string& outPath, const Options& options);

    const Report& report() const { return _report; }

    // The property under which each level of a generated LOD node keeps its
    // error bound (a float, in the mesh's own units).
    static constexpr const char* s_kLodErrorProp = "lod error";
    // The deepest node hierarchy read.
    static constexpr int s_kMaxDepth = 1000;

private:
    bool _read(const std::string& path, const Options& options, Vq::SharedPtr<VqPartition>& out);

    Report _report;
};

} // namespace Vq
