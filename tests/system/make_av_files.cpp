// Writes the AV files of the whole-program video test into DIR:
//   av.avf     GSM audio records interleaved with 24 H.263 pictures (I, P with motion, PB-frames)
//   voice.vox  the same audio records alone
//   arith.avf  the same audio records with arithmetic-coded pictures (stand-in models)
//   last.rgb   the last picture the program must show: 160 x 112 pixels of R, G, B
// or, as "make_av_files --last-rgb IN.y4m OUT.rgb", the RGB of the last picture of a
// kestrelvox-file YUV4MPEG2 stream (160 x 112, 4:2:0), as the program's display makes it.
#include "../support/sac_stand_in_models.h"
#include "audio/codec_framing.h"
#include "audio/media_packet.h"
#include "audio/ulaw.h"
#include "h263_test_encoder.h"
#include "video/display.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace te = kv::video::testenc;

static int lastRgb(const char *in, const char *out)
{
    FILE *f = fopen(in, "rb");
    if (!f)
        return 1;
    std::vector<uint8_t> y(160 * 120), cb(80 * 60), cr(80 * 60);
    char line[256];
    bool any = false;
    // The header line, then "FRAME" lines each followed by one picture.
    while (fgets(line, sizeof line, f))
        if (!strncmp(line, "FRAME", 5)) {
            any = fread(y.data(), 1, 160 * 112, f) == 160 * 112 && fread(cb.data(), 1, 80 * 56, f) == 80 * 56 &&
                  fread(cr.data(), 1, 80 * 56, f) == 80 * 56;
        }
    fclose(f);
    std::vector<uint8_t> rgb(160 * 120 * 3);
    Yuv2Rgb24(y.data(), cr.data(), cb.data(), rgb.data(), 160, 120);
    FILE *o = fopen(out, "wb");
    return any && o && fwrite(rgb.data(), 1, 160 * 112 * 3, o) == 160 * 112 * 3 && fclose(o) == 0 ? 0 : 1;
}

int main(int argc, char **argv)
{
    if (argc == 4 && !strcmp(argv[1], "--last-rgb"))
        return lastRgb(argv[2], argv[3]);
    if (argc != 2) {
        fprintf(stderr, "usage: make_av_files DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    EncoderState codec;
    initEncoderState(codec);
    std::vector<te::AvRecord> audio;
    for (int r = 0; r < 8; ++r) { // 8 x 400 ms of a gliding tone
        unsigned char packet[kPacketSize] = {};
        for (int i = 0; i < 3200; ++i) {
            const double t = (r * 3200 + i) / 8000.0;
            packet[kPacketHeaderSize + i] = linearToUlaw(static_cast<int16_t>(8000 * std::sin(2 * M_PI * (300 + 100 * t) * t)));
        }
        setPacketPayloadLength(packet, 3200);
        gsmcomp(packet, codec);
        const int n = packetPayloadLength(packet);
        audio.push_back({false, {packet + kPacketHeaderSize, packet + kPacketHeaderSize + n}});
    }

    std::vector<te::AvRecord> av, arith;
    te::H263TestEncoder enc, encArith(sacStandInModels());
    te::Picture last;
    auto scene = [](int t) {
        te::Picture p = te::Picture::blank(160, 112);
        for (int y = 0; y < 112; ++y)
            for (int x = 0; x < 160; ++x)
                p.y[y * 160 + x] = static_cast<uint8_t>(128 + 90 * std::sin((x - 2 * t) * 0.08) * std::cos((y + t) * 0.06));
        for (int i = 0; i < 80 * 56; ++i) {
            p.cb[i] = static_cast<uint8_t>(80 + (i % 80 + t) % 96);
            p.cr[i] = static_cast<uint8_t>(200 - (i / 80) * 2);
        }
        return p;
    };
    int tr = 0;
    for (int n = 0; n < 24; ++n) {
        const bool pb = n % 6 == 5;
        const te::Picture b = scene(2 * n - 1), p = scene(2 * n);
        te::PictureOptions o{.intra = n == 0, .quant = 6, .unrestricted = n > 12,
                             .vector = [](int, int) { return te::Vector{4, -2}; }};
        o.bSource = pb ? &b : nullptr;
        o.tr = tr += pb ? 2 : 1;
        const te::EncodedPicture e = enc.encode(p, o);
        av.push_back({true, e.bytes});
        last = e.shown.back();
        o.arithmetic = true;
        arith.push_back({true, encArith.encode(p, o).bytes});
        if (n % 3 == 2) {
            av.push_back(audio[static_cast<size_t>(n / 3)]);
            arith.push_back(audio[static_cast<size_t>(n / 3)]);
        }
    }
    std::vector<uint8_t> rgb(160 * 120 * 3);
    Yuv2Rgb24(last.y.data(), last.cr.data(), last.cb.data(), rgb.data(), 160, 120);
    FILE *f = fopen((dir + "/last.rgb").c_str(), "wb");
    const bool ok = f && fwrite(rgb.data(), 1, 160 * 112 * 3, f) == 160 * 112 * 3 && fclose(f) == 0 &&
                    te::writeAvFile(dir + "/av.avf", kCodecGsm, av) && te::writeAvFile(dir + "/voice.vox", kCodecGsm, audio) &&
                    te::writeAvFile(dir + "/arith.avf", kCodecGsm, arith);
    freeEncoderState(codec);
    return ok ? 0 : 1;
}
