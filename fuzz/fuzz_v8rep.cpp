// Reads the fuzzer's bytes as one shape's older vertex data: the format-8
// record (lossless or quantized) or the neutral record of 6.4-7.x, into a
// mesh of the chosen kind. Any input must end in an error that leaves the
// mesh without primitives or records, or in a mesh whose arrays agree with
// its pool. A mesh read is written again losslessly and as a neutral record,
// which must read back with the same primitives, and quantized, which must
// read back (its clean-up may drop primitives; a record may carry floats
// that cannot be quantized, NaN among them, which the writer refuses).
//
// Byte 0: bits 0-1 the kind (line strips, points, triangle strips,
// polygons), bit 2 the record (clear: format 8, set: neutral), bit 3 the
// byte order (set: most significant byte first). The rest is the record.

#include "FuzzSetup.h"
#include "VqCompressedRepHelper.h"
#include "VqErrorState.h"
#include "VqInterleavedRepHelper.h"
#include "VqTestObjectStream.h"

#include <cstdint>
#include <vector>

namespace {

// The value count a packet may claim (see vqFuzzInit).
constexpr int kMaxValues = 1 << 20;

bool read(VqTopoMesh& m, const std::vector<uint8_t>& image, bool bNeutral, VqByteOrder order) {
    VqTestObjectStream os = VqTestObjectStream::forReading(image, bNeutral ? 7 : 8, bNeutral ? 0 : 1, order);
    if (bNeutral) return VqInterleavedRepHelper::readDBNeutralFormat(*os, &m);
    VqCompressedRepHelper* h = VqCompressedRepHelper::s_acquireCompressedRepHelper();
    if (!h) abort();
    const bool ok = h->readV8Format(*os, &m);
    VqCompressedRepHelper::s_releaseCompressedRepHelper(h);
    return ok;
}

// Writes m as the chosen record (vtxPrec 0: lossless); false when the
// writer refuses the data.
bool write(const VqTopoMesh& m, bool bNeutral, int vtxPrec, std::vector<uint8_t>& out) {
    VqTestObjectStream os = VqTestObjectStream::forWriting(bNeutral ? 7 : 8, bNeutral ? 0 : 1);
    bool ok = false;
    if (bNeutral) {
        ok = VqInterleavedRepHelper::writeDBNeutralFormat(*os, &m);
    } else {
        VqCompressedRepHelper* h = VqCompressedRepHelper::s_acquireCompressedRepHelper();
        if (!h || !h->setPrec(vtxPrec, 9, 12, 8)) abort();
        ok = h->writeV8Format(*os, &m);
        VqCompressedRepHelper::s_releaseCompressedRepHelper(h);
    }
    out = os.bytes();
    return ok;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    return vqFuzzInit(kMaxValues);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const int kind = data[0] & 3;
    const bool bNeutral = (data[0] & 4) != 0;
    const VqByteOrder order = (data[0] & 8) ? MsbFirst : LsbFirst;
    const std::vector<uint8_t> image(data + 1, data + size);

    Vq::SharedPtr<VqTopoMesh> m = vqFuzzMeshOfKind(kind);
    if (!read(*m, image, bNeutral, order)) {
        if (m->numPrims() != 0 || m->numIndices() != 0 || m->vtxRecPool()->numVtxRecords() != 0) abort();
        VqErrorState::clearError();
        return 0;
    }
    if (!m->verifyTopoMesh(false)) abort();

    std::vector<uint8_t> again;
    for (int pass = 0; pass < 3; ++pass) {
        const bool bN = pass == 1;
        const int prec = pass == 2 ? 20 : 0;
        if (!write(*m, bN, prec, again)) {
            // Only quantizing may refuse what was read.
            if (pass != 2) abort();
            VqErrorState::clearError();
            continue;
        }
        Vq::SharedPtr<VqTopoMesh> back = vqFuzzMeshOfKind(kind);
        if (!read(*back, again, bN, VqBaseDataStream::s_systemByteOrder())) abort();
        if (pass != 2 && (back->numPrims() != m->numPrims() || back->numIndices() != m->numIndices()))
            abort();
    }
    VqErrorState::clearError();
    return 0;
}
