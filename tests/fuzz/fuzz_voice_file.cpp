// Arbitrary files through the voice and AV file player's record loop.
#include "audio/codec_states.h"
#include "audio/engine.h"
#include "audio/voice_file.h"

#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool ready = [] {
        createCodecStates();
        handle = open("/dev/null", O_WRONLY);
        // The player reports on standard output; keep the fuzzer's log readable.
        freopen("/dev/null", "w", stdout);
        std::snprintf(gstFileName, sizeof gstFileName, "/tmp/kv-fuzz-voice-%d.voc", static_cast<int>(getpid()));
        return true;
    }();
    (void)ready;
    FILE *f = fopen(gstFileName, "wb");
    if (!f)
        return 0;
    fwrite(data, 1, size, f);
    fclose(f);
    playAVFile();
    return 0;
}
