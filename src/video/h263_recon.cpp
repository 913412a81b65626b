// Prediction building blocks: half-sample copies, overlapped block motion
// compensation, vector rules and edge images.
#include "video/h263_recon.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace kv::video {
namespace {

// Chroma vector rounding for a sum of four luma vectors (sixteenths).
constexpr int roundtab[16] = {0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2};

// Overlapped motion compensation weights: own, above, below, right, left.
constexpr int OM[5][8][8] = {
    {{4, 5, 5, 5, 5, 5, 5, 4},
     {5, 5, 5, 5, 5, 5, 5, 5},
     {5, 5, 6, 6, 6, 6, 5, 5},
     {5, 5, 6, 6, 6, 6, 5, 5},
     {5, 5, 6, 6, 6, 6, 5, 5},
     {5, 5, 6, 6, 6, 6, 5, 5},
     {5, 5, 5, 5, 5, 5, 5, 5},
     {4, 5, 5, 5, 5, 5, 5, 4}},
    {{2, 2, 2, 2, 2, 2, 2, 2},
     {1, 1, 2, 2, 2, 2, 1, 1},
     {1, 1, 1, 1, 1, 1, 1, 1},
     {1, 1, 1, 1, 1, 1, 1, 1},
     {0, 0, 0, 0, 0, 0, 0, 0},
     {0, 0, 0, 0, 0, 0, 0, 0},
     {0, 0, 0, 0, 0, 0, 0, 0},
     {0, 0, 0, 0, 0, 0, 0, 0}},
    {{0, 0, 0, 0, 0, 0, 0, 0},
     {0, 0, 0, 0, 0, 0, 0, 0},
     {0, 0, 0, 0, 0, 0, 0, 0},
     {0, 0, 0, 0, 0, 0, 0, 0},
     {1, 1, 1, 1, 1, 1, 1, 1},
     {1, 1, 1, 1, 1, 1, 1, 1},
     {1, 1, 2, 2, 2, 2, 1, 1},
     {2, 2, 2, 2, 2, 2, 2, 2}},
    {{0, 0, 0, 0, 1, 1, 1, 2},
     {0, 0, 0, 0, 1, 1, 2, 2},
     {0, 0, 0, 0, 1, 1, 2, 2},
     {0, 0, 0, 0, 1, 1, 2, 2},
     {0, 0, 0, 0, 1, 1, 2, 2},
     {0, 0, 0, 0, 1, 1, 2, 2},
     {0, 0, 0, 0, 1, 1, 2, 2},
     {0, 0, 0, 0, 1, 1, 1, 2}},
    {{2, 1, 1, 1, 0, 0, 0, 0},
     {2, 2, 1, 1, 0, 0, 0, 0},
     {2, 2, 1, 1, 0, 0, 0, 0},
     {2, 2, 1, 1, 0, 0, 0, 0},
     {2, 2, 1, 1, 0, 0, 0, 0},
     {2, 2, 1, 1, 0, 0, 0, 0},
     {2, 2, 1, 1, 0, 0, 0, 0},
     {2, 1, 1, 1, 0, 0, 0, 0}},
};

// One routine per interpolation case and width, so that the inner loops
// carry no tests and have a fixed length.
template <int Hx, int Hy, int W>
void copyBlock(const uint8_t *s, int ss, uint8_t *d, int ds, int h)
{
    for (int j = 0; j < h; ++j, s += ss, d += ds) {
        for (int i = 0; i < W; ++i) {
            if constexpr (!Hx && !Hy)
                d[i] = s[i];
            else if constexpr (Hx && !Hy)
                d[i] = static_cast<uint8_t>((s[i] + s[i + 1] + 1) >> 1);
            else if constexpr (!Hx && Hy)
                d[i] = static_cast<uint8_t>((s[i] + s[i + ss] + 1) >> 1);
            else
                d[i] = static_cast<uint8_t>((s[i] + s[i + 1] + s[i + ss] + s[i + ss + 1] + 2) >> 2);
        }
    }
}

template <int W>
void copyBlockW(const uint8_t *src, int srcStride, uint8_t *dst, int dstStride, int h, int hx, int hy)
{
    switch ((hx ? 1 : 0) | (hy ? 2 : 0)) {
    case 0:
        return copyBlock<0, 0, W>(src, srcStride, dst, dstStride, h);
    case 1:
        return copyBlock<1, 0, W>(src, srcStride, dst, dstStride, h);
    case 2:
        return copyBlock<0, 1, W>(src, srcStride, dst, dstStride, h);
    default:
        return copyBlock<1, 1, W>(src, srcStride, dst, dstStride, h);
    }
}

} // namespace

