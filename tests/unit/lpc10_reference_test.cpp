// The LPC-10 codec against an independent LPC-10e coder (sox) through the
// vectors in tests/data, and the long-term spectrum of speech through it.
#include "lpc10/lpc10.h"

#include "audio/ulaw.h"
#include "test_data.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace {

using lpc10::Fs1015Rules;
using Samples = std::vector<int16_t>;

const char *const kVoices[] = {"en-us", "en-gb", "de", "en-us-f3", "fr"};
const char *const kVectors[] = {"speech_en-us",    "speech_en-gb", "speech_de",    "speech_en-us-f3",
                                "speech_fr",       "signal_glides", "signal_steps", "signal_onsets"};

lpc10::FrameCodes codesOf(const unsigned char *frame)
{
    lpc10::FrameBits bits{};
    for (int k = 0; k < 54; ++k)
        bits[static_cast<size_t>(k + 1)] = (frame[k / 8] >> (k % 8)) & 1;
    lpc10::FrameCodes c;
    int unused = 0;
    lpc10::channel(1, c, bits, unused);
    return c;
}

// sox packs the 54 bits most significant bit first; ours least significant first.
std::vector<unsigned char> soxFrames(const std::string &name)
{
    std::vector<unsigned char> b = readTestData(name + ".lpc10");
    for (auto &x : b) {
        unsigned char r = 0;
        for (int i = 0; i < 8; ++i)
            r = static_cast<unsigned char>(r | ((x >> i) & 1) << (7 - i));
        x = r;
    }
    return b;
}

// Encodes frame by frame, keeping the codes and the windows that each call
// placed for its newest frame (voicing lo, hi, onset flags; analysis lo, hi;
// energy lo, hi).
struct Encoded {
    std::vector<unsigned char> bytes;
    std::vector<lpc10::FrameCodes> codes;
    std::vector<std::array<int, 7>> windows;
};

Encoded encodeFrames(const Samples &s, Fs1015Rules rules = {})
{
    Lpc10Encoder enc(rules);
    Encoded e;
    e.bytes.resize(s.size() / 180 * 7);
    for (size_t f = 0; f < s.size() / 180; ++f) {
        enc.encode(s.data() + 180 * f, e.bytes.data() + 7 * f, 180);
        e.codes.push_back(enc.lastCodes());
        const lpc10::Analyzer &a = enc.analyzer();
        e.windows.push_back({a.voicingWindow().lo, a.voicingWindow().hi, a.onsetFlags(), a.analysisWindow().lo,
                             a.analysisWindow().hi, a.energyWindow().lo, a.energyWindow().hi});
    }
    return e;
}

Samples decodeAll(const std::vector<unsigned char> &coded)
{
    Lpc10Decoder dec;
    Samples out(coded.size() / 7 * 180);
    for (size_t f = 0; f < coded.size() / 7; f += Lpc10Decoder::kMaxFrames) {
        const size_t frames = std::min<size_t>(Lpc10Decoder::kMaxFrames, coded.size() / 7 - f);
        dec.decode(coded.data() + 7 * f, out.data() + 180 * f, static_cast<int>(7 * frames));
    }
    return out;
}

double pct(int a, int b) { return 100.0 * a / b; }

// Long-term level of the octave bands 250-500, 500-1000, 1000-2000 and
// 2000-3400 Hz in dB relative to the first: averaged Hann-windowed 256-point
// periodograms, bin k at k * 31.25 Hz.
std::array<double, 4> bandLevels(const Samples &x)
{
    constexpr int N = 256;
    std::vector<double> cosine(N), window(N);
    for (int n = 0; n < N; ++n) {
        cosine[n] = std::cos(2 * M_PI * n / N);
        window[n] = 0.5 - 0.5 * std::cos(2 * M_PI * n / N);
    }
    std::array<double, 4> power{};
    for (size_t start = 0; start + N <= x.size(); start += N / 2)
        for (int k = 8; k <= 108; ++k) {
            double re = 0, im = 0;
            for (int n = 0; n < N; ++n) {
                const double v = window[n] * x[start + n];
                re += v * cosine[(k * n) % N];
                im += v * cosine[(k * n + 3 * N / 4) % N];
            }
            power[k < 16 ? 0 : k < 32 ? 1 : k < 64 ? 2 : 3] += re * re + im * im;
        }
    std::array<double, 4> db{};
    for (int b = 0; b < 4; ++b)
        db[b] = 10 * std::log10(power[b] / power[0]);
    return db;
}

