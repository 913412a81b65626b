// The one-picture hand-over between the video decoder and the GUI thread.
#pragma once

#include <atomic>
#include <cstdint>

constexpr int kDisplayWidth = 160;
constexpr int kDisplayHeight = 120;
constexpr int kDisplayStride = kDisplayWidth * 3;
constexpr int kDisplayDrawnRows = 112;

// 160 x 120 pixels of R, G, B bytes, 480 bytes per row.
extern uint8_t pBufDisplayRGB[kDisplayWidth * kDisplayHeight * 3];

// 1 while pBufDisplayRGB holds a picture not yet drawn. The producer fills
// the buffer only while it is 0 and sets it with release order afterwards; the
// GUI reads it with acquire order, draws, then clears it.
extern std::atomic<int> blVideoDisBusy;
