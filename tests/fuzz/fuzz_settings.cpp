// Guards against any userinfo.dat, proxy.inf or typed host entry leaving a settings field unterminated or out of range.
#include "directory/settings.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

char g_scratch[] = "/tmp/kv_fuzz_settings_XXXXXX";

std::string scratchFile()
{
    int fd = mkstemp(g_scratch);
    if (fd < 0)
        abort();
    close(fd);
    atexit([] { unlink(g_scratch); });
    return g_scratch;
}

void requireTerminated(const char *field, std::size_t width)
{
    if (strnlen(field, width) >= width)
        abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string path = scratchFile();
    FILE *out = fopen(path.c_str(), "wb");
    if (!out)
        abort();
    fwrite(data, 1, size, out);
    fclose(out);

    for (bool dialogRules : {false, true}) {
        FILE *in = fopen(path.c_str(), "rb");
        if (!in)
            abort();
        UserProfile p;
        memset(&p, 0xA5, sizeof p);
        readUserInfo(in, &p, dialogRules);
        fclose(in);
        requireTerminated(p.name, sizeof p.name);
        requireTerminated(p.email, sizeof p.email);
        requireTerminated(p.buddyList, sizeof p.buddyList);
        if (p.visible != 0 && p.visible != 1)
            abort();
    }
    checkLocalInfo(path.c_str());

    ProxySettings proxy;
    memset(&proxy, 0xA5, sizeof proxy);
    char portText[kProxyPortTextSize];
    if (loadProxyInfo(&proxy, portText, path.c_str()) != 1)
        abort();
    requireTerminated(proxy.server, sizeof proxy.server);
    requireTerminated(proxy.userID, sizeof proxy.userID);
    requireTerminated(portText, sizeof portText);
    if (proxy.port != textToInt(portText))
        abort();

    // The same bytes as a host-list entry.
    std::string entry(reinterpret_cast<const char *>(data), size);
    entry.resize(strnlen(entry.c_str(), entry.size()));
    const char *addr = trimHostString(entry.data());
    if (addr && (addr < entry.data() || addr > entry.data() + entry.size()))
        abort();
    isEmailAddr(entry.c_str());
    return 0;
}
