#include "VqImporter.h"

#include "VqErrorState.h"
#include "VqFloat32PropAtom.h"
#include "VqGroup.h"
#include "VqInstance.h"
#include "VqLineStripTopoMesh.h"
#include "VqLodChain.h"
#include "VqMaterial.h"
#include "VqPartition.h"
#include "VqPointSet.h"
#include "VqPointSetImpl.h"
#include "VqPointTopoMesh.h"
#include "VqPolygonTopoMesh.h"
#include "VqPolylineSet.h"
#include "VqPolylineSetImpl.h"
#include "VqRangeLOD.h"
#include "VqStringPropAtom.h"
#include "VqTriStripSet.h"
#include "VqTriStripSetImpl.h"
#include "VqTriStripTopoMesh.h"
#include "VqTriStripperEngine.h"
#include "VqXform.h"

#include <assimp/Importer.hpp>
#include <assimp/ProgressHandler.hpp>
#include <assimp/material.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <sys/stat.h>

namespace Vq {

namespace {

const char* const kCls = "Vq::Importer";

// Records a failure that names the input file, as one line.
bool fail(const std::string& path, const char* method, const std::string& what, VqErrorCode code) {
    VqErrorState::throwStdError(kCls, method, path.c_str(), what.c_str(), code);
    return false;
}

// assimp's matrices act on column vectors; ours on row vectors.
VqMatrix4d toRowMajor(const aiMatrix4x4& a) {
    VqMatrix4d m;
    for (unsigned r = 0; r < 4; ++r)
        for (unsigned c = 0; c < 4; ++c)
            m[int(r)][int(c)] = double(a[c][r]);
    return m;
}

class Progress final : public Assimp::ProgressHandler {
public:
    explicit Progress(const std::function<void(const char*, float)>& fn) : _fn(fn) {}
    bool Update(float done) override {
        if (_fn && done >= 0.0f) _fn("reading", std::min(done, 1.0f));
        return true;
    }

private:
    std::function<void(const char*, float)> _fn;
};

// The vertex data of one mesh, as the record pool takes it.
struct Vertices {
    uint64_t bindings = VQ_GEOMBIND_VTXCOORD3;
    uint32_t n = 0;
    std::vector<float> coords, normals, colors, tex;

    // The vertices of src that keep names (all when keep is empty), in that order.
    void take(const aiMesh& src, const std::vector<uint32_t>& keep) {
        n = keep.empty() ? src.mNumVertices : uint32_t(keep.size());
        auto at = [&](uint32_t i) { return keep.empty() ? i : keep[i]; };
        const bool hasNormals = src.HasNormals(), hasTex = src.HasTextureCoords(0),
                   hasColors = src.HasVertexColors(0);
        bool alpha = false;
        if (hasColors)
            for (uint32_t i = 0; i < src.mNumVertices && !alpha; ++i)
                alpha = src.mColors[0][i].a != 1.0f;
        bindings = VQ_GEOMBIND_VTXCOORD3 | (hasNormals ? VQ_GEOMBIND_NORMVEC3 : 0) |
                   (hasTex ? VQ_GEOMBIND_TEXCOORD2_C0 : 0) |
                   (hasColors ? (alpha ? VQ_GEOMBIND_VTXCOLOR4 : VQ_GEOMBIND_VTXCOLOR3) : 0);
        coords.resize(size_t(n) * 3);
        for (uint32_t i = 0; i < n; ++i) {
            const aiVector3D& v = src.mVertices[at(i)];
            std::copy_n(&v.x, 3, &coords[3 * size_t(i)]);
            if (hasNormals) {
                const aiVector3D& nv = src.mNormals[at(i)];
                normals.insert(normals.end(), {nv.x, nv.y, nv.z});
            }
            if (hasTex) {
                const aiVector3D& t = src.mTextureCoords[0][at(i)];
                tex.insert(tex.end(), {t.x, t.y});
            }
            if (hasColors) {
                const aiColor4D& c = src.mColors[0][at(i)];
                colors.insert(colors.end(), {c.r, c.g, c.b});
                if (alpha) colors.push_back(c.a);
            }
        }
    }

