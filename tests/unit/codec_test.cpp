// Guards against wrong u-law or ADPCM tables, payload layouts, GSM frames, shared codec state and overrunning payloads.
#include "audio/adpcm.h"
#include "audio/codec_framing.h"
#include "audio/send.h"
#include "engine_test_support.h"
#include "test_data.h"

namespace {

Bytes capture(const std::vector<int16_t> &samples) // through the capture path
{
    setPacketCodec(sendAudioBuffer, 0);
    processAudioBuffer(reinterpret_cast<const unsigned char *>(samples.data()), static_cast<int>(samples.size() * 2),
                       selectedCodec());
    const unsigned char *p = sendAudioBuffer + kPacketHeaderSize;
    return Bytes(p, p + packetPayloadLength(sendAudioBuffer));
}

Bytes play(const Bytes &payload, uint32_t codec) // as the receiver does
{
    unsigned char packet[kPacketSize];
    std::memcpy(packet + kPacketHeaderSize, payload.data(), payload.size());
    setPacketCodec(packet, codec);
    setPacketPayloadLength(packet, static_cast<int>(payload.size()));
    const int n = decompressPacket(packet, receiveCodec);
    return Bytes(packet + kPacketHeaderSize, packet + kPacketHeaderSize + n);
}

} // namespace

TEST(Ulaw, LevelsThresholdsAndRoundTrips)
{
    for (auto [code, level] : {std::pair{0xFF, 0}, {0x7F, 0}, {0x80, 32256}, {0x00, -32256}, {0xFE, 8}, {0xEF, 132},
                               {0x8F, 16833}})
        EXPECT_EQ(u2s[code], level) << code;
    // Asymmetric thresholds: 256 starts code 255 - 24, but -256 is still 127 - 23.
    for (auto [sample, code] : {std::pair{0, 0xFF}, {-1, 0x7E}, {32767, 0x80}, {-32768, 0x00}, {128, 0xEF},
                                {-128, 0x6F}, {256, 255 - 24}, {-256, 127 - 23}, {-264, 127 - 24}})
        EXPECT_EQ(linearToUlaw(static_cast<int16_t>(sample)), code) << sample;
    for (int code = 0; code < 256; ++code) // both zeros decode to 0, which codes as 0xFF
        EXPECT_EQ(linearToUlaw(u2s[code]), code == 0x7F ? 0xFF : code) << "code " << code;
}

TEST(Adpcm, FirstCodesWorkedByHandInBothDirections)
{
    // 1000 is u-law level 992. From (0, 0): step 7 gives code 7, p = 11, index 8 (step 16); again 7, p = 41, index 16.
    const unsigned char code = linearToUlaw(1000);
    ASSERT_EQ(u2s[code], 992);
    unsigned char in[2] = {code, code}, out[1], decoded[2];
    adpcm_state state, dec;
    adpcm_coder_u(in, out, 2, &state);
    EXPECT_EQ(out[0], 0x77);
    adpcm_decoder_u(out, decoded, 2, &dec);
    for (const adpcm_state &s : {state, dec})
        EXPECT_TRUE(s.valprev == 41 && s.index == 16) << s.valprev << " " << int(s.index);
    EXPECT_EQ(Bytes(decoded, decoded + 2), (Bytes{linearToUlaw(11), linearToUlaw(41)}));
}

