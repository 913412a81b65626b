// LPC-10 speech analysis: DC removal, pitch, voicing and the analysis delay.
// (Window placement and onsets are checked frame for frame against an
// independent coder in the reference test.)
#include "lpc10/analysis.h"
#include "lpc10/tables.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <vector>

using namespace lpc10;

namespace {

// Runs frames of a generator through hp100 and analys on a fresh analyser.
std::vector<FrameParams> analyse(int frames, std::function<float(int)> gen)
{
    Analyzer a;
    a.reset();
    std::vector<FrameParams> out(static_cast<size_t>(frames));
    for (int f = 0, n = 0; f < frames; ++f) {
        float speech[180];
        for (float &s : speech)
            s = gen(n++);
        a.hp100(speech);
        a.analys(speech, out[static_cast<size_t>(f)]);
    }
    return out;
}

// A pulse train of the given period through one resonance.
struct Vowel {
    int period;
    double y1 = 0, y2 = 0;
    float operator()(int n)
    {
        const double r = 0.95, w = 2 * M_PI * 600 / 8000;
        const double y = (n % period == 0 ? 0.12 : 0.0) + 2 * r * std::cos(w) * y1 - r * r * y2;
        y2 = y1;
        y1 = y;
        return static_cast<float>(y);
    }
};

} // namespace

TEST(Lpc10Analysis, SilenceGivesFiniteZeroParametersAndDcIsRemovedOneStepPerFrame)
{
    const auto out = analyse(20, [](int) { return 0.f; });
    for (const FrameParams &p : out) {
        EXPECT_EQ(p.voice, (std::array<int, 3>{0, 0, 0}));
        EXPECT_EQ(p.rms, 0.f);
        EXPECT_EQ(p.rc, (std::array<float, 11>{}));
    }
    EXPECT_GE(out.back().pitch, 1);
    EXPECT_LE(out.back().pitch, 60);

    // hp100 would remove DC itself, so feed analys directly.
    Analyzer a;
    a.reset();
    float speech[180];
    for (int f = 1; f <= 50; ++f) {
        std::fill(speech, speech + 180, 0.05f); // 204.8 on the analysis scale
        FrameParams p;
        a.analys(speech, p);
        EXPECT_EQ(a.dcBias(), static_cast<float>(f));
    }
}

TEST(Lpc10Analysis, PeriodicSpeechIsVoicedWithItsPitchAndNoiseIsNot)
{
    for (int period : {32, 50, 72, 100}) {
        const FrameParams p = analyse(30, Vowel{period}).back();
        EXPECT_EQ(p.voice, (std::array<int, 3>{0, 1, 1})) << period;
        ASSERT_GE(p.pitch, 1);
        ASSERT_LE(p.pitch, 60);
        EXPECT_NEAR(tau[p.pitch - 1], period, period / 16 + 2) << period;
        EXPECT_GT(p.rms, 10.f);
        EXPECT_GT(p.rc[1], 0.5f) << "a low resonance gives a large first coefficient";
    }

    std::mt19937 rng(3);
    std::normal_distribution<float> noise(0.f, 0.1f);
    const auto out = analyse(40, [&](int) { return noise(rng); });
    int voiced = 0;
    for (size_t f = 10; f < out.size(); ++f)
        voiced += out[f].voice[1] + out[f].voice[2];
    EXPECT_LE(voiced, 4);
    EXPECT_GT(out.back().rms, 100.f);
}

TEST(Lpc10Analysis, ParametersDescribeTheFrameThreeCallsEarlier)
{
    std::mt19937 rng(4);
    std::normal_distribution<float> noise(0.f, 0.1f);
    const int start = 10;
    const auto out = analyse(20, [&](int n) { return n < start * 180 ? 0.f : noise(rng); });
    for (int f = 0; f < start + 3; ++f)
        EXPECT_EQ(out[static_cast<size_t>(f)].rms, 0.f) << "call " << f;
    EXPECT_GT(out[start + 3].rms, 100.f);
}
