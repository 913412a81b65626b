// Each codec's payload inside a media packet. Encoders work in place on a
// packet whose payload holds n u-law samples (n = payload length); decoders
// work in place on a received packet and leave u-law samples there.
#pragma once

#include "audio/codec_states.h"
#include "audio/engine_state.h"

constexpr int kGsmFrameSamples = 160;
constexpr int kGsmFrameBytes = 33;
constexpr int kGsmMaxCount = 3200;
constexpr int kAdpcmMaxCodeBytes = kMaxPayload / 2;
constexpr int kLpc10FrameSamples = 180;
constexpr int kLpc10FrameBytes = 7;
constexpr int kLpc10MaxFrames = 35;

// GSM 06.10 (also LD-GSM): a big-endian 16-bit sample count, then
// ceil(n / 160) frames of 33 bytes.
void gsmcomp(unsigned char *packet, EncoderState &state);
// IMA ADPCM: n / 2 code bytes, then the coder state before this packet
// (predicted value high, low, step index).
void adpcmcomp(unsigned char *packet, EncoderState &state);
// LPC-10: 7 bytes per 180 samples.
void lpc10comp(unsigned char *packet, EncoderState &state);

// Decoders return the new payload length. The payload length in the header
// must already be checked to lie within 0 and kMaxPayload. Payloads that
// would decode beyond the decode areas are cut to whole frames that fit; an
// ADPCM trailer with a step index outside 0..88 drops the packet (length 0).
int gsmdecomp(unsigned char *packet, DecoderState &state);
int adpcmdecomp(unsigned char *packet, DecoderState &state);
int lpc10decomp(unsigned char *packet, DecoderState &state);

// Applies codec's encoder in place.
void compressPacket(unsigned char *packet, EncoderState &state, SpeechCodec codec);
// Applies every decoder whose bit is set in the packet's codec word, in the
// order LPC-10, GSM, ADPCM; returns the number of u-law samples left.
int decompressPacket(unsigned char *packet, DecoderState &state);
