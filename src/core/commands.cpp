#include "core/commands.h"

#include "audio/call_controller.h"
#include "audio/call_status.h"
#include "audio/receive.h"
#include "audio/engine.h"
#include "audio/sound_device.h"
#include "core/progress.h"
#include "core/ui_ops.h"
#include "core/util.h"
#include "directory/settings_path.h"
#include "directory/uls_client.h"
#include "video/display.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The longest file path the engine keeps.
constexpr size_t kFileNameSize = 128;

bool directoryConnectPending = false; // GUI thread only

void busyBox(const char *what)
{
    messageBox("System Busy", (std::string("Audio device occupied,\n") + what).c_str());
}

bool pathFits(const char *path)
{
    if (path && std::strlen(path) < kFileNameSize)
        return true;
    messageBox("File Name Too Long",
               "The path of the chosen file is longer than 127 characters.\n"
               "Choose a file with a shorter path.");
    return false;
}

struct DirectoryRequest {
    UlsConnectJob job;
    KvDoneFn done;
    void *data;
    bool ok = false;
    std::string serverName;
};

void finishDirectoryConnect(void *p)
{
    std::unique_ptr<DirectoryRequest> request(static_cast<DirectoryRequest *>(p));
    directoryConnectPending = false;
    KvResult result = KvResult::Failed;
    if (request->ok && !kvShuttingDown()) {
        ulsAdoptConnection(request->job);
        directoryStatusServer(request->serverName);
        result = KvResult::Ok;
    } else {
        if (request->job.sock >= 0)
            close(request->job.sock);
        if (!request->job.addressValid)
            result = KvResult::BadAddress;
    }
    kvNotifyStatus();
    if (request->done)
        request->done(result, request->data);
}

struct QuitRequest {
    KvDoneFn done;
    void *data;
};

// A list entry is "name ... address": the address is its last word and the
// name its first. False when the entry holds no address.
bool splitEntry(const char *entry, std::string &address, std::string &name)
{
    const std::string text = entry ? entry : "";
    // trimHostString works in place.
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    const char *found = trimHostString(buffer.data());
    if (!found)
        return false;
    address = found;
    name = text.substr(0, text.find_first_of(" \t"));
    return true;
}

} // namespace

// ---- engine life ----

void kvStart()
{
    kvSetStatusSource(kvStatus);
    // The saved proxy choice holds from the first connect on, not only after
    // the Proxy Setup dialog has been opened.
    char portText[kProxyPortTextSize];
    loadProxyInfo(&proxyInfo, portText);
    initSystem();
}

void kvSetAutoAnswer(bool on)
{
    setAutoAnswer(on);
}

const char *kvCodecName(KvCodec codec)
{
    static const char *const names[] = {"ADPCM", "GSM", "LD-GSM", "LPC10"};
    return names[static_cast<int>(codec)];
}

void kvQuit(KvDoneFn done, void *data)
{
    // Say goodbye to the directory server while its socket is still ours.
    if (serverConnected)
        serverConnection(nullptr, kUlsQuit);
    auto *request = new QuitRequest{done, data};
    // The workers may need a block or a lookup to end: wait for them off the
    // GUI thread, and come back to it when all is released.
    std::thread([request] {
        closeSystem();
        kvRunOnGui(
            [](void *p) {
                std::unique_ptr<QuitRequest> r(static_cast<QuitRequest *>(p));
                if (r->done)
                    r->done(KvResult::Ok, r->data);
            },
            request);
    }).detach();
}

KvEngineStatus kvStatus()
{
    const ActivityFlags a = currentActivity();
    KvEngineStatus status;
    status.transmitting = a.transmitting;
    status.playing = a.playing;
    status.recording = a.recording;
    status.directoryConnected = serverConnected != 0;
    status.codec = kvCodec();
    callStatusFill(status);
    return status;
}

// ---- calls ----

bool kvConnectionAllowed()
{
    const int state = machineState;
    if (state == kStatePlaying || state == kStateRecording) {
        busyBox("Connection not allowed!");
        return false;
    }
    return true;
}

