// Guards against H.263 pictures reconstructed unlike an independent decoder (ffmpeg) or unlike the test encoder's own reconstruction: prediction, rounding, residuals, vectors, PB-frames, arithmetic coding.
#include "../support/sac_stand_in_models.h"
#include "h263_test_encoder.h"
#include "video/h263_decoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace kv::video {
namespace {

using testenc::Picture;
using testenc::PictureOptions;
using testenc::Vector;

std::vector<uint8_t> readFile(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

double psnr(const uint8_t *a, const uint8_t *b, int n)
{
    double se = 0;
    for (int i = 0; i < n; ++i)
        se += (a[i] - b[i]) * (a[i] - b[i]);
    return se == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * n / se);
}

// 30 QCIF pictures of a rotating test pattern, coded by ffmpeg's h263
// encoder, decoded by us and by ffmpeg.
TEST(H263Reconstruction, QcifStreamsFromFfmpegDecodeLikeItsOwnDecoder)
{
    constexpr int kW = 176, kH = 144, kFrame = kW * kH * 3 / 2;
    const char *const cases[] = {"-g 1 -q:v 8", "-g 30 -q:v 3", "-g 30 -q:v 3 -flags +mv4 -obmc 1"};
    char tmpl[] = "/tmp/kv_h263_XXXXXX";
    const std::string dir = mkdtemp(tmpl), src = dir + "/src.yuv", h263 = dir + "/s.h263", yuv = dir + "/ref.yuv";
    const std::string ff = "ffmpeg -nostdin -loglevel error -y ", raw = " -f rawvideo -pix_fmt yuv420p -s 176x144 ";
    for (const char *c : cases) {
        SCOPED_TRACE(c);
        ASSERT_EQ(std::system(("rm -f " + dir + "/vs && " + ff + "-f lavfi -i 'testsrc=size=176x144:rate=25,rotate=a=0.05*t*25:c=gray' "
                                    "-frames:v 30" + raw + src + " && " + ff + raw + "-i " + src +
                               " -c:v h263 -flags +psnr -vstats_file " + dir + "/vs " + c + " -f h263 " +
                               h263 + " && " + ff + "-cpuflags 0 -i " + h263 + raw + yuv)
                                  .c_str()),
                  0)
            << "ffmpeg (Debian package ffmpeg) is needed";
        const std::vector<uint8_t> source = readFile(src), stream = readFile(h263), reference = readFile(yuv);
        std::vector<double> encoderPsnr; // of the encoder's own reconstruction, luma
        std::ifstream stats(dir + "/vs");
        for (std::string word; stats >> word;)
            if (word == "PSNR=" && stats >> word)
                encoderPsnr.push_back(std::stod(word));
        ASSERT_EQ(encoderPsnr.size(), 30u);

        // The pictures of an elementary stream, cut at byte-aligned start codes.
        H263Decoder dec(11, 9);
        std::vector<uint8_t> ours;
        dec.setSink([&](const PictureView &p) {
            ours.insert(ours.end(), p.y, p.y + kW * kH);
            ours.insert(ours.end(), p.cb, p.cb + kW * kH / 4);
            ours.insert(ours.end(), p.cr, p.cr + kW * kH / 4);
        });
        std::vector<size_t> starts;
        for (size_t i = 0; i + 2 < stream.size(); ++i)
            if (stream[i] == 0 && stream[i + 1] == 0 && (stream[i + 2] & 0xFC) == 0x80)
                starts.push_back(i);
        starts.push_back(stream.size());
        for (int k = 0, counter = 0; k + 1 < int(starts.size()); ++k, ++counter) {
            EXPECT_EQ(dec.decodePicture(stream.data() + starts[k], starts[k + 1] - starts[k], counter),
                      H263Decoder::Result::Decoded);
            EXPECT_FALSE(dec.damaged()) << "picture " << k;
        }
        ASSERT_EQ(ours.size(), size_t{30} * kFrame);
        ASSERT_EQ(reference.size(), ours.size());
        for (size_t f = 0; f < 30; ++f) { // inverse-DCT rounding alone moves a few hundredths of a dB
            const uint8_t *a = ours.data() + f * kFrame;
            EXPECT_NEAR(psnr(a, source.data() + f * kFrame, kW * kH), encoderPsnr[f], 0.1) << "picture " << f;
            EXPECT_GE(psnr(a, reference.data() + f * kFrame, kFrame), 45.0) << "picture " << f;
        }
    }
    std::system(("rm -rf " + dir).c_str());
}

// A textured scene whose upper part moves by (t, t/2) samples and whose
// lower part stands still, so that macroblocks there can be skipped.
Picture scene(int t)
{
    Picture p = Picture::blank(160, 112);
    for (int y = 0; y < 112; ++y)
        for (int x = 0; x < 160; ++x) {
            const int u = y < 64 ? x - t : x, v = y < 64 ? y - t / 2 : y;
            const double luma = 128 + 50 * std::sin(u * 0.21) * std::cos(v * 0.17) + ((u * 7 + v * 13) & 31) - 16;
            p.y[y * 160 + x] = uint8_t(std::clamp(int(luma), 0, 255));
        }
    for (int i = 0; i < 80 * 56; ++i) {
        const int m = i < 80 * 32 ? t : 0;
        p.cb[i] = uint8_t(100 + (i % 80 + m) % 60);
        p.cr[i] = uint8_t(150 - (i / 80 + 2 * m) % 50);
    }
    return p;
}

// The stream features an outside encoder cannot make, decoded picture by
// picture against the test encoder's reconstruction.
TEST(H263Reconstruction, DecoderReproducesTheTestEncodersReconstruction)
{
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
    auto outward = [](int col, int row) {
        return Vector{col == 0 ? -21 : col == 9 ? 19 : 2, row == 0 ? -19 : row == 6 ? 21 : 1};
    };
    auto split = [](auto vector) {
        return [vector](int col, int row) {
            const Vector v = vector(col, row);
            if ((col + row) % 3)
                return std::array<Vector, 4>{v, v, v, v};
            return std::array<Vector, 4>{v, Vector{v.x + 3, v.y}, Vector{v.x, v.y - 2}, Vector{v.x - 1, v.y + 1}};
        };
    };
    const struct {
        const char *name;
        PictureOptions base;
        bool pb;
    } cases[] = {
        {"restricted vectors", {.quant = 6, .vector = drift}, false},
        {"unrestricted vectors past every edge", {.quant = 8, .unrestricted = true, .vector = edges}, false},
        {"PB-frames", {.quant = 9, .vector = drift, .trb = 2, .dbquant = 2, .bDelta = delta}, true},
        {"PB-frames, unrestricted",
         {.quant = 12, .unrestricted = true, .vector = edges, .trb = 1, .dbquant = 3, .bDelta = delta}, true},
        {"DQUANT, GOB headers, stuffing, intra macroblocks",
         {.quant = 10, .gobHeaders = true, .stuffingEvery = 7, .intraEvery = 9, .vector = drift, .dquant = dquant},
         false},
        {"DQUANT clipped to 1 and to 31",
         {.quant = 2, .vector = drift, .dquant = [](int, int row) { return row < 3 ? -2 : 2; }}, false},
        {"arithmetic coding, every feature",
         {.quant = 11, .unrestricted = true, .arithmetic = true, .gobHeaders = true, .stuffingEvery = 5,
          .intraEvery = 11, .vector = [&](int col, int row) { return row == 4 ? Vector{} : edges(col, row); },
          .dquant = dquant, .trb = 1, .dbquant = 1, .bDelta = delta},
         true},
        {"advanced prediction",
         {.quant = 10, .advancedPrediction = true, .intraEvery = 13, .vector = outward, .blockVectors = split(outward)},
         false},
        {"advanced prediction, PB-frames, unrestricted, GOB headers",
         {.quant = 9, .unrestricted = true, .advancedPrediction = true, .gobHeaders = true, .intraEvery = 17,
          .vector = edges, .blockVectors = split(edges), .trb = 2, .dbquant = 1, .bDelta = delta},
         true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const bool arith = c.base.arithmetic;
        testenc::H263TestEncoder enc(arith ? sacStandInModels() : builtinSacModels());
        H263Decoder dec;
        if (arith)
            dec.setSacModels(sacStandInModels());
        std::vector<Picture> shown;
        dec.setSink([&](const PictureView &v) {
            const int n = v.width * v.height;
            shown.push_back({v.width, v.height, {v.y, v.y + n}, {v.cb, v.cb + n / 4}, {v.cr, v.cr + n / 4}});
        });
        for (int n = 0, tr = 0, counter = 0; n < 4; ++n, ++counter) {
            PictureOptions o = c.base;
            o.intra = n == 0;
            const Picture b = scene(2 * n - 1), p = scene(2 * n);
            o.bSource = c.pb && n > 0 ? &b : nullptr;
            o.tr = tr += o.bSource ? 3 : 1;
            const auto e = enc.encode(p, o);
            shown.clear();
            ASSERT_EQ(dec.decodePicture(e.bytes.data(), e.bytes.size(), counter), H263Decoder::Result::Decoded);
            EXPECT_FALSE(dec.damaged()) << "picture " << n;
            ASSERT_EQ(shown.size(), e.shown.size());
            for (size_t i = 0; i < shown.size(); ++i) {
                // Shared building blocks would agree on garbage: the pictures must also be near their sources.
                const Picture &src = i + 1 < shown.size() ? b : p;
                EXPECT_GT(psnr(shown[i].y.data(), src.y.data(), 160 * 112), 24.0)
                    << "picture " << n << "." << i;
                EXPECT_EQ(shown[i].y, e.shown[i].y) << "picture " << n << "." << i;
                EXPECT_EQ(shown[i].cb, e.shown[i].cb) << "picture " << n << "." << i;
                EXPECT_EQ(shown[i].cr, e.shown[i].cr) << "picture " << n << "." << i;
            }
        }
    }
    // Arithmetic pictures need the models a decoder was not given.
    const auto e = testenc::H263TestEncoder(sacStandInModels()).encode(scene(0), {.intra = true, .arithmetic = true});
    int counter = 0;
    EXPECT_EQ(H263Decoder().decodePicture(e.bytes.data(), e.bytes.size(), counter), H263Decoder::Result::ArithUnsupported);
}

} // namespace
} // namespace kv::video
