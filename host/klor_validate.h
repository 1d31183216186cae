// klor-validate: runs a KLOR plug-in module through the checks a careful
// host relies on, prints one line per check and a summary, and exits 1 when
// any check fails (2 when the module cannot be used at all).
//
// Most checks use the module as its own reference: a block cut into pieces
// must give what one call gives, a channel mixed with others what it gives
// alone, a block after a hostile one what it gives on a fresh instance. The
// curve check alone compares against an independent model, and only for
// "KLOR Distortion".
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "klor_host.h"

namespace klor {
namespace validate {

struct Options {
    std::string pluginPath;
    uint64_t seed = 0;
    bool probeWanted = true;  // false: the real-time check is skipped
};

// Printed as it goes: "PASS  name  detail". Counts for the summary.
class Report {
public:
    void pass(const std::string& name, const std::string& detail);
    void fail(const std::string& name, const std::string& detail);
    void skip(const std::string& name, const std::string& detail);
    int passed() const { return passed_; }
    int failed() const { return failed_; }
    int skipped() const { return skipped_; }

private:
    void line(const char* verdict, const std::string& name, const std::string& detail);
    int passed_ = 0;
    int failed_ = 0;
    int skipped_ = 0;
};

struct Context {
    Options options;
    host::Plugin* plugin = nullptr;
    std::mt19937_64 random;
    Report report;

    // A created instance, or null after a failed create (reported by the
    // caller). The channel mask starts at 0xFFFF.
    std::unique_ptr<host::Instance> newInstance(std::string* why);
    float uniform(float low, float high);
    uint32_t below(uint32_t bound);  // 0 .. bound-1
};

// Interleaved samples, frames x channels.
typedef std::vector<float> Samples;

// Index of the first sample whose bits differ, or -1 when the two are
// identical bit for bit (NaN payloads and zero signs included).
long firstBitDifference(const Samples& a, const Samples& b);

// One call over the whole block.
Samples processWhole(host::Instance& effect, const Samples& in, unsigned frames, int channels);

// Random musical-range samples with a sprinkling of exact points (0, -0,
// +-1, +-0.5) so both branches of every curve get exercised.
Samples randomSignal(Context& context, size_t count);

std::string describeSample(float value);

// The checks, in the order they run.
void checkDescription(Context& context);
void checkParameters(Context& context);
void checkBlockSizes(Context& context);
void checkChannels(Context& context);
void checkCurve(Context& context);
void checkHostileInput(Context& context);
void checkParameterRace(Context& context);
void checkLifecycle(Context& context);
void checkRealTime(Context& context);

}  // namespace validate
}  // namespace klor
