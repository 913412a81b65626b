// Settings files and address lookup: what is written reads back, long and
// odd lines never shift later fields, and host entries resolve as the list
// dialogs expect.
#include "directory/settings.h"
#include "directory/address.h"
#include "directory/settings_path.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

class SettingsFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/kv_settings_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string path(const char *name) const { return (dir_ / name).string(); }

    void write(const char *name, const std::string &bytes) const { std::ofstream(dir_ / name, std::ios::binary) << bytes; }

    std::string read(const char *name) const
    {
        std::stringstream ss;
        ss << std::ifstream(dir_ / name, std::ios::binary).rdbuf();
        return ss.str();
    }

    // Reads userinfo.dat through the connect path or the dialog path.
    UserProfile load(const std::string &bytes, bool dialogRules = false)
    {
        write("userinfo.dat", bytes);
        UserProfile p;
        memset(&p, 0x5A, sizeof p); // stale bytes that must not survive
        EXPECT_EQ(loadUserInfo(&p, dialogRules, path("userinfo.dat").c_str()), 1);
        return p;
    }

    // Saves a profile and returns the file's bytes.
    std::string save(const char *name, const char *email, int visible, const char *buddies)
    {
        UserProfile p{};
        strncpy(p.name, name, sizeof p.name - 1);
        strncpy(p.email, email, sizeof p.email - 1);
        p.visible = visible;
        strncpy(p.buddyList, buddies, sizeof p.buddyList - 1);
        EXPECT_EQ(saveUserProfile(&p, path("userinfo.dat").c_str()), 1);
        return read("userinfo.dat");
    }

    fs::path dir_;
};

} // namespace

// ---- userinfo.dat ----

TEST_F(SettingsFiles, ProfileRoundTripsOnBothPaths)
{
    EXPECT_EQ(save("u", "u@x.y", 0, ""), "u\nu@x.y\nInvisible\n\n");
    for (bool dialog : {false, true}) {
        EXPECT_EQ(load(read("userinfo.dat"), dialog).visible, 0);
        EXPECT_STREQ(load(read("userinfo.dat"), dialog).buddyList, "");
    }

    EXPECT_EQ(save("alice", "alice@example.org", 1, "bob\ncarol\ndave"),
              "alice\nalice@example.org\nVisible\nbob\ncarol\ndave\n");
    for (bool dialog : {false, true}) {
        UserProfile p{};
        ASSERT_EQ(loadUserInfo(&p, dialog, path("userinfo.dat").c_str()), 1);
        EXPECT_STREQ(p.name, "alice");
        EXPECT_STREQ(p.email, "alice@example.org");
        EXPECT_EQ(p.visible, 1);
        EXPECT_STREQ(p.buddyList, "bob\ncarol\ndave");
        EXPECT_EQ(p.ipAddr, GetLocalAddr());
        EXPECT_NE(p.ipAddr, 0u);
    }
}

TEST_F(SettingsFiles, VisibilityRulesDifferBetweenConnectAndDialog)
{
    EXPECT_EQ(load("n\ne@x.y\nInvisible mode\n", false).visible, 1); // connect: only the exact word
    EXPECT_EQ(load("n\ne@x.y\nInvisible mode\n", true).visible, 0);  // dialog: the word anywhere
    EXPECT_EQ(load("n\ne@x.y\nVisible\n", false).visible, 1);
    EXPECT_EQ(load("n\ne@x.y\nVisible\n", true).visible, 1);
    EXPECT_EQ(load("n\ne@x.y\n").visible, 1);                 // missing line 3
    EXPECT_EQ(load("n\ne@x.y\nInvisible\r\n", false).visible, 0); // a CRLF line end is a line end
}

TEST_F(SettingsFiles, OverlongLinesAreCutWithoutShiftingLaterLines)
{
    const std::string longMail = "x@" + std::string(60, 'm') + ".org";
    UserProfile p = load(std::string(40, 'N') + "\n" + longMail + "\nInvisible\nbob\n");
    EXPECT_EQ(std::string(p.name), std::string(15, 'N'));
    EXPECT_EQ(std::string(p.email), longMail.substr(0, 31));
    EXPECT_EQ(p.visible, 0);
    EXPECT_STREQ(p.buddyList, "bob");

    // Exactly 15 and 31 characters fit whole; the bare "\n" after them is
    // that line's end, not a line of its own.
    UserProfile q = load(std::string(15, 'a') + "\n" + std::string(31, 'b') + "\nInvisible\ncarol\n", true);
    EXPECT_EQ(std::string(q.name), std::string(15, 'a'));
    EXPECT_EQ(std::string(q.email), std::string(31, 'b'));
    EXPECT_EQ(q.visible, 0);
    EXPECT_STREQ(q.buddyList, "carol");

    // A very long line (much bigger than any buffer) is consumed whole.
    UserProfile r = load("n\n" + std::string(100000, 'e') + "\nInvisible\nz\n");
    EXPECT_EQ(std::string(r.email), std::string(31, 'e'));
    EXPECT_EQ(r.visible, 0);
    EXPECT_STREQ(r.buddyList, "z");
}

