// Constant tables of the LPC-10 codec (2400 bit/s). Every table is printed in
// its natural 0-based order; code that follows a 1-based description indexes
// with an explicit "- 1".
#pragma once

#include <array>
#include <cstdint>

namespace lpc10 {

// Pitch period in samples for pitch index 1..60.
inline constexpr std::array<int, 60> tau = {
    20,  21,  22,  23,  24,  25,  26,  27,  28,  29,  30,  31,  32,  33,  34,
    35,  36,  37,  38,  39,  40,  42,  44,  46,  48,  50,  52,  54,  56,  58,
    60,  62,  64,  66,  68,  70,  72,  74,  76,  78,  80,  84,  88,  92,  96,
    100, 104, 108, 112, 116, 120, 124, 128, 132, 136, 140, 144, 148, 152, 156};

// 7-bit pitch-and-voicing code for pitch index 1..60 (three or four bits set).
inline constexpr std::array<int, 60> entau = {
    19, 11,  27,  25,  29,  21,  23,  22,  30,  14, 15, 7,   39,  38,  46,
    42, 43,  41,  45,  37,  53,  49,  51,  50,  54, 52, 60,  56,  58,  26,
    90, 88,  92,  84,  86,  82,  83,  81,  85,  69, 77, 73,  75,  74,  78,
    70, 71,  67,  99,  97,  113, 112, 114, 98,  106, 104, 108, 100, 101, 76};

namespace detail {
constexpr int popcount7(int v)
{
    int n = 0;
    for (int b = 0; b < 7; ++b)
        n += (v >> b) & 1;
    return n;
}

constexpr std::array<int, 128> makeDetau()
{
    std::array<int, 128> t{};
    for (int code = 0; code < 128; ++code) {
        int bits = popcount7(code);
        t[code] = bits <= 1 ? 0 : bits >= 6 ? 1 : 3;
    }
    for (int k = 0; k < 60; ++k)
        t[entau[k]] = tau[k];
    return t;
}
} // namespace detail

// Received pitch code to period; 0 unvoiced, 1 voicing transition, 3 invalid.
inline constexpr std::array<int, 128> detau = detail::makeDetau();

// RMS quantiser levels, descending.
inline constexpr std::array<int, 64> rmst = {
    1024, 936, 856, 784, 718, 656, 600, 550, 502, 460, 420, 384, 352,
    328,  294, 270, 246, 226, 206, 188, 172, 158, 144, 132, 120, 110,
    102,  92,  84,  78,  70,  64,  60,  54,  50,  46,  42,  38,  34,
    32,   30,  26,  24,  22,  20,  18,  17,  16,  15,  14,  13,  12,
    11,   10,  9,   8,   7,   6,   5,   4,   3,   2,   1,   0};

namespace detail {
constexpr std::array<int, 64> makeEntab6()
{
    // Run lengths of the codes 0..15 over the 64 magnitudes.
    constexpr int runs[16] = {6, 7, 7, 7, 7, 5, 5, 5, 4, 3, 2, 2, 1, 1, 1, 1};
    std::array<int, 64> t{};
    int pos = 0;
    for (int code = 0; code < 16; ++code)
        for (int n = 0; n < runs[code]; ++n)
            t[pos++] = code;
    return t;
}
} // namespace detail

// Log-area quantiser of RC1 and RC2: magnitude (coefficient >> 9) to code.
inline constexpr std::array<int, 64> entab6 = detail::makeEntab6();

// Inverse of entab6; only the entries at even positions are used.
inline constexpr std::array<int, 32> detab7 = {
    4,   11,  18,  25,  32,  39,  46,  53,  60,  66,  72,
    77,  82,  87,  92,  96,  101, 104, 108, 111, 114, 115,
    117, 119, 121, 122, 123, 124, 125, 126, 127, 127};

// Linear quantisers of RC3..RC10, indexed by coefficient number - 3.
inline constexpr std::array<int, 8> enadd = {-1152, 2816, 1536, 3584, 1280, 2432, -768, 1920};
inline constexpr std::array<float, 8> enscl = {0.0112f, 0.0125f, 0.0135f, 0.0143f,
                                               0.0147f, 0.0145f, 0.0167f, 0.0204f};
inline constexpr std::array<int, 8> enbits = {3, 3, 4, 4, 4, 4, 5, 6};
inline constexpr std::array<float, 8> descl = {0.6953f, 0.625f,  0.5781f, 0.5469f,
                                               0.5312f, 0.5391f, 0.4688f, 0.3828f};
inline constexpr std::array<int, 8> deadd = {1152, -2816, -1536, -3584, -1280, -2432, 768, -1920};
inline constexpr std::array<int, 8> qb = {511, 511, 1023, 1023, 1023, 1023, 2047, 4095};

// Coded width of RC1..RC10 (RC1 and RC2: 7-bit table magnitude plus sign).
inline constexpr std::array<int, 10> nbit = {8, 8, 5, 5, 4, 4, 4, 4, 3, 2};

// Codes of RC1..RC10 that decode to about zero (only RC5..RC10 are used).
inline constexpr std::array<int, 10> zrc = {0, 0, 0, 0, 0, 3, 0, 2, 0, 0};

// Hamming (8,4): data nibble to parity nibble.
inline constexpr std::array<int, 16> enctab = {0, 7, 11, 12, 13, 10, 6, 1,
                                               14, 9, 5, 2, 3, 4, 8, 15};

namespace detail {
constexpr std::array<int, 128> makeDactab()
{
    std::array<int, 128> t{};
    for (int w = 0; w < 128; ++w) {
        t[w] = -1;
        for (int d = 0; d < 16; ++d) {
            int code = (d | enctab[d] << 4) & 127;
            if (code == w)
                t[w] = 16 + d;
        }
        if (t[w] >= 0)
            continue;
        for (int d = 0; d < 16; ++d) {
            int diff = ((d | enctab[d] << 4) & 127) ^ w;
            if (popcount7(diff) == 1)
                t[w] = d;
        }
    }
    return t;
}
} // namespace detail

// Low 7 bits of a received Hamming word to 16 + data (valid word) or to the
// data of the one code word a single bit away.
inline constexpr std::array<int, 128> dactab = detail::makeDactab();

// Sign bits of the coefficient fields in channel slot order RC10 .. RC1.
inline constexpr std::array<int, 10> bit = {2, 4, 8, 8, 8, 8, 16, 16, 16, 16};

// Bit allocation: the parameter slot that each of the 53 frame bits carries
// (1 ipitv, 2 irms, v = 4..13 is RC(14 - v)).
inline constexpr std::array<int, 53> iblist = {
    13, 12, 11, 1, 2,  13, 12, 11, 1, 2, 13, 10, 11, 2, 1, 10, 13, 12,
    11, 10, 2,  13, 12, 11, 10, 2,  1, 12, 7,  6,  1, 10, 9, 8,  7,  4,
    6,  9,  8,  7,  5,  1,  9,  8,  4, 6,  1,  5,  9,  8, 7, 5,  6};

// Voicing and correction words of the decoder, by 16 ivp2h + 4 iovoic + class.
inline constexpr std::array<int, 32> ivtab = {
    24960, 24960, 24960, 24960, 25480, 25480, 25483, 25480,
    16640, 1560,  1560,  1560,  16640, 1816,  1563,  1560,
    24960, 24960, 24859, 24856, 26001, 25881, 25915, 25913,
    1560,  1560,  7800,  3640,  1561,  1561,  3643,  3641};

// Smoothing thresholds by error class 1..4: pitch, RMS, RC1..RC6.
inline constexpr std::array<std::array<float, 8>, 4> corth = {{
    {32767.f, 32767.f, 32.f, 32.f, 32.f, 32.f, 16.f, 16.f},
    {10.f, 8.f, 6.4f, 6.4f, 11.2f, 11.2f, 5.6f, 5.6f},
    {5.f, 4.f, 3.2f, 3.2f, 6.4f, 6.4f, 3.2f, 3.2f},
    {0.f, 0.f, 0.f, 0.f, 0.f, 0.f, 0.f, 0.f},
}};

// Excitation pulse of voiced epochs.
inline constexpr std::array<int, 25> kexc = {
    8,   -16, 26,  -48, 86,   -162, 294,  -502, 718, -728, 184, 672, -610,
    -672, 184, 728, 718, 502, 294,  162,  86,   48,  26,   16,  8};

// Voicing discriminant weights: rows maxmin, LBE/lbve, zero crossings, RC1,
// QS, c2, ARB, ARF, a ninth parameter that is always 0, then the bias;
// columns are the SNR classes 1..5.
inline constexpr std::array<std::array<float, 5>, 10> vdc = {{
    {0.f, 0.f, 0.f, 0.f, 0.f},
    {1714.f, 874.f, 510.f, 500.f, 500.f},
    {-110.f, -97.f, -70.f, -10.f, 0.f},
    {334.f, 300.f, 250.f, 200.f, 0.f},
    {-4096.f, -4096.f, -4096.f, -4096.f, -4096.f},
    {-654.f, -1021.f, -1270.f, -1300.f, -1300.f},
    {3752.f, 2451.f, 2194.f, 2000.f, 2000.f},
    {3769.f, 2527.f, 2491.f, 2000.f, 2000.f},
    {0.f, 0.f, 0.f, 0.f, 0.f},
    {1181.f, -500.f, -1500.f, -2000.f, -2500.f},
}};

// SNR class thresholds of the voicing classifier.
inline constexpr std::array<int, 5> vdcl = {600, 450, 300, 200, 0};

// Symmetric 31-tap low-pass filter, outer tap first, centre tap last.
inline constexpr std::array<float, 16> lpfilt31Taps = {
    -0.0097201988f, -0.0105179986f, -0.0083479648f, 0.0005860774f,
    0.0130892089f,  0.0217052232f,  0.0184161253f,  0.0003397230f,
    -0.0260797087f, -0.0455563702f, -0.0403068550f, 0.0005029835f,
    0.0729262903f,  0.1572008878f,  0.2247288674f,  0.2505359650f};

} // namespace lpc10
