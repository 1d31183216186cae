// The read callback through the reference host: exact points of the curve,
// its properties over sweeps, and the three channel-mask cases compared
// sample for sample (as bits) with an independent scalar model.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "dsp_reference.h"
#include "klor_host.h"

namespace {

using klor::host::Instance;
using klor::host::Plugin;
using klortest::bits;
using klortest::fromBits;

const float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();

class ReadTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        plugin = Plugin::load(KLOR_PLUGIN_PATH, &error);
        ASSERT_TRUE(plugin) << error;
        effect = Instance::create(*plugin, nullptr);
        ASSERT_TRUE(effect);
    }

    float shapeOne(float level, float x) {
        effect->setParameter(0, level);
        effect->setChannelMask(0x1);
        float out = -12345.0f;
        EXPECT_EQ(effect->process(&x, &out, 1, 1), KLOR_OK);
        return out;
    }

    std::vector<float> run(const std::vector<float>& in, unsigned frames, int channels, uint16_t mask,
                           float level) {
        effect->setParameter(0, level);
        effect->setChannelMask(mask);
        std::vector<float> out(in.size(), -777.0f);
        EXPECT_EQ(effect->process(in.data(), out.data(), frames, channels), KLOR_OK);
        return out;
    }

    std::unique_ptr<Plugin> plugin;
    std::unique_ptr<Instance> effect;
};

std::vector<float> randomSamples(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-3.0f, 3.0f);
    std::vector<float> v(n);
    for (float& x : v) x = dist(rng);
    return v;
}

void expectSameBits(const std::vector<float>& got, const std::vector<float>& want, const std::string& what) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) {
        ASSERT_EQ(bits(got[i]), bits(want[i])) << what << ", sample " << i << ": got " << got[i]
                                               << ", want " << want[i];
    }
}

TEST_F(ReadTest, ExactPointsOfTheCurve) {
    struct Point {
        float level, x;
        uint32_t expectedBits;
    } points[] = {
        {0.5f, 0.5f, bits(0.75f)},    {0.5f, -0.25f, bits(-0.5f)},  {0.5f, 2.0f, bits(1.2f)},
        {0.75f, 0.5f, bits(0.875f)},  {0.75f, 0.1f, bits(0.4375f)}, {1.0f, 0.5f, 0x3F7FFCB9u},
        {2.0f, 0.5f, 0x3F7FFCB9u},    {kNaN, 0.5f, 0x3F7FFCB9u},    {0.0f, 0.3f, bits(0.3f)},
    };
    for (const Point& p : points) {
        EXPECT_EQ(bits(shapeOne(p.level, p.x)), p.expectedBits) << "level " << p.level << ", x " << p.x;
    }
}

TEST_F(ReadTest, SaturatedLevelsShareOneCoefficient) {
    // k = 19994.681640625 for level 1, above 1 and NaN: the same output for
    // any sample, and the value the regular rule gives just below 1.
    const float levels[] = {1.0f, 2.0f, 1e9f, kInf, kNaN};
    for (float x : {0.5f, -0.01f, 1e-3f, 3.0f}) {
        const uint32_t reference = bits(shapeOne(1.0f, x));
        for (float level : levels) {
            EXPECT_EQ(bits(shapeOne(level, x)), reference) << "level " << level << ", x " << x;
        }
    }
}

TEST_F(ReadTest, LevelZeroIsTheIdentityForFiniteSamples) {
    const float samples[] = {0.0f, -0.0f, 1e-45f, -1e-40f, 0.123f, -7.5f, 1e30f, -3.4e38f};
    for (float x : samples) {
        EXPECT_EQ(bits(shapeOne(0.0f, x)), bits(x)) << x;
    }
}

