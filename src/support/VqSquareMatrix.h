#pragma once

#include "VqBox3.h"

#include <cmath>

// n×n matrix stored row by row, acting on row vectors (p' = p·M), so that a
// translation sits in the last row and transforms compose left to right.
template <class T, int n>
class VqSquareMatrix {
public:
    T m[n][n];

    VqSquareMatrix() { makeIdentity(); }
    template <class U>
    explicit VqSquareMatrix(const VqSquareMatrix<U, n>& o) {
        for (int r = 0; r < n; ++r)
            for (int c = 0; c < n; ++c) m[r][c] = static_cast<T>(o.m[r][c]);
    }

    void makeIdentity() {
        for (int r = 0; r < n; ++r)
            for (int c = 0; c < n; ++c) m[r][c] = r == c ? T(1) : T(0);
    }
    bool isIdentity() const {
        for (int r = 0; r < n; ++r)
            for (int c = 0; c < n; ++c)
                if (m[r][c] != (r == c ? T(1) : T(0))) return false;
        return true;
    }
    T* operator[](int r) { return m[r]; }
    const T* operator[](int r) const { return m[r]; }

    VqSquareMatrix operator*(const VqSquareMatrix& o) const {
        VqSquareMatrix out;
        for (int r = 0; r < n; ++r)
            for (int c = 0; c < n; ++c) {
                T s = T(0);
                for (int k = 0; k < n; ++k) s += m[r][k] * o.m[k][c];
                out.m[r][c] = s;
            }
        return out;
    }
    bool operator==(const VqSquareMatrix& o) const {
        for (int r = 0; r < n; ++r)
            for (int c = 0; c < n; ++c)
                if (m[r][c] != o.m[r][c]) return false;
        return true;
    }
    bool operator!=(const VqSquareMatrix& o) const { return !(*this == o); }

    VqSquareMatrix transposed() const {
        VqSquareMatrix t;
        for (int r = 0; r < n; ++r)
            for (int c = 0; c < n; ++c) t.m[r][c] = m[c][r];
        return t;
    }

    // Gauss-Jordan with partial pivoting; false for a singular matrix.
    bool invert(VqSquareMatrix& out) const {
        T a[n][2 * n];
        for (int r = 0; r < n; ++r)
            for (int c = 0; c < n; ++c) {
                a[r][c] = m[r][c];
                a[r][c + n] = r == c ? T(1) : T(0);
            }
        for (int c = 0; c < n; ++c) {
            int p = c;
            for (int r = c + 1; r < n; ++r)
                if (std::fabs(a[r][c]) > std::fabs(a[p][c])) p = r;
            if (a[p][c] == T(0)) return false;
            if (p != c)
                for (int k = 0; k < 2 * n; ++k) std::swap(a[p][k], a[c][k]);
            T inv = T(1) / a[c][c];
            for (int k = 0; k < 2 * n; ++k) a[c][k] *= inv;
            for (int r = 0; r < n; ++r) {
                if (r == c || a[r][c] == T(0)) continue;
                T f = a[r][c];
                for (int k = 0; k < 2 * n; ++k) a[r][k] -= f * a[c][k];
            }
        }
        for (int r = 0; r < n; ++r)
            for (int c = 0; c < n; ++c) out.m[r][c] = a[r][c + n];
        return true;
    }
};

template <class T>
VqFixedVec<T, 3> vqTransformPoint(const VqSquareMatrix<T, 4>& M, const VqFixedVec<T, 3>& p) {
    VqFixedVec<T, 3> r;
    for (int c = 0; c < 3; ++c) r[c] = p[0] * M.m[0][c] + p[1] * M.m[1][c] + p[2] * M.m[2][c] + M.m[3][c];
    return r;
}

template <class T>
VqFixedVec<T, 3> vqTransformVector(const VqSquareMatrix<T, 4>& M, const VqFixedVec<T, 3>& v) {
    VqFixedVec<T, 3> r;
    for (int c = 0; c < 3; ++c) r[c] = v[0] * M.m[0][c] + v[1] * M.m[1][c] + v[2] * M.m[2][c];
    return r;
}

// The box that holds a transformed box: for each output axis, add the larger
// and the smaller of each row's contribution (cheaper than eight corners).
template <class T>
VqBox3<T> vqTransformBox(const VqSquareMatrix<T, 4>& M, const VqBox3<T>& b) {
    if (b.isEmpty()) return b;
    VqBox3<T> out;
    for (int c = 0; c < 3; ++c) {
        T lo = M.m[3][c], hi = M.m[3][c];
        for (int r = 0; r < 3; ++r) {
            T e = M.m[r][c] * b.min[r], f = M.m[r][c] * b.max[r];
            lo += std::min(e, f);
            hi += std::max(e, f);
        }
        out.min[c] = lo;
        out.max[c] = hi;
    }
    return out;
}

typedef VqSquareMatrix<float, 4> VqMatrix4f;
typedef VqSquareMatrix<double, 4> VqMatrix4d;
