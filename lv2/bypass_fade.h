// The bypass crossfade: when a host toggles the "enabled" port, the wrapper
// fades between the effect's output (wet) and the input (dry) over about
// 10 ms instead of switching, so that bypass does not click.
//
//   out = dry * (1 - g) + wet * g      per frame, g = position / frames
//
// position moves one frame at a time towards `frames` (enabled) or 0
// (bypassed). Worked example at 48000 Hz: frames = 480; after a toggle to
// bypass, the frame right after the toggle has g = 479/480 and the 480th
// has g = 0.
//
// Invariants:
//   0 <= position <= frames
//   g == 1 gives the effect's output bit for bit and g == 0 the input bit
//   for bit (the other side is not mixed in, so an infinite or NaN sample of
//   the unused side cannot leak through)
#pragma once

#include <cstdint>

namespace klor {
namespace lv2 {

constexpr double kFadeSeconds = 0.010;

// Frames of one full crossfade at this rate, at least 1.
uint32_t fadeFrames(double sampleRate);

class BypassFade {
public:
    explicit BypassFade(uint32_t frames = 1);

    // Goes to the state at once (start of a stream, after activate).
    void snap(bool enabled);
    // Sets the direction; the fade runs from the position it has reached.
    void setEnabled(bool enabled) { enabled_ = enabled; }

    bool enabled() const { return enabled_; }
    bool fullyEnabled() const { return enabled_ && position_ == frames_; }
    bool fullyBypassed() const { return !enabled_ && position_ == 0; }

    // Moves one frame on and returns that frame's wet gain g.
    float nextGain();

private:
    uint32_t frames_;
    uint32_t position_ = 0;
    bool enabled_ = false;
};

// Mixes one frame with gain g as drawn above.
inline float crossfade(float dry, float wet, float g) {
    if (g <= 0.0f) return dry;
    if (g >= 1.0f) return wet;
    return dry * (1.0f - g) + wet * g;
}

}  // namespace lv2
}  // namespace klor
