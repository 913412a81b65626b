// Shared pieces of kestrelvox-file: failures with their exit status, output
// written under a temporary name, the progress line, speech from WAV files
// and YUV4MPEG2 pictures.
#pragma once

#include "audio/engine_state.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace kvfile {

constexpr int kBadInput = 1;
constexpr int kBadUsage = 2;

// Thrown to end a subcommand; main prints the message and exits with status.
struct Failure {
    int status;
    std::string message;
};
[[noreturn]] inline void fail(int status, const std::string &message)
{
    throw Failure{status, message};
}

// A file written under a temporary name beside its final one and renamed by
// commit(); destroyed uncommitted, it removes the temporary file, so a failed
// run leaves no half file.
class OutputFile {
public:
    explicit OutputFile(std::string path);
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;
    ~OutputFile();
    FILE *get() const { return file_; }
    void write(const void *data, size_t size);
    void commit();
    const std::string &path() const { return path_; }

private:
    std::string path_, temp_;
    FILE *file_ = nullptr;
};

// "label 42 %" on standard error, only on a terminal and only once the work
// has run for a second.
class Progress {
public:
    explicit Progress(std::string label);
    ~Progress();
    void update(double fraction);

private:
    std::string label_;
    std::chrono::steady_clock::time_point start_;
    bool terminal_, shown_ = false;
    int last_ = -1;
};

// Speech from any file libsndfile reads, as 16-bit mono samples at 8000 Hz.
std::vector<int16_t> readSpeech(const std::string &path);
// Writes samples as a 16-bit mono 8000 Hz WAV file.
void writeWav(OutputFile &out, const std::vector<int16_t> &samples);

SpeechCodec parseCodec(const std::string &name); // fails with kBadUsage
const char *codecName(SpeechCodec codec);

// 4:2:0 pictures in the program's 160 x 112 picture area.
constexpr int kWidth = 160, kHeight = 112;
struct Frame {
    std::vector<uint8_t> y, cb, cr;
};

// Reads a YUV4MPEG2 stream of 4:2:0 pictures of any size; each picture comes
// out scaled to cover 160 x 112 and cropped to its centre.
class Y4mReader {
public:
    Y4mReader(FILE *file, std::string name); // fails on a bad header
    // False at the end; fails on a cut-short picture. Unless scale, the
    // picture is only read past.
    bool next(Frame &frame, bool scale = true);
    double rate() const { return double(rateNum_) / rateDen_; }
    int width() const { return width_; }
    int height() const { return height_; }

private:
    FILE *file_;
    std::string name_;
    int width_ = 0, height_ = 0;
    long rateNum_ = 25, rateDen_ = 1;
    std::vector<uint8_t> raw_;
};

// Writes pictures at 10 per second, each from the time it is given on and
// repeated until the next, so the stream keeps the file's timing.
class TimedY4mWriter {
public:
    explicit TimedY4mWriter(OutputFile &out);
    // planes of a 160-wide picture with at least 112 lines (chroma 80 wide).
    void picture(const uint8_t *y, const uint8_t *cb, const uint8_t *cr, double seconds);
    void finish(double seconds); // holds the last picture to the end of the sound
    long frames() const { return written_; }

private:
    void writeFrame();
    OutputFile &out_;
    Frame last_;
    long written_ = 0;
};

} // namespace kvfile
