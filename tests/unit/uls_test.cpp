// Guards against wrong directory bytes, replies mis-read or lost, and a server listing, relaying or dropping wrongly.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "core/ui_ops.h"
#include "directory/address.h"
#include "directory/uls_client.h"
#include "directory/uls_server.h"

namespace {

using Lines = std::vector<std::string>;

std::string le32(int32_t v) { return std::string(reinterpret_cast<const char *>(&v), 4); }  // on this little-endian host
int32_t readLE(const std::string &s, std::size_t at) { int32_t v = -1; if (s.size() >= at + 4) memcpy(&v, &s[at], 4); return v; }
std::string field(std::string text, std::size_t width) { return text.resize(width, '\0'), text; }
std::string command(const char *word) { return field(word, kUlsCommandSize); }
std::string addrBytes(const std::string &dotted) { return le32(int32_t(inet_addr(dotted.c_str()))); }  // as it lies
// A user (1) or buddy (2) list reply with `count` in its header and `entries` records prefix0 at 10.0.0.1, ...
std::string listReply(int32_t type, int32_t count, int entries, const std::string &prefix = "u") {
    std::string r = le32(type) + le32(count) + le32(0);
    for (int i = 0; i < entries; ++i)
        r += addrBytes("10.0.0." + std::to_string(i + 1)) + field(prefix + std::to_string(i), type == 1 ? 16 : 48);
    return r;
}
std::string registration(const std::string &name, int visible = 1, const std::string &buddies = "",
                         const std::string &addr = "0.0.0.0", const std::string &email = "") {
    return addrBytes(addr) + le32(visible) + field(name, 16) + field(email, 32) + field(buddies, 64);
}

bool readable(int fd, int ms) { pollfd p{fd, POLLIN, 0}; return poll(&p, 1, ms) == 1; }
// Exactly n bytes, or fewer if the peer closes or 3 s pass without data.
std::string readN(int fd, std::size_t n) {
    std::string out;
    char buf[4096];
    for (ssize_t r = 1; out.size() < n && r > 0 && readable(fd, 3000);)
        if ((r = recv(fd, buf, std::min(sizeof buf, n - out.size()), 0)) > 0) out.append(buf, std::size_t(r));
    return out;
}
// Reads past whatever is still on its way until the end of the stream.
bool closedByPeer(int fd, int ms = 3000) {
    char buf[4096];
    while (readable(fd, ms))
        if (recv(fd, buf, sizeof buf, 0) <= 0) return true;
    return false;
}

// What the core asked the user interface to show, in order: "box:title|text", "list:title|entry|...", "chat:line".
std::vector<std::string> g_shown;
void (*g_duringList)() = nullptr;  // runs inside the list "dialog"
void recordUi() {
    g_shown.clear();
    g_duringList = nullptr;
    KvUiOps ops{};
    ops.messageBox = [](const char *title, const char *text) { g_shown.push_back(std::string("box:") + title + "|" + text); };
    ops.listReceived = [](const char *title, const std::vector<std::string> &entries) {
        g_shown.push_back("list:" + std::string(title));
        for (const std::string &e : entries) g_shown.back() += "|" + e;
        if (g_duringList) g_duringList();
    };
    ops.chatLineReceived = [](const char *line) { g_shown.push_back("chat:" + std::string(line)); };
    kvSetUiOps(ops);
}

std::vector<UlsReply> parse(const std::string &b, std::size_t maxReplies = 16) {
    return parseUlsReplies(reinterpret_cast<const uint8_t *>(b.data()), b.size(), maxReplies);
}
template <class Bytes> std::string str(const Bytes &b, std::size_t n) { return std::string(b.begin(), b.begin() + n); }

TEST(UlsRequests, CommandsMessagesAndSocksRequestsAsSent) {
    for (const char *w : {"refresh user", "refresh buddy", "quit!"}) EXPECT_EQ(str(buildUlsCommand(w), 16), command(w));
    std::array<uint8_t, kUlsMessageRequestMax> buf;
    EXPECT_EQ(str(buf, buildUlsMessage("hello", buf.data())), "messagehello");
    EXPECT_EQ(buildUlsMessage(std::string(1000, 'x').c_str(), buf.data()), 7 + kUlsMaxChatText);
    const uint32_t server = inet_addr("10.47.0.3");
    const std::string head("\x04\x01\x08\x00\x0A\x2F\x00\x03", 8);  // version, connect, port, address
    EXPECT_EQ(str(buildSocksRequest(2048, server, "abc"), 44), field(head + "abc", 44));
    EXPECT_EQ(str(buildSocksRequest(2051, server, ""), 4), head.substr(0, 3) + "\x03");
    EXPECT_EQ(str(buildSocksRequest(2048, server, std::string(39, 'u').c_str()), 44), field(head + std::string(32, 'u'), 44));
    const uint8_t granted[8] = {0, 90}, refused[8] = {0, 91}, odd[8] = {0, 0xF0};  // the code is a signed byte
    EXPECT_EQ(std::vector({socksResultCode(granted, 8), socksResultCode(refused, 8), socksResultCode(odd, 8),
                           socksResultCode(granted, 1)}), std::vector({90, 91, -16, 0}));
}

TEST(UlsReplies, ListsAreReadEntryByEntryAndOnlyWhenWholeAndInBounds) {
    for (int32_t type : {1, 2}) {
        auto r = parse(listReply(type, 24, 24, "user") + le32(6));
        ASSERT_EQ(r.size(), 2u) << "a whole list takes exactly its records";
        EXPECT_EQ(std::tuple(r[0].kind, r[0].valid, r[0].list.count, r[1].kind),
                  std::tuple(type == 1 ? UlsReplyKind::userList : UlsReplyKind::buddyList, true, 24,
                             UlsReplyKind::broadcastConnected));
        for (int i = 0; i < 24; ++i)
            EXPECT_EQ(r[0].list.entries[i].name + std::string(" ") + inet_ntoa(in_addr{r[0].list.entries[i].addr}),
                      "user" + std::to_string(i) + " 10.0.0." + std::to_string(i + 1));
        // A name filling its field is cut to 15 characters.
        r = parse(le32(type) + le32(1) + le32(0) + addrBytes("10.0.0.7") + std::string(type == 1 ? 16 : 48, 'Z'));
        EXPECT_EQ(std::string(r[0].valid ? r[0].list.entries[0].name : "invalid"), std::string(15, 'Z'));
    }
    // Kept but not shown: counts out of 1..24, entries missing (even one byte of one), no count at all.
    const std::pair<std::string, int32_t> bad[] = {{listReply(1, 25, 24), 25}, {listReply(1, -1, 24), -1},
        {listReply(1, 1000000, 24), 1000000}, {listReply(1, 0, 0), 0}, {listReply(1, 3, 2), 3},
        {listReply(2, 2, 2).substr(0, 115), 2}, {le32(2) + le32(5), 5}, {le32(1), 0}};
    for (const auto &[reply, count] : bad) {
        auto e = parse(reply);
        ASSERT_EQ(e.size(), 1u) << count;
        EXPECT_EQ(std::tuple(e[0].hasCount, e[0].count, e[0].valid), std::tuple(reply.size() >= 8, count, false)) << count;
    }
    EXPECT_TRUE(parse(std::string("\x01\0\0", 3)).empty());
}

TEST(UlsReplies, ChatLinesAndUnknownTypes) {
    const std::pair<std::string, std::string> chats[] = {
        {le32(3) + field("bob", 16) + "hi there", "bob: hi there\n"},
        {le32(3) + "ABCDEFGHIJKLMNOP" + "x", "ABCDEFGHIJKLMNO: x\n"},  // a full name field shows 15
        {le32(3) + "ab", "ab: \n"},                                  // shorter than its header
        {le32(3) + field("sender", 16) + std::string(8000, 'y'), "sender: " + std::string(kUlsChatLineSize - 10, 'y') + "\n"}};
    for (const auto &[reply, line] : chats) {
        auto r = parse(reply);
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(std::pair(r[0].kind, std::string(r[0].chatLine)), std::pair(UlsReplyKind::chat, line));
    }
    for (int32_t type : {4, 7, -3}) EXPECT_EQ(parse(le32(type) + std::string(30, '\xEE'))[0].kind, UlsReplyKind::ignored);
}

TEST(UlsReplyAssembler, EachReplySplitAtAnyByteComesOutOnceWholeAndNothingIsHeldPastTheBound) {
    for (const std::string &stream : {listReply(1, 3, 3) + le32(6), listReply(2, 2, 2) + listReply(1, 0, 0)})
        for (std::size_t cut = 1; cut < stream.size(); ++cut) {
            UlsReplyAssembler assembler;
            std::vector<UlsReply> out;
            const auto *bytes = reinterpret_cast<const uint8_t *>(stream.data());
            assembler.feed(bytes, cut, out);
            assembler.feed(bytes + cut, stream.size() - cut, out);
            ASSERT_TRUE(out.size() == 2 && out[0].valid && !assembler.holding()) << "cut at " << cut;
        }
    UlsReplyAssembler assembler;
    std::vector<UlsReply> out;
    const std::string list = listReply(1, 24, 24);
    for (int i = 0; i < 100 && out.empty(); ++i) assembler.feed(reinterpret_cast<const uint8_t *>(list.data()), 100, out);
    EXPECT_FALSE(out.empty()) << "held beyond the bound";
}

// The requests (kind numbers, message texts, junk lengths) a splitter makes of a stream fed in two parts.
std::string splitInTwo(const std::string &stream, std::size_t cut) {
    UlsRequestSplitter s;
    std::vector<UlsRequest> out;
    s.feed(reinterpret_cast<const uint8_t *>(stream.data()), cut, out);
    s.feed(reinterpret_cast<const uint8_t *>(stream.data()) + cut, stream.size() - cut, out);
    std::string k;  // kinds in their declared order: refresh user, refresh buddy, message, quit, junk
    for (const UlsRequest &r : out)
        k += "ubmqj"[int(r.kind)] + (r.text.empty() ? "" : "[" + r.text + "]") +
             (r.junkBytes ? "#" + std::to_string(r.junkBytes) : "");
    return k + "/" + std::to_string(s.pending());
}

TEST(UlsRequestSplitter, RecognisesEachRequestSplitAtAnyByteAndDropsJunk) {
    const std::string commands = command("refresh user") + command("refresh buddy") + command("quit!");
    for (std::size_t cut = 0; cut <= commands.size(); ++cut)
        ASSERT_EQ(splitInTwo(commands, cut), "ubq/0") << "cut at " << cut;
    const struct { std::string stream; std::size_t cut; std::string requests; } cases[] = {
        {command("refresh user") + "messagehello", 16, "um[hello]/0"},
        {std::string("messagehi\0", 10) + command("refresh buddy"), 26, "m[hi]b/0"},  // a NUL ends a message
        {"message" + std::string(5000, 'm'), 5007, "m[" + std::string(kUlsMaxChatText, 'm') + "]/0"},
        {"GET / HTTP/1.0\r\n\r\n" + command("refresh buddy"), 18, "j#18b/0"},  // junk doesn't poison what follows
        {"refresh ", 8, "/8"},                                                 // a partial word waits
        {std::string("refresh everyone\0", 17), 8, "j#17/0"}};                  // a wrong continuation is junk
    for (const auto &c : cases) EXPECT_EQ(splitInTwo(c.stream, c.cut), c.requests);
}

// A scripted directory server on a loopback port, and the profile of a visible "alice" with two buddies.
class UlsClient : public ::testing::Test {
protected:
    void SetUp() override {
        std::ofstream(profile_) << "alice\nalice@example.org\nVisible\nbob\ncarol\n";
        recordUi();
        sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t len = sizeof a;
        ASSERT_FALSE(bind(listen_, reinterpret_cast<sockaddr *>(&a), len) || listen(listen_, 8) ||
                     getsockname(listen_, reinterpret_cast<sockaddr *>(&a), &len));
        serverPort = ntohs(a.sin_port);
    }
    void TearDown() override {
        serverConnection(nullptr, kUlsQuit);
        serverPort = kUlsPort;
        kvSetUiOps(KvUiOps{});
        close(peer_);
        close(listen_);
        std::filesystem::remove(profile_);
    }
    // Connects and registers; returns the registration as the server read it.
    std::string connectAndAccept() {
        serverConnection("127.0.0.1", kUlsConnect, profile_.c_str());
        EXPECT_EQ(serverConnected, 1);
        peer_ = readable(listen_, 3000) ? accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC) : -1;
        return readN(peer_, 120);
    }
    void send(const std::string &b) { ASSERT_EQ(write(peer_, b.data(), b.size()), ssize_t(b.size())); }

