// The level ramp: when a host moves "Level", the wrapper walks the effect's
// level from where it stands to the new value in equal steps instead of
// jumping, so that automation does not zipper.
//
// The effect reads its level once per read call, so a ramp is a run of short
// read calls (sub-blocks of kStepFrames frames), each with the level of its
// step. Worked example:
//
//   rate 48000 -> 10 ms = 480 frames -> 480 / 16 = 30 steps
//   step i (0-based) holds  start + (target - start) * (i + 1) / 30
//   step 29 holds target exactly and ends the ramp, 29 * 16 = 464 frames
//   (9.7 ms) after the change
//
// Invariants:
//   !ramping()  <=>  level() == target()
//   |level after a step - level before| <= |target - start| / steps, up to
//   one float rounding; the walk is monotonic from start to target
//   the levels depend only on frames elapsed since the change, never on how
//   the host cuts its blocks
//   a new target during a ramp starts a fresh ramp from the level in force
#pragma once

#include <cstdint>

namespace klor {
namespace lv2 {

constexpr double kRampSeconds = 0.010;
constexpr uint32_t kStepFrames = 16;

// Number of steps in a ramp at this rate, at least 1 (1 = jump at once).
uint32_t rampSteps(double sampleRate);

class LevelRamp {
public:
    explicit LevelRamp(uint32_t steps = 1);

    // Jumps to `level` with no ramp (start of a stream, after activate).
    void snap(float level);
    // Starts a ramp towards `level`; a value equal to the target changes
    // nothing. The first step takes effect at once.
    void retarget(float level);

    float level() const { return level_; }
    float target() const { return target_; }
    bool ramping() const { return ramping_; }

    // Frames for which level() stays as it is; UINT32_MAX when not ramping.
    uint32_t framesHeld() const;
    // Moves the ramp on by `frames`, which must not exceed framesHeld().
    void advance(uint32_t frames);

private:
    float levelOfStep(uint32_t step) const;

    uint32_t steps_;
    uint32_t step_ = 0;            // step in force, 0 .. steps_ - 1
    uint32_t framesIntoStep_ = 0;  // < kStepFrames while ramping
    float start_ = 0.0f;
    float target_ = 0.0f;
    float level_ = 0.0f;
    bool ramping_ = false;
};

}  // namespace lv2
}  // namespace klor
