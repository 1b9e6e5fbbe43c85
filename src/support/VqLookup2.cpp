#include "VqLookup2.h"

namespace {

inline void mix(uint32_t& a, uint32_t& b, uint32_t& c) {
    a -= b;
    a -= c;
    a ^= (c >> 13);
    b -= c;
    b -= a;
    b ^= (a << 8);
    c -= a;
    c -= b;
    c ^= (b >> 13);
    a -= b;
    a -= c;
    a ^= (c >> 12);
    b -= c;
    b -= a;
    b ^= (a << 16);
    c -= a;
    c -= b;
    c ^= (b >> 5);
    a -= b;
    a -= c;
    a ^= (c >> 3);
    b -= c;
    b -= a;
    b ^= (a << 10);
    c -= a;
    c -= b;
    c ^= (b >> 15);
}

} // namespace

uint32_t vqLookup2(const uint8_t* k, uint32_t length, uint32_t initval) {
    uint32_t a = 0x9e3779b9, b = 0x9e3779b9, c = initval;
    uint32_t len = length;
    while (len >= 12) {
        a += k[0] + (uint32_t(k[1]) << 8) + (uint32_t(k[2]) << 16) + (uint32_t(k[3]) << 24);
        b += k[4] + (uint32_t(k[5]) << 8) + (uint32_t(k[6]) << 16) + (uint32_t(k[7]) << 24);
        c += k[8] + (uint32_t(k[9]) << 8) + (uint32_t(k[10]) << 16) + (uint32_t(k[11]) << 24);
        mix(a, b, c);
        k += 12;
        len -= 12;
    }
    c += length;
    // The lowest byte of c holds the length, so the tail starts at its second byte.
    switch (len) {
    case 11:
        c += uint32_t(k[10]) << 24;
        [[fallthrough]];
    case 10:
        c += uint32_t(k[9]) << 16;
        [[fallthrough]];
    case 9:
        c += uint32_t(k[8]) << 8;
        [[fallthrough]];
    case 8:
        b += uint32_t(k[7]) << 24;
        [[fallthrough]];
    case 7:
        b += uint32_t(k[6]) << 16;
        [[fallthrough]];
    case 6:
        b += uint32_t(k[5]) << 8;
        [[fallthrough]];
    case 5:
        b += k[4];
        [[fallthrough]];
    case 4:
        a += uint32_t(k[3]) << 24;
        [[fallthrough]];
    case 3:
        a += uint32_t(k[2]) << 16;
        [[fallthrough]];
    case 2:
        a += uint32_t(k[1]) << 8;
        [[fallthrough]];
    case 1:
        a += k[0];
    }
    mix(a, b, c);
    return c;
}

uint32_t vqLookup2Words(const uint32_t* k, uint32_t length, uint32_t initval) {
    uint32_t a = 0x9e3779b9, b = 0x9e3779b9, c = initval;
    uint32_t len = length;
    while (len >= 3) {
        a += k[0];
        b += k[1];
        c += k[2];
        mix(a, b, c);
        k += 3;
        len -= 3;
    }
    c += length << 2;
    switch (len) {
    case 2:
        b += k[1];
        [[fallthrough]];
    case 1:
        a += k[0];
    }
    mix(a, b, c);
    return c;
}
