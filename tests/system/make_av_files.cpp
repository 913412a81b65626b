// Guards against AV pictures checked only against the program itself: writes, from the test encoder, into DIR av.avf
// (GSM audio, 24 H.263 pictures: I, P with motion, PB-frames), voice.vox (its audio), arith.avf (arithmetic-coded) and
// last.rgb (the last picture as the display shows it); "--last-rgb IN.y4m OUT.rgb" does that for a 4:2:0 stream.
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

// y, cb, cr: 160 x 120 pictures, of which the top 112 rows are shown.
static bool writeRgb(const std::string &path, const uint8_t *y, const uint8_t *cb, const uint8_t *cr)
{
    std::vector<uint8_t> rgb(160 * 120 * 3);
    Yuv2Rgb24(y, cr, cb, rgb.data(), 160, 120);
    FILE *f = fopen(path.c_str(), "wb");
    return f && fwrite(rgb.data(), 1, 160 * 112 * 3, f) == 160 * 112 * 3 && fclose(f) == 0;
}

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
    return any && writeRgb(out, y.data(), cb.data(), cr.data()) ? 0 : 1;
}

int main(int argc, char **argv)
{
    if (argc == 4 && !strcmp(argv[1], "--last-rgb"))
        return lastRgb(argv[2], argv[3]);
    if (argc != 2)
        return 2;
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
        const unsigned char *payload = packet + kPacketHeaderSize;
        audio.push_back({false, {payload, payload + packetPayloadLength(packet)}});
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
        for (auto *records : {&av, &arith})
            if (n % 3 == 2)
                records->push_back(audio[static_cast<size_t>(n / 3)]);
    }
    const bool ok = writeRgb(dir + "/last.rgb", last.y.data(), last.cb.data(), last.cr.data()) &&
                    te::writeAvFile(dir + "/av.avf", kCodecGsm, av) && te::writeAvFile(dir + "/voice.vox", kCodecGsm, audio) &&
                    te::writeAvFile(dir + "/arith.avf", kCodecGsm, arith);
    freeEncoderState(codec);
    return ok ? 0 : 1;
}