TEST_F(SettingsFiles, OnlyLineEndsAreRemoved)
{
    UserProfile p = load("alice\r\nal@x.y\r\nVisible\r\nbob\r\ncarol\r\n");
    EXPECT_STREQ(p.name, "alice");
    EXPECT_STREQ(p.email, "al@x.y");
    EXPECT_STREQ(p.buddyList, "bob\r\ncarol");
    // Without a final line end nothing of the last line is lost.
    EXPECT_STREQ(load("alice\nal@x.y\nVisible\nbob\ncarol").buddyList, "bob\ncarol");
    // The C-string view of "ab\0cd\n" is "ab"; the next line is still line 2.
    UserProfile n = load(std::string("ab\0cd\nm@x.y\nInvisible\n", 22));
    EXPECT_STREQ(n.name, "ab");
    EXPECT_STREQ(n.email, "m@x.y");
    EXPECT_EQ(n.visible, 0);
    ProxySettings proxy{};
    char port[kProxyPortTextSize];
    FILE *f = fmemopen(const_cast<char *>("px\r\n1080\r\nme\r\nenable proxy"), 29, "rb");
    readProxyInfo(f, &proxy, port);
    fclose(f);
    EXPECT_EQ(proxy.enable, 1);
    EXPECT_STREQ(proxy.server, "px");
}

TEST_F(SettingsFiles, BuddyLinesJoinUpTo64Bytes)
{
    // 4 lines of 16 bytes each ("\n" included) make exactly 64: all fit, and
    // the final "\n" removed leaves 63 characters.
    const std::string head = "n\ne@x.y\nVisible\n", l16 = std::string(15, 'b') + "\n";
    EXPECT_EQ(std::string(load(head + l16 + l16 + l16 + l16).buddyList), l16 + l16 + l16 + std::string(15, 'b'));
    // One byte more in the fourth line: it and everything after it are dropped.
    EXPECT_EQ(std::string(load(head + l16 + l16 + l16 + std::string(16, 'c') + "\nd\n").buddyList),
              l16 + l16 + std::string(15, 'b'));
    // A single 64-byte line fits; a 65-byte first line leaves the list empty
    // even when short lines follow.
    EXPECT_EQ(std::string(load(head + std::string(63, 'x') + "\n").buddyList), std::string(63, 'x'));
    EXPECT_STREQ(load(head + std::string(64, 'x') + "\nshort\n").buddyList, "");
}

TEST_F(SettingsFiles, MissingLinesOrFilesAndUnwritablePaths)
{
    UserProfile p = load("onlyname\n");
    EXPECT_STREQ(p.name, "onlyname");
    EXPECT_STREQ(p.email, "");
    EXPECT_EQ(p.visible, 1);
    // No byte of the stale record survives inside the text fields.
    for (std::size_t i = strlen(p.name); i < sizeof p.name; ++i)
        EXPECT_EQ(p.name[i], '\0');
    for (char c : p.buddyList)
        EXPECT_EQ(c, '\0');
    EXPECT_STREQ(load("", true).name, "");

    // A missing file leaves the record alone.
    UserProfile keep{};
    strcpy(keep.name, "keep");
    EXPECT_EQ(loadUserInfo(&keep, true, path("nope.dat").c_str()), 0);
    EXPECT_STREQ(keep.name, "keep");
    EXPECT_EQ(checkLocalInfo(path("nope.dat").c_str()), 0);

    EXPECT_EQ(saveUserProfile(&keep, path("missing-dir/userinfo.dat").c_str()), 0);
    ProxySettings x{};
    EXPECT_EQ(saveProxyInfo(&x, path("missing-dir/proxy.inf").c_str()), 0);

    // A record whose fields lack terminators is written at field width.
    UserProfile full;
    memset(&full, 'Q', sizeof full);
    ASSERT_EQ(saveUserProfile(&full, path("userinfo.dat").c_str()), 1);
    EXPECT_EQ(read("userinfo.dat"),
              std::string(16, 'Q') + "\n" + std::string(32, 'Q') + "\nVisible\n" + std::string(64, 'Q') + "\n");
}

