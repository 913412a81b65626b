// 8 x 8 inverse DCT: the integer Chen-Wang flow graph with 11-bit
// coefficients, rows first, then columns.
#include "video/h263_recon.h"

#include <algorithm>
#include <cstdint>

namespace kv::video {
namespace {

constexpr int W1 = 2841, W2 = 2676, W3 = 2408, W5 = 1609, W6 = 1108, W7 = 565;

// Any input must stay in range, not only what valid streams produce.
inline int16_t iclp(int v)
{
    return static_cast<int16_t>(std::clamp(v, -256, 255));
}

// The 1/sqrt(2) rotation; 64 bits, since damaged input can make any 16-bit
// row or column.
inline int rotate(int64_t v)
{
    return static_cast<int>((181 * v + 128) >> 8);
}

void idctrow(int16_t *x)
{
    if (!(x[1] | x[2] | x[3] | x[4] | x[5] | x[6] | x[7])) {
        const auto dc = static_cast<int16_t>(x[0] * 8);
        for (int i = 0; i < 8; ++i)
            x[i] = dc;
        return;
    }
    const int a0 = x[0] * 2048 + 128, a1 = x[4] * 2048;
    const int e = W6 * (x[2] + x[6]);
    const int b6 = e - (W2 + W6) * x[6], b2 = e + (W2 - W6) * x[2];
    const int f = W7 * (x[1] + x[7]);
    const int o1 = f + (W1 - W7) * x[1], o7 = f - (W1 + W7) * x[7];
    const int g = W3 * (x[5] + x[3]);
    const int o5 = g - (W3 - W5) * x[5], o3 = g - (W3 + W5) * x[3];
    const int s0 = a0 + a1, d0 = a0 - a1;
    const int p1 = o1 + o5, p5 = o1 - o5, p7 = o7 + o3, p3 = o7 - o3;
    const int e0 = s0 + b2, e3 = s0 - b2, e1 = d0 + b6, e2 = d0 - b6;
    const int r2 = rotate(p5 + p3), r4 = rotate(p5 - p3);
    x[0] = static_cast<int16_t>((e0 + p1) >> 8);
    x[1] = static_cast<int16_t>((e1 + r2) >> 8);
    x[2] = static_cast<int16_t>((e2 + r4) >> 8);
    x[3] = static_cast<int16_t>((e3 + p7) >> 8);
    x[4] = static_cast<int16_t>((e3 - p7) >> 8);
    x[5] = static_cast<int16_t>((e2 - r4) >> 8);
    x[6] = static_cast<int16_t>((e1 - r2) >> 8);
    x[7] = static_cast<int16_t>((e0 - p1) >> 8);
}

void idctcol(int16_t *b)
{
    const int x0 = b[0], x1 = b[8], x2 = b[16], x3 = b[24], x4 = b[32], x5 = b[40], x6 = b[48], x7 = b[56];
    if (!(x1 | x2 | x3 | x4 | x5 | x6 | x7)) {
        const int16_t v = iclp((x0 + 32) >> 6);
        for (int i = 0; i < 8; ++i)
            b[8 * i] = v;
        return;
    }
    const int a0 = x0 * 256 + 8192, a1 = x4 * 256;
    const int e = W6 * (x2 + x6) + 4;
    const int b6 = (e - (W2 + W6) * x6) >> 3, b2 = (e + (W2 - W6) * x2) >> 3;
    const int f = W7 * (x1 + x7) + 4;
    const int o1 = (f + (W1 - W7) * x1) >> 3, o7 = (f - (W1 + W7) * x7) >> 3;
    const int g = W3 * (x5 + x3) + 4;
    const int o5 = (g - (W3 - W5) * x5) >> 3, o3 = (g - (W3 + W5) * x3) >> 3;
    const int s0 = a0 + a1, d0 = a0 - a1;
    const int p1 = o1 + o5, p5 = o1 - o5, p7 = o7 + o3, p3 = o7 - o3;
    const int e0 = s0 + b2, e3 = s0 - b2, e1 = d0 + b6, e2 = d0 - b6;
    const int r2 = rotate(p5 + p3), r4 = rotate(p5 - p3);
    b[0] = iclp((e0 + p1) >> 14);
    b[8] = iclp((e1 + r2) >> 14);
    b[16] = iclp((e2 + r4) >> 14);
    b[24] = iclp((e3 + p7) >> 14);
    b[32] = iclp((e3 - p7) >> 14);
    b[40] = iclp((e2 - r4) >> 14);
    b[48] = iclp((e1 - r2) >> 14);
    b[56] = iclp((e0 - p1) >> 14);
}

} // namespace

void idct(int16_t *block)
{
    for (int i = 0; i < 8; ++i)
        idctrow(block + 8 * i);
    for (int i = 0; i < 8; ++i)
        idctcol(block + i);
}

} // namespace kv::video
