#include "audio/send.h"

#include "audio/codec_framing.h"
#include "audio/engine_state.h"
#include "audio/media_packet.h"
#include "audio/sound_device.h"
#include "audio/ulaw.h"
#include "core/ui_ops.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cerrno>
#include <string>
#include <netinet/in.h>
#include <unistd.h>

namespace {

std::atomic<int> useSendNotSendto{0};

constexpr uint16_t kAudioPort = 2047;
constexpr int kMaxBlockBytes = 7200;

} // namespace

int inputSampleCount(SpeechCodec codec)
{
    switch (codec) {
    case SpeechCodec::Lpc10:
        return 3600;
    case SpeechCodec::Gsm:
        return 3200;
    case SpeechCodec::LdGsm:
        return 160;
    case SpeechCodec::Adpcm:
        return 1800;
    case SpeechCodec::Ulaw:
        break;
    }
    return 488;
}

void processAudioBuffer(const unsigned char *buf, int len, SpeechCodec codec)
{
    unsigned char *out = sendAudioBuffer + kPacketHeaderSize;
    const int bytesPerSample = bitsPerSample / 8;
    const int samples = std::min(len / bytesPerSample, kMaxPayload);

    auto ulawOf = [&](int i) -> unsigned char {
        if (bytesPerSample == 2) {
            int16_t s;
            std::memcpy(&s, buf + 2 * i, 2);
            return s2u[static_cast<uint16_t>(s) >> 3];
        }
        return s2u[(buf[i] ^ 0x80) * 32 + 15];
    };

    // The device runs at 8000 samples per second: one u-law byte per sample.
    for (int i = 0; i < samples; ++i)
        out[i] = ulawOf(i);
    setPacketPayloadLength(sendAudioBuffer, samples);
    compressPacket(sendAudioBuffer, sendCodec, codec);
}

int sendAudioPacket(int sock, const struct sockaddr *address, socklen_t addressLength)
{
    const int payloadLength = std::clamp(packetPayloadLength(sendAudioBuffer), 0, kMaxPayload);
    const size_t length = static_cast<size_t>(kPacketHeaderSize + payloadLength);
    revINT32(sendAudioBuffer + kOffCodec);
    revINT32(sendAudioBuffer + kOffPayloadLength);
    if (useSendNotSendto == 0) {
        if (sendto(sock, sendAudioBuffer, length, 0, address, addressLength) < 0)
            useSendNotSendto = 1;
    }
    if (useSendNotSendto == 1)
        send(sock, sendAudioBuffer, length, 0);
    revINT32(sendAudioBuffer + kOffCodec);
    revINT32(sendAudioBuffer + kOffPayloadLength);
    return 1;
}

void sendAudio(uint32_t peer, SpeechCodec codec, const std::atomic<bool> &stop)
{
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) {
        perror("open audio send socket");
        return;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = 0;
    if (bind(sock, reinterpret_cast<sockaddr *>(&local), sizeof local) < 0) {
        perror("binding audio send socket");
        close(sock);
        return;
    }
    sockaddr_in dest{};
    dest.sin_family = AF_INET;
    dest.sin_port = htons(kAudioPort);
    if (peer != 0) {
        dest.sin_addr.s_addr = peer;
        if (connect(sock, reinterpret_cast<sockaddr *>(&dest), sizeof dest) < 0) {
            perror("connecting audio send socket");
            close(sock);
            return;
        }
        char dotted[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &dest.sin_addr, dotted, sizeof dotted);
        printf("Sending to host %s\n", dotted);
    }

    setPacketCodec(sendAudioBuffer, codecWord(codec));
    const int blockBytes = inputSampleCount(codec) * bitsPerSample / 8;
    auto *capture = static_cast<unsigned char *>(malloc(kMaxBlockBytes));
    if (!capture) {
        perror("malloc for audio buffer");
        close(sock);
        return;
    }

    while (!stop) {
        EngineUse use;
        if (!use)
            break;
        if (audioRead(handle, capture, static_cast<size_t>(blockBytes)) < 0) {
            const int error = errno;
            perror("audio read");
            messageBox("No Sound Input", (std::string("The microphone could not be read (") + strerror(error) +
                                          "), so the call sends nothing.\nCheck that a sound device exists and "
                                          "that no other program holds it, then restart Kestrelvox.")
                                             .c_str());
            break;
        }
        processAudioBuffer(capture, blockBytes, codec);
        sendAudioPacket(sock, reinterpret_cast<sockaddr *>(&dest), sizeof dest);
    }

    free(capture);
    close(sock);
    printf("Audio transmission process exited gracefully\n");
}
