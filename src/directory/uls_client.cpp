#include "directory/uls_client.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/ui_ops.h"
#include "directory/address.h"
#include "core/util.h"
#include "directory/uls_protocol.h"

int ULSsock = -1;
std::atomic<int> serverConnected{0};

namespace {

// Bumped whenever the connection is made or dropped, so a watch callback can
// tell that the connection it was called for went away while it ran.
unsigned ulsGeneration = 0;
unsigned tagUlsInput = 0;   // the socket watch
unsigned partialTimer = 0;  // checks a partial reply while one waits
UlsReplyAssembler assembler;
long long partialSinceMs = 0;

constexpr const char *kConnectionTitle = "ULS Server Connection";
// The connect and the proxy handshake give up after this long.
constexpr int kHandshakeTimeoutMs = 10000;
// How often a blocked connect looks at the shut-down request.
constexpr int kWaitSliceMs = 100;

long long monotonicMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void removeSources()
{
    const KvUiOps &ops = kvUiOps();
    if (tagUlsInput && ops.removeSource)
        ops.removeSource(tagUlsInput);
    if (partialTimer && ops.removeSource)
        ops.removeSource(partialTimer);
    tagUlsInput = partialTimer = 0;
}

void closeUlsSocket()
{
    removeSources();
    assembler.clear();
    if (ULSsock >= 0)
        close(ULSsock);
    ULSsock = -1;
    ++ulsGeneration;
}

// Waits until fd is ready for events, the deadline passes (ETIMEDOUT) or
// shut-down begins (ECANCELED). True when ready.
bool waitReady(int fd, short events, long long deadlineMs)
{
    for (;;) {
        if (kvShuttingDown()) {
            errno = ECANCELED;
            return false;
        }
        const long long left = deadlineMs - monotonicMs();
        if (left <= 0) {
            errno = ETIMEDOUT;
            return false;
        }
        pollfd p{fd, events, 0};
        const int r = poll(&p, 1, static_cast<int>(std::min<long long>(left, kWaitSliceMs)));
        if (r > 0)
            return true;
        if (r < 0 && errno != EINTR)
            return false;
    }
}

// connect() that gives up at the deadline or at shut-down.
int connectBounded(int fd, const sockaddr_in &to, long long deadlineMs)
{
    const int flags = fcntl(fd, F_GETFL, 0);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int rc = connect(fd, reinterpret_cast<const sockaddr *>(&to), sizeof to);
    if (rc != 0 && errno == EINPROGRESS) {
        rc = -1;
        if (waitReady(fd, POLLOUT, deadlineMs)) {
            int err = 0;
            socklen_t len = sizeof err;
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
            errno = err;
            rc = err == 0 ? 0 : -1;
        }
    }
    const int saved = errno;
    fcntl(fd, F_SETFL, flags);
    errno = saved;
    return rc;
}

const char *dotted(uint32_t addr)
{
    in_addr a{};
    a.s_addr = addr;
    return inet_ntoa(a);
}

void sendOn(int fd, const void *bytes, std::size_t len)
{
    if (fd < 0)
        return;
    // Errors of send are not reported: a lost request is simply lost. A
    // closed peer must not raise SIGPIPE.
    (void)send(fd, bytes, len, MSG_NOSIGNAL);
}

void sendRequest(const void *bytes, std::size_t len)
{
    sendOn(ULSsock, bytes, len);
}

// The proxy's reply is 8 bytes; take all of them so none is later mistaken
// for the directory server's first reply.
bool socksHandshake(int fd, const UlsConnectJob &job, uint32_t serverAddr, long long deadlineMs)
{
    char userID[sizeof job.proxy.userID + 1] = {};
    memcpy(userID, job.proxy.userID, sizeof job.proxy.userID);
    auto req = buildSocksRequest(static_cast<uint16_t>(job.port), serverAddr, userID);
    sendOn(fd, req.data(), req.size());

    uint8_t reply[kSocksReplySize] = {};
    std::size_t got = 0;
    while (got < sizeof reply && waitReady(fd, POLLIN, deadlineMs)) {
        ssize_t n = read(fd, reply + got, sizeof reply - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    int code = socksResultCode(reply, got);
    if (code != kSocksGranted) {
        printf("Proxy Server: Request rejected or failed! CD = %d\n", code);
        return false;
    }
    return true;
}

int connectAndRegister(UlsConnectJob &job, const void *record, uint32_t serverAddr)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        perror("ULSclient open");
        return -1;
    }
    const long long deadline = monotonicMs() + kHandshakeTimeoutMs;

    const bool viaProxy = job.proxy.enable != 0;
    uint32_t addr = serverAddr;
    int port = job.port;
    if (viaProxy) {
        char server[sizeof job.proxy.server + 1] = {};
        memcpy(server, job.proxy.server, sizeof job.proxy.server);
        addr = GetAddr(server);
        port = job.proxy.port;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = addr;
    to.sin_port = htons(static_cast<uint16_t>(port));
    int rc = -1;
    if (port < 0 || port > 65535)
        errno = EINVAL;
    else
        rc = connectBounded(fd, to, deadline);
    if (rc != 0) {
        perror("ULSclient connect");
        close(fd);
        return -1;
    }
    if (viaProxy && !socksHandshake(fd, job, serverAddr, deadline)) {
        close(fd);
        return -1;
    }
    sendOn(fd, record, kUlsRegistrationSize);
    return fd;
}

} // namespace

int ulsClient(const void *data, uint32_t serverAddr, UlsMode mode)
{
    switch (mode) {
    case kUlsConnect: {
        UlsConnectJob job;
        job.port = serverPort;
        job.proxy = proxyInfo;
        closeUlsSocket();
        ULSsock = connectAndRegister(job, data, serverAddr);
        return ULSsock >= 0 ? 1 : 0;
    }
    case kUlsRefreshUser: {
        auto cmd = buildUlsCommand("refresh user");
        sendRequest(cmd.data(), cmd.size());
        return 1;
    }
    case kUlsRefreshBuddy: {
        auto cmd = buildUlsCommand("refresh buddy");
        sendRequest(cmd.data(), cmd.size());
        return 1;
    }
    case kUlsMessage: {
        uint8_t req[kUlsMessageRequestMax];
        std::size_t n = buildUlsMessage(static_cast<const char *>(data), req);
        sendRequest(req, n);
        return 1;
    }
    case kUlsQuit: {
        auto cmd = buildUlsCommand("quit!");
        sendRequest(cmd.data(), cmd.size());
        closeUlsSocket();
        return 1;
    }
    default:
        return 1;
    }
}

bool ulsConnectBlocking(UlsConnectJob &job)
{
    const uint32_t addr = GetAddr(job.serverText.c_str());
    if (addr == 0) {
        printf("Not a valid IP\n");
        return false;
    }
    job.addressValid = true;
    if (!loadUserInfo(&job.profile, false, job.profilePath.c_str())) {
        printf("Can't find %s file\n", job.profilePath.c_str());
        return false;
    }
    printf("Buddy list: %s\n", job.profile.buddyList);
    printf("Local Ip address: %s\n", dotted(job.profile.ipAddr));
    printf("Connecting UL Server: %s\n", dotted(addr));
    job.sock = connectAndRegister(job, &job.profile, addr);
    if (job.sock < 0) {
        printf("Connection failed\n");
        return false;
    }
    return true;
}

namespace {

int onUlsInput(void *)
{
    if (ulsSockCallback(ULSsock))
        return 1;
    // The connection is gone: this watch ends with it.
    tagUlsInput = 0;
    return 0;
}

int onPartialTimer(void *)
{
    ulsExpirePartial(monotonicMs());
    if (assembler.holding())
        return 1;
    partialTimer = 0;
    return 0;
}

} // namespace

void ulsAdoptConnection(UlsConnectJob &job)
{
    if (job.sock < 0)
        return;
    closeUlsSocket();
    ULSsock = job.sock;
    job.sock = -1;
    localInfo = job.profile;
    serverConnected = 1;
    ++ulsGeneration;
    if (kvUiOps().addSocketWatch)
        tagUlsInput = kvUiOps().addSocketWatch(ULSsock, onUlsInput, nullptr);
}

void serverConnection(const char *text, UlsMode mode, const char *profilePath)
{
    if (mode == kUlsConnect) {
        // Already registered: the server list doesn't offer a second server.
        if (serverConnected)
            return;
        UlsConnectJob job;
        job.serverText = text ? text : "";
        job.port = serverPort;
        job.proxy = proxyInfo;
        job.profilePath = profilePath;
        if (ulsConnectBlocking(job))
            ulsAdoptConnection(job);
        return;
    }
    if (!serverConnected || mode < kUlsRefreshUser || mode > kUlsQuit)
        return;
    if (mode == kUlsQuit) {
        ulsClient(&localInfo, 0, kUlsQuit);
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

void showUlsReply(const UlsReply &r)
{
    switch (r.kind) {
    case UlsReplyKind::userList:
    case UlsReplyKind::buddyList: {
        const bool users = r.kind == UlsReplyKind::userList;
        if (r.hasCount)
            printf(users ? "Total online user = %d\n" : "Total online buddies = %d\n", r.count);
        if (r.hasCount && r.count == 0) {
            messageBox(kConnectionTitle, users ? "No user online" : "No buddy online");
        } else if (!r.valid) {
            messageBox(kConnectionTitle, "Data error! Try again");
        } else if (kvUiOps().listReceived) {
            std::vector<std::string> entries;
            for (int i = 0; i < r.list.count && i < kUlsMaxListEntries; ++i) {
                const UserEntry &e = r.list.entries[i];
                entries.push_back(std::string(e.name, strnlen(e.name, sizeof e.name)) + " " + dotted(e.addr));
            }
            kvUiOps().listReceived(users ? "Online Users" : "Online Buddies", entries);
        }
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

void handleUlsReply(const uint8_t *data, std::size_t len)
{
    for (const UlsReply &r : parseUlsReplies(data, len))
        showUlsReply(r);
}

namespace {

// Replies of one kind in the current one-second window.
struct ReplyRate {
    long long windowStartMs = 0;
    int count = 0;
};
ReplyRate replyRates[5];

bool admitReply(const UlsReply &r, long long nowMs)
{
    if (r.kind == UlsReplyKind::ignored)
        return true;
    ReplyRate &rate = replyRates[static_cast<int>(r.kind)];
    if (nowMs - rate.windowStartMs >= 1000) {
        rate.windowStartMs = nowMs;
        rate.count = 0;
    }
    if (++rate.count <= kUlsRepliesPerSecond)
        return true;
    printf("UL Server reply of type %d dropped: more than %d in one second\n", r.type, kUlsRepliesPerSecond);
    return false;
}

void showAdmitted(const std::vector<UlsReply> &replies)
{
    const long long now = monotonicMs();
    for (const UlsReply &r : replies)
        if (admitReply(r, now))
            showUlsReply(r);
}

} // namespace

void ulsExpirePartial(long long nowMs)
{
    if (!assembler.holding() || nowMs - partialSinceMs < kUlsPartialWaitMs)
        return;
    std::vector<UlsReply> replies;
    assembler.flush(replies);
    showAdmitted(replies);
}

int ulsSockCallback(int source)
{
    uint8_t buf[kUlsDrainSize];
    bool closed = false;
    int n = readUlsData(source, buf, sizeof buf, &closed);
    printf("Received %d bytes\n", n);

    const unsigned generation = ulsGeneration;
    const bool wasHolding = assembler.holding();
    std::vector<UlsReply> replies;
    if (n > 0)
        assembler.feed(buf, static_cast<std::size_t>(n), replies);
    if (assembler.holding() && !wasHolding) {
        partialSinceMs = monotonicMs();
        if (!partialTimer && kvUiOps().addTimer)
            partialTimer = kvUiOps().addTimer(kUlsPartialWaitMs / 4, onPartialTimer, nullptr);
    }
    showAdmitted(replies);
    const bool stillOurs = generation == ulsGeneration && serverConnected && ULSsock == source;
    if (!stillOurs)
        return 0;
    if (closed) {
        // Without this the watch would fire forever on the dead socket.
        tagUlsInput = 0; // ends with this call's result
        closeUlsSocket();
        serverConnected = 0;
        printf("UL Server closed the connection\n");
        messageBox(kConnectionTitle, "The connection to the directory server was lost");
        kvNotifyStatus();
        return 0;
    }
    return 1;
}