    const std::string profile_ = std::filesystem::temp_directory_path() / ("kv_uls_" + std::to_string(getpid()));
    int listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), peer_ = -1;
};

TEST_F(UlsClient, RegistrationAndEachRequestGoOutAsTheirBytesAndNothingWhileDisconnected) {
    for (int mode = 1; mode <= 4; ++mode) serverConnection(mode == 3 ? "hi" : nullptr, static_cast<UlsMode>(mode));
    EXPECT_FALSE(readable(listen_, 100)) << "no connection was even tried";
    EXPECT_EQ(connectAndAccept(), registration("alice", 1, "bob\ncarol", inet_ntoa({GetLocalAddr()}), "alice@example.org"));
    serverConnection(nullptr, kUlsRefreshUser);
    serverConnection(nullptr, kUlsRefreshBuddy);
    serverConnection("hello", kUlsMessage);
    serverConnection(nullptr, static_cast<UlsMode>(7));  // not a mode: nothing
    serverConnection(nullptr, kUlsQuit);
    EXPECT_EQ(readN(peer_, 60), command("refresh user") + command("refresh buddy") + "messagehello" + command("quit!"));
    EXPECT_TRUE(closedByPeer(peer_));
    EXPECT_EQ(std::pair(serverConnected.load(), ULSsock), std::pair(0, -1));
    close(peer_);
    std::ofstream(profile_) << "eve\neve@x.y\nInvisible\n";
    EXPECT_EQ(connectAndAccept().substr(4, 4), le32(0)) << "an invisible profile sends flag 0";
}