TEST(CaptureBlock, SizesCodecWordsAndLayoutsPerCodecAndTheReceiverPlaysEverySample)
{
    CodecSelection saved;
    const struct {
        std::atomic<int> *flag;
        int samples, payload, count;
        uint32_t word, ownBit;
    } cases[] = {{nullptr, 488, 488, -1, 0, 0}, {&adpcmcompress, 1800, 903, -1, kCodecAdpcm, 0},
                 {&gsmcompress, 3200, 662, 3200, kCodecGsm, 0}, {&ldgsmcompress, 160, 35, 160, kCodecGsm, 0},
                 {&lpc10compress, 3600, 140, -1, kCodecLpc10, kCodecLpc10}};
    for (const auto &c : cases) {
        CodecSelection::only(c.flag);
        ASSERT_EQ(inputSampleCount(selectedCodec()), c.samples);
        EXPECT_EQ(selectedCodecWord(), c.word) << c.samples;
        const auto speech = speechLike(c.samples);
        const Bytes payload = capture(speech);
        ASSERT_EQ(payload.size(), static_cast<size_t>(c.payload)) << "block of " << c.samples;
        EXPECT_EQ(packetCodec(sendAudioBuffer), c.ownBit) << c.samples;
        EXPECT_TRUE(c.count < 0 || (payload[0] << 8 == (c.count & 0xFF00) && payload[1] == (c.count & 0xFF) &&
                                    payload[2] >> 4 == 0xD)) << "GSM: a big-endian sample count, libgsm's signature";
        EXPECT_TRUE(c.flag || payload == ulawOf(speech));
        EXPECT_EQ(play(payload, c.word).size(), static_cast<size_t>(c.samples)) << c.samples;
    }
    // The ADPCM trailer holds the coder's state before the packet.
    CodecSelection::only(&adpcmcompress);
    auto trailer = [](const Bytes &b) { return std::tuple(b[b.size() - 3] << 8 | b[b.size() - 2], int(b.back())); };
    EXPECT_EQ(trailer(capture(speechLike(1800))), std::tuple(0, 0));
    const adpcm_state after = sendCodec.adpcm;
    EXPECT_EQ(trailer(capture(speechLike(1800, 1800))), std::tuple(static_cast<uint16_t>(after.valprev), int(after.index)));
}

// Toast's frames and decoding of committed speech; the receiver decodes between blocks, which shared state would upset.
TEST(CaptureBlock, GsmBlocksCarryToastsFramesAndPlayToastsSamples)
{
    const std::vector<int16_t> speech = readTestSamples("gsm_levels.raw");
    const Bytes frames = readTestData("gsm_levels.gsm");
    const Bytes played = ulawOf(readTestSamples("gsm_levels.decoded.raw"));
    ASSERT_TRUE(speech.size() % 3200 == 0 && frames.size() == speech.size() / 160 * 33 && played.size() == speech.size());
    CodecSelection saved;
    CodecSelection::only(&gsmcompress);
    for (size_t p = 0; p < speech.size() / 3200; ++p) {
        const Bytes payload = capture({speech.begin() + 3200 * p, speech.begin() + 3200 * (p + 1)});
        ASSERT_EQ(payload.size(), 662u);
        EXPECT_EQ(Bytes(payload.begin() + 2, payload.end()), Bytes(&frames[660 * p], &frames[660 * (p + 1)])) << p;
        EXPECT_EQ(play(payload, kCodecGsm), Bytes(&played[3200 * p], &played[3200 * (p + 1)])) << "packet " << p;
    }
}

TEST(HostileDecode, CountsLengthsAndTrailersStayWithinTheArea)
{
    CodecSelection saved;
    CodecSelection::only(nullptr);
    // GSM plays 3200 for a bad count and no more frames than the area holds; ADPCM drops a bad index or trailer.
    const struct {
        uint32_t codec;
        int count, length, fill, last, played; // -1: only run, for the sanitizers
    } cases[] = {{kCodecGsm, 0, 35, 0xD5, 0xD5, 3200}, {kCodecGsm, -5, 35, 0xD5, 0xD5, 3200},
                 {kCodecGsm, 3201, 35, 0xD5, 0xD5, 3200}, {kCodecGsm, 3200, kMaxPayload, 0xD5, 0xD5, 3200},
                 {kCodecGsm, 3200, 45, 0xD5, 0xD5, 3200}, {kCodecAdpcm, -1, 903, 0x37, 89, 0},
                 {kCodecAdpcm, -1, 2, 0x37, 0x37, 0}, {kCodecAdpcm, -1, kMaxPayload, 0x37, 40, kMaxPayload},
                 {kCodecLpc10, -1, kMaxPayload, 0x5A, 0x5A, 35 * 180}, {~0u, -1, kMaxPayload, 0xD0, 0xD0, -1}};
    for (const auto &c : cases) {
        Bytes payload(static_cast<size_t>(c.length), static_cast<unsigned char>(c.fill));
        if (c.count != -1)
            std::tie(payload[0], payload[1]) = std::pair<unsigned char, unsigned char>(c.count >> 8 & 0xFF, c.count & 0xFF);
        payload.back() = static_cast<unsigned char>(c.last);
        const size_t n = play(payload, c.codec).size();
        EXPECT_TRUE(c.played < 0 || n == static_cast<size_t>(c.played))
            << c.codec << " " << c.count << " " << c.length << ": " << n;
    }
}
