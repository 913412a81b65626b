// Guards against any request stream from a registered client, cut anywhere, driving the server's splitter out of bounds.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "directory/uls_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // The first byte picks the read size, as a socket might split the stream.
    const std::size_t chunk = 1 + data[0] % 64;
    ++data;
    --size;

    UlsRequestSplitter splitter;
    std::vector<UlsRequest> out;
    for (std::size_t pos = 0; pos < size; pos += chunk) {
        std::size_t n = size - pos < chunk ? size - pos : chunk;
        // An exact-size copy, so reading past a read's bytes is caught.
        std::vector<uint8_t> read(data + pos, data + pos + n);
        splitter.feed(read.data(), read.size(), out);
        if (splitter.pending() >= kUlsCommandSize)
            abort();
    }
    for (const UlsRequest &r : out) {
        if (r.kind == UlsRequestKind::message && r.text.size() > kUlsMaxChatText)
            abort();
        if (r.kind == UlsRequestKind::junk && r.junkBytes == 0)
            abort();
    }
    return 0;
}
