#include "lpc10/analysis.h"

#include "lpc10/tables.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace lpc10 {

namespace {
constexpr int kFrame = 180;
constexpr int kMaxWin = 156;
constexpr int kMinWin = 90;
constexpr int kLrange = 181;
constexpr int kHrange = 540;
} // namespace

void Analyzer::hp100(float *speech)
{
    for (int i = 0; i < kFrame; ++i) {
        float e = speech[i] + 1.859076f * z11 - 0.8648249f * z21;
        const float y = e - 2.f * z11 + z21;
        z21 = z11;
        z11 = e;
        e = y + 1.935715f * z12 - 0.9417004f * z22;
        const float y2 = e - 2.f * z12 + z22;
        z22 = z12;
        z12 = e;
        speech[i] = 0.902428f * y2;
    }
}

void Analyzer::preemp()
{
    for (int i = 541; i <= 720; ++i) {
        const float x = inbuf[i];
        if (rules.preemphasis)
            pebuf[i] = x - 0.9375f * zpre1;
        else
            pebuf[i] = x - zpre1 + 0.4f * zpre2;
        zpre2 = zpre1;
        zpre1 = x;
    }
}

void Analyzer::onset()
{
    if (hyst)
        lasti -= kFrame;
    for (int i = 541; i <= 720; ++i) {
        onsetN = (63.f * onsetN + pebuf[i] * pebuf[i - 1]) / 64.f;
        onsetD = (63.f * onsetD + pebuf[i - 1] * pebuf[i - 1]) / 64.f;
        if (onsetD != 0.f) {
            if (std::fabs(onsetN) > onsetD)
                fpc = onsetN < 0.f ? -1.f : 1.f;
            else
                fpc = onsetN / onsetD;
        }
        const float l2sum2 = l2buf[l2ptr1];
        l2sum1 = l2sum1 - l2buf[l2ptr2] + fpc;
        l2buf[l2ptr2] = l2sum1;
        l2buf[l2ptr1] = fpc;
        l2ptr1 = l2ptr1 % 16 + 1;
        l2ptr2 = l2ptr2 % 16 + 1;
        if (std::fabs(l2sum1 - l2sum2) > 1.7f) {
            if (!hyst) {
                // The list holds 10 onsets; later ones in the frame are lost.
                if (osptr <= 10) {
                    osbuf[osptr] = i - 9;
                    ++osptr;
                }
                hyst = true;
            }
            lasti = i;
        } else if (hyst && i - lasti >= 10) {
            hyst = false;
        }
    }
}

void Analyzer::placev()
{
    const int lrange = std::max(vwin[2].hi + 1, kLrange);
    Window &v = vwin[3];

    int last = osptr - 1;
    while (last >= 1 && osbuf[last] > kHrange)
        --last;
    const int q1 = last + 1;
    if (last < 1 || osbuf[last] < lrange) {
        v.lo = std::max(vwin[2].hi + 1, 307);
        v.hi = v.lo + kMaxWin - 1;
        obound[3] = 0;
        return;
    }

    int q = 1;
    while (osbuf[q] < lrange)
        ++q;
    bool crit = false;
    for (int i = q + 1; i < q1; ++i)
        if (osbuf[i] - osbuf[q] >= kMinWin)
            crit = true;

    if (!crit && osbuf[q] > std::max(2 * kFrame, lrange + kMinWin - 1)) {
        v.hi = osbuf[q] - 1;
        v.lo = std::max(lrange, osbuf[q] - kMaxWin);
        obound[3] = 2;
        return;
    }

    v.lo = osbuf[q];
    for (int i = q + 1; i < q1; ++i) {
        if (osbuf[i] - v.lo > kMaxWin)
            break;
        if (osbuf[i] - v.lo >= kMinWin) {
            v.hi = osbuf[i] - 1;
            obound[3] = 3;
            return;
        }
    }
    v.hi = std::min(v.lo + kMaxWin - 1, kHrange);
    obound[3] = 1;
}

