#include "VqDrawStyle.h"
#include "VqGroup.h"
#include "VqHeapNodeIter.h"
#include "VqLib.h"
#include "VqMaterial.h"
#include "VqPath.h"
#include "VqStackNodeIter.h"
#include "VqState.h"
#include "VqXform.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

struct LibScope {
    LibScope() { VqLib::init(); }
    ~LibScope() { VqLib::fini(); }
};

// A tree of the given branching and depth below one root.
VqGroup* buildTree(int branching, int depth, std::vector<VqGroup*>* leaves = nullptr) {
    VqGroup* root = new VqGroup();
    std::vector<VqGroup*> level{root};
    for (int d = 0; d < depth; ++d) {
        std::vector<VqGroup*> next;
        next.reserve(level.size() * size_t(branching));
        for (VqGroup* g : level)
            for (int i = 0; i < branching; ++i) {
                VqGroup* c = new VqGroup();
                g->appendChild(c);
                next.push_back(c);
            }
        level.swap(next);
    }
    if (leaves) *leaves = level;
    return root;
}

bool visitAll(VqNodeIter* it, VqNodeIter::ActionTime, int, VqNode*, unsigned int,
              VqNodeIter::DataHandle& data, float value) {
    static const VqVec<float> none;
    (void)value;
    return it->addAllChildren(data, none);
}

template <class Iter>
void walk(benchmark::State& state) {
    LibScope lib;
    // A root, 100 groups, 10^4 below them and 10^6 leaves: 1,010,101 nodes.
    Vq::SharedPtr<VqGroup> root = buildTree(100, 3);
    Vq::SharedPtr<Iter> it = new Iter();
    it->setChildMode(false);
    it->appendAction(VqNodeIter::Pre, &visitAll, nullptr);
    for (auto _ : state) {
        VqNodeIter::DataHandle data;
        it->execute(root.get(), 1, data, 0.0f);
    }
    state.SetItemsProcessed(state.iterations() * 1010101);
}

void BM_StackIterator1M(benchmark::State& state) {
    walk<VqStackNodeIter>(state);
}
void BM_HeapIterator1M(benchmark::State& state) {
    walk<VqHeapNodeIter>(state);
}
BENCHMARK(BM_StackIterator1M)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HeapIterator1M)->Unit(benchmark::kMillisecond);

// 10^5 leaf instances under four levels that each carry a transform, and
// materials and draw styles on alternate levels; the states of all leaves
// are built from scratch (the caches of the instances above are warm after
// the first leaf of each group, as in a traversal).
void BM_AccumulateStates100K(benchmark::State& state) {
    LibScope lib;
    std::vector<VqGroup*> leaves;
    Vq::SharedPtr<VqGroup> root = buildTree(10, 5, &leaves);
    std::vector<VqGroup*> level{root.get()};
    for (int d = 0; d <= 5; ++d) {
        std::vector<VqGroup*> next;
        for (VqGroup* g : level) {
            VqMatrix4d m;
            m.m[3][0] = d + 1.0;
            g->appendAttribute(new VqXform(m));
            if (d % 2 == 0) {
                VqMaterial* mtl = new VqMaterial();
                mtl->setShininess(float(d));
                g->appendAttribute(mtl);
            } else {
                VqDrawStyle* ds = new VqDrawStyle();
                ds->setFlatShading(d % 4 == 1);
                g->appendAttribute(ds);
            }
            for (unsigned int i = 0; i < g->numChildren(); ++i)
                next.push_back(static_cast<VqGroup*>(g->child(int(i))));
        }
        level.swap(next);
    }
    std::vector<VqPath> paths(leaves.size());
    for (size_t i = 0; i < leaves.size(); ++i)
        paths[i].setPath(leaves[i], 1);
    for (auto _ : state) {
        state.PauseTiming();
        root->removeAllInstData(true);
        state.ResumeTiming();
        for (size_t i = 0; i < leaves.size(); ++i) {
            Vq::SharedPtr<VqState> s;
            VqNode::getState(leaves[i], &paths[i], s);
            benchmark::DoNotOptimize(s.get());
        }
    }
    state.SetItemsProcessed(state.iterations() * int64_t(leaves.size()));
}
BENCHMARK(BM_AccumulateStates100K)->Unit(benchmark::kMillisecond);

// The bare accumulation: a new state per instance with all twelve attributes
// of a six-level path offered to it, without caching.
void BM_AccumulatePathFromScratch(benchmark::State& state) {
    LibScope lib;
    std::vector<Vq::SharedPtr<VqAttribute>> attrs;
    for (int d = 0; d < 6; ++d) {
        VqMatrix4d m;
        m.m[3][1] = d;
        attrs.push_back(new VqXform(m));
        VqMaterial* mtl = new VqMaterial();
        mtl->setShininess(float(d));
        attrs.push_back(mtl);
    }
    for (auto _ : state) {
        VqState s;
        for (const auto& a : attrs)
            s.accumAttribute(a.get(), nullptr);
        s.finalize();
        benchmark::DoNotOptimize(s.renderFlags());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AccumulatePathFromScratch);

} // namespace
