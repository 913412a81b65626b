// info and export: read a voice or AV file as the player does.
#include "audio/codec_framing.h"
#include "audio/codec_states.h"
#include "audio/ulaw.h"
#include "audio/voice_file.h"
#include "audio/voice_file_reader.h"
#include "commands.h"
#include "common.h"
#include "video/h263_decoder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>

namespace kvfile {

bool ParsedArguments::has(const std::string &name) const
{
    return std::any_of(options.begin(), options.end(), [&](const auto &o) { return o.first == name; });
}

std::string ParsedArguments::value(const std::string &name, const std::string &fallback) const
{
    for (const auto &o : options)
        if (o.first == name)
            return o.second;
    return fallback;
}

ParsedArguments parseArguments(const Arguments &args, size_t positional, const std::vector<std::string> &flags,
                               const std::vector<std::string> &withValue)
{
    ParsedArguments parsed;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        if (a.size() > 1 && a[0] == '-') {
            if (std::find(flags.begin(), flags.end(), a) != flags.end()) {
                parsed.options.emplace_back(a, "");
            } else if (std::find(withValue.begin(), withValue.end(), a) != withValue.end()) {
                if (i + 1 == args.size())
                    fail(kBadUsage, a + " needs a value");
                parsed.options.emplace_back(a, args[++i]);
            } else {
                fail(kBadUsage, "unknown option " + a);
            }
        } else {
            parsed.positional.push_back(a);
        }
    }
    if (parsed.positional.size() != positional)
        fail(kBadUsage, "expected " + std::to_string(positional) + " file names, got " +
                            std::to_string(parsed.positional.size()));
    return parsed;
}

namespace {

std::string codecWordName(uint32_t word)
{
    if (word == 0)
        return "ulaw";
    // Appended piece by piece: "+" + std::string(...) inserts at the front,
    // which GCC 12 at -O3 takes for an overlapping copy (-Wrestrict).
    std::string name;
    const std::pair<uint32_t, const char *> bits[] = {{kCodecLpc10, "lpc10"}, {kCodecGsm, "gsm"}, {kCodecAdpcm, "adpcm"}};
    for (auto [bit, text] : bits)
        if (word & bit)
            name.append(name.empty() ? "" : "+").append(text);
    if (word & ~(kCodecLpc10 | kCodecGsm | kCodecAdpcm))
        name.append(name.empty() ? "" : "+").append("unknown bits");
    return name;
}

// Walks a file record by record, decoding sound and pictures exactly as the
// player does, with fresh decoder states as a newly started program has.
class FileWalk {
public:
    explicit FileWalk(const std::string &path) : path_(path)
    {
        if (!reader_.open(path.c_str()))
            fail(kBadInput, path + ": cannot open: " + (errno ? strerror(errno) : "not a regular file"));
        if (!initDecoderState(*codec_))
            fail(kBadInput, "out of memory for the GSM decoder");
    }
    ~FileWalk() { freeDecoderState(*codec_); }

    // The program plays only files whose first record passes this check.
    bool playable() const { return CheckValidFile(path_.c_str(), kVoiceOrAvFile) == 1; }

    struct Audio {
        uint32_t codec;
        int payload;
        const unsigned char *ulaw;
        int samples;
    };
    struct Video {
        int bytes;
        kv::video::H263Decoder::Result result;
        kv::video::H263Decoder::HeaderInfo header;
        bool damaged;
    };

    // Calls onAudio or onVideo for each record; returns false if the file is
    // damaged (reader().fault() says why).
    bool walk(const std::function<void(const FileRecord &, const Audio &)> &onAudio,
              const std::function<void(const FileRecord &, const Video &)> &onVideo, Progress *progress = nullptr)
    {
        FileRecord r;
        VoiceFileReader::Status s;
        while ((s = reader_.next(r)) == VoiceFileReader::Status::Record) {
            if (r.type == kRecordTypeAudio) {
                std::memcpy(packet_, r.data, r.length);
                const Audio a{packetCodec(packet_), packetPayloadLength(packet_), packet_ + kPacketHeaderSize,
                              decompressPacket(packet_, *codec_)};
                onAudio(r, a);
            } else {
                const int n = static_cast<int>(r.length) - kVideoHeaderSize;
                const auto result = decoder_.decodePicture(r.data + kVideoHeaderSize, static_cast<size_t>(n), counter_);
                if (result != kv::video::H263Decoder::Result::NoPicture)
                    ++counter_;
                onVideo(r, {n, result, decoder_.header(), decoder_.damaged()});
            }
            if (progress && reader_.size() > 0)
                progress->update(double(r.offset + r.length) / reader_.size());
        }
        return s == VoiceFileReader::Status::End;
    }

    kv::video::H263Decoder &decoder() { return decoder_; }
    const VoiceFileReader &reader() const { return reader_; }

private:
    std::string path_;
    VoiceFileReader reader_;
    std::unique_ptr<DecoderState> codec_ = std::make_unique<DecoderState>();
    kv::video::H263Decoder decoder_;
    int counter_ = 0;
    unsigned char packet_[kPacketSize]{};
};

const char *pictureType(const kv::video::H263Decoder::HeaderInfo &h)
{
    return !h.inter ? "I" : h.pbFrame ? "PB" : "P";
}

} // namespace

