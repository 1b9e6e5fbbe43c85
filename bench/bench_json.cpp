#include "VqJSON.h"
#include "VqLib.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {
struct LibScope {
    LibScope() { VqLib::init(); }
    ~LibScope() { VqLib::fini(); }
};

// About 10 MB of records of the usual mix: names, numbers, flags, small
// arrays and nested objects.
std::string makeDocument(size_t targetBytes) {
    std::string doc = "{\"parts\" : [";
    for (int i = 0; doc.size() < targetBytes; ++i) {
        if (i) doc += ", ";
        doc += "{\"name\" : \"Part_" + std::to_string(i) +
               " \\u00e9 bracket\\/left\", \"id\" : " + std::to_string(i) +
               ", \"mass\" : " + std::to_string(i * 0.001 + 0.5) +
               ", \"visible\" : " + (i % 2 ? "true" : "false") +
               ", \"box\" : [-1.25, 2.5e-3, 3.75, 1e10, -7, 0.1], \"material\" : {\"kind\" : \"steel\", "
               "\"density\" : 7.85, \"tags\" : [\"a\", \"b\", null]}}";
    }
    doc += "]}";
    return doc;
}

// Bytes in, tree built and freed again.
void BM_JSONParseUtf8(benchmark::State& state) {
    LibScope lib;
    const std::string doc = makeDocument(10 << 20);
    for (auto _ : state) {
        Vq::JSON::JSONObject root;
        bool ok = Vq::JSON::JSONParser(doc.data(), doc.size()).parse(root);
        benchmark::DoNotOptimize(ok);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * doc.size()));
}
BENCHMARK(BM_JSONParseUtf8)->Unit(benchmark::kMillisecond);

// The same document already held as a string, with the parsed tree freed
// outside the timed part: the reader alone.
void BM_JSONParseStringOnly(benchmark::State& state) {
    LibScope lib;
    const std::string doc = makeDocument(10 << 20);
    const VqString text = VqString::fromUtf8(doc);
    for (auto _ : state) {
        auto* root = new Vq::JSON::JSONObject;
        bool ok = Vq::JSON::JSONParser(text).parse(*root);
        benchmark::DoNotOptimize(ok);
        state.PauseTiming();
        delete root;
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * doc.size()));
}
BENCHMARK(BM_JSONParseStringOnly)->Unit(benchmark::kMillisecond);

void BM_JSONWrite(benchmark::State& state) {
    LibScope lib;
    const std::string doc = makeDocument(10 << 20);
    Vq::JSON::JSONObject root;
    Vq::JSON::JSONParser(doc.data(), doc.size()).parse(root);
    size_t bytes = 0;
    for (auto _ : state) {
        VqString out;
        Vq::JSON::JSONWriter().serialize(out, root);
        bytes = static_cast<size_t>(out.numChars());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_JSONWrite)->Unit(benchmark::kMillisecond);
} // namespace
