// One video record's picture data, any bytes, through the H.263 decoder in
// both entropy modes (arithmetic decoding with stand-in counts for the
// models this build lacks). The first byte chooses the geometry and the
// picture counter.
#include "../support/sac_stand_in_models.h"
#include "video/h263_decoder.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
        static kv::video::H263Decoder program, qcif(11, 9);
    if (size < 1)
        return 0;
    kv::video::H263Decoder &dec = (data[0] & 1) ? qcif : program;
    dec.setSacModels(sacStandInModels());
    int counter = (data[0] >> 1) & 1;
    dec.decodePicture(data + 1, size - 1, counter);
    return 0;
}
