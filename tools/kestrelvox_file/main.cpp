// kestrelvox-file: looks into, converts and authors the program's voice and
// AV files from the command line.
#include "commands.h"
#include "common.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char *kUsage =
    "usage: kestrelvox-file COMMAND ARGUMENTS\n"
    "\n"
    "  info FILE                          what a voice or AV file holds\n"
    "  export FILE OUT.wav [--video OUT.y4m]\n"
    "                                     its sound as WAV, its pictures as YUV4MPEG2\n"
    "  import IN.wav OUT --codec CODEC [--split]\n"
    "                                     a voice file from a sound file\n"
    "  make-av IN.wav IN.y4m OUT [--codec CODEC] [--unrestricted-vectors]\n"
    "          [--pb-frames] [--quality N] [--reconstruction R.y4m]\n"
    "                                     an AV file from sound and pictures\n"
    "\n"
    "CODEC is ulaw, adpcm, gsm, ldgsm or lpc10. \"kestrelvox-file COMMAND --help\" tells more.\n";

struct Command {
    const char *name;
    const char *help;
    int (*run)(const kvfile::Arguments &);
};

constexpr Command kCommands[] = {
    {"info",
     "usage: kestrelvox-file info FILE\n\n"
     "Lists each record of a voice or AV file: its byte offset, kind and codec, and the samples and\n"
     "duration of its sound, or the type (I, P, PB) and options of its picture. Then the totals.\n"
     "A damaged file is listed up to its first bad record, whose offset and fault are given, and\n"
     "the exit status is 1.\n",
     kvfile::runInfo},
    {"export",
     "usage: kestrelvox-file export FILE OUT.wav [--video OUT.y4m]\n\n"
     "Writes the sound the program plays from FILE as a 16-bit mono 8000 Hz WAV file, and with\n"
     "--video its pictures as a YUV4MPEG2 stream of 160 x 112 pictures at 10 per second. Each\n"
     "picture starts where its record stands in the sound and lasts until the next.\n",
     kvfile::runExport},
    {"import",
     "usage: kestrelvox-file import IN.wav OUT --codec ulaw|adpcm|gsm|ldgsm|lpc10 [--split]\n\n"
     "Makes a voice file from any sound file libsndfile reads, converted to mono at 8000 Hz, in\n"
     "the records a recording with that codec writes; the last block is filled with silence.\n"
     "A voice file is at most what one recording may hold (204800 bytes and the record that\n"
     "crosses them); a longer one is refused unless --split is given, which writes numbered\n"
     "parts OUT-1, OUT-2, ... (before any extension). The program does not play files whose\n"
     "first record is uncompressed (ulaw).\n",
     kvfile::runImport},
    {"make-av",
     "usage: kestrelvox-file make-av IN.wav IN.y4m OUT [--codec CODEC] [--unrestricted-vectors]\n"
     "       [--pb-frames] [--advanced-prediction] [--quality N] [--reconstruction R.y4m]\n\n"
     "Makes an AV file: the sound coded with CODEC (default gsm) and the pictures of IN.y4m\n"
     "(4:2:0, any size; scaled to cover 160 x 112 and cropped to the centre; at most 10 per\n"
     "second are taken) coded as H.263. The first picture is intra-coded, the rest predicted.\n"
     "Each picture's record goes in front of the sound record it falls into.\n"
     "  --quality N            1 (coarsest, quantiser 31) to 31 (finest, quantiser 1); default 22\n"
     "  --unrestricted-vectors vectors may point outside the picture\n"
     "  --pb-frames            pictures are coded in pairs as PB-frames\n"
     "  --advanced-prediction  overlapped block motion compensation, four vectors per\n"
     "                         macroblock where they pay off, vectors outside the picture\n"
     "  --reconstruction R     also writes the pictures as the decoder will show them, timed as\n"
     "                         export times them\n",
     kvfile::runMakeAv},
};

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || !strcmp(argv[1], "--help") || !strcmp(argv[1], "-h")) {
        fputs(kUsage, argc < 2 ? stderr : stdout);
        return argc < 2 ? kvfile::kBadUsage : 0;
    }
    const Command *command = nullptr;
    for (const Command &c : kCommands)
        if (!strcmp(argv[1], c.name))
            command = &c;
    if (!command) {
        fprintf(stderr, "kestrelvox-file: unknown command \"%s\"\n%s", argv[1], kUsage);
        return kvfile::kBadUsage;
    }
    const kvfile::Arguments args(argv + 2, argv + argc);
    for (const std::string &a : args)
        if (a == "--help" || a == "-h") {
            fputs(command->help, stdout);
            return 0;
        }
    try {
        return command->run(args);
    } catch (const kvfile::Failure &f) {
        fprintf(stderr, "kestrelvox-file %s: %s\n", command->name, f.message.c_str());
        if (f.status == kvfile::kBadUsage)
            fprintf(stderr, "%s", command->help);
        return f.status;
    } catch (const std::bad_alloc &) {
        fprintf(stderr, "kestrelvox-file %s: out of memory\n", command->name);
        return kvfile::kBadInput;
    }
}
