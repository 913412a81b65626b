// The media packet on the wire and in voice files, and the receive path's
// handling of what arrives.
#include "audio/codec_framing.h"
#include "audio/media_packet.h"
#include "audio/receive.h"
#include "audio/send.h"
#include "audio/ulaw.h"
#include "audio/voice_file.h"
#include "engine_test_support.h"

#include <arpa/inet.h>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <thread>
#include <vector>

namespace {

std::vector<unsigned char> bytes(std::initializer_list<int> list)
{
    std::vector<unsigned char> v;
    for (int b : list)
        v.push_back(static_cast<unsigned char>(b));
    return v;
}

std::vector<unsigned char> slice(const unsigned char *p, int from, int n)
{
    return std::vector<unsigned char>(p + from, p + from + n);
}

std::vector<int16_t> tone(int n)
{
    std::vector<int16_t> s(n);
    for (int i = 0; i < n; ++i)
        s[i] = static_cast<int16_t>(8000 * std::sin(i * 0.2));
    return s;
}

struct GsmPacket {
    CodecSelection saved;
    GsmPacket()
    {
        releaseCodecStates();
        createCodecStates();
        CodecSelection::only(gsmcompress);
        setPacketCodec(sendAudioBuffer, selectedCodecWord());
        const auto s = tone(3200);
        processAudioBuffer(reinterpret_cast<const unsigned char *>(s.data()), 6400);
    }
};

// A UDP socket pair on loopback: what sendAudioPacket puts on the wire.
struct Loopback {
    int tx = socket(AF_INET, SOCK_DGRAM, 0);
    int rx = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    Loopback()
    {
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(rx, reinterpret_cast<sockaddr *>(&to), sizeof to);
        socklen_t len = sizeof to;
        getsockname(rx, reinterpret_cast<sockaddr *>(&to), &len);
        timeval tv{2, 0};
        setsockopt(rx, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~Loopback()
    {
        close(tx);
        close(rx);
    }
};

} // namespace

TEST(WireFormat, GsmPacketGoesOutBigEndianAndStaysHostOrderInMemory)
{
    GsmPacket packet;
    Loopback net;
    sendAudioPacket(net.tx, reinterpret_cast<sockaddr *>(&net.to), sizeof net.to);
    unsigned char wire[kPacketSize];
    const ssize_t n = recv(net.rx, wire, sizeof wire, 0);
    ASSERT_EQ(n, 24 + 662);
    EXPECT_EQ(slice(wire, 16, 4), bytes({0x00, 0x00, 0x00, 0x20}));
    EXPECT_EQ(slice(wire, 20, 4), bytes({0x00, 0x00, 0x02, 0x96}));
    EXPECT_EQ(slice(wire, 24, 2), bytes({0x0C, 0x80}));
    // The buffer is back in host order for the next block.
    EXPECT_EQ(packetCodec(sendAudioBuffer), kCodecGsm);
    EXPECT_EQ(packetPayloadLength(sendAudioBuffer), 662);

    // The receiver turns the fields back and plays 3200 samples.
    FakeDevice device;
    ASSERT_TRUE(playReceivedDatagram(wire, n));
    EXPECT_EQ(device.drain().size(), 6400u);
}

TEST(ReceivePath, UncompressedPacketPlaysEachSampleThroughTheTable)
{
    FakeDevice device;
    unsigned char wire[24 + 488]{};
    uint32_t len = htonl(488);
    std::memcpy(wire + 20, &len, 4);
    for (int i = 0; i < 488; ++i)
        wire[24 + i] = static_cast<unsigned char>(i);
    ASSERT_TRUE(playReceivedDatagram(wire, sizeof wire));
    const auto played = device.drain();
    ASSERT_EQ(played.size(), 976u);
    for (int i = 0; i < 488; ++i) {
        int16_t s;
        std::memcpy(&s, played.data() + 2 * i, 2);
        ASSERT_EQ(s, u2s[i & 0xFF]) << i;
    }
}

TEST(ReceivePath, HostileDatagramsAreDroppedWithoutTouchingTheDevice)
{
    FakeDevice device;
    createCodecStates();
    struct Case {
        const char *what;
        int32_t payloadLength;
        uint32_t codec;
        ssize_t datagram;
    } cases[] = {
        {"shorter than a header", 0, 0, 10},
        {"negative length", -1, 0, 100},
        {"most negative length", INT32_MIN, kCodecGsm, 100},
        {"above 6400", 6401, 0, kPacketSize},
        {"above what arrived", 600, 0, 24 + 599},
        {"huge", 0x7FFFFFFF, kCodecAdpcm, kPacketSize},
    };
    unsigned char datagram[kPacketSize];
    for (const Case &c : cases) {
        std::memset(datagram, 0x5A, kPacketSize);
        uint32_t codec = htonl(c.codec);
        uint32_t len = htonl(static_cast<uint32_t>(c.payloadLength));
        std::memcpy(datagram + 16, &codec, 4);
        std::memcpy(datagram + 20, &len, 4);
        EXPECT_FALSE(playReceivedDatagram(datagram, c.datagram)) << c.what;
    }
    EXPECT_TRUE(device.drain().empty());
}

TEST(ReceivePath, PeerLogicAnswersOnlyANewSenderAndOnlyWhenIdle)
{
    const int savedExit = exitSendAudio;
    exitSendAudio = 0; // a transmission runs: no second one may start
    testing::internal::CaptureStdout();
    EXPECT_TRUE(notePeer(inet_addr("10.9.8.7")));
    EXPECT_FALSE(notePeer(inet_addr("10.9.8.7")));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Receiving from host 10.9.8.7\n");
    exitSendAudio = savedExit;
}

namespace {

struct TempDir {
    std::filesystem::path path;
    TempDir()
    {
        char tmpl[] = "/tmp/kvtestXXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
};

// Records blocks fed through a socket pair standing in for the device, until
// the device end is closed after `blocks` blocks.
std::vector<unsigned char> recordBlocks(const std::string &file, int blocks, const std::vector<int16_t> &speech)
{
    FakeDevice device;
    std::snprintf(gstFileName, sizeof gstFileName, "%s", file.c_str());
    std::thread feeder([&] {
        const size_t blockBytes = static_cast<size_t>(inputSampleCount()) * 2;
        for (int b = 0; b < blocks; ++b)
            send(device.testEnd, reinterpret_cast<const char *>(speech.data()) + b * blockBytes, blockBytes, 0);
        shutdown(device.testEnd, SHUT_WR);
    });
    SaveVoiceFile();
    feeder.join();
    std::ifstream in(file, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

} // namespace

TEST(VoiceFile, GsmRecordsCarryLittleEndianHeaders)
{
    UiRecorder ui;
    TempDir dir;
    CodecSelection saved;
    releaseCodecStates();
    createCodecStates();
    CodecSelection::only(gsmcompress);
    testing::internal::CaptureStdout();
    const auto file = recordBlocks((dir.path / "a.voc").string(), 3, tone(3 * 3200));
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_EQ(file.size(), 3u * 686);
    EXPECT_EQ(slice(file.data(), 0, 24),
              bytes({0x02, 0x3E, 0x00, 0x00, 0xAE, 0x02, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                     0x20, 0x00, 0x00, 0x00, 0x96, 0x02, 0x00, 0x00}));
    EXPECT_EQ(slice(file.data(), 686, 8), slice(file.data(), 0, 8));
    EXPECT_NE(out.find("Recording voice file  "), std::string::npos);
    EXPECT_NE(out.find("Voice recording completed\n"), std::string::npos);
    EXPECT_EQ(machineState, 0);
    EXPECT_EQ(ui.shows, 1);
    EXPECT_EQ(ui.hides, 1);
}

TEST(VoiceFile, RecordingAppendsAndPlaybackWritesTheDecodedSamples)
{
    UiRecorder ui;
    TempDir dir;
    CodecSelection saved;
    releaseCodecStates();
    createCodecStates();
    CodecSelection::only(adpcmcompress);
    const std::string path = (dir.path / "b.voc").string();
    testing::internal::CaptureStdout();
    recordBlocks(path, 2, tone(2 * 1800));
    const auto file = recordBlocks(path, 2, tone(2 * 1800));
    ASSERT_EQ(file.size(), 4u * (24 + 903));

    // Expected playback: each record's payload decoded on its own.
    FreshCodecs codecs;
    std::vector<unsigned char> expected;
    for (int r = 0; r < 4; ++r) {
        unsigned char packet[kPacketSize];
        std::memcpy(packet, file.data() + r * 927, 927);
        const int n = decompressPacket(packet, codecs.dec);
        for (int i = 0; i < n; ++i) {
            const int16_t s = u2s[packet[24 + i]];
            expected.push_back(static_cast<unsigned char>(s & 0xFF));
            expected.push_back(static_cast<unsigned char>((s >> 8) & 0xFF));
        }
    }
    FakeDevice device;
    std::snprintf(gstFileName, sizeof gstFileName, "%s", path.c_str());
    playAVFile();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(device.drain(), expected);
    EXPECT_NE(out.find("Playing voice file " + path + "\n"), std::string::npos);
    EXPECT_NE(out.find("Voice file playing completed\n"), std::string::npos);
}

TEST(VoiceFile, BadFilesAreRefusedOrEndCleanly)
{
    TempDir dir;
    UiRecorder ui;
    FakeDevice device;
    auto write = [&](const std::string &name, const std::vector<unsigned char> &content) {
        const std::string p = (dir.path / name).string();
        std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char *>(content.data()),
                                                  static_cast<std::streamsize>(content.size()));
        return p;
    };
    std::vector<unsigned char> good = {0x02, 0x3E, 0, 0, 24, 0, 0, 0, 0x20, 0, 0, 0, 0, 0, 0, 0,
                                       0x20, 0, 0, 0, 0, 0, 0, 0};
    auto with = [&](std::initializer_list<std::pair<int, int>> edits) {
        auto v = good;
        for (auto [at, value] : edits)
            v[static_cast<size_t>(at)] = static_cast<unsigned char>(value);
        return v;
    };
    // Refused by the first-record check.
    EXPECT_EQ(CheckValidFile(write("empty", {}).c_str(), 3), 0);
    EXPECT_EQ(CheckValidFile(write("short", std::vector<unsigned char>(good.begin(), good.begin() + 15)).c_str(), 3), 0);
    EXPECT_EQ(CheckValidFile(write("mark", with({{0, 0x03}})).c_str(), 3), 0);
    EXPECT_EQ(CheckValidFile(write("bit0", with({{1, 0x3F}})).c_str(), 3), 0);
    EXPECT_EQ(CheckValidFile(write("codec0", with({{8, 0}})).c_str(), 3), 0);
    EXPECT_EQ(CheckValidFile(write("codec2", with({{8, 0x20}, {9, 0x02}})).c_str(), 3), 0);
    EXPECT_EQ(CheckValidFile(write("third", with({{1, 48 << 1}})).c_str(), 2), 1);
    EXPECT_EQ(CheckValidFile(write("video", with({{1, 0x40}, {8, 0}})).c_str(), 3), 1);
    EXPECT_EQ(CheckValidFile((dir.path / "missing").c_str(), 3), 0);
    EXPECT_EQ(CheckValidFile(write("ok", good).c_str(), 0), 1);

    testing::internal::CaptureStdout();
    std::snprintf(gstFileName, sizeof gstFileName, "%s", (dir.path / "codec0").c_str());
    playAVFile();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "This file can not be played\n");

