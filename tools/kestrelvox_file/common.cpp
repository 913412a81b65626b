#include "common.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <samplerate.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kvfile {

OutputFile::OutputFile(std::string path) : path_(std::move(path))
{
    std::vector<char> name(path_.begin(), path_.end());
    const char suffix[] = ".partXXXXXX";
    name.insert(name.end(), suffix, suffix + sizeof suffix);
    const int fd = mkstemp(name.data());
    if (fd < 0)
        fail(kBadInput, path_ + ": cannot write here: " + strerror(errno));
    temp_ = name.data();
    // mkstemp makes the file private; the result gets the usual mode.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    file_ = fdopen(fd, "wb");
    if (!file_) {
        close(fd);
        unlink(temp_.c_str());
        fail(kBadInput, path_ + ": cannot write: " + strerror(errno));
    }
}

OutputFile::~OutputFile()
{
    if (file_) {
        fclose(file_);
        unlink(temp_.c_str());
    }
}

void OutputFile::write(const void *data, size_t size)
{
    if (size && fwrite(data, 1, size, file_) != size)
        fail(kBadInput, path_ + ": write failed: " + strerror(errno));
}

void OutputFile::commit()
{
    const bool flushed = fflush(file_) == 0 && fsync(fileno(file_)) == 0;
    const int error = errno;
    const bool closed = fclose(file_) == 0;
    file_ = nullptr;
    if (!flushed || !closed) {
        unlink(temp_.c_str());
        fail(kBadInput, path_ + ": write failed: " + strerror(flushed ? errno : error));
    }
    if (rename(temp_.c_str(), path_.c_str()) != 0) {
        const int e = errno;
        unlink(temp_.c_str());
        fail(kBadInput, path_ + ": cannot rename the finished file into place: " + strerror(e));
    }
}

Progress::Progress(std::string label)
    : label_(std::move(label)), start_(std::chrono::steady_clock::now()), terminal_(isatty(STDERR_FILENO) == 1)
{
}

Progress::~Progress()
{
    if (shown_)
        fprintf(stderr, "\r%*s\r", static_cast<int>(label_.size()) + 8, "");
}

void Progress::update(double fraction)
{
    if (!terminal_ || std::chrono::steady_clock::now() - start_ < std::chrono::seconds(1))
        return;
    const int percent = std::clamp(static_cast<int>(fraction * 100), 0, 100);
    if (percent == last_)
        return;
    last_ = percent;
    shown_ = true;
    fprintf(stderr, "\r%s %3d %%", label_.c_str(), percent);
    fflush(stderr);
}

namespace {

struct SndFile {
    SNDFILE *f = nullptr;
    ~SndFile()
    {
        if (f)
            sf_close(f);
    }
};

int16_t toSample(float v)
{
    return static_cast<int16_t>(std::clamp(std::lround(v * 32768.0f), -32768L, 32767L));
}

// The length a RIFF header promises; libsndfile quietly reads what there is
// of a cut-short WAV file, which must not pass for the whole speech.
void checkRiffLength(const std::string &path)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return;
    unsigned char head[12];
    const bool riff = fread(head, 1, 12, f) == 12 && std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "WAVE", 4) == 0;
    fseek(f, 0, SEEK_END);
    const long size = ftell(f);
    fclose(f);
    if (!riff)
        return;
    const unsigned long promised =
        8ul + (head[4] | head[5] << 8 | head[6] << 16 | static_cast<unsigned long>(head[7]) << 24);
    if (size >= 0 && promised > static_cast<unsigned long>(size))
        fail(kBadInput, path + ": the WAV file is cut short: its header promises " + std::to_string(promised) +
                            " bytes, the file has " + std::to_string(size));
}

} // namespace

