// The parameter race: one thread sets the level 500 times while another
// processes 500 blocks of 32 frames. The two go in step, so that every store
// races one block: the processor announces block b and starts it after a
// short random pause; the setter, seeing the announcement, stores level b
// after a pause of its own; block b + 1 waits for that store. On a machine too busy to run both
// threads at once, the setter gets the CPU only once the processor is inside
// a block and lets go of it, which is exactly where a store must not tear.
// Block b must be shaped entirely with level b - 1 or level b, never a mix of
// the two, and never with anything older (a read sees one whole 32-bit
// value, and later reads cannot see an earlier store).
#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>
#include <unordered_map>

#include "klor_validate.h"

namespace klor {
namespace validate {

namespace {

constexpr int kSets = 500;
constexpr int kBlocks = 500;
constexpr unsigned kFrames = 32;
constexpr int kChannels = 8;
constexpr size_t kSamples = static_cast<size_t>(kFrames) * kChannels;
// Both sides pause at random, up to this many spins (some microseconds),
// the setter before its store and the processor before its block, so that
// the store falls before, inside or after the block.
constexpr uint32_t kMaxDelaySpins = 512;

// levels[0] is in force before the race; levels[i] is the i-th store.
// 0.25 .. 0.95: every one bends the curve differently.
float raceLevel(int i) { return 0.25f + 0.0014f * static_cast<float>(i); }

uint32_t bitsOf(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// Spins, so that the setter reacts within a block's time; yields now and
// then, so that it still makes progress on a loaded machine.
void waitUntil(const std::atomic<int>& counter, int value) {
    for (unsigned spins = 1; counter.load(std::memory_order_acquire) < value; ++spins) {
        if (spins % 4096 == 0) {
            std::this_thread::yield();
        } else {
            __builtin_ia32_pause();
        }
    }
}

}  // namespace

void checkParameterRace(Context& context) {
    const char* kName = "parameter race";
    std::string why;
    auto reference = context.newInstance(&why);
    auto effect = context.newInstance(&why);
    if (!reference || !effect) {
        context.report.fail(kName, why);
        return;
    }

    // Magnitudes 0.05 .. 0.95, alternating signs: no fixed point of any curve.
    Samples in(kSamples);
    for (size_t i = 0; i < kSamples; ++i) {
        const float magnitude = 0.05f + 0.9f * static_cast<float>(i) / static_cast<float>(kSamples);
        in[i] = (i & 1) ? -magnitude : magnitude;
    }
    std::vector<Samples> expected(kSets + 1);
    std::unordered_map<uint32_t, int> levelOfFirstSample;
    for (int i = 0; i <= kSets; ++i) {
        reference->setParameter(0, raceLevel(i));
        expected[i] = processWhole(*reference, in, kFrames, kChannels);
        if (!levelOfFirstSample.emplace(bitsOf(expected[i][0]), i).second) {
            context.report.fail(kName, "levels " + std::to_string(levelOfFirstSample[bitsOf(expected[i][0])]) +
                                           " and " + std::to_string(i) +
                                           " shape the probe block alike; cannot tell them apart");
            return;
        }
    }

    effect->setParameter(0, raceLevel(0));
    std::vector<Samples> out(kBlocks + 1, Samples(kSamples));
    std::vector<unsigned> delay(kSets + 1);
    std::vector<unsigned> lead(kBlocks + 1);
    for (unsigned& spins : delay) spins = context.below(kMaxDelaySpins);
    for (unsigned& spins : lead) spins = context.below(kMaxDelaySpins);
    std::atomic<int> blockStarting{0};
    std::atomic<int> setsDone{0};
    std::thread setter([&] {
        for (int i = 1; i <= kSets; ++i) {
            waitUntil(blockStarting, i);
            for (unsigned spin = 0; spin < delay[i]; ++spin) __builtin_ia32_pause();
            effect->setParameter(0, raceLevel(i));
            setsDone.store(i, std::memory_order_release);
        }
    });
    for (int b = 1; b <= kBlocks; ++b) {
        blockStarting.store(b, std::memory_order_release);
        for (unsigned spin = 0; spin < lead[b]; ++spin) __builtin_ia32_pause();
        effect->process(in.data(), out[b].data(), kFrames, kChannels);
        waitUntil(setsDone, b);
    }
    setter.join();

    int sawNewLevel = 0;
    for (int b = 1; b <= kBlocks; ++b) {
        const auto found = levelOfFirstSample.find(bitsOf(out[b][0]));
        if (found == levelOfFirstSample.end()) {
            context.report.fail(kName, "block " + std::to_string(b) + ": sample 0 is " +
                                           describeSample(out[b][0]) + ", which no level set gives");
            return;
        }
        const int level = found->second;
        if (level != b && level != b - 1) {
            char text[160];
            std::snprintf(text, sizeof text,
                          "block %d was shaped with level %g, set %s; it raced the store of %g",
                          b, static_cast<double>(raceLevel(level)),
                          level < b ? "before the previous store" : "later",
                          static_cast<double>(raceLevel(b)));
            context.report.fail(kName, text);
            return;
        }
        const long at = firstBitDifference(out[b], expected[level]);
        if (at >= 0) {
            char text[160];
            std::snprintf(text, sizeof text,
                          "block %d mixes levels: it starts as level %g but sample %ld differs", b,
                          static_cast<double>(raceLevel(level)), at);
            context.report.fail(kName, text);
            return;
        }
        if (level == b) ++sawNewLevel;
    }
    char detail[192];
    std::snprintf(detail, sizeof detail,
                  "%d blocks of %u frames x %d ch, each racing one of %d stores: every block one "
                  "whole level (%d the new one, %d the old)",
                  kBlocks, kFrames, kChannels, kSets, sawNewLevel, kBlocks - sawNewLevel);
    context.report.pass(kName, detail);
}

}  // namespace validate
}  // namespace klor
