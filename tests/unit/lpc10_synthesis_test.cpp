// LPC-10 pitch-synchronous synthesis: where its input is clamped and how far
// arbitrary input can push it. (Output level and timing are checked through
// the frame interface and against an independent decoder.)
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
