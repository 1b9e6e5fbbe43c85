#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

// A packet image written field by field, in both byte orders at once:
// integers and code-text words are byte-swapped in the most significant
// first image, runs of bit fields (bytes) are not.
class PacketImage {
public:
    using Bytes = std::vector<uint8_t>;

    PacketImage& i32(int64_t v) { return _int(static_cast<uint64_t>(v), 4); }
    PacketImage& i32(std::initializer_list<int64_t> vs) {
        for (int64_t v : vs)
            i32(v);
        return *this;
    }
    PacketImage& i64(int64_t v) { return _int(static_cast<uint64_t>(v), 8); }
    PacketImage& u8(int v) { return bytes({static_cast<uint8_t>(v)}); }
    PacketImage& words(std::initializer_list<uint32_t> ws) {
        for (uint32_t w : ws)
            _int(w, 4);
        return *this;
    }
    PacketImage& bytes(std::initializer_list<uint8_t> bs) {
        _lsb.insert(_lsb.end(), bs);
        _msb.insert(_msb.end(), bs);
        return *this;
    }
    // Bytes that read the same in either order, such as a packet written
    // in the host's order for use as the little-endian image.
    PacketImage& bytes(const Bytes& bs) {
        _lsb.insert(_lsb.end(), bs.begin(), bs.end());
        _msb.insert(_msb.end(), bs.begin(), bs.end());
        return *this;
    }
    PacketImage& image(const PacketImage& inner) {
        _lsb.insert(_lsb.end(), inner._lsb.begin(), inner._lsb.end());
        _msb.insert(_msb.end(), inner._msb.begin(), inner._msb.end());
        return *this;
    }

    const Bytes& lsb() const { return _lsb; }
    const Bytes& msb() const { return _msb; }

private:
    PacketImage& _int(uint64_t v, int n) {
        for (int i = 0; i < n; ++i) {
            _lsb.push_back(static_cast<uint8_t>(v >> (8 * i)));
            _msb.push_back(static_cast<uint8_t>(v >> (8 * (n - 1 - i))));
        }
        return *this;
    }

    Bytes _lsb, _msb;
};
