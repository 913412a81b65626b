// The call controller with its real threads running at once: calls, hand-overs,
// codec changes, files, Stop and quit, with what goes on the wire checked
// packet by packet. The test binary runs in a network namespace of its own, so
// port 2047 and the 127/8 peers are its alone.
#include "audio/call_controller.h"
#include "audio/engine.h"
#include "audio/receive.h"
#include "audio/voice_file.h"
#include "directory/uls_client.h"
#include "engine_test_support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fstream>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/ioctl.h>
#include <thread>

namespace {

// Before main, so that every thread of the binary inherits the namespace.
const bool privateNetwork = [] {
    if (unshare(CLONE_NEWNET) != 0)
        return false;
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq ifr{};
    std::strcpy(ifr.ifr_name, "lo");
    const bool up = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &ifr) == 0 && (ifr.ifr_flags |= IFF_UP) &&
                    ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    close(fd);
    return up;
}();

int threadCount()
{
    int n = 0;
    if (DIR *d = opendir("/proc/self/task")) {
        while (dirent *e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

template <typename Pred> bool within(int ms, Pred pred)
{
    for (int i = 0; i < ms / 5; ++i) {
        if (pred())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pred();
}

// A UDP socket on port 2047 of address that checks every media packet: the
// codec word must match the payload's shape, and the datagram its length.
struct WireSink {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    std::atomic<int> packets{0}, bad{0};
    std::atomic<bool> stop{false};
    std::thread reader;
    explicit WireSink(const char *address)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(2047);
        a.sin_addr.s_addr = inet_addr(address);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0) << address;
        reader = std::thread([this] {
            unsigned char d[kPacketSize + 1];
            while (!stop) {
                pollfd p{fd, POLLIN, 0};
                if (poll(&p, 1, 20) <= 0)
                    continue;
                const ssize_t n = recv(fd, d, sizeof d, 0);
                ++packets;
                if (!consistent(d, n))
                    ++bad;
            }
        });
    }
    ~WireSink()
    {
        stop = true;
        reader.join();
        close(fd);
    }
    static bool consistent(const unsigned char *d, ssize_t n)
    {
        if (n < kPacketHeaderSize)
            return false;
        const uint32_t codec = ntohl(readLe32(d + 16));
        const int32_t len = static_cast<int32_t>(ntohl(readLe32(d + 20)));
        if (n != kPacketHeaderSize + len)
            return false;
        const unsigned char *p = d + kPacketHeaderSize;
        switch (codec) {
        case 0x20: { // a sample count of 3200 (GSM) or 160 (LD-GSM), then frames
            const int count = p[0] << 8 | p[1];
            if ((count != 3200 && count != 160) || len != 2 + count / 160 * 33)
                return false;
            for (int f = 0; f < count / 160; ++f)
                if ((p[2 + f * 33] >> 4) != 0xD)
                    return false;
            return true;
        }
        case 0x200:
            return len == 1800 / 2 + 3;
        case 0x20000:
            return len == 3600 / 180 * 7;
        case 0:
            return len == 488;
        }
        return false;
    }
};

// Feeds speech into the fake device's capture side until destroyed.
struct SpeechFeeder {
    std::atomic<bool> stop{false};
    std::thread thread;
    explicit SpeechFeeder(int fd)
    {
        thread = std::thread([this, fd] {
            const auto speech = speechLike(3600);
            while (!stop) {
                pollfd p{fd, POLLOUT, 0};
                if (poll(&p, 1, 20) > 0)
                    send(fd, speech.data(), speech.size() * 2, MSG_DONTWAIT | MSG_NOSIGNAL);
            }
        });
    }
    ~SpeechFeeder()
    {
        stop = true;
        thread.join();
    }
};

struct ControllerTest : testing::Test {
    UiRecorder ui;
    CodecSelection codecs;
    FakeDevice device;
    int threadsBefore = 0;
    void SetUp() override
    {
        ASSERT_TRUE(privateNetwork) << "the engine tests need their own network namespace (root)";
        CodecSelection::only(&gsmcompress);
        reopenWorkers();
        std::thread([] {}).join(); // a sanitizer's helper thread starts with the first thread
        threadsBefore = threadCount();
    }
    void TearDown() override
    {
        muteTransmission();
        stopFileThreads();
        shutdownWorkers();
        reopenWorkers();
        forgetPeer();
        EXPECT_EQ(pendingWorkerCount(), 0);
        EXPECT_EQ(threadCount(), threadsBefore) << "a worker outlived the shut-down";
        EXPECT_EQ(machineState, kStateIdle);
    }
};

} // namespace

TEST_F(ControllerTest, CallStormWithCodecChangesKeepsEveryPacketConsistent)
{
    WireSink sink("0.0.0.0");
    SpeechFeeder feeder(device.testEnd);
    TempDir dir;
    testing::internal::CaptureStdout();
    std::vector<std::thread> callers;
    std::atomic<int> refusedCodec{0}, calls{0};
    for (int t = 0; t < 4; ++t)
        callers.emplace_back([&, t] {
            const SpeechCodec order[] = {SpeechCodec::LdGsm, SpeechCodec::Adpcm, SpeechCodec::Lpc10,
                                         SpeechCodec::Ulaw, SpeechCodec::Gsm};
            for (int i = 0; i < 25; ++i) {
                const std::string peer = "127.0.0." + std::to_string(1 + (t + i) % 4);
                if (startTransmission(inet_addr(peer.c_str())) == KvResult::Ok)
                    ++calls;
                std::this_thread::sleep_for(std::chrono::milliseconds(3 * t + i % 7));
                if (changeCodec(order[(t + i) % 5]) == KvResult::Busy)
                    ++refusedCodec;
                if (i % 5 == t)
                    muteTransmission();
                if (i % 9 == 0)
                    startFileRecording(dir / "storm.voc"); // refused while a call runs
                stopFileThreads();
            }
        });
    for (auto &c : callers)
        c.join();
    EXPECT_TRUE(within(2000, [&] { return sink.packets > 50; }));
    muteTransmission();
    EXPECT_TRUE(within(3000, [] { return machineState == kStateIdle; }));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(calls, 100);
    EXPECT_GT(refusedCodec, 0);
    EXPECT_EQ(sink.bad, 0) << "of " << sink.packets << " packets";
    // Finished workers are joined as new ones start: few wait at a time.
    EXPECT_LE(pendingWorkerCount(), 3);
}

TEST_F(ControllerTest, TwoCallsStartedAtOnceHandOverToExactlyOnePeer)
{
    WireSink a("127.0.0.2"), b("127.0.0.3");
    SpeechFeeder feeder(device.testEnd);
    CodecSelection::only(&ldgsmcompress);
    testing::internal::CaptureStdout();
    for (int round = 0; round < 10; ++round) {
        KvResult ra, rb;
        std::thread ta([&] { ra = startTransmission(inet_addr("127.0.0.2")); });
        std::thread tb([&] { rb = startTransmission(inet_addr("127.0.0.3")); });
        ta.join();
        tb.join();
        EXPECT_EQ(ra, KvResult::Ok);
        EXPECT_EQ(rb, KvResult::Ok);
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        const int a0 = a.packets, b0 = b.packets;
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        // One peer keeps the call; the superseded one hears nothing more.
        EXPECT_NE(a.packets > a0, b.packets > b0) << "round " << round;
        EXPECT_EQ(exitSendAudio, 0);
        EXPECT_EQ(machineState, kStateTransmitting);
    }
    muteTransmission();
    EXPECT_TRUE(within(1000, [] { return machineState == kStateIdle; }));
    EXPECT_EQ(a.bad + b.bad, 0);
    testing::internal::GetCapturedStdout();
}

TEST_F(ControllerTest, StopAndMuteWinAgainstEveryStartAndTheCodecStaysFixed)
{
    TempDir dir;
    SpeechFeeder feeder(device.testEnd);
    const std::string voice = dir / "r.voc";
    testing::internal::CaptureStdout();
    for (int round = 0; round < 5; ++round) {
        // A Stop right after the start is never lost to the thread's start-up.
        ASSERT_EQ(startFileRecording(voice), KvResult::Ok);
        stopFileThreads();
        EXPECT_TRUE(within(1000, [] { return machineState == kStateIdle; })) << "record " << round;
        ASSERT_EQ(startFilePlayback(voice), KvResult::Ok);
        EXPECT_EQ(startFilePlayback(voice), KvResult::Busy);
        stopFileThreads();
        EXPECT_TRUE(within(1000, [] { return machineState == kStateIdle; })) << "play " << round;
        ASSERT_EQ(startTransmission(inet_addr("127.0.0.1")), KvResult::Ok);
        muteTransmission();
        EXPECT_TRUE(within(1000, [] { return machineState == kStateIdle; })) << "call " << round;
    }
    // During a recording the codec can't change and no call starts; the
    // recording keeps the codec it began with.
    ASSERT_EQ(startFileRecording(voice), KvResult::Ok);
    EXPECT_EQ(changeCodec(SpeechCodec::Adpcm), KvResult::Busy);
    EXPECT_EQ(startTransmission(inet_addr("127.0.0.1")), KvResult::Busy);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stopFileThreads();
    EXPECT_TRUE(within(1000, [] { return machineState == kStateIdle; }));
    EXPECT_EQ(changeCodec(SpeechCodec::Adpcm), KvResult::Ok);
    testing::internal::GetCapturedStdout();
    std::ifstream in(voice, std::ios::binary);
    const std::vector<unsigned char> file(std::istreambuf_iterator<char>(in), {});
    ASSERT_GT(file.size(), 0u);
    for (size_t at = 0; at + 24 <= file.size(); at += readLe32(&file[at + 4])) {
        EXPECT_EQ(readLe32(&file[at + 16]), 0x20u) << "record at " << at;
        EXPECT_EQ(readLe32(&file[at + 4]), 24u + 662u) << "record at " << at;
    }
    // A FIFO is refused rather than left to block the player.
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(CheckValidFile(fifo.c_str(), kVoiceOrAvFile), 0);
}

TEST_F(ControllerTest, AnAnswerRefusedDuringARecordingIsGivenOnceTheDeviceIsFree)
{
    TempDir dir;
    WireSink sink("127.0.0.5");
    SpeechFeeder feeder(device.testEnd);
    testing::internal::CaptureStdout();
    ASSERT_EQ(startFileRecording(dir / "a.voc"), KvResult::Ok);
    EXPECT_FALSE(notePeer(inet_addr("127.0.0.5")));
    EXPECT_FALSE(notePeer(inet_addr("127.0.0.5")));
    stopFileThreads();
    ASSERT_TRUE(within(1000, [] { return machineState == kStateIdle; }));
    EXPECT_TRUE(notePeer(inet_addr("127.0.0.5")));
    EXPECT_TRUE(within(2000, [&] { return sink.packets > 0; }));
    // Ended while the sink still listens: a refused datagram would switch
    // the process to unaddressed sends for good.
    muteTransmission();
    EXPECT_TRUE(within(1000, [] { return machineState == kStateIdle; }));
    const std::string out = testing::internal::GetCapturedStdout();
    // The refused sender is said once, then again when it is answered.
    size_t said = 0;
    for (size_t at = 0; (at = out.find("Receiving from host 127.0.0.5\n", at)) != std::string::npos; ++at)
        ++said;
    EXPECT_EQ(said, 2u) << out;
}

TEST_F(ControllerTest, QuitDuringACallAPlaybackAndAPendingDirectoryConnectJoinsEveryThread)
{
    TempDir dir;
    SpeechFeeder feeder(device.testEnd);
    // A listener whose backlog is full drops the next connect's SYN, so the
    // directory connect below stays pending.
    int port = 0;
    const int listener = [&] {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
        listen(fd, 0);
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
        port = ntohs(a.sin_port);
        return fd;
    }();
    std::vector<int> fillers;
    for (int i = 0; i < 3; ++i) {
        fillers.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connect(fillers.back(), reinterpret_cast<sockaddr *>(&a), sizeof a);
    }
    std::ofstream(dir / "userinfo.dat") << "alice\nalice@example.org\nVisible\n";
    UlsConnectJob job;
    job.serverText = "127.0.0.1";
    job.port = port;
    job.profilePath = dir / "userinfo.dat";
    std::atomic<bool> connectEnded{false};
    ASSERT_EQ(startBackgroundJob(
                  [](void *p) {
                      auto *j = static_cast<std::pair<UlsConnectJob *, std::atomic<bool> *> *>(p);
                      ulsConnectBlocking(*j->first);
                      *j->second = true;
                  },
                  new std::pair<UlsConnectJob *, std::atomic<bool> *>(&job, &connectEnded)),
              KvResult::Ok);

    // The device takes sound at the card's pace: 16000 bytes a second.
    const int small = 8192;
    setsockopt(device.engineEnd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    setsockopt(device.testEnd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    std::atomic<bool> drained{false};
    std::thread card([&] {
        char buf[1600];
        while (!drained) {
            recv(device.testEnd, buf, sizeof buf, MSG_DONTWAIT);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    testing::internal::CaptureStdout();
    // A long recording (it stops at its size limit), then its playback.
    ASSERT_EQ(startFileRecording(dir / "p.voc"), KvResult::Ok);
    ASSERT_TRUE(within(5000, [] { return machineState == kStateIdle; }));
    const int engineFd = dup(device.engineEnd);
    handle = engineFd;
    startEngineThreads();
    ASSERT_EQ(startFilePlayback(dir / "p.voc"), KvResult::Ok);
    ASSERT_EQ(startTransmission(inet_addr("127.0.0.1")), KvResult::Ok); // a call to ourselves
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(connectEnded);
    EXPECT_EQ(currentActivity().playing, true);
    EXPECT_EQ(currentActivity().transmitting, true);

    const auto start = std::chrono::steady_clock::now();
    closeSystem();
    const auto took = std::chrono::steady_clock::now() - start;
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_LT(took, std::chrono::milliseconds(2500));
    EXPECT_TRUE(connectEnded);
    EXPECT_NE(out.find("Quit audio receiving\n"), std::string::npos);
    EXPECT_NE(out.find("audio receiving process exited gracefully\n"), std::string::npos);
    EXPECT_NE(out.find("Main process exited\n"), std::string::npos);
    drained = true;
    card.join();
    close(engineFd);
    handle = device.engineEnd;
    createCodecStates();
    reopenEngineUse();
    for (int fd : fillers)
        close(fd);
    close(listener);
}