void predictBlock(const uint8_t *src, int srcStride, uint8_t *dst, int dstStride, int w, int h, int hx, int hy)
{
    if (w == 16)
        return copyBlockW<16>(src, srcStride, dst, dstStride, h, hx, hy);
    for (int x = 0; x < w; x += 8)
        copyBlockW<8>(src + x, srcStride, dst + x, dstStride, h, hx, hy);
}

void predictObmc(const uint8_t *ref, int stride, int x, int y, const int vectors[5][2], uint8_t *dst, int dstStride)
{
    // Each remote vector weighs only on its half of the block: above on rows
    // 0..3, below on rows 4..7, right on columns 4..7, left on columns 0..3.
    static constexpr int kRows[5][2] = {{0, 8}, {0, 4}, {4, 8}, {0, 8}, {0, 8}};
    static constexpr int kCols[5][2] = {{0, 8}, {0, 8}, {0, 8}, {4, 8}, {0, 4}};
    int sum[8][8] = {};
    uint8_t pred[8 * 8];
    for (int k = 0; k < 5; ++k) {
        const int vx = vectors[k][0], vy = vectors[k][1], r0 = kRows[k][0], r1 = kRows[k][1];
        predictBlock(ref + (y + r0 + (vy >> 1)) * stride + x + (vx >> 1), stride, pred + r0 * 8, 8, 8, r1 - r0,
                     vx & 1, vy & 1);
        for (int j = r0; j < r1; ++j)
            for (int i = kCols[k][0]; i < kCols[k][1]; ++i)
                sum[j][i] += pred[j * 8 + i] * OM[k][j][i];
    }
    for (int j = 0; j < 8; ++j)
        for (int i = 0; i < 8; ++i)
            dst[j * dstStride + i] = static_cast<uint8_t>((sum[j][i] + 4) >> 3);
}

int chromaFromSum(int sum)
{
    const int a = std::abs(sum);
    const int v = roundtab[a % 16] + 2 * (a / 16);
    return sum < 0 ? -v : v;
}

void bidirLimits(int v, int n, int &start, int &stop)
{
    start = std::max(0, (1 - v) / 2 - 8 * n);
    stop = std::min(7, 15 - 8 * n - (v + 1) / 2) + 1;
}

void bidirChromaLimits(int v, int &start, int &stop)
{
    start = std::max(0, (1 - v) / 2);
    stop = std::min(7, 7 - (v + 1) / 2) + 1;
}

void makeEdgeImage(const uint8_t *src, uint8_t *dst, int width, int height, int edge)
{
    const int stride = width + 2 * edge;
    for (int j = 0; j < height; ++j) {
        uint8_t *row = dst + j * stride;
        std::memcpy(row, src + j * width, static_cast<size_t>(width));
        std::memset(row - edge, row[0], static_cast<size_t>(edge));
        std::memset(row + width, row[width - 1], static_cast<size_t>(edge));
    }
    const uint8_t *top = dst - edge, *bottom = dst + (height - 1) * stride - edge;
    for (int j = 1; j <= edge; ++j) {
        std::memcpy(dst - j * stride - edge, top, static_cast<size_t>(stride));
        std::memcpy(dst + (height - 1 + j) * stride - edge, bottom, static_cast<size_t>(stride));
    }
}

} // namespace kv::video