TEST_F(ReadTest, UnitSamplesSignedZerosAndInfinities) {
    const float levels[] = {0.0f, 1e-6f, 0.1f, 0.5f, 0.9f, 0.9999f, 1.0f, 3.0f, kNaN};
    for (float level : levels) {
        EXPECT_EQ(bits(shapeOne(level, 1.0f)), bits(1.0f)) << level;
        EXPECT_EQ(bits(shapeOne(level, -1.0f)), bits(-1.0f)) << level;
        EXPECT_EQ(bits(shapeOne(level, 0.0f)), bits(0.0f)) << level;
        EXPECT_EQ(bits(shapeOne(level, -0.0f)), bits(-0.0f)) << level;
        if (level > 0.0f || std::isnan(level)) {
            EXPECT_TRUE(std::isnan(shapeOne(level, kInf))) << level;
            EXPECT_TRUE(std::isnan(shapeOne(level, -kInf))) << level;
        }
        EXPECT_TRUE(std::isnan(shapeOne(level, kNaN))) << level;
    }
}

TEST_F(ReadTest, NegativeLevelCanDivideByZero) {
    // Level -0.5: k = -2/3, and |x| = 1.5 drives the denominator to 0.
    EXPECT_EQ(shapeOne(-0.5f, 1.5f), kInf);
    EXPECT_EQ(shapeOne(-0.5f, -1.5f), -kInf);
}

TEST_F(ReadTest, CurveIsOddBoundedAndMonotonicOverASweep) {
    for (float level : {0.1f, 0.5f, 0.9f, 0.99f}) {
        float previous = -kInf;
        for (int i = -4000; i <= 4000; ++i) {
            const float x = static_cast<float>(i) / 1000.0f;
            const float y = shapeOne(level, x);
            EXPECT_EQ(bits(shapeOne(level, -x)), bits(-y)) << level << " " << x;
            EXPECT_GE(y, previous) << level << " " << x;
            const float k = (level + level) / (1.0f - level);
            EXPECT_LE(std::fabs(y), (k + 1.0f) / k * 1.0001f) << "bounded by gain / k";
            previous = y;
        }
    }
}

TEST_F(ReadTest, EverySampleMatchesTheModelForRandomBlocks) {
    struct Case {
        int channels;
        uint16_t mask;
    } cases[] = {{1, 0x1}, {2, 0x3}, {2, 0x1}, {2, 0x2}, {3, 0x5}, {6, 0x2D}, {8, 0xAA},
                 {16, 0xFFFF}, {17, 0xFFFF}, {20, 0xFFFF}, {20, 0x8001}, {40, 0xFFFF}, {64, 0x5555},
                 {2, 0xFFFC}, {3, 0xFFFF}};
    for (const Case& c : cases) {
        for (unsigned frames : {0u, 1u, 7u, 8u, 9u, 15u, 17u, 100u}) {
            for (float level : {0.0f, 0.5f, 0.93f, 1.0f}) {
                const auto in = randomSamples(static_cast<size_t>(frames) * c.channels, frames * 131 + c.channels);
                const auto want = klortest::referenceBlock(in, frames, c.channels, c.mask, level);
                expectSameBits(run(in, frames, c.channels, c.mask, level), want,
                               "channels " + std::to_string(c.channels) + " mask " + std::to_string(c.mask) +
                                   " frames " + std::to_string(frames));
            }
        }
    }
}

TEST_F(ReadTest, InPlaceGivesTheSameBitsAsOutOfPlace) {
    for (uint16_t mask : {0x0, 0x1, 0x3, 0x2}) {
        const auto in = randomSamples(2 * 37, mask + 5u);
        const auto want = klortest::referenceBlock(in, 37, 2, mask, 0.6f);
        effect->setParameter(0, 0.6f);
        effect->setChannelMask(mask);
        std::vector<float> buffer(in);
        ASSERT_EQ(effect->process(buffer.data(), buffer.data(), 37, 2), KLOR_OK);
        expectSameBits(buffer, want, "in place, mask " + std::to_string(mask));
    }
}

