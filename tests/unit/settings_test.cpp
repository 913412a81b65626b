// Guards against settings lines shifting, spilling or keeping stale bytes, saves that lose lines or half-write a
// file, settings read from the wrong folder, and host entries taken apart wrongly.
#include "directory/address.h"
#include "directory/settings.h"
#include "directory/settings_path.h"
#include "engine_test_support.h"

#include <arpa/inet.h>
#include <climits>
#include <csignal>
#include <cstring>
#include <optional>
#include <sys/resource.h>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

struct SettingsFiles : testing::Test {
    TempDir dir;
    std::string read(const char *name) const
    {
        const Bytes b = readFile(dir / name);
        return std::string(b.begin(), b.end());
    }
    // Reads userinfo.dat over a record full of stale bytes, none of which may survive.
    UserProfile load(const std::string &bytes, bool dialogRules = false)
    {
        writeFile(dir / "userinfo.dat", bytes);
        UserProfile p;
        memset(&p, 0x5A, sizeof p);
        EXPECT_EQ(loadUserInfo(&p, dialogRules, (dir / "userinfo.dat").c_str()), 1);
        for (const auto &field : {std::string_view(p.name, sizeof p.name), std::string_view(p.email, sizeof p.email),
                                  std::string_view(p.buddyList, sizeof p.buddyList)})
            EXPECT_EQ(field.find_first_not_of('\0', strnlen(field.data(), field.size())), field.npos) << bytes;
        EXPECT_EQ(p.ipAddr, GetLocalAddr());
        return p;
    }
};

} // namespace

TEST_F(SettingsFiles, ProfileLinesAreCutWithoutShiftingLaterLines)
{
    const std::string head = "n\ne@x.y\nVisible\n", l16 = std::string(15, 'b') + "\n", b15 = std::string(15, 'b');
    const std::string longMail = "x@" + std::string(60, 'm') + ".org";
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
        {std::string(40, 'N') + "\n" + longMail + "\nInvisible\nbob\n", false, std::string(15, 'N'),
         longMail.substr(0, 31), 0, "bob"},
        {std::string(15, 'a') + "\n" + std::string(31, 'b') + "\nInvisible\ncarol\n", true, std::string(15, 'a'),
         std::string(31, 'b'), 0, "carol"},
        {"n\n" + std::string(100000, 'e') + "\nInvisible\nz\n", false, "n", std::string(31, 'e'), 0, "z"},
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
        EXPECT_EQ(p.name, c.name) << c.bytes.substr(0, 40);
        EXPECT_EQ(p.email, c.email) << c.bytes.substr(0, 40);
        EXPECT_EQ(p.visible, c.visible) << c.bytes.substr(0, 40);
        EXPECT_EQ(p.buddyList, c.buddies) << c.bytes.substr(0, 40);
    }
}

