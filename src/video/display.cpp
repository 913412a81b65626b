#include "video/display.h"

uint8_t pBufDisplayRGB[kDisplayWidth * kDisplayHeight * 3];
std::atomic<int> blVideoDisBusy{0};
