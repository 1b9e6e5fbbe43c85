// Builds a structurally hostile VQ file from the fuzzer's bytes (VqCraftedFile.h)
// and opens, walks, boxes, counts, invalidates, saves and releases what it
// yields. Where fuzz_open damages bytes, this target composes shapes: deep
// chains and diamonds, wide groups and shared children, instances released in
// an unlucky order, elements nested in each other's records, references back
// into the graph, partition nodes naming their own file (or one that names it
// back), and segments that decompress to far more than they store, in the
// scene graph or in a late-loaded segment. Any input must end in an error or
// a graph, in bounded time and memory.
//
// The input is read as a format byte, then operations of four bytes each:
// kind, then three argument bytes.

#include "VqCraftedFile.h"
#include "VqElementIO.h"
#include "VqErrorState.h"
#include "VqLateLoadedPropAtom.h"
#include "VqLib.h"
#include "VqMappingSurface.h"
#include "VqObjectStream.h"
#include "VqPartition.h"
#include "VqStreamMgr.h"
#include "VqStringPropAtom.h"
#include "VqTestObjectStream.h"
#include "VqTexCoordGen.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using vqcraft::Bytes;
using vqcraft::Format;

namespace {
std::string g_dir;

// What the library writes for some objects, per format (9.5 and 10.0): a
// texture-coordinate generator with its mapping surface (to nest), and a
// late-loaded property's key and atom.
struct Samples {
    Bytes generator;
    size_t innerAt = 0;
    Bytes key, late;
};
Samples g_samples[2];
const VqGUID kLateSegment(0xABCDEF01u, 0x1234, 0x5678, 1, 2, 3, 4, 5, 6, 7, 8);

Samples makeSamples(int major, int minor) {
    Samples s;
    Vq::SharedPtr<VqTexCoordGen> tcg = new VqTexCoordGen();
    tcg->setMappingSurface(new VqMappingPlane());
    VqTestObjectStream os = VqTestObjectStream::forWriting(major, minor);
    VqElementIO::writeLogicalElementOf(major, *os, tcg.get());
    s.generator = os.bytes();
    s.innerAt = vqcraft::findElement(s.generator, vqcraft::kMappingPlane);
    Vq::SharedPtr<VqStringPropAtom> key = new VqStringPropAtom("VQ_LLPROP_METADATA");
    Vq::SharedPtr<VqLateLoadedPropAtom> late = new VqLateLoadedPropAtom(kLateSegment, VQSEG_METADATA);
    VqTestObjectStream ps = VqTestObjectStream::forWriting(major, minor);
    VqElementIO::writeLogicalElementOf(major, *ps, key.get());
    const size_t keyEnd = ps.bytes().size();
    VqElementIO::writeLogicalElementOf(major, *ps, late.get());
    const Bytes both = ps.bytes();
    s.key.assign(both.begin(), both.begin() + static_cast<std::ptrdiff_t>(keyEnd));
    s.late.assign(both.begin() + static_cast<std::ptrdiff_t>(keyEnd), both.end());
    return s;
}

// The fuzzer's bytes, read as they are asked for (zeros past the end).
class Input {
public:
    Input(const uint8_t* data, size_t size) : _p(data), _end(data + size) {}
    bool more() const { return _p < _end; }
    uint8_t u8() { return _p < _end ? *_p++ : 0; }
    uint16_t u16() { return static_cast<uint16_t>(u8() | (u8() << 8)); }

private:
    const uint8_t* _p;
    const uint8_t* _end;
};

// A piece of a segment's content: bytes, then that many zero bytes (which
// are compressed as they are made, never held whole).
struct Piece {
    Bytes bytes;
    uint64_t zeros = 0;
};

// Hands the pieces to the compressor one after another.
class Pieces {
public:
    explicit Pieces(const std::vector<Piece>& pieces) : _pieces(pieces) {}
    bool operator()(Bytes& out) {
        while (_index < _pieces.size()) {
            const Piece& p = _pieces[_index];
            if (!_bytesDone) {
                _bytesDone = true;
                out = p.bytes;
                return true;
            }
            if (_zerosDone < p.zeros) {
                const uint64_t n = p.zeros - _zerosDone < (1u << 20) ? p.zeros - _zerosDone : (1u << 20);
                out.assign(static_cast<size_t>(n), 0);
                _zerosDone += n;
                return true;
            }
            ++_index;
            _bytesDone = false;
            _zerosDone = 0;
        }
        return false;
    }

private:
    const std::vector<Piece>& _pieces;
    size_t _index = 0;
    bool _bytesDone = false;
    uint64_t _zerosDone = 0;
};

// The file a program describes. IDs of the graph start at 1 (0 is the
// partition); the late-loaded key and atom take IDs past any the graph uses.
struct Program {
    const Format& f;
    const Samples& samples;
    std::vector<Piece> elements;
    std::vector<int32_t> tops;
    int32_t next = 1;
    uint64_t budget = 1000000; // elements, nested levels and children, in all
    uint64_t zeroBudget = 40u << 20;
    std::vector<Piece> lateContent;
    bool late = false;