TEST_F(SettingsFiles, CheckLocalInfoWantsAnEmailOnLine2)
{
    const std::pair<std::string, int> cases[] = {
        {"alice\nalice@example.org\nVisible\n", 1},
        {"alice\n\nVisible\n", 0},
        {"alice\nalice.example@org\n", 0},
        {"alice\n", 0},
        {"", 0},
        // The line is judged as read: its trailing "." counts without a line end.
        {"alice\na@b.", 1},
        // A long first line doesn't push the e-mail out of line 2.
        {std::string(300, 'n') + "\na@b.c\n", 1},
        // Only the first 31 bytes of line 2 are looked at.
        {"n\n" + std::string(29, 'x') + "@" + std::string(10, 'y') + ".c\n", 0},
    };
    for (const auto &[bytes, valid] : cases) {
        write("userinfo.dat", bytes);
        EXPECT_EQ(checkLocalInfo(path("userinfo.dat").c_str()), valid) << bytes;
    }
    // An address needs a dot from the first "@" onward.
    for (const char *good : {"a@b.c", "@.", "a@b@c.d"})
        EXPECT_EQ(isEmailAddr(good), 1) << good;
    for (const char *bad : {"a.b@c", "abc", "", static_cast<const char *>(nullptr)})
        EXPECT_EQ(isEmailAddr(bad), 0) << (bad ? bad : "null");
}

// ---- proxy.inf ----

TEST_F(SettingsFiles, ProxySettingsRoundTripAndOddities)
{
    ProxySettings p{};
    char portText[kProxyPortTextSize];
    auto load = [&](const std::string &bytes) {
        write("proxy.inf", bytes);
        EXPECT_EQ(loadProxyInfo(&p, portText, path("proxy.inf").c_str()), 1);
    };
    ProxySettings saved{};
    strcpy(saved.server, "10.0.0.1");
    strcpy(saved.userID, "abc");
    saved.port = 1080;
    for (int enable : {1, 0}) {
        saved.enable = enable;
        ASSERT_EQ(saveProxyInfo(&saved, path("proxy.inf").c_str()), 1);
        const std::string text = read("proxy.inf");
        EXPECT_EQ(text, std::string("10.0.0.1\n1080\nabc\n") + (enable ? "enable" : "disable") + " proxy\n");
        load(text);
        EXPECT_STREQ(p.server, "10.0.0.1");
        EXPECT_STREQ(p.userID, "abc");
        EXPECT_EQ(p.port, 1080);
        EXPECT_EQ(p.enable, enable);
        EXPECT_STREQ(portText, "1080");
    }
    EXPECT_EQ(loadProxyInfo(&p, nullptr, path("proxy.inf").c_str()), 1); // the port text is optional

    // Port text that isn't a number is port 0, its text kept for the dialog;
    // the enable line must match exactly.
    load("proxy.lan\nsocks\nme\nenable proxy \n");
    EXPECT_EQ(p.port, 0);
    EXPECT_STREQ(portText, "socks");
    EXPECT_EQ(p.enable, 0);
    // Missing lines: empty text, port 0, proxy off.
    p.port = 99;
    p.enable = 1;
    load("proxy.lan\n");
    EXPECT_STREQ(p.server, "proxy.lan");
    EXPECT_EQ(p.port, 0);
    EXPECT_STREQ(portText, "");
    EXPECT_STREQ(p.userID, "");
    EXPECT_EQ(p.enable, 0);
    // Overlong server and port lines are cut and the rest stays in place;
    // a number too large for an int is clamped, not undefined.
    load(std::string(200, 's') + "\n99999999999999999999\nuid\nenable proxy\n");
    EXPECT_EQ(std::string(p.server), std::string(63, 's'));
    EXPECT_STREQ(portText, "999999999999999");
    EXPECT_EQ(p.port, 2147483647);
    EXPECT_STREQ(p.userID, "uid");
    EXPECT_EQ(p.enable, 1);
    // Trailing non-digits are ignored, as atoi does.
    load("s\n 1080x\nu\n");
    EXPECT_EQ(p.port, 1080);
    // A missing file leaves everything as it was.
    strcpy(portText, "keep");
    EXPECT_EQ(loadProxyInfo(&p, portText, path("absent.inf").c_str()), 0);
    EXPECT_STREQ(p.server, "s");
    EXPECT_STREQ(portText, "keep");
}