    // Damaged record lengths end playback with a line saying so.
    for (auto [name, edits] : std::vector<std::pair<std::string, std::vector<std::pair<int, int>>>>{
             {"len23", {{4, 23}}}, {"lenhuge", {{4, 0xFF}, {5, 0xFF}, {6, 0xFF}, {7, 0xFF}}},
             {"len6425", {{4, 0x19}, {5, 0x19}}}, {"payload", {{20, 5}}}}) {
        auto v = good;
        for (auto [at, value] : edits)
            v[static_cast<size_t>(at)] = static_cast<unsigned char>(value);
        std::snprintf(gstFileName, sizeof gstFileName, "%s", write(name, v).c_str());
        testing::internal::CaptureStdout();
        playAVFile();
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find("This file is damaged"), std::string::npos) << name << ": " << out;
        EXPECT_NE(out.find("Voice file playing completed"), std::string::npos) << name;
        EXPECT_EQ(machineState, 0);
    }

    // A video record too large for the record buffer, after a valid first record.
    auto v = good;
    v.insert(v.end(), {0x02, 0x40, 0, 0, 0x0D, 0x28, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}); // 10253
    std::snprintf(gstFileName, sizeof gstFileName, "%s", write("bigvideo", v).c_str());
    testing::internal::CaptureStdout();
    playAVFile();
    EXPECT_NE(testing::internal::GetCapturedStdout().find("video record length 10253"), std::string::npos);
    device.drain();
}

TEST(VoiceFile, GsmRecordingStopsBySelfAfter299Records)
{
    UiRecorder ui;
    TempDir dir;
    CodecSelection saved;
    releaseCodecStates();
    createCodecStates();
    CodecSelection::only(gsmcompress);
    testing::internal::CaptureStdout();
    // Offer more than enough blocks; the recorder must stop on its own.
    const auto file = recordBlocks((dir.path / "long.voc").string(), 310, std::vector<int16_t>(310 * 3200, 0));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(file.size(), 299u * 686);
}
