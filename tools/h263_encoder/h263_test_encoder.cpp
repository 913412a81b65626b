#include "h263_test_encoder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdio>
#include <memory>
#include <numbers>
#include <optional>
#include <stdexcept>
#include <unordered_map>

#include "video/h263_recon.h"
#include "video/h263_vlc_tables.h"

namespace kv::video::testenc {

void BitWriter::put(uint32_t value, int bits) {
    for (int i = bits - 1; i >= 0; --i) {
        if (bitCount_ % 8 == 0) bytes_.push_back(0);
        if ((value >> i) & 1) bytes_.back() |= static_cast<uint8_t>(0x80 >> (bitCount_ % 8));
        ++bitCount_;
    }
}

void BitWriter::alignWithZeros() {
    if (bitCount_ % 8) put(0, 8 - static_cast<int>(bitCount_ % 8));
}

void SacEncoder::encode(int index, const SacModel &m) {
    const int64_t total = m.cumf[0];
    const int64_t length = high_ - low_ + 1;
    high_ = static_cast<int32_t>(low_ - 1 + length * m.cumf[index] / total);
    low_ = static_cast<int32_t>(low_ + length * m.cumf[index + 1] / total);
    for (;;) {
        if (high_ < 32768) {
            bitPlusFollow(0);
        } else if (low_ >= 32768) {
            bitPlusFollow(1);
            low_ -= 32768;
            high_ -= 32768;
        } else if (low_ >= 16384 && high_ < 49152) {
            ++follow_;
            low_ -= 16384;
            high_ -= 16384;
        } else {
            break;
        }
        low_ = 2 * low_;
        high_ = 2 * high_ + 1;
    }
}

void SacEncoder::encodeValue(int value, const SacModel &m) {
    const auto it = std::find(m.values.begin(), m.values.end(), value);
    if (it == m.values.end()) throw std::invalid_argument("value outside the model");
    encode(static_cast<int>(it - m.values.begin()), m);
}

void SacEncoder::flush() {
    // Low is below a quarter: send 01 (then zeros); else 10: either value
    // lies inside the final interval.
    ++follow_;
    bitPlusFollow(low_ < 16384 ? 0 : 1);
    low_ = 0;
    high_ = 65535;
    follow_ = 0;
}

void SacEncoder::bitPlusFollow(int bit) {
    emit(bit);
    for (; follow_ > 0; --follow_) emit(!bit);
}

void SacEncoder::emit(int bit) {
    out_.put(static_cast<uint32_t>(bit), 1);
    zeros_ = bit ? 0 : zeros_ + 1;
    if (zeros_ == 14) {
        out_.put(1, 1);
        zeros_ = 0;
    }
}

namespace {

constexpr int kCols = 10, kRows = 7, kWidth = 160, kHeight = 120, kEdge = 32;

struct Code {
    uint32_t bits;
    int length;
};

// Code words recovered from the decoder's look-up tables: the first index
// holding a value is its code followed by zeros.
template <std::size_t N>
std::unordered_map<int, Code> invert(const std::array<VlcEntry, N> &t) {
    const int width = std::countr_zero(N);
    std::unordered_map<int, Code> m;
    for (std::size_t i = 0; i < N; ++i)
        if (t[i].length > 0 && !m.count(t[i].value))
            m[t[i].value] = {static_cast<uint32_t>(i >> (width - t[i].length)), t[i].length};
    return m;
}

// Writes the macroblock- and block-layer symbols with VLCs or arithmetic coding.
class Syntax {
public:
    Syntax(BitWriter &w, const SacModelSet &m, bool arith) : w_(w), m_(m), arith_(arith) {}
    void startData() { if (arith_) sac_.emplace(w_); }
    void endData() { if (sac_) sac_->flush(); sac_.reset(); }
    void cod(int v) { arith_ ? sac_->encodeValue(v, m_.cod) : w_.put(v, 1); }
    void mcbpc(bool intraPicture, int v) {
        if (arith_) return sac_->encodeValue(v, intraPicture ? m_.mcbpcIntra : m_.mcbpc);
        static const auto inter = invert(kMcbpcInter), intra = invert(kMcbpcIntra);
        put((intraPicture ? intra : inter).at(v));
    }
    void modb(int v) { arith_ ? sac_->encodeValue(v, m_.modb) : v == 0 ? w_.put(0, 1) : w_.put(v + 1, 2); }
    void cbpb(int v) {
        if (!arith_) return w_.put(v, 6);
        for (int i = 5; i >= 0; --i) sac_->encodeValue((v >> i) & 1, i >= 2 ? m_.ycbpb : m_.uvcbpb);
    }
    void cbpy(bool intraType, int v) {
        static const auto codes = invert(kCbpy);
        arith_ ? sac_->encodeValue(v, intraType ? m_.cbpyIntra : m_.cbpy) : put(codes.at(intraType ? v ^ 15 : v));
    }
    void dquant(int d) {  // -2..2, not 0
        arith_ ? sac_->encodeValue(d + 2, m_.dquant) : w_.put(d == -1 ? 0 : d == -2 ? 1 : d == 1 ? 2 : 3, 2);
    }
    void mvd(int code) {  // 0..63
        static const auto codes = invert(kMvd);
        if (arith_) return sac_->encodeValue(code, m_.mvd);
        w_.put(code == 0, 1);
        if (code) put(codes.at(code));
    }
    void intradc(int v) { arith_ ? sac_->encodeValue(v, m_.intradc) : w_.put(v, 8); }
    void coefficient(bool intra, int n, int last, int run, int level) {
        static const auto codes = invert(kTcoef);
        const int event = last * 4096 + run * 16 + std::abs(level);
        const bool regular = std::abs(level) < 16 && codes.count(event);
        if (!arith_) {
            put(codes.at(regular ? event : kTcoefEscape));
            if (regular) return w_.put(level < 0, 1);
            w_.put(last, 1);
            w_.put(run, 6);
            return w_.put(level & 0xff, 8);
        }
        const SacModel *tm[2][4] = {{&m_.tcoef1, &m_.tcoef2, &m_.tcoef3, &m_.tcoefr},
                                    {&m_.tcoef1Intra, &m_.tcoef2Intra, &m_.tcoef3Intra, &m_.tcoefrIntra}};
        const SacModel &t = *tm[intra][std::min(n, 4) - 1];
        if (regular) {
            sac_->encodeValue(event, t);
            return sac_->encodeValue(level < 0, m_.sign);
        }
        sac_->encodeValue(kTcoefEscape, t);
        sac_->encodeValue(last, intra ? m_.lastIntra : m_.last);
        sac_->encodeValue(run, intra ? m_.runIntra : m_.run);
        sac_->encodeValue(level > 0 ? level : 256 + level, intra ? m_.levelIntra : m_.level);
    }

private:
    void put(Code c) { w_.put(c.bits, c.length); }
    BitWriter &w_;
    const SacModelSet &m_;
    bool arith_;
    std::optional<SacEncoder> sac_;
};

int motionDecode(int code, int pmv, bool longVectors) {
    int vec = code + pmv;
    if (!longVectors) {
        if (vec > 31) vec -= 64;
        if (vec < -32) vec += 64;
    } else {
        if (pmv < -31 && vec < -63) vec += 64;
        if (pmv > 32 && vec > 63) vec -= 64;
    }
    return vec;
}

// The differential code (-32..31) whose decoded vector comes nearest to want.
int chooseCode(int want, int pmv, bool longVectors) {
    int best = -32;
    for (int c = -31; c < 32; ++c)
        if (std::abs(motionDecode(c, pmv, longVectors) - want) < std::abs(motionDecode(best, pmv, longVectors) - want))
            best = c;
    return best;
}

// Does a w-wide block at x0 with vector v stay within [lo, hi)?
bool within(int x0, int size, int v, int lo, int hi) {
    const int p = x0 + (v >> 1);
    return p >= lo && p + size + (v & 1) <= hi;
}

// Does a size-wide block at (x, y) moved by v read only what the decoder
// lets it read: the coded picture, or with vectors allowed outside, the
// edge image with its margin?
bool fits(int x, int y, int size, Vector v, bool chroma, bool outside) {
    const int m = outside ? (chroma ? kEdge / 2 : kEdge) : 0, d = chroma ? 2 : 1, h = outside ? kHeight : 112;
    return within(x, size, v.x, -m, kWidth / d + m) && within(y, size, v.y, -m, h / d + m);
}

struct Plane {
    uint8_t *p;
    int stride;
    uint8_t &at(int x, int y) const { return p[y * stride + x]; }
};

void fdct(const int in[64], double out[64]) {
    double tmp[64];
    auto c = [](int k, int n) { return (k ? 1.0 : std::sqrt(0.5)) * std::cos((2 * n + 1) * k * std::numbers::pi / 16) / 2; };
    for (int y = 0; y < 8; ++y)
        for (int u = 0; u < 8; ++u) {
            tmp[y * 8 + u] = 0;
            for (int x = 0; x < 8; ++x) tmp[y * 8 + u] += c(u, x) * in[y * 8 + x];
        }
    for (int v = 0; v < 8; ++v)
        for (int u = 0; u < 8; ++u) {
            out[v * 8 + u] = 0;
            for (int y = 0; y < 8; ++y) out[v * 8 + u] += c(v, y) * tmp[y * 8 + u];
        }
}

// One 8 x 8 block: its levels in transmission order, and the residual the
// decoder will add (or store, for intra blocks).
struct Block {
    int levels[64] = {};
    int dcCode = 0;
    bool coded = false;
    int16_t residual[64] = {};
};

Block codeBlock(const int diff[64], bool intra, int qp) {
    Block b;
    double f[64];
    fdct(diff, f);
    int16_t coef[64] = {};
    if (intra) {
        b.dcCode = std::clamp(static_cast<int>(std::lround(f[0] / 8)), 1, 254);
        coef[0] = static_cast<int16_t>(b.dcCode * 8);
        if (b.dcCode == 128) b.dcCode = 255;
    }
    for (int i = intra ? 1 : 0; i < 64; ++i) {
        const double a = std::abs(f[zig_zag_scan[i]]);
        const int level = std::min(127, static_cast<int>(intra ? a / (2 * qp) : std::max(0.0, a - qp / 2.0) / (2 * qp)));
        if (!level) continue;
        b.levels[i] = f[zig_zag_scan[i]] < 0 ? -level : level;
        b.coded = true;
        const int mag = qp * (2 * level + 1) - (qp % 2 == 0);
        coef[zig_zag_scan[i]] = static_cast<int16_t>(std::clamp(b.levels[i] < 0 ? -mag : mag, -2048, 2047));
    }
    idct(coef);
    std::copy(coef, coef + 64, b.residual);
    return b;
}

void writeBlock(Syntax &sx, const Block &b, bool intra) {
    int n = 0, run = 0, last = -1;
    for (int i = 0; i < 64; ++i)
        if (b.levels[i]) last = i;
    for (int i = intra ? 1 : 0; i <= last; ++i) {
        if (!b.levels[i]) {
            ++run;
            continue;
        }
        sx.coefficient(intra, ++n, i == last, run, b.levels[i]);
        run = 0;
    }
}

// Block comp (0..5) of the macroblock at (bx, by) in a picture.
Plane blockOf(const Picture &p, int comp, int bx, int by) {
    const uint8_t *b = comp < 4 ? &p.y[(by + 8 * (comp >> 1)) * p.width + bx + 8 * (comp & 1)]
                                : &(comp == 4 ? p.cb : p.cr)[(by / 2) * (p.width / 2) + bx / 2];
    return {const_cast<uint8_t *>(b), comp < 4 ? p.width : p.width / 2};
}

// The reference picture with its edges replicated, for vectors that point
// outside the picture.
struct EdgeImage {
    std::vector<uint8_t> planes[3];
    Plane plane[3];
    explicit EdgeImage(const Picture &ref) {
        const uint8_t *src[3] = {ref.y.data(), ref.cb.data(), ref.cr.data()};
        for (int c = 0; c < 3; ++c) {
            const int e = c ? kEdge / 2 : kEdge, w = c ? kWidth / 2 : kWidth, h = c ? kHeight / 2 : kHeight;
            planes[c].assign(static_cast<std::size_t>((w + 2 * e) * (h + 2 * e)), 0);
            plane[c] = {planes[c].data() + e * (w + 2 * e) + e, w + 2 * e};
            makeEdgeImage(src[c], plane[c].p, w, h, e);
        }
    }
    // Predicts the macroblock at (bx, by) into dst with the vectors of its
    // four luma blocks and chroma vector cv.
    void predict(Picture &dst, int bx, int by, const Vector (&v)[4], Vector cv) const {
        for (int k = 0; k < 4; ++k) {
            const int x = bx + 8 * (k & 1), y = by + 8 * (k >> 1);
            predictBlock(&plane[0].at(x + (v[k].x >> 1), y + (v[k].y >> 1)), plane[0].stride, &dst.y[y * kWidth + x],
                         kWidth, 8, 8, v[k].x & 1, v[k].y & 1);
        }
        predictChroma(dst, bx, by, cv);
    }
    void predictChroma(Picture &dst, int bx, int by, Vector cv) const {
        for (int c = 1; c < 3; ++c)
            predictBlock(&plane[c].at(bx / 2 + (cv.x >> 1), by / 2 + (cv.y >> 1)), plane[c].stride,
                         &(c == 1 ? dst.cb : dst.cr)[(by / 2) * (kWidth / 2) + bx / 2], kWidth / 2, 8, 8, cv.x & 1,
                         cv.y & 1);
    }
};

}  // namespace

Picture Picture::blank(int width, int height) {
    const auto n = static_cast<std::size_t>(width * height);
    return {width, height, std::vector<uint8_t>(n), std::vector<uint8_t>(n / 4), std::vector<uint8_t>(n / 4)};
}

EncodedPicture H263TestEncoder::encode(const Picture &src, const PictureOptions &o) {
    BitWriter w;
    const bool pb = o.bSource != nullptr, longv = o.unrestricted;
    const int trd = (o.tr - prevTr_ + 256) % 256;
    prevTr_ = o.tr;
    w.put(1, 17);
    w.put(0, 5);
    w.put(o.tr & 0xff, 8);
    w.put(0b10000001, 8);  // PTYPE: marker, no split screen, camera or freeze release, source format 1
    w.put(!o.intra, 1);
    w.put(o.unrestricted, 1);
    w.put(o.arithmetic, 1);
    w.put(o.advancedPrediction, 1);
    w.put(pb, 1);
    w.put(o.quant, 5);
    w.put(0, 1);  // CPM
    if (pb) {
        w.put(o.trb, 3);
        w.put(o.dbquant, 2);
    }
    w.put(0, 1);  // PEI
    quant_ = o.quant;

    const EdgeImage ref(ref_);
    Picture cur = Picture::blank(kWidth, kHeight), bcur = Picture::blank(kWidth, kHeight);
    const Picture &bsrc = pb ? *o.bSource : src;
    const bool adv = o.advancedPrediction, outside = longv || adv;
    auto chromaOf = [](Vector l) { return Vector{chromaFromLuma(l.x), chromaFromLuma(l.y)}; };
    auto median = [](int p, int q, int r) { return p + q + r - std::max({p, q, r}) - std::min({p, q, r}); };

    // Every macroblock's type and vectors come first: overlapped prediction
    // needs the vector of the macroblock to the right. v[1..4] are the luma
    // blocks' vectors, all equal to v[0] with one vector.
    struct Plan {
        bool intra = false, four = false;
        Vector v[5], code[5];
    };
    std::vector<Plan> plan(kCols * kRows);
    for (int row = 0; row < kRows; ++row)
        for (int col = 0; col < kCols; ++col) {
            const int idx = row * kCols + col, bx = 16 * col, by = 16 * row;
            Plan &m = plan[idx];
            m.intra = o.intra || (o.intraEvery && idx % o.intraEvery == o.intraEvery - 1) ||
                      (o.intraMacroblock && o.intraMacroblock(col, row));
            const bool hasVector = !m.intra || pb, upperMissing = row == 0 || o.gobHeaders;
            const Vector one = hasVector && o.vector ? o.vector(col, row) : Vector{};
            std::array<Vector, 4> wanted{one, one, one, one};
            if (adv && hasVector && o.blockVectors) wanted = o.blockVectors(col, row);
            const bool four = adv && !m.intra && std::any_of(wanted.begin(), wanted.end(), [&](Vector u) {
                return u.x != wanted[0].x || u.y != wanted[0].y;
            });
            // The predictor of vector k (0: the macroblock's): the median of
            // the neighbouring blocks' vectors; without the upper row, the left one.
            auto pmvOf = [&](int k) {
                const Vector none{}, &l = col ? plan[idx - 1].v[k == 3 ? 4 : 2] : none;
                const Vector &a = row ? plan[idx - kCols].v[k == 2 ? 4 : 3] : none;
                const Vector &ar = row && col + 1 < kCols ? plan[idx - kCols + 1].v[3] : none;
                const Vector p[3] = {k <= 1 ? l : k == 2 ? m.v[1] : k == 3 ? l : m.v[3], k <= 2 ? a : m.v[1],
                                     k <= 2 ? ar : m.v[2]};
                if (upperMissing && k <= 2) return p[0];
                return Vector{median(p[0].x, p[1].x, p[2].x), median(p[0].y, p[1].y, p[2].y)};
            };
            // As wanted, else with one vector, else the zero vector, which always fits.
            for (int attempt = 0; hasVector && attempt < 3; ++attempt) {
                m.four = four && attempt == 0;
                for (int k = m.four ? 1 : 0; k <= (m.four ? 4 : 0); ++k) {
                    const Vector want = attempt == 2 ? Vector{} : m.four ? wanted[k - 1] : four ? one : wanted[0];
                    const Vector pmv = pmvOf(k);
                    m.code[k] = {chooseCode(want.x, pmv.x, longv), chooseCode(want.y, pmv.y, longv)};
                    m.v[k] = {motionDecode(m.code[k].x, pmv.x, longv), motionDecode(m.code[k].y, pmv.y, longv)};
                }
                if (!m.four) std::fill(m.v + 1, m.v + 5, m.v[0]);
                bool ok = true;
                int sx = 0, sy = 0;
                for (int k = 1; k <= 4; ++k) {
                    ok = ok && fits(bx + 8 * ((k - 1) & 1), by + 8 * ((k - 1) >> 1), 8, m.v[k], false, outside);
                    sx += m.v[k].x;
                    sy += m.v[k].y;
                }
                if (ok && fits(bx / 2, by / 2, 8, m.four ? Vector{chromaFromSum(sx), chromaFromSum(sy)} : chromaOf(m.v[0]), true, outside))
                    break;
            }
            if (m.four) m.v[0] = m.v[1];  // reported as the macroblock's vector
        }

    Syntax sx(w, models_, o.arithmetic);
    sx.startData();
    for (int row = 0; row < kRows; ++row) {
        const bool newgob = row > 0 && o.gobHeaders;
        if (newgob) {
            sx.endData();
            w.alignWithZeros();
            w.put(1, 17);
            w.put(row, 5);
            w.put(0, 2);
            w.put(o.quant, 5);
            quant_ = o.quant;
            sx.startData();
        }
        for (int col = 0; col < kCols; ++col) {
            const int idx = row * kCols + col, bx = 16 * col, by = 16 * row;
            const Plan &m = plan[idx];
            const bool intra = m.intra, hasVector = !intra || pb;
            const int dq = o.dquant && !m.four ? std::clamp(o.dquant(col, row), -2, 2) : 0;
            const int type = intra ? (dq ? 4 : 3) : m.four ? 2 : (dq ? 1 : 0);
            quant_ = std::clamp(quant_ + dq, 1, 31);
            const Vector v = m.v[0];

            // The P-macroblock: prediction, residual, reconstruction.
            if (!intra && adv) {
                // Each luma block blends the predictions with its own vector and
                // its neighbours' (its own again at the picture's edge or
                // next to an intra macroblock, outside PB-frames).
                auto usable = [&](bool inside, int i) { return inside && (pb || !plan[i].intra); };
                const bool up = usable(row > 0, idx - kCols), left = usable(col > 0, idx - 1),
                           right = usable(col + 1 < kCols, idx + 1);
                for (int k = 1; k <= 4; ++k) {
                    const Vector &above = k <= 2 ? (up ? plan[idx - kCols].v[k + 2] : m.v[k]) : m.v[k - 2];
                    const Vector &below = m.v[k <= 2 ? k + 2 : k];
                    const Vector &lv = k == 1 || k == 3 ? (left ? plan[idx - 1].v[k + 1] : m.v[k]) : m.v[k - 1];
                    const Vector &rv = k == 2 || k == 4 ? (right ? plan[idx + 1].v[k - 1] : m.v[k]) : m.v[k + 1];
                    const int vectors[5][2] = {{m.v[k].x, m.v[k].y}, {above.x, above.y}, {below.x, below.y},
                                               {rv.x, rv.y}, {lv.x, lv.y}};
                    const int x = bx + 8 * ((k - 1) & 1), y = by + 8 * ((k - 1) >> 1);
                    predictObmc(ref.plane[0].p, ref.plane[0].stride, x, y, vectors, &cur.y[y * kWidth + x], kWidth);
                }
                int sx4 = 0, sy4 = 0;
                for (int k = 1; k <= 4; ++k) sx4 += m.v[k].x, sy4 += m.v[k].y;
                ref.predictChroma(cur, bx, by, m.four ? Vector{chromaFromSum(sx4), chromaFromSum(sy4)} : chromaOf(v));
            } else if (!intra) {
                ref.predict(cur, bx, by, {v, v, v, v}, chromaOf(v));
            }
            Block blocks[12];
            int cbp = 0;
            for (int k = 0; k < 6; ++k) {
                const Plane s = blockOf(src, k, bx, by), d = blockOf(cur, k, bx, by);
                int diff[64];
                for (int i = 0; i < 64; ++i) diff[i] = s.at(i % 8, i / 8) - (intra ? 0 : d.at(i % 8, i / 8));
                blocks[k] = codeBlock(diff, intra, quant_);
                if (blocks[k].coded) cbp |= 32 >> k;
            }
            const int cod = !o.intra && type == 0 && v.x == 0 && v.y == 0 && cbp == 0;
            for (int k = 0; k < 6; ++k) {
                if (!intra && !(cbp & (32 >> k))) continue;
                const Plane d = blockOf(cur, k, bx, by);
                for (int i = 0; i < 64; ++i)
                    d.at(i % 8, i / 8) = static_cast<uint8_t>(
                        std::clamp((intra ? 0 : d.at(i % 8, i / 8)) + blocks[k].residual[i], 0, 255));
            }
            mv_[idx] = intra && !pb ? Vector{} : v;

            // The B-macroblock of a PB-frame: forward prediction, then the
            // bidirectional part from the new P-macroblock, then its residual.
            Vector delta = pb && o.bDelta && !cod ? o.bDelta(col, row) : Vector{};
            delta = {std::clamp(delta.x, -32, 31), std::clamp(delta.y, -32, 31)};
            int cbpb = 0;
            if (pb) {
                // Per luma block: a macroblock with four vectors scales each.
                Vector fwd[4], fcv, bw[4], bcv;
                for (int attempt = 0; attempt < 2; ++attempt) {
                    bool ok = true;
                    int sumx = 0, sumy = 0;
                    for (int k = 0; k < 4; ++k) {
                        fwd[k] = {bForward(m.v[k + 1].x, delta.x, o.trb, trd), bForward(m.v[k + 1].y, delta.y, o.trb, trd)};
                        ok = ok && fits(bx + 8 * (k & 1), by + 8 * (k >> 1), 8, fwd[k], false, outside);
                        sumx += fwd[k].x;
                        sumy += fwd[k].y;
                    }
                    fcv = {chromaFromSum(sumx), chromaFromSum(sumy)};
                    if (ok && fits(bx / 2, by / 2, 8, fcv, true, outside)) break;
                    delta = {};
                }
                ref.predict(bcur, bx, by, fwd, fcv);
                int sumx = 0, sumy = 0;
                for (int k = 0; k < 4; ++k) {
                    bw[k] = {bBackward(m.v[k + 1].x, delta.x, o.trb, trd), bBackward(m.v[k + 1].y, delta.y, o.trb, trd)};
                    sumx += bw[k].x;
                    sumy += bw[k].y;
                }
                bcv = {chromaFromSum(sumx), chromaFromSum(sumy)};
                // With advanced prediction a skipped macroblock's B-part is
                // still predicted bidirectionally.
                for (int k = 0; k < 6 && (!cod || adv); ++k) {
                    int x0, x1, y0, y1;
                    const Vector bv = k < 4 ? bw[k] : bcv;
                    if (k < 4) {
                        bidirLimits(bv.x, k & 1, x0, x1);
                        bidirLimits(bv.y, k >> 1, y0, y1);
                    } else {
                        bidirChromaLimits(bv.x, x0, x1);
                        bidirChromaLimits(bv.y, y0, y1);
                    }
                    const Plane p = blockOf(cur, k, bx, by), b = blockOf(bcur, k, bx, by);
                    for (int y = y0; y < y1; ++y)
                        for (int x = x0; x < x1; ++x) {
                            const int px = x + (bv.x >> 1), py = y + (bv.y >> 1), hx = bv.x & 1, hy = bv.y & 1;
                            const int s = p.at(px, py) + p.at(px + hx, py) + p.at(px, py + hy) + p.at(px + hx, py + hy);
                            b.at(x, y) = static_cast<uint8_t>((b.at(x, y) + ((s + 2) >> 2)) >> 1);
                        }
                }
                const int bq = std::clamp((bquant_tab[o.dbquant] * quant_) >> 2, 1, 31);
                for (int k = 0; k < 6 && !cod; ++k) {
                    const Plane s = blockOf(bsrc, k, bx, by), d = blockOf(bcur, k, bx, by);
                    int diff[64];
                    for (int i = 0; i < 64; ++i) diff[i] = s.at(i % 8, i / 8) - d.at(i % 8, i / 8);
                    blocks[6 + k] = codeBlock(diff, false, bq);
                    if (!blocks[6 + k].coded) continue;
                    cbpb |= 32 >> k;
                    for (int i = 0; i < 64; ++i)
                        d.at(i % 8, i / 8) = static_cast<uint8_t>(std::clamp(d.at(i % 8, i / 8) + blocks[6 + k].residual[i], 0, 255));
                }
            }

            // The macroblock's symbols.
            if (o.stuffingEvery && idx % o.stuffingEvery == 0) {
                if (!o.intra) sx.cod(0);
                sx.mcbpc(o.intra, kStuffing);
            }
            if (!o.intra) sx.cod(cod);
            if (cod) continue;
            sx.mcbpc(o.intra, type + 16 * (cbp & 3));
            const int modb = cbpb ? 2 : (delta.x || delta.y) ? 1 : 0;
            if (pb) sx.modb(modb);
            if (modb == 2) sx.cbpb(cbpb);
            sx.cbpy(intra, cbp >> 2);
            if (dq) sx.dquant(dq);
            for (int k = m.four ? 1 : 0; hasVector && k <= (m.four ? 4 : 0); ++k) {
                sx.mvd(m.code[k].x & 63);
                sx.mvd(m.code[k].y & 63);
            }
            if (modb) {
                sx.mvd(delta.x & 63);
                sx.mvd(delta.y & 63);
            }
            for (int k = 0; k < 6; ++k) {
                if (intra) sx.intradc(blocks[k].dcCode);
                if (cbp & (32 >> k)) writeBlock(sx, blocks[k], intra);
            }
            for (int k = 0; k < 6; ++k)
                if (cbpb & (32 >> k)) writeBlock(sx, blocks[6 + k], false);
        }
    }
    sx.endData();
    w.alignWithZeros();
    ref_ = cur;
    EncodedPicture out{w.bytes(), {}, mv_, {}, {}};
    for (const Plan &m : plan) {
        out.fourVectors.push_back(m.four);
        out.blockVectors.push_back({m.v[1], m.v[2], m.v[3], m.v[4]});
    }
    if (pb) out.shown.push_back(bcur);
    out.shown.push_back(cur);
    return out;
}

bool writeAvFile(const std::string &path, uint32_t codecWord, const std::vector<AvRecord> &records) {
    std::unique_ptr<FILE, int (*)(FILE *)> f(std::fopen(path.c_str(), "wb"), std::fclose);
    if (!f) return false;
    auto le32 = [](uint8_t *p, uint32_t v) {
        for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
    };
    for (const AvRecord &r : records) {
        uint8_t h[24] = {0x02, static_cast<uint8_t>(r.video ? 0x40 : 0x3E)};
        const std::size_t headerSize = r.video ? 16 : 24;
        le32(h + 4, static_cast<uint32_t>(headerSize + r.data.size()));
        le32(h + 8, codecWord);
        le32(h + 16, codecWord);
        le32(h + 20, static_cast<uint32_t>(r.data.size()));
        if (std::fwrite(h, 1, headerSize, f.get()) != headerSize ||
            std::fwrite(r.data.data(), 1, r.data.size(), f.get()) != r.data.size())
            return false;
    }
    return true;
}

}  // namespace kv::video::testenc
