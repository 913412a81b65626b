#include "audio/command_guards.h"

#include "audio/engine.h"
#include "audio/voice_file.h"
#include "core/ui_ops.h"

#include <cstdio>
#include <cstring>

bool playFileAllowed()
{
    if (machineState != kStateIdle) {
        messageBox("System Busy", "Audio device occupied,\nPlaying not allowed!  ");
        return false;
    }
    return true;
}

bool recordFileAllowed()
{
    if (machineState != kStateIdle) {
        messageBox("System Busy", "Audio device occupied,\nRecording not allowed!");
        return false;
    }
    return true;
}

bool setFileName(const char *path)
{
    if (!path || std::strlen(path) >= sizeof gstFileName) {
        messageBox("File Name Too Long",
                   "The path of the chosen file is longer than 127 characters.\n"
                   "Choose a file with a shorter path.");
        return false;
    }
    std::strcpy(gstFileName, path);
    return true;
}

void startFileThread()
{
    const bool ok = playNotRecord == 1 ? startWorker(&ptPlayAudioID, playAVFileThread)
                                       : startWorker(&ptRecordAudioID, SaveVoiceFileThread);
    if (!ok)
        printf("Unable to create a thread to play audio\n");
}

bool connectionAllowed()
{
    const int state = machineState;
    if (state == kStatePlaying || state == kStateRecording) {
        messageBox("System Busy", "Audio device occupied,\nConnection not allowed!");
        return false;
    }
    return true;
}

bool compressionChangeAllowed()
{
    if (exitSendAudio == 0 || machineState == kStateRecording) {
        printf("Audio encoding busy!\n");
        return false;
    }
    return true;
}

void selectCodec(CodecChoice choice)
{
    adpcmcompress = choice == CodecChoice::Adpcm;
    gsmcompress = choice == CodecChoice::Gsm;
    ldgsmcompress = choice == CodecChoice::LdGsm;
    lpc10compress = choice == CodecChoice::Lpc10;
    static const char *const names[] = {"ADPCM", "GSM", "LD-GSM", "LPC10"};
    printf("Audio mode: %s\n", names[static_cast<int>(choice)]);
}

CodecChoice currentCodec()
{
    if (adpcmcompress)
        return CodecChoice::Adpcm;
    if (ldgsmcompress)
        return CodecChoice::LdGsm;
    if (lpc10compress)
        return CodecChoice::Lpc10;
    return CodecChoice::Gsm;
}
