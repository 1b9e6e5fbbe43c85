#pragma once

// What the shape tests share: a mesh's primitives as position tuples, and a
// comparison of two meshes' primitives within a tolerance.
#include "VqTopoMesh.h"
#include "VqVertexRecordFields.h"
#include "VqVertexRecordPool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

// Each primitive of a mesh as the positions of its indices in order (x, y, z
// for each; a polygon from its least corner on), by face group; primitives
// within a group sorted.
inline std::vector<std::vector<std::vector<float>>> primPositions(const VqTopoMesh& m) {
    std::vector<std::vector<std::vector<float>>> out(m.numFaceGroups());
    const float* c = m.vtxRecPool()->fields()->vtxCoords();
    const int n = m.vtxRecPool()->fields()->numVtxCoordComps();
    for (uint32_t g = 0; g < m.numFaceGroups(); ++g) {
        for (uint32_t p = m.faceGroupStarts()[g]; p < m.faceGroupStarts()[g + 1]; ++p) {
            std::vector<float> prim;
            for (uint32_t i = m.primStarts()[p]; i < m.primStarts()[p + 1]; ++i)
                prim.insert(prim.end(), c + size_t(m.indices()[i]) * n, c + size_t(m.indices()[i]) * n + 3);
            // A polygon may come back starting at another corner.
            if (m.primKind() == VqTopoMesh::VQ_PRIM_POLYGON && !prim.empty()) {
                size_t best = 0;
                for (size_t k = 3; k < prim.size(); k += 3)
                    if (std::lexicographical_compare(prim.begin() + k, prim.begin() + k + 3,
                                                     prim.begin() + best, prim.begin() + best + 3))
                        best = k;
                std::rotate(prim.begin(), prim.begin() + best, prim.end());
            }
            out[g].push_back(prim);
        }
        std::sort(out[g].begin(), out[g].end());
    }
    return out;
}

// Every primitive of want has one of got whose positions lie within tol,
// group by group. Meshes whose primitives the coder rearranges (strips are
// stripped anew) compare by their area and box instead.
inline void expectSamePrims(const VqTopoMesh& want, const VqTopoMesh& got, float tol) {
    const auto a = primPositions(want), b = primPositions(got);
    ASSERT_EQ(a.size(), b.size());
    for (size_t g = 0; g < a.size(); ++g) {
        ASSERT_EQ(a[g].size(), b[g].size()) << "group " << g;
        std::vector<bool> used(b[g].size(), false);
        for (const auto& p : a[g]) {
            bool found = false;
            for (size_t j = 0; j < b[g].size() && !found; ++j) {
                if (used[j] || b[g][j].size() != p.size()) continue;
                bool near = true;
                for (size_t k = 0; k < p.size() && near; ++k)
                    near = std::abs(p[k] - b[g][j][k]) <= tol;
                if (near) used[j] = found = true;
            }
            ASSERT_TRUE(found) << "a primitive of group " << g << " did not come back within " << tol;
        }
    }
}
