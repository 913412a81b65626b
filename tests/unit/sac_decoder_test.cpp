// The arithmetic symbol decoder against the test encoder's arithmetic coder,
// under the known models and under stand-in models for the missing ones.
#include <gtest/gtest.h>

#include <random>

#include "../support/sac_stand_in_models.h"
#include "h263_test_encoder.h"
#include "video/sac_decoder.h"

namespace kv::video {
namespace {

// Bit source over a byte string, reading zeros past its end.
struct Bits {
    std::vector<uint8_t> data;
    std::size_t pos = 0;
    uint32_t showbits(int n) const {
        uint32_t v = 0;
        for (std::size_t i = pos; i < pos + n; ++i)
            v = v << 1 | (i / 8 < data.size() ? (data[i / 8] >> (7 - i % 8)) & 1 : 0);
        return v;
    }
    uint32_t getbits(int n) { const uint32_t v = showbits(n); pos += n; return v; }
};

Bits fromString(const std::string &s) {
    testenc::BitWriter w;
    for (char c : s) w.put(c == '1', 1);
    return {w.bytes()};
}

TEST(SacDecoder, DecodesWhatTheEncoderCodedAndStopsAtTheNextStartCode) {
    const SacModelSet &b = builtinSacModels(), &stand = sacStandInModels();
    const std::vector<SacModel> models{b.cod, b.modb, b.ycbpb, b.uvcbpb, b.dquant, b.sign, b.last, b.lastIntra,
                                       stand.mvd, stand.tcoef1, stand.level, stand.mcbpcIntra};
    // Random symbols, then long runs of each model's bottom symbol, which
    // make long runs of 0 bits that need emulation-prevention bits.
    std::mt19937 rng(7);
    std::vector<std::pair<int, int>> coded;
    for (int i = 0; i < 3000; ++i) {
        const int m = int(rng() % models.size());
        const int n = int(models[m].cumf.size()) - 1;
        coded.push_back({m, i < 2000 ? int(rng() % n) : n - 1});
    }
    testenc::BitWriter w;
    testenc::SacEncoder enc(w);
    for (auto [m, symbol] : coded) enc.encode(symbol, models[m]);
    enc.flush();
    const std::size_t dataEnd = w.bitCount();
    w.put(1, 17);  // start code
    w.put(0x1f, 5);
    std::string bits;
    for (Bits r{w.bytes()}; r.pos < dataEnd;) bits += char('0' + r.getbits(1));
    EXPECT_NE(bits.find(std::string(14, '0') + "1"), std::string::npos);
    EXPECT_EQ(bits.find(std::string(15, '0')), std::string::npos);

    Bits r{w.bytes()};
    SacDecoder<Bits> dec;
    dec.reset(r);
    for (std::size_t i = 0; i < coded.size(); ++i)
        ASSERT_EQ(dec.decodeSymbol(r, models[coded[i].first]), coded[i].second) << "symbol " << i;
    EXPECT_EQ(r.pos, dataEnd);
    for (int i = 0; i < 20; ++i) dec.decodeSymbol(r, models[i % models.size()]);
    EXPECT_EQ(r.pos, dataEnd) << "zero bits in front of a start code are delivered, not read";
}

TEST(SacDecoder, ResetDropsEmulationPreventionBitsAndStopsAtStartCodes) {
    struct Case { std::string bits; std::size_t consumed; };
    const std::vector<Case> cases{
        {std::string(14, '0') + "10" + "1111111111", 17},   // the 1 after fourteen 0 bits is dropped
        {std::string(15, '0') + "1" + "1111111111", 16},    // a fifteenth 0 is data; the 1 after it too
        {"1010101010" + std::string(16, '0') + "1", 10},     // start code after 10 bits: zeros fill up
        {std::string(14, '0') + "1" + std::string(16, '0') + "1", 15},  // nor after a prevention bit
    };
    for (const Case &c : cases) {
        Bits r = fromString(c.bits);
        SacDecoder<Bits> dec;
        dec.reset(r);
        EXPECT_EQ(r.pos, c.consumed) << c.bits;
    }
}

TEST(SacDecoder, CodSymbolZeroLiesAtTheTopOfTheIntervalAndNoSearchLeavesItsModel) {
    for (auto [bits, cod] : {std::pair{std::string(16, '1'), 0}, {std::string(16, '0') + "0", 1}}) {
        Bits r = fromString(bits + "1111");
        SacDecoder<Bits> dec;
        dec.reset(r);
        EXPECT_EQ(dec.decodeSymbol(r, builtinSacModels().cod), cod) << bits;
    }
    // Counts that do not end at 0: the code value below them gives the last symbol.
    const std::vector<int> storage{16383, 9000, 400, 300, 200};
    Bits r = fromString(std::string(40, '0'));
    SacDecoder<Bits> dec;
    dec.reset(r);
    EXPECT_EQ(dec.decodeSymbol(r, {std::span(storage).first(3), {}}), 1);
}

TEST(SacModels, OnlyTheSmallModelsHaveCountsAndEveryModelItsValues) {
    const SacModelSet &b = builtinSacModels();
    EXPECT_FALSE(b.complete());
    for (const SacModel *m : {&b.cod, &b.modb, &b.ycbpb, &b.uvcbpb, &b.dquant, &b.sign, &b.last, &b.lastIntra})
        ASSERT_TRUE(m->available() && m->cumf.size() == m->values.size() + 1 && m->cumf.front() == 16383);
    for (const SacModel *m : {&b.mcbpc, &b.cbpy, &b.mvd, &b.intradc, &b.tcoefrIntra, &b.runIntra, &b.level})
        EXPECT_FALSE(m->available());
    EXPECT_EQ(b.mvd.values[0], 32);
    EXPECT_EQ(b.intradc.values[127], 255);
    EXPECT_EQ(b.level.values[0], 129);
    EXPECT_EQ(b.level.values[253], 127);
    EXPECT_EQ(b.tcoef1.values[12], 17);  // LAST 0, RUN 1, LEVEL 1
    EXPECT_TRUE(sacStandInModels().complete());
}

}  // namespace
}  // namespace kv::video
