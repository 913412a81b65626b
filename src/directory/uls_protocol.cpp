#include "directory/uls_protocol.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace {

int32_t readInt32LE(const uint8_t *p)
{
    uint32_t v = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                 static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
    return static_cast<int32_t>(v);
}

// Length of the text in [p, p + max) before a NUL.
std::size_t boundedLength(const uint8_t *p, std::size_t max)
{
    const void *nul = memchr(p, 0, max);
    return nul ? static_cast<std::size_t>(static_cast<const uint8_t *>(nul) - p) : max;
}

void copyName(char *dst, std::size_t dstSize, const char *src, std::size_t srcSize)
{
    memset(dst, 0, dstSize);
    memcpy(dst, src, strnlen(src, std::min(srcSize, dstSize - 1)));
}

std::size_t parseList(const uint8_t *data, std::size_t len, UlsReply *out)
{
    const bool buddies = out->type == kUlsBuddyList;
    out->kind = buddies ? UlsReplyKind::buddyList : UlsReplyKind::userList;
    if (len < 8)
        return len;
    out->hasCount = true;
    out->count = readInt32LE(data + 4);
    if (out->count == 0)
        return std::min<std::size_t>(len, 12);
    if (out->count < 0 || out->count > kUlsMaxListEntries)
        return len;

    const std::size_t entrySize = buddies ? sizeof(BuddyEntry) : sizeof(UserEntry);
    const std::size_t need = 12 + entrySize * static_cast<std::size_t>(out->count);
    if (len < need)
        return len;  // entries missing: never read past what arrived

    out->valid = true;
    if (buddies) {
        BuddyListReply buddy{};
        memcpy(&buddy, data, need);
        listConvert(&buddy, &out->list);
    } else {
        memcpy(&out->list, data, need);
        for (int i = 0; i < out->count; ++i)
            out->list.entries[i].name[sizeof out->list.entries[i].name - 1] = '\0';
    }
    out->list.type = kUlsUserList;
    return need;
}

void parseChat(const uint8_t *data, std::size_t len, UlsReply *out)
{
    out->kind = UlsReplyKind::chat;
    // The sender's name: at most 15 characters, byte 19 ends it regardless.
    std::size_t nameLen = len > 4 ? boundedLength(data + 4, std::min<std::size_t>(len - 4, 15)) : 0;
    std::size_t textLen = len > 20 ? boundedLength(data + 20, len - 20) : 0;
    // Cut the text so that ": " and the final "\n" always fit.
    const std::size_t room = kUlsChatLineSize - 1 - nameLen - 3;
    textLen = std::min(textLen, room);
    char *p = out->chatLine;
    memcpy(p, data + 4, nameLen);
    p += nameLen;
    *p++ = ':';
    *p++ = ' ';
    if (textLen)
        memcpy(p, data + 20, textLen);
    p += textLen;
    *p++ = '\n';
    *p = '\0';
}

constexpr std::string_view kCommandWords[] = {
    {"refresh user\0", 13},
    {"refresh buddy\0", 14},
    {"quit!\0", 6},
};
constexpr UlsRequestKind kCommandKinds[] = {
    UlsRequestKind::refreshUser,
    UlsRequestKind::refreshBuddy,
    UlsRequestKind::quit,
};
constexpr std::string_view kMessageWord = "message";

} // namespace

void listConvert(const BuddyListReply *src, UserListReply *dst)
{
    dst->count = src->count;
    if (src->count < 0 || src->count > kUlsMaxListEntries)
        return;
    for (int i = 0; i < src->count; ++i) {
        dst->entries[i].addr = src->entries[i].addr;
        copyName(dst->entries[i].name, sizeof dst->entries[i].name, src->entries[i].name,
                 sizeof src->entries[i].name);
    }
}

UlsCommand buildUlsCommand(const char *word)
{
    UlsCommand cmd{};
    memcpy(cmd.data(), word, strnlen(word, kUlsCommandSize - 1));
    return cmd;
}

std::size_t buildUlsMessage(const char *text, uint8_t out[kUlsMessageRequestMax])
{
    memcpy(out, kMessageWord.data(), kMessageWord.size());
    std::size_t n = text ? strnlen(text, kUlsMaxChatText) : 0;
    memcpy(out + kMessageWord.size(), text, n);
    return kMessageWord.size() + n;
}

std::array<uint8_t, kSocksRequestSize> buildSocksRequest(uint16_t port, uint32_t addr, const char *userID)
{
    std::array<uint8_t, kSocksRequestSize> req{};
    req[0] = 4;
    req[1] = 1;
    req[2] = static_cast<uint8_t>(port >> 8);
    req[3] = static_cast<uint8_t>(port);
    memcpy(&req[4], &addr, 4);  // already in network order
    // The ID field is 33 bytes; at most 32 characters keep byte 40 a NUL.
    if (userID)
        memcpy(&req[8], userID, strnlen(userID, 32));
    return req;
}

