#include "lpc10/lpc10.h"

#include <algorithm>
#include <cstdint>

void Lpc10Encoder::encodeFrame(const float *speech, lpc10::FrameBits &ibits)
{
    float frame[kFrameSamples];
    std::copy(speech, speech + kFrameSamples, frame);
    analysis.hp100(frame);
    analysis.analys(frame, params);
    ibits = {};
    codes = lpc10::encode(params, rules);
    lpc10::channel(0, codes, ibits, isync);
}

int Lpc10Encoder::encode(const int16_t *in, unsigned char *out, int n)
{
    if (n <= 0)
        return 0;
    const int frames = (n + kFrameSamples - 1) / kFrameSamples;

    lpc10::FrameBits ibits{};
    for (int f = 0; f < frames; ++f) {
        const int16_t *src = in + f * kFrameSamples;
        const int count = std::min(kFrameSamples, n - f * kFrameSamples);
        float speech[kFrameSamples] = {};
        for (int i = 0; i < count; ++i)
            speech[i] = static_cast<float>(src[i]) * 0.000030517578125f;
        encodeFrame(speech, ibits);

        unsigned char *dst = out + f * kFrameBytes;
        std::fill(dst, dst + kFrameBytes, static_cast<unsigned char>(0));
        for (int k = 0; k < 54; ++k)
            if (ibits[k + 1])
                dst[k / 8] = static_cast<unsigned char>(dst[k / 8] | (1 << (k % 8)));
    }
    return frames * kFrameBytes;
}

void Lpc10Decoder::buf_man(const float *src, float *dst, int count)
{
    if (first) {
        std::fill(big_buffer.begin(), big_buffer.begin() + 360, 0.f);
        first = false;
    }
    const int size = static_cast<int>(big_buffer.size());
    for (int i = 0; i < count; ++i) {
        big_buffer[eptr] = src[i];
        if (++eptr == size)
            eptr = 0;
    }
    for (int i = 0; i < kFrameSamples; ++i) {
        dst[i] = big_buffer[sptr];
        if (++sptr == size)
            sptr = 0;
    }
}

void Lpc10Decoder::decodeFrame(const lpc10::FrameBits &ibits, float *out)
{
    int unusedSync = 0;
    lpc10::FrameBits bits = ibits;
    lpc10::channel(1, codes, bits, unusedSync);
    paramDecoder.decode(codes, params);
    const int k = synthesis.synths(params, speech);
    buf_man(speech.data() + 1, speech.data() + 1, k);
    std::copy(speech.begin() + 1, speech.begin() + 1 + kFrameSamples, out);
}

int16_t Lpc10Decoder::toLinear(float sample)
{
    const float x = sample * 32768.f;
    if (x >= 32767.f)
        return 32767;
    if (!(x >= -32768.f)) // also catches NaN
        return -32768;
    return static_cast<int16_t>(x);
}

int Lpc10Decoder::decode(const unsigned char *in, int16_t *out, int len, int outCapacity)
{
    if (len <= 0 || outCapacity <= 0)
        return 0;
    const int frames = std::min(len / kFrameBytes, outCapacity / kFrameSamples);
    lpc10::FrameBits ibits{};
    float samples[kFrameSamples];
    for (int f = 0; f < frames; ++f) {
        const unsigned char *src = in + f * kFrameBytes;
        for (int k = 0; k < 54; ++k)
            ibits[k + 1] = (src[k / 8] >> (k % 8)) & 1;
        decodeFrame(ibits, samples);
        int16_t *dst = out + f * kFrameSamples;
        for (int i = 0; i < kFrameSamples; ++i)
            dst[i] = toLinear(samples[i]);
    }
    return frames * kFrameSamples;
}
