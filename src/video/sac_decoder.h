// Symbol decoder of the arithmetic-coded H.263 syntax: a 16-bit integer
// arithmetic decoder over fixed cumulative-frequency models, which also drops
// the bits the coder inserts to keep its data from looking like a start code.
#pragma once

#include <cstdint>

#include "video/sac_models.h"

namespace kv::video {

// Bits needs showbits(n) (look ahead) and getbits(n) (consume), 1 <= n <= 32.
template <class Bits>
class SacDecoder {
public:
    // Starts arithmetic decoding at the current bit position (after a picture
    // or GOB header): loads the first 16 code bits.
    void reset(Bits &bits) {
        zerorun_ = 0;
        codeValue_ = 0;
        low_ = 0;
        high_ = kTop;
        for (int i = 0; i < 16; ++i) codeValue_ = 2 * codeValue_ + nextBit(bits);
    }

    // Decodes one symbol under model m and returns its index (0-based); the
    // caller maps it through m.values. A model without counts yields 0 and
    // reads nothing.
    int decodeSymbol(Bits &bits, const SacModel &m) {
        const int count = static_cast<int>(m.cumf.size());
        if (count < 2 || m.cumf[0] <= 0) return 0;
        const int64_t total = m.cumf[0];
        const int64_t length = high_ - low_ + 1;
        const int64_t cum = ((codeValue_ - low_ + 1) * total - 1) / length;
        // The last count is 0, so the search ends there even if damaged state
        // put the code value below the interval.
        int index = 1;
        while (index < count - 1 && m.cumf[index] > cum) ++index;
        high_ = static_cast<int32_t>(low_ - 1 + (length * m.cumf[index - 1]) / total);
        low_ = static_cast<int32_t>(low_ + (length * m.cumf[index]) / total);
        for (;;) {
            if (high_ < kHalf) {
                // nothing to subtract
            } else if (low_ >= kHalf) {
                codeValue_ -= kHalf;
                low_ -= kHalf;
                high_ -= kHalf;
            } else if (low_ >= kFirstQuarter && high_ < kThirdQuarter) {
                codeValue_ -= kFirstQuarter;
                low_ -= kFirstQuarter;
                high_ -= kFirstQuarter;
            } else {
                break;
            }
            low_ = 2 * low_;
            high_ = 2 * high_ + 1;
            codeValue_ = 2 * codeValue_ + nextBit(bits);
        }
        return index - 1;
    }

private:
    static constexpr int32_t kTop = 65535;
    static constexpr int32_t kFirstQuarter = 16384;
    static constexpr int32_t kHalf = 32768;
    static constexpr int32_t kThirdQuarter = 49152;

    // Delivers the next data bit. In front of a start code it delivers 0 and
    // reads nothing, so the data ends cleanly before the code. A 1 after
    // fourteen 0 bits was inserted by the coder to prevent start-code
    // emulation and is dropped.
    int32_t nextBit(Bits &bits) {
        if (bits.showbits(17) == 1) return 0;
        int32_t bit = static_cast<int32_t>(bits.getbits(1));
        if (zerorun_ > 13) {
            if (bit == 0) {
                zerorun_ = 1;
            } else {
                // Check for a start code again, so that a prevention bit
                // right before one never makes the decoder read into it.
                bit = bits.showbits(17) == 1 ? 0 : static_cast<int32_t>(bits.getbits(1));
                zerorun_ = bit == 0 ? 1 : 0;
            }
        } else {
            zerorun_ = bit ? 0 : zerorun_ + 1;
        }
        return bit;
    }

    int32_t low_ = 0;
    int32_t high_ = kTop;
    int32_t codeValue_ = 0;
    int32_t zerorun_ = 0;
};

}  // namespace kv::video
