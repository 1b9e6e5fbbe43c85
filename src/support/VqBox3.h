#pragma once

#include "VqFixedVec.h"

#include <algorithm>

// Axis-aligned box. It is empty while any minimum exceeds its maximum; a new
// box holds the empty sentinel of ±3.4e38 in every axis.
template <class T>
class VqBox3 {
public:
    static constexpr T s_emptyValue = static_cast<T>(3.4e38);

    VqFixedVec<T, 3> min{s_emptyValue, s_emptyValue, s_emptyValue};
    VqFixedVec<T, 3> max{-s_emptyValue, -s_emptyValue, -s_emptyValue};

    constexpr VqBox3() = default;
    constexpr VqBox3(const VqFixedVec<T, 3>& lo, const VqFixedVec<T, 3>& hi) : min(lo), max(hi) {}

    bool isEmpty() const { return min[0] > max[0] || min[1] > max[1] || min[2] > max[2]; }
    void makeEmpty() { *this = VqBox3(); }

    void extendBy(const VqFixedVec<T, 3>& p) {
        for (int i = 0; i < 3; ++i) {
            min[i] = std::min(min[i], p[i]);
            max[i] = std::max(max[i], p[i]);
        }
    }
    void extendBy(const VqBox3& b) {
        if (b.isEmpty()) return;
        extendBy(b.min);
        extendBy(b.max);
    }
    VqFixedVec<T, 3> center() const { return (min + max) * static_cast<T>(0.5); }
    VqFixedVec<T, 3> size() const { return max - min; }
    bool contains(const VqFixedVec<T, 3>& p) const {
        for (int i = 0; i < 3; ++i)
            if (p[i] < min[i] || p[i] > max[i]) return false;
        return true;
    }
    bool intersects(const VqBox3& b) const {
        for (int i = 0; i < 3; ++i)
            if (b.max[i] < min[i] || b.min[i] > max[i]) return false;
        return true;
    }
    bool operator==(const VqBox3& o) const { return min == o.min && max == o.max; }
    bool operator!=(const VqBox3& o) const { return !(*this == o); }
};

// Sphere by centre and radius; a negative radius is empty.
template <class T>
class VqSphere3 {
public:
    VqFixedVec<T, 3> center{};
    T radius = static_cast<T>(-1);

    constexpr VqSphere3() = default;
    constexpr VqSphere3(const VqFixedVec<T, 3>& c, T r) : center(c), radius(r) {}
    explicit VqSphere3(const VqBox3<T>& box) {
        if (box.isEmpty()) return;
        center = box.center();
        radius = (box.max - center).length();
    }
    bool isEmpty() const { return radius < 0; }
    bool operator==(const VqSphere3& o) const { return center == o.center && radius == o.radius; }
};

// Plane n·x + d = 0.
template <class T>
class VqPlane3 {
public:
    VqFixedVec<T, 3> normal{static_cast<T>(0), static_cast<T>(0), static_cast<T>(1)};
    T d = 0;

    constexpr VqPlane3() = default;
    constexpr VqPlane3(const VqFixedVec<T, 3>& n, T dist) : normal(n), d(dist) {}
    T distance(const VqFixedVec<T, 3>& p) const { return normal.dot(p) + d; }
    bool operator==(const VqPlane3& o) const { return normal == o.normal && d == o.d; }
};

// Ray from an origin along a direction.
template <class T>
class VqRay3 {
public:
    VqFixedVec<T, 3> origin{};
    VqFixedVec<T, 3> direction{static_cast<T>(0), static_cast<T>(0), static_cast<T>(-1)};

    constexpr VqRay3() = default;
    constexpr VqRay3(const VqFixedVec<T, 3>& o, const VqFixedVec<T, 3>& dir) : origin(o), direction(dir) {}
    VqFixedVec<T, 3> at(T t) const { return origin + direction * t; }
};
