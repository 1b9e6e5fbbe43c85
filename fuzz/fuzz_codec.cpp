// Reads an integer packet made of the fuzzer's bytes, as a loader would,
// with the driver of each packet generation. Any input must end in an error
// or in values, never a crash, hang or leak; and values that were read must
// write again and read back the same, or the target aborts.
//
// Byte 0 chooses the driver: 0 version 2, 1 version 3 (int), 2 version 3
// (long), 3 version 1; anything else version 2. Byte 1 holds the driver's
// flags; the packet follows.
// - Version 2: bit 0 the byte order (set: most significant byte first), bit
//   1 the vector (set: unsigned), bits 2-5 the predictor (12 and above:
//   triples with the previous-value predictor), bits 6-7 the codec of the
//   rewrite (automatic, bit-length, arithmetic, chopper).
// - Version 3: bit 0 the byte order, bits 1-2 the stream (plain, zlib
//   segment, LZMA segment, plain; a segment stream gets the packet
//   compressed as its content), bits 3-4 the predictor (3: none), bits 5-7
//   the codec of the rewrite (automatic, bit-length, arithmetic, chopper,
//   move-to-front, then automatic).
// - Version 1: bit 0 the byte order, bit 1 the array (set: double), bits 2-5
//   the predictor (above 8: none), bits 6-7 the codec of the rewrite
//   (automatic, bit-length, Huffman, arithmetic).

#include "FuzzSetup.h"
#include "VqCodecDriver.h"
#include "VqCodecDriver2.h"
#include "VqCodecDriver3T.h"
#include "VqDataStream.h"
#include "VqErrorState.h"
#include "VqLzmaSegObjectStream.h"
#include "VqMemoryByteStream.h"
#include "VqObjectStream.h"
#include "VqZlibSegObjectStream.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <type_traits>
#include <vector>

