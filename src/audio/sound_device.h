// Every operation on the sound device lives here, so that the pipelines never
// depend on which sound system is behind the descriptor.
#pragma once

#include <cstddef>
#include <sys/types.h>

// How the device is opened.
enum DeviceMode : int { kDeviceReadOnly = 0, kDeviceWriteOnly = 1, kDeviceFullDuplex = 2 };

// Opens and configures /dev/dsp in mode: 16-bit mono at samplesPerSecond
// with 4 fragments of 4096 bytes.
// Returns 1, or -1 after reporting the failing step on standard error; the
// descriptor (or -1 if the open failed) is stored in *fd either way.
int initAudioDevice(int *fd, DeviceMode mode);

// Drains and closes the device. Returns 1, or the system error number when
// draining fails (the descriptor then stays open).
int closeAudioDevice(int fd);

// Blocking read of one block. Returns the bytes read, or -1.
ssize_t audioRead(int fd, void *buf, size_t len);

// Free bytes in the output queue, or -1 when the device cannot say.
long audioOutputSpace(int fd);

// Blocking write of a whole buffer. Returns the bytes taken, or -1.
ssize_t audioWrite(int fd, const void *buf, size_t len);

// What the user is told about the sound device behind fd.
const char *audioDeviceName(int fd);
