// Saving and opening a large graph (10^6 nodes, each with a property) at
// formats 9.5 and 10.0, next to what zlib and liblzma alone need for the
// bytes of its scene-graph segment and what building the same graph in memory
// costs.
//
// Counters: nodes/s over the graph's nodes, MB/s over the bytes of the file
// (save, open) or of the uncompressed segment (raw codecs).
// VQ_BENCH_NODES sets another graph size (for profiling under a simulator).

#include "VqDataStream.h"
#include "VqFSStorageLocation.h"
#include "VqGroup.h"
#include "VqInt32PropAtom.h"
#include "VqLib.h"
#include "VqMemoryByteStream.h"
#include "VqObjectStream.h"
#include "VqPartition.h"
#include "VqPropBase.h"
#include "VqPtrSwizzle.h"
#include "VqStringPropAtom.h"

#include <benchmark/benchmark.h>
#include <lzma.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>
#include <vector>

namespace {

const int kNodes = [] {
    const char* n = std::getenv("VQ_BENCH_NODES");
    return n && std::atoi(n) > 1 ? std::atoi(n) : 1000000;
}();
constexpr int kFanOut = 1000;

struct Fixture {
    Vq::SharedPtr<VqPartition> graph;
    std::string dir;
    std::vector<uint8_t> lsg95, lsg100;

    Fixture() {
        VqLib::init();
        char tmpl[] = "/tmp/vq_bench_partition_XXXXXX";
        dir = std::string(mkdtemp(tmpl)) + "/";
        graph = build();
        lsg95 = segmentBytes(9, 5);
        lsg100 = segmentBytes(10, 0);
    }
    // The graph every benchmark works on; built the same way by the
    // allocation floor.
    static Vq::SharedPtr<VqPartition> build() {
        Vq::SharedPtr<VqPartition> root = new VqPartition();
        Vq::SharedPtr<VqStringPropAtom> key = new VqStringPropAtom("index");
        int made = 1;
        while (made < kNodes) {
            Vq::SharedPtr<VqGroup> g = new VqGroup();
            ++made;
            for (int i = 0; i < kFanOut - 1 && made < kNodes; ++i, ++made) {
                Vq::SharedPtr<VqNode> n = new VqNode();
                n->addProp(key.get(), new VqInt32PropAtom(made));
                g->appendChild(n.get());
            }
            root->appendChild(g.get());
        }
        return root;
    }

    ~Fixture() {
        graph.reset();
        std::system(("rm -rf '" + dir + "'").c_str());
        VqLib::fini();
    }

