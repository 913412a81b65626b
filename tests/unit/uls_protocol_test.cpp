// The directory protocol's bytes: requests as sent, replies as the client
// reads them, and the server's splitting of a request stream.
#include "directory/uls_protocol.h"

#include <gtest/gtest.h>

#include "uls_test_support.h"

using namespace uls_test;

namespace {

std::vector<UlsReply> parse(const std::string &b, std::size_t maxReplies = 16)
{
    return parseUlsReplies(reinterpret_cast<const uint8_t *>(b.data()), b.size(), maxReplies);
}

std::string bytes(const uint8_t *p, std::size_t n) { return std::string(reinterpret_cast<const char *>(p), n); }

} // namespace

TEST(UlsRequests, CommandsMessagesAndSocksRequestsAsSent)
{
    for (const char *word : {"refresh user", "refresh buddy", "quit!"})
        EXPECT_EQ(bytes(buildUlsCommand(word).data(), 16), field(word, 16)) << word;

    uint8_t buf[kUlsMessageRequestMax];
    EXPECT_EQ(bytes(buf, buildUlsMessage("hello", buf)), "messagehello");
    EXPECT_EQ(buildUlsMessage("", buf), 7u);
    // Text beyond what a relayed line can hold is cut.
    EXPECT_EQ(buildUlsMessage(std::string(1000, 'x').c_str(), buf), 7 + kUlsMaxChatText);

    const uint32_t server = inet_addr("10.47.0.3");
    auto req = buildSocksRequest(2048, server, "abc");
    EXPECT_EQ(bytes(req.data(), req.size()), field(std::string("\x04\x01\x08\x00\x0A\x2F\x00\x03", 8) + "abc", 44));
    auto bc = buildSocksRequest(2051, server, "");
    EXPECT_EQ(bytes(bc.data(), 9), std::string("\x04\x01\x08\x03\x0A\x2F\x00\x03\x00", 9));
    // An ID filling its whole record field still leaves byte 40 a NUL.
    auto full = buildSocksRequest(2048, server, std::string(39, 'u').c_str());
    EXPECT_EQ(full[39], 'u');
    EXPECT_EQ(full[40], 0);

    // The result code is the signed second byte of the reply.
    const uint8_t granted[8] = {0, 90}, refused[8] = {0, 91}, odd[8] = {0, 0xF0};
    EXPECT_EQ(socksResultCode(granted, 8), 90);
    EXPECT_EQ(socksResultCode(refused, 8), 91);
    EXPECT_EQ(socksResultCode(odd, 8), -16);
    EXPECT_EQ(socksResultCode(granted, 1), 0);
}

TEST(UlsReplies, ListCountsAtTheBoundsAndShortLists)
{
    for (int32_t type : {1, 2}) {
        auto r = parse(listReply(type, 24, 24, "user"));
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0].kind, type == 1 ? UlsReplyKind::userList : UlsReplyKind::buddyList);
        EXPECT_TRUE(r[0].valid);
        EXPECT_EQ(r[0].list.count, 24);
        EXPECT_STREQ(r[0].list.entries[23].name, "user23");
        EXPECT_EQ(r[0].list.entries[23].addr, inet_addr("10.0.0.24"));
    }

    // Counts outside 1..24, or more than arrived, are kept but not shown.
    const struct {
        std::string reply;
        bool hasCount;
        int32_t count;
    } bad[] = {{listReply(1, 25, 24), true, 25},   {listReply(1, -1, 24), true, -1},
               {listReply(1, 1000000, 24), true, 1000000}, {listReply(1, 0, 0), true, 0},
               {listReply(1, 3, 2), true, 3},      {le32(2) + le32(5), true, 5},
               {le32(1), false, 0}};
    for (const auto &b : bad) {
        auto e = parse(b.reply);
        ASSERT_EQ(e.size(), 1u);
        EXPECT_EQ(e[0].hasCount, b.hasCount) << b.count;
        EXPECT_EQ(e[0].count, b.count);
        EXPECT_FALSE(e[0].valid) << b.count;
    }
    EXPECT_TRUE(parse(std::string("\x01\0\0", 3)).empty());
}

TEST(UlsReplies, ListNamesAreTerminatedAndBuddyNamesCutTo15)
{
    auto r = parse(le32(1) + le32(1) + le32(0) + addrBytes("10.0.0.7") + std::string(16, 'Z'));
    ASSERT_TRUE(r[0].valid);
    EXPECT_EQ(std::string(r[0].list.entries[0].name), std::string(15, 'Z'));

    r = parse(le32(2) + le32(2) + le32(0) + addrBytes("10.0.0.9") + field("abcdefghijklmnopqrst", 48) +
              addrBytes("10.0.0.10") + std::string(48, 'Q'));
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

TEST(UlsReplies, ChatLineIsNameColonTextCutToTheLine)
{
    const std::pair<std::string, std::string> cases[] = {
        {le32(3) + field("bob", 16) + "hi there", "bob: hi there\n"},
        {le32(3) + "ABCDEFGHIJKLMNOP" + "x", "ABCDEFGHIJKLMNO: x\n"}, // a full name field shows 15
        {le32(3) + "ab", "ab: \n"},                               // shorter than its header
        {le32(3) + field("sender", 16) + std::string(8000, 'y'),
         "sender: " + std::string(kUlsChatLineSize - 10, 'y') + "\n"},
    };
    for (const auto &[reply, line] : cases) {
        auto r = parse(reply);
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0].kind, UlsReplyKind::chat);
        EXPECT_EQ(std::string(r[0].chatLine), line);
    }
}

