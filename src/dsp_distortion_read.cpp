// The read path: one block of interleaved samples, shaped where the
// channel mask selects the channel and copied bit for bit where it does not.
//
// Audio thread. Allocates nothing, takes no lock, makes no system call.
// The sample loops are chosen once, on the first block, from the CPU's
// features (distortion_kernels_dispatch.h); every set gives the same bits.
//
//   selected channels   work
//   -----------------   --------------------------------------------------
//   none                one block copy; nothing when in == out
//   all                 one flat pass over frames x channels samples
//   some                every lane shaped, blended with the input by a
//                       lane mask built once for the block
#include <cstring>

#include "distortion_kernels_dispatch.h"
#include "klor/dsp_distortion.h"

namespace KLOR {

// Channels 16 and above have no mask bit; for 32 or more channels the
// "all channels" mask saturates instead of shifting out of range.
static inline uint32_t allChannelsMask(int channels) {
    return channels >= 32 ? 0xFFFFFFFFu : (1u << channels) - 1u;
}

KLOR_RESULT DSPDistortion::readInternal(float* in, float* out, unsigned int length, int inChannels,
                                        int /*outChannels: the output has the input's layout*/) {
    if (in == nullptr) {
        return KLOR_OK;
    }
    if (inChannels < 0) {
        return KLOR_ERR_BAD_ARGUMENT;
    }
    const size_t samples = static_cast<size_t>(length) * static_cast<size_t>(inChannels);
    if (samples == 0) {
        return KLOR_OK;
    }
    if (out == nullptr) {
        return KLOR_ERR_BAD_ARGUMENT;
    }

    float level;  // read once: the whole block uses one value
    __atomic_load(&object.level, &level, __ATOMIC_RELAXED);

    const uint32_t all = allChannelsMask(inChannels);
    const uint32_t active = object.state.channelMask & all;
    if (active == 0) {
        if (in != out) {
            std::memmove(out, in, samples * sizeof(float));
        }
        return KLOR_OK;
    }

    const distortion::Curve curve = distortion::curveForLevel(level);
    const distortion::Kernels& kernels = distortion::chosenKernels();
    if (active == all) {
        kernels.shapeAll(in, out, samples, curve);
    } else {
        kernels.shapeMasked(in, out, length, inChannels, active, curve);
    }
    return KLOR_OK;
}

}  // namespace KLOR