    // The scene-graph segment's contents before compression: the graph's
    // elements, an end marker, the property atoms, an end marker, the table.
    std::vector<uint8_t> segmentBytes(int major, int minor) {
        VqPartition::setVersion(major, minor);
        Vq::SharedPtr<VqMemoryByteStream> bytes = new VqMemoryByteStream(false);
        Vq::SharedPtr<VqDataStream> data = new VqDataStream(bytes.get());
        data->open();
        Vq::SharedPtr<VqObjectStream> os = new VqObjectStream(data.get());
        os->setVersion(major, minor);
        os->setSwizzler(new VqPtrSwizzle());
        os->setPartition(graph.get());
        auto write = major >= 10 ? VqPartition::writeLogicalElementV10 : VqPartition::writeLogicalElementV9;
        std::vector<const VqPropBase*> holders;
        std::vector<const VqNode*> todo{graph.get()};
        while (!todo.empty()) {
            const VqNode* n = todo.back();
            todo.pop_back();
            write(*os, n);
            holders.push_back(n);
            for (unsigned int i = n->numChildren(); i-- > 0;)
                todo.push_back(n->child(static_cast<int>(i)));
        }
        write(*os, nullptr);
        std::unordered_set<const VqBase*> atoms;
        for (const VqPropBase* h : holders) {
            std::vector<std::pair<const VqPropAtom*, const VqPropAtom*>> pairs;
            h->persistablePairs(pairs);
            for (const auto& [k, v] : pairs)
                for (const VqPropAtom* a : {k, v})
                    if (atoms.insert(a).second) write(*os, a);
        }
        write(*os, nullptr);
        VqPropBase::writePropertyTable(*os, holders);
        const VqUChar* p = bytes->data();
        return std::vector<uint8_t>(p, p + bytes->dataLength());
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

int64_t fileSize(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

std::string fileName(int major) {
    return major >= 10 ? "graph100.vq" : "graph95.vq";
}

void report(benchmark::State& state, int64_t bytes) {
    state.counters["nodes/s"] = benchmark::Counter(
        static_cast<double>(kNodes) * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["MB/s"] =
        benchmark::Counter(static_cast<double>(bytes) * static_cast<double>(state.iterations()) / 1e6,
                           benchmark::Counter::kIsRate);
}

void BM_Save(benchmark::State& state) {
    Fixture& f = fixture();
    const int major = static_cast<int>(state.range(0));
    VqPartition::setVersion(major, major >= 10 ? 0 : 5);
    for (auto _ : state) {
        if (!f.graph->saveAs(VqString::fromUtf8(f.dir), VqString::fromUtf8(fileName(major)))) {
            state.SkipWithError("save failed");
            return;
        }
    }
    const int64_t size = fileSize(f.dir + fileName(major));
    state.counters["file MB"] = static_cast<double>(size) / 1e6;
    report(state, size);
}

void BM_Open(benchmark::State& state) {
    Fixture& f = fixture();
    const int major = static_cast<int>(state.range(0));
    if (fileSize(f.dir + fileName(major)) == 0) {
        VqPartition::setVersion(major, major >= 10 ? 0 : 5);
        f.graph->saveAs(VqString::fromUtf8(f.dir), VqString::fromUtf8(fileName(major)));
    }
    Vq::SharedPtr<VqFSStorageLocation> loc =
        new VqFSStorageLocation(VqString::fromUtf8(f.dir), VqString::fromUtf8(fileName(major)));
    for (auto _ : state) {
        Vq::SharedPtr<VqPartition> p;
        if (!VqPartition::openPartition(loc.get(), nullptr, p)) {
            state.SkipWithError("open failed");
            return;
        }
        state.PauseTiming();
        p.reset();
        state.ResumeTiming();
    }
    report(state, fileSize(f.dir + fileName(major)));
}

// The floor under an open: making the same objects and linking them the
// same way in memory, without a file.
void BM_BuildAlone(benchmark::State& state) {
    fixture();
    for (auto _ : state) {
        Vq::SharedPtr<VqPartition> p = Fixture::build();
        state.PauseTiming();
        p.reset();
        state.ResumeTiming();
    }
    report(state, 0);
}

// The thread's CPU time of f in ms, the measure the timed columns use: on a
// shared machine wall time counts other processes too. Decoding the bytes the
// save and open benchmarks hold is part of their floor.
template <class F>
double cpuMs(F&& f) {
    auto now = [] {
        timespec ts{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
    };
    const double t0 = now();
    f();
    return now() - t0;
}

void BM_ZlibAlone(benchmark::State& state) {
    const std::vector<uint8_t>& in = fixture().lsg95;
    std::vector<uint8_t> out(compressBound(in.size()));
    uLongf n = 0;
    for (auto _ : state) {
        n = out.size();
        compress2(out.data(), &n, in.data(), in.size(), 1);
    }
    state.counters["ratio"] = static_cast<double>(in.size()) / static_cast<double>(n);
    report(state, static_cast<int64_t>(in.size()));
    std::vector<uint8_t> back(in.size());
    state.counters["inflate ms"] = cpuMs([&] {
        uLongf m = back.size();
        uncompress(back.data(), &m, out.data(), n);
    });
}

void BM_LzmaAlone(benchmark::State& state) {
    const std::vector<uint8_t>& in = fixture().lsg100;
    std::vector<uint8_t> out(lzma_stream_buffer_bound(in.size()));
    size_t n = 0;
    for (auto _ : state) {
        n = 0;
        lzma_easy_buffer_encode(1, LZMA_CHECK_CRC64, nullptr, in.data(), in.size(), out.data(), &n,
                                out.size());
    }
    state.counters["ratio"] = static_cast<double>(in.size()) / static_cast<double>(n);
    report(state, static_cast<int64_t>(in.size()));
    std::vector<uint8_t> back(in.size());
    state.counters["decode ms"] = cpuMs([&] {
        uint64_t limit = UINT64_MAX;
        size_t inPos = 0, outPos = 0;
        if (lzma_stream_buffer_decode(&limit, 0, nullptr, out.data(), &inPos, n, back.data(), &outPos,
                                      back.size()) != LZMA_OK)
            state.SkipWithError("liblzma could not decode its own output");
    });
}

} // namespace

BENCHMARK(BM_Save)->Arg(9)->Arg(10)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_Open)->Arg(9)->Arg(10)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_BuildAlone)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_ZlibAlone)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_LzmaAlone)->Unit(benchmark::kMillisecond)->Iterations(1);
