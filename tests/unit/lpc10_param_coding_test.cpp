// LPC-10 parameter quantisation, bit allocation and error protection.
#include "lpc10/param_coding.h"
#include "lpc10/tables.h"

#include <gtest/gtest.h>

#include <bitset>
#include <random>
#include <vector>

using namespace lpc10;

namespace {

FrameParams voiced(int pitchIndex, float rms)
{
    FrameParams p;
    p.voice = {0, 1, 1};
    p.pitch = pitchIndex;
    p.rms = rms;
    return p;
}

FrameParams unvoiced(float rms, float rc1)
{
    FrameParams p;
    p.rms = rms;
    p.rc[1] = rc1;
    p.rc[2] = 0.3f;
    p.rc[3] = -0.2f;
    p.rc[4] = 0.1f;
    return p;
}

// Frames through encode and the channel as a transmitter sends them.
std::vector<FrameBits> transmit(const std::vector<FrameParams> &frames)
{
    std::vector<FrameBits> out;
    int isync = 0;
    for (const FrameParams &p : frames) {
        FrameCodes c = encode(p);
        out.push_back({});
        channel(0, c, out.back(), isync);
    }
    return out;
}

// Bits (or codes, with bits empty) through the channel and a fresh decoder.
std::vector<FrameParams> receive(std::vector<FrameBits> frames, std::vector<FrameCodes> codes = {})
{
    ParamDecoder dec;
    for (FrameBits &bits : frames) {
        int unused = 0;
        channel(1, codes.emplace_back(), bits, unused);
    }
    std::vector<FrameParams> out;
    for (FrameCodes &c : codes)
        dec.decode(c, out.emplace_back());
    return out;
}

// A fresh decoder hands back its first frame's own codes, de-quantised.
FrameParams decodeFirst(FrameCodes codes) { return receive({}, {codes})[0]; }

} // namespace

TEST(Lpc10ScalarCoding, RmsAndLinearCoefficientCodes)
{
    Fs1015Rules fs;
    fs.rmsOddRoundsUp = true;
    for (Fs1015Rules rules : {Fs1015Rules{}, fs}) {
        EXPECT_EQ(encode(voiced(1, 0.f), rules).irms, 0);
        EXPECT_EQ(encode(voiced(1, 64.f), rules).irms, 15) << "even position 32 = 2m gives 31 - m";
        EXPECT_EQ(decodeFirst(encode(voiced(1, 0.f), rules)).rms, 1.f);
        EXPECT_EQ(decodeFirst(encode(voiced(1, 64.f), rules)).rms, 60.f);
        // Codes rise with the level up to the rules' top code.
        for (int level = 1, previous = 0; level <= 1100; ++level) {
            const int code = encode(voiced(1, static_cast<float>(level)), rules).irms;
            ASSERT_GE(code, previous) << "level " << level;
            ASSERT_LE(code, rules.rmsOddRoundsUp ? 31 : 30) << "level " << level;
            previous = code;
        }
    }
    // Decoded levels rise with the code.
    for (int code = 1; code <= 31; ++code) {
        FrameCodes lower, higher;
        lower.irms = code - 1;
        higher.irms = code;
        EXPECT_LT(decodeFirst(lower).rms, decodeFirst(higher).rms) << "code " << code;
    }
    // The codec's rounding stops at code 30 (856); the FS-1015 rule reaches 31.
    EXPECT_EQ(encode(voiced(1, 50000.f)).irms, 30);
    EXPECT_EQ(decodeFirst(encode(voiced(1, 1000.f))).rms, 856.f);
    EXPECT_EQ(encode(voiced(1, 1000.f), fs).irms, 31);
    FrameCodes top;
    top.irms = 31;
    EXPECT_EQ(decodeFirst(top).rms, 1024.f);
    // 60 ends the search at the odd position 33 = 2m + 1 (m = 16): 30 - m.
    EXPECT_EQ(encode(voiced(1, 60.f)).irms, 14);
    EXPECT_EQ(encode(voiced(1, 60.f), fs).irms, 15);

    // -20991 halves to -10496 by the arithmetic shift (-10495 truncating);
    // with RC4's offset and scale that is exactly -96 against -95.99.
    FrameParams p = voiced(1, 100.f);
    p.rc[4] = -20991.f / 32768.f;
    EXPECT_EQ(encode(p).irc[4], -13);
    Fs1015Rules truncating;
    truncating.rcHalvingTruncates = true;
    EXPECT_EQ(encode(p, truncating).irc[4], -12);
}

