// klor-fx's failures as users meet them: one clear line on standard error,
// the documented exit code, and no output file, partial or temporary, left
// behind; an existing output stays as it was.
#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "tools_cli_support.h"

namespace {

using fxtest::Audio;
using fxtest::TempDir;

// A shared library that is not a KLOR plug-in: libsndfile itself.
std::string foreignLibrary() {
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&sf_open), &info) == 0 || info.dli_fname == nullptr) return "";
    return info.dli_fname;
}

// A directory holding a valid input "in.wav", a text file "notes.txt" and
// a subdirectory "sub"; the operands below name them with these markers.
class ErrorRun : public ::testing::Test {
protected:
    void SetUp() override {
        Audio in;
        in.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        in.channels = 2;
        in.sampleRate = 44100;
        in.samples = fxtest::testSignal(300, 2, 0.5f);
        fxtest::writeAudio(dir_.file("in.wav"), in);
        fxtest::writeText(dir_.file("notes.txt"), "not audio at all\n");
        ASSERT_EQ(mkdir(dir_.file("sub").c_str(), 0755), 0);
        before_ = dir_.entries();
    }

    std::vector<std::string> expand(const std::vector<std::string>& args) const {
        std::vector<std::string> result;
        for (const std::string& a : args) {
            if (a.rfind("@", 0) == 0) {
                result.push_back(dir_.file(a.substr(1)));
            } else if (a == "%foreign") {
                result.push_back(foreignLibrary());
            } else {
                result.push_back(a);
            }
        }
        return result;
    }

    // The run failed as expected and left the directory as it was.
    void expectCleanFailure(const fxtest::RunResult& run, int code, const std::string& message) {
        EXPECT_EQ(run.exitCode, code) << run.err;
        const std::vector<std::string> errLines = fxtest::lines(run.err);
        ASSERT_EQ(errLines.size(), 1u) << "stderr:\n" << run.err;
        EXPECT_EQ(errLines[0].rfind("klor-fx: ", 0), 0u) << errLines[0];
        EXPECT_NE(errLines[0].find(message), std::string::npos)
            << "expected \"" << message << "\" in: " << errLines[0];
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(dir_.entries(), before_) << "files were left behind";
    }

    TempDir dir_;
    std::vector<std::string> before_;
};

struct ErrorCase {
    const char* name;
    std::vector<std::string> args;  // "@name" = file in the test directory
    int exitCode;
    const char* message;
};

// Test names and failure messages show the case name, not its bytes.
void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.name; }

class ErrorCases : public ErrorRun, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(ErrorCases, OneLineExitCodeAndNoOutput) {
    const ErrorCase& c = GetParam();
    expectCleanFailure(fxtest::runFx(expand(c.args)), c.exitCode, c.message);
}

