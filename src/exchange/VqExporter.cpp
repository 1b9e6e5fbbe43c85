#include "VqExporter.h"

#include "VqErrorState.h"
#include "VqInstance.h"
#include "VqLOD.h"
#include "VqMaterial.h"
#include "VqPartition.h"
#include "VqShape.h"
#include "VqStdError.h"
#include "VqSwitch.h"
#include "VqTopoMesh.h"
#include "VqXform.h"

#include <assimp/Exporter.hpp>
#include <assimp/material.h>
#include <assimp/scene.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <system_error>

namespace Vq {

namespace {

const char* const kCls = "Vq::Exporter";
constexpr int kMaxDepth = 1000;

bool fail(const std::string& path, const char* method, const std::string& what, VqErrorCode code) {
    VqErrorState::throwStdError(kCls, method, path.c_str(), what.c_str(), code);
    return false;
}

// Our matrices act on row vectors, assimp's on column vectors.
aiMatrix4x4 toColumnMajor(const VqMatrix4d& m) {
    aiMatrix4x4 a;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            a[unsigned(c)][unsigned(r)] = float(m[r][c]);
    return a;
}

struct Format {
    const char* ext;
    const char* assimpId;
    bool hierarchy;     // whether the format keeps nodes and their transforms
    bool trianglesOnly; // whether it holds nothing but triangles
};
// Binary PLY and STL: smaller, and read exactly back. STL has room for
// triangles alone (assimp's writer would put segments and points out of step
// with its triangle count), so those shapes are left out of it.
const Format kFormats[] = {{"glb", "glb2", true, false},
                           {"gltf", "gltf2", true, false},
                           {"obj", "obj", false, false},
                           {"ply", "plyb", false, false},
                           {"stl", "stlb", false, true}};

const Format* findFormat(std::string ext) {
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    for (const Format& f : kFormats)
        if (ext == f.ext) return &f;
    return nullptr;
}

// The node tree as it is gathered; turned into assimp's nodes at the end.
struct OutNode {
    std::string name;
    aiMatrix4x4 matrix;
    std::vector<unsigned> meshes;
    std::vector<std::unique_ptr<OutNode>> children;

    aiNode* release(aiNode* parent) const {
        auto* n = new aiNode(name);
        n->mParent = parent;
        n->mTransformation = matrix;
        if (!meshes.empty()) {
            n->mNumMeshes = unsigned(meshes.size());
            n->mMeshes = new unsigned[meshes.size()];
            std::copy(meshes.begin(), meshes.end(), n->mMeshes);
        }
        if (!children.empty()) {
            n->mNumChildren = unsigned(children.size());
            n->mChildren = new aiNode*[children.size()];
            for (size_t i = 0; i < children.size(); ++i)
                n->mChildren[i] = children[i]->release(n);
        }
        return n;
    }
};

class SceneBuilder {
public:
    SceneBuilder(const Exporter::Options& opt, bool flatten, bool trianglesOnly, Exporter::Report& report)
        : _opt(opt), _bFlatten(flatten), _bTrianglesOnly(trianglesOnly), _report(report) {}
    ~SceneBuilder() {
        for (aiMesh* m : _meshes)
            delete m;
        for (aiMaterial* m : _materials)
            delete m;
    }

    bool visit(VqNode* n, OutNode& parent, const VqMatrix4d& world, const VqMaterial* mat, int depth);
    // Hands the gathered meshes, materials and nodes to a new scene.
    std::unique_ptr<aiScene> release(const OutNode& root);

private:
    bool _shapeMesh(VqShape& s, const VqMaterial* mat, const VqMatrix4d* world, int& index);
    unsigned _material(const VqMaterial* mat);

