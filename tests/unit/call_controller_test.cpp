// Guards against controller races: shared capture, calls or codec changes at the wrong time, workers outliving quit.
#include "audio/call_controller.h"
#include "audio/engine.h"
#include "audio/receive.h"
#include "directory/uls_client.h"
#include "engine_test_support.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>

namespace {

// Before main, so that every thread of the binary inherits the namespace.
const bool privateNetwork = [] {
    const int fd = unshare(CLONE_NEWNET) == 0 ? socket(AF_INET, SOCK_DGRAM, 0) : -1;
    ifreq ifr{};
    std::strcpy(ifr.ifr_name, "lo");
    const bool up = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &ifr) == 0 && (ifr.ifr_flags |= IFF_UP) &&
                    ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    close(fd);
    return up;
}();

int threadCount() { return int(std::distance(std::filesystem::directory_iterator("/proc/self/task"), {})); }

bool idleWithin(int ms) { return within(ms, [] { return machineState == kStateIdle; }); }

sockaddr_in ipv4(const char *address, int port) { return {AF_INET, htons(uint16_t(port)), {inet_addr(address)}, {}}; }

// The codec word matches the payload's shape, and the datagram its length.
bool consistent(const unsigned char *d, ssize_t n)
{
    const uint32_t codec = n >= kPacketHeaderSize ? ntohl(readLe32(d + 16)) : 1;
    const int32_t len = n >= kPacketHeaderSize ? static_cast<int32_t>(ntohl(readLe32(d + 20))) : -1;
    const unsigned char *p = d + kPacketHeaderSize;
    const int count = n > kPacketHeaderSize + 1 ? p[0] << 8 | p[1] : 0; // GSM: 3200, LD-GSM: 160
    bool frames = (count == 3200 || count == 160) && len == 2 + count / 160 * 33;
    for (int f = 0; frames && f < count / 160; ++f)
        frames = p[2 + f * 33] >> 4 == 0xD;
    return n == kPacketHeaderSize + len && ((codec == 0x20 && frames) || (codec == 0x200 && len == 903) ||
                                            (codec == 0x20000 && len == 140) || (codec == 0 && len == 488));
}

struct Repeat {
    std::atomic<bool> stop{false};
    std::thread thread;
    template <typename Step> explicit Repeat(Step step) : thread([this, step] { while (!stop) step(); }) {}
    void end() { if (!stop.exchange(true)) thread.join(); }
    ~Repeat() { end(); }
};

struct WireSink { // checks every media packet sent to port 2047 of address
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    std::atomic<int> packets{0}, bad{0};
    Repeat reader{[this] {
        unsigned char d[kPacketSize + 1];
        if (pollfd p{fd, POLLIN, 0}; poll(&p, 1, 20) > 0 && ++packets)
            bad += !consistent(d, recv(fd, d, sizeof d, 0));
    }};
    explicit WireSink(const char *address)
    {
        const sockaddr_in a = ipv4(address, 2047);
        EXPECT_EQ(bind(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a), 0) << address;
    }
    ~WireSink() { reader.end(), close(fd); }
};

struct ControllerTest : testing::Test {
    UiRecorder ui;
    CodecSelection codecs;
    FakeDevice device;
    TempDir dir;
    int threadsBefore = 0;
    Repeat feeder{[fd = device.testEnd] { // speech into the device's capture side, as fast as it is taken
        static const auto speech = speechLike(3600);
        if (pollfd p{fd, POLLOUT, 0}; poll(&p, 1, 20) > 0)
            send(fd, speech.data(), speech.size() * 2, MSG_DONTWAIT | MSG_NOSIGNAL);
    }};
    void SetUp() override
    {
        ASSERT_TRUE(privateNetwork) << "the engine tests need their own network namespace (root)";
        CodecSelection::only(&gsmcompress);
        reopenWorkers();
        std::thread([] {}).join(); // a sanitizer's helper thread starts with the first thread
        within(500, [&] { return std::exchange(threadsBefore, threadCount()) == threadsBefore; });
    }
    void TearDown() override
    {
        muteTransmission();
        stopFileThreads();
        shutdownWorkers();
        reopenWorkers();
        forgetPeer();
        EXPECT_EQ(pendingWorkerCount(), 0);
        EXPECT_TRUE(within(1000, [&] { return threadCount() <= threadsBefore; })) << "a worker outlived shut-down";
        EXPECT_EQ(machineState, kStateIdle);
    }
};

} // namespace

