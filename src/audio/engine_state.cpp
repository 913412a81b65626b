#include "audio/engine_state.h"

#include <chrono>
#include <cstdio>
#include <thread>
#include <unistd.h>

std::atomic<int> machineState{0};
std::atomic<int> forceExitThread{0};
std::atomic<int> exitSendAudio{1};
std::atomic<int> handle{-1};

std::atomic<int> gsmcompress{1};
std::atomic<int> ldgsmcompress{0};
std::atomic<int> adpcmcompress{0};
std::atomic<int> lpc10compress{0};

namespace {

std::atomic<bool> engineClosing{false};
std::atomic<int> engineUsers{0};

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

bool closeEngineUse(int waitMs)
{
    engineClosing = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (engineUsers.load() != 0) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void reopenEngineUse()
{
    engineClosing = false;
}

SpeechCodec selectedCodec()
{
    // First match wins, in the order the block sizes are chosen.
    if (lpc10compress)
        return SpeechCodec::Lpc10;
    if (gsmcompress)
        return SpeechCodec::Gsm;
    if (ldgsmcompress)
        return SpeechCodec::LdGsm;
    if (adpcmcompress)
        return SpeechCodec::Adpcm;
    return SpeechCodec::Ulaw;
}

void storeCodecSelection(SpeechCodec codec)
{
    adpcmcompress = codec == SpeechCodec::Adpcm;
    gsmcompress = codec == SpeechCodec::Gsm;
    ldgsmcompress = codec == SpeechCodec::LdGsm;
    lpc10compress = codec == SpeechCodec::Lpc10;
}

uint32_t codecWord(SpeechCodec codec)
{
    switch (codec) {
    case SpeechCodec::Gsm:
    case SpeechCodec::LdGsm:
        return 0x20;
    case SpeechCodec::Adpcm:
        return 0x200;
    case SpeechCodec::Lpc10:
        return 0x20000;
    case SpeechCodec::Ulaw:
        break;
    }
    return 0;
}

uint32_t selectedCodecWord()
{
    return codecWord(selectedCodec());
}

void kvExitProcess(int status)
{
    fflush(nullptr);
    _exit(status);
}
