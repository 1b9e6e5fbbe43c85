// Opens a VQ file made of the fuzzer's bytes, walks what it yields (the graph,
// every late-loaded property's segment and every shape's geometry, loaded,
// dropped and loaded again) and saves it into a second file, as a converter
// would. Any input must end in an error or a graph, never a
// crash, hang or leak, and whatever was read must be writable or refused.

#include "VqErrorState.h"
#include "VqLateLoadedPropAtom.h"
#include "VqLib.h"
#include "VqPartition.h"
#include "VqShape.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {
std::string g_dir;

void walk(VqPartition* part) {
    VqNode::walkOnce(part, [&](VqNode* n) {
        for (int i = 0, np = n->numProps(false); i < np; ++i) {
            VqPropAtom* key = nullptr;
            VqPropAtom* value = nullptr;
            if (!n->prop(i, key, value, false)) continue;
            if (auto* ll = Vq::typeCast<VqLateLoadedPropAtom>(value)) ll->ensureData(*part);
        }
        if (auto* s = Vq::typeCast<VqShape>(n)) {
            // What a viewer asks of a shape: its counts and box, then its geometry.
            VqFixedVec<int, 2> counts;
            s->numPolygons(counts);
            s->bBoxRaw();
            if (s->ensureImpl()) s->unloadImpl();
            VqErrorState::clearError();
        }
        // Partition nodes inside would open other files: they are left closed.
        return n != part && n->_isPartitionRoot() ? VqNode::Walk::Prune : VqNode::Walk::Descend;
    });
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!VqLib::init()) return 1;
    // Finalised before the leak check at exit, so that what the library
    // keeps pooled until then is not taken for leaks.
    std::atexit([] { VqLib::fini(); });
    // Each save ends in two fsync calls; in memory they cost nothing, on a
    // disk they would set the pace of the whole run.
    char shm[] = "/dev/shm/vq_fuzz_open_XXXXXX";
    char tmp[] = "/tmp/vq_fuzz_open_XXXXXX";
    char* tmpl = mkdtemp(shm) ? shm : mkdtemp(tmp);
    if (!tmpl) return 1;
    g_dir = std::string(tmpl) + "/";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = g_dir + "input.vq";
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        if (size) std::fwrite(data, 1, size, f);
        std::fclose(f);
    } else {
        return 0;
    }
    Vq::SharedPtr<VqPartition> part;
    if (VqPartition::openFile(path.c_str(), part) && part) {
        walk(part.get());
        part->loadAllShapes();
        VqErrorState::clearError();
        // The zlib format keeps each save cheap next to the open.
        part->saveAs((g_dir + "output.vq").c_str(), {.versionMajor = 9, .versionMinor = 5});
        part->close();
    }
    VqErrorState::clearError();
    return 0;
}
