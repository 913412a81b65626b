// The directory client against a scripted server (and SOCKS proxy) on the
// loopback interface: what goes out on connect and for each request, what
// each reply makes the program show, and what a lost connection does.
#include "directory/address.h"
#include "directory/uls_client.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

#include "uls_test_support.h"

namespace fs = std::filesystem;
using namespace uls_test;
using Lines = std::vector<std::string>;

namespace {

void writeAll(int fd, const std::string &bytes)
{
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

void handle(const std::string &bytes) { handleUlsReply(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size()); }

// What the program printed while running fn (and its errors, if asked for).
template <typename Fn> std::string stdoutOf(Fn fn, std::string *err = nullptr)
{
    testing::internal::CaptureStdout();
    if (err)
        testing::internal::CaptureStderr();
    fn();
    fflush(stdout);
    if (err)
        *err = testing::internal::GetCapturedStderr();
    return testing::internal::GetCapturedStdout();
}

class UlsClient : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/kv_uls_client_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        profile_ = (dir_ / "userinfo.dat").string();
        writeProfile("alice\nalice@example.org\nVisible\nbob\ncarol\n");
        recordUi();
        serverConnected = 0;
        ULSsock = -1;
        proxyInfo = ProxySettings{};
        localInfo = UserProfile{};
        listenFd_ = listenLoopback(&port_);
        ASSERT_GE(listenFd_, 0);
        serverPort = port_;
    }

    void TearDown() override
    {
        if (ULSsock >= 0)
            close(ULSsock);
        ULSsock = -1;
        serverConnected = 0;
        serverPort = kUlsPort;
        proxyInfo = ProxySettings{};
        kvSetUiOps(KvUiOps{});
        if (peer_ >= 0)
            close(peer_);
        close(listenFd_);
        fs::remove_all(dir_);
    }

    void writeProfile(const std::string &text) { std::ofstream(profile_, std::ios::binary) << text; }

    // Connects and registers; the server side is then peer_, with the
    // 120-byte registration already read off it.
    std::string connectAndAccept()
    {
        serverConnection("127.0.0.1", kUlsConnect, profile_.c_str());
        EXPECT_EQ(serverConnected, 1);
        peer_ = acceptWithin(listenFd_);
        EXPECT_GE(peer_, 0);
        return readN(peer_, 120);
    }

    fs::path dir_;
    std::string profile_;
    int listenFd_ = -1;
    int port_ = 0;
    int peer_ = -1;
};

} // namespace

// ---- Connecting and requests ----

TEST_F(UlsClient, RegistrationIsTheProfileRecord)
{
    std::string reg;
    const std::string out = stdoutOf([&] { reg = connectAndAccept(); });
    ASSERT_EQ(reg.size(), 120u);
    uint32_t local = GetLocalAddr();
    EXPECT_EQ(reg.substr(0, 4), std::string(reinterpret_cast<const char *>(&local), 4));
    EXPECT_EQ(reg.substr(4, 4), le32(1));
    EXPECT_EQ(reg.substr(8, 16), field("alice", 16));
    EXPECT_EQ(reg.substr(24, 32), field("alice@example.org", 32));
    EXPECT_EQ(reg.substr(56, 64), field("bob\ncarol", 64));
    in_addr a{};
    a.s_addr = local;
    EXPECT_NE(out.find("Buddy list: bob\ncarol\n"), std::string::npos) << out;
    EXPECT_NE(out.find(std::string("Local Ip address: ") + inet_ntoa(a) + "\n"), std::string::npos);
    EXPECT_NE(out.find("Connecting UL Server: 127.0.0.1\n"), std::string::npos);

    // An invisible profile sends flag 0.
    close(peer_);
    writeProfile("eve\neve@x.y\nInvisible\n");
    stdoutOf([&] {
        serverConnection(nullptr, kUlsQuit);
        reg = connectAndAccept();
    });
    ASSERT_EQ(reg.size(), 120u);
    EXPECT_EQ(reg.substr(4, 4), le32(0));
    EXPECT_EQ(reg.substr(56, 64), std::string(64, '\0'));
}

