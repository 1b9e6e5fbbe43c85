#pragma once

#include "VqSquareMatrix.h"

#include <cmath>

// Unit quaternion (x, y, z, w) for rotations.
template <class T>
class VqQuaternion {
public:
    T x = 0, y = 0, z = 0, w = 1;

    constexpr VqQuaternion() = default;
    constexpr VqQuaternion(T qx, T qy, T qz, T qw) : x(qx), y(qy), z(qz), w(qw) {}

    static VqQuaternion fromAxisAngle(const VqFixedVec<T, 3>& axis, T radians) {
        T len = axis.length();
        if (len == T(0)) return VqQuaternion();
        T s = std::sin(radians / 2) / len;
        return VqQuaternion(axis[0] * s, axis[1] * s, axis[2] * s, std::cos(radians / 2));
    }

    VqQuaternion operator*(const VqQuaternion& q) const {
        return VqQuaternion(w * q.x + x * q.w + y * q.z - z * q.y, w * q.y - x * q.z + y * q.w + z * q.x,
                            w * q.z + x * q.y - y * q.x + z * q.w, w * q.w - x * q.x - y * q.y - z * q.z);
    }
    bool operator==(const VqQuaternion& o) const { return x == o.x && y == o.y && z == o.z && w == o.w; }

    // The rotation as a row-vector matrix (see VqSquareMatrix).
    VqSquareMatrix<T, 4> toMatrix() const {
        VqSquareMatrix<T, 4> m;
        m.m[0][0] = 1 - 2 * (y * y + z * z);
        m.m[0][1] = 2 * (x * y + z * w);
        m.m[0][2] = 2 * (x * z - y * w);
        m.m[1][0] = 2 * (x * y - z * w);
        m.m[1][1] = 1 - 2 * (x * x + z * z);
        m.m[1][2] = 2 * (y * z + x * w);
        m.m[2][0] = 2 * (x * z + y * w);
        m.m[2][1] = 2 * (y * z - x * w);
        m.m[2][2] = 1 - 2 * (x * x + y * y);
        return m;
    }
};
