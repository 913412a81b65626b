#include "audio/media_packet.h"

#include <utility>

alignas(8) unsigned char sendAudioBuffer[kPacketSize];
alignas(8) unsigned char AudioBuffer[kPacketSize];

void revINT32(void *p)
{
    auto *b = static_cast<unsigned char *>(p);
    std::swap(b[0], b[3]);
    std::swap(b[1], b[2]);
}
