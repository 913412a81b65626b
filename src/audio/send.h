// The capture and send pipeline: one UDP media packet per captured block.
#pragma once

#include "audio/engine_state.h"

#include <atomic>
#include <cstdint>
#include <sys/socket.h>

// The transmitting thread's body: sends codec-coded blocks to port 2047 of
// peer until stop is raised or the device fails. The caller owns the capture
// side and sendAudioBuffer for the whole call.
void sendAudio(uint32_t peer, SpeechCodec codec, const std::atomic<bool> &stop);

// Samples per captured block for codec.
int inputSampleCount(SpeechCodec codec);

// Converts len bytes of captured samples into the u-law payload of
// sendAudioBuffer, sets its payload length and applies codec.
void processAudioBuffer(const unsigned char *buf, int len, SpeechCodec codec);

// Sends sendAudioBuffer (24 + payload length bytes) to address; returns 1.
int sendAudioPacket(int sock, const struct sockaddr *address, socklen_t addressLength);
