// The decoder on crafted and damaged pictures: every input ends, stays in
// bounds, and leaves the decoder able to go on.
#include "../support/sac_stand_in_models.h"
#include "h263_test_encoder.h"
#include "video/h263_decoder.h"
#include "video/h263_vlc_tables.h"

#include <gtest/gtest.h>

#include <random>

namespace kv::video {
namespace {

using testenc::BitWriter;

struct Header {
    int tr = 0;
    bool inter = false, umv = false, sac = false, pb = false, cpm = false;
    int quant = 8, trb = 0;
};

void pictureHeader(BitWriter &w, const Header &h)
{
    w.put(0x20, 22); // picture start code
    w.put(static_cast<uint32_t>(h.tr), 8);
    // PTYPE: marker, 0, no split screen, camera or freeze release, format 2, the mode bits
    w.put(0x82u << 5 | h.inter << 4 | h.umv << 3 | h.sac << 2 | h.pb, 13);
    w.put(static_cast<uint32_t>(h.quant) << 1 | h.cpm, 6); // PQUANT, CPM
    if (h.cpm)
        w.put(1, 2); // PSBI
    if (h.pb)
        w.put(static_cast<uint32_t>(h.trb) << 2, 5); // TRB, DBQUANT
    w.put(0, 1);                                      // PEI
}

// An intra macroblock whose six blocks are flat at dc.
void intraMB(BitWriter &w, int dc)
{
    w.put(1, 1);   // MCBPC: INTRA, no chroma coefficients
    w.put(3, 4);   // CBPY: none
    for (int i = 0; i < 6; ++i)
        w.put(static_cast<uint32_t>(dc), 8);
}

void mvd(BitWriter &w, int code) // code 0..63 as in the MVD table
{
    if (code == 0)
        return w.put(1, 1);
    for (uint32_t c = 0; c < 4096; ++c)
        if (kMvd[c].value == code)
            return w.put(c >> (12 - kMvd[c].length), kMvd[c].length + 1);
}

// An INTER macroblock with no coefficients and the differential vector (x, y).
void interMB(BitWriter &w, int x, int y, bool pb = false, int bx = 0)
{
    w.put(0b0111, 4); // COD 0, MCBPC INTER without chroma, CBPY none (inter)
    if (pb)
        w.put(bx ? 0b10 : 0, bx ? 2 : 1); // MODB: MVDB only, or nothing
    mvd(w, x & 63);
    mvd(w, y & 63);
    if (pb && bx) {
        mvd(w, bx & 63);
        mvd(w, 0);
    }
}

struct Player {
    H263Decoder dec;
    std::vector<std::vector<uint8_t>> shown;
    int counter = 0;
    Player() { dec.setSink([this](const PictureView &p) { shown.emplace_back(p.y, p.y + p.width * p.height); }); }
    H263Decoder::Result decode(const std::vector<uint8_t> &b)
    {
        const auto r = dec.decodePicture(b.data(), b.size(), counter);
        if (r != H263Decoder::Result::NoPicture)
            ++counter;
        return r;
    }
    int luma(int x, int y) const { return shown.back()[y * 160 + x]; }
};

BitWriter flatIntra(int dc)
{
    BitWriter w;
    pictureHeader(w, {});
    for (int i = 0; i < 70; ++i)
        intraMB(w, dc);
    return w;
}

TEST(H263Damage, VectorsThatWouldReadOutsideTheReferenceAreRefused)
{
    using R = H263Decoder::Result;
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
        ASSERT_EQ(run.decode(flatIntra(100).bytes()), R::Decoded);
        BitWriter w;
        pictureHeader(w, {.tr = c.tr, .inter = true, .umv = c.umv, .pb = c.pb, .trb = c.trb});
        for (int i = 0; i < 70; ++i) {
            if (i == c.mb)
                interMB(w, c.x, c.y, c.pb, c.bdx);
            else
                w.put(1, 1); // skipped
        }
        EXPECT_EQ(run.decode(w.bytes()), c.result);
        EXPECT_EQ(run.dec.damaged(), c.damaged);
    }
}

TEST(H263Damage, LargestCoefficientIsClippedNotWrapped)
{
    Player run; // a first P-picture predicts from the zeroed stores
    BitWriter w;
    pictureHeader(w, {.inter = true, .quant = 31});
    w.put(0b01, 2);     // COD 0, MCBPC INTER without chroma
    w.put(0b1011, 4);   // CBPY: block 0 only
    w.put(0b11, 2);     // zero vector
    w.put(0b0000011, 7); // ESCAPE
    w.put(1 << 14 | 127, 15); // LAST 1, RUN 0, LEVEL 127: 31 x 255 = 7905
    EXPECT_EQ(run.decode(w.bytes()), H263Decoder::Result::Decoded);
    EXPECT_EQ(run.luma(0, 0), 255);
    EXPECT_EQ(run.luma(7, 7), 255);
    EXPECT_EQ(run.luma(8, 0), 0);
}

TEST(H263Damage, EarlyEndAndResyncPlaceThePendingMacroblock)
{
    Player run;
    BitWriter end;
    pictureHeader(end, {});
    for (int i = 0; i < 5; ++i)
        intraMB(end, 200);
    run.decode(end.bytes());
    EXPECT_EQ(run.luma(4 * 16 + 8, 8), 200); // the fifth macroblock, pending at the end
    EXPECT_EQ(run.luma(5 * 16 + 8, 8), 0);

    BitWriter gob;
    pictureHeader(gob, {});
    for (int i = 0; i < 13; ++i)
        intraMB(gob, i < 10 ? 100 : 150);
    gob.put(2, 9);              // an invalid MCBPC
    gob.put(0x1, 17);           // GOB start code
    gob.put(2, 5);              // GN 2
    gob.put(8, 7);              // GFID, GQUANT
    for (int i = 20; i < 70; ++i)
        intraMB(gob, 50);
    Player second;
    second.decode(gob.bytes());
    EXPECT_TRUE(second.dec.damaged());
    EXPECT_EQ(second.luma(2 * 16 + 8, 16 + 8), 150);
    EXPECT_EQ(second.luma(9 * 16 + 8, 16 + 8), 0);
    EXPECT_EQ(second.luma(8, 2 * 16 + 8), 50);
}

TEST(H263Damage, HeaderFieldsStayInStepAndStoresStartZeroed)
{
    BitWriter cpm;
    pictureHeader(cpm, {.cpm = true});
    for (int i = 0; i < 70; ++i)
        intraMB(cpm, 90);
    Player run;
    EXPECT_EQ(run.decode(cpm.bytes()), H263Decoder::Result::Decoded);
    EXPECT_FALSE(run.dec.damaged());
    EXPECT_EQ(run.luma(159, 111), 90);

    // A P-picture first, fed from buffers with different bytes behind it.
    BitWriter skip;
    pictureHeader(skip, {.inter = true});
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

TEST(H263Damage, ArithmeticPicturesEndAndBoundTheirCoefficients)
{
    Player run;
    const SacModelSet &m = sacStandInModels();
    run.dec.setSacModels(m);
    BitWriter empty; // a header and no data: stuffing decoded from zeros
    pictureHeader(empty, {.sac = true});
    EXPECT_EQ(run.decode(empty.bytes()), H263Decoder::Result::Decoded);

    BitWriter w;
    pictureHeader(w, {.sac = true});
    testenc::SacEncoder sac(w);
    sac.encodeValue(3, m.mcbpcIntra);
    sac.encodeValue(8, m.cbpyIntra);
    sac.encodeValue(100, m.intradc);
    for (int i = 0; i < 2; ++i) { // run 63 twice: past the last position
        sac.encodeValue(kTcoefEscape, m.tcoef1Intra);
        sac.encodeValue(0, m.lastIntra);
        sac.encodeValue(63, m.runIntra);
        sac.encodeValue(1, m.levelIntra);
    }
    sac.flush();
    EXPECT_EQ(run.decode(w.bytes()), H263Decoder::Result::Decoded);
    EXPECT_TRUE(run.dec.damaged());
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
    Player clean;
    clean.dec.setSacModels(sacStandInModels());
    clean.decode(records[0]);
    std::mt19937 rng(7);
    Player run;
    run.dec.setSacModels(sacStandInModels());
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
    run.decode(records[0]); // an intact intra picture decodes as on a fresh decoder
    EXPECT_EQ(run.shown.back(), clean.shown.back());
}

} // namespace
} // namespace kv::video
