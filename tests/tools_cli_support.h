// Running klor-fx as a user does, and the audio files around it.
//
// runFx starts the built program (KLOR_FX_PATH) with the given arguments,
// feeds it standard input and collects standard output, standard error and
// the exit status. Reference results come from the plug-in module loaded
// through the reference host, independently of klor-fx.
#pragma once

#include <sndfile.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace fxtest {

struct RunResult {
    int exitCode = -1;  // 128 + n when killed by signal n
    std::string out;
    std::string err;
};

RunResult runFx(const std::vector<std::string>& args, const std::string& input = std::string());

// klor-fx left running: its standard input is the pipe `stdinFd`, its
// output goes nowhere. For tests that interrupt it.
struct RunningFx {
    pid_t pid = -1;
    int stdinFd = -1;
};
RunningFx startFx(const std::vector<std::string>& args);
// Closes the pipe if still open, waits; the exit code as in RunResult.
int waitFx(RunningFx* running);

// Scale for the size of loops and signals; KLOR_STRESS_SCALE (default 1).
double stressScale();

// A fresh directory, removed with everything in it at the end of the test.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // Names in the directory, sorted, dot files included.
    std::vector<std::string> entries() const;

private:
    std::string path_;
};

struct Audio {
    int format = 0;  // libsndfile format word
    int channels = 0;
    int sampleRate = 0;
    std::vector<float> samples;  // interleaved, as libsndfile reads float
};

void writeAudio(const std::string& path, const Audio& audio);
// Fails the current test (and returns an empty Audio) when unreadable.
Audio readAudio(const std::string& path);
// The same file read as 32-bit integers: integer formats exactly.
std::vector<int32_t> readIntegers(const std::string& path);

void writeText(const std::string& path, const std::string& text);
std::string readBytes(const std::string& path);
bool exists(const std::string& path);

// A deterministic test signal: a mix of sines and a slow ramp, within
// +-amplitude, with `frames` frames (not a multiple of 8 or of 512).
std::vector<float> testSignal(size_t frames, int channels, float amplitude);

// What the effect makes of `in`, through the module at KLOR_PLUGIN_PATH.
std::vector<float> effectOutput(const std::vector<float>& in, int channels, float level,
                                uint16_t mask = 0xFFFF);

std::string floatsToBytes(const std::vector<float>& samples);
std::vector<float> bytesToFloats(const std::string& bytes);

// Lines of `text` without their newline.
std::vector<std::string> lines(const std::string& text);

}  // namespace fxtest
