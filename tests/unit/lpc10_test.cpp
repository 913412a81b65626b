// Guards against wrong LPC-10 quantiser tables, frame bits in the wrong place, lost protection of the important bits, samples or bytes written past their areas, frames another LPC-10e coder would not make, and coloured or noisy speech out of the codec.
#include "lpc10/lpc10.h"
#include "lpc10/tables.h"

#include "audio/ulaw.h"
#include "test_data.h"

#include <bitset>
#include <cmath>
#include <complex>
#include <random>

using namespace lpc10;

namespace {

using Bytes = std::vector<unsigned char>;
using Samples = std::vector<int16_t>;

FrameParams params(int pitchIndex, float rms, int v1 = 1, int v2 = 1, float rc1 = 0)
{
    FrameParams p;
    p.voice = {0, v1, v2}, p.pitch = pitchIndex, p.rms = rms;
    p.rc[1] = rc1, p.rc[2] = 0.3f, p.rc[3] = -0.2f, p.rc[4] = 0.1f;
    return p;
}

// Frames through encode and the channel as a transmitter sends them.
std::vector<FrameBits> transmit(const std::vector<FrameParams> &frames)
{
    std::vector<FrameBits> out;
    int isync = 0;
    for (const FrameParams &p : frames) {
        FrameCodes c = encode(p);
        channel(0, c, out.emplace_back(), isync);
    }
    return out;
}

// Bits (or codes, with bits empty) through the channel and a fresh decoder.
std::vector<FrameParams> receive(std::vector<FrameBits> frames, std::vector<FrameCodes> codes = {})
{
    ParamDecoder dec;
    int unused = 0;
    for (FrameBits &bits : frames)
        channel(1, codes.emplace_back(), bits, unused);
    std::vector<FrameParams> out;
    for (FrameCodes &c : codes)
        dec.decode(c, out.emplace_back());
    return out;
}

const char *const kVectors[] = {"speech_en-us", "speech_en-gb", "speech_de",    "speech_en-us-f3",
                                "speech_fr",    "signal_glides", "signal_steps", "signal_onsets"};

// sox packs the 54 bits most significant bit first; ours least significant first.
Bytes soxFrames(const std::string &name)
{
    Bytes b = readTestData(name + ".lpc10");
    for (auto &x : b) {
        unsigned char r = 0;
        for (int i = 0; i < 8; ++i)
            r = static_cast<unsigned char>(r | ((x >> i) & 1) << (7 - i));
        x = r;
    }
    return b;
}

Bytes encodeAll(const Samples &s, Fs1015Rules rules = {})
{
    Bytes coded(s.size() / 180 * 7);
    Lpc10Encoder(rules).encode(s.data(), coded.data(), static_cast<int>(s.size()));
    return coded;
}

// Speech through the program's path: u-law in, the codec, u-law out; padded to flush the codec delay.
Samples throughCodec(Samples s)
{
    auto ulaw = [](Samples x) {
        for (auto &v : x)
            v = u2s[linearToUlaw(v)];
        return x;
    };
    s.resize(s.size() + 1080, 0);
    const Bytes coded = encodeAll(ulaw(s));
    Samples out(coded.size() / 7 * 180);
    Lpc10Decoder dec;
    for (size_t f = 0; f + 7 <= coded.size(); f += 7)
        dec.decode(&coded[f], &out[f / 7 * 180], 7);
    return ulaw(out);
}

// Long-term levels of the octave bands 250-500, 500-1000, 1000-2000 and 2000-3400 Hz in dB
// relative to the first: averaged Hann-windowed 256-point periodograms, bin k at k * 31.25 Hz.
std::array<double, 4> bandLevels(const Samples &x)
{
    std::array<std::complex<double>, 256> root;
    for (int n = 0; n < 256; ++n)
        root[n] = std::polar(1.0, 2 * M_PI * n / 256);
    std::array<double, 4> power{}, db{};
    for (size_t start = 0; start + 256 <= x.size(); start += 128)
        for (int k = 8; k <= 108; ++k) {
            std::complex<double> bin = 0;
            for (int n = 0; n < 256; ++n)
                bin += (0.5 - 0.5 * root[n].real()) * x[start + n] * root[k * n % 256];
            power[k < 16 ? 0 : k < 32 ? 1 : k < 64 ? 2 : 3] += std::norm(bin);
        }
    for (int b = 0; b < 4; ++b)
        db[b] = 10 * std::log10(power[b] / power[0]);
    return db;
}

} // namespace

