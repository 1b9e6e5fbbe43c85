#pragma once

#include "VqExport.h"

#include <cstdint>
#include <string>

class VqNode;

namespace Vq {

// Writes what a VQ graph holds to the formats other tools open, through
// Debian's assimp: glTF 2 (.gltf with its .bin, or .glb), OBJ (with its
// .mtl), PLY and STL (binary; triangles only, without line and point shapes).
//
// Shapes are loaded as they are met. Under an LOD node one child is taken:
// the one at the requested index, or the coarsest there is when there are
// fewer. A switch contributes its selected child. A node that several paths
// reach (through instances or shared children) becomes one mesh referenced
// from several nodes, where the format keeps a hierarchy (glTF); flattened,
// or for formats without one (OBJ, PLY, STL), every use is a mesh of its own
// in world coordinates. Triangle strips and polygons are written as
// triangles, line strips as segments and point sets as points, with their
// normals, first texture coordinates and colours.
class VQ_API Exporter {
public:
    struct Options {
        // The level of detail taken under LOD nodes, 0 the finest.
        int lod = 0;
        // Everything in world coordinates under the root alone.
        bool flatten = false;
        // The format, by extension ("glb", "gltf", "obj", "ply", "stl");
        // empty: taken from the output file's name.
        std::string format;
    };

    struct Report {
        uint32_t nodes = 0, meshes = 0, materials = 0;
        uint64_t triangles = 0, lines = 0, points = 0, vertices = 0;
    };

    // Writes the graph under root to path. Files are written under temporary
    // names beside their targets and renamed over them when all are complete,
    // so a failure leaves the old files as they were. A graph without
    // geometry (at the chosen level) is refused: it has no valid glTF form.
    bool write(VqNode* root, const std::string& path, const Options& options);
    // Opens the VQ file inPath, with the files it refers to, and writes it.
    bool exportFile(const std::string& inPath, const std::string& outPath, const Options& options);

    const Report& report() const { return _report; }

private:
    bool _write(VqNode* root, const std::string& path, const Options& options);

    Report _report;
};

} // namespace Vq