    // Appends the vertices to the pool of mesh as records 0..n-1.
    bool addTo(VqTopoMesh& mesh) const {
        VqVertexRecordPool& pool = *mesh.vtxRecPool();
        const float* texUnits[VQ_GEOMBIND_NUM_TEXUNITS] = {tex.empty() ? nullptr : tex.data()};
        uint32_t first = 0;
        pool.lockWrite(true);
        const bool ok =
            pool.addVtxRecords(n, first, coords.data(), normals.empty() ? nullptr : normals.data(),
                               colors.empty() ? nullptr : colors.data(), texUnits, nullptr);
        pool.lockWrite(false);
        return ok;
    }
};

class Builder {
public:
    Builder(const Importer::Options& opt, Importer::Report& report) : _opt(opt), _report(report) {}

    bool build(const aiScene& scene, VqPartition& root);

private:
    // The meshes and children of src under dest.
    bool _contents(const aiScene& scene, const aiNode& src, VqNode& dest, int depth);
    // The subgraph of mesh i, made at its first use; null for a mesh with
    // nothing to draw.
    bool _mesh(const aiScene& scene, unsigned i, Vq::SharedPtr<VqNode>& out);
    bool _triangles(const aiMesh& m, Vq::SharedPtr<VqNode>& out);
    bool _triShape(const aiMesh& m, const std::vector<uint32_t>& tris, bool compact,
                   Vq::SharedPtr<VqShape>& out);
    bool _pointsOrLines(const aiMesh& m, bool lines, Vq::SharedPtr<VqNode>& out);
    Vq::SharedPtr<VqMaterial> _material(const aiScene& scene, unsigned i);

