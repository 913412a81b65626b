// Engine state shared by the GUI thread and the worker threads. Only the call
// controller writes the activity flags; everyone may read them.
#pragma once

#include <atomic>
#include <cstdint>

// Which activity owns the sound device.
enum MachineState : int {
    kStateIdle = 0,
    kStatePlaying = 1,
    kStateRecording = 2,
    kStateTransmitting = 3,
};

extern std::atomic<int> machineState;
extern std::atomic<int> forceExitThread; // stop request for the running file thread
extern std::atomic<int> exitSendAudio;   // 1: no transmission runs (or it is asked to end)
extern std::atomic<int> handle;          // sound device descriptor, -1 until opened

// The device runs at one fixed rate and width.
constexpr int samplesPerSecond = 8000;
constexpr int bitsPerSample = 16;

// The selected speech codec: exactly one or none is set. Written only through
// the call controller, which refuses while a transmission or recording runs.
extern std::atomic<int> gsmcompress;
extern std::atomic<int> ldgsmcompress;
extern std::atomic<int> adpcmcompress;
extern std::atomic<int> lpc10compress;

// One value for the codec a transmission or recording uses from its first
// block to its last.
enum class SpeechCodec { Ulaw, Adpcm, Gsm, LdGsm, Lpc10 };

// The codec the four flags select.
SpeechCodec selectedCodec();
// Sets the four flags to select codec.
void storeCodecSelection(SpeechCodec codec);
// The codec word that codec's packets carry.
uint32_t codecWord(SpeechCodec codec);
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

// Shut-down side of EngineUse: refuse new uses and wait (bounded) for the
// uses in progress; true when none is left. reopenEngineUse admits again.
bool closeEngineUse(int waitMs);
void reopenEngineUse();