TEST_F(UlsClient, EachRequestGoesOutAsItsBytes)
{
    connectAndAccept();
    serverConnection(nullptr, kUlsRefreshUser);
    EXPECT_EQ(readN(peer_, 16), command("refresh user"));
    serverConnection(nullptr, kUlsRefreshBuddy);
    EXPECT_EQ(readN(peer_, 16), command("refresh buddy"));
    serverConnection("hello", kUlsMessage);
    EXPECT_EQ(readN(peer_, 12), "messagehello");
    serverConnection(nullptr, static_cast<UlsMode>(7)); // not a mode: nothing
    serverConnection(nullptr, kUlsQuit);
    EXPECT_EQ(readN(peer_, 16), command("quit!"));
    EXPECT_TRUE(closedByPeer(peer_));
    EXPECT_EQ(serverConnected, 0);
    EXPECT_EQ(ULSsock, -1);
}

TEST_F(UlsClient, NothingIsSentOrShownWhileDisconnectedAndFailuresLeaveItSo)
{
    EXPECT_EQ(stdoutOf([] {
                  for (int mode = 1; mode <= 4; ++mode)
                      serverConnection(mode == 3 ? "hi" : nullptr, static_cast<UlsMode>(mode));
              }),
              "");
    EXPECT_TRUE(g_shown.empty());
    EXPECT_EQ(acceptWithin(listenFd_, 100), -1); // no connection was even tried

    EXPECT_EQ(stdoutOf([] { serverConnection("", kUlsConnect); }), "Not a valid IP\n");
    const std::string missing = (dir_ / "missing.dat").string();
    EXPECT_EQ(stdoutOf([&] { serverConnection("127.0.0.1", kUlsConnect, missing.c_str()); }),
              "Can't find " + missing + " file\n");
    // Nothing listens on the port any more: the connect is refused.
    int deadPort = 0;
    close(listenLoopback(&deadPort));
    serverPort = deadPort;
    std::string err;
    const std::string out = stdoutOf([&] { serverConnection("127.0.0.1", kUlsConnect, profile_.c_str()); }, &err);
    EXPECT_NE(out.find("Connection failed\n"), std::string::npos);
    EXPECT_EQ(err.rfind("ULSclient connect: ", 0), 0u) << err;
    EXPECT_EQ(serverConnected, 0);
    EXPECT_EQ(ULSsock, -1);
}

// ---- Replies ----

TEST_F(UlsClient, ListCountsDecideWhatIsShown)
{
    const std::string out = stdoutOf([] {
        handle(listReply(1, 24, 24));
        handle(listReply(1, 25, 25));
        handle(listReply(1, 0, 0));
        handle(listReply(1, -1, 0));
        handle(listReply(2, 0, 0));
        handle(le32(2) + le32(25));
        handle(le32(2) + le32(1) + le32(0) + addrBytes("10.47.0.2") + field("abcdefghijklmnopqrst", 48));
    });
    EXPECT_EQ(out, "Total online user = 24\nTotal online user = 25\nTotal online user = 0\n"
                   "Total online user = -1\nTotal online buddies = 0\nTotal online buddies = 25\n"
                   "Total online buddies = 1\n");
    std::string all24 = "list:Online Users";
    for (int i = 0; i < 24; ++i)
        all24 += "|u" + std::to_string(i) + " 10.0.0." + std::to_string(i + 1);
    const std::string error = "box:ULS Server Connection|Data error! Try again";
    EXPECT_EQ(g_shown, (Lines{all24, error, "box:ULS Server Connection|No user online", error,
                              "box:ULS Server Connection|No buddy online", error,
                              "list:Online Buddies|abcdefghijklmno 10.47.0.2"}));

    g_shown.clear();
    EXPECT_EQ(stdoutOf([] {
                  handle(le32(3) + "ABCDEFGHIJKLMNOP" + "hello");
                  handle(le32(6));
                  handle(le32(4) + "whatever");
              }),
              "Broadcast server connected!\n");
    EXPECT_EQ(g_shown, Lines{"chat:ABCDEFGHIJKLMNO: hello\n"});
}

