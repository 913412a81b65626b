// Guards against H.263 pictures reconstructed unlike an independent decoder or the test encoder, and damaged pictures that read outside the reference, wrap a clipped value, lose the macroblocks around an error or stop the decoder.
#include "../support/sac_stand_in_models.h"
#include "h263_test_encoder.h"
#include "video/h263_decoder.h"
#include "test_data.h"
#include "video/h263_vlc_tables.h"

#include <cmath>
#include <cstdlib>
#include <random>

namespace kv::video {
namespace {

using testenc::BitWriter;
using testenc::Picture;
using testenc::PictureOptions;
using testenc::Vector;
using R = H263Decoder::Result;

double psnr(const uint8_t *a, const uint8_t *b, int n)
{
    double se = 0;
    for (int i = 0; i < n; ++i)
        se += (a[i] - b[i]) * (a[i] - b[i]);
    return se == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * n / se);
}

// A decoder that keeps every picture it shows.
struct Player {
    H263Decoder dec;
    std::vector<Picture> shown;
    int counter = 0;
    explicit Player(bool arith = false, int cols = 10, int rows = 7) : dec(cols, rows)
    {
        if (arith)
            dec.setSacModels(sacStandInModels());
        dec.setSink([this](const PictureView &v) {
            const int n = v.width * v.height;
            shown.push_back({v.width, v.height, {v.y, v.y + n}, {v.cb, v.cb + n / 4}, {v.cr, v.cr + n / 4}});
        });
    }
    R decode(const uint8_t *data, size_t size) { return dec.decodePicture(data, size, counter); }
    R decode(const std::vector<uint8_t> &b) { return decode(b.data(), b.size()); }
};

// 30 QCIF pictures of a rotating pattern, coded by ffmpeg's h263 encoder and decoded by it and by us: close to
// its decode, and as far from the source as its encoder's reconstruction (inverse-DCT rounding moves 0.01 dB).
TEST(H263Reconstruction, QcifStreamsFromFfmpegDecodeLikeItsOwnDecoder)
{
    constexpr int kW = 176, kH = 144, kFrame = kW * kH * 3 / 2;
    char tmpl[] = "/tmp/kv_h263_XXXXXX";
    const std::string dir = mkdtemp(tmpl), ff = "ffmpeg -nostdin -loglevel error -y ",
                      raw = " -f rawvideo -pix_fmt yuv420p -s 176x144 ";
    for (const char *c : {"-g 1 -q:v 8", "-g 30 -q:v 3", "-g 30 -q:v 3 -flags +mv4 -obmc 1"}) {
        SCOPED_TRACE(c);
        const std::string make = "cd " + dir + " && rm -f vs && " + ff + "-f lavfi -i 'testsrc=size=176x144:rate=25," +
                                 "rotate=a=0.05*t*25:c=gray' -frames:v 30" + raw + "src.yuv && " + ff + raw +
                                 "-i src.yuv -c:v h263 -flags +psnr -vstats_file vs " + c + " -f h263 s.h263 && " +
                                 ff + "-cpuflags 0 -i s.h263" + raw + "ref.yuv";
        ASSERT_EQ(std::system(make.c_str()), 0) << "ffmpeg (Debian package ffmpeg) is needed";
        const auto source = readTestData("src.yuv", dir), stream = readTestData("s.h263", dir),
                   reference = readTestData("ref.yuv", dir);
        std::vector<double> encoderPsnr; // luma
        std::ifstream stats(dir + "/vs");
        for (std::string word; stats >> word;)
            if (word == "PSNR=" && stats >> word)
                encoderPsnr.push_back(std::stod(word));
        Player run(false, 11, 9);
        std::vector<size_t> at; // pictures begin at byte-aligned start codes
        for (size_t i = 0; i + 2 < stream.size(); ++i)
            if (stream[i] == 0 && stream[i + 1] == 0 && (stream[i + 2] & 0xFC) == 0x80)
                at.push_back(i);
        at.push_back(stream.size());
        for (size_t k = 0; k + 1 < at.size(); ++k, ++run.counter)
            EXPECT_TRUE(run.decode(&stream[at[k]], at[k + 1] - at[k]) == R::Decoded && !run.dec.damaged()) << k;
        ASSERT_TRUE(run.shown.size() == 30 && encoderPsnr.size() == 30 && reference.size() == 30 * kFrame);
        for (size_t f = 0; f < 30; ++f) {
            const Picture &p = run.shown[f];
            const uint8_t *ref = &reference[f * kFrame];
            EXPECT_NEAR(psnr(p.y.data(), &source[f * kFrame], kW * kH), encoderPsnr[f], 0.1) << "picture " << f;
            EXPECT_GE(std::min({psnr(p.y.data(), ref, kW * kH), psnr(p.cb.data(), ref + kW * kH, kW * kH / 4),
                                psnr(p.cr.data(), ref + kW * kH * 5 / 4, kW * kH / 4)}), 45.0) << "picture " << f;
        }
    }
    std::system(("rm -rf " + dir).c_str());
}

// A textured scene whose upper part moves by (t, t/2) samples; macroblocks of the still lower part can be skipped.
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
        p.cb[i] = uint8_t(100 + (i % 80 + (i < 80 * 32 ? t : 0)) % 60);
        p.cr[i] = uint8_t(150 - (i / 80 + (i < 80 * 32 ? 2 * t : 0)) % 50);
    }
    return p;
}