    const Importer::Options& _opt;
    Importer::Report& _report;
    std::vector<unsigned> _uses;
    std::vector<Vq::SharedPtr<VqNode>> _meshNodes;
    std::vector<bool> _meshDone;
    std::map<unsigned, Vq::SharedPtr<VqMaterial>> _materials;
    VqTriStripperEngine _stripper;
    unsigned _nMeshesDone = 0;
};

void countUses(const aiNode& n, std::vector<unsigned>& uses, int depth) {
    if (depth > Importer::s_kMaxDepth) return;
    for (unsigned i = 0; i < n.mNumMeshes; ++i)
        if (n.mMeshes[i] < uses.size()) ++uses[n.mMeshes[i]];
    for (unsigned i = 0; i < n.mNumChildren; ++i)
        countUses(*n.mChildren[i], uses, depth + 1);
}

bool Builder::build(const aiScene& scene, VqPartition& root) {
    _uses.assign(scene.mNumMeshes, 0);
    _meshNodes.resize(scene.mNumMeshes);
    _meshDone.assign(scene.mNumMeshes, false);
    countUses(*scene.mRootNode, _uses, 0);
    if (scene.mRootNode->mName.length)
        VQ_PROPAGATE(root.setName(VqString::fromUtf8(scene.mRootNode->mName.C_Str())));
    // The unit scale applies after the root's own transform.
    aiMatrix4x4 top = scene.mRootNode->mTransformation;
    if (_opt.unitScale != 1.0) {
        aiMatrix4x4 s;
        aiMatrix4x4::Scaling(aiVector3D(float(_opt.unitScale)), s);
        top = s * top;
    }
    if (!top.IsIdentity())
        VQ_PROPAGATE(root.appendAttribute(Vq::SharedPtr<VqXform>(new VqXform(toRowMajor(top))).get()));
    ++_report.nodes;
    return _contents(scene, *scene.mRootNode, root, 0);
}

bool Builder::_contents(const aiScene& scene, const aiNode& src, VqNode& dest, int depth) {
    // assimp's readers build the hierarchy recursively too, so a deeper one
    // does not come from them; the bound keeps a hostile file from our stack.
    if (depth > Importer::s_kMaxDepth)
        VQ_FAIL(kCls, "read", "node hierarchy deeper than 1000 levels", VQ_ERR_CORRUPT);
    for (unsigned i = 0; i < src.mNumMeshes; ++i) {
        const unsigned index = src.mMeshes[i];
        if (index >= scene.mNumMeshes)
            VQ_FAIL(kCls, "read", "a node names a mesh that does not exist", VQ_ERR_CORRUPT);
        Vq::SharedPtr<VqNode> sub;
        VQ_PROPAGATE(_mesh(scene, index, sub));
        if (!sub) continue;
        if (_uses[index] > 1) {
            // Placed first: an instance's child must be in the instance's partition.
            Vq::SharedPtr<VqInstance> inst = new VqInstance();
            VQ_PROPAGATE(dest.appendChild(inst.get()));
            VQ_PROPAGATE(inst->replaceChild(sub.get()));
            ++_report.instances;
        } else {
            VQ_PROPAGATE(dest.appendChild(sub.get()));
        }
    }
    for (unsigned i = 0; i < src.mNumChildren; ++i) {
        const aiNode& c = *src.mChildren[i];
        Vq::SharedPtr<VqGroup> g = new VqGroup();
        if (c.mName.length) VQ_PROPAGATE(g->setName(VqString::fromUtf8(c.mName.C_Str())));
        if (!c.mTransformation.IsIdentity())
            VQ_PROPAGATE(
                g->appendAttribute(Vq::SharedPtr<VqXform>(new VqXform(toRowMajor(c.mTransformation))).get()));
        VQ_PROPAGATE(dest.appendChild(g.get()));
        ++_report.nodes;
        VQ_PROPAGATE(_contents(scene, c, *g, depth + 1));
    }
    return true;
}

bool Builder::_mesh(const aiScene& scene, unsigned i, Vq::SharedPtr<VqNode>& out) {
    if (_meshDone[i]) {
        out = _meshNodes[i];
        return true;
    }
    _meshDone[i] = true;
    const aiMesh& m = *scene.mMeshes[i];
    ++_report.meshes;
    if (m.mNumVertices > 0 && !m.mVertices)
        VQ_FAIL(kCls, "read", "a mesh has no vertex array", VQ_ERR_CORRUPT);
    if (m.mNumFaces > 0 && !m.mFaces) VQ_FAIL(kCls, "read", "a mesh has no face array", VQ_ERR_CORRUPT);
    if (m.mNumVertices > 0 && m.mNumFaces == 0) {
        // A point cloud: readers give its vertices and no faces.
        VQ_PROPAGATE(_pointsOrLines(m, false, out));
    } else if (m.mNumVertices > 0) {
        // SortByPType leaves one kind of primitive in each mesh; triangles
        // made from polygons carry a flag besides, which says how.
        const unsigned kind = m.mPrimitiveTypes & ~unsigned(aiPrimitiveType_NGONEncodingFlag);
        if (kind == aiPrimitiveType_TRIANGLE)
            VQ_PROPAGATE(_triangles(m, out));
        else if (kind == aiPrimitiveType_POINT || kind == aiPrimitiveType_LINE)
            VQ_PROPAGATE(_pointsOrLines(m, kind == aiPrimitiveType_LINE, out));
    }
    if (out) {
        if (m.mName.length) VQ_PROPAGATE(out->setName(VqString::fromUtf8(m.mName.C_Str())));
        if (Vq::SharedPtr<VqMaterial> mat = _material(scene, m.mMaterialIndex))
            VQ_PROPAGATE(out->appendAttribute(mat.get()));
    }
    _meshNodes[i] = out;
    if (_opt.progress) _opt.progress("building", float(++_nMeshesDone) / float(scene.mNumMeshes));
    return true;
}

// The triangles of a mesh, each index checked against the vertices: the
// readers are trusted to make faces of three after Triangulate, not to keep
// their indices in range on a damaged file.
bool triangleIndices(const aiMesh& m, std::vector<uint32_t>& out) {
    out.reserve(size_t(m.mNumFaces) * 3);
    for (unsigned f = 0; f < m.mNumFaces; ++f) {
        const aiFace& face = m.mFaces[f];
        if (face.mNumIndices != 3) continue;
        for (int k = 0; k < 3; ++k) {
            if (face.mIndices[k] >= m.mNumVertices)
                VQ_FAIL(kCls, "read", "a face names a vertex that does not exist", VQ_ERR_CORRUPT);
            out.push_back(face.mIndices[k]);
        }
    }
    return true;
}

bool Builder::_triangles(const aiMesh& m, Vq::SharedPtr<VqNode>& out) {
    std::vector<uint32_t> tris;
    VQ_PROPAGATE(triangleIndices(m, tris));
    if (tris.empty()) return true;
    _report.triangles += tris.size() / 3;
    _report.vertices += m.mNumVertices;
    if (_opt.lodCount <= 1) {
        Vq::SharedPtr<VqShape> s;
        VQ_PROPAGATE(_triShape(m, tris, false, s));
        out = s.get();
        return true;
    }
    LodChain::Targets targets = LodChain::Targets::defaults(_opt.lodCount);
    if (!_opt.lodRatios.empty()) targets.ratio = _opt.lodRatios;
    if (!_opt.lodErrors.empty()) targets.maxError = _opt.lodErrors;
    std::vector<float> positions(size_t(m.mNumVertices) * 3);
    for (unsigned v = 0; v < m.mNumVertices; ++v)
        std::copy_n(&m.mVertices[v].x, 3, &positions[3 * size_t(v)]);
    LodChain chain;
    chain.build(positions.data(), m.mNumVertices, tris, targets);
    if (chain.levels().size() == 1) {
        Vq::SharedPtr<VqShape> s;
        VQ_PROPAGATE(_triShape(m, tris, false, s));
        out = s.get();
        return true;
    }
    Vq::SharedPtr<VqRangeLOD> lod = new VqRangeLOD();
    std::vector<float> limits;
    VqBox3<float> box;
    for (size_t l = 0; l < chain.levels().size(); ++l) {
        Vq::SharedPtr<VqShape> s;
        VQ_PROPAGATE(_triShape(m, chain.levels()[l].indices, l > 0, s));
        VQ_PROPAGATE(s->addProp(
            Vq::SharedPtr<VqStringPropAtom>(new VqStringPropAtom(Importer::s_kLodErrorProp)).get(),
            Vq::SharedPtr<VqFloat32PropAtom>(new VqFloat32PropAtom(chain.absoluteError(int(l)))).get()));
        VQ_PROPAGATE(lod->appendChild(s.get()));
    }
    for (unsigned v = 0; v < m.mNumVertices; ++v)
        box.extendBy(VqFixedVec<float, 3>(m.mVertices[v].x, m.mVertices[v].y, m.mVertices[v].z));
    // Traversal measures distance in bounding radii (half the box diagonal)
    // and takes the first child whose limit lies beyond it. A level is good
    // enough once its error, seen from that far, stays under a thousandth of
    // the view (about a pixel across a screen the object would fill at one
    // radius), so child l serves until level l + 1 becomes good enough there.
    const VqFixedVec<float, 3> d = box.max - box.min;
    const float radius = 0.5f * std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    constexpr float kTolerance = 0.001f;
    for (size_t l = 0; l + 1 < chain.levels().size(); ++l) {
        float limit = radius > 0 ? chain.absoluteError(int(l + 1)) / radius / kTolerance : 0.0f;
        if (!limits.empty()) limit = std::max(limit, limits.back());
        limits.push_back(limit);
    }
    limits.push_back(std::numeric_limits<float>::max());
    VQ_PROPAGATE(lod->setRangeLimits(limits));
    lod->setCenter(VqFixedVec<float, 3>(0.5f * (box.min[0] + box.max[0]), 0.5f * (box.min[1] + box.max[1]),
                                        0.5f * (box.min[2] + box.max[2])));
    ++_report.lodNodes;
    out = lod.get();
    return true;
}

bool Builder::_triShape(const aiMesh& m, const std::vector<uint32_t>& tris, bool compact,
                        Vq::SharedPtr<VqShape>& out) {
    // A simplified level uses a subset of the vertices: it gets a pool of
    // those alone, renumbered in order of first use.
    std::vector<uint32_t> keep, local;
    const std::vector<uint32_t>* idx = &tris;
    if (compact) {
        std::vector<uint32_t> map(m.mNumVertices, ~0u);
        local.reserve(tris.size());
        for (uint32_t v : tris) {
            if (map[v] == ~0u) {
                map[v] = uint32_t(keep.size());
                keep.push_back(v);
            }
            local.push_back(map[v]);
        }
        idx = &local;
    }
    Vertices verts;
    verts.take(m, keep);
    Vq::SharedPtr<VqPolygonTopoMesh> poly = new VqPolygonTopoMesh(verts.bindings);
    VQ_PROPAGATE(verts.addTo(*poly));
    poly->lockWrite(true);
    const bool added = poly->addPrimitives(0, uint32_t(idx->size() / 3), 3u, idx->data());
    poly->lockWrite(false);
    VQ_PROPAGATE(added);
    // The triangles reach the stripper in the file's order, not in a vertex
    // cache order first: the stripper picks its starts and grows its strips
    // by the topology, so such an order would only break ties.
    Vq::SharedPtr<VqTriStripTopoMesh> strips = new VqTriStripTopoMesh(poly->vtxRecPool());
    VQ_PROPAGATE(_stripper.apply(strips.get(), poly.get()));
    Vq::SharedPtr<VqTriStripSetImpl> impl = new VqTriStripSetImpl(verts.bindings);
    Vq::SharedPtr<VqTriStripSet> shape = new VqTriStripSet(verts.bindings);
    VQ_PROPAGATE(shape->setImpl(impl.get()));
    VQ_PROPAGATE(impl->setTopoMesh(strips.get()));
    VQ_PROPAGATE(shape->setCompressionLevel(_opt.compressionLevel));
    ++_report.shapes;
    out = shape.get();
    return true;
}

bool Builder::_pointsOrLines(const aiMesh& m, bool lines, Vq::SharedPtr<VqNode>& out) {
    std::vector<uint32_t> idx;
    const unsigned per = lines ? 2 : 1;
    if (m.mNumFaces == 0)
        for (uint32_t v = 0; v < m.mNumVertices; ++v)
            idx.push_back(v);
    for (unsigned f = 0; f < m.mNumFaces; ++f) {
        const aiFace& face = m.mFaces[f];
        if (face.mNumIndices != per) continue;
        for (unsigned k = 0; k < per; ++k) {
            if (face.mIndices[k] >= m.mNumVertices)
                VQ_FAIL(kCls, "read", "a face names a vertex that does not exist", VQ_ERR_CORRUPT);
            idx.push_back(face.mIndices[k]);
        }
    }
    if (idx.empty()) return true;
    Vertices verts;
    verts.take(m, {});
    Vq::SharedPtr<VqTopoMesh> mesh;
    if (lines)
        mesh = new VqLineStripTopoMesh(verts.bindings);
    else
        mesh = new VqPointTopoMesh(verts.bindings);
    VQ_PROPAGATE(verts.addTo(*mesh));
    mesh->lockWrite(true);
    // Each segment a line strip of two; all points one primitive.
    const bool added = lines ? mesh->addPrimitives(0, uint32_t(idx.size() / 2), 2u, idx.data())
                             : mesh->addPrimitives(0, 1, uint32_t(idx.size()), idx.data());
    mesh->lockWrite(false);
    VQ_PROPAGATE(added);
    Vq::SharedPtr<VqVertexShapeImpl> impl;
    Vq::SharedPtr<VqVertexShape> shape;
    if (lines) {
        impl = new VqPolylineSetImpl(verts.bindings);
        shape = new VqPolylineSet(verts.bindings);
        _report.lines += idx.size() / 2;
    } else {
        impl = new VqPointSetImpl(verts.bindings);
        shape = new VqPointSet(verts.bindings);
        _report.points += idx.size();
    }
    _report.vertices += verts.n;
    VQ_PROPAGATE(shape->setImpl(impl.get()));
    VQ_PROPAGATE(impl->setTopoMesh(mesh.get()));
    VQ_PROPAGATE(shape->setCompressionLevel(_opt.compressionLevel));
    ++_report.shapes;
    out = shape.get();
    return true;
}

Vq::SharedPtr<VqMaterial> Builder::_material(const aiScene& scene, unsigned i) {
    if (i >= scene.mNumMaterials) return nullptr;
    auto found = _materials.find(i);
    if (found != _materials.end()) return found->second;
    const aiMaterial& src = *scene.mMaterials[i];
    Vq::SharedPtr<VqMaterial> mat = new VqMaterial();
    auto vec = [](const aiColor4D& c) { return VqVec4f(c.r, c.g, c.b, c.a); };
    aiColor4D c;
    // glTF's base colour, where the file has one, is the diffuse colour.
    if (src.Get(AI_MATKEY_BASE_COLOR, c) == AI_SUCCESS || src.Get(AI_MATKEY_COLOR_DIFFUSE, c) == AI_SUCCESS) {
        float opacity = 1.0f;
        if (src.Get(AI_MATKEY_OPACITY, opacity) == AI_SUCCESS && opacity >= 0.0f && opacity < 1.0f)
            c.a *= opacity;
        mat->setDiffuseColor(vec(c));
    }
    if (src.Get(AI_MATKEY_COLOR_AMBIENT, c) == AI_SUCCESS) mat->setAmbientColor(vec(c));
    if (src.Get(AI_MATKEY_COLOR_SPECULAR, c) == AI_SUCCESS) mat->setSpecularColor(vec(c));
    if (src.Get(AI_MATKEY_COLOR_EMISSIVE, c) == AI_SUCCESS) mat->setEmissionColor(vec(c));
    float shininess = 0.0f;
    // The same exponent as the Phong model's, which our range also bounds.
    if (src.Get(AI_MATKEY_SHININESS, shininess) == AI_SUCCESS && std::isfinite(shininess))
        mat->setShininess(std::clamp(shininess, 0.0f, 128.0f));
    VqErrorState::clearError(); // a colour out of range keeps its default
    _materials[i] = mat;
    ++_report.materials;
    return mat;
}

// Vertices with a coordinate that is not finite, over all meshes.
uint64_t nonFiniteVertices(const aiScene& scene) {
    uint64_t n = 0;
    for (unsigned i = 0; i < scene.mNumMeshes; ++i) {
        if (!scene.mMeshes[i] || !scene.mMeshes[i]->mVertices) continue;
        const aiMesh& m = *scene.mMeshes[i];
        for (unsigned v = 0; v < m.mNumVertices; ++v)
            if (!std::isfinite(m.mVertices[v].x) || !std::isfinite(m.mVertices[v].y) ||
                !std::isfinite(m.mVertices[v].z))
                ++n;
    }
    return n;
}

bool hasGeometry(const aiScene& scene) {
    for (unsigned i = 0; i < scene.mNumMeshes; ++i)
        if (scene.mMeshes[i] && scene.mMeshes[i]->mNumVertices > 0) return true;
    return false;
}

} // namespace

float Importer::coordBitsLevel(int bits) {
    // The level L gives trunc(9 L + 25 (1 - L)) bits: the middle of the
    // interval that truncates to `bits` keeps clear of rounding at its ends.
    bits = std::clamp(bits, 9, 24);
    return (24.5f - float(bits)) / 16.0f;
}

bool Importer::read(const std::string& path, const Options& options, Vq::SharedPtr<VqPartition>& out) {
    _report = Report();
    out = nullptr;
    // Nothing escapes as an exception: running out of memory on a huge file
    // is a failure like any other.
    try {
        return _read(path, options, out);
    } catch (...) {
        out = nullptr;
        VqErrorState::recordCurrentException(kCls, "read");
        VqErrorState::rethrowError(path.c_str());
        return false;
    }
}

bool Importer::_read(const std::string& path, const Options& options, Vq::SharedPtr<VqPartition>& out) {
    if (options.lodCount < 1 || options.lodCount > LodChain::s_kMaxLevels)
        return fail(path, "read", "the number of levels of detail must be 1 to 10", VQ_ERR_ARGUMENT);
    const size_t generated = size_t(options.lodCount - 1);
    if ((!options.lodRatios.empty() && options.lodRatios.size() != generated) ||
        (!options.lodErrors.empty() && options.lodErrors.size() != generated))
        return fail(path, "read", "give one ratio and one error for each level after the first",
                    VQ_ERR_ARGUMENT);
    for (float r : options.lodRatios)
        if (!(r > 0.0f && r <= 1.0f))
            return fail(path, "read", "a level's ratio must lie in (0, 1]", VQ_ERR_ARGUMENT);
    for (float e : options.lodErrors)
        if (!(e >= 0.0f && e <= 1.0f))
            return fail(path, "read", "a level's error must lie in [0, 1]", VQ_ERR_ARGUMENT);
    if (!(options.unitScale > 0.0) || !std::isfinite(options.unitScale))
        return fail(path, "read", "the unit scale must be a positive number", VQ_ERR_ARGUMENT);
    if (!(options.compressionLevel >= 0.0f && options.compressionLevel <= 1.0f))
        return fail(path, "read", "the compression level must lie in [0, 1]", VQ_ERR_ARGUMENT);

    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return fail(path, "read", std::strerror(errno), VQ_ERR_OPEN);
    if (S_ISDIR(st.st_mode)) return fail(path, "read", "is a directory", VQ_ERR_OPEN);
    if (st.st_size == 0) return fail(path, "read", "the file is empty", VQ_ERR_CORRUPT);

    Assimp::Importer importer;
    if (options.progress) importer.SetProgressHandler(new Progress(options.progress));
    // Polygons become triangles, and each mesh one kind of primitive. assimp's
    // own structure check is left out: it refuses a scene without meshes and
    // a point cloud (a mesh without faces), both of which we take; what it
    // would catch that matters here (indices out of range, missing arrays)
    // the builder checks itself.
    unsigned flags = aiProcess_Triangulate | aiProcess_SortByPType;
    if (options.weld) flags |= aiProcess_JoinIdenticalVertices;
    const aiScene* scene = importer.ReadFile(path, flags);
    if (scene && scene->mNumMeshes > 0 && !scene->mMeshes) scene = nullptr;
    for (unsigned i = 0; scene && i < scene->mNumMeshes; ++i)
        if (!scene->mMeshes[i]) scene = nullptr;
    if (!scene || !scene->mRootNode) {
        std::string why = importer.GetErrorString();
        if (why.empty()) why = "not a file in a format the reader knows";
        return fail(path, "read", "cannot read: " + why, VQ_ERR_CORRUPT);
    }
    if (const uint64_t bad = nonFiniteVertices(*scene))
        return fail(path, "read",
                    std::to_string(bad) + (bad == 1 ? " vertex has" : " vertices have") +
                        " a coordinate that is not a finite number (NaN or infinite)",
                    VQ_ERR_CORRUPT);
    Vq::SharedPtr<VqPartition> root = new VqPartition();
    if (!hasGeometry(*scene)) {
        _report.empty = true;
        _report.nodes = 1;
        out = root;
        return true;
    }
    Builder builder(options, _report);
    if (!builder.build(*scene, *root)) {
        VqErrorState::rethrowError(path.c_str());
        return false;
    }
    out = root;
    return true;
}

bool Importer::importFile(const std::string& inPath, const std::string& outPath, const Options& options) {
    Vq::SharedPtr<VqPartition> root;
    VQ_PROPAGATE(read(inPath, options, root));
    if (options.progress) options.progress("writing", 0.0f);
    // The save writes a temporary file and renames it over outPath only once
    // it is complete, so a failure leaves what was there before.
    try {
        VQ_PROPAGATE(root->saveAs(VqString::fromUtf8(outPath), {.versionMajor = options.versionMajor,
                                                                .versionMinor = options.versionMinor}));
    } catch (...) {
        return VqErrorState::recordCurrentException(kCls, "importFile");
    }
    if (options.progress) options.progress("writing", 1.0f);
    return true;
}

} // namespace Vq
