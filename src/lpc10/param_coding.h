// LPC-10 parameter quantisation, bit allocation, Hamming protection and the
// decoder's error correction and smoothing.
#pragma once

#include <array>

namespace lpc10 {

// Five places where US Federal Standard 1015 (LPC-10e) differs from this
// codec. The codec never uses them: its pre-emphasis is matched by the
// synthesis de-emphasis, and peers expect its frames. They exist only so that
// tests and the benchmark can check the analysis bit for bit against an
// independent LPC-10e coder, one rule at a time if need be.
struct Fs1015Rules {
    // Pre-emphasis 1 - 0.9375 z^-1 in place of 1 - z^-1 + 0.4 z^-2.
    bool preemphasis = false;
    // The 31-tap low-pass ends at the newest sample (n-30..n), not at n-2.
    bool lowpassToNewest = false;
    // The voicing classifier's scaled unvoiced sums start at 187 and 93, not 0.
    bool unvoicedSumsPreset = false;
    // RC3..RC10 are halved by truncating division, not by a shift.
    bool rcHalvingTruncates = false;
    // An odd RMS search position 2m + 1 gives the code 31 - m, not 30 - m.
    bool rmsOddRoundsUp = false;

    static constexpr Fs1015Rules all() { return {true, true, true, true, true}; }
};

// One frame's vocoder parameters, as the analysis delivers them (pitch is an
// index 1..60 into tau) or as the decoder hands them to the synthesis (pitch
// is a period in samples). Arrays are numbered from 1; element 0 is unused.
struct FrameParams {
    std::array<int, 3> voice{};
    int pitch = 0;
    float rms = 0.f;
    std::array<float, 11> rc{};
};

// Quantised parameters of one frame; irc is numbered from 1.
struct FrameCodes {
    int ipitv = 0;
    int irms = 0;
    std::array<int, 11> irc{};
};

// The 54 coded bits of a frame in slots 1..54 (slot 0 unused), one per slot.
using FrameBits = std::array<int, 55>;

// Quantises a parameter set (pitch as an index 1..60).
FrameCodes encode(const FrameParams &params, Fs1015Rules rules = {});

// Direction 0 spreads the codes over bits 1..53 and puts the synchronisation
// bit (then toggled) into bit 54; direction 1 gathers bits 1..53 back into the
// codes with sign extension. Other directions do nothing.
void channel(int direction, FrameCodes &codes, FrameBits &ibits, int &isync);

// Decodes one 8-bit Hamming word: the 4 data bits, or -1 for a double error.
// The error counter is left as it is (see ParamDecoder::decode).
int ham84(int input, int &errcount);

// Median of three.
int median(int d1, int d2, int d3);

// Error correction, three-frame smoothing and de-quantisation. Holds the
// decoder's parameter history.
class ParamDecoder {
public:
    ParamDecoder() = default;
    // Zeroes the three-frame history; the voicing memory, the error rate and
    // the first-frame flag keep their values.
    void reset();

    // Decodes the codes of a received frame into the parameters of the frame
    // received before it (the current frame's codes on the very first call).
    // codes.irms and codes.irc are used as working storage. On the first call
    // out.pitch keeps the value it had.
    void decode(FrameCodes &codes, FrameParams &out);

    int errorRate() const { return erate; }

private:
    std::array<int, 3> dpit{};
    std::array<int, 3> drms{};
    std::array<std::array<int, 3>, 11> drc{};
    int ivp2h = 0;
    int iovoic = 0;
    int erate = 0;
    bool first = true;
};

} // namespace lpc10
