// Reads a voice or AV file record by record, within the bounds the player
// keeps, and says where and why a damaged file stops making sense.
#pragma once

#include "audio/media_packet.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct FileRecord {
    long offset = 0;             // of the record's first byte in the file
    int type = 0;                // kRecordTypeAudio or kRecordTypeVideo
    uint32_t length = 0;         // header plus payload or picture
    const unsigned char *data{}; // the whole record, header included
};

class VoiceFileReader {
public:
    VoiceFileReader() = default;
    VoiceFileReader(const VoiceFileReader &) = delete;
    VoiceFileReader &operator=(const VoiceFileReader &) = delete;
    ~VoiceFileReader();

    // Opens a regular file; false (with errno set) otherwise.
    bool open(const char *path);
    long size() const { return size_; }

    enum class Status { Record, End, Damaged };
    // The next record; valid until the next call. After Damaged, fault()
    // says why, faultKind() what sort of fault, faultOffset() where the bad
    // record starts.
    Status next(FileRecord &record);
    enum class Fault { None, CutShort, UnknownType, BadLength };
    Fault faultKind() const { return faultKind_; }
    const std::string &fault() const { return fault_; }
    long faultOffset() const { return faultOffset_; }

private:
    Status damaged(long offset, Fault kind, std::string why);

    FILE *file_ = nullptr;
    long size_ = 0, offset_ = 0;
    std::vector<unsigned char> buffer_;
    std::string fault_;
    Fault faultKind_ = Fault::None;
    long faultOffset_ = -1;
};

// The largest video record the player takes: its picture plus the 4 bytes
// behind it must fit the 10240-byte record buffer.
constexpr uint32_t kMaxVideoRecordLength = 10240 - 4 + kVideoHeaderSize;
