// Sub-commands on VQ files: info, tree, convert, and the demonstration that
// builds an assembly, saves it in two versions and reads both back.

#include "VqCompressedObjectStream.h"
#include "VqCompressor.h"
#include "VqErrorState.h"
#include "VqFSStorageLocation.h"
#include "VqFloat32PropAtom.h"
#include "VqGeomBindings.h"
#include "VqGroup.h"
#include "VqInstance.h"
#include "VqInt32PropAtom.h"
#include "VqInterleavedPrimSeq.h"
#include "VqInterleavedRepHelper.h"
#include "VqLOD.h"
#include "VqLateLoadedPropAtom.h"
#include "VqMaterial.h"
#include "VqNullShape.h"
#include "VqNullShapeImpl.h"
#include "VqObjectStream.h"
#include "VqPartition.h"
#include "VqPointSet.h"
#include "VqPolygonSet.h"
#include "VqPolylineSet.h"
#include "VqSegObjectStream.h"
#include "VqShape.h"
#include "VqStdError.h"
#include "VqStdException.h"
#include "VqStringPropAtom.h"
#include "VqSwitch.h"
#include "VqTOC.h"
#include "VqTOCStreamMgr.h"
#include "VqToolCommand.h"
#include "VqTopoMesh.h"
#include "VqTriStripSet.h"
#include "VqVertexShape.h"
#include "VqXform.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iomanip>
#include <iostream>
#include <map>
#include <sstream>
#include <unordered_map>
#include <unordered_set>