void Analyzer::lpfilt31()
{
    // Over inbuf n-32..n-2 (or n-30..n for the comparison rules).
    const int end = rules.lowpassToNewest ? 0 : 2;
    for (int n = 541; n <= 720; ++n) {
        float t = 0.f;
        for (int k = 0; k < 15; ++k)
            t += lpfilt31Taps[k] * (inbuf[n - end - k] + inbuf[n - end - 30 + k]);
        t += lpfilt31Taps[15] * inbuf[n - end - 15];
        lpbuf[n] = t;
    }
}

void Analyzer::ivfilt()
{
    auto L = [this](int k) { return lpbuf[228 + k]; };
    float r0 = 0.f, r1 = 0.f, r2 = 0.f;
    for (int j = 136; j <= 312; j += 2)
        r0 += L(j) * L(j);
    for (int j = 140; j <= 312; j += 2)
        r1 += L(j) * L(j - 4);
    for (int j = 144; j <= 312; j += 2)
        r2 += L(j) * L(j - 8);
    float c1 = 0.f, c2 = 0.f, a1 = 0.f, a2 = 0.f;
    if (r0 > 1e-6f) {
        c1 = r1 / r0;
        c2 = (r2 - c1 * r1) / (r0 - c1 * r1);
        a1 = c1 - c1 * c2;
        a2 = c2;
    }
    ivrc2 = c2;
    for (int k = 133; k <= 312; ++k)
        ivbuf[228 + k] = L(k) - a1 * L(k - 4) - a2 * L(k - 8);
}

float Analyzer::difmag(const int *lags, int count, int &minp, int &maxp, float *out) const
{
    minp = 0;
    maxp = 0;
    for (int n = 0; n < count; ++n) {
        const int t = lags[n];
        const int start = (kMaxWin - t) / 2 + 1;
        float sum = 0.f;
        for (int j = start; j <= start + kMaxWin - 1; j += 4)
            sum += std::fabs(ivbuf[228 + j] - ivbuf[228 + j + t]);
        out[n] = sum;
        if (sum < out[minp])
            minp = n;
        if (sum > out[maxp])
            maxp = n;
    }
    return out[minp];
}

void Analyzer::tbdm()
{
    int mn = 0, mx = 0;
    difmag(tau.data(), 60, mn, mx, amdf.data() + 1);
    minptr = mn + 1;
    maxptr = mx + 1;
    mintau = tau[minptr - 1];
    float minamd = amdf[minptr];

    // Fine search around the minimum among the lags the table skips.
    int tau2[8];
    float amdf2[8];
    int ltau2 = 0;
    int ptr = std::max(minptr - 2, 1);
    const int hi = std::min(mintau + 3, 156);
    for (int i = std::max(mintau - 3, 41); i <= hi; ++i) {
        while (tau[ptr - 1] < i)
            ++ptr;
        if (tau[ptr - 1] != i)
            tau2[ltau2++] = i;
    }
    if (ltau2 > 0) {
        const float m2 = difmag(tau2, ltau2, mn, mx, amdf2);
        if (m2 < minamd) {
            mintau = tau2[mn];
            minamd = m2;
        }
    }

    // Octave check: prefer half the lag when it fits better.
    if (mintau >= 80) {
        const int half = mintau / 2;
        if (half & 1) {
            tau2[0] = half;
            ltau2 = 1;
        } else {
            tau2[0] = half - 1;
            tau2[1] = half + 1;
            ltau2 = 2;
        }
        const float m2 = difmag(tau2, ltau2, mn, mx, amdf2);
        if (m2 < minamd) {
            mintau = tau2[mn];
            minamd = m2;
            minptr = std::max(minptr - 20, 1);
        }
    }

    amdf[minptr] = minamd;
    maxptr = std::max(minptr - 5, 1);
    const int top = std::min(minptr + 5, 60);
    for (int i = maxptr + 1; i <= top; ++i)
        if (amdf[i] > amdf[maxptr])
            maxptr = i;
}