KvResult kvCall(const char *host, KvDoneFn done, void *data)
{
    if (!kvConnectionAllowed())
        return KvResult::Busy;
    return startTransmissionTo(host ? host : "", done, data);
}

KvResult kvCallEntry(const char *entry, KvDoneFn done, void *data)
{
    std::string address, name;
    if (!splitEntry(entry, address, name))
        return KvResult::BadAddress;
    if (!kvConnectionAllowed())
        return KvResult::Busy;
    // The entry's first word names the peer on the status line.
    return startTransmissionTo(address.c_str(), done, data, name);
}

KvResult kvMute()
{
    if (!muteTransmission())
        return KvResult::NotConnected;
    callStatusMuted();
    kvNotifyStatus();
    return KvResult::Ok;
}

// ---- codec ----

namespace {

SpeechCodec toSpeechCodec(KvCodec codec)
{
    switch (codec) {
    case KvCodec::Adpcm:
        return SpeechCodec::Adpcm;
    case KvCodec::LdGsm:
        return SpeechCodec::LdGsm;
    case KvCodec::Lpc10:
        return SpeechCodec::Lpc10;
    case KvCodec::Gsm:
        break;
    }
    return SpeechCodec::Gsm;
}

} // namespace

bool kvCodecChangeAllowed()
{
    const ActivityFlags a = currentActivity();
    if (exitSendAudio == 0 || a.recording) {
        printf("Audio encoding busy!\n");
        return false;
    }
    return true;
}

KvResult kvSetCodec(KvCodec codec)
{
    const KvResult result = changeCodec(toSpeechCodec(codec));
    if (result == KvResult::Ok) {
        printf("Audio mode: %s\n", kvCodecName(codec));
    }
    return result;
}

KvCodec kvCodec()
{
    switch (selectedCodec()) {
    case SpeechCodec::Adpcm:
        return KvCodec::Adpcm;
    case SpeechCodec::LdGsm:
        return KvCodec::LdGsm;
    case SpeechCodec::Lpc10:
        return KvCodec::Lpc10;
    default:
        return KvCodec::Gsm;
    }
}

// ---- files ----

bool kvPlayAllowed()
{
    if (machineState != kStateIdle) {
        busyBox("Playing not allowed!  ");
        return false;
    }
    return true;
}

bool kvRecordAllowed()
{
    if (machineState != kStateIdle) {
        busyBox("Recording not allowed!");
        return false;
    }
    return true;
}

KvResult kvPlayFile(const char *path)
{
    if (!pathFits(path))
        return KvResult::TooLong;
    const KvResult result = startFilePlayback(path);
    if (result == KvResult::Ok)
        fileStatusStarted(path, false, false);
    if (result == KvResult::Busy)
        busyBox("Playing not allowed!  ");
    return result;
}