TEST(Lpc10Coding, QuantiserCodesAndLevels)
{
    const Fs1015Rules fs{.rmsOddRoundsUp = true}, truncating{.rcHalvingTruncates = true};
    // level, code under the codec's rounding, code under the FS-1015 rule
    for (auto [level, own, fsCode] : {std::tuple{0, 0, 0}, {60, 14, 15}, {64, 15, 15}, {1000, 30, 31}, {50000, 30, 31}}) {
        EXPECT_EQ(encode(params(1, float(level))).irms, own) << level;
        EXPECT_EQ(encode(params(1, float(level)), fs).irms, fsCode) << level;
    }
    const int levels[32] = {1,  3,  5,  7,  9,   11,  13,  15,  17,  20,  24,  30,  34,  42,  50,  60,
                            70, 84, 102, 120, 144, 172, 206, 246, 294, 352, 420, 502, 600, 718, 856, 1024};
    for (FrameCodes c; c.irms < 32; ++c.irms)
        EXPECT_EQ(receive({}, {c})[0].rms, float(levels[c.irms])) << "code " << c.irms;
    // -20991 halves to -10496 by a shift (-10495 truncating): with RC4's offset and scale -96 against -95.99.
    FrameParams p = params(1, 100.f);
    p.rc[4] = -20991.f / 32768.f;
    EXPECT_EQ(encode(p).irc[4], -13);
    EXPECT_EQ(encode(p, truncating).irc[4], -12);
    // Pitch codes: unique, three or four bits set, decoded to their period.
    std::vector<int> seen(128, 0);
    for (int index = 1; index <= 60; ++index) {
        const int code = encode(params(index, 100.f)).ipitv;
        const auto ones = std::bitset<7>(static_cast<unsigned>(code)).count();
        EXPECT_TRUE((ones == 3 || ones == 4) && seen[code]++ == 0 && detau[code] == tau[index - 1]) << code;
    }
    for (auto [v1, v2, code] : {std::tuple{0, 0, 0}, {1, 0, 127}, {0, 1, 127}})
        EXPECT_EQ(encode(params(30, 100.f, v1, v2)).ipitv, code) << v1 << v2;
    const auto decoded = receive(transmit(std::vector<FrameParams>(4, params(40, 300.f))));
    EXPECT_EQ(decoded.back().pitch, tau[39]) << "after the first frame the decoder gives the pitch sent";
    EXPECT_EQ(decoded.back().voice, (std::array<int, 3>{0, 1, 1}));
}

TEST(Lpc10Coding, EveryFieldBitHasItsPlaceInTheFrameBothWays)
{
    const int widths[12] = {7, 5, 5, 5, 5, 4, 4, 4, 4, 3, 2, 5};
    int isync = 0, unused = 0;
    // The field of each frame bit in order: 0 pitch, 1-10 rc n, 11 rms, 12 sync.
    const int fields[54] = {1, 2, 3, 0, 11, 1, 2, 3, 0, 11, 1, 4, 3, 11, 0, 4, 1, 2, 3, 4, 11, 1, 2, 3, 4, 11, 0,
                            2, 7, 8, 0, 4, 5, 6, 7, 10, 8, 5, 6, 7, 9, 0, 5, 6, 10, 8, 0, 9, 5, 6, 7, 9, 8, 12};
    int next[13] = {}; // each field's bits go out lowest first
    for (int k = 0; k < 54; ++k) {
        const int field = fields[k], b = next[field]++;
        FrameCodes c;
        isync = field == 12;
        (field == 0 ? c.ipitv : field == 11 ? c.irms : c.irc[field % 11]) = field == 12 ? 0 : 1 << b;
        FrameBits bits{};
        channel(0, c, bits, isync);
        for (int j = 1; j <= 54; ++j)
            EXPECT_EQ(bits[j], j == k + 1 ? 1 : 0) << "field " << field << "." << b << " expected at frame bit " << k;
        FrameCodes back; // coefficient codes are signed: their top bit comes back negative
        channel(1, back, bits, unused);
        const int value = field == 12 ? 0 : field % 11 && b == widths[field] - 1 ? -(1 << b) : 1 << b;
        EXPECT_EQ(field == 0 ? back.ipitv : field == 11 ? back.irms : back.irc[field % 11], value) << field << "." << b;
    }
}