Analyzer::VoicingParams Analyzer::vparms(int half) const
{
    const int lo = vwin[3].lo;
    const int vlen = vwin[3].hi - lo + 1;
    const int start = lo + 1 + (half - 1) * (vlen / 2);
    const int stop = start + vlen / 2 - 1;
    const int t = mintau;

    float d = dither;
    int oldsgn = inbuf[start - 1] - d < 0.f ? -1 : 1;
    int crossings = 0;
    int lbe = 0, fbe = 0;
    float qs = 0.f, rc1 = 0.f, e_pre = 0.f;
    float e0 = 0.f, eb = 0.f, ef = 0.f, rb = 0.f, rf = 0.f;
    for (int i = start; i <= stop; ++i) {
        const int sgn = inbuf[i] + d < 0.f ? -1 : 1;
        if (sgn != oldsgn)
            ++crossings;
        oldsgn = sgn;
        d = -d;
        lbe = static_cast<int>(static_cast<float>(lbe) + std::fabs(lpbuf[i]));
        fbe = static_cast<int>(static_cast<float>(fbe) + std::fabs(inbuf[i]));
        qs += std::fabs(inbuf[i] - inbuf[i - 1]);
        rc1 += inbuf[i] * inbuf[i - 1];
        e_pre += inbuf[i] * inbuf[i];
        e0 += lpbuf[i] * lpbuf[i];
        eb += lpbuf[i - t] * lpbuf[i - t];
        ef += lpbuf[i + t] * lpbuf[i + t];
        rb += lpbuf[i] * lpbuf[i - t];
        rf += lpbuf[i] * lpbuf[i + t];
    }

    VoicingParams v{};
    v.qs = fbe * 2 > 1 ? qs / static_cast<float>(fbe * 2) : qs;
    v.rc1 = e_pre > 1.f ? rc1 / e_pre : rc1;
    v.ar_b = rb * rb / (std::max(eb, 1.f) * std::max(e0, 1.f));
    v.ar_f = rf / std::max(ef, 1.f) * (rf / std::max(e0, 1.f));

    const float r = 90.f / static_cast<float>(vlen);
    v.zc = static_cast<float>(static_cast<int>(static_cast<float>(crossings * 2) * r + 0.5f));
    v.lbe = static_cast<float>(std::min(static_cast<int>(static_cast<float>(lbe) * 0.25f * r + 0.5f), 32767));
    v.fbe = static_cast<float>(std::min(static_cast<int>(static_cast<float>(fbe) * 0.25f * r + 0.5f), 32767));
    return v;
}

