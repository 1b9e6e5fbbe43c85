#pragma once

#include "VqDataStream.h"
#include "VqErrorState.h"
#include "VqLzmaSegObjectStream.h"
#include "VqMemoryByteStream.h"
#include "VqObjectStream.h"
#include "VqZlibSegObjectStream.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <vector>

// Object streams over memory of the three kinds a packet may land in: a
// plain object stream (shape segments) and the zlib and LZMA segment
// streams, which compress what is written when they are detached.
enum class StreamKind { Plain, Zlib, Lzma };

inline const char* kindName(StreamKind k) {
    return k == StreamKind::Plain ? "plain" : k == StreamKind::Zlib ? "zlib" : "lzma";
}

class CodecStream {
public:
    using Bytes = std::vector<uint8_t>;

    // Runs write on a fresh stream of the kind and returns the stream's bytes
    // (compressed for the segment kinds); empty when write fails.
    static Bytes write(StreamKind kind, const std::function<bool(VqObjectStream&)>& write) {
        Vq::SharedPtr<VqMemoryByteStream> mem = new VqMemoryByteStream(false);
        mem->lock();
        mem->open();
        Vq::SharedPtr<VqDataStream> data = new VqDataStream(mem.get());
        data->open();
        Vq::SharedPtr<VqObjectStream> os = make(kind, data.get());
        os->setVersion(10, 0);
        const bool ok = write(*os);
        os->setDataStream(nullptr);
        mem->unlock();
        if (!ok) return Bytes();
        const VqUChar* p = mem->data();
        return p ? Bytes(p, p + mem->dataLength()) : Bytes();
    }

    // Runs read on a stream of the kind over image, read by a host of the given order.
    static bool read(StreamKind kind, const Bytes& image, const std::function<bool(VqObjectStream&)>& read,
                     VqByteOrder order = VqBaseDataStream::s_systemByteOrder()) {
        Vq::SharedPtr<VqMemoryByteStream> mem = new VqMemoryByteStream(true);
        if (!image.empty()) mem->setData(image.data(), image.size());
        mem->open();
        Vq::SharedPtr<VqDataStream> data = new VqDataStream(mem.get());
        data->open();
        Vq::SharedPtr<VqObjectStream> os = make(kind, data.get());
        os->setVersion(10, 0);
        os->setByteOrder(order);
        return read(*os);
    }

    // The uncompressed content of a segment image (the image itself for plain streams).
    static Bytes content(StreamKind kind, const Bytes& image) {
        if (kind == StreamKind::Plain) return image;
        Bytes out;
        read(kind, image, [&](VqObjectStream& os) {
            VqUChar b = 0;
            while (os.read(&b))
                out.push_back(b);
            VqErrorState::clearError();
            return true;
        });
        return out;
    }

    // A segment image whose content is the given bytes, as a host of the
    // given order frames it (the flag and the length are integers).
    static Bytes segment(StreamKind kind, const Bytes& content,
                         VqByteOrder order = VqBaseDataStream::s_systemByteOrder()) {
        Bytes image = write(kind, [&](VqObjectStream& os) {
            return content.empty() || os.write(content.data(), static_cast<int>(content.size()));
        });
        if (kind != StreamKind::Plain && order != VqBaseDataStream::s_systemByteOrder() &&
            image.size() >= 8) {
            std::reverse(image.begin(), image.begin() + 4);
            std::reverse(image.begin() + 4, image.begin() + 8);
        }
        return image;
    }

private:
    static Vq::SharedPtr<VqObjectStream> make(StreamKind kind, VqDataStream* data) {
        switch (kind) {
        case StreamKind::Zlib:
            return new VqZlibSegObjectStream(data);
        case StreamKind::Lzma:
            return new VqLzmaSegObjectStream(data);
        default:
            return new VqObjectStream(data);
        }
    }
};
