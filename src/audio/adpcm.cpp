#include "audio/adpcm.h"

#include "audio/ulaw.h"

#include <algorithm>

namespace {

constexpr int indexTable[16] = {
    -1, -1, -1, -1, 2, 4, 6, 8,
    -1, -1, -1, -1, 2, 4, 6, 8,
};

constexpr int stepsizeTable[89] = {
    7, 8, 9, 10, 11, 12, 13, 14, 16, 17,
    19, 21, 23, 25, 28, 31, 34, 37, 41, 45,
    50, 55, 60, 66, 73, 80, 88, 97, 107, 118,
    130, 143, 157, 173, 190, 209, 230, 253, 279, 307,
    337, 371, 408, 449, 494, 544, 598, 658, 724, 796,
    876, 963, 1060, 1166, 1282, 1411, 1552, 1707, 1878, 2066,
    2272, 2499, 2749, 3024, 3327, 3660, 4026, 4428, 4871, 5358,
    5894, 6484, 7132, 7845, 8630, 9493, 10442, 11487, 12635, 13899,
    15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767,
};

int clampIndex(int i) { return std::clamp(i, 0, 88); }
int clampSample(int p) { return std::clamp(p, -32768, 32767); }

} // namespace

void adpcm_coder_u(const unsigned char *in, unsigned char *out, int len, adpcm_state *state)
{
    int p = state->valprev;
    int i = clampIndex(state->index);
    int s = stepsizeTable[i];
    int pending = 0;
    bool havePending = false;

    for (int n = 0; n < len; ++n) {
        int d = u2s[in[n]] - p;
        int sign = 0;
        if (d < 0) {
            sign = 8;
            d = -d;
        }
        int code = 0;
        int q = s >> 3;
        if (d >= s) {
            code = 4;
            d -= s;
            q += s;
        }
        s >>= 1;
        if (d >= s) {
            code |= 2;
            d -= s;
            q += s;
        }
        s >>= 1;
        if (d >= s) {
            code |= 1;
            q += s;
        }
        p = clampSample(sign ? p - q : p + q);
        code |= sign;
        i = clampIndex(i + indexTable[code]);
        s = stepsizeTable[i];

        // The input byte n has been read, so writing byte n / 2 is safe in place.
        if (havePending) {
            *out++ = static_cast<unsigned char>((pending << 4) | code);
            havePending = false;
        } else {
            pending = code;
            havePending = true;
        }
    }
    if (havePending)
        *out = static_cast<unsigned char>(pending << 4);

    state->valprev = static_cast<int16_t>(p);
    state->index = static_cast<int8_t>(i);
}

void adpcm_decoder_u(const unsigned char *in, unsigned char *out, int len, adpcm_state *state)
{
    int p = state->valprev;
    int i = clampIndex(state->index);
    int s = stepsizeTable[i];

    for (int n = 0; n < len; ++n) {
        const int code = (n & 1) ? (in[n >> 1] & 0x0F) : (in[n >> 1] >> 4);
        // The new step applies from the next code on.
        i = clampIndex(i + indexTable[code]);
        int q = s >> 3;
        if (code & 4)
            q += s;
        if (code & 2)
            q += s >> 1;
        if (code & 1)
            q += s >> 2;
        p = clampSample((code & 8) ? p - q : p + q);
        s = stepsizeTable[i];
        out[n] = s2u[static_cast<uint16_t>(p) >> 3];
    }

    state->valprev = static_cast<int16_t>(p);
    state->index = static_cast<int8_t>(i);
}
