// The directory client against a scripted server (and SOCKS proxy) on the
// loopback interface: what goes out on connect and for each request, what
// each reply makes the program show, and what a lost connection does.
#include "directory/uls_client.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

#include "uls_test_support.h"

namespace fs = std::filesystem;
using namespace uls_test;

namespace {

void writeAll(int fd, const std::string &bytes)
{
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
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
        serverConnection("127.0.0.1", 0, profile_.c_str());
        EXPECT_EQ(serverConnected, 1);
        peer_ = acceptWithin(listenFd_);
        EXPECT_GE(peer_, 0);
        return readN(peer_, 120);
    }

    static std::string stdoutOf(void (*fn)(), std::string *err = nullptr)
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

    fs::path dir_;
    std::string profile_;
    int listenFd_ = -1;
    int port_ = 0;
    int peer_ = -1;
};

std::string g_profilePath;

} // namespace

// ---- Connecting and requests ----

TEST_F(UlsClient, RegistrationIsTheProfileRecord)
{
    testing::internal::CaptureStdout();
    std::string reg = connectAndAccept();
    std::string out = testing::internal::GetCapturedStdout();

    ASSERT_EQ(reg.size(), 120u);
    uint32_t local = GetLocalAddr();
    EXPECT_EQ(reg.substr(0, 4), std::string(reinterpret_cast<const char *>(&local), 4));
    EXPECT_EQ(reg.substr(4, 4), std::string("\x01\0\0\0", 4));
    EXPECT_EQ(reg.substr(8, 16), field("alice", 16));
    EXPECT_EQ(reg.substr(24, 32), field("alice@example.org", 32));
    EXPECT_EQ(reg.substr(56, 64), field("bob\ncarol", 64));

    in_addr a{};
    a.s_addr = local;
    EXPECT_NE(out.find("Buddy list: bob\ncarol\n"), std::string::npos) << out;
    EXPECT_NE(out.find(std::string("Local Ip address: ") + inet_ntoa(a) + "\n"), std::string::npos);
    EXPECT_NE(out.find("Connecting UL Server: 127.0.0.1\n"), std::string::npos);
}

TEST_F(UlsClient, InvisibleProfileSendsFlagZero)
{
    writeProfile("eve\neve@x.y\nInvisible\n");
    std::string reg = connectAndAccept();
    ASSERT_EQ(reg.size(), 120u);
    EXPECT_EQ(reg.substr(4, 4), std::string(4, '\0'));
    EXPECT_EQ(reg.substr(56, 64), std::string(64, '\0'));
}

TEST_F(UlsClient, EachRequestGoesOutAsItsBytes)
{
    connectAndAccept();
    serverConnection(nullptr, 1);
    EXPECT_EQ(readN(peer_, 16), command("refresh user"));
    serverConnection(nullptr, 2);
    EXPECT_EQ(readN(peer_, 16), command("refresh buddy"));
    serverConnection("hello", 3);
    EXPECT_EQ(readN(peer_, 12), "messagehello");
    serverConnection(nullptr, 7);  // not a mode: nothing
    serverConnection(nullptr, 4);
    EXPECT_EQ(readN(peer_, 16), command("quit!"));
    EXPECT_TRUE(closedByPeer(peer_));
    EXPECT_EQ(serverConnected, 0);
    EXPECT_EQ(ULSsock, -1);
}

TEST_F(UlsClient, NothingIsSentOrShownWhileDisconnected)
{
    std::string out = stdoutOf([] {
        serverConnection(nullptr, 1);
        serverConnection(nullptr, 2);
        serverConnection("hi", 3);
        serverConnection(nullptr, 4);
    });
    EXPECT_EQ(out, "");
    EXPECT_EQ(ULSsock, -1);
    EXPECT_TRUE(g_shown.empty());
    EXPECT_EQ(acceptWithin(listenFd_, 100), -1);  // no connection was even tried
}