TEST_F(SettingsFiles, SavesWriteEveryFieldAndKeepUneditedLinesByteForByte)
{
    UserProfile p{};
    strcpy(p.name, "alice");
    strcpy(p.email, "alice@example.org");
    strcpy(p.buddyList, "bob\ncarol");
    ASSERT_EQ(saveUserProfile(&p, (dir / "userinfo.dat").c_str()), 1);
    EXPECT_EQ(read("userinfo.dat"), "alice\nalice@example.org\nInvisible\nbob\ncarol\n");
    for (bool dialog : {false, true})
        EXPECT_STREQ(load(read("userinfo.dat"), dialog).buddyList, "bob\ncarol");
    memset(&p, 'Q', sizeof p); // no terminators: written at field width
    ASSERT_EQ(saveUserProfile(&p, (dir / "userinfo.dat").c_str()), 1);
    EXPECT_EQ(read("userinfo.dat"), std::string(16, 'Q') + "\n" + std::string(32, 'Q') + "\nVisible\n" +
                                        std::string(64, 'Q') + "\n");

    // The dialog saves only what was edited: NULs, bad UTF-8, CRLF and a missing last newline stay.
    p = load(std::string("al\0ice\r\nal@example.org\r\nVisible\r\nbob\r\n\xff" "dd\r\ncarol", 48), true);
    strcpy(p.email, "al@example.net");
    ASSERT_EQ(saveUserProfile(&p, (dir / "userinfo.dat").c_str(), kProfileEmail), 1);
    EXPECT_EQ(read("userinfo.dat"), std::string("al\0ice\r\nal@example.net\nVisible\r\nbob\r\n\xff" "dd\r\ncarol", 47));
    p = load("zoe", true); // missing lines come from the record
    ASSERT_EQ(saveUserProfile(&p, (dir / "userinfo.dat").c_str(), kProfileVisibility), 1);
    EXPECT_EQ(read("userinfo.dat"), "zoe\n\nVisible\n\n");

    // Missing files and folders: nothing read, nothing written, the record kept.
    strcpy(p.name, "keep");
    EXPECT_EQ(loadUserInfo(&p, true, (dir / "nope.dat").c_str()), 0);
    EXPECT_STREQ(p.name, "keep");
    EXPECT_EQ(checkLocalInfo((dir / "nope.dat").c_str()), 0);
    EXPECT_EQ(saveUserProfile(&p, (dir / "no-dir/userinfo.dat").c_str()), 0);
    EXPECT_EQ(saveProxyInfo(&proxyInfo, (dir / "no-dir/proxy.inf").c_str()), 0);
}

TEST_F(SettingsFiles, CheckLocalInfoWantsAnEmailOnLine2)
{
    const std::pair<std::string, int> cases[] = {
        {"alice\nalice@example.org\nVisible\n", 1}, {"alice\n\nVisible\n", 0}, {"alice\nalice.example@org\n", 0},
        {"alice\n", 0}, {"", 0}, {"alice\na@b.", 1}, {std::string(300, 'n') + "\na@b.c\n", 1},
        {"n\n" + std::string(29, 'x') + "@" + std::string(10, 'y') + ".c\n", 0}, // only 31 bytes are looked at
    };
    for (const auto &[bytes, valid] : cases) {
        writeFile(dir / "userinfo.dat", bytes);
        EXPECT_EQ(checkLocalInfo((dir / "userinfo.dat").c_str()), valid) << bytes;
    }
    for (auto [text, valid] : {std::pair{"a@b.c", 1}, {"@.", 1}, {"a@b@c.d", 1}, {"a.b@c", 0}, {"abc", 0}, {"", 0}})
        EXPECT_EQ(isEmailAddr(text), valid) << text;
    EXPECT_EQ(isEmailAddr(nullptr), 0);
}

TEST_F(SettingsFiles, ProxyLinesRoundTripAndOddLinesStayInPlace)
{
    ProxySettings saved{"10.0.0.1", "abc", 1080, 1};
    ASSERT_EQ(saveProxyInfo(&saved, (dir / "proxy.inf").c_str()), 1);
    EXPECT_EQ(read("proxy.inf"), "10.0.0.1\n1080\nabc\nenable proxy\n");
    saved.enable = 0;
    ASSERT_EQ(saveProxyInfo(&saved, (dir / "proxy.inf").c_str()), 1);
    const struct {
        std::string bytes, server, portText, userID;
        int port, enable;
    } cases[] = {
        {read("proxy.inf"), "10.0.0.1", "1080", "abc", 1080, 0},
        {"px\r\n1080\r\nme\r\nenable proxy", "px", "1080", "me", 1080, 1},
        {"proxy.lan\nsocks\nme\nenable proxy \n", "proxy.lan", "socks", "me", 0, 0},
        {"proxy.lan\n", "proxy.lan", "", "", 0, 0},
        {std::string(200, 's') + "\n99999999999999999999\nuid\nenable proxy\n", std::string(63, 's'),
         "999999999999999", "uid", INT_MAX, 1},
        {"s\n 1080x\nu\n", "s", " 1080x", "u", 1080, 0},
    };
    for (const auto &c : cases) {
        writeFile(dir / "proxy.inf", c.bytes);
        ProxySettings p;
        memset(&p, 0x5A, sizeof p);
        char portText[kProxyPortTextSize];
        ASSERT_EQ(loadProxyInfo(&p, portText, (dir / "proxy.inf").c_str()), 1);
        EXPECT_EQ(std::tie(p.server, portText, p.userID, p.port, p.enable),
                  std::tie(c.server, c.portText, c.userID, c.port, c.enable))
            << c.bytes.substr(0, 30);
    }
    EXPECT_EQ(loadProxyInfo(&saved, nullptr, (dir / "proxy.inf").c_str()), 1); // the port text is optional
    char portText[kProxyPortTextSize] = "keep";
    EXPECT_EQ(loadProxyInfo(&saved, portText, (dir / "absent.inf").c_str()), 0);
    EXPECT_STREQ(portText, "keep");
}

