// The program's own u-law levels: close to G.711, full scale 32256.
// All speech inside the engine, on the wire and in files is 8-bit u-law.
#pragma once

#include <array>
#include <cstdint>

// u-law code to signed 16-bit linear sample.
extern const std::array<int16_t, 256> u2s;
// Linear to u-law, indexed by a 16-bit sample taken as unsigned and shifted
// right by 3 (its upper 13 bits).
extern const std::array<uint8_t, 8192> s2u;

inline uint8_t linearToUlaw(int16_t sample)
{
    return s2u[static_cast<uint16_t>(sample) >> 3];
}

inline int16_t ulawToLinear(uint8_t code)
{
    return u2s[code];
}
