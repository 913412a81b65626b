// A small H.263 encoder for 10 x 7 macroblock pictures (160 x 112), made to
// produce the streams an outside encoder cannot: unrestricted vectors past
// every edge, PB-frames, DQUANT, GOB headers, stuffing and arithmetic-coded
// syntax. It returns its own reconstruction, which the decoder must match.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "video/sac_models.h"

namespace kv::video::testenc {

// MSB-first bit writer.
class BitWriter {
public:
    void put(uint32_t value, int bits);
    void alignWithZeros();
    std::size_t bitCount() const { return bitCount_; }
    const std::vector<uint8_t> &bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
    std::size_t bitCount_ = 0;
};

// Arithmetic coder matching the decoder's symbol decoder, with its
// start-code emulation prevention (a 1 after every fourteen 0 bits).
class SacEncoder {
public:
    explicit SacEncoder(BitWriter &out) : out_(out) {}
    void encode(int index, const SacModel &m);  // index into m.cumf, 0-based
    void encodeValue(int value, const SacModel &m);  // looks value up in m.values
    // Ends the data so that the 0 bits the decoder sees in front of the
    // next start code decode the same symbols.
    void flush();

private:
    void bitPlusFollow(int bit);
    void emit(int bit);
    BitWriter &out_;
    int32_t low_ = 0, high_ = 65535;
    int follow_ = 0, zeros_ = 0;
};

struct Vector {
    int x = 0, y = 0;  // half samples
};

// A 4:2:0 picture. Sources are 160 x 112; reconstructions come in the
// decoder's 160 x 120 stores, whose last 8 lines are never coded.
struct Picture {
    int width = 0, height = 0;
    std::vector<uint8_t> y, cb, cr;
    static Picture blank(int width, int height);
};

struct PictureOptions {
    bool intra = false;
    int tr = 0;                // temporal reference
    int quant = 10;
    bool unrestricted = false; // vectors may point outside the picture
    bool arithmetic = false;   // arithmetic-coded syntax
    bool advancedPrediction = false;  // overlapped prediction, vectors outside the picture, four vectors per macroblock
    bool gobHeaders = false;   // a zero-stuffed GOB header (GQUANT = quant) in front of every row but the first
    int stuffingEvery = 0;     // a stuffing MCBPC in front of every n-th macroblock
    int intraEvery = 0;        // in P-pictures, every n-th macroblock is intra-coded
    std::function<bool(int col, int row)> intraMacroblock = {};  // in P-pictures, further intra-coded macroblocks
    std::function<Vector(int col, int row)> vector = {};  // P vectors; may be clamped to what can be coded
    // With advanced prediction: the vectors of the four 8 x 8 luma blocks;
    // a macroblock whose four differ is coded with four vectors.
    std::function<std::array<Vector, 4>(int col, int row)> blockVectors = {};
    std::function<int(int col, int row)> dquant = {};  // quantiser change -2..2 of a macroblock
    const Picture *bSource = nullptr;                 // set: a PB-frame with this B-picture
    int trb = 1, dbquant = 0;
    std::function<Vector(int col, int row)> bDelta = {};  // MVDB
};

struct EncodedPicture {
    std::vector<uint8_t> bytes;  // one coded picture, starting with its start code
    std::vector<Picture> shown;  // what the decoder must show: B then P, or the one picture
    std::vector<Vector> vectors; // the P vector of each macroblock, as coded
    std::vector<bool> fourVectors;                 // macroblocks coded with four vectors
    std::vector<std::array<Vector, 4>> blockVectors; // the vector of each luma block, as coded
};

class H263TestEncoder {
public:
    explicit H263TestEncoder(const SacModelSet &models = builtinSacModels()) : models_(models) {}
    EncodedPicture encode(const Picture &source, const PictureOptions &options);

private:
    const SacModelSet &models_;
    Picture ref_ = Picture::blank(160, 120);
    std::vector<Vector> mv_ = std::vector<Vector>(70);
    int prevTr_ = 0, quant_ = 0;
};

// An AV file: records back to back; audio payloads are already coded with
// the codec of codecWord, video records carry one coded picture each.
struct AvRecord {
    bool video = false;
    std::vector<uint8_t> data;
};
bool writeAvFile(const std::string &path, uint32_t codecWord, const std::vector<AvRecord> &records);

}  // namespace kv::video::testenc
