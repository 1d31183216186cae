// The curve against its model, and hostile input blocks.
//
//   curve    for "KLOR Distortion": every sample of blocks at in-range,
//            saturated, NaN and negative levels equals the model bit for
//            bit, with the default floating-point environment and with
//            flush-to-zero and denormals-are-zero set, as audio threads
//            often run;
//   hostile  silence, subnormals, infinities, NaN, +-1e30 and a full-scale
//            square: the same block twice gives the same bits, the normal
//            block after it gives what it gives on a fresh instance (nothing
//            sticks), finite input stays finite for levels 0 to 1, silence
//            stays silent, and for "KLOR Distortion" the model holds too.
#include <xmmintrin.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "klor_validate.h"
#include "klor_validate_model.h"

namespace klor {
namespace validate {

namespace {

constexpr char kModelledEffect[] = "KLOR Distortion";
constexpr unsigned kFlushToZero = 0x8000;
constexpr unsigned kDenormalsAreZero = 0x0040;

bool isModelled(Context& context) {
    const KLOR_DSP_DESCRIPTION_EX& d = context.plugin->description();
    return std::strncmp(d.effectName, kModelledEffect, sizeof d.effectName) == 0;
}

float bitsToFloat(uint32_t bits) {
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// Sets MXCSR for its lifetime; the old value comes back on exit.
class FloatEnvironment {
public:
    explicit FloatEnvironment(unsigned extraBits) : saved_(_mm_getcsr()) {
        _mm_setcsr(saved_ | extraBits);
    }
    ~FloatEnvironment() { _mm_setcsr(saved_); }

private:
    unsigned saved_;
};

struct Layout {
    int channels;
    uint16_t mask;
};

std::string levelText(float level) {
    char text[32];
    std::snprintf(text, sizeof text, "level %g", static_cast<double>(level));
    return text;
}

// Sweep -4..4 in steps that hit exact points, then the awkward values.
Samples curveInput() {
    Samples in;
    for (int i = -512; i <= 512; ++i) in.push_back(static_cast<float>(i) / 128.0f);
    const float specials[] = {
        0.0f, -0.0f, 1.0f, -1.0f, FLT_MIN, -FLT_MIN, FLT_MAX, -FLT_MAX,
        bitsToFloat(0x00000001u), bitsToFloat(0x80000001u), bitsToFloat(0x007FFFFFu),
        1e-40f, -1e-40f, 1e30f, -1e30f, 1.5f, -1.5f,
        std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
        std::numeric_limits<float>::quiet_NaN(), bitsToFloat(0xFFC00001u),
    };
    for (float s : specials) in.push_back(s);
    return in;
}

}  // namespace

void checkCurve(Context& context) {
    const char* kName = "curve";
    if (!isModelled(context)) {
        context.report.skip(kName, "no model for this effect");
        return;
    }
    const float kLevels[] = {0.0f, -0.0f, 1e-8f, 0.1f, 0.25f, 0.5f, 0.75f, 0.9999f, 1.0f, 2.0f,
                             std::numeric_limits<float>::quiet_NaN(), -0.5f, 1e30f};
    const Layout kLayouts[] = {{1, 0x0001}, {2, 0xFFFF}, {3, 0x0005}, {17, 0xFFFF}, {5, 0x0000}};
    const unsigned kEnvironments[] = {0, kFlushToZero | kDenormalsAreZero};

    std::string why;
    auto effect = context.newInstance(&why);
    if (!effect) {
        context.report.fail(kName, why);
        return;
    }
    const Samples sweep = curveInput();
    size_t compared = 0;
    for (unsigned environment : kEnvironments) {
        FloatEnvironment scope(environment);
        for (const Layout& layout : kLayouts) {
            const unsigned frames = static_cast<unsigned>(sweep.size());
            Samples in(static_cast<size_t>(frames) * layout.channels);
            for (size_t i = 0; i < in.size(); ++i) in[i] = sweep[(i * 7) % sweep.size()];
            for (float level : kLevels) {
                effect->setParameter(0, level);
                effect->setChannelMask(layout.mask);
                const Samples out = processWhole(*effect, in, frames, layout.channels);
                Samples expected(in.size());
                modelBlock(in.data(), expected.data(), frames, layout.channels, layout.mask, level);
                compared += in.size();
                const long at = firstBitDifference(out, expected);
                if (at >= 0) {
                    char head[128];
                    std::snprintf(head, sizeof head, "%s, %d ch mask 0x%04X%s: input ",
                                  levelText(level).c_str(), layout.channels, layout.mask,
                                  environment ? ", FTZ+DAZ" : "");
                    context.report.fail(kName, head + describeSample(in[at]) + " gives " +
                                                   describeSample(out[at]) + ", the model " +
                                                   describeSample(expected[at]));
                    return;
                }
            }
        }
    }
    context.report.pass(kName, std::to_string(compared) +
                                   " samples at 13 levels, 5 layouts, default and FTZ+DAZ "
                                   "environments: identical to the model");
}

void checkHostileInput(Context& context) {
    struct Kind {
        const char* name;
        bool finite;
        float (*sample)(size_t index);
    };
    static const Kind kKinds[] = {
        {"silence", true, [](size_t i) { return (i % 3 == 0) ? -0.0f : 0.0f; }},
        {"subnormal 1e-40", true, [](size_t i) { return (i & 1) ? -1e-40f : 1e-40f; }},
        {"+Inf", false, [](size_t) { return std::numeric_limits<float>::infinity(); }},
        {"-Inf", false, [](size_t) { return -std::numeric_limits<float>::infinity(); }},
        {"NaN", false,
         [](size_t i) { return (i & 1) ? -std::numeric_limits<float>::quiet_NaN()
                                       : std::numeric_limits<float>::quiet_NaN(); }},
        {"+-1e30", true, [](size_t i) { return (i & 1) ? -1e30f : 1e30f; }},
        {"full-scale square", true, [](size_t i) { return ((i / 64) & 1) ? -1.0f : 1.0f; }},
    };
    const float kLevels[] = {0.0f, 0.5f, 1.0f};
    const Layout kLayouts[] = {{2, 0xFFFF}, {3, 0x0005}};
    constexpr unsigned kFrames = 256;
    const bool modelled = isModelled(context);

    for (const Kind& kind : kKinds) {
        const std::string name = std::string("hostile ") + kind.name;
        std::string failure;
        std::string why;
        for (const Layout& layout : kLayouts) {
            const size_t count = static_cast<size_t>(kFrames) * layout.channels;
            Samples hostile(count);
            for (size_t i = 0; i < count; ++i) hostile[i] = kind.sample(i);
            const Samples normal = randomSignal(context, count);
            for (float level : kLevels) {
                auto effect = context.newInstance(&why);
                auto fresh = context.newInstance(&why);
                if (!effect || !fresh) {
                    failure = why;
                    break;
                }
                for (auto* e : {effect.get(), fresh.get()}) {
                    e->setParameter(0, level);
                    e->setChannelMask(layout.mask);
                }
                const Samples first = processWhole(*effect, hostile, kFrames, layout.channels);
                const Samples again = processWhole(*effect, hostile, kFrames, layout.channels);
                const Samples after = processWhole(*effect, normal, kFrames, layout.channels);
                const Samples expected = processWhole(*fresh, normal, kFrames, layout.channels);

                const std::string head =
                    levelText(level) + ", " + std::to_string(layout.channels) + " ch: ";
                long at = firstBitDifference(again, first);
                if (at >= 0) {
                    failure = head + "the same block twice differs at sample " +
                              std::to_string(at);
                    break;
                }
                at = firstBitDifference(after, expected);
                if (at >= 0) {
                    failure = head + "the next normal block differs at sample " +
                              std::to_string(at) + ": " + describeSample(after[at]) + " instead of " +
                              describeSample(expected[at]);
                    break;
                }
                for (size_t i = 0; i < count && failure.empty(); ++i) {
                    if (kind.finite && !std::isfinite(first[i])) {
                        failure = head + "finite input " + describeSample(hostile[i]) + " gives " +
                                  describeSample(first[i]);
                    } else if (std::strcmp(kind.name, "silence") == 0 && first[i] != 0.0f) {
                        failure = head + "silence gives " + describeSample(first[i]);
                    }
                }
                if (!failure.empty()) break;
                if (modelled) {
                    Samples model(count);
                    modelBlock(hostile.data(), model.data(), kFrames, layout.channels, layout.mask,
                               level);
                    at = firstBitDifference(first, model);
                    if (at >= 0) {
                        failure = head + "input " + describeSample(hostile[at]) + " gives " +
                                  describeSample(first[at]) + ", the model " +
                                  describeSample(model[at]);
                        break;
                    }
                }
            }
            if (!failure.empty()) break;
        }
        if (!failure.empty()) {
            context.report.fail(name, failure);
        } else {
            context.report.pass(name, std::string("3 levels, 2 layouts: repeatable, the next block "
                                                  "unaffected") +
                                          (kind.finite ? ", output finite" : "") +
                                          (modelled ? ", as modelled" : ""));
        }
    }
}

}  // namespace validate
}  // namespace klor