// ---- Host entries and addresses ----

// Runs the settings functions from `work` with the given environment, and
// puts the process back as it was.
class SettingsLocation : public SettingsFiles {
protected:
    void SetUp() override
    {
        SettingsFiles::SetUp();
        fs::create_directories(dir_ / "work");
        oldCwd_ = fs::current_path();
        fs::current_path(dir_ / "work");
        for (const char *v : {"XDG_CONFIG_HOME", "HOME"})
            saved_.emplace_back(v, getenv(v) ? std::optional<std::string>(getenv(v)) : std::nullopt);
        setenv("XDG_CONFIG_HOME", (dir_ / "xdg").c_str(), 1);
        setenv("HOME", (dir_ / "home").c_str(), 1);
    }
    void TearDown() override
    {
        fs::current_path(oldCwd_);
        for (const auto &[name, value] : saved_)
            value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
        SettingsFiles::TearDown();
    }
    fs::path oldCwd_;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST_F(SettingsLocation, TheCurrentDirectoryWinsElseTheConfigFolder)
{
    UserProfile p{};
    strcpy(p.name, "ann");
    ASSERT_EQ(saveUserProfile(&p), 1);
    const fs::path xdgFile = dir_ / "xdg/kestrelvox/userinfo.dat";
    EXPECT_TRUE(fs::exists(xdgFile));
    EXPECT_FALSE(fs::exists(dir_ / "work/userinfo.dat"));
    EXPECT_EQ(fs::status(xdgFile.parent_path()).permissions(), fs::perms::owner_all);
    UserProfile q{};
    ASSERT_EQ(loadUserInfo(&q, true), 1);
    EXPECT_STREQ(q.name, "ann");

    // A file in the current directory is read and written in place.
    write("work/userinfo.dat", "bob\nbob@example.org\nVisible\n");
    ASSERT_EQ(loadUserInfo(&q, true), 1);
    EXPECT_STREQ(q.name, "bob");
    strcpy(q.name, "bobby");
    ASSERT_EQ(saveUserProfile(&q), 1);
    EXPECT_EQ(read("work/userinfo.dat").substr(0, 6), "bobby\n");
    EXPECT_EQ(read("xdg/kestrelvox/userinfo.dat").substr(0, 4), "ann\n");

    // XDG_CONFIG_HOME that is relative or absurdly long is ignored: ~/.config.
    ProxySettings x{};
    std::string tooLong(8000, 'a');
    tooLong[0] = '/';
    for (const std::string &bad : {std::string("relative/config"), tooLong}) {
        setenv("XDG_CONFIG_HOME", bad.c_str(), 1);
        fs::remove_all(dir_ / "home");
        ASSERT_EQ(saveProxyInfo(&x), 1);
        EXPECT_TRUE(fs::exists(dir_ / "home/.config/kestrelvox/proxy.inf")) << bad.substr(0, 20);
    }
}

TEST_F(SettingsLocation, ASaveReplacesTheWholeFileOrNothing)
{
    write("work/userinfo.dat", "old\nold@example.org\nVisible\n");
    const std::string before = read("work/userinfo.dat");
    chmod((dir_ / "work/userinfo.dat").c_str(), 0640);
    UserProfile p{};
    strcpy(p.name, "a-name-too-long");

    // Given up half-way (a crash) or failing to write (a full disk): the old
    // file stays whole and no temporary file is left.
    {
        SettingsFileWriter w((dir_ / "work/userinfo.dat").string());
        ASSERT_NE(w.file(), nullptr);
        fputs("half", w.file());
    }
    rlimit old{}, tiny{8, 8};
    getrlimit(RLIMIT_FSIZE, &old);
    tiny.rlim_max = old.rlim_max;
    signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &tiny);
    const int failed = saveUserProfile(&p);
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, SIG_DFL);
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(read("work/userinfo.dat"), before);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "work"), fs::directory_iterator()), 1);

    // A replaced file keeps its permissions; through a symbolic link the
    // file it points to is replaced and the link stays.
    ASSERT_EQ(saveUserProfile(&p), 1);
    EXPECT_EQ(fs::status(dir_ / "work/userinfo.dat").permissions(), fs::perms(0640));
    fs::remove(dir_ / "work/userinfo.dat");
    write("real.dat", "x\n");
    fs::create_symlink(dir_ / "real.dat", dir_ / "work/userinfo.dat");
    ASSERT_EQ(saveUserProfile(&p), 1);
    EXPECT_TRUE(fs::is_symlink(dir_ / "work/userinfo.dat"));
    EXPECT_EQ(read("real.dat").substr(0, 16), "a-name-too-long\n");
}

