// Scene graphs of 10^6 nodes with one property each: built in memory, written
// as a graph segment (elements, property atoms, property table) through an
// object stream on memory, and read back with the fix-up a partition runs.
// Then the release of graphs of hostile shape, each next to the release of a
// flat group of as many leaves (the reference): a node with n parents that go
// in the order that makes finding each link longest, a group listing one
// child n times, and a chain of n groups; each should cost about as much per
// node as the reference, at every n (the complexity fits say O(N)).
// Last, files of n leaves that all hold one material, opened and released,
// next to the same files without the material (the reference): each node
// joins and leaves the material's client list, which must cost O(1).
#include "VqBufferedObjectStream.h"
#include "VqDataStream.h"
#include "VqGroup.h"
#include "VqInstance.h"
#include "VqInt32PropAtom.h"
#include "VqLib.h"
#include "VqMaterial.h"
#include "VqMemoryByteStream.h"
#include "VqPartition.h"
#include "VqPtrSwizzle.h"
#include "VqStringPropAtom.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <malloc.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {
constexpr int kNodes = 1000000;
constexpr int kFanOut = 1000;

struct LibScope {
    LibScope() { VqLib::init(); }
    ~LibScope() { VqLib::fini(); }
};

size_t heapInUse() {
    return mallinfo2().uordblks;
}

// A root over kFanOut groups of leaves: kNodes nodes in all, each with an
// integer property under one shared key.
Vq::SharedPtr<VqGroup> buildGraph(VqStringPropAtom* key) {
    Vq::SharedPtr<VqGroup> root = new VqGroup();
    int made = 1;
    root->addProp(key, new VqInt32PropAtom(0));
    while (made < kNodes) {
        Vq::SharedPtr<VqGroup> g = new VqGroup();
        g->addProp(key, new VqInt32PropAtom(made++));
        for (int i = 0; i < kFanOut - 1 && made < kNodes; ++i) {
            Vq::SharedPtr<VqNode> n = new VqNode();
            n->addProp(key, new VqInt32PropAtom(made++));
            g->appendChild(n.get());
        }
        root->appendChild(g.get());
    }
    return root;
}

// The stream chain a segment is written and read through.
struct MemoryStream {
    Vq::SharedPtr<VqMemoryByteStream> bytes;
    Vq::SharedPtr<VqDataStream> data;
    Vq::SharedPtr<VqObjectStream> os;
    MemoryStream(int major, int minor, const std::vector<uint8_t>* image) {
        bytes = new VqMemoryByteStream(image != nullptr);
        if (image) bytes->setData(image->data(), image->size());
        data = new VqDataStream(bytes.get());
        os = new VqBufferedObjectStream(data.get());
        data->open();
        os->setVersion(major, minor);
        os->setSwizzler(new VqPtrSwizzle());
    }
};

bool writeElement(VqObjectStream& os, int major, const VqBase* obj) {
    return major >= 10 ? VqPartition::writeLogicalElementV10(os, obj)
                       : VqPartition::writeLogicalElementV9(os, obj);
}

std::vector<uint8_t> writeGraph(const VqGroup* root, int major, int minor) {
    VqPartition::setVersion(major, minor);
    MemoryStream s(major, minor, nullptr);
    std::vector<const VqPropBase*> holders;
    holders.reserve(kNodes);
    std::vector<const VqNode*> todo{root};
    while (!todo.empty()) {
        const VqNode* n = todo.back();
        todo.pop_back();
        writeElement(*s.os, major, n);
        holders.push_back(n);
        VqNode* const* kids = nullptr;
        unsigned int count = 0;
        n->children(kids, count, false);
        for (unsigned int i = count; i-- > 0;)
            todo.push_back(kids[i]);
    }
    writeElement(*s.os, major, nullptr);
    std::vector<std::pair<const VqPropAtom*, const VqPropAtom*>> pairs;
    const VqPropAtom* key = nullptr;
    for (const VqPropBase* h : holders) {
        h->persistablePairs(pairs);
        for (const auto& [k, v] : pairs) {
            if (k != key) writeElement(*s.os, major, key = k);
            writeElement(*s.os, major, v);
        }
    }
    writeElement(*s.os, major, nullptr);
    VqPropBase::writePropertyTable(*s.os, holders);
    return std::vector<uint8_t>(s.bytes->data(), s.bytes->data() + s.bytes->dataLength());
}

