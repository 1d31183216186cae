// klor-fx as users run it: dry/wet mix, channel mask, block size, and raw
// float streams on standard input and output.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "tools_cli_support.h"

namespace {

using fxtest::Audio;
using fxtest::TempDir;

// Bit patterns, so that -0.0, NaN payloads and subnormals compare exactly.
std::vector<uint32_t> bits(const std::vector<float>& samples) {
    std::vector<uint32_t> result(samples.size());
    std::memcpy(result.data(), samples.data(), samples.size() * sizeof(float));
    return result;
}

// Samples a float file may hold that any sloppy arithmetic would change.
std::vector<float> awkwardSamples() {
    std::vector<float> s = {0.0f, -0.0f, 1.0f, -1.0f, 1e-40f, -1e-40f, 0.3f, -0.7f, 1.5f, -2.5f,
                            std::numeric_limits<float>::min(), 0.999999f};
    const std::vector<float> signal = fxtest::testSignal(2049, 2, 0.95f);
    s.insert(s.end(), signal.begin(), signal.end());
    return s;
}

Audio floatWav(std::vector<float> samples, int channels) {
    Audio audio;
    audio.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    audio.channels = channels;
    audio.sampleRate = 48000;
    audio.samples = std::move(samples);
    return audio;
}

// ---------------------------------------------------------------------------
// --mix

TEST(Mix, ZeroGivesTheInputBackBitForBit) {
    TempDir dir;
    const Audio in = floatWav(awkwardSamples(), 2);
    fxtest::writeAudio(dir.file("in.wav"), in);
    const fxtest::RunResult run =
        fxtest::runFx({dir.file("in.wav"), dir.file("out.wav"), "--mix", "0", "--level", "0.9", "-q"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(bits(fxtest::readAudio(dir.file("out.wav")).samples), bits(in.samples));
}

TEST(Mix, ZeroGivesA16BitFileBackSampleForSample) {
    TempDir dir;
    Audio in;
    in.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    in.channels = 2;
    in.sampleRate = 44100;
    // Every 16-bit code once, both signs, both full-scale ends.
    for (int v = -32768; v < 32768; ++v) in.samples.push_back(static_cast<float>(v) / 32768.0f);
    fxtest::writeAudio(dir.file("in.wav"), in);
    const fxtest::RunResult run =
        fxtest::runFx({dir.file("in.wav"), dir.file("out.wav"), "--mix", "0", "--level", "0.8", "-q"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(fxtest::readIntegers(dir.file("out.wav")), fxtest::readIntegers(dir.file("in.wav")));
}

TEST(Mix, OneGivesTheEffectOutputBitForBit) {
    TempDir dir;
    const Audio in = floatWav(awkwardSamples(), 2);
    fxtest::writeAudio(dir.file("in.wav"), in);
    const fxtest::RunResult run =
        fxtest::runFx({dir.file("in.wav"), dir.file("out.wav"), "--mix", "1", "--level", "0.65", "-q"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(bits(fxtest::readAudio(dir.file("out.wav")).samples),
              bits(fxtest::effectOutput(in.samples, 2, 0.65f)));
}

TEST(Mix, BetweenBlendsDryAndWetLinearly) {
    TempDir dir;
    const Audio in = floatWav(fxtest::testSignal(3001, 2, 0.9f), 2);
    fxtest::writeAudio(dir.file("in.wav"), in);
    const std::vector<float> wet = fxtest::effectOutput(in.samples, 2, 0.75f);
    for (float mix : {0.25f, 0.5f, 0.9f}) {
        SCOPED_TRACE(mix);
        const fxtest::RunResult run = fxtest::runFx({dir.file("in.wav"), dir.file("out.wav"), "--level",
                                                     "0.75", "--mix", std::to_string(mix), "-q"});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        const std::vector<float> out = fxtest::readAudio(dir.file("out.wav")).samples;
        ASSERT_EQ(out.size(), in.samples.size());
        for (size_t i = 0; i < out.size(); ++i) {
            const double blend = (1.0 - mix) * in.samples[i] + static_cast<double>(mix) * wet[i];
            ASSERT_NEAR(out[i], blend, 1e-6) << "sample " << i;
        }
    }
}

// ---------------------------------------------------------------------------
// --mask and --block

TEST(Mask, UnselectedChannelsAreCopiedSelectedOnesShaped) {
    TempDir dir;
    const Audio in = floatWav(fxtest::testSignal(1237, 3, 0.9f), 3);
    fxtest::writeAudio(dir.file("in.wav"), in);
    const struct {
        const char* text;
        uint16_t value;
    } masks[] = {{"0x1", 0x1}, {"0b101", 0x5}, {"2", 0x2}, {"0", 0x0}, {"0xFFF8", 0xFFF8}};
    for (const auto& mask : masks) {
        SCOPED_TRACE(mask.text);
        const fxtest::RunResult run = fxtest::runFx(
            {dir.file("in.wav"), dir.file("out.wav"), "--mask", mask.text, "--level", "0.6", "-q"});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(bits(fxtest::readAudio(dir.file("out.wav")).samples),
                  bits(fxtest::effectOutput(in.samples, 3, 0.6f, mask.value)));
    }
}

TEST(Block, AnyBlockSizeGivesTheSameFile) {
    TempDir dir;
    // 5003 frames: every block size below leaves a different remainder.
    const Audio in = floatWav(fxtest::testSignal(5003, 2, 0.9f), 2);
    fxtest::writeAudio(dir.file("in.wav"), in);
    const std::vector<uint32_t> expected = bits(fxtest::effectOutput(in.samples, 2, 0.4f));
    for (const char* block : {"1", "7", "8", "512", "4096", "65536"}) {
        SCOPED_TRACE(block);
        const fxtest::RunResult run =
            fxtest::runFx({dir.file("in.wav"), dir.file("out.wav"), "--block", block, "--level", "0.4", "-q"});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(bits(fxtest::readAudio(dir.file("out.wav")).samples), expected);
    }
}

// ---------------------------------------------------------------------------
// Raw streams: "-" is native 32-bit float on standard input and output.

TEST(RawStream, StdinToStdoutCarriesTheEffectOutputAndNothingElse) {
    const std::vector<float> in = awkwardSamples();
    const fxtest::RunResult run = fxtest::runFx({"-", "-", "--raw", "2:48000", "--level", "0.3"},
                                                fxtest::floatsToBytes(in));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    // The summary must not mix into the audio: it goes to standard error.
    ASSERT_EQ(run.out.size(), in.size() * sizeof(float));
    EXPECT_EQ(bits(fxtest::bytesToFloats(run.out)), bits(fxtest::effectOutput(in, 2, 0.3f)));
    EXPECT_NE(run.err.find("standard input -> standard output"), std::string::npos) << run.err;
}

TEST(RawStream, MixZeroRoundTripsTheBytes) {
    const std::vector<float> in = awkwardSamples();
    const std::string bytes = fxtest::floatsToBytes(in);
    const fxtest::RunResult run = fxtest::runFx({"-", "-", "--raw", "1:8000", "--mix", "0", "-q"}, bytes);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, bytes);
    EXPECT_EQ(run.err, "");
}

TEST(RawStream, LongStreamThroughSmallBlocks) {
    // Larger than any pipe buffer, so reads come back short and frames
    // arrive split across them.
    const size_t frames = static_cast<size_t>(200000 * fxtest::stressScale());
    const std::vector<float> in = fxtest::testSignal(frames, 3, 0.9f);
    const fxtest::RunResult run = fxtest::runFx({"-", "-", "--raw", "3:44100", "--block", "333", "-q"},
                                                fxtest::floatsToBytes(in));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(bits(fxtest::bytesToFloats(run.out)), bits(fxtest::effectOutput(in, 3, 0.5f)));
}

TEST(RawStream, FileToStdout) {
    TempDir dir;
    Audio in;
    in.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
    in.channels = 2;
    in.sampleRate = 44100;
    in.samples = fxtest::testSignal(999, 2, 0.8f);
    fxtest::writeAudio(dir.file("in.flac"), in);
    const std::vector<float> stored = fxtest::readAudio(dir.file("in.flac")).samples;
    const fxtest::RunResult run = fxtest::runFx({dir.file("in.flac"), "-", "-q"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(bits(fxtest::bytesToFloats(run.out)), bits(fxtest::effectOutput(stored, 2, 0.5f)));
}

TEST(RawStream, StdinToFileTakesRateAndChannelsFromRaw) {
    TempDir dir;
    const std::vector<float> in = fxtest::testSignal(777, 2, 0.8f);
    const fxtest::RunResult run =
        fxtest::runFx({"-", dir.file("out.wav"), "--raw", "2:22050", "-q"}, fxtest::floatsToBytes(in));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const Audio out = fxtest::readAudio(dir.file("out.wav"));
    EXPECT_EQ(out.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);  // float in, float kept
    EXPECT_EQ(out.channels, 2);
    EXPECT_EQ(out.sampleRate, 22050);
    EXPECT_EQ(bits(out.samples), bits(fxtest::effectOutput(in, 2, 0.5f)));
}

TEST(RawStream, HeaderlessFloatFileWithRaw) {
    TempDir dir;
    const std::vector<float> in = fxtest::testSignal(640, 1, 0.9f);
    fxtest::writeText(dir.file("in.f32"), fxtest::floatsToBytes(in));
    const fxtest::RunResult run =
        fxtest::runFx({dir.file("in.f32"), dir.file("out.f32"), "--raw", "1:16000", "-q"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(bits(fxtest::bytesToFloats(fxtest::readBytes(dir.file("out.f32")))),
              bits(fxtest::effectOutput(in, 1, 0.5f)));
}

}  // namespace
