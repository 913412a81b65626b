// The directory protocol's bytes: requests as sent, replies as the client
// reads them, and the server's splitting of a request stream.
#include "directory/uls_protocol.h"

#include <arpa/inet.h>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

void putLE(Bytes &b, int32_t v)
{
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i)));
}

void putText(Bytes &b, const std::string &s, std::size_t width)
{
    for (std::size_t i = 0; i < width; ++i)
        b.push_back(i < s.size() ? static_cast<uint8_t>(s[i]) : 0);
}

void putAddr(Bytes &b, const char *dotted)
{
    uint32_t a = inet_addr(dotted);
    const auto *p = reinterpret_cast<const uint8_t *>(&a);
    b.insert(b.end(), p, p + 4);
}

// A type-1 or type-2 reply with `count` in its header and `entries` records.
Bytes listReply(int32_t type, int32_t count, int entries, const std::string &name = "user")
{
    Bytes b;
    putLE(b, type);
    putLE(b, count);
    putLE(b, 0);
    for (int i = 0; i < entries; ++i) {
        putAddr(b, ("10.0.0." + std::to_string(i + 1)).c_str());
        putText(b, name + std::to_string(i), type == 1 ? 16 : 48);
    }
    return b;
}

std::vector<UlsReply> parse(const Bytes &b) { return parseUlsReplies(b.data(), b.size()); }

} // namespace

// ---- Requests ----

TEST(UlsRequests, CommandsAre16BytesWithZeroPadding)
{
    const auto expect = [](const char *word) {
        UlsCommand c = buildUlsCommand(word);
        std::string s(reinterpret_cast<const char *>(c.data()), c.size());
        std::string want(word);
        want.resize(16, '\0');
        EXPECT_EQ(s, want) << word;
    };
    expect("refresh user");
    expect("refresh buddy");
    expect("quit!");
}

TEST(UlsRequests, MessageIsTheWordFollowedByTheText)
{
    uint8_t buf[kUlsMessageRequestMax];
    std::size_t n = buildUlsMessage("hello", buf);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), n), "messagehello");

    n = buildUlsMessage("", buf);
    EXPECT_EQ(n, 7u);

    // Text beyond what a relayed line can hold is cut.
    std::string longText(1000, 'x');
    n = buildUlsMessage(longText.c_str(), buf);
    EXPECT_EQ(n, 7 + kUlsMaxChatText);
}

TEST(UlsRequests, SocksRequestCarriesPortAddressAndUserId)
{
    const uint32_t server = inet_addr("10.47.0.3");
    auto req = buildSocksRequest(2048, server, "abc");
    Bytes want{4, 1, 0x08, 0x00, 10, 47, 0, 3, 'a', 'b', 'c'};
    want.resize(44, 0);
    EXPECT_EQ(Bytes(req.begin(), req.end()), want);

    auto bc = buildSocksRequest(2051, server, "");
    EXPECT_EQ(bc[2], 0x08);
    EXPECT_EQ(bc[3], 0x03);
    EXPECT_EQ(bc[8], 0);

    // An ID filling its whole record field still leaves byte 40 a NUL.
    char id[40];
    memset(id, 'u', sizeof id);
    id[39] = '\0';
    auto full = buildSocksRequest(2048, server, id);
    EXPECT_EQ(full[39], 'u');
    EXPECT_EQ(full[40], 0);
    EXPECT_EQ(full[43], 0);
}

TEST(UlsRequests, SocksResultCodeIsTheSignedSecondByte)
{
    const uint8_t granted[8] = {0, 90};
    const uint8_t refused[8] = {0, 91};
    const uint8_t odd[8] = {0, 0xF0};
    EXPECT_EQ(socksResultCode(granted, 8), 90);
    EXPECT_EQ(socksResultCode(refused, 8), 91);
    EXPECT_EQ(socksResultCode(odd, 8), -16);
    EXPECT_EQ(socksResultCode(granted, 1), 0);
}

// ---- Replies ----

TEST(UlsReplies, UserListCountsAtTheBounds)
{
    auto r = parse(listReply(1, 24, 24));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].kind, UlsReplyKind::userList);
    EXPECT_TRUE(r[0].valid);
    EXPECT_EQ(r[0].list.count, 24);
    EXPECT_STREQ(r[0].list.entries[23].name, "user23");
    EXPECT_EQ(r[0].list.entries[23].addr, inet_addr("10.0.0.24"));

    for (int32_t bad : {25, -1, 1000000}) {
        auto e = parse(listReply(1, bad, 24));
        ASSERT_EQ(e.size(), 1u);
        EXPECT_TRUE(e[0].hasCount);
        EXPECT_EQ(e[0].count, bad);
        EXPECT_FALSE(e[0].valid) << bad;
    }

    auto zero = parse(listReply(1, 0, 0));
    ASSERT_EQ(zero.size(), 1u);
    EXPECT_TRUE(zero[0].hasCount);
    EXPECT_EQ(zero[0].count, 0);
    EXPECT_FALSE(zero[0].valid);
}

