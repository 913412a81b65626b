#include "audio/voice_file.h"
#include "audio/voice_file_reader.h"

#include "audio/engine_state.h"
#include "audio/media_packet.h"
#include "audio/receive.h"
#include "audio/send.h"
#include "audio/sound_device.h"
#include "core/progress.h"
#include "core/ui_ops.h"
#include "video/video_hooks.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kMaxBlockBytes = 7200;

struct FileCloser {
    FILE *f;
    ~FileCloser()
    {
        if (f)
            fclose(f);
    }
};

} // namespace

FILE *openRegularFile(const char *path)
{
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return nullptr;
    }
    FILE *f = fdopen(fd, "rb");
    if (!f)
        close(fd);
    return f;
}

int CheckValidFile(const char *path, FileKind kind)
{
    FILE *f = openRegularFile(path);
    if (!f)
        return 0;
    unsigned char head[16];
    const size_t got = fread(head, 1, sizeof head, f);
    fclose(f);
    if (got < sizeof head)
        return 0;
    if ((head[0] & 0x03) != 2 || (head[0] & 0xFC) != 0 || (head[1] & 0x01) != 0)
        return 0;
    const int type = head[1] >> 1;
    const uint32_t word = readLe32(head + kOffCodecCopy);
    const bool voice = type == kRecordTypeAudio && (word == kCodecGsm || word == kCodecAdpcm || word == kCodecLpc10);
    const bool video = type == kRecordTypeVideo;
    switch (kind) {
    case kVoiceFile:
        return voice;
    case kVideoFile:
        return video;
    case kOtherFile:
        return type == kRecordTypeOther;
    case kVoiceOrAvFile:
        return voice || video;
    }
    return 0;
}

void startAudioRecord(unsigned char *packet, uint32_t codec)
{
    std::memset(packet, 0, kPacketHeaderSize);
    setPacketCodec(packet, codec);
    packet[0] = kRecordMark;
    packet[1] = kRecordTypeAudio << 1;
    writeLe32(packet + kOffCodecCopy, codec);
}

namespace {

void fileBox(const char *title, const char *path, const std::string &what)
{
    messageBox(title, (std::string(path) + "\n" + what).c_str());
}

} // namespace

int SaveVoiceFile(const char *path, SpeechCodec speechCodec)
{
    // Appending to anything but a regular file (a FIFO without a reader, a
    // device) could block the recorder or write where no file is.
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
    struct stat st {};
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        errno = EINVAL;
        perror("open voice file to record");
        fileBox("Cannot Record", path, "is not a regular file. Choose or name an ordinary file.");
        return 0;
    }
    FileCloser file{fd >= 0 ? fdopen(fd, "ab") : nullptr};
    if (!file.f) {
        const int error = errno;
        if (fd >= 0)
            close(fd);
        perror("open voice file to record");
        fileBox("Cannot Record", path,
                std::string("could not be opened for writing (") + strerror(error) + "). Choose another folder.");
        return 0;
    }
    startAudioRecord(sendAudioBuffer, codecWord(speechCodec));

    auto *capture = static_cast<unsigned char *>(malloc(kMaxBlockBytes));
    if (!capture) {
        perror("malloc for audio buffer");
        return 0;
    }
    printf("Recording voice file  %s\n", path);
    const int blockBytes = inputSampleCount(speechCodec) * bitsPerSample / 8;
    showProgressBar();

    long total = 0;
    while (forceExitThread == 0) {
        EngineUse use;
        if (!use)
            break;
        if (audioRead(handle, capture, static_cast<size_t>(blockBytes)) < 0) {
            const int error = errno;
            perror("audio read");
            fileBox("No Sound Input", path,
                    std::string("received nothing: the microphone could not be read (") + strerror(error) +
                        "). Check that a sound device exists, then restart Kestrelvox.");
            break;
        }
        processAudioBuffer(capture, blockBytes, speechCodec);
        const int recordLength = packetPayloadLength(sendAudioBuffer) + kPacketHeaderSize;
        writeLe32(sendAudioBuffer + kOffRecordLength, static_cast<uint32_t>(recordLength));
        const size_t written = fwrite(sendAudioBuffer, 1, static_cast<size_t>(recordLength), file.f);
        total += recordLength;
        if (written < static_cast<size_t>(recordLength) || total > kMaxRecordingBytes)
            break;
        moveProgressBar(static_cast<int>(total / 2048));
    }

    hideProgressBar();
    fclose(file.f);
    file.f = nullptr;
    free(capture);
    printf("Voice recording completed\n");
    return 0;
}

void playVideoRecord(unsigned char *record, int n, int *counter)
{
    // Under the use gate, so that shut-down never frees the decoder in the
    // middle of a picture; Stop also ends a wait for the display.
    EngineUse use;
    if (use)
        decodeVideoRecord(record, n, counter, forceExitThread);
}

int playAVFile(const char *path)
{
    if (CheckValidFile(path, kVoiceOrAvFile) == 0) {
        printf("This file can not be played\n");
        fileBox("Cannot Play File", path,
                "is not a Kestrelvox voice or AV file (or cannot be read). Choose a file made with File > Record File.");
        return 0;
    }
    VoiceFileReader reader;
    if (!reader.open(path)) {
        fileBox("Cannot Play File", path, "could not be opened as a regular file.");
        return 0;
    }
    const long fileSize = reader.size();

    auto *record = static_cast<unsigned char *>(malloc(kRecordBufferSize));
    if (!record) {
        printf("Unable to allocate memory: Play AV\n");
        return 0;
    }
    showProgressBar();
    printf("Playing voice file %s\n", path);
    long total = 0;
    int counter = 0;

    while (forceExitThread == 0) {
        FileRecord r;
        const VoiceFileReader::Status status = reader.next(r);
        if (status == VoiceFileReader::Status::End)
            break;
        if (status == VoiceFileReader::Status::Damaged) {
            // What came before the bad record has played; say where and why
            // the rest cannot, on standard output and in the window.
            printf("This file is damaged: %s in the record at byte %ld; playback stopped\n", reader.fault().c_str(),
                   reader.faultOffset());
            fileBox("Damaged File", path,
                    "is damaged: " + reader.fault() + " in the record at byte " + std::to_string(reader.faultOffset()) +
                        ". Everything before it was played; the rest cannot be.");
            break;
        }
        if (r.type == kRecordTypeAudio) {
            // The reader's copy, not AudioBuffer, holds the record until it
            // is checked: AudioBuffer is shared with the receiving thread.
            if (!playPacket(r.data, r.length))
                break;
        } else {
            const int n = static_cast<int>(r.length) - kVideoHeaderSize;
            std::memcpy(record, r.data + kVideoHeaderSize, static_cast<size_t>(n));
            // The end-of-sequence code stops the decoder behind the picture.
            record[n + 1] = 0x00;
            record[n + 2] = 0x00;
            record[n + 3] = 0xFC;
            playVideoRecord(record, n, &counter);
        }
        total += static_cast<long>(r.length);
        if (fileSize > 0)
            moveProgressBar(static_cast<int>(static_cast<long long>(total) * 100 / fileSize));
    }

    hideProgressBar();
    printf("Voice file playing completed\n");
    free(record);
    return 0;
}
