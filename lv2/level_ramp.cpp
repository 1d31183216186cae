#include "level_ramp.h"

#include <cmath>
#include <cstdint>

namespace klor {
namespace lv2 {

uint32_t rampSteps(double sampleRate) {
    if (!(sampleRate > 0.0)) return 1;
    const double steps = std::floor(sampleRate * kRampSeconds / kStepFrames + 0.5);
    if (steps < 1.0) return 1;
    if (steps > 65536.0) return 65536;  // 10 ms at any real rate is far below
    return static_cast<uint32_t>(steps);
}

LevelRamp::LevelRamp(uint32_t steps) : steps_(steps == 0 ? 1 : steps) {}

void LevelRamp::snap(float level) {
    start_ = target_ = level_ = level;
    step_ = 0;
    framesIntoStep_ = 0;
    ramping_ = false;
}

void LevelRamp::retarget(float level) {
    if (level == target_) return;
    start_ = level_;
    target_ = level;
    step_ = 0;
    framesIntoStep_ = 0;
    ramping_ = steps_ > 1;
    level_ = levelOfStep(0);
}

uint32_t LevelRamp::framesHeld() const {
    return ramping_ ? kStepFrames - framesIntoStep_ : UINT32_MAX;
}

void LevelRamp::advance(uint32_t frames) {
    if (!ramping_) return;
    framesIntoStep_ += frames;
    if (framesIntoStep_ < kStepFrames) return;
    framesIntoStep_ = 0;
    ++step_;
    level_ = levelOfStep(step_);
    if (step_ + 1 >= steps_) ramping_ = false;
}

// Interpolated in double and rounded once, so the walk stays monotonic; the
// last step is the target itself, not an interpolation that may miss it.
float LevelRamp::levelOfStep(uint32_t step) const {
    if (step + 1 >= steps_) return target_;
    const double fraction = static_cast<double>(step + 1) / static_cast<double>(steps_);
    return static_cast<float>(static_cast<double>(start_) +
                              (static_cast<double>(target_) - static_cast<double>(start_)) * fraction);
}

}  // namespace lv2
}  // namespace klor
