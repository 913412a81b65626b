#include "audio/codec_framing.h"

#include "audio/engine_state.h"
#include "audio/ulaw.h"

#include <algorithm>
#include <cstring>

namespace {

unsigned char *payload(unsigned char *packet) { return packet + kPacketHeaderSize; }

} // namespace

void gsmcomp(unsigned char *packet, EncoderState &state)
{
    unsigned char *data = payload(packet);
    const int n = std::clamp(packetPayloadLength(packet), 0, kMaxPayload);
    int out = 2;
    int frames = 0;
    gsm_signal samples[kGsmFrameSamples];
    for (int p = 0; p < n; p += kGsmFrameSamples) {
        for (int i = 0; i < kGsmFrameSamples; ++i)
            samples[i] = p + i < n ? u2s[data[p + i]] : 0;
        // Frame k lands at 2 + 33k, behind its input at 160k: in place is safe.
        gsm_encode(state.gsmh, samples, data + out);
        out += kGsmFrameBytes;
        ++frames;
    }
    data[0] = static_cast<unsigned char>((n >> 8) & 0xFF);
    data[1] = static_cast<unsigned char>(n & 0xFF);
    setPacketPayloadLength(packet, 2 + kGsmFrameBytes * frames);
}

int gsmdecomp(unsigned char *packet, DecoderState &state)
{
    unsigned char *data = payload(packet);
    const int length = std::clamp(packetPayloadLength(packet), 0, kMaxPayload);
    if (length < 2) {
        // Not even a sample count: nothing to play.
        setPacketPayloadLength(packet, 0);
        return 0;
    }
    int count = static_cast<int16_t>((data[0] << 8) | data[1]);
    if (count <= 0 || count > kGsmMaxCount)
        count = kGsmMaxCount;

    // Only whole frames are decoded, and no more than the decode area holds.
    constexpr int maxFrames = kMaxPayload / kGsmFrameSamples;
    gsm_signal samples[kGsmFrameSamples];
    int frames = 0;
    for (int p = 0; p + kGsmFrameBytes <= length - 2 && frames < maxFrames; p += kGsmFrameBytes) {
        gsm_decode(state.gsmh, data + 2 + p, samples);
        unsigned char *dst = state.dcb + frames * kGsmFrameSamples;
        for (int i = 0; i < kGsmFrameSamples; ++i)
            dst[i] = s2u[static_cast<uint16_t>(samples[i]) >> 3];
        ++frames;
    }
    std::memcpy(data, state.dcb, static_cast<size_t>(count));
    setPacketPayloadLength(packet, count);
    return count;
}

void adpcmcomp(unsigned char *packet, EncoderState &state)
{
    unsigned char *data = payload(packet);
    // Room for the 3-byte trailer behind n / 2 code bytes.
    const int n = std::clamp(packetPayloadLength(packet), 0, kMaxPayload);
    const adpcm_state before = state.adpcm;
    adpcm_coder_u(data, data, n, &state.adpcm);
    const int m = n / 2;
    const auto predicted = static_cast<uint16_t>(before.valprev);
    data[m] = static_cast<unsigned char>(predicted >> 8);
    data[m + 1] = static_cast<unsigned char>(predicted & 0xFF);
    data[m + 2] = static_cast<unsigned char>(before.index);
    setPacketPayloadLength(packet, m + 3);
}

int adpcmdecomp(unsigned char *packet, DecoderState &state)
{
    unsigned char *data = payload(packet);
    const int length = std::clamp(packetPayloadLength(packet), 0, kMaxPayload);
    if (length < 3) {
        setPacketPayloadLength(packet, 0);
        return 0;
    }
    adpcm_state start;
    start.valprev = static_cast<int16_t>((data[length - 3] << 8) | data[length - 2]);
    const int index = data[length - 1];
    if (index > 88) {
        setPacketPayloadLength(packet, 0);
        return 0;
    }
    start.index = static_cast<int8_t>(index);
    const int m = std::min(length - 3, kAdpcmMaxCodeBytes);
    adpcm_decoder_u(data, state.dob, 2 * m, &start);
    std::memcpy(data, state.dob, static_cast<size_t>(2 * m));
    setPacketPayloadLength(packet, 2 * m);
    return 2 * m;
}

void lpc10comp(unsigned char *packet, EncoderState &state)
{
    setPacketCodec(packet, packetCodec(packet) | kCodecLpc10);
    // At most as many samples as make whole frames within the payload area.
    constexpr int maxSamples = kMaxPayload / kLpc10FrameSamples * kLpc10FrameSamples; // 6300
    const int n = std::clamp(packetPayloadLength(packet), 0, maxSamples);
    unsigned char *data = payload(packet);
    int16_t linear[maxSamples];
    for (int i = 0; i < n; ++i)
        linear[i] = u2s[data[i]];
    setPacketPayloadLength(packet, state.lpc10.encode(linear, data, n));
}

int lpc10decomp(unsigned char *packet, DecoderState &state)
{
    unsigned char *data = payload(packet);
    const int length = std::clamp(packetPayloadLength(packet), 0, kMaxPayload);
    int16_t linear[kLpc10MaxFrames * kLpc10FrameSamples];
    const int k = state.lpc10.decode(data, linear, length, kLpc10MaxFrames * kLpc10FrameSamples);
    for (int i = 0; i < k; ++i)
        data[i] = s2u[static_cast<uint16_t>(linear[i]) >> 3];
    setPacketPayloadLength(packet, k);
    return k;
}

void compressPacket(unsigned char *packet, EncoderState &state, SpeechCodec codec)
{
    switch (codec) {
    case SpeechCodec::Gsm:
    case SpeechCodec::LdGsm:
        gsmcomp(packet, state);
        break;
    case SpeechCodec::Adpcm:
        adpcmcomp(packet, state);
        break;
    case SpeechCodec::Lpc10:
        lpc10comp(packet, state);
        break;
    case SpeechCodec::Ulaw:
        break;
    }
}

int decompressPacket(unsigned char *packet, DecoderState &state)
{
    const uint32_t codec = packetCodec(packet);
    if (codec & kCodecLpc10)
        lpc10decomp(packet, state);
    if (codec & kCodecGsm)
        gsmdecomp(packet, state);
    if (codec & kCodecAdpcm)
        adpcmdecomp(packet, state);
    return std::clamp(packetPayloadLength(packet), 0, kMaxPayload);
}
