// Guards against wrong byte order in packets and voice files, hostile datagrams or records played, a backlog that grows.
#include "audio/receive.h"
#include "audio/send.h"
#include "audio/voice_file.h"
#include "engine_test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>

TEST(WireFormat, GsmPacketGoesOutBigEndianAndStaysHostOrderInMemory)
{
    CodecSelection saved;
    CodecSelection::only(&gsmcompress);
    setPacketCodec(sendAudioBuffer, selectedCodecWord());
    const auto s = speechLike(3200);
    processAudioBuffer(reinterpret_cast<const unsigned char *>(s.data()), 6400, selectedCodec());

    // Connected to itself, as the transmitter's socket is connected, so that either kind of send arrives.
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof to;
    bind(sock, reinterpret_cast<sockaddr *>(&to), len);
    getsockname(sock, reinterpret_cast<sockaddr *>(&to), &len);
    connect(sock, reinterpret_cast<sockaddr *>(&to), len);
    sendAudioPacket(sock, reinterpret_cast<sockaddr *>(&to), len);
    unsigned char wire[kPacketSize];
    const ssize_t n = recv(sock, wire, sizeof wire, MSG_DONTWAIT);
    close(sock);
    ASSERT_EQ(n, 24 + 662);
    EXPECT_EQ(Bytes(wire + 16, wire + 26), (Bytes{0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x02, 0x96, 0x0C, 0x80}));
    EXPECT_EQ(packetCodec(sendAudioBuffer), kCodecGsm) << "back in host order for the next block";
    EXPECT_EQ(packetPayloadLength(sendAudioBuffer), 662);
}

TEST(ReceivePath, OnlyWellFormedDatagramsPlayAndANewSenderIsAnsweredOnce)
{
    FakeDevice device;
    createCodecStates();
    const struct {
        int32_t payloadLength;
        uint32_t codec;
        ssize_t datagram;
        bool plays;
    } cases[] = {{0, 0, 10, false}, {-1, 0, 100, false}, {INT32_MIN, kCodecGsm, 100, false}, {6401, 0, kPacketSize, false},
                 {600, 0, 24 + 599, false}, {0x7FFFFFFF, kCodecAdpcm, kPacketSize, false}, {488, 0, 24 + 488, true}};
    for (const auto &c : cases) {
        unsigned char datagram[kPacketSize];
        for (int i = 0; i < kPacketSize; ++i)
            datagram[i] = static_cast<unsigned char>(i);
        const uint32_t codec = htonl(c.codec), len = htonl(static_cast<uint32_t>(c.payloadLength));
        std::memcpy(datagram + 16, &codec, 4);
        std::memcpy(datagram + 20, &len, 4);
        EXPECT_EQ(playReceivedDatagram(datagram, c.datagram), c.plays) << c.payloadLength << " in " << c.datagram;
        const Bytes played = device.drain(); // each sample through the table
        ASSERT_EQ(played.size(), c.plays ? 2u * static_cast<size_t>(c.payloadLength) : 0u);
        for (size_t i = 0; i < played.size() / 2; ++i)
            ASSERT_EQ(static_cast<int16_t>(played[2 * i] | played[2 * i + 1] << 8), u2s[(24 + i) & 0xFF]) << i;
    }
    const int savedExit = exitSendAudio;
    exitSendAudio = 0; // a transmission runs: no second one may start, and a sender is answered once
    EXPECT_TRUE(notePeer(inet_addr("10.9.8.7")));
    EXPECT_FALSE(notePeer(inet_addr("10.9.8.7")));
    exitSendAudio = savedExit;
}

TEST(VoiceFile, GsmRecordsCarryLittleEndianHeadersAndStopAfter299)
{
    UiRecorder ui;
    TempDir dir;
    CodecSelection saved;
    CodecSelection::only(&gsmcompress);
    auto record = [&](const std::string &file, int blocks, const std::vector<int16_t> &speech) {
        FakeDevice device;
        std::thread feeder([&] {
            for (int b = 0; b < blocks; ++b)
                if (send(device.testEnd, speech.data() + b * 3200, 6400, MSG_NOSIGNAL) < 0)
                    break;
            shutdown(device.testEnd, SHUT_WR);
        });
        forceExitThread = 0; // the controller clears it when it starts a file thread
        SaveVoiceFile(file.c_str(), selectedCodec());
        shutdown(device.engineEnd, SHUT_RD);
        feeder.join();
        return readFile(file);
    };
    Bytes file = record(dir / "a.voc", 3, speechLike(3 * 3200));
    ASSERT_EQ(file.size(), 3u * 686);
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 24), (Bytes{0x02, 0x3E, 0, 0, 0xAE, 0x02, 0, 0, 0x20, 0, 0, 0, 0, 0,
                                                             0, 0, 0x20, 0, 0, 0, 0x96, 0x02, 0, 0}));
    EXPECT_EQ(Bytes(file.begin() + 686, file.begin() + 694), Bytes(file.begin(), file.begin() + 8));
    EXPECT_EQ(machineState, 0);
    EXPECT_EQ(std::pair(ui.shows.load(), ui.hides.load()), std::pair(1, 1));
    EXPECT_EQ(record(dir / "long.voc", 310, std::vector<int16_t>(310 * 3200, 0)).size(), 299u * 686);
}