TEST_F(ReadTest, UnselectedChannelsKeepTheirBitsIncludingNaNPayloads) {
    // Channel 1 unselected, channels 16+ have no mask bit: their NaN payloads
    // and subnormals must come through untouched.
    const uint32_t specials[] = {0x7FC01234u, 0xFFA00001u, 0x7F800001u, 0x00000001u, 0x80000000u};
    for (int channels : {2, 18}) {
        std::vector<float> in(static_cast<size_t>(channels) * 11);
        for (size_t i = 0; i < in.size(); ++i) in[i] = fromBits(specials[i % 5]);
        const auto out = run(in, 11, channels, 0xFFFD, 0.5f);
        for (unsigned f = 0; f < 11; ++f) {
            for (int c = 0; c < channels; ++c) {
                if (c == 1 || c >= 16) {
                    const size_t i = static_cast<size_t>(f) * channels + c;
                    ASSERT_EQ(bits(out[i]), bits(in[i])) << "frame " << f << " channel " << c;
                }
            }
        }
    }
}

TEST_F(ReadTest, NoSelectedChannelCopiesExactly) {
    std::vector<float> in = randomSamples(3 * 13, 9);
    in[4] = fromBits(0x7FA5A5A5u);
    for (uint16_t mask : {0x0, 0xFFF8}) {  // bits at or above N are ignored
        expectSameBits(run(in, 13, 3, mask, 0.5f), in, "mask " + std::to_string(mask));
    }
}

TEST_F(ReadTest, EmptyBlocksWriteNothing) {
    std::vector<float> in = {0.5f, 0.5f};
    std::vector<float> out = {9.0f, 9.0f};
    effect->setChannelMask(0xFFFF);
    EXPECT_EQ(effect->process(in.data(), out.data(), 0, 2), KLOR_OK);
    EXPECT_EQ(effect->process(in.data(), out.data(), 2, 0), KLOR_OK);
    EXPECT_EQ(out[0], 9.0f);
    EXPECT_EQ(out[1], 9.0f);
}

TEST_F(ReadTest, NullInputIsANoOp) {
    std::vector<float> out = {9.0f, 9.0f};
    EXPECT_EQ(effect->process(nullptr, out.data(), 1, 2), KLOR_OK);
    EXPECT_EQ(out[0], 9.0f);
    EXPECT_EQ(out[1], 9.0f);
}

TEST_F(ReadTest, NullOutputOrNegativeChannelCountIsRefused) {
    std::vector<float> in = {0.5f, 0.5f};
    std::vector<float> out = {9.0f, 9.0f};
    EXPECT_EQ(effect->process(in.data(), nullptr, 1, 2), KLOR_ERR_BAD_ARGUMENT);
    EXPECT_EQ(effect->process(in.data(), out.data(), 1, -1), KLOR_ERR_BAD_ARGUMENT);
    EXPECT_EQ(effect->process(in.data(), out.data(), 1, -2), KLOR_ERR_BAD_ARGUMENT);
    EXPECT_EQ(out[0], 9.0f);
    EXPECT_EQ(out[1], 9.0f);
    // Nothing to write: a null output is harmless.
    EXPECT_EQ(effect->process(in.data(), nullptr, 0, 2), KLOR_OK);
}

TEST_F(ReadTest, OutputChannelCountIsNotRead) {
    const auto in = randomSamples(2 * 9, 3);
    const auto want = klortest::referenceBlock(in, 9, 2, 0x3, 0.5f);
    effect->setParameter(0, 0.5f);
    effect->setChannelMask(0x3);
    std::vector<float> out(in.size());
    const KLOR_DSP_DESCRIPTION_EX& d = plugin->description();
    ASSERT_EQ(d.readFn(effect->state(), const_cast<float*>(in.data()), out.data(), 9, 2, 1), KLOR_OK);
    expectSameBits(out, want, "output channel count 1");
}

}  // namespace
