// import and make-av: voice and AV files made from sound and pictures.
#include "audio/codec_states.h"
#include "audio/media_packet.h"
#include "audio/send.h"
#include "audio/voice_file.h"
#include "audio/voice_file_reader.h"
#include "commands.h"
#include "common.h"
#include "h263_test_encoder.h"
#include "video/h263_decoder.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <sys/stat.h>

namespace kvfile {

namespace {

using Record = std::vector<unsigned char>;
namespace te = kv::video::testenc;

// Codes speech block by block exactly as a recording does, through the
// program's own capture conversion and encoders; the last block is filled
// with silence, since a recording holds whole blocks only.
std::vector<Record> codeSpeech(std::vector<int16_t> samples, SpeechCodec codec, size_t minimumBlocks = 0)
{
    if (!createCodecStates())
        fail(kBadInput, "out of memory for the GSM encoder");
    const size_t block = static_cast<size_t>(inputSampleCount(codec));
    const size_t blocks = std::max((samples.size() + block - 1) / block, minimumBlocks);
    samples.resize(blocks * block, 0);
    startAudioRecord(sendAudioBuffer, codecWord(codec));
    std::vector<Record> records;
    for (size_t b = 0; b < blocks; ++b) {
        processAudioBuffer(reinterpret_cast<const unsigned char *>(&samples[b * block]), static_cast<int>(block * 2), codec);
        const int length = packetPayloadLength(sendAudioBuffer) + kPacketHeaderSize;
        writeLe32(sendAudioBuffer + kOffRecordLength, static_cast<uint32_t>(length));
        records.emplace_back(sendAudioBuffer, sendAudioBuffer + length);
    }
    return records;
}

std::string partName(const std::string &path, size_t part)
{
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    const bool extension = dot != std::string::npos && dot > (slash == std::string::npos ? 0 : slash + 1);
    const std::string number = std::string("-").append(std::to_string(part)); // not "-" + ...: -Wrestrict at -O3
    return extension ? path.substr(0, dot) + number + path.substr(dot) : path + number;
}

void warnIfUnplayable(SpeechCodec codec)
{
    if (codec == SpeechCodec::Ulaw)
        fprintf(stderr, "kestrelvox-file: note: the program refuses to play a file whose first record is "
                        "uncompressed (ulaw)\n");
}

} // namespace

int runImport(const Arguments &args)
{
    const ParsedArguments a = parseArguments(args, 2, {"--split"}, {"--codec"});
    if (!a.has("--codec"))
        fail(kBadUsage, "--codec is required");
    const SpeechCodec codec = parseCodec(a.value("--codec", ""));
    const std::string &in = a.positional[0], &out = a.positional[1];
    const std::vector<int16_t> speech = readSpeech(in);
    if (speech.empty())
        fail(kBadInput, in + ": holds no sound");
    const std::vector<Record> records = codeSpeech(speech, codec);

    // Parts end as a recording does: after the record that takes them over
    // the limit.
    std::vector<std::vector<const Record *>> parts(1);
    long total = 0, bytes = 0;
    for (const Record &r : records) {
        if (total > kMaxRecordingBytes) {
            parts.emplace_back();
            total = 0;
        }
        parts.back().push_back(&r);
        total += static_cast<long>(r.size());
        bytes += static_cast<long>(r.size());
    }
    if (parts.size() > 1 && !a.has("--split"))
        fail(kBadInput, in + ": the voice file would take " + std::to_string(bytes) + " bytes, past the " +
                            std::to_string(kMaxRecordingBytes) + " bytes one recording may hold; --split writes " +
                            std::to_string(parts.size()) + " numbered parts");
    std::vector<std::unique_ptr<OutputFile>> files;
    for (size_t p = 0; p < parts.size(); ++p) {
        files.push_back(std::make_unique<OutputFile>(parts.size() > 1 ? partName(out, p + 1) : out));
        for (const Record *r : parts[p])
            files.back()->write(r->data(), r->size());
    }
    for (auto &f : files)
        f->commit();
    warnIfUnplayable(codec);
    return 0;
}

namespace {

// Finds each macroblock's vector by full search on whole samples, then half
// samples around the best, and chooses intra coding where prediction is
// worse than the macroblock's own spread. With four vectors allowed, each
// 8 x 8 block then looks around the macroblock's vector; the four are kept
// where they predict clearly better.
class MotionSearch {
public:
    MotionSearch(const te::Picture &ref, const Frame &src, bool unrestricted, bool four)
        : ref_(ref), src_(src), unrestricted_(unrestricted), four_(four)
    {
        for (int row = 0; row < 7; ++row)
            for (int col = 0; col < 10; ++col)
                search(col, row);
    }
    te::Vector vector(int col, int row) const { return vectors_[row * 10 + col]; }
    bool intra(int col, int row) const { return intra_[row * 10 + col]; }
    std::array<te::Vector, 4> blockVectors(int col, int row) const { return blocks_[row * 10 + col]; }

private:
    int refAt(int x, int y) const
    {
        return ref_.y[static_cast<size_t>(std::clamp(y, 0, ref_.height - 1)) * ref_.width + std::clamp(x, 0, ref_.width - 1)];
    }
    // The sum of absolute differences for a vector in half samples, or
    // INT_MAX when it may not be coded.
    int sad(int bx, int by, int vx, int vy, int limit, int size = 16) const
    {
        const int x0 = bx + (vx >> 1), y0 = by + (vy >> 1), hx = vx & 1, hy = vy & 1;
        const int range = unrestricted_ || four_ ? 16 : 0;
        if (x0 < -range || y0 < -range || x0 + size + hx > kWidth + range || y0 + size + hy > kHeight + range)
            return INT_MAX;
        int sum = 0;
        for (int y = 0; y < size && sum < limit; ++y)
            for (int x = 0; x < size; ++x) {
                const int a = refAt(x0 + x, y0 + y), b = refAt(x0 + x + hx, y0 + y), c = refAt(x0 + x, y0 + y + hy),
                          d = refAt(x0 + x + hx, y0 + y + hy);
                const int p = (a + b + c + d + 2) >> 2;
                sum += std::abs(src_.y[static_cast<size_t>(by + y) * kWidth + bx + x] - p);
            }
        return sum;
    }
    void search(int col, int row)
    {
        const int bx = col * 16, by = row * 16;
        // A small bias keeps still areas on the zero vector, which codes cheapest.
        int best = sad(bx, by, 0, 0, INT_MAX) - 100;
        te::Vector v{};
        for (int dy = -15; dy <= 15; ++dy)
            for (int dx = -15; dx <= 15; ++dx) {
                const int s = sad(bx, by, 2 * dx, 2 * dy, best);
                if (s < best)
                    best = s, v = {2 * dx, 2 * dy};
            }
        const te::Vector whole = v;
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx) {
                const int s = sad(bx, by, whole.x + dx, whole.y + dy, best);
                if (s < best)
                    best = s, v = {whole.x + dx, whole.y + dy};
            }
        long mean = 0;
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 16; ++x)
                mean += src_.y[static_cast<size_t>(by + y) * kWidth + bx + x];
        mean /= 256;
        int spread = 0;
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 16; ++x)
                spread += std::abs(src_.y[static_cast<size_t>(by + y) * kWidth + bx + x] - static_cast<int>(mean));
        vectors_[row * 10 + col] = v;
        intra_[row * 10 + col] = spread < best - 500;
        blocks_[row * 10 + col] = {v, v, v, v};
        if (!four_)
            return;
        std::array<te::Vector, 4> split{};
        int sum = 0;
        for (int k = 0; k < 4; ++k) {
            const int x = bx + 8 * (k & 1), y = by + 8 * (k >> 1);
            int least = sad(x, y, v.x, v.y, INT_MAX, 8);
            split[k] = v;
            for (int dy = -2; dy <= 2; ++dy)
                for (int dx = -2; dx <= 2; ++dx) {
                    // Without long vectors, a vector stays within -16..15.5 samples.
                    const int vx = v.x + dx, vy = v.y + dy;
                    if (!unrestricted_ && (vx < -32 || vx > 31 || vy < -32 || vy > 31))
                        continue;
                    const int s = sad(x, y, vx, vy, least, 8);
                    if (s < least)
                        least = s, split[k] = {vx, vy};
                }
            sum += least;
        }
        // Three more vectors cost bits: they must save more than that.
        if (sum < best - 500)
            blocks_[row * 10 + col] = split;
    }

    const te::Picture &ref_;
    const Frame &src_;
    bool unrestricted_, four_;
    te::Vector vectors_[70];
    std::array<te::Vector, 4> blocks_[70];
    bool intra_[70]{};
};

