// Payload layouts of each codec inside a media packet, built by the capture
// path and taken apart by the receive path.
#include "audio/codec_framing.h"
#include "audio/send.h"
#include "engine_test_support.h"
#include "test_data.h"

namespace {

// Runs one captured block through the capture path.
const unsigned char *capture(const std::vector<int16_t> &samples)
{
    processAudioBuffer(reinterpret_cast<const unsigned char *>(samples.data()), static_cast<int>(samples.size() * 2),
                       selectedCodec());
    return sendAudioBuffer + kPacketHeaderSize;
}

int captured() { return packetPayloadLength(sendAudioBuffer); }

} // namespace

TEST(CaptureBlock, BlockAndPayloadSizesAndCountsPerCodec)
{
    CodecSelection saved;
    const struct {
        std::atomic<int> *flag;
        int samples, payload, count;
    } cases[] = {{nullptr, 488, 488, -1},      {&adpcmcompress, 1800, 903, -1}, {&gsmcompress, 3200, 662, 3200},
                 {&ldgsmcompress, 160, 35, 160}, {&lpc10compress, 3600, 140, -1}};
    for (const auto &c : cases) {
        CodecSelection::only(c.flag);
        EXPECT_EQ(inputSampleCount(selectedCodec()), c.samples);
        const unsigned char *payload = capture(speechLike(c.samples));
        EXPECT_EQ(captured(), c.payload) << "block of " << c.samples;
        if (c.count > 0) {
            EXPECT_EQ(payload[0] << 8 | payload[1], c.count) << "big-endian sample count";
            EXPECT_EQ(payload[2] >> 4, 0xD) << "libgsm's frame signature";
        }
    }
}

TEST(CaptureBlock, UncompressedPayloadIsTheUlawOfEachSample)
{
    CodecSelection saved;
    CodecSelection::only(nullptr);
    std::vector<int16_t> s = speechLike(488);
    s[0] = 0;
    s[1] = -1;
    s[2] = -32768;
    s[3] = 32767;
    const unsigned char *payload = capture(s);
    ASSERT_EQ(captured(), 488);
    EXPECT_EQ(std::vector<unsigned char>(payload, payload + 4), (std::vector<unsigned char>{0xFF, 0x7E, 0x00, 0x80}));
    EXPECT_EQ(std::vector<unsigned char>(payload, payload + 488), ulawOf(s));
}

TEST(CaptureBlock, GsmFramesAreLibgsmsEncodingOfTheUlawSamples)
{
    CodecSelection saved;
    CodecSelection::only(&gsmcompress);
    gsm reference = gsm_create();
    for (int packet = 0; packet < 3; ++packet) {
        const auto s = speechLike(3200, packet);
        const unsigned char *payload = capture(s);
        ASSERT_EQ(captured(), 662);
        const auto u = ulawOf(s);
        for (int f = 0; f < 20; ++f) {
            gsm_signal frame[160];
            for (int i = 0; i < 160; ++i)
                frame[i] = u2s[u[f * 160 + i]];
            gsm_byte coded[33];
            gsm_encode(reference, frame, coded);
            ASSERT_EQ(0, std::memcmp(coded, payload + 2 + 33 * f, 33)) << "packet " << packet << " frame " << f;
        }
    }
    gsm_destroy(reference);
}

TEST(CaptureBlock, AdpcmTrailerHoldsTheStateBeforeEachPacket)
{
    CodecSelection saved;
    CodecSelection::only(&adpcmcompress);
    const unsigned char *payload = capture(speechLike(1800));
    ASSERT_EQ(captured(), 903);
    EXPECT_EQ(payload[900] | payload[901] | payload[902], 0);
    const adpcm_state after = sendCodec.adpcm;
    capture(speechLike(1800, 1));
    const auto predicted = static_cast<uint16_t>(after.valprev);
    EXPECT_EQ(payload[900], predicted >> 8);
    EXPECT_EQ(payload[901], predicted & 0xFF);
    EXPECT_EQ(payload[902], after.index);
}

TEST(CodecRoundTrip, EachCodecDecodesToWhatItsCoderPredicts)
{
    FreshCodecs codecs;
    unsigned char packet[kPacketSize];
    const auto u = ulawOf(speechLike(3600));

    // GSM: decoding gives exactly libgsm's decoding of the frames.
    loadPayload(packet, u, 3200, kCodecGsm);
    gsmcomp(packet, codecs.enc);
    std::vector<unsigned char> frames(packet + kPacketHeaderSize + 2, packet + kPacketHeaderSize + 662);
    EXPECT_EQ(decompressPacket(packet, codecs.dec), 3200);
    gsm reference = gsm_create();
    for (int f = 0; f < 20; ++f) {
        gsm_signal out[160];
        gsm_decode(reference, frames.data() + 33 * f, out);
        for (int i = 0; i < 160; ++i)
            ASSERT_EQ(packet[kPacketHeaderSize + f * 160 + i], linearToUlaw(out[i])) << f << ":" << i;
    }
    gsm_destroy(reference);

    loadPayload(packet, u, 1800, kCodecAdpcm);
    adpcmcomp(packet, codecs.enc);
    ASSERT_EQ(packetPayloadLength(packet), 903);
    EXPECT_EQ(decompressPacket(packet, codecs.dec), 1800);

    // LPC-10 sets its own codec bit; an oversize payload decodes to at most
    // the 35 frames the area holds.
    loadPayload(packet, u, 3600);
    lpc10comp(packet, codecs.enc);
    EXPECT_EQ(packetCodec(packet), kCodecLpc10);
    ASSERT_EQ(packetPayloadLength(packet), 140);
    EXPECT_EQ(decompressPacket(packet, codecs.dec), 3600);
    setPacketPayloadLength(packet, kMaxPayload);
    EXPECT_EQ(lpc10decomp(packet, codecs.dec), 35 * 180);
}

