// klor-validate PLUGIN.so: checks a KLOR plug-in module the way a careful
// host would, one line per check, then "validate: N passed, N failed".
//
//   klor-validate [--seed N] [--probe PATH | --no-probe] PLUGIN.so
//
// Exit status: 0 every check passed, 1 some check failed, 2 the module could
// not be loaded or the command line is wrong.
//
// The real-time check needs the probe library preloaded. When it is not, the
// validator runs itself again with LD_PRELOAD naming the probe (from
// --probe, $KLOR_RT_PROBE, or libklor_rt_probe.so beside the executable);
// KLOR_VALIDATE_PROBE_TRIED keeps that to one attempt.
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "klor_rt_probe.h"
#include "klor_validate.h"

namespace {

using klor::validate::Context;
using klor::validate::Options;

constexpr char kProbeFile[] = "libklor_rt_probe.so";
constexpr char kProbeTried[] = "KLOR_VALIDATE_PROBE_TRIED";

void usage() {
    std::fprintf(stderr, "usage: klor-validate [--seed N] [--probe PATH | --no-probe] PLUGIN.so\n");
}

bool parseOptions(int argc, char** argv, Options* options, std::string* probePath) {
    options->seed = static_cast<uint64_t>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seed" && i + 1 < argc) {
            char* end = nullptr;
            options->seed = std::strtoull(argv[++i], &end, 0);
            if (end == nullptr || *end != 0) return false;
        } else if (arg == "--probe" && i + 1 < argc) {
            *probePath = argv[++i];
        } else if (arg == "--no-probe") {
            options->probeWanted = false;
        } else if (!arg.empty() && arg[0] == '-') {
            return false;
        } else if (options->pluginPath.empty()) {
            options->pluginPath = arg;
        } else {
            return false;
        }
    }
    return !options->pluginPath.empty();
}

bool probeLoaded() { return dlsym(RTLD_DEFAULT, KLOR_RT_PROBE_ARM_SYMBOL) != nullptr; }

[[maybe_unused]] std::string findProbe(const std::string& given) {
    if (!given.empty()) return given;
    if (const char* fromEnvironment = std::getenv("KLOR_RT_PROBE")) return fromEnvironment;
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return "";
    self[length] = 0;
    std::string beside(self);
    beside = beside.substr(0, beside.rfind('/') + 1) + kProbeFile;
    return access(beside.c_str(), R_OK) == 0 ? beside : "";
}

// Returns only when the probe is loaded already, not wanted, or cannot be.
void runUnderProbe(char** argv, const Options& options, const std::string& probePath) {
#if defined(KLOR_SANITIZER_BUILD)
    (void)argv;
    (void)options;
    (void)probePath;
#else
    if (!options.probeWanted || probeLoaded() || std::getenv(kProbeTried) != nullptr) return;
    const std::string probe = findProbe(probePath);
    if (probe.empty()) return;
    std::string preload = probe;
    if (const char* existing = std::getenv("LD_PRELOAD")) preload += std::string(":") + existing;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    setenv(kProbeTried, "1", 1);
    execv("/proc/self/exe", argv);
    std::fprintf(stderr, "klor-validate: cannot run under the probe: %s\n", std::strerror(errno));
#endif
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    std::string probePath;
    if (!parseOptions(argc, argv, &options, &probePath)) {
        usage();
        return 2;
    }
    runUnderProbe(argv, options, probePath);

    std::string error;
    auto plugin = klor::host::Plugin::load(options.pluginPath, &error);
    if (!plugin) {
        std::fprintf(stderr, "klor-validate: %s\n", error.c_str());
        std::printf("validate: 0 passed, 1 failed\n");
        return 2;
    }
    std::printf("klor-validate %s (seed %" PRIu64 "%s)\n", options.pluginPath.c_str(), options.seed,
                probeLoaded() ? ", real-time probe loaded" : "");

    Context context;
    context.options = options;
    context.plugin = plugin.get();
    context.random.seed(options.seed);

    klor::validate::checkDescription(context);
    klor::validate::checkParameters(context);
    klor::validate::checkBlockSizes(context);
    klor::validate::checkChannels(context);
    klor::validate::checkCurve(context);
    klor::validate::checkHostileInput(context);
    klor::validate::checkParameterRace(context);
    klor::validate::checkLifecycle(context);
    klor::validate::checkRealTime(context);

    const klor::validate::Report& report = context.report;
    if (report.skipped() > 0) {
        std::printf("validate: %d passed, %d failed, %d skipped\n", report.passed(), report.failed(),
                    report.skipped());
    } else {
        std::printf("validate: %d passed, %d failed\n", report.passed(), report.failed());
    }
    if (report.failed() > 0) {
        std::printf("to repeat: klor-validate --seed %" PRIu64 " %s\n", options.seed,
                    options.pluginPath.c_str());
    }
    return report.failed() > 0 ? 1 : 0;
}
