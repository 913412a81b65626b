// Payload layouts of each codec inside a media packet, built by the capture
// path and taken apart by the receive path.
#include "audio/codec_framing.h"
#include "audio/media_packet.h"
#include "audio/send.h"
#include "audio/ulaw.h"
#include "engine_test_support.h"

#include <cmath>
#include <cstring>
#include <vector>

namespace {

// 16-bit speech-like samples: two tones and a slow envelope.
std::vector<int16_t> speechLike(int n, double seed = 0)
{
    std::vector<int16_t> s(n);
    for (int i = 0; i < n; ++i) {
        const double t = (i + seed * 1000) / 8000.0;
        const double env = 0.5 + 0.5 * std::sin(2 * M_PI * 3 * t);
        s[i] = static_cast<int16_t>(env * (9000 * std::sin(2 * M_PI * 220 * t) + 4000 * std::sin(2 * M_PI * 1330 * t)));
    }
    return s;
}

// Runs one captured block through the capture path with fresh codec states.
struct CaptureRun {
    CodecSelection saved;
    CaptureRun()
    {
        releaseCodecStates();
        createCodecStates();
        sendCodec.adpcm = {};
    }
    void block(const std::vector<int16_t> &samples)
    {
        processAudioBuffer(reinterpret_cast<const unsigned char *>(samples.data()),
                           static_cast<int>(samples.size() * 2));
    }
    int payloadLength() const { return packetPayloadLength(sendAudioBuffer); }
    const unsigned char *payload() const { return sendAudioBuffer + kPacketHeaderSize; }
};

std::vector<unsigned char> ulawOf(const std::vector<int16_t> &s)
{
    std::vector<unsigned char> u(s.size());
    for (size_t i = 0; i < s.size(); ++i)
        u[i] = linearToUlaw(s[i]);
    return u;
}

} // namespace

TEST(CaptureBlock, PayloadSizesPerCodec)
{
    CaptureRun run;
    struct Case {
        std::atomic<int> *flag;
        int samples;
        int payload;
    } cases[] = {{nullptr, 488, 488}, {&adpcmcompress, 1800, 903}, {&gsmcompress, 3200, 662},
                 {&ldgsmcompress, 160, 35}, {&lpc10compress, 3600, 140}};
    for (const Case &c : cases) {
        if (c.flag)
            CodecSelection::only(*c.flag);
        else
            CodecSelection::none();
        EXPECT_EQ(inputSampleCount(), c.samples);
        run.block(speechLike(c.samples));
        EXPECT_EQ(run.payloadLength(), c.payload) << "block of " << c.samples;
    }
}

TEST(CaptureBlock, UncompressedPayloadIsTheUlawOfEachSample)
{
    CaptureRun run;
    CodecSelection::none();
    std::vector<int16_t> s = speechLike(488);
    s[0] = 0;
    s[1] = -1;
    s[2] = -32768;
    s[3] = 32767;
    run.block(s);
    ASSERT_EQ(run.payloadLength(), 488);
    EXPECT_EQ(run.payload()[0], 0xFF);
    EXPECT_EQ(run.payload()[1], 0x7E);
    EXPECT_EQ(run.payload()[2], 0x00);
    EXPECT_EQ(run.payload()[3], 0x80);
    const auto expected = ulawOf(s);
    EXPECT_EQ(0, std::memcmp(run.payload(), expected.data(), 488));
}

TEST(CaptureBlock, GsmFramesAreLibgsmsEncodingOfTheUlawSamples)
{
    CaptureRun run;
    CodecSelection::only(gsmcompress);
    gsm reference = gsm_create();
    for (int packet = 0; packet < 3; ++packet) {
        const auto s = speechLike(3200, packet);
        run.block(s);
        ASSERT_EQ(run.payloadLength(), 662);
        EXPECT_EQ(run.payload()[0], 0x0C);
        EXPECT_EQ(run.payload()[1], 0x80);
        const auto u = ulawOf(s);
        for (int f = 0; f < 20; ++f) {
            gsm_signal frame[160];
            for (int i = 0; i < 160; ++i)
                frame[i] = u2s[u[f * 160 + i]];
            gsm_byte coded[33];
            gsm_encode(reference, frame, coded);
            ASSERT_EQ(0, std::memcmp(coded, run.payload() + 2 + 33 * f, 33)) << "packet " << packet << " frame " << f;
        }
    }
    gsm_destroy(reference);
}

