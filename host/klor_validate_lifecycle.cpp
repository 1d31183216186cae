// The description, the parameters, and create/release cycles.
//
//   description  the entry point gives the same record at every call, with
//                a terminated name, all six callbacks and sane parameters;
//   parameters   set/get round-trips every in-range value exactly; the text
//                stays within KLOR_DSP_PARAMETER_TEXT_SIZE bytes and is
//                terminated whatever the value (1e30, NaN, -Inf);
//   create       1,000 create/release cycles: each create succeeds, starts
//                at the declared defaults and processes like the first; the
//                host's pool and heap end where they started.
#include <dlfcn.h>
#include <malloc.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "klor_rt_probe.h"
#include "klor_validate.h"

namespace klor {
namespace validate {

namespace {

constexpr char kEntryPoint[] = "KLORGetDSPDescriptionEx";
constexpr int kCycles = 1000;
// Heap growth over all cycles that still counts as none: allocator caches,
// not a per-instance leak (472 bytes x 1000 would be 461 KiB).
constexpr long long kHeapSlackBytes = 16 * 1024;

bool terminatedWithin(const char* text, size_t size) { return std::memchr(text, 0, size) != nullptr; }

uint32_t bitsOf(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

}  // namespace

void checkDescription(Context& context) {
    const char* kName = "description";
    const KLOR_DSP_DESCRIPTION_EX& d = context.plugin->description();
    auto entry = reinterpret_cast<KLOR_DSP_DESCRIPTION_EX* (*)()>(context.plugin->symbol(kEntryPoint));
    if (entry == nullptr) {
        context.report.fail(kName, "no entry point");
        return;
    }
    KLOR_DSP_DESCRIPTION_EX first;
    std::memcpy(&first, &d, sizeof first);
    const KLOR_DSP_DESCRIPTION_EX* again = entry();
    if (again != &d || std::memcmp(again, &first, sizeof first) != 0) {
        context.report.fail(kName, "a second call of the entry point gives another record");
        return;
    }
    if (!terminatedWithin(d.effectName, sizeof d.effectName) || d.effectName[0] == 0) {
        context.report.fail(kName, "the effect name is empty or not terminated");
        return;
    }
    if (!d.createFn || !d.releaseFn || !d.resetFn || !d.readFn || !d.setParameterFn ||
        !d.getParameterFn) {
        context.report.fail(kName, "a callback is missing");
        return;
    }
    if (d.parameterCount < 0 || (d.parameterCount > 0 && d.parameterList == nullptr)) {
        context.report.fail(kName, "parameter count " + std::to_string(d.parameterCount) +
                                       " without a usable list");
        return;
    }
    std::string parameters;
    for (int i = 0; i < d.parameterCount; ++i) {
        const KLOR_DSP_PARAMETERDESC& p = d.parameterList[i];
        if (!terminatedWithin(p.displayName, sizeof p.displayName) ||
            !terminatedWithin(p.unitText, sizeof p.unitText)) {
            context.report.fail(kName, "parameter " + std::to_string(i) + ": text not terminated");
            return;
        }
        if (!(p.rangeMin <= p.defaultValue && p.defaultValue <= p.rangeMax)) {
            context.report.fail(kName, "parameter " + std::to_string(i) + ": default " +
                                           describeSample(p.defaultValue) + " outside its range");
            return;
        }
        char text[96];
        std::snprintf(text, sizeof text, "%s%s %g..%g default %g", i ? ", " : "", p.displayName,
                      static_cast<double>(p.rangeMin), static_cast<double>(p.rangeMax),
                      static_cast<double>(p.defaultValue));
        parameters += text;
    }
    char detail[256];
    std::snprintf(detail, sizeof detail, "\"%s\" version 0x%08X, instance %d bytes, %d parameter%s (%s)",
                  d.effectName, static_cast<unsigned>(d.effectVersion), d.instanceSize,
                  d.parameterCount, d.parameterCount == 1 ? "" : "s", parameters.c_str());
    context.report.pass(kName, detail);
}

void checkParameters(Context& context) {
    const char* kName = "parameters";
    const KLOR_DSP_DESCRIPTION_EX& d = context.plugin->description();
    std::string why;
    auto effect = context.newInstance(&why);
    if (!effect) {
        context.report.fail(kName, why);
        return;
    }
    constexpr size_t kGuard = 32;
    constexpr unsigned char kGuardByte = 0xA5;
    size_t calls = 0;
    for (int index = 0; index < d.parameterCount; ++index) {
        const KLOR_DSP_PARAMETERDESC& p = d.parameterList[index];
        std::vector<float> values = {p.rangeMin, p.rangeMax, p.defaultValue};
        for (int i = 0; i < 32; ++i) values.push_back(context.uniform(p.rangeMin, p.rangeMax));
        const size_t inRange = values.size();
        values.insert(values.end(), {1e30f, -1e30f, std::numeric_limits<float>::quiet_NaN(),
                                     -std::numeric_limits<float>::infinity(), -123456.789f});
        for (size_t v = 0; v < values.size(); ++v) {
            const float value = values[v];
            unsigned char text[KLOR_DSP_PARAMETER_TEXT_SIZE + kGuard];
            std::memset(text, kGuardByte, sizeof text);
            float got = -1.0f;
            const KLOR_RESULT set = effect->setParameter(index, value);
            const KLOR_RESULT get = effect->getParameter(index, &got, reinterpret_cast<char*>(text));
            ++calls;
            const std::string head = "parameter " + std::to_string(index) + " set to " + describeSample(value);
            if (set != KLOR_OK || get != KLOR_OK) {
                context.report.fail(kName, head + ": set gave " + std::to_string(set) + ", get " +
                                               std::to_string(get));
                return;
            }
            if (v < inRange && bitsOf(got) != bitsOf(value)) {
                context.report.fail(kName, head + ": get gives " + describeSample(got));
                return;
            }
            for (size_t g = KLOR_DSP_PARAMETER_TEXT_SIZE; g < sizeof text; ++g) {
                if (text[g] != kGuardByte) {
                    context.report.fail(kName, head + ": the text runs past " +
                                                   std::to_string(KLOR_DSP_PARAMETER_TEXT_SIZE) +
                                                   " bytes");
                    return;
                }
            }
            if (!terminatedWithin(reinterpret_cast<char*>(text), KLOR_DSP_PARAMETER_TEXT_SIZE)) {
                context.report.fail(kName, head + ": the text is not terminated");
                return;
            }
        }
    }
    context.report.pass(kName, std::to_string(calls) +
                                   " set/get pairs: in-range values round-trip exactly, every text "
                                   "terminated within " +
                                   std::to_string(KLOR_DSP_PARAMETER_TEXT_SIZE) + " bytes");
}

void checkLifecycle(Context& context) {
    const std::string name = "create/release x" + std::to_string(kCycles);
    const KLOR_DSP_DESCRIPTION_EX& d = context.plugin->description();
    constexpr unsigned kFrames = 16;
    constexpr int kChannels = 2;
    const Samples in = randomSignal(context, static_cast<size_t>(kFrames) * kChannels);

    std::string why;
    Samples firstOut;
    {
        auto warmUp = context.newInstance(&why);
        if (!warmUp) {
            context.report.fail(name, "cycle 0: " + why);
            return;
        }
        firstOut = processWhole(*warmUp, in, kFrames, kChannels);
    }
    Samples out(in.size());

    auto arm = reinterpret_cast<KlorRtProbeArmFn>(dlsym(RTLD_DEFAULT, KLOR_RT_PROBE_ARM_SYMBOL));
    auto disarm = reinterpret_cast<KlorRtProbeDisarmFn>(dlsym(RTLD_DEFAULT, KLOR_RT_PROBE_DISARM_SYMBOL));
    KLOR::MemPool* pool = context.plugin->pool();
    const uint32_t poolBefore = pool ? pool->slotBytes[0] : 0;
    const long long heapBefore = static_cast<long long>(mallinfo2().uordblks);
    if (arm && disarm) arm();

    std::string failure;
    for (int cycle = 1; cycle <= kCycles && failure.empty(); ++cycle) {
        auto effect = context.newInstance(&why);
        if (!effect) {
            failure = "cycle " + std::to_string(cycle) + ": " + why;
            break;
        }
        for (int index = 0; index < d.parameterCount; ++index) {
            float value = -1.0f;
            char text[KLOR_DSP_PARAMETER_TEXT_SIZE];
            effect->getParameter(index, &value, text);
            if (bitsOf(value) != bitsOf(d.parameterList[index].defaultValue)) {
                failure = "cycle " + std::to_string(cycle) + ": parameter " + std::to_string(index) +
                          " starts at " + describeSample(value) + ", not its default";
            }
        }
        effect->process(in.data(), out.data(), kFrames, kChannels);
        if (failure.empty() && firstBitDifference(out, firstOut) >= 0) {
            failure = "cycle " + std::to_string(cycle) + ": processes unlike the first instance";
        }
    }

    KlorRtProbeCounts counts{};
    if (arm && disarm) disarm(&counts);
    const long long heapAfter = static_cast<long long>(mallinfo2().uordblks);
    const uint32_t poolAfter = pool ? pool->slotBytes[0] : 0;
    if (!failure.empty()) {
        context.report.fail(name, failure);
        return;
    }
    if (poolAfter != poolBefore) {
        context.report.fail(name, "the host's pool holds " + std::to_string(poolAfter) +
                                      " live bytes after, " + std::to_string(poolBefore) + " before");
        return;
    }
    std::string heap;
    if (arm && disarm) {
        if (counts.allocations != counts.releases) {
            context.report.fail(name, std::to_string(counts.allocations) + " allocations but " +
                                          std::to_string(counts.releases) + " releases");
            return;
        }
        heap = "allocations and releases balance (" + std::to_string(counts.allocations) + ")";
    } else {
#if defined(KLOR_SANITIZER_BUILD)
        heap = "heap left to the sanitizer's leak check";
#else
        if (heapAfter - heapBefore > kHeapSlackBytes) {
            context.report.fail(name, "the heap grew by " + std::to_string(heapAfter - heapBefore) +
                                          " bytes");
            return;
        }
        heap = "heap unchanged";
#endif
    }
    (void)heapAfter;
    (void)heapBefore;
    context.report.pass(name, "each create succeeds at the defaults and processes alike; pool "
                              "unchanged, " + heap);
}

}  // namespace validate
}  // namespace klor
