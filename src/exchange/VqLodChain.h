#pragma once

#include "VqExport.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Vq {

// Levels of detail of one triangle mesh, made by meshoptimizer's simplifier.
// Level 0 is the mesh as it is; level i > 0 is simplified from level 0 (not
// from level i - 1, so that errors do not add up along the chain) to at most
// ratio[i] of its triangles, stopping earlier where the next collapse would
// move the surface by more than maxError[i]. Errors are relative to the
// mesh's extent, as the simplifier measures them; absoluteError() scales
// them by that extent.
class VQ_API LodChain {
public:
    struct Level {
        std::vector<uint32_t> indices; // triangles over the vertices of level 0
        float error = 0.0f;            // the simplifier's own bound, relative to the extent
    };

    // One entry per level beyond level 0; both lists have the same length.
    struct Targets {
        std::vector<float> ratio;
        std::vector<float> maxError;
        // The defaults for a chain of n levels (1 to 10): each level keeps a
        // quarter of the triangles of the one before, within an error that
        // grows fourfold from 0.5% of the extent.
        static Targets defaults(int nLevels);
    };

    // Simplifies; a level that removes less than a tenth of the triangles of
    // the level before ends the chain, since it would cost memory and buy
    // nothing at any distance. positions: 3 floats per vertex.
    void build(const float* positions, uint32_t nVertices, const std::vector<uint32_t>& indices,
               const Targets& targets);

    const std::vector<Level>& levels() const { return _vLevels; }
    float extent() const { return _fExtent; }
    float absoluteError(int level) const { return _vLevels[std::size_t(level)].error * _fExtent; }

    static constexpr int s_kMaxLevels = 10;

private:
    std::vector<Level> _vLevels;
    float _fExtent = 0.0f;
};

} // namespace Vq
