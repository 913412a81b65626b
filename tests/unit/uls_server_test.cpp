// The directory server, run in-process on loopback ports chosen by the
// system: registration, lists, buddies, chat relay, leaving, and hostile
// clients that must not disturb the others.
#include "directory/uls_server.h"
#include "directory/settings.h"

#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "uls_test_support.h"

using namespace uls_test;
using Lines = std::vector<std::string>;

namespace {

class Client {
public:
    // from: a loopback source address other than 127.0.0.1, to stand for
    // another host.
    explicit Client(int port, const char *from = nullptr) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        if (from) {
            sockaddr_in src{};
            src.sin_family = AF_INET;
            src.sin_addr.s_addr = inet_addr(from);
            bind(fd_, reinterpret_cast<sockaddr *>(&src), sizeof src);
        }
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    }
    ~Client() { close(fd_); }
    Client(const Client &) = delete;

    bool connected() const { return connected_; }
    int fd() const { return fd_; }
    void send(const std::string &bytes) { ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    std::string readN(std::size_t n) { return uls_test::readN(fd_, n); }
    bool closedByServer(int ms = 3000) { return closedByPeer(fd_, ms); }
    bool quiet() { return uls_test::quiet(fd_); }

    static std::string registration(const char *name, int visible = 1, const char *buddies = "",
                                    const char *addr = "0.0.0.0")
    {
        UserProfile p{};
        p.ipAddr = inet_addr(addr);
        p.visible = visible;
        copyToField(p.name, sizeof p.name, name);
        copyToField(p.buddyList, sizeof p.buddyList, buddies);
        return std::string(reinterpret_cast<const char *>(&p), sizeof p);
    }

    // Registers and waits until the server has taken it in (its answer to a
    // list request proves that).
    void join(const char *name, int visible = 1, const char *buddies = "", const char *addr = "0.0.0.0")
    {
        send(registration(name, visible, buddies, addr));
        userList();
    }

    // Reads one list reply; entries as "name address".
    Lines readList(int32_t expectType)
    {
        std::string head = readN(12);
        EXPECT_EQ(head.size(), 12u);
        if (head.size() < 12)
            return {};
        EXPECT_EQ(readLE(head, 0), expectType);
        const int32_t count = readLE(head, 4);
        EXPECT_GE(count, 0);
        EXPECT_LE(count, 24);
        const std::size_t entry = expectType == 1 ? 20 : 52;
        const std::string body = readN(entry * static_cast<std::size_t>(std::clamp(count, 0, 24)));
        Lines rows;
        for (std::size_t i = 0; i < body.size() / entry; ++i) {
            in_addr a{};
            memcpy(&a.s_addr, body.data() + entry * i, 4);
            rows.push_back(std::string(body.c_str() + entry * i + 4) + " " + inet_ntoa(a));
        }
        return rows;
    }
    Lines userList()
    {
        send(command("refresh user"));
        return readList(1);
    }
    Lines buddyList()
    {
        send(command("refresh buddy"));
        return readList(2);
    }

private:
    int fd_ = -1;
    bool connected_ = false;
};

class UlsServerTest : public ::testing::Test {
protected:
    void SetUp() override { startServer(UlsServerOptions{}); }

    void startServer(UlsServerOptions opt)
    {
        stopServer();
        opt.listenAddress = "127.0.0.1";
        opt.port = 0;
        opt.broadcastPort = 0;
        logFile_ = tmpfile();
        opt.log = logFile_;
        server_ = std::make_unique<UlsServer>(opt);
        ASSERT_TRUE(server_->start());
        thread_ = std::thread([this] { server_->run(); });
    }

    void stopServer()
    {
        if (!server_)
            return;
        server_->stop();
        thread_.join();
        server_.reset();
        fclose(logFile_);
    }

    void TearDown() override { stopServer(); }

    int port() const { return server_->port(); }

    // Clients named name0, name1, ... registered in turn.
    std::vector<std::unique_ptr<Client>> crowd(int n, const char *name)
    {
        std::vector<std::unique_ptr<Client>> c;
        for (int i = 0; i < n; ++i) {
            c.push_back(std::make_unique<Client>(port()));
            c.back()->join((name + std::to_string(i)).c_str());
        }
        return c;
    }

    std::unique_ptr<UlsServer> server_;
    std::thread thread_;
    FILE *logFile_ = nullptr;
};

} // namespace

