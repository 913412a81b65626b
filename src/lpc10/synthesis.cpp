#include "lpc10/synthesis.h"

#include "lpc10/tables.h"

#include <cmath>
#include <cstdint>

namespace lpc10 {

namespace {
float lar(float x)
{
    return std::log((1.f + x) / (1.f - x));
}
} // namespace

int Synthesizer::Rrandom()
{
    // Additive lagged generator over five 16-bit words.
    ry[rk] = static_cast<int16_t>(static_cast<uint16_t>(ry[rk] + ry[rj]));
    const int result = ry[rk];
    if (--rk < 0)
        rk = 4;
    if (--rj < 0)
        rj = 4;
    return result;
}

float Synthesizer::irc2pc(const std::array<float, 11> &rc, std::array<float, 11> &pc, float gprime)
{
    float prod = 1.f;
    for (int i = 1; i <= 10; ++i)
        prod *= 1.f - rc[i] * rc[i];
    const float g2 = gprime * std::sqrt(prod);

    pc[1] = rc[1];
    std::array<float, 11> old{};
    for (int i = 2; i <= 10; ++i) {
        for (int j = 1; j < i; ++j)
            old[j] = pc[j];
        for (int j = 1; j < i; ++j)
            pc[j] = old[j] - rc[i] * old[i - j];
        pc[i] = rc[i];
    }
    return g2;
}

void Synthesizer::addEpoch(int length, int voiced, float rmsValue, const std::array<float, 11> &rcValue)
{
    // The arrays hold 11 epochs; a surplus epoch is dropped and its samples
    // are missing from the frame rather than written past the arrays.
    if (nout >= kMaxEpochs) {
        ++dropped;
        return;
    }
    ++nout;
    ipiti[nout] = length;
    ivuv[nout] = voiced;
    rmsi[nout] = rmsValue;
    for (int i = 1; i <= 10; ++i)
        rci[i][nout] = rcValue[i];
}

void Synthesizer::generateEpochs(int start, int lsamp, int vflag, float slope, int ulen,
                                 const std::array<float, 11> &target, float rms, int &covered,
                                 int &pitch)
{
    const float lrmso = std::log(rmso);
    const float lrms = std::log(rms);
    std::array<float, 11> larOld{}, larNew{};
    for (int i = 1; i <= 10; ++i) {
        larOld[i] = lar(rco[i]);
        larNew[i] = lar(target[i]);
    }
    for (int i = start; i <= lsamp; ++i) {
        int p = ulen > 0 ? ulen
                         : static_cast<int>(slope * static_cast<float>(i) +
                                            static_cast<float>(ipito) + 0.5f);
        if (p > i - covered)
            continue;
        pitch = p;
        covered += p;
        const float w = (static_cast<float>(covered) - static_cast<float>(p) / 2.f) /
                        static_cast<float>(lsamp);
        std::array<float, 11> rcEpoch{};
        for (int c = 1; c <= 10; ++c) {
            const float e = std::exp(larOld[c] + w * (larNew[c] - larOld[c]));
            rcEpoch[c] = (e - 1.f) / (e + 1.f);
        }
        addEpoch(p, vflag, std::exp(lrmso + w * (lrms - lrmso)), rcEpoch);
    }
}

void Synthesizer::pitsyn(FrameParams &params, float &ratio)
{
    auto &voice = params.voice;
    int &pitch = params.pitch;
    float &rms = params.rms;
    auto &rc = params.rc;

    if (rms < 1.f)
        rms = 1.f;
    if (rmso < 1.f)
        rmso = 1.f;
    ratio = rms / (rmso + 8.f);
    nout = 0;

    if (firstFrame) {
        if (voice[2] == 0)
            pitch = 45;
        const int n = 180 / pitch;
        jsamp = 180 - n * pitch;
        for (int j = 1; j <= n; ++j)
            addEpoch(pitch, voice[2], rms, rc);
        firstFrame = false;
    } else {
        int lsamp = jsamp + 180;
        int covered = 0;
        if (voice[1] == ivoico && voice[2] == voice[1]) {
            if (voice[2] == 0) {
                pitch = 45;
                ipito = 45;
                if (ratio > 8.f)
                    rmso = rms;
            }
            const float slope = static_cast<float>(pitch - ipito) / static_cast<float>(lsamp);
            generateEpochs(1, lsamp, voice[2], slope, 0, rc, rms, covered, pitch);
        } else if (ivoico == 1) {
            // Voiced until the change, with the old coefficients and pitch.
            lsamp = voice[1] == 1 ? jsamp + 135 : jsamp + 45;
            yarc = rc;
            generateEpochs(1, lsamp, 1, 0.f, 0, rco, rms, covered, pitch);
            // Then unvoiced epochs of a fixed length to the end of the span.
            const int start = covered + 1;
            lsamp = jsamp + 180;
            int ulen = (lsamp - start) / 2;
            if (ulen > 90)
                ulen /= 2;
            rmso = rms;
            rco = yarc;
            generateEpochs(start, lsamp, 0, 0.f, ulen, yarc, rms, covered, pitch);
        } else {
            // Unvoiced until the change: two noise epochs, then voiced ones.
            covered = voice[1] == 0 ? lsamp - 45 : lsamp - 135;
            addEpoch(covered / 2, 0, rmso, rco);
            addEpoch(covered - covered / 2, 0, rmso, rco);
            rco = rc;
            ipito = pitch;
            generateEpochs(covered + 1, lsamp, 1, 0.f, 0, rc, rms, covered, pitch);
        }
        jsamp = lsamp - covered;
    }

    if (nout > 0) {
        ivoico = voice[2];
        ipito = pitch;
        rmso = rms;
        rco = rc;
    }
}

void Synthesizer::bsynz(int ip, int iv, float rms, float ratio, float g2)
{
    // Epochs never exceed 156 samples; the clamp keeps the 166-value
    // histories safe whatever the parameters.
    if (ip > 156)
        ip = 156;
    if (ip < 1)
        ip = 1;

    // Carry the filter history over at the new level.
    float xy = bsynzRmso / (rms + 1e-6f);
    if (xy > 8.f)
        xy = 8.f;
    for (int i = 0; i < 10; ++i)
        exc2[i] = exc2[ipo + i] * xy;
    bsynzRmso = rms;
    ipo = ip;

    if (iv == 0) {
        for (int i = 0; i < ip; ++i)
            exc[10 + i] = static_cast<float>(Rrandom() >> 6);
        // Plosive doublet at a random place in the epoch.
        const int q = (((Rrandom() + 32768) * (ip - 1)) >> 16) + 11;
        float pulse = ratio * 85.5f;
        if (pulse > 2000.f)
            pulse = 2000.f;
        exc[q - 1] += pulse;
        exc[q] -= pulse;
    } else {
        const float sscale = std::sqrt(static_cast<float>(ip)) * 0.144341801f;
        for (int i = 0; i < ip; ++i) {
            const float x = i < 25 ? sscale * static_cast<float>(kexc[i]) : 0.f;
            const float lpf = 0.125f * x + 0.75f * lpi1 + 0.125f * lpi2;
            lpi2 = lpi1;
            lpi1 = x;
            const float noise = static_cast<float>(Rrandom() >> 6);
            const float hpf = -0.125f * noise + 0.25f * hpi1 - 0.125f * hpi2;
            hpi2 = hpi1;
            hpi1 = noise;
            exc[10 + i] = lpf + hpf;
        }
    }

    // All-zero then all-pole filter.
    for (int m = 10; m < 10 + ip; ++m) {
        float sum = 0.f;
        for (int j = 1; j <= 10; ++j)
            sum += pc[j] * exc[m - j];
        exc2[m] = exc[m] + g2 * sum;
    }
    float energy = 0.f;
    for (int m = 10; m < 10 + ip; ++m) {
        float sum = 0.f;
        for (int j = 1; j <= 10; ++j)
            sum += pc[j] * exc2[m - j];
        exc2[m] += sum;
        energy += exc2[m] * exc2[m];
    }

    for (int i = 0; i < 10; ++i) {
        exc[i] = exc[ip + i];
        exc2[i] = exc2[ip + i];
    }

    // An all-zero epoch has no level to scale to: it stays silent.
    const float gain = energy > 0.f ? std::sqrt(rms * rms * static_cast<float>(ip) / energy) : 0.f;
    for (int i = 0; i < ip; ++i)
        sout[i] = gain * exc2[10 + i];
}

void Synthesizer::deemp0(float *x, int n)
{
    for (int k = 0; k < n; ++k) {
        const float in = x[k];
        const float y = in - 1.9998f * dei1 + dei2 + 2.75f * deo1 - 2.93f * deo2 + 1.48f * deo3 -
                        0.312f * deo4;
        dei2 = dei1;
        dei1 = in;
        deo4 = deo3;
        deo3 = deo2;
        deo2 = deo1;
        deo1 = y;
        x[k] = y;
    }
}

int Synthesizer::synths(FrameParams &params, std::array<float, kMaxSynthSamples + 1> &speech)
{
    if (params.pitch < 20)
        params.pitch = 20;
    if (params.pitch > 156)
        params.pitch = 156;
    for (int i = 1; i <= 10; ++i) {
        if (params.rc[i] > 0.99f)
            params.rc[i] = 0.99f;
        if (params.rc[i] < -0.99f)
            params.rc[i] = -0.99f;
    }

    float ratio = 0.f;
    pitsyn(params, ratio);

    int k = 0;
    for (int j = 1; j <= nout; ++j) {
        std::array<float, 11> rcEpoch{};
        for (int i = 1; i <= 10; ++i)
            rcEpoch[i] = rci[i][j];
        const float g2 = irc2pc(rcEpoch, pc, 0.7f);
        bsynz(ipiti[j], ivuv[j], rmsi[j], ratio, g2);
        const int len = ipiti[j] < 156 ? ipiti[j] : 156;
        deemp0(sout.data(), len);
        for (int i = 0; i < len && k < kMaxSynthSamples; ++i)
            speech[++k] = sout[i] / 4096.f;
    }
    return k;
}

void Synthesizer::reset()
{
    exc = {};
    exc2 = {};
    ipiti = {};
    ivuv = {};
    rmsi = {};
    rci = {};
    pc = {};
}

} // namespace lpc10