TEST(Lpc10Coding, UnvoicedFramesCarryNeutralCoefficientsAndProtectTheirImportantBits)
{
    const auto clean = transmit({params(0, 200.f, 0, 0, -0.5f), params(0, 300.f, 0, 0, -0.6f),
                                 params(0, 250.f, 0, 0, -0.55f), params(0, 200.f, 0, 0, -0.5f)});
    const auto reference = receive(clean);
    FrameCodes neutral;
    for (int i = 5; i <= 10; ++i)
        neutral.irc[i] = zrc[i - 1];
    const FrameParams expected = receive({}, {neutral})[0];
    for (const FrameParams &p : reference) {
        EXPECT_EQ(p.voice, (std::array<int, 3>{0, 0, 0}));
        for (int i = 5; i <= 10; ++i)
            EXPECT_EQ(p.rc[i], expected.rc[i]) << "rc" << i;
    }
    // Bits 1..4 of RC1, RMS and RC2 are protected: RC1.1-4 at slots 6, 11, 17, 22; RMS.1-4 at 10, 14, 21, 26;
    // RC2.1 at 7; a parity bit (the K7.0 field) at 29. Flip one bit of the second frame.
    for (int k : {6, 11, 17, 22, 10, 14, 21, 26, 7, 29}) {
        auto damaged = clean;
        damaged[1][k] ^= 1;
        const FrameParams p = receive(damaged)[2]; // the second frame comes out of the third decode
        EXPECT_TRUE(p.rms == reference[2].rms && p.rc[1] == reference[2].rc[1] && p.rc[2] == reference[2].rc[2])
            << "bit " << k;
    }
}

TEST(Lpc10Frames, EncodeCountsAndCompletesAPartialFrameWithSilence)
{
    Lpc10Encoder enc, encPadded;
    const Samples speech = readTestSamples("speech_en-us.raw");
    Samples small(speech.begin() + 8000, speech.begin() + 8181), padded = small;
    small.resize(360, 12345);
    padded.resize(360, 0);
    Bytes coded(14 + 4, 0xAA), codedPadded(14);
    EXPECT_EQ(enc.encode(small.data(), coded.data(), 181), 14);
    EXPECT_EQ(encPadded.encode(padded.data(), codedPadded.data(), 360), 14);
    EXPECT_EQ(Bytes(coded.begin(), coded.begin() + 14), codedPadded) << "a partial frame is completed with silence";
    EXPECT_EQ(coded[14], 0xAA);
    EXPECT_EQ(enc.encode(small.data(), coded.data(), 0), 0);
    EXPECT_EQ(enc.encode(small.data(), coded.data(), -5), 0);
}

TEST(Lpc10Frames, DecodeCountsWholeFramesAndWritesOnlyWithinTheArea)
{
    Bytes coded = readTestData("speech_en-us.lpc10");
    coded.resize(700);
    const int max = Lpc10Decoder::kMaxOutput;
    // bytes, capacity, samples written
    const int cases[][3] = {{140, max, 3600}, {13, max, 180}, {700, max, max}, {6, max, 0},
                            {-7, max, 0},    {700, 179, 0},  {700, 1000, 900}};
    Lpc10Decoder dec;
    for (auto [len, capacity, written] : cases) {
        Samples out(static_cast<size_t>(max + 64), -77);
        EXPECT_EQ(dec.decode(coded.data(), out.data(), len, capacity), written) << len << " " << capacity;
        EXPECT_EQ(out[static_cast<size_t>(written)], -77) << len << " " << capacity;
    }
    Samples out(1800);
    ASSERT_EQ(Lpc10Decoder().decode(coded.data(), out.data(), 70), 1800);
    EXPECT_EQ(Samples(out.begin(), out.begin() + 360), Samples(360, 0)) << "the first two frames are silence";
    EXPECT_GT(std::count_if(out.begin() + 360, out.end(), [](int16_t v) { return v != 0; }), 100);
    const std::pair<float, int> linear[] = {{1.0f, 32767}, {5.0f, 32767}, {-1.0f, -32768}, {-5.0f, -32768}, {0.f, 0},
                                            {0.25f, 8192}, {-1.0f / 32768.f, -1}, {-1.9f / 32768.f, -1},
                                            {32766.9f / 32768.f, 32766}, {std::nanf(""), -32768}};
    for (auto [value, sample] : linear)
        EXPECT_EQ(Lpc10Decoder::toLinear(value), sample) << "truncated and clipped to 16 bits: " << value;
}

