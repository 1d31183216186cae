// The real-time check: read allocates nothing, locks nothing, waits for
// nothing and sleeps never. The preloaded probe (libklor_rt_probe.so) counts
// those calls on this thread while armed; each read call runs armed, over
// every read path (copy, all channels, some channels), odd frame counts,
// wide layouts, shared buffers and odd levels. Each case runs once unarmed
// first, so that nothing the first call of a path may set up is blamed on
// read.
//
// The probe proves itself first: armed, it must see one call of each kind
// made on purpose, or the zero counts that follow would prove nothing.
#include <dlfcn.h>
#include <pthread.h>
#include <semaphore.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <limits>

#include "klor_rt_probe.h"
#include "klor_validate.h"

namespace klor {
namespace validate {

namespace {

struct ReadCase {
    float level;
    int channels;
    uint16_t mask;
    unsigned frames;
    bool inPlace;
};

std::string countsText(const KlorRtProbeCounts& c) {
    return std::to_string(c.allocations) + " allocations, " + std::to_string(c.releases) +
           " releases, " + std::to_string(c.locks) + " locks, " + std::to_string(c.waits) +
           " waits, " + std::to_string(c.sleeps) + " sleeps";
}

bool anyCounted(const KlorRtProbeCounts& c) {
    return c.allocations || c.releases || c.locks || c.waits || c.sleeps;
}

// Called through volatile pointers so the compiler cannot drop the
// allocation pair.
KlorRtProbeCounts provokeEveryKind(KlorRtProbeArmFn arm, KlorRtProbeDisarmFn disarm) {
    void* (*volatile allocate)(size_t) = &std::malloc;
    void (*volatile release)(void*) = &std::free;
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    sem_t semaphore;
    sem_init(&semaphore, 0, 1);

    KlorRtProbeCounts counts{};
    arm();
    release(allocate(64));
    pthread_mutex_lock(&mutex);
    pthread_mutex_unlock(&mutex);
    sem_wait(&semaphore);
    usleep(0);
    disarm(&counts);
    sem_destroy(&semaphore);
    return counts;
}

}  // namespace

void checkRealTime(Context& context) {
    const char* kName = "real-time read";
#if defined(KLOR_SANITIZER_BUILD)
    context.report.skip(kName, "sanitizer build: its runtime owns malloc, out of the probe's reach");
    return;
#endif
    if (!context.options.probeWanted) {
        context.report.skip(kName, "--no-probe given");
        return;
    }
    auto arm = reinterpret_cast<KlorRtProbeArmFn>(dlsym(RTLD_DEFAULT, KLOR_RT_PROBE_ARM_SYMBOL));
    auto disarm = reinterpret_cast<KlorRtProbeDisarmFn>(dlsym(RTLD_DEFAULT, KLOR_RT_PROBE_DISARM_SYMBOL));
    if (arm == nullptr || disarm == nullptr) {
        context.report.fail(kName, "the probe is not loaded (run with LD_PRELOAD=libklor_rt_probe.so "
                                   "or --probe PATH)");
        return;
    }
    const KlorRtProbeCounts self = provokeEveryKind(arm, disarm);
    if (!self.allocations || !self.releases || !self.locks || !self.waits || !self.sleeps) {
        context.report.fail(kName, "the probe misses calls made on purpose: saw " + countsText(self));
        return;
    }

    std::string why;
    auto effect = context.newInstance(&why);
    if (!effect) {
        context.report.fail(kName, why);
        return;
    }
    const float kLevels[] = {0.0f, 0.5f, 1.0f, std::numeric_limits<float>::quiet_NaN(), -0.5f};
    const struct {
        int channels;
        uint16_t mask;
    } kLayouts[] = {{1, 0x0001}, {2, 0xFFFF}, {3, 0x0005}, {5, 0x0000}, {20, 0xFFFF}, {64, 0x5A5A}};
    const unsigned kFrames[] = {0, 1, 7, 8, 9, 64, 511, 4096};

    std::vector<ReadCase> cases;
    size_t largest = 0;
    for (float level : kLevels) {
        for (const auto& layout : kLayouts) {
            for (unsigned frames : kFrames) {
                for (bool inPlace : {false, true}) {
                    cases.push_back({level, layout.channels, layout.mask, frames, inPlace});
                    largest = std::max(largest, static_cast<size_t>(frames) * layout.channels);
                }
            }
        }
    }
    const Samples source = randomSignal(context, largest);
    Samples in = source;
    Samples out(largest);

    KlorRtProbeCounts total{};
    for (int armed = 0; armed < 2; ++armed) {
        for (const ReadCase& c : cases) {
            effect->setParameter(0, c.level);
            effect->setChannelMask(c.mask);
            float* target = c.inPlace ? in.data() : out.data();
            if (armed) arm();
            effect->process(in.data(), target, c.frames, c.channels);
            KlorRtProbeCounts counts{};
            if (armed) {
                disarm(&counts);
                total.allocations += counts.allocations;
                total.releases += counts.releases;
                total.locks += counts.locks;
                total.waits += counts.waits;
                total.sleeps += counts.sleeps;
            }
            if (anyCounted(counts)) {
                context.report.fail(kName, "level " + describeSample(c.level) + ", " +
                                               std::to_string(c.channels) + " ch, " +
                                               std::to_string(c.frames) + " frames" +
                                               (c.inPlace ? " in place" : "") + ": " +
                                               countsText(counts));
                return;
            }
            if (c.inPlace) in = source;
        }
    }
    context.report.pass(kName, std::to_string(cases.size()) + " read calls under the probe: " +
                                   countsText(total));
}

}  // namespace validate
}  // namespace klor
