// klor-fx as users run it: which format the output gets, and what an
// integer output does with samples beyond full scale.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

#include "tools_cli_support.h"

namespace {

using fxtest::Audio;
using fxtest::TempDir;

constexpr int kFrames = 4411;  // not a multiple of the 512-frame block, nor of 8

// The sample step of an encoding, for comparing a quantised output with
// the effect's float result; 0 for float encodings (exact).
double step(int format) {
    switch (format & SF_FORMAT_SUBMASK) {
        case SF_FORMAT_PCM_S8:
        case SF_FORMAT_PCM_U8: return 1.0 / 128;
        case SF_FORMAT_PCM_16: return 1.0 / 32768;
        case SF_FORMAT_PCM_24: return 1.0 / 8388608;
        case SF_FORMAT_PCM_32: return 1.0 / 2147483648.0;
        default: return 0.0;
    }
}

std::string describe(int format) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(format));
    return text;
}

// ---------------------------------------------------------------------------
// Without format options the output is written exactly as the input is:
// same container, encoding, endianness, rate and channel count, and its
// samples are the effect's output at that resolution.

struct KeptFormat {
    const char* name;
    const char* extension;
    int format;
    int channels;
    int rate;
};

// Test names and failure messages show the case name, not its bytes.
void PrintTo(const KeptFormat& c, std::ostream* os) { *os << c.name; }

class FormatPreservation : public ::testing::TestWithParam<KeptFormat> {};

