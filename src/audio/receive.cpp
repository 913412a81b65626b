#include "audio/receive.h"

#include "audio/codec_framing.h"
#include "audio/engine_state.h"
#include "audio/media_packet.h"
#include "audio/call_controller.h"
#include "audio/call_status.h"
#include "core/ui_ops.h"
#include "audio/sound_device.h"
#include "audio/ulaw.h"
#include "core/util.h"
#include "directory/address.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr uint16_t kAudioPort = 2047;
std::atomic<uint32_t> ip_addr{0};
// The last sender whose answer was refused: said once, not remembered.
std::atomic<uint32_t> refusedPeer{0};
std::atomic<bool> receiverStop{false};
std::atomic<bool> autoAnswer{true};
std::mutex playbackMutex;
// How often the receiver looks at its stop request while no datagram comes.
constexpr int kStopPollMs = 200;

// Only this host may stop the receiver: a quit datagram from elsewhere would
// silently end every later call. An address is ours when a socket can be
// bound to it.
bool isLocalAddress(uint32_t address)
{
    if ((ntohl(address) >> 24) == 127)
        return true;
    const int probe = socket(AF_INET, SOCK_DGRAM, 0);
    if (probe < 0)
        return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = address;
    const bool local = bind(probe, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(probe);
    return local;
}

} // namespace

void PlayAudio(int fd, int bits, int rate)
{
    const int n = decompressPacket(AudioBuffer, receiveCodec);
    const unsigned char *codes = AudioBuffer + kPacketHeaderSize;

    size_t size = 0;
    unsigned char *out = nullptr;
    if (rate == 11025) {
        // 8 samples become 11, plus one more every 320 inputs: 8000 -> 11025.
        out = static_cast<unsigned char *>(malloc(bits == 16 ? 19200 : 9600));
        if (!out)
            return;
        size_t count = 0;
        auto put = [&](unsigned char code) {
            if (bits == 16) {
                const int16_t s = u2s[code];
                std::memcpy(out + 2 * count, &s, 2);
            } else {
                out[count] = static_cast<unsigned char>(((static_cast<uint16_t>(u2s[code]) >> 8) + 128) & 0xFF);
            }
            ++count;
        };
        // 6400 u-law samples expand to at most 8820 + 20 samples, within 9600.
        for (int i = 0; i < n; ++i) {
            const int k = i & 7;
            put(codes[i]);
            if (k == 2 || k == 4 || k == 6)
                put(codes[i]);
            else if (i % 320 == 319)
                put(codes[i]);
        }
        size = count * static_cast<size_t>(bits / 8);
    } else {
        size = static_cast<size_t>(n) * static_cast<size_t>(bits / 8);
        out = static_cast<unsigned char *>(malloc(size > 0 ? size : 1));
        if (!out)
            return;
        for (int i = 0; i < n; ++i) {
            if (bits == 16) {
                const int16_t s = u2s[codes[i]];
                std::memcpy(out + 2 * i, &s, 2);
            } else {
                out[i] = static_cast<unsigned char>(((static_cast<uint16_t>(u2s[codes[i]]) >> 8) + 128) & 0xFF);
            }
        }
    }

    const long space = audioOutputSpace(fd);
    if (space >= 0 && static_cast<size_t>(space) < size)
        msleep(10);
    if (size > 0)
        audioWrite(fd, out, size);
    free(out);
}

bool playPacket(const unsigned char *packet, size_t length)
{
    EngineUse use;
    if (!use)
        return false;
    // The receiver and the file player share AudioBuffer and the decoder
    // state: one packet at a time.
    std::lock_guard lock(playbackMutex);
    std::memcpy(AudioBuffer, packet, std::min(length, static_cast<size_t>(kPacketSize)));
    PlayAudio(handle, bitsPerSample, samplesPerSecond);
    return true;
}

bool checkReceivedDatagram(unsigned char *datagram, ssize_t len)
{
    if (len < kPacketHeaderSize || len > kPacketSize)
        return false;
    revINT32(datagram + kOffCodec);
    revINT32(datagram + kOffPayloadLength);
    const int32_t payloadLength = packetPayloadLength(datagram);
    return payloadLength >= 0 && payloadLength <= kMaxPayload && payloadLength <= len - kPacketHeaderSize;
}

bool playReceivedDatagram(unsigned char *datagram, ssize_t len)
{
    return checkReceivedDatagram(datagram, len) && playPacket(datagram, static_cast<size_t>(len));
}

int packetSampleCount(const unsigned char *packet)
{
    const uint32_t codec = packetCodec(packet);
    const int n = std::clamp(packetPayloadLength(packet), 0, kMaxPayload);
    const unsigned char *data = packet + kPacketHeaderSize;
    // The first decoder that runs decides how many samples come out.
    if (codec & kCodecLpc10)
        return n / 7 * 180;
    if (codec & kCodecGsm)
        return n >= 2 ? std::min((data[0] << 8 | data[1]), 3200) : 0;
    if (codec & kCodecAdpcm)
        return n > 3 ? 2 * (n - 3) : 0;
    return n;
}

PlaybackQueue::PlaybackQueue() : slots_(static_cast<size_t>(kSlots) * kPacketSize) {}

void PlaybackQueue::push(const unsigned char *packet, size_t length)
{
    if (count_ == kSlots) {
        pop();
        ++dropped_;
    }
    const int slot = (head_ + count_) % kSlots;
    length = std::min(length, static_cast<size_t>(kPacketSize));
    std::memcpy(&slots_[static_cast<size_t>(slot) * kPacketSize], packet, length);
    lengths_[slot] = length;
    samples_[slot] = packetSampleCount(packet);
    queuedSamples_ += samples_[slot];
    ++count_;
}