Vq::SharedPtr<VqNode> readGraph(const std::vector<uint8_t>& image, int major, int minor) {
    MemoryStream s(major, minor, &image);
    std::vector<Vq::SharedPtr<VqBase>> objects;
    objects.reserve(2 * kNodes + 1);
    for (int section = 0; section < 2; ++section)
        for (;;) {
            Vq::SharedPtr<VqBase> obj;
            if (major >= 10) {
                VqPartition::readLogicalElementV10(*s.os, obj);
            } else {
                VqBase* raw = nullptr;
                VqPartition::readLogicalElementV9(*s.os, raw);
                obj = raw;
            }
            if (!obj) break;
            objects.push_back(obj);
        }
    VqPropBase::readPropertyTable(*s.os);
    s.os->setSwizzler(nullptr);
    for (auto& o : objects)
        if (auto* n = Vq::typeCast<VqNode>(o.get())) n->fixupLists();
    for (auto& o : objects)
        if (auto* n = Vq::typeCast<VqNode>(o.get()))
            n->setInternalFlag(VqNode::VQ_NODE_IFLAG_NEEDSLOADFIXUP, false);
    return Vq::typeCast<VqNode>(objects.front().get());
}

void BM_BuildGraph(benchmark::State& state) {
    LibScope lib;
    Vq::SharedPtr<VqStringPropAtom> key = new VqStringPropAtom("id");
    double bytesPerNode = 0;
    for (auto _ : state) {
        size_t before = heapInUse();
        Vq::SharedPtr<VqGroup> root = buildGraph(key.get());
        bytesPerNode = double(heapInUse() - before) / kNodes;
        state.PauseTiming();
        root = nullptr;
        state.ResumeTiming();
    }
    state.counters["nodes/s"] =
        benchmark::Counter(double(kNodes), benchmark::Counter::kIsIterationInvariantRate);
    state.counters["heap B/node"] = bytesPerNode;
}
BENCHMARK(BM_BuildGraph)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_WriteGraph(benchmark::State& state) {
    LibScope lib;
    const int major = int(state.range(0)) / 10, minor = int(state.range(0)) % 10;
    Vq::SharedPtr<VqStringPropAtom> key = new VqStringPropAtom("id");
    Vq::SharedPtr<VqGroup> root = buildGraph(key.get());
    size_t size = 0;
    for (auto _ : state)
        size = writeGraph(root.get(), major, minor).size();
    state.counters["nodes/s"] =
        benchmark::Counter(double(kNodes), benchmark::Counter::kIsIterationInvariantRate);
    state.counters["file B/node"] = double(size) / kNodes;
}
BENCHMARK(BM_WriteGraph)->Arg(95)->Arg(100)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_ReadGraph(benchmark::State& state) {
    LibScope lib;
    const int major = int(state.range(0)) / 10, minor = int(state.range(0)) % 10;
    std::vector<uint8_t> image;
    {
        Vq::SharedPtr<VqStringPropAtom> key = new VqStringPropAtom("id");
        image = writeGraph(buildGraph(key.get()).get(), major, minor);
    }
    double bytesPerNode = 0;
    for (auto _ : state) {
        size_t before = heapInUse();
        Vq::SharedPtr<VqNode> root = readGraph(image, major, minor);
        bytesPerNode = double(heapInUse() - before) / kNodes;
        state.PauseTiming();
        if (root->numChildren() != kNodes / kFanOut) state.SkipWithError("graph read incompletely");
        root = nullptr;
        state.ResumeTiming();
    }
    state.counters["nodes/s"] =
        benchmark::Counter(double(kNodes), benchmark::Counter::kIsIterationInvariantRate);
    state.counters["heap B/node"] = bytesPerNode;
}
BENCHMARK(BM_ReadGraph)->Arg(95)->Arg(100)->Unit(benchmark::kMillisecond)->Iterations(3);

// The graph shapes released by the benchmarks below, with n nodes or links.
enum class Shape { FlatLeaves, SharedByInstances, ListedManyTimes, Chain };

