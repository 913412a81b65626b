// The receive and playback pipeline: every datagram on UDP port 2047 is
// decoded and played at once; a new sender is answered automatically.
#pragma once

#include <cstdint>
#include <sys/types.h>

// The receiving thread's body. Ends the process with status 2 when its socket
// cannot be created and 3 when port 2047 cannot be bound.
void *receiveAudioThread(void *);
int receiveAudio();

// Sends the quit datagram to the local receiving thread.
void quitAudioProcess();

// Decodes AudioBuffer (fields in host order) and writes it to the device.
void PlayAudio(int fd, int bits, int rate);

// Copies a packet in host order into AudioBuffer and plays it, one packet at
// a time across the receiver and the file player. False once shut-down began.
bool playPacket(const unsigned char *packet, size_t length);

// Checks one received datagram of len bytes, turns its fields to host order
// in place and plays it. A datagram shorter than the header, or whose payload
// length is negative, above 6400 or above what arrived, is dropped. Returns
// true if it was played.
bool playReceivedDatagram(unsigned char *datagram, ssize_t len);

// The automatic answer: a sender other than the last one heard starts a
// transmission back when none runs. Returns true if the sender was new.
bool notePeer(uint32_t senderAddress);

// The quit datagram: "QuitAudioProcess!" and a zero byte.
constexpr char kQuitDatagram[] = "QuitAudioProcess!";
constexpr int kQuitDatagramSize = 18;
