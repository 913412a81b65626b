// Big-endian bit reader over one coded picture held in memory.
//
// The buffer handed to reset() must own kSlack zero bytes behind `size`: a
// look-ahead of up to 32 bits reads 8 bytes from the current byte, and the
// decoders look ahead past the last bit they consume. Reads at or behind
// `size` deliver zero bits and never touch memory past the slack.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kv::video {

class H263BitReader {
public:
    static constexpr size_t kSlack = 16;

    void reset(const uint8_t *data, size_t size)
    {
        data_ = data;
        size_ = size;
        pos_ = 0;
    }

    // 1 <= n <= 32.
    uint32_t showbits(int n) const
    {
        const size_t byte = pos_ >> 3;
        if (byte >= size_)
            return 0;
        uint64_t w;
        std::memcpy(&w, data_ + byte, sizeof w);
        w = __builtin_bswap64(w) << (pos_ & 7);
        return static_cast<uint32_t>(w >> (64 - n));
    }
    void flushbits(int n)
    {
        pos_ += static_cast<size_t>(n);
        if (pos_ > limit())
            pos_ = limit();
    }
    uint32_t getbits(int n)
    {
        const uint32_t v = showbits(n);
        flushbits(n);
        return v;
    }
    uint32_t getbits1() { return getbits(1); }

    // Moves to the next start code (16 zeros and a 1, at any bit position).
    // False when the data ends first; the reader then stays at the end.
    bool startcode()
    {
        while (showbits(17) != 1) {
            if (atEnd())
                return false;
            flushbits(1);
        }
        return true;
    }

    bool atEnd() const { return pos_ >= limit(); }
    size_t position() const { return pos_; }

private:
    size_t limit() const { return size_ * 8; }

    const uint8_t *data_ = nullptr;
    size_t size_ = 0;
    size_t pos_ = 0;
};

} // namespace kv::video
