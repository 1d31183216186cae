// The bundle as a user meets it: lilv's lv2apply runs a WAV file through
// KLOR Distortion, found through LV2_PATH in the build tree. lv2apply runs
// the plug-in one frame per call, so these cases also cover the smallest
// block a host can send.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sndfile.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "lv2_test_support.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using lv2test::Stereo;

constexpr size_t kFrames = 4801;  // odd, and more than any internal chunk

struct Audio {
    int channels = 0;
    int format = 0;
    std::vector<float> samples;  // interleaved
    size_t frames() const { return channels > 0 ? samples.size() / channels : 0; }
    std::vector<float> channel(int c) const {
        std::vector<float> out(frames());
        for (size_t f = 0; f < out.size(); ++f) out[f] = samples[f * channels + c];
        return out;
    }
};

void writeWav(const fs::path& path, const std::vector<float>& interleaved, int channels) {
    SF_INFO info{};
    info.samplerate = static_cast<int>(lv2test::kRate);
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << path << ": " << sf_strerror(nullptr);
    const sf_count_t frames = static_cast<sf_count_t>(interleaved.size() / channels);
    EXPECT_EQ(sf_writef_float(file, interleaved.data(), frames), frames);
    sf_close(file);
}

Audio readWav(const fs::path& path) {
    Audio audio;
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    EXPECT_NE(file, nullptr) << path << ": " << sf_strerror(nullptr);
    if (file == nullptr) return audio;
    audio.channels = info.channels;
    audio.format = info.format;
    audio.samples.resize(static_cast<size_t>(info.frames) * info.channels);
    EXPECT_EQ(sf_readf_float(file, audio.samples.data(), info.frames), info.frames);
    sf_close(file);
    return audio;
}

class Lv2Apply : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::string(KLOR_LV2APPLY).empty()) {
            GTEST_SKIP() << "lv2apply not found (Debian package lilv-utils)";
        }
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "." + info->name();
        for (char& c : name) {
            if (c == '/') c = '_';
        }
        work_ = fs::path(KLOR_TEST_BINARY_DIR) / "lv2_apply_work" / name;
        fs::remove_all(work_);
        fs::create_directories(work_);
    }

    // Runs lv2apply with LV2_PATH holding only the build tree's bundles, so
    // that an installed copy cannot stand in for the one under test.
    ::testing::AssertionResult apply(const std::vector<std::string>& controls, const fs::path& in,
                                     const fs::path& out) {
        std::vector<std::string> args = {KLOR_LV2APPLY};
        for (size_t i = 0; i + 1 < controls.size(); i += 2) {
            args.insert(args.end(), {"-c", controls[i], controls[i + 1]});
        }
        args.insert(args.end(), {"-i", in.string(), "-o", out.string(), lv2test::kPluginUri});
        return runTool(args);
    }

    ::testing::AssertionResult runTool(std::vector<std::string> args) {
        std::vector<std::string> env = {std::string("LV2_PATH=") +
                                        fs::path(KLOR_LV2_BUNDLE_DIR).parent_path().string()};
        for (char** e = environ; *e != nullptr; ++e) {
            if (std::string(*e).rfind("LV2_PATH=", 0) != 0) env.push_back(*e);
        }
        std::vector<char*> argv, envp;
        for (auto& a : args) argv.push_back(&a[0]);
        for (auto& e : env) envp.push_back(&e[0]);
        argv.push_back(nullptr);
        envp.push_back(nullptr);

        const fs::path log = work_ / "tool.log";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        pid_t pid = 0;
        const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) return ::testing::AssertionFailure() << "cannot start " << args[0];
        int status = 0;
        waitpid(pid, &status, 0);

        std::ostringstream command;
        for (const auto& a : args) command << a << ' ';
        std::ifstream text(log);
        const std::string output((std::istreambuf_iterator<char>(text)), std::istreambuf_iterator<char>());
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            return ::testing::AssertionFailure()
                   << command.str() << "failed with status " << status << ":\n" << output;
        }
        return ::testing::AssertionSuccess();
    }

    fs::path work_;
};

// Stereo in, stereo 32-bit float out, same length: the file round trip
// itself must not touch a sample.
void expectStereoFloatLike(const Audio& out, size_t frames) {
    EXPECT_EQ(out.channels, 2);
    EXPECT_EQ(out.frames(), frames);
    EXPECT_EQ(out.format & SF_FORMAT_SUBMASK, SF_FORMAT_FLOAT);
}

