// klor-fx's option parsing, unit by unit: every value parser at and around
// its limits, and how the operands and options combine into a mode.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "fx_options.h"

namespace {

using klorfx::kExitOk;
using klorfx::kExitUsage;
using klorfx::Mode;
using klorfx::Options;
using klorfx::Status;

// ---------------------------------------------------------------------------
// Value parsers: accepted texts give the value, refused ones exit code 2
// and leave the target untouched.

struct MaskCase {
    const char* text;
    bool ok;
    uint16_t value;
};

TEST(ParseMask, Boundaries) {
    const MaskCase cases[] = {
        {"0", true, 0},           {"65535", true, 0xFFFF},   {"0xFFFF", true, 0xFFFF},
        {"0xffff", true, 0xFFFF}, {"0b101", true, 5},        {"0X3", true, 3},
        {"65536", false, 0},      {"0x10000", false, 0},     {"0b10000000000000000", false, 0},
        {"-1", false, 0},         {"", false, 0},            {"0x", false, 0},
        {"0b", false, 0},         {"0b102", false, 0},       {" 1", false, 0},
        {"1 ", false, 0},         {"+1", false, 0},          {"0xFFFFFFFFFFFFFFFFF", false, 0},
        {"1e3", false, 0},
    };
    for (const MaskCase& c : cases) {
        uint16_t mask = 0x1234;
        const Status status = klorfx::parseMask(c.text, &mask);
        EXPECT_EQ(status.ok(), c.ok) << "'" << c.text << "' " << status.message;
        EXPECT_EQ(mask, c.ok ? c.value : 0x1234) << "'" << c.text << "'";
        if (!c.ok) {
            EXPECT_EQ(status.exitCode, kExitUsage);
        }
    }
}

TEST(ParseBlock, Boundaries) {
    const struct {
        const char* text;
        bool ok;
        unsigned value;
    } cases[] = {{"1", true, 1},        {"512", true, 512},   {"65536", true, 65536},
                 {"0x200", true, 512},  {"0", false, 0},      {"65537", false, 0},
                 {"4294967296", false, 0}, {"-512", false, 0}, {"12k", false, 0}};
    for (const auto& c : cases) {
        unsigned block = 77;
        const Status status = klorfx::parseBlock(c.text, &block);
        EXPECT_EQ(status.ok(), c.ok) << c.text;
        EXPECT_EQ(block, c.ok ? c.value : 77u) << c.text;
    }
}

TEST(ParseLevel, FiniteNumbersOnly) {
    const struct {
        const char* text;
        bool ok;
        float value;
    } cases[] = {{"0.5", true, 0.5f}, {"0", true, 0.0f},     {"1", true, 1.0f},    {"2", true, 2.0f},
                 {"-0.5", true, -0.5f}, {"1e-3", true, 1e-3f}, {"3.4e38", true, 3.4e38f},
                 {"1e39", false, 0},  {"nan", false, 0},     {"inf", false, 0},    {"-inf", false, 0},
                 {"abc", false, 0},   {"0.5x", false, 0},    {"", false, 0},       {" 0.5", false, 0},
                 {"0,5", false, 0}};
    for (const auto& c : cases) {
        float level = 0.25f;
        const Status status = klorfx::parseLevel(c.text, &level);
        EXPECT_EQ(status.ok(), c.ok) << c.text;
        EXPECT_EQ(level, c.ok ? c.value : 0.25f) << c.text;
    }
}

TEST(ParseMix, ZeroToOne) {
    const struct {
        const char* text;
        bool ok;
    } cases[] = {{"0", true},        {"1", true},     {"0.5", true},  {"-0", true},  {"1.0000001", false},
                 {"-0.0000001", false}, {"2", false}, {"nan", false}, {"", false}};
    for (const auto& c : cases) {
        float mix = 0.25f;
        EXPECT_EQ(klorfx::parseMix(c.text, &mix).ok(), c.ok) << c.text;
        if (!c.ok) {
            EXPECT_EQ(mix, 0.25f) << c.text;
        }
    }
}

TEST(ParseBits, OnlyPcmDepths) {
    for (const char* text : {"8", "16", "24", "32"}) {
        int bits = 0;
        EXPECT_TRUE(klorfx::parseBits(text, &bits).ok()) << text;
        EXPECT_EQ(bits, std::stoi(text));
    }
    for (const char* text : {"0", "12", "20", "64", "", "16bit"}) {
        int bits = 0;
        EXPECT_FALSE(klorfx::parseBits(text, &bits).ok()) << text;
        EXPECT_EQ(bits, 0);
    }
}

TEST(ParseRaw, ChannelsAndRate) {
    int channels = 0, rate = 0;
    ASSERT_TRUE(klorfx::parseRaw("2:48000", &channels, &rate).ok());
    EXPECT_EQ(channels, 2);
    EXPECT_EQ(rate, 48000);
    ASSERT_TRUE(klorfx::parseRaw("1024:1", &channels, &rate).ok());
    EXPECT_EQ(channels, 1024);
    for (const char* text : {"0:48000", "1025:48000", "2:0", "2", ":", "2:", ":48000", "2:48000:1", "2x48000",
                             "-2:48000", "2:1536001"}) {
        channels = rate = 7;
        const Status status = klorfx::parseRaw(text, &channels, &rate);
        EXPECT_FALSE(status.ok()) << text;
        EXPECT_EQ(status.exitCode, kExitUsage) << text;
        EXPECT_EQ(channels, 7) << text;
        EXPECT_EQ(rate, 7) << text;
    }
}

// ---------------------------------------------------------------------------
// The whole command line.

Status parse(std::vector<std::string> args, Options* options) {
    args.insert(args.begin(), "klor-fx");
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    return klorfx::parseOptions(static_cast<int>(argv.size()), argv.data(), options);
}

TEST(ParseOptions, DefaultsAreTheEffectsOwn) {
    Options o;
    ASSERT_TRUE(parse({"in.wav", "out.wav"}, &o).ok());
    EXPECT_EQ(o.mode, Mode::Process);
    EXPECT_EQ(o.input, "in.wav");
    EXPECT_EQ(o.output, "out.wav");
    EXPECT_EQ(o.level, 0.5f);
    EXPECT_EQ(o.mask, 0xFFFF);
    EXPECT_EQ(o.block, 512u);
    EXPECT_EQ(o.mix, 1.0f);
    EXPECT_FALSE(o.quiet);
    EXPECT_EQ(o.outDir, "demo-out");
}

TEST(ParseOptions, BothSpellingsAndTheLastValueWins) {
    Options o;
    ASSERT_TRUE(parse({"--level=0.2", "a", "--level", "0.3", "b", "--mask=3", "--block", "64", "-q",
                       "--plugin", "/x/lib.so", "--format=flac", "--bits", "24"},
                      &o)
                    .ok());
    EXPECT_EQ(o.level, 0.3f);
    EXPECT_EQ(o.mask, 3);
    EXPECT_EQ(o.block, 64u);
    EXPECT_TRUE(o.quiet);
    EXPECT_EQ(o.plugin, "/x/lib.so");
    EXPECT_EQ(o.format, "flac");
    EXPECT_EQ(o.bits, 24);
    EXPECT_EQ(o.input, "a");
    EXPECT_EQ(o.output, "b");
}

TEST(ParseOptions, Modes) {
    const struct {
        std::vector<std::string> args;
        Mode mode;
        const char* input;
        const char* output;
    } cases[] = {
        {{"--plot", "p.png"}, Mode::PlotOnly, "", ""},
        {{"--plot", "p.png", "in.wav"}, Mode::PlotOnly, "in.wav", ""},
        {{"in.wav", "out.wav", "--plot", "p.png"}, Mode::Process, "in.wav", "out.wav"},
        {{"--demo"}, Mode::Demo, "", ""},
        {{"--demo", "--out-dir", "d", "--level", "0.7"}, Mode::Demo, "", ""},
        {{"--help", "in.wav", "out.wav", "--level", "0.7"}, Mode::Help, "", ""},
        {{"--version"}, Mode::Version, "", ""},
        {{"--list-formats"}, Mode::ListFormats, "", ""},
        {{"-", "-", "--raw", "2:44100"}, Mode::Process, "-", "-"},
        {{"--", "-q", "-x"}, Mode::Process, "-q", "-x"},  // names after -- are files
    };
    for (const auto& c : cases) {
        Options o;
        const Status status = parse(c.args, &o);
        ASSERT_TRUE(status.ok()) << c.args.front() << ": " << status.message;
        EXPECT_EQ(o.mode, c.mode) << c.args.front();
        EXPECT_EQ(o.input, c.input) << c.args.front();
        EXPECT_EQ(o.output, c.output) << c.args.front();
    }
}

TEST(ParseOptions, RefusedCombinations) {
    const struct {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{}, "missing input and output files"},
        {{"in.wav"}, "missing output file"},
        {{"a", "b", "c"}, "too many operands: 'c'"},
        {{"--plot", "p.png", "a", "b", "c"}, "too many operands"},
        {{"--demo", "a"}, "--demo takes no file operands"},
        {{"a", "b", "--bits", "16", "--float"}, "--bits and --float exclude each other"},
        {{"-", "b"}, "reading standard input needs --raw CHANNELS:RATE"},
        {{"a", "-", "--float"}, "standard output is always raw 32-bit float"},
        {{"a", "-", "--format", "wav"}, "standard output is always raw 32-bit float"},
        {{"--raw", "2:48000", "--demo"}, "--raw describes an input"},
        {{"a", "b", "--plot"}, "--plot: needs a value"},
        {{"a", "b", "--plot="}, "--plot: needs a PNG file name"},
        {{"a", "b", "--format="}, "--format: needs a container name"},
        {{"a", "b", "--levels", "1"}, "unknown option '--levels'"},
        {{"a", "b", "-l"}, "unknown option '-l'"},
    };
    for (const auto& c : cases) {
        Options o;
        o.level = 0.125f;
        const Status status = parse(c.args, &o);
        EXPECT_EQ(status.exitCode, kExitUsage) << c.message;
        EXPECT_NE(status.message.find(c.message), std::string::npos)
            << "expected \"" << c.message << "\", got \"" << status.message << "\"";
        EXPECT_EQ(o.level, 0.125f) << "options are only written on success";
    }
}

}  // namespace