// The stream features an outside encoder cannot make, against the test encoder's reconstruction. Shared
// building blocks would agree on garbage, so the pictures must also be close to their sources.
TEST(H263Reconstruction, DecoderReproducesTheTestEncodersReconstruction)
{
    // Outward near every edge (the predictors must ramp up), a drift inside, and a few reversals against
    // large predictors, which need the wrap-around of unrestricted vectors.
    auto edges = [](int col, int row) {
        return Vector{col == 0 ? -60 : col >= 8 ? (row == 3 ? -60 : 60) : 3,
                      row == 0 ? (col == 4 ? 60 : -60) : row >= 5 ? (row == 6 && col == 5 ? -60 : 60) : -2};
    };
    auto dquant = [](int col, int row) { return (col + row) % 5 - 2; };
    auto delta = [](int col, int row) { return Vector{(col % 3) - 1, (row % 3) - 1}; };
    auto drift = [](int, int row) { return row < 4 ? Vector{2, 1} : Vector{}; };
    auto split = [](auto vector) { // four different vectors in every third macroblock
        return [vector](int col, int row) {
            const Vector v = vector(col, row);
            const bool four = (col + row) % 3 == 0;
            return std::array<Vector, 4>{v, Vector{v.x + 3 * four, v.y}, Vector{v.x, v.y - 2 * four},
                                         Vector{v.x - four, v.y + four}};
        };
    };
    const std::pair<const char *, PictureOptions> cases[] = {
        {"restricted vectors", {.quant = 6, .vector = drift}},
        {"unrestricted vectors past every edge", {.quant = 8, .unrestricted = true, .vector = edges}},
        {"PB-frames", {.quant = 9, .vector = drift, .trb = 2, .dbquant = 2, .bDelta = delta}},
        {"PB-frames, unrestricted",
         {.quant = 12, .unrestricted = true, .vector = edges, .trb = 1, .dbquant = 3, .bDelta = delta}},
        {"DQUANT, GOB headers, stuffing, intra macroblocks",
         {.quant = 10, .gobHeaders = true, .stuffingEvery = 7, .intraEvery = 9, .vector = drift, .dquant = dquant}},
        {"DQUANT clipped to 1 and to 31",
         {.quant = 2, .vector = drift, .dquant = [](int, int row) { return row < 3 ? -2 : 2; }}},
        {"arithmetic coding, every feature",
         {.quant = 11, .unrestricted = true, .arithmetic = true, .gobHeaders = true, .stuffingEvery = 5,
          .intraEvery = 11, .vector = [&](int col, int row) { return row == 4 ? Vector{} : edges(col, row); },
          .dquant = dquant, .trb = 1, .dbquant = 1, .bDelta = delta}},
        {"advanced prediction, PB-frames, unrestricted, GOB headers",
         {.quant = 9, .unrestricted = true, .advancedPrediction = true, .gobHeaders = true, .intraEvery = 17,
          .vector = edges, .blockVectors = split(edges), .trb = 2, .dbquant = 1, .bDelta = delta}},
    };
    for (const auto &[name, base] : cases) {
        SCOPED_TRACE(name);
        testenc::H263TestEncoder enc(base.arithmetic ? sacStandInModels() : builtinSacModels());
        Player run(base.arithmetic);
        for (int n = 0, tr = 0; n < 4; ++n, ++run.counter) {
            PictureOptions o = base;
            const Picture b = scene(2 * n - 1), p = scene(2 * n);
            o.intra = n == 0;
            o.bSource = base.bDelta && n > 0 ? &b : nullptr;
            o.tr = tr += o.bSource ? 3 : 1;
            const auto e = enc.encode(p, o);
            run.shown.clear();
            ASSERT_EQ(run.decode(e.bytes), R::Decoded);
            EXPECT_FALSE(run.dec.damaged()) << "picture " << n;
            ASSERT_EQ(run.shown.size(), e.shown.size());
            for (size_t i = 0; i < e.shown.size(); ++i) {
                const Picture &ours = run.shown[i];
                EXPECT_GT(psnr(ours.y.data(), (i + 1 < e.shown.size() ? b : p).y.data(), 160 * 112), 24.0) << n;
                EXPECT_TRUE(ours.y == e.shown[i].y && ours.cb == e.shown[i].cb && ours.cr == e.shown[i].cr)
                    << "picture " << n << "." << i;
            }
        }
    }
    const auto e = testenc::H263TestEncoder(sacStandInModels()).encode(scene(0), {.intra = true, .arithmetic = true});
    EXPECT_EQ(Player().decode(e.bytes), R::ArithUnsupported) << "arithmetic pictures need every model";
}

