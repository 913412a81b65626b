// The capture and send pipeline: one UDP media packet per captured block.
#pragma once

#include <cstdint>
#include <sys/socket.h>

// Resolves name and starts a transmission to port 2047 of that host. A
// running transmission is ended first; while a voice file is being recorded
// no transmission starts, since only one activity can capture at a time.
void newConnection(const char *name);

// The transmitting thread's body.
void *sendAudio(void *);

// Samples per captured block for the selected codec.
int inputSampleCount();

// Converts len bytes of captured samples into the u-law payload of
// sendAudioBuffer, sets its payload length and applies the selected codec.
void processAudioBuffer(const unsigned char *buf, int len);

// Sends sendAudioBuffer (24 + payload length bytes) to address; returns 1.
int sendAudioPacket(int sock, const struct sockaddr *address, socklen_t addressLength);

// Capture is owned by one thread at a time (transmitter or recorder).
// Waits up to timeoutMs for the owner to let go.
bool acquireCapture(int timeoutMs);
void releaseCapture();
