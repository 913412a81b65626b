// The block layer: macroblock-layer VLCs and the transform coefficients, with
// VLCs or arithmetic-coded, and their inverse quantisation.
#include "video/h263_decoder.h"

#include "video/h263_vlc_tables.h"

#include <algorithm>
#include <cstdlib>

namespace kv::video {

int H263Decoder::getMCBPC()
{
    const VlcEntry e = kMcbpcInter[bits_.showbits(9)];
    if (e.value < 0) {
        fault_ = true;
        return 0;
    }
    bits_.flushbits(e.length);
    return e.value;
}

int H263Decoder::getMCBPCintra()
{
    const VlcEntry e = kMcbpcIntra[bits_.showbits(9)];
    if (e.value < 0) {
        fault_ = true;
        return 0;
    }
    bits_.flushbits(e.length);
    return e.value;
}

int H263Decoder::getCBPY()
{
    const VlcEntry e = kCbpy[bits_.showbits(6)];
    if (e.value < 0) {
        fault_ = true;
        return -1;
    }
    bits_.flushbits(e.length);
    return e.value;
}

int H263Decoder::getTMNMV()
{
    if (bits_.getbits1())
        return 0;
    const VlcEntry e = kMvd[bits_.showbits(12)];
    if (e.value < 0) {
        fault_ = true;
        return 0;
    }
    bits_.flushbits(e.length);
    return e.value;
}

void H263Decoder::storeCoefficient(int comp, int &i, int run, int level, bool negative)
{
    i += run;
    if (i > 63) {
        fault_ = true;
        return;
    }
    int qp = quant_;
    if (comp >= 6)
        qp = std::clamp((bquant_tab[bquant_] * quant_) >> 2, 1, 31);
    int magnitude = qp * (2 * level + 1);
    if (qp % 2 == 0)
        magnitude -= 1;
    // The inverse transform is defined for -2048..2047.
    const int value = std::clamp(negative ? -magnitude : magnitude, -2048, 2047);
    coef_[comp][zig_zag_scan[i]] = static_cast<int16_t>(value);
    ++i;
}

void H263Decoder::getblock(int comp, int mode)
{
    int i = mode == 0 ? 1 : 0;
    for (;;) {
        const VlcEntry e = kTcoef[bits_.showbits(12)];
        if (e.value < 0) {
            fault_ = true;
            return;
        }
        bits_.flushbits(e.length);
        int last, run, level;
        bool negative;
        if (e.value == kTcoefEscape) {
            last = static_cast<int>(bits_.getbits1());
            run = static_cast<int>(bits_.getbits(6));
            const int code = static_cast<int>(bits_.getbits(8));
            negative = code >= 128;
            level = negative ? 256 - code : code;
        } else {
            last = (e.value >> 12) & 1;
            run = (e.value >> 4) & 255;
            level = e.value & 15;
            negative = bits_.getbits1() != 0;
        }
        storeCoefficient(comp, i, run, level, negative);
        if (fault_ || last)
            return;
    }
}

void H263Decoder::get_sac_block(int comp, int mode)
{
    const bool intra = mode == 0;
    const SacModelSet &m = *models_;
    int i = intra ? 1 : 0;
    for (int n = 0;; ++n) {
        // The first three coefficients of a block have models of their own.
        const SacModel &tcoef = n == 0 ? (intra ? m.tcoef1Intra : m.tcoef1)
                                : n == 1 ? (intra ? m.tcoef2Intra : m.tcoef2)
                                : n == 2 ? (intra ? m.tcoef3Intra : m.tcoef3)
                                         : (intra ? m.tcoefrIntra : m.tcoefr);
        const int value = sacValue(tcoef);
        if (fault_)
            return;
        int last, run, level;
        bool negative;
        if (value == kTcoefEscape) {
            last = sacValue(intra ? m.lastIntra : m.last) & 1;
            run = sacValue(intra ? m.runIntra : m.run) & 63;
            level = sacValue(intra ? m.levelIntra : m.level) & 255;
            if (level > 128)
                level -= 256;
            negative = level < 0;
            level = std::abs(level);
        } else {
            last = (value >> 12) & 1;
            run = (value >> 4) & 255;
            level = value & 15;
            negative = (sacValue(m.sign) & 1) != 0;
        }
        // The coefficient position is bounded as with VLCs.
        storeCoefficient(comp, i, run, level, negative);
        if (fault_ || last)
            return;
    }
}

} // namespace kv::video