TEST_F(UlsClient, ListCountsDecideWhatIsShown) {
    for (const std::string &r : {listReply(1, 24, 24), listReply(1, 25, 25), listReply(1, 0, 0), listReply(1, -1, 0),
                                 listReply(2, 0, 0), le32(2) + le32(25), listReply(2, 2, 2, "b"),
                                 le32(3) + "ABCDEFGHIJKLMNOP" + "hello", le32(6), le32(4) + "whatever"})
        handleUlsReply(reinterpret_cast<const uint8_t *>(r.data()), r.size());
    std::string all24 = "list:Online Users";
    for (int i = 0; i < 24; ++i) all24 += "|u" + std::to_string(i) + " 10.0.0." + std::to_string(i + 1);
    const std::string box = "box:ULS Server Connection|", error = box + "Data error! Try again";
    EXPECT_EQ(g_shown, (Lines{all24, error, box + "No user online", error, box + "No buddy online", error,
                              "list:Online Buddies|b0 10.0.0.1|b1 10.0.0.2", "chat:ABCDEFGHIJKLMNO: hello\n"}));
}

TEST_F(UlsClient, TheWatchShowsWhatArrivedAndEndsWithTheConnection) {
    connectAndAccept();
    send(listReply(1, 2, 2).substr(0, 30));
    EXPECT_EQ(ulsSockCallback(ULSsock), 1);
    send(listReply(1, 2, 2).substr(30) + le32(3) + field("bob", 16) + "bye");
    close(std::exchange(peer_, -1));
    EXPECT_EQ(ulsSockCallback(ULSsock), 0);
    EXPECT_EQ(std::pair(serverConnected.load(), ULSsock), std::pair(0, -1));
    EXPECT_EQ(g_shown, (Lines{"list:Online Users|u0 10.0.0.1|u1 10.0.0.2", "chat:bob: bye\n",
                              "box:ULS Server Connection|The connection to the directory server was lost"}));
    // A disconnect from inside the list dialog ends the watch without a lost-connection box.
    connectAndAccept();
    send(listReply(1, 1, 1));
    g_shown.clear();
    g_duringList = [] { serverConnection(nullptr, kUlsQuit); };
    EXPECT_EQ(ulsSockCallback(ULSsock), 0);
    EXPECT_EQ(readN(peer_, 16), command("quit!"));
    EXPECT_EQ(g_shown.size(), 1u);
}

