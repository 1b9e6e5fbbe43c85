#include "VqJSON.h"
#include "VqLib.h"

#include <benchmark/benchmark.h>

#ifdef VQ_HAVE_RAPIDJSON
#include <rapidjson/document.h>
#endif

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

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

const std::string& document() {
    static const std::string doc = makeDocument(10 << 20);
    return doc;
}

// Every parse below builds its tree inside the timed part and frees it
// outside, so that the figures compare the readers alone.

// With --benchmark_repetitions, the fastest repetition beside the mean and
// median: on a machine shared with other work it is the steadiest figure.
double fastest(const std::vector<double>& v) {
    return v.empty() ? 0.0 : *std::min_element(v.begin(), v.end());
}

// UTF-8 bytes in, as files and sockets deliver them.
void BM_JSONParseUtf8(benchmark::State& state) {
    LibScope lib;
    const std::string& doc = document();
    for (auto _ : state) {
        auto root = std::make_unique<Vq::JSON::JSONObject>();
        bool ok = Vq::JSON::JSONParser(doc.data(), doc.size()).parse(*root);
        if (!ok) state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(root.get());
        state.PauseTiming();
        root.reset();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * doc.size()));
}
BENCHMARK(BM_JSONParseUtf8)->Unit(benchmark::kMillisecond)->ComputeStatistics("min", fastest);

// The same document already held as a string.
void BM_JSONParseString(benchmark::State& state) {
    LibScope lib;
    const std::string& doc = document();
    const VqString text = VqString::fromUtf8(doc);
    for (auto _ : state) {
        auto root = std::make_unique<Vq::JSON::JSONObject>();
        bool ok = Vq::JSON::JSONParser(text).parse(*root);
        if (!ok) state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(root.get());
        state.PauseTiming();
        root.reset();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * doc.size()));
}
BENCHMARK(BM_JSONParseString)->Unit(benchmark::kMillisecond)->ComputeStatistics("min", fastest);

#ifdef VQ_HAVE_RAPIDJSON
// The reference: the same bytes into a RapidJSON document. Its default flags
// round some decimals to the nearest double only approximately; the
// full-precision variant converts them exactly, as our reader does.
template <unsigned Flags>
void BM_RapidJSONParse(benchmark::State& state) {
    const std::string& doc = document();
    for (auto _ : state) {
        auto root = std::make_unique<rapidjson::Document>();
        root->Parse<Flags>(doc.data(), doc.size());
        if (root->HasParseError()) state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(root.get());
        state.PauseTiming();
        root.reset();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * doc.size()));
}
BENCHMARK_TEMPLATE(BM_RapidJSONParse, rapidjson::kParseDefaultFlags)
    ->Unit(benchmark::kMillisecond)
    ->ComputeStatistics("min", fastest);
BENCHMARK_TEMPLATE(BM_RapidJSONParse, rapidjson::kParseFullPrecisionFlag)
    ->Unit(benchmark::kMillisecond)
    ->ComputeStatistics("min", fastest);
#endif

void BM_JSONWrite(benchmark::State& state) {
    LibScope lib;
    const std::string& doc = document();
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
