// The media packet: a 24-byte header and up to 6400 payload bytes. It is the
// UDP datagram of a call (codec word and payload length big-endian) and the
// record of voice files (every field little-endian).
#pragma once

#include <cstdint>
#include <cstring>

constexpr int kPacketHeaderSize = 24;
constexpr int kMaxPayload = 6400;
constexpr int kPacketSize = kPacketHeaderSize + kMaxPayload; // 6424
constexpr int kVideoHeaderSize = 16;

// Header offsets.
constexpr int kOffRecordLength = 4;
constexpr int kOffCodecCopy = 8;
constexpr int kOffCodec = 16;
constexpr int kOffPayloadLength = 20;

// Byte 0 of a record: bits 0-1 are 2. Byte 1: record type shifted left by 1.
constexpr unsigned char kRecordMark = 0x02;
constexpr int kRecordTypeAudio = 31;
constexpr int kRecordTypeVideo = 32;
constexpr int kRecordTypeOther = 48;

// Codec word bits; 0 means uncompressed u-law.
constexpr uint32_t kCodecGsm = 0x20;
constexpr uint32_t kCodecAdpcm = 0x200;
constexpr uint32_t kCodecLpc10 = 0x20000;

// The outgoing packet (transmitter and recorder) and the incoming packet
// (receiver and file player).
extern unsigned char sendAudioBuffer[kPacketSize];
extern unsigned char AudioBuffer[kPacketSize];

// In-place byte reversal of a 32-bit field; its own inverse.
void revINT32(void *p);

// Header fields in host order (the program runs on little-endian hosts, so
// host order is also file order).
inline uint32_t packetCodec(const unsigned char *packet)
{
    uint32_t v;
    std::memcpy(&v, packet + kOffCodec, 4);
    return v;
}

inline int32_t packetPayloadLength(const unsigned char *packet)
{
    int32_t v;
    std::memcpy(&v, packet + kOffPayloadLength, 4);
    return v;
}

inline void setPacketCodec(unsigned char *packet, uint32_t codec)
{
    std::memcpy(packet + kOffCodec, &codec, 4);
}

inline void setPacketPayloadLength(unsigned char *packet, int32_t length)
{
    std::memcpy(packet + kOffPayloadLength, &length, 4);
}

inline uint32_t readLe32(const unsigned char *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline void writeLe32(unsigned char *p, uint32_t v)
{
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "host order must be file order");
