#include "video/sac_models.h"

#include <array>

namespace kv::video {
namespace {

constexpr std::array<int, 3> cumfCod{16383, 6849, 0};
constexpr std::array<int, 4> cumfModb{16383, 6062, 2130, 0};
constexpr std::array<int, 3> cumfYcbpb{16383, 6062, 0};
constexpr std::array<int, 3> cumfUvcbpb{16383, 491, 0};
constexpr std::array<int, 5> cumfDquant{16383, 12287, 8192, 4095, 0};
constexpr std::array<int, 3> cumfSign{16383, 8416, 0};
constexpr std::array<int, 3> cumfLast{16383, 9469, 0};
constexpr std::array<int, 3> cumfLastIntra{16383, 2820, 0};

template <std::size_t N>
constexpr std::array<int, N> identity() {
    std::array<int, N> t{};
    for (std::size_t i = 0; i < N; ++i) t[i] = static_cast<int>(i);
    return t;
}

constexpr std::array<int, 2> bitTab = identity<2>();
constexpr std::array<int, 3> modbTab = identity<3>();
constexpr std::array<int, 64> runTab = identity<64>();
constexpr std::array<int, 4> dquantTab{1, 0, 3, 4};
constexpr std::array<int, 21> mcbpcTab{0, 16, 32, 48, 1, 17, 33, 49, 2, 18, 34,
                                       50, 3, 19, 35, 51, 4, 20, 36, 52, 255};
constexpr std::array<int, 9> mcbpcIntraTab{3, 19, 35, 51, 4, 20, 36, 52, 255};
constexpr std::array<int, 16> cbpyIntraTab = identity<16>();

constexpr std::array<int, 16> cbpyTab = [] {
    std::array<int, 16> t{};
    for (int i = 0; i < 16; ++i) t[i] = 15 - i;
    return t;
}();

// MVD codes 0..63, where 32..63 stand for code - 64: index 0 is -32.
constexpr std::array<int, 64> mvdTab = [] {
    std::array<int, 64> t{};
    for (int i = 0; i < 64; ++i) t[i] = (i + 32) % 64;
    return t;
}();

// INTRADC 1..254 with 255 in place of 128.
constexpr std::array<int, 254> intradcTab = [] {
    std::array<int, 254> t{};
    for (int i = 0; i < 127; ++i) t[i] = i + 1;
    t[127] = 255;
    for (int i = 128; i < 254; ++i) t[i] = i + 1;
    return t;
}();

// ESCAPE levels: the negative levels first (as 256 + level), then 1..127.
constexpr std::array<int, 254> levelTab = [] {
    std::array<int, 254> t{};
    for (int i = 0; i < 127; ++i) t[i] = 129 + i;
    for (int i = 127; i < 254; ++i) t[i] = i - 126;
    return t;
}();

// The regular TCOEF events in the order of the H.263 TCOEF table, packed as
// LAST * 4096 + RUN * 16 + LEVEL, then ESCAPE. Each row gives the largest
// level with its own code for every run.
constexpr std::array<int, 27> maxLevelLast0{12, 6, 4, 3, 3, 3, 3, 2, 2, 2, 2, 1, 1, 1,
                                            1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
constexpr std::array<int, 41> maxLevelLast1 = [] {
    std::array<int, 41> t{};
    t[0] = 3;
    t[1] = 2;
    for (int i = 2; i < 41; ++i) t[i] = 1;
    return t;
}();
constexpr int kEscape = 7167;

constexpr std::array<int, 103> tcoefTab = [] {
    std::array<int, 103> t{};
    int n = 0;
    for (int run = 0; run < 27; ++run)
        for (int level = 1; level <= maxLevelLast0[run]; ++level) t[n++] = run * 16 + level;
    for (int run = 0; run < 41; ++run)
        for (int level = 1; level <= maxLevelLast1[run]; ++level) t[n++] = 4096 + run * 16 + level;
    t[n++] = kEscape;
    return t;
}();
static_assert(tcoefTab[101] == 4737 && tcoefTab[102] == kEscape, "102 regular events, then ESCAPE");

constexpr SacModel model(std::span<const int> cumf, std::span<const int> values) { return {cumf, values}; }
constexpr SacModel missing(std::span<const int> values) { return {{}, values}; }

const SacModelSet builtin{
    .cod = model(cumfCod, bitTab),
    .mcbpc = missing(mcbpcTab),
    .mcbpcIntra = missing(mcbpcIntraTab),
    .modb = model(cumfModb, modbTab),
    .ycbpb = model(cumfYcbpb, bitTab),
    .uvcbpb = model(cumfUvcbpb, bitTab),
    .cbpy = missing(cbpyTab),
    .cbpyIntra = missing(cbpyIntraTab),
    .dquant = model(cumfDquant, dquantTab),
    .mvd = missing(mvdTab),
    .intradc = missing(intradcTab),
    .tcoef1 = missing(tcoefTab),
    .tcoef2 = missing(tcoefTab),
    .tcoef3 = missing(tcoefTab),
    .tcoefr = missing(tcoefTab),
    .tcoef1Intra = missing(tcoefTab),
    .tcoef2Intra = missing(tcoefTab),
    .tcoef3Intra = missing(tcoefTab),
    .tcoefrIntra = missing(tcoefTab),
    .sign = model(cumfSign, bitTab),
    .last = model(cumfLast, bitTab),
    .lastIntra = model(cumfLastIntra, bitTab),
    .run = missing(runTab),
    .runIntra = missing(runTab),
    .level = missing(levelTab),
    .levelIntra = missing(levelTab),
};

}  // namespace

bool SacModelSet::complete() const {
    for (const SacModel *m : {&cod, &mcbpc, &mcbpcIntra, &modb, &ycbpb, &uvcbpb, &cbpy, &cbpyIntra, &dquant,
                              &mvd, &intradc, &tcoef1, &tcoef2, &tcoef3, &tcoefr, &tcoef1Intra, &tcoef2Intra,
                              &tcoef3Intra, &tcoefrIntra, &sign, &last, &lastIntra, &run, &runIntra, &level,
                              &levelIntra})
        if (!m->available()) return false;
    return true;
}

const SacModelSet &builtinSacModels() { return builtin; }

}  // namespace kv::video
