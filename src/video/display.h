// The video display: converts a decoded YUV 4:2:0 picture to the RGB image
// the main window draws, and hands it over to the GUI thread one picture at
// a time.
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

// Entry v of clp is v clamped to 0..255, for v in -384..639.
extern const uint8_t *const clp;

int initVideoDisplay();
void closeVideoDisplay();

// Converts width x height luma samples and the two half-size chroma planes
// (red difference first) into out, 3 bytes per pixel. width is a multiple of
// 4 and height even.
void Yuv2Rgb24(const uint8_t *Y, const uint8_t *Cr, const uint8_t *Cb, uint8_t *out, int width, int height);

// Waits (20 ms steps) until the GUI has drawn the previous picture, converts
// this one into pBufDisplayRGB and raises blVideoDisBusy. Never call it from
// the GUI thread. Returns 0, or -1 without showing anything when abandon
// (if given) became non-zero while waiting.
int displayImage(const uint8_t *Y, const uint8_t *Cr, const uint8_t *Cb, const std::atomic<int> *abandon = nullptr);
