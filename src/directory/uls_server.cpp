#include "directory/uls_server.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <list>
#include <map>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "directory/uls_protocol.h"

namespace {

using Clock = std::chrono::steady_clock;

// epoll tags below this are the server's own descriptors.
constexpr uint64_t kTagListen = 1;
constexpr uint64_t kTagBroadcastListen = 2;
constexpr uint64_t kTagWake = 3;
constexpr uint64_t kFirstClientTag = 16;

constexpr std::size_t kReadChunk = 4096;
// Descriptors the server keeps for itself: standard streams, epoll, eventfd,
// two listeners, the spare, and a few for the C library and the log.
constexpr std::size_t kReservedDescriptors = 16;
constexpr int kAcceptsPerWakeup = 64;

// A SOCKS 4 proxy takes the client's fixed 44-byte request only up to the NUL
// after the user ID and passes the rest on as data: 4 (a 31-character ID) to
// 35 (an empty one) zero bytes arrive ahead of the registration record.
constexpr std::size_t kMinSocksPadding = 4;
constexpr std::size_t kMaxSocksPadding = 35;

// How many leading bytes of a connection hold its registration, judged from
// the first n of them; *start is where the record begins. Zero bytes are
// padding when what follows them reads as a record's start: an address, a
// visibility flag of 0 or 1 and a name. A record of its own starts with zeros
// only for the address 0.0.0.0, and read from its first non-zero byte it
// shows no such flag, or no name after one.
std::size_t registrationLength(const uint8_t *b, std::size_t n, std::size_t *start)
{
    *start = 0;
    std::size_t zeros = 0;
    while (zeros < n && b[zeros] == 0)
        ++zeros;
    if (zeros == n && n <= kMaxSocksPadding)
        return kMaxSocksPadding + 1;
    if (zeros >= kMinSocksPadding && zeros <= kMaxSocksPadding) {
        if (n < zeros + 9)
            return zeros + 9;
        const uint8_t *flag = b + zeros + 4;
        const uint8_t *name = flag + 4;
        const bool isFlag = flag[0] <= 1 && flag[1] == 0 && flag[2] == 0 && flag[3] == 0;
        if (isFlag && name[0] != 0) {
            *start = zeros;
            return zeros + kUlsRegistrationSize;
        }
    }
    return kUlsRegistrationSize;
}

void putInt32LE(std::string &out, int32_t v)
{
    const auto u = static_cast<uint32_t>(v);
    const char b[4] = {static_cast<char>(u), static_cast<char>(u >> 8), static_cast<char>(u >> 16),
                       static_cast<char>(u >> 24)};
    out.append(b, 4);
}

void putField(std::string &out, const std::string &text, std::size_t width)
{
    std::string field(width, '\0');
    memcpy(field.data(), text.data(), std::min(text.size(), width - 1));
    out += field;
}

// Names come from the network: show them without control bytes.
std::string printable(const std::string &s)
{
    std::string out;
    for (unsigned char c : s) {
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            out.push_back(static_cast<char>(c));
        } else {
            char esc[8];
            snprintf(esc, sizeof esc, "\\x%02X", c);
            out += esc;
        }
    }
    return out;
}

std::string dotted(uint32_t addr)
{
    char buf[INET_ADDRSTRLEN] = "?";
    in_addr a{};
    a.s_addr = addr;
    inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

// The address a client registers is what its host thinks it is; a loopback
// or empty one is useless to others, so the connection's source stands in.
bool usableAddress(uint32_t netAddr)
{
    const uint32_t a = ntohl(netAddr);
    return a != 0 && a != 0xFFFFFFFFu && (a >> 24) != 127;
}

std::vector<std::string> splitBuddies(const char *list)
{
    std::vector<std::string> names;
    const char *p = list;
    while (*p) {
        const char *end = strchr(p, '\n');
        std::size_t len = end ? static_cast<std::size_t>(end - p) : strlen(p);
        std::string name(p, len);
        // A profile saved on another system may carry "\r" or blanks.
        while (!name.empty() && (name.back() == '\r' || name.back() == ' ' || name.back() == '\t'))
            name.pop_back();
        if (!name.empty()) {
            bool seen = false;
            for (const auto &n : names)
                seen = seen || n == name;
            if (!seen)
                names.push_back(name);
        }
        p += len;
        if (*p == '\n')
            ++p;
    }
    return names;
}

} // namespace

