#include "audio/voice_file.h"

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
// A video record's picture plus the 4 bytes behind it must fit the buffer.
constexpr uint32_t kMaxVideoRecord = kRecordBufferSize - 4 + kVideoHeaderSize; // 10252

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
    const uint32_t codec = codecWord(speechCodec);
    std::memset(sendAudioBuffer, 0, kPacketHeaderSize);
    setPacketCodec(sendAudioBuffer, codec);
    sendAudioBuffer[0] = kRecordMark;
    sendAudioBuffer[1] = kRecordTypeAudio << 1;
    writeLe32(sendAudioBuffer + kOffCodecCopy, codec);

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
    FileCloser file{openRegularFile(path)};
    if (!file.f) {
        fileBox("Cannot Play File", path, "could not be opened as a regular file.");
        return 0;
    }
    fseek(file.f, 0, SEEK_END);
    const long fileSize = ftell(file.f);
    rewind(file.f);

    auto *record = static_cast<unsigned char *>(malloc(kRecordBufferSize));
    if (!record) {
        printf("Unable to allocate memory: Play AV\n");
        return 0;
    }
    showProgressBar();
    printf("Playing voice file %s\n", path);
    long total = 0;
    int counter = 0;

    auto damaged = [&](const char *what, uint32_t value) {
        printf("This file is damaged: %s %u in the record at byte %ld; playback stopped\n", what, value, total);
        fileBox("Damaged File", path,
                "is damaged: bad " + std::string(what) + " " + std::to_string(value) + " in the record at byte " +
                    std::to_string(total) + ". What came before it was played; the rest cannot be.");
    };
    auto truncated = [&] {
        printf("This file is damaged: the record at byte %ld is cut short; playback stopped\n", total);
        fileBox("Damaged File", path,
                "ends in the middle of the record at byte " + std::to_string(total) +
                    ": the file was cut short. Everything before it was played.");
    };

    while (forceExitThread == 0) {
        const size_t head = fread(record, 1, kVideoHeaderSize, file.f);
        if (head < static_cast<size_t>(kVideoHeaderSize)) {
            if (head > 0)
                truncated();
            break;
        }
        const uint32_t length = readLe32(record + kOffRecordLength);
        const int type = record[1] >> 1;
        if (type == kRecordTypeAudio) {
            if (length < static_cast<uint32_t>(kPacketHeaderSize) || length > static_cast<uint32_t>(kPacketSize)) {
                damaged("audio record length", length);
                break;
            }
            // The record is read aside first: AudioBuffer is shared with the
            // receiving thread, and a damaged record must not reach it.
            unsigned char packet[kPacketSize];
            std::memcpy(packet, record, kVideoHeaderSize);
            const size_t rest = length - kVideoHeaderSize;
            if (fread(packet + kVideoHeaderSize, 1, rest, file.f) < rest) {
                truncated();
                break;
            }
            const int32_t payloadLength = packetPayloadLength(packet);
            if (payloadLength < 0 || payloadLength > static_cast<int32_t>(length) - kPacketHeaderSize) {
                damaged("payload length", static_cast<uint32_t>(payloadLength));
                break;
            }
            if (!playPacket(packet, length))
                break;
        } else if (type == kRecordTypeVideo) {
            if (length < static_cast<uint32_t>(kVideoHeaderSize) || length > kMaxVideoRecord) {
                damaged("video record length", length);
                break;
            }
            const int n = static_cast<int>(length) - kVideoHeaderSize;
            if (fread(record, 1, static_cast<size_t>(n), file.f) < static_cast<size_t>(n)) {
                truncated();
                break;
            }
            // The end-of-sequence code stops the decoder behind the picture.
            record[n + 1] = 0x00;
            record[n + 2] = 0x00;
            record[n + 3] = 0xFC;
            playVideoRecord(record, n, &counter);
        } else {
            damaged("record type", static_cast<uint32_t>(type));
            break;
        }
        total += static_cast<long>(length);
        if (fileSize > 0)
            moveProgressBar(static_cast<int>(static_cast<long long>(total) * 100 / fileSize));
    }

    hideProgressBar();
    printf("Voice file playing completed\n");
    free(record);
    return 0;
}
