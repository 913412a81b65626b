// LPC-10 pitch-synchronous synthesis: epochs, excitation, lattice-to-direct
// conversion, the all-zero/all-pole filter pair and de-emphasis.
#pragma once

#include "lpc10/param_coding.h"

#include <array>

namespace lpc10 {

// Largest number of samples one frame can yield: the span to fill is the
// carried-over part of a period (below 156) plus 180.
inline constexpr int kMaxSynthSamples = 335;
// Epochs per frame that the epoch arrays hold.
inline constexpr int kMaxEpochs = 11;

class Synthesizer {
public:
    Synthesizer() = default;

    // Zeroes the excitation and filter histories, the epoch arrays and the
    // predictor; the scalar memories keep their values.
    void reset();

    // Synthesises the frame described by params (pitch as a period; pitch and
    // rc are clamped in place, rms raised to at least 1) into speech[1..k],
    // scaled so that full scale is about 1.0. Returns k (0 to 335).
    int synths(FrameParams &params, std::array<float, kMaxSynthSamples + 1> &speech);

    // The epochs of the last frame (numbered from 1), for inspection.
    int epochCount() const { return nout; }
    int epochLength(int j) const { return ipiti[j]; }
    int epochVoicing(int j) const { return ivuv[j]; }
    float epochRms(int j) const { return rmsi[j]; }
    // Epochs that did not fit into the epoch arrays since construction.
    long droppedEpochs() const { return dropped; }

    // Pseudo-random 16-bit generator of the excitation noise.
    int Rrandom();

    // Converts reflection coefficients rc[1..10] to predictor coefficients
    // pc[1..10]; returns the all-zero filter gain gprime * sqrt(prod(1 - rc^2)).
    static float irc2pc(const std::array<float, 11> &rc, std::array<float, 11> &pc, float gprime);

private:
    void pitsyn(FrameParams &params, float &ratio);
    void addEpoch(int length, int voiced, float rmsValue, const std::array<float, 11> &rcValue);
    void generateEpochs(int start, int lsamp, int vflag, float slope, int ulen,
                        const std::array<float, 11> &target, float rms, int &covered, int &pitch);
    void bsynz(int ip, int iv, float rms, float ratio, float g2);
    void deemp0(float *x, int n);

    // Epoch arrays of the current frame (index 1..11).
    std::array<int, kMaxEpochs + 1> ivuv{};
    std::array<int, kMaxEpochs + 1> ipiti{};
    std::array<float, kMaxEpochs + 1> rmsi{};
    std::array<std::array<float, kMaxEpochs + 1>, 11> rci{};
    int nout = 0;
    long dropped = 0;
    std::array<float, 11> pc{};
    std::array<float, 180> sout{};

    // pitsyn
    int ivoico = 0;
    int ipito = 0;
    float rmso = 0.f;
    std::array<float, 11> rco{};
    std::array<float, 11> yarc{};
    int jsamp = 0;
    bool firstFrame = true;

    // bsynz
    int ipo = 0;
    float bsynzRmso = 0.f;
    float lpi1 = 0.f, lpi2 = 0.f;
    float hpi1 = 0.f, hpi2 = 0.f;
    std::array<float, 166> exc{};
    std::array<float, 166> exc2{};

    // deemp0
    float dei1 = 0.f, dei2 = 0.f;
    float deo1 = 0.f, deo2 = 0.f, deo3 = 0.f, deo4 = 0.f;

    // Rrandom
    std::array<int, 5> ry = {-21161, -8478, 30892, -10216, 16950};
    int rj = 1;
    int rk = 4;
};

} // namespace lpc10