struct UlsServer::Impl {
    struct Client {
        uint64_t tag = 0;
        int fd = -1;
        bool broadcast = false;
        sockaddr_in peer{};
        Clock::time_point since{};
        bool registered = false;
        bool dead = false;
        uint8_t record[kMaxSocksPadding + kUlsRegistrationSize] = {};
        std::size_t recordBytes = 0;
        std::size_t recordStart = 0;
        std::string name;
        bool visible = false;
        uint32_t listAddr = 0;
        std::vector<std::string> buddies;
        UlsRequestSplitter splitter;
        std::string out;
        bool watchingOutput = false;
        std::list<Client *>::iterator order;
        uint64_t visibleSeq = 0;    // key in the visible index while visible
        uint64_t listCursor = 0;    // where this client's next cut user list starts
        std::unordered_multimap<std::string, Client *>::iterator byName;
    };

    explicit Impl(UlsServerOptions o) : opt(std::move(o)) {}

    UlsServerOptions opt;
    int epollFd = -1;
    int wakeFd = -1;
    int listenFd = -1;
    int broadcastFd = -1;
    int spareFd = -1;  // given up to accept-and-close when descriptors run out
    uint64_t nextTag = kFirstClientTag;
    std::unordered_map<uint64_t, std::unique_ptr<Client>> clients;
    std::list<Client *> registered;  // in order of registration
    // The visible users alone, keyed by a number that grows with each
    // registration, so a user list costs what it sends however many users
    // are invisible, and a client can resume where its last list ended.
    std::map<uint64_t, Client *> visibleUsers;
    uint64_t nextVisibleSeq = 1;
    std::unordered_map<uint32_t, std::size_t> perAddress;  // open connections per peer address
    std::unordered_multimap<std::string, Client *> byName;
    std::vector<uint64_t> graveyard;

    void log(const char *fmt, ...) __attribute__((format(printf, 2, 3)))
    {
        if (!opt.log)
            return;
        va_list ap;
        va_start(ap, fmt);
        vfprintf(opt.log, fmt, ap);
        va_end(ap);
        fputc('\n', opt.log);
        fflush(opt.log);
    }

    std::string who(const Client &c) const
    {
        std::string s = dotted(c.peer.sin_addr.s_addr) + ":" + std::to_string(ntohs(c.peer.sin_port));
        if (c.registered)
            s += " \"" + printable(c.name) + "\"";
        return s;
    }

