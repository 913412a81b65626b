// Guards against any picture bytes, in either entropy mode, crashing the H.263 decoder or reaching outside its frames.
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
