#include "directory/settings_path.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char *kAppFolder = "kestrelvox";
// Room left in a path for the folder and file names after the base.
constexpr std::size_t kMaxBaseLength = PATH_MAX - 64;

// An environment value we may build paths on: absolute and of sane length.
// Anything else is ignored, with a word on standard error the first time.
bool usableBase(const char *value, const char *what)
{
    if (!value || !*value)
        return false;
    const std::size_t len = strnlen(value, kMaxBaseLength + 1);
    if (value[0] == '/' && len <= kMaxBaseLength)
        return true;
    static bool told[2];
    bool &once = told[strcmp(what, "HOME") == 0 ? 1 : 0];
    if (!once) {
        once = true;
        fprintf(stderr, "%s is %s; ignoring it for the settings folder\n", what,
                len > kMaxBaseLength ? "too long" : "not an absolute path");
    }
    return false;
}

std::string homeDir()
{
    const char *home = getenv("HOME");
    if (usableBase(home, "HOME"))
        return home;
    if (const passwd *pw = getpwuid(getuid()); pw && pw->pw_dir && pw->pw_dir[0] == '/' &&
                                                strnlen(pw->pw_dir, kMaxBaseLength + 1) <= kMaxBaseLength)
        return pw->pw_dir;
    return {};
}

// mkdir -p, each new level private to the user as the base directory rules
// ask for $XDG_CONFIG_HOME.
bool makeFolder(const std::string &dir)
{
    for (std::size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
        const std::string level = dir.substr(0, slash);
        if (mkdir(level.c_str(), 0700) != 0 && errno != EEXIST) {
            fprintf(stderr, "mkdir %s: %s\n", level.c_str(), strerror(errno));
            return false;
        }
        if (slash == std::string::npos)
            return true;
    }
}

} // namespace

std::string settingsConfigDir()
{
    const char *xdg = getenv("XDG_CONFIG_HOME");
    if (usableBase(xdg, "XDG_CONFIG_HOME"))
        return std::string(xdg) + "/" + kAppFolder;
    const std::string home = homeDir();
    if (home.empty())
        return {};
    return home + "/.config/" + kAppFolder;
}

std::string settingsFilePath(const char *name, bool forWriting)
{
    if (strchr(name, '/'))
        return name;
    struct stat st{};
    if (stat(name, &st) == 0)
        return name;
    const std::string dir = settingsConfigDir();
    if (dir.empty())
        return name;
    // A folder that can't be made fails the write that needs it.
    if (forWriting)
        makeFolder(dir);
    return dir + "/" + name;
}

SettingsFileWriter::SettingsFileWriter(std::string path) : path_(std::move(path))
{
    // Through a symbolic link the file it points to is what gets replaced.
    if (char *real = realpath(path_.c_str(), nullptr)) {
        path_ = real;
        free(real);
    }
    tempPath_ = path_ + ".XXXXXX";
    const int fd = mkostemp(tempPath_.data(), O_CLOEXEC);
    if (fd < 0) {
        tempPath_.clear();
        return;
    }
    // A replaced file keeps its permissions; a new one is private.
    struct stat st{};
    fchmod(fd, stat(path_.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0600);
    file_ = fdopen(fd, "wb");
    if (!file_) {
        close(fd);
        unlink(tempPath_.c_str());
        tempPath_.clear();
    }
}

SettingsFileWriter::~SettingsFileWriter()
{
    if (file_) {
        fclose(file_);
        unlink(tempPath_.c_str());
    }
}

bool SettingsFileWriter::commit()
{
    if (!file_)
        return false;
    bool ok = fflush(file_) == 0 && !ferror(file_) && fsync(fileno(file_)) == 0;
    ok = fclose(file_) == 0 && ok;
    file_ = nullptr;
    if (ok && rename(tempPath_.c_str(), path_.c_str()) == 0)
        return true;
    fprintf(stderr, "write %s: %s\n", path_.c_str(), strerror(errno));
    unlink(tempPath_.c_str());
    return false;
}