namespace {

bool parseVersion(const std::string& text, int& major, int& minor) {
    char* end = nullptr;
    major = static_cast<int>(std::strtol(text.c_str(), &end, 10));
    if (!end || *end != '.') return false;
    const char* rest = end + 1;
    minor = static_cast<int>(std::strtol(rest, &end, 10));
    return end != rest && *end == '\0';
}

// The first line of a version text, without its padding.
std::string firstLine(const VqString& text) {
    std::string s = text.toUtf8();
    size_t end = s.find_first_of("\r\n");
    if (end != std::string::npos) s.resize(end);
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

const char* segmentTypeName(int type) {
    switch (type) {
    case VQSEG_LSG:
        return "scene graph";
    case VQSEG_BREP:
        return "b-rep";
    case VQSEG_PMI:
        return "pmi";
    case VQSEG_METADATA:
        return "metadata";
    case VQSEG_SHAPE:
        return "shape";
    case VQSEG_KXBREP:
        return "kernel b-rep";
    case VQSEG_WFREP:
        return "wireframe";
    case VQSEG_ORBIT:
        return "orbit";
    case VQSEG_LWPA:
        return "lwpa";
    case VQSEG_SPATIALHIER:
        return "spatial hierarchy";
    default:
        return type >= VQSEG_SHAPELOD0 && type <= VQSEG_SHAPELOD9 ? "shape lod" : "other";
    }
}

const char* algorithmName(int algorithm) {
    switch (algorithm) {
    case VqCompressor::VQCOMPRESSOR_ALGORITHM_NONE:
        return "none";
    case VqCompressor::VQCOMPRESSOR_ALGORITHM_ZLIB:
        return "zlib";
    case VqCompressor::VQCOMPRESSOR_ALGORITHM_LZMA:
        return "lzma";
    default:
        return "unknown";
    }
}

// What reading a segment to its end found: the bytes it decodes to, whether
// the end was reached (else the data failed first, and the bytes are those
// before the failure), and the algorithm its data is compressed with (-1 when
// it is not compressed as a whole).
struct Decoded {
    uint64_t bytes = 0;
    bool complete = true;
    int algorithm = -1;
};

// A segment of format 8 or above, read to its end. A read past the end of a
// compressed segment fails (code 13) rather than coming back short: that
// failure is the end, any other one a fault of the data.
Decoded decodeSegment(VqStreamMgr* mgr, const VqGUID& guid) {
    Decoded d;
    Vq::SharedPtr<VqObjectStream> os;
    if (!mgr->beginReadSegment(guid, os) || !os) {
        VqErrorState::clearError();
        d.complete = false;
        return d;
    }
    std::vector<VqUChar> buf(65536);
    for (;;) {
        VqSize got = 0;
        bool ended = false;
        try {
            os->readBytes(buf.data(), buf.size(), got);
        } catch (const Vq::StdException& e) {
            ended = true;
            d.complete = e.code() == VQ_ERR_SHORT_READ;
        } catch (...) {
            ended = true;
            d.complete = false;
        }
        d.bytes += got;
        if (ended || got < buf.size()) break;
    }
    if (auto* seg = dynamic_cast<VqSegObjectStream*>(os.get()); seg && seg->compressor())
        d.algorithm = seg->compressor()->algorithm();
    mgr->endReadSegment(os.get());
    VqErrorState::clearError();
    return d;
}

// The legacy block of formats 6 and 7, of stored bytes, as its reader takes
// it: the partition's element, one further element (each compressed by itself
// in format 7), then the property table as it is stored.
Decoded decodeLegacyBlock(VqStreamMgr* mgr, uint64_t stored) {
    Decoded d;
    Vq::SharedPtr<VqObjectStream> os;
    if (!mgr->beginReadSegment(VqStreamMgr::OldLsgSegGuid, os) || !os) {
        VqErrorState::clearError();
        d.complete = false;
        return d;
    }
    uint64_t start = 0;
    os->getPosition(start);
    uint64_t end = start;
    for (int i = 0; i < 2 && d.complete; ++i) {
        uint64_t at = 0;
        uint32_t length = 0;
        if (!os->beginRead() || !os->currentReadElement(at, length)) {
            d.complete = false;
            break;
        }
        d.bytes += 4 + uint64_t(length);
        d.complete = os->endRead();
        if (auto* block = dynamic_cast<VqCompressedObjectStream*>(os.get()); block && d.algorithm < 0)
            d.algorithm = block->lastBlockAlgorithm();
        os->getPosition(end);
    }
    // The property table follows the elements as it is.
    if (d.complete && end >= start && end - start <= stored) d.bytes += stored - (end - start);
    if (d.algorithm < 0) d.algorithm = VqCompressor::VQCOMPRESSOR_ALGORITHM_NONE;
    mgr->endReadSegment(os.get());
    VqErrorState::clearError();
    return d;
}

struct GraphCounts {
    uint64_t nodes = 0, attributes = 0, properties = 0, partitions = 0;
};

GraphCounts countGraph(const VqNode* root) {
    GraphCounts c;
    std::unordered_set<const VqAttribute*> seen;
    VqNode::walkOnce(root, [&](const VqNode* n) {
        ++c.nodes;
        if (Vq::typeCast<VqPartition>(n)) ++c.partitions;
        c.properties += static_cast<uint64_t>(n->numProps(false));
        VqAttribute* const* attrs = nullptr;
        int nAttrs = 0;
        n->attributes(attrs, nAttrs);
        for (int i = 0; i < nAttrs; ++i)
            if (seen.insert(attrs[i]).second) {
                ++c.attributes;
                c.properties += static_cast<uint64_t>(attrs[i]->numProps(false));
            }
        return VqNode::Walk::Descend;
    });
    return c;
}

// The level of detail a shape stands at (its segment type says it), -1 for
// a shape outside any LOD node.
int lodLevel(const VqShape& s) {
    const int type = s._determineSegType();
    return type >= VQSEG_SHAPELOD0 && type <= VQSEG_SHAPELOD9 ? type - VQSEG_SHAPELOD0 : -1;
}

// Triangles a mesh stands for: n - 2 per strip or polygon of n indices.
uint64_t triangles(const VqTopoMesh& m) {
    if (m.primKind() != VqTopoMesh::VQ_PRIM_TRISTRIP && m.primKind() != VqTopoMesh::VQ_PRIM_POLYGON) return 0;
    uint64_t n = 0;
    for (uint32_t p = 0; p < m.numPrims(); ++p) {
        const uint32_t len = m.primStarts()[p + 1] - m.primStarts()[p];
        if (len > 2) n += len - 2;
    }
    return n;
}

// Shapes by kind, and triangles and vertices by level of detail. Each shape
// is loaded to count its triangles and dropped again, so that a large file
// is looked at one shape at a time; a shape that fails to load is counted
// as such and the rest are still shown.
void printShapes(VqPartition& part, uint64_t geometryBytes, std::ostream& out) {
    const std::vector<VqShape*> shapes = VqShape::shapesBelow(&part);
    if (shapes.empty()) return;
    std::map<std::string, int> kinds;
    struct Level {
        int shapes = 0;
        uint64_t triangles = 0, vertices = 0;
    };
    std::map<int, Level> levels;
    int failed = 0;
    for (VqShape* s : shapes) {
        ++kinds[s->type()->name];
        Level& l = levels[lodLevel(*s)];
        ++l.shapes;
        const bool wasLoaded = s->isImplLoaded();
        VqErrorState::clearError();
        Vq::SharedPtr<VqShapeImpl> impl = s->ensureConstImpl();
        if (!impl && VqErrorState::currentError()) {
            ++failed;
            VqErrorState::clearError();
            continue;
        }
        if (const VqTopoMesh* m = impl ? impl->topoMesh() : nullptr) {
            l.triangles += triangles(*m);
            VqFixedVec<int, 2> v(0, 0);
            if (impl->numVertices(v) && v[1] > 0) l.vertices += uint64_t(v[1]);
        }
        impl = nullptr;
        if (!wasLoaded) s->unloadImpl();
    }
    out << "  shapes      " << shapes.size() << " (";
    bool first = true;
    for (const auto& [kind, n] : kinds) {
        out << (first ? "" : ", ") << n << " " << kind;
        first = false;
    }
    out << ")";
    if (failed) out << ", " << failed << " failed to load";
    out << "\n    " << std::left << std::setw(18) << "level" << std::right << std::setw(7) << "shapes"
        << std::setw(12) << "triangles" << std::setw(12) << "vertices\n";
    for (const auto& [level, l] : levels)
        out << "    " << std::left << std::setw(18)
            << (level < 0 ? std::string("no lod") : std::to_string(level)) << std::right << std::setw(7)
            << l.shapes << std::setw(12) << l.triangles << std::setw(12) << l.vertices << "\n";
    out << "  geometry    " << geometryBytes << " bytes stored\n";
}

int printInfo(const std::string& path, std::ostream& out) {
    Vq::SharedPtr<VqPartition> part;
    if (!VqPartition::openFile(path.c_str(), part)) return vqToolFail(Vq::lastErrorMessage());
    VqStreamMgr* mgr = part->streamMgr();
    int major = -1, minor = -1;
    part->datastoreVersion(major, minor);
    out << path << "\n  version     " << major << "." << minor << " (\"" << firstLine(part->versionText())
        << "\")\n"
        << "  byte order  "
        << (mgr->byteOrder() == 0 ? "least significant byte first" : "most significant byte first") << "\n";
    uint64_t geometryBytes = 0;
    if (auto* toc = Vq::typeCast<VqTOCStreamMgr>(mgr)) {
        struct Row {
            int count = 0;
            uint64_t stored = 0, decoded = 0;
            bool complete = true;
        };
        std::map<int, Row> rows;
        // The compression of the scene graph's data, as its framing gives it.
        int compression = -1;
        VqGUID lsg;
        mgr->lsgSegGUID(lsg);
        for (const VqTOCElem& e : toc->toc().entriesByOffset()) {
            // The legacy block of formats 6 and 7 holds the scene graph and has
            // no recorded length: it runs from its offset to the table of contents.
            const bool legacy = e.guid == VqStreamMgr::OldLsgSegGuid && toc->tocOffset() > int64_t(e.offset);
            Row& r = rows[legacy ? int(VQSEG_LSG) : e.segType()];
            ++r.count;
            const uint64_t stored = legacy ? uint64_t(toc->tocOffset()) - e.offset : e.length;
            r.stored += stored;
            if (e.segType() >= VQSEG_SHAPE && e.segType() <= VQSEG_SHAPELOD9) geometryBytes += stored;
            const Decoded d = legacy ? decodeLegacyBlock(mgr, stored) : decodeSegment(mgr, e.guid);
            r.decoded += d.bytes;
            r.complete = r.complete && d.complete;
            if (legacy || e.guid == lsg) compression = d.algorithm;
        }
        out << "  compression " << (compression < 0 ? "none" : algorithmName(compression)) << "\n";
        out << "  segments\n";
        out << "    " << std::left << std::setw(18) << "type" << std::right << std::setw(7) << "count"
            << std::setw(12) << "stored" << std::setw(12) << "decoded" << std::setw(8) << "ratio\n";
        for (const auto& [type, r] : rows) {
            std::ostringstream ratio;
            ratio << std::fixed << std::setprecision(2)
                  << (r.stored ? static_cast<double>(r.decoded) / static_cast<double>(r.stored) : 0.0);
            out << "    " << std::left << std::setw(18)
                << (std::to_string(type) + " " + segmentTypeName(type)) << std::right << std::setw(7)
                << r.count << std::setw(12) << r.stored << std::setw(12)
                << (std::to_string(r.decoded) + (r.complete ? "" : "+")) << std::setw(8) << ratio.str()
                << (r.complete ? "" : "  (data damaged after the bytes shown)") << "\n";
        }
    }
    GraphCounts c = countGraph(part.get());
    out << "  graph       " << c.nodes << " nodes (" << c.partitions << " partitions), " << c.attributes
        << " attributes, " << c.properties << " properties\n";
    printShapes(*part, geometryBytes, out);
    return 0;
}

struct TreeOptions {
    int maxDepth = 1000;
    int maxChildren = 1000000;
};

void printTree(const VqNode* n, int depth, const TreeOptions& opt,
               std::unordered_map<const VqNode*, int>& ids, std::ostream& out) {
    std::string indent(static_cast<size_t>(depth) * 2, ' ');
    auto known = ids.find(n);
    out << indent << n->type()->name;
    if (VqString name = n->name(); name.numChars() > 0) out << " \"" << name << "\"";
    if (known != ids.end()) {
        out << " -> shared #" << known->second << "\n";
        return;
    }
    const int id = static_cast<int>(ids.size());
    ids[n] = id;
    if (n->numParents() > 1) out << " #" << id << " (" << n->numParents() << " parents)";
    VqAttribute* const* attrs = nullptr;
    int nAttrs = 0;
    n->attributes(attrs, nAttrs);
    for (int i = 0; i < nAttrs; ++i)
        out << " [" << attrs[i]->type()->name << "]";
    if (auto* p = Vq::typeCast<VqPartition>(n); p && depth > 0)
        out << " {file " << p->datastoreName().toUtf8() << (p->isOpen() ? ", open" : ", not open") << "}";
    if (n->numProps(false) > 0) out << " (" << n->numProps(false) << " props)";
    if (const auto* shape = Vq::typeCast<VqShape>(n)) {
        // The counts the node keeps: no geometry is read for them.
        VqFixedVec<int, 2> verts(0, 0), polys(0, 0);
        shape->numVertices(verts);
        shape->numPolygons(polys);
        out << " {" << verts[1] << " vertices, " << polys[1] << " polygons"
            << (shape->isImplLoaded() ? ", loaded" : "") << "}";
    }
    out << "\n";
    const unsigned int count = n->numChildren();
    if (count == 0) return;
    if (depth + 1 > opt.maxDepth) {
        out << indent << "  ... " << count << " children\n";
        return;
    }
    const unsigned int shown = std::min<unsigned int>(count, static_cast<unsigned int>(opt.maxChildren));
    for (unsigned int i = 0; i < shown; ++i)
        printTree(n->child(static_cast<int>(i)), depth + 1, opt, ids, out);
    if (shown < count) out << indent << "  ... " << (count - shown) << " more\n";
}

bool parseCount(const std::string& text, int& out) {
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || v < 0 || v > 1000000) return false;
    out = static_cast<int>(v);
    return true;
}

// Splits "--opt=value" / "--opt value" options from positional arguments.
bool takeOption(const std::vector<std::string>& args, size_t& i, const std::string& name,
                std::string& value) {
    const std::string& a = args[i];
    if (a == name) {
        if (i + 1 >= args.size()) return false;
        value = args[++i];
        return true;
    }
    if (a.rfind(name + "=", 0) == 0) {
        value = a.substr(name.size() + 1);
        return true;
    }
    return false;
}

} // namespace