te::Picture pictureOf(const Frame &f)
{
    te::Picture p = te::Picture::blank(kWidth, kHeight);
    p.y = f.y;
    p.cb = f.cb;
    p.cr = f.cr;
    return p;
}

struct TimedFrame {
    Frame frame;
    double seconds;
};

} // namespace

int runMakeAv(const Arguments &args)
{
    const ParsedArguments a = parseArguments(args, 3, {"--unrestricted-vectors", "--pb-frames", "--advanced-prediction"},
                                             {"--codec", "--quality", "--reconstruction"});
    const SpeechCodec codec = parseCodec(a.value("--codec", "gsm"));
    const std::string quality = a.value("--quality", "22");
    char *end = nullptr;
    const long q = std::strtol(quality.c_str(), &end, 10);
    if (quality.empty() || *end || q < 1 || q > 31)
        fail(kBadUsage, "--quality takes a whole number from 1 to 31");
    const int quant = 32 - static_cast<int>(q);
    const bool unrestricted = a.has("--unrestricted-vectors"), pb = a.has("--pb-frames");
    const bool advanced = a.has("--advanced-prediction");
    const std::string &wavPath = a.positional[0], &y4mPath = a.positional[1], &out = a.positional[2];

    const std::vector<int16_t> speech = readSpeech(wavPath);
    struct stat st {};
    if (stat(y4mPath.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        fail(kBadInput, y4mPath + ": not a regular file");
    std::unique_ptr<FILE, int (*)(FILE *)> y4mFile(fopen(y4mPath.c_str(), "rb"), fclose);
    if (!y4mFile)
        fail(kBadInput, y4mPath + ": cannot open: " + strerror(errno));
    Y4mReader reader(y4mFile.get(), y4mPath);

    // The display takes at most one picture per 100 ms: at most 10 per
    // second are kept, evenly spread.
    const double rate = std::min(reader.rate(), 10.0);
    std::vector<TimedFrame> frames;
    Frame frame;
    double next = 0;
    for (long i = 0;; ++i) {
        const double t = i / reader.rate();
        const bool take = t + 1e-9 >= next;
        if (!reader.next(frame, take))
            break;
        if (!take)
            continue;
        if (frames.size() == 36000)
            fail(kBadInput, y4mPath + ": more than an hour of pictures");
        frames.push_back({frame, frames.size() / rate});
        next = frames.size() / rate;
    }
    if (frames.empty())
        fail(kBadInput, y4mPath + ": holds no picture");

    // The sound lasts at least as long as the pictures.
    const size_t block = static_cast<size_t>(inputSampleCount(codec));
    const double lastSeconds = frames.back().seconds + 1 / rate;
    const auto minimumBlocks = static_cast<size_t>(std::ceil(lastSeconds * 8000 / block));
    const std::vector<Record> audio = codeSpeech(speech, codec, minimumBlocks);
    auto blockOf = [&](double seconds) { return static_cast<size_t>(std::floor(seconds * 8000 / block + 1e-9)); };

    // Pictures in coding order: an I-picture, then P-pictures or PB pairs.
    te::H263TestEncoder encoder;
    te::Picture reference = te::Picture::blank(kWidth, 120);
    std::vector<std::vector<Record>> videoBefore(audio.size());
    std::unique_ptr<OutputFile> reconstructionFile;
    std::unique_ptr<TimedY4mWriter> reconstruction;
    if (a.has("--reconstruction")) {
        reconstructionFile = std::make_unique<OutputFile>(a.value("--reconstruction", ""));
        reconstruction = std::make_unique<TimedY4mWriter>(*reconstructionFile);
    }
    auto tr = [](double seconds) { return static_cast<int>(std::lround(seconds * 30000 / 1001)) & 0xFF; };
    Progress progress("make-av");
    int prevTr = 0;
    for (size_t i = 0; i < frames.size();) {
        const bool pair = pb && i > 0 && i + 1 < frames.size();
        const TimedFrame &p = frames[pair ? i + 1 : i];
        const te::Picture source = pictureOf(p.frame);
        const te::Picture bSource = pair ? pictureOf(frames[i].frame) : te::Picture{};
        const MotionSearch motion(reference, p.frame, unrestricted, advanced);
        te::PictureOptions o{.intra = i == 0, .tr = tr(p.seconds), .quant = quant, .unrestricted = unrestricted,
                             .advancedPrediction = advanced};
        o.blockVectors = [&](int col, int row) { return motion.blockVectors(col, row); };
        o.vector = [&](int col, int row) { return motion.vector(col, row); };
        o.intraMacroblock = [&](int col, int row) { return motion.intra(col, row); };
        if (pair) {
            o.bSource = &bSource;
            const int trd = (o.tr - prevTr + 256) % 256, trb = (tr(frames[i].seconds) - prevTr + 256) % 256;
            o.trb = std::clamp(trb, 1, std::max(1, std::min(7, trd - 1)));
        }
        prevTr = o.tr;
        const te::EncodedPicture e = encoder.encode(source, o);
        reference = e.shown.back();
        const size_t at = blockOf(frames[i].seconds);
        Record r(kVideoHeaderSize, 0);
        r[0] = kRecordMark;
        r[1] = kRecordTypeVideo << 1;
        writeLe32(r.data() + kOffRecordLength, static_cast<uint32_t>(kVideoHeaderSize + e.bytes.size()));
        r.insert(r.end(), e.bytes.begin(), e.bytes.end());
        if (r.size() > kMaxVideoRecordLength)
            fail(kBadInput, "a coded picture takes " + std::to_string(e.bytes.size()) +
                                " bytes, more than a video record holds: use a lower --quality");
        videoBefore[at].push_back(std::move(r));
        // The program shows a record's pictures where the record stands in the sound.
        if (reconstruction)
            for (const te::Picture &shown : e.shown)
                reconstruction->picture(shown.y.data(), shown.cb.data(), shown.cr.data(), double(at * block) / 8000);
        i += pair ? 2 : 1;
        progress.update(double(i) / frames.size());
    }

    OutputFile file(out);
    for (size_t k = 0; k < audio.size(); ++k) {
        for (const Record &v : videoBefore[k])
            file.write(v.data(), v.size());
        file.write(audio[k].data(), audio[k].size());
    }
    if (reconstruction) {
        reconstruction->finish(double(audio.size() * block) / 8000);
        reconstructionFile->commit();
    }
    file.commit();
    warnIfUnplayable(codec);
    return 0;
}

} // namespace kvfile
