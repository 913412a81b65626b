// The decoder against an independent one: QCIF streams made and decoded by
// ffmpeg (a black box), compared picture by picture.
#include "video/h263_decoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace kv::video {
namespace {

constexpr int kW = 176, kH = 144, kFrame = kW * kH * 3 / 2;

std::vector<uint8_t> readFile(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

struct Oracle {
    std::string dir;
    Oracle()
    {
        char tmpl[] = "/tmp/kv_h263_XXXXXX";
        dir = mkdtemp(tmpl);
    }
    ~Oracle() { std::system(("rm -rf " + dir).c_str()); }

    // Encodes 30 QCIF pictures of a moving test pattern with ffmpeg's h263
    // encoder; returns the source, the stream, ffmpeg's own decode of it and
    // the luma PSNR of the encoder's reconstruction against the source.
    bool make(const std::string &encoderOptions, const std::string &decoderOptions, std::vector<uint8_t> &source,
              std::vector<uint8_t> &stream, std::vector<uint8_t> &reference, std::vector<double> &encoderPsnr)
    {
        const std::string src = dir + "/src.yuv", h263 = dir + "/s.h263", yuv = dir + "/ref.yuv", vs = dir + "/vs";
        const std::string ff = "ffmpeg -nostdin -loglevel error -y ";
        const std::string raw = " -f rawvideo -pix_fmt yuv420p -s 176x144 ";
        const std::string gen = ff + "-f lavfi -i 'testsrc=size=176x144:rate=25,rotate=a=0.05*t*25:c=gray' "
                                     "-frames:v 30" + raw + src;
        const std::string enc = ff + raw + "-i " + src + " -c:v h263 -flags +psnr -vstats_file " + vs + " " +
                                encoderOptions + " -f h263 " + h263;
        const std::string dec = ff + "-cpuflags 0 " + decoderOptions + " -i " + h263 + raw + yuv;
        if (std::system(gen.c_str()) != 0 || std::system(enc.c_str()) != 0 || std::system(dec.c_str()) != 0)
            return false;
        source = readFile(src);
        stream = readFile(h263);
        reference = readFile(yuv);
        std::ifstream stats(vs);
        for (std::string word; stats >> word;)
            if (word == "PSNR=" && stats >> word)
                encoderPsnr.push_back(std::stod(word));
        return true;
    }
};

// Decodes an elementary stream (byte-aligned picture start codes) in QCIF
// geometry; returns the pictures shown, back to back as planar 4:2:0.
std::vector<uint8_t> decodeStream(const std::vector<uint8_t> &s, bool &damaged)
{
    H263Decoder dec(11, 9);
    std::vector<uint8_t> out;
    dec.setSink([&](const PictureView &p) {
        out.insert(out.end(), p.y, p.y + kW * kH);
        out.insert(out.end(), p.cb, p.cb + kW * kH / 4);
        out.insert(out.end(), p.cr, p.cr + kW * kH / 4);
    });
    std::vector<size_t> starts;
    for (size_t i = 0; i + 2 < s.size(); ++i)
        if (s[i] == 0 && s[i + 1] == 0 && (s[i + 2] & 0xFC) == 0x80)
            starts.push_back(i);
    starts.push_back(s.size());
    int counter = 0;
    damaged = false;
    for (size_t k = 0; k + 1 < starts.size(); ++k) {
        EXPECT_EQ(dec.decodePicture(s.data() + starts[k], starts[k + 1] - starts[k], counter),
                  H263Decoder::Result::Decoded);
        ++counter;
        damaged |= dec.damaged();
    }
    return out;
}

struct Stats {
    int maxDiff = 0;
    double identical = 0, psnr = 0;
};

Stats compare(const uint8_t *a, const uint8_t *b, int n = kFrame)
{
    Stats s;
    double se = 0;
    int same = 0;
    for (int i = 0; i < n; ++i) {
        const int d = std::abs(a[i] - b[i]);
        s.maxDiff = std::max(s.maxDiff, d);
        se += d * d;
        same += d == 0;
    }
    s.identical = 100.0 * same / n;
    s.psnr = se == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * n / se);
    return s;
}

struct OracleCase {
    const char *name, *options, *decoderOptions;
    bool intraOnly;
};

TEST(H263Oracle, QcifStreamsFromAnIndependentEncoderDecodeLikeItsOwnDecoder)
{
    const OracleCase cases[] = {
        // Intra pictures differ only by the rounding of the inverse DCT:
        // compare with ffmpeg's most accurate one (floating point).
        {"intra only", "-g 1 -q:v 8", "-idct faani", true},
        {"I/P with motion", "-g 30 -q:v 3", "", false},
        {"advanced prediction", "-g 30 -q:v 3 -flags +mv4 -obmc 1", "", false},
    };
    for (const OracleCase &c : cases) {
        SCOPED_TRACE(c.name);
        Oracle o;
        std::vector<uint8_t> source, stream, reference;
        std::vector<double> encoderPsnr;
        ASSERT_TRUE(o.make(c.options, c.decoderOptions, source, stream, reference, encoderPsnr)) << "ffmpeg (Debian package ffmpeg) is needed";
        bool damaged = false;
        const std::vector<uint8_t> ours = decodeStream(stream, damaged);
        EXPECT_FALSE(damaged);
        ASSERT_EQ(ours.size(), reference.size());
        ASSERT_EQ(ours.size(), size_t{30} * kFrame);
        ASSERT_EQ(encoderPsnr.size(), 30u);
        Stats worst{0, 100, 99};
        double worstEncoderGap = 0, worstFfmpegGap = 0;
        for (size_t f = 0; f < 30; ++f) {
            const Stats s = compare(ours.data() + f * kFrame, reference.data() + f * kFrame);
            worst.maxDiff = std::max(worst.maxDiff, s.maxDiff);
            worst.identical = std::min(worst.identical, s.identical);
            worst.psnr = std::min(worst.psnr, s.psnr);
            // The encoder reports the luma PSNR of its own reconstruction.
            const double lumaPsnr = compare(ours.data() + f * kFrame, source.data() + f * kFrame, kW * kH).psnr;
            worstEncoderGap = std::max(worstEncoderGap, std::abs(lumaPsnr - encoderPsnr[f]));
            const double ffmpegPsnr = compare(reference.data() + f * kFrame, source.data() + f * kFrame, kW * kH).psnr;
            worstFfmpegGap = std::max(worstFfmpegGap, std::abs(ffmpegPsnr - encoderPsnr[f]));
            // Inverse-DCT rounding alone drifts by a few hundredths of a dB.
            EXPECT_NEAR(lumaPsnr, encoderPsnr[f], 0.1) << "picture " << f;
            if (c.intraOnly) {
                EXPECT_LE(s.maxDiff, 1) << "picture " << f;
                EXPECT_GE(s.identical, 99.0) << "picture " << f;
            } else {
                EXPECT_GE(s.psnr, 45.0) << "picture " << f;
            }
        }
        printf("%s: worst picture against ffmpeg's decode: max difference %d, %.3f %% identical, PSNR %.2f dB; "
               "largest gap to the encoder's own reconstruction PSNR: ours %.3f dB, ffmpeg's decoder %.3f dB\n",
               c.name, worst.maxDiff, worst.identical, worst.psnr, worstEncoderGap, worstFfmpegGap);
    }
}

} // namespace
} // namespace kv::video
