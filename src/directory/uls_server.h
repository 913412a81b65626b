// The directory server behind kestrelvox-directory: one thread, one epoll
// loop, any number of clients. It keeps who is registered and answers list
// requests and relays chat in the client's own protocol.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>

struct UlsServerOptions {
    std::string listenAddress = "0.0.0.0";
    int port = 2048;           // 0: any free port
    int broadcastPort = 2051;  // 0: any free port; -1: no broadcast server
    // 0: as many as the process's descriptor limit leaves room for.
    std::size_t maxClients = 0;
    // Connections from one IPv4 address, so that one host cannot take every
    // slot; 0 for no limit.
    std::size_t maxPerAddress = 100;
    // A connection that hasn't sent its 120-byte registration by then is dropped.
    int registerTimeoutSeconds = 30;
    // A client that reads so slowly that this much output waits is dropped.
    std::size_t maxPendingOutput = 256 * 1024;
    FILE *log = stdout;  // one line per event; null for none
};

class UlsServer {
public:
    explicit UlsServer(UlsServerOptions options);
    ~UlsServer();
    UlsServer(const UlsServer &) = delete;
    UlsServer &operator=(const UlsServer &) = delete;

    // Binds and listens. On failure prints the reason to standard error and
    // returns false.
    bool start();
    // Serves until stop(); then closes every connection.
    void run();
    // Ends run(). Safe from any thread and from a signal handler.
    void stop();

    // The ports actually bound (useful when 0 was asked for); -1 if none.
    int port() const;
    int broadcastPort() const;
    // The client limit in force once start() has run.
    std::size_t maxClients() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
