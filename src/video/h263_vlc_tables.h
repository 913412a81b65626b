// Variable-length code tables of H.263 (1996), built at compile time from the
// code words of the standard's tables, and the scan and quantiser tables.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace kv::video {

struct VlcEntry {
    int16_t value = -1; // -1: no code starts with these bits
    int16_t length = 0; // bits to consume (a sign bit that follows is not counted)
};

struct VlcCode {
    std::string_view bits;
    int value;
};

// A look-up table over `Width` bits of look-ahead. Building it fails to
// compile if a code is longer than the look-ahead or two codes overlap.
template <int Width, size_t N>
consteval std::array<VlcEntry, (1u << Width)> buildVlcTable(const VlcCode (&codes)[N])
{
    std::array<VlcEntry, (1u << Width)> t{};
    for (const VlcCode &c : codes) {
        const int len = static_cast<int>(c.bits.size());
        if (len > Width)
            throw "code longer than the look-ahead";
        unsigned prefix = 0;
        for (char b : c.bits)
            prefix = prefix * 2 + (b == '1');
        const unsigned first = prefix << (Width - len), count = 1u << (Width - len);
        for (unsigned i = first; i < first + count; ++i) {
            if (t[i].value != -1)
                throw "overlapping codes";
            t[i] = VlcEntry{static_cast<int16_t>(c.value), static_cast<int16_t>(len)};
        }
    }
    return t;
}

// TCOEF events: LAST x 4096 + RUN x 16 + LEVEL; this value marks ESCAPE.
constexpr int kTcoefEscape = 7167;
constexpr int kStuffing = 255;

extern const std::array<VlcEntry, 512> kMcbpcInter;  // 9-bit look-ahead
extern const std::array<VlcEntry, 512> kMcbpcIntra;  // 9-bit look-ahead
extern const std::array<VlcEntry, 64> kCbpy;         // INTER meaning
extern const std::array<VlcEntry, 4096> kMvd;        // after the first 0 bit
extern const std::array<VlcEntry, 4096> kTcoef;      // without the sign bit
extern const uint8_t zig_zag_scan[64];
extern const int bquant_tab[4];

} // namespace kv::video
