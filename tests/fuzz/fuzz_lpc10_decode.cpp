// Guards against any 54-bit pattern making the LPC-10 decoder read or write outside the frames and the 35-frame area.
#include "lpc10/lpc10.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // One decoder for the whole run, as in the program: its history carries
    // over from input to input.
    static Lpc10Decoder decoder;
    if (size == 0)
        return 0;
    // The first byte picks the output room, so short areas are tried too.
    const int capacity = (data[0] % 36) * Lpc10Decoder::kFrameSamples + data[0] / 36;
    std::vector<unsigned char> in(data + 1, data + size);
    std::vector<int16_t> out(static_cast<size_t>(capacity));
    const int n = decoder.decode(in.data(), out.data(), static_cast<int>(in.size()), capacity);
    if (n < 0 || n > capacity || n % Lpc10Decoder::kFrameSamples != 0)
        __builtin_trap();
    return 0;
}
