// Guards against damaged or crafted H.263 pictures that read outside the reference, wrap a clipped coefficient, lose the macroblocks around an error, or leave the decoder unable to go on.
#include "../support/sac_stand_in_models.h"
#include "h263_test_encoder.h"
#include "video/h263_decoder.h"
#include "video/h263_vlc_tables.h"

#include <gtest/gtest.h>

#include <random>

namespace kv::video {
namespace {

using testenc::BitWriter;
using R = H263Decoder::Result;

struct Header {
    int tr = 0;
    bool inter = false, umv = false, pb = false, cpm = false;
    int quant = 8, trb = 0;
};

BitWriter pictureHeader(const Header &h)
{
    BitWriter w;
    w.put(0x20, 22); // picture start code
    w.put(static_cast<uint32_t>(h.tr), 8); // TR
    // PTYPE: marker, 0, no split screen, camera or freeze release, format 2, the mode bits
    w.put(0x82u << 5 | h.inter << 4 | h.umv << 3 | h.pb, 13);
    w.put(static_cast<uint32_t>(h.quant) << 1 | h.cpm, 6); // PQUANT, CPM
    if (h.cpm)
        w.put(1, 2); // PSBI
    if (h.pb)
        w.put(static_cast<uint32_t>(h.trb) << 2, 5); // TRB, DBQUANT
    w.put(0, 1);                                      // PEI
    return w;
}

// count intra macroblocks whose six blocks are flat at dc.
void intraMBs(BitWriter &w, int count, int dc)
{
    for (int n = 0; n < count; ++n) {
        w.put(1 << 4 | 3, 5); // MCBPC: INTRA, no chroma coefficients; CBPY: none
        for (int i = 0; i < 6; ++i)
            w.put(static_cast<uint32_t>(dc), 8);
    }
}

void mvd(BitWriter &w, int code) // code 0..63 as in the MVD table
{
    if (code == 0)
        return w.put(1, 1);
    for (uint32_t c = 0; c < 4096; ++c)
        if (kMvd[c].value == code)
            return w.put(c >> (12 - kMvd[c].length), kMvd[c].length + 1);
}

struct Player {
    H263Decoder dec;
    std::vector<std::vector<uint8_t>> shown;
    int counter = 0;
    Player() { dec.setSink([this](const PictureView &p) { shown.emplace_back(p.y, p.y + p.width * p.height); }); }
    R decode(const std::vector<uint8_t> &b)
    {
        const auto r = dec.decodePicture(b.data(), b.size(), counter);
        counter += r != R::NoPicture;
        return r;
    }
    int luma(int x, int y) const { return shown.back()[y * 160 + x]; }
};

TEST(H263Damage, VectorsThatWouldReadOutsideTheReferenceAreRefused)
{
    struct Case {
        const char *name;
        int mb, x, y;
        bool pb = false;
        int bdx = 0, trb = 0, tr = 1;
        bool umv = false, damaged = true;
        R result = R::Decoded;
    };
    const Case cases[] = {
        {"half sample left of the picture", 0, -1, 0},
        {"half sample right of the picture", 9, 1, 0},
        {"half sample below the coded rows", 69, 0, 1},
        {"half sample inside", 0, 1, 1, false, 0, 0, 1, false, false},
        {"B-vector left of the picture", 0, 0, 0, true, -2, 1, 2},
        {"B-vector scaled by TRB > TRD past the edge image", 0, -60, 0, true, 0, 7, 1, true},
        {"PB-frame with TRD 0", 0, 0, 0, true, 0, 1, 0, false, false, R::Refused},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Player run;
        BitWriter intra = pictureHeader({});
        intraMBs(intra, 70, 100);
        ASSERT_EQ(run.decode(intra.bytes()), R::Decoded);
        BitWriter w = pictureHeader({.tr = c.tr, .inter = true, .umv = c.umv, .pb = c.pb, .trb = c.trb});
        for (int i = 0; i < 70; ++i) {
            if (i != c.mb) {
                w.put(1, 1); // skipped
                continue;
            }
            w.put(0b0111, 4); // COD 0, MCBPC INTER without chroma, CBPY none (inter)
            if (c.pb)
                w.put(c.bdx ? 0b10 : 0, c.bdx ? 2 : 1); // MODB: MVDB only, or nothing
            mvd(w, c.x & 63);
            mvd(w, c.y & 63);
            if (c.pb && c.bdx)
                mvd(w, c.bdx & 63), mvd(w, 0);
        }
        EXPECT_EQ(run.decode(w.bytes()), c.result);
        EXPECT_EQ(run.dec.damaged(), c.damaged);
    }
}

TEST(H263Damage, LargestCoefficientIsClippedNotWrapped)
{
    Player run; // a first P-picture predicts from the zeroed stores
    BitWriter w = pictureHeader({.inter = true, .quant = 31});
    w.put(0b01, 2);           // COD 0, MCBPC INTER without chroma
    w.put(0b1011, 4);         // CBPY: block 0 only
    w.put(0b11, 2);           // zero vector
    w.put(0b0000011, 7);      // ESCAPE
    w.put(1 << 14 | 127, 15); // LAST 1, RUN 0, LEVEL 127: 31 x 255 = 7905
    EXPECT_EQ(run.decode(w.bytes()), R::Decoded);
    for (auto [x, y, v] : {std::tuple{0, 0, 255}, {7, 7, 255}, {8, 0, 0}})
        EXPECT_EQ(run.luma(x, y), v) << x << "," << y;
}

TEST(H263Damage, EarlyEndResyncAndHeaderFieldsPlaceEveryMacroblock)
{
    BitWriter end = pictureHeader({}), gob = pictureHeader({}), cpm = pictureHeader({.cpm = true});
    intraMBs(end, 5, 200);
    intraMBs(gob, 10, 100);
    intraMBs(gob, 3, 150);
    gob.put(2, 9);                     // an invalid MCBPC
    gob.put(1u << 12 | 2 << 7 | 8, 29); // GOB start code, GN 2, GFID 0, GQUANT 8
    intraMBs(gob, 50, 50);
    intraMBs(cpm, 70, 90);
    const struct {
        BitWriter &w;
        int damaged; // -1: either
        std::vector<std::tuple<int, int, int>> luma; // x, y, value
    } cases[] = {
        {end, -1, {{4 * 16 + 8, 8, 200}, {5 * 16 + 8, 8, 0}}}, // the fifth macroblock, pending at the end
        {gob, 1, {{2 * 16 + 8, 24, 150}, {9 * 16 + 8, 24, 0}, {8, 40, 50}}},
        {cpm, 0, {{159, 111, 90}}},
    };
    for (const auto &c : cases) {
        Player run;
        EXPECT_EQ(run.decode(c.w.bytes()), R::Decoded);
        EXPECT_TRUE(c.damaged < 0 || run.dec.damaged() == bool(c.damaged));
        for (auto [x, y, v] : c.luma)
            EXPECT_EQ(run.luma(x, y), v) << x << "," << y;
    }
    // A P-picture first, fed from buffers with different bytes behind it: the stores start zeroed.
    BitWriter skip = pictureHeader({.inter = true});
    for (int i = 0; i < 70; ++i)
        skip.put(1, 1);
    for (uint8_t tail : {0x00, 0xFF}) {
        std::vector<uint8_t> b = skip.bytes();
        Player fresh;
        b.push_back(tail);
        fresh.dec.decodePicture(b.data(), b.size() - 1, fresh.counter);
        EXPECT_EQ(fresh.shown.back(), std::vector<uint8_t>(160 * 120, 0));
    }
}

TEST(H263Damage, TruncatedAndCorruptedPicturesOfEachKindEndAndTheDecoderRecovers)
{
    testenc::Picture src = testenc::Picture::blank(160, 112);
    for (size_t i = 0; i < src.y.size(); ++i)
        src.y[i] = static_cast<uint8_t>(i * 7 % 251);
    std::vector<std::vector<uint8_t>> records;
    for (bool arith : {false, true}) {
        testenc::H263TestEncoder enc(sacStandInModels());
        const auto vec = [](int c, int r) { return testenc::Vector{c - 5, r - 3}; };
        records.push_back(enc.encode(src, {.intra = true, .tr = 1, .arithmetic = arith}).bytes);
        records.push_back(enc.encode(src, {.tr = 2, .arithmetic = arith, .vector = vec}).bytes);
        records.push_back(enc.encode(src, {.tr = 5, .unrestricted = true, .arithmetic = arith, .vector = vec,
                                           .bSource = &src, .trb = 2}).bytes);
    }
    Player clean, run;
    clean.dec.setSacModels(sacStandInModels());
    run.dec.setSacModels(sacStandInModels());
    clean.decode(records[0]);
    std::mt19937 rng(7);
    for (const auto &rec : records) {
        for (size_t cut = 0; cut < rec.size(); cut += 1 + cut / 8)
            run.decode({rec.begin(), rec.begin() + static_cast<long>(cut)});
        for (int k = 0; k < 60; ++k) {
            std::vector<uint8_t> bad = rec;
            for (int f = 0; f < 1 + k % 4; ++f)
                bad[rng() % bad.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
            run.decode(bad);
        }
    }
    run.decode(records[0]);
    EXPECT_EQ(run.shown.back(), clean.shown.back()) << "an intact picture decodes as on a fresh decoder";
}

} // namespace
} // namespace kv::video