Vq::SharedPtr<VqGroup> buildShape(Shape shape, int n, Vq::SharedPtr<VqNode>& keep) {
    Vq::SharedPtr<VqGroup> root = new VqGroup();
    switch (shape) {
    case Shape::FlatLeaves:
        for (int i = 0; i < n; ++i)
            root->appendChild(new VqNode());
        break;
    case Shape::SharedByInstances: {
        // The shared node lists instances 0..n-1; the root holds them the other
        // way round and so releases instance 0 first.
        keep = new VqNode();
        std::vector<Vq::SharedPtr<VqInstance>> inst(static_cast<size_t>(n));
        for (auto& in : inst) {
            in = new VqInstance();
            in->setPartitionCheck(false);
            in->replaceChild(keep.get());
        }
        for (size_t i = inst.size(); i-- > 0;)
            root->appendChild(inst[i].get());
        break;
    }
    case Shape::ListedManyTimes: {
        Vq::SharedPtr<VqNode> child = new VqNode();
        for (int i = 0; i < n; ++i)
            root->appendChild(child.get());
        break;
    }
    case Shape::Chain: {
        Vq::SharedPtr<VqNode> below = new VqNode();
        for (int i = 0; i < n; ++i) {
            Vq::SharedPtr<VqGroup> g = new VqGroup();
            g->appendChild(below.get());
            below = g.get();
        }
        root->appendChild(below.get());
        break;
    }
    }
    return root;
}

void BM_Release(benchmark::State& state) {
    LibScope lib;
    const auto shape = static_cast<Shape>(state.range(0));
    const int n = static_cast<int>(state.range(1));
    for (auto _ : state) {
        state.PauseTiming();
        Vq::SharedPtr<VqNode> keep;
        Vq::SharedPtr<VqGroup> root = buildShape(shape, n, keep);
        state.ResumeTiming();
        root = nullptr;
        benchmark::DoNotOptimize(keep.get());
    }
    state.SetComplexityN(n);
    state.counters["ns/link"] = benchmark::Counter(double(n), benchmark::Counter::kIsIterationInvariantRate |
                                                                  benchmark::Counter::kInvert);
}
void releaseArgs(benchmark::internal::Benchmark* b, Shape shape) {
    for (int n : {10000, 100000, 1000000})
        b->Args({static_cast<long>(shape), n});
    b->Unit(benchmark::kMillisecond)->Iterations(3)->Complexity(benchmark::oN);
}
BENCHMARK(BM_Release)->Name("BM_Release/flat_leaves")->Apply([](auto* b) {
    releaseArgs(b, Shape::FlatLeaves);
});
BENCHMARK(BM_Release)->Name("BM_Release/shared_by_instances")->Apply([](auto* b) {
    releaseArgs(b, Shape::SharedByInstances);
});
BENCHMARK(BM_Release)->Name("BM_Release/listed_many_times")->Apply([](auto* b) {
    releaseArgs(b, Shape::ListedManyTimes);
});
BENCHMARK(BM_Release)->Name("BM_Release/chain")->Apply([](auto* b) { releaseArgs(b, Shape::Chain); });

// Opens and releases a file of n leaves under one partition, each holding the
// same material when range(0) is 1.
void BM_OpenRelease(benchmark::State& state) {
    LibScope lib;
    const bool shared = state.range(0) != 0;
    const int n = static_cast<int>(state.range(1));
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("vq_bench_mtl_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    {
        Vq::SharedPtr<VqPartition> root = new VqPartition();
        Vq::SharedPtr<VqMaterial> mtl = new VqMaterial();
        for (int i = 0; i < n; ++i) {
            Vq::SharedPtr<VqNode> leaf = new VqNode();
            if (shared) leaf->appendAttribute(mtl.get());
            root->appendChild(leaf.get());
        }
        if (!root->saveAs(VqString::fromUtf8(dir.string() + "/"), VqString::fromUtf8("m.vq"))) {
            state.SkipWithError("save failed");
            return;
        }
    }
    const VqString file = VqString::fromUtf8((dir / "m.vq").string());
    for (auto _ : state) {
        Vq::SharedPtr<VqPartition> root;
        if (!VqPartition::openFile(file, root) || root->numChildren() != unsigned(n)) {
            state.SkipWithError("open failed");
            break;
        }
        root = nullptr;
    }
    std::filesystem::remove_all(dir);
    state.SetComplexityN(n);
    state.counters["ns/node"] = benchmark::Counter(double(n), benchmark::Counter::kIsIterationInvariantRate |
                                                                  benchmark::Counter::kInvert);
}
void openReleaseArgs(benchmark::internal::Benchmark* b, bool shared) {
    for (int n : {10000, 100000, 1000000})
        b->Args({shared ? 1L : 0L, n});
    b->Unit(benchmark::kMillisecond)->Iterations(3)->Complexity(benchmark::oN);
}
BENCHMARK(BM_OpenRelease)->Name("BM_OpenRelease/no_material")->Apply([](auto* b) {
    openReleaseArgs(b, false);
});
BENCHMARK(BM_OpenRelease)->Name("BM_OpenRelease/shared_material")->Apply([](auto* b) {
    openReleaseArgs(b, true);
});

} // namespace