TEST(TrimHostString, TakesTheLastWordAsAddressAndSetsThePortEveryCall)
{
    const struct {
        const char *entry, *address;
        int port;
    } cases[] = {
        {"Office 10.0.0.5", "10.0.0.5", 2048},
        {"Lab   server    host.example.org", "host.example.org", 2048},
        {"Lab 10.1.2.3 x", "10.1.2.3 x", 2048},
        {"Lab 10.1.2.3 ", "10.1.2.3 ", 2048},
        {"a   ", "", 2048},
        {" ", "", 2048},
        {"10.0.0.9", nullptr, 2048},
        {"", nullptr, 2048},
        {"BROADCAST 10.0.0.9", "10.0.0.9", 2051},
        {"ULS-BROADCAST-1", nullptr, 2051},
    };
    for (const auto &c : cases) {
        std::string copy(c.entry);
        serverPort = 0;
        const char *r = trimHostString(copy.data());
        EXPECT_EQ(serverPort, c.port) << c.entry;
        if (!c.address) {
            EXPECT_EQ(r, nullptr) << c.entry;
            continue;
        }
        ASSERT_GE(r, copy.data());
        ASSERT_LE(r, copy.data() + copy.size());
        EXPECT_STREQ(r, c.address);
    }
    serverPort = 0;
    EXPECT_EQ(trimHostString(nullptr), nullptr);
    EXPECT_EQ(serverPort, 2048);
}

TEST(GetAddr, DottedAddressesAndSpecialValues)
{
    EXPECT_EQ(GetAddr(""), 0u);
    EXPECT_EQ(GetAddr(nullptr), 0u);
    EXPECT_EQ(GetAddr("0.0.0.0"), 0u);
    EXPECT_EQ(GetAddr("255.255.255.255"), 0xFFFFFFFFu);
    EXPECT_EQ(GetAddr("10.1.2.3"), htonl(0x0A010203));
    // A trailing blank left by trimHostString still resolves.
    EXPECT_EQ(GetAddr("10.1.2.3 "), htonl(0x0A010203));
    // Names from the hosts file resolve without leaving the machine.
    EXPECT_EQ(GetAddr("localhost"), htonl(INADDR_LOOPBACK));
}

TEST(CopyToField, CutsAtTheFieldAndNeverSplitsACharacter)
{
    char name[16];
    const std::pair<const char *, const char *> cases[] = {
        {"short", "short"},
        {"abcdefghijklmnopqrstuvwxyz", "abcdefghijklmno"},
        // "é" is two bytes: 14 ASCII + "é" would need 17 bytes with the terminator.
        {"abcdefghijklmn\xC3\xA9", "abcdefghijklmn"},
        {"abcdefghijklm\xC3\xA9z", "abcdefghijklm\xC3\xA9"},
    };
    for (auto [in, out] : cases) {
        copyToField(name, sizeof name, in);
        EXPECT_STREQ(name, out);
    }
}

TEST(ReadSettingsLine, ReadsWholeLinesCutToTheBufferUntilTheEnd)
{
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

// The profile dialog saves only what the user edited: every other line keeps
// the bytes the file held, NULs, invalid UTF-8, CRLF and a missing last
// newline included.
TEST_F(SettingsFiles, SavingEditedFieldsKeepsEveryOtherLineByteForByte)
{
    const std::string original("al\0ice\r\nal@example.org\r\nVisible\r\nbob\r\n\xff" "dd\r\ncarol", 48);
    UserProfile p = load(original, true);
    strcpy(p.email, "al@example.net");
    ASSERT_EQ(saveUserProfile(&p, path("userinfo.dat").c_str(), kProfileEmail), 1);
    EXPECT_EQ(read("userinfo.dat"),
              std::string("al\0ice\r\nal@example.net\nVisible\r\nbob\r\n\xff" "dd\r\ncarol", 47));

    // A file with fewer lines gets the missing fields from the record.
    write("userinfo.dat", "zoe");
    p = load("zoe", true);
    ASSERT_EQ(saveUserProfile(&p, path("userinfo.dat").c_str(), kProfileVisibility), 1);
    EXPECT_EQ(read("userinfo.dat"), "zoe\n\nVisible\n\n");
}
