// The receive and playback pipeline: every datagram on UDP port 2047 is
// decoded and played at once; a new sender is answered automatically.
#pragma once

#include <cstdint>
#include <sys/types.h>
#include <vector>

// The receiving thread's body. Ends the process with status 2 when its socket
// cannot be created and 3 when port 2047 cannot be bound. It ends on the quit
// datagram, or within 200 ms of stopReceiving when that datagram is lost.
int receiveAudio();
void stopReceiving();

// Sends the quit datagram to the local receiving thread.
void quitAudioProcess();

// Decodes AudioBuffer (fields in host order) and writes it to the device.
void PlayAudio(int fd, int bits, int rate);

// Copies a packet in host order into AudioBuffer and plays it, one packet at
// a time across the receiver and the file player. False once shut-down began.
bool playPacket(const unsigned char *packet, size_t length);

// Checks one received datagram of len bytes and turns its fields to host
// order in place. A datagram shorter than the header, or whose payload length
// is negative, above 6400 or above what arrived, is refused.
bool checkReceivedDatagram(unsigned char *datagram, ssize_t len);
// Checks and plays one datagram; true if it was played.
bool playReceivedDatagram(unsigned char *datagram, ssize_t len);

// The automatic answer: a sender other than the last one heard starts a
// transmission back when none runs. A sender whose answer was refused (a
// recording holds the capture side) is not remembered, so it is answered once
// the device is free. Returns true if the sender was new.
bool notePeer(uint32_t senderAddress);
void forgetPeer(); // for a new engine life
// Off: a new sender is shown as calling but not answered.
void setAutoAnswer(bool on);

// Samples a checked packet (host order) will play, by its codec word.
int packetSampleCount(const unsigned char *packet);

// Received packets waiting to be played. Whenever more than kMaxBacklogMs of
// sound waits (here and in the device), the oldest packets are dropped, so the
// delay of a call recovers soon after any burst. The bound leaves room for
// devices that keep over a second queued by themselves (sound servers and
// OSS emulations do): with a bound at one second they lost every other
// packet of a steady call.
class PlaybackQueue {
public:
    static constexpr int kSlots = 64;
    static constexpr int kMaxBacklogMs = 1500;
    PlaybackQueue();
    // Adds a checked packet; drops the oldest if all slots are taken.
    void push(const unsigned char *packet, size_t length);
    // Drops the oldest packets while more than kMaxBacklogMs waits, counting
    // deviceQueuedMs of sound already in the device; keeps at least one.
    void trim(int deviceQueuedMs);
    // The oldest packet, or null when empty; valid until the next pop or push.
    const unsigned char *front(size_t *length) const;
    void pop();
    int size() const { return count_; }
    int queuedMs() const;
    long dropped() const { return dropped_; }

private:
    std::vector<unsigned char> slots_;
    size_t lengths_[kSlots]{};
    int samples_[kSlots]{};
    int head_ = 0;
    int count_ = 0;
    long queuedSamples_ = 0;
    long dropped_ = 0;
};

// The quit datagram: "QuitAudioProcess!" and a zero byte.
constexpr char kQuitDatagram[] = "QuitAudioProcess!";
constexpr int kQuitDatagramSize = 18;