// Committed speech with the frames libgsm's toast made of it and toast's
// decoding of those frames.
TEST(CodecRoundTrip, GsmPacketsCarryToastsFramesAndPlayToastsSamples)
{
    const std::vector<int16_t> speech = readTestSamples("gsm_levels.raw");
    const std::vector<unsigned char> frames = readTestData("gsm_levels.gsm");
    const std::vector<unsigned char> played = ulawOf(readTestSamples("gsm_levels.decoded.raw"));
    ASSERT_EQ(speech.size() % 3200, 0u);
    ASSERT_EQ(frames.size(), speech.size() / 160 * 33);
    ASSERT_EQ(played.size(), speech.size());
    FreshCodecs codecs;
    unsigned char packet[kPacketSize];
    const auto u = ulawOf(speech);
    for (size_t p = 0; p < speech.size() / 3200; ++p) {
        loadPayload(packet, {u.begin() + 3200 * p, u.end()}, 3200, kCodecGsm);
        gsmcomp(packet, codecs.enc);
        ASSERT_EQ(packetPayloadLength(packet), 662);
        EXPECT_EQ(0, std::memcmp(packet + kPacketHeaderSize + 2, &frames[660 * p], 660)) << "packet " << p;
        ASSERT_EQ(decompressPacket(packet, codecs.dec), 3200);
        EXPECT_EQ(0, std::memcmp(packet + kPacketHeaderSize, &played[3200 * p], 3200)) << "packet " << p;
    }
}

TEST(CodecRoundTrip, DecodingBetweenPacketsDoesNotDisturbTheEncoder)
{
    // libgsm keeps history in its state: if the two directions shared one,
    // decoding a received stream would change what is encoded next.
    FreshCodecs busy, quiet, sender;
    unsigned char a[kPacketSize], b[kPacketSize], incoming[kPacketSize];
    for (int round = 0; round < 3; ++round) {
        const auto u = ulawOf(speechLike(3200, round));
        loadPayload(a, u, 3200);
        loadPayload(b, u, 3200);
        gsmcomp(a, busy.enc);
        gsmcomp(b, quiet.enc);
        ASSERT_EQ(0, std::memcmp(a + kPacketHeaderSize, b + kPacketHeaderSize, 662)) << "round " << round;
        // Meanwhile busy's decoder plays an unrelated stream.
        loadPayload(incoming, ulawOf(speechLike(3200, 10 + round)), 3200);
        gsmcomp(incoming, sender.enc);
        gsmdecomp(incoming, busy.dec);
    }
}

TEST(HostileDecode, CountsLengthsAndTrailersStayWithinTheArea)
{
    FreshCodecs codecs;
    unsigned char packet[kPacketSize];
    auto withCount = [&](int count, int length) {
        packet[kPacketHeaderSize] = static_cast<unsigned char>((count >> 8) & 0xFF);
        packet[kPacketHeaderSize + 1] = static_cast<unsigned char>(count & 0xFF);
        setPacketPayloadLength(packet, length);
        return gsmdecomp(packet, codecs.dec);
    };
    std::memset(packet, 0xD5, sizeof packet);
    // GSM: a count outside 1..3200 plays 3200; a full payload holds 193
    // frames, more than the 40 the area takes; a partial frame is not decoded.
    for (int count : {0, -5, 3201, 32767})
        EXPECT_EQ(withCount(count, 35), 3200) << count;
    EXPECT_EQ(withCount(3200, kMaxPayload), 3200);
    EXPECT_EQ(withCount(3200, 2 + 33 + 10), 3200);

    // ADPCM: a step index beyond the table or no room for the trailer drops
    // the packet; 6397 code bytes would make 12794 samples, cut to 6400.
    std::memset(packet, 0x37, sizeof packet);
    setPacketPayloadLength(packet, 903);
    for (int index : {89, 255}) {
        packet[kPacketHeaderSize + 902] = static_cast<unsigned char>(index);
        EXPECT_EQ(adpcmdecomp(packet, codecs.dec), 0) << index;
    }
    setPacketPayloadLength(packet, 2);
    EXPECT_EQ(adpcmdecomp(packet, codecs.dec), 0);
    setPacketPayloadLength(packet, kMaxPayload);
    packet[kPacketHeaderSize + kMaxPayload - 1] = 40;
    EXPECT_EQ(adpcmdecomp(packet, codecs.dec), kMaxPayload);

    // Every codec bit at once.
    std::memset(packet, 0xD0, sizeof packet);
    setPacketCodec(packet, 0xFFFFFFFFu);
    setPacketPayloadLength(packet, kMaxPayload);
    const int n = decompressPacket(packet, codecs.dec);
    EXPECT_GE(n, 0);
    EXPECT_LE(n, kMaxPayload);
}
