#include "VqMD5.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {
std::string hex(const uint8_t d[16]) {
    char buf[33];
    for (int i = 0; i < 16; ++i)
        std::snprintf(buf + 2 * i, 3, "%02x", d[i]);
    return buf;
}

std::string md5(const std::string& s) {
    uint8_t d[16];
    Vq::MD5::digest(s.data(), s.size(), d);
    return hex(d);
}
} // namespace

TEST(VqMD5, ReferenceVectors) {
    EXPECT_EQ(md5(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(md5("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(md5("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(md5("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(md5("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(md5("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

// Feeding the message in pieces that straddle the 64-byte blocks and the
// padding boundary (55/56 bytes) gives the one-shot digest.
TEST(VqMD5, PiecewiseUpdatesMatchOneShot) {
    std::string msg;
    for (int i = 0; i < 200; ++i)
        msg.push_back(static_cast<char>('A' + i % 57));
    for (size_t len : {55u, 56u, 63u, 64u, 65u, 119u, 200u}) {
        std::string part = msg.substr(0, len);
        for (size_t step : {1u, 7u, 31u, 64u}) {
            Vq::MD5 m;
            for (size_t i = 0; i < len; i += step)
                m.update(part.data() + i, std::min(step, len - i));
            uint8_t d[16];
            m.final(d);
            EXPECT_EQ(hex(d), md5(part)) << "length " << len << " step " << step;
        }
    }
}