class Lv2ApplyLevels : public Lv2Apply, public ::testing::WithParamInterface<const char*> {};

TEST_P(Lv2ApplyLevels, MatchesTheReferenceHostSampleForSample) {
    const std::string level = GetParam();
    const Stereo in = lv2test::testSignal(kFrames);
    writeWav(work_ / "in.wav", lv2test::interleave(in), 2);
    ASSERT_TRUE(apply({"level", level}, work_ / "in.wav", work_ / "out.wav"));

    const Audio out = readWav(work_ / "out.wav");
    expectStereoFloatLike(out, kFrames);
    const Stereo expected = lv2test::referenceRender(in, std::stof(level));
    EXPECT_TRUE(lv2test::sameBits(out.channel(0), expected.left)) << "left, level " << level;
    EXPECT_TRUE(lv2test::sameBits(out.channel(1), expected.right)) << "right, level " << level;
}

TEST_P(Lv2ApplyLevels, MatchesKlorFxSampleForSample) {
    // The command-line tool of this project, given the same file and level.
    if (std::string(KLOR_FX_PATH).empty()) GTEST_SKIP() << "klor-fx is not built";
    const std::string level = GetParam();
    const Stereo in = lv2test::testSignal(kFrames);
    writeWav(work_ / "in.wav", lv2test::interleave(in), 2);
    ASSERT_TRUE(apply({"level", level}, work_ / "in.wav", work_ / "lv2.wav"));
    ASSERT_TRUE(runTool({KLOR_FX_PATH, (work_ / "in.wav").string(), (work_ / "fx.wav").string(),
                         "--level", level, "--plugin", KLOR_PLUGIN_PATH}));

    const Audio lv2 = readWav(work_ / "lv2.wav");
    const Audio fx = readWav(work_ / "fx.wav");
    ASSERT_EQ(fx.channels, 2);
    EXPECT_TRUE(lv2test::sameBits(lv2.channel(0), fx.channel(0))) << "left, level " << level;
    EXPECT_TRUE(lv2test::sameBits(lv2.channel(1), fx.channel(1))) << "right, level " << level;
}

INSTANTIATE_TEST_SUITE_P(Levels, Lv2ApplyLevels, ::testing::Values("0", "0.5", "1"));

TEST_F(Lv2Apply, WithoutControlsRunsAtTheDefaultLevelOfOneHalf) {
    const Stereo in = lv2test::testSignal(kFrames);
    writeWav(work_ / "in.wav", lv2test::interleave(in), 2);
    ASSERT_TRUE(apply({}, work_ / "in.wav", work_ / "out.wav"));

    const Audio out = readWav(work_ / "out.wav");
    expectStereoFloatLike(out, kFrames);
    const Stereo expected = lv2test::referenceRender(in, 0.5f);
    EXPECT_TRUE(lv2test::sameBits(out.channel(0), expected.left));
    EXPECT_TRUE(lv2test::sameBits(out.channel(1), expected.right));
}

TEST_F(Lv2Apply, BypassGivesTheInputBitForBit) {
    // Bypassed from the first frame: the stream starts in its settled state,
    // so there is no crossfade at all.
    const Stereo in = lv2test::testSignal(kFrames);
    writeWav(work_ / "in.wav", lv2test::interleave(in), 2);
    ASSERT_TRUE(apply({"level", "1", "enabled", "0"}, work_ / "in.wav", work_ / "out.wav"));

    const Audio out = readWav(work_ / "out.wav");
    expectStereoFloatLike(out, kFrames);
    EXPECT_TRUE(lv2test::sameBits(out.channel(0), in.left));
    EXPECT_TRUE(lv2test::sameBits(out.channel(1), in.right));
}

TEST_F(Lv2Apply, AcceptsAMonoFileAndShapesItOnBothOutputs) {
    // lv2apply feeds the one input channel to both inputs of the plug-in and
    // writes as many channels as the plug-in has outputs.
    const Stereo signal = lv2test::testSignal(kFrames);
    writeWav(work_ / "mono.wav", signal.left, 1);
    ASSERT_TRUE(apply({"level", "0.5"}, work_ / "mono.wav", work_ / "out.wav"));

    const Audio out = readWav(work_ / "out.wav");
    expectStereoFloatLike(out, kFrames);
    const std::vector<float> expected = lv2test::referenceRender(signal.left, 1, 0.5f);
    EXPECT_TRUE(lv2test::sameBits(out.channel(0), expected));
    EXPECT_TRUE(lv2test::sameBits(out.channel(1), expected));
}

}  // namespace