int cmdInfo(const std::vector<std::string>& args) {
    if (args.size() != 1 || args[0].rfind("-", 0) == 0)
        return vqToolFail("info takes one file (see 'vqtool info --help')");
    return printInfo(args[0], std::cout);
}

int cmdTree(const std::vector<std::string>& args) {
    TreeOptions opt;
    std::vector<std::string> files;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string v;
        if (takeOption(args, i, "--depth", v)) {
            if (!parseCount(v, opt.maxDepth)) return vqToolFail("bad --depth value '" + v + "'");
        } else if (takeOption(args, i, "--children", v)) {
            if (!parseCount(v, opt.maxChildren)) return vqToolFail("bad --children value '" + v + "'");
        } else if (args[i].rfind("-", 0) == 0) {
            return vqToolFail("unknown option '" + args[i] + "' (see 'vqtool tree --help')");
        } else {
            files.push_back(args[i]);
        }
    }
    if (files.size() != 1) return vqToolFail("tree takes one file (see 'vqtool tree --help')");
    Vq::SharedPtr<VqPartition> part;
    if (!VqPartition::openFile(files[0].c_str(), part)) return vqToolFail(Vq::lastErrorMessage());
    std::unordered_map<const VqNode*, int> ids;
    printTree(part.get(), 0, opt, ids, std::cout);
    return 0;
}