TEST_F(UlsClient, WatchDispatchesFromTheSocketUntilTheServerCloses)
{
    connectAndAccept();
    writeAll(peer_, listReply(1, 2, 2));
    int keep = 0;
    EXPECT_EQ(stdoutOf([&] { keep = ulsSockCallback(ULSsock); }), "Received 52 bytes\nTotal online user = 2\n");
    EXPECT_EQ(keep, 1);
    EXPECT_EQ(g_shown, Lines{"list:Online Users|u0 10.0.0.1|u1 10.0.0.2"});

    // What arrived before the close is still shown.
    g_shown.clear();
    writeAll(peer_, le32(3) + field("bob", 16) + "bye");
    close(peer_);
    peer_ = -1;
    stdoutOf([&] { keep = ulsSockCallback(ULSsock); });
    EXPECT_EQ(keep, 0);
    EXPECT_EQ(serverConnected, 0);
    EXPECT_EQ(ULSsock, -1);
    EXPECT_EQ(g_shown,
              (Lines{"chat:bob: bye\n", "box:ULS Server Connection|The connection to the directory server was lost"}));
}

TEST_F(UlsClient, DisconnectWhileAListIsOpenEndsTheWatch)
{
    connectAndAccept();
    writeAll(peer_, listReply(1, 1, 1));
    g_duringList = [] { serverConnection(nullptr, kUlsQuit); };
    int keep = 1;
    stdoutOf([&] { keep = ulsSockCallback(ULSsock); });
    EXPECT_EQ(keep, 0);
    EXPECT_EQ(serverConnected, 0);
    EXPECT_EQ(readN(peer_, 16), command("quit!"));
    EXPECT_EQ(g_shown.size(), 1u); // the list, and no message box
}

TEST_F(UlsClient, OneDrainNeverExceedsItsBuffer)
{
    connectAndAccept();
    const std::string burst(20000, 'x');
    writeAll(peer_, burst);
    std::vector<uint8_t> buf(kUlsDrainSize + 64, 0xCC);
    bool closed = true;
    int n = readUlsData(ULSsock, buf.data(), kUlsDrainSize, &closed);
    EXPECT_EQ(n, static_cast<int>(kUlsDrainSize));
    EXPECT_FALSE(closed);
    EXPECT_EQ(std::vector<uint8_t>(buf.begin() + kUlsDrainSize, buf.end()), std::vector<uint8_t>(64, 0xCC))
        << "written past the drain buffer";
    std::size_t total = static_cast<std::size_t>(n);
    while (total < burst.size() && (n = readUlsData(ULSsock, buf.data())) > 0)
        total += static_cast<std::size_t>(n);
    EXPECT_EQ(total, burst.size());

    // With nothing pending the drain waits about 100 ms and returns 0.
    EXPECT_EQ(readUlsData(ULSsock, buf.data(), kUlsDrainSize, &closed), 0);
    EXPECT_FALSE(closed);
    shutdown(peer_, SHUT_WR);
    EXPECT_EQ(readUlsData(ULSsock, buf.data(), kUlsDrainSize, &closed), 0);
    EXPECT_TRUE(closed);
}

TEST_F(UlsClient, APartialReplyIsShownAsItStandsOnceItWaitedTooLong)
{
    connectAndAccept();
    const long long now = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now().time_since_epoch()).count();
    writeAll(peer_, listReply(1, 3, 3).substr(0, 40));
    stdoutOf([&] {
        ulsSockCallback(ULSsock);
        ulsExpirePartial(now + kUlsPartialWaitMs / 2);
        EXPECT_TRUE(g_shown.empty());
        ulsExpirePartial(now + kUlsPartialWaitMs + 1000);
    });
    EXPECT_EQ(g_shown, Lines{"box:ULS Server Connection|Data error! Try again"});
}
