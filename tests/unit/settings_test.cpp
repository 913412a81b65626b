// Settings files and address lookup: what is written reads back, long and
// odd lines never shift later fields, and host entries resolve as the list
// dialogs expect.
#include "directory/settings.h"

#include <arpa/inet.h>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>

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

    void write(const char *name, const std::string &bytes) const
    {
        std::ofstream out(dir_ / name, std::ios::binary);
        out << bytes;
    }

    std::string read(const char *name) const
    {
        std::ifstream in(dir_ / name, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    // Reads userinfo.dat through the connect path or the dialog path.
    UserProfile load(const std::string &bytes, bool dialogRules)
    {
        write("userinfo.dat", bytes);
        UserProfile p;
        memset(&p, 0x5A, sizeof p);  // stale bytes that must not survive
        EXPECT_EQ(loadUserInfo(&p, dialogRules, path("userinfo.dat").c_str()), 1);
        return p;
    }

    fs::path dir_;
};

UserProfile makeProfile(const char *name, const char *email, int visible, const char *buddies)
{
    UserProfile p{};
    strncpy(p.name, name, sizeof p.name - 1);
    strncpy(p.email, email, sizeof p.email - 1);
    p.visible = visible;
    strncpy(p.buddyList, buddies, sizeof p.buddyList - 1);
    return p;
}

} // namespace

// ---- userinfo.dat ----

TEST_F(SettingsFiles, ProfileRoundTripsOnBothPaths)
{
    UserProfile saved = makeProfile("alice", "alice@example.org", 1, "bob\ncarol\ndave");
    ASSERT_EQ(saveUserProfile(&saved, path("userinfo.dat").c_str()), 1);
    EXPECT_EQ(read("userinfo.dat"), "alice\nalice@example.org\nVisible\nbob\ncarol\ndave\n");

    for (bool dialog : {false, true}) {
        UserProfile p{};
        ASSERT_EQ(loadUserInfo(&p, dialog, path("userinfo.dat").c_str()), 1);
        EXPECT_STREQ(p.name, "alice");
        EXPECT_STREQ(p.email, "alice@example.org");
        EXPECT_EQ(p.visible, 1);
        EXPECT_STREQ(p.buddyList, "bob\ncarol\ndave");
        EXPECT_EQ(p.ipAddr, GetLocalAddr());
    }
}

TEST_F(SettingsFiles, InvisibleProfileReadsBackInvisibleOnBothPaths)
{
    UserProfile saved = makeProfile("u", "u@x.y", 0, "");
    ASSERT_EQ(saveUserProfile(&saved, path("userinfo.dat").c_str()), 1);
    EXPECT_EQ(read("userinfo.dat"), "u\nu@x.y\nInvisible\n\n");
    EXPECT_EQ(load(read("userinfo.dat"), false).visible, 0);
    EXPECT_EQ(load(read("userinfo.dat"), true).visible, 0);
    EXPECT_STREQ(load(read("userinfo.dat"), true).buddyList, "");
}

TEST_F(SettingsFiles, VisibilityRulesDifferBetweenConnectAndDialog)
{
    const std::string file = "n\ne@x.y\nInvisible mode\n";
    EXPECT_EQ(load(file, false).visible, 1);  // connect: only the exact word
    EXPECT_EQ(load(file, true).visible, 0);   // dialog: the word anywhere
    EXPECT_EQ(load("n\ne@x.y\nVisible\n", false).visible, 1);
    EXPECT_EQ(load("n\ne@x.y\nVisible\n", true).visible, 1);
    EXPECT_EQ(load("n\ne@x.y\n", false).visible, 1);  // missing line 3
    EXPECT_EQ(load("n\ne@x.y\nInvisible\r\n", false).visible, 1);  // the "\r" stays
}

TEST_F(SettingsFiles, OverlongLinesAreCutWithoutShiftingLaterLines)
{
    const std::string longName(40, 'N');
    const std::string longMail = "x@" + std::string(60, 'm') + ".org";
    UserProfile p = load(longName + "\n" + longMail + "\nInvisible\nbob\n", false);
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
    UserProfile r = load("n\n" + std::string(100000, 'e') + "\nInvisible\nz\n", false);
    EXPECT_EQ(std::string(r.email), std::string(31, 'e'));
    EXPECT_EQ(r.visible, 0);
    EXPECT_STREQ(r.buddyList, "z");
}

