#include "lpc10/param_coding.h"

#include "lpc10/tables.h"

#include <cstdlib>

namespace lpc10 {

static_assert(entab6[5] == 0 && entab6[6] == 1 && entab6[59] == 11 && entab6[63] == 15);
static_assert(detau[19] == 20 && detau[76] == 156 && detau[0] == 0 && detau[127] == 1);

FrameCodes encode(const FrameParams &params, Fs1015Rules rules)
{
    FrameCodes q;
    q.irms = static_cast<int>(params.rms);
    for (int i = 1; i <= 10; ++i)
        q.irc[i] = static_cast<int>(params.rc[i] * 32768.f);

    // Pitch and voicing. The analysis never reports an index outside 1..60
    // once its tracker has history; clamping keeps the table look-up safe.
    const int v1 = params.voice[1], v2 = params.voice[2];
    if (v1 == 1 && v2 == 1) {
        int index = params.pitch < 1 ? 1 : params.pitch > 60 ? 60 : params.pitch;
        q.ipitv = entau[index - 1];
    } else {
        q.ipitv = 0;
    }
    if (v1 != v2)
        q.ipitv = 127;

    // RMS: halving search in the descending table (positions from 1).
    int irms = q.irms > 1023 ? 1023 : q.irms;
    int j = 32;
    for (int step = 16; step > 0; step /= 2) {
        if (irms > rmst[j - 1])
            j -= step;
        if (irms < rmst[j - 1])
            j += step;
    }
    if (irms > rmst[j - 1])
        --j;
    q.irms = rules.rmsOddRoundsUp ? 31 - j / 2 : static_cast<int>(31.f - static_cast<float>(j) / 2.f);

    // RC1 and RC2 through the log-area table.
    for (int i = 1; i <= 2; ++i) {
        int mag = std::abs(q.irc[i]) >> 9;
        if (mag > 63)
            mag = 63;
        q.irc[i] = q.irc[i] < 0 ? -entab6[mag] : entab6[mag];
    }

    // RC3..RC10 linearly.
    for (int i = 3; i <= 10; ++i) {
        // The shift rounds odd negative values down.
        int v = rules.rcHalvingTruncates ? q.irc[i] / 2 : q.irc[i] >> 1;
        v = static_cast<int>(static_cast<float>(v + enadd[i - 3]) * enscl[i - 3]);
        if (v > 127)
            v = 127;
        if (v < -127)
            v = -127;
        const int before = v;
        v /= 1 << enbits[i - 3];
        if (before < 0)
            --v;
        q.irc[i] = v;
    }

    // Unvoiced and transition frames need only four coefficients; the freed
    // fields carry Hamming parity of the most important bits.
    if (q.ipitv == 0 || q.ipitv == 127) {
        q.irc[5] = enctab[(q.irc[1] & 30) / 2];
        q.irc[6] = enctab[(q.irc[2] & 30) / 2];
        q.irc[7] = enctab[(q.irc[3] & 30) / 2];
        q.irc[8] = enctab[(q.irms & 30) / 2];
        const int p = enctab[(q.irc[4] & 30) / 2];
        q.irc[9] = p / 2;
        q.irc[10] = p & 1;
    }
    return q;
}

void channel(int direction, FrameCodes &codes, FrameBits &ibits, int &isync)
{
    // Work slots 1..13: ipitv, irms, an unused slot, RC10 down to RC1.
    std::array<int, 14> slot{};
    if (direction == 0) {
        slot[1] = codes.ipitv;
        slot[2] = codes.irms;
        for (int v = 4; v <= 13; ++v)
            slot[v] = codes.irc[14 - v] & 0x7FFF;
        for (int k = 1; k <= 53; ++k) {
            int &s = slot[iblist[k - 1]];
            ibits[k] = s & 1;
            s >>= 1;
        }
        ibits[54] = isync;
        isync = 1 - isync;
    } else if (direction == 1) {
        for (int k = 53; k >= 1; --k) {
            int &s = slot[iblist[k - 1]];
            s = 2 * s + (ibits[k] & 1);
        }
        for (int v = 4; v <= 13; ++v) {
            const int b = bit[v - 4];
            if (slot[v] & b)
                slot[v] -= 2 * b;
        }
        codes.ipitv = slot[1];
        codes.irms = slot[2];
        for (int i = 1; i <= 10; ++i)
            codes.irc[i] = slot[14 - i];
    }
}

int ham84(int input, int &errcount)
{
    (void)errcount;
    int parity = input & 255;
    parity ^= parity >> 4;
    parity ^= parity >> 2;
    parity ^= parity >> 1;
    parity &= 1;
    const int e = dactab[input & 127];
    if ((e & 16) == 0 && parity == 0)
        return -1;
    return e & 15;
}

int median(int d1, int d2, int d3)
{
    if (d2 > d1 && d2 > d3)
        return d1 > d3 ? d1 : d3;
    if (d2 < d1 && d2 < d3)
        return d1 < d3 ? d1 : d3;
    return d2;
}

void ParamDecoder::reset()
{
    dpit = {};
    drms = {};
    drc = {};
}

void ParamDecoder::decode(FrameCodes &codes, FrameParams &out)
{
    int &irms = codes.irms;
    auto &irc = codes.irc;

    const int i4 = detau[codes.ipitv & 127];
    int ivoic;
    if (i4 > 4) {
        dpit[0] = i4;
        ivoic = 2;
    } else {
        dpit[0] = 60;
        ivoic = i4;
    }
    drms[0] = irms;
    for (int i = 1; i <= 10; ++i)
        drc[i][0] = irc[i];

    const int entry = ivtab[16 * ivp2h + 4 * iovoic + ivoic];
    const int ipit = entry & 3;
    int icorf = entry / 8;
    if (erate < 2048)
        icorf /= 64;

    int lsb = 4;
    if (erate < 2048)
        lsb = 3;
    if (erate < 1024)
        lsb = 2;
    if (erate < 128)
        lsb = 1;
    const auto &thresh = corth[lsb - 1];

    out.voice[1] = (icorf >> 1) & 1;
    out.voice[2] = icorf & 1;

    if (first) {
        first = false;
    } else {
        if (icorf & 16) {
            // Hamming correction of the previous frame's protected fields.
            // ham84 does not count errors, so erate stays where it is.
            int errcnt = 0;
            const int lrms = drms[1] & 1;
            int r = ham84(16 * drc[8][1] + drms[1] / 2, errcnt);
            drms[1] = r >= 0 ? 2 * r + lrms : drms[2];
            for (int i = 1; i <= 4; ++i) {
                int parity;
                if (i == 1)
                    parity = (drc[9][1] & 7) * 2 + (drc[10][1] & 1);
                else
                    parity = drc[9 - i][1] & 15;
                int c = drc[5 - i][1];
                const int data = c & 31;
                const int l = data & 1;
                r = ham84(16 * parity + data / 2, errcnt);
                if (r >= 0) {
                    c = 2 * r + l;
                    if (c & 16)
                        c -= 32;
                } else {
                    c = drc[5 - i][2];
                }
                drc[5 - i][1] = c;
            }
            erate = static_cast<int>(static_cast<float>(erate) * 0.96875f +
                                     static_cast<float>(errcnt * 102));
        }

        irms = drms[1];
        for (int i = 1; i <= 10; ++i)
            irc[i] = drc[i][1];
        if (ipit == 1)
            dpit[1] = dpit[2];
        if (ipit == 3)
            dpit[1] = dpit[0];
        out.pitch = dpit[1];

        auto outlier = [](int prev, int cur, int next, float t) {
            return static_cast<float>(std::abs(cur - next)) >= t &&
                   static_cast<float>(std::abs(cur - prev)) >= t;
        };
        if (icorf & 4) {
            if (outlier(drms[2], drms[1], drms[0], thresh[1]))
                irms = median(drms[2], drms[1], drms[0]);
            for (int i = 1; i <= 6; ++i)
                if (outlier(drc[i][2], drc[i][1], drc[i][0], thresh[i + 1]))
                    irc[i] = median(drc[i][2], drc[i][1], drc[i][0]);
        }
        if (icorf & 8) {
            if (outlier(dpit[2], dpit[1], dpit[0], thresh[0]))
                out.pitch = median(dpit[2], dpit[1], dpit[0]);
        }
    }

    if (icorf & 32)
        for (int i = 5; i <= 10; ++i)
            irc[i] = zrc[i - 1];

    iovoic = ivoic;
    ivp2h = out.voice[2];
    dpit[2] = dpit[1];
    dpit[1] = dpit[0];
    drms[2] = drms[1];
    drms[1] = drms[0];
    for (int i = 1; i <= 10; ++i) {
        drc[i][2] = drc[i][1];
        drc[i][1] = drc[i][0];
    }

    // De-quantisation. Fields from the channel are always in range; the
    // clamps only keep hand-made codes inside the tables.
    int rmsIndex = 31 - irms;
    rmsIndex = rmsIndex < 0 ? 0 : rmsIndex > 31 ? 31 : rmsIndex;
    irms = rmst[2 * rmsIndex];

    for (int i = 1; i <= 2; ++i) {
        int m = std::abs(irc[i]);
        int value = 0;
        if (m <= 15)
            value = detab7[2 * m] * (1 << (15 - nbit[i - 1]));
        irc[i] = irc[i] < 0 ? -value : value;
    }
    for (int i = 3; i <= 10; ++i) {
        const float scaled = static_cast<float>(irc[i] * (1 << (15 - nbit[i - 1])) + qb[i - 3]);
        irc[i] = static_cast<int>(scaled * descl[i - 3] + static_cast<float>(deadd[i - 3]));
    }

    out.rms = static_cast<float>(irms);
    for (int i = 1; i <= 10; ++i)
        out.rc[i] = static_cast<float>(irc[i]) / 16384.f;
}

} // namespace lpc10