void Analyzer::voicin(int half)
{
    if (firstVoicin) {
        lbve = 3000;
        fbve = 3000;
        fbue = ofbue = 3000 / 16;
        lbue = olbue = 3000 / 32;
        snr = static_cast<float>(64 * (fbve / fbue));
        vvalue = {};
        // The scaled sums start at 0, so the unvoiced averages build up
        // from the first unvoiced half-frames; the comparison rules preset
        // them.
        if (rules.unvoicedSumsPreset) {
            sfbue = fbue;
            slbue = lbue;
        }
        firstVoicin = false;
    }

    if (half == 1) {
        for (int h = 1; h <= 2; ++h) {
            vvalue[h][1] = vvalue[h][2];
            vvalue[h][2] = vvalue[h][3];
        }
        maxmin = amdf[minptr] > 1.f ? amdf[maxptr] / amdf[minptr] : amdf[maxptr];
    }

    const VoicingParams vp = vparms(half);
    const int ilbe = static_cast<int>(vp.lbe);
    const int ifbe = static_cast<int>(vp.fbe);

    snr = static_cast<float>(static_cast<int>(
        (snr + static_cast<float>(fbve) / static_cast<float>(std::max(fbue, 1))) * 63.f / 64.f + 0.5f));
    const float snr2 = static_cast<float>(fbue) * snr / static_cast<float>(std::max(lbue, 1));
    int snrl = 5;
    for (int c = 1; c <= 4; ++c) {
        if (snr2 > static_cast<float>(vdcl[c - 1])) {
            snrl = c;
            break;
        }
    }

    const float value[9] = {maxmin, vp.lbe / static_cast<float>(std::max(lbve, 1)), vp.zc, vp.rc1,
                            vp.qs, ivrc2, vp.ar_b, vp.ar_f, 0.f};
    float disc = vdc[9][snrl - 1];
    for (int i = 0; i < 9; ++i)
        disc += vdc[i][snrl - 1] * value[i];
    vvalue[half][3] = disc;
    voibuf[half][3] = disc > 0.f ? 1 : 0;

    if (half == 2) {
        // Smooth the decisions of frames 1 and 2 with their neighbours.
        auto V = [this](int h, int f) -> int & { return voibuf[h][f]; };
        auto D = [this](int h, int f) { return vvalue[h][f]; };
        const bool ot = ((obound[1] & 2) != 0 || obound[2] == 1) && (obound[3] & 1) == 0;
        const int state = 8 * V(1, 1) + 4 * V(2, 1) + 2 * V(1, 2) + V(2, 2);
        switch (state) {
        case 1:
            if (ot && V(1, 3) == 1)
                V(1, 2) = 1;
            break;
        case 2:
            if (V(1, 3) == 0 || D(1, 2) < -D(2, 2))
                V(1, 2) = 0;
            else
                V(2, 2) = 1;
            break;
        case 4:
            V(2, 1) = 0;
            break;
        case 5:
            if (D(2, 1) < -D(1, 2))
                V(2, 1) = 0;
            else
                V(1, 2) = 1;
            break;
        case 6:
            if (V(1, 0) == 1 || V(1, 3) == 1 || D(2, 2) > D(1, 1))
                V(2, 2) = 1;
            else
                V(1, 1) = 1;
            break;
        case 7:
            if (ot)
                V(2, 1) = 0;
            break;
        case 8:
            if (ot)
                V(2, 1) = 1;
            break;
        case 10:
            if (D(1, 2) < -D(2, 1))
                V(1, 2) = 0;
            else
                V(2, 1) = 1;
            break;
        case 11:
            V(2, 1) = 1;
            break;
        case 13:
            if (V(1, 3) == 0 && D(2, 2) < -D(1, 2))
                V(2, 2) = 0;
            else
                V(1, 2) = 1;
            break;
        case 14:
            if (ot && V(1, 3) == 0)
                V(1, 2) = 0;
            break;
        default:
            break;
        }
    }

    // Running energy averages of voiced and unvoiced speech.
    if (voibuf[half][3] == 1) {
        lbve = static_cast<int>(static_cast<float>(63 * lbve + ilbe) / 64.f + 0.5f);
        fbve = static_cast<int>(static_cast<float>(63 * fbve + ifbe) / 64.f + 0.5f);
    } else {
        sfbue = static_cast<int>(static_cast<float>(63 * sfbue + 8 * std::min(ifbe, 3 * ofbue)) / 64.f + 0.5f);
        fbue = sfbue / 8;
        ofbue = ifbe;
        slbue = static_cast<int>(static_cast<float>(63 * slbue + 8 * std::min(ilbe, 3 * olbue)) / 64.f + 0.5f);
        lbue = slbue / 8;
        olbue = ilbe;
    }

    dither = std::sqrt(static_cast<float>(lbue * lbve)) * 64.f / 3000.f;
    dither = std::clamp(dither, 1.f, 20.f);
}

void Analyzer::dyptrk(int voiced, int &pitch, int &midx)
{
    if (voiced)
        alphax = 0.75f * alphax + amdf[minptr] / 2.f;
    else
        alphax *= 0.984375f;
    float a = alphax / 16.f;
    if (!voiced && alphax < 128.f)
        a = 8.f;

    const int k = ipoint + 1;
    int pbar = 1;
    float sbar = s[1];
    for (int i = 1; i <= 60; ++i) {
        sbar += a;
        if (sbar < s[i]) {
            s[i] = sbar;
            p[i][k] = pbar;
        } else {
            sbar = s[i];
            p[i][k] = i;
            pbar = i;
        }
    }
    int i = pbar - 1;
    sbar = s[pbar];
    while (i >= 1) {
        sbar += a;
        if (sbar < s[i]) {
            s[i] = sbar;
            p[i][k] = pbar;
        } else {
            pbar = p[i][k];
            i = pbar;
            sbar = s[i];
        }
        --i;
    }

    int iptr = 1;
    float smax = 0.f;
    for (int j = 1; j <= 60; ++j) {
        s[j] += amdf[j] / 2.f;
        if (j == 1 || s[j] > smax)
            smax = s[j];
        if (s[j] < s[iptr])
            iptr = j;
    }
    const float smin = s[iptr];
    for (int j = 1; j <= 60; ++j)
        s[j] -= smin;

    int octave = 0;
    for (int j = 20; j <= 40; j += 10)
        if (iptr > j && s[iptr - j] < (smax - smin) / 4.f)
            octave = j;
    midx = iptr - octave;

    // Trace the best path back over the two older frames.
    int index = midx;
    int col = ipoint;
    for (int n = 0; n < 2; ++n) {
        col = col % 2 + 1;
        index = p[index][col];
    }
    pitch = index;
    ipoint = (ipoint + 1) % 2;
}