TEST_F(UlsClient, FailuresLeaveItDisconnected)
{
    EXPECT_EQ(stdoutOf([] { serverConnection("", 0); }), "Not a valid IP\n");

    g_profilePath = (dir_ / "missing.dat").string();
    EXPECT_EQ(stdoutOf([] { serverConnection("127.0.0.1", 0, g_profilePath.c_str()); }),
              "Can't find " + g_profilePath + " file\n");

    // Nothing listens on the port any more: the connect is refused.
    int deadPort = 0;
    close(listenLoopback(&deadPort));
    serverPort = deadPort;
    g_profilePath = profile_;
    std::string err;
    std::string out = stdoutOf([] { serverConnection("127.0.0.1", 0, g_profilePath.c_str()); }, &err);
    EXPECT_NE(out.find("Connection failed\n"), std::string::npos);
    EXPECT_EQ(err.rfind("ULSclient connect: ", 0), 0u) << err;
    EXPECT_EQ(serverConnected, 0);
    EXPECT_EQ(ULSsock, -1);
}

// ---- SOCKS 4 ----

TEST_F(UlsClient, ProxyGrantsThenRegistrationFollows)
{
    proxyInfo.enable = 1;
    strcpy(proxyInfo.server, "127.0.0.1");
    strcpy(proxyInfo.userID, "abc");
    proxyInfo.port = port_;
    serverPort = 2051;

    std::string request, registration;
    std::thread proxy([&] {
        int c = acceptWithin(listenFd_);
        request = readN(c, 44);
        writeAll(c, std::string("\0\x5A\0\0\0\0\0\0", 8));
        registration = readN(c, 120);
        close(c);
    });
    serverConnection("10.47.0.3", 0, profile_.c_str());
    proxy.join();

    std::string want("\x04\x01\x08\x03\x0A\x2F\x00\x03"
                     "abc",
                     11);
    want.resize(44, '\0');
    EXPECT_EQ(request, want);
    EXPECT_EQ(registration.size(), 120u);
    EXPECT_EQ(registration.substr(8, 16), field("alice", 16));
    EXPECT_EQ(serverConnected, 1);
}

TEST_F(UlsClient, ProxyRefusalFailsTheConnection)
{
    proxyInfo.enable = 1;
    strcpy(proxyInfo.server, "127.0.0.1");
    proxyInfo.port = port_;

    std::thread proxy([&] {
        int c = acceptWithin(listenFd_);
        readN(c, 44);
        writeAll(c, std::string("\0\x5B\0\0\0\0\0\0", 8));
        close(c);
    });
    g_profilePath = profile_;
    std::string out = stdoutOf([] { serverConnection("10.47.0.3", 0, g_profilePath.c_str()); });
    proxy.join();
    EXPECT_NE(out.find("Proxy Server: Request rejected or failed! CD = 91\nConnection failed\n"), std::string::npos)
        << out;
    EXPECT_EQ(serverConnected, 0);
    EXPECT_EQ(ULSsock, -1);
}

// ---- Replies ----