TEST_F(SettingsFiles, OnlyTheLastCharacterOfALineIsRemoved)
{
    UserProfile p = load("alice\r\nal@x.y\r\nVisible\r\nbob\r\ncarol\r\n", false);
    EXPECT_STREQ(p.name, "alice\r");
    EXPECT_STREQ(p.email, "al@x.y\r");
    EXPECT_STREQ(p.buddyList, "bob\r\ncarol\r");

    // Without a final line end the last real character is the one removed.
    UserProfile q = load("alice\nal@x.y\nVisible\nbob\ncarol", false);
    EXPECT_STREQ(q.buddyList, "bob\ncaro");
}

TEST_F(SettingsFiles, BuddyLinesJoinUpTo64Bytes)
{
    // 4 lines of 16 bytes each ("\n" included) make exactly 64: all fit, and
    // the final "\n" removed leaves 63 characters.
    const std::string l16 = std::string(15, 'b') + "\n";
    UserProfile p = load("n\ne@x.y\nVisible\n" + l16 + l16 + l16 + l16, false);
    EXPECT_EQ(strlen(p.buddyList), 63u);
    EXPECT_EQ(std::string(p.buddyList), l16 + l16 + l16 + std::string(15, 'b'));

    // One byte more in the fourth line: it and everything after it are dropped.
    const std::string l17 = std::string(16, 'c') + "\n";
    UserProfile q = load("n\ne@x.y\nVisible\n" + l16 + l16 + l16 + l17 + "d\n", false);
    EXPECT_EQ(std::string(q.buddyList), l16 + l16 + std::string(15, 'b'));

    // A single 64-byte line fits; a 65-byte first line leaves the list empty
    // even when short lines follow.
    UserProfile r = load("n\ne@x.y\nVisible\n" + std::string(63, 'x') + "\n", false);
    EXPECT_EQ(std::string(r.buddyList), std::string(63, 'x'));
    UserProfile s = load("n\ne@x.y\nVisible\n" + std::string(64, 'x') + "\nshort\n", false);
    EXPECT_STREQ(s.buddyList, "");
}

TEST_F(SettingsFiles, MissingLinesReadAsEmptyAndClearOldValues)
{
    UserProfile p = load("onlyname\n", false);
    EXPECT_STREQ(p.name, "onlyname");
    EXPECT_STREQ(p.email, "");
    EXPECT_EQ(p.visible, 1);
    EXPECT_STREQ(p.buddyList, "");
    // No byte of the stale record survives inside the text fields.
    for (std::size_t i = strlen(p.name); i < sizeof p.name; ++i)
        EXPECT_EQ(p.name[i], '\0');
    for (char c : p.buddyList)
        EXPECT_EQ(c, '\0');

    UserProfile e = load("", true);
    EXPECT_STREQ(e.name, "");
    EXPECT_STREQ(e.email, "");
}

TEST_F(SettingsFiles, EmbeddedNulEndsTheValueButNotTheLine)
{
    UserProfile p = load(std::string("ab\0cd\nm@x.y\nInvisible\n", 22), false);
    // The C-string view of "ab\0cd\n" is "ab", whose last character is then
    // dropped as the line end.
    EXPECT_STREQ(p.name, "a");
    EXPECT_STREQ(p.email, "m@x.y");
    EXPECT_EQ(p.visible, 0);
}

TEST_F(SettingsFiles, MissingProfileLeavesRecordAlone)
{
    UserProfile p = makeProfile("keep", "k@x.y", 1, "b");
    EXPECT_EQ(loadUserInfo(&p, true, path("nope.dat").c_str()), 0);
    EXPECT_STREQ(p.name, "keep");
    EXPECT_EQ(checkLocalInfo(path("nope.dat").c_str()), 0);
}

TEST_F(SettingsFiles, UnwritableFileFailsAndUnterminatedFieldsStayInBounds)
{
    UserProfile p = makeProfile("a", "a@b.c", 1, "");
    EXPECT_EQ(saveUserProfile(&p, path("missing-dir/userinfo.dat").c_str()), 0);
    ProxySettings x{};
    EXPECT_EQ(saveProxyInfo(&x, path("missing-dir/proxy.inf").c_str()), 0);

    // A record whose fields lack terminators is written at field width.
    UserProfile full;
    memset(&full, 'Q', sizeof full);
    ASSERT_EQ(saveUserProfile(&full, path("userinfo.dat").c_str()), 1);
    EXPECT_EQ(read("userinfo.dat"), std::string(16, 'Q') + "\n" + std::string(32, 'Q') + "\nVisible\n" +
                                        std::string(64, 'Q') + "\n");
}

