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

using Speech = std::array<float, kMaxSynthSamples + 1>;

} // namespace

TEST(Lpc10Synthesis, FirstUnvoicedFrameIsFourEpochsOf45)
{
    Synthesizer synth;
    Speech speech{};
    FrameParams p = frame(0, 0, 80, 300.f);
    EXPECT_EQ(synth.synths(p, speech), 180);
    ASSERT_EQ(synth.epochCount(), 4);
    for (int j = 1; j <= 4; ++j) {
        EXPECT_EQ(synth.epochLength(j), 45);
        EXPECT_EQ(synth.epochVoicing(j), 0);
    }
}

TEST(Lpc10Synthesis, SteadyVoicedFramesCarryThePartialPeriodForward)
{
    Synthesizer synth;
    Speech speech{};
    long total = 0;
    int carried = 0;
    for (int n = 0; n < 20; ++n) {
        FrameParams p = frame(1, 1, 50, 300.f);
        const int k = synth.synths(p, speech);
        ASSERT_EQ(k % 50, 0);
        ASSERT_EQ(synth.epochCount(), k / 50);
        for (int j = 1; j <= synth.epochCount(); ++j) {
            EXPECT_EQ(synth.epochLength(j), 50);
            EXPECT_EQ(synth.epochVoicing(j), 1);
        }
        // The span to fill is the part carried over plus 180 samples.
        EXPECT_EQ(k, (carried + 180) / 50 * 50) << "frame " << n;
        total += k;
        carried = static_cast<int>(180 * (n + 1) - total);
        ASSERT_GE(carried, 0);
        ASSERT_LT(carried, 50);
    }
}

TEST(Lpc10Synthesis, PitchAndCoefficientsAreClamped)
{
    {
        Synthesizer synth;
        Speech speech{};
        FrameParams p = frame(1, 1, 10, 300.f);
        p.rc[1] = 1.5f;
        p.rc[2] = -7.f;
        EXPECT_EQ(synth.synths(p, speech), 180);
        EXPECT_EQ(p.pitch, 20);
        EXPECT_EQ(synth.epochLength(1), 20);
        EXPECT_FLOAT_EQ(p.rc[1], 0.99f);
        EXPECT_FLOAT_EQ(p.rc[2], -0.99f);
        for (int i = 1; i <= 180; ++i)
            ASSERT_TRUE(std::isfinite(speech[i]));
    }
    {
        Synthesizer synth;
        Speech speech{};
        FrameParams p = frame(1, 1, 400, 300.f);
        EXPECT_EQ(synth.synths(p, speech), 156);
        EXPECT_EQ(synth.epochLength(1), 156);
    }
}

TEST(Lpc10Synthesis, ZeroRmsIsSynthesisedAsOne)
{
    Synthesizer synth;
    Speech speech{};
    FrameParams p = frame(0, 0, 45, 0.f);
    synth.synths(p, speech);
    EXPECT_EQ(p.rms, 1.f);
    EXPECT_FLOAT_EQ(synth.epochRms(1), 1.f);
}

TEST(Lpc10Synthesis, OutputLevelFollowsTheRms)
{
    auto level = [](float rms) {
        Synthesizer synth;
        Speech speech{};
        double energy = 0;
        int count = 0;
        for (int n = 0; n < 30; ++n) {
            FrameParams p = frame(1, 1, 60, rms);
            const int k = synth.synths(p, speech);
            if (n < 10)
                continue;
            for (int i = 1; i <= k; ++i)
                energy += static_cast<double>(speech[i]) * speech[i];
            count += k;
        }
        return std::sqrt(energy / count);
    };
    const double quiet = level(50.f);
    const double loud = level(500.f);
    EXPECT_GT(quiet, 0.0);
    EXPECT_NEAR(loud / quiet, 10.0, 2.0);
}

TEST(Lpc10Synthesis, VoicingChangesSplitTheFrameIntoVoicedAndUnvoicedEpochs)
{
    Synthesizer synth;
    Speech speech{};
    for (int n = 0; n < 3; ++n) {
        FrameParams p = frame(1, 1, 40, 300.f);
        synth.synths(p, speech);
    }
    FrameParams off = frame(1, 0, 40, 300.f);
    synth.synths(off, speech);
    ASSERT_GE(synth.epochCount(), 2);
    EXPECT_EQ(synth.epochVoicing(1), 1);
    EXPECT_EQ(synth.epochVoicing(synth.epochCount()), 0);

    FrameParams silent = frame(0, 0, 40, 300.f);
    synth.synths(silent, speech);
    FrameParams on = frame(0, 1, 40, 300.f);
    synth.synths(on, speech);
    ASSERT_GE(synth.epochCount(), 3);
    EXPECT_EQ(synth.epochVoicing(1), 0);
    EXPECT_EQ(synth.epochVoicing(2), 0);
    EXPECT_EQ(synth.epochVoicing(3), 1);
}

TEST(Lpc10Synthesis, ArbitraryParameterStreamsStayWithinTheEpochArraysAndFinite)
{
    std::mt19937 rng(7);
    Synthesizer synth;
    Speech speech{};
    long produced = 0;
    const int frames = 20000;
    for (int n = 0; n < frames; ++n) {
        FrameParams p;
        p.voice = {0, static_cast<int>(rng() % 2), static_cast<int>(rng() % 2)};
        p.pitch = static_cast<int>(rng() % 200);
        p.rms = static_cast<float>(rng() % 1100);
        for (int i = 1; i <= 10; ++i)
            p.rc[i] = static_cast<float>(static_cast<int>(rng() % 2001) - 1000) / 1000.f;
        const int k = synth.synths(p, speech);
        ASSERT_GE(k, 0);
        ASSERT_LE(k, kMaxSynthSamples);
        ASSERT_LE(synth.epochCount(), kMaxEpochs);
        for (int i = 1; i <= k; ++i)
            ASSERT_TRUE(std::isfinite(speech[i])) << "frame " << n;
        produced += k;
    }
    // Over many frames the synthesis delivers 180 samples per frame on average.
    EXPECT_NEAR(static_cast<double>(produced) / frames, 180.0, 1.0);
}

TEST(Lpc10Synthesis, RandomGeneratorFollowsItsRecurrence)
{
    // y[k] += y[j] in 16 bits, k and j stepping down from 4 and 1.
    Synthesizer synth;
    int y[5] = {-21161, -8478, 30892, -10216, 16950};
    int j = 1, k = 4;
    for (int n = 0; n < 1000; ++n) {
        y[k] = static_cast<int16_t>(static_cast<uint16_t>(y[k] + y[j]));
        ASSERT_EQ(synth.Rrandom(), y[k]) << n;
        k = k == 0 ? 4 : k - 1;
        j = j == 0 ? 4 : j - 1;
    }
    Synthesizer fresh;
    EXPECT_EQ(fresh.Rrandom(), 16950 - 8478);
}

TEST(Lpc10Synthesis, Irc2pcStepUpAndGain)
{
    std::array<float, 11> rc{}, pc{};
    rc[1] = 0.5f;
    rc[2] = -0.25f;
    const float g2 = Synthesizer::irc2pc(rc, pc, 0.7f);
    EXPECT_FLOAT_EQ(pc[1], 0.5f - (-0.25f) * 0.5f);
    EXPECT_FLOAT_EQ(pc[2], -0.25f);
    for (int i = 3; i <= 10; ++i)
        EXPECT_EQ(pc[i], 0.f);
    EXPECT_FLOAT_EQ(g2, 0.7f * std::sqrt((1.f - 0.25f) * (1.f - 0.0625f)));
}