TEST(Lpc10ScalarCoding, PitchCodesAreUniqueAndDecodeToTheirPeriod)
{
    std::vector<int> seen(128, 0);
    for (int index = 1; index <= 60; ++index) {
        const int code = encode(voiced(index, 100.f)).ipitv;
        const auto ones = std::bitset<7>(static_cast<unsigned>(code)).count();
        EXPECT_TRUE(ones == 3 || ones == 4) << code;
        EXPECT_EQ(seen[code]++, 0) << "code " << code << " used twice";
        EXPECT_EQ(detau[code], tau[index - 1]);
    }
    EXPECT_EQ(encode(voiced(1, 100.f)).ipitv, 19);
    EXPECT_EQ(detau[76], 156);
    EXPECT_EQ(std::count(detau.begin(), detau.end(), 0), 8);
    EXPECT_EQ(std::count(detau.begin(), detau.end(), 1), 8);
    for (auto [v1, v2, code] : {std::tuple{0, 0, 0}, {1, 0, 127}, {0, 1, 127}}) {
        FrameParams p = voiced(30, 100.f);
        p.voice = {0, v1, v2};
        EXPECT_EQ(encode(p).ipitv, code) << v1 << v2;
    }
    // After the first frame the decoder gives the pitch sent.
    const auto params = receive(transmit(std::vector<FrameParams>(4, voiced(40, 300.f))));
    EXPECT_EQ(params.back().pitch, tau[39]);
    EXPECT_EQ(params.back().voice, (std::array<int, 3>{0, 1, 1}));
    EXPECT_EQ(median(3, 9, 5), 5);
    EXPECT_EQ(median(7, -4, 2), 2);
    EXPECT_EQ(median(4, 4, 1), 4);
}

TEST(Lpc10Channel, RoundTripKeepsEveryFieldIncludingNegatives)
{
    std::mt19937 rng(6);
    const int widths[11] = {0, 5, 5, 5, 5, 4, 4, 4, 4, 3, 2};
    int isync = 0;
    for (int n = 0; n < 2000; ++n) {
        FrameCodes in;
        in.ipitv = static_cast<int>(rng() % 128);
        in.irms = static_cast<int>(rng() % 32);
        for (int i = 1; i <= 10; ++i)
            in.irc[i] = static_cast<int>(rng() % (1u << widths[i])) - (1 << widths[i]) / 2;
        FrameBits bits{};
        FrameCodes copy = in, out;
        channel(0, copy, bits, isync);
        EXPECT_EQ(bits[54], n % 2) << "sync bit alternates from 0";
        int unused = 0;
        channel(1, out, bits, unused);
        ASSERT_EQ(out.ipitv, in.ipitv);
        ASSERT_EQ(out.irms, in.irms);
        ASSERT_EQ(out.irc, in.irc);
    }
}

TEST(Lpc10Channel, BitLayoutOfACodedFrame)
{
    // Frame bits in order, as (field, bit): 0 pitch, 1-10 rc n, 11 rms, 12 sync.
    const std::pair<int, int> layout[54] = {
        {1, 0},  {2, 0},  {3, 0}, {0, 0},  {11, 0}, {1, 1},  {2, 1},  {3, 1}, {0, 1},  {11, 1}, {1, 2}, {4, 0},
        {3, 2},  {11, 2}, {0, 2}, {4, 1},  {1, 3},  {2, 2},  {3, 3},  {4, 2}, {11, 3}, {1, 4},  {2, 3}, {3, 4},
        {4, 3},  {11, 4}, {0, 3}, {2, 4},  {7, 0},  {8, 0},  {0, 4},  {4, 4}, {5, 0},  {6, 0},  {7, 1}, {10, 0},
        {8, 1},  {5, 1},  {6, 1}, {7, 2},  {9, 0},  {0, 5},  {5, 2},  {6, 2}, {10, 1}, {8, 2},  {0, 6}, {9, 1},
        {5, 3},  {6, 3},  {7, 3}, {9, 2},  {8, 3},  {12, 0}};
    for (int k = 0; k < 54; ++k) {
        const auto [field, b] = layout[k];
        FrameCodes c;
        int isync = field == 12;
        (field == 0 ? c.ipitv : field == 11 ? c.irms : c.irc[field % 11]) = field == 12 ? 0 : 1 << b;
        FrameBits bits{};
        channel(0, c, bits, isync);
        for (int j = 1; j <= 54; ++j)
            EXPECT_EQ(bits[j], j == k + 1 ? 1 : 0) << "field " << field << "." << b << " expected at frame bit " << k;
    }
}

