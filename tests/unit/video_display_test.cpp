// Guards against wrong colours from the picture conversion and a decoding thread that draws over a picture the GUI has not shown yet or cannot be stopped while it waits.
#include "video/display.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <thread>

namespace {

TEST(VideoDisplay, ColourConversionKeepsTheProgramsOwnWeights)
{
    // Y, Cr, Cb in; R, G, B out
    const std::array<int, 6> cases[] = {{16, 128, 128, 0, 0, 0},     {235, 128, 128, 219, 219, 219},
                                        {255, 128, 128, 239, 239, 239}, {128, 255, 128, 255, 61, 112},
                                        {128, 128, 255, 112, 38, 255},  {0, 128, 0, 0, 58, 0}};
    for (const auto &c : cases) {
        const std::vector<uint8_t> Y(8, uint8_t(c[0])), Cr(2, uint8_t(c[1])), Cb(2, uint8_t(c[2]));
        std::vector<uint8_t> out(24);
        Yuv2Rgb24(Y.data(), Cr.data(), Cb.data(), out.data(), 4, 2);
        for (int i = 0; i < 24; ++i)
            EXPECT_EQ(out[i], c[3 + i % 3]) << "Y " << c[0] << " Cr " << c[1] << " Cb " << c[2] << " byte " << i;
    }
}

TEST(VideoDisplay, HandOverWaitsForTheGuiAndCanBeAbandoned)
{
    const std::vector<uint8_t> y(160 * 120, 235), c(80 * 60, 128);
    blVideoDisBusy = 0;
    ASSERT_EQ(displayImage(y.data(), c.data(), c.data()), 0);
    EXPECT_EQ(pBufDisplayRGB[kDisplayStride * 119 + 477], 219);
    blVideoDisBusy = 0;
    pBufDisplayRGB[0] = 7;
    EXPECT_EQ(displayImage(y.data(), nullptr, c.data()), 0) << "a missing plane is not drawn, the flag still rises";
    EXPECT_EQ(pBufDisplayRGB[0], 7);

    std::atomic<int> stop{0};
    const auto t0 = std::chrono::steady_clock::now();
    std::thread gui([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        blVideoDisBusy = 0;
    });
    EXPECT_EQ(displayImage(y.data(), c.data(), c.data(), &stop), 0) << "waits for the GUI to draw";
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(100));
    gui.join();
    stop = 1;
    EXPECT_EQ(displayImage(y.data(), c.data(), c.data(), &stop), -1) << "still busy: gives up";
    blVideoDisBusy = 0;
}

} // namespace
