// LPC-10 speech codec at 2400 bit/s (LPC-10e): 180 linear 16-bit samples of
// 8 kHz speech become one 7-byte frame and back.
//
// A coded frame carries 54 bits; bit k (0..53) is bit k % 8 of byte k / 8
// (bit 0 the least significant), so bits 6 and 7 of the last byte are 0.
// Bit 53 is a synchronisation bit that alternates from frame to frame.
//
// The encoder and the decoder each keep all of their history in their own
// object. Each object carries one stream: frames of two streams must never be
// interleaved through the same object.
#pragma once

#include "lpc10/analysis.h"
#include "lpc10/param_coding.h"
#include "lpc10/synthesis.h"

#include <array>
#include <cstdint>

class Lpc10Encoder {
public:
    static constexpr int kFrameSamples = 180;
    static constexpr int kFrameBytes = 7;

    // The comparison rules are for checks against another LPC-10e coder only.
    explicit Lpc10Encoder(lpc10::Fs1015Rules rules = {});

    // The per-device reset (lpc10init): clears the analysis buffers and
    // histories. Filter memories, the DC estimate, the voicing averages and
    // the synchronisation bit run on.
    void reset();

    // Encodes n samples at in into 7 bytes per 180 samples at out and
    // returns the number of coded bytes. A last partial frame is completed
    // with silence. A count of 0 or less encodes nothing.
    int encode(const int16_t *in, unsigned char *out, int n);

    // Encodes one frame of 180 samples (full scale about +-1.0) into bits
    // 1..54 of ibits. The result describes the samples given three calls
    // earlier.
    void encodeFrame(const float *speech, lpc10::FrameBits &ibits);

    // The analysed parameters and their codes of the last frame.
    const lpc10::FrameParams &lastParams() const { return params; }
    const lpc10::FrameCodes &lastCodes() const { return codes; }
    const lpc10::Analyzer &analyzer() const { return analysis; }

private:
    lpc10::Fs1015Rules rules;
    lpc10::Analyzer analysis;
    lpc10::FrameParams params;
    lpc10::FrameCodes codes;
    int isync = 0;
};

class Lpc10Decoder {
public:
    static constexpr int kFrameSamples = 180;
    static constexpr int kFrameBytes = 7;
    // The decode area of the codec framing holds 35 frames.
    static constexpr int kMaxFrames = 35;
    static constexpr int kMaxOutput = kMaxFrames * kFrameSamples;

    Lpc10Decoder();

    // The per-device reset (lpc10init): clears the parameter smoothing and
    // the synthesis filter histories. The output ring, the voicing memory
    // and the random generator run on.
    void reset();

    // Decodes len / 7 frames of 7 bytes into 180 samples each and returns
    // the number of samples written. Trailing bytes that do not make a whole
    // frame are ignored. Never writes more than outCapacity samples: frames
    // beyond outCapacity / 180 are not decoded at all.
    int decode(const unsigned char *in, int16_t *out, int len, int outCapacity = kMaxOutput);

    // Decodes the bits 1..53 of one frame into 180 samples (full scale about
    // +-1.0) as they leave the output ring.
    void decodeFrame(const lpc10::FrameBits &ibits, float *speech);

    // Converts one decoded sample (full scale about +-1.0) to 16 bits:
    // clipped to the 16-bit range, otherwise truncated toward zero.
    static int16_t toLinear(float sample);

    const lpc10::FrameParams &lastParams() const { return params; }
    const lpc10::Synthesizer &synthesizer() const { return synthesis; }

private:
    void buf_man(const float *src, float *dst, int count);

    lpc10::ParamDecoder paramDecoder;
    lpc10::Synthesizer synthesis;
    lpc10::FrameCodes codes;
    lpc10::FrameParams params;
    std::array<float, lpc10::kMaxSynthSamples + 1> speech{};

    // Output ring: a fixed delay of 360 samples evens out the variable
    // number of samples each frame synthesises.
    std::array<float, 600> big_buffer{};
    int eptr = 360;
    int sptr = 0;
    bool first = true;
};