int cmdConvert(const std::vector<std::string>& args) {
    std::string version;
    std::vector<std::string> files;
    bool lossy = false;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string v;
        if (takeOption(args, i, "--version", v))
            version = v;
        else if (args[i] == "--lossy")
            lossy = true;
        else if (args[i].rfind("-", 0) == 0)
            return vqToolFail("unknown option '" + args[i] + "' (see 'vqtool convert --help')");
        else
            files.push_back(args[i]);
    }
    if (files.size() != 2)
        return vqToolFail("convert takes an input and an output file (see 'vqtool convert --help')");
    int major = -1, minor = -1;
    if (version.empty()) return vqToolFail("convert needs --version X.Y");
    if (!parseVersion(version, major, minor)) return vqToolFail("bad --version value '" + version + "'");
    Vq::SharedPtr<VqPartition> part;
    if (!VqPartition::openFile(files[0].c_str(), part)) return vqToolFail(Vq::lastErrorMessage());
    if (!part->saveAs(files[1].c_str(), {.versionMajor = major, .versionMinor = minor, .allowLoss = lossy}))
        return vqToolFail(Vq::lastErrorMessage());
    std::cout << files[0] << " -> " << files[1] << " (version " << major << "." << minor << ")\n";
    return 0;
}

// ---- demo ----------------------------------------------------------------------

