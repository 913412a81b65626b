// Reconstruction building blocks of the H.263 decoder: inverse transform,
// half-sample and overlapped prediction, vector rules. The decoder uses them;
// an encoder that must track the decoder's reconstruction can use them too.
#pragma once

#include <cstdint>

namespace kv::video {

// In-place 8 x 8 inverse DCT (integer Chen-Wang); outputs are clamped to
// -256..255 for any input.
void idct(int16_t *block);

// Copies a w x h block (w, h multiples of 8) from src, already positioned at
// the integer part of the vector, with half-sample interpolation chosen by the
// half flags hx, hy (reads one column / row more when set).
void predictBlock(const uint8_t *src, int srcStride, uint8_t *dst, int dstStride, int w, int h, int hx, int hy);

// Overlapped prediction of one 8 x 8 luma block at (x, y) of ref (an edge
// image with enough margin): vectors[0] own, [1] above, [2] below, [3] right,
// [4] left, each {horizontal, vertical} in half samples.
void predictObmc(const uint8_t *ref, int stride, int x, int y, const int vectors[5][2], uint8_t *dst, int dstStride);

// Chroma vector of a macroblock with one luma vector v (half samples).
inline int chromaFromLuma(int v)
{
    return (v % 4 == 0) ? (v >> 1) : ((v >> 1) | 1);
}

// Chroma vector from a sum of four luma vectors (also 4 x one vector).
int chromaFromSum(int sum);

// Forward and backward vectors of a B-block from the P vector mv, the
// B delta and the temporal references (trd > 0).
inline int bForward(int mv, int delta, int trb, int trd)
{
    return trb * mv / trd + delta;
}
inline int bBackward(int mv, int delta, int trb, int trd)
{
    return delta != 0 ? trb * mv / trd + delta - mv : (trb - trd) * mv / trd;
}

// Columns (or rows) [start, stop) of an 8 x 8 B-block that are predicted
// bidirectionally: luma block half n (0 or 1) of its macroblock, or chroma.
void bidirLimits(int v, int n, int &start, int &stop);
void bidirChromaLimits(int v, int &start, int &stop);

// Copies a width x height plane into dst (row stride width + 2 edge, dst at
// the top-left picture sample) and replicates its border edge samples out.
void makeEdgeImage(const uint8_t *src, uint8_t *dst, int width, int height, int edge);

} // namespace kv::video
