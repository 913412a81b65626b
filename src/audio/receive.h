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

// Received packets waiting to be played. A burst (more than kBurstMs of
// sound waiting here) is cut at once, and so is a backlog that has stayed
// above kMaxBacklogMs (here and in the device together) for kSustainMs: the
// oldest packets go until no more than kMaxBacklogMs is left (all of them
// while the device alone holds more), so the delay of a call recovers soon
// after any burst. Moments above the bound are left alone:
// devices that keep over a second queued by themselves (sound servers, OSS
// emulations) and captures that hand over a quarter second at a time make
// a steady call swing past it, and cutting there lost packets of every
// steady call.
class PlaybackQueue {
public:
    static constexpr int kSlots = 64;
    static constexpr int kMaxBacklogMs = 1500;
    static constexpr int kBurstMs = 1000;
    static constexpr int kSustainMs = 3000;
    PlaybackQueue();
    // Adds a checked packet; drops the oldest if all slots are taken.
    void push(const unsigned char *packet, size_t length);
    // Applies the rules above at time nowMs, counting deviceQueuedMs of sound
    // already in the device.
    void trim(int deviceQueuedMs, int64_t nowMs);
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
    int64_t overSinceMs_ = -1; // since when the backlog has been above the bound
    bool cutting_ = false;     // a cut goes on until the backlog is within the bound
};

// The quit datagram: "QuitAudioProcess!" and a zero byte.
constexpr char kQuitDatagram[] = "QuitAudioProcess!";
constexpr int kQuitDatagramSize = 18;