// Speech through the program's LPC-10 path: u-law levels in, the codec,
// u-law levels out; padded so that the codec delay flushes it all out.
Samples throughCodec(Samples s, Fs1015Rules rules)
{
    s.resize(s.size() + 1080, 0);
    for (auto &v : s)
        v = u2s[linearToUlaw(v)];
    Lpc10Encoder enc(rules);
    std::vector<unsigned char> coded(s.size() / 180 * 7);
    enc.encode(s.data(), coded.data(), static_cast<int>(s.size()));
    Samples out = decodeAll(coded);
    for (auto &v : out)
        v = u2s[linearToUlaw(v)];
    return out;
}

} // namespace

TEST(Lpc10Reference, FramesMatchTheIndependentCoderUnderItsRules)
{
    int frames = 0, identical = 0, ownIdentical = 0, ownSamePitch = 0;
    for (const std::string name : kVectors) {
        const Samples s = readTestSamples(name + ".raw");
        const std::vector<unsigned char> theirs = soxFrames(name);
        ASSERT_EQ(theirs.size(), s.size() / 180 * 7) << name;
        const Encoded fs = encodeFrames(s, Fs1015Rules::all()), own = encodeFrames(s);
        int same = 0;
        for (size_t f = 0; f < theirs.size() / 7; ++f) {
            same += std::equal(&theirs[7 * f], &theirs[7 * f] + 7, &fs.bytes[7 * f]);
            ownIdentical += std::equal(&theirs[7 * f], &theirs[7 * f] + 7, &own.bytes[7 * f]);
            ownSamePitch += codesOf(&theirs[7 * f]).ipitv == own.codes[f].ipitv;
        }
        const int n = static_cast<int>(theirs.size() / 7);
        std::printf("%-16s %3d frames, %5.1f%% identical under the FS-1015 rules\n", name.c_str(), n, pct(same, n));
        EXPECT_GE(pct(same, n), 99.0) << name;
        frames += n;
        identical += same;
    }
    std::printf("all: %d frames, %.1f%% identical under the FS-1015 rules; the codec's own rules: %.1f%% identical, "
                "%.1f%% same pitch and voicing code\n",
                frames, pct(identical, frames), pct(ownIdentical, frames), pct(ownSamePitch, frames));
    EXPECT_LT(pct(ownIdentical, frames), 50.0) << "the codec's own rules are in force by default";
}

// Each FS-1015 rule alone, against the codec's own rules. The quantiser rules
// move only their own fields on every frame (RC8 carries the RMS parity in
// unvoiced frames). The analysis rules feed the window placement, which moves
// every parameter; on frames whose windows were the same over the last eight
// calls each moves only its own path: the pre-emphasis the RMS and the
// coefficients, the low-pass and the voicing sums pitch and voicing (and with
// the voicing class, whether RC5..RC10 carry coefficients or parity).
TEST(Lpc10Reference, EachFs1015RuleMovesOnlyItsOwnFields)
{
    // Field bits: 1 pitch and voicing, 2 RMS, 1 << (1 + i) RC i.
    auto rc = [](int from, int to) { return (1 << (2 + to)) - (1 << (1 + from)); };
    const struct {
        const char *name;
        bool Fs1015Rules::*flag;
        int fields;
        bool classMovesParity;
        int firstWindow, endWindow; // window entries that must agree
    } rules[] = {
        {"pre-emphasis", &Fs1015Rules::preemphasis, 2 | rc(1, 10), false, 0, 3},
        {"low-pass timing", &Fs1015Rules::lowpassToNewest, 1, true, 3, 7},
        {"unvoiced sums", &Fs1015Rules::unvoicedSumsPreset, 1, true, 3, 7},
        {"RC halving", &Fs1015Rules::rcHalvingTruncates, rc(3, 10), false, 0, 0},
        {"RMS rounding", &Fs1015Rules::rmsOddRoundsUp, 2 | rc(8, 8), false, 0, 0},
    };
    std::vector<std::pair<Samples, Encoded>> vectors;
    for (const std::string name : kVectors) {
        Samples s = readTestSamples(name + ".raw");
        Encoded own = encodeFrames(s);
        vectors.emplace_back(std::move(s), std::move(own));
    }
    for (const auto &rule : rules) {
        Fs1015Rules one;
        one.*rule.flag = true;
        int considered = 0, outside = 0, moved = 0;
        for (const auto &[s, own] : vectors) {
            const Encoded alone = encodeFrames(s, one);
            for (size_t f = 0; f < own.codes.size(); ++f) {
                bool windowsAgree = true;
                for (size_t c = f >= 8 ? f - 8 : 0; c <= f; ++c)
                    for (int w = rule.firstWindow; w < rule.endWindow; ++w)
                        windowsAgree &= own.windows[c][w] == alone.windows[c][w];
                if (!windowsAgree)
                    continue;
                const lpc10::FrameCodes &a = own.codes[f], &b = alone.codes[f];
                int m = (a.ipitv != b.ipitv) | (a.irms != b.irms) << 1;
                for (int i = 1; i <= 10; ++i)
                    m |= (a.irc[i] != b.irc[i]) << (1 + i);
                auto voiced = [](int ipitv) { return ipitv != 0 && ipitv != 127; };
                const int allowed =
                    rule.fields | (rule.classMovesParity && voiced(a.ipitv) != voiced(b.ipitv) ? rc(5, 10) : 0);
                ++considered;
                moved += m != 0;
                outside += (m & ~allowed) != 0;
            }
        }
        std::printf("%-16s %4d frames with the same windows: %3d moved, %d outside the rule's fields\n", rule.name,
                    considered, moved, outside);
        EXPECT_GT(moved, 0) << rule.name;
        EXPECT_GE(considered, 400) << rule.name;
        EXPECT_EQ(outside, 0) << rule.name;
    }
}