TEST_F(SettingsFiles, CheckLocalInfoWantsAnEmailOnLine2)
{
    auto check = [&](const std::string &bytes) {
        write("userinfo.dat", bytes);
        return checkLocalInfo(path("userinfo.dat").c_str());
    };
    EXPECT_EQ(check("alice\nalice@example.org\nVisible\n"), 1);
    EXPECT_EQ(check("alice\n\nVisible\n"), 0);
    EXPECT_EQ(check("alice\nalice.example@org\n"), 0);
    EXPECT_EQ(check("alice\n"), 0);
    EXPECT_EQ(check(""), 0);
    // The line is judged as read, so its trailing "." counts even without a
    // line end after it.
    EXPECT_EQ(check("alice\na@b."), 1);
    // A long first line doesn't push the e-mail out of line 2.
    EXPECT_EQ(check(std::string(300, 'n') + "\na@b.c\n"), 1);
    // Only the first 31 bytes of line 2 are looked at.
    EXPECT_EQ(check("n\n" + std::string(29, 'x') + "@" + std::string(10, 'y') + ".c\n"), 0);
}

TEST(EmailAddress, NeedsADotFromTheFirstAtOnward)
{
    EXPECT_EQ(isEmailAddr("a@b.c"), 1);
    EXPECT_EQ(isEmailAddr("@."), 1);
    EXPECT_EQ(isEmailAddr("a@b@c.d"), 1);
    EXPECT_EQ(isEmailAddr("a.b@c"), 0);
    EXPECT_EQ(isEmailAddr("abc"), 0);
    EXPECT_EQ(isEmailAddr(""), 0);
    EXPECT_EQ(isEmailAddr(nullptr), 0);
}

// ---- proxy.inf ----

TEST_F(SettingsFiles, ProxySettingsRoundTrip)
{
    ProxySettings saved{};
    strcpy(saved.server, "10.0.0.1");
    strcpy(saved.userID, "abc");
    saved.port = 1080;
    saved.enable = 1;
    ASSERT_EQ(saveProxyInfo(&saved, path("proxy.inf").c_str()), 1);
    EXPECT_EQ(read("proxy.inf"), "10.0.0.1\n1080\nabc\nenable proxy\n");

    ProxySettings p{};
    char portText[kProxyPortTextSize];
    ASSERT_EQ(loadProxyInfo(&p, portText, path("proxy.inf").c_str()), 1);
    EXPECT_STREQ(p.server, "10.0.0.1");
    EXPECT_STREQ(p.userID, "abc");
    EXPECT_EQ(p.port, 1080);
    EXPECT_EQ(p.enable, 1);
    EXPECT_STREQ(portText, "1080");

    saved.enable = 0;
    ASSERT_EQ(saveProxyInfo(&saved, path("proxy.inf").c_str()), 1);
    EXPECT_EQ(read("proxy.inf"), "10.0.0.1\n1080\nabc\ndisable proxy\n");
    ASSERT_EQ(loadProxyInfo(&p, nullptr, path("proxy.inf").c_str()), 1);
    EXPECT_EQ(p.enable, 0);
}

TEST_F(SettingsFiles, ProxyFileOddities)
{
    ProxySettings p{};
    char portText[kProxyPortTextSize];

    // Port text that isn't a number is port 0, its text kept for the dialog;
    // the enable line must match exactly.
    write("proxy.inf", "proxy.lan\nsocks\nme\nenable proxy \n");
    ASSERT_EQ(loadProxyInfo(&p, portText, path("proxy.inf").c_str()), 1);
    EXPECT_EQ(p.port, 0);
    EXPECT_STREQ(portText, "socks");
    EXPECT_EQ(p.enable, 0);

    // Missing lines: empty text, port 0, proxy off.
    p.port = 99;
    p.enable = 1;
    write("proxy.inf", "proxy.lan\n");
    ASSERT_EQ(loadProxyInfo(&p, portText, path("proxy.inf").c_str()), 1);
    EXPECT_STREQ(p.server, "proxy.lan");
    EXPECT_EQ(p.port, 0);
    EXPECT_STREQ(portText, "");
    EXPECT_STREQ(p.userID, "");
    EXPECT_EQ(p.enable, 0);

    // Overlong server and port lines are cut and the rest stays in place;
    // a number too large for an int is clamped, not undefined.
    write("proxy.inf", std::string(200, 's') + "\n99999999999999999999\nuid\nenable proxy\n");
    ASSERT_EQ(loadProxyInfo(&p, portText, path("proxy.inf").c_str()), 1);
    EXPECT_EQ(std::string(p.server), std::string(63, 's'));
    EXPECT_STREQ(portText, "999999999999999");
    EXPECT_EQ(p.port, 2147483647);
    EXPECT_STREQ(p.userID, "uid");
    EXPECT_EQ(p.enable, 1);

    // Trailing non-digits are ignored, as atoi does.
    write("proxy.inf", "s\n 1080x\nu\n");
    ASSERT_EQ(loadProxyInfo(&p, portText, path("proxy.inf").c_str()), 1);
    EXPECT_EQ(p.port, 1080);

    ProxySettings keep{};
    strcpy(keep.server, "old");
    strcpy(portText, "keep");
    EXPECT_EQ(loadProxyInfo(&keep, portText, path("absent.inf").c_str()), 0);
    EXPECT_STREQ(keep.server, "old");
    EXPECT_STREQ(portText, "keep");
}