TEST(VoiceFile, BadFilesAreRefusedOrEndPlaybackWithAMessageAndPlayNothing)
{
    TempDir dir;
    // A valid first record with some bytes changed, cut to `size`, or followed by `more`.
    const struct {
        std::vector<std::pair<int, int>> edits = {};
        size_t size = 24;
        Bytes more = {};
        FileKind kind = kVoiceOrAvFile;
        int valid = 0;
        const char *played = nullptr; // the message playback ends with
    } cases[] = {
        {{}, 0}, {{}, 15}, {{{0, 0x03}}}, {{{1, 0x3F}}}, {{{8, 0x20}, {9, 0x02}}}, // mark, type, codec words
        {{{8, 0}}, 24, {}, kVoiceOrAvFile, 0, "Cannot Play File|"}, {{{1, 48 << 1}}, 24, {}, kOtherFile, 1},
        {{{1, 0x40}, {8, 0}}, 24, {}, kVoiceOrAvFile, 1}, {{}, 24, {}, kVoiceFile, 1},
        {{{4, 23}}, 24, {}, kVoiceOrAvFile, 1, "audio record length 23 outside"},
        {{{4, 0xFF}, {5, 0xFF}, {6, 0xFF}, {7, 0xFF}}, 24, {}, kVoiceOrAvFile, 1, "is damaged"},
        {{{4, 0x19}, {5, 0x19}}, 24, {}, kVoiceOrAvFile, 1, "audio record length 6425 outside"},
        {{{20, 5}}, 24, {}, kVoiceOrAvFile, 1, "payload length 5 does not fit"},
        {{}, 24, {0x02, 0x40, 0, 0, 0x0D, 0x28, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, kVoiceOrAvFile, 1, "video record length 10253"},
    };
    for (const auto &c : cases) {
        std::string content("\x02\x3E\0\0\x18\0\0\0\x20\0\0\0\0\0\0\0\x20\0\0\0\0\0\0\0", c.size);
        for (auto [at, value] : c.edits)
            content[static_cast<size_t>(at)] = static_cast<char>(value);
        writeFile(dir / "f", content + std::string(c.more.begin(), c.more.end()));
        EXPECT_EQ(CheckValidFile((dir / "f").c_str(), c.kind), c.valid) << c.size << " " << c.kind;
        if (!c.played)
            continue;
        UiRecorder ui;
        FakeDevice device;
        forceExitThread = 0;
        playAVFile((dir / "f").c_str());
        EXPECT_NE(ui.messages.find(c.played), std::string::npos) << c.played << " in " << ui.messages;
        EXPECT_TRUE(machineState == 0 && device.drain().empty()) << c.played;
    }
    EXPECT_EQ(CheckValidFile((dir / "missing").c_str(), kVoiceOrAvFile), 0);
}

TEST(ReceivePath, BurstsAndLastingBacklogsAreCutToASecondAndAHalfKeepingTheNewestPackets)
{
    const struct {
        uint32_t codec;
        int samples, payload, burst, deviceMs, kept;
    } cases[] = {{0x20, 3200, 662, 92, 0, 3}, {0x20, 3200, 662, 92, 600, 2}, // GSM: 92 packets are 37 s
                 {0x20, 3200, 662, 92, 1600, 0},                                // the device alone is past it
                 {0x20, 160, 35, 300, 0, 64},  // LD-GSM: the 64 slots bind first
                 {0, 0, 488, 40, 0, 24},       // u-law, 61 ms each
                 {0x20, 0xFFFF, 35, 10, 0, 3}}; // a GSM count beyond any block counts as 400 ms
    for (const auto &c : cases) {
        PlaybackQueue queue;
        Bytes p(static_cast<size_t>(kPacketHeaderSize + c.payload), 0);
        setPacketCodec(p.data(), c.codec);
        setPacketPayloadLength(p.data(), c.payload);
        std::tie(p[kPacketHeaderSize], p[kPacketHeaderSize + 1]) = std::pair(c.samples >> 8, c.samples & 0xFF);
        for (int i = 0; i < c.burst; ++i) {
            writeLe32(p.data(), static_cast<uint32_t>(i)); // the packet's number, in unused bytes
            queue.push(p.data(), p.size());
        }
        queue.trim(c.deviceMs, 0);
        size_t length = 0;
        const unsigned char *oldest = queue.front(&length);
        ASSERT_EQ(queue.size(), c.kept) << c.burst << " packets, " << c.deviceMs << " ms in the device";
        if (!oldest)
            continue;
        EXPECT_EQ(readLe32(oldest), static_cast<uint32_t>(c.burst - c.kept)) << "the newest are kept";
        EXPECT_EQ(length, p.size());
    }
    // A steady call swings past the bound for moments (two ADPCM packets beside 1.2 s in the device): cut only when
    // that lasts.
    PlaybackQueue queue;
    Bytes p(kPacketHeaderSize + 903, 0);
    setPacketCodec(p.data(), 0x200), setPacketPayloadLength(p.data(), 903);
    queue.push(p.data(), p.size());
    for (int64_t now : {0, 100, 2900, 3100}) {
        queue.push(p.data(), p.size()), queue.trim(1200, now);
        EXPECT_EQ(queue.size(), now < 3000 ? 2 : 1) << now;
        queue.pop();
    }
}
