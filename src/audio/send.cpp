#include "audio/send.h"

#include "audio/codec_framing.h"
#include "audio/engine.h"
#include "audio/media_packet.h"
#include "audio/sound_device.h"
#include "audio/ulaw.h"
#include "directory/settings.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <thread>
#include <unistd.h>

namespace {

std::atomic<int> useSendNotSendto{0};
std::atomic<bool> captureBusy{false};

constexpr uint16_t kAudioPort = 2047;
constexpr int kMaxBlockBytes = 7200;
// A running transmission ends after its current block (at most 450 ms).
constexpr int kHandOverWaitMs = 2000;

} // namespace

bool acquireCapture(int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        bool expected = false;
        if (captureBusy.compare_exchange_strong(expected, true))
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void releaseCapture()
{
    captureBusy = false;
}

int inputSampleCount()
{
    if (lpc10compress)
        return 3600;
    if (gsmcompress)
        return 3200;
    if (ldgsmcompress)
        return 160;
    if (adpcmcompress)
        return 1800;
    return 488;
}

void processAudioBuffer(const unsigned char *buf, int len)
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

    if (samplesPerSecond == 8000) {
        for (int i = 0; i < samples; ++i)
            out[i] = ulawOf(i);
        setPacketPayloadLength(sendAudioBuffer, samples);
    } else if (samplesPerSecond == 11025) {
        // Decimate towards 8000: of every 11 samples drop phases 2, 6 and 10,
        // and every 580th sample of the block.
        int n = 0;
        int j = 0;
        for (int i = 0; i < samples; ++i) {
            if ((n & 3) != 2 && i % 580 != 579)
                out[j++] = ulawOf(i);
            n = (n + 1) % 11;
        }
        setPacketPayloadLength(sendAudioBuffer, j);
    }
    compressPacket(sendAudioBuffer, sendCodec);
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

void *sendAudio(void *)
{
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) {
        perror("open audio send socket");
        return nullptr;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = 0;
    if (bind(sock, reinterpret_cast<sockaddr *>(&local), sizeof local) < 0) {
        perror("binding audio send socket");
        close(sock);
        return nullptr;
    }
    sockaddr_in dest{};
    dest.sin_family = AF_INET;
    dest.sin_port = htons(kAudioPort);
    const uint32_t peer = hostIP;
    if (peer != 0) {
        dest.sin_addr.s_addr = peer;
        if (connect(sock, reinterpret_cast<sockaddr *>(&dest), sizeof dest) < 0) {
            perror("connecting audio send socket");
            close(sock);
            return nullptr;
        }
        printf("Sending to host %s\n", inet_ntoa(dest.sin_addr));
    }

    // Wait for a transmission that is being replaced, or give up if the
    // capture side stays busy (a recording).
    if (!acquireCapture(kHandOverWaitMs)) {
        printf("Audio device busy: not sending to host %s\n", inet_ntoa(dest.sin_addr));
        close(sock);
        return nullptr;
    }

    setPacketCodec(sendAudioBuffer, selectedCodecWord());
    const int blockBytes = inputSampleCount() * bitsPerSample / 8;
    auto *capture = static_cast<unsigned char *>(malloc(kMaxBlockBytes));
    if (!capture) {
        perror("malloc for audio buffer");
        releaseCapture();
        close(sock);
        return nullptr;
    }

    machineState = kStateTransmitting;
    exitSendAudio = 0;
    while (exitSendAudio == 0) {
        EngineUse use;
        if (!use)
            break;
        if (audioRead(handle, capture, static_cast<size_t>(blockBytes)) < 0) {
            perror("audio read");
            exitSendAudio = 1;
            break;
        }
        processAudioBuffer(capture, blockBytes);
        sendAudioPacket(sock, reinterpret_cast<sockaddr *>(&dest), sizeof dest);
    }

    free(capture);
    close(sock);
    machineState = kStateIdle;
    releaseCapture();
    printf("Audio transmission process exited gracefully\n");
    return nullptr;
}

void newConnection(const char *name)
{
    const uint32_t address = GetAddr(name);
    if (address == 0) {
        printf("%s is not a valid IP address\n", name ? name : "");
        return;
    }
    if (machineState == kStateRecording) {
        printf("Recording a voice file: not sending to host %s\n", name);
        return;
    }
    // One transmission at a time: the running one ends after its block and
    // the new thread takes over the capture side when it has.
    exitSendAudio = 1;
    hostIP = address;
    if (!startWorker(&ptAudioSendID, sendAudio))
        printf("Unable to create audio transmitting thread\n");
}
