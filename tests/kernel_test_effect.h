// An effect object owned by a kernel test: zeroed, with the level and the
// channel mask set directly, read through the exported callback so the
// dispatch under test is the one hosts reach.
#pragma once

#include <cstring>

#include "klor/dsp_distortion.h"

namespace klortest {

struct KernelTestEffect {
    alignas(16) KLOR::DSPDistortion object;

    KernelTestEffect() { std::memset(static_cast<void*>(&object), 0, sizeof object); }

    KLOR_RESULT read(const float* in, float* out, unsigned frames, int channels, uint16_t mask,
                     float level) {
        object.object.level = level;
        object.object.state.channelMask = mask;
        return KLOR::DSPDistortion::readCallback(&object.object.state, const_cast<float*>(in),
                                                 out, frames, channels, channels);
    }
};

}  // namespace klortest