// Runs from dir/work with HOME and XDG_CONFIG_HOME inside dir, and puts the process back.
struct SettingsLocation : SettingsFiles {
    fs::path oldCwd = fs::current_path();
    std::vector<std::pair<std::string, std::optional<std::string>>> saved;
    void SetUp() override
    {
        fs::create_directories(dir.path / "work");
        fs::current_path(dir.path / "work");
        for (const char *v : {"XDG_CONFIG_HOME", "HOME"})
            saved.emplace_back(v, getenv(v) ? std::optional<std::string>(getenv(v)) : std::nullopt);
        setenv("XDG_CONFIG_HOME", (dir / "xdg").c_str(), 1);
        setenv("HOME", (dir / "home").c_str(), 1);
    }
    void TearDown() override
    {
        fs::current_path(oldCwd);
        for (const auto &[name, value] : saved)
            value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
    }
};

TEST_F(SettingsLocation, TheCurrentDirectoryWinsElseTheConfigFolder)
{
    UserProfile p{};
    strcpy(p.name, "ann");
    ASSERT_EQ(saveUserProfile(&p), 1);
    EXPECT_EQ(read("xdg/kestrelvox/userinfo.dat").substr(0, 4), "ann\n");
    EXPECT_FALSE(fs::exists(dir.path / "work/userinfo.dat"));
    EXPECT_EQ(fs::status(dir.path / "xdg/kestrelvox").permissions(), fs::perms::owner_all);
    writeFile(dir / "work/userinfo.dat", "bob\nbob@example.org\nVisible\n");
    ASSERT_EQ(loadUserInfo(&p, true), 1);
    EXPECT_STREQ(p.name, "bob");
    strcpy(p.name, "bobby");
    ASSERT_EQ(saveUserProfile(&p), 1);
    EXPECT_EQ(read("work/userinfo.dat").substr(0, 6), "bobby\n");
    EXPECT_EQ(read("xdg/kestrelvox/userinfo.dat").substr(0, 4), "ann\n");

    // A relative or absurdly long XDG_CONFIG_HOME is ignored: ~/.config.
    std::string tooLong(8000, 'a');
    tooLong[0] = '/';
    for (const std::string &bad : {std::string("relative/config"), tooLong}) {
        setenv("XDG_CONFIG_HOME", bad.c_str(), 1);
        fs::remove_all(dir.path / "home");
        ASSERT_EQ(saveProxyInfo(&proxyInfo), 1);
        EXPECT_TRUE(fs::exists(dir.path / "home/.config/kestrelvox/proxy.inf")) << bad.substr(0, 20);
    }
}