    int32_t take(uint64_t n) {
        budget = n > budget ? 0 : budget - n;
        const int32_t first = next;
        next += static_cast<int32_t>(n);
        return first;
    }
    uint64_t afford(uint64_t want) const { return want < budget ? want : budget; }
    void add(Bytes b) { elements.push_back({std::move(b), 0}); }

    // A chain of groups over one node.
    void chain(uint64_t depth) {
        depth = afford(depth);
        const int32_t first = take(depth + 1);
        for (uint64_t i = 0; i < depth; ++i)
            add(f.group(first + int32_t(i), {first + int32_t(i) + 1}));
        add(f.node(first + int32_t(depth)));
        tops.push_back(first);
    }
    // Groups each holding the one below twice: 2^levels paths.
    void diamond(uint64_t levels) {
        levels = afford(levels);
        const int32_t first = take(levels + 1);
        for (uint64_t i = 0; i < levels; ++i)
            add(f.group(first + int32_t(i), {first + int32_t(i) + 1, first + int32_t(i) + 1}));
        add(f.node(first + int32_t(levels)));
        tops.push_back(first);
    }
    // One group listing one node n times.
    void sameChild(uint64_t n) {
        n = afford(n);
        const int32_t first = take(2);
        add(f.group(first, std::vector<int32_t>(n, first + 1)));
        add(f.node(first + 1));
        tops.push_back(first);
    }
    // n instances of one node, read last to first (or first to last).
    void instances(uint64_t n, bool reversed) {
        n = afford(n);
        const int32_t group = take(n + 2);
        std::vector<int32_t> kids;
        for (uint64_t i = 0; i < n; ++i)
            kids.push_back(group + 1 + int32_t(i));
        add(f.group(group, kids));
        for (uint64_t i = 0; i < n; ++i) {
            const uint64_t j = reversed ? n - 1 - i : i;
            add(f.instance(group + 1 + int32_t(j), group + 1 + int32_t(n)));
        }
        add(f.node(group + 1 + int32_t(n)));
        tops.push_back(group);
    }
    // A node whose attribute is a generator nested depth levels in itself.
    void nested(uint64_t depth, bool inLateSegment) {
        depth = afford(depth) + 1;
        if (inLateSegment) {
            lateContent = {{f.nest(samples.generator, samples.innerAt, int(depth), 1), 0}};
            late = true;
            return;
        }
        const int32_t node = take(depth + 2);
        add(f.node(node, {node + 1}));
        add(f.nest(samples.generator, samples.innerAt, int(depth), node + 1));
        tops.push_back(node);
    }
    // A group whose child is an ID already given out (sharing, or a cycle).
    void backReference(uint16_t back) {
        const int32_t group = take(1);
        const int32_t target = group - 1 - int32_t(back % (group > 1 ? group - 1 : 1));
        add(f.group(group, {target < 0 ? 0 : target}));
        tops.push_back(group);
    }
    // A partition node standing for a file of the directory (this one, one
    // that names this one, outside it, or a FIFO).
    void fileReference(uint8_t which) {
        const int32_t node = take(1);
        static const char* const kNames[] = {"input.vq", "other.vq", "/input.vq", "../input.vq", "fifo.vq"};
        add(f.partition(node, {}, kNames[which % 5]));
        tops.push_back(node);
    }
    // An object of an unknown type whose data is `zeros` zero bytes.
    Piece foreign(int32_t oid, uint64_t zeros) const {
        return {f.element(vqcraft::kForeign, vqcraft::kBaseObject, oid, {}, 21 + int64_t(zeros)), zeros};
    }
    void bomb(uint64_t zeros, bool inLateSegment) {
        zeros = zeros < zeroBudget ? zeros : zeroBudget;
        zeroBudget -= zeros;
        if (inLateSegment) {
            lateContent = {foreign(1, zeros)};
            late = true;
            return;
        }
        elements.push_back(foreign(take(1), zeros));
    }
    // An element of an unknown type and any base type, with a few bytes.
    void unknown(uint8_t baseType, uint8_t n) {
        Bytes data(n);
        for (uint8_t i = 0; i < n; ++i)
            data[i] = static_cast<uint8_t>(i * 37);
        add(f.element(vqcraft::kForeign, baseType % 11, take(1), data, -1));
    }

    // A graph segment's content: elements, end marker, property elements,
    // end marker, property table.
    std::vector<Piece> graphContent(const std::vector<Piece>& graph, const std::vector<Bytes>& props,
                                    const Bytes& table) const {
        std::vector<Piece> out = graph;
        vqcraft::Out rest;
        rest.bytes(f.end());
        for (const Bytes& p : props)
            rest.bytes(p);
        rest.bytes(f.end()).bytes(table);
        out.push_back({rest.b, 0});
        return out;
    }

