// LPC-10 frame interface: linear samples in and out, 7-byte frames, output ring.
#include "lpc10/lpc10.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
using Samples = std::vector<int16_t>;

// Voiced-like test speech: a 100 Hz pulse train through a resonance.
Samples vowel(int samples, int seed = 1)
{
    Samples out(static_cast<size_t>(samples));
    std::mt19937 rng(static_cast<unsigned>(seed));
    double y1 = 0, y2 = 0;
    const double r = 0.95, w = 2 * M_PI * 700 / 8000;
    for (size_t n = 0; n < out.size(); ++n) {
        const double x = (n % 80 == 0 ? 4000.0 : 0.0) + static_cast<double>(rng() % 200) - 100.0;
        const double y = x + 2 * r * std::cos(w) * y1 - r * r * y2;
        y2 = y1;
        y1 = y;
        out[n] = static_cast<int16_t>(std::lround(std::clamp(y, -32000.0, 32000.0)));
    }
    return out;
}

Bytes randomBytes(size_t n, unsigned seed)
{
    Bytes b(n);
    std::mt19937 rng(seed);
    for (auto &x : b)
        x = static_cast<unsigned char>(rng());
    return b;
}

} // namespace

TEST(Lpc10Frames, EncodeCountsPaddingAndSyncBits)
{
    Lpc10Encoder enc;
    Samples in = vowel(3600);
    Bytes out(140 + 8, 0xAA);
    EXPECT_EQ(enc.encode(in.data(), out.data(), 3600), 140);
    EXPECT_EQ(out[140], 0xAA);

    // A partial frame is completed with silence, whatever lies beyond it.
    Lpc10Encoder enc2, enc2padded;
    Samples small = vowel(181), padded = small;
    small.resize(360, 12345);
    padded.resize(360, 0);
    Bytes coded(14 + 4, 0xAA), codedPadded(14);
    EXPECT_EQ(enc2.encode(small.data(), coded.data(), 181), 14);
    EXPECT_EQ(enc2padded.encode(padded.data(), codedPadded.data(), 360), 14);
    EXPECT_EQ(Bytes(coded.begin(), coded.begin() + 14), codedPadded);
    EXPECT_EQ(coded[14], 0xAA);
    unsigned char dummy[7] = {};
    EXPECT_EQ(enc2.encode(small.data(), dummy, 0), 0);
    EXPECT_EQ(enc2.encode(small.data(), dummy, -5), 0);

    // The sync bit (bit 5 of each frame's last byte) alternates across calls.
    Lpc10Encoder enc3;
    for (int frame = 0, call = 0; call < 5; ++call) {
        Samples speech = vowel(540, call);
        Bytes frames(21);
        ASSERT_EQ(enc3.encode(speech.data(), frames.data(), 540), 21);
        for (int f = 0; f < 3; ++f, ++frame) {
            const unsigned char last = frames[static_cast<size_t>(7 * f + 6)];
            EXPECT_EQ(last & 0xC0, 0);
            EXPECT_EQ((last >> 5) & 1, frame % 2) << "frame " << frame;
        }
    }
}

TEST(Lpc10Frames, EncodersShareNoState)
{
    const Samples speech = vowel(3600, 3), other = vowel(1800, 9);
    Lpc10Encoder a, busy, b;
    Bytes first(140), second(140), sink(70);
    ASSERT_EQ(a.encode(speech.data(), first.data(), 3600), 140);
    busy.encode(other.data(), sink.data(), 1800);
    ASSERT_EQ(b.encode(speech.data(), second.data(), 3600), 140);
    EXPECT_EQ(first, second);
}

TEST(Lpc10Frames, DecodeCountsWholeFramesAndNeverWritesPastTheArea)
{
    const Bytes coded = randomBytes(700, 11);
    Samples out(Lpc10Decoder::kMaxOutput + 64, -77);
    Lpc10Decoder dec;
    EXPECT_EQ(dec.decode(coded.data(), out.data(), 140), 3600);
    EXPECT_EQ(out[3600], -77);
    EXPECT_EQ(dec.decode(coded.data(), out.data(), 13), 180);
    EXPECT_EQ(dec.decode(coded.data(), out.data(), 700), Lpc10Decoder::kMaxOutput);
    EXPECT_EQ(out[Lpc10Decoder::kMaxOutput], -77);
    std::fill(out.begin(), out.end(), -77);
    EXPECT_EQ(dec.decode(coded.data(), out.data(), 6), 0);
    EXPECT_EQ(dec.decode(coded.data(), out.data(), -7), 0);
    EXPECT_EQ(dec.decode(coded.data(), out.data(), 700, 179), 0);
    EXPECT_EQ(out[0], -77) << "nothing written";
    EXPECT_EQ(dec.decode(coded.data(), out.data(), 700, 1000), 900);
    EXPECT_EQ(out[900], -77);
}

TEST(Lpc10Frames, FirstTwoDecodedFramesAreSilenceWhateverTheInput)
{
    const Bytes coded = randomBytes(70, 12);
    Samples out(1800);
    Lpc10Decoder dec;
    ASSERT_EQ(dec.decode(coded.data(), out.data(), 70), 1800);
    EXPECT_EQ(Samples(out.begin(), out.begin() + 360), Samples(360, 0));
    EXPECT_GT(std::count_if(out.begin() + 360, out.end(), [](int16_t v) { return v != 0; }), 100);
}

TEST(Lpc10Frames, DecodedSamplesTruncateAndClipTo16Bits)
{
    const std::pair<float, int> cases[] = {{1.0f, 32767},   {5.0f, 32767},          {-1.0f, -32768},
                                           {-5.0f, -32768}, {0.f, 0},               {0.25f, 8192},
                                           {-1.0f / 32768.f, -1},                   {-1.9f / 32768.f, -1},
                                           {32766.9f / 32768.f, 32766},             {std::nanf(""), -32768}};
    for (auto [value, linear] : cases)
        EXPECT_EQ(Lpc10Decoder::toLinear(value), linear) << value;
}

TEST(Lpc10Frames, SpeechSurvivesARoundTripWithItsLevelAndDelay)
{
    // 1 s of vowel framed by silence: the decoded energy sits where the
    // vowel was, delayed, and the silence around it stays quiet.
    const int total = 180 * 100;
    Samples in(static_cast<size_t>(total), 0), v = vowel(8000, 5);
    std::copy(v.begin(), v.end(), in.begin() + 180 * 20);
    Lpc10Encoder enc;
    Bytes coded(700);
    ASSERT_EQ(enc.encode(in.data(), coded.data(), total), 700);
    Lpc10Decoder dec;
    Samples out(static_cast<size_t>(total));
    for (int f = 0; f < 100; f += 20)
        ASSERT_EQ(dec.decode(coded.data() + 7 * f, out.data() + 180 * f, 140), 3600);

    auto frameRms = [&](const Samples &s, int frame) {
        double e = 0;
        for (int i = 0; i < 180; ++i)
            e += std::pow(s[static_cast<size_t>(180 * frame + i)], 2);
        return std::sqrt(e / 180);
    };
    double inLevel = 0, outLevel = 0;
    for (int f = 30; f < 60; ++f) {
        inLevel += frameRms(in, f);
        outLevel += frameRms(out, f + 8);
    }
    EXPECT_GT(outLevel, inLevel * 0.3);
    EXPECT_LT(outLevel, inLevel * 3.0);
    for (int f = 0; f < 100; ++f)
        EXPECT_TRUE((f >= 20 && f < 80) || frameRms(out, f) < 50.0) << "frame " << f;
}
