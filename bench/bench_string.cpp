#include "VqLib.h"
#include "VqString.h"

#include <benchmark/benchmark.h>

#include <clocale>
#include <string>

namespace {
struct LibScope {
    explicit LibScope(bool utf8) {
        std::setlocale(LC_CTYPE, "C.UTF-8");
        VqLib::init();
        VqString::SetUTF8(utf8);
    }
    ~LibScope() { VqLib::fini(); }
};

// About 64 KiB of text: plain ASCII, or a mix of accented Latin, Greek,
// CJK and an occasional character outside the basic plane.
std::string sampleText(bool ascii) {
    const char* piece = ascii
                            ? "/models/assembly_042/part-17 bracket left.vq "
                            : "/mod\xC3\xA8les/\xCE\xB1\xCE\xB2\xCE\xB3 \xE8\xA3\x85\xE9\x85\x8D\xE4\xBD\x93"
                              "_42 pi\xC3\xA8"
                              "ce \xF0\x9F\x94\xA9 d\xC3\xA9tail.vq ";
    std::string s;
    while (s.size() < 65536)
        s += piece;
    return s;
}

// 8-bit text to UCS-2 through the active converter (setString's two passes).
void BM_SetString(benchmark::State& state) {
    bool ascii = state.range(0) != 0;
    bool utf8 = state.range(1) != 0;
    LibScope lib(utf8);
    std::string text = sampleText(ascii);
    VqString s;
    for (auto _ : state) {
        s.setString(text.c_str());
        benchmark::DoNotOptimize(s.getConstPtr());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
    state.SetLabel(std::string(ascii ? "ascii" : "mixed") + (utf8 ? " utf8" : " local"));
}
BENCHMARK(BM_SetString)->ArgsProduct({{1, 0}, {1, 0}});

// UCS-2 back to 8-bit text through the active converter.
void BM_ConvertToMBCS(benchmark::State& state) {
    bool ascii = state.range(0) != 0;
    bool utf8 = state.range(1) != 0;
    LibScope lib(utf8);
    std::string text = sampleText(ascii);
    VqString s(text.c_str());
    std::string out;
    for (auto _ : state) {
        Vq::convertToMBCS(out, s);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
    state.SetLabel(std::string(ascii ? "ascii" : "mixed") + (utf8 ? " utf8" : " local"));
}
BENCHMARK(BM_ConvertToMBCS)->ArgsProduct({{1, 0}, {1, 0}});

// Short names, as the factory and property tables convert them.
void BM_ShortNameSetString(benchmark::State& state) {
    LibScope lib(true);
    VqString s;
    for (auto _ : state) {
        s.setString("VqTransform");
        benchmark::DoNotOptimize(s.getConstPtr());
    }
}
BENCHMARK(BM_ShortNameSetString);

void BM_Hash(benchmark::State& state) {
    LibScope lib(true);
    VqString s(sampleText(true).substr(0, static_cast<size_t>(state.range(0))).c_str());
    for (auto _ : state)
        benchmark::DoNotOptimize(s.hash());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * s.numBytes());
}
BENCHMARK(BM_Hash)->Arg(16)->Arg(4096);
} // namespace
