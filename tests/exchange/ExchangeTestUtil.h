#pragma once

// What the exchange tests share: small meshes generated in code, writers
// that put them into OBJ, STL, PLY, OFF and glTF files by hand (so that what
// the importer reads does not come from our own exporter), a scratch
// directory, and the world-space triangles of a file as assimp reads it.

#include "VqLibFixture.h"

#include <assimp/Importer.hpp>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

struct TestMesh {
    std::vector<float> pos;     // 3 per vertex
    std::vector<float> normals; // 3 per vertex, or empty
    std::vector<float> uv;      // 2 per vertex, or empty
    std::vector<float> colors;  // 3 per vertex, or empty
    std::vector<uint32_t> tris; // 3 per triangle, or empty for a point set
    uint32_t nVerts() const { return uint32_t(pos.size() / 3); }
    uint32_t nTris() const { return uint32_t(tris.size() / 3); }
};

// A cube from -1 to 1 with four vertices of its own per face, each with the face's normal.
inline TestMesh cubeMesh() {
    TestMesh m;
    const int axes[6][3] = {{0, 1, 2}, {0, 1, 2}, {1, 2, 0}, {1, 2, 0}, {2, 0, 1}, {2, 0, 1}};
    for (int f = 0; f < 6; ++f) {
        const float s = f % 2 ? -1.0f : 1.0f;
        const int n = axes[f][2], u = axes[f][0], v = axes[f][1];
        const float corners[4][2] = {{-1, -1}, {1, -1}, {1, 1}, {-1, 1}};
        const uint32_t base = m.nVerts();
        for (int c = 0; c < 4; ++c) {
            float p[3], nv[3] = {0, 0, 0};
            p[n] = s;
            // Counter-clockwise seen from outside: swap the corner order on the negative side.
            p[u] = corners[c][0];
            p[v] = s > 0 ? corners[c][1] : -corners[c][1];
            nv[n] = s;
            m.pos.insert(m.pos.end(), p, p + 3);
            m.normals.insert(m.normals.end(), nv, nv + 3);
        }
        m.tris.insert(m.tris.end(), {base, base + 1, base + 2, base, base + 2, base + 3});
    }
    return m;
}

// An n x n grid of quads over [0, w] x [0, h] at z = 0, texture coordinates from 0 to 1.
inline TestMesh gridMesh(int n, float w, float h) {
    TestMesh m;
    for (int j = 0; j <= n; ++j)
        for (int i = 0; i <= n; ++i) {
            m.pos.insert(m.pos.end(), {w * float(i) / float(n), h * float(j) / float(n), 0.0f});
            m.uv.insert(m.uv.end(), {float(i) / float(n), float(j) / float(n)});
        }
    auto at = [n](int i, int j) { return uint32_t(j * (n + 1) + i); };
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i)
            m.tris.insert(m.tris.end(), {at(i, j), at(i + 1, j), at(i + 1, j + 1), at(i, j), at(i + 1, j + 1),
                                         at(i, j + 1)});
    return m;
}

// A closed sphere of radius r: a latitude-longitude grid with the poles shared.
inline TestMesh sphereMesh(int rings, int segments, float r) {
    TestMesh m;
    m.pos.insert(m.pos.end(), {0, 0, r});
    for (int i = 1; i < rings; ++i)
        for (int j = 0; j < segments; ++j) {
            const double t = M_PI * i / rings, p = 2 * M_PI * j / segments;
            m.pos.insert(m.pos.end(), {float(r * std::sin(t) * std::cos(p)),
                                       float(r * std::sin(t) * std::sin(p)), float(r * std::cos(t))});
        }
    m.pos.insert(m.pos.end(), {0, 0, -r});
    const uint32_t south = m.nVerts() - 1;
    auto at = [&](int i, int j) { return uint32_t(1 + (i - 1) * segments + (j % segments)); };
    for (int j = 0; j < segments; ++j) {
        m.tris.insert(m.tris.end(), {0, at(1, j), at(1, j + 1)});
        m.tris.insert(m.tris.end(), {south, at(rings - 1, j + 1), at(rings - 1, j)});
    }
    for (int i = 1; i + 1 < rings; ++i)
        for (int j = 0; j < segments; ++j)
            m.tris.insert(m.tris.end(), {at(i, j), at(i + 1, j), at(i + 1, j + 1), at(i, j), at(i + 1, j + 1),
                                         at(i, j + 1)});
    return m;
}