std::vector<int16_t> readSpeech(const std::string &path)
{
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        fail(kBadInput, path + ": not a regular file");
    SF_INFO info{};
    SndFile in{sf_open(path.c_str(), SFM_READ, &info)};
    if (!in.f)
        fail(kBadInput, path + ": not a sound file libsndfile can read: " + sf_strerror(nullptr));
    checkRiffLength(path);
    if (info.channels < 1 || info.samplerate < 1 || info.frames < 0)
        fail(kBadInput, path + ": no sound in this file");
    if (info.frames > 8000L * 3600 * 4 || info.samplerate > 768000 || info.channels > 64)
        fail(kBadInput, path + ": too long or too many channels (at most 4 hours and 64 channels)");
    const auto frames = static_cast<size_t>(info.frames);
    const auto channels = static_cast<size_t>(info.channels);
    std::vector<int16_t> out;
    if (info.samplerate == 8000) {
        // Already at the program's rate: 16-bit samples pass unchanged.
        std::vector<short> raw(frames * channels);
        const sf_count_t got = sf_readf_short(in.f, raw.data(), info.frames);
        if (got != info.frames)
            fail(kBadInput, path + ": cut short: " + std::to_string(got) + " of " + std::to_string(info.frames) + " frames");
        out.resize(frames);
        for (size_t i = 0; i < frames; ++i) {
            long sum = 0;
            for (size_t c = 0; c < channels; ++c)
                sum += raw[i * channels + c];
            out[i] = static_cast<int16_t>(sum / static_cast<long>(channels));
        }
        return out;
    }
    std::vector<float> raw(frames * channels), mono(frames);
    const sf_count_t got = sf_readf_float(in.f, raw.data(), info.frames);
    if (got != info.frames)
        fail(kBadInput, path + ": cut short: " + std::to_string(got) + " of " + std::to_string(info.frames) + " frames");
    for (size_t i = 0; i < frames; ++i) {
        float sum = 0;
        for (size_t c = 0; c < channels; ++c)
            sum += raw[i * channels + c];
        mono[i] = sum / static_cast<float>(channels);
    }
    const double ratio = 8000.0 / info.samplerate;
    std::vector<float> resampled(static_cast<size_t>(std::ceil(frames * ratio)) + 16);
    SRC_DATA data{};
    data.data_in = mono.data();
    data.input_frames = static_cast<long>(frames);
    data.data_out = resampled.data();
    data.output_frames = static_cast<long>(resampled.size());
    data.src_ratio = ratio;
    if (const int e = src_simple(&data, SRC_SINC_BEST_QUALITY, 1))
        fail(kBadInput, path + ": rate conversion failed: " + src_strerror(e));
    out.resize(static_cast<size_t>(data.output_frames_gen));
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = toSample(resampled[i]);
    return out;
}

void writeWav(OutputFile &out, const std::vector<int16_t> &samples)
{
    SF_INFO info{};
    info.samplerate = 8000;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    fflush(out.get());
    SndFile wav{sf_open_fd(fileno(out.get()), SFM_WRITE, &info, 0)};
    if (!wav.f)
        fail(kBadInput, out.path() + ": cannot write WAV: " + sf_strerror(nullptr));
    const auto n = static_cast<sf_count_t>(samples.size());
    if (sf_write_short(wav.f, samples.data(), n) != n)
        fail(kBadInput, out.path() + ": write failed: " + sf_strerror(wav.f));
    if (sf_close(wav.f) != 0) {
        wav.f = nullptr;
        fail(kBadInput, out.path() + ": write failed");
    }
    wav.f = nullptr;
}

SpeechCodec parseCodec(const std::string &name)
{
    for (SpeechCodec c : {SpeechCodec::Ulaw, SpeechCodec::Adpcm, SpeechCodec::Gsm, SpeechCodec::LdGsm, SpeechCodec::Lpc10})
        if (name == codecName(c))
            return c;
    fail(kBadUsage, "unknown codec \"" + name + "\" (ulaw, adpcm, gsm, ldgsm or lpc10)");
}

const char *codecName(SpeechCodec codec)
{
    switch (codec) {
    case SpeechCodec::Adpcm:
        return "adpcm";
    case SpeechCodec::Gsm:
        return "gsm";
    case SpeechCodec::LdGsm:
        return "ldgsm";
    case SpeechCodec::Lpc10:
        return "lpc10";
    case SpeechCodec::Ulaw:
        break;
    }
    return "ulaw";
}

TimedY4mWriter::TimedY4mWriter(OutputFile &out) : out_(out)
{
    // Black until the first picture, as the picture area starts out.
    last_.y.assign(kWidth * kHeight, 16);
    last_.cb.assign(kWidth * kHeight / 4, 128);
    last_.cr.assign(kWidth * kHeight / 4, 128);
    const char header[] = "YUV4MPEG2 W160 H112 F10:1 Ip A1:1 C420jpeg\n";
    out_.write(header, sizeof header - 1);
}

void TimedY4mWriter::writeFrame()
{
    out_.write("FRAME\n", 6);
    out_.write(last_.y.data(), last_.y.size());
    out_.write(last_.cb.data(), last_.cb.size());
    out_.write(last_.cr.data(), last_.cr.size());
    ++written_;
}

void TimedY4mWriter::picture(const uint8_t *y, const uint8_t *cb, const uint8_t *cr, double seconds)
{
    // Pictures are never dropped: several at one time take the next slots.
    const long slot = static_cast<long>(std::floor(seconds * 10 + 1e-9));
    while (written_ < slot)
        writeFrame();
    std::memcpy(last_.y.data(), y, last_.y.size());
    std::memcpy(last_.cb.data(), cb, last_.cb.size());
    std::memcpy(last_.cr.data(), cr, last_.cr.size());
    writeFrame();
}

void TimedY4mWriter::finish(double seconds)
{
    const long end = static_cast<long>(std::ceil(seconds * 10 - 1e-9));
    while (written_ < end)
        writeFrame();
}

} // namespace kvfile
