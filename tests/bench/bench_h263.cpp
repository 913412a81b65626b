// H.263 decoding speed: the program's 10 x 7 pictures, and a QCIF stream
// from ffmpeg's encoder, timed beside `ffmpeg -threads 1 -cpuflags 0`
// decoding the same stream (reported as the counter ffmpeg_ratio).
#include "h263_test_encoder.h"
#include "video/h263_decoder.h"

#include <benchmark/benchmark.h>

#include <ctime>
#include <sys/resource.h>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

using kv::video::H263Decoder;

std::vector<std::vector<uint8_t>> splitPictures(const std::vector<uint8_t> &s)
{
    std::vector<size_t> at;
    for (size_t i = 0; i + 2 < s.size(); ++i)
        if (s[i] == 0 && s[i + 1] == 0 && (s[i + 2] & 0xFC) == 0x80)
            at.push_back(i);
    at.push_back(s.size());
    std::vector<std::vector<uint8_t>> pictures;
    for (size_t k = 0; k + 1 < at.size(); ++k)
        pictures.emplace_back(s.begin() + static_cast<long>(at[k]), s.begin() + static_cast<long>(at[k + 1]));
    return pictures;
}

double cpuSeconds(clockid_t clock)
{
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double childCpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

void decodeAll(H263Decoder &dec, const std::vector<std::vector<uint8_t>> &pictures)
{
    int counter = 0;
    for (const auto &p : pictures) {
        dec.decodePicture(p.data(), p.size(), counter);
        ++counter;
    }
}

void BM_H263Program(benchmark::State &state)
{
    namespace te = kv::video::testenc;
    te::H263TestEncoder enc;
    std::vector<std::vector<uint8_t>> pictures;
    for (int n = 0; n < 30; ++n) {
        te::Picture p = te::Picture::blank(160, 112);
        for (size_t i = 0; i < p.y.size(); ++i)
            p.y[i] = static_cast<uint8_t>((i % 160 + n) * 3 ^ (i / 160) * 5);
        pictures.push_back(enc.encode(p, {.intra = n == 0, .tr = n, .quant = 6,
                                          .vector = [](int, int) { return te::Vector{2, 1}; }}).bytes);
    }
    H263Decoder dec;
    for (auto _ : state)
        decodeAll(dec, pictures);
    state.counters["pictures_per_s"] = benchmark::Counter(30.0 * static_cast<double>(state.iterations()),
                                                          benchmark::Counter::kIsRate);
}
BENCHMARK(BM_H263Program)->Unit(benchmark::kMillisecond);

void BM_H263QcifBesideFfmpeg(benchmark::State &state)
{
    const char *dir = "/tmp/kv_bench_h263";
    const std::string make = std::string("mkdir -p ") + dir +
                             " && ffmpeg -nostdin -loglevel error -y -f lavfi -i "
                             "'testsrc=size=176x144:rate=25,rotate=a=0.05*t*25:c=gray' -frames:v 300 -c:v h263 "
                             "-q:v 3 -flags +mv4 -obmc 1 -f h263 " + dir + "/s.h263";
    if (std::system(make.c_str()) != 0) {
        fprintf(stderr, "ffmpeg (Debian package ffmpeg) is needed\n");
        std::exit(1);
    }
    std::ifstream f(std::string(dir) + "/s.h263", std::ios::binary);
    const auto pictures = splitPictures({std::istreambuf_iterator<char>(f), {}});
    // CPU time, not wall time: the machine may be shared. ffmpeg's time
    // for the same work without its start-up: measured with 1 and 6 passes
    // over the stream, the difference is 5 passes of decoding.
    auto ffmpegSeconds = [&](int loops) {
        const std::string cmd = std::string("ffmpeg -nostdin -loglevel error -threads 1 -cpuflags 0 -stream_loop ") +
                                std::to_string(loops - 1) + " -i " + dir + "/s.h263 -f null -";
        const double t0 = childCpuSeconds();
        if (std::system(cmd.c_str()) != 0)
            return 0.0;
        return childCpuSeconds() - t0;
    };
    const double ffmpegPerPass = (ffmpegSeconds(6) - ffmpegSeconds(1)) / 5;
    H263Decoder dec(11, 9);
    double ours = 0;
    for (auto _ : state) {
        const double t0 = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        decodeAll(dec, pictures);
        ours += cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - t0;
    }
    ours /= static_cast<double>(state.iterations());
    state.counters["ffmpeg_ms"] = ffmpegPerPass * 1000;
    state.counters["ours_ms"] = ours * 1000;
    state.counters["ffmpeg_ratio"] = ours / ffmpegPerPass;
}
BENCHMARK(BM_H263QcifBesideFfmpeg)->Unit(benchmark::kMillisecond)->Iterations(10);

} // namespace