TEST_F(SettingsLocation, ASaveReplacesTheWholeFileOrNothing)
{
    writeFile(dir / "work/userinfo.dat", "old\nold@example.org\nVisible\n");
    chmod((dir / "work/userinfo.dat").c_str(), 0640);
    UserProfile p{};
    strcpy(p.name, "a-name-too-long");
    { // given up half-way, as in a crash
        SettingsFileWriter w(dir / "work/userinfo.dat");
        ASSERT_NE(w.file(), nullptr);
        fputs("half", w.file());
    }
    rlimit old{}, tiny{8, 8}; // a full disk
    getrlimit(RLIMIT_FSIZE, &old);
    tiny.rlim_max = old.rlim_max;
    signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &tiny);
    const int failed = saveUserProfile(&p);
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, SIG_DFL);
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(read("work/userinfo.dat"), "old\nold@example.org\nVisible\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path / "work"), fs::directory_iterator()), 1);

    // A replaced file keeps its permissions; through a link the target is replaced and the link stays.
    ASSERT_EQ(saveUserProfile(&p), 1);
    EXPECT_EQ(fs::status(dir.path / "work/userinfo.dat").permissions(), fs::perms(0640));
    fs::remove(dir.path / "work/userinfo.dat");
    writeFile(dir / "real.dat", "x\n");
    fs::create_symlink(dir.path / "real.dat", dir.path / "work/userinfo.dat");
    ASSERT_EQ(saveUserProfile(&p), 1);
    EXPECT_TRUE(fs::is_symlink(dir.path / "work/userinfo.dat"));
    EXPECT_EQ(read("real.dat").substr(0, 16), "a-name-too-long\n");
}

TEST(HostEntries, LastWordIsTheAddressAndThePortIsSetEveryCall)
{
    const struct {
        const char *entry, *address;
        int port;
    } cases[] = {
        {"Office 10.0.0.5", "10.0.0.5", 2048}, {"Lab   server    host.example.org", "host.example.org", 2048},
        {"Lab 10.1.2.3 x", "10.1.2.3 x", 2048}, {"Lab 10.1.2.3 ", "10.1.2.3 ", 2048}, {"a   ", "", 2048},
        {" ", "", 2048}, {"10.0.0.9", nullptr, 2048}, {"", nullptr, 2048}, {"BROADCAST 10.0.0.9", "10.0.0.9", 2051},
        {"ULS-BROADCAST-1", nullptr, 2051},
    };
    for (const auto &c : cases) {
        std::string copy(c.entry);
        serverPort = 0;
        const char *r = trimHostString(copy.data());
        EXPECT_EQ(serverPort, c.port) << c.entry;
        EXPECT_EQ(r ? std::optional<std::string>(r) : std::nullopt,
                  c.address ? std::optional<std::string>(c.address) : std::nullopt)
            << c.entry;
    }
    serverPort = 0;
    EXPECT_EQ(trimHostString(nullptr), nullptr);
    EXPECT_EQ(serverPort, 2048);
    for (auto [name, address] : {std::pair<const char *, uint32_t>{"", 0}, {nullptr, 0}, {"0.0.0.0", 0},
                                 {"255.255.255.255", 0xFFFFFFFF}, {"10.1.2.3", 0x0A010203}, {"10.1.2.3 ", 0x0A010203},
                                 {"localhost", INADDR_LOOPBACK}})
        EXPECT_EQ(GetAddr(name), htonl(address)) << (name ? name : "null");
}

TEST(FieldText, LinesAndFieldsAreCutToTheirBufferNeverMidCharacter)
{
    char name[16];
    for (auto [in, out] : {std::pair{"short", "short"}, {"abcdefghijklmnopqrstuvwxyz", "abcdefghijklmno"},
                           {"abcdefghijklmn\xC3\xA9", "abcdefghijklmn"}, {"abcdefghijklm\xC3\xA9z", "abcdefghijklm\xC3\xA9"}}) {
        copyToField(name, sizeof name, in);
        EXPECT_STREQ(name, out);
    }
    char text[] = "first line that is long\nsecond\nlast";
    FILE *f = fmemopen(text, strlen(text), "rb");
    ASSERT_NE(f, nullptr);
    char buf[6];
    std::string lines;
    while (readSettingsLine(f, buf, sizeof buf) == 1 && lines.size() < 100)
        lines += std::string(buf) + "|";
    fclose(f);
    EXPECT_EQ(lines, "first|secon|last|");
    EXPECT_STREQ(buf, "");
}