TEST(UlsReplies, ListShorterThanItsCountIsNotShown)
{
    // Count 3 but two entries arrived: nothing past the received bytes is used.
    auto r = parse(listReply(1, 3, 2));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_TRUE(r[0].hasCount);
    EXPECT_FALSE(r[0].valid);

    Bytes headerOnly;
    putLE(headerOnly, 2);
    putLE(headerOnly, 5);
    auto h = parse(headerOnly);
    ASSERT_EQ(h.size(), 1u);
    EXPECT_EQ(h[0].kind, UlsReplyKind::buddyList);
    EXPECT_FALSE(h[0].valid);

    Bytes typeOnly;
    putLE(typeOnly, 1);
    auto t = parse(typeOnly);
    ASSERT_EQ(t.size(), 1u);
    EXPECT_FALSE(t[0].hasCount);
    EXPECT_FALSE(t[0].valid);

    EXPECT_TRUE(parse(Bytes{1, 0, 0}).empty());
}

TEST(UlsReplies, UserNamesAreTerminatedInsideTheirField)
{
    Bytes b;
    putLE(b, 1);
    putLE(b, 1);
    putLE(b, 0);
    putAddr(b, "10.0.0.7");
    putText(b, std::string(16, 'Z'), 16);
    auto r = parse(b);
    ASSERT_TRUE(r[0].valid);
    EXPECT_EQ(std::string(r[0].list.entries[0].name), std::string(15, 'Z'));
}

TEST(UlsReplies, BuddyListIsConvertedWithNamesCutTo15)
{
    Bytes b;
    putLE(b, 2);
    putLE(b, 2);
    putLE(b, 0);
    putAddr(b, "10.0.0.9");
    putText(b, "abcdefghijklmnopqrst", 48);  // 20 characters
    putAddr(b, "10.0.0.10");
    putText(b, std::string(48, 'Q'), 48);  // no terminator at all
    auto r = parse(b);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].kind, UlsReplyKind::buddyList);
    ASSERT_TRUE(r[0].valid);
    EXPECT_EQ(r[0].list.type, 1);
    EXPECT_EQ(r[0].list.count, 2);
    EXPECT_STREQ(r[0].list.entries[0].name, "abcdefghijklmno");
    EXPECT_EQ(r[0].list.entries[0].addr, inet_addr("10.0.0.9"));
    EXPECT_EQ(std::string(r[0].list.entries[1].name), std::string(15, 'Q'));
    EXPECT_EQ(r[0].list.entries[1].addr, inet_addr("10.0.0.10"));
}

TEST(UlsReplies, ChatLineIsNameColonText)
{
    Bytes b;
    putLE(b, 3);
    putText(b, "bob", 16);
    for (char c : std::string("hi there"))
        b.push_back(static_cast<uint8_t>(c));
    auto r = parse(b);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].kind, UlsReplyKind::chat);
    EXPECT_STREQ(r[0].chatLine, "bob: hi there\n");

    // A name field of 16 non-NUL bytes shows its first 15.
    Bytes full;
    putLE(full, 3);
    putText(full, "ABCDEFGHIJKLMNOP", 16);
    full.push_back('x');
    EXPECT_STREQ(parse(full)[0].chatLine, "ABCDEFGHIJKLMNO: x\n");

    // Shorter than its header: what there is of the name, no text.
    Bytes shortOne;
    putLE(shortOne, 3);
    shortOne.push_back('a');
    shortOne.push_back('b');
    EXPECT_STREQ(parse(shortOne)[0].chatLine, "ab: \n");
}

TEST(UlsReplies, LongChatTextIsCutToTheLine)
{
    Bytes b;
    putLE(b, 3);
    putText(b, "sender", 16);
    b.insert(b.end(), 8000, 'y');
    auto r = parse(b);
    ASSERT_EQ(r.size(), 1u);
    std::string line = r[0].chatLine;
    EXPECT_EQ(line.size(), kUlsChatLineSize - 1);
    EXPECT_EQ(line.substr(0, 8), "sender: ");
    EXPECT_EQ(line.back(), '\n');
}

TEST(UlsReplies, BroadcastGreetingAndUnknownTypes)
{
    Bytes b;
    putLE(b, 6);
    auto r = parse(b);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].kind, UlsReplyKind::broadcastConnected);

    for (int32_t type : {4, 5, 7, -3}) {
        Bytes u;
        putLE(u, type);
        u.insert(u.end(), 30, 0xEE);
        auto x = parse(u);
        ASSERT_EQ(x.size(), 1u);
        EXPECT_EQ(x[0].kind, UlsReplyKind::ignored);
    }
}

TEST(UlsReplies, OneDrainCanHoldSeveralReplies)
{
    Bytes b;
    putLE(b, 6);
    Bytes list = listReply(1, 2, 2);
    b.insert(b.end(), list.begin(), list.end());
    Bytes empty = listReply(2, 0, 0);
    b.insert(b.end(), empty.begin(), empty.end());
    putLE(b, 3);
    putText(b, "z", 16);
    b.push_back('!');
    auto r = parse(b);
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[0].kind, UlsReplyKind::broadcastConnected);
    EXPECT_EQ(r[1].kind, UlsReplyKind::userList);
    EXPECT_TRUE(r[1].valid);
    EXPECT_EQ(r[2].kind, UlsReplyKind::buddyList);
    EXPECT_EQ(r[2].count, 0);
    EXPECT_STREQ(r[3].chatLine, "z: !\n");

    // A flood of tiny replies is capped.
    Bytes flood;
    for (int i = 0; i < 500; ++i)
        putLE(flood, 6);
    EXPECT_EQ(parseUlsReplies(flood.data(), flood.size(), 16).size(), 16u);
}

