#pragma once

#include <cmath>
#include <cstddef>

// A fixed-size vector of n values: points, directions, colours, pairs.
template <class T, int n>
class VqFixedVec {
public:
    T v[n] = {};

    constexpr VqFixedVec() = default;
    template <class... A>
    constexpr VqFixedVec(T first, A... rest) : v{first, static_cast<T>(rest)...} {
        static_assert(sizeof...(A) + 1 == n, "one value per component");
    }

    static constexpr int size() { return n; }
    T& operator[](int i) { return v[i]; }
    const T& operator[](int i) const { return v[i]; }
    T* data() { return v; }
    const T* data() const { return v; }

    bool operator==(const VqFixedVec& o) const {
        for (int i = 0; i < n; ++i)
            if (!(v[i] == o.v[i])) return false;
        return true;
    }
    bool operator!=(const VqFixedVec& o) const { return !(*this == o); }

    VqFixedVec operator+(const VqFixedVec& o) const {
        VqFixedVec r;
        for (int i = 0; i < n; ++i) r.v[i] = v[i] + o.v[i];
        return r;
    }
    VqFixedVec operator-(const VqFixedVec& o) const {
        VqFixedVec r;
        for (int i = 0; i < n; ++i) r.v[i] = v[i] - o.v[i];
        return r;
    }
    VqFixedVec operator*(T s) const {
        VqFixedVec r;
        for (int i = 0; i < n; ++i) r.v[i] = v[i] * s;
        return r;
    }
    VqFixedVec& operator+=(const VqFixedVec& o) {
        for (int i = 0; i < n; ++i) v[i] += o.v[i];
        return *this;
    }
    T dot(const VqFixedVec& o) const {
        T s = T();
        for (int i = 0; i < n; ++i) s += v[i] * o.v[i];
        return s;
    }
    T length() const { return static_cast<T>(std::sqrt(dot(*this))); }
};

template <class T>
VqFixedVec<T, 3> vqCross(const VqFixedVec<T, 3>& a, const VqFixedVec<T, 3>& b) {
    return VqFixedVec<T, 3>(a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]);
}

typedef VqFixedVec<float, 2> VqVec2f;
typedef VqFixedVec<float, 3> VqVec3f;
typedef VqFixedVec<float, 4> VqVec4f;
typedef VqFixedVec<double, 3> VqVec3d;
