// The wrapper's level ramp and bypass crossfade, unit by unit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "bypass_fade.h"
#include "level_ramp.h"

namespace {

using klor::lv2::BypassFade;
using klor::lv2::crossfade;
using klor::lv2::fadeFrames;
using klor::lv2::kStepFrames;
using klor::lv2::LevelRamp;
using klor::lv2::rampSteps;

TEST(RampSteps, AreTenMillisecondsOfSixteenFrameStepsAndAtLeastOne) {
    struct Case {
        double rate;
        uint32_t steps;
    };
    // 44100 * 0.01 / 16 = 27.56 -> 28; 22050 -> 13.78 -> 14; 8000 -> 5.
    for (const Case& c : {Case{48000, 30}, Case{96000, 60}, Case{44100, 28}, Case{22050, 14},
                          Case{8000, 5}, Case{800, 1}, Case{1, 1}, Case{0, 1}, Case{-48000, 1},
                          Case{NAN, 1}}) {
        EXPECT_EQ(rampSteps(c.rate), c.steps) << "rate " << c.rate;
    }
}

TEST(FadeFrames, AreTenMillisecondsAndAtLeastOne) {
    struct Case {
        double rate;
        uint32_t frames;
    };
    for (const Case& c : {Case{48000, 480}, Case{44100, 441}, Case{96000, 960}, Case{50, 1},
                          Case{0, 1}, Case{NAN, 1}}) {
        EXPECT_EQ(fadeFrames(c.rate), c.frames) << "rate " << c.rate;
    }
}

// The level in force at every frame of `frames`, advancing in pieces of at
// most `piece` frames (as a host's blocks would cut it).
std::vector<float> walk(LevelRamp& ramp, uint32_t frames, uint32_t piece) {
    std::vector<float> levels;
    while (levels.size() < frames) {
        uint32_t n = std::min<uint32_t>({piece, ramp.framesHeld(), frames - uint32_t(levels.size())});
        levels.insert(levels.end(), n, ramp.level());
        ramp.advance(n);
    }
    return levels;
}

TEST(LevelRamp, WalksMonotonicallyInEqualStepsAndLandsExactlyOnTheTarget) {
    struct Case {
        float from, to;
        uint32_t steps;
    };
    for (const Case& c : {Case{0.2f, 0.8f, 30}, Case{0.8f, 0.2f, 30}, Case{0.0f, 1.0f, 28},
                          Case{0.1f, 0.3f, 5}}) {
        LevelRamp ramp(c.steps);
        ramp.snap(c.from);
        ramp.retarget(c.to);
        ASSERT_TRUE(ramp.ramping());
        const std::vector<float> levels = walk(ramp, (c.steps + 2) * kStepFrames, 7);
        const double increment = std::fabs(double(c.to) - double(c.from)) / c.steps;
        float previous = c.from;
        for (size_t f = 0; f < levels.size(); ++f) {
            EXPECT_LE(std::fabs(double(levels[f]) - double(previous)), increment * (1 + 1e-6) + 1e-7)
                << "frame " << f;
            EXPECT_GE((levels[f] - previous) * (c.to - c.from), 0.0f) << "frame " << f;
            previous = levels[f];
        }
        // Step i covers frames [16 i, 16 i + 16); the last step is the target.
        const size_t arrival = size_t(c.steps - 1) * kStepFrames;
        EXPECT_NE(levels[arrival - 1], c.to);
        EXPECT_EQ(levels[arrival], c.to);
        EXPECT_FALSE(ramp.ramping());
        EXPECT_EQ(ramp.level(), c.to);
    }
}

TEST(LevelRamp, IsTheSameHoweverTheFramesAreCut) {
    std::vector<std::vector<float>> walks;
    for (uint32_t piece : {1u, 3u, 16u, 17u, 1000u}) {
        LevelRamp ramp(30);
        ramp.snap(0.25f);
        ramp.retarget(0.75f);
        walks.push_back(walk(ramp, 600, piece));
    }
    for (size_t i = 1; i < walks.size(); ++i) EXPECT_EQ(walks[i], walks[0]);
}

TEST(LevelRamp, HoldsWhenIdleAndRestartsFromWhereItStandsOnANewTarget) {
    LevelRamp ramp(30);
    ramp.snap(0.5f);
    EXPECT_FALSE(ramp.ramping());
    EXPECT_EQ(ramp.framesHeld(), UINT32_MAX);
    ramp.retarget(0.5f);
    EXPECT_FALSE(ramp.ramping()) << "an unchanged target starts no ramp";

    ramp.retarget(1.0f);
    walk(ramp, 5 * kStepFrames + 3, 64);
    const float reached = ramp.level();
    EXPECT_GT(reached, 0.5f);
    EXPECT_LT(reached, 1.0f);
    EXPECT_EQ(ramp.framesHeld(), kStepFrames - 3);

    ramp.retarget(0.0f);
    EXPECT_EQ(ramp.framesHeld(), kStepFrames) << "a new ramp starts a whole step";
    EXPECT_LT(ramp.level(), reached);
    EXPECT_GE(ramp.level(), reached - reached / 30 - 1e-7f) << "the turn does not jump";

    ramp.snap(0.25f);
    EXPECT_FALSE(ramp.ramping());
    EXPECT_EQ(ramp.level(), 0.25f);
    EXPECT_EQ(ramp.target(), 0.25f);
}

TEST(LevelRamp, OfOneStepJumpsAtOnce) {
    for (uint32_t steps : {0u, 1u}) {
        LevelRamp ramp(steps);
        ramp.snap(0.1f);
        ramp.retarget(0.9f);
        EXPECT_FALSE(ramp.ramping());
        EXPECT_EQ(ramp.level(), 0.9f);
    }
}

TEST(BypassFade, MovesOneFrameAtATimeAndSettlesExactly) {
    BypassFade fade(4);
    fade.snap(true);
    EXPECT_TRUE(fade.fullyEnabled());
    fade.setEnabled(false);
    EXPECT_FALSE(fade.fullyBypassed());
    std::vector<float> gains;
    for (int i = 0; i < 6; ++i) gains.push_back(fade.nextGain());
    EXPECT_EQ(gains, (std::vector<float>{0.75f, 0.5f, 0.25f, 0.0f, 0.0f, 0.0f}));
    EXPECT_TRUE(fade.fullyBypassed());

    // Turning back mid-fade continues from the gain reached.
    fade.setEnabled(true);
    EXPECT_EQ(fade.nextGain(), 0.25f);
    EXPECT_EQ(fade.nextGain(), 0.5f);
    fade.setEnabled(false);
    EXPECT_EQ(fade.nextGain(), 0.25f);

    fade.snap(false);
    EXPECT_TRUE(fade.fullyBypassed());
    fade.snap(true);
    EXPECT_TRUE(fade.fullyEnabled());
    EXPECT_EQ(fade.nextGain(), 1.0f);
}

TEST(Crossfade, EndsTakeOneSideBitForBitEvenWhenTheOtherIsNotFinite) {
    EXPECT_EQ(crossfade(0.3f, NAN, 0.0f), 0.3f);
    EXPECT_EQ(crossfade(NAN, -0.7f, 1.0f), -0.7f);
    EXPECT_EQ(crossfade(INFINITY, 0.25f, 1.0f), 0.25f);
    EXPECT_TRUE(std::signbit(crossfade(-0.0f, 5.0f, 0.0f)));
    EXPECT_FLOAT_EQ(crossfade(0.0f, 1.0f, 0.25f), 0.25f);
    EXPECT_FLOAT_EQ(crossfade(1.0f, -1.0f, 0.5f), 0.0f);
}

}  // namespace