TEST_F(UlsServerTest, UserListShowsOtherVisibleUsersUpTo24)
{
    Client alice(port()), bob(port()), eve(port());
    alice.join("alice");
    bob.join("bob", 1, "", "10.47.0.2");
    eve.join("eve", 0);
    // The requester and invisible users are left out; a loopback or empty
    // registered address is replaced by the connection's own.
    EXPECT_EQ(alice.userList(), Lines{"bob 10.47.0.2"});
    EXPECT_EQ(bob.userList(), Lines{"alice 127.0.0.1"});
    EXPECT_EQ(eve.userList(), (Lines{"alice 127.0.0.1", "bob 10.47.0.2"}));

    auto many = crowd(30, "user");
    const Lines rows = many[5]->userList();
    const std::set<std::string> distinct(rows.begin(), rows.end());
    EXPECT_EQ(rows.size(), 24u);
    EXPECT_EQ(distinct.size(), 24u);
    EXPECT_EQ(distinct.count("user5 127.0.0.1"), 0u);
}

TEST_F(UlsServerTest, BuddyListAndChatReachTheOnlineBuddiesByName)
{
    Client bob(port()), carol(port()), dave(port()), hidden(port());
    bob.join("bob", 1, "", "10.0.0.2");
    carol.join("carol", 1, "", "10.0.0.3");
    dave.join("dave", 1, "", "10.0.0.4");
    hidden.join("hidden", 0, "", "10.0.0.5");
    Client alice(port());
    // A profile written on another system: "\r" before the line ends.
    alice.join("alice", 1, "bob\r\ncarol\r\nzed\r\nhidden\r");
    EXPECT_EQ(alice.buddyList(), (Lines{"bob 10.0.0.2", "carol 10.0.0.3"}));
    EXPECT_TRUE(dave.buddyList().empty());

    alice.send("messagehello");
    for (Client *c : {&bob, &carol})
        EXPECT_EQ(c->readN(25), le32(3) + field("alice", 16) + "hello");
    // dave is not alice's buddy, alice gets no echo.
    EXPECT_TRUE(dave.quiet());
    EXPECT_TRUE(alice.quiet());
}

TEST_F(UlsServerTest, BroadcastServerGreetsAndRelaysToEveryone)
{
    Client bob(port()), carol(port());
    bob.join("bob");
    carol.join("carol");
    Client caster(server_->broadcastPort());
    EXPECT_EQ(caster.readN(4), le32(6));
    caster.join("caster");
    caster.send("messageall hands");
    for (Client *c : {&bob, &carol})
        EXPECT_EQ(c->readN(29), le32(3) + field("caster", 16) + "all hands");
    EXPECT_TRUE(caster.quiet());
}

TEST_F(UlsServerTest, QuitAndClosedConnectionsForgetTheUser)
{
    Client alice(port()), bob(port()), carol(port());
    alice.join("alice");
    bob.join("bob");
    carol.join("carol");
    alice.send(command("quit!"));
    EXPECT_TRUE(alice.closedByServer());
    crowd(1, "gone"); // closed without a word
    // Closing takes effect in the server's loop; one more round trip from
    // another client is enough for it to have been seen.
    bob.userList();
    EXPECT_EQ(bob.userList(), Lines{"carol 127.0.0.1"});
}

TEST_F(UlsServerTest, RequestsSplitIntoSingleBytesStillWorkAndOddRecordsAreRefused)
{
    Client bob(port());
    bob.join("bob");
    Client alice(port());
    for (char c : Client::registration("alice") + command("refresh user")) {
        alice.send(std::string(1, c));
        usleep(200);
    }
    EXPECT_EQ(alice.readList(1), Lines{"bob 127.0.0.1"});

    // Records no client would send: a visibility flag other than 0 or 1, a
    // name without its terminator.
    std::string odd = Client::registration("odd"), unterminated = Client::registration("");
    odd[4] = 7;
    std::fill(unterminated.begin() + 8, unterminated.begin() + 24, 'n');
    for (const std::string &record : {odd, unterminated}) {
        Client c(port());
        c.send(record);
        EXPECT_TRUE(c.closedByServer());
    }
    EXPECT_EQ(bob.userList(), Lines{"alice 127.0.0.1"});
}

