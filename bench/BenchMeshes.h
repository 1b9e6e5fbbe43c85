#pragma once

// Triangle meshes for the geometry benchmarks: real meshes read from OFF
// files in the directory VQ_MESH_DIR names (data/meshes in the data archive
// of Debian's libcgal-demo package, unpacked with apt-get download and
// dpkg -x), and a generated torus grid that is always there.

#include "VqPolygonTopoMesh.h"
#include "VqSharedPtr.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <numbers>
#include <string>
#include <vector>

struct Mesh {
    std::vector<float> coords;
    std::vector<uint32_t> tris;
    uint32_t nVerts() const { return uint32_t(coords.size() / 3); }
    uint32_t nTris() const { return uint32_t(tris.size() / 3); }
};

// Polygons are fanned into triangles.
inline bool readOff(const std::string& path, Mesh& m) {
    std::ifstream in(path);
    std::string word;
    if (!(in >> word) || word != "OFF") return false;
    size_t nv = 0, nf = 0, ne = 0;
    in >> nv >> nf >> ne;
    m.coords.resize(nv * 3);
    for (float& c : m.coords)
        in >> c;
    for (size_t f = 0; f < nf && in; ++f) {
        size_t k = 0;
        in >> k;
        std::vector<uint32_t> v(k);
        for (uint32_t& i : v)
            in >> i;
        for (size_t j = 1; j + 1 < k; ++j)
            m.tris.insert(m.tris.end(), {v[0], v[j], v[j + 1]});
    }
    return bool(in);
}

inline Mesh torusGrid(int nu, int nv) {
    Mesh m;
    for (int i = 0; i < nu; ++i)
        for (int j = 0; j < nv; ++j) {
            const double u = 2 * std::numbers::pi * i / nu, v = 2 * std::numbers::pi * j / nv;
            m.coords.insert(m.coords.end(), {float((2 + std::cos(v)) * std::cos(u)),
                                             float((2 + std::cos(v)) * std::sin(u)), float(std::sin(v))});
        }
    auto at = [&](int i, int j) { return uint32_t((i % nu) * nv + j % nv); };
    for (int i = 0; i < nu; ++i)
        for (int j = 0; j < nv; ++j)
            m.tris.insert(m.tris.end(), {at(i, j), at(i + 1, j), at(i + 1, j + 1), at(i, j), at(i + 1, j + 1),
                                         at(i, j + 1)});
    return m;
}

// The meshes by name, loaded once; empty when the file is missing. "torus"
// is the generated grid of the given size.
inline const Mesh& benchMesh(const std::string& name, int torusU, int torusV) {
    static std::map<std::string, Mesh> cache;
    auto it = cache.find(name);
    if (it != cache.end()) return it->second;
    Mesh& m = cache[name];
    if (name == "torus") {
        m = torusGrid(torusU, torusV);
    } else if (const char* dir = std::getenv("VQ_MESH_DIR")) {
        if (!readOff(std::string(dir) + "/" + name + ".off", m)) m = Mesh();
    }
    return m;
}

// A polygon mesh of the triangles over a pool of one record per vertex.
inline Vq::SharedPtr<VqPolygonTopoMesh> polygonMesh(const Mesh& m) {
    Vq::SharedPtr<VqPolygonTopoMesh> pm = new VqPolygonTopoMesh(VQ_GEOMBIND_VTXCOORD3);
    pm->lockWrite(true);
    VqVertexRecordPool& pool = *pm->vtxRecPool();
    pool.lockWrite(true);
    uint32_t first = 0;
    pool.addVtxRecords(m.nVerts(), first, m.coords.data(), nullptr, nullptr, nullptr, nullptr);
    pool.lockWrite(false);
    pm->addPrimitives(0, m.nTris(), 3u, m.tris.data());
    pm->lockWrite(false);
    return pm;
}
