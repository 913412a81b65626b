// Guards against an arithmetic decoder drifting from the coder, keeping prevention bits, reading into start codes.
#include <gtest/gtest.h>

#include <random>

#include "../support/sac_stand_in_models.h"
#include "h263_test_encoder.h"
#include "video/sac_decoder.h"

namespace kv::video {
namespace {

struct Bits {  // reads zeros past the end
    std::vector<uint8_t> data;
    std::size_t pos = 0;
    uint32_t showbits(int n) const {
        uint32_t v = 0;
        for (std::size_t i = pos; i < pos + n; ++i) v = v << 1 | (i / 8 < data.size() ? data[i / 8] >> (7 - i % 8) & 1 : 0);
        return v;
    }
    uint32_t getbits(int n) { const uint32_t v = showbits(n); pos += n; return v; }
};

// A decoder reset on the bit string s of '0' and '1'.
std::pair<Bits, SacDecoder<Bits>> resetOn(const std::string &s) {
    testenc::BitWriter w;
    for (char c : s) w.put(c == '1', 1);
    std::pair<Bits, SacDecoder<Bits>> p{Bits{w.bytes()}, {}};
    p.second.reset(p.first);
    return p;
}

TEST(SacDecoder, DecodesWhatTheEncoderCodedAndStopsAtTheNextStartCode) {
    const SacModelSet &b = builtinSacModels(), &stand = sacStandInModels();
    const std::vector<SacModel> models{b.cod, b.modb, b.ycbpb, b.uvcbpb, b.dquant, b.sign, b.last, b.lastIntra,
                                       stand.mvd, stand.tcoef1, stand.level, stand.mcbpcIntra};
    // Random symbols, then runs of each model's bottom symbol: long runs of 0 bits that need prevention bits.
    std::mt19937 rng(7);
    std::vector<std::pair<int, int>> coded;
    testenc::BitWriter w;
    testenc::SacEncoder enc(w);
    for (int i = 0; i < 3000; ++i) {
        const int m = int(rng() % models.size()), n = int(models[m].cumf.size()) - 1;
        enc.encode(coded.emplace_back(m, i < 2000 ? int(rng() % n) : n - 1).second, models[m]);
    }
    enc.flush();
    const std::size_t dataEnd = w.bitCount();
    w.put(1, 17);  // start code
    Bits r{w.bytes()};
    SacDecoder<Bits> dec;
    dec.reset(r);
    for (std::size_t i = 0; i < coded.size(); ++i)
        ASSERT_EQ(dec.decodeSymbol(r, models[coded[i].first]), coded[i].second) << "symbol " << i;
    for (int i = 0; i < 20; ++i) dec.decodeSymbol(r, models[i % models.size()]);
    EXPECT_EQ(r.pos, dataEnd) << "zero bits in front of a start code are delivered, not read";
}

TEST(SacDecoder, ResetDropsPreventionBitsStopsAtStartCodesAndNoSearchLeavesItsModel) {
    const std::pair<std::string, std::size_t> cases[] = {
        {std::string(14, '0') + "10" + "1111111111", 17},  // the 1 after fourteen 0 bits is dropped
        {std::string(15, '0') + "1" + "1111111111", 16},   // a fifteenth 0 is data; the 1 after it too
        {"1010101010" + std::string(16, '0') + "1", 10},    // start code after 10 bits: zeros fill up
        {std::string(14, '0') + "1" + std::string(16, '0') + "1", 15}};  // nor after a prevention bit
    for (const auto &[bits, consumed] : cases) EXPECT_EQ(resetOn(bits).first.pos, consumed) << bits;
    // cod's symbol 0 lies at the top of the interval.
    for (auto [bits, cod] : {std::pair{std::string(16, '1'), 0}, {std::string(17, '0'), 1}}) {
        auto [r, dec] = resetOn(bits + "1111");
        EXPECT_EQ(dec.decodeSymbol(r, builtinSacModels().cod), cod) << bits;
    }
    const std::vector<int> storage{16383, 9000, 400, 300, 200};  // counts not ending at 0: the last symbol
    auto [r, dec] = resetOn(std::string(40, '0'));
    EXPECT_EQ(dec.decodeSymbol(r, {std::span(storage).first(3), {}}), 1);
}

TEST(SacModels, OnlyTheSmallModelsHaveCountsAndEveryModelItsValues) {
    const SacModelSet &b = builtinSacModels();
    EXPECT_EQ(std::pair(b.complete(), sacStandInModels().complete()), std::pair(false, true));
    for (const SacModel *m : {&b.cod, &b.modb, &b.ycbpb, &b.uvcbpb, &b.dquant, &b.sign, &b.last, &b.lastIntra})
        ASSERT_TRUE(m->available() && m->cumf.size() == m->values.size() + 1 && m->cumf.front() == 16383);
    for (const SacModel *m : {&b.mcbpc, &b.cbpy, &b.mvd, &b.intradc, &b.tcoefrIntra, &b.runIntra, &b.level})
        EXPECT_FALSE(m->available());
    EXPECT_EQ(std::vector({b.mvd.values[0], b.intradc.values[127], b.level.values[0], b.level.values[253],
                           b.tcoef1.values[12]}), std::vector({32, 255, 129, 127, 17}));  // 12: LAST 0, RUN 1, LEVEL 1
}

}  // namespace
}  // namespace kv::video
