// Where the settings files live, and how they are replaced.
//
// A settings file given by bare name ("userinfo.dat") is used from the
// current directory when it is there, as it always was; otherwise it lives in
// $XDG_CONFIG_HOME/kestrelvox/, or ~/.config/kestrelvox/ when that variable
// is unset or not an absolute path. A name with a "/" is taken as it is.
#pragma once

#include <cstdio>
#include <string>

// The per-user settings folder, without a final "/"; empty when neither
// XDG_CONFIG_HOME nor a home folder gives a usable one.
std::string settingsConfigDir();

// The path to open for the settings file `name`. With forWriting, the
// per-user folder is created (mode 0700) when the file goes there.
std::string settingsFilePath(const char *name, bool forWriting = false);

// A settings file being written: the text goes to a temporary file beside the
// target, and commit() renames it over the target, so a crash or a full disk
// never leaves half a file behind. Destroying it without commit() removes the
// temporary file and leaves the target alone.
class SettingsFileWriter {
public:
    explicit SettingsFileWriter(std::string path);
    ~SettingsFileWriter();
    SettingsFileWriter(const SettingsFileWriter &) = delete;
    SettingsFileWriter &operator=(const SettingsFileWriter &) = delete;

    // Null when the temporary file could not be created.
    FILE *file() const { return file_; }
    // Flushes, syncs and renames; false (and the target untouched) on any
    // failure.
    bool commit();

private:
    std::string path_;
    std::string tempPath_;
    FILE *file_ = nullptr;
};
