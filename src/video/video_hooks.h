// Start-up and shut-down of the video side (decoder and display hand-over),
// and the decoding of one video record of an AV file.
#pragma once

#include <atomic>

void initVideo();
void closeVideo();

// Decodes one video record's picture (n bytes) and shows it. counter is the
// file's picture counter (0 at the start of each file); it advances for every
// record that holds a picture. A wait for the display ends early when stop
// becomes non-zero.
void decodeVideoRecord(const unsigned char *record, int n, int *counter, const std::atomic<int> &stop);