// n points on a helix, each with its own colour.
inline TestMesh colouredPoints(int n) {
    TestMesh m;
    for (int i = 0; i < n; ++i) {
        const float t = float(i) / float(n);
        m.pos.insert(m.pos.end(), {std::cos(20 * t), std::sin(20 * t), 3 * t});
        m.colors.insert(m.colors.end(), {t, 1 - t, 0.5f});
    }
    return m;
}

inline void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

inline std::string readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline std::string objText(const TestMesh& m) {
    std::ostringstream o;
    o.precision(9);
    o << "# generated\no mesh\n";
    for (uint32_t v = 0; v < m.nVerts(); ++v)
        o << "v " << m.pos[3 * v] << " " << m.pos[3 * v + 1] << " " << m.pos[3 * v + 2] << "\n";
    for (size_t v = 0; v < m.normals.size() / 3; ++v)
        o << "vn " << m.normals[3 * v] << " " << m.normals[3 * v + 1] << " " << m.normals[3 * v + 2] << "\n";
    for (size_t v = 0; v < m.uv.size() / 2; ++v)
        o << "vt " << m.uv[2 * v] << " " << m.uv[2 * v + 1] << "\n";
    for (uint32_t t = 0; t < m.nTris(); ++t) {
        o << "f";
        for (int k = 0; k < 3; ++k) {
            const uint32_t i = m.tris[3 * t + k] + 1;
            o << " " << i;
            if (!m.uv.empty() || !m.normals.empty()) o << "/" << (m.uv.empty() ? "" : std::to_string(i));
            if (!m.normals.empty()) o << "/" << i;
        }
        o << "\n";
    }
    return o.str();
}

inline std::string offText(const TestMesh& m) {
    std::ostringstream o;
    o.precision(9);
    o << "OFF\n" << m.nVerts() << " " << m.nTris() << " 0\n";
    for (uint32_t v = 0; v < m.nVerts(); ++v)
        o << m.pos[3 * v] << " " << m.pos[3 * v + 1] << " " << m.pos[3 * v + 2] << "\n";
    for (uint32_t t = 0; t < m.nTris(); ++t)
        o << "3 " << m.tris[3 * t] << " " << m.tris[3 * t + 1] << " " << m.tris[3 * t + 2] << "\n";
    return o.str();
}

// Binary STL: 80 bytes of header, the count, then 50 bytes a triangle.
inline std::string stlBinary(const TestMesh& m) {
    std::string s(80, ' ');
    auto put = [&s](const void* p, size_t n) { s.append(static_cast<const char*>(p), n); };
    const uint32_t n = m.nTris();
    put(&n, 4);
    for (uint32_t t = 0; t < n; ++t) {
        const float* a = &m.pos[3 * m.tris[3 * t]];
        const float* b = &m.pos[3 * m.tris[3 * t + 1]];
        const float* c = &m.pos[3 * m.tris[3 * t + 2]];
        const float u[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]},
                    v[3] = {c[0] - a[0], c[1] - a[1], c[2] - a[2]};
        float nv[3] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
        const float l = std::sqrt(nv[0] * nv[0] + nv[1] * nv[1] + nv[2] * nv[2]);
        for (float& x : nv)
            x /= l;
        put(nv, 12);
        put(a, 12);
        put(b, 12);
        put(c, 12);
        const uint16_t attr = 0;
        put(&attr, 2);
    }
    return s;
}

// ASCII PLY of coloured points (no faces).
inline std::string plyPoints(const TestMesh& m) {
    std::ostringstream o;
    o.precision(9);
    o << "ply\nformat ascii 1.0\nelement vertex " << m.nVerts()
      << "\nproperty float x\nproperty float y\nproperty float z\n"
         "property uchar red\nproperty uchar green\nproperty uchar blue\nend_header\n";
    for (uint32_t v = 0; v < m.nVerts(); ++v)
        o << m.pos[3 * v] << " " << m.pos[3 * v + 1] << " " << m.pos[3 * v + 2] << " "
          << int(std::lround(m.colors[3 * v] * 255)) << " " << int(std::lround(m.colors[3 * v + 1] * 255))
          << " " << int(std::lround(m.colors[3 * v + 2] * 255)) << "\n";
    return o.str();
}