BitWriter pictureHeader(int tr, bool inter, bool umv = false, bool pb = false, int trb = 0, int quant = 8,
                        bool cpm = false)
{
    BitWriter w;
    w.put(0x20u << 8 | tr, 30);                         // picture start code, TR
    w.put(0x82u << 5 | inter << 4 | umv << 3 | pb, 13); // PTYPE: format 2 and the mode bits
    w.put(static_cast<uint32_t>(quant) << 1 | cpm, 6);  // PQUANT, CPM
    if (cpm)
        w.put(1, 2); // PSBI
    if (pb)
        w.put(static_cast<uint32_t>(trb) << 2, 5); // TRB, DBQUANT
    w.put(0, 1);                                    // PEI
    return w;
}

// count intra macroblocks whose six blocks are flat at dc.
BitWriter &intraMBs(BitWriter &w, int count, int dc)
{
    for (int n = 0; n < count; ++n) {
        w.put(1 << 4 | 3, 5); // MCBPC: INTRA, no chroma coefficients; CBPY: none
        for (int i = 0; i < 6; ++i)
            w.put(static_cast<uint32_t>(dc), 8);
    }
    return w;
}

void mvd(BitWriter &w, int code) // code 0..63 as in the MVD table
{
    for (uint32_t c = 0; c < 4096 && code; ++c)
        if (kMvd[c].value == code)
            return w.put(c >> (12 - kMvd[c].length), kMvd[c].length + 1);
    w.put(1, 1);
}

TEST(H263Damage, VectorsThatWouldReadOutsideTheReferenceAreRefused)
{
    const struct {
        const char *name;
        int mb, x, y, bdx = 0, trb = 0, tr = 1;
        bool pb = false, umv = false, damaged = true;
        R result = R::Decoded;
    } cases[] = {
        {"half sample left of the picture", 0, -1, 0},
        {"half sample right of the picture", 9, 1, 0},
        {"half sample below the coded rows", 69, 0, 1},
        {"half sample inside", 0, 1, 1, 0, 0, 1, false, false, false},
        {"B-vector left of the picture", 0, 0, 0, -2, 1, 2, true},
        {"B-vector scaled by TRB > TRD past the edge image", 0, -60, 0, 0, 7, 1, true, true},
        {"PB-frame with TRD 0", 0, 0, 0, 0, 1, 0, true, false, false, R::Refused},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Player run;
        BitWriter intra = pictureHeader(0, false), w = pictureHeader(c.tr, true, c.umv, c.pb, c.trb);
        ASSERT_EQ(run.decode(intraMBs(intra, 70, 100).bytes()), R::Decoded);
        ++run.counter;
        for (int i = 0; i < c.mb; ++i)
            w.put(1, 1); // skipped
        w.put(0b0111, 4); // COD 0, MCBPC INTER without chroma, CBPY none (inter)
        if (c.pb)
            w.put(c.bdx ? 0b10 : 0, c.bdx ? 2 : 1); // MODB: MVDB only, or nothing
        mvd(w, c.x & 63), mvd(w, c.y & 63);
        if (c.pb && c.bdx)
            mvd(w, c.bdx & 63), mvd(w, 0);
        for (int i = c.mb + 1; i < 70; ++i)
            w.put(1, 1);
        EXPECT_EQ(run.decode(w.bytes()), c.result);
        EXPECT_EQ(run.dec.damaged(), c.damaged);
    }
}