void Analyzer::placea(int ipitch)
{
    const auto &V = voibuf;
    const bool allv = V[2][1] && V[1][2] && V[2][2] && V[1][3] && V[2][3];
    const bool winv = V[1][3] || V[2][3];
    const Window v = vwin[3];
    const int ob = obound[3];
    Window &a = awin[3];
    bool ephase = false;

    if (allv || (winv && ob == 0)) {
        // Pitch-synchronous placement continuing the previous window's phase.
        const int i0 = ((ipitch - (awin[2].lo - kFrame)) / ipitch) * ipitch + awin[2].lo;
        const int k = (v.lo + v.hi - kMaxWin + 1) / 2;
        a.lo = i0 + ipitch * static_cast<int>(static_cast<float>(k - i0) / static_cast<float>(ipitch) + 0.5f);
        a.hi = a.lo + kMaxWin - 1;
        if ((ob == 2 || ob == 3) && a.hi > v.hi) {
            a.lo -= ipitch;
            a.hi -= ipitch;
        }
        if ((ob == 1 || ob == 3) && a.lo < v.lo) {
            a.lo += ipitch;
            a.hi += ipitch;
        }
        while (a.hi > kHrange) {
            a.lo -= ipitch;
            a.hi -= ipitch;
        }
        while (a.lo < kLrange) {
            a.lo += ipitch;
            a.hi += ipitch;
        }
        ephase = true;
    } else {
        a = v;
    }

    const int j = ((a.hi - a.lo + 1) / ipitch) * ipitch;
    if (j == 0 || !winv)
        ewin[3] = v;
    else if (!ephase && ob == 2)
        ewin[3] = {a.hi - j + 1, a.hi};
    else
        ewin[3] = {a.lo, a.lo + j - 1};
}

void Analyzer::lpcAnalysis()
{
    // dcbias: the analysis window of the pre-emphasised speech, mean removed.
    const Window aw = awin[3];
    const int n = aw.hi - aw.lo + 1;
    std::array<float, kMaxWin + 1> A{};
    if (n < 11 || n > kMaxWin || aw.lo < kLrange || aw.hi > kHrange) {
        // Windows are always 90..156 samples inside 181..540; anything else
        // would be a fault, and silence is the safe answer.
        rmsbuf[3] = 0.f;
        for (int i = 1; i <= 10; ++i)
            rcbuf[i][3] = 0.f;
        return;
    }
    float sum = 0.f;
    for (int i = aw.lo; i <= aw.hi; ++i)
        sum += pebuf[i];
    const float mean = sum / static_cast<float>(n);
    for (int i = 1; i <= n; ++i)
        A[i] = pebuf[aw.lo + i - 1] - mean;

    // energy over the energy window, which lies inside the analysis window.
    const int elo = std::max(ewin[3].lo, aw.lo);
    const int ehi = std::min(ewin[3].hi, aw.hi);
    float esum = 0.f;
    for (int i = elo; i <= ehi; ++i)
        esum += A[i - aw.lo + 1] * A[i - aw.lo + 1];
    rmsbuf[3] = ehi >= elo ? std::sqrt(esum / static_cast<float>(ehi - elo + 1)) : 0.f;

    // mload: covariance matrix (lower triangle) and right-hand side.
    float phi[11][11] = {};
    float psi[11] = {};
    for (int r = 1; r <= 10; ++r) {
        float t = 0.f;
        for (int i = 11; i <= n; ++i)
            t += A[i - 1] * A[i - r];
        phi[r][1] = t;
    }
    {
        float t = 0.f;
        for (int i = 11; i <= n; ++i)
            t += A[i] * A[i - 10];
        psi[10] = t;
    }
    for (int r = 2; r <= 10; ++r)
        for (int c = 2; c <= r; ++c)
            phi[r][c] = phi[r - 1][c - 1] - A[n + 1 - r] * A[n + 1 - c] + A[11 - r] * A[11 - c];
    for (int c = 1; c <= 9; ++c)
        psi[c] = phi[c + 1][1] - A[10] * A[10 - c] + A[n] * A[n - c];

    // invert: LDL' decomposition, solving for the reflection coefficients.
    float rc[11] = {};
    for (int j = 1; j <= 10; ++j) {
        for (int k = 1; k < j; ++k) {
            const float save = phi[j][k] * phi[k][k];
            for (int i = j; i <= 10; ++i)
                phi[i][j] -= phi[i][k] * save;
        }
        if (std::fabs(phi[j][j]) < 1e-10f) {
            for (int i = j; i <= 10; ++i)
                rc[i] = 0.f;
            break;
        }
        float t = psi[j];
        for (int k = 1; k < j; ++k)
            t -= rc[k] * phi[j][k];
        phi[j][j] = 1.f / phi[j][j];
        rc[j] = t * phi[j][j];
        rc[j] = std::clamp(rc[j], -0.999f, 0.999f);
    }

    // rcchk: an unstable set is replaced by the previous frame's.
    bool bad = false;
    for (int i = 1; i <= 10; ++i)
        if (std::fabs(rc[i]) > 0.99f)
            bad = true;
    for (int i = 1; i <= 10; ++i)
        rcbuf[i][3] = bad ? rcbuf[i][2] : rc[i];
}

