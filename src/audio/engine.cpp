#include "audio/engine.h"

#include "audio/call_controller.h"
#include "audio/codec_states.h"
#include "audio/engine_state.h"
#include "audio/receive.h"
#include "audio/sound_device.h"
#include "video/video_hooks.h"

#include <cstdio>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

std::thread ptAudioReceiveID;
std::mutex lifeMutex;

// A playback write can wait for about one second of queued sound.
constexpr int kDeviceUseWaitMs = 2000;

} // namespace

void startEngineThreads()
{
    std::lock_guard lock(lifeMutex);
    reopenEngineUse();
    reopenWorkers();
    forgetPeer();
    if (ptAudioReceiveID.joinable())
        return;
    try {
        ptAudioReceiveID = std::thread([] { receiveAudio(); });
    } catch (const std::system_error &) {
        printf("Unable to create audio receiving thread\n");
    }
}

void initSystem()
{
    int fd = -1;
    initAudioDevice(&fd, kDeviceFullDuplex);
    handle = fd;
    // Calls and files work even without a sound card, so the codec states
    // exist whether or not the device opened.
    createCodecStates();
    machineState = kStateIdle;
    initVideo();
    startEngineThreads();
}

void closeSystem()
{
    std::lock_guard lock(lifeMutex);
    quitAudioProcess();
    stopReceiving();
    shutdownWorkers();
    if (ptAudioReceiveID.joinable())
        ptAudioReceiveID.join();

    // Every worker has been joined; a use still in progress could only come
    // from a thread outside the engine, so it is waited for all the same.
    if (closeEngineUse(kDeviceUseWaitMs)) {
        closeVideo();
        if (closeAudioDevice(handle) == 1)
            handle = -1;
        releaseCodecStates();
    }
    printf("Main process exited\n");
}
