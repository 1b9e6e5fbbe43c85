#pragma once

// Triangle meshes for the geometry benchmarks: real meshes read from OFF
// files in the directory VQ_MESH_DIR names (data/meshes in the data archive
// of Debian's libcgal-demo package, unpacked with apt-get download and
// dpkg -x), and a generated torus grid that is always there.

#include "VqGeomBindings.h"
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

// Unit vertex normals: the sum of the facet normals around each vertex (their
// length is twice the facet's area, which weights them by area).
inline std::vector<float> vertexNormals(const Mesh& m) {
    std::vector<double> acc(m.coords.size(), 0.0);
    for (uint32_t t = 0; t < m.nTris(); ++t) {
        const uint32_t* v = &m.tris[3 * t];
        const float* a = &m.coords[3 * v[0]];
        const float* b = &m.coords[3 * v[1]];
        const float* c = &m.coords[3 * v[2]];
        const double e1[3] = {double(b[0]) - a[0], double(b[1]) - a[1], double(b[2]) - a[2]};
        const double e2[3] = {double(c[0]) - a[0], double(c[1]) - a[1], double(c[2]) - a[2]};
        const double n[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2],
                             e1[0] * e2[1] - e1[1] * e2[0]};
        for (int k = 0; k < 3; ++k)
            for (int i = 0; i < 3; ++i)
                acc[3 * v[k] + i] += n[i];
    }
    std::vector<float> out(acc.size());
    for (size_t i = 0; i < acc.size(); i += 3) {
        const double len = std::sqrt(acc[i] * acc[i] + acc[i + 1] * acc[i + 1] + acc[i + 2] * acc[i + 2]);
        for (int k = 0; k < 3; ++k)
            out[i + k] = len > 0 ? float(acc[i + k] / len) : (k == 2 ? 1.0f : 0.0f);
    }
    return out;
}

// A polygon mesh of the triangles over a pool of one record per vertex,
// with the vertex normals when bNormals.
inline Vq::SharedPtr<VqPolygonTopoMesh> polygonMesh(const Mesh& m, bool bNormals = false) {
    const std::vector<float> normals = bNormals ? vertexNormals(m) : std::vector<float>();
    Vq::SharedPtr<VqPolygonTopoMesh> pm =
        new VqPolygonTopoMesh(VQ_GEOMBIND_VTXCOORD3 | (bNormals ? VQ_GEOMBIND_NORMVEC3 : 0));
    pm->lockWrite(true);
    VqVertexRecordPool& pool = *pm->vtxRecPool();
    pool.lockWrite(true);
    uint32_t first = 0;
    pool.addVtxRecords(m.nVerts(), first, m.coords.data(), bNormals ? normals.data() : nullptr, nullptr,
                       nullptr, nullptr);
    pool.lockWrite(false);
    pm->addPrimitives(0, m.nTris(), 3u, m.tris.data());
    pm->lockWrite(false);
    return pm;
}
