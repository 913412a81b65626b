// The one door from the front end to the engine.
//
// The front end asks the engine to act only through these commands and shows
// what they return or what the engine later reports through the UI-operations
// table. The engine owns its state, its guards and its threads. Every command
// is called on the GUI thread; none of them blocks on the network or on a
// worker thread.
#pragma once

#include "directory/settings.h" // UserProfile, ProxySettings

#include <string>
#include <vector>

enum class KvResult {
    Ok,              // done, or started
    Pending,         // started; the outcome follows through the done callback
    Busy,            // refused: the sound device is busy (a box may say so)
    BadAddress,      // the address or host name does not resolve
    NotConnected,    // no directory connection
    AlreadyConnected,
    InvalidProfile,  // userinfo.dat is missing or its e-mail address is unusable
    TooLong,         // a file path longer than the engine keeps
    Closing,         // the engine is shutting down
    Failed,          // the attempt failed; the reason went to standard output
};

// Called on the GUI thread when a Pending command has finished.
using KvDoneFn = void (*)(KvResult result, void *data);

enum class KvCodec { Adpcm, Gsm, LdGsm, Lpc10 };

enum class KvCallPhase {
    None,
    Calling,               // our speech goes out; nothing heard from the peer yet
    InCall,                // the peer answered
    AnsweredAutomatically, // a sender was answered without asking
    Incoming,              // a sender is heard but not answered (--no-auto-answer)
    Ended,                 // the peer went silent or our side stopped
};

// What the engine is doing, as the engine sees it.
struct KvEngineStatus {
    bool transmitting = false; // a call's outgoing speech runs
    bool playing = false;      // a voice or AV file plays
    bool recording = false;    // a voice file is recorded
    bool directoryConnected = false;
    KvCallPhase call = KvCallPhase::None;
    std::string peer; // "bob (10.0.0.2)", or the address alone
    bool muted = false;
    KvCodec codec = KvCodec::Gsm;
    int callSeconds = 0;
    std::string fileName; // the file played or recorded, without its folder
    int fileSeconds = 0;
    std::string serverName; // the servers.dat entry's name
    std::string userName;   // left to the caller: the profile is the GUI thread's
};

// The status line's text for status: the call or file, then the directory.
std::string kvStatusLine(const KvEngineStatus &status);
const char *kvCodecName(KvCodec codec);

// ---- engine life ----
void kvStart();                              // opens the device, starts receiving
// On (the default), the first datagram of a new sender is answered with our
// microphone; off, the call is only shown.
void kvSetAutoAnswer(bool on);
void kvQuit(KvDoneFn done, void *data);      // shuts down off the GUI thread, then done
KvEngineStatus kvStatus();

// ---- calls ----
// The menu guards: false (after the "System Busy" box) while a file plays or
// records.
bool kvConnectionAllowed();
// Calls host (dotted address or name, resolved off the GUI thread). done gets
// Ok once the transmission started, BadAddress (after the "Error" box's
// condition: the caller shows it), Busy or Closing.
KvResult kvCall(const char *host, KvDoneFn done, void *data);
// The same for a list entry "name address".
KvResult kvCallEntry(const char *entry, KvDoneFn done, void *data);
// Ends the running transmission after its current block.
KvResult kvMute();

// ---- codec ----
// Refused (Busy, "Audio encoding busy!" printed) while a transmission or a
// recording runs.
bool kvCodecChangeAllowed();
KvResult kvSetCodec(KvCodec codec);
KvCodec kvCodec();

// ---- files ----
bool kvPlayAllowed();   // "System Busy" box unless idle
bool kvRecordAllowed(); // likewise
KvResult kvPlayFile(const char *path);
KvResult kvRecordFile(const char *path);
KvResult kvStop();
int kvProgress(); // 0 to 99

// ---- video ----
constexpr int kvPictureWidth = 160, kvPictureRows = 112; // the part of a picture the window shows
// If a decoded picture waits, calls draw(rgb, stride, data) with its top
// kvPictureRows rows of kvPictureWidth pixels (R, G, B bytes, stride bytes a
// row), then lets the decoder hand over the next one. Returns whether a
// picture waited. GUI thread only.
bool kvTakePicture(void (*draw)(const unsigned char *rgb, int stride, void *data), void *data);

// ---- directory ----
// servers.dat guard: false after the "Invalid User Info" box.
bool kvDirectoryProfileValid();
// Connects (off the GUI thread) to the server of a servers.dat entry and
// registers. done gets Ok, Failed or BadAddress.
KvResult kvDirectoryConnect(const char *entry, KvDoneFn done, void *data);
KvResult kvDirectoryDisconnect();
KvResult kvQueryUsers();
KvResult kvQueryBuddies();
KvResult kvSendChat(const char *text);
bool kvDirectoryConnected();
std::string kvLocalUserName();
// The longest chat text one request carries.
size_t kvMaxChatText();

// ---- settings the dialogs edit ----
// Entries of hosts.dat (hosts) or servers.dat, at most 32; false with the
// "... not found!" line printed if the file is missing.
bool kvReadListFile(bool hosts, std::vector<std::string> &entries);
UserProfile kvLoadProfile();
// `edited` (ProfileField bits) names the fields taken from the record; the
// others keep the bytes the file holds.
void kvSaveProfile(const UserProfile &profile, unsigned edited = kAllProfileFields);
// portText receives the port line as read (kProxyPortTextSize bytes).
ProxySettings kvLoadProxy(char *portText);
void kvSaveProxy(const ProxySettings &proxy);
// Copies text into a fixed field, cut to fit.
void kvCopyToField(char *field, size_t size, const char *text);
int kvTextToInt(const char *text);
// The test Connect Server applies to the profile's e-mail address.
bool kvValidEmail(const char *email);
std::string kvDottedAddress(uint32_t address);
const char *kvSoundDeviceName();
// Where the settings file name is read from (or would be written to).
std::string kvSettingsFilePath(const char *name);
