// The decoder against the test encoder's own reconstruction, for the stream
// features an outside encoder cannot make.
#include <gtest/gtest.h>

#include <cmath>

#include "../support/sac_stand_in_models.h"
#include "h263_test_encoder.h"
#include "video/h263_decoder.h"

namespace kv::video {
namespace {

using testenc::Picture;
using testenc::PictureOptions;
using testenc::Vector;

// A textured scene whose upper part moves by (t, t/2) samples and whose
// lower part stands still, so that macroblocks there can be skipped.
Picture scene(int t) {
    Picture p = Picture::blank(160, 112);
    auto luma = [&](int x, int y) {
        if (y < 64) x -= t, y -= t / 2;
        return 128 + 50 * std::sin(x * 0.21) * std::cos(y * 0.17) + ((x * 7 + y * 13) & 31) - 16;
    };
    for (int y = 0; y < 112; ++y)
        for (int x = 0; x < 160; ++x) p.y[y * 160 + x] = uint8_t(std::clamp(int(luma(x, y)), 0, 255));
    for (int i = 0; i < 80 * 56; ++i) {
        const int m = i < 80 * 32 ? t : 0;
        p.cb[i] = uint8_t(100 + (i % 80 + m) % 60);
        p.cr[i] = uint8_t(150 - (i / 80 + 2 * m) % 50);
    }
    return p;
}

struct Case {
    const char *name;
    PictureOptions base;
    bool pb;
};

TEST(H263TestEncoder, DecoderReproducesTheEncodersReconstruction) {
    // Outward near every edge (the predictors must ramp up), a drift inside,
    // and a few reversals against large predictors, which need the wrap-around
    // of unrestricted vectors.
    auto edges = [](int col, int row) {
        return Vector{col == 0 ? -60 : col >= 8 ? (row == 3 ? -60 : 60) : 3,
                      row == 0 ? (col == 4 ? 60 : -60) : row >= 5 ? (row == 6 && col == 5 ? -60 : 60) : -2};
    };
    auto dquant = [](int col, int row) { return (col + row) % 5 - 2; };
    auto delta = [](int col, int row) { return Vector{(col % 3) - 1, (row % 3) - 1}; };
    auto drift = [](int, int row) { return row < 4 ? Vector{2, 1} : Vector{}; };
    // Outward at the edges, and four different vectors in every third macroblock.
    auto outward = [](int col, int row) { return Vector{col == 0 ? -21 : col == 9 ? 19 : 2, row == 0 ? -19 : row == 6 ? 21 : 1}; };
    auto split = [](auto vector) {
        return [vector](int col, int row) {
            const Vector v = vector(col, row);
            if ((col + row) % 3) return std::array<Vector, 4>{v, v, v, v};
            return std::array<Vector, 4>{v, Vector{v.x + 3, v.y}, Vector{v.x, v.y - 2}, Vector{v.x - 1, v.y + 1}};
        };
    };
    const std::vector<Case> cases{
        {"restricted vectors", {.quant = 6, .vector = drift}, false},
        {"unrestricted vectors past every edge", {.quant = 8, .unrestricted = true, .vector = edges}, false},
        {"PB-frames", {.quant = 9, .vector = drift, .trb = 2, .dbquant = 2, .bDelta = delta}, true},
        {"PB-frames, unrestricted", {.quant = 12, .unrestricted = true, .vector = edges, .trb = 1, .dbquant = 3, .bDelta = delta}, true},
        {"DQUANT, GOB headers, stuffing, intra macroblocks",
         {.quant = 10, .gobHeaders = true, .stuffingEvery = 7, .intraEvery = 9, .vector = drift, .dquant = dquant}, false},
        {"DQUANT clipped to 1 and to 31", {.quant = 2, .vector = drift, .dquant = [](int, int row) { return row < 3 ? -2 : 2; }}, false},
        {"arithmetic coding, every feature",
         {.quant = 11, .unrestricted = true, .arithmetic = true, .gobHeaders = true, .stuffingEvery = 5,
          .intraEvery = 11, .vector = [&](int col, int row) { return row == 4 ? Vector{} : edges(col, row); }, .dquant = dquant, .trb = 1, .dbquant = 1, .bDelta = delta},
         true},
        {"advanced prediction", {.quant = 10, .advancedPrediction = true, .intraEvery = 13, .vector = outward, .blockVectors = split(outward)}, false},
        {"advanced prediction, PB-frames, unrestricted, GOB headers",
         {.quant = 9, .unrestricted = true, .advancedPrediction = true, .gobHeaders = true, .intraEvery = 17,
          .vector = edges, .blockVectors = split(edges), .trb = 2, .dbquant = 1, .bDelta = delta}, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const bool arith = c.base.arithmetic;
        testenc::H263TestEncoder enc(arith ? sacStandInModels() : builtinSacModels());
        H263Decoder dec;
        if (arith) dec.setSacModels(sacStandInModels());
        std::vector<Picture> shown;
        dec.setSink([&](const PictureView &v) {
            Picture p{v.width, v.height, {v.y, v.y + v.width * v.height},
                      {v.cb, v.cb + v.width * v.height / 4}, {v.cr, v.cr + v.width * v.height / 4}};
            shown.push_back(std::move(p));
        });
        int counter = 0, tr = 0;
        std::vector<Vector> vectors;
        int fours = 0, outside = 0;
        for (int n = 0; n < 4; ++n) {
            PictureOptions o = c.base;
            o.intra = n == 0;
            const Picture b = scene(2 * n - 1), p = scene(2 * n);
            o.bSource = c.pb && n > 0 ? &b : nullptr;
            o.tr = tr += o.bSource ? 3 : 1;
            const auto e = enc.encode(p, o);
            if (n > 0) vectors.insert(vectors.end(), e.vectors.begin(), e.vectors.end());
            for (int i = 0; n > 0 && i < 70; ++i) {
                fours += e.fourVectors[i];
                for (int k = 0; k < 4; ++k) {
                    const int x = i % 10 * 16 + 8 * (k & 1) + (e.blockVectors[i][k].x >> 1);
                    const int y = i / 10 * 16 + 8 * (k >> 1) + (e.blockVectors[i][k].y >> 1);
                    outside += x < 0 || y < 0 || x + 8 > 160 || y + 8 > 112;
                }
            }
            shown.clear();
            ASSERT_EQ(dec.decodePicture(e.bytes.data(), e.bytes.size(), counter), H263Decoder::Result::Decoded);
            ++counter;
            EXPECT_FALSE(dec.damaged()) << "picture " << n;
            ASSERT_EQ(shown.size(), e.shown.size());
            // The pictures are worth comparing: close to their sources.
            for (std::size_t i = 0; i < shown.size(); ++i) {
                const Picture &src = i + 1 < shown.size() ? b : p;
                double se = 0;
                for (int j = 0; j < 160 * 112; ++j) se += std::pow(e.shown[i].y[j] - src.y[j], 2);
                EXPECT_GT(10 * std::log10(255.0 * 255 * 160 * 112 / se), 24.0) << "picture " << n << "." << i;
                EXPECT_EQ(shown[i].y, e.shown[i].y) << "picture " << n << "." << i;
                EXPECT_EQ(shown[i].cb, e.shown[i].cb) << "picture " << n << "." << i;
                EXPECT_EQ(shown[i].cr, e.shown[i].cr) << "picture " << n << "." << i;
            }
        }
        if (c.base.advancedPrediction) {
            EXPECT_GT(fours, 20);
            EXPECT_GT(outside, 20);
        }
        if (c.base.unrestricted) {  // some block lies wholly outside at each edge
            bool past[4] = {};
            for (std::size_t i = 0; i < vectors.size(); ++i) {
                const int bx = int(i % 70 % 10) * 16 + (vectors[i].x >> 1), by = int(i % 70 / 10) * 16 + (vectors[i].y >> 1);
                past[0] |= bx <= -16, past[1] |= bx >= 160, past[2] |= by <= -16, past[3] |= by >= 120;
            }
            EXPECT_TRUE(past[0] && past[1] && past[2] && past[3]);
        }
    }
}

TEST(H263TestEncoder, ArithmeticPicturesNeedEveryModel) {
    testenc::H263TestEncoder enc(sacStandInModels());
    const auto e = enc.encode(scene(0), {.intra = true, .arithmetic = true});
    H263Decoder dec;
    int counter = 0;
    EXPECT_EQ(dec.decodePicture(e.bytes.data(), e.bytes.size(), counter), H263Decoder::Result::ArithUnsupported);
}

}  // namespace
}  // namespace kv::video
