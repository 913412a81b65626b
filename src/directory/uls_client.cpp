#include "directory/uls_client.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/ui_ops.h"
#include "directory/uls_protocol.h"

int ULSsock = -1;
int serverConnected = 0;

namespace {

// Bumped whenever the connection is made or dropped, so a watch callback can
// tell that the connection it was called for went away while it ran.
unsigned ulsGeneration = 0;

constexpr const char *kConnectionTitle = "ULS Server Connection";
// Connecting and the proxy handshake run on the GUI thread: bound them.
constexpr int kHandshakeTimeoutSeconds = 10;

void closeUlsSocket()
{
    if (ULSsock >= 0)
        close(ULSsock);
    ULSsock = -1;
    ++ulsGeneration;
}

void setSocketTimeouts(int fd, int seconds)
{
    timeval tv{};
    tv.tv_sec = seconds;
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

const char *dotted(uint32_t addr)
{
    in_addr a{};
    a.s_addr = addr;
    return inet_ntoa(a);
}

void sendRequest(const void *bytes, std::size_t len)
{
    if (ULSsock < 0)
        return;
    // Errors of send are not reported: a lost request is simply lost. A
    // closed peer must not raise SIGPIPE.
    (void)send(ULSsock, bytes, len, MSG_NOSIGNAL);
}

// The proxy's reply is 8 bytes; take all of them so none is later mistaken
// for the directory server's first reply.
int socksHandshake(uint32_t serverAddr)
{
    char userID[sizeof proxyInfo.userID + 1] = {};
    memcpy(userID, proxyInfo.userID, sizeof proxyInfo.userID);
    auto req = buildSocksRequest(static_cast<uint16_t>(serverPort), serverAddr, userID);
    sendRequest(req.data(), req.size());

    uint8_t reply[kSocksReplySize] = {};
    std::size_t got = 0;
    while (got < sizeof reply) {
        ssize_t n = read(ULSsock, reply + got, sizeof reply - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    int code = socksResultCode(reply, got);
    if (code != kSocksGranted) {
        printf("Proxy Server: Request rejected or failed! CD = %d\n", code);
        closeUlsSocket();
        return 0;
    }
    return 1;
}

int connectAndRegister(const void *record, uint32_t serverAddr)
{
    ULSsock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (ULSsock < 0) {
        perror("ULSclient open");
        return 0;
    }
    setSocketTimeouts(ULSsock, kHandshakeTimeoutSeconds);

    const bool viaProxy = proxyInfo.enable != 0;
    uint32_t addr = serverAddr;
    int port = serverPort;
    if (viaProxy) {
        char server[sizeof proxyInfo.server + 1] = {};
        memcpy(server, proxyInfo.server, sizeof proxyInfo.server);
        addr = GetAddr(server);
        port = proxyInfo.port;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = addr;
    to.sin_port = htons(static_cast<uint16_t>(port));
    int rc = -1;
    if (port < 0 || port > 65535)
        errno = EINVAL;
    else
        rc = connect(ULSsock, reinterpret_cast<const sockaddr *>(&to), sizeof to);
    if (rc != 0) {
        perror("ULSclient connect");
        closeUlsSocket();
        return 0;
    }
    if (viaProxy && !socksHandshake(serverAddr))
        return 0;

    sendRequest(record, kUlsRegistrationSize);
    return 1;
}

} // namespace

int ulsClient(const void *data, uint32_t serverAddr, int mode)
{
    switch (mode) {
    case 0:
        return connectAndRegister(data, serverAddr);
    case 1: {
        auto cmd = buildUlsCommand("refresh user");
        sendRequest(cmd.data(), cmd.size());
        return 1;
    }
    case 2: {
        auto cmd = buildUlsCommand("refresh buddy");
        sendRequest(cmd.data(), cmd.size());
        return 1;
    }
    case 3: {
        uint8_t req[kUlsMessageRequestMax];
        std::size_t n = buildUlsMessage(static_cast<const char *>(data), req);
        sendRequest(req, n);
        return 1;
    }
    case 4: {
        auto cmd = buildUlsCommand("quit!");
        sendRequest(cmd.data(), cmd.size());
        closeUlsSocket();
        return 1;
    }
    default:
        return 1;
    }
}

void serverConnection(const char *text, int mode, const char *profilePath)
{
    if (mode == 0) {
        // Already registered: the server list doesn't offer a second server.
        if (serverConnected)
            return;
        uint32_t addr = GetAddr(text);
        if (addr == 0) {
            printf("Not a valid IP\n");
            return;
        }
        if (!loadUserInfo(&localInfo, false, profilePath)) {
            printf("Can't find %s file\n", profilePath);
            return;
        }
        printf("Buddy list: %s\n", localInfo.buddyList);
        printf("Local Ip address: %s\n", dotted(localInfo.ipAddr));
        printf("Connecting UL Server: %s\n", dotted(addr));
        if (ulsClient(&localInfo, addr, 0)) {
            serverConnected = 1;
            ++ulsGeneration;
        } else {
            printf("Connection failed\n");
        }
        return;
    }
    if (!serverConnected || mode < 1 || mode > 4)
        return;
    if (mode == 4) {
        ulsClient(&localInfo, 0, 4);
        serverConnected = 0;
    } else {
        ulsClient(text, 0, mode);
    }
}

int readUlsData(int fd, void *buf, std::size_t cap, bool *peerClosed)
{
    using Clock = std::chrono::steady_clock;
    if (peerClosed)
        *peerClosed = false;
    auto *out = static_cast<uint8_t *>(buf);
    // One 100 ms budget for the whole drain, not per wait.
    const auto deadline = Clock::now() + std::chrono::milliseconds(100);
    std::size_t total = 0;
    while (total < cap) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            printf("Read from USL: select failed!\n");
            return 0;
        }
        if (r == 0)
            return static_cast<int>(total);
        if (p.revents & POLLNVAL) {
            if (peerClosed)
                *peerClosed = true;
            return static_cast<int>(total);
        }
        // Readable with nothing pending: the server closed the connection.
        int pending = 0;
        if (ioctl(fd, FIONREAD, &pending) < 0 || pending <= 0) {
            if (peerClosed)
                *peerClosed = true;
            return static_cast<int>(total);
        }
        std::size_t want = std::min(static_cast<std::size_t>(pending), cap - total);
        ssize_t n = read(fd, out + total, want);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0) {
            if (peerClosed)
                *peerClosed = true;
            return static_cast<int>(total);
        }
        total += static_cast<std::size_t>(n);
    }
    return static_cast<int>(total);
}

int readUlsData(int fd, void *buf)
{
    return readUlsData(fd, buf, kUlsDrainSize, nullptr);
}

void handleUlsReply(const uint8_t *data, std::size_t len)
{
    for (const UlsReply &r : parseUlsReplies(data, len)) {
        switch (r.kind) {
        case UlsReplyKind::userList:
        case UlsReplyKind::buddyList: {
            const bool users = r.kind == UlsReplyKind::userList;
            if (r.hasCount)
                printf(users ? "Total online user = %d\n" : "Total online buddies = %d\n", r.count);
            if (r.hasCount && r.count == 0)
                messageBox(kConnectionTitle, users ? "No user online" : "No buddy online");
            else if (!r.valid)
                messageBox(kConnectionTitle, "Data error! Try again");
            else if (kvUiOps().listReceived)
                kvUiOps().listReceived(users ? "Online Users" : "Online Buddies", &r.list);
            break;
        }
        case UlsReplyKind::chat:
            if (kvUiOps().chatLineReceived)
                kvUiOps().chatLineReceived(r.chatLine);
            break;
        case UlsReplyKind::broadcastConnected:
            printf("Broadcast server connected!\n");
            break;
        case UlsReplyKind::ignored:
            break;
        }
    }
}

int ulsSockCallback(int source)
{
    uint8_t buf[kUlsDrainSize];
    bool closed = false;
    int n = readUlsData(source, buf, sizeof buf, &closed);
    printf("Received %d bytes\n", n);

    const unsigned generation = ulsGeneration;
    if (n >= 4)
        handleUlsReply(buf, static_cast<std::size_t>(n));
    // A list dialog runs its own loop: the user may have disconnected meanwhile.
    const bool stillOurs = generation == ulsGeneration && serverConnected && ULSsock == source;
    if (!stillOurs)
        return 0;
    if (closed) {
        // Without this the watch would fire forever on the dead socket.
        closeUlsSocket();
        serverConnected = 0;
        printf("UL Server closed the connection\n");
        messageBox(kConnectionTitle, "The connection to the directory server was lost");
        return 0;
    }
    return 1;
}
