// IMA ADPCM on u-law samples: 4 bits per sample, two codes per byte, the
// earlier sample in the high nibble.
#pragma once

#include <cstdint>

struct adpcm_state {
    int16_t valprev = 0; // predicted value
    int8_t index = 0;    // step index, 0 to 88
};

// Encodes len u-law bytes from in into (len + 1) / 2 code bytes at out; out
// may be in. Updates state to the state after the last sample.
void adpcm_coder_u(const unsigned char *in, unsigned char *out, int len, adpcm_state *state);

// Decodes len codes from the bytes at in into len u-law bytes at out.
// A step index outside 0..88 in state is clamped before use.
void adpcm_decoder_u(const unsigned char *in, unsigned char *out, int len, adpcm_state *state);
