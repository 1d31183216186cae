#include "fx_options.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace klorfx {

namespace {

Status usage(const std::string& text) { return Status::failure(kExitUsage, text); }

std::string quoted(const std::string& text) { return "'" + text + "'"; }

// Digits only, in decimal, 0x hexadecimal or 0b binary; no sign, no spaces.
// Values above 2^32 - 1 are refused, so every caller can range-check in
// 64 bits without overflow.
bool parseUnsigned(const std::string& text, uint64_t* value) {
    int base = 10;
    size_t start = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        start = 2;
    } else if (text.size() > 2 && text[0] == '0' && (text[1] == 'b' || text[1] == 'B')) {
        base = 2;
        start = 2;
    }
    if (start >= text.size()) return false;
    uint64_t result = 0;
    for (size_t i = start; i < text.size(); ++i) {
        const char c = text[i];
        int digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else {
            return false;
        }
        if (digit >= base) return false;
        result = result * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
        if (result > 0xFFFFFFFFull) return false;
    }
    *value = result;
    return true;
}

// A finite number written in full: "0.5", "1e-3", "-2". Leading spaces,
// trailing text, "nan" and "inf" are refused.
bool parseFinite(const std::string& text, float* value) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return false;
    errno = 0;
    char* end = nullptr;
    const float result = std::strtof(text.c_str(), &end);
    if (end != text.c_str() + text.size() || errno == ERANGE || !std::isfinite(result)) {
        return false;
    }
    *value = result;
    return true;
}

// "--name=value" or "--name value". Returns false when `arg` is not this
// option; sets *missing when the value is absent.
bool takeValue(const std::string& arg, const char* name, int argc, const char* const* argv,
               int* index, std::string* value, bool* missing) {
    const size_t length = std::strlen(name);
    if (arg.compare(0, length, name) != 0) return false;
    if (arg.size() == length) {
        if (*index + 1 >= argc) {
            *missing = true;
            return true;
        }
        *index += 1;
        *value = argv[*index];
        return true;
    }
    if (arg[length] != '=') return false;
    *value = arg.substr(length + 1);
    return true;
}

}  // namespace

Status parseLevel(const std::string& text, float* out) {
    float value;
    if (!parseFinite(text, &value)) return usage("--level: " + quoted(text) + " is not a finite number");
    *out = value;
    return Status::success();
}

Status parseMask(const std::string& text, uint16_t* out) {
    uint64_t value;
    if (!parseUnsigned(text, &value)) {
        return usage("--mask: " + quoted(text) + " is not a channel mask (decimal, 0x hex or 0b binary)");
    }
    if (value > 0xFFFF) return usage("--mask: " + quoted(text) + " is above 0xFFFF (16 channels)");
    *out = static_cast<uint16_t>(value);
    return Status::success();
}

Status parseBlock(const std::string& text, unsigned* out) {
    uint64_t value;
    if (!parseUnsigned(text, &value)) return usage("--block: " + quoted(text) + " is not a frame count");
    if (value == 0) return usage("--block: must be at least 1 frame");
    if (value > kMaxBlock) {
        return usage("--block: " + quoted(text) + " is above " + std::to_string(kMaxBlock) + " frames");
    }
    *out = static_cast<unsigned>(value);
    return Status::success();
}

Status parseMix(const std::string& text, float* out) {
    float value;
    if (!parseFinite(text, &value)) return usage("--mix: " + quoted(text) + " is not a finite number");
    if (!(value >= 0.0f && value <= 1.0f)) return usage("--mix: " + quoted(text) + " is outside 0 to 1");
    *out = value;
    return Status::success();
}

Status parseBits(const std::string& text, int* out) {
    uint64_t value;
    if (!parseUnsigned(text, &value) ||
        (value != 8 && value != 16 && value != 24 && value != 32)) {
        return usage("--bits: " + quoted(text) + " is not one of 8, 16, 24, 32");
    }
    *out = static_cast<int>(value);
    return Status::success();
}

Status parseRaw(const std::string& text, int* channels, int* rate) {
    const size_t colon = text.find(':');
    uint64_t c, r;
    if (colon == std::string::npos || !parseUnsigned(text.substr(0, colon), &c) ||
        !parseUnsigned(text.substr(colon + 1), &r)) {
        return usage("--raw: " + quoted(text) + " is not CHANNELS:RATE (for example 2:48000)");
    }
    if (c < 1 || c > static_cast<uint64_t>(kMaxChannels)) {
        return usage("--raw: channel count must be 1 to " + std::to_string(kMaxChannels));
    }
    if (r < 1 || r > static_cast<uint64_t>(kMaxRate)) {
        return usage("--raw: sample rate must be 1 to " + std::to_string(kMaxRate) + " Hz");
    }
    *channels = static_cast<int>(c);
    *rate = static_cast<int>(r);
    return Status::success();
}

