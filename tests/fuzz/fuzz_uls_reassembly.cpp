// Guards against directory replies cut into any pieces coming out unbounded, or yielding fewer whole lists than read at once.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "directory/uls_protocol.h"

namespace {

size_t validLists(const std::vector<UlsReply> &replies)
{
    size_t n = 0;
    for (const UlsReply &r : replies)
        if ((n += r.valid) && r.valid && (r.list.count < 1 || r.list.count > kUlsMaxListEntries))
            abort();
    return n;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const size_t piece = 1 + data[0] % 97; // the first byte sets the piece size
    UlsReplyAssembler split, whole;
    std::vector<UlsReply> pieces, once;
    for (size_t at = 1; at < size; at += piece) {
        std::vector<uint8_t> copy(data + at, data + std::min(size, at + piece));
        split.feed(copy.data(), copy.size(), pieces);
    }
    split.flush(pieces);
    whole.feed(data + 1, size - 1, once);
    whole.flush(once);
    if (size - 1 <= UlsReplyAssembler::kMaxHeld && validLists(pieces) < validLists(once))
        abort();
    return 0;
}
