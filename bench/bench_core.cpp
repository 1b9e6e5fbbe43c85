#include "VqFactory.h"
#include "VqLib.h"
#include "VqNotifyBase.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace {
struct LibScope {
    LibScope() { VqLib::init(); }
    ~LibScope() { VqLib::fini(); }
};

void BM_SharedPtrCopyRelease(benchmark::State& state) {
    LibScope lib;
    Vq::SharedPtr<VqNotifyBase> held(new VqNotifyBase());
    for (auto _ : state) {
        Vq::SharedPtr<VqNotifyBase> copy(held);
        benchmark::DoNotOptimize(copy);
    }
}
BENCHMARK(BM_SharedPtrCopyRelease);

void BM_FactoryLookupByGUID(benchmark::State& state) {
    LibScope lib;
    std::vector<VqGUID> guids;
    for (int i = 0; i < VqFactory::numTypes(); ++i) {
        VqType* t = nullptr;
        VqFactory::getType(i, t);
        guids.push_back(t->guid);
    }
    size_t i = 0;
    for (auto _ : state) {
        VqType* t = nullptr;
        VqFactory::getType(guids[i], t);
        benchmark::DoNotOptimize(t);
        if (++i == guids.size()) i = 0;
    }
}
BENCHMARK(BM_FactoryLookupByGUID);

void BM_FactoryLookupByName(benchmark::State& state) {
    LibScope lib;
    VqString name("VqStdError");
    for (auto _ : state) {
        VqType* t = nullptr;
        VqFactory::getType(name, t);
        benchmark::DoNotOptimize(t);
    }
}
BENCHMARK(BM_FactoryLookupByName);
} // namespace