TEST(TrimNewLine, RemovesOnlyTheLastCharacter)
{
    char a[] = "abc\n";
    trimNewLine(a);
    EXPECT_STREQ(a, "abc");
    char b[] = "x\r\n";
    trimNewLine(b);
    EXPECT_STREQ(b, "x\r");
    char c[] = "";
    trimNewLine(c);
    EXPECT_STREQ(c, "");
    char d[] = "abc";
    trimNewLine(d);
    EXPECT_STREQ(d, "ab");
}

TEST(ReadSettingsLine, ReadsWholeLinesAndCutsToTheBuffer)
{
    char text[] = "first line that is long\nsecond\nlast";
    FILE *f = fmemopen(text, strlen(text), "rb");
    ASSERT_NE(f, nullptr);
    char buf[6];
    EXPECT_EQ(readSettingsLine(f, buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "first");
    EXPECT_EQ(readSettingsLine(f, buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "secon");
    EXPECT_EQ(readSettingsLine(f, buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "las");
    EXPECT_EQ(readSettingsLine(f, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "");
    fclose(f);
}

// ---- Host entries and addresses ----

namespace {
std::string trimmed(const char *entry, int *port = nullptr)
{
    std::string copy(entry);
    serverPort = 0;
    const char *r = trimHostString(copy.data());
    if (port)
        *port = serverPort;
    if (!r)
        return "<null>";
    EXPECT_GE(r, copy.data());
    EXPECT_LE(r, copy.data() + copy.size());
    return r;
}
} // namespace

TEST(TrimHostString, TakesTheLastWordAsAddress)
{
    EXPECT_EQ(trimmed("Office 10.0.0.5"), "10.0.0.5");
    EXPECT_EQ(trimmed("Lab server 10.1.2.3"), "10.1.2.3");
    EXPECT_EQ(trimmed("Lab   server    host.example.org"), "host.example.org");
    EXPECT_EQ(trimmed("Lab 10.1.2.3 x"), "10.1.2.3 x");
    EXPECT_EQ(trimmed("Lab 10.1.2.3 "), "10.1.2.3 ");
    EXPECT_EQ(trimmed("a   "), "");
    EXPECT_EQ(trimmed(" "), "");
    EXPECT_EQ(trimmed("10.0.0.9"), "<null>");
    EXPECT_EQ(trimmed(""), "<null>");
}

TEST(TrimHostString, SetsThePortOnEveryCall)
{
    int port = 0;
    EXPECT_EQ(trimmed("BROADCAST 10.0.0.9", &port), "10.0.0.9");
    EXPECT_EQ(port, 2051);
    EXPECT_EQ(trimmed("10.0.0.9", &port), "<null>");
    EXPECT_EQ(port, 2048);
    EXPECT_EQ(trimmed("ULS-BROADCAST-1", &port), "<null>");
    EXPECT_EQ(port, 2051);
    EXPECT_EQ(trimmed("Home 10.0.0.2", &port), "10.0.0.2");
    EXPECT_EQ(port, 2048);
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

TEST(GetLocalAddr, FindsAnAddress)
{
    uint32_t a = GetLocalAddr();
    EXPECT_NE(a, 0u);
    EXPECT_NE(a, 0xFFFFFFFFu);
}

TEST(CopyToField, CutsAtTheFieldAndNeverSplitsACharacter)
{
    char name[16];
    copyToField(name, sizeof name, "short");
    EXPECT_STREQ(name, "short");
    copyToField(name, sizeof name, "abcdefghijklmnopqrstuvwxyz");
    EXPECT_STREQ(name, "abcdefghijklmno");
    // "é" is two bytes: 14 ASCII + "é" would need 17 bytes with the terminator.
    copyToField(name, sizeof name, "abcdefghijklmn\xC3\xA9");
    EXPECT_STREQ(name, "abcdefghijklmn");
    copyToField(name, sizeof name, "abcdefghijklm\xC3\xA9z");
    EXPECT_STREQ(name, "abcdefghijklm\xC3\xA9");
}