TEST(Lpc10Protection, HammingCodeWordsCorrectSingleAndRefuseDoubleErrors)
{
    int errors = 0;
    for (int d = 0; d < 16; ++d) {
        const int word = d | enctab[d] << 4;
        EXPECT_EQ(std::bitset<8>(static_cast<unsigned>(word)).count() % 2, 0u) << d;
        EXPECT_EQ(ham84(word, errors), d);
        for (int b1 = 0; b1 < 8; ++b1) {
            EXPECT_EQ(ham84(word ^ (1 << b1), errors), d) << "data " << d << " bit " << b1;
            for (int b2 = b1 + 1; b2 < 8; ++b2)
                EXPECT_EQ(ham84(word ^ (1 << b1) ^ (1 << b2), errors), -1) << "data " << d << " bits " << b1 << b2;
        }
    }
    EXPECT_EQ(errors, 0);
}

TEST(Lpc10Protection, UnvoicedFramesLoadNeutralHighCoefficientsAndCorrectBitErrors)
{
    // Unvoiced after unvoiced: the high coefficients are the neutral codes.
    FrameCodes neutral;
    for (int i = 5; i <= 10; ++i)
        neutral.irc[i] = zrc[i - 1];
    const FrameParams expected = decodeFirst(neutral);
    for (const FrameParams &p : receive(transmit(std::vector<FrameParams>(3, unvoiced(200.f, -0.5f))))) {
        EXPECT_EQ(p.voice, (std::array<int, 3>{0, 0, 0}));
        for (int i = 5; i <= 10; ++i)
            EXPECT_EQ(p.rc[i], expected.rc[i]) << "rc" << i;
    }

    // Bits 1..4 of RC1, RMS and RC2 are protected. Slots (frame bit + 1):
    // RC1.1-4 at 6, 11, 17, 22; RMS.1-4 at 10, 14, 21, 26; RC2.1 at 7; a
    // parity bit (the K7.0 field) at 29. Flip one bit of the second frame.
    const auto clean = transmit({unvoiced(200.f, -0.5f), unvoiced(300.f, -0.6f), unvoiced(250.f, -0.55f),
                                 unvoiced(200.f, -0.5f)});
    const auto reference = receive(clean);
    for (int k : {6, 11, 17, 22, 10, 14, 21, 26, 7, 29}) {
        auto damaged = clean;
        damaged[1][k] ^= 1;
        const auto params = receive(damaged);
        // The second frame's parameters come out of the third decode.
        EXPECT_EQ(params[2].rms, reference[2].rms) << "bit " << k;
        EXPECT_EQ(params[2].rc[1], reference[2].rc[1]) << "bit " << k;
        EXPECT_EQ(params[2].rc[2], reference[2].rc[2]) << "bit " << k;
    }
}

TEST(Lpc10Protection, EveryBitPatternDecodesToBoundedParameters)
{
    std::mt19937 rng(54);
    ParamDecoder dec;
    for (int n = 0; n < 5000; ++n) {
        FrameBits bits{};
        for (int k = 1; k <= 54; ++k)
            bits[k] = static_cast<int>(rng() & 1);
        FrameCodes c;
        int unused = 0;
        channel(1, c, bits, unused);
        FrameParams p;
        dec.decode(c, p);
        ASSERT_GE(p.rms, 0.f);
        ASSERT_LE(p.rms, 1024.f);
        for (int i = 1; i <= 10; ++i) {
            ASSERT_GT(p.rc[i], -1.f) << i;
            ASSERT_LT(p.rc[i], 1.f) << i;
        }
        ASSERT_GE(p.pitch, 0);
        ASSERT_LE(p.pitch, 156);
        EXPECT_EQ(dec.errorRate(), 0);
    }
}
