#include "VqToolCommand.h"

#include <iostream>

int cmdTypes(const std::vector<std::string>& args);
int cmdInfo(const std::vector<std::string>& args);
int cmdTree(const std::vector<std::string>& args);
int cmdConvert(const std::vector<std::string>& args);
int cmdDemo(const std::vector<std::string>& args);

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
         "info and tree, and checks\nthat the two graphs agree.\n\n  --keep   keep the temporary directory\n",
         &cmdDemo},
    };
    return commands;
}

int vqToolFail(const std::string& message) {
    std::cerr << "vqtool: " << message << "\n";
    return 1;
}
