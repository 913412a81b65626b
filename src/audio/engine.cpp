#include "audio/engine.h"

#include "audio/codec_states.h"
#include "audio/receive.h"
#include "audio/sound_device.h"
#include "video/video_hooks.h"

#include <chrono>
#include <cstdio>
#include <thread>
#include <unistd.h>

std::atomic<int> machineState{0};
std::atomic<int> forceExitThread{0};
std::atomic<int> exitSendAudio{1};
std::atomic<int> handle{-1};
int samplesPerSecond = 8000;
int bitsPerSample = 16;
std::atomic<uint32_t> hostIP{0};

std::atomic<int> gsmcompress{1};
std::atomic<int> ldgsmcompress{0};
std::atomic<int> adpcmcompress{0};
std::atomic<int> lpc10compress{0};

pthread_t ptAudioReceiveID;
pthread_t ptAudioSendID;
pthread_t ptPlayAudioID;
pthread_t ptRecordAudioID;

char gstFileName[kFileNameSize];
std::atomic<int> playNotRecord{0};

namespace {

std::atomic<bool> engineClosing{false};
std::atomic<int> engineUsers{0};

// How long shut-down waits for workers to finish the block in hand: the
// longest block is 450 ms of capture, and a playback write can wait for about
// one second of queued sound.
constexpr auto kShutdownWait = std::chrono::milliseconds(2000);

bool waitForEngineUsers()
{
    const auto deadline = std::chrono::steady_clock::now() + kShutdownWait;
    while (engineUsers.load() != 0) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

} // namespace

EngineUse::EngineUse()
{
    engineUsers.fetch_add(1);
    admitted_ = !engineClosing.load();
    if (!admitted_)
        engineUsers.fetch_sub(1);
}

EngineUse::~EngineUse()
{
    if (admitted_)
        engineUsers.fetch_sub(1);
}

uint32_t selectedCodecWord()
{
    uint32_t word = 0;
    if (gsmcompress)
        word |= 0x20;
    if (ldgsmcompress)
        word |= 0x20;
    if (adpcmcompress)
        word |= 0x200;
    if (lpc10compress)
        word |= 0x20000;
    return word;
}

bool startWorker(pthread_t *id, void *(*body)(void *))
{
    return pthread_create(id, nullptr, body, nullptr) == 0;
}

void kvExitProcess(int status)
{
    fflush(nullptr);
    _exit(status);
}

void initSystem()
{
    int fd = -1;
    initAudioDevice(&fd, 2);
    handle = fd;
    // Calls and files work even without a sound card, so the codec states
    // exist whether or not the device opened.
    createCodecStates();
    machineState = kStateIdle;
    initVideo();
    if (!startWorker(&ptAudioReceiveID, receiveAudioThread))
        printf("Unable to create audio receiving thread\n");
}

void closeSystem()
{
    quitAudioProcess();
    const int state = machineState;
    if (state == kStatePlaying || state == kStateRecording)
        forceExitThread = 1;
    if (state == kStateTransmitting)
        exitSendAudio = 1;

    // No worker may touch the device or a codec state after it is released:
    // stop new uses, let those in progress end, and if one does not end in
    // time leave the release to the end of the process.
    engineClosing = true;
    if (waitForEngineUsers()) {
        closeVideo();
        if (closeAudioDevice(handle) == 1)
            handle = -1;
        releaseCodecStates();
    }
    printf("Main process exited\n");
}

void stopPlayRecord()
{
    forceExitThread = 1;
}

void muteAudio()
{
    int expected = 0;
    exitSendAudio.compare_exchange_strong(expected, 1);
}
