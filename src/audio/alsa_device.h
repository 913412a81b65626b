// ALSA's "default" device as the sound device, for desktops without /dev/dsp
// (PipeWire and PulseAudio offer themselves there).
#pragma once

#include <cstddef>
#include <sys/types.h>

// The value `handle` holds while ALSA is the sound device. It is no file
// descriptor: the device operations recognise it and use ALSA instead.
constexpr int kAlsaDeviceHandle = 0x7FFF0A15;

// Opens "default" for capture and playback, signed 16-bit mono at
// samplesPerSecond, buffering like 4 fragments of 4096 bytes. Returns true on
// success; on failure it has reported why on standard error.
bool alsaOpen();
bool alsaIsOpen();

// Blocking read of a whole block; overruns are recovered. Bytes read or -1.
ssize_t alsaRead(void *buf, size_t len);
// Free bytes in the playback buffer, or -1.
long alsaOutputSpace();
// Blocking write of the whole buffer; underruns are recovered. Bytes or -1.
ssize_t alsaWrite(const void *buf, size_t len);
// Plays out what is queued and closes both directions. 1, or -1.
int alsaClose();