namespace {
// More values than an input of a few kilobytes codes at any useful rate;
// near-constant packets can claim more, and would only make runs slow.
constexpr int kMaxValues = 1 << 16;

using Bytes = std::vector<uint8_t>;
enum class Kind { Plain, Zlib, Lzma };

Vq::SharedPtr<VqObjectStream> makeStream(Kind kind, VqDataStream* data) {
    switch (kind) {
    case Kind::Zlib:
        return new VqZlibSegObjectStream(data);
    case Kind::Lzma:
        return new VqLzmaSegObjectStream(data);
    default:
        return new VqObjectStream(data);
    }
}

// Runs write on a stream of the kind over memory; the bytes written
// (compressed for segment streams), or nothing when write fails.
bool writeStream(Kind kind, Bytes& out, const std::function<bool(VqObjectStream&)>& write) {
    Vq::SharedPtr<VqMemoryByteStream> mem = new VqMemoryByteStream(false);
    mem->lock();
    mem->open();
    Vq::SharedPtr<VqDataStream> data = new VqDataStream(mem.get());
    data->open();
    Vq::SharedPtr<VqObjectStream> os = makeStream(kind, data.get());
    os->setVersion(10, 0);
    const bool ok = write(*os);
    os->setDataStream(nullptr);
    mem->unlock();
    if (mem->data()) out.assign(mem->data(), mem->data() + mem->dataLength());
    return ok;
}

bool readStream(Kind kind, const uint8_t* data, size_t size, VqByteOrder order,
                const std::function<bool(VqObjectStream&)>& read) {
    Vq::SharedPtr<VqMemoryByteStream> mem = new VqMemoryByteStream(true);
    if (size > 0) mem->setData(data, size);
    mem->open();
    Vq::SharedPtr<VqDataStream> ds = new VqDataStream(mem.get());
    ds->open();
    Vq::SharedPtr<VqObjectStream> os = makeStream(kind, ds.get());
    os->setVersion(10, 0);
    os->setByteOrder(order);
    return read(*os);
}

// Plain streams keep the version-2 target's old setting of format 9.5.
Vq::SharedPtr<VqObjectStream> memoryStream(VqMemoryByteStream* bytes, VqByteOrder order) {
    Vq::SharedPtr<VqDataStream> data = new VqDataStream(bytes);
    data->open();
    Vq::SharedPtr<VqObjectStream> stream = new VqObjectStream(data.get());
    stream->setVersion(9, 5);
    stream->setByteOrder(order);
    return stream;
}

template <class V>
void version2(const uint8_t* data, size_t size, VqByteOrder order, int predictor, int codec) {
    Vq::SharedPtr<VqMemoryByteStream> in = new VqMemoryByteStream(true);
    if (size > 0) in->setData(data, size);
    V values;
    VqCodecDriver2 reader(values);
    if (!reader.deserialize(*memoryStream(in.get(), order), kMaxValues)) return;

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
    // What was written is exactly what the reader may need.
    if (!rereader.deserialize(*memoryStream(back.get(), VqBaseDataStream::s_systemByteOrder()),
                              values.length()))
        abort();
    if (again != values) abort();
}

template <class T>
void version3(const uint8_t* data, size_t size, uint8_t flags) {
    using Driver = Vq::CodecDriver3T<T>;
    const VqByteOrder order = flags & 1 ? MsbFirst : LsbFirst;
    const Kind kind = ((flags >> 1) & 3) == 1   ? Kind::Zlib
                      : ((flags >> 1) & 3) == 2 ? Kind::Lzma
                                                : Kind::Plain;
    const int predictor = (flags >> 3) & 3;
    const int codec = flags >> 5;

    // A segment stream reads what it decompresses: the packet goes in as content.
    Bytes image(data, data + size);
    if (kind != Kind::Plain &&
        !writeStream(kind, image, [&](VqObjectStream& os) { return size == 0 || os.write(data, int(size)); }))
        abort();
    VqVec<T> values;
    Driver reader;
    if (!readStream(kind, image.data(), image.size(), order,
                    [&](VqObjectStream& os) { return reader.deserialize(os, values, kMaxValues); }))
        return;
    if (predictor < 3 && !Driver::unpackResiduals(
                             values, values, static_cast<Vq::CodecDriver3Base::VqPredictorType>(predictor)))
        abort();

    const Vq::CodecDriver3Base::VqCodecType codecs[] = {
        Vq::CodecDriver3Base::CodecAuto, Vq::CodecDriver3Base::CodecBitLength,
        Vq::CodecDriver3Base::CodecArithmetic, Vq::CodecDriver3Base::CodecChopper,
        Vq::CodecDriver3Base::CodecMoveToFront};
    Vq::CodecDriver3Base::VqCodecType eCodec = codec < 5 ? codecs[codec] : Vq::CodecDriver3Base::CodecAuto;
    // A chopper needs values that span two bits or more.
    if (eCodec == Vq::CodecDriver3Base::CodecChopper &&
        Driver::s_computeValueStatistics(values.data(), values.length()).cValueSpanBits < 2)
        eCodec = Vq::CodecDriver3Base::CodecAuto;
    Bytes out;
    Driver writer;
    if (!writeStream(kind, out, [&](VqObjectStream& os) { return writer.serialize(os, values, eCodec); }))
        abort();
    VqVec<T> again;
    if (!readStream(kind, out.data(), out.size(), VqBaseDataStream::s_systemByteOrder(),
                    [&](VqObjectStream& os) { return reader.deserialize(os, again, values.length()); }))
        abort();
    if (again != values) abort();
}

template <class T>
void version1(const uint8_t* data, size_t size, uint8_t flags) {
    const VqByteOrder order = flags & 1 ? MsbFirst : LsbFirst;
    const int predictor = (flags >> 2) & 0xF;
    const int codec = flags >> 6;
    VqVec<T> values;
    VqCodecDriver<T> reader(values);
    auto pred = predictor <= VqCodecDriverBase::PredNull
                    ? static_cast<VqCodecDriverBase::VqPredictorType>(predictor)
                    : VqCodecDriverBase::PredNull;
    // Doubles take no xor.
    if (std::is_same_v<T, double> && !VqResidualPredictor::isValidForDouble(pred))
        pred = VqCodecDriverBase::PredNull;
    if (!readStream(Kind::Plain, data, size, order,
                    [&](VqObjectStream& os) { return reader.deserialize(os, pred, kMaxValues); }))
        return;

    const VqCodecDriverBase::VqCodecType codecs[] = {
        VqCodecDriverBase::CodecNone, VqCodecDriverBase::CodecBitLength, VqCodecDriverBase::CodecHuffman,
        VqCodecDriverBase::CodecArithmetic};
    Bytes out;
    VqCodecDriver<T> writer(values);
    if (!writeStream(Kind::Plain, out,
                     [&](VqObjectStream& os) { return writer.serialize(os, codecs[codec]); }))
        abort();
    VqVec<T> again;
    VqCodecDriver<T> rereader(again);
    if (!readStream(Kind::Plain, out.data(), out.size(), VqBaseDataStream::s_systemByteOrder(),
                    [&](VqObjectStream& os) {
                        return rereader.deserialize(os, VqCodecDriverBase::PredNull, values.length());
                    }))
        abort();
    // Bit for bit: a double may be a NaN.
    if (again.size() != values.size() ||
        (!values.empty() && std::memcmp(again.data(), values.data(), values.size() * sizeof(T)) != 0))
        abort();
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    return vqFuzzInit(kMaxValues);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t driver = data[0], flags = data[1];
    data += 2;
    size -= 2;
    switch (driver) {
    case 1:
        version3<int>(data, size, flags);
        break;
    case 2:
        version3<long>(data, size, flags);
        break;
    case 3:
        if (flags & 2)
            version1<double>(data, size, flags);
        else
            version1<int>(data, size, flags);
        break;
    default: {
        const VqByteOrder order = flags & 1 ? MsbFirst : LsbFirst;
        const int predictor = (flags >> 2) & 0xF;
        const int codec = flags >> 6;
        if (flags & 2)
            version2<VqVecu>(data, size, order, predictor, codec);
        else
            version2<VqVeci>(data, size, order, predictor, codec);
    }
    }
    VqErrorState::clearError();
    return 0;
}
