// Shared by the LV2 tests: the bundle's fixed names, test signals, the
// reference host's rendering of a signal, and bit-exact comparison.
//
// "Reference" here always means the KLOR module driven by the reference
// host (host/klor_host.h) in one block: what the LV2 bundle must reproduce
// sample for sample whenever the level holds still and bypass is off.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "klor_host.h"

namespace lv2test {

constexpr char kPluginUri[] = "https://klor.invalid/plugins/distortion";
constexpr double kRate = 48000.0;

inline uint32_t bitsOf(float f) {
    uint32_t b;
    std::memcpy(&b, &f, sizeof b);
    return b;
}

// Two channels, planar. Left: a rising sweep that overdrives to 1.5; right:
// deterministic noise in [-2, 2]. The first frames carry the points every
// curve must get right: zeros of both signs, +-1, a subnormal, large values.
struct Stereo {
    std::vector<float> left, right;
    size_t frames() const { return left.size(); }
};

inline Stereo testSignal(size_t frames) {
    Stereo s;
    s.left.resize(frames);
    s.right.resize(frames);
    uint32_t state = 0x2545F491u;
    for (size_t f = 0; f < frames; ++f) {
        const double t = static_cast<double>(f) / kRate;
        s.left[f] = static_cast<float>(1.5 * std::sin(2.0 * M_PI * (110.0 + 2000.0 * t) * t));
        state = state * 1664525u + 1013904223u;
        s.right[f] = static_cast<float>((state >> 8) * (4.0 / 16777216.0) - 2.0);
    }
    const float edgePoints[] = {0.0f, -0.0f, 1.0f, -1.0f, 1e-40f, -1e-40f, 1e6f, -3.0e4f};
    for (size_t i = 0; i < sizeof edgePoints / sizeof edgePoints[0] && i < frames; ++i) {
        s.left[i] = edgePoints[i];
        s.right[i] = -edgePoints[i];
    }
    return s;
}

inline std::vector<float> interleave(const Stereo& s) {
    std::vector<float> out(s.frames() * 2);
    for (size_t f = 0; f < s.frames(); ++f) {
        out[2 * f] = s.left[f];
        out[2 * f + 1] = s.right[f];
    }
    return out;
}

inline Stereo deinterleave(const std::vector<float>& in) {
    Stereo s;
    s.left.resize(in.size() / 2);
    s.right.resize(in.size() / 2);
    for (size_t f = 0; f < s.frames(); ++f) {
        s.left[f] = in[2 * f];
        s.right[f] = in[2 * f + 1];
    }
    return s;
}

// The reference host's output for `in` (interleaved, `channels` wide) at a
// constant level, in one read call.
inline std::vector<float> referenceRender(const std::vector<float>& in, int channels, float level) {
    std::string error;
    auto plugin = klor::host::Plugin::load(KLOR_PLUGIN_PATH, &error);
    EXPECT_NE(plugin, nullptr) << error;
    if (!plugin) return {};
    KLOR_RESULT result = -1;
    auto effect = klor::host::Instance::create(*plugin, &result);
    EXPECT_EQ(result, KLOR_OK);
    if (!effect) return {};
    EXPECT_EQ(effect->setParameter(0, level), KLOR_OK);
    std::vector<float> out(in.size());
    const unsigned frames = static_cast<unsigned>(in.size() / channels);
    EXPECT_EQ(effect->process(in.data(), out.data(), frames, channels), KLOR_OK);
    return out;
}

inline Stereo referenceRender(const Stereo& in, float level) {
    return deinterleave(referenceRender(interleave(in), 2, level));
}

inline std::string hexBits(float f) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(bitsOf(f)));
    return text;
}

// Bit-for-bit equality of two channels from frame `from` on, with the first
// difference spelled out.
inline ::testing::AssertionResult sameBits(const std::vector<float>& actual,
                                           const std::vector<float>& expected, size_t from = 0) {
    if (actual.size() != expected.size()) {
        return ::testing::AssertionFailure()
               << "length " << actual.size() << ", expected " << expected.size();
    }
    for (size_t i = from; i < actual.size(); ++i) {
        if (bitsOf(actual[i]) != bitsOf(expected[i])) {
            return ::testing::AssertionFailure()
                   << "first difference at frame " << i << ": " << actual[i] << " ("
                   << hexBits(actual[i]) << "), expected " << expected[i] << " ("
                   << hexBits(expected[i]) << ")";
        }
    }
    return ::testing::AssertionSuccess();
}

}  // namespace lv2test
