#pragma once

#include "VqLibFixture.h"
#include "VqPolygonTopoMesh.h"
#include "VqTriStripTopoMesh.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <numbers>
#include <set>
#include <string>
#include <utility>
#include <vector>

// Holds a mesh's write lock for a scope.
struct MeshLock {
    explicit MeshLock(VqTopoMesh& m) : mesh(m) { EXPECT_TRUE(mesh.lockWrite(true)); }
    ~MeshLock() { mesh.lockWrite(false); }
    VqTopoMesh& mesh;
};

// Triangles over positions, as generators make them. A corner's record is
// its position's, unless the corner carries a non-zero seam key: corners of
// one position with different keys get records of their own (told apart by
// their colour), which makes a seam.
struct TriSoup {
    std::vector<float> pos;        // 3 per position
    std::vector<uint32_t> tris;    // 3 positions per triangle
    std::vector<uint32_t> groups;  // face group per triangle, ascending; empty: all in group 0
    std::vector<uint32_t> seamKey; // per corner; empty: no seams

    uint32_t numTris() const { return uint32_t(tris.size() / 3); }
    uint32_t addPos(float x, float y, float z) {
        pos.insert(pos.end(), {x, y, z});
        return uint32_t(pos.size() / 3 - 1);
    }
    void addTri(uint32_t a, uint32_t b, uint32_t c) { tris.insert(tris.end(), {a, b, c}); }
};

// Records carry coordinates and a colour (the seam key).
inline constexpr uint64_t kSoupBindings = VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_VTXCOLOR3;

// Adds the soup's records to the mesh's pool and its triangles as
// primitives of 3 (polygons; for a strip mesh, strips of one triangle).
inline void addSoup(VqTopoMesh& mesh, const TriSoup& s) {
    std::map<std::pair<uint32_t, uint32_t>, uint32_t> recOf;
    std::vector<float> coords, colors;
    std::vector<uint32_t> idx;
    const uint32_t base = mesh.vtxRecPool()->numVtxRecords();
    for (size_t i = 0; i < s.tris.size(); ++i) {
        const uint32_t p = s.tris[i], key = s.seamKey.empty() ? 0 : s.seamKey[i];
        auto it = recOf.find({p, key});
        if (it == recOf.end()) {
            it = recOf.emplace(std::make_pair(p, key), base + uint32_t(coords.size() / 3)).first;
            coords.insert(coords.end(), s.pos.begin() + 3 * p, s.pos.begin() + 3 * p + 3);
            colors.insert(colors.end(), {float(key), 0.0f, 0.0f});
        }
        idx.push_back(it->second);
    }
    MeshLock lock(mesh);
    {
        VqVertexRecordPool& pool = *mesh.vtxRecPool();
        ASSERT_TRUE(pool.lockWrite(true));
        uint32_t first = 0;
        const float* tex[VQ_GEOMBIND_NUM_TEXUNITS] = {};
        ASSERT_TRUE(pool.addVtxRecords(
            uint32_t(coords.size() / 3), first, coords.data(), nullptr,
            (pool.getBindings() & VQ_GEOMBIND_VTXCOLOR_MASK) ? colors.data() : nullptr, tex, nullptr))
            << lastError();
        pool.lockWrite(false);
    }
    for (uint32_t t = 0; t < s.numTris();) {
        const uint32_t g = s.groups.empty() ? 0 : s.groups[t];
        uint32_t e = t;
        while (e < s.numTris() && (s.groups.empty() ? 0 : s.groups[e]) == g)
            ++e;
        ASSERT_TRUE(mesh.addPrimitives(int(g), e - t, 3u, idx.data() + 3 * t)) << lastError();
        t = e;
    }
}

// A closed torus of nu x nv quads, each cut into two triangles.
inline TriSoup torus(int nu, int nv) {
    TriSoup s;
    for (int i = 0; i < nu; ++i)
        for (int j = 0; j < nv; ++j) {
            const double u = 2 * std::numbers::pi * i / nu, v = 2 * std::numbers::pi * j / nv;
            s.addPos(float((2 + std::cos(v)) * std::cos(u)), float((2 + std::cos(v)) * std::sin(u)),
                     float(std::sin(v)));
        }
    auto at = [&](int i, int j) { return uint32_t(((i + nu) % nu) * nv + (j + nv) % nv); };
    for (int i = 0; i < nu; ++i)
        for (int j = 0; j < nv; ++j) {
            s.addTri(at(i, j), at(i + 1, j), at(i + 1, j + 1));
            s.addTri(at(i, j), at(i + 1, j + 1), at(i, j + 1));
        }
    return s;
}

