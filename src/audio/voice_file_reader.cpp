#include "audio/voice_file_reader.h"

#include "audio/voice_file.h"

#include <algorithm>

VoiceFileReader::~VoiceFileReader()
{
    if (file_)
        fclose(file_);
}

bool VoiceFileReader::open(const char *path)
{
    file_ = openRegularFile(path);
    if (!file_)
        return false;
    fseek(file_, 0, SEEK_END);
    size_ = ftell(file_);
    rewind(file_);
    buffer_.assign(std::max<size_t>(kPacketSize, kMaxVideoRecordLength), 0);
    return true;
}

VoiceFileReader::Status VoiceFileReader::damaged(long offset, Fault kind, std::string why)
{
    faultKind_ = kind;
    fault_ = std::move(why);
    faultOffset_ = offset;
    return Status::Damaged;
}

VoiceFileReader::Status VoiceFileReader::next(FileRecord &record)
{
    if (!file_ || faultOffset_ >= 0)
        return Status::Damaged;
    const long at = offset_;
    const size_t head = fread(buffer_.data(), 1, kVideoHeaderSize, file_);
    if (head == 0)
        return Status::End;
    if (head < static_cast<size_t>(kVideoHeaderSize))
        return damaged(at, Fault::CutShort, "a record header cut short after " + std::to_string(head) + " of 16 bytes");
    const uint32_t length = readLe32(buffer_.data() + kOffRecordLength);
    const int type = buffer_[1] >> 1;
    if (type == kRecordTypeAudio) {
        if (length < static_cast<uint32_t>(kPacketHeaderSize) || length > static_cast<uint32_t>(kPacketSize))
            return damaged(at, Fault::BadLength, "audio record length " + std::to_string(length) + " outside 24 to 6424");
    } else if (type == kRecordTypeVideo) {
        if (length < static_cast<uint32_t>(kVideoHeaderSize) || length > kMaxVideoRecordLength)
            return damaged(at, Fault::BadLength, "video record length " + std::to_string(length) + " outside 16 to 10252");
    } else {
        return damaged(at, Fault::UnknownType, "record type " + std::to_string(type) + " is neither audio (31) nor video (32)");
    }
    const size_t rest = length - kVideoHeaderSize;
    const size_t got = fread(buffer_.data() + kVideoHeaderSize, 1, rest, file_);
    if (got < rest)
        return damaged(at, Fault::CutShort, "the record is cut short: " + std::to_string(kVideoHeaderSize + got) + " of " +
                               std::to_string(length) + " bytes");
    if (type == kRecordTypeAudio) {
        const int32_t payload = packetPayloadLength(buffer_.data());
        if (payload < 0 || payload > static_cast<int32_t>(length) - kPacketHeaderSize)
            return damaged(at, Fault::BadLength, "payload length " + std::to_string(payload) + " does not fit the record length " +
                                   std::to_string(length));
    }
    offset_ += static_cast<long>(length);
    record = {at, type, length, buffer_.data()};
    return Status::Record;
}
