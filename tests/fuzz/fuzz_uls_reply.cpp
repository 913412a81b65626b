// Guards against any drain of the directory socket being dispatched out of bounds or shown as a malformed list or chat line.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/ui_ops.h"
#include "directory/uls_client.h"
#include "directory/uls_protocol.h"

namespace {

void checkList(const char *, const std::vector<std::string> &entries)
{
    if (entries.empty() || entries.size() > kUlsMaxListEntries)
        abort();
    // "name address": a name of at most 15 characters, a blank, a dotted address.
    for (const std::string &e : entries)
        if (e.size() > 15 + 1 + 15 || e.find(' ') == std::string::npos)
            abort();
}

void checkUserList(const UserListReply *list)
{
    if (list->count < 1 || list->count > kUlsMaxListEntries)
        abort();
    for (int i = 0; i < list->count; ++i)
        if (strnlen(list->entries[i].name, sizeof list->entries[i].name) >= sizeof list->entries[i].name)
            abort();
}

void checkLine(const char *line)
{
    std::size_t n = strnlen(line, kUlsChatLineSize);
    if (n == 0 || n >= kUlsChatLineSize || line[n - 1] != '\n')
        abort();
}

void ignoreMessage(const char *, const char *) {}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The dispatcher prints a line per reply; keep the fuzzer's output readable.
    if (!freopen("/dev/null", "w", stdout))
        abort();
    KvUiOps ops{};
    ops.messageBox = ignoreMessage;
    ops.listReceived = checkList;
    ops.chatLineReceived = checkLine;
    kvSetUiOps(ops);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > kUlsDrainSize)
        size = kUlsDrainSize;
    // An exact-size copy, so reading past the drain is caught.
    auto *drain = static_cast<uint8_t *>(malloc(size ? size : 1));
    memcpy(drain, data, size);

    for (const UlsReply &r : parseUlsReplies(drain, size, 64)) {
        if (r.valid && (r.count < 1 || r.count > kUlsMaxListEntries))
            abort();
        if (r.kind == UlsReplyKind::chat)
            checkLine(r.chatLine);
    }
    handleUlsReply(drain, size);

    if (size >= sizeof(BuddyListReply)) {
        BuddyListReply buddies;
        memcpy(&buddies, drain, sizeof buddies);
        UserListReply users{};
        listConvert(&buddies, &users);
        if (buddies.count >= 1 && buddies.count <= kUlsMaxListEntries)
            checkUserList(&users);
    }
    free(drain);
    return 0;
}
