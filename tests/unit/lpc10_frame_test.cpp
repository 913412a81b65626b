// LPC-10 frame interface: u-law in and out, 7-byte frames, output ring.
#include "lpc10/lpc10.h"

#include "audio/ulaw.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

// Voiced-like test speech: a 100 Hz pulse train through a resonance, u-law.
std::vector<unsigned char> vowel(int samples, int seed = 1)
{
    std::vector<unsigned char> out(static_cast<size_t>(samples));
    std::mt19937 rng(static_cast<unsigned>(seed));
    double y1 = 0, y2 = 0;
    const double r = 0.95, w = 2 * M_PI * 700 / 8000;
    for (int n = 0; n < samples; ++n) {
        const double x = (n % 80 == 0 ? 4000.0 : 0.0) + static_cast<double>(rng() % 200) - 100.0;
        const double y = x + 2 * r * std::cos(w) * y1 - r * r * y2;
        y2 = y1;
        y1 = y;
        const int s = static_cast<int>(std::lround(std::clamp(y, -32000.0, 32000.0)));
        out[static_cast<size_t>(n)] = s2u[static_cast<uint16_t>(s) >> 3];
    }
    return out;
}

} // namespace

TEST(Lpc10Frames, EncodeCountsAndPadding)
{
    Lpc10Encoder enc;
    std::vector<unsigned char> in = vowel(3600);
    std::vector<unsigned char> out(140 + 8, 0xAA);
    EXPECT_EQ(enc.encode(in.data(), out.data(), 3600), 140);
    EXPECT_EQ(out[140], 0xAA);

    Lpc10Encoder enc2;
    std::vector<unsigned char> small = vowel(181);
    small.resize(360 + 4, 0x12);
    std::vector<unsigned char> coded(14 + 4, 0xAA);
    EXPECT_EQ(enc2.encode(small.data(), coded.data(), 181), 14);
    for (int i = 181; i < 360; ++i)
        EXPECT_EQ(small[static_cast<size_t>(i)], 0xFF) << i;
    EXPECT_EQ(small[360], 0x12) << "padding stops at the frame boundary";
    EXPECT_EQ(coded[14], 0xAA);

    unsigned char dummy[7] = {};
    EXPECT_EQ(enc2.encode(dummy, dummy, 0), 0);
    EXPECT_EQ(enc2.encode(dummy, dummy, -5), 0);
}

TEST(Lpc10Frames, SyncBitAlternatesAcrossCallsAndTopBitsAreClear)
{
    Lpc10Encoder enc;
    int frame = 0;
    for (int call = 0; call < 5; ++call) {
        std::vector<unsigned char> in = vowel(540, call);
        std::vector<unsigned char> out(21);
        ASSERT_EQ(enc.encode(in.data(), out.data(), 540), 21);
        for (int f = 0; f < 3; ++f, ++frame) {
            const unsigned char last = out[static_cast<size_t>(7 * f + 6)];
            EXPECT_EQ(last & 0xC0, 0);
            EXPECT_EQ((last >> 5) & 1, frame % 2) << "frame " << frame;
        }
    }
}

TEST(Lpc10Frames, InPlaceEncodingMatchesSeparateBuffers)
{
    std::vector<unsigned char> speech = vowel(3600, 3);
    Lpc10Encoder a, b;
    std::vector<unsigned char> separate(140);
    std::vector<unsigned char> input = speech;
    ASSERT_EQ(a.encode(input.data(), separate.data(), 3600), 140);
    std::vector<unsigned char> inplace = speech;
    ASSERT_EQ(b.encode(inplace.data(), inplace.data(), 3600), 140);
    EXPECT_TRUE(std::equal(separate.begin(), separate.end(), inplace.begin()));
}

TEST(Lpc10Frames, EncodersShareNoState)
{
    std::vector<unsigned char> speech = vowel(1800, 4);
    Lpc10Encoder a;
    std::vector<unsigned char> first(70), again(70);
    std::vector<unsigned char> in = speech;
    a.encode(in.data(), first.data(), 1800);
    Lpc10Encoder busy;
    std::vector<unsigned char> other = vowel(1800, 9), sink(70);
    busy.encode(other.data(), sink.data(), 1800);
    Lpc10Encoder b;
    in = speech;
    b.encode(in.data(), again.data(), 1800);
    EXPECT_EQ(first, again);
}

TEST(Lpc10Frames, DecodeCountsIgnoreTrailingBytes)
{
    std::vector<unsigned char> coded(140, 0x5A);
    std::vector<unsigned char> out(Lpc10Decoder::kMaxOutput + 16, 0xAA);
    Lpc10Decoder dec;
    EXPECT_EQ(dec.decode(coded.data(), out.data(), 140), 3600);
    EXPECT_EQ(out[3600], 0xAA);
    EXPECT_EQ(dec.decode(coded.data(), out.data(), 13), 180);
    std::fill(out.begin(), out.end(), 0xAA);
    EXPECT_EQ(dec.decode(coded.data(), out.data(), 6), 0);
    EXPECT_EQ(out[0], 0xAA) << "nothing written";
    EXPECT_EQ(dec.decode(coded.data(), out.data(), -7), 0);
}

