// The LPC-10 codec against an independent LPC-10e coder (sox) used as a black
// box, on synthetic speech from espeak-ng. Skipped when either tool is missing.
#include "lpc10/lpc10.h"

#include "audio/ulaw.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <unistd.h>
#include <vector>

namespace {

bool haveTool(const char *name)
{
    return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

std::vector<unsigned char> readFile(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

void writeFile(const std::string &path, const void *data, size_t size)
{
    std::ofstream f(path, std::ios::binary);
    f.write(static_cast<const char *>(data), static_cast<std::streamsize>(size));
}

std::vector<int16_t> toSamples(const std::vector<unsigned char> &bytes)
{
    std::vector<int16_t> s(bytes.size() / 2);
    for (size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<int16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    return s;
}

// sox packs the 54 bits most significant bit first; ours least significant first.
unsigned char reverseBits(unsigned char b)
{
    unsigned char r = 0;
    for (int i = 0; i < 8; ++i)
        r = static_cast<unsigned char>(r | ((b >> i) & 1) << (7 - i));
    return r;
}

struct Comparison {
    int frames = 0;
    int identical = 0;
    int samePitchVoicing = 0;
};

// The pitch-and-voicing code of a frame in our byte layout.
int pitchVoicingCode(const unsigned char *frame)
{
    lpc10::FrameBits bits{};
    for (int k = 0; k < 54; ++k)
        bits[static_cast<size_t>(k + 1)] = (frame[k / 8] >> (k % 8)) & 1;
    lpc10::FrameCodes c;
    int unused = 0;
    lpc10::channel(1, c, bits, unused);
    return c.ipitv;
}

Comparison compareFrames(const std::vector<unsigned char> &ours, std::vector<unsigned char> theirs)
{
    for (auto &b : theirs)
        b = reverseBits(b);
    Comparison c;
    c.frames = static_cast<int>(std::min(ours.size(), theirs.size()) / 7);
    for (size_t f = 0; f < static_cast<size_t>(c.frames); ++f) {
        c.identical += std::equal(&ours[7 * f], &ours[7 * f] + 7, &theirs[7 * f]);
        c.samePitchVoicing += pitchVoicingCode(&ours[7 * f]) == pitchVoicingCode(&theirs[7 * f]);
    }
    return c;
}

// Short-time log energy per 180-sample block.
std::vector<double> envelope(const std::vector<double> &x)
{
    std::vector<double> e;
    for (size_t i = 0; i + 180 <= x.size(); i += 180) {
        double s = 0;
        for (size_t j = i; j < i + 180; ++j)
            s += x[j] * x[j];
        e.push_back(std::log10(s / 180 + 1.0));
    }
    return e;
}

// Best Pearson correlation of two envelopes over block lags -12..12.
double bestCorrelation(const std::vector<double> &a, const std::vector<double> &b)
{
    double best = -1;
    for (long lag = -12; lag <= 12; ++lag) {
        double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
        int n = 0;
        for (long i = std::max(0L, -lag); i < static_cast<long>(a.size()) && i + lag < static_cast<long>(b.size()); ++i) {
            const double x = a[static_cast<size_t>(i)], y = b[static_cast<size_t>(i + lag)];
            sa += x;
            sb += y;
            saa += x * x;
            sbb += y * y;
            sab += x * y;
            ++n;
        }
        const double den = std::sqrt((saa - sa * sa / n) * (sbb - sb * sb / n));
        if (den > 0)
            best = std::max(best, (sab - sa * sb / n) / den);
    }
    return best;
}

class Lpc10Reference : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!haveTool("sox") || !haveTool("espeak-ng"))
            GTEST_SKIP() << "sox or espeak-ng not installed";
        char tmpl[] = "/tmp/kv_lpc10_ref_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override
    {
        if (!dir.empty())
            std::system(("rm -rf " + dir).c_str());
    }

    // Samples through u-law, so that both coders see exactly the samples our
    // encoder sees; the expanded samples are written for sox.
    std::vector<unsigned char> toUlaw(const std::vector<int16_t> &s, const std::string &name)
    {
        std::vector<unsigned char> u(s.size() / 180 * 180);
        std::vector<int16_t> expanded(u.size());
        for (size_t i = 0; i < u.size(); ++i) {
            u[i] = s2u[static_cast<uint16_t>(s[i]) >> 3];
            expanded[i] = u2s[u[i]];
        }
        writeFile(dir + "/" + name + ".ulaw.raw", expanded.data(), expanded.size() * 2);
        return u;
    }

    // espeak-ng speech at 8 kHz, cut to whole frames.
    std::vector<unsigned char> speechUlaw(const std::string &voice, const std::string &text, const std::string &name)
    {
        const std::string raw = dir + "/" + name + ".raw";
        const std::string cmd = "espeak-ng -v " + voice + " --stdout \"" + text +
                                "\" 2>/dev/null | sox -D -t wav - -r 8000 -c 1 -b 16 -e signed-integer -t raw " +
                                raw + " 2>/dev/null";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
        return toUlaw(toSamples(readFile(raw)), name);
    }

    std::vector<unsigned char> soxEncode(const std::string &name)
    {
        const std::string cmd = "sox -t raw -r 8000 -e signed -b 16 -c 1 " + dir + "/" + name +
                                ".ulaw.raw -t lpc10 " + dir + "/" + name + ".lpc 2>/dev/null";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
        return readFile(dir + "/" + name + ".lpc");
    }

    std::vector<double> soxDecode(const std::string &name, const std::vector<unsigned char> &coded)
    {
        writeFile(dir + "/" + name + ".in.lpc", coded.data(), coded.size());
        const std::string cmd = "sox -t lpc10 " + dir + "/" + name + ".in.lpc -t raw -e signed -b 16 " + dir +
                                "/" + name + ".dec.raw 2>/dev/null";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
        const std::vector<int16_t> out = toSamples(readFile(dir + "/" + name + ".dec.raw"));
        return {out.begin(), out.end()};
    }

    // Decodes frames in sox's byte layout with our decoder.
    static std::vector<double> ourDecode(std::vector<unsigned char> coded, bool soxLayout = true)
    {
        if (soxLayout)
            for (auto &b : coded)
                b = reverseBits(b);
        Lpc10Decoder dec;
        std::vector<double> out;
        std::vector<unsigned char> ulaw(Lpc10Decoder::kMaxOutput);
        for (size_t pos = 0; pos + 7 <= coded.size(); pos += 7 * Lpc10Decoder::kMaxFrames) {
            const int len = static_cast<int>(std::min<size_t>(coded.size() - pos, 7 * Lpc10Decoder::kMaxFrames));
            const int n = dec.decode(coded.data() + pos, ulaw.data(), len);
            for (int i = 0; i < n; ++i)
                out.push_back(u2s[ulaw[static_cast<size_t>(i)]]);
        }
        return out;
    }

    std::string dir;
};

struct Utterance {
    const char *voice;
    const char *text;
};

const Utterance kUtterances[] = {
    {"en-us", "The quick brown fox jumps over the lazy dog. She sells sea shells by the sea shore."},
    {"en-gb", "Please call me back tomorrow morning at nine o'clock, the meeting was moved."},
    {"de", "Guten Tag, wie geht es Ihnen heute? Das Wetter ist schoen."},
    {"en-us+f3", "Seven slow ships sailed through the harbour while the bells were ringing."},
    {"fr", "Bonjour, je voudrais reserver une table pour deux personnes ce soir a huit heures."},
};

// Encodes u-law speech with our encoder and compares it with sox's frames.
Comparison encodeAndCompare(lpc10::Dialect dialect, const std::vector<unsigned char> &speech,
                            const std::vector<unsigned char> &theirs)
{
    Lpc10Encoder enc(dialect);
    std::vector<unsigned char> in = speech;
    std::vector<unsigned char> ours(theirs.size());
    EXPECT_EQ(enc.encode(in.data(), ours.data(), static_cast<int>(in.size())), static_cast<int>(ours.size()));
    return compareFrames(ours, theirs);
}

double pct(int a, int b)
{
    return 100.0 * a / b;
}

// A vowel-like test signal: a pulse train at a (possibly changing) pitch
// through three formant resonators, scaled to the given peak.
std::vector<double> vowel(int n, double f0Start, double f0End, double peak)
{
    std::vector<double> x(static_cast<size_t>(n));
    double phase = 1.0;
    for (int i = 0; i < n; ++i) {
        phase += (f0Start + (f0End - f0Start) * i / n) / 8000.0;
        if (phase >= 1.0) {
            phase -= 1.0;
            x[static_cast<size_t>(i)] = 1.0;
        }
    }
    const double formants[3][2] = {{700, 80}, {1200, 90}, {2600, 120}};
    for (const auto &f : formants) {
        const double r = std::exp(-M_PI * f[1] / 8000.0);
        const double a1 = -2 * r * std::cos(2 * M_PI * f[0] / 8000.0), a2 = r * r;
        double y1 = 0, y2 = 0;
        for (double &v : x) {
            const double y = v - a1 * y1 - a2 * y2;
            y2 = y1;
            y1 = y;
            v = y;
        }
    }
    double top = 1e-9;
    for (double v : x)
        top = std::max(top, std::fabs(v));
    for (double &v : x)
        v *= peak / top;
    return x;
}

// Deterministic white noise (a 32-bit LCG, sum of four uniforms).
std::vector<double> noise(int n, double sd, uint32_t &seed)
{
    std::vector<double> x(static_cast<size_t>(n));
    for (double &v : x) {
        double sum = 0;
        for (int k = 0; k < 4; ++k) {
            seed = seed * 1664525u + 1013904223u;
            sum += (seed >> 8) / 16777216.0 - 0.5;
        }
        v = sum * std::sqrt(3.0) * sd;
    }
    return x;
}

} // namespace

TEST_F(Lpc10Reference, CodedFramesAgreeWithAnIndependentCoder)
{
    Comparison own, standard;
    int n = 0;
    for (const Utterance &u : kUtterances) {
        const std::string name = "u" + std::to_string(n++);
        const std::vector<unsigned char> speech = speechUlaw(u.voice, u.text, name);
        ASSERT_GT(speech.size(), 180u * 50);
        const std::vector<unsigned char> theirs = soxEncode(name);
        ASSERT_EQ(theirs.size(), speech.size() / 180 * 7);

        const Comparison c = encodeAndCompare(lpc10::Dialect::Fs1015, speech, theirs);
        const Comparison o = encodeAndCompare(lpc10::Dialect::Kestrelvox, speech, theirs);
        std::printf("%s: %d frames, %.1f%% identical (own rules %.1f%%)\n", u.voice, c.frames,
                    pct(c.identical, c.frames), pct(o.identical, o.frames));
        EXPECT_GE(pct(c.identical, c.frames), 99.0) << u.voice;
        for (auto [sum, part] : {std::pair{&standard, &c}, std::pair{&own, &o}}) {
            sum->frames += part->frames;
            sum->identical += part->identical;
            sum->samePitchVoicing += part->samePitchVoicing;
        }
    }
    std::printf("own rules: %d frames, %.1f%% identical, %.1f%% same pitch/voicing code; standard rules: %.1f%% "
                "identical, %.1f%% same pitch/voicing code\n",
                own.frames, pct(own.identical, own.frames), pct(own.samePitchVoicing, own.frames),
                pct(standard.identical, standard.frames), pct(standard.samePitchVoicing, standard.frames));
    EXPECT_GE(pct(standard.identical, standard.frames), 99.5);
    EXPECT_GE(pct(standard.samePitchVoicing, standard.frames), 99.5);
    // The own rules change the analysis filters, so they part with the
    // independent coder on most frames, but still track pitch and voicing.
    EXPECT_GE(pct(own.samePitchVoicing, own.frames), 85.0);
    EXPECT_LT(pct(own.identical, own.frames), 50.0);
}

// Signals that isolate single behaviours: pitch glides and steps (tracking
// and pitch-synchronous windows), onsets after silence at several levels
// (onset detection, window placement, voicing at edges) and a start in noise
// (the voicing classifier's first energy averages).
TEST_F(Lpc10Reference, SyntheticSignalsAgreeWithAnIndependentCoder)
{
    uint32_t seed = 12345;
    std::vector<std::pair<std::string, std::vector<double>>> signals;
    auto append = [](std::vector<double> &to, const std::vector<double> &part) {
        to.insert(to.end(), part.begin(), part.end());
    };
    {
        std::vector<double> x = noise(8000, 300, seed);
        append(x, vowel(8000, 80, 250, 8000));
        append(x, std::vector<double>(4000, 0.0));
        append(x, vowel(8000, 300, 90, 5000));
        signals.emplace_back("glides", x);
    }
    {
        std::vector<double> x;
        for (double f0 : {100, 140, 95, 180, 120, 210, 70}) {
            append(x, vowel(2667, f0, f0, 6000));
            append(x, noise(1000, 30, seed));
        }
        signals.emplace_back("steps", x);
    }
    {
        std::vector<double> x;
        for (double peak : {500, 2000, 8000, 20000}) {
            append(x, std::vector<double>(4000, 0.0));
            append(x, vowel(2000, 130, 130, peak));
            append(x, noise(1333, peak / 5, seed));
        }
        signals.emplace_back("onsets", x);
    }

    for (const auto &[name, x] : signals) {
        std::vector<int16_t> s(x.size());
        for (size_t i = 0; i < x.size(); ++i)
            s[i] = static_cast<int16_t>(std::clamp(std::lround(x[i]), -32768L, 32767L));
        const std::vector<unsigned char> u = toUlaw(s, name);
        const std::vector<unsigned char> theirs = soxEncode(name);
        ASSERT_EQ(theirs.size(), u.size() / 180 * 7);
        const Comparison c = encodeAndCompare(lpc10::Dialect::Fs1015, u, theirs);
        std::printf("%s: %d frames, %.1f%% identical\n", name.c_str(), c.frames, pct(c.identical, c.frames));
        EXPECT_GE(pct(c.identical, c.frames), 99.0) << name;
    }
}

TEST_F(Lpc10Reference, DecodedEnergyEnvelopesFollowTheIndependentDecoder)
{
    int n = 0;
    for (const Utterance &u : kUtterances) {
        const std::string name = "d" + std::to_string(n++);
        speechUlaw(u.voice, u.text, name);
        const std::vector<unsigned char> coded = soxEncode(name);
        const double r = bestCorrelation(envelope(ourDecode(coded)), envelope(soxDecode(name, coded)));
        std::printf("%s: energy envelope correlation %.3f\n", u.voice, r);
        EXPECT_GE(r, 0.85) << u.voice;
    }
}

TEST_F(Lpc10Reference, SilenceInGivesSilenceOut)
{
    std::vector<int16_t> zeros(8000 * 2, 0);
    writeFile(dir + "/silence.ulaw.raw", zeros.data(), zeros.size() * 2);
    const std::vector<unsigned char> coded = soxEncode("silence");
    ASSERT_EQ(coded.size(), zeros.size() / 180 * 7);
    auto peak = [](const std::vector<double> &x) {
        double p = 0;
        for (double v : x)
            p = std::max(p, std::fabs(v));
        return p;
    };
    std::printf("peak of decoded silence: %.0f\n", peak(ourDecode(coded)));
    EXPECT_LE(peak(ourDecode(coded)), 64.0) << "below -54 dB of full scale";

    std::vector<unsigned char> ulaw(16200, 0xFF), ours(16200 / 180 * 7);
    Lpc10Encoder enc;
    enc.encode(ulaw.data(), ours.data(), static_cast<int>(ulaw.size()));
    EXPECT_LE(peak(ourDecode(ours, false)), 64.0);
}
