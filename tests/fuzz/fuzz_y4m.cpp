// Guards against any YUV4MPEG2 stream driving kestrelvox-file's picture reader out of bounds.
#include "common.h"

#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FILE *f = fmemopen(const_cast<uint8_t *>(data), size, "rb");
    if (!f)
        return 0;
    try {
        kvfile::Y4mReader reader(f, "fuzz.y4m");
        kvfile::Frame frame;
        for (int i = 0; i < 4 && reader.next(frame); ++i) {
        }
    } catch (const kvfile::Failure &) {
    }
    fclose(f);
    return 0;
}
