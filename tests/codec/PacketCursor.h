#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

// Reads a little-endian packet image field by field for the independent
// layout walkers: each read fails instead of running past the end.
class PacketCursor {
public:
    using Bytes = std::vector<uint8_t>;

    explicit PacketCursor(const Bytes& image) : _image(image) {}

protected:
    bool _take(size_t n) {
        if (_image.size() - _pos < n) return false;
        _pos += n;
        return true;
    }
    bool _i32(int32_t& v) {
        if (_image.size() - _pos < 4) return false;
        std::memcpy(&v, &_image[_pos], 4);
        _pos += 4;
        return true;
    }
    bool _u8(int& v) {
        if (_pos >= _image.size()) return false;
        v = _image[_pos++];
        return true;
    }
    // Bit fields, most significant bit first; the caller checks the room.
    uint64_t _bits(size_t& bitPos, int n) const {
        uint64_t v = 0;
        for (int i = 0; i < n; ++i, ++bitPos)
            v = (v << 1) | ((_image[bitPos / 8] >> (7 - bitPos % 8)) & 1u);
        return v;
    }

    const Bytes _image;
    size_t _pos = 0;
};
