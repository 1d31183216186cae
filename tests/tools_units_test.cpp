// klor-fx's parts below the command line: the output format choice, the
// signal statistics, the all-or-nothing output file, and the dry/wet mix
// around the real effect.
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "fx_effect.h"
#include "fx_formats.h"
#include "fx_pending_file.h"
#include "fx_signal_stats.h"
#include "tools_cli_support.h"

namespace {

using klorfx::InputFormat;
using klorfx::OutputRequest;
using klorfx::Status;

// ---------------------------------------------------------------------------
// chooseOutputFormat

struct Choice {
    int input;
    int rate;
    const char* path;
    const char* format;
    int bits;
    bool floatOutput;
    int exitCode;  // 0: `expected` is the format word
    int expected;
};

TEST(ChooseOutputFormat, Table) {
    const int wav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    const int aiffLittle = SF_FORMAT_AIFF | SF_FORMAT_PCM_16 | SF_ENDIAN_LITTLE;
    const Choice cases[] = {
        // Kept as it is.
        {wav16, 44100, "o.wav", "", 0, false, 0, wav16},
        {aiffLittle, 44100, "o.aiff", "", 0, false, 0, aiffLittle},
        {aiffLittle, 44100, "o.unknown", "", 0, false, 0, aiffLittle},
        {SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 96000, "o.flac", "", 0, false, 0, SF_FORMAT_FLAC | SF_FORMAT_PCM_24},
        // Container from the name or the option; the endianness only
        // travels with its own container.
        {aiffLittle, 44100, "o.wav", "", 0, false, 0, wav16},
        {wav16, 44100, "dir.flac/o", "", 0, false, 0, wav16},
        {wav16, 44100, "O.FLAC", "", 0, false, 0, SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
        {wav16, 44100, "o.flac", "caf", 0, false, 0, SF_FORMAT_CAF | SF_FORMAT_PCM_16},
        {wav16, 44100, "o", "AIFF", 0, false, 0, SF_FORMAT_AIFF | SF_FORMAT_PCM_16},
        // Encoding the container cannot hold: the closest it can.
        {SF_FORMAT_WAV | SF_FORMAT_FLOAT, 44100, "o.flac", "", 0, false, 0, SF_FORMAT_FLAC | SF_FORMAT_PCM_24},
        {SF_FORMAT_WAV | SF_FORMAT_PCM_32, 44100, "o.flac", "", 0, false, 0, SF_FORMAT_FLAC | SF_FORMAT_PCM_24},
        {SF_FORMAT_RAW | SF_FORMAT_FLOAT, 48000, "o.wav", "", 0, false, 0, SF_FORMAT_WAV | SF_FORMAT_FLOAT},
        {wav16, 44100, "o.ogg", "", 0, false, 0, SF_FORMAT_OGG | SF_FORMAT_VORBIS},
        {wav16, 48000, "o.opus", "", 0, false, 0, SF_FORMAT_OGG | SF_FORMAT_OPUS},
        // Options.
        {wav16, 44100, "o.wav", "", 24, false, 0, SF_FORMAT_WAV | SF_FORMAT_PCM_24},
        {wav16, 44100, "o.wav", "", 8, false, 0, SF_FORMAT_WAV | SF_FORMAT_PCM_U8},
        {wav16, 44100, "o.aiff", "", 8, false, 0, SF_FORMAT_AIFF | SF_FORMAT_PCM_S8},
        {wav16, 44100, "o.wav", "", 0, true, 0, SF_FORMAT_WAV | SF_FORMAT_FLOAT},
        // Refused.
        {wav16, 44100, "o.flac", "", 0, true, klorfx::kExitOutput, 0},
        {wav16, 44100, "o.flac", "", 32, false, klorfx::kExitOutput, 0},
        {wav16, 44100, "o.wav", "vaw", 0, false, klorfx::kExitUsage, 0},
    };
    for (const Choice& c : cases) {
        InputFormat input;
        input.format = c.input;
        input.sampleRate = c.rate;
        input.channels = 2;
        OutputRequest request;
        request.path = c.path;
        request.format = c.format;
        request.bits = c.bits;
        request.floatOutput = c.floatOutput;
        int format = -1;
        const Status status = klorfx::chooseOutputFormat(input, request, &format);
        SCOPED_TRACE(std::string(c.path) + " format '" + c.format + "' bits " + std::to_string(c.bits));
        EXPECT_EQ(status.exitCode, c.exitCode) << status.message;
        if (c.exitCode == 0) {
            EXPECT_EQ(format, c.expected) << std::hex << format << " != " << c.expected;
        } else {
            EXPECT_EQ(format, -1);
            EXPECT_FALSE(status.message.empty());
        }
    }
}

TEST(ChooseOutputFormat, DescribesTheChoice) {
    EXPECT_EQ(klorfx::describeFormat(SF_FORMAT_WAV | SF_FORMAT_PCM_16), "WAV (Microsoft), Signed 16 bit PCM");
    EXPECT_TRUE(klorfx::isIntegerSubtype(SF_FORMAT_FLAC | SF_FORMAT_PCM_24));
    EXPECT_FALSE(klorfx::isIntegerSubtype(SF_FORMAT_WAV | SF_FORMAT_FLOAT));
}

// ---------------------------------------------------------------------------
// SignalStats

TEST(SignalStats, PeakRmsAndWhatAnIntegerOutputMustClip) {
    klorfx::SignalStats stats;
    EXPECT_EQ(stats.rms(), 0.0);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<float> block1 = {0.5f, -0.5f, 1.0f, -1.0f};
    const std::vector<float> block2 = {1.0000001f, -3.0f, nan, 0.0f};
    stats.add(block1.data(), block1.size());
    EXPECT_EQ(stats.beyondFullScale(), 0u) << "+-1 is full scale itself";
    EXPECT_DOUBLE_EQ(stats.rms(), std::sqrt(2.5 / 4));
    stats.add(block2.data(), block2.size());
    EXPECT_EQ(stats.samples(), 8u);
    EXPECT_EQ(stats.peak(), 3.0f);
    EXPECT_EQ(stats.beyondFullScale(), 3u) << "1.0000001, -3 and NaN";
    EXPECT_TRUE(std::isfinite(stats.rms())) << "NaN stays out of the RMS";
    EXPECT_EQ(klorfx::toDecibels(0.5), 20.0 * std::log10(0.5));
    EXPECT_TRUE(std::isinf(klorfx::toDecibels(0.0)));
}

// ---------------------------------------------------------------------------
// PendingFile

mode_t currentUmask() {
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
}

TEST(PendingFile, InvisibleUntilCommittedThenReplacesTheOldFile) {
    fxtest::TempDir dir;
    const std::string path = dir.file("out.wav");
    fxtest::writeText(path, "old");
    std::unique_ptr<klorfx::PendingFile> pending;
    ASSERT_TRUE(klorfx::PendingFile::create(path, &pending).ok());
    ASSERT_EQ(write(pending->fd(), "new", 3), 3);
    EXPECT_EQ(fxtest::readBytes(path), "old");
    EXPECT_EQ(dir.entries().size(), 2u) << "the temporary sits beside the destination";
    ASSERT_TRUE(pending->commit().ok());
    pending.reset();
    EXPECT_EQ(fxtest::readBytes(path), "new");
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"out.wav"});
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~currentUmask()) << "usual permissions, not mkstemp's 0600";
}

