// The media packet on the wire and in voice files, and the receive path's
// handling of what arrives.
#include "audio/receive.h"
#include "audio/send.h"
#include "audio/voice_file.h"
#include "engine_test_support.h"

#include <arpa/inet.h>
#include <cstdio>
#include <fstream>
#include <netinet/in.h>
#include <thread>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes slice(const unsigned char *p, int from, int n) { return Bytes(p + from, p + from + n); }

// What the program printed while running fn.
template <typename Fn> std::string stdoutOf(Fn fn)
{
    testing::internal::CaptureStdout();
    fn();
    return testing::internal::GetCapturedStdout();
}

} // namespace

TEST(WireFormat, GsmPacketGoesOutBigEndianAndStaysHostOrderInMemory)
{
    CodecSelection saved;
    CodecSelection::only(&gsmcompress);
    setPacketCodec(sendAudioBuffer, selectedCodecWord());
    const auto s = speechLike(3200);
    processAudioBuffer(reinterpret_cast<const unsigned char *>(s.data()), 6400, selectedCodec());

    // A UDP socket pair on loopback: what sendAudioPacket puts on the wire.
    const int tx = socket(AF_INET, SOCK_DGRAM, 0), rx = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof to;
    bind(rx, reinterpret_cast<sockaddr *>(&to), sizeof to);
    getsockname(rx, reinterpret_cast<sockaddr *>(&to), &len);
    timeval tv{2, 0};
    setsockopt(rx, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    // Connected as the transmitter's is, so both the addressed and the
    // unaddressed send (after an earlier refusal) reach rx.
    connect(tx, reinterpret_cast<sockaddr *>(&to), sizeof to);
    sendAudioPacket(tx, reinterpret_cast<sockaddr *>(&to), sizeof to);
    unsigned char wire[kPacketSize];
    const ssize_t n = recv(rx, wire, sizeof wire, 0);
    close(tx);
    close(rx);

    ASSERT_EQ(n, 24 + 662);
    EXPECT_EQ(slice(wire, 16, 10), (Bytes{0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x02, 0x96, 0x0C, 0x80}));
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
    const struct {
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
    for (const auto &c : cases) {
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
    EXPECT_EQ(stdoutOf([] {
                  EXPECT_TRUE(notePeer(inet_addr("10.9.8.7")));
                  EXPECT_FALSE(notePeer(inet_addr("10.9.8.7")));
              }),
              "Receiving from host 10.9.8.7\n");
    exitSendAudio = savedExit;
}

namespace {

// Records blocks fed through the fake device until its capture side is
// closed; the feeder gives up on what the recorder no longer reads.
Bytes recordBlocks(const std::string &file, int blocks, const std::vector<int16_t> &speech)
{
    FakeDevice device;
    std::thread feeder([&] {
        const size_t blockBytes = static_cast<size_t>(inputSampleCount(selectedCodec())) * 2;
        for (int b = 0; b < blocks; ++b)
            if (send(device.testEnd, reinterpret_cast<const char *>(speech.data()) + b * blockBytes, blockBytes,
                     MSG_NOSIGNAL) < 0)
                break;
        shutdown(device.testEnd, SHUT_WR);
    });
    forceExitThread = 0; // the controller clears it when it starts a file thread
    SaveVoiceFile(file.c_str(), selectedCodec());
    shutdown(device.engineEnd, SHUT_RD);
    feeder.join();
    std::ifstream in(file, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void playFile(const std::string &path)
{
    forceExitThread = 0;
    playAVFile(path.c_str());
}

} // namespace

TEST(VoiceFile, GsmRecordsCarryLittleEndianHeadersAndStopAfter299)
{
    UiRecorder ui;
    TempDir dir;
    CodecSelection saved;
    CodecSelection::only(&gsmcompress);
    Bytes file;
    const std::string out = stdoutOf([&] { file = recordBlocks(dir / "a.voc", 3, speechLike(3 * 3200)); });
    ASSERT_EQ(file.size(), 3u * 686);
    EXPECT_EQ(slice(file.data(), 0, 24), (Bytes{0x02, 0x3E, 0x00, 0x00, 0xAE, 0x02, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00,
                                                0x00, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x96, 0x02, 0x00, 0x00}));
    EXPECT_EQ(slice(file.data(), 686, 8), slice(file.data(), 0, 8));
    EXPECT_NE(out.find("Recording voice file  "), std::string::npos);
    EXPECT_NE(out.find("Voice recording completed\n"), std::string::npos);
    EXPECT_EQ(machineState, 0);
    EXPECT_EQ(ui.shows, 1);
    EXPECT_EQ(ui.hides, 1);

    // Offered more than enough blocks, the recorder stops on its own.
    stdoutOf([&] { file = recordBlocks(dir / "long.voc", 310, std::vector<int16_t>(310 * 3200, 0)); });
    EXPECT_EQ(file.size(), 299u * 686);
}

TEST(VoiceFile, BadFilesAreRefusedOrEndCleanly)
{
    TempDir dir;
    UiRecorder ui;
    FakeDevice device;
    const Bytes good = {0x02, 0x3E, 0, 0, 24, 0, 0, 0, 0x20, 0, 0, 0, 0, 0, 0, 0, 0x20, 0, 0, 0, 0, 0, 0, 0};
    // Writes `good` with some bytes changed (or `content` as given) to a file.
    auto write = [&](const char *name, std::vector<std::pair<int, int>> edits, Bytes content = {}) {
        if (content.empty()) {
            content = good;
            for (auto [at, value] : edits)
                content[static_cast<size_t>(at)] = static_cast<unsigned char>(value);
        }
        std::ofstream(dir / name, std::ios::binary)
            .write(reinterpret_cast<const char *>(content.data()), static_cast<std::streamsize>(content.size()));
        return dir / name;
    };
    // Refused by the first-record check.
    std::ofstream(dir / "empty");
    EXPECT_EQ(CheckValidFile((dir / "empty").c_str(), kVoiceOrAvFile), 0);
    EXPECT_EQ(CheckValidFile(write("short", {}, Bytes(good.begin(), good.begin() + 15)).c_str(), kVoiceOrAvFile), 0);
    EXPECT_EQ(CheckValidFile(write("mark", {{0, 0x03}}).c_str(), kVoiceOrAvFile), 0);
    EXPECT_EQ(CheckValidFile(write("bit0", {{1, 0x3F}}).c_str(), kVoiceOrAvFile), 0);
    EXPECT_EQ(CheckValidFile(write("codec0", {{8, 0}}).c_str(), kVoiceOrAvFile), 0);
    EXPECT_EQ(CheckValidFile(write("codec2", {{8, 0x20}, {9, 0x02}}).c_str(), kVoiceOrAvFile), 0);
    EXPECT_EQ(CheckValidFile(write("third", {{1, 48 << 1}}).c_str(), kOtherFile), 1);
    EXPECT_EQ(CheckValidFile(write("video", {{1, 0x40}, {8, 0}}).c_str(), kVoiceOrAvFile), 1);
    EXPECT_EQ(CheckValidFile((dir / "missing").c_str(), kVoiceOrAvFile), 0);
    EXPECT_EQ(CheckValidFile(write("ok", {}).c_str(), kVoiceFile), 1);
    EXPECT_EQ(stdoutOf([&] { playFile(dir / "codec0"); }), "This file can not be played\n");

    // Damaged record lengths end playback with a line saying so.
    const std::pair<const char *, std::vector<std::pair<int, int>>> damaged[] = {
        {"len23", {{4, 23}}},
        {"lenhuge", {{4, 0xFF}, {5, 0xFF}, {6, 0xFF}, {7, 0xFF}}},
        {"len6425", {{4, 0x19}, {5, 0x19}}},
        {"payload", {{20, 5}}}};
    for (const auto &[name, edits] : damaged) {
        // clang 14 cannot capture structured bindings in a lambda.
        const auto file = write(name, edits);
        const std::string out = stdoutOf([&] { playFile(file); });
        EXPECT_NE(out.find("This file is damaged"), std::string::npos) << name << ": " << out;
        EXPECT_NE(out.find("Voice file playing completed"), std::string::npos) << name;
        EXPECT_EQ(machineState, 0);
    }

    // A video record too large for the record buffer, after a valid first record.
    Bytes v = good;
    v.insert(v.end(), {0x02, 0x40, 0, 0, 0x0D, 0x28, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}); // 10253
    EXPECT_NE(stdoutOf([&] { playFile(write("bigvideo", {}, v)); }).find("video record length 10253"),
              std::string::npos);
    device.drain();
}

TEST(ReceivePath, BacklogStaysWithinASecondAndAHalfAndKeepsTheNewestPackets)
{
    const struct {
        uint32_t codec;
        int samples, payload, burst, deviceMs, kept;
    } cases[] = {
        {0x20, 3200, 662, 92, 0, 3}, // GSM: 92 packets are 37 s
        {0x20, 3200, 662, 92, 600, 2},
        {0x20, 160, 35, 300, 0, 64}, // LD-GSM: the 64 slots bind first
        {0, 0, 488, 40, 0, 24},      // u-law, 61 ms each
        {0x20, 0xFFFF, 35, 10, 0, 3}, // a GSM count beyond any block counts as 400 ms
    };
    for (const auto &c : cases) {
        PlaybackQueue queue;
        Bytes p(static_cast<size_t>(kPacketHeaderSize + c.payload), 0);
        for (int i = 0; i < c.burst; ++i) {
            writeLe32(p.data(), static_cast<uint32_t>(i)); // the packet's number, in unused bytes
            setPacketCodec(p.data(), c.codec);
            setPacketPayloadLength(p.data(), c.payload);
            p[kPacketHeaderSize] = static_cast<unsigned char>(c.samples >> 8);
            p[kPacketHeaderSize + 1] = static_cast<unsigned char>(c.samples);
            queue.push(p.data(), p.size());
        }
        queue.trim(c.deviceMs);
        size_t length = 0;
        const unsigned char *oldest = queue.front(&length);
        ASSERT_EQ(queue.size(), c.kept) << c.burst << " packets, " << c.deviceMs << " ms in the device";
        EXPECT_EQ(readLe32(oldest), static_cast<uint32_t>(c.burst - c.kept)) << "the newest are kept";
        EXPECT_EQ(length, p.size());
    }
}
