#include "directory/address.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

uint32_t lookupHost(const char *name)
{
    // The reentrant lookup: the receiving thread may resolve while the GUI
    // thread does too.
    std::vector<char> buf(1024);
    hostent entry{};
    hostent *found = nullptr;
    int herr = 0;
    for (;;) {
        int rc = gethostbyname_r(name, &entry, buf.data(), buf.size(), &found, &herr);
        if (rc == ERANGE && buf.size() < 65536) {
            buf.resize(buf.size() * 2);
            continue;
        }
        break;
    }
    if (!found || found->h_addrtype != AF_INET || found->h_length != 4 || !found->h_addr_list ||
        !found->h_addr_list[0])
        return 0;
    uint32_t addr;
    memcpy(&addr, found->h_addr_list[0], sizeof addr);
    return addr;
}

} // namespace

uint32_t GetAddr(const char *name)
{
    if (!name || name[0] == '\0')
        return 0;
    in_addr_t addr = inet_addr(name);
    if (addr != INADDR_NONE)
        return addr;
    // inet_addr can't tell the broadcast address from failure.
    if (strcmp(name, "255.255.255.255") == 0)
        return 0xFFFFFFFFu;
    return lookupHost(name);
}

uint32_t GetLocalAddr()
{
    char host[64];
    if (gethostname(host, sizeof host) == 0) {
        host[sizeof host - 1] = '\0';
        uint32_t addr = lookupHost(host);
        if (addr != 0)
            return addr;
    }
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return 0;
    // Connecting a UDP socket sends nothing; it only picks the source address.
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(7);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    uint32_t addr = 0;
    if (connect(s, reinterpret_cast<const sockaddr *>(&to), sizeof to) == 0) {
        sockaddr_in me{};
        socklen_t len = sizeof me;
        if (getsockname(s, reinterpret_cast<sockaddr *>(&me), &len) == 0)
            addr = me.sin_addr.s_addr;
    }
    close(s);
    return addr;
}