TEST_F(UlsClient, ADrainStaysInItsBufferAndAPartialReplyIsShownOnceItWaitedTooLong) {
    connectAndAccept();
    send(std::string(20000, 'x'));
    std::vector<uint8_t> buf(kUlsDrainSize + 64, 0xCC);
    EXPECT_EQ(readUlsData(ULSsock, buf.data(), kUlsDrainSize, nullptr), int(kUlsDrainSize));
    EXPECT_EQ(std::vector(buf.begin() + kUlsDrainSize, buf.end()), std::vector<uint8_t>(64, 0xCC));
    while (readUlsData(ULSsock, buf.data()) > 0) {}
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch());
    send(listReply(1, 3, 3).substr(0, 40));
    ulsSockCallback(ULSsock);
    ulsExpirePartial(now.count() + kUlsPartialWaitMs / 2);
    EXPECT_TRUE(g_shown.empty());
    ulsExpirePartial(now.count() + kUlsPartialWaitMs + 1000);
    EXPECT_EQ(g_shown, Lines{"box:ULS Server Connection|Data error! Try again"});
}

// One connection to the server under test, from `from` (other loopback addresses stand for other hosts).
struct Peer {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    Peer(int port, const char *from = "127.0.0.1") {
        sockaddr_in src{AF_INET, 0, {inet_addr(from)}, {}}, to{AF_INET, htons(uint16_t(port)), {htonl(INADDR_LOOPBACK)}, {}};
        bind(fd, reinterpret_cast<sockaddr *>(&src), sizeof src);
        connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to);
    }
    ~Peer() { close(fd); }
    void send(const std::string &b) { ::send(fd, b.data(), b.size(), MSG_NOSIGNAL); }
    // One list reply of the given type, entries as "name address".
    Lines readList(int32_t type) {
        const std::string head = readN(fd, 12);
        const int32_t n = head.size() == 12 && readLE(head, 0) == type ? readLE(head, 4) : -1;
        const std::size_t entry = type == 1 ? 20 : 52;
        const std::string body = readN(fd, entry * std::size_t(std::clamp(n, 0, 24)));
        Lines rows(n < 0 || n > 24 ? 1 : 0, "bad header");
        for (std::size_t at = 0; at + entry <= body.size(); at += entry)
            rows.push_back(std::string(body.c_str() + at + 4) + " " + inet_ntoa(in_addr{uint32_t(readLE(body, at))}));
        return rows;
    }
    Lines users() { return send(command("refresh user")), readList(1); }
    Lines buddies() { return send(command("refresh buddy")), readList(2); }
    // Registers, and waits until the server has taken it in (its answer to a list request proves that).
    Peer &join(const std::string &name, int visible = 1, const char *buddies = "", const char *addr = "0.0.0.0") {
        send(registration(name, visible, buddies, addr));
        users();
        return *this;
    }
};

