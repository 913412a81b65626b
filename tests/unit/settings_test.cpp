// Guards against settings lines that shift, spill or keep stale bytes, and saves that lose lines or half-write a file.
#include "directory/address.h"
#include "directory/settings.h"
#include "directory/settings_path.h"
#include "engine_test_support.h"

#include <arpa/inet.h>
#include <climits>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

struct SettingsFiles : testing::Test {
    TempDir dir;
    const std::string file = dir / "userinfo.dat";
    static std::string read(const std::string &path)
    {
        const Bytes b = readFile(path);
        return {b.begin(), b.end()};
    }
    UserProfile load(const std::string &bytes, bool dialogRules = false) // over stale bytes, none of which may survive
    {
        writeFile(file, bytes);
        UserProfile p;
        memset(&p, 0x5A, sizeof p);
        EXPECT_EQ(loadUserInfo(&p, dialogRules, file.c_str()), 1);
        for (auto f : {std::string_view(p.name, 16), std::string_view(p.email, 32), std::string_view(p.buddyList, 64)})
            EXPECT_EQ(f.find_first_not_of('\0', strnlen(f.data(), f.size())), f.npos) << bytes;
        EXPECT_EQ(p.ipAddr, GetLocalAddr());
        return p;
    }
};

} // namespace

TEST_F(SettingsFiles, ProfileLinesAreCutWithoutShiftingLaterLines)
{
    const std::string head = "n\ne@x.y\nVisible\n", l16 = std::string(15, 'b') + "\n", b15 = std::string(15, 'b');
    const std::string mail = "x@" + std::string(60, 'm') + ".org", N15(15, 'N'), e31(31, 'e');
    const struct {
        std::string bytes;
        bool dialog;
        std::string name, email;
        int visible;
        std::string buddies;
    } cases[] = {
        {"n\ne@x.y\nInvisible mode\n", false, "n", "e@x.y", 1, ""}, // connect: only the exact word
        {"n\ne@x.y\nInvisible mode\n", true, "n", "e@x.y", 0, ""},  // dialog: the word anywhere
        {"n\ne@x.y\nInvisible\r\n", false, "n", "e@x.y", 0, ""},
        {std::string(40, 'N') + "\n" + mail + "\nInvisible\nbob\n", false, N15, mail.substr(0, 31), 0, "bob"},
        {N15 + "\n" + e31 + "\nInvisible\ncarol\n", true, N15, e31, 0, "carol"},
        {"n\n" + std::string(100000, 'e') + "\nInvisible\nz\n", false, "n", e31, 0, "z"},
        {"alice\r\nal@x.y\r\nVisible\r\nbob\r\ncarol\r\n", false, "alice", "al@x.y", 1, "bob\r\ncarol"},
        {"alice\nal@x.y\nVisible\nbob\ncarol", false, "alice", "al@x.y", 1, "bob\ncarol"},
        {std::string("ab\0cd\nm@x.y\nInvisible\n", 22), false, "ab", "m@x.y", 0, ""},
        // Buddy lines keep their "\n" while the whole fits 64 bytes; the first that doesn't ends the list.
        {head + l16 + l16 + l16 + l16, false, "n", "e@x.y", 1, l16 + l16 + l16 + b15},
        {head + l16 + l16 + l16 + std::string(16, 'c') + "\nd\n", false, "n", "e@x.y", 1, l16 + l16 + b15},
        {head + std::string(63, 'x') + "\n", false, "n", "e@x.y", 1, std::string(63, 'x')},
        {head + std::string(64, 'x') + "\nshort\n", false, "n", "e@x.y", 1, ""},
        {"onlyname\n", false, "onlyname", "", 1, ""},
        {"", true, "", "", 1, ""},
    };
    for (const auto &c : cases) {
        const UserProfile p = load(c.bytes, c.dialog);
        EXPECT_EQ(std::tie(p.name, p.email, p.visible, p.buddyList), std::tie(c.name, c.email, c.visible, c.buddies))
            << c.bytes.substr(0, 40);
    }
}

TEST_F(SettingsFiles, SavesWriteEveryFieldAndKeepUneditedLinesByteForByte)
{
    UserProfile p;
    memset(&p, 'Q', sizeof p); // no terminators: written at field width
    ASSERT_EQ(saveUserProfile(&p, file.c_str()), 1);
    EXPECT_EQ(read(file), std::string(16, 'Q') + "\n" + std::string(32, 'Q') + "\nVisible\n" + std::string(64, 'Q') + "\n");
    // The dialog saves only what was edited: NULs, bad UTF-8, CRLF and a missing last newline stay.
    p = load(std::string("al\0ice\r\nal@example.org\r\nVisible\r\nbob\r\n\xff" "dd\r\ncarol", 48), true);
    strcpy(p.email, "al@example.net");
    ASSERT_EQ(saveUserProfile(&p, file.c_str(), kProfileEmail), 1);
    EXPECT_EQ(read(file), std::string("al\0ice\r\nal@example.net\nVisible\r\nbob\r\n\xff" "dd\r\ncarol", 47));
    p = load("zoe", true); // missing lines come from the record
    ASSERT_EQ(saveUserProfile(&p, file.c_str(), kProfileVisibility), 1);
    EXPECT_EQ(read(file), "zoe\n\nVisible\n\n");
    EXPECT_EQ(loadUserInfo(&p, true, (dir / "nope.dat").c_str()), 0);
    EXPECT_STREQ(p.name, "zoe");
    EXPECT_TRUE(saveUserProfile(&p, (dir / "-/u").c_str()) == 0 && saveProxyInfo(&proxyInfo, (dir / "-/p").c_str()) == 0);
}

