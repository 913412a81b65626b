#include "h263_test_encoder.h"

#include <algorithm>
#include <stdexcept>

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

}  // namespace kv::video::testenc