void Analyzer::analys(const float *speech, FrameParams &out)
{
    if (firstAnalysis) {
        osbuf = {};
        obound = {};
        firstAnalysis = false;
    }

    // Shift the buffers by one frame.
    std::copy(inbuf.begin() + 361, inbuf.begin() + 721, inbuf.begin() + 181);
    std::copy(pebuf.begin() + 361, pebuf.begin() + 721, pebuf.begin() + 181);
    std::copy(ivbuf.begin() + 409, ivbuf.begin() + 541, ivbuf.begin() + 229);
    std::copy(lpbuf.begin() + 205, lpbuf.begin() + 721, lpbuf.begin() + 25);

    int kept = 1;
    for (int i = 1; i < osptr; ++i)
        if (osbuf[i] > kFrame)
            osbuf[kept++] = osbuf[i] - kFrame;
    osptr = kept;

    for (int h = 1; h <= 2; ++h)
        for (int f = 0; f < 3; ++f)
            voibuf[h][f] = voibuf[h][f + 1];
    for (int f = 1; f <= 2; ++f) {
        vwin[f] = {vwin[f + 1].lo - kFrame, vwin[f + 1].hi - kFrame};
        awin[f] = {awin[f + 1].lo - kFrame, awin[f + 1].hi - kFrame};
        ewin[f] = {ewin[f + 1].lo - kFrame, ewin[f + 1].hi - kFrame};
        obound[f] = obound[f + 1];
        rmsbuf[f] = rmsbuf[f + 1];
        for (int i = 1; i <= 10; ++i)
            rcbuf[i][f] = rcbuf[i][f + 1];
    }

    // New input with slow DC removal.
    float sum = 0.f;
    for (int i = 1; i <= kFrame; ++i) {
        inbuf[540 + i] = speech[i - 1] * 4096.f - bias;
        sum += inbuf[540 + i];
    }
    if (sum > static_cast<float>(kFrame))
        bias += 1.f;
    if (sum < -static_cast<float>(kFrame))
        bias -= 1.f;

    preemp();
    onset();
    placev();
    lpfilt31();
    ivfilt();
    tbdm();
    voicin(1);
    voicin(2);
    int midx = 1;
    dyptrk(voibuf[2][3], out.pitch, midx);
    placea(tau[midx - 1]);
    lpcAnalysis();

    out.voice[1] = voibuf[1][1];
    out.voice[2] = voibuf[2][1];
    out.rms = rmsbuf[1];
    for (int i = 1; i <= 10; ++i)
        out.rc[i] = rcbuf[i][1];
}

} // namespace lpc10
