// CPU cost of the LPC-10 codec per second of speech. The counter
// "speech_s_per_cpu_s" is how many seconds of 8 kHz speech one CPU second
// encodes (or decodes). Set KV_LPC10_BENCH_INPUT to a raw 16-bit mono 8 kHz
// file to use real speech; otherwise a voiced/unvoiced test signal is used.
#include "lpc10/lpc10.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

namespace {

constexpr int kSamples = 180 * 450; // about 10 s

std::vector<int16_t> benchInput()
{
    std::vector<int16_t> linear;
    if (const char *path = std::getenv("KV_LPC10_BENCH_INPUT")) {
        if (FILE *f = std::fopen(path, "rb")) {
            int16_t s;
            while (std::fread(&s, sizeof s, 1, f) == 1 && linear.size() < kSamples)
                linear.push_back(s);
            std::fclose(f);
        }
    }
    std::mt19937 rng(1);
    std::normal_distribution<double> noise(0.0, 1500.0);
    double y1 = 0, y2 = 0;
    for (int n = static_cast<int>(linear.size()); n < kSamples; ++n) {
        // Alternating 0.5 s stretches of a 120 Hz vowel and of hiss.
        const bool voiced = (n / 4000) % 2 == 0;
        const double x = voiced ? (n % 67 == 0 ? 6000.0 : 0.0) : noise(rng);
        const double r = 0.95, w = 2 * M_PI * 650 / 8000;
        const double y = x + 2 * r * std::cos(w) * y1 - r * r * y2;
        y2 = y1;
        y1 = y;
        linear.push_back(static_cast<int16_t>(std::lround(std::clamp(y, -32000.0, 32000.0))));
    }
    return linear;
}

// The codec's own rules, or (argument 1) the FS-1015 comparison rules.
void BM_Lpc10Encode(benchmark::State &state)
{
    const std::vector<int16_t> input = benchInput();
    std::vector<unsigned char> coded(input.size() / 180 * 7);
    Lpc10Encoder enc(state.range(0) ? lpc10::Fs1015Rules::all() : lpc10::Fs1015Rules{});
    for (auto _ : state) {
        benchmark::DoNotOptimize(enc.encode(input.data(), coded.data(), static_cast<int>(input.size())));
        benchmark::ClobberMemory();
    }
    state.counters["speech_s_per_cpu_s"] = benchmark::Counter(
        static_cast<double>(input.size()) / 8000.0 * static_cast<double>(state.iterations()),
        benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Lpc10Encode)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_Lpc10Decode(benchmark::State &state)
{
    const std::vector<int16_t> input = benchInput();
    std::vector<unsigned char> coded(input.size() / 180 * 7);
    Lpc10Encoder enc;
    enc.encode(input.data(), coded.data(), static_cast<int>(input.size()));
    Lpc10Decoder dec;
    std::vector<int16_t> out(Lpc10Decoder::kMaxOutput);
    const int chunk = 7 * Lpc10Decoder::kMaxFrames;
    for (auto _ : state) {
        for (size_t pos = 0; pos < coded.size(); pos += chunk) {
            const int len = static_cast<int>(std::min<size_t>(chunk, coded.size() - pos));
            benchmark::DoNotOptimize(dec.decode(coded.data() + pos, out.data(), len));
        }
        benchmark::ClobberMemory();
    }
    state.counters["speech_s_per_cpu_s"] = benchmark::Counter(
        static_cast<double>(coded.size() / 7 * 180) / 8000.0 * static_cast<double>(state.iterations()),
        benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Lpc10Decode)->Unit(benchmark::kMillisecond);

} // namespace
