// The codec states of the program: one encoder for the outgoing direction
// (calls and recordings) and one decoder for the incoming one (received
// packets and played files). libgsm keeps its history in one state, so the
// two directions must never share one.
#pragma once

#include "audio/adpcm.h"
#include "audio/media_packet.h"
#include "lpc10/lpc10.h"

#include <gsm.h>

struct EncoderState {
    gsm gsmh = nullptr;
    adpcm_state adpcm{}; // carries over from packet to packet, never reset
    Lpc10Encoder lpc10;
};

struct DecoderState {
    gsm gsmh = nullptr;
    unsigned char dcb[kMaxPayload]{}; // GSM decode area; keeps earlier packets' samples
    unsigned char dob[kMaxPayload]{}; // ADPCM decode area
    Lpc10Decoder lpc10;
};

extern EncoderState sendCodec;
extern DecoderState receiveCodec;

// Creates the states if they do not exist yet; returns false if libgsm could
// not allocate one.
bool createCodecStates();
void releaseCodecStates();

// Fresh states for tests and tools.
bool initEncoderState(EncoderState &state);
bool initDecoderState(DecoderState &state);
void freeEncoderState(EncoderState &state);
void freeDecoderState(DecoderState &state);