TEST(Lpc10Synthesis, PitchAndCoefficientsAreClampedAndAnyParametersStayInBounds)
{
    Synthesizer synth;
    std::array<float, kMaxSynthSamples + 1> speech{};
    // voicing, pitch, samples delivered, first epoch length
    for (auto [v, pitch, samples, length] : {std::tuple{0, 80, 180, 45}, {1, 10, 180, 20}, {1, 400, 156, 156}}) {
        synth = Synthesizer();
        FrameParams p = params(pitch, v ? 300.f : 0.f, v, v, 1.5f);
        p.rc[2] = -7.f;
        EXPECT_EQ(synth.synths(p, speech), samples) << pitch;
        EXPECT_EQ(synth.epochLength(1), length) << pitch;
        EXPECT_TRUE(p.rc[1] == 0.99f && p.rc[2] == -0.99f) << pitch;
        EXPECT_TRUE(v || (synth.epochCount() == 4 && synth.epochRms(1) == 1.f)) << "4 epochs, zero RMS is one";
    }
    // Any bits: RMS and pitch in range, and from them finite speech within the epoch arrays, 180 samples a frame.
    std::mt19937 rng(7);
    ParamDecoder dec;
    long produced = 0;
    for (int n = 0; n < 20000; ++n) {
        FrameBits bits{};
        for (int k = 1; k <= 54; ++k)
            bits[k] = static_cast<int>(rng() & 1);
        FrameCodes c;
        FrameParams p;
        int unused = 0;
        channel(1, c, bits, unused);
        dec.decode(c, p);
        ASSERT_TRUE(p.rms >= 0.f && p.rms <= 1024.f && p.pitch >= 0 && p.pitch <= 156) << n;
        const int k = synth.synths(p, speech);
        ASSERT_TRUE(k >= 0 && k <= kMaxSynthSamples && synth.epochCount() <= kMaxEpochs) << "frame " << n;
        for (int i = 1; i <= k; ++i)
            ASSERT_TRUE(std::isfinite(speech[i])) << "frame " << n;
        produced += k;
    }
    EXPECT_NEAR(produced / 20000.0, 180.0, 1.0);
}

TEST(Lpc10Reference, FramesMatchTheIndependentCoderUnderItsRules)
{
    int frames = 0, ownIdentical = 0;
    for (const std::string name : kVectors) {
        const Samples s = readTestSamples(name + ".raw");
        const Bytes theirs = soxFrames(name);
        ASSERT_EQ(theirs.size(), s.size() / 180 * 7) << name;
        const Bytes fs = encodeAll(s, Fs1015Rules::all()), own = encodeAll(s);
        const int n = static_cast<int>(theirs.size() / 7);
        int same = 0;
        for (int f = 0; f < n; ++f) {
            same += std::equal(&theirs[7 * f], &theirs[7 * f] + 7, &fs[7 * f]);
            ownIdentical += std::equal(&theirs[7 * f], &theirs[7 * f] + 7, &own[7 * f]);
        }
        EXPECT_GE(100.0 * same / n, 99.0) << name;
        frames += n;
    }
    EXPECT_LT(100.0 * ownIdentical / frames, 50.0) << "the codec's own rules are in force by default";
}

// The analysis pre-emphasis and the synthesis de-emphasis are a matched pair: speech keeps its balance
// up to 2 kHz within 2 dB. Above, the shaped excitation pulse costs 2 to 3 dB (french just over 3 dB).
TEST(Lpc10Reference, SpeechKeepsItsSpectralBalanceAndSilenceStaysSilent)
{
    for (const std::string voice : {"en-us", "en-gb", "de", "en-us-f3", "fr"}) {
        const Samples s = readTestSamples("speech_" + voice + ".raw");
        const auto in = bandLevels(s), out = bandLevels(throughCodec(s));
        for (int b = 1; b <= 3; ++b)
            EXPECT_LE(std::fabs(out[b] - in[b]), b <= 2 ? 2.0 : 3.5) << voice << " band " << b;
    }
    const Samples out = throughCodec(Samples(16200, 0));
    EXPECT_LE(*std::max_element(out.begin(), out.end()), 64) << "below -54 dB of full scale";
    EXPECT_GE(*std::min_element(out.begin(), out.end()), -64) << "below -54 dB of full scale";
}
