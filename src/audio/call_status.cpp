#include "audio/call_status.h"

#include "directory/settings.h"
#include "directory/settings_path.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>

namespace {

int64_t nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::mutex mutex;
KvCallPhase phase = KvCallPhase::None;
std::string peerName;
bool muted = false;
int64_t callStartMs = 0;
std::atomic<uint32_t> peerAddress{0};
std::atomic<int64_t> lastHeardMs{0};
std::atomic<bool> awaitingAnswer{false}; // Calling: the first datagram turns it into a call

std::string fileName;
int64_t fileStartMs = 0;
std::string serverName;

std::string dotted(uint32_t address)
{
    in_addr a{};
    a.s_addr = address;
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

// The name hosts.dat gives address, if any; looked up once per new peer.
std::string hostsName(uint32_t address)
{
    static uint32_t cachedAddress = 0;
    static std::string cachedName;
    if (address == cachedAddress)
        return cachedName;
    cachedAddress = address;
    cachedName.clear();
    FILE *f = fopen(settingsFilePath("hosts.dat").c_str(), "rb");
    if (!f)
        return cachedName;
    const std::string want = dotted(address);
    char line[128];
    for (int i = 0; i < 32 && readSettingsLine(f, line, sizeof line); ++i) {
        const std::string entry = line;
        const size_t space = entry.find_first_of(" \t");
        if (space == std::string::npos)
            continue;
        const size_t start = entry.find_first_not_of(" \t", space);
        if (start != std::string::npos && entry.compare(start, want.size(), want) == 0 &&
            entry.find_first_not_of(" \t", start + want.size()) == std::string::npos) {
            cachedName = entry.substr(0, space);
            break;
        }
    }
    fclose(f);
    return cachedName;
}

void begin(KvCallPhase p, const std::string &name, uint32_t address)
{
    phase = p;
    peerName = name;
    muted = false;
    callStartMs = nowMs();
    lastHeardMs = callStartMs;
    peerAddress = address;
    awaitingAnswer = p == KvCallPhase::Calling;
}

std::string clock(int64_t ms)
{
    const int64_t s = ms / 1000;
    char text[32];
    snprintf(text, sizeof text, "%02lld:%02lld", static_cast<long long>(s / 60), static_cast<long long>(s % 60));
    return text;
}

} // namespace

void callStatusDialed(const std::string &name, uint32_t address)
{
    std::lock_guard lock(mutex);
    begin(KvCallPhase::Calling, name == dotted(address) ? std::string() : name, address);
}

void callStatusAnswered(uint32_t address)
{
    std::lock_guard lock(mutex);
    begin(KvCallPhase::AnsweredAutomatically, {}, address);
}

void callStatusIncoming(uint32_t address)
{
    std::lock_guard lock(mutex);
    if (phase == KvCallPhase::Incoming && peerAddress == address)
        return;
    begin(KvCallPhase::Incoming, {}, address);
}

void callStatusHeard(uint32_t address)
{
    if (address != peerAddress.load(std::memory_order_relaxed))
        return;
    lastHeardMs.store(nowMs(), std::memory_order_relaxed);
    if (awaitingAnswer.load(std::memory_order_relaxed)) {
        std::lock_guard lock(mutex);
        if (phase == KvCallPhase::Calling && peerAddress == address) {
            phase = KvCallPhase::InCall;
            callStartMs = nowMs();
        }
        awaitingAnswer = false;
    }
}

void callStatusMuted()
{
    std::lock_guard lock(mutex);
    if (phase != KvCallPhase::None)
        muted = true;
}

void callStatusTransmissionEnded()
{
    std::lock_guard lock(mutex);
    if (!muted && phase != KvCallPhase::None && phase != KvCallPhase::Incoming)
        phase = KvCallPhase::Ended;
}

bool callStatusAutoAnswerLapsed()
{
    std::lock_guard lock(mutex);
    return phase == KvCallPhase::AnsweredAutomatically && !muted && nowMs() - lastHeardMs >= kAutoAnswerLapseMs;
}

void fileStatusStarted(const std::string &path, bool recording, bool appending)
{
    std::lock_guard lock(mutex);
    const size_t slash = path.rfind('/');
    fileName = slash == std::string::npos ? path : path.substr(slash + 1);
    if (recording && appending)
        fileName += " (appended to the existing file)";
    fileStartMs = nowMs();
}

void directoryStatusServer(const std::string &server)
{
    std::lock_guard lock(mutex);
    serverName = server;
}

void callStatusFill(KvEngineStatus &status)
{
    std::lock_guard lock(mutex);
    const int64_t now = nowMs();
    status.call = phase;
    // A peer that went silent has ended the call, whatever we still send.
    if ((phase == KvCallPhase::InCall || phase == KvCallPhase::AnsweredAutomatically ||
         phase == KvCallPhase::Incoming) &&
        now - lastHeardMs > kCallSilenceMs)
        status.call = KvCallPhase::Ended;
    const uint32_t address = peerAddress;
    const std::string name = peerName.empty() ? hostsName(address) : peerName;
    status.peer = name.empty() ? dotted(address) : name + " (" + dotted(address) + ")";
    status.muted = muted;
    status.callSeconds = static_cast<int>((now - callStartMs) / 1000);
    if (status.playing || status.recording) {
        status.fileName = fileName;
        status.fileSeconds = static_cast<int>((now - fileStartMs) / 1000);
    }
    status.serverName = serverName;
}

std::string kvStatusLine(const KvEngineStatus &s)
{
    std::string call;
    switch (s.call) {
    case KvCallPhase::None:
        break;
    case KvCallPhase::Calling:
        call = "Calling " + s.peer + "\u2026";
        break;
    case KvCallPhase::InCall:
        call = "In call with " + s.peer + ", " + kvCodecName(s.codec) + ", " + clock(s.callSeconds * 1000LL);
        break;
    case KvCallPhase::AnsweredAutomatically:
        call = "Answered " + s.peer + " automatically \u2014 your microphone is live";
        break;
    case KvCallPhase::Incoming:
        call = s.peer + " is calling \u2014 use Connect > New to answer";
        break;
    case KvCallPhase::Ended:
        call = s.transmitting ? "Call ended: " + s.peer + " stopped sending; your microphone is still sent (Audio > Mute)"
                              : "Call ended";
        break;
    }
    if (s.muted && s.call != KvCallPhase::None && s.call != KvCallPhase::Ended)
        call = "Muted";
    std::string line = call;
    if (s.playing || s.recording) {
        if (!line.empty())
            line += "\n";
        line += (s.recording ? "Recording " : "Playing ") + s.fileName + ", " + clock(s.fileSeconds * 1000LL);
    }
    if (!line.empty())
        line += "\n";
    line += s.directoryConnected ? "Registered as " + s.userName + " on server " + s.serverName : "Not connected";
    return line;
}
