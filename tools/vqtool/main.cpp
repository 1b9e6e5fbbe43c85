#include "VqErrorState.h"
#include "VqLib.h"
#include "VqToolCommand.h"

#include <cstring>
#include <iostream>

namespace {
void printUsage(std::ostream& os) {
    os << "Usage: vqtool [--help] [--version] <command> [options] [arguments]\n\n"
          "Inspects and converts VQ files.\n\nCommands:\n";
    for (const VqToolCommand& c : vqToolCommands()) {
        os << "  " << c.name;
        for (size_t i = std::strlen(c.name); i < 10; ++i) os << ' ';
        os << c.summary << "\n";
    }
    os << "\nRun 'vqtool <command> --help' for a command's options.\n";
}
} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        printUsage(std::cerr);
        return 2;
    }
    std::string first = argv[1];
    if (first == "--help" || first == "-h" || first == "help") {
        printUsage(std::cout);
        return 0;
    }
    if (first == "--version" || first == "-V") {
        if (!VqLib::init()) return vqToolFail("cannot initialise the library: " + Vq::lastErrorMessage());
        const VqBuildInfo& info = VqLib::buildInfo();
        std::cout << "vqtool " << info.strVersion << " (libVq81 " << info.strVersion << ", " << info.strStatus
                  << ", " << info.strBuild << ")\n";
        VqLib::fini();
        return 0;
    }
    for (const VqToolCommand& c : vqToolCommands()) {
        if (first != c.name) continue;
        std::vector<std::string> args(argv + 2, argv + argc);
        for (const std::string& a : args) {
            if (a == "--help" || a == "-h") {
                std::cout << c.help;
                return 0;
            }
        }
        if (!VqLib::init()) return vqToolFail("cannot initialise the library: " + Vq::lastErrorMessage());
        int rc = c.run(args);
        VqLib::fini();
        return rc;
    }
    return vqToolFail("unknown command '" + first + "' (see 'vqtool --help')");
}