TEST(PendingFile, DroppedWithoutCommitLeavesNothing) {
    fxtest::TempDir dir;
    {
        std::unique_ptr<klorfx::PendingFile> pending;
        ASSERT_TRUE(klorfx::PendingFile::create(dir.file("out.wav"), &pending).ok());
        ASSERT_EQ(write(pending->fd(), "partial", 7), 7);
    }
    EXPECT_TRUE(dir.entries().empty());
}

TEST(PendingFile, RefusesMissingDirectoriesAndDirectories) {
    fxtest::TempDir dir;
    std::unique_ptr<klorfx::PendingFile> pending;
    EXPECT_EQ(klorfx::PendingFile::create(dir.file("missing/out.wav"), &pending).exitCode, klorfx::kExitOutput);
    EXPECT_EQ(klorfx::PendingFile::create(dir.path(), &pending).exitCode, klorfx::kExitOutput);
    EXPECT_EQ(klorfx::PendingFile::create(dir.path() + "/", &pending).exitCode, klorfx::kExitOutput);
    EXPECT_EQ(pending, nullptr);
    EXPECT_TRUE(dir.entries().empty());
}

// ---------------------------------------------------------------------------
// EffectRunner: the mix around the real effect, in place and not.

std::vector<uint32_t> bits(const std::vector<float>& samples) {
    std::vector<uint32_t> result(samples.size());
    std::memcpy(result.data(), samples.data(), samples.size() * sizeof(float));
    return result;
}

