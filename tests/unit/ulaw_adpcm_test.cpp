// u-law levels and the IMA ADPCM coder on u-law samples.
#include "audio/adpcm.h"
#include "audio/ulaw.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

TEST(Ulaw, LevelsAndThresholdsAtTheEdgesOfTheScale)
{
    const std::pair<int, int> levels[] = {{0xFF, 0},     {0x7F, 0},   {0x80, 32256}, {0x00, -32256},
                                          {0xFE, 8},     {0xEF, 132}, {0x8F, 16833}};
    for (auto [code, level] : levels)
        EXPECT_EQ(u2s[code], level) << code;
    // Asymmetric thresholds: 256 starts code 255 - 24, but -256 is still 127 - 23.
    const std::pair<int, int> codes[] = {{0, 0xFF},   {-1, 0x7E},   {32767, 0x80},  {-32768, 0x00},
                                         {128, 0xEF}, {-128, 0x6F}, {256, 255 - 24}, {-256, 127 - 23},
                                         {-264, 127 - 24}};
    for (auto [sample, code] : codes)
        EXPECT_EQ(linearToUlaw(static_cast<int16_t>(sample)), code) << sample;
}

TEST(Ulaw, EveryCodeSurvivesARoundTripAndLevelsRiseWithTheSample)
{
    for (int code = 0; code < 256; ++code) // both zeros decode to 0, which codes as 0xFF
        EXPECT_EQ(linearToUlaw(u2s[code]), code == 0x7F ? 0xFF : code) << "code " << code;
    int previous = -40000;
    for (int s = -32768; s <= 32767; s += 8) {
        const int level = u2s[linearToUlaw(static_cast<int16_t>(s))];
        ASSERT_GE(level, previous) << "sample " << s;
        previous = level;
    }
}

TEST(Adpcm, FirstCodesWorkedByHandAndSilenceCodesZeros)
{
    // u-law of 1000 is the level 992. From (0, 0): step 7 gives code 7 and
    // p = 11, index 8 (step 16); then code 7 again, p = 41, index 16.
    const unsigned char code = linearToUlaw(1000);
    ASSERT_EQ(u2s[code], 992);
    unsigned char in[2] = {code, code}, out[1], decoded[2];
    adpcm_state state, dec;
    adpcm_coder_u(in, out, 2, &state);
    EXPECT_EQ(out[0], 0x77);
    EXPECT_EQ(state.valprev, 41);
    EXPECT_EQ(state.index, 16);
    adpcm_decoder_u(out, decoded, 2, &dec);
    EXPECT_EQ(dec.valprev, 41);
    EXPECT_EQ(dec.index, 16);
    EXPECT_EQ(decoded[0], linearToUlaw(11));
    EXPECT_EQ(decoded[1], linearToUlaw(41));

    std::vector<unsigned char> silence(100, 0xFF), codes(50, 0xAA);
    adpcm_state fresh;
    adpcm_coder_u(silence.data(), codes.data(), 100, &fresh);
    EXPECT_EQ(codes, std::vector<unsigned char>(50, 0));
    EXPECT_EQ(fresh.valprev, 0);
    EXPECT_EQ(fresh.index, 0);
}

TEST(Adpcm, DecoderTracksTheEncoderOverLongSpeechLikeInput)
{
    // The decoder rebuilds the encoder's prediction exactly, packet after
    // packet, and the encoder may run in place of its own input area.
    std::mt19937 rng(11);
    std::normal_distribution<double> noise(0.0, 3000.0);
    adpcm_state enc, dec;
    double phase = 0;
    for (int packet = 0; packet < 20; ++packet) {
        std::vector<unsigned char> samples(1800);
        for (auto &s : samples) {
            phase += 0.07;
            const double v = 12000 * std::sin(phase) + noise(rng);
            s = linearToUlaw(static_cast<int16_t>(std::clamp(v, -32768.0, 32767.0)));
        }
        std::vector<unsigned char> codes = samples, out(1800);
        adpcm_coder_u(codes.data(), codes.data(), 1800, &enc);
        adpcm_decoder_u(codes.data(), out.data(), 1800, &dec);
        ASSERT_EQ(dec.valprev, enc.valprev) << "packet " << packet;
        ASSERT_EQ(dec.index, enc.index) << "packet " << packet;
        // The reconstruction follows the signal: compare in the linear domain.
        double err = 0, sig = 0;
        for (int i = 0; i < 1800; ++i) {
            const double x = u2s[samples[i]], y = u2s[out[i]];
            err += (x - y) * (x - y);
            sig += x * x;
        }
        EXPECT_GT(10 * std::log10(sig / err), 10.0) << "packet " << packet;
    }

}
