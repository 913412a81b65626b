#include "audio/codec_states.h"

EncoderState sendCodec;
DecoderState receiveCodec;

bool initEncoderState(EncoderState &state)
{
    state.lpc10.reset();
    if (!state.gsmh)
        state.gsmh = gsm_create();
    return state.gsmh != nullptr;
}

bool initDecoderState(DecoderState &state)
{
    state.lpc10.reset();
    if (!state.gsmh)
        state.gsmh = gsm_create();
    return state.gsmh != nullptr;
}

void freeEncoderState(EncoderState &state)
{
    if (state.gsmh)
        gsm_destroy(state.gsmh);
    state.gsmh = nullptr;
}

void freeDecoderState(DecoderState &state)
{
    if (state.gsmh)
        gsm_destroy(state.gsmh);
    state.gsmh = nullptr;
}

bool createCodecStates()
{
    const bool enc = initEncoderState(sendCodec);
    const bool dec = initDecoderState(receiveCodec);
    return enc && dec;
}

void releaseCodecStates()
{
    freeEncoderState(sendCodec);
    freeDecoderState(receiveCodec);
}
