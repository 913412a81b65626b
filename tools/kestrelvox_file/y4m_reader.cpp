#include "common.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kvfile {

namespace {

constexpr int kMaxSide = 4096;
constexpr size_t kMaxLine = 1024;

// One header line up to "\n"; false if none ends within kMaxLine bytes.
bool readLine(FILE *f, std::string &line)
{
    line.clear();
    for (int c; (c = fgetc(f)) != EOF;) {
        if (c == '\n')
            return true;
        if (line.size() == kMaxLine)
            return false;
        line.push_back(static_cast<char>(c));
    }
    return false;
}

bool parseNumber(const std::string &text, long max, long &value)
{
    if (text.empty() || text.size() > 9 || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    value = std::stol(text);
    return value >= 1 && value <= max;
}

// Resamples one plane so that it covers outW x outH, cropped to the centre,
// with a triangle filter as wide as the scale asks (box-like when shrinking).
void scalePlane(const uint8_t *in, int inW, int inH, uint8_t *out, int outW, int outH)
{
    const double scale = std::max(double(outW) / inW, double(outH) / inH);
    const double offX = (inW - outW / scale) / 2, offY = (inH - outH / scale) / 2;
    auto weights = [&](int outPos, double off, int inSize, std::vector<std::pair<int, double>> &w) {
        w.clear();
        const double centre = off + (outPos + 0.5) / scale - 0.5;
        const double radius = std::max(1.0, 1.0 / scale);
        double total = 0;
        for (int i = static_cast<int>(std::floor(centre - radius)); i <= static_cast<int>(std::ceil(centre + radius)); ++i) {
            const double d = 1.0 - std::abs(i - centre) / radius;
            if (d <= 0)
                continue;
            w.emplace_back(std::clamp(i, 0, inSize - 1), d);
            total += d;
        }
        for (auto &p : w)
            p.second /= total;
    };
    std::vector<double> rows(static_cast<size_t>(outW) * inH);
    std::vector<std::pair<int, double>> w;
    for (int x = 0; x < outW; ++x) {
        weights(x, offX, inW, w);
        for (int y = 0; y < inH; ++y) {
            double v = 0;
            for (auto [i, k] : w)
                v += k * in[static_cast<size_t>(y) * inW + i];
            rows[static_cast<size_t>(y) * outW + x] = v;
        }
    }
    for (int y = 0; y < outH; ++y) {
        weights(y, offY, inH, w);
        for (int x = 0; x < outW; ++x) {
            double v = 0;
            for (auto [i, k] : w)
                v += k * rows[static_cast<size_t>(i) * outW + x];
            out[static_cast<size_t>(y) * outW + x] = static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L));
        }
    }
}

} // namespace

Y4mReader::Y4mReader(FILE *file, std::string name) : file_(file), name_(std::move(name))
{
    std::string line;
    if (!readLine(file_, line) || line.rfind("YUV4MPEG2 ", 0) != 0)
        fail(kBadInput, name_ + ": not a YUV4MPEG2 stream (no \"YUV4MPEG2 \" header line)");
    size_t pos = 10;
    while (pos < line.size()) {
        const size_t end = std::min(line.find(' ', pos), line.size());
        const std::string token = line.substr(pos, end - pos);
        pos = end + 1;
        if (token.empty())
            continue;
        const std::string value = token.substr(1);
        long n = 0;
        switch (token[0]) {
        case 'W':
        case 'H':
            if (!parseNumber(value, kMaxSide, n))
                fail(kBadInput, name_ + ": bad picture " + (token[0] == 'W' ? "width" : "height") + " \"" + value + "\"");
            (token[0] == 'W' ? width_ : height_) = static_cast<int>(n);
            break;
        case 'F': {
            const size_t colon = value.find(':');
            if (colon == std::string::npos || !parseNumber(value.substr(0, colon), 1000000000, rateNum_) ||
                !parseNumber(value.substr(colon + 1), 1000000000, rateDen_) || rate() > 1000)
                fail(kBadInput, name_ + ": bad frame rate \"" + value + "\"");
            break;
        }
        case 'C':
            // 8-bit 4:2:0 only, whichever way its chroma is sited.
            if (value != "420" && value != "420jpeg" && value != "420mpeg2" && value != "420paldv")
                fail(kBadInput, name_ + ": colour space " + value + " is not 8-bit 4:2:0");
            break;
        case 'I':
        case 'A':
        case 'X':
            break;
        default:
            fail(kBadInput, name_ + ": unknown header field \"" + token + "\"");
        }
    }
    if (width_ == 0 || height_ == 0)
        fail(kBadInput, name_ + ": the header gives no picture size");
}

bool Y4mReader::next(Frame &frame, bool scale)
{
    std::string line;
    if (!readLine(file_, line)) {
        if (line.empty() && feof(file_))
            return false;
        fail(kBadInput, name_ + ": bad frame header");
    }
    if (line.rfind("FRAME", 0) != 0)
        fail(kBadInput, name_ + ": bad frame header \"" + line.substr(0, 40) + "\"");
    const size_t cw = (static_cast<size_t>(width_) + 1) / 2, ch = (static_cast<size_t>(height_) + 1) / 2;
    const size_t lumaSize = static_cast<size_t>(width_) * height_, size = lumaSize + 2 * cw * ch;
    raw_.resize(size);
    if (fread(raw_.data(), 1, size, file_) != size)
        fail(kBadInput, name_ + ": a picture is cut short");
    if (!scale)
        return true;
    frame.y.resize(kWidth * kHeight);
    frame.cb.resize(kWidth * kHeight / 4);
    frame.cr.resize(kWidth * kHeight / 4);
    scalePlane(raw_.data(), width_, height_, frame.y.data(), kWidth, kHeight);
    scalePlane(raw_.data() + lumaSize, static_cast<int>(cw), static_cast<int>(ch), frame.cb.data(), kWidth / 2, kHeight / 2);
    scalePlane(raw_.data() + lumaSize + cw * ch, static_cast<int>(cw), static_cast<int>(ch), frame.cr.data(), kWidth / 2,
               kHeight / 2);
    return true;
}

} // namespace kvfile