Status parseOptions(int argc, const char* const* argv, Options* options) {
    Options o;
    std::vector<std::string> operands;
    bool demo = false, help = false, version = false, listFormats = false;
    bool optionsEnded = false;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsEnded || arg == kStdStream || arg.empty() || arg[0] != '-') {
            operands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") { help = true; continue; }
        if (arg == "--version") { version = true; continue; }
        if (arg == "-q" || arg == "--quiet") { o.quiet = true; continue; }
        if (arg == "--float") { o.floatOutput = true; continue; }
        if (arg == "--demo") { demo = true; continue; }
        if (arg == "--list-formats") { listFormats = true; continue; }

        std::string value;
        bool missing = false;
        Status status;
        bool known = true;
        if (takeValue(arg, "--level", argc, argv, &i, &value, &missing)) {
            if (!missing) status = parseLevel(value, &o.level);
        } else if (takeValue(arg, "--mask", argc, argv, &i, &value, &missing)) {
            if (!missing) status = parseMask(value, &o.mask);
        } else if (takeValue(arg, "--block", argc, argv, &i, &value, &missing)) {
            if (!missing) status = parseBlock(value, &o.block);
        } else if (takeValue(arg, "--mix", argc, argv, &i, &value, &missing)) {
            if (!missing) status = parseMix(value, &o.mix);
        } else if (takeValue(arg, "--bits", argc, argv, &i, &value, &missing)) {
            if (!missing) status = parseBits(value, &o.bits);
        } else if (takeValue(arg, "--raw", argc, argv, &i, &value, &missing)) {
            if (!missing) status = parseRaw(value, &o.rawChannels, &o.rawRate);
            o.raw = true;
        } else if (takeValue(arg, "--format", argc, argv, &i, &value, &missing)) {
            if (!missing && value.empty()) status = usage("--format: needs a container name");
            o.format = value;
        } else if (takeValue(arg, "--plugin", argc, argv, &i, &value, &missing)) {
            if (!missing && value.empty()) status = usage("--plugin: needs a path");
            o.plugin = value;
        } else if (takeValue(arg, "--plot", argc, argv, &i, &value, &missing)) {
            if (!missing && value.empty()) status = usage("--plot: needs a PNG file name");
            o.plotPath = value;
        } else if (takeValue(arg, "--out-dir", argc, argv, &i, &value, &missing)) {
            if (!missing && value.empty()) status = usage("--out-dir: needs a directory");
            o.outDir = value;
        } else {
            known = false;
        }
        if (!known) return usage("unknown option " + quoted(arg) + " (see --help)");
        if (missing) return usage(arg + ": needs a value");
        if (!status.ok()) return status;
    }

    if (help) {
        o.mode = Mode::Help;
    } else if (version) {
        o.mode = Mode::Version;
    } else if (listFormats) {
        o.mode = Mode::ListFormats;
    } else if (demo) {
        if (!operands.empty()) return usage("--demo takes no file operands");
        o.mode = Mode::Demo;
    } else if (!o.plotPath.empty() && operands.size() <= 1) {
        o.mode = Mode::PlotOnly;
        if (!operands.empty()) o.input = operands[0];
    } else if (operands.size() == 2) {
        o.mode = Mode::Process;
        o.input = operands[0];
        o.output = operands[1];
    } else if (operands.size() < 2) {
        return usage(operands.empty() ? "missing input and output files (see --help)"
                                      : "missing output file (see --help)");
    } else {
        return usage("too many operands: " + quoted(operands[2]) + " (see --help)");
    }

    if (o.bits != 0 && o.floatOutput) return usage("--bits and --float exclude each other");
    if (o.input == kStdStream && !o.raw) {
        return usage("reading standard input needs --raw CHANNELS:RATE");
    }
    if (o.output == kStdStream && (!o.format.empty() || o.bits != 0 || o.floatOutput)) {
        return usage("standard output is always raw 32-bit float; drop --format, --bits and --float");
    }
    if (o.raw && o.input.empty()) return usage("--raw describes an input; none was given");

    *options = o;
    return Status::success();
}

}  // namespace klorfx
