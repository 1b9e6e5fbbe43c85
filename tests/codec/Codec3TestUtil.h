#pragma once

#include "CodecStreams.h"
#include "PacketCursor.h"
#include "PacketImage.h"
#include "VqCodecDriver3T.h"
#include "VqLibFixture.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

using Bytes = std::vector<uint8_t>;
using Vq::CodecDriver3Base;

// One version-3 packet written by a fresh driver into a stream of the kind
// (the stream's bytes, compressed for segment streams; empty on failure).
template <class T>
Bytes write3(const VqVec<T>& values, CodecDriver3Base::VqCodecType codec = CodecDriver3Base::CodecAuto,
             StreamKind kind = StreamKind::Plain) {
    Vq::CodecDriver3T<T> driver;
    return CodecStream::write(kind, [&](VqObjectStream& os) {
        if (!driver.serialize(os, values, codec)) return false;
        // A plain stream holds just the packet.
        if (kind == StreamKind::Plain) {
            uint64_t pos = 0;
            os.getPosition(pos);
            EXPECT_EQ(driver.numBytesWritten(), pos);
        }
        return true;
    });
}

template <class T>
bool read3(const Bytes& image, VqVec<T>& values, StreamKind kind = StreamKind::Plain,
           VqByteOrder order = VqBaseDataStream::s_systemByteOrder()) {
    Vq::CodecDriver3T<T> driver;
    return CodecStream::read(
        kind, image,
        [&](VqObjectStream& os) {
            if (!driver.deserialize(os, values, INT_MAX)) return false;
            EXPECT_EQ(driver.numValues(), values.length());
            if (kind == StreamKind::Plain) {
                EXPECT_EQ(os._readLimit(), 0u) << "packet did not use every byte";
            }
            return true;
        },
        order);
}

// The start of a version-3 packet whose codec keeps a code text: the value
// count, the codec, the code text's bit count and its words.
inline PacketImage packet3(int n, int codec, int bits, std::initializer_list<uint32_t> words) {
    return PacketImage().i32(n).u8(codec).i32(bits).words(words);
}

// An independent walk over the packet layout (little-endian, uncompressed
// content): checks that every length adds up and records, per packet, its
// nesting level and codec type, and whether out-of-band values were raw.
class Packet3Walker : public PacketCursor {
public:
    struct Packet {
        int level;
        int count;
        int codec; // -1 for an empty packet
        bool rawOOB;
    };

    Packet3Walker(const Bytes& image, int valueBytes, bool rawOOB)
        : PacketCursor(image), _nValueBytes(valueBytes), _bRawOOB(rawOOB) {}

    bool walk() { return _packet(0) && _pos == _image.size(); }
    const std::vector<Packet>& packets() const { return _packets; }
    int maxLevel() const {
        int m = 0;
        for (const Packet& p : _packets)
            m = std::max(m, p.level);
        return m;
    }
    // Codec types of the packets directly inside packets of codec outer.
    std::vector<int> nestedIn(int outer) const {
        std::vector<int> out;
        for (size_t i = 0; i < _packets.size(); ++i)
            if (_packets[i].codec == outer)
                for (size_t j = i + 1; j < _packets.size() && _packets[j].level > _packets[i].level; ++j)
                    if (_packets[j].level == _packets[i].level + 1) out.push_back(_packets[j].codec);
        return out;
    }

private:
    // Returns whether the context has an escape entry.
    bool _context(bool& escape) {
        size_t bitPos = _pos * 8;
        const size_t head = 16 + 6 + 7 + 8 * size_t(_nValueBytes);
        if (_image.size() * 8 - bitPos < head) return false;
        const uint64_t e = _bits(bitPos, 16);
        const int bc = static_cast<int>(_bits(bitPos, 6)), bv = static_cast<int>(_bits(bitPos, 7));
        bitPos += 8 * size_t(_nValueBytes);
        if ((_image.size() * 8 - bitPos) < e * (1 + bc + bv)) return false;
        escape = false;
        for (uint64_t i = 0; i < e; ++i) {
            escape |= _bits(bitPos, 1) != 0;
            bitPos += size_t(bc + bv);
        }
        _pos = (bitPos + 7) / 8;
        return true;
    }
    bool _packet(int level) {
        int32_t n = 0;
        int codec = -1;
        if (!_i32(n)) return false;
        if (n == 0) {
            _packets.push_back({level, 0, -1, false});
            return true;
        }
        if (!_u8(codec)) return false;
        _packets.push_back({level, n, codec, false});
        const size_t self = _packets.size() - 1;
        if (codec == 4) {
            int k = 0, s = 0;
            return _u8(k) && _take(size_t(_nValueBytes)) && _u8(s) && _packet(level + 1) &&
                   _packet(level + 1);
        }
        if (codec == 5) return _packet(level + 1) && _packet(level + 1);
        int32_t bits = 0;
        if (!_i32(bits) || !_take(size_t((int64_t(bits) + 31) / 32) * 4)) return false;
        if (codec == 1) return true;
        bool escape = false;
        if (codec != 3 || !_context(escape)) return false;
        if (!escape) return true;
        if (_bRawOOB) {
            int32_t nOOB = 0;
            _packets[self].rawOOB = true;
            return _i32(nOOB) && nOOB >= 0 && _take(size_t(nOOB) * size_t(_nValueBytes));
        }
        return _packet(level + 1);
    }

    const int _nValueBytes;
    const bool _bRawOOB;
    std::vector<Packet> _packets;
};
