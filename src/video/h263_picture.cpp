// The macroblock layer: the macroblock loop with GOB headers and
// resynchronisation, macroblock-layer syntax and motion vector decoding.
#include "video/h263_decoder.h"

#include "video/h263_recon.h"
#include "video/h263_vlc_tables.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace kv::video {

namespace {

constexpr int kInter4v = 2;
constexpr int kMissing = 999; // no vector: the border above the picture
inline bool isIntra(int mode) { return mode == 3 || mode == 4; }

// Consecutive stuffing codes allowed before the data counts as damaged.
constexpr int kMaxStuffing = 1024;

} // namespace


void H263Decoder::getMBs()
{
    const int MBAmax = mbCols_ * mbRows_;
    int MBA = 0, xpos = 0, ypos = 0;
    newgob_ = false;
    for (int col = 1; col <= mbCols_; ++col) {
        for (int c = 0; c < 2; ++c)
            for (int k = 0; k < 5; ++k)
                mv(c, k, 0, col) = kMissing;
        modemap(0, col) = 3;
    }
    for (int row = 0; row <= mbRows_; ++row) {
        for (int col : {0, mbCols_ + 1}) {
            for (int c = 0; c < 2; ++c)
                for (int k = 0; k < 5; ++k)
                    mv(c, k, row, col) = 0;
            modemap(row, col) = 3;
        }
    }
    fault_ = false;
    bool gobRead = false;
    // Arithmetic coding: the data in front of a start code is finished on
    // zero bits, unless it has run dry (stuffing there, or a fault); then a
    // start code is taken as with VLCs.
    bool sacDrained = false;
    Pending pending;
    auto flushPending = [&] {
        if (pending.valid) {
            reconstructMB(pending);
            pending.valid = false;
        }
    };

    for (;;) {
        if (fault_) {
            damaged_ = true;
            // The macroblock parsed before the fault is intact: place it.
            flushPending();
            fault_ = false;
            sacDrained = true;
            if (!bits_.startcode())
                return;
        }
        if ((bits_.showbits(22) >> 6) == 0) {
            if (!bits_.startcode()) {
                flushPending();
                return;
            }
            const uint32_t code = bits_.showbits(22);
            const bool takeCode = !syntax_arith_coding_ || sacDrained;
            if (code == 63 || code == 32) {
                if (takeCode || MBA >= MBAmax) {
                    flushPending();
                    return;
                }
            } else if (takeCode || (MBA % mbCols_ == 0 && static_cast<int>(code & 31) * mbCols_ == MBA)) {
                flushPending();
                int gn = 0;
                getheader(gn);
                if (gn > mbRows_)
                    return;
                if (cpm_)
                    bits_.getbits(2); // GSBI
                bits_.getbits(2);     // GFID
                quant_ = std::max(1, static_cast<int>(bits_.getbits(5)));
                xpos = 0;
                ypos = gn;
                MBA = gn * mbCols_;
                newgob_ = true;
                gobRead = true;
                sacDrained = false;
                if (syntax_arith_coding_)
                    sac_.reset(bits_);
            }
        }
        if (!gobRead) {
            xpos = MBA % mbCols_;
            ypos = MBA / mbCols_;
            if (xpos == 0 && ypos > 0)
                newgob_ = false;
        }
        gobRead = false;
        if (MBA >= MBAmax) {
            flushPending();
            return;
        }

        int COD = 0, mode = 0, cbp = 0, cbpb = 0, bdx = 0, bdy = 0, stuffing = 0;
        bool restart = false;
        for (;;) { // COD, and again after stuffing
            COD = pict_type_ ? readCOD() : 0;
            if (COD != 0)
                break;
            const int mcbpc = readMCBPC();
            if (fault_)
                break;
            if (mcbpc == kStuffing) {
                if (syntax_arith_coding_ && bits_.showbits(17) == 1) {
                    // Stuffing decoded from the zeros in front of a start code:
                    // the picture's data has ended.
                    sacDrained = true;
                    restart = true;
                    break;
                }
                if (++stuffing > kMaxStuffing)
                    fault_ = true;
                if (fault_)
                    break;
                continue;
            }
            mode = mcbpc & 7;
            // INTER4V exists only with advanced prediction.
            if (mode > 4 || (!pict_type_ && !isIntra(mode)) || (mode == kInter4v && !adv_pred_mode_)) {
                fault_ = true;
                break;
            }
            int modb = 0;
            if (pb_frame_) {
                modb = readMODB();
                if (modb == 2)
                    cbpb = readCBPB();
            }
            const int cbpy = readCBPY(mode);
            if (fault_)
                break;
            cbp = cbpy * 4 + (mcbpc >> 4);
            if (mode == 1 || mode == 4)
                quant_ = std::clamp(quant_ + readDQUANT(), 1, 31);
            if (mode <= 2 || pb_frame_) {
                const int first = mode == kInter4v ? 1 : 0, last = mode == kInter4v ? 4 : 0;
                for (int k = first; k <= last && !fault_; ++k) {
                    const int cx = readMVD(), cy = readMVD();
                    mv(0, k, ypos + 1, xpos + 1) = motion_decode(cx, find_pmv(xpos, ypos, k, 0));
                    mv(1, k, ypos + 1, xpos + 1) = motion_decode(cy, find_pmv(xpos, ypos, k, 1));
                }
            }
            if (pb_frame_ && (modb == 1 || modb == 2)) {
                bdx = motion_decode(readMVD(), 0);
                bdy = motion_decode(readMVD(), 0);
            }
            if (!fault_ && !checkVectors(xpos, ypos, mode, bdx, bdy))
                fault_ = true;
            break;
        }
        if (restart || fault_)
            continue;
        if (COD == 1) {
            mode = 0;
            mv(0, 0, ypos + 1, xpos + 1) = 0;
            mv(1, 0, ypos + 1, xpos + 1) = 0;
        }

        modemap(ypos + 1, xpos + 1) = mode;
        if (isIntra(mode) && !pb_frame_) {
            mv(0, 0, ypos + 1, xpos + 1) = 0;
            mv(1, 0, ypos + 1, xpos + 1) = 0;
        }

        flushPending();

        if (COD == 0) {
            for (int comp = 0; comp < 6 && !fault_; ++comp) {
                std::memset(coef_[comp], 0, sizeof coef_[comp]);
                if (isIntra(mode)) {
                    int dc = readIntraDC();
                    if (dc == 255)
                        dc = 128;
                    coef_[comp][0] = static_cast<int16_t>(dc * 8);
                }
                if (cbp & (32 >> comp)) {
                    if (syntax_arith_coding_)
                        get_sac_block(comp, isIntra(mode) ? 0 : 1);
                    else
                        getblock(comp, isIntra(mode) ? 0 : 1);
                }
            }
            for (int comp = 6; pb_frame_ && comp < 12 && !fault_; ++comp) {
                std::memset(coef_[comp], 0, sizeof coef_[comp]);
                if (cbpb & (32 >> (comp - 6))) {
                    if (syntax_arith_coding_)
                        get_sac_block(comp, 1);
                    else
                        getblock(comp, 1);
                }
            }
            if (fault_)
                continue; // this macroblock is lost; the stores keep what they held
        }
        pending = Pending{true, 16 * xpos, 16 * ypos, mode, cbp, cbpb, COD, bdx, bdy};
        ++MBA;
    }
}

