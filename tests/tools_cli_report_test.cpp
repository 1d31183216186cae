// klor-fx as users run it: the summary, the quiet and help texts, the
// picture, the demo, and finding the plug-in without being told where.
#include <cairo.h>
#include <limits.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "tools_cli_support.h"

namespace {

using fxtest::Audio;
using fxtest::TempDir;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// ---------------------------------------------------------------------------
// Summary

TEST(Summary, ReportsDurationLevelsAndClipping) {
    TempDir dir;
    // 0.1 s of stereo: channel 1 a +-0.5 square wave, channel 2 silent.
    // At level 0.5, 0.5 becomes exactly 0.75, so peak and RMS are known:
    // RMS in = sqrt(0.25 / 2) = 0.3536, out = sqrt(0.5625 / 2) = 0.5303.
    Audio in;
    in.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    in.channels = 2;
    in.sampleRate = 44100;
    for (int f = 0; f < 4410; ++f) {
        in.samples.push_back((f / 50) % 2 ? 0.5f : -0.5f);
        in.samples.push_back(0.0f);
    }
    fxtest::writeAudio(dir.file("in.wav"), in);
    const fxtest::RunResult run = fxtest::runFx({dir.file("in.wav"), dir.file("out.wav"), "--level", "0.5"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "") << "no progress bar when stderr is not a terminal";
    EXPECT_TRUE(contains(run.out, "in.wav -> " + dir.file("out.wav"))) << run.out;
    EXPECT_TRUE(contains(run.out, "level 0.50, mask 0xFFFF, block 512, mix 1.00")) << run.out;
    EXPECT_TRUE(contains(run.out, "WAV (Microsoft), Signed 16 bit PCM, 2 ch, 44100 Hz")) << run.out;
    EXPECT_TRUE(contains(run.out, "duration  0.100 s (4410 frames)")) << run.out;
    EXPECT_TRUE(contains(run.out, "peak      in -6.02 dBFS (0.5000), out -2.50 dBFS (0.7500)")) << run.out;
    EXPECT_TRUE(contains(run.out, "rms       in -9.03 dBFS (0.3536), out -5.51 dBFS (0.5303)")) << run.out;
    EXPECT_TRUE(contains(run.out, "clipped   0 samples\n")) << run.out;
    EXPECT_TRUE(contains(run.out, "x real time")) << run.out;
}

TEST(Summary, QuietPrintsNothing) {
    TempDir dir;
    Audio in;
    in.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    in.channels = 1;
    in.sampleRate = 8000;
    in.samples = fxtest::testSignal(100, 1, 0.5f);
    fxtest::writeAudio(dir.file("in.wav"), in);
    const fxtest::RunResult run = fxtest::runFx({dir.file("in.wav"), dir.file("out.wav"), "-q"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(fxtest::exists(dir.file("out.wav")));
}

// ---------------------------------------------------------------------------
// Help, version, formats

TEST(Help, ShowsUsageExamplesAndEveryExitCode) {
    for (const char* option : {"--help", "-h"}) {
        const fxtest::RunResult run = fxtest::runFx({option});
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.out.rfind("Usage: klor-fx", 0), 0u) << run.out;
        EXPECT_TRUE(contains(run.out, "\nExamples:\n"));
        for (const char* code : {"\n  0 ", "\n  1 ", "\n  2 ", "\n  3 ", "\n  4 ", "\n  5 ", "\n  130 "}) {
            EXPECT_TRUE(contains(run.out, code)) << "exit code line" << code;
        }
        for (const char* documented : {"--level", "--mask", "--block", "--mix", "--format", "--bits", "--float",
                                       "--raw", "--plot", "--demo", "--plugin", "--quiet"}) {
            EXPECT_TRUE(contains(run.out, documented)) << documented;
        }
    }
}

TEST(Help, VersionAndFormatList) {
    const fxtest::RunResult version = fxtest::runFx({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out.rfind("klor-fx 1.", 0), 0u) << version.out;

    const fxtest::RunResult formats = fxtest::runFx({"--list-formats"});
    EXPECT_EQ(formats.exitCode, 0);
    for (const char* row : {"\nwav ", "\nflac ", "\nogg ", "\naiff ", "\ncaf "}) {
        EXPECT_TRUE(contains(formats.out, row)) << row << " in\n" << formats.out;
    }
}

// ---------------------------------------------------------------------------
// Pictures

struct Picture {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels;  // 0x00RRGGBB

    uint32_t at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
    // Pixels in columns [x0, x1) that are not white.
    int inked(int x0, int x1) const {
        int n = 0;
        for (int y = 0; y < height; ++y)
            for (int x = x0; x < x1; ++x) n += (at(x, y) & 0xFFFFFF) != 0xFFFFFF;
        return n;
    }
    // Pixels in columns [x0, x1) near colour (r, g, b).
    int near(int x0, int x1, int r, int g, int b) const {
        int n = 0;
        for (int y = 0; y < height; ++y)
            for (int x = x0; x < x1; ++x) {
                const uint32_t p = at(x, y);
                const int pr = (p >> 16) & 0xFF, pg = (p >> 8) & 0xFF, pb = p & 0xFF;
                n += std::abs(pr - r) < 24 && std::abs(pg - g) < 24 && std::abs(pb - b) < 24;
            }
        return n;
    }
};

Picture loadPng(const std::string& path) {
    Picture picture;
    cairo_surface_t* surface = cairo_image_surface_create_from_png(path.c_str());
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
        ADD_FAILURE() << path << ": " << cairo_status_to_string(cairo_surface_status(surface));
        cairo_surface_destroy(surface);
        return picture;
    }
    picture.width = cairo_image_surface_get_width(surface);
    picture.height = cairo_image_surface_get_height(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    const unsigned char* data = cairo_image_surface_get_data(surface);
    for (int y = 0; y < picture.height; ++y) {
        const uint32_t* row = reinterpret_cast<const uint32_t*>(data + static_cast<size_t>(y) * stride);
        picture.pixels.insert(picture.pixels.end(), row, row + picture.width);
    }
    cairo_surface_destroy(surface);
    return picture;
}

// The current level's curve is black; the waveform "after" line is blue
// (0, 115, 179) and lives in the right panel, right of x = 620 only when
// there is a waveform.
constexpr int kRightStrip = 620;

TEST(Plot, CurvesOnlyWithoutInput) {
    TempDir dir;
    const fxtest::RunResult run = fxtest::runFx({"--plot", dir.file("curves.png"), "--level", "0.6"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"curves.png"});
    const Picture picture = loadPng(dir.file("curves.png"));
    ASSERT_EQ(picture.width, 800);
    ASSERT_EQ(picture.height, 500);
    EXPECT_GT(picture.near(0, 800, 0, 0, 0), 500) << "the current level's curve";
    EXPECT_GT(picture.near(0, 800, 213, 94, 0), 300) << "the level 0.9 curve";
    EXPECT_EQ(picture.inked(kRightStrip, 800), 0) << "no waveform panel without input";
}

TEST(Plot, InputAddsTheWaveformAndWritesNothingElse) {
    TempDir dir;
    Audio in;
    in.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    in.channels = 2;
    in.sampleRate = 48000;
    in.samples = fxtest::testSignal(48000, 2, 0.8f);
    fxtest::writeAudio(dir.file("in.wav"), in);
    const fxtest::RunResult run = fxtest::runFx({"--plot", dir.file("look.png"), dir.file("in.wav")});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"in.wav", "look.png"}));
    const Picture picture = loadPng(dir.file("look.png"));
    ASSERT_EQ(picture.width, 800);
    ASSERT_EQ(picture.height, 500);
    EXPECT_GT(picture.near(kRightStrip, 800, 0, 115, 179), 200) << "the waveform after the effect";
}

TEST(Plot, AlongsideProcessing) {
    TempDir dir;
    Audio in;
    in.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    in.channels = 1;
    in.sampleRate = 44100;
    in.samples = fxtest::testSignal(30000, 1, 0.8f);
    fxtest::writeAudio(dir.file("in.wav"), in);
    const fxtest::RunResult run =
        fxtest::runFx({dir.file("in.wav"), dir.file("out.wav"), "--plot", dir.file("p.png"), "-q"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(fxtest::readAudio(dir.file("out.wav")).samples, fxtest::effectOutput(in.samples, 1, 0.5f));
    EXPECT_GT(loadPng(dir.file("p.png")).near(kRightStrip, 800, 0, 115, 179), 200);
}

// ---------------------------------------------------------------------------
// Demo, and the default plug-in location (next to the executable in the
// build tree): these runs give no --plugin.

std::string realPath(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? resolved : path;
}

TEST(Demo, WritesTheTableWavsAndPicture) {
    TempDir dir;
    const std::string out = dir.file("demo");
    const fxtest::RunResult run = fxtest::runFx({"--demo", "--out-dir", out});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(contains(run.out, "plug-in: " + realPath(KLOR_PLUGIN_PATH) + "\n")) << run.out;

    const char* levels[] = {"0.00", "0.25", "0.50", "0.75", "0.90"};
    for (const char* level : levels) {
        const std::string name = std::string("demo-level-") + level + ".wav";
        EXPECT_TRUE(contains(run.out, std::string("  ") + level + " |")) << "table row " << level;
        EXPECT_TRUE(fxtest::exists(out + "/" + name)) << name;
    }
    EXPECT_TRUE(contains(run.out, out + "/klor-demo.png")) << "says where the picture is";
    const Picture picture = loadPng(out + "/klor-demo.png");
    EXPECT_EQ(picture.width, 800);
    EXPECT_EQ(picture.height, 500);

    // Level 0 is the identity; level 0.5 is the effect, to the 16-bit step.
    const Audio input = fxtest::readAudio(out + "/demo-input.wav");
    EXPECT_EQ(input.sampleRate, 48000);
    EXPECT_EQ(input.channels, 2);
    EXPECT_EQ(fxtest::readIntegers(out + "/demo-level-0.00.wav"), fxtest::readIntegers(out + "/demo-input.wav"));
    const std::vector<float> half = fxtest::readAudio(out + "/demo-level-0.50.wav").samples;
    const std::vector<float> expected = fxtest::effectOutput(input.samples, 2, 0.5f);
    ASSERT_EQ(half.size(), expected.size());
    // The demo shapes the float signal before it is stored, the reference
    // the stored input: two roundings, and the curve's slope (at most
    // k + 1 = 3 at level 0.5) stretches the first.
    for (size_t i = 0; i < half.size(); ++i) ASSERT_NEAR(half[i], expected[i], 3.5 / 32768) << i;
}

TEST(Demo, CurrentLevelJoinsTheTable) {
    TempDir dir;
    const fxtest::RunResult run = fxtest::runFx({"--demo", "--out-dir", dir.path(), "--level", "0.6"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(contains(run.out, "  0.60 |")) << run.out;
    EXPECT_TRUE(fxtest::exists(dir.file("demo-level-0.60.wav")));
}

TEST(Demo, OutDirThatIsAFile) {
    TempDir dir;
    fxtest::writeText(dir.file("taken"), "x");
    const fxtest::RunResult run = fxtest::runFx({"--demo", "--out-dir", dir.file("taken")});
    EXPECT_EQ(run.exitCode, 4);
    EXPECT_TRUE(contains(run.err, "exists and is not a directory")) << run.err;
}

}  // namespace