namespace {

VqStringPropAtom* text(const char* s) {
    return new VqStringPropAtom(s);
}

Vq::SharedPtr<VqXform> translation(double x, double y, double z) {
    VqMatrix4d m;
    m[3][0] = x;
    m[3][1] = y;
    m[3][2] = z;
    return new VqXform(m);
}

Vq::SharedPtr<VqMaterial> material(float r, float g, float b) {
    Vq::SharedPtr<VqMaterial> m = new VqMaterial();
    m->setDiffuseColor(VqVec4f(r, g, b, 1.0f));
    m->setShininess(0.4f);
    return m;
}

// A part: a named node with a number and a material, at a place.
Vq::SharedPtr<VqNode> part(const std::string& name, int number, VqMaterial* mat, double x) {
    Vq::SharedPtr<VqNode> n = new VqNode();
    n->addProp(text("name"), new VqStringPropAtom(name.c_str()));
    n->addProp(text("part number"), new VqInt32PropAtom(number));
    n->addProp(text("mass"), new VqFloat32PropAtom(0.1f * static_cast<float>(number % 17)));
    n->appendAttribute(mat);
    n->appendAttribute(translation(x, 0, 0).get());
    return n;
}

using Coords = VqShapeDataArrayIter<float, 3>;

// A rim: one strip around a cylinder of the given radius and width, with
// its normals.
Vq::SharedPtr<VqTriStripSet> rimMesh(float radius, float width, int segments) {
    Vq::SharedPtr<VqTriStripSet> s = new VqTriStripSet(VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_NORMVEC3);
    std::vector<float> c, n;
    for (int i = 0; i <= segments; ++i) {
        const float a = 6.2831853f * float(i % segments) / float(segments);
        const float x = std::cos(a), z = std::sin(a);
        for (float y : {0.0f, width}) {
            c.insert(c.end(), {radius * x, y, radius * z});
            n.insert(n.end(), {x, 0.0f, z});
        }
    }
    Coords cc(c), nn(n);
    return s->addPrim(&cc, &nn, nullptr, nullptr, 0) ? s : nullptr;
}

// A grid of nu x nv quads, corner (i, j) placed by at(i, j, out), which
// appends its three coordinates; the tyre and the body panels are such grids.
template <class At>
Vq::SharedPtr<VqPolygonSet> quadGridMesh(int nu, int nv, At at) {
    Vq::SharedPtr<VqPolygonSet> s = new VqPolygonSet(VQ_GEOMBIND_VTXCOORD3);
    for (int i = 0; i < nu; ++i)
        for (int j = 0; j < nv; ++j) {
            std::vector<float> q;
            at(i, j, q);
            at(i + 1, j, q);
            at(i + 1, j + 1, q);
            at(i, j + 1, q);
            Coords cc(q);
            if (!s->addPrim(&cc, nullptr, nullptr, nullptr, 0)) return nullptr;
        }
    return s;
}

// A tyre: the quads of a torus around the y axis.
Vq::SharedPtr<VqPolygonSet> tyreMesh(float radius, float tube, int around, int across) {
    return quadGridMesh(around, across, [&](int i, int j, std::vector<float>& out) {
        const float a = 6.2831853f * float(i % around) / float(around);
        const float b = 6.2831853f * float(j % across) / float(across);
        const float r = radius + tube * std::cos(b);
        out.insert(out.end(), {r * std::cos(a), tube * std::sin(b), r * std::sin(a)});
    });
}

// A body panel: a gently curved grid of quads.
Vq::SharedPtr<VqPolygonSet> panelMesh(int nx, int ny, float bulge) {
    return quadGridMesh(nx, ny, [&](int x, int y, std::vector<float>& out) {
        const float u = float(x) / float(nx), v = float(y) / float(ny);
        out.insert(out.end(), {0.5f * u, 0.3f * v, bulge * u * (1 - u) * v * (1 - v)});
    });
}

// A wheel bolt from the primitive builders: a shank (a capped cylinder,
// kept as the builder's strips) under a head (a box crowned by a pyramid,
// as polygons: the crown in a face group of its own, which files from 9.0
// on keep).
Vq::SharedPtr<VqGroup> boltMeshes() {
    const VqInterleavedRepHelper::Offsets o = VqInterleavedRepHelper::computeNeutralOffsets(1, 0, 0);
    const uint64_t bindings = VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_NORMVEC3;
    VqVecu shankPrims, headPrims, crownPrims;
    VqVecf shankFloats, headFloats, crownFloats;
    if (!VqInterleavedRepHelper::appendPrimCyl(shankPrims, shankFloats, o, 0.008f, 0.04f, 12, true) ||
        !VqInterleavedRepHelper::appendPrimBox(
            headPrims, headFloats, o,
            VqBox3<float>(VqVec3f(-0.012f, -0.012f, 0.04f), VqVec3f(0.012f, 0.012f, 0.05f))) ||
        !VqInterleavedRepHelper::appendPrimPyramid(crownPrims, crownFloats, o, 0.024f, 0.006f))
        return nullptr;
    // The crown sits on the head: its base at the head's top.
    for (size_t v = 0; v + size_t(o.stride) <= crownFloats.size(); v += size_t(o.stride))
        crownFloats[v + size_t(o.vertex) + 2] += 0.05f;
    Vq::SharedPtr<VqTriStripSet> shank = new VqTriStripSet(bindings);
    Vq::SharedPtr<VqPolygonSet> head = new VqPolygonSet(bindings);
    VqInterleavedPrimSeq shankSeq(shankPrims, shankFloats, o, VqInterleavedPrimSeq::Form::Strips);
    VqInterleavedPrimSeq headSeq(headPrims, headFloats, o, VqInterleavedPrimSeq::Form::Triangles);
    VqInterleavedPrimSeq crownSeq(crownPrims, crownFloats, o, VqInterleavedPrimSeq::Form::Triangles, 1);
    if (!shank->addPrims(shankSeq) || !head->addPrims(headSeq) || !head->addPrims(crownSeq)) return nullptr;
    Vq::SharedPtr<VqGroup> g = new VqGroup();
    g->appendChild(shank.get());
    g->appendChild(head.get());
    return g;
}

// A wheel: rim and tyre at three levels of detail (meshes of fewer
// facets at each), with bolts shared through instances.
Vq::SharedPtr<VqPartition> buildWheel(VqMaterial* steel, VqMaterial* rubber) {
    Vq::SharedPtr<VqPartition> wheel = new VqPartition();
    wheel->addProp(text("name"), text("wheel"));
    Vq::SharedPtr<VqLOD> lod = new VqLOD();
    lod->addProp(text("name"), text("wheel detail"));
    for (int level = 0; level < 3; ++level) {
        Vq::SharedPtr<VqGroup> g = new VqGroup();
        g->appendChild(part("rim", 9000 + level, steel, 0).get());
        g->appendChild(part("tyre", 9100 + level, rubber, 0).get());
        const int fine = 48 >> level;
        Vq::SharedPtr<VqTriStripSet> rim = rimMesh(0.3f, 0.2f, fine);
        Vq::SharedPtr<VqPolygonSet> tyre = tyreMesh(0.35f, 0.08f, fine, std::max(4, fine / 4));
        if (!rim || !tyre) return nullptr;
        g->appendChild(rim.get());
        g->appendChild(tyre.get());
        lod->appendChild(g.get());
    }
    // The finest level also marks the valve (points) and the tread's centre
    // line (a polyline); the farthest shows nothing but keeps the box.
    Vq::SharedPtr<VqPointSet> valve = new VqPointSet(VQ_GEOMBIND_VTXCOORD3);
    Vq::SharedPtr<VqPolylineSet> tread = new VqPolylineSet(VQ_GEOMBIND_VTXCOORD3);
    std::vector<float> line;
    for (int i = 0; i <= 32; ++i) {
        const float a = 6.2831853f * float(i % 32) / 32.0f;
        line.insert(line.end(), {0.43f * std::cos(a), 0.0f, 0.43f * std::sin(a)});
    }
    Coords valveAt(std::vector<float>{0.27f, 0.2f, 0.0f, 0.28f, 0.2f, 0.0f}), treadAt(line);
    if (!valve->addPrim(&valveAt, nullptr, nullptr, nullptr, 0) ||
        !tread->addPrim(&treadAt, nullptr, nullptr, nullptr, 0))
        return nullptr;
    lod->child(0)->appendChild(valve.get());
    lod->child(0)->appendChild(tread.get());
    Vq::SharedPtr<VqNullShape> far = new VqNullShape();
    Vq::SharedPtr<VqNullShapeImpl> farBox =
        new VqNullShapeImpl(VqBox3<float>(VqVec3f(-0.43f, 0.0f, -0.43f), VqVec3f(0.43f, 0.2f, 0.43f)));
    if (!far->setImpl(farBox.get())) return nullptr;
    lod->appendChild(far.get());
    Vq::SharedPtr<VqGroup> bolt = boltMeshes();
    if (!bolt) return nullptr;
    bolt->appendAttribute(steel);
    bolt->appendChild(part("wheel bolt", 9200, steel, 0).get());
    for (int i = 0; i < 5; ++i) {
        // Placed in the partition first: an instance's child must be in its partition.
        Vq::SharedPtr<VqInstance> inst = new VqInstance();
        wheel->appendChild(inst.get());
        inst->replaceChild(bolt.get());
        inst->appendAttribute(translation(0.1 * i, 0.05, 0).get());
    }
    Vq::SharedPtr<VqLateLoadedPropAtom> notes = new VqLateLoadedPropAtom(VqGUID(), VQSEG_METADATA);
    notes->setObject(new VqStringPropAtom("torque 120 Nm, star pattern"));
    wheel->addProp(text("VQ_LLPROP_METADATA"), notes.get(), false);
    wheel->appendChild(lod.get());
    return wheel;
}

// The car: a body of modules with a few hundred parts, a switch between
// trims, and four wheels standing for the wheel file.
Vq::SharedPtr<VqPartition> buildCar(VqMaterial* steel, VqMaterial* paint, const std::string& wheelFile) {
    Vq::SharedPtr<VqPartition> car = new VqPartition();
    car->addProp(text("name"), text("demo car"));
    car->addProp(text("revision"), new VqInt32PropAtom(7));
    int number = 1000;
    for (int m = 0; m < 12; ++m) {
        Vq::SharedPtr<VqGroup> module = new VqGroup();
        module->addProp(text("name"), new VqStringPropAtom(("module " + std::to_string(m)).c_str()));
        module->appendAttribute(translation(m * 0.5, 0, 0).get());
        Vq::SharedPtr<VqPolygonSet> panel = panelMesh(8 + m, 4 + m / 2, 0.05f * float(m % 3));
        if (!panel) return nullptr;
        module->appendChild(panel.get());
        Vq::SharedPtr<VqNode> clip = part("clip", number++, steel, 0);
        for (int p = 0; p < 20; ++p) {
            module->appendChild(part("panel " + std::to_string(m) + "." + std::to_string(p), number++,
                                     p % 3 ? paint : steel, p * 0.01)
                                    .get());
            if (p % 4 == 0) {
                Vq::SharedPtr<VqInstance> inst = new VqInstance();
                module->appendChild(inst.get());
                inst->replaceChild(clip.get());
                inst->appendAttribute(translation(p * 0.01, 0.02, 0).get());
            }
        }
        car->appendChild(module.get());
    }
    Vq::SharedPtr<VqSwitch> trim = new VqSwitch();
    trim->addProp(text("name"), text("trim"));
    for (const char* t : {"base", "sport", "luxury"})
        trim->appendChild(part(std::string("trim ") + t, number++, paint, 0).get());
    trim->setSelectedChild(1);
    car->appendChild(trim.get());
    for (int w = 0; w < 4; ++w) {
        Vq::SharedPtr<VqGroup> corner = new VqGroup();
        corner->addProp(text("name"), new VqStringPropAtom(("corner " + std::to_string(w)).c_str()));
        corner->appendAttribute(translation(w < 2 ? 0 : 3, w % 2 ? -1 : 1, 0).get());
        Vq::SharedPtr<VqFSStorageLocation> wheel = new VqFSStorageLocation(VqString::fromUtf8(wheelFile));
        Vq::SharedPtr<VqPartition> ref = new VqPartition(wheel.get());
        corner->appendChild(ref.get());
        car->appendChild(corner.get());
    }
    return car;
}

// Whether two graphs have the same shape: classes, names, children, sharing,
// attribute and property counts. "" when they agree.
std::string agree(const VqNode* a, const VqNode* b, std::unordered_map<const VqNode*, const VqNode*>& map,
                  const std::string& where) {
    auto it = map.find(a);
    if (it != map.end()) return it->second == b ? "" : where + ": sharing differs";
    map[a] = b;
    if (a->type() != b->type()) return where + ": class differs";
    if (a->name() != b->name()) return where + ": name differs";
    if (a->numAttributes() != b->numAttributes()) return where + ": attribute count differs";
    if (a->numProps(false) != b->numProps(false)) return where + ": property count differs";
    if (a->numChildren() != b->numChildren()) return where + ": child count differs";
    if (Vq::typeCast<VqShape>(a)) {
        VqFixedVec<int, 2> va(0, 0), vb(0, 0), pa(0, 0), pb(0, 0);
        a->numVertices(va);
        b->numVertices(vb);
        a->numPolygons(pa);
        b->numPolygons(pb);
        if (va[1] != vb[1] || pa[1] != pb[1]) return where + ": shape counts differ";
    }
    for (unsigned int i = 0; i < a->numChildren(); ++i) {
        std::string d = agree(a->child(static_cast<int>(i)), b->child(static_cast<int>(i)), map,
                              where + "/" + std::to_string(i));
        if (!d.empty()) return d;
    }
    return "";
}

} // namespace