int H263Decoder::sacValue(const SacModel &m)
{
    const int index = sac_.decodeSymbol(bits_, m);
    if (index < 0 || static_cast<size_t>(index) >= m.values.size()) {
        fault_ = true;
        return 0;
    }
    return m.values[static_cast<size_t>(index)];
}

int H263Decoder::readCOD()
{
    return syntax_arith_coding_ ? sacValue(models_->cod) : static_cast<int>(bits_.getbits1());
}

int H263Decoder::readMCBPC()
{
    if (syntax_arith_coding_)
        return sacValue(pict_type_ ? models_->mcbpc : models_->mcbpcIntra);
    return pict_type_ ? getMCBPC() : getMCBPCintra();
}

int H263Decoder::readMODB()
{
    if (syntax_arith_coding_)
        return sacValue(models_->modb);
    const uint32_t c = bits_.showbits(2);
    if (c < 2) {
        bits_.flushbits(1);
        return 0;
    }
    bits_.flushbits(2);
    return c == 2 ? 1 : 2;
}

int H263Decoder::readCBPB()
{
    if (!syntax_arith_coding_)
        return static_cast<int>(bits_.getbits(6));
    int cbpb = 0;
    for (int i = 0; i < 6; ++i)
        cbpb = cbpb * 2 + (sacValue(i < 4 ? models_->ycbpb : models_->uvcbpb) & 1);
    return cbpb;
}

int H263Decoder::readCBPY(int mode)
{
    if (syntax_arith_coding_)
        return sacValue(isIntra(mode) ? models_->cbpyIntra : models_->cbpy) & 15;
    const int cbpy = getCBPY();
    if (cbpy < 0)
        return 0;
    return isIntra(mode) ? cbpy ^ 15 : cbpy;
}

int H263Decoder::readDQUANT()
{
    static constexpr int kDquant[4] = {-1, -2, 1, 2};
    if (syntax_arith_coding_)
        return sacValue(models_->dquant) - 2;
    return kDquant[bits_.getbits(2)];
}

int H263Decoder::readMVD()
{
    return syntax_arith_coding_ ? (sacValue(models_->mvd) & 63) : getTMNMV();
}

int H263Decoder::readIntraDC()
{
    return syntax_arith_coding_ ? (sacValue(models_->intradc) & 255) : static_cast<int>(bits_.getbits(8));
}

