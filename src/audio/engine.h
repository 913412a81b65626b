// Engine state shared by the GUI thread and the worker threads, and the
// engine's start-up and shut-down.
#pragma once

#include <atomic>
#include <cstdint>
#include <pthread.h>

// Which activity owns the sound device.
enum MachineState : int {
    kStateIdle = 0,
    kStatePlaying = 1,
    kStateRecording = 2,
    kStateTransmitting = 3,
};

extern std::atomic<int> machineState;
extern std::atomic<int> forceExitThread; // stops the file threads
extern std::atomic<int> exitSendAudio;   // 1: no transmission runs (or it is asked to end)
extern std::atomic<int> handle;          // sound device descriptor, -1 until opened
extern int samplesPerSecond;             // 8000, fixed
extern int bitsPerSample;                // 16, fixed
extern std::atomic<uint32_t> hostIP;     // peer of the transmitting thread, network order

// The selected speech codec: exactly one or none is set.
extern std::atomic<int> gsmcompress;
extern std::atomic<int> ldgsmcompress;
extern std::atomic<int> adpcmcompress;
extern std::atomic<int> lpc10compress;

extern pthread_t ptAudioReceiveID;
extern pthread_t ptAudioSendID;
extern pthread_t ptPlayAudioID;
extern pthread_t ptRecordAudioID;

constexpr int kFileNameSize = 128;
extern char gstFileName[kFileNameSize]; // path chosen in the file selector
extern std::atomic<int> playNotRecord;  // 1 when the selector was opened for playing

void initSystem();
void closeSystem();
void stopPlayRecord();
void muteAudio();

// Codec word of the current selection.
uint32_t selectedCodecWord();

// Flushes the standard streams and ends the process at once, without running
// destructors under threads that may still be working.
[[noreturn]] void kvExitProcess(int status);

// Held by a worker for each use of the device or a codec state. Once shut-down
// has begun no new use starts, and closeSystem releases the device and the
// codec states only after every use in progress has ended.
class EngineUse {
public:
    EngineUse();
    ~EngineUse();
    EngineUse(const EngineUse &) = delete;
    EngineUse &operator=(const EngineUse &) = delete;
    explicit operator bool() const { return admitted_; }

private:
    bool admitted_;
};

// Starts a joinable thread running body; the handle is kept, never joined.
bool startWorker(pthread_t *id, void *(*body)(void *));
