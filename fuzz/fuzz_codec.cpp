// Reads a version-2 integer packet made of the fuzzer's bytes, as a loader
// would: into an int or an unsigned vector, in either byte order, then
// undoing a predictor over the values (or over triples, as vertex codes
// are). Any input must end in an error or in values, never a crash, hang or
// leak; and values that were read must write with any codec and read back
// the same, or the target aborts.
//
// Byte 0 chooses: bit 0 the byte order (set: most significant byte first),
// bit 1 the vector (set: unsigned), bits 2-5 the predictor (12 and above:
// triples with the previous-value predictor), bits 6-7 the codec of the
// rewrite (automatic, bit-length, arithmetic, chopper). The packet follows.

#include "VqCodecDriver2.h"
#include "VqDataStream.h"
#include "VqErrorState.h"
#include "VqLib.h"
#include "VqMemoryByteStream.h"
#include "VqObjectStream.h"

#include <cstdint>
#include <cstdlib>
#include <type_traits>

namespace {
// More values than an input of a few kilobytes codes at any useful rate;
// near-constant packets can claim more, and would only make runs slow.
constexpr int kMaxValues = 1 << 16;

Vq::SharedPtr<VqObjectStream> memoryStream(VqMemoryByteStream* bytes, VqByteOrder order) {
    Vq::SharedPtr<VqDataStream> data = new VqDataStream(bytes);
    data->open();
    Vq::SharedPtr<VqObjectStream> stream = new VqObjectStream(data.get());
    stream->setVersion(9, 5);
    stream->setByteOrder(order);
    return stream;
}

template <class V>
void readAndRewrite(const uint8_t* data, size_t size, VqByteOrder order, int predictor, int codec) {
    Vq::SharedPtr<VqMemoryByteStream> in = new VqMemoryByteStream(true);
    if (size > 0) in->setData(data, size);
    V values;
    VqCodecDriver2 reader(values);
    if (!reader.deserialize(*memoryStream(in.get(), order))) return;

    V residuals = values;
    if (predictor < VqResidualPredictor::NumPredictorTypes) {
        auto type = static_cast<VqCodecDriver2::VqPredictorType>(predictor);
        if (!VqCodecDriver2::unpackResiduals(residuals, values, type)) abort();
    } else if constexpr (std::is_same_v<V, VqVeci>) {
        if (!VqCodecDriver2::unpackTripleResiduals(residuals.data(), values.data(), values.length() / 3,
                                                   VqCodecDriver2::PredLag1))
            abort();
    }

    Vq::SharedPtr<VqMemoryByteStream> out = new VqMemoryByteStream(false);
    VqCodecDriver2 writer(values);
    const auto codecs = {VqCodecDriver2::CodecAuto, VqCodecDriver2::CodecBitLength,
                         VqCodecDriver2::CodecArithmetic, VqCodecDriver2::CodecChopper};
    if (!writer.serialize(*memoryStream(out.get(), VqBaseDataStream::s_systemByteOrder()),
                          codecs.begin()[codec]))
        abort();
    Vq::SharedPtr<VqMemoryByteStream> back = new VqMemoryByteStream(true);
    back->setData(out->data(), out->dataLength());
    V again;
    VqCodecDriver2 rereader(again);
    if (!rereader.deserialize(*memoryStream(back.get(), VqBaseDataStream::s_systemByteOrder()))) abort();
    if (again != values) abort();
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!VqLib::init()) return 1;
    VqCodecDriver2::s_setMaxValueCount(kMaxValues);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t flags = data[0];
    const VqByteOrder order = flags & 1 ? MsbFirst : LsbFirst;
    const int predictor = (flags >> 2) & 0xF;
    const int codec = flags >> 6;
    if (flags & 2)
        readAndRewrite<VqVecu>(data + 1, size - 1, order, predictor, codec);
    else
        readAndRewrite<VqVeci>(data + 1, size - 1, order, predictor, codec);
    VqErrorState::clearError();
    return 0;
}
