#pragma once

#include "PacketCursor.h"
#include "VqCodecDriver2.h"
#include "VqLibFixture.h"
#include "VqTestObjectStream.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <vector>

using Bytes = std::vector<uint8_t>;

// One packet written by a fresh driver (the stream's bytes; empty on failure).
template <class T>
Bytes writePacket(VqVec<T>& values, VqCodecDriver2::VqCodecType codec = VqCodecDriver2::CodecAuto) {
    VqTestObjectStream s = VqTestObjectStream::forWriting(9, 5, false);
    VqCodecDriver2 driver(values);
    if (!driver.serialize(*s, codec)) return Bytes();
    Bytes b = s.bytes();
    EXPECT_EQ(driver.numBytesWritten(), b.size());
    return b;
}

// Reads one packet of image (written by a host of the given order) into
// values; also requires the packet to use every byte.
template <class T>
bool readPacket(const Bytes& image, VqVec<T>& values,
                VqByteOrder order = VqBaseDataStream::s_systemByteOrder()) {
    VqTestObjectStream s = VqTestObjectStream::forReading(image, 9, 5, order, false);
    VqCodecDriver2 driver(values);
    if (!driver.deserialize(*s, INT_MAX)) return false;
    EXPECT_EQ(s->_readLimit(), 0u) << "packet did not use every byte";
    return true;
}

// An independent walk over the packet layout (little-endian images only):
// checks that every length adds up and records, per packet, its nesting
// level and codec type.
class PacketWalker : public PacketCursor {
public:
    struct Packet {
        int level;
        int count;
        int codec;    // -1 for an empty packet
        int chopBits; // of a chopper packet
    };

    explicit PacketWalker(const Bytes& image) : PacketCursor(image) {}

    // False when the layout does not add up to the whole image.
    bool walk() { return _packet(0) && _pos == _image.size(); }
    const std::vector<Packet>& packets() const { return _packets; }
    int maxLevel(int codec) const {
        int m = -1;
        for (const Packet& p : _packets)
            if (p.codec == codec && p.level > m) m = p.level;
        return m;
    }

private:
    bool _context() {
        size_t bitPos = _pos * 8;
        if (_image.size() * 8 - bitPos < 66) return false;
        const uint64_t e = _bits(bitPos, 16);
        const uint64_t w = _bits(bitPos, 6) + _bits(bitPos, 6) + _bits(bitPos, 6);
        bitPos += 32 + size_t(e) * w;
        _pos = (bitPos + 7) / 8;
        return _pos <= _image.size();
    }
    bool _packet(int level) {
        int32_t n = 0;
        int codec = -1;
        if (!_i32(n)) return false;
        if (n == 0) {
            _packets.push_back({level, 0, -1, 0});
            return true;
        }
        if (!_u8(codec)) return false;
        _packets.push_back({level, n, codec, 0});
        if (codec == 4) {
            int k = 0, s = 0;
            int32_t m = 0;
            if (!_u8(k)) return false;
            _packets.back().chopBits = k;
            if (k == 0) return _packet(level + 1);
            if (!_i32(m) || !_u8(s)) return false;
            if (k == s) return _packet(level + 1);
            return _packet(level + 1) && _packet(level + 1);
        }
        int32_t bits = 0;
        if (!_i32(bits) || !_take(size_t((int64_t(bits) + 31) / 32) * 4)) return false;
        if (codec == 1) return true;
        return codec == 3 && _context() && _packet(level + 1);
    }

    std::vector<Packet> _packets;
};