TEST(Lpc10Reference, DecodingTheIndependentCodersFramesFollowsItsDecoder)
{
    for (const std::string voice : {"en-us", "de"}) {
        const Samples ours = decodeAll(soxFrames("speech_" + voice));
        const Samples theirs = readTestSamples("speech_" + voice + ".lpc10.decoded.raw");
        ASSERT_GE(theirs.size(), ours.size()) << voice;
        // Short-time log energies per 180-sample block, compared at the best
        // lag within 12 blocks (the two decoders' delays differ).
        auto envelope = [](const Samples &x) {
            std::vector<double> e;
            for (size_t i = 0; i + 180 <= x.size(); i += 180) {
                double sum = 0;
                for (size_t j = i; j < i + 180; ++j)
                    sum += double(x[j]) * x[j];
                e.push_back(std::log10(sum / 180 + 1.0));
            }
            return e;
        };
        const std::vector<double> a = envelope(ours), b = envelope(theirs);
        double best = -1;
        for (size_t lag = 0; lag <= 12; ++lag) {
            double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
            const size_t n = std::min(a.size(), b.size() - lag);
            for (size_t i = 0; i < n; ++i) {
                sa += a[i], sb += b[i + lag], saa += a[i] * a[i], sbb += b[i + lag] * b[i + lag];
                sab += a[i] * b[i + lag];
            }
            best = std::max(best, (sab - sa * sb / n) / std::sqrt((saa - sa * sa / n) * (sbb - sb * sb / n)));
        }
        std::printf("%s: energy envelope correlation %.3f\n", voice.c_str(), best);
        EXPECT_GE(best, 0.85) << voice;
    }
}

// The pre-emphasis of the analysis and the de-emphasis of the synthesis are
// a matched pair, so speech keeps its long-term balance up to 2 kHz within
// 2 dB, and the FS-1015 pre-emphasis tilts it by several dB. Above 2 kHz the
// shaped excitation pulse costs 2 to 3 dB on these voices (french speech
// just over 3 dB), so that band is held to 3.5 dB.
TEST(Lpc10Reference, SpeechKeepsItsSpectralBalance)
{
    Fs1015Rules fsPreemphasis;
    fsPreemphasis.preemphasis = true;
    int fsFailures = 0;
    std::printf("dB relative to 250-500 Hz    500-1k  1k-2k  2k-3.4k\n");
    for (const std::string voice : kVoices) {
        const Samples s = readTestSamples("speech_" + voice + ".raw");
        const auto in = bandLevels(s), own = bandLevels(throughCodec(s, {})),
                   fs = bandLevels(throughCodec(s, fsPreemphasis));
        for (auto [label, levels] : {std::pair{"input", in}, std::pair{"codec", own}, std::pair{"FS-1015 pre-emph.", fs}})
            std::printf("%-9s %-18s %6.2f %6.2f %7.2f\n", voice.c_str(), label, levels[1], levels[2], levels[3]);
        bool fsWithin = true;
        for (int b = 1; b <= 3; ++b) {
            EXPECT_LE(std::fabs(own[b] - in[b]), b <= 2 ? 2.0 : 3.5) << voice << " band " << b;
            fsWithin &= b == 3 || std::fabs(fs[b] - in[b]) <= 2.0;
        }
        fsFailures += !fsWithin;
    }
    EXPECT_EQ(fsFailures, 5) << "with the FS-1015 pre-emphasis every voice leaves the 2 dB up to 2 kHz";
}

TEST(Lpc10Reference, SilenceInGivesSilenceOut)
{
    const Samples out = throughCodec(Samples(16200, 0), {});
    const auto peak = std::max_element(out.begin(), out.end(), [](int a, int b) { return std::abs(a) < std::abs(b); });
    std::printf("peak of decoded silence: %d\n", std::abs(*peak));
    EXPECT_LE(std::abs(*peak), 64) << "below -54 dB of full scale";
}
