// CPU time to encode and to decode one second of speech with each codec, in
// the packet sizes the program sends. The counter "speech_s_per_cpu_s" is how
// many seconds of 8 kHz speech one CPU second codes. BM_Lpc10Rules times the
// LPC-10 encoder alone, by its own rules (0) and by the FS-1015 comparison
// rules (1).
#include "audio/codec_framing.h"
#include "audio/engine_state.h"
#include "audio/media_packet.h"
#include "audio/ulaw.h"
#include "lpc10/lpc10.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <fstream>
#include <stdexcept>
#include <vector>

namespace {

// The first second of the committed English speech vector, as u-law.
std::vector<unsigned char> speechSecond()
{
    std::ifstream f(KV_TEST_DATA_DIR "/speech_en-us.raw", std::ios::binary);
    std::vector<unsigned char> u(8000);
    for (unsigned char &x : u) {
        int16_t sample = 0; // the files are little-endian, as this machine
        if (!f.read(reinterpret_cast<char *>(&sample), 2))
            throw std::runtime_error("tests/data/speech_en-us.raw is missing or short");
        x = linearToUlaw(sample);
    }
    return u;
}

// Every iteration codes one second of speech.
void speechRate(benchmark::State &state)
{
    state.counters["speech_s_per_cpu_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

struct Codec {
    const char *name;
    int samplesPerPacket;
    void (*encode)(unsigned char *, EncoderState &);
};

const Codec kCodecs[] = {
    {"ADPCM", 1800, adpcmcomp},
    {"GSM", 3200, gsmcomp},
    {"LD-GSM", 160, gsmcomp},
    {"LPC10", 3600, lpc10comp},
};

void encodeSecond(const std::vector<unsigned char> &speech, const Codec &codec, EncoderState &enc,
                  std::vector<std::vector<unsigned char>> *packets)
{
    unsigned char packet[kPacketSize];
    for (int start = 0; start < 8000; start += codec.samplesPerPacket) {
        const int n = std::min(codec.samplesPerPacket, 8000 - start);
        std::memcpy(packet + kPacketHeaderSize, speech.data() + start, static_cast<size_t>(n));
        setPacketPayloadLength(packet, n);
        setPacketCodec(packet, 0);
        codec.encode(packet, enc);
        if (packets)
            packets->emplace_back(packet, packet + kPacketHeaderSize + packetPayloadLength(packet));
    }
}

void BM_Encode(benchmark::State &state)
{
    const Codec &codec = kCodecs[state.range(0)];
    state.SetLabel(codec.name);
    const auto speech = speechSecond();
    EncoderState enc;
    initEncoderState(enc);
    for (auto _ : state)
        encodeSecond(speech, codec, enc, nullptr);
    freeEncoderState(enc);
    speechRate(state);
}

void BM_Decode(benchmark::State &state)
{
    const Codec &codec = kCodecs[state.range(0)];
    state.SetLabel(codec.name);
    const auto speech = speechSecond();
    EncoderState enc;
    initEncoderState(enc);
    std::vector<std::vector<unsigned char>> packets;
    encodeSecond(speech, codec, enc, &packets);
    freeEncoderState(enc);
    const uint32_t word = codec.encode == adpcmcomp ? kCodecAdpcm : codec.encode == gsmcomp ? kCodecGsm : kCodecLpc10;

    auto *dec = new DecoderState;
    initDecoderState(*dec);
    unsigned char packet[kPacketSize];
    for (auto _ : state) {
        for (const auto &p : packets) {
            std::memcpy(packet, p.data(), p.size());
            setPacketCodec(packet, word);
            benchmark::DoNotOptimize(decompressPacket(packet, *dec));
        }
    }
    freeDecoderState(*dec);
    delete dec;
    speechRate(state);
}

void BM_Lpc10Rules(benchmark::State &state)
{
    std::vector<int16_t> linear;
    for (unsigned char u : speechSecond())
        linear.push_back(ulawToLinear(u));
    std::vector<unsigned char> coded(linear.size() / 180 * 7 + 7);
    Lpc10Encoder enc(state.range(0) ? lpc10::Fs1015Rules::all() : lpc10::Fs1015Rules{});
    for (auto _ : state) {
        benchmark::DoNotOptimize(enc.encode(linear.data(), coded.data(), static_cast<int>(linear.size())));
        benchmark::ClobberMemory();
    }
    speechRate(state);
}

} // namespace

// Each iteration is one second of speech.
BENCHMARK(BM_Encode)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Decode)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Lpc10Rules)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