    const Exporter::Options& _opt;
    bool _bFlatten;
    bool _bTrianglesOnly;
    Exporter::Report& _report;
    std::vector<aiMesh*> _meshes;
    std::vector<aiMaterial*> _materials;
    std::map<std::pair<const VqShape*, const VqMaterial*>, int> _meshOf;
    std::map<const VqMaterial*, unsigned> _materialOf;
};

bool SceneBuilder::visit(VqNode* n, OutNode& parent, const VqMatrix4d& world, const VqMaterial* mat,
                         int depth) {
    if (depth > kMaxDepth) VQ_FAIL(kCls, "write", "graph deeper than 1000 levels", VQ_ERR_ARGUMENT);
    const VqXform* xf = nullptr;
    VqAttribute* const* attrs = nullptr;
    int nAttrs = 0;
    n->attributes(attrs, nAttrs);
    for (int i = 0; i < nAttrs; ++i) {
        if (auto* x = Vq::typeCast<VqXform>(attrs[i])) xf = x;
        if (auto* m = Vq::typeCast<VqMaterial>(attrs[i])) mat = m;
    }
    // Row vectors: the node's own transform acts first, then its parents'.
    const VqMatrix4d here = xf ? xf->matrix() * world : world;
    OutNode* into = &parent;
    if (!_bFlatten && (xf || !Vq::typeCast<VqShape>(n))) {
        auto child = std::make_unique<OutNode>();
        child->name = n->name().toUtf8();
        if (xf) child->matrix = toColumnMajor(xf->matrix());
        into = child.get();
        parent.children.push_back(std::move(child));
        ++_report.nodes;
    }
    if (auto* s = Vq::typeCast<VqShape>(n)) {
        int index = -1;
        VQ_PROPAGATE(_shapeMesh(*s, mat, _bFlatten ? &here : nullptr, index));
        if (index >= 0) into->meshes.push_back(unsigned(index));
        return true;
    }
    if (auto* lod = Vq::typeCast<VqLOD>(n)) {
        const unsigned count = lod->numChildren();
        if (count == 0) return true;
        const unsigned k = std::min(unsigned(std::max(_opt.lod, 0)), count - 1);
        return visit(lod->child(int(k)), *into, here, mat, depth + 1);
    }
    if (auto* sw = Vq::typeCast<VqSwitch>(n)) {
        const int k = sw->selectedChild();
        if (k < 0 || unsigned(k) >= sw->numChildren()) return true;
        return visit(sw->child(k), *into, here, mat, depth + 1);
    }
    for (unsigned i = 0; i < n->numChildren(); ++i)
        VQ_PROPAGATE(visit(n->child(int(i)), *into, here, mat, depth + 1));
    return true;
}

// Triangles, segments or points of a mesh as index lists; triangles whose
// corners do not lie at three places (a strip's turns) are left out.
void primitives(const VqTopoMesh& m, std::vector<uint32_t>& out, unsigned& per) {
    const uint32_t* starts = m.primStarts();
    const uint32_t* idx = m.indices();
    const Vq::VertexRecordFields& f = *m.vtxRecPool()->fields();
    const int nc = f.numVtxCoordComps();
    auto same = [&](uint32_t a, uint32_t b) {
        return a == b || std::equal(f.vtxCoords() + size_t(a) * nc, f.vtxCoords() + size_t(a + 1) * nc,
                                    f.vtxCoords() + size_t(b) * nc);
    };
    auto tri = [&](uint32_t a, uint32_t b, uint32_t c) {
        if (!same(a, b) && !same(b, c) && !same(a, c)) out.insert(out.end(), {a, b, c});
    };
    per = m.primKind() == VqTopoMesh::VQ_PRIM_LINESTRIP ? 2
          : m.primKind() == VqTopoMesh::VQ_PRIM_POINT   ? 1
                                                        : 3;
    for (uint32_t p = 0; p < m.numPrims(); ++p) {
        const uint32_t b = starts[p], e = starts[p + 1];
        switch (m.primKind()) {
        case VqTopoMesh::VQ_PRIM_TRISTRIP:
            // Odd triangles of a strip wind the other way round.
            for (uint32_t j = b; j + 2 < e; ++j)
                if ((j - b) & 1)
                    tri(idx[j + 1], idx[j], idx[j + 2]);
                else
                    tri(idx[j], idx[j + 1], idx[j + 2]);
            break;
        case VqTopoMesh::VQ_PRIM_POLYGON:
            for (uint32_t j = b + 1; j + 1 < e; ++j)
                tri(idx[b], idx[j], idx[j + 1]);
            break;
        case VqTopoMesh::VQ_PRIM_LINESTRIP:
            for (uint32_t j = b; j + 1 < e; ++j)
                out.insert(out.end(), {idx[j], idx[j + 1]});
            break;
        case VqTopoMesh::VQ_PRIM_POINT:
            out.insert(out.end(), idx + b, idx + e);
            break;
        }
    }
}

bool SceneBuilder::_shapeMesh(VqShape& s, const VqMaterial* mat, const VqMatrix4d* world, int& index) {
    // Without a transform to apply, a shape met again with the same material is the same mesh.
    const auto key = std::make_pair(static_cast<const VqShape*>(&s), mat);
    if (!world) {
        auto found = _meshOf.find(key);
        if (found != _meshOf.end()) {
            index = found->second;
            return true;
        }
    }
    const bool wasLoaded = s.isImplLoaded();
    Vq::SharedPtr<VqShapeImpl> impl = s.ensureConstImpl();
    if (!impl && VqErrorState::currentError()) {
        VqErrorState::rethrowError();
        return false;
    }
    VqTopoMesh* tm = impl ? impl->topoMesh() : nullptr;
    index = -1;
    if (tm) {
        tm->lockRead(true);
        std::vector<uint32_t> idx;
        unsigned per = 3;
        primitives(*tm, idx, per);
        if (per != 3 && _bTrianglesOnly) idx.clear();
        if (!idx.empty()) {
            const Vq::VertexRecordFields& f = *tm->vtxRecPool()->fields();
            // The records the primitives use, renumbered in order of first use.
            std::vector<uint32_t> map(f.numRecords(), ~0u), used;
            for (uint32_t& i : idx) {
                if (i >= f.numRecords()) continue; // a mesh never names a record it lacks
                if (map[i] == ~0u) {
                    map[i] = uint32_t(used.size());
                    used.push_back(i);
                }
                i = map[i];
            }
            auto mesh = std::make_unique<aiMesh>();
            const unsigned nv = unsigned(used.size());
            mesh->mName = s.name().toUtf8();
            mesh->mNumVertices = nv;
            mesh->mVertices = new aiVector3D[nv];
            const int nc = f.numVtxCoordComps(), nn = f.numNormalComps(), ncol = f.numColorComps(),
                      nt = f.numTexCoordComps(0);
            if (nn == 3) mesh->mNormals = new aiVector3D[nv];
            if (nt > 0) {
                mesh->mTextureCoords[0] = new aiVector3D[nv];
                mesh->mNumUVComponents[0] = unsigned(std::min(nt, 3));
            }
            if (ncol >= 3) mesh->mColors[0] = new aiColor4D[nv];
            aiMatrix4x4 xf;
            aiMatrix3x3 nxf;
            if (world) {
                xf = toColumnMajor(*world);
                nxf = aiMatrix3x3(xf);
                nxf.Inverse().Transpose();
            }
            for (unsigned v = 0; v < nv; ++v) {
                const size_t r = used[v];
                const float* c = f.vtxCoords() + r * size_t(nc);
                aiVector3D p(c[0], c[1], nc >= 3 ? c[2] : 0.0f);
                if (nc == 4 && c[3] != 0.0f) p /= c[3];
                mesh->mVertices[v] = world ? xf * p : p;
                if (mesh->mNormals) {
                    const float* n = f.normals() + r * 3;
                    aiVector3D nv3(n[0], n[1], n[2]);
                    if (world) nv3 = nxf * nv3;
                    // Quantised normals come back a little off unit length,
                    // which glTF refuses; a null one points anywhere.
                    const float len = nv3.Length();
                    mesh->mNormals[v] = len > 0.0f && std::isfinite(len) ? nv3 / len : aiVector3D(0, 0, 1);
                }
                if (mesh->mTextureCoords[0]) {
                    const float* t = f.texCoords(0) + r * size_t(nt);
                    mesh->mTextureCoords[0][v] = aiVector3D(t[0], nt > 1 ? t[1] : 0.0f, nt > 2 ? t[2] : 0.0f);
                }
                if (mesh->mColors[0]) {
                    const float* col = f.colors() + r * size_t(ncol);
                    mesh->mColors[0][v] = aiColor4D(col[0], col[1], col[2], ncol == 4 ? col[3] : 1.0f);
                }
            }
            const unsigned nf = unsigned(idx.size() / per);
            mesh->mNumFaces = nf;
            mesh->mFaces = new aiFace[nf];
            for (unsigned i = 0; i < nf; ++i) {
                mesh->mFaces[i].mNumIndices = per;
                mesh->mFaces[i].mIndices = new unsigned[per];
                std::copy_n(&idx[size_t(i) * per], per, mesh->mFaces[i].mIndices);
            }
            mesh->mPrimitiveTypes = per == 3   ? aiPrimitiveType_TRIANGLE
                                    : per == 2 ? aiPrimitiveType_LINE
                                               : aiPrimitiveType_POINT;
            mesh->mMaterialIndex = _material(mat);
            (per == 3 ? _report.triangles : per == 2 ? _report.lines : _report.points) += nf;
            _report.vertices += nv;
            ++_report.meshes;
            index = int(_meshes.size());
            _meshes.push_back(mesh.release());
        }
        tm->lockRead(false);
    }
    impl = nullptr;
    if (!wasLoaded) s.unloadImpl();
    if (!world) _meshOf[key] = index;
    return true;
}

unsigned SceneBuilder::_material(const VqMaterial* mat) {
    auto found = _materialOf.find(mat);
    if (found != _materialOf.end()) return found->second;
    auto* m = new aiMaterial();
    // A shape without a material of its own is drawn light grey, as viewers do.
    VqVec4f diffuse = mat ? mat->diffuseColor() : VqVec4f(0.8f, 0.8f, 0.8f, 1.0f);
    aiColor4D d(diffuse[0], diffuse[1], diffuse[2], diffuse[3]);
    m->AddProperty(&d, 1, AI_MATKEY_COLOR_DIFFUSE);
    m->AddProperty(&d, 1, AI_MATKEY_BASE_COLOR);
    if (d.a < 1.0f) m->AddProperty(&d.a, 1, AI_MATKEY_OPACITY);
    if (mat) {
        const VqVec4f& s = mat->specularColor();
        const VqVec4f& e = mat->emissionColor();
        aiColor4D sc(s[0], s[1], s[2], s[3]), ec(e[0], e[1], e[2], e[3]);
        m->AddProperty(&sc, 1, AI_MATKEY_COLOR_SPECULAR);
        m->AddProperty(&ec, 1, AI_MATKEY_COLOR_EMISSIVE);
        const float shininess = mat->shininess();
        m->AddProperty(&shininess, 1, AI_MATKEY_SHININESS);
    }
    aiString name(("material" + std::to_string(_materials.size())).c_str());
    m->AddProperty(&name, AI_MATKEY_NAME);
    const unsigned index = unsigned(_materials.size());
    _materials.push_back(m);
    _materialOf[mat] = index;
    ++_report.materials;
    return index;
}

std::unique_ptr<aiScene> SceneBuilder::release(const OutNode& root) {
    auto scene = std::make_unique<aiScene>();
    scene->mNumMaterials = unsigned(_materials.size());
    scene->mMaterials = new aiMaterial*[_materials.size()];
    std::copy(_materials.begin(), _materials.end(), scene->mMaterials);
    _materials.clear();
    scene->mNumMeshes = unsigned(_meshes.size());
    if (!_meshes.empty()) {
        scene->mMeshes = new aiMesh*[_meshes.size()];
        std::copy(_meshes.begin(), _meshes.end(), scene->mMeshes);
    }
    _meshes.clear();
    scene->mRootNode = root.release(nullptr);
    return scene;
}

// The files of a temporary directory beside the targets, moved over them
// once all are written; removed with whatever is left when dropped.
class StagingDir {
public:
    ~StagingDir() {
        if (!_dir.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(_dir, ec);
        }
    }
    bool create(const std::filesystem::path& target) {
        std::string tmpl = (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
        if (!::mkdtemp(tmpl.data())) return false;
        _dir = tmpl;
        return true;
    }
    const std::filesystem::path& dir() const { return _dir; }
    // Renames every staged file into place.
    bool commit(const std::filesystem::path& targetDir, std::string& why) {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(_dir, ec)) {
            std::filesystem::rename(entry.path(), targetDir / entry.path().filename(), ec);
            if (ec) {
                why = ec.message();
                return false;
            }
        }
        if (ec) why = ec.message();
        return !ec;
    }

private:
    std::filesystem::path _dir;
};

} // namespace

bool Exporter::write(VqNode* root, const std::string& path, const Options& options) {
    _report = Report();
    // Nothing escapes as an exception: running out of memory on a huge model
    // is a failure like any other.
    try {
        return _write(root, path, options);
    } catch (...) {
        VqErrorState::recordCurrentException(kCls, "write");
        VqErrorState::rethrowError(path.c_str());
        return false;
    }
}

bool Exporter::_write(VqNode* root, const std::string& path, const Options& options) {
    if (!root) return fail(path, "write", "no graph to write", VQ_ERR_ARGUMENT);
    if (options.lod < 0) return fail(path, "write", "the level of detail must be 0 or more", VQ_ERR_ARGUMENT);
    std::filesystem::path target(path);
    std::string ext = options.format;
    if (ext.empty() && target.has_extension()) ext = target.extension().string().substr(1);
    const Format* format = findFormat(ext);
    if (!format)
        return fail(path, "write",
                    ext.empty() ? "no format given and the file name has no extension"
                                : "cannot write the format '" + ext + "' (glb, gltf, obj, ply or stl)",
                    VQ_ERR_ARGUMENT);
    if (target.filename().empty()) return fail(path, "write", "not a file name", VQ_ERR_ARGUMENT);

    // Formats without nodes get every use of a mesh in world coordinates.
    SceneBuilder builder(options, options.flatten || !format->hierarchy, format->trianglesOnly, _report);
    OutNode top;
    top.name = root->name().toUtf8();
    if (top.name.empty()) top.name = "root";
    {
        VqMatrix4d identity;
        const VqMaterial* none = nullptr;
        // The root's own node is the scene's root: visit its children from it.
        OutNode holder;
        if (!builder.visit(root, holder, identity, none, 0)) {
            VqErrorState::rethrowError(path.c_str());
            return false;
        }
        if (holder.children.size() == 1) {
            top = std::move(*holder.children[0]);
            if (top.name.empty()) top.name = "root";
        } else {
            top.meshes = std::move(holder.meshes);
            top.children = std::move(holder.children);
        }
        if (holder.children.size() != 1) _report.nodes += 1;
    }
    // A file without meshes is not a valid glTF file (its buffers would be
    // empty) and means nothing in the others: say so rather than write one.
    if (_report.meshes == 0)
        return fail(path, "write", "the model holds no geometry to write (at this level of detail)",
                    VQ_ERR_ARGUMENT);
    std::unique_ptr<aiScene> scene = builder.release(top);

    StagingDir staging;
    if (!staging.create(target))
        return fail(path, "write", std::string("cannot create a file beside it: ") + std::strerror(errno),
                    VQ_ERR_WRITE);
    Assimp::Exporter exporter;
    if (exporter.Export(scene.get(), format->assimpId, (staging.dir() / target.filename()).string()) !=
        AI_SUCCESS)
        return fail(path, "write", std::string("cannot write: ") + exporter.GetErrorString(), VQ_ERR_WRITE);
    std::string why;
    if (!staging.commit(target.parent_path().empty() ? "." : target.parent_path(), why))
        return fail(path, "write", "cannot move the new file into place: " + why, VQ_ERR_WRITE);
    return true;
}

bool Exporter::exportFile(const std::string& inPath, const std::string& outPath, const Options& options) {
    Vq::SharedPtr<VqPartition> part;
    VQ_PROPAGATE(VqPartition::openFile(VqString::fromUtf8(inPath), part));
    VQ_PROPAGATE(VqPartition::openAllPartitions(part.get()));
    return write(part.get(), outPath, options);
}

} // namespace Vq