namespace {

std::string userList(int32_t count, int entries)
{
    std::string r = le32(1) + le32(count) + le32(0);
    for (int i = 0; i < entries; ++i) {
        r += addrBytes(("10.0.0." + std::to_string(i + 1)).c_str()) + field("u" + std::to_string(i), 16);
    }
    return r;
}

void handle(const std::string &bytes)
{
    handleUlsReply(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
}

} // namespace

TEST_F(UlsClient, ListCountsDecideWhatIsShown)
{
    testing::internal::CaptureStdout();
    handle(userList(24, 24));
    handle(userList(25, 25));
    handle(userList(0, 0));
    handle(userList(-1, 0));
    handle(le32(2) + le32(0) + le32(0));
    handle(le32(2) + le32(25));
    handle(le32(2) + le32(1) + le32(0) + addrBytes("10.47.0.2") + field("abcdefghijklmnopqrst", 48));
    std::string out = testing::internal::GetCapturedStdout();

    EXPECT_EQ(out, "Total online user = 24\nTotal online user = 25\nTotal online user = 0\n"
                   "Total online user = -1\nTotal online buddies = 0\nTotal online buddies = 25\n"
                   "Total online buddies = 1\n");
    std::string all24 = "list:Online Users";
    for (int i = 0; i < 24; ++i)
        all24 += "|u" + std::to_string(i) + " 10.0.0." + std::to_string(i + 1);
    EXPECT_EQ(g_shown, (std::vector<std::string>{
                           all24,
                           "box:ULS Server Connection|Data error! Try again",
                           "box:ULS Server Connection|No user online",
                           "box:ULS Server Connection|Data error! Try again",
                           "box:ULS Server Connection|No buddy online",
                           "box:ULS Server Connection|Data error! Try again",
                           "list:Online Buddies|abcdefghijklmno 10.47.0.2",
                       }));
}

TEST_F(UlsClient, ChatAndGreetingReplies)
{
    testing::internal::CaptureStdout();
    handle(le32(3) + "ABCDEFGHIJKLMNOP" + "hello");
    handle(le32(6));
    handle(le32(4) + "whatever");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(g_shown, std::vector<std::string>{"chat:ABCDEFGHIJKLMNO: hello\n"});
    EXPECT_EQ(out, "Broadcast server connected!\n");
}

TEST_F(UlsClient, WatchDrainsAndDispatchesFromTheSocket)
{
    connectAndAccept();
    writeAll(peer_, userList(2, 2));
    testing::internal::CaptureStdout();
    EXPECT_EQ(ulsSockCallback(ULSsock), 1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Received 52 bytes\nTotal online user = 2\n");
    EXPECT_EQ(g_shown, std::vector<std::string>{"list:Online Users|u0 10.0.0.1|u1 10.0.0.2"});
    EXPECT_EQ(serverConnected, 1);
}

TEST_F(UlsClient, ServerClosingIsADisconnect)
{
    connectAndAccept();
    writeAll(peer_, le32(3) + field("bob", 16) + "bye");
    close(peer_);
    peer_ = -1;
    testing::internal::CaptureStdout();
    int keep = ulsSockCallback(ULSsock);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(keep, 0);
    EXPECT_EQ(serverConnected, 0);
    EXPECT_EQ(ULSsock, -1);
    // What arrived before the close is still shown.
    EXPECT_EQ(g_shown, (std::vector<std::string>{
                           "chat:bob: bye\n",
                           "box:ULS Server Connection|The connection to the directory server was lost",
                       }));
}

TEST_F(UlsClient, DisconnectWhileAListIsOpenEndsTheWatch)
{
    connectAndAccept();
    writeAll(peer_, userList(1, 1));
    g_duringList = [] { serverConnection(nullptr, 4); };
    testing::internal::CaptureStdout();
    EXPECT_EQ(ulsSockCallback(ULSsock), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(serverConnected, 0);
    EXPECT_EQ(readN(peer_, 16), command("quit!"));
    EXPECT_EQ(g_shown.size(), 1u);  // the list, and no message box
}

TEST_F(UlsClient, OneDrainNeverExceedsItsBuffer)
{
    connectAndAccept();
    const std::string burst(20000, 'x');
    writeAll(peer_, burst);
    std::vector<uint8_t> buf(kUlsDrainSize + 64, 0xCC);
    bool closed = true;
    std::size_t total = 0;
    int n = readUlsData(ULSsock, buf.data(), kUlsDrainSize, &closed);
    EXPECT_EQ(n, static_cast<int>(kUlsDrainSize));
    EXPECT_FALSE(closed);
    for (std::size_t i = kUlsDrainSize; i < buf.size(); ++i)
        ASSERT_EQ(buf[i], 0xCC) << "written past the drain buffer at " << i;
    total += static_cast<std::size_t>(n);
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