TEST(Lpc10Frames, DecodeNeverWritesPastTheArea)
{
    std::vector<unsigned char> coded(7 * 100);
    std::mt19937 rng(11);
    for (auto &b : coded)
        b = static_cast<unsigned char>(rng());
    std::vector<unsigned char> out(Lpc10Decoder::kMaxOutput + 64, 0xAA);
    Lpc10Decoder dec;
    EXPECT_EQ(dec.decode(coded.data(), out.data(), 700), Lpc10Decoder::kMaxOutput);
    EXPECT_EQ(out[Lpc10Decoder::kMaxOutput], 0xAA);
    std::fill(out.begin(), out.end(), 0xAA);
    EXPECT_EQ(dec.decode(coded.data(), out.data(), 700, 1000), 900);
    EXPECT_EQ(out[900], 0xAA);
    EXPECT_EQ(dec.decode(coded.data(), out.data(), 700, 179), 0);
}

TEST(Lpc10Frames, FirstTwoDecodedFramesAreSilenceWhateverTheInput)
{
    std::mt19937 rng(12);
    std::vector<unsigned char> coded(7 * 10);
    for (auto &b : coded)
        b = static_cast<unsigned char>(rng());
    std::vector<unsigned char> out(1800);
    Lpc10Decoder dec;
    ASSERT_EQ(dec.decode(coded.data(), out.data(), 70), 1800);
    for (int i = 0; i < 360; ++i)
        ASSERT_EQ(out[static_cast<size_t>(i)], 0xFF) << i;
    int nonSilent = 0;
    for (int i = 360; i < 1800; ++i)
        nonSilent += out[static_cast<size_t>(i)] != 0xFF;
    EXPECT_GT(nonSilent, 100);
}

TEST(Lpc10Frames, DecodedSamplesConvertToUlawWithClipping)
{
    EXPECT_EQ(Lpc10Decoder::toUlaw(1.0f), s2u[4095]);
    EXPECT_EQ(Lpc10Decoder::toUlaw(5.0f), s2u[4095]);
    EXPECT_EQ(Lpc10Decoder::toUlaw(-1.0f), s2u[4096]);
    EXPECT_EQ(Lpc10Decoder::toUlaw(-5.0f), s2u[4096]);
    EXPECT_EQ(Lpc10Decoder::toUlaw(-1.0f / 32768.f), s2u[8191]);
    EXPECT_EQ(Lpc10Decoder::toUlaw(0.f), 0xFF);
    EXPECT_EQ(Lpc10Decoder::toUlaw(std::nanf("")), s2u[4096]);
    EXPECT_EQ(Lpc10Decoder::toUlaw(0.25f), s2u[8192 / 8]);
}

TEST(Lpc10Frames, SpeechSurvivesARoundTripWithItsLevelAndDelay)
{
    // 1 s of vowel framed by silence: the decoded energy sits where the
    // vowel was, delayed, and the silence around it stays quiet.
    const int total = 180 * 100;
    std::vector<unsigned char> in(static_cast<size_t>(total), 0xFF);
    std::vector<unsigned char> v = vowel(8000, 5);
    std::copy(v.begin(), v.end(), in.begin() + 180 * 20);
    Lpc10Encoder enc;
    std::vector<unsigned char> coded(700);
    ASSERT_EQ(enc.encode(in.data(), coded.data(), total), 700);
    Lpc10Decoder dec;
    std::vector<unsigned char> out(static_cast<size_t>(total));
    for (int f = 0; f < 100; f += 20)
        ASSERT_EQ(dec.decode(coded.data() + 7 * f, out.data() + 180 * f, 140), 3600);

    auto frameRms = [&](const std::vector<unsigned char> &s, int frame) {
        double e = 0;
        for (int i = 0; i < 180; ++i) {
            const double x = u2s[s[static_cast<size_t>(180 * frame + i)]];
            e += x * x;
        }
        return std::sqrt(e / 180);
    };
    double inLevel = 0, outLevel = 0;
    for (int f = 30; f < 60; ++f) {
        inLevel += frameRms(in, f);
        outLevel += frameRms(out, f + 8);
    }
    EXPECT_GT(outLevel, inLevel * 0.3);
    EXPECT_LT(outLevel, inLevel * 3.0);
    for (int f = 0; f < 20; ++f)
        EXPECT_LT(frameRms(out, f), 50.0) << "frame " << f;
    for (int f = 80; f < 100; ++f)
        EXPECT_LT(frameRms(out, f), 50.0) << "frame " << f;
}