int PlaybackQueue::queuedMs() const
{
    return static_cast<int>(queuedSamples_ * 1000 / samplesPerSecond);
}

void PlaybackQueue::trim(int deviceQueuedMs, int64_t nowMs)
{
    if (queuedMs() + deviceQueuedMs <= kMaxBacklogMs) {
        overSinceMs_ = -1;
        cutting_ = false;
        return;
    }
    if (overSinceMs_ < 0)
        overSinceMs_ = nowMs;
    cutting_ = cutting_ || queuedMs() > kBurstMs || nowMs - overSinceMs_ >= kSustainMs;
    // Oldest first; while the device alone holds more than the bound, the
    // newest go too, until it has played down to it.
    while (cutting_ && count_ > 0 && queuedMs() + deviceQueuedMs > kMaxBacklogMs) {
        pop();
        ++dropped_;
    }
}

const unsigned char *PlaybackQueue::front(size_t *length) const
{
    if (count_ == 0)
        return nullptr;
    *length = lengths_[head_];
    return &slots_[static_cast<size_t>(head_) * kPacketSize];
}

void PlaybackQueue::pop()
{
    if (count_ == 0)
        return;
    queuedSamples_ -= samples_[head_];
    head_ = (head_ + 1) % kSlots;
    --count_;
}

bool notePeer(uint32_t senderAddress)
{
    if (senderAddress == ip_addr)
        return false;
    in_addr a{};
    a.s_addr = senderAddress;
    char dotted[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a, dotted, sizeof dotted);
    if (exitSendAudio != 0 && !autoAnswer) {
        // Shown, heard, never answered: the user calls back if they wish.
        ip_addr = senderAddress;
        callStatusIncoming(senderAddress);
        kvNotifyStatus();
        printf("Receiving from host %s\n", dotted);
        return true;
    }
    // An automatic answer to a sender gone silent gives way to a new
    // sender, so that a flood cannot keep a real caller unanswered.
    const bool answering = exitSendAudio != 0 || callStatusAutoAnswerLapsed();
    if (answering && startTransmission(senderAddress) != KvResult::Ok) {
        if (refusedPeer.exchange(senderAddress) != senderAddress)
            printf("Receiving from host %s\n", dotted);
        return false;
    }
    ip_addr = senderAddress;
    refusedPeer = 0;
    printf("Receiving from host %s\n", dotted);
    // After the line: the answer's thread is already on its way to its own.
    if (answering) {
        callStatusAnswered(senderAddress);
        kvNotifyStatus();
    }
    return true;
}

void setAutoAnswer(bool on)
{
    autoAnswer = on;
}

void forgetPeer()
{
    ip_addr = 0;
    refusedPeer = 0;
}

void stopReceiving()
{
    receiverStop = true;
}

namespace {

int64_t steadyMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Sound already queued in the device, from its free space against the most
// free space it ever reported (an empty queue). 0 when it cannot say.
int deviceQueuedMs(long &maxFree)
{
    const long space = audioOutputSpace(handle);
    if (space < 0)
        return 0;
    maxFree = std::max(maxFree, space);
    return static_cast<int>((maxFree - space) * 1000 / (samplesPerSecond * bitsPerSample / 8));
}

} // namespace

int receiveAudio()
{
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) {
        perror("open audio receive socket");
        kvExitProcess(2);
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(kAudioPort);
    if (bind(sock, reinterpret_cast<sockaddr *>(&local), sizeof local) < 0) {
        perror("binding audio receive socket");
        close(sock);
        kvExitProcess(3);
    }

    receiverStop = false;
    unsigned char datagram[kPacketSize];
    PlaybackQueue queue;
    long deviceMaxFree = 0;
    bool quit = false;
    while (!quit && !receiverStop) {
        // Wait only while nothing waits to be played; then take everything
        // that arrived, so that old sound is dropped here, not heard.
        if (queue.size() == 0) {
            pollfd p{sock, POLLIN, 0};
            if (poll(&p, 1, kStopPollMs) <= 0)
                continue;
        }
        for (;;) {
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            const ssize_t len = recvfrom(sock, datagram, sizeof datagram, MSG_DONTWAIT,
                                         reinterpret_cast<sockaddr *>(&from), &fromLength);
            if (len < 0) {
                if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)
                    perror("receiving audio packet");
                if (errno == EINTR)
                    continue;
                break;
            }
            if (len >= kQuitDatagramSize && std::memcmp(datagram, kQuitDatagram, kQuitDatagramSize) == 0 &&
                isLocalAddress(from.sin_addr.s_addr)) {
                quit = true;
                break;
            }
            if (from.sin_family == AF_INET) {
                callStatusHeard(from.sin_addr.s_addr);
                notePeer(from.sin_addr.s_addr);
            }
            if (checkReceivedDatagram(datagram, len))
                queue.push(datagram, static_cast<size_t>(len));
        }
        if (quit)
            break;
        queue.trim(deviceQueuedMs(deviceMaxFree), steadyMs());
        size_t length = 0;
        if (const unsigned char *packet = queue.front(&length)) {
            playPacket(packet, length);
            queue.pop();
        }
    }

    close(sock);
    printf("audio receiving process exited gracefully\n");
    return 0;
}

void quitAudioProcess()
{
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) {
        perror("open socket to quit audio receiving");
        kvExitProcess(2);
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kAudioPort);
    to.sin_addr.s_addr = GetLocalAddr();
    // Said before sending, so that the receiver's farewell line follows it.
    printf("Quit audio receiving\n");
    sendto(sock, kQuitDatagram, kQuitDatagramSize, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    close(sock);
}
