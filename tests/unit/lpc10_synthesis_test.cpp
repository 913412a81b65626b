// LPC-10 pitch-synchronous synthesis.
#include "lpc10/synthesis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

using namespace lpc10;

namespace {

FrameParams frame(int v1, int v2, int pitch, float rms)
{
    FrameParams p;
    p.voice = {0, v1, v2};
    p.pitch = pitch;
    p.rms = rms;
    p.rc[1] = -0.7f;
    p.rc[2] = 0.3f;
    return p;
}

struct Synth {
    Synthesizer synth;
    std::array<float, kMaxSynthSamples + 1> speech{};
    int run(FrameParams &&p) { return synth.synths(p, speech); }
    int run(FrameParams &p) { return synth.synths(p, speech); }
};

} // namespace

TEST(Lpc10Synthesis, FirstUnvoicedFrameIsFourEpochsOf45AndZeroRmsIsOne)
{
    Synth s;
    FrameParams p = frame(0, 0, 80, 0.f);
    EXPECT_EQ(s.run(p), 180);
    ASSERT_EQ(s.synth.epochCount(), 4);
    for (int j = 1; j <= 4; ++j) {
        EXPECT_EQ(s.synth.epochLength(j), 45);
        EXPECT_EQ(s.synth.epochVoicing(j), 0);
    }
    EXPECT_EQ(p.rms, 1.f);
    EXPECT_FLOAT_EQ(s.synth.epochRms(1), 1.f);
}

TEST(Lpc10Synthesis, SteadyVoicedFramesCarryThePartialPeriodForward)
{
    Synth s;
    long total = 0;
    int carried = 0;
    for (int n = 0; n < 20; ++n) {
        const int k = s.run(frame(1, 1, 50, 300.f));
        ASSERT_EQ(s.synth.epochCount(), k / 50);
        for (int j = 1; j <= s.synth.epochCount(); ++j) {
            EXPECT_EQ(s.synth.epochLength(j), 50);
            EXPECT_EQ(s.synth.epochVoicing(j), 1);
        }
        // The span to fill is the part carried over plus 180 samples.
        EXPECT_EQ(k, (carried + 180) / 50 * 50) << "frame " << n;
        total += k;
        carried = static_cast<int>(180 * (n + 1) - total);
    }
}

TEST(Lpc10Synthesis, PitchAndCoefficientsAreClamped)
{
    Synth s;
    FrameParams p = frame(1, 1, 10, 300.f);
    p.rc[1] = 1.5f;
    p.rc[2] = -7.f;
    EXPECT_EQ(s.run(p), 180);
    EXPECT_EQ(p.pitch, 20);
    EXPECT_EQ(s.synth.epochLength(1), 20);
    EXPECT_FLOAT_EQ(p.rc[1], 0.99f);
    EXPECT_FLOAT_EQ(p.rc[2], -0.99f);
    for (int i = 1; i <= 180; ++i)
        ASSERT_TRUE(std::isfinite(s.speech[i]));
    Synth t;
    EXPECT_EQ(t.run(frame(1, 1, 400, 300.f)), 156);
    EXPECT_EQ(t.synth.epochLength(1), 156);
}

TEST(Lpc10Synthesis, OutputLevelFollowsTheRms)
{
    auto level = [](float rms) {
        Synth s;
        double energy = 0;
        int count = 0;
        for (int n = 0; n < 30; ++n) {
            const int k = s.run(frame(1, 1, 60, rms));
            for (int i = 1; n >= 10 && i <= k; ++i)
                energy += static_cast<double>(s.speech[i]) * s.speech[i];
            count += n >= 10 ? k : 0;
        }
        return std::sqrt(energy / count);
    };
    EXPECT_GT(level(50.f), 0.0);
    EXPECT_NEAR(level(500.f) / level(50.f), 10.0, 2.0);
}

TEST(Lpc10Synthesis, VoicingChangesSplitTheFrameIntoVoicedAndUnvoicedEpochs)
{
    Synth s;
    for (int n = 0; n < 3; ++n)
        s.run(frame(1, 1, 40, 300.f));
    s.run(frame(1, 0, 40, 300.f));
    ASSERT_GE(s.synth.epochCount(), 2);
    EXPECT_EQ(s.synth.epochVoicing(1), 1);
    EXPECT_EQ(s.synth.epochVoicing(s.synth.epochCount()), 0);

    s.run(frame(0, 0, 40, 300.f));
    s.run(frame(0, 1, 40, 300.f));
    ASSERT_GE(s.synth.epochCount(), 3);
    EXPECT_EQ(s.synth.epochVoicing(1), 0);
    EXPECT_EQ(s.synth.epochVoicing(2), 0);
    EXPECT_EQ(s.synth.epochVoicing(3), 1);
}

TEST(Lpc10Synthesis, ArbitraryParameterStreamsStayWithinTheEpochArraysAndFinite)
{
    std::mt19937 rng(7);
    Synth s;
    long produced = 0;
    const int frames = 20000;
    for (int n = 0; n < frames; ++n) {
        FrameParams p;
        p.voice = {0, static_cast<int>(rng() % 2), static_cast<int>(rng() % 2)};
        p.pitch = static_cast<int>(rng() % 200);
        p.rms = static_cast<float>(rng() % 1100);
        for (int i = 1; i <= 10; ++i)
            p.rc[i] = static_cast<float>(static_cast<int>(rng() % 2001) - 1000) / 1000.f;
        const int k = s.run(p);
        ASSERT_GE(k, 0);
        ASSERT_LE(k, kMaxSynthSamples);
        ASSERT_LE(s.synth.epochCount(), kMaxEpochs);
        for (int i = 1; i <= k; ++i)
            ASSERT_TRUE(std::isfinite(s.speech[i])) << "frame " << n;
        produced += k;
    }
    // Over many frames the synthesis delivers 180 samples per frame on average.
    EXPECT_NEAR(static_cast<double>(produced) / frames, 180.0, 1.0);
}

TEST(Lpc10Synthesis, RandomGeneratorAndCoefficientConversion)
{
    // y[k] += y[j] in 16 bits, k and j stepping down from 4 and 1.
    Synthesizer synth;
    int y[5] = {-21161, -8478, 30892, -10216, 16950};
    for (int n = 0, j = 1, k = 4; n < 1000; ++n, k = (k + 4) % 5, j = (j + 4) % 5) {
        y[k] = static_cast<int16_t>(static_cast<uint16_t>(y[k] + y[j]));
        ASSERT_EQ(synth.Rrandom(), y[k]) << n;
    }

    // Step-up from reflection to predictor coefficients, and the gain.
    std::array<float, 11> rc{}, pc{};
    rc[1] = 0.5f;
    rc[2] = -0.25f;
    const float g2 = Synthesizer::irc2pc(rc, pc, 0.7f);
    EXPECT_FLOAT_EQ(pc[1], 0.5f - (-0.25f) * 0.5f);
    EXPECT_FLOAT_EQ(pc[2], -0.25f);
    EXPECT_EQ(std::count(pc.begin() + 3, pc.end(), 0.f), 8);
    EXPECT_FLOAT_EQ(g2, 0.7f * std::sqrt((1.f - 0.25f) * (1.f - 0.0625f)));
}
