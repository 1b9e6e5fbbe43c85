#pragma once

#include "VqExport.h"

#include <emmintrin.h>

#include <cstdint>
#include <type_traits>

// Turns values into residuals against a prediction from earlier values, and
// back. Shared by the codec drivers: each exposes the predictor types its
// packets use, numbered as here.
//
// The first four values are never predicted. Integer arithmetic wraps in the
// unsigned type of the values' width, so every residual is defined and
// unpacking restores the values bit for bit. Packing predicts from the input
// values and runs from the end, so in and out may be the same array;
// unpacking predicts from the values already restored and runs forwards, so
// it may work in place too. A stride steps through one component of
// interleaved records (a stride of 3 codes each component of a triple as a
// sequence of its own).
class VQ_API VqResidualPredictor {
public:
    enum VqPredictorType {
        PredLag1 = 0,       // v[i-1]
        PredLag2 = 1,       // v[i-2]
        PredStride1 = 2,    // 2 v[i-1] - v[i-2]
        PredStride2 = 3,    // 2 v[i-2] - v[i-4]
        PredStripIndex = 4, // v[i-2] + d with d = v[i-2] - v[i-4] when |d| <= 7, else v[i-2] + 2
        PredRamp = 5,       // i
        PredXor1 = 6,       // v[i-1], combined by xor
        PredXor2 = 7,       // v[i-2], combined by xor
        PredNull = 8,       // no prediction
        PredAvg2 = 9,       // (v[i-1] + v[i-2]) >> 1, rounding down
        PredAvg3 = 10,      // (v[i-1] + v[i-2] + v[i-3]) / 3, rounding toward zero
        PredAvg4 = 11,      // (v[i-1] + ... + v[i-4]) >> 2, rounding down
        NumPredictorTypes = 12
    };

    static bool isValid(int type) { return type >= 0 && type < NumPredictorTypes; }
    // The types defined on floating-point values: no xor, no integer rounding.
    static bool isValidForDouble(int type) { return type <= PredStride2 || type == PredNull; }

    // T is a 32- or 64-bit integer; type must be valid.
    template <class T>
    static void pack(const T* in, T* out, int n, VqPredictorType type, int stride = 1) {
        _dispatch<T, true>(in, out, n, type, stride);
    }
    template <class T>
    static void unpack(const T* in, T* out, int n, VqPredictorType type, int stride = 1) {
        _dispatch<T, false>(in, out, n, type, stride);
    }

    // Floating-point forms (isValidForDouble types only). Residuals of doubles
    // round, so unpacking restores the values only approximately.
    static void pack(const double* in, double* out, int n, VqPredictorType type, int stride = 1) {
        _dispatch<double, true>(in, out, n, type, stride);
    }
    static void unpack(const double* in, double* out, int n, VqPredictorType type, int stride = 1) {
        _dispatch<double, false>(in, out, n, type, stride);
    }

private:
    // Arithmetic type (unsigned for integers, so that it wraps) and the
    // matching signed type, for the shifts and division of the averages.
    template <class T, bool = std::is_floating_point_v<T>>
    struct Types {
        using A = T;
        using S = T;
    };
    template <class T>
    struct Types<T, false> {
        using A = std::make_unsigned_t<T>;
        using S = std::make_signed_t<T>;
    };
    template <class T>
    using Arith = typename Types<T>::A;

    // Prediction of element i from the sequence v (already reconstructed
    // values when unpacking, inputs when packing).
    template <VqPredictorType P, class T>
    static Arith<T> _predict(const T* v, int i, int stride) {
        using A = Arith<T>;
        using S = typename Types<T>::S;
        const auto at = [&](int k) { return static_cast<A>(v[static_cast<long>(i - k) * stride]); };
        if constexpr (P == PredLag1 || P == PredXor1) {
            return at(1);
        } else if constexpr (P == PredLag2 || P == PredXor2) {
            return at(2);
        } else if constexpr (P == PredStride1) {
            return static_cast<A>(A(2) * at(1) - at(2));
        } else if constexpr (P == PredStride2) {
            return static_cast<A>(A(2) * at(2) - at(4));
        } else if constexpr (P == PredStripIndex) {
            const S d = static_cast<S>(static_cast<A>(at(2) - at(4)));
            return static_cast<A>(at(2) + (d >= -7 && d <= 7 ? static_cast<A>(d) : A(2)));
        } else if constexpr (P == PredRamp) {
            return static_cast<A>(i);
        } else if constexpr (P == PredAvg2) {
            return static_cast<A>(static_cast<S>(static_cast<A>(at(1) + at(2))) >> 1);
        } else if constexpr (P == PredAvg3) {
            return static_cast<A>(static_cast<S>(static_cast<A>(at(1) + at(2) + at(3))) / 3);
        } else {
            static_assert(P == PredAvg4);
            return static_cast<A>(static_cast<S>(static_cast<A>(at(1) + at(2) + at(3) + at(4))) >> 2);
        }
    }