    std::vector<vqcraft::Segment> segments(vqcraft::Packing packing) const {
        std::vector<Piece> graph{{f.partition(0, tops), 0}};
        graph.insert(graph.end(), elements.begin(), elements.end());
        const int32_t keyId = 2000000001, lateId = 2000000002;
        std::vector<vqcraft::Segment> out;
        if (!late) {
            out.push_back(
                {vqcraft::kLsgSegment, 1,
                 vqcraft::packStream(packing, Pieces(graphContent(graph, {}, f.emptyPropertyTable())))});
            return out;
        }
        const std::vector<Piece> content =
            graphContent(graph, {Format::withId(samples.key, keyId), Format::withId(samples.late, lateId)},
                         f.propertyTable({{0, {{keyId, lateId}}}}));
        out.push_back({vqcraft::kLsgSegment, 1, vqcraft::packStream(packing, Pieces(content))});
        // The late segment's one object, an end marker, the property table.
        std::vector<Piece> lateSeg = lateContent;
        vqcraft::Out rest;
        rest.bytes(f.end()).bytes(f.emptyPropertyTable());
        lateSeg.push_back({rest.b, 0});
        vqcraft::Guid g;
        std::memcpy(g.b, &kLateSegment, 16);
        out.push_back({g, VQSEG_METADATA, vqcraft::packStream(packing, Pieces(lateSeg))});
        return out;
    }
};

void writeBytes(const std::string& path, const Bytes& b) {
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        if (!b.empty()) std::fwrite(b.data(), 1, b.size(), f);
        std::fclose(f);
    }
}

// Walks the graph, loads late data, boxes, counts, invalidates from the
// deepest node met, opens the partition nodes below (files naming each
// other), and saves.
void exercise(VqPartition* part) {
    VqNode* last = part;
    VqNode::walkOnce(part, [&](VqNode* n) {
        last = n;
        for (int i = 0, np = n->numProps(false); i < np; ++i) {
            VqPropAtom* key = nullptr;
            VqPropAtom* value = nullptr;
            if (!n->prop(i, key, value, false)) continue;
            if (auto* ll = Vq::typeCast<VqLateLoadedPropAtom>(value)) ll->ensureData(*part);
        }
        return VqNode::Walk::Descend;
    });
    part->bBoxRaw();
    VqFixedVec<int, 2> counts;
    part->numNodes(counts);
    part->numVertices(counts);
    part->area();
    last->invalidateState(VqNode::VQ_INVAL_STRUCTURE, true);
    part->bBoxRaw();
    VqPartition::openAllPartitions(part);
    part->saveAs((g_dir + "output.vq").c_str(), {.versionMajor = 9, .versionMinor = 5});
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!VqLib::init()) return 1;
    char tmpl[] = "/tmp/vq_fuzz_hostile_XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    g_dir = std::string(tmpl) + "/";
    ::mkfifo((g_dir + "fifo.vq").c_str(), 0600);
    g_samples[0] = makeSamples(9, 5);
    g_samples[1] = makeSamples(10, 0);
    VqPartition::setVersion(9, 5);
    VqErrorState::clearError();
    // The library is never finished here: pooled write buffers would outlive
    // the pool's own storage at exit and read as leaks.
    VqObjectStream::s_shrinkWriteBufferPool();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    const uint8_t head = in.u8();
    const int which = head & 1;
    const Format f = which ? Format(10, 0) : Format(9, 5);
    const auto packing = (head & 2) ? vqcraft::Packing::Xz : vqcraft::Packing::Zlib;
    Program p{f, g_samples[which]};
    for (int ops = 0; in.more() && ops < 64; ++ops) {
        const uint8_t kind = in.u8();
        const uint8_t a = in.u8();
        const uint16_t b = in.u16();
        switch (kind % 12) {
        case 0:
            p.chain(uint64_t(b) * 8);
            break;
        case 1:
            p.diamond(a % 64);
            break;
        case 2:
            p.sameChild(uint64_t(b) * 16);
            break;
        case 3:
            p.instances(uint64_t(b) * 4, a & 1);
            break;
        case 4:
            p.nested(uint64_t(b) * 2, a & 1);
            break;
        case 5:
            p.backReference(b);
            break;
        case 6:
            p.fileReference(a);
            break;
        case 7:
            p.bomb(uint64_t(b) << 10, a & 1);
            break;
        case 8:
            p.unknown(a, static_cast<uint8_t>(b));
            break;
        case 9:
            p.chain(a);
            break;
        case 10:
            p.instances(a, true);
            break;
        default:
            p.sameChild(a);
            break;
        }
    }
    // The file, and a second one whose partition node names the first.
    writeBytes(g_dir + "input.vq", vqcraft::file(f, p.segments(packing)));
    writeBytes(g_dir + "other.vq",
               vqcraft::sceneFile(f, {f.partition(0, {1}), f.partition(1, {}, "input.vq")}));
    Vq::SharedPtr<VqPartition> part;
    if (VqPartition::openFile((g_dir + "input.vq").c_str(), part) && part) {
        exercise(part.get());
        part->close();
    }
    part = nullptr;
    VqObjectStream::s_shrinkWriteBufferPool();
    VqErrorState::clearError();
    return 0;
}