TEST_F(SettingsFiles, ProxyLinesAreCutAndOddLinesStayInPlace)
{
    const std::string path = dir / "proxy.inf";
    const struct {
        std::string bytes, server, portText, userID;
        int port, enable;
    } cases[] = {
        {"10.0.0.1\n1080\nabc\ndisable proxy\n", "10.0.0.1", "1080", "abc", 1080, 0},
        {"px\r\n1080\r\nme\r\nenable proxy", "px", "1080", "me", 1080, 1},
        {"proxy.lan\nsocks\nme\nenable proxy \n", "proxy.lan", "socks", "me", 0, 0},
        {"proxy.lan\n", "proxy.lan", "", "", 0, 0},
        {std::string(200, 's') + "\n99999999999999999999\nuid\nenable proxy\n", std::string(63, 's'),
         "999999999999999", "uid", INT_MAX, 1},
        {"s\n 1080x\nu\n", "s", " 1080x", "u", 1080, 0},
    };
    for (const auto &c : cases) {
        writeFile(path, c.bytes);
        ProxySettings p;
        char portText[kProxyPortTextSize];
        memset(&p, 0x5A, sizeof p);
        ASSERT_EQ(loadProxyInfo(&p, portText, path.c_str()), 1);
        EXPECT_EQ(std::tie(p.server, portText, p.userID, p.port, p.enable),
                  std::tie(c.server, c.portText, c.userID, c.port, c.enable))
            << c.bytes.substr(0, 30);
    }
    EXPECT_EQ(loadProxyInfo(&proxyInfo, nullptr, path.c_str()), 1); // the port text is optional
    char portText[kProxyPortTextSize] = "keep";
    EXPECT_TRUE(loadProxyInfo(&proxyInfo, portText, (dir / "absent.inf").c_str()) == 0 && portText == std::string("keep"));
}

TEST_F(SettingsFiles, ASaveReplacesTheWholeFileOrNothing)
{
    writeFile(file, "bob\nbob@example.org\nVisible\n");
    chmod(file.c_str(), 0640);
    UserProfile p{0, 0, "a-name-too-long", "", ""};
    { // given up half-way, as in a crash
        SettingsFileWriter w(file);
        ASSERT_NE(w.file(), nullptr);
        fputs("half", w.file());
    }
    rlimit old{}, tiny{8, 8}; // a full disk
    getrlimit(RLIMIT_FSIZE, &old);
    tiny.rlim_max = old.rlim_max;
    signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &tiny);
    const int failed = saveUserProfile(&p, file.c_str());
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, SIG_DFL);
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(read(file), "bob\nbob@example.org\nVisible\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), {}), 1) << "a temporary file is left";
    // A replaced file keeps its permissions; through a link the target is replaced and the link stays.
    ASSERT_EQ(saveUserProfile(&p, file.c_str()), 1);
    EXPECT_EQ(fs::status(file).permissions(), fs::perms(0640));
    fs::remove(file);
    writeFile(dir / "real.dat", "x\n");
    fs::create_symlink(dir.path / "real.dat", file);
    ASSERT_EQ(saveUserProfile(&p, file.c_str()), 1);
    EXPECT_TRUE(fs::is_symlink(file));
    EXPECT_EQ(read(dir / "real.dat").substr(0, 16), "a-name-too-long\n");
}

// A typed host entry: the address is the last word; broadcast entries select the broadcast port.
TEST(HostEntries, AddressIsTheLastWordAndFieldsNeverSplitACharacter)
{
    const struct {
        const char *entry, *address;
        int port;
    } cases[] = {
        {"Office 10.0.0.5", "10.0.0.5", 2048},   {"Lab   server    host.example.org", "host.example.org", 2048},
        {"Lab 10.1.2.3 x", "10.1.2.3 x", 2048}, {"a   ", "", 2048},
        {"10.0.0.9", nullptr, 2048},            {"", nullptr, 2048},
        {"BROADCAST 10.0.0.9", "10.0.0.9", 2051}, {"ULS-BROADCAST-1", nullptr, 2051},
    };
    for (const auto &c : cases) {
        std::string copy(c.entry);
        serverPort = 0;
        const char *r = trimHostString(copy.data());
        EXPECT_EQ(serverPort, c.port) << c.entry;
        EXPECT_STREQ(r ? r : "(none)", c.address ? c.address : "(none)") << c.entry;
    }
    EXPECT_EQ(GetAddr("10.1.2.3 "), htonl(0x0A010203)); // the blank trimHostString leaves
    EXPECT_EQ(GetAddr("255.255.255.255"), 0xFFFFFFFFu);
    EXPECT_EQ(GetAddr(nullptr), 0u);

    char name[16];
    const std::pair<const char *, const char *> fields[] = {
        {"abcdefghijklmnopqrstuvwxyz", "abcdefghijklmno"},
        {"abcdefghijklmn\xC3\xA9", "abcdefghijklmn"}, // "é" needs two bytes: it does not fit
        {"abcdefghijklm\xC3\xA9z", "abcdefghijklm\xC3\xA9"},
    };
    for (auto [in, out] : fields) {
        copyToField(name, sizeof name, in);
        EXPECT_STREQ(name, out);
    }
}
