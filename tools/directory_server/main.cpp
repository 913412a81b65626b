// kestrelvox-directory: the directory server for Kestrelvox clients.
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <getopt.h>
#include <sys/resource.h>

#include "directory/uls_server.h"

namespace {

UlsServer *g_server = nullptr;

void onSignal(int)
{
    if (g_server)
        g_server->stop();
}

void usage(FILE *to)
{
    fputs("Usage: kestrelvox-directory [OPTION]...\n"
          "Directory server for Kestrelvox: clients register, ask for the users and\n"
          "buddies online, and chat. One line per event goes to standard output.\n"
          "\n"
          "  -l, --listen ADDR         IPv4 address to listen on (default 0.0.0.0)\n"
          "  -p, --port N              directory port (default 2048)\n"
          "  -b, --broadcast-port N    broadcast server port (default 2051); 0 for none\n"
          "      --max-clients N       connections served at once (default: as many as\n"
          "                            the open-file limit allows)\n"
          "      --max-per-address N   connections from one IPv4 address (default 100);\n"
          "                            0 for no limit\n"
          "      --register-timeout S  seconds a new connection has to register (default 30)\n"
          "  -q, --quiet               print no event lines\n"
          "  -h, --help                show this help and exit\n"
          "  -V, --version             show the version and exit\n",
          to);
}

bool parseNumber(const char *text, long min, long max, int *out)
{
    char *end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < min || v > max)
        return false;
    *out = static_cast<int>(v);
    return true;
}

// Thousands of clients need thousands of descriptors.
void raiseDescriptorLimit()
{
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
}

} // namespace

int main(int argc, char **argv)
{
    enum { kMaxClients = 1000, kMaxPerAddress, kRegisterTimeout };
    static const option longOptions[] = {
        {"listen", required_argument, nullptr, 'l'},
        {"port", required_argument, nullptr, 'p'},
        {"broadcast-port", required_argument, nullptr, 'b'},
        {"max-clients", required_argument, nullptr, kMaxClients},
        {"max-per-address", required_argument, nullptr, kMaxPerAddress},
        {"register-timeout", required_argument, nullptr, kRegisterTimeout},
        {"quiet", no_argument, nullptr, 'q'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };

    UlsServerOptions opt;
    int c;
    int number = 0;
    while ((c = getopt_long(argc, argv, "l:p:b:qhV", longOptions, nullptr)) != -1) {
        switch (c) {
        case 'l':
            opt.listenAddress = optarg;
            break;
        case 'p':
            if (!parseNumber(optarg, 1, 65535, &opt.port)) {
                fprintf(stderr, "kestrelvox-directory: bad port '%s'\n", optarg);
                return 2;
            }
            break;
        case 'b':
            if (!parseNumber(optarg, 0, 65535, &number)) {
                fprintf(stderr, "kestrelvox-directory: bad broadcast port '%s'\n", optarg);
                return 2;
            }
            opt.broadcastPort = number == 0 ? -1 : number;
            break;
        case kMaxClients:
            if (!parseNumber(optarg, 1, INT_MAX, &number)) {
                fprintf(stderr, "kestrelvox-directory: bad client limit '%s'\n", optarg);
                return 2;
            }
            opt.maxClients = static_cast<std::size_t>(number);
            break;
        case kMaxPerAddress:
            if (!parseNumber(optarg, 0, INT_MAX, &number)) {
                fprintf(stderr, "kestrelvox-directory: bad per-address limit '%s'\n", optarg);
                return 2;
            }
            opt.maxPerAddress = static_cast<std::size_t>(number);
            break;
        case kRegisterTimeout:
            if (!parseNumber(optarg, 1, 86400, &opt.registerTimeoutSeconds)) {
                fprintf(stderr, "kestrelvox-directory: bad timeout '%s'\n", optarg);
                return 2;
            }
            break;
        case 'q':
            opt.log = nullptr;
            break;
        case 'h':
            usage(stdout);
            return 0;
        case 'V':
            printf("kestrelvox-directory %s\n", KV_VERSION);
            return 0;
        default:
            usage(stderr);
            return 2;
        }
    }
    if (optind < argc) {
        fprintf(stderr, "kestrelvox-directory: unexpected argument '%s'\n", argv[optind]);
        usage(stderr);
        return 2;
    }
    if (opt.broadcastPort == opt.port) {
        fprintf(stderr, "kestrelvox-directory: the two ports must differ\n");
        return 2;
    }

    setvbuf(stdout, nullptr, _IOLBF, 0);
    raiseDescriptorLimit();
    signal(SIGPIPE, SIG_IGN);

    UlsServer server(opt);
    if (!server.start())
        return 1;
    g_server = &server;
    struct sigaction sa{};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    server.run();
    g_server = nullptr;
    return 0;
}