TEST(UlsReplies, OneDrainHoldsSeveralRepliesAndUnknownTypesAreIgnored)
{
    auto r = parse(le32(6) + listReply(1, 2, 2) + listReply(2, 0, 0) + le32(3) + field("z", 16) + "!");
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[0].kind, UlsReplyKind::broadcastConnected);
    EXPECT_EQ(r[1].kind, UlsReplyKind::userList);
    EXPECT_TRUE(r[1].valid);
    EXPECT_EQ(r[2].kind, UlsReplyKind::buddyList);
    EXPECT_EQ(r[2].count, 0);
    EXPECT_STREQ(r[3].chatLine, "z: !\n");

    for (int32_t type : {4, 5, 7, -3}) {
        auto x = parse(le32(type) + std::string(30, '\xEE'));
        ASSERT_EQ(x.size(), 1u);
        EXPECT_EQ(x[0].kind, UlsReplyKind::ignored) << type;
    }
    // A flood of tiny replies is capped.
    std::string flood;
    for (int i = 0; i < 500; ++i)
        flood += le32(6);
    EXPECT_EQ(parse(flood, 16).size(), 16u);
}

// ---- The server's view of requests ----

namespace {

std::vector<UlsRequest> split(UlsRequestSplitter &s, const std::string &bytes)
{
    std::vector<UlsRequest> out;
    s.feed(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), out);
    return out;
}

std::vector<UlsRequestKind> kinds(const std::vector<UlsRequest> &requests)
{
    std::vector<UlsRequestKind> k;
    for (const UlsRequest &r : requests)
        k.push_back(r.kind);
    return k;
}

} // namespace

TEST(UlsReplyAssembler, EachReplySplitAtAnyByteComesOutOnceWholeAndNothingIsHeldPastTheBound)
{
    for (const std::string &stream : {listReply(1, 3, 3) + le32(6), listReply(2, 2, 2) + listReply(1, 0, 0)})
        for (size_t cut = 1; cut < stream.size(); ++cut) {
            UlsReplyAssembler assembler;
            std::vector<UlsReply> out;
            const auto *bytes = reinterpret_cast<const uint8_t *>(stream.data());
            assembler.feed(bytes, cut, out);
            assembler.feed(bytes + cut, stream.size() - cut, out);
            ASSERT_TRUE(out.size() == 2 && out[0].valid && !assembler.holding()) << "cut at " << cut;
        }
    UlsReplyAssembler assembler;
    std::vector<UlsReply> out;
    const std::string partial = listReply(1, 24, 24).substr(0, 100);
    for (int i = 0; i < 100 && out.empty(); ++i)
        assembler.feed(reinterpret_cast<const uint8_t *>(partial.data()), partial.size(), out);
    EXPECT_FALSE(out.empty()) << "held beyond the bound";
}

TEST(UlsRequestSplitter, RecognisesEachRequestSplitAtAnyByte)
{
    using K = UlsRequestKind;
    UlsRequestSplitter s;
    auto r = split(s, command("refresh user") + command("refresh buddy") + "messagehello");
    EXPECT_EQ(kinds(r), (std::vector{K::refreshUser, K::refreshBuddy, K::message}));
    EXPECT_EQ(r.back().text, "hello");

    const std::string stream = command("refresh user") + command("refresh buddy") + command("quit!");
    for (std::size_t cut = 1; cut < stream.size(); ++cut) {
        UlsRequestSplitter t;
        auto a = split(t, stream.substr(0, cut));
        auto b = split(t, stream.substr(cut));
        a.insert(a.end(), b.begin(), b.end());
        ASSERT_EQ(kinds(a), (std::vector{K::refreshUser, K::refreshBuddy, K::quit})) << "cut at " << cut;
        EXPECT_EQ(t.pending(), 0u);
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
    EXPECT_EQ(kinds(split(s, command("refresh buddy"))), std::vector{UlsRequestKind::refreshBuddy});

    // A partial word waits; a wrong continuation is junk, not a command.
    EXPECT_TRUE(split(s, "refresh ").empty());
    EXPECT_EQ(s.pending(), 8u);
    EXPECT_EQ(kinds(split(s, std::string("everyone\0", 9))), std::vector{UlsRequestKind::junk});
    EXPECT_EQ(s.pending(), 0u);
}
