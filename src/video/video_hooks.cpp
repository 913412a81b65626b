#include "video/video_hooks.h"

#include "video/display.h"
#include "video/h263_decoder.h"

#include <cstdio>
#include <memory>

namespace {

std::unique_ptr<kv::video::H263Decoder> decoder;
const std::atomic<int> *stopFlag;
bool arithmeticReported; // once per file

} // namespace

void initVideo()
{
    decoder = std::make_unique<kv::video::H263Decoder>();
    // The decoder hands planes as Y, Cb, Cr; the display takes Cr before Cb.
    decoder->setSink([](const kv::video::PictureView &p) { displayImage(p.y, p.cr, p.cb, stopFlag); });
    initVideoDisplay();
}

void closeVideo()
{
    decoder.reset();
    closeVideoDisplay();
}

void decodeVideoRecord(const unsigned char *record, int n, int *counter, const std::atomic<int> &stop)
{
    if (!decoder || n < 0)
        return;
    if (*counter == 0)
        arithmeticReported = false;
    stopFlag = &stop;
    using Result = kv::video::H263Decoder::Result;
    const Result r = decoder->decodePicture(record, static_cast<size_t>(n), *counter);
    if (r == Result::NoPicture)
        return;
    if (r == Result::ArithUnsupported && !arithmeticReported) {
        printf("This file's video uses arithmetic coding, which this build cannot decode; its sound plays on\n");
        arithmeticReported = true;
    }
    ++*counter;
}