TEST(ListConvert, CopiesCountAddressesAndCutNames)
{
    BuddyListReply src{};
    src.type = 2;
    src.count = 24;
    for (int i = 0; i < 24; ++i) {
        src.entries[i].addr = static_cast<uint32_t>(i + 100);
        memset(src.entries[i].name, 'a' + (i % 26), sizeof src.entries[i].name);  // unterminated
    }
    UserListReply dst;
    memset(&dst, 0x77, sizeof dst);
    listConvert(&src, &dst);
    EXPECT_EQ(dst.count, 24);
    for (int i = 0; i < 24; ++i) {
        EXPECT_EQ(dst.entries[i].addr, static_cast<uint32_t>(i + 100));
        EXPECT_EQ(std::string(dst.entries[i].name), std::string(15, static_cast<char>('a' + (i % 26))));
    }
    // The 25th slot is never written.
    EXPECT_EQ(dst.entries[24].addr, 0x77777777u);

    src.count = 99;
    memset(&dst, 0x77, sizeof dst);
    listConvert(&src, &dst);
    EXPECT_EQ(dst.count, 99);
    EXPECT_EQ(dst.entries[0].addr, 0x77777777u);
}

// ---- The server's view of requests ----

namespace {

std::vector<UlsRequest> split(UlsRequestSplitter &s, const std::string &bytes)
{
    std::vector<UlsRequest> out;
    s.feed(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), out);
    return out;
}

std::string command(const char *word)
{
    UlsCommand c = buildUlsCommand(word);
    return std::string(reinterpret_cast<const char *>(c.data()), c.size());
}

} // namespace

TEST(UlsRequestSplitter, RecognisesEachRequest)
{
    UlsRequestSplitter s;
    auto r = split(s, command("refresh user") + command("refresh buddy") + "messagehello");
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].kind, UlsRequestKind::refreshUser);
    EXPECT_EQ(r[1].kind, UlsRequestKind::refreshBuddy);
    EXPECT_EQ(r[2].kind, UlsRequestKind::message);
    EXPECT_EQ(r[2].text, "hello");

    auto q = split(s, command("quit!"));
    ASSERT_EQ(q.size(), 1u);
    EXPECT_EQ(q[0].kind, UlsRequestKind::quit);
    EXPECT_EQ(s.pending(), 0u);
}

TEST(UlsRequestSplitter, CommandsSplitAtAnyByteStillArrive)
{
    const std::string stream = command("refresh user") + command("refresh buddy") + command("quit!");
    for (std::size_t cut = 1; cut < stream.size(); ++cut) {
        UlsRequestSplitter s;
        auto a = split(s, stream.substr(0, cut));
        auto b = split(s, stream.substr(cut));
        a.insert(a.end(), b.begin(), b.end());
        ASSERT_EQ(a.size(), 3u) << "cut at " << cut;
        EXPECT_EQ(a[0].kind, UlsRequestKind::refreshUser);
        EXPECT_EQ(a[1].kind, UlsRequestKind::refreshBuddy);
        EXPECT_EQ(a[2].kind, UlsRequestKind::quit);
        EXPECT_LT(s.pending(), 16u);
    }
}

TEST(UlsRequestSplitter, MessagesAndJunk)
{
    UlsRequestSplitter s;
    // A message ends at a NUL: a command coalesced behind it still counts.
    auto r = split(s, std::string("messagehi\0", 10) + command("refresh user"));
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].text, "hi");
    EXPECT_EQ(r[1].kind, UlsRequestKind::refreshUser);

    auto big = split(s, "message" + std::string(5000, 'm'));
    ASSERT_EQ(big.size(), 1u);
    EXPECT_EQ(big[0].text.size(), kUlsMaxChatText);

    auto junk = split(s, "GET / HTTP/1.0\r\n\r\n");
    ASSERT_EQ(junk.size(), 1u);
    EXPECT_EQ(junk[0].kind, UlsRequestKind::junk);
    EXPECT_EQ(junk[0].junkBytes, 18u);
    EXPECT_EQ(s.pending(), 0u);

    // Junk doesn't poison later requests.
    auto after = split(s, command("refresh buddy"));
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0].kind, UlsRequestKind::refreshBuddy);

    // A partial word waits; a wrong continuation is junk, not a command.
    EXPECT_TRUE(split(s, "refresh ").empty());
    EXPECT_EQ(s.pending(), 8u);
    auto wrong = split(s, std::string("everyone\0", 9));
    ASSERT_EQ(wrong.size(), 1u);
    EXPECT_EQ(wrong[0].kind, UlsRequestKind::junk);
    EXPECT_EQ(s.pending(), 0u);
}