#ifdef VQ_HAVE_EXCHANGE
int cmdImport(const std::vector<std::string>& args);
int cmdExport(const std::vector<std::string>& args);
#endif

int cmdDemo(const std::vector<std::string>& args) {
    bool keep = false;
    for (const std::string& a : args) {
        if (a == "--keep")
            keep = true;
        else
            return vqToolFail("unknown option '" + a + "' (see 'vqtool demo --help')");
    }
    char tmpl[] = "/tmp/vqtool_demo_XXXXXX";
    if (!mkdtemp(tmpl)) return vqToolFail("cannot create a temporary directory");
    const std::string dir = std::string(tmpl) + "/";
    auto cleanup = [&] {
        if (!keep) std::system(("rm -rf '" + dir + "'").c_str());
    };

    Vq::SharedPtr<VqMaterial> steel = material(0.6f, 0.6f, 0.65f);
    Vq::SharedPtr<VqMaterial> paint = material(0.7f, 0.05f, 0.05f);
    Vq::SharedPtr<VqMaterial> rubber = material(0.05f, 0.05f, 0.05f);

    std::cout << "== building the assembly in memory\n";
    Vq::SharedPtr<VqPartition> wheel = buildWheel(steel.get(), rubber.get());
    Vq::SharedPtr<VqPartition> car = buildCar(steel.get(), paint.get(), "wheel.vq");
    if (!wheel || !car) return cleanup(), vqToolFail("building the meshes: " + Vq::lastErrorMessage());
    GraphCounts built = countGraph(car.get());
    std::cout << "car: " << built.nodes << " nodes, " << built.attributes << " attributes, "
              << built.properties << " properties\n";

    struct Saved {
        int major, minor;
        std::string car, wheel;
    };
    const Saved versions[] = {{9, 5, "car95.vq", "wheel95.vq"}, {10, 0, "car100.vq", "wheel100.vq"}};
    for (const Saved& v : versions) {
        std::cout << "== saving at " << v.major << "." << v.minor << " into " << dir << "\n";
        // Each car refers to the wheel file of its own version, by a location relative to itself.
        Vq::SharedPtr<VqFSStorageLocation> wheelLoc = new VqFSStorageLocation(VqString::fromUtf8(v.wheel));
        for (unsigned int i = 0; i < car->numChildren(); ++i)
            if (auto* corner = car->child(static_cast<int>(i)); corner->numChildren() == 1)
                if (auto* ref = Vq::typeCast<VqPartition>(corner->child(0))) ref->setLocation(wheelLoc.get());
        const VqSaveOptions options{.versionMajor = v.major, .versionMinor = v.minor};
        if (!wheel->saveAs((dir + v.wheel).c_str(), options) || !car->saveAs((dir + v.car).c_str(), options))
            return cleanup(), vqToolFail("save failed: " + Vq::lastErrorMessage());
    }

    Vq::SharedPtr<VqPartition> opened[2];
    for (int i = 0; i < 2; ++i) {
        const std::string path = dir + versions[i].car;
        std::cout << "\n== info " << versions[i].car << "\n";
        if (printInfo(path, std::cout) != 0) return cleanup(), 1;
        std::cout << "\n== info " << versions[i].wheel << "\n";
        if (printInfo(dir + versions[i].wheel, std::cout) != 0) return cleanup(), 1;
        if (!VqPartition::openFile(path.c_str(), opened[i]))
            return cleanup(), vqToolFail(Vq::lastErrorMessage());
        std::unordered_map<const VqNode*, const VqNode*> map;
        if (std::string d = agree(car.get(), opened[i].get(), map, "car"); !d.empty())
            return cleanup(), vqToolFail(versions[i].car + " differs from the assembly saved: " + d);
        if (!VqPartition::openAllPartitions(opened[i].get()))
            return cleanup(), vqToolFail("opening the wheels: " + Vq::lastErrorMessage());
    }
    std::cout << "\n== tree car100.vq (two levels, four children each)\n";
    {
        TreeOptions opt;
        opt.maxDepth = 2;
        opt.maxChildren = 4;
        std::unordered_map<const VqNode*, int> ids;
        printTree(opened[1].get(), 0, opt, ids, std::cout);
        std::cout << "\n== the first corner with its wheel opened\n";
        opt.maxDepth = 4;
        opt.maxChildren = 3;
        ids.clear();
        printTree(opened[1]->child(13), 0, opt, ids, std::cout);
        std::cout << "\n== its levels of detail\n";
        const VqNode* wheelRoot = opened[1]->child(13)->child(0);
        opt.maxDepth = 2;
        opt.maxChildren = 4;
        ids.clear();
        printTree(wheelRoot->child(static_cast<int>(wheelRoot->numChildren()) - 1), 0, opt, ids, std::cout);
    }

    std::unordered_map<const VqNode*, const VqNode*> map;
    const std::string d = agree(opened[0].get(), opened[1].get(), map, "car");
    GraphCounts read = countGraph(opened[1].get());
    std::cout << "\nread back with the wheels: " << read.nodes << " nodes, " << read.attributes
              << " attributes, " << read.properties << " properties\n";
    if (!d.empty()) return cleanup(), vqToolFail("the graphs read from 9.5 and 10.0 differ: " + d);
    std::cout << "the graphs read from 9.5 and 10.0 agree" << (keep ? " (files kept in " + dir + ")" : "")
              << "\n";
#ifdef VQ_HAVE_EXCHANGE
    std::cout << "\n== export car100.vq with its wheels to car.glb, and import that back\n";
    if (cmdExport({dir + "car100.vq", dir + "car.glb"}) != 0 ||
        cmdImport({"--lods", "1", dir + "car.glb", dir + "car_from_glb.vq"}) != 0 ||
        printInfo(dir + "car_from_glb.vq", std::cout) != 0)
        return cleanup(), 1;
#endif
    cleanup();
    return 0;
}
