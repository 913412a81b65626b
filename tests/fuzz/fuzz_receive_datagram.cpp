// Guards against any datagram getting past the receive path's header checks into a decoder or the device out of bounds.
#include "audio/codec_states.h"
#include "audio/engine_state.h"
#include "audio/media_packet.h"
#include "audio/receive.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fcntl.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool ready = [] {
        createCodecStates();
        handle = open("/dev/null", O_WRONLY);
        return true;
    }();
    (void)ready;
    unsigned char datagram[kPacketSize];
    const size_t n = std::min(size, sizeof datagram);
    std::memcpy(datagram, data, n);
    playReceivedDatagram(datagram, static_cast<ssize_t>(n));
    return 0;
}