TEST(CaptureBlock, LdGsmCarriesOneFrameAndCount160)
{
    CaptureRun run;
    CodecSelection::only(ldgsmcompress);
    run.block(speechLike(160));
    ASSERT_EQ(run.payloadLength(), 35);
    EXPECT_EQ(run.payload()[0], 0x00);
    EXPECT_EQ(run.payload()[1], 0xA0);
    EXPECT_EQ(run.payload()[2] >> 4, 0xD); // libgsm's frame signature
}

TEST(CaptureBlock, AdpcmTrailerHoldsTheStateBeforeEachPacket)
{
    CaptureRun run;
    CodecSelection::only(adpcmcompress);
    run.block(speechLike(1800));
    ASSERT_EQ(run.payloadLength(), 903);
    EXPECT_EQ(run.payload()[900], 0);
    EXPECT_EQ(run.payload()[901], 0);
    EXPECT_EQ(run.payload()[902], 0);
    const adpcm_state after = sendCodec.adpcm;
    run.block(speechLike(1800, 1));
    const auto predicted = static_cast<uint16_t>(after.valprev);
    EXPECT_EQ(run.payload()[900], predicted >> 8);
    EXPECT_EQ(run.payload()[901], predicted & 0xFF);
    EXPECT_EQ(run.payload()[902], after.index);
}

TEST(CodecRoundTrip, EachCodecDecodesToWhatItsCoderPredicts)
{
    FreshCodecs codecs;
    unsigned char packet[kPacketSize];
    const auto u = ulawOf(speechLike(3200));

    // GSM: decoding gives exactly libgsm's decoding of the frames.
    std::memcpy(packet + kPacketHeaderSize, u.data(), 3200);
    setPacketPayloadLength(packet, 3200);
    setPacketCodec(packet, kCodecGsm);
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

    // ADPCM: 1800 samples come back as 1800 samples close to the input.
    std::memcpy(packet + kPacketHeaderSize, u.data(), 1800);
    setPacketPayloadLength(packet, 1800);
    setPacketCodec(packet, kCodecAdpcm);
    adpcmcomp(packet, codecs.enc);
    ASSERT_EQ(packetPayloadLength(packet), 903);
    EXPECT_EQ(decompressPacket(packet, codecs.dec), 1800);
    double err = 0, sig = 0;
    for (int i = 0; i < 1800; ++i) {
        const double x = u2s[u[i]], y = u2s[packet[kPacketHeaderSize + i]];
        err += (x - y) * (x - y);
        sig += x * x;
    }
    EXPECT_GT(10 * std::log10(sig / err), 10.0);
}

TEST(CodecRoundTrip, DecodingBetweenPacketsDoesNotDisturbTheEncoder)
{
    // libgsm keeps history in its state: if the two directions shared one,
    // decoding a received stream would change what is encoded next.
    FreshCodecs busy, quiet, sender;
    unsigned char a[kPacketSize], b[kPacketSize], incoming[kPacketSize];
    for (int round = 0; round < 3; ++round) {
        const auto u = ulawOf(speechLike(3200, round));
        for (unsigned char *p : {a, b}) {
            std::memcpy(p + kPacketHeaderSize, u.data(), 3200);
            setPacketPayloadLength(p, 3200);
        }
        gsmcomp(a, busy.enc);
        gsmcomp(b, quiet.enc);
        ASSERT_EQ(0, std::memcmp(a + kPacketHeaderSize, b + kPacketHeaderSize, 662)) << "round " << round;
        // Meanwhile busy's decoder plays an unrelated stream.
        const auto other = ulawOf(speechLike(3200, 10 + round));
        std::memcpy(incoming + kPacketHeaderSize, other.data(), 3200);
        setPacketPayloadLength(incoming, 3200);
        gsmcomp(incoming, sender.enc);
        gsmdecomp(incoming, busy.dec);
    }
}

