// The directory (ULS) protocol's bytes: records, request builders, the
// client's reply parser and the server's request splitter. No sockets here.
//
// Integers are 32-bit little-endian, addresses in network byte order; the
// protocol has no length fields, so a reply's extent is what one drain of the
// socket returned.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "directory/settings.h"

inline constexpr int kUlsMaxListEntries = 24;
// Longest chat text carried: the relayed reply (20 + text) stays within 256
// bytes and the shown line "name: text\n" within 255 characters.
inline constexpr std::size_t kUlsMaxChatText = 236;
inline constexpr std::size_t kUlsChatLineSize = 256;
inline constexpr std::size_t kUlsCommandSize = 16;
inline constexpr std::size_t kUlsMessageRequestMax = 7 + kUlsMaxChatText;
inline constexpr std::size_t kUlsRegistrationSize = sizeof(UserProfile);
// The client drains at most this much per watch callback.
inline constexpr std::size_t kUlsDrainSize = 8192;

enum UlsReplyType : int32_t {
    kUlsUserList = 1,
    kUlsBuddyList = 2,
    kUlsChat = 3,
    kUlsBroadcastConnected = 6,
};

struct UserEntry {
    uint32_t addr;  // network byte order
    char name[16];  // NUL-terminated
};
static_assert(sizeof(UserEntry) == 20);

// Room for one entry more than a reply may hold: the list dialog takes this
// 512-byte record.
struct UserListReply {
    int32_t type;
    int32_t count;
    int32_t reserved;
    UserEntry entries[kUlsMaxListEntries + 1];
};
static_assert(sizeof(UserListReply) == 512);
static_assert(offsetof(UserListReply, entries) == 12);

struct BuddyEntry {
    uint32_t addr;
    char name[48];
};
static_assert(sizeof(BuddyEntry) == 52);

struct BuddyListReply {
    int32_t type;
    int32_t count;
    int32_t reserved;
    BuddyEntry entries[kUlsMaxListEntries];
};
static_assert(sizeof(BuddyListReply) == 1260);

// Copies count and entries of a buddy list into the user-list layout, names
// cut to 15 characters. Counts outside 0..24 copy no entries.
void listConvert(const BuddyListReply *src, UserListReply *dst);

// ---- Requests, client to server ----

using UlsCommand = std::array<uint8_t, kUlsCommandSize>;

// word, a NUL, zeros up to 16 bytes ("refresh user", "refresh buddy", "quit!").
UlsCommand buildUlsCommand(const char *word);
// "message" directly followed by text (cut to kUlsMaxChatText, stopping at a
// NUL); returns the request's length.
std::size_t buildUlsMessage(const char *text, uint8_t out[kUlsMessageRequestMax]);

// ---- SOCKS 4 ----

inline constexpr std::size_t kSocksRequestSize = 44;
inline constexpr std::size_t kSocksReplySize = 8;
inline constexpr int kSocksGranted = 90;

// version 4, connect, port big-endian, address, user ID (at most 32
// characters, NUL-terminated), zeros to 44 bytes.
std::array<uint8_t, kSocksRequestSize> buildSocksRequest(uint16_t port, uint32_t addr, const char *userID);
// The result code (second byte) as a signed byte; 0 when fewer than 2 bytes came.
int socksResultCode(const uint8_t *reply, std::size_t len);

// ---- Replies, server to client ----

enum class UlsReplyKind { userList, buddyList, chat, broadcastConnected, ignored };

struct UlsReply {
    UlsReplyKind kind = UlsReplyKind::ignored;
    int32_t type = 0;
    // Lists: the count as received (if the reply was long enough to hold it)
    // and whether the list can be shown: count 1..24 with every entry present.
    bool hasCount = false;
    int32_t count = 0;
    bool valid = false;
    UserListReply list{};  // buddy lists already converted
    // Chat: "name: text\n", at most 255 characters and always terminated.
    char chatLine[kUlsChatLineSize] = {};
};

// Reads the reply at the start of data and returns how many bytes it took
// (0 when fewer than 4 bytes remain). Lists take exactly their records when
// complete; a chat message, an unusable list and unknown types take all the
// rest, as their end is not marked.
std::size_t parseUlsReply(const uint8_t *data, std::size_t len, UlsReply *out);

// How many bytes the reply at the start of data needs to be whole: 0 while
// even that can't be told (fewer than 4 bytes, or a list without its count
// yet), SIZE_MAX for replies whose end is not marked (chat, unknown types,
// lists with an impossible count), which take whatever has arrived.
std::size_t ulsReplyNeeds(const uint8_t *data, std::size_t len);

// Gathers a reply that arrives split across reads: a reply is handed out once
// it is whole. At most kMaxHeld bytes wait; whoever holds the assembler hands
// out an incomplete reply as it is (flush) when it has waited too long.
class UlsReplyAssembler {
public:
    static constexpr std::size_t kMaxHeld = kUlsDrainSize;
    // Appends bytes and moves every whole reply to out. Bytes beyond what
    // may be held are handed out at once as they stand.
    void feed(const uint8_t *data, std::size_t len, std::vector<UlsReply> &out);
    // Hands out what is held, whole or not (an incomplete list then shows as a
    // data error).
    void flush(std::vector<UlsReply> &out);
    bool holding() const { return !held_.empty(); }
    void clear() { held_.clear(); }

private:
    std::vector<uint8_t> held_;
};

// Splits one drain into replies, at most maxReplies of them.
std::vector<UlsReply> parseUlsReplies(const uint8_t *data, std::size_t len, std::size_t maxReplies = 16);

// ---- Requests as the server sees them ----

enum class UlsRequestKind { refreshUser, refreshBuddy, message, quit, junk };

struct UlsRequest {
    UlsRequestKind kind;
    std::string text;       // message text, cut to kUlsMaxChatText
    std::size_t junkBytes;  // bytes dropped for junk
};

// Cuts a registered client's byte stream into requests. Requests have no
// length field: a command is its word and a NUL (the zero padding is
// skipped), and a message runs to the end of what arrived or to a NUL. Only
// an incomplete command word is kept between reads, so memory stays bounded.
class UlsRequestSplitter {
public:
    void feed(const uint8_t *data, std::size_t len, std::vector<UlsRequest> &out);
    std::size_t pending() const { return partial_.size(); }

private:
    std::string partial_;
};