int H263Decoder::find_pmv(int x, int y, int block, int comp) const
{
    const int xin = x + 1, yin = y + 1;
    const bool L = modemap(yin, xin - 1) == kInter4v;
    const bool A = modemap(yin - 1, xin) == kInter4v;
    const bool AR = modemap(yin - 1, xin + 1) == kInter4v;
    int p1, p2, p3;
    switch (block) {
    case 0:
    case 1:
        p1 = mv(comp, L ? 2 : 0, yin, xin - 1);
        p2 = mv(comp, A ? 3 : 0, yin - 1, xin);
        p3 = mv(comp, AR ? 3 : 0, yin - 1, xin + 1);
        break;
    case 2:
        p1 = mv(comp, 1, yin, xin);
        p2 = mv(comp, A ? 4 : 0, yin - 1, xin);
        p3 = mv(comp, AR ? 3 : 0, yin - 1, xin + 1);
        break;
    case 3:
        p1 = mv(comp, L ? 4 : 0, yin, xin - 1);
        p2 = mv(comp, 1, yin, xin);
        p3 = mv(comp, 2, yin, xin);
        break;
    default:
        p1 = mv(comp, 3, yin, xin);
        p2 = mv(comp, 1, yin, xin);
        p3 = mv(comp, 2, yin, xin);
        break;
    }
    if (newgob_ && block <= 2)
        p2 = kMissing;
    if (p2 == kMissing)
        p2 = p3 = p1;
    return p1 + p2 + p3 - std::max({p1, p2, p3}) - std::min({p1, p2, p3});
}

int H263Decoder::motion_decode(int vec, int pmv) const
{
    if (vec > 31)
        vec -= 64;
    vec += pmv;
    if (!long_vectors_) {
        if (vec > 31)
            vec -= 64;
        if (vec < -32)
            vec += 64;
    } else {
        if (pmv < -31 && vec < -63)
            vec += 64;
        if (pmv > 32 && vec > 63)
            vec -= 64;
    }
    return vec;
}

// Whether a size x size block at (px, py) moved by (mvx, mvy) half samples
// reads only samples of the reference: the picture itself with restricted
// vectors, the edge image's margin otherwise. A half-sample position reads
// one sample more.
bool H263Decoder::vectorFits(int px, int py, int size, int mvx, int mvy, bool chroma) const
{
    const int x0 = px + (mvx >> 1), y0 = py + (mvy >> 1);
    const int x1 = x0 + size + (mvx & 1), y1 = y0 + size + (mvy & 1);
    int w, h, margin = 0;
    if (mv_outside_frame_) {
        w = chroma ? chromWidth_ : width_;
        h = chroma ? chromHeight_ : height_;
        margin = chroma ? 16 : 32;
    } else {
        w = (chroma ? 8 : 16) * mbCols_;
        h = (chroma ? 8 : 16) * mbRows_;
    }
    return x0 >= -margin && y0 >= -margin && x1 <= w + margin && y1 <= h + margin;
}

bool H263Decoder::checkVectors(int xpos, int ypos, int mode, int bdx, int bdy)
{
    const int X = xpos + 1, Y = ypos + 1, bx = 16 * xpos, by = 16 * ypos;
    const bool four = mode == kInter4v;
    if (mode <= 2) {
        int sx = 0, sy = 0;
        for (int k = four ? 1 : 0; k <= (four ? 4 : 0); ++k) {
            const int off = four ? 8 : 0, size = four ? 8 : 16;
            const int vx = mv(0, k, Y, X), vy = mv(1, k, Y, X);
            if (!vectorFits(bx + ((k == 2 || k == 4) ? off : 0), by + (k >= 3 ? off : 0), size, vx, vy, false))
                return false;
            sx += vx;
            sy += vy;
        }
        const int cx = four ? chromaFromSum(sx) : chromaFromLuma(sx);
        const int cy = four ? chromaFromSum(sy) : chromaFromLuma(sy);
        if (!vectorFits(bx / 2, by / 2, 8, cx, cy, true))
            return false;
    }
    if (pb_frame_) {
        // B-vectors scale the P vectors by TRB / TRD: check them as well.
        const bool fourB = four && adv_pred_mode_;
        int sx = 0, sy = 0;
        for (int k = fourB ? 1 : 0; k <= (fourB ? 4 : 0); ++k) {
            const int off = fourB ? 8 : 0, size = fourB ? 8 : 16;
            const int fx = bForward(mv(0, k, Y, X), bdx, trb_, trd_);
            const int fy = bForward(mv(1, k, Y, X), bdy, trb_, trd_);
            if (!vectorFits(bx + ((k == 2 || k == 4) ? off : 0), by + (k >= 3 ? off : 0), size, fx, fy, false))
                return false;
            sx += fourB ? fx : 4 * fx;
            sy += fourB ? fy : 4 * fy;
        }
        if (!vectorFits(bx / 2, by / 2, 8, chromaFromSum(sx), chromaFromSum(sy), true))
            return false;
    }
    return true;
}

} // namespace kv::video