    template <VqPredictorType P, class T, bool Pack>
    static void _run(const T* in, T* out, int n, int stride) {
        using A = Arith<T>;
        const auto idx = [stride](int i) { return static_cast<long>(i) * stride; };
        const int head = n < 4 ? n : 4;
        if constexpr (Pack) {
            for (int i = n - 1; i >= 4; --i) {
                const A p = _predict<P>(in, i, stride);
                const A v = static_cast<A>(in[idx(i)]);
                if constexpr (P == PredXor1 || P == PredXor2)
                    out[idx(i)] = static_cast<T>(v ^ p);
                else
                    out[idx(i)] = static_cast<T>(v - p);
            }
            for (int i = 0; i < head; ++i)
                out[idx(i)] = in[idx(i)];
        } else {
            for (int i = 0; i < head; ++i)
                out[idx(i)] = in[idx(i)];
            if constexpr (P == PredLag1 && std::is_integral_v<T> && sizeof(T) == 4) {
                if (stride == 1 && n > 4)
                    return _runningSum(in + 4, out + 4, n - 4, static_cast<uint32_t>(out[3]));
            }
            for (int i = 4; i < n; ++i) {
                const A p = _predict<P>(static_cast<const T*>(out), i, stride);
                const A r = static_cast<A>(in[idx(i)]);
                if constexpr (P == PredXor1 || P == PredXor2)
                    out[idx(i)] = static_cast<T>(r ^ p);
                else
                    out[idx(i)] = static_cast<T>(r + p);
            }
        }
    }

    template <class T, bool Pack>
    static void _dispatch(const T* in, T* out, int n, VqPredictorType type, int stride) {
        if constexpr (std::is_floating_point_v<T>) {
            switch (type) {
            case PredLag1:
                return _run<PredLag1, T, Pack>(in, out, n, stride);
            case PredLag2:
                return _run<PredLag2, T, Pack>(in, out, n, stride);
            case PredStride1:
                return _run<PredStride1, T, Pack>(in, out, n, stride);
            case PredStride2:
                return _run<PredStride2, T, Pack>(in, out, n, stride);
            default:
                return _copy(in, out, n, stride);
            }
        } else {
            switch (type) {
            case PredLag1:
                return _run<PredLag1, T, Pack>(in, out, n, stride);
            case PredLag2:
                return _run<PredLag2, T, Pack>(in, out, n, stride);
            case PredStride1:
                return _run<PredStride1, T, Pack>(in, out, n, stride);
            case PredStride2:
                return _run<PredStride2, T, Pack>(in, out, n, stride);
            case PredStripIndex:
                return _run<PredStripIndex, T, Pack>(in, out, n, stride);
            case PredRamp:
                return _run<PredRamp, T, Pack>(in, out, n, stride);
            case PredXor1:
                return _run<PredXor1, T, Pack>(in, out, n, stride);
            case PredXor2:
                return _run<PredXor2, T, Pack>(in, out, n, stride);
            case PredAvg2:
                return _run<PredAvg2, T, Pack>(in, out, n, stride);
            case PredAvg3:
                return _run<PredAvg3, T, Pack>(in, out, n, stride);
            case PredAvg4:
                return _run<PredAvg4, T, Pack>(in, out, n, stride);
            default:
                return _copy(in, out, n, stride);
            }
        }
    }

    // Lag-1 unpacking of 32-bit values is a running sum from the value
    // before them (carry). Four lanes at a time, each block's own running
    // sums take two shifted adds and the carry one more; value by value,
    // each waited for the one before. The block is loaded whole before it is
    // stored, so in and out may be the same array.
    template <class T>
    static void _runningSum(const T* in, T* out, int n, uint32_t carry) {
        __m128i c = _mm_set1_epi32(static_cast<int>(carry));
        int i = 0;
        for (; i + 4 <= n; i += 4) {
            __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
            x = _mm_add_epi32(x, _mm_slli_si128(x, 4));
            x = _mm_add_epi32(x, _mm_slli_si128(x, 8));
            x = _mm_add_epi32(x, c);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), x);
            c = _mm_shuffle_epi32(x, 0xFF);
        }
        uint32_t sum = static_cast<uint32_t>(_mm_cvtsi128_si32(c));
        for (; i < n; ++i) {
            sum += static_cast<uint32_t>(in[i]);
            out[i] = static_cast<T>(sum);
        }
    }

    // PredNull: the residual is the value.
    template <class T>
    static void _copy(const T* in, T* out, int n, int stride) {
        if (in == out) return;
        for (int i = 0; i < n; ++i)
            out[static_cast<long>(i) * stride] = in[static_cast<long>(i) * stride];
    }
};
