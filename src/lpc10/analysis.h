// LPC-10 speech analysis: high-pass, pre-emphasis, onset detection, window
// placement, AMDF pitch search, voicing classification with smoothing,
// dynamic-programming pitch tracking and covariance-method LPC.
#pragma once

#include "lpc10/param_coding.h"

#include <array>

namespace lpc10 {

// A window in analysis-buffer sample numbers (lower and upper bound).
struct Window {
    int lo = 0;
    int hi = 0;
};

class Analyzer {
public:
    explicit Analyzer(Fs1015Rules r = {}) : rules(r) {}

    // Zeroes the analysis buffers and histories and sets the newest frame's
    // voicing and analysis windows to 307..462; filter memories, the DC bias,
    // the onset detector, the pitch tracker's smoothing and the voicing
    // classifier's averages keep their values.
    void reset();

    // 100 Hz high-pass filter over 180 samples in place.
    void hp100(float *speech);

    // Analyses 180 new samples (full scale about 1.0) and returns the
    // parameters of the frame that came in three calls earlier.
    void analys(const float *speech, FrameParams &out);

    // Inspection of the newest frame, for tests.
    float dcBias() const { return bias; }
    Window voicingWindow() const { return vwin[3]; }
    Window analysisWindow() const { return awin[3]; }
    Window energyWindow() const { return ewin[3]; }
    int onsetFlags() const { return obound[3]; }
    int onsetCount() const { return osptr - 1; }

private:
    Fs1015Rules rules;
    void preemp();
    void onset();
    void placev();
    void lpfilt31();
    void ivfilt();
    void tbdm();
    void voicin(int half);
    struct VoicingParams {
        float zc, lbe, fbe, qs, rc1, ar_b, ar_f;
    };
    VoicingParams vparms(int half) const;
    float difmag(const int *lags, int count, int &minptr, int &maxptr, float *out) const;
    void dyptrk(int voiced, int &pitch, int &midx);
    void placea(int ipitch);
    void lpcAnalysis();

    // Analysis buffers, indexed by sample number (only the stated ranges are
    // used: inbuf and pebuf 181..720, lpbuf 25..720, ivbuf 229..540).
    std::array<float, 721> inbuf{};
    std::array<float, 721> pebuf{};
    std::array<float, 721> lpbuf{};
    std::array<float, 721> ivbuf{};

    // Per-frame histories, frames 1 (oldest) to 3 (newest); voibuf has
    // frames 0 to 3 and halves 1 and 2.
    std::array<Window, 4> vwin{};
    std::array<Window, 4> awin{};
    std::array<Window, 4> ewin{};
    std::array<int, 4> obound{};
    std::array<float, 4> rmsbuf{};
    std::array<std::array<float, 4>, 11> rcbuf{};
    std::array<std::array<int, 4>, 3> voibuf{};

    std::array<int, 11> osbuf{};
    int osptr = 1;
    bool firstAnalysis = true;

    float bias = 0.f;
    float zpre1 = 0.f, zpre2 = 0.f;
    float z11 = 0.f, z21 = 0.f, z12 = 0.f, z22 = 0.f;

    // onset
    float onsetN = 0.f, onsetD = 1.f, fpc = 0.f;
    std::array<float, 17> l2buf{};
    float l2sum1 = 0.f;
    int l2ptr1 = 1, l2ptr2 = 9;
    bool hyst = false;
    int lasti = 0;

    // ivfilt result for the voicing classifier
    float ivrc2 = 0.f;

    // tbdm results
    std::array<float, 61> amdf{};
    int minptr = 1, maxptr = 1, mintau = 20;

    // voicin
    bool firstVoicin = true;
    float dither = 20.f;
    int lbve = 0, fbve = 0, lbue = 0, fbue = 0, ofbue = 0, olbue = 0;
    int sfbue = 0, slbue = 0;
    float snr = 0.f;
    float maxmin = 0.f;
    std::array<std::array<float, 4>, 3> vvalue{};

    // dyptrk
    float alphax = 0.f;
    int ipoint = 0;
    std::array<float, 61> s{};
    std::array<std::array<int, 3>, 61> p{};
};

} // namespace lpc10