TEST_P(FormatPreservation, OutputKeepsTheInputFormatAndCarriesTheEffect) {
    const KeptFormat& kept = GetParam();
    TempDir dir;
    Audio in;
    in.format = kept.format;
    in.channels = kept.channels;
    in.sampleRate = kept.rate;
    in.samples = fxtest::testSignal(kFrames, kept.channels, 0.9f);
    const std::string inPath = dir.file(std::string("in.") + kept.extension);
    const std::string outPath = dir.file(std::string("out.") + kept.extension);
    fxtest::writeAudio(inPath, in);
    const Audio stored = fxtest::readAudio(inPath);  // what klor-fx reads

    const fxtest::RunResult run = fxtest::runFx({inPath, outPath, "--level", "0.7", "-q"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const Audio out = fxtest::readAudio(outPath);
    EXPECT_EQ(describe(out.format), describe(kept.format));
    EXPECT_EQ(out.channels, kept.channels);
    EXPECT_EQ(out.sampleRate, kept.rate);
    ASSERT_EQ(out.samples.size(), stored.samples.size());

    const std::vector<float> expected = fxtest::effectOutput(stored.samples, kept.channels, 0.7f);
    const double tolerance = step(kept.format);  // rounding to the nearest step, at most half
    size_t mismatches = 0;
    for (size_t i = 0; i < expected.size(); ++i) {
        const bool same = tolerance == 0.0 ? out.samples[i] == expected[i]
                                           : std::fabs(out.samples[i] - expected[i]) <= tolerance;
        if (!same && ++mismatches <= 3) {
            ADD_FAILURE() << "sample " << i << ": " << out.samples[i] << ", expected " << expected[i];
        }
    }
    EXPECT_EQ(mismatches, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, FormatPreservation,
    ::testing::Values(KeptFormat{"Wav16", "wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 44100},
                      KeptFormat{"Flac16", "flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 2, 48000},
                      KeptFormat{"Flac24Mono", "flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 1, 96000},
                      KeptFormat{"WavFloat", "wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 3, 22050},
                      KeptFormat{"Aiff24", "aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_24, 2, 44100},
                      KeptFormat{"AiffLittleEndian16", "aiff",
                                 SF_FORMAT_AIFF | SF_FORMAT_PCM_16 | SF_ENDIAN_LITTLE, 2, 44100},
                      KeptFormat{"Caf32", "caf", SF_FORMAT_CAF | SF_FORMAT_PCM_32, 2, 8000},
                      KeptFormat{"W64Double", "w64", SF_FORMAT_W64 | SF_FORMAT_DOUBLE, 1, 44100}),
    [](const ::testing::TestParamInfo<KeptFormat>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// What the options and the output's name select.

struct FormatChoice {
    const char* name;
    int inputFormat;
    const char* output;  // file name in the test directory
    std::vector<std::string> options;
    int expected;        // container | encoding (endianness ignored)
};

void PrintTo(const FormatChoice& c, std::ostream* os) { *os << c.name; }

class FormatOverride : public ::testing::TestWithParam<FormatChoice> {};

TEST_P(FormatOverride, OptionsAndExtensionChooseTheOutputFormat) {
    const FormatChoice& choice = GetParam();
    TempDir dir;
    Audio in;
    in.format = choice.inputFormat;
    in.channels = 2;
    in.sampleRate = 48000;
    in.samples = fxtest::testSignal(1000, 2, 0.5f);
    fxtest::writeAudio(dir.file("in.wav"), in);

    std::vector<std::string> args = {dir.file("in.wav"), dir.file(choice.output), "-q"};
    args.insert(args.end(), choice.options.begin(), choice.options.end());
    const fxtest::RunResult run = fxtest::runFx(args);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const Audio out = fxtest::readAudio(dir.file(choice.output));
    EXPECT_EQ(describe(out.format & ~SF_FORMAT_ENDMASK), describe(choice.expected));
    EXPECT_EQ(out.sampleRate, 48000);
    EXPECT_EQ(out.samples.size(), in.samples.size());
}

INSTANTIATE_TEST_SUITE_P(
    Choices, FormatOverride,
    ::testing::Values(
        FormatChoice{"FormatOption", SF_FORMAT_WAV | SF_FORMAT_PCM_16, "out.wav", {"--format", "flac"},
                     SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
        FormatChoice{"FlacExtension", SF_FORMAT_WAV | SF_FORMAT_PCM_16, "out.flac", {},
                     SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
        FormatChoice{"UnknownExtensionKeepsInput", SF_FORMAT_WAV | SF_FORMAT_PCM_24, "out.take", {},
                     SF_FORMAT_WAV | SF_FORMAT_PCM_24},
        FormatChoice{"Bits24", SF_FORMAT_WAV | SF_FORMAT_PCM_16, "out.wav", {"--bits", "24"},
                     SF_FORMAT_WAV | SF_FORMAT_PCM_24},
        FormatChoice{"Bits32", SF_FORMAT_WAV | SF_FORMAT_FLOAT, "out.wav", {"--bits=32"},
                     SF_FORMAT_WAV | SF_FORMAT_PCM_32},
        FormatChoice{"Float", SF_FORMAT_WAV | SF_FORMAT_PCM_16, "out.wav", {"--float"},
                     SF_FORMAT_WAV | SF_FORMAT_FLOAT},
        FormatChoice{"EightBitsWavIsUnsigned", SF_FORMAT_WAV | SF_FORMAT_PCM_16, "out.wav", {"--bits", "8"},
                     SF_FORMAT_WAV | SF_FORMAT_PCM_U8},
        FormatChoice{"EightBitsAiffIsSigned", SF_FORMAT_WAV | SF_FORMAT_PCM_16, "out.aiff", {"--bits", "8"},
                     SF_FORMAT_AIFF | SF_FORMAT_PCM_S8},
        FormatChoice{"FloatIntoFlacBecomes24", SF_FORMAT_WAV | SF_FORMAT_FLOAT, "out.flac", {},
                     SF_FORMAT_FLAC | SF_FORMAT_PCM_24},
        FormatChoice{"OggIsVorbis", SF_FORMAT_WAV | SF_FORMAT_PCM_16, "out.ogg", {},
                     SF_FORMAT_OGG | SF_FORMAT_VORBIS},
        FormatChoice{"OpusExtension", SF_FORMAT_WAV | SF_FORMAT_PCM_16, "out.opus", {},
                     SF_FORMAT_OGG | SF_FORMAT_OPUS},
        FormatChoice{"FormatBeatsExtension", SF_FORMAT_WAV | SF_FORMAT_PCM_16, "out.flac",
                     {"--format", "aiff"}, SF_FORMAT_AIFF | SF_FORMAT_PCM_16}),
    [](const ::testing::TestParamInfo<FormatChoice>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Clipping: integer outputs clip beyond full scale (never wrap) and the
// summary counts exactly the samples that went beyond it.

uint64_t summaryClipped(const std::string& summary) {
    for (const std::string& line : fxtest::lines(summary)) {
        const size_t at = line.find("clipped");
        if (at != std::string::npos) return std::strtoull(line.c_str() + at + 7, nullptr, 10);
    }
    ADD_FAILURE() << "no clipped line in:\n" << summary;
    return 0;
}

struct ClipCase {
    const char* name;
    const char* level;
    float levelValue;
    std::vector<std::string> options;
    bool integerOutput;
};

void PrintTo(const ClipCase& c, std::ostream* os) { *os << c.name; }

class Clipping : public ::testing::TestWithParam<ClipCase> {};

TEST_P(Clipping, SummaryCountsWhatTheOutputCannotHold) {
    const ClipCase& c = GetParam();
    TempDir dir;
    // Float input may go beyond full scale; these hit the edges exactly
    // (+-1 is full scale, not clipped) and well beyond.
    Audio in;
    in.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    in.channels = 2;
    in.sampleRate = 44100;
    in.samples = {1.5f, -2.0f, 0.5f, 1.0f, -1.0f, 3.0f, 1.0000001f, -1.0000001f, 0.999f, 0.0f, 4.0f, -4.0f};
    const std::vector<float> ramp = fxtest::testSignal(1001, 2, 2.5f);
    in.samples.insert(in.samples.end(), ramp.begin(), ramp.end());
    fxtest::writeAudio(dir.file("in.wav"), in);

    std::vector<std::string> args = {dir.file("in.wav"), dir.file("out.wav"), "--level", c.level};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const fxtest::RunResult run = fxtest::runFx(args);
    ASSERT_EQ(run.exitCode, 0) << run.err;

    const std::vector<float> expected = fxtest::effectOutput(in.samples, 2, c.levelValue);
    uint64_t beyond = 0;
    for (float y : expected) beyond += std::fabs(y) > 1.0f ? 1 : 0;
    ASSERT_GT(beyond, 0u) << "the case must produce samples beyond full scale";

    if (!c.integerOutput) {
        EXPECT_EQ(summaryClipped(run.out), 0u);
        EXPECT_NE(run.out.find(std::to_string(beyond) + " beyond full scale"), std::string::npos) << run.out;
        EXPECT_EQ(fxtest::readAudio(dir.file("out.wav")).samples, expected);
        return;
    }
    EXPECT_EQ(summaryClipped(run.out), beyond);
    const std::vector<int32_t> written = fxtest::readIntegers(dir.file("out.wav"));
    ASSERT_EQ(written.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        // Integers read back at 32 bits: full scale is INT32_MAX / INT32_MIN
        // down to the file's resolution.
        if (expected[i] > 1.0f) {
            EXPECT_GE(written[i], 0x7F000000) << "sample " << i << " wrapped";
        }
        if (expected[i] < -1.0f) {
            EXPECT_EQ(written[i], INT32_MIN) << "sample " << i << " wrapped";
        }
        // Well above the coarsest step (8 bits), the sign must survive.
        if (expected[i] > 0.05f) {
            EXPECT_GT(written[i], 0) << "sample " << i << " changed sign";
        }
        if (expected[i] < -0.05f) {
            EXPECT_LT(written[i], 0) << "sample " << i << " changed sign";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Levels, Clipping,
    ::testing::Values(ClipCase{"Level0To16Bit", "0", 0.0f, {"--bits", "16"}, true},
                      ClipCase{"Level05To16Bit", "0.5", 0.5f, {"--bits", "16"}, true},
                      ClipCase{"Level05To24Bit", "0.5", 0.5f, {"--bits", "24"}, true},
                      ClipCase{"Level025To8Bit", "0.25", 0.25f, {"--bits", "8"}, true},
                      ClipCase{"Level05ToFlac", "0.5", 0.5f, {"--format", "flac"}, true},
                      ClipCase{"FloatOutputKeepsThem", "0.5", 0.5f, {}, false}),
    [](const ::testing::TestParamInfo<ClipCase>& info) { return std::string(info.param.name); });

}  // namespace
