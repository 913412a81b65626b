// LPC-10 frame interface: u-law in and out, 7-byte frames, output ring.
#include "lpc10/lpc10.h"

#include "audio/ulaw.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

// Voiced-like test speech: a 100 Hz pulse train through a resonance, u-law.
Bytes vowel(int samples, int seed = 1)
{
    Bytes out(static_cast<size_t>(samples));
    std::mt19937 rng(static_cast<unsigned>(seed));
    double y1 = 0, y2 = 0;
    const double r = 0.95, w = 2 * M_PI * 700 / 8000;
    for (size_t n = 0; n < out.size(); ++n) {
        const double x = (n % 80 == 0 ? 4000.0 : 0.0) + static_cast<double>(rng() % 200) - 100.0;
        const double y = x + 2 * r * std::cos(w) * y1 - r * r * y2;
        y2 = y1;
        y1 = y;
        out[n] = s2u[static_cast<uint16_t>(std::lround(std::clamp(y, -32000.0, 32000.0))) >> 3];
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
    Bytes in = vowel(3600), out(140 + 8, 0xAA);
    EXPECT_EQ(enc.encode(in.data(), out.data(), 3600), 140);
    EXPECT_EQ(out[140], 0xAA);

    // A partial frame is padded with silence up to the frame boundary.
    Lpc10Encoder enc2;
    Bytes small = vowel(181), coded(14 + 4, 0xAA);
    small.resize(360 + 4, 0x12);
    EXPECT_EQ(enc2.encode(small.data(), coded.data(), 181), 14);
    EXPECT_EQ(Bytes(small.begin() + 181, small.begin() + 360), Bytes(179, 0xFF));
    EXPECT_EQ(small[360], 0x12) << "padding stops at the frame boundary";
    EXPECT_EQ(coded[14], 0xAA);
    unsigned char dummy[7] = {};
    EXPECT_EQ(enc2.encode(dummy, dummy, 0), 0);
    EXPECT_EQ(enc2.encode(dummy, dummy, -5), 0);

    // The sync bit (bit 5 of each frame's last byte) alternates across calls.
    Lpc10Encoder enc3;
    for (int frame = 0, call = 0; call < 5; ++call) {
        Bytes speech = vowel(540, call), frames(21);
        ASSERT_EQ(enc3.encode(speech.data(), frames.data(), 540), 21);
        for (int f = 0; f < 3; ++f, ++frame) {
            const unsigned char last = frames[static_cast<size_t>(7 * f + 6)];
            EXPECT_EQ(last & 0xC0, 0);
            EXPECT_EQ((last >> 5) & 1, frame % 2) << "frame " << frame;
        }
    }
}

TEST(Lpc10Frames, EncodersShareNoStateAndMayWorkInPlace)
{
    const Bytes speech = vowel(3600, 3);
    Lpc10Encoder a, busy, b;
    Bytes input = speech, separate(140);
    ASSERT_EQ(a.encode(input.data(), separate.data(), 3600), 140);
    Bytes other = vowel(1800, 9), sink(70);
    busy.encode(other.data(), sink.data(), 1800);
    Bytes inplace = speech;
    ASSERT_EQ(b.encode(inplace.data(), inplace.data(), 3600), 140);
    EXPECT_EQ(separate, Bytes(inplace.begin(), inplace.begin() + 140));
}

TEST(Lpc10Frames, DecodeCountsWholeFramesAndNeverWritesPastTheArea)
{
    const Bytes coded = randomBytes(700, 11);
    Bytes out(Lpc10Decoder::kMaxOutput + 64, 0xAA);
    Lpc10Decoder dec;
    EXPECT_EQ(dec.decode(coded.data(), out.data(), 140), 3600);
    EXPECT_EQ(out[3600], 0xAA);
    EXPECT_EQ(dec.decode(coded.data(), out.data(), 13), 180);
    EXPECT_EQ(dec.decode(coded.data(), out.data(), 700), Lpc10Decoder::kMaxOutput);
    EXPECT_EQ(out[Lpc10Decoder::kMaxOutput], 0xAA);
    std::fill(out.begin(), out.end(), 0xAA);
    EXPECT_EQ(dec.decode(coded.data(), out.data(), 6), 0);
    EXPECT_EQ(dec.decode(coded.data(), out.data(), -7), 0);
    EXPECT_EQ(dec.decode(coded.data(), out.data(), 700, 179), 0);
    EXPECT_EQ(out[0], 0xAA) << "nothing written";
    EXPECT_EQ(dec.decode(coded.data(), out.data(), 700, 1000), 900);
    EXPECT_EQ(out[900], 0xAA);
}

TEST(Lpc10Frames, FirstTwoDecodedFramesAreSilenceWhateverTheInput)
{
    const Bytes coded = randomBytes(70, 12);
    Bytes out(1800);
    Lpc10Decoder dec;
    ASSERT_EQ(dec.decode(coded.data(), out.data(), 70), 1800);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 360), Bytes(360, 0xFF));
    EXPECT_GT(std::count_if(out.begin() + 360, out.end(), [](unsigned char u) { return u != 0xFF; }), 100);
}

TEST(Lpc10Frames, DecodedSamplesConvertToUlawWithClipping)
{
    const std::pair<float, int> cases[] = {{1.0f, s2u[4095]},  {5.0f, s2u[4095]},  {-1.0f, s2u[4096]},
                                           {-5.0f, s2u[4096]}, {0.f, 0xFF},        {0.25f, s2u[8192 / 8]},
                                           {-1.0f / 32768.f, s2u[8191]},           {std::nanf(""), s2u[4096]}};
    for (auto [value, code] : cases)
        EXPECT_EQ(Lpc10Decoder::toUlaw(value), code) << value;
}

TEST(Lpc10Frames, SpeechSurvivesARoundTripWithItsLevelAndDelay)
{
    // 1 s of vowel framed by silence: the decoded energy sits where the
    // vowel was, delayed, and the silence around it stays quiet.
    const int total = 180 * 100;
    Bytes in(static_cast<size_t>(total), 0xFF), v = vowel(8000, 5);
    std::copy(v.begin(), v.end(), in.begin() + 180 * 20);
    Lpc10Encoder enc;
    Bytes coded(700);
    ASSERT_EQ(enc.encode(in.data(), coded.data(), total), 700);
    Lpc10Decoder dec;
    Bytes out(static_cast<size_t>(total));
    for (int f = 0; f < 100; f += 20)
        ASSERT_EQ(dec.decode(coded.data() + 7 * f, out.data() + 180 * f, 140), 3600);

    auto frameRms = [&](const Bytes &s, int frame) {
        double e = 0;
        for (int i = 0; i < 180; ++i)
            e += std::pow(u2s[s[static_cast<size_t>(180 * frame + i)]], 2);
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