TEST(CodecRoundTrip, Lpc10PacketSetsItsBitAndDecodesToTwentyFrames)
{
    FreshCodecs codecs;
    unsigned char packet[kPacketSize];
    const auto u = ulawOf(speechLike(3600));
    std::memcpy(packet + kPacketHeaderSize, u.data(), 3600);
    setPacketPayloadLength(packet, 3600);
    setPacketCodec(packet, 0);
    lpc10comp(packet, codecs.enc);
    EXPECT_EQ(packetCodec(packet), kCodecLpc10);
    ASSERT_EQ(packetPayloadLength(packet), 140);
    EXPECT_EQ(decompressPacket(packet, codecs.dec), 3600);
    // An oversize LPC-10 payload decodes to at most the 35 frames the area holds.
    setPacketPayloadLength(packet, kMaxPayload);
    EXPECT_EQ(lpc10decomp(packet, codecs.dec), 35 * 180);
}

TEST(HostileDecode, GsmCountOutsideOneTo3200Plays3200)
{
    FreshCodecs codecs;
    unsigned char packet[kPacketSize]{};
    for (int count : {0, -5, 3201, 32767}) {
        packet[kPacketHeaderSize] = static_cast<unsigned char>((count >> 8) & 0xFF);
        packet[kPacketHeaderSize + 1] = static_cast<unsigned char>(count & 0xFF);
        setPacketPayloadLength(packet, 35);
        EXPECT_EQ(gsmdecomp(packet, codecs.dec), 3200) << count;
    }
}

TEST(HostileDecode, GsmDecodesOnlyWholeFramesThatFitTheArea)
{
    FreshCodecs codecs;
    unsigned char packet[kPacketSize];
    std::memset(packet, 0xD5, sizeof packet);
    packet[kPacketHeaderSize] = 0x0C;
    packet[kPacketHeaderSize + 1] = 0x80;
    // A full payload holds 193 frames: more than the 40 the area takes.
    setPacketPayloadLength(packet, kMaxPayload);
    EXPECT_EQ(gsmdecomp(packet, codecs.dec), 3200);
    // A payload ending in a partial frame.
    setPacketPayloadLength(packet, 2 + 33 + 10);
    EXPECT_EQ(gsmdecomp(packet, codecs.dec), 3200);
}

TEST(HostileDecode, AdpcmBadTrailersAndOversizePayloads)
{
    FreshCodecs codecs;
    unsigned char packet[kPacketSize];
    std::memset(packet, 0x37, sizeof packet);
    // Step index beyond the table: the packet is dropped.
    setPacketPayloadLength(packet, 903);
    packet[kPacketHeaderSize + 902] = 89;
    EXPECT_EQ(adpcmdecomp(packet, codecs.dec), 0);
    packet[kPacketHeaderSize + 902] = 255;
    EXPECT_EQ(adpcmdecomp(packet, codecs.dec), 0);
    // Too short to hold a trailer.
    setPacketPayloadLength(packet, 2);
    EXPECT_EQ(adpcmdecomp(packet, codecs.dec), 0);
    // 6397 code bytes would decode to 12794 samples: cut to the 6400 the area holds.
    setPacketPayloadLength(packet, kMaxPayload);
    packet[kPacketHeaderSize + kMaxPayload - 1] = 40;
    EXPECT_EQ(adpcmdecomp(packet, codecs.dec), kMaxPayload);
}

TEST(HostileDecode, AllCodecBitsTogetherStayWithinTheBuffer)
{
    FreshCodecs codecs;
    unsigned char packet[kPacketSize];
    std::memset(packet, 0xD0, sizeof packet);
    setPacketCodec(packet, 0xFFFFFFFFu);
    setPacketPayloadLength(packet, kMaxPayload);
    const int n = decompressPacket(packet, codecs.dec);
    EXPECT_GE(n, 0);
    EXPECT_LE(n, kMaxPayload);
}
