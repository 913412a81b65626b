// One video record's picture data, any bytes, through the H.263 decoder in
// both entropy modes (arithmetic decoding with stand-in counts for the
// models this build lacks). The first byte chooses the geometry and the
// picture counter.
#include "video/h263_decoder.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

kv::video::SacModelSet standInModels()
{
    static std::vector<std::vector<int>> counts;
    counts.reserve(18);
    kv::video::SacModelSet set = kv::video::builtinSacModels();
    for (kv::video::SacModel *m : {&set.mcbpc, &set.mcbpcIntra, &set.cbpy, &set.cbpyIntra, &set.mvd, &set.intradc,
                                   &set.tcoef1, &set.tcoef2, &set.tcoef3, &set.tcoefr, &set.tcoef1Intra,
                                   &set.tcoef2Intra, &set.tcoef3Intra, &set.tcoefrIntra, &set.run, &set.runIntra,
                                   &set.level, &set.levelIntra}) {
        const int n = static_cast<int>(m->values.size());
        auto &c = counts.emplace_back();
        for (int i = 0; i <= n; ++i)
            c.push_back(16383 * (n - i) / n);
        m->cumf = c;
    }
    return set;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const kv::video::SacModelSet models = standInModels();
    static kv::video::H263Decoder program, qcif(11, 9);
    if (size < 1)
        return 0;
    kv::video::H263Decoder &dec = (data[0] & 1) ? qcif : program;
    dec.setSacModels(models);
    int counter = (data[0] >> 1) & 1;
    dec.decodePicture(data + 1, size - 1, counter);
    return 0;
}