// An open grid of nx x ny quads in the plane z = 0, facing +z.
inline TriSoup grid(int nx, int ny) {
    TriSoup s;
    for (int j = 0; j <= ny; ++j)
        for (int i = 0; i <= nx; ++i)
            s.addPos(float(i), float(j), 0.0f);
    auto at = [&](int i, int j) { return uint32_t(j * (nx + 1) + i); };
    for (int j = 0; j < ny; ++j)
        for (int i = 0; i < nx; ++i) {
            s.addTri(at(i, j), at(i + 1, j), at(i + 1, j + 1));
            s.addTri(at(i, j), at(i + 1, j + 1), at(i, j + 1));
        }
    return s;
}

// Counts by edge, computed apart from the mesh: positions keyed by their
// coordinates in an ordered map, each undirected edge listing the
// directions in which triangles run along it.
struct EdgeCount {
    int boundary = 0;
    int nonmanifold = 0;
    int edges = 0;
    int triangles = 0;
    bool closed = false;
};

inline EdgeCount countEdges(const std::vector<std::array<float, 9>>& triangles) {
    std::map<std::array<float, 3>, int> id;
    auto idOf = [&](const float* p) {
        const std::array<float, 3> k = {p[0] + 0.0f, p[1] + 0.0f, p[2] + 0.0f};
        return id.emplace(k, int(id.size())).first->second;
    };
    std::map<std::pair<int, int>, std::vector<bool>> dirs;
    EdgeCount c;
    for (const auto& t : triangles) {
        const int v[3] = {idOf(&t[0]), idOf(&t[3]), idOf(&t[6])};
        if (v[0] == v[1] || v[1] == v[2] || v[0] == v[2]) continue;
        ++c.triangles;
        for (int k = 0; k < 3; ++k) {
            const int a = v[k], b = v[(k + 1) % 3];
            dirs[{std::min(a, b), std::max(a, b)}].push_back(a < b);
        }
    }
    for (const auto& [edge, d] : dirs) {
        if (d.size() == 1)
            ++c.boundary;
        else if (d.size() > 2 || d[0] == d[1])
            ++c.nonmanifold;
    }
    c.edges = int(dirs.size());
    c.closed = c.triangles > 0 && c.boundary == 0 && c.nonmanifold == 0;
    return c;
}

inline EdgeCount countEdges(const TriSoup& s) {
    std::vector<std::array<float, 9>> t(s.numTris());
    for (uint32_t i = 0; i < s.numTris(); ++i)
        for (int c = 0; c < 3; ++c)
            for (int k = 0; k < 3; ++k)
                t[i][3 * c + k] = s.pos[3 * s.tris[3 * i + c] + k];
    return countEdges(t);
}

// Position of record r (3-component coordinates).
inline std::array<float, 3> posOf(const VqTopoMesh& m, uint32_t r) {
    const float* c = m.vtxRecPool()->fields()->vtxCoords() + 3 * size_t(r);
    return {c[0], c[1], c[2]};
}

// The oriented triangles of a strip or triangle mesh, face group by face
// group, as record triples rotated to start at their lowest record (so that
// equal triangles compare equal however they start); triangles with two
// corners at one position are left out.
using OrientedTris = std::vector<std::multiset<std::array<uint32_t, 3>>>;
inline OrientedTris orientedTris(const VqTopoMesh& m) {
    OrientedTris out(m.numFaceGroups());
    uint32_t r[3];
    for (uint32_t a = 0; a < m.numAtoms(); ++a) {
        EXPECT_EQ(m.atomRecords(a, r, 3), 3u);
        const auto p0 = posOf(m, r[0]), p1 = posOf(m, r[1]), p2 = posOf(m, r[2]);
        if (p0 == p1 || p1 == p2 || p0 == p2) continue;
        int k = 0;
        for (int i = 1; i < 3; ++i)
            if (r[i] < r[k]) k = i;
        out[size_t(m.atomToFaceGroup(a))].insert({r[k], r[(k + 1) % 3], r[(k + 2) % 3]});
    }
    return out;
}

// A mesh of the real-mesh set, when its directory is given in VQ_MESH_DIR
// (OFF files): false when absent.
inline bool readOff(const std::string& name, TriSoup& s) {
    const char* dir = std::getenv("VQ_MESH_DIR");
    if (!dir) return false;
    std::ifstream in(std::string(dir) + "/" + name + ".off");
    if (!in) return false;
    std::string word;
    in >> word;
    if (word != "OFF") return false;
    size_t nv = 0, nf = 0, ne = 0;
    in >> nv >> nf >> ne;
    for (size_t i = 0; i < nv; ++i) {
        float x, y, z;
        in >> x >> y >> z;
        s.addPos(x, y, z);
    }
    for (size_t f = 0; f < nf; ++f) {
        size_t k = 0;
        in >> k;
        std::vector<uint32_t> v(k);
        for (auto& i : v)
            in >> i;
        for (size_t j = 1; j + 1 < k; ++j)
            s.addTri(v[0], v[j], v[j + 1]);
    }
    return bool(in);
}