class UlsServerTest : public ::testing::Test {
protected:
    void SetUp() override { start(UlsServerOptions{}); }
    void TearDown() override { stop(); }
    void start(UlsServerOptions opt) {
        stop();
        opt.listenAddress = "127.0.0.1";
        opt.port = opt.broadcastPort = 0;
        opt.log = nullptr;
        server_ = std::make_unique<UlsServer>(opt);
        ASSERT_TRUE(server_->start());
        thread_ = std::thread([this] { server_->run(); });
    }
    void stop() {
        if (server_) server_->stop(), thread_.join(), server_.reset();
    }
    // Clients name0, name1, ... registered in turn.
    std::vector<std::unique_ptr<Peer>> crowd(int n, const std::string &name, int visible = 1) {
        std::vector<std::unique_ptr<Peer>> c;
        for (int i = 0; i < n; ++i) c.emplace_back(std::make_unique<Peer>(port()))->join(name + std::to_string(i), visible);
        return c;
    }
    int port() const { return server_->port(); }
    std::unique_ptr<UlsServer> server_;
    std::thread thread_;
};

TEST_F(UlsServerTest, ListsHoldTheOtherVisibleUsersAndChatReachesOnlineBuddies) {
    Peer bob(port()), carol(port()), hidden(port()), alice(port());
    bob.join("bob", 1, "", "10.0.0.2");
    carol.join("carol", 1, "", "127.0.0.1");  // a loopback address is replaced by the connection's own
    hidden.join("hidden", 0, "", "10.0.0.5");
    alice.join("alice", 1, "carol\r\nzed\r\nhidden\r");  // a profile saved on another system
    EXPECT_EQ(alice.users(), (Lines{"bob 10.0.0.2", "carol 127.0.0.1"}));
    EXPECT_EQ(hidden.users(), (Lines{"bob 10.0.0.2", "carol 127.0.0.1", "alice 127.0.0.1"}));
    EXPECT_EQ(alice.buddies(), Lines{"carol 127.0.0.1"});
    EXPECT_EQ(bob.buddies(), Lines{});
    alice.send("messagehello");
    EXPECT_EQ(readN(carol.fd, 25), le32(3) + field("alice", 16) + "hello");
    EXPECT_FALSE(readable(bob.fd, 200) || readable(alice.fd, 0)) << "only buddies get it; no echo";
    Peer caster(server_->broadcastPort());
    EXPECT_EQ(readN(caster.fd, 4), le32(6));
    caster.join("caster").send("messageall");
    for (Peer *p : {&bob, &carol}) EXPECT_EQ(readN(p->fd, 23), le32(3) + field("caster", 16) + "all");
    alice.send(command("quit!"));
    EXPECT_TRUE(closedByPeer(alice.fd));
    crowd(1, "gone");  // closed without a word
    bob.users();       // a round trip: the server has seen the closes
    EXPECT_EQ(bob.users(), (Lines{"carol 127.0.0.1", "caster 127.0.0.1"}));
}