// Exit codes: 2 usage, 3 input, 4 output, 5 plug-in.
INSTANTIATE_TEST_SUITE_P(
    Messages, ErrorCases,
    ::testing::Values(
        ErrorCase{"MissingInput", {"@missing.wav", "@out.wav"}, 3, "cannot open '"},
        ErrorCase{"MissingInputSaysWhy", {"@missing.wav", "@out.wav"}, 3, "No such file or directory"},
        ErrorCase{"UnsupportedInput", {"@notes.txt", "@out.wav"}, 3,
                  "is not in an audio format libsndfile reads"},
        ErrorCase{"InputIsDirectory", {"@sub", "@out.wav"}, 3, "is a directory"},
        ErrorCase{"PluginMissing", {"@in.wav", "@out.wav", "--plugin", "/nonexistent/libklor.so"}, 5,
                  "cannot load the plug-in '/nonexistent/libklor.so'"},
        ErrorCase{"PluginNotAModule", {"@in.wav", "@out.wav", "--plugin", "@notes.txt"}, 5,
                  "cannot open the module"},
        ErrorCase{"PluginWithoutEntryPoint", {"@in.wav", "@out.wav", "--plugin", "%foreign"}, 5,
                  "has no KLORGetDSPDescriptionEx"},
        ErrorCase{"LevelNotANumber", {"@in.wav", "@out.wav", "--level", "abc"}, 2,
                  "--level: 'abc' is not a finite number"},
        ErrorCase{"LevelTrailingText", {"@in.wav", "@out.wav", "--level=0.5x"}, 2,
                  "--level: '0.5x' is not a finite number"},
        ErrorCase{"LevelNan", {"@in.wav", "@out.wav", "--level", "nan"}, 2, "--level: 'nan'"},
        ErrorCase{"MaskAbove16Bits", {"@in.wav", "@out.wav", "--mask", "0x10000"}, 2,
                  "--mask: '0x10000' is above 0xFFFF"},
        ErrorCase{"MaskAbove16BitsDecimal", {"@in.wav", "@out.wav", "--mask", "65536"}, 2,
                  "--mask: '65536' is above 0xFFFF"},
        ErrorCase{"MaskNegative", {"@in.wav", "@out.wav", "--mask", "-1"}, 2,
                  "--mask: '-1' is not a channel mask"},
        ErrorCase{"BlockZero", {"@in.wav", "@out.wav", "--block", "0"}, 2, "--block: must be at least 1 frame"},
        ErrorCase{"BlockTooLarge", {"@in.wav", "@out.wav", "--block", "65537"}, 2,
                  "--block: '65537' is above 65536 frames"},
        ErrorCase{"MixAboveOne", {"@in.wav", "@out.wav", "--mix", "1.5"}, 2, "--mix: '1.5' is outside 0 to 1"},
        ErrorCase{"MixNegative", {"@in.wav", "@out.wav", "--mix", "-0.1"}, 2, "--mix: '-0.1' is outside 0 to 1"},
        ErrorCase{"BitsUnsupported", {"@in.wav", "@out.wav", "--bits", "12"}, 2,
                  "--bits: '12' is not one of 8, 16, 24, 32"},
        ErrorCase{"BitsWithFloat", {"@in.wav", "@out.wav", "--bits", "16", "--float"}, 2,
                  "--bits and --float exclude each other"},
        ErrorCase{"UnknownFormat", {"@in.wav", "@out.wav", "--format", "nope"}, 2,
                  "--format: 'nope' is not a container"},
        ErrorCase{"UnknownOption", {"@in.wav", "@out.wav", "--levle", "0.5"}, 2, "unknown option '--levle'"},
        ErrorCase{"OptionWithoutValue", {"@in.wav", "@out.wav", "--level"}, 2, "--level: needs a value"},
        ErrorCase{"NoOperands", {}, 2, "missing input and output files"},
        ErrorCase{"NoOutput", {"@in.wav"}, 2, "missing output file"},
        ErrorCase{"TooManyOperands", {"@in.wav", "@out.wav", "@more.wav"}, 2, "too many operands"},
        ErrorCase{"StdinWithoutRaw", {"-", "@out.wav"}, 2, "reading standard input needs --raw"},
        ErrorCase{"BadRaw", {"-", "@out.wav", "--raw", "2x48000"}, 2, "--raw: '2x48000' is not CHANNELS:RATE"},
        ErrorCase{"StdoutWithBits", {"@in.wav", "-", "--bits", "16"}, 2, "standard output is always raw"},
        ErrorCase{"FloatIntoFlac", {"@in.wav", "@out.flac", "--float"}, 4, "cannot hold 32-bit float samples"},
        ErrorCase{"BitsIntoOgg", {"@in.wav", "@out.ogg", "--bits", "16"}, 4, "cannot hold 16-bit integer"},
        ErrorCase{"OpusAtWrongRate", {"@in.wav", "@out.opus"}, 4, "Opus only supports sample rates of 8000"},
        ErrorCase{"OutputDirectoryMissing", {"@in.wav", "@nowhere/out.wav"}, 4, "cannot create '"},
        ErrorCase{"OutputIsDirectory", {"@in.wav", "@sub"}, 4, "is a directory"},
        ErrorCase{"PlotDirectoryMissing", {"@in.wav", "@out.wav", "--plot", "@nowhere/p.png"}, 4,
                  "cannot create '"},
        ErrorCase{"DemoWithOperands", {"--demo", "@in.wav"}, 2, "--demo takes no file operands"}),
    [](const ::testing::TestParamInfo<ErrorCase>& info) { return std::string(info.param.name); });

TEST_F(ErrorRun, ExistingOutputSurvivesAFailedRun) {
    fxtest::writeText(dir_.file("out.wav"), "the previous take");
    before_ = dir_.entries();
    expectCleanFailure(fxtest::runFx(expand({"@in.wav", "@out.wav", "--plugin", "/nonexistent/libklor.so"})), 5,
                       "cannot load the plug-in");
    EXPECT_EQ(fxtest::readBytes(dir_.file("out.wav")), "the previous take");
}

TEST_F(ErrorRun, StreamEndingInsideAFrameLeavesNothing) {
    // Fails after output has been written: 1000 whole stereo frames, then
    // half a sample.
    std::string bytes = fxtest::floatsToBytes(fxtest::testSignal(1000, 2, 0.5f));
    bytes += "ab";
    fxtest::writeText(dir_.file("out.wav"), "the previous take");
    before_ = dir_.entries();
    expectCleanFailure(fxtest::runFx(expand({"-", "@out.wav", "--raw", "2:48000", "--block", "64"}), bytes), 3,
                       "standard input ended inside a frame");
    EXPECT_EQ(fxtest::readBytes(dir_.file("out.wav")), "the previous take");
}

TEST_F(ErrorRun, InterruptRemovesThePartialOutput) {
    for (int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal);
        fxtest::RunningFx running = fxtest::startFx(expand({"-", "@out.wav", "--raw", "1:48000", "--block", "16"}));
        ASSERT_GT(running.pid, 0);
        const std::string chunk = fxtest::floatsToBytes(fxtest::testSignal(4096, 1, 0.5f));
        ASSERT_EQ(write(running.stdinFd, chunk.data(), chunk.size()), static_cast<ssize_t>(chunk.size()));

        // Wait until the temporary output exists, i.e. klor-fx is writing.
        bool writing = false;
        for (int i = 0; i < 1000 && !writing; ++i) {
            for (const std::string& name : dir_.entries()) writing = writing || name.rfind(".out.wav.", 0) == 0;
            if (!writing) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_TRUE(writing) << "no temporary output appeared";
        kill(running.pid, signal);
        EXPECT_EQ(fxtest::waitFx(&running), 130);
        EXPECT_EQ(dir_.entries(), before_) << "files were left behind";
    }
}

}  // namespace
