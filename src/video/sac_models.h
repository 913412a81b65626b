// Cumulative-frequency models of the arithmetic-coded H.263 syntax and the
// tables that turn a decoded symbol index into its syntax value.
#pragma once

#include <span>

namespace kv::video {

// One model: cumf[0] is the total 16383, the following counts decrease and
// the last is 0, so k + 1 counts code k symbols. An empty cumf means the
// model is not available in this build.
struct SacModel {
    std::span<const int> cumf;
    std::span<const int> values;  // symbol index -> syntax value
    bool available() const { return !cumf.empty(); }
};

// Every model the arithmetic-coded syntax uses. Tests may build their own set
// (with stand-in counts for the models this build lacks) and hand it to the
// decoder.
struct SacModelSet {
    SacModel cod, mcbpc, mcbpcIntra, modb, ycbpb, uvcbpb, cbpy, cbpyIntra, dquant, mvd, intradc,
        tcoef1, tcoef2, tcoef3, tcoefr, tcoef1Intra, tcoef2Intra, tcoef3Intra, tcoefrIntra,
        sign, last, lastIntra, run, runIntra, level, levelIntra;
    bool complete() const;  // every model available
};

// The models this build knows. The large ones (MCBPC, CBPY, MVD, INTRADC,
// TCOEF, RUN, LEVEL and their intra variants) carry their value tables but no
// counts: their frequency tables are not available to us, so pictures that
// need them cannot be decoded.
const SacModelSet &builtinSacModels();

}  // namespace kv::video
