// kvcodec: runs raw speech through the program's own send and receive
// pipelines, block by block, exactly as a call or a voice file does, and
// writes what the receiving side would play. Tests use it to know what a call
// must deliver.
//
//   kvcodec CODEC IN.raw OUT.raw
//   CODEC: none, adpcm, gsm, ldgsm, lpc10; files: signed 16-bit little-endian mono 8000 Hz
#include "audio/codec_framing.h"
#include "audio/engine_state.h"
#include "audio/media_packet.h"
#include "audio/send.h"
#include "audio/ulaw.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: kvcodec none|adpcm|gsm|ldgsm|lpc10 IN.raw OUT.raw\n");
        return 2;
    }
    const std::string codec = argv[1];
    const SpeechCodec speech = codec == "adpcm" ? SpeechCodec::Adpcm
                             : codec == "gsm"   ? SpeechCodec::Gsm
                             : codec == "ldgsm" ? SpeechCodec::LdGsm
                             : codec == "lpc10" ? SpeechCodec::Lpc10
                                                : SpeechCodec::Ulaw;
    if (speech == SpeechCodec::Ulaw && codec != "none") {
        fprintf(stderr, "kvcodec: unknown codec %s\n", codec.c_str());
        return 2;
    }

    FILE *in = fopen(argv[2], "rb");
    FILE *out = fopen(argv[3], "wb");
    if (!in || !out) {
        perror("kvcodec");
        return 1;
    }
    createCodecStates();
    setPacketCodec(sendAudioBuffer, codecWord(speech));
    const size_t blockBytes = static_cast<size_t>(inputSampleCount(speech)) * 2;
    std::vector<unsigned char> block(blockBytes);
    unsigned char packet[kPacketSize];
    // Only whole blocks travel, as the capture side reads only whole blocks.
    while (fread(block.data(), 1, blockBytes, in) == blockBytes) {
        processAudioBuffer(block.data(), static_cast<int>(blockBytes), speech);
        std::memcpy(packet, sendAudioBuffer, kPacketSize);
        const int n = decompressPacket(packet, receiveCodec);
        for (int i = 0; i < n; ++i) {
            const int16_t s = u2s[packet[kPacketHeaderSize + i]];
            fwrite(&s, 2, 1, out);
        }
    }
    fclose(in);
    fclose(out);
    return 0;
}