TEST(H263Damage, ClippedValuesEarlyEndsResyncAndHeaderFieldsPlaceEveryMacroblock)
{
    BitWriter clip = pictureHeader(0, true, false, false, 0, 31), end = pictureHeader(0, false),
              gob = pictureHeader(0, false), cpm = pictureHeader(0, false, false, false, 0, 8, true),
              skip = pictureHeader(0, true);
    clip.put(0b01'1011'11, 8);                // COD 0, MCBPC INTER without chroma, CBPY block 0, zero vector
    clip.put(0b0000011u << 15 | 1 << 14 | 127, 22); // ESCAPE, LAST 1, RUN 0, LEVEL 127: 31 x 255 = 7905
    intraMBs(end, 5, 200);
    intraMBs(intraMBs(gob, 10, 100), 3, 150);
    gob.put(2, 9);                      // an invalid MCBPC
    gob.put(1u << 12 | 2 << 7 | 8, 29); // GOB start code, GN 2, GFID 0, GQUANT 8
    intraMBs(gob, 50, 50);
    for (int i = 0; i < 70; ++i)
        skip.put(1, 1);
    const struct {
        BitWriter &w;
        int damaged; // -1: either
        std::vector<std::tuple<int, int, int>> luma; // x, y, value
    } cases[] = {
        {clip, -1, {{0, 0, 255}, {7, 7, 255}, {8, 0, 0}}}, // a first P-picture predicts from the zeroed stores
        {end, -1, {{4 * 16 + 8, 8, 200}, {5 * 16 + 8, 8, 0}}}, // the fifth macroblock, pending at the end
        {gob, 1, {{2 * 16 + 8, 24, 150}, {9 * 16 + 8, 24, 0}, {8, 40, 50}}},
        {intraMBs(cpm, 70, 90), 0, {{159, 111, 90}}},
        {skip, 0, {{0, 0, 0}, {80, 56, 0}, {159, 119, 0}}}, // the stores start zeroed
    };
    for (const auto &c : cases) { // bytes behind the picture's end must not matter
        std::vector<uint8_t> b = c.w.bytes();
        b.insert(b.end(), 16, 0xFF);
        Player run;
        EXPECT_EQ(run.decode(b.data(), b.size() - 16), R::Decoded);
        EXPECT_TRUE(c.damaged < 0 || run.dec.damaged() == bool(c.damaged));
        for (auto [x, y, v] : c.luma)
            EXPECT_EQ(run.shown.back().y[y * 160 + x], v) << x << "," << y;
    }
}

TEST(H263Damage, TruncatedAndCorruptedPicturesOfEachKindEndAndTheDecoderRecovers)
{
    Picture src = Picture::blank(160, 112);
    for (size_t i = 0; i < src.y.size(); ++i)
        src.y[i] = static_cast<uint8_t>(i * 7 % 251);
    std::vector<std::vector<uint8_t>> records;
    for (bool arith : {false, true}) {
        testenc::H263TestEncoder enc(sacStandInModels());
        const auto vec = [](int c, int r) { return Vector{c - 5, r - 3}; };
        records.push_back(enc.encode(src, {.intra = true, .tr = 1, .arithmetic = arith}).bytes);
        records.push_back(enc.encode(src, {.tr = 2, .arithmetic = arith, .vector = vec}).bytes);
        records.push_back(enc.encode(src, {.tr = 5, .unrestricted = true, .arithmetic = arith, .vector = vec,
                                           .bSource = &src, .trb = 2}).bytes);
    }
    Player clean(true), run(true);
    clean.decode(records[0]);
    std::mt19937 rng(7);
    for (const auto &rec : records) {
        for (size_t cut = 0; cut < rec.size(); cut += 1 + cut / 8, ++run.counter)
            run.decode(rec.data(), cut);
        for (int k = 0; k < 60; ++k, ++run.counter) {
            std::vector<uint8_t> bad = rec;
            for (int f = 0; f < 1 + k % 4; ++f)
                bad[rng() % bad.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
            run.decode(bad);
        }
    }
    run.decode(records[0]);
    EXPECT_EQ(run.shown.back().y, clean.shown.back().y) << "an intact picture decodes as on a fresh decoder";
}

} // namespace
} // namespace kv::video
