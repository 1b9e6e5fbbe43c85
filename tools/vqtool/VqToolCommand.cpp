#include "VqToolCommand.h"

#include <iostream>

int cmdTypes(const std::vector<std::string>& args);
int cmdInfo(const std::vector<std::string>& args);
int cmdTree(const std::vector<std::string>& args);
int cmdConvert(const std::vector<std::string>& args);
int cmdDemo(const std::vector<std::string>& args);
#ifdef VQ_HAVE_EXCHANGE
int cmdImport(const std::vector<std::string>& args);
int cmdExport(const std::vector<std::string>& args);
#endif

const std::vector<VqToolCommand>& vqToolCommands() {
    static const std::vector<VqToolCommand> commands = {
        {"types", "list the registered object types with their GUIDs",
         "Usage: vqtool types\n\nLists every object type the library registers, with its type GUID,\n"
         "in registration order.\n",
         &cmdTypes},
        {"info", "show a file's version, segments and graph counts",
         "Usage: vqtool info FILE\n\nPrints the file's format version and byte order, its segments by type "
         "with\n"
         "their stored and decoded sizes and compression ratios, and the number of\n"
         "nodes, attributes and properties of its scene graph.\n",
         &cmdInfo},
        {"tree", "print a file's scene graph",
         "Usage: vqtool tree [--depth N] [--children N] FILE\n\nPrints the scene graph: each node's class, "
         "its \"name\" "
         "property and its\nattributes; a node reached again through instancing is shown as a reference\n"
         "to its first appearance.\n\n  --depth N      stop N levels below the root\n"
         "  --children N   show at most N children of each node\n",
         &cmdTree},
        {"convert", "re-save a file at another format version",
         "Usage: vqtool convert [--lossy] --version X.Y IN OUT\n\nReads IN and writes its graph, properties "
         "and late-loaded data into OUT in\nformat X.Y (one of 6.4, 7.0, 8.0-8.2, 9.0-9.7, 10.0, 10.1; "
         "formats "
         "6.4 and 7.0\nhave no place for late-loaded data, which is left out). When IN holds content\nthat "
         "X.Y has no place for (face groups or vertex flags before 9.0, auxiliary\nvertex fields before 9.4, "
         "...), nothing is written and the error names the\noldest version that holds it.\n\n  --lossy   "
         "write OUT anyway, leaving that content out\n",
         &cmdConvert},
        {"demo", "build, save and read back a demonstration assembly",
         "Usage: vqtool demo [--keep]\n\nBuilds a car-like assembly in memory (a few hundred parts under "
         "groups and\n"
         "instances, with transforms, materials, LOD and switch nodes, string and number\nproperties, and "
         "wheels "
         "standing for a second file), saves it at 9.5 and 10.0\nin a temporary directory, reads both back, "
         "prints "
         "info and tree, and checks\nthat the two graphs agree; with the exchange library, it then exports the car\nto car.glb and imports that back.\n\n  --keep   keep the temporary directory\n",
         &cmdDemo},
#ifdef VQ_HAVE_EXCHANGE
        {"import", "read a mesh file (OBJ, STL, PLY, OFF, glTF, ...) into a VQ file",
         "Usage: vqtool import [options] IN OUT\n\n"
         "Reads IN in any format the exchange library's reader knows (OBJ, STL, PLY,\n"
         "OFF, glTF/GLB, 3MF, COLLADA, FBX, ...) and writes its hierarchy, names,\n"
         "transforms, materials, normals, texture coordinates, colours and points into\n"
         "the VQ file OUT, a mesh used by several nodes stored once. Triangle meshes get\n"
         "levels of detail made by mesh simplification under range LOD nodes.\n\n"
         "  --format-version X.Y  the VQ format version written (default: the library's)\n"
         "  --compression L       compression level 0 (lossless) to 1 (default 0.01)\n"
         "  --coord-bits N        the compression level that keeps N coordinate bits (9-24)\n"
         "  --lods N              levels of detail per triangle mesh, 1 to 10 (default 3)\n"
         "  --lod-ratios R,...    share of the triangles kept by each level after the first\n"
         "  --lod-errors E,...    largest error of each level after the first, relative to\n"
         "                        the mesh's size\n"
         "  --unit-scale S        length of one unit of IN in the model's units\n"
         "  --no-weld             keep vertices that agree in every attribute apart\n"
         "  -q, --quiet           print nothing but errors\n\n"
         "A file without geometry gives an empty model; coordinates that are not finite\n"
         "numbers are refused. OUT is replaced only once the new file is complete.\n",
         &cmdImport},
        {"export", "write a VQ file as glTF/GLB, OBJ, PLY or STL",
         "Usage: vqtool export [options] IN OUT\n\n"
         "Writes the VQ file IN (with the files it refers to) as OUT, in the format its\n"
         "extension names: .glb or .gltf (hierarchy, transforms and shared meshes kept),\n"
         ".obj, .ply or .stl (one mesh per use, in world coordinates).\n\n"
         "  --lod N        the level of detail taken under LOD nodes, 0 the finest\n"
         "                 (the coarsest there is when a node has fewer)\n"
         "  --flatten      put every mesh in world coordinates under the root\n"
         "  --format F     glb, gltf, obj, ply or stl, whatever OUT's extension\n"
         "  -q, --quiet    print nothing but errors\n\n"
         "OUT is replaced only once the new file is complete.\n",
         &cmdExport},
#endif
    };
    return commands;
}

int vqToolFail(const std::string& message) {
    std::cerr << "vqtool: " << message << "\n";
    return 1;
}