int socksResultCode(const uint8_t *reply, std::size_t len)
{
    return len >= 2 ? static_cast<int8_t>(reply[1]) : 0;
}

std::size_t parseUlsReply(const uint8_t *data, std::size_t len, UlsReply *out)
{
    *out = UlsReply{};
    if (len < 4)
        return 0;
    out->type = readInt32LE(data);
    switch (out->type) {
    case kUlsUserList:
    case kUlsBuddyList:
        return parseList(data, len, out);
    case kUlsChat:
        parseChat(data, len, out);
        return len;
    case kUlsBroadcastConnected:
        out->kind = UlsReplyKind::broadcastConnected;
        return 4;
    default:
        out->kind = UlsReplyKind::ignored;
        return len;
    }
}

std::vector<UlsReply> parseUlsReplies(const uint8_t *data, std::size_t len, std::size_t maxReplies)
{
    std::vector<UlsReply> replies;
    std::size_t pos = 0;
    while (replies.size() < maxReplies) {
        UlsReply reply;
        std::size_t used = parseUlsReply(data + pos, len - pos, &reply);
        if (used == 0)
            break;
        pos += used;
        replies.push_back(reply);
    }
    return replies;
}

std::size_t ulsReplyNeeds(const uint8_t *data, std::size_t len)
{
    if (len < 4)
        return 0;
    const int32_t type = readInt32LE(data);
    if (type == kUlsBroadcastConnected)
        return 4;
    if (type != kUlsUserList && type != kUlsBuddyList)
        return SIZE_MAX;
    if (len < 8)
        return 0;
    const int32_t count = readInt32LE(data + 4);
    if (count < 0 || count > kUlsMaxListEntries)
        return SIZE_MAX;
    const std::size_t entrySize = type == kUlsBuddyList ? sizeof(BuddyEntry) : sizeof(UserEntry);
    return 12 + entrySize * static_cast<std::size_t>(count);
}

void UlsReplyAssembler::feed(const uint8_t *data, std::size_t len, std::vector<UlsReply> &out)
{
    held_.insert(held_.end(), data, data + len);
    std::size_t pos = 0;
    while (pos < held_.size()) {
        const std::size_t need = ulsReplyNeeds(held_.data() + pos, held_.size() - pos);
        if (need == 0 || (need != SIZE_MAX && need > held_.size() - pos))
            break; // wait for the rest
        UlsReply reply;
        const std::size_t used = parseUlsReply(held_.data() + pos, held_.size() - pos, &reply);
        if (used == 0)
            break;
        pos += used;
        out.push_back(reply);
    }
    held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(pos));
    // No reply is longer than a drain: what exceeds that can't become whole.
    if (held_.size() > kMaxHeld)
        flush(out);
}

void UlsReplyAssembler::flush(std::vector<UlsReply> &out)
{
    std::size_t pos = 0;
    while (pos < held_.size()) {
        UlsReply reply;
        const std::size_t used = parseUlsReply(held_.data() + pos, held_.size() - pos, &reply);
        if (used == 0) {
            // Fewer than 4 bytes: nothing a reply can be made of.
            break;
        }
        pos += used;
        out.push_back(reply);
    }
    held_.clear();
}

void UlsRequestSplitter::feed(const uint8_t *data, std::size_t len, std::vector<UlsRequest> &out)
{
    std::string bytes = std::move(partial_);
    partial_.clear();
    bytes.append(reinterpret_cast<const char *>(data), len);
    std::string_view rest(bytes);

    while (!rest.empty()) {
        // Zero padding of the 16-byte commands, wherever it got split.
        if (rest.front() == '\0') {
            rest.remove_prefix(1);
            continue;
        }
        if (rest.starts_with(kMessageWord)) {
            rest.remove_prefix(kMessageWord.size());
            std::size_t end = std::min(rest.find('\0'), rest.size());
            out.push_back({UlsRequestKind::message, std::string(rest.substr(0, std::min(end, kUlsMaxChatText))), 0});
            rest.remove_prefix(end);
            continue;
        }
        bool matched = false;
        bool couldGrow = kMessageWord.starts_with(rest);
        for (std::size_t i = 0; i < std::size(kCommandWords); ++i) {
            if (rest.starts_with(kCommandWords[i])) {
                out.push_back({kCommandKinds[i], {}, 0});
                rest.remove_prefix(kCommandWords[i].size());
                matched = true;
                break;
            }
            couldGrow = couldGrow || kCommandWords[i].starts_with(rest);
        }
        if (matched)
            continue;
        if (couldGrow) {
            // The start of a request whose remainder hasn't arrived yet.
            partial_.assign(rest);
            return;
        }
        // Nothing this protocol sends: drop what arrived.
        out.push_back({UlsRequestKind::junk, {}, rest.size()});
        return;
    }
}