    int openListener(int port, const char *what)
    {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        if (port < 0 || port > 65535 || inet_pton(AF_INET, opt.listenAddress.c_str(), &addr.sin_addr) != 1) {
            fprintf(stderr, "kestrelvox-directory: invalid %s address %s port %d\n", what,
                    opt.listenAddress.c_str(), port);
            return -1;
        }
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            perror("kestrelvox-directory: socket");
            return -1;
        }
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(fd, SOMAXCONN) != 0) {
            fprintf(stderr, "kestrelvox-directory: cannot listen on %s port %d: %s\n", opt.listenAddress.c_str(),
                    port, strerror(errno));
            close(fd);
            return -1;
        }
        return fd;
    }

    static int boundPort(int fd)
    {
        if (fd < 0)
            return -1;
        sockaddr_in a{};
        socklen_t len = sizeof a;
        if (getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
            return -1;
        return ntohs(a.sin_port);
    }

    bool watch(int fd, uint64_t tag, uint32_t events, int op = EPOLL_CTL_ADD)
    {
        epoll_event ev{};
        ev.events = events;
        ev.data.u64 = tag;
        return epoll_ctl(epollFd, op, fd, &ev) == 0;
    }

    bool start()
    {
        epollFd = epoll_create1(EPOLL_CLOEXEC);
        wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        spareFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (epollFd < 0 || wakeFd < 0) {
            perror("kestrelvox-directory: epoll");
            return false;
        }
        const std::size_t allowed = descriptorRoom();
        if (opt.maxClients == 0) {
            opt.maxClients = allowed;
        } else if (opt.maxClients > allowed) {
            log("client limit %zu is more than the descriptor limit allows; using %zu", opt.maxClients, allowed);
            opt.maxClients = allowed;
        }
        listenFd = openListener(opt.port, "listen");
        if (listenFd < 0)
            return false;
        if (opt.broadcastPort >= 0) {
            broadcastFd = openListener(opt.broadcastPort, "broadcast");
            if (broadcastFd < 0)
                return false;
        }
        watch(wakeFd, kTagWake, EPOLLIN);
        watch(listenFd, kTagListen, EPOLLIN);
        if (broadcastFd >= 0)
            watch(broadcastFd, kTagBroadcastListen, EPOLLIN);
        if (broadcastFd >= 0)
            log("listening on %s port %d, broadcast port %d", opt.listenAddress.c_str(), boundPort(listenFd),
                boundPort(broadcastFd));
        else
            log("listening on %s port %d", opt.listenAddress.c_str(), boundPort(listenFd));
        if (opt.maxPerAddress > 0)
            log("serving at most %zu clients, %zu per address", opt.maxClients, opt.maxPerAddress);
        else
            log("serving at most %zu clients", opt.maxClients);
        return true;
    }

    // Clients the descriptor limit leaves room for, one descriptor each.
    static std::size_t descriptorRoom()
    {
        rlimit lim{};
        if (getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur == RLIM_INFINITY)
            return 1u << 20;
        const auto n = static_cast<std::size_t>(lim.rlim_cur);
        return n > kReservedDescriptors ? n - kReservedDescriptors : 1;
    }

    void acceptAll(int fd, bool broadcast)
    {
        for (int i = 0; i < kAcceptsPerWakeup; ++i) {
            sockaddr_in peer{};
            socklen_t len = sizeof peer;
            int c = accept4(fd, reinterpret_cast<sockaddr *>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (c < 0) {
                if (errno == EINTR || errno == ECONNABORTED)
                    continue;
                if ((errno == EMFILE || errno == ENFILE) && spareFd >= 0) {
                    // Take the waiting connection and close it, or the
                    // listener would stay ready and spin the loop.
                    close(spareFd);
                    int extra = accept(fd, nullptr, nullptr);
                    if (extra >= 0)
                        close(extra);
                    spareFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
                    log("refused a connection: out of file descriptors");
                    continue;
                }
                return;  // EAGAIN and the rest: nothing more now
            }
            if (clients.size() >= opt.maxClients) {
                close(c);
                log("refused %s: %zu clients already", dotted(peer.sin_addr.s_addr).c_str(), clients.size());
                continue;
            }
            auto fromThere = perAddress.find(peer.sin_addr.s_addr);
            if (opt.maxPerAddress > 0 && fromThere != perAddress.end() && fromThere->second >= opt.maxPerAddress) {
                close(c);
                log("refused %s: %zu connections from that address already", dotted(peer.sin_addr.s_addr).c_str(),
                    fromThere->second);
                continue;
            }
            auto client = std::make_unique<Client>();
            client->tag = nextTag++;
            client->fd = c;
            client->broadcast = broadcast;
            client->peer = peer;
            client->since = Clock::now();
            if (!watch(c, client->tag, EPOLLIN | EPOLLRDHUP)) {
                close(c);
                continue;
            }
            ++perAddress[peer.sin_addr.s_addr];
            Client *raw = client.get();
            clients.emplace(raw->tag, std::move(client));
            log("connect %s on %s port (%zu connections)", who(*raw).c_str(), broadcast ? "broadcast" : "directory",
                clients.size());
            if (broadcast) {
                std::string hello;
                putInt32LE(hello, kUlsBroadcastConnected);
                queue(*raw, hello);
            }
        }
    }

    // Leaves the directory at once; the descriptor closes after this batch of
    // events, so no event still queued for it can reach a freed client.
    void drop(Client &c, const char *why)
    {
        if (c.dead)
            return;
        c.dead = true;
        if (c.registered) {
            registered.erase(c.order);
            byName.erase(c.byName);
            if (c.visible)
                visibleUsers.erase(c.visibleSeq);
        }
        auto count = perAddress.find(c.peer.sin_addr.s_addr);
        if (count != perAddress.end() && --count->second == 0)
            perAddress.erase(count);
        log("%s %s", why, who(c).c_str());
        graveyard.push_back(c.tag);
    }

    void reap()
    {
        for (uint64_t tag : graveyard) {
            auto it = clients.find(tag);
            if (it == clients.end())
                continue;
            close(it->second->fd);
            clients.erase(it);
        }
        graveyard.clear();
    }

    void setOutputWatch(Client &c, bool on)
    {
        if (c.watchingOutput == on)
            return;
        c.watchingOutput = on;
        watch(c.fd, c.tag, EPOLLIN | EPOLLRDHUP | (on ? EPOLLOUT : 0u), EPOLL_CTL_MOD);
    }

    void queue(Client &c, const std::string &bytes)
    {
        if (c.dead)
            return;
        std::size_t sent = 0;
        if (c.out.empty()) {
            ssize_t n = send(c.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                drop(c, "lost");
                return;
            }
            sent = n > 0 ? static_cast<std::size_t>(n) : 0;
        }
        if (sent == bytes.size())
            return;
        c.out.append(bytes, sent, std::string::npos);
        if (c.out.size() > opt.maxPendingOutput) {
            drop(c, "dropped slow reader");
            return;
        }
        setOutputWatch(c, true);
    }

    void flush(Client &c)
    {
        while (!c.out.empty()) {
            ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                if (errno != EAGAIN && errno != EWOULDBLOCK)
                    drop(c, "lost");
                return;
            }
            c.out.erase(0, static_cast<std::size_t>(n));
        }
        std::string().swap(c.out);
        setOutputWatch(c, false);
    }

    // A record the client program could not have produced (unterminated
    // texts, a visibility flag other than 0 or 1) is not a registration.
    static bool plausible(const UserProfile &p)
    {
        return (p.visible == 0 || p.visible == 1) && strnlen(p.name, sizeof p.name) < sizeof p.name &&
               strnlen(p.email, sizeof p.email) < sizeof p.email &&
               strnlen(p.buddyList, sizeof p.buddyList) < sizeof p.buddyList;
    }

    void registerClient(Client &c)
    {
        UserProfile p;
        memcpy(&p, c.record + c.recordStart, sizeof p);
        if (!plausible(p)) {
            drop(c, "bad registration from");
            return;
        }
        c.name = p.name;
        c.buddies = splitBuddies(p.buddyList);
        c.visible = p.visible != 0;
        c.listAddr = usableAddress(p.ipAddr) ? p.ipAddr : c.peer.sin_addr.s_addr;
        c.registered = true;
        c.order = registered.insert(registered.end(), &c);
        c.byName = byName.emplace(c.name, &c);
        if (c.visible) {
            c.visibleSeq = nextVisibleSeq++;
            visibleUsers.emplace(c.visibleSeq, &c);
        }
        log("register %s as %s, %s, %zu buddies (%zu registered)", who(c).c_str(), dotted(c.listAddr).c_str(),
            c.visible ? "visible" : "invisible", c.buddies.size(), registered.size());
    }

    // The requester's buddies that are online, each name matched exactly.
    template <typename Fn> void forEachOnlineBuddy(const Client &c, Fn fn)
    {
        for (const auto &name : c.buddies) {
            auto range = byName.equal_range(name);
            for (auto it = range.first; it != range.second; ++it)
                if (it->second != &c && !fn(*it->second))
                    return;
        }
    }

    // At most 24 users fit in a reply. When more are visible, each list
    // starts where the client's previous one ended and wraps around, so
    // successive requests go through everyone; otherwise it holds all of
    // them, oldest registration first.
    void sendUserList(Client &c)
    {
        std::string body;
        int count = 0;
        auto add = [&](const Client &u) {
            body.append(reinterpret_cast<const char *>(&u.listAddr), 4);
            putField(body, u.name, sizeof(UserEntry::name));
            ++count;
        };
        const std::size_t others = visibleUsers.size() - (c.visible ? 1 : 0);
        if (others <= static_cast<std::size_t>(kUlsMaxListEntries)) {
            for (const auto &[seq, u] : visibleUsers)
                if (u != &c)
                    add(*u);
        } else {
            auto it = visibleUsers.lower_bound(c.listCursor);
            while (count < kUlsMaxListEntries) {
                if (it == visibleUsers.end())
                    it = visibleUsers.begin();
                if (it->second != &c)
                    add(*it->second);
                c.listCursor = it->first + 1;
                ++it;
            }
        }
        std::string reply;
        putInt32LE(reply, kUlsUserList);
        putInt32LE(reply, count);
        putInt32LE(reply, 0);
        queue(c, reply + body);
        log("user list to %s: %d", who(c).c_str(), count);
    }

    void sendBuddyList(Client &c)
    {
        std::string body;
        int count = 0;
        forEachOnlineBuddy(c, [&](const Client &b) {
            if (b.visible) {
                body.append(reinterpret_cast<const char *>(&b.listAddr), 4);
                putField(body, b.name, sizeof(BuddyEntry::name));
                ++count;
            }
            return count < kUlsMaxListEntries;
        });
        std::string reply;
        putInt32LE(reply, kUlsBuddyList);
        putInt32LE(reply, count);
        putInt32LE(reply, 0);
        queue(c, reply + body);
        log("buddy list to %s: %d", who(c).c_str(), count);
    }

    void relay(Client &c, const std::string &text)
    {
        std::string reply;
        putInt32LE(reply, kUlsChat);
        putField(reply, c.name, 16);
        reply += text;
        std::vector<Client *> to;
        if (c.broadcast) {
            for (Client *u : registered)
                if (u != &c)
                    to.push_back(u);
        } else {
            forEachOnlineBuddy(c, [&](Client &b) {
                to.push_back(&b);
                return true;
            });
        }
        for (Client *u : to)
            queue(*u, reply);
        log("message from %s, %zu bytes, to %zu", who(c).c_str(), text.size(), to.size());
    }

    void handleRequests(Client &c, const uint8_t *data, std::size_t len)
    {
        std::vector<UlsRequest> requests;
        c.splitter.feed(data, len, requests);
        for (const UlsRequest &r : requests) {
            if (c.dead)
                return;
            switch (r.kind) {
            case UlsRequestKind::refreshUser:
                sendUserList(c);
                break;
            case UlsRequestKind::refreshBuddy:
                sendBuddyList(c);
                break;
            case UlsRequestKind::message:
                relay(c, r.text);
                break;
            case UlsRequestKind::quit:
                drop(c, "quit");
                return;
            case UlsRequestKind::junk:
                log("ignored %zu bytes from %s", r.junkBytes, who(c).c_str());
                break;
            }
        }
    }

    void readFrom(Client &c)
    {
        uint8_t buf[kReadChunk];
        ssize_t n = recv(c.fd, buf, sizeof buf, 0);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                drop(c, "lost");
            return;
        }
        if (n == 0) {
            drop(c, "closed");
            return;
        }
        std::size_t used = 0;
        const auto len = static_cast<std::size_t>(n);
        if (!c.registered) {
            // Take no byte past the record: what follows is requests.
            std::size_t need = registrationLength(c.record, c.recordBytes, &c.recordStart);
            while (c.recordBytes < need && used < len) {
                const std::size_t take = std::min(len - used, need - c.recordBytes);
                memcpy(c.record + c.recordBytes, buf + used, take);
                c.recordBytes += take;
                used += take;
                need = registrationLength(c.record, c.recordBytes, &c.recordStart);
            }
            if (c.recordBytes < need)
                return;
            registerClient(c);
            if (c.dead)
                return;
        }
        if (used < len)
            handleRequests(c, buf + used, len - used);
    }

    void dropLateRegistrations()
    {
        const auto limit = Clock::now() - std::chrono::seconds(opt.registerTimeoutSeconds);
        for (auto &[tag, c] : clients)
            if (!c->registered && !c->dead && c->since < limit)
                drop(*c, "no registration from");
    }

    void run()
    {
        std::vector<epoll_event> events(256);
        auto nextSweep = Clock::now() + std::chrono::seconds(1);
        for (;;) {
            int n = epoll_wait(epollFd, events.data(), static_cast<int>(events.size()), 1000);
            if (n < 0 && errno != EINTR) {
                perror("kestrelvox-directory: epoll_wait");
                break;
            }
            bool stopping = false;
            for (int i = 0; i < n; ++i) {
                const uint64_t tag = events[i].data.u64;
                const uint32_t ev = events[i].events;
                if (tag == kTagWake) {
                    stopping = true;
                } else if (tag == kTagListen) {
                    acceptAll(listenFd, false);
                } else if (tag == kTagBroadcastListen) {
                    acceptAll(broadcastFd, true);
                } else {
                    auto it = clients.find(tag);
                    if (it == clients.end() || it->second->dead)
                        continue;
                    Client &c = *it->second;
                    if (ev & EPOLLOUT)
                        flush(c);
                    if (!c.dead && (ev & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)))
                        readFrom(c);
                }
            }
            reap();
            if (stopping)
                break;
            if (Clock::now() >= nextSweep) {
                dropLateRegistrations();
                reap();
                nextSweep = Clock::now() + std::chrono::seconds(1);
            }
        }
        for (auto &[tag, c] : clients)
            close(c->fd);
        log("stopped with %zu connections", clients.size());
        clients.clear();
        registered.clear();
        byName.clear();
        visibleUsers.clear();
        perAddress.clear();
    }

    ~Impl()
    {
        for (int fd : {listenFd, broadcastFd, wakeFd, epollFd, spareFd})
            if (fd >= 0)
                close(fd);
    }
};

UlsServer::UlsServer(UlsServerOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

UlsServer::~UlsServer() = default;

bool UlsServer::start() { return impl_->start(); }

void UlsServer::run() { impl_->run(); }

void UlsServer::stop()
{
    if (impl_->wakeFd >= 0) {
        uint64_t one = 1;
        // Only write(2) here: this may run in a signal handler.
        [[maybe_unused]] ssize_t n = write(impl_->wakeFd, &one, sizeof one);
    }
}

int UlsServer::port() const { return Impl::boundPort(impl_->listenFd); }

int UlsServer::broadcastPort() const { return Impl::boundPort(impl_->broadcastFd); }

std::size_t UlsServer::maxClients() const { return impl_->opt.maxClients; }