inline std::string base64(const std::string& bytes) {
    static const char* k = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const uint32_t v =
            uint32_t(uint8_t(bytes[i])) << 16 | uint32_t(uint8_t(bytes[i + 1])) << 8 | uint8_t(bytes[i + 2]);
        out += {k[v >> 18], k[(v >> 12) & 63], k[(v >> 6) & 63], k[v & 63]};
    }
    if (i < bytes.size()) {
        const uint32_t v = uint32_t(uint8_t(bytes[i])) << 16 |
                           (i + 1 < bytes.size() ? uint32_t(uint8_t(bytes[i + 1])) << 8 : 0);
        out += {k[v >> 18], k[(v >> 12) & 63], i + 1 < bytes.size() ? k[(v >> 6) & 63] : '=', '='};
    }
    return out;
}

// A glTF file with one mesh (positions and 16-bit indices in an embedded
// buffer) used by two nodes "left" and "right" under a node "assembly":
// left moved by (-3, 0, 0), right by (3, 1, 0) and scaled by 2.
inline std::string gltfTwoInstances(const TestMesh& m) {
    std::string buf;
    float lo[3] = {1e30f, 1e30f, 1e30f}, hi[3] = {-1e30f, -1e30f, -1e30f};
    for (uint32_t v = 0; v < m.nVerts(); ++v)
        for (int k = 0; k < 3; ++k) {
            lo[k] = std::min(lo[k], m.pos[3 * v + k]);
            hi[k] = std::max(hi[k], m.pos[3 * v + k]);
        }
    buf.append(reinterpret_cast<const char*>(m.pos.data()), m.pos.size() * 4);
    const size_t idxOffset = buf.size();
    for (uint32_t i : m.tris) {
        const uint16_t s = uint16_t(i);
        buf.append(reinterpret_cast<const char*>(&s), 2);
    }
    const size_t idxBytes = buf.size() - idxOffset;
    while (buf.size() % 4)
        buf.push_back('\0');
    std::ostringstream o;
    o << R"({"asset":{"version":"2.0"},"scene":0,"scenes":[{"nodes":[0]}],)"
      << R"("nodes":[{"name":"assembly","children":[1,2]},)"
      << R"({"name":"left","mesh":0,"translation":[-3,0,0]},)"
      << R"({"name":"right","mesh":0,"translation":[3,1,0],"scale":[2,2,2]}],)"
      << R"("meshes":[{"name":"part","primitives":[{"attributes":{"POSITION":0},"indices":1}]}],)"
      << R"("accessors":[{"bufferView":0,"componentType":5126,"count":)" << m.nVerts()
      << R"(,"type":"VEC3","min":[)" << lo[0] << "," << lo[1] << "," << lo[2] << "],\"max\":[" << hi[0] << ","
      << hi[1] << "," << hi[2] << "]},"
      << R"({"bufferView":1,"componentType":5123,"count":)" << m.tris.size() << R"(,"type":"SCALAR"}],)"
      << R"("bufferViews":[{"buffer":0,"byteOffset":0,"byteLength":)" << m.pos.size() * 4 << "},"
      << R"({"buffer":0,"byteOffset":)" << idxOffset << R"(,"byteLength":)" << idxBytes << "}],"
      << R"("buffers":[{"byteLength":)" << buf.size() << R"(,"uri":"data:application/octet-stream;base64,)"
      << base64(buf) << "\"}]}";
    return o.str();
}

// A fresh directory for one test, removed afterwards.
class ScratchDir {
public:
    ScratchDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "vq_exchange_XXXXXX").string();
        _dir = ::mkdtemp(tmpl.data()) ? tmpl : std::string();
    }
    ~ScratchDir() {
        std::error_code ec;
        if (!_dir.empty()) std::filesystem::remove_all(_dir, ec);
    }
    std::string operator/(const std::string& name) const { return _dir + "/" + name; }
    // The names of the files in the directory.
    std::vector<std::string> files() const {
        std::vector<std::string> out;
        for (const auto& e : std::filesystem::directory_iterator(_dir))
            out.push_back(e.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }

private:
    std::string _dir;
};

using Triangle = std::array<float, 9>;

// A triangle starting at its least corner, so that equal ones compare equal.
inline Triangle canonical(const std::array<aiVector3D, 3>& c) {
    int first = 0;
    for (int k = 1; k < 3; ++k)
        if (std::tie(c[k].x, c[k].y, c[k].z) < std::tie(c[first].x, c[first].y, c[first].z)) first = k;
    Triangle t;
    for (int k = 0; k < 3; ++k) {
        const aiVector3D& p = c[(first + k) % 3];
        t[3 * k] = p.x, t[3 * k + 1] = p.y, t[3 * k + 2] = p.z;
    }
    return t;
}

