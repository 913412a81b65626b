// The colour conversion and the one-picture hand-over to the GUI.
#include "video/display.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <thread>

namespace {

std::array<int, 3> convert(int y, int cr, int cb)
{
    std::vector<uint8_t> Y(4 * 2, static_cast<uint8_t>(y)), Cr(2, static_cast<uint8_t>(cr)), Cb(2, static_cast<uint8_t>(cb));
    std::vector<uint8_t> out(4 * 2 * 3);
    Yuv2Rgb24(Y.data(), Cr.data(), Cb.data(), out.data(), 4, 2);
    EXPECT_TRUE(std::equal(out.begin() + 3, out.end(), out.begin())) << "a flat picture converts flat";
    return {out[0], out[1], out[2]};
}

TEST(VideoDisplay, ColourConversionKeepsTheProgramsOwnWeights)
{
    EXPECT_EQ(convert(16, 128, 128), (std::array<int, 3>{0, 0, 0}));
    EXPECT_EQ(convert(235, 128, 128), (std::array<int, 3>{219, 219, 219}));
    EXPECT_EQ(convert(255, 128, 128), (std::array<int, 3>{239, 239, 239}));
    EXPECT_EQ(convert(128, 255, 128), (std::array<int, 3>{255, 61, 112})); // Cr drives red and green
    EXPECT_EQ(convert(128, 128, 255), (std::array<int, 3>{112, 38, 255})); // Cb drives blue and green
    EXPECT_EQ(convert(0, 128, 0), (std::array<int, 3>{0, 58, 0}));
}

TEST(VideoDisplay, HandOverWaitsForTheGuiAndCanBeAbandoned)
{
    const std::vector<uint8_t> y(160 * 120, 235), c(80 * 60, 128);
    blVideoDisBusy = 0;
    ASSERT_EQ(displayImage(y.data(), c.data(), c.data()), 0);
    EXPECT_EQ(blVideoDisBusy.load(), 1);
    EXPECT_EQ(pBufDisplayRGB[kDisplayStride * 119 + 477], 219);

    // A null plane leaves the buffer as it is and still raises the flag.
    blVideoDisBusy = 0;
    pBufDisplayRGB[0] = 7;
    displayImage(y.data(), nullptr, c.data());
    EXPECT_EQ(pBufDisplayRGB[0], 7);

    std::atomic<int> stop{0};
    auto t0 = std::chrono::steady_clock::now();
    std::thread gui([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        blVideoDisBusy = 0;
    });
    EXPECT_EQ(displayImage(y.data(), c.data(), c.data(), &stop), 0); // waits for the GUI to draw
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(100));
    gui.join();
    stop = 1;
    EXPECT_EQ(displayImage(y.data(), c.data(), c.data(), &stop), -1); // still busy: gives up
    blVideoDisBusy = 0;
}

} // namespace
