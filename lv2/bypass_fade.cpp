#include "bypass_fade.h"

#include <cmath>

namespace klor {
namespace lv2 {

uint32_t fadeFrames(double sampleRate) {
    if (!(sampleRate > 0.0)) return 1;
    const double frames = std::floor(sampleRate * kFadeSeconds + 0.5);
    if (frames < 1.0) return 1;
    if (frames > 1048576.0) return 1048576;
    return static_cast<uint32_t>(frames);
}

BypassFade::BypassFade(uint32_t frames) : frames_(frames == 0 ? 1 : frames) {}

void BypassFade::snap(bool enabled) {
    enabled_ = enabled;
    position_ = enabled ? frames_ : 0;
}

float BypassFade::nextGain() {
    if (enabled_) {
        if (position_ < frames_) ++position_;
    } else {
        if (position_ > 0) --position_;
    }
    return static_cast<float>(position_) / static_cast<float>(frames_);
}

}  // namespace lv2
}  // namespace klor
