// Voice and AV files: media packets back to back in file byte order.
#pragma once

#include "audio/engine_state.h"

#include <cstddef>
#include <cstdio>

// Recording stops once the bytes of the current recording exceed this.
constexpr long kMaxRecordingBytes = 204800;
// The player's buffer for one video record.
constexpr int kRecordBufferSize = 10240;

// What kind of file CheckValidFile looks for.
enum FileKind : int { kVoiceFile = 0, kVideoFile = 1, kOtherFile = 2, kVoiceOrAvFile = 3 };

// Reads the first 16 bytes of path: 1 when the file starts with a record of
// the kind asked for.
int CheckValidFile(const char *path, FileKind kind);

// The header of every audio record a recording writes with codec: mark,
// type, and the codec word at offsets 8 and 16.
void startAudioRecord(unsigned char *packet, uint32_t codec);

// Thread bodies: record to / play path until forceExitThread is raised. The
// recorder codes with codec and owns the capture side and sendAudioBuffer.
int SaveVoiceFile(const char *path, SpeechCodec codec);
int playAVFile(const char *path);

// Opens path for reading only if it is a regular file, so that a FIFO or a
// device can never block a file thread. Null otherwise.
FILE *openRegularFile(const char *path);

// Where a video record's picture goes: data holds n picture bytes followed by
// the end-of-sequence code. Without a video decoder the picture is skipped.
void playVideoRecord(unsigned char *data, int n, int *counter);
