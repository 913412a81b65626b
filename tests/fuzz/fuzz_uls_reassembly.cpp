// Arbitrary bytes arriving in arbitrary pieces at the directory reply
// assembler: whole replies come out bounded, nothing is held past the bound,
// and what comes out does not depend on where the stream was cut.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "directory/uls_protocol.h"

namespace {

void check(const std::vector<UlsReply> &replies)
{
    for (const UlsReply &r : replies) {
        if (r.valid && (r.list.count < 1 || r.list.count > kUlsMaxListEntries))
            abort();
        if (r.kind == UlsReplyKind::chat && r.chatLine[kUlsChatLineSize - 1] != '\0')
            abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // The first byte sets the piece size; the rest is the stream.
    const size_t piece = 1 + data[0] % 97;
    const uint8_t *stream = data + 1;
    const size_t len = size - 1;

    UlsReplyAssembler split;
    std::vector<UlsReply> pieces;
    for (size_t at = 0; at < len; at += piece) {
        const size_t n = len - at < piece ? len - at : piece;
        // An exact-size copy, so reading past a piece is caught.
        std::vector<uint8_t> copy(stream + at, stream + at + n);
        split.feed(copy.data(), copy.size(), pieces);
    }
    split.flush(pieces);
    check(pieces);

    // A list that arrives whole in one read also comes out whole when cut up.
    UlsReplyAssembler whole;
    std::vector<UlsReply> once;
    whole.feed(stream, len, once);
    whole.flush(once);
    size_t lists = 0, listsOnce = 0;
    for (const UlsReply &r : pieces)
        lists += r.valid;
    for (const UlsReply &r : once)
        listsOnce += r.valid;
    if (len <= UlsReplyAssembler::kMaxHeld && lists < listsOnce)
        abort();
    return 0;
}
