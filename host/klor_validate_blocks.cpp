// Block sizes and channel layouts: the module is its own reference.
//
//   block sizes  a signal cut into blocks of 1, 2, 3, 64, 511, 4096 frames,
//                or random sizes, gives exactly the output of one call, in
//                separate and in shared (in-place) buffers;
//   channels     in a block of 1 to 64 channels, a selected channel (below
//                16, its mask bit set) comes out as it does processed alone,
//                every other channel as a bit-exact copy of its input.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "klor_validate.h"

namespace klor {
namespace validate {

namespace {

struct Layout {
    int channels;
    uint16_t mask;
};

// Every selected, partly selected and unselected read path.
const Layout kLayouts[] = {{2, 0xFFFF}, {3, 0x0005}, {1, 0x0000}, {6, 0x0032}};

// Three full 4096-frame blocks and a ragged end.
constexpr unsigned kSignalFrames = 3 * 4096 + 97;

// A zero-frame call must write nothing: it gets a guarded buffer.
constexpr size_t kGuardSamples = 64;
constexpr uint32_t kGuardBits = 0x7FC0DEADu;

std::string where(long index, int channels) {
    char text[96];
    std::snprintf(text, sizeof text, "sample %ld (frame %ld, channel %ld)", index,
                  index / channels, index % channels);
    return text;
}

std::string layoutText(const Layout& layout) {
    char text[48];
    std::snprintf(text, sizeof text, "%d ch mask 0x%04X", layout.channels, layout.mask);
    return text;
}

// Frames per call: the fixed size, or random sizes up to 4096 with an
// occasional zero-frame call.
std::vector<unsigned> blockPlan(Context& context, unsigned fixedSize, unsigned frames) {
    std::vector<unsigned> plan;
    unsigned done = 0;
    while (done < frames) {
        unsigned size = fixedSize;
        if (size == 0) size = context.below(8) == 0 ? 0 : 1 + context.below(4096);
        size = std::min(size, frames - done);
        plan.push_back(size);
        done += size;
    }
    return plan;
}

struct Pieces {
    Samples separate;
    Samples inPlace;
    bool guardIntact = true;
    size_t calls = 0;
};

Pieces processInPieces(host::Instance& effect, const Samples& in, int channels,
                       const std::vector<unsigned>& plan) {
    Pieces pieces;
    pieces.separate.assign(in.size(), 0.0f);
    pieces.inPlace = in;
    Samples guard(kGuardSamples);
    for (float& g : guard) std::memcpy(&g, &kGuardBits, sizeof g);
    const Samples guardBefore = guard;

    size_t offset = 0;
    for (unsigned frames : plan) {
        if (frames == 0) {
            effect.process(in.data() + offset, guard.data(), 0, channels);
            effect.process(guard.data(), guard.data(), 0, channels);
        } else {
            effect.process(in.data() + offset, pieces.separate.data() + offset, frames, channels);
            effect.process(pieces.inPlace.data() + offset, pieces.inPlace.data() + offset, frames,
                           channels);
        }
        offset += static_cast<size_t>(frames) * channels;
        ++pieces.calls;
    }
    pieces.guardIntact = firstBitDifference(guard, guardBefore) < 0;
    return pieces;
}

}  // namespace

void checkBlockSizes(Context& context) {
    const unsigned kSizes[] = {1, 2, 3, 64, 511, 4096, 0 /* random */};
    const float level = context.uniform(0.05f, 0.95f);

    struct Prepared {
        Layout layout;
        Samples in;
        Samples whole;
    };
    std::vector<Prepared> prepared;
    std::string why;
    for (const Layout& layout : kLayouts) {
        auto reference = context.newInstance(&why);
        if (!reference) {
            context.report.fail("block sizes", why);
            return;
        }
        reference->setParameter(0, level);
        reference->setChannelMask(layout.mask);
        Prepared p{layout, randomSignal(context, static_cast<size_t>(kSignalFrames) * layout.channels), {}};
        p.whole = processWhole(*reference, p.in, kSignalFrames, layout.channels);
        prepared.push_back(std::move(p));
    }

    for (unsigned size : kSizes) {
        const std::string name = size ? "block size " + std::to_string(size) : "block size random";
        std::string failure;
        size_t calls = 0;
        for (const Prepared& p : prepared) {
            auto effect = context.newInstance(&why);
            if (!effect) {
                failure = why;
                break;
            }
            effect->setParameter(0, level);
            effect->setChannelMask(p.layout.mask);
            const Pieces pieces =
                processInPieces(*effect, p.in, p.layout.channels, blockPlan(context, size, kSignalFrames));
            calls += pieces.calls;
            const long separate = firstBitDifference(pieces.separate, p.whole);
            const long inPlace = firstBitDifference(pieces.inPlace, p.whole);
            if (!pieces.guardIntact) {
                failure = layoutText(p.layout) + ": a zero-frame call wrote to its output";
            } else if (separate >= 0 || inPlace >= 0) {
                const long at = separate >= 0 ? separate : inPlace;
                const Samples& got = separate >= 0 ? pieces.separate : pieces.inPlace;
                failure = layoutText(p.layout) + (separate >= 0 ? "" : " in place") + ": " +
                          where(at, p.layout.channels) + " is " + describeSample(got[at]) +
                          ", one call gives " + describeSample(p.whole[at]);
            }
            if (!failure.empty()) break;
        }
        if (!failure.empty()) {
            context.report.fail(name, failure);
            continue;
        }
        char detail[160];
        std::snprintf(detail, sizeof detail,
                      "%u frames in %zu calls over %zu layouts, separate and in place: "
                      "identical to one call",
                      kSignalFrames, calls, prepared.size());
        context.report.pass(name, detail);
    }
}

void checkChannels(Context& context) {
    const char* kName = "channels 1..64";
    std::string why;
    auto effect = context.newInstance(&why);
    auto alone = context.newInstance(&why);
    if (!effect || !alone) {
        context.report.fail(kName, why);
        return;
    }
    alone->setChannelMask(0x0001);

    size_t blocks = 0;
    for (int channels = 1; channels <= 64; ++channels) {
        const int maskable = std::min(channels, 16);
        const uint16_t exact = static_cast<uint16_t>((1u << maskable) - 1u);
        const uint16_t masks[] = {
            0x0000, 0xFFFF, exact,
            static_cast<uint16_t>(context.below(0x10000)),
            static_cast<uint16_t>(context.below(0x10000)),
            static_cast<uint16_t>(1u << context.below(16)),
        };
        for (uint16_t mask : masks) {
            const unsigned frames = 1 + context.below(40);
            const float level = context.uniform(0.0f, 1.0f);
            const Samples in = randomSignal(context, static_cast<size_t>(frames) * channels);
            effect->setParameter(0, level);
            effect->setChannelMask(mask);
            alone->setParameter(0, level);
            const Samples out = processWhole(*effect, in, frames, channels);
            Samples shared = in;
            effect->process(shared.data(), shared.data(), frames, channels);
            ++blocks;

            Samples expected(in.size());
            for (int c = 0; c < channels; ++c) {
                Samples column(frames);
                for (unsigned f = 0; f < frames; ++f) column[f] = in[static_cast<size_t>(f) * channels + c];
                const bool selected = c < 16 && ((mask >> c) & 1u);
                const Samples result = selected ? processWhole(*alone, column, frames, 1) : column;
                for (unsigned f = 0; f < frames; ++f) expected[static_cast<size_t>(f) * channels + c] = result[f];
            }
            const long separate = firstBitDifference(out, expected);
            const long inPlace = firstBitDifference(shared, expected);
            if (separate >= 0 || inPlace >= 0) {
                const long at = separate >= 0 ? separate : inPlace;
                const Samples& got = separate >= 0 ? out : shared;
                const int c = static_cast<int>(at % channels);
                const bool selected = c < 16 && ((mask >> c) & 1u);
                char head[96];
                std::snprintf(head, sizeof head, "%d ch mask 0x%04X%s, %u frames: ", channels, mask,
                              separate >= 0 ? "" : " in place", frames);
                context.report.fail(kName, head + where(at, channels) + " is " +
                                               describeSample(got[at]) + ", expected " +
                                               describeSample(expected[at]) +
                                               (selected ? " (the channel alone)" : " (a copy)"));
                return;
            }
        }
    }
    context.report.pass(kName, std::to_string(blocks) +
                                   " blocks with random masks: selected channels as processed "
                                   "alone, the others copied bit for bit");
}

}  // namespace validate
}  // namespace klor
