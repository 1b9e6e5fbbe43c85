#pragma once

#include "VqVec.h"

#include <climits>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

// Arrays whose edges every driver generation must get right, named for the
// traces: sizes 0 and 1, the extremes of int and of T, spans on either side
// of the table and chopper limits, skewed, correlated and clustered data.
template <class T>
std::vector<std::pair<std::string, VqVec<T>>> edgeArrays() {
    std::mt19937_64 rng(17);
    const T lo = std::numeric_limits<T>::min(), hi = std::numeric_limits<T>::max();
    // n values, the i-th of them gen(i).
    const auto make = [](int n, auto gen) {
        VqVec<T> v;
        for (int i = 0; i < n; ++i)
            v.push_back(static_cast<T>(gen(i)));
        return v;
    };
    const auto spread = [&](int n, int step) {
        return make(n, [&](int i) { return (i * 7919 % n) * step - 5000; });
    };
    std::exponential_distribution<double> e(0.1);
    std::geometric_distribution<int> g(0.2);
    const T pool[] = {lo, 5, hi, -77, 1 << 20, 3};
    int x = 0;
    std::vector<std::pair<std::string, VqVec<T>>> a = {
        {"empty", {}},
        {"one", {-42}},
        {"nibbles", {7, 8, -8, -9, 0, -1, 15, 16, -16, -17}},
        {"int extremes", {INT_MIN, INT_MAX, 0, INT_MIN, -1, 1, INT_MAX, 2, -2, 3}},
        {"type extremes", {lo, hi, 0, lo, hi, -1, 1}},
        {"all equal", VqVec<T>(101, 123456)},
        {"31 spread", spread(31, 3001)},
        {"32 spread", spread(32, 3001)},
        {"span 1024 no repeats", spread(1025, 1)},
        {"extremes, many", make(300, [&](int) { return rng() % 3 == 0 ? lo : (rng() % 2 ? hi : 0); })},
        {"full range", make(3000, [&](int) { return rng(); })},
        {"negatives", make(5000, [&](int) { return -1 - g(rng); })},
        {"laplace", make(20000, [&](int) { return std::lround(rng() % 2 ? e(rng) : -e(rng)); })},
        // The value after each value is nearly fixed: an order-1 model pays.
        {"markov",
         make(20000, [&](int) { return 1000 * (x = rng() % 10 == 0 ? int(rng() % 40) : (x * 7 + 3) % 40); })},
        {"wide with repeats",
         make(20000,
              [&](int) { return rng() % 4 ? static_cast<T>(rng() % 50) * 100003 : static_cast<T>(rng()); })},
        {"few recurring", make(5000, [&](int) { return pool[rng() % 6]; })},
        {"clustered",
         make(4000, [&](int) { return static_cast<T>((rng() % 8) << 20) + static_cast<T>(rng() % 1000); })},
        {"one outlier", make(100000, [](int i) { return i == 500 ? 4 : 3; })},
    };
    // One value past a span of 1024 without a repeat.
    a.emplace_back("span 1025 no repeats", spread(1025, 1));
    a.back().second.push_back(static_cast<T>(1025 - 5000));
    return a;
}

// The edge array of that name.
template <class T>
VqVec<T> edgeArray(const std::string& name) {
    for (auto& [n, v] : edgeArrays<T>())
        if (n == name) return v;
    return {};
}
