// Reads the fuzzer's bytes as a topology mesh record (head, the kind's
// level and its connectivity with the vertex data), as a plain object stream
// of the chosen format would hand it over. Any input must end in an error or
// in a mesh whose arrays agree with its pool. A mesh read is written again
// where it can be (a record may carry raw values, NaN among them, beside bit
// counts that would quantise them, which the writer refuses), and what is
// written must read back. A failed read must leave the mesh without
// primitives.
//
// Byte 0: bits 0-1 the kind (line strips, points, triangle strips,
// polygons), bits 2-3 the format (9.0, 9.4, 10; 3 is 10 as well). The rest
// is the record.

#include "FuzzSetup.h"
#include "VqErrorState.h"
#include "VqTestObjectStream.h"

#include <cstdint>
#include <vector>

namespace {

// The value count a packet may claim (see vqFuzzInit).
constexpr int kMaxValues = 1 << 20;

bool readRecord(VqTopoMesh& m, const std::vector<uint8_t>& image, VqFuzzFormat f) {
    VqTestObjectStream os = VqTestObjectStream::forReading(image, f.major, f.minor);
    return m.deserializeVersion(*os, f.major, f.minor);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    return vqFuzzInit(kMaxValues);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const int kind = data[0] & 3;
    const VqFuzzFormat f = kVqFuzzFormats[(data[0] >> 2) & 3];
    const std::vector<uint8_t> image(data + 1, data + size);

    Vq::SharedPtr<VqTopoMesh> m = vqFuzzMeshOfKind(kind);
    if (!readRecord(*m, image, f)) {
        if (m->numPrims() != 0 || m->numIndices() != 0) abort();
        VqErrorState::clearError();
        return 0;
    }
    if (!m->verifyTopoMesh(false)) abort();

    std::vector<uint8_t> again;
    {
        VqTestObjectStream os = VqTestObjectStream::forWriting(f.major, f.minor);
        if (!m->serializeVersion(*os, f.major, f.minor)) {
            VqErrorState::clearError();
            return 0;
        }
        again = os.bytes();
    }
    Vq::SharedPtr<VqTopoMesh> back = vqFuzzMeshOfKind(kind);
    if (!readRecord(*back, again, f)) abort();
    if (back->numPrims() != m->numPrims() || back->numIndices() != m->numIndices()) abort();
    VqErrorState::clearError();
    return 0;
}