TEST_F(UlsServerTest, SuccessiveUserListsGoThroughEveryVisibleUser) {
    auto hiddenOnes = crowd(60, "hidden", 0), shown = crowd(30, "user");
    std::set<std::string> everyone;
    for (int i = 1; i < 30; ++i) everyone.insert("user" + std::to_string(i) + " 127.0.0.1");
    // Each reply is 24 distinct others; any two successive replies together list all of them.
    Lines previous = shown[0]->users();
    for (int round = 0; round < 4; ++round) {
        const Lines rows = shown[0]->users();
        std::set<std::string> both(rows.begin(), rows.end());
        EXPECT_EQ(std::pair(rows.size(), both.size()), std::pair(24ul, 24ul));
        both.insert(previous.begin(), previous.end());
        EXPECT_EQ(both, everyone) << "round " << round;
        previous = rows;
    }
}

TEST_F(UlsServerTest, SplitOddAndHostileRecordsDoNotDisturbOthers) {
    Peer steady(port()), alice(port());
    steady.join("steady");
    for (char c : registration("alice") + command("refresh user")) alice.send(std::string(1, c)), usleep(200);
    EXPECT_EQ(alice.readList(1), Lines{"steady 127.0.0.1"});
    // Records no client sends, junk, half a registration, junk and a torn command after one, a reset, silence.
    std::string odd = registration("odd");
    odd[4] = 7;
    std::vector<std::unique_ptr<Peer>> staying;
    for (int i = 0; i < 70; ++i) {
        auto &p = staying.emplace_back(std::make_unique<Peer>(port()));
        const std::string junk(1 + i * 40, char(i * 37));
        const std::string sent[] = {odd, registration(std::string(16, 'n')), junk + std::string(120, 'r'),
                                    std::string(60, 'h'), registration(std::string("h").append(std::to_string(i)), 0) + junk + "refresh bu",
                                    junk, ""};
        p->send(sent[i % 7]);
        EXPECT_TRUE(i % 7 >= 3 || closedByPeer(p->fd)) << i;
        if (const linger rst{1, 0}; i % 7 == 5) setsockopt(p->fd, SOL_SOCKET, SO_LINGER, &rst, sizeof rst), p.reset();
        if (i % 10 == 0) { EXPECT_EQ(steady.users(), Lines{"alice 127.0.0.1"}); }
    }
    EXPECT_EQ(Peer(port()).join("late").users(), (Lines{"steady 127.0.0.1", "alice 127.0.0.1"}));
}

TEST_F(UlsServerTest, SlowIdleSurplusAndCrowdingConnectionsAreDropped) {
    UlsServerOptions opt;
    opt.maxPendingOutput = 4096;
    start(opt);
    auto fillers = crowd(23, "f");  // full lists, thousands of them asked for and never read
    Peer other(port()), slow(port());
    other.join("other");
    const int small = 4096;
    setsockopt(slow.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    slow.join("slow");
    std::string burst;
    for (int i = 0; i < 20000; ++i) burst += command("refresh user");
    slow.send(burst);
    std::size_t listed = 24;
    for (int i = 0; i < 500 && (listed = other.users().size()) == 24; ++i) usleep(20000);
    ASSERT_EQ(listed, 23u) << "the slow reader is still listed";  // else reading it below would never end
    EXPECT_TRUE(closedByPeer(slow.fd));

    opt.registerTimeoutSeconds = 1;
    opt.maxClients = 4;
    opt.maxPerAddress = 2;
    start(opt);
    auto two = crowd(2, "local");
    Peer third(port()), idle(port(), "127.0.0.2"), late(port(), "127.0.0.3");
    EXPECT_TRUE(closedByPeer(third.fd)) << "more than its share from one address";
    late.join("late");
    EXPECT_TRUE(closedByPeer(Peer(port(), "127.0.0.4").fd)) << "more than the server takes";
    EXPECT_TRUE(closedByPeer(idle.fd, 4000)) << "never registered";
    two[0]->send(command("quit!"));
    EXPECT_TRUE(closedByPeer(two[0]->fd));
    EXPECT_EQ(Peer(port()).join("again").users(), (Lines{"local1 127.0.0.1", "late 127.0.0.3"}));
}

}  // namespace
