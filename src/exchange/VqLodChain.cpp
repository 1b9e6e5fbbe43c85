#include "VqLodChain.h"

#include <meshoptimizer.h>

#include <algorithm>
#include <cmath>

namespace Vq {

LodChain::Targets LodChain::Targets::defaults(int nLevels) {
    Targets t;
    nLevels = std::clamp(nLevels, 1, s_kMaxLevels);
    for (int i = 1; i < nLevels; ++i) {
        t.ratio.push_back(std::pow(0.25f, float(i)));
        t.maxError.push_back(std::min(1.0f, 0.005f * std::pow(4.0f, float(i - 1))));
    }
    return t;
}

void LodChain::build(const float* positions, uint32_t nVertices, const std::vector<uint32_t>& indices,
                     const Targets& targets) {
    _vLevels.clear();
    _vLevels.push_back(Level{indices, 0.0f});
    _fExtent = nVertices ? meshopt_simplifyScale(positions, nVertices, 3 * sizeof(float)) : 0.0f;
    const size_t nLevels = std::min(targets.ratio.size(), targets.maxError.size());
    for (size_t i = 0; i < nLevels && _vLevels.size() < size_t(s_kMaxLevels); ++i) {
        const size_t before = _vLevels.back().indices.size();
        // Whole triangles, and never more than the level before kept.
        size_t target =
            size_t(double(indices.size()) * double(std::clamp(targets.ratio[i], 0.0f, 1.0f))) / 3 * 3;
        target = std::min(target, before);
        Level l;
        l.indices.resize(indices.size());
        float error = 0.0f;
        const size_t n =
            meshopt_simplify(l.indices.data(), indices.data(), indices.size(), positions, nVertices,
                             3 * sizeof(float), target, std::max(targets.maxError[i], 0.0f), 0, &error);
        if (n == 0 || n * 10 > before * 9) break;
        l.indices.resize(n);
        l.indices.shrink_to_fit();
        l.error = error;
        _vLevels.push_back(std::move(l));
    }
}

} // namespace Vq