KvResult kvRecordFile(const char *path)
{
    if (!pathFits(path))
        return KvResult::TooLong;
    struct stat st {};
    const bool appending = stat(path, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
    const KvResult result = startFileRecording(path);
    if (result == KvResult::Ok)
        fileStatusStarted(path, true, appending);
    if (result == KvResult::Busy)
        busyBox("Recording not allowed!");
    return result;
}

KvResult kvStop()
{
    stopFileThreads();
    return KvResult::Ok;
}

int kvProgress()
{
    return progBarCount;
}

// ---- video ----

static_assert(kvPictureWidth == kDisplayWidth && kvPictureRows == kDisplayDrawnRows);

bool kvTakePicture(void (*draw)(const unsigned char *rgb, int stride, void *data), void *data)
{
    if (!blVideoDisBusy.load(std::memory_order_acquire))
        return false;
    draw(pBufDisplayRGB, kDisplayStride, data);
    blVideoDisBusy.store(0, std::memory_order_release);
    return true;
}

// ---- directory ----

bool kvDirectoryProfileValid()
{
    if (checkLocalInfo() == 0) {
        messageBox("Invalid User Info", "Check userinfo.dat file\nto make sure your name \n& Email ID are correct");
        return false;
    }
    return true;
}

KvResult kvDirectoryConnect(const char *entry, KvDoneFn done, void *data)
{
    if (serverConnected || directoryConnectPending)
        return KvResult::AlreadyConnected;
    std::string address, name;
    if (!splitEntry(entry, address, name))
        return KvResult::BadAddress;
    auto *request = new DirectoryRequest{};
    request->job.serverText = address;
    request->serverName = name;
    request->job.port = serverPort;
    request->job.proxy = proxyInfo;
    request->done = done;
    request->data = data;
    const KvResult started = startBackgroundJob(
        [](void *p) {
            auto *r = static_cast<DirectoryRequest *>(p);
            r->ok = ulsConnectBlocking(r->job);
            kvRunOnGui(finishDirectoryConnect, r);
        },
        request);
    if (started != KvResult::Ok) {
        delete request;
        return started;
    }
    directoryConnectPending = true;
    return KvResult::Pending;
}

KvResult kvDirectoryDisconnect()
{
    if (!serverConnected)
        return KvResult::NotConnected;
    serverConnection(nullptr, kUlsQuit);
    kvNotifyStatus();
    return KvResult::Ok;
}

KvResult kvQueryUsers()
{
    if (!serverConnected)
        return KvResult::NotConnected;
    serverConnection(nullptr, kUlsRefreshUser);
    return KvResult::Ok;
}

KvResult kvQueryBuddies()
{
    if (!serverConnected)
        return KvResult::NotConnected;
    serverConnection(nullptr, kUlsRefreshBuddy);
    return KvResult::Ok;
}

KvResult kvSendChat(const char *text)
{
    if (!serverConnected)
        return KvResult::NotConnected;
    serverConnection(text, kUlsMessage);
    return KvResult::Ok;
}

bool kvDirectoryConnected()
{
    return serverConnected != 0;
}

size_t kvMaxChatText()
{
    return kUlsMaxChatText;
}

std::string kvLocalUserName()
{
    return std::string(localInfo.name, strnlen(localInfo.name, sizeof localInfo.name));
}

// ---- settings ----

bool kvReadListFile(bool hosts, std::vector<std::string> &entries)
{
    const char *name = hosts ? "hosts.dat" : "servers.dat";
    FILE *f = fopen(settingsFilePath(name).c_str(), "rb");
    if (!f) {
        printf(hosts ? "Host file %s not found!\n" : "Server file %s not found!\n", name);
        return false;
    }
    constexpr int kMaxFileEntries = 32;
    char line[128];
    while (static_cast<int>(entries.size()) < kMaxFileEntries && readSettingsLine(f, line, sizeof line))
        entries.emplace_back(line);
    fclose(f);
    return true;
}

UserProfile kvLoadProfile()
{
    loadUserInfo(&localInfo, true);
    return localInfo;
}

void kvSaveProfile(const UserProfile &profile, unsigned edited)
{
    localInfo = profile;
    saveUserProfile(&localInfo, kUserInfoFile, edited);
}

ProxySettings kvLoadProxy(char *portText)
{
    loadProxyInfo(&proxyInfo, portText);
    return proxyInfo;
}

void kvSaveProxy(const ProxySettings &proxy)
{
    proxyInfo = proxy;
    saveProxyInfo(&proxyInfo);
}

void kvCopyToField(char *field, size_t size, const char *text)
{
    copyToField(field, size, text);
}

int kvTextToInt(const char *text)
{
    return textToInt(text);
}

std::string kvDottedAddress(uint32_t address)
{
    in_addr a{};
    a.s_addr = address;
    char dotted[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a, dotted, sizeof dotted);
    return dotted;
}

const char *kvSoundDeviceName()
{
    return audioDeviceName(handle);
}

std::string kvSettingsFilePath(const char *name)
{
    return settingsFilePath(name, false);
}

bool kvValidEmail(const char *email)
{
    return isEmailAddr(email) != 0;
}
