// Guards against any voice or AV file driving the player's record loop out of bounds.
#include "audio/codec_states.h"
#include "audio/engine_state.h"
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
        return true;
    }();
    (void)ready;
    static char path[64];
    std::snprintf(path, sizeof path, "/tmp/kv-fuzz-voice-%d.voc", static_cast<int>(getpid()));
    FILE *f = fopen(path, "wb");
    if (!f)
        return 0;
    fwrite(data, 1, size, f);
    fclose(f);
    playAVFile(path);
    return 0;
}