TEST_F(ControllerTest, CallStormWithHandOversAndCodecChangesKeepsEveryPacketConsistent)
{
    WireSink sink("0.0.0.0");
    std::vector<std::thread> callers;
    std::atomic<int> refusedCodec{0}, calls{0}, refusedCalls{0}, recordings{0};
    for (int t = 0; t < 4; ++t)
        callers.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                const std::string peer = "127.0.0." + std::to_string(1 + (t + i) % 4);
                const KvResult r = startTransmission(inet_addr(peer.c_str()));
                calls += r == KvResult::Ok;
                refusedCalls += r == KvResult::Busy;
                std::this_thread::sleep_for(std::chrono::milliseconds(3 * t + i % 7));
                refusedCodec += changeCodec(static_cast<SpeechCodec>((t + i) % 5)) == KvResult::Busy;
                if (i % 5 == t)
                    muteTransmission();
                if (i % 9 == 0) // refused while a call runs
                    recordings += startFileRecording(dir / "storm.voc") == KvResult::Ok;
                stopFileThreads();
            }
        });
    for (auto &c : callers)
        c.join();
    EXPECT_TRUE(within(2000, [&] { return sink.packets > 50; }));
    // The last of two calls started at once keeps the call, whichever it is.
    std::thread other([] { startTransmission(inet_addr("127.0.0.2")); });
    startTransmission(inet_addr("127.0.0.3"));
    other.join();
    EXPECT_TRUE(within(1000, [] { return machineState == kStateTransmitting && exitSendAudio == 0; }));
    muteTransmission();
    EXPECT_TRUE(idleWithin(3000));
    EXPECT_EQ(calls + refusedCalls, 100);
    EXPECT_TRUE(refusedCalls == 0 || recordings > 0) << "a call refused with no recording running";
    EXPECT_GT(refusedCodec, 0);
    EXPECT_EQ(sink.bad, 0) << "of " << sink.packets << " packets";
    EXPECT_LE(pendingWorkerCount(), 3) << "finished workers are joined as new ones start";
}

TEST_F(ControllerTest, DuringARecordingTheCodecStaysFixedNoCallStartsAndARefusedAnswerComesLater)
{
    WireSink sink("127.0.0.5");
    ASSERT_EQ(startFileRecording(dir / "r.voc"), KvResult::Ok);
    EXPECT_EQ(changeCodec(SpeechCodec::Adpcm), KvResult::Busy);
    EXPECT_EQ(startTransmission(inet_addr("127.0.0.1")), KvResult::Busy);
    EXPECT_FALSE(notePeer(inet_addr("127.0.0.5")));
    EXPECT_FALSE(notePeer(inet_addr("127.0.0.5")));
    EXPECT_TRUE(idleWithin(10000)) << "the recording ends at its size limit";
    EXPECT_TRUE(notePeer(inet_addr("127.0.0.5")));
    EXPECT_TRUE(within(2000, [&] { return sink.packets > 0; }));
    // Ended while the sink listens: a refused datagram would switch the process to unaddressed sends for good.
    muteTransmission();
    EXPECT_TRUE(idleWithin(1000));
    EXPECT_EQ(changeCodec(SpeechCodec::Adpcm), KvResult::Ok);
}

TEST_F(ControllerTest, QuitDuringACallAPlaybackAndAPendingDirectoryConnectJoinsEveryThread)
{
    // A listener with a full backlog drops the next SYN: the connect pends.
    const int listener = socket(AF_INET, SOCK_STREAM, 0), filler = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in server = ipv4("127.0.0.1", 0);
    socklen_t len = sizeof server;
    bind(listener, reinterpret_cast<sockaddr *>(&server), len);
    listen(listener, 0);
    getsockname(listener, reinterpret_cast<sockaddr *>(&server), &len);
    connect(filler, reinterpret_cast<sockaddr *>(&server), len);
    writeFile(dir / "userinfo.dat", "alice\nalice@example.org\nVisible\n");
    static UlsConnectJob job;
    static std::atomic<bool> connectEnded;
    job = UlsConnectJob{"127.0.0.1", ntohs(server.sin_port), {}, dir / "userinfo.dat"};
    connectEnded = false;
    ASSERT_EQ(startBackgroundJob([](void *) { connectEnded = !ulsConnectBlocking(job); }, nullptr), KvResult::Ok);

    // The device takes sound at the card's pace, 16000 bytes a second.
    const int small = 8192;
    setsockopt(device.engineEnd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    setsockopt(device.testEnd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    Repeat card{[fd = device.testEnd] {
        char buf[1600];
        recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }};
    // A long recording (it stops at its size limit), then its playback and a call to ourselves.
    ASSERT_EQ(startFileRecording(dir / "p.voc"), KvResult::Ok);
    ASSERT_TRUE(idleWithin(5000));
    const int engineFd = dup(device.engineEnd);
    handle = engineFd;
    startEngineThreads();
    ASSERT_EQ(startFilePlayback(dir / "p.voc"), KvResult::Ok);
    ASSERT_EQ(startTransmission(inet_addr("127.0.0.1")), KvResult::Ok);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(currentActivity().playing && currentActivity().transmitting && !connectEnded);

    const auto start = std::chrono::steady_clock::now();
    closeSystem();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
    EXPECT_TRUE(connectEnded) << "the pending connect gave up at shut-down";
    card.end();
    close(engineFd);
    handle = device.engineEnd;
    createCodecStates();
    reopenEngineUse();
    close(filler);
    close(listener);
}