int runInfo(const Arguments &args)
{
    const ParsedArguments a = parseArguments(args, 1, {}, {});
    const std::string &path = a.positional[0];
    FileWalk file(path);
    long audioRecords = 0, samples = 0, videoRecords = 0, pictures[3] = {}, badPictures = 0, firstBadPicture = -1;
    using Result = kv::video::H263Decoder::Result;
    printf("%s: %ld bytes\n", path.c_str(), file.reader().size());
    printf("%10s  %-5s  %s\n", "offset", "kind", "contents");
    const bool whole = file.walk(
        [&](const FileRecord &r, const FileWalk::Audio &au) {
            ++audioRecords;
            samples += au.samples;
            printf("%10ld  audio  %-6s %5d payload bytes  %5d samples  %7.1f ms\n", r.offset, codecWordName(au.codec).c_str(),
                   au.payload, au.samples, au.samples / 8.0);
        },
        [&](const FileRecord &r, const FileWalk::Video &v) {
            ++videoRecords;
            std::string what;
            if (v.result == Result::NoPicture || v.result == Result::Refused) {
                what = v.result == Result::NoPicture ? "no picture" : "a picture header this decoder refuses";
                what += " (" + std::to_string(v.bytes) + " bytes)";
            } else {
                const auto &h = v.header;
                ++pictures[!h.inter ? 0 : h.pbFrame ? 2 : 1];
                what = std::string(pictureType(h)) + "-picture  " + std::to_string(v.bytes) + " bytes  quant " +
                       std::to_string(h.quant) + "  tr " + std::to_string(h.temporalReference);
                if (h.unrestricted)
                    what += "  unrestricted-vectors";
                if (h.arithmetic)
                    what += "  arithmetic-coding";
                if (h.advanced)
                    what += "  advanced-prediction";
                if (v.result == Result::ArithUnsupported)
                    what += "  (arithmetic coding cannot be decoded by this build)";
            }
            if (v.damaged || v.result == Result::Refused) {
                what += "  DAMAGED";
                if (firstBadPicture < 0)
                    firstBadPicture = r.offset;
                ++badPictures;
            }
            printf("%10ld  video  %s\n", r.offset, what.c_str());
        });
    printf("total: %ld audio records, %ld samples, %.3f s; %ld video records, %ld pictures (I %ld, P %ld, PB %ld)\n",
           audioRecords, samples, samples / 8000.0, videoRecords, pictures[0] + pictures[1] + 2 * pictures[2], pictures[0],
           pictures[1], pictures[2]);
    bool bad = false;
    if (!file.playable()) {
        printf("the program refuses to play this file: its first record is neither a compressed audio record "
               "(gsm, adpcm or lpc10) nor a video record\n");
        bad = true;
    }
    if (!whole) {
        printf("damaged at byte %ld: %s\n", file.reader().faultOffset(), file.reader().fault().c_str());
        bad = true;
    } else if (firstBadPicture >= 0) {
        printf("damaged at byte %ld: the picture there does not decode cleanly (%ld damaged pictures)\n",
               firstBadPicture, badPictures);
        bad = true;
    }
    return bad ? kBadInput : 0;
}

int runExport(const Arguments &args)
{
    const ParsedArguments a = parseArguments(args, 2, {}, {"--video"});
    const std::string &path = a.positional[0];
    FileWalk file(path);
    if (!file.playable())
        fail(kBadInput, path + ": the program does not play this file: it does not start with a compressed audio "
                               "record or a video record");
    OutputFile wav(a.positional[1]);
    std::unique_ptr<OutputFile> y4m;
    std::unique_ptr<TimedY4mWriter> pictures;
    if (a.has("--video")) {
        y4m = std::make_unique<OutputFile>(a.value("--video", ""));
        pictures = std::make_unique<TimedY4mWriter>(*y4m);
    }
    std::vector<int16_t> sound;
    file.decoder().setSink([&](const kv::video::PictureView &p) {
        if (pictures)
            pictures->picture(p.y, p.cb, p.cr, sound.size() / 8000.0);
    });
    Progress progress("export");
    long damagedPictures = 0;
    const bool whole = file.walk(
        [&](const FileRecord &, const FileWalk::Audio &au) {
            for (int i = 0; i < au.samples; ++i)
                sound.push_back(u2s[au.ulaw[i]]);
        },
        [&](const FileRecord &, const FileWalk::Video &v) { damagedPictures += v.damaged; }, &progress);
    if (!whole)
        fail(kBadInput, path + ": damaged at byte " + std::to_string(file.reader().faultOffset()) + ": " +
                            file.reader().fault());
    writeWav(wav, sound);
    if (pictures) {
        pictures->finish(sound.size() / 8000.0);
        y4m->commit();
    }
    wav.commit();
    if (damagedPictures)
        fprintf(stderr, "kestrelvox-file export: %s: %ld pictures were damaged; written as the program shows them\n",
                path.c_str(), damagedPictures);
    return 0;
}

} // namespace kvfile