TEST_F(UlsServerTest, HostileClientsDoNotDisturbOthers)
{
    Client steady(port());
    steady.join("steady");
    Client friendOf(port());
    friendOf.join("friend");

    std::mt19937 rng(2048);
    std::vector<std::unique_ptr<Client>> hostile;
    for (int i = 0; i < 100; ++i) {
        auto c = std::make_unique<Client>(port());
        ASSERT_TRUE(c->connected());
        std::string junk(1 + rng() % 3000, '\0');
        for (char &b : junk)
            b = static_cast<char>(rng());
        switch (i % 5) {
        case 0:  // random bytes from the first byte on: no registration
            c->send(junk + std::string(120, 'r'));
            EXPECT_TRUE(c->closedByServer());
            break;
        case 1:  // half a registration, then gone
            c->send(std::string(60, 'h'));
            c.reset();
            break;
        case 2:  // registered, then garbage and a torn command
            c->send(Client::registration(("h" + std::to_string(i)).c_str(), 0) + junk + "refresh bu");
            break;
        case 3: {  // reset instead of an orderly close
            linger l{1, 0};
            setsockopt(c->fd(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
            c->send(junk);
            c.reset();
            break;
        }
        case 4:  // connected and silent
            break;
        }
        if (c)
            hostile.push_back(std::move(c));
        if (i % 10 == 0) {
            EXPECT_EQ(steady.userList(), Lines{"friend 127.0.0.1"});
        }
    }
    EXPECT_EQ(steady.userList(), Lines{"friend 127.0.0.1"});
    hostile.clear();

    // Still taking new users afterwards.
    Client late(port());
    late.join("late");
    EXPECT_EQ(late.userList(), (Lines{"steady 127.0.0.1", "friend 127.0.0.1"}));
}

TEST_F(UlsServerTest, SlowReaderIsDroppedNotWaitedFor)
{
    UlsServerOptions opt;
    opt.maxPendingOutput = 4096;
    startServer(opt);
    auto fillers = crowd(23, "f");
    Client other(port());
    other.join("other");
    Client slow(port());
    int small = 4096;
    setsockopt(slow.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    slow.join("slow");
    // Thousands of full lists asked for and never read.
    std::string burst;
    for (int i = 0; i < 20000; ++i)
        burst += command("refresh user");
    slow.send(burst);

    bool gone = false;
    for (int i = 0; i < 100 && !gone; ++i) {
        auto rows = other.userList();
        gone = rows.size() == 23 && std::find(rows.begin(), rows.end(), "slow 127.0.0.1") == rows.end();
        if (!gone)
            usleep(20000);
    }
    EXPECT_TRUE(gone);
    EXPECT_TRUE(slow.closedByServer());
}

TEST_F(UlsServerTest, UnregisteredAndSurplusConnectionsAreClosed)
{
    UlsServerOptions opt;
    opt.registerTimeoutSeconds = 1;
    opt.maxClients = 2;
    startServer(opt);
    Client first(port());
    first.join("first");
    Client idle(port());
    Client surplus(port());
    EXPECT_TRUE(surplus.closedByServer());
    EXPECT_TRUE(idle.closedByServer(4000));
    EXPECT_TRUE(first.userList().empty());
}

TEST_F(UlsServerTest, SuccessiveUserListsGoThroughEveryVisibleUser)
{
    // 30 visible users among 60 invisible ones: each reply is full and
    // distinct, and any two successive replies together list all 30.
    auto hidden = std::vector<std::unique_ptr<Client>>();
    for (int i = 0; i < 60; ++i) {
        hidden.push_back(std::make_unique<Client>(port()));
        hidden.back()->join(("hidden" + std::to_string(i)).c_str(), 0);
    }
    auto shown = crowd(30, "user");
    std::set<std::string> everyone;
    for (int i = 0; i < 30; ++i)
        everyone.insert("user" + std::to_string(i) + " 127.0.0.1");

    Client watcher(port());
    watcher.join("watcher", 0);
    Lines previous = watcher.userList();
    for (int round = 0; round < 4; ++round) {
        const Lines rows = watcher.userList();
        std::set<std::string> both(rows.begin(), rows.end());
        EXPECT_EQ(rows.size(), 24u);
        EXPECT_EQ(both.size(), 24u);
        both.insert(previous.begin(), previous.end());
        EXPECT_EQ(both, everyone) << "round " << round;
        previous = rows;
    }

    // A visible requester is never listed to itself; after a user leaves, two
    // replies still cover the 28 others.
    shown[7].reset();
    watcher.userList();  // a round trip: the server has seen the close
    Lines a = shown[0]->userList(), b = shown[0]->userList();
    std::set<std::string> seen(a.begin(), a.end());
    seen.insert(b.begin(), b.end());
    everyone.erase("user0 127.0.0.1");
    everyone.erase("user7 127.0.0.1");
    EXPECT_EQ(seen, everyone);
}

TEST_F(UlsServerTest, OneAddressCannotTakeMoreThanItsShareOfConnections)
{
    UlsServerOptions opt;
    opt.maxPerAddress = 3;
    startServer(opt);
    auto three = crowd(3, "local");
    Client fourth(port());
    EXPECT_TRUE(fourth.closedByServer());

    // Another host still gets in, and a freed slot can be taken again.
    Client other(port(), "127.0.0.2");
    other.join("other");
    EXPECT_EQ(other.userList().size(), 3u);
    three[0]->send(command("quit!"));
    EXPECT_TRUE(three[0]->closedByServer());
    Client again(port());
    again.join("again");
    EXPECT_EQ(again.userList(), (Lines{"local1 127.0.0.1", "local2 127.0.0.1", "other 127.0.0.2"}));
}