TEST(EffectRunner, InPlaceMatchesSeparateBuffersAtEveryMix) {
    std::unique_ptr<klorfx::EffectModule> module;
    ASSERT_TRUE(klorfx::EffectModule::load(KLOR_PLUGIN_PATH, false, &module).ok());
    const std::vector<float> in = fxtest::testSignal(1003, 2, 0.9f);
    const std::vector<float> wet = fxtest::effectOutput(in, 2, 0.8f);
    for (float mix : {0.0f, 0.3f, 1.0f}) {
        SCOPED_TRACE(mix);
        std::unique_ptr<klorfx::EffectRunner> runner;
        ASSERT_TRUE(module->makeRunner(0.8f, 0xFFFF, &runner).ok());
        std::vector<float> separate(in.size());
        ASSERT_TRUE(runner->process(in.data(), separate.data(), 1003, 2, mix).ok());
        std::vector<float> inPlace = in;
        ASSERT_TRUE(runner->process(inPlace.data(), inPlace.data(), 1003, 2, mix).ok());
        EXPECT_EQ(bits(inPlace), bits(separate));
        if (mix == 0.0f) {
            EXPECT_EQ(bits(separate), bits(in));
        }
        if (mix == 1.0f) {
            EXPECT_EQ(bits(separate), bits(wet));
        }
    }
}

TEST(EffectRunner, MaskAndLevelReachTheInstance) {
    std::unique_ptr<klorfx::EffectModule> module;
    ASSERT_TRUE(klorfx::EffectModule::load(KLOR_PLUGIN_PATH, false, &module).ok());
    std::unique_ptr<klorfx::EffectRunner> runner;
    ASSERT_TRUE(module->makeRunner(0.5f, 0x2, &runner).ok());
    const float in[4] = {0.5f, 0.5f, -0.25f, -0.25f};
    float out[4];
    ASSERT_TRUE(runner->process(in, out, 2, 2, 1.0f).ok());
    // Level 0.5: 0.5 -> 0.75, -0.25 -> -0.5, on channel 2 only.
    EXPECT_EQ(out[0], 0.5f);
    EXPECT_EQ(out[1], 0.75f);
    EXPECT_EQ(out[2], -0.25f);
    EXPECT_EQ(out[3], -0.5f);
}

TEST(EffectModule, LoadFailureNamesThePathOnce) {
    std::unique_ptr<klorfx::EffectModule> module;
    const Status status = klorfx::EffectModule::load("/nonexistent/libx.so", true, &module);
    EXPECT_EQ(status.exitCode, klorfx::kExitPlugin);
    EXPECT_EQ(module, nullptr);
    const std::string path = "/nonexistent/libx.so";
    const size_t first = status.message.find(path);
    ASSERT_NE(first, std::string::npos) << status.message;
    EXPECT_EQ(status.message.find(path, first + 1), std::string::npos) << status.message;
    EXPECT_NE(status.message.find("--plugin"), std::string::npos) << "a default path suggests --plugin";
}

}  // namespace
