// A small H.263 encoder for 10 x 7 macroblock pictures (160 x 112), made to
// produce the streams an outside encoder cannot: unrestricted vectors past
// every edge, PB-frames, DQUANT, GOB headers, stuffing and arithmetic-coded
// syntax. It returns its own reconstruction, which the decoder must match.
#pragma once

#include <cstdint>
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

}  // namespace kv::video::testenc
