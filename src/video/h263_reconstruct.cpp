// Motion-compensated reconstruction of one macroblock: P prediction (plain
// or overlapped), the B-picture of a PB-frame, and the residual.
#include "video/h263_decoder.h"

#include "video/h263_recon.h"

#include <algorithm>

namespace kv::video {

namespace {
constexpr int kInter4v = 2;
inline bool isIntra(int mode) { return mode == 3 || mode == 4; }
} // namespace

void H263Decoder::reconstructMB(const Pending &p)
{
    if (pb_frame_)
        reconstruct(p.bx, p.by, 0, p.bdx, p.bdy);
    if (p.mode <= 2)
        reconstruct(p.bx, p.by, 1, 0, 0);
    for (int comp = 0; comp < 6; ++comp) {
        if (isIntra(p.mode)) {
            idct(coef_[comp]);
            addblock(comp, p.bx, p.by, false);
        } else if (p.cbp & (32 >> comp)) {
            idct(coef_[comp]);
            addblock(comp, p.bx, p.by, true);
        }
    }
    if (!pb_frame_)
        return;
    for (int comp = 6; comp < 12; ++comp) {
        if (p.cod == 0 || adv_pred_mode_)
            reconblock_b(comp - 6, p.bx, p.by, p.mode, p.bdx, p.bdy);
        if (p.cbpb & (32 >> (comp - 6))) {
            idct(coef_[comp]);
            addblock(comp, p.bx, p.by, true);
        }
    }
}

void H263Decoder::recon_comp(const uint8_t *src, uint8_t *dst, int lx, int lx2, int w, int h, int x, int y, int dx,
                             int dy)
{
    predictBlock(src + (y + (dy >> 1)) * lx2 + x + (dx >> 1), lx2, dst + y * lx + x, lx, w, h, dx & 1, dy & 1);
}

void H263Decoder::reconstruct(int bx, int by, int P, int bdx, int bdy)
{
    const int lx = width_;
    const int lx2 = mv_outside_frame_ ? width_ + 64 : width_;
    uint8_t *const *src = mv_outside_frame_ ? edgeframe_ : oldrefframe_;
    const int X = bx / 16 + 1, Y = by / 16 + 1;
    const int mode = modemap(Y, X);
    uint8_t *const *dst = P ? refframe_ : bframe_;
    int cx, cy;
    if (P) {
        if (adv_pred_mode_) {
            for (int k = 0; k < 4; ++k)
                recon_comp_obmc(src[0], dst[0], lx2, k, bx + 8 * (k & 1), by + 8 * (k >> 1));
        } else {
            recon_comp(src[0], dst[0], lx, lx2, 16, 16, bx, by, mv(0, 0, Y, X), mv(1, 0, Y, X));
        }
        if (mode == kInter4v) {
            cx = chromaFromSum(mv(0, 1, Y, X) + mv(0, 2, Y, X) + mv(0, 3, Y, X) + mv(0, 4, Y, X));
            cy = chromaFromSum(mv(1, 1, Y, X) + mv(1, 2, Y, X) + mv(1, 3, Y, X) + mv(1, 4, Y, X));
        } else {
            cx = chromaFromLuma(mv(0, 0, Y, X));
            cy = chromaFromLuma(mv(1, 0, Y, X));
        }
    } else if (adv_pred_mode_ && mode == kInter4v) {
        int sx = 0, sy = 0;
        for (int k = 1; k <= 4; ++k) {
            const int fx = bForward(mv(0, k, Y, X), bdx, trb_, trd_), fy = bForward(mv(1, k, Y, X), bdy, trb_, trd_);
            recon_comp(src[0], dst[0], lx, lx2, 8, 8, bx + 8 * ((k - 1) & 1), by + 8 * ((k - 1) >> 1), fx, fy);
            sx += fx;
            sy += fy;
        }
        cx = chromaFromSum(sx);
        cy = chromaFromSum(sy);
    } else {
        const int fx = bForward(mv(0, 0, Y, X), bdx, trb_, trd_), fy = bForward(mv(1, 0, Y, X), bdy, trb_, trd_);
        recon_comp(src[0], dst[0], lx, lx2, 16, 16, bx, by, fx, fy);
        cx = chromaFromSum(4 * fx);
        cy = chromaFromSum(4 * fy);
    }
    for (int c = 1; c < 3; ++c)
        recon_comp(src[c], dst[c], lx / 2, lx2 / 2, 8, 8, bx / 2, by / 2, cx, cy);
}

void H263Decoder::recon_comp_obmc(const uint8_t *src, uint8_t *dst, int lx2, int comp, int x, int y)
{
    const int X = x / 16 + 1, Y = y / 16 + 1;
    const bool c8 = modemap(Y, X) == kInter4v;
    const bool t8 = modemap(Y - 1, X) == kInter4v, l8 = modemap(Y, X - 1) == kInter4v;
    const bool r8 = modemap(Y, X + 1) == kInter4v;
    bool ti8 = isIntra(modemap(Y - 1, X)), li8 = isIntra(modemap(Y, X - 1)), ri8 = isIntra(modemap(Y, X + 1));
    if (pb_frame_)
        ti8 = li8 = ri8 = false;
    struct Ref {
        int k, row, col;
    };
    auto own = [&](int k) { return Ref{c8 ? k : 0, Y, X}; };
    Ref above, below, left, right;
    switch (comp) {
    case 0:
        above = (ti8 || Y == 1) ? own(1) : Ref{t8 ? 3 : 0, Y - 1, X};
        below = own(3);
        left = (li8 || X == 1) ? own(1) : Ref{l8 ? 2 : 0, Y, X - 1};
        right = own(2);
        break;
    case 1:
        above = (ti8 || Y == 1) ? own(2) : Ref{t8 ? 4 : 0, Y - 1, X};
        below = own(4);
        left = own(1);
        right = (ri8 || X == mbCols_) ? own(2) : Ref{r8 ? 1 : 0, Y, X + 1};
        break;
    case 2:
        above = own(1);
        below = own(3);
        left = (li8 || X == 1) ? own(3) : Ref{l8 ? 4 : 0, Y, X - 1};
        right = own(4);
        break;
    default:
        above = own(2);
        below = own(4);
        left = own(3);
        right = (ri8 || X == mbCols_) ? own(4) : Ref{r8 ? 3 : 0, Y, X + 1};
        break;
    }
    const Ref refs[5] = {own(comp + 1), above, below, right, left};
    int vectors[5][2];
    for (int i = 0; i < 5; ++i)
        for (int c = 0; c < 2; ++c)
            vectors[i][c] = mv(c, refs[i].k, refs[i].row, refs[i].col);
    predictObmc(src, lx2, x, y, vectors, dst + y * width_ + x, width_);
}

void H263Decoder::addblock(int comp, int bx, int by, bool add)
{
    const bool bBlock = comp >= 6;
    const int c = comp % 6;
    uint8_t *const *planes = bBlock ? bframe_ : refframe_;
    uint8_t *dst;
    int stride;
    if (c < 4) {
        stride = width_;
        dst = planes[0] + (by + 8 * (c >> 1)) * stride + bx + 8 * (c & 1);
    } else {
        stride = chromWidth_;
        dst = planes[c - 3] + (by / 2) * stride + bx / 2;
    }
    const int16_t *r = coef_[comp];
    for (int j = 0; j < 8; ++j, dst += stride, r += 8)
        for (int i = 0; i < 8; ++i)
            dst[i] = static_cast<uint8_t>(std::clamp((add || bBlock) ? dst[i] + r[i] : int{r[i]}, 0, 255));
}

void H263Decoder::reconblock_b(int comp, int bx, int by, int mode, int bdx, int bdy)
{
    const int X = bx / 16 + 1, Y = by / 16 + 1;
    int vx, vy, xs, xe, ys, ye, ox, oy, stride;
    const uint8_t *p;
    uint8_t *b;
    if (comp < 4) {
        const int k = mode == kInter4v ? comp + 1 : 0;
        vx = bBackward(mv(0, k, Y, X), bdx, trb_, trd_);
        vy = bBackward(mv(1, k, Y, X), bdy, trb_, trd_);
        bidirLimits(vx, comp & 1, xs, xe);
        bidirLimits(vy, comp >> 1, ys, ye);
        ox = bx + 8 * (comp & 1);
        oy = by + 8 * (comp >> 1);
        stride = width_;
        p = refframe_[0];
        b = bframe_[0];
    } else {
        int sx = 0, sy = 0;
        if (mode == kInter4v) {
            for (int k = 1; k <= 4; ++k) {
                sx += bBackward(mv(0, k, Y, X), bdx, trb_, trd_);
                sy += bBackward(mv(1, k, Y, X), bdy, trb_, trd_);
            }
        } else {
            sx = 4 * bBackward(mv(0, 0, Y, X), bdx, trb_, trd_);
            sy = 4 * bBackward(mv(1, 0, Y, X), bdy, trb_, trd_);
        }
        vx = chromaFromSum(sx);
        vy = chromaFromSum(sy);
        bidirChromaLimits(vx, xs, xe);
        bidirChromaLimits(vy, ys, ye);
        ox = bx / 2;
        oy = by / 2;
        stride = chromWidth_;
        p = refframe_[comp - 3];
        b = bframe_[comp - 3];
    }
    const int hx = vx & 1, hy = vy & 1;
    for (int j = ys; j < ye; ++j) {
        const uint8_t *s = p + (oy + j + (vy >> 1)) * stride + ox + (vx >> 1);
        uint8_t *d = b + (oy + j) * stride + ox;
        for (int i = xs; i < xe; ++i) {
            int v = s[i];
            if (hx && hy)
                v = (s[i] + s[i + 1] + s[i + stride] + s[i + stride + 1] + 2) >> 2;
            else if (hx)
                v = (s[i] + s[i + 1] + 1) >> 1;
            else if (hy)
                v = (s[i] + s[i + stride] + 1) >> 1;
            d[i] = static_cast<uint8_t>((d[i] + v) >> 1);
        }
    }
}

} // namespace kv::video
