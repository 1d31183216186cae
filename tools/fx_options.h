// klor-fx command line: what the user asked for, checked for range and
// consistency before anything is opened.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fx_status.h"

namespace klorfx {

// The operand that names standard input or standard output.
constexpr char kStdStream[] = "-";

enum class Mode {
    Process,      // IN OUT: run a file (or stdin) through the effect
    PlotOnly,     // --plot without OUT: curves, and the waveform when IN is given
    Demo,         // --demo: synthesised signal, several levels, WAVs and a picture
    Help,
    Version,
    ListFormats,
};

struct Options {
    Mode mode = Mode::Process;
    std::string input;   // file path or "-"; empty when not given
    std::string output;  // file path or "-"; empty when not given

    float level = 0.5f;        // the effect's own default after create
    uint16_t mask = 0xFFFF;    // every channel the effect can select
    unsigned block = 512;      // frames per read call
    float mix = 1.0f;          // 0 = dry input, 1 = the effect's output

    std::string format;        // container key (wav, flac, ...); empty = keep
    int bits = 0;              // 8/16/24/32 integer PCM; 0 = keep
    bool floatOutput = false;  // 32-bit float samples

    bool raw = false;          // raw interleaved 32-bit float on a "-" input
    int rawChannels = 0;
    int rawRate = 0;

    bool quiet = false;
    std::string plugin;        // empty = look next to the executable
    std::string plotPath;      // empty = no picture
    std::string outDir = "demo-out";
};

// Limits on option values; the messages quote them.
constexpr unsigned kMaxBlock = 65536;
constexpr int kMaxChannels = 1024;
constexpr int kMaxRate = 1536000;

// Parses argv (argv[0] is the program). On failure the Status carries
// kExitUsage and a message such as "--mask: 0x10000 is above 0xFFFF".
Status parseOptions(int argc, const char* const* argv, Options* options);

// The value parsers, one per option, shared with the tests. Each leaves
// *out untouched on failure.
Status parseLevel(const std::string& text, float* out);
Status parseMask(const std::string& text, uint16_t* out);
Status parseBlock(const std::string& text, unsigned* out);
Status parseMix(const std::string& text, float* out);
Status parseBits(const std::string& text, int* out);
Status parseRaw(const std::string& text, int* channels, int* rate);

}  // namespace klorfx
