// State set-up of the codec: construction gives the load-time values, and
// reset() is what the device set-up does once per start (lpc10init).
#include "lpc10/lpc10.h"

namespace lpc10 {

void Analyzer::reset()
{
    inbuf = {};
    pebuf = {};
    lpbuf = {};
    ivbuf = {};
    vwin[3] = {307, 462};
    awin[3] = {307, 462};
    vwin[2] = {0, 0};
    awin[2] = {0, 0};
    rcbuf = {};
    rmsbuf = {};
    amdf = {};
    voibuf[1][0] = 0;
    voibuf[2][0] = 0;
    s = {};
    p = {};
}

} // namespace lpc10

Lpc10Encoder::Lpc10Encoder(lpc10::Fs1015Rules r) : rules(r), analysis(r)
{
    reset();
}

void Lpc10Encoder::reset()
{
    analysis.reset();
}

Lpc10Decoder::Lpc10Decoder()
{
    reset();
}

void Lpc10Decoder::reset()
{
    synthesis.reset();
    paramDecoder.reset();
}