// The triangles of a scene in world coordinates.
inline void collectTriangles(const aiScene& s, const aiNode& n, const aiMatrix4x4& parent,
                             std::vector<Triangle>& out) {
    const aiMatrix4x4 world = parent * n.mTransformation;
    for (unsigned i = 0; i < n.mNumMeshes; ++i) {
        const aiMesh& m = *s.mMeshes[n.mMeshes[i]];
        for (unsigned f = 0; f < m.mNumFaces; ++f) {
            if (m.mFaces[f].mNumIndices != 3) continue;
            std::array<aiVector3D, 3> c;
            for (int k = 0; k < 3; ++k)
                c[k] = world * m.mVertices[m.mFaces[f].mIndices[k]];
            out.push_back(canonical(c));
        }
    }
    for (unsigned i = 0; i < n.mNumChildren; ++i)
        collectTriangles(s, *n.mChildren[i], world, out);
}

inline std::vector<Triangle> fileTriangles(const std::string& path) {
    Assimp::Importer imp;
    const aiScene* s = imp.ReadFile(path, aiProcess_Triangulate);
    std::vector<Triangle> out;
    if (s && s->mRootNode) collectTriangles(*s, *s->mRootNode, aiMatrix4x4(), out);
    return out;
}

// The triangles of a mesh scaled and then moved by (dx, dy, 0).
inline std::vector<Triangle> meshTriangles(const TestMesh& m, float dx = 0, float dy = 0, float scale = 1) {
    std::vector<Triangle> out;
    for (uint32_t t = 0; t < m.nTris(); ++t) {
        std::array<aiVector3D, 3> c;
        for (int k = 0; k < 3; ++k) {
            const float* p = &m.pos[3 * m.tris[3 * t + k]];
            c[k] = aiVector3D(p[0] * scale + dx, p[1] * scale + dy, p[2] * scale);
        }
        out.push_back(canonical(c));
    }
    return out;
}

// Every triangle of want has its own triangle in got with corners within
// tol, wound the same way, and there are no others. Fine for small meshes.
inline void expectSameTriangles(std::vector<Triangle> want, std::vector<Triangle> got, float tol) {
    ASSERT_EQ(want.size(), got.size());
    std::vector<bool> used(got.size(), false);
    for (const Triangle& w : want) {
        bool found = false;
        for (size_t j = 0; j < got.size() && !found; ++j) {
            if (used[j]) continue;
            bool near = true;
            // The least corner may differ when corners moved by less than tol: try each start.
            for (int r = 0; r < 3 && !found; ++r) {
                near = true;
                for (int k = 0; k < 9 && near; ++k)
                    near = std::fabs(w[k] - got[j][(k + 3 * r) % 9]) <= tol;
                if (near) used[j] = found = true;
            }
        }
        EXPECT_TRUE(found) << "no triangle near (" << w[0] << ", " << w[1] << ", " << w[2] << ") ...";
        if (!found) return;
    }
}

// Runs the reference glTF validator on path; "" when it found no error, the
// report otherwise. skip is set when node or the validator is not installed.
inline std::string validateGltf(const std::string& path, std::string& skip) {
    std::string modules;
    const char* const dirs[] = {std::getenv("VQ_GLTF_VALIDATOR_DIR"), VQ_NODE_MODULES_BUILD,
                                VQ_NODE_MODULES_SOURCE};
    for (const char* dir : dirs)
        if (dir && std::filesystem::exists(std::string(dir) + "/gltf-validator/package.json")) {
            modules = std::string(dir) + "/gltf-validator";
            break;
        }
    if (std::system("node --version > /dev/null 2>&1") != 0) {
        skip = "node is not installed: glTF validation skipped";
        return "";
    }
    if (modules.empty()) {
        skip = "the npm package gltf-validator is not installed (make test installs it): glTF validation "
               "skipped";
        return "";
    }
    const std::string cmd =
        "node '" + std::string(VQ_GLTF_VALIDATE_SCRIPT) + "' '" + modules + "' '" + path + "' 2>&1";
    std::string output;
    if (FILE* p = ::popen(cmd.c_str(), "r")) {
        char line[512];
        while (std::fgets(line, sizeof line, p))
            output += line;
        const int rc = ::pclose(p);
        if (rc == 0) return "";
    }
    return output.empty() ? "the validator did not run" : output;
}
