// Which lanes of a vector over an interleaved block hold selected channels.
//
// Sample s of a block of N channels holds channel s mod N, so a vector of W
// lanes that starts at sample v holds channels phase, phase + 1, ... (mod N)
// with phase = v mod N. For N < 16 the selection bits of those lanes are
// bits phase .. phase + W - 1 of the channel bits repeated every N bits:
//
//   N = 6, selected = 0b101101, W = 16
//   repeated  = ...101101 101101 101101 101101 (bit 0 on the right)
//   vector 0  phase 0   lanes = bits  0..15 of repeated
//   vector 1  phase 4   lanes = bits  4..19 of repeated
//   vector 2  phase 2   lanes = bits  2..17 of repeated
//   vector 3  phase 0   the pattern repeats: lcm(6, 16) = 48 samples,
//                       N / gcd(N, W) = 3 vectors
//
// A kernel builds the pattern once per block (at most 15 vectors, plus
// the first few again so that an unrolled step never wraps inside itself)
// and walks it with the block. For N >= 16 every frame starts a fresh 16-lane
// head (channels 0..15) and the rest of the frame is never selected, so no
// pattern is needed.
//
// Internal linkage on purpose: this header is compiled into kernels built
// for different instruction sets (see distortion_kernels.h).
#pragma once

#include <cstddef>
#include <cstdint>

namespace KLOR {
namespace distortion {
namespace {

// Vectors per step of the kernels' main loops.
constexpr int kUnroll = 4;

// N / gcd(N, W) for N < 16 and W in {4, 8, 16}: at most 15.
constexpr int kMaxPatternVectors = 15;

// Pattern entries a kernel may need: an unrolled step reads entries
// j .. j + kUnroll - 1 with j < period, so the phase sequence is simply
// continued past the period instead of wrapping inside a step.
constexpr int kMaxPatternEntries = kMaxPatternVectors + kUnroll - 1;

// Channels at or above this number have no mask bit.
constexpr int kMaskedChannels = 16;

// How the lane pattern advances for one channel count, N < 16:
//   period   vectors before it repeats, N / gcd(N, W)
//   step     phase advance per vector, W mod N
//   advance  pattern index advance per unrolled step, kUnroll mod period
// e.g. N = 6, W = 16: period 3, step 4, advance 1.
struct PatternWalk {
    int period;
    int step;
    int advance;
};

struct PatternWalks {
    PatternWalk byChannels[kMaskedChannels];  // entry 0 unused
};

// Built at compile time, so a block pays no integer division for it.
constexpr PatternWalks patternWalks(int width) {
    PatternWalks walks{};
    for (int n = 1; n < kMaskedChannels; ++n) {
        int divisor = 1;  // gcd(n, width), width a power of two
        while (divisor < width && n % (divisor * 2) == 0) {
            divisor *= 2;
        }
        const int period = n / divisor;
        walks.byChannels[n] = PatternWalk{period, width % n, kUnroll % period};
    }
    return walks;
}

// Bit i is the selection bit of channel i mod `channels`, for i < 64.
// Needs 1 <= channels < 16 and no selected bit at or above `channels`;
// each pass doubles the repeated run (6 passes at most).
inline uint64_t repeatedChannelBits(uint32_t selected, int channels) {
    uint64_t repeated = selected;
    for (int run = channels; run < 64; run *= 2) {
        repeated |= repeated << run;
    }
    return repeated;
}

// Selection bits of the `width` lanes of a vector starting at `phase`
// (phase + width <= 64).
inline uint32_t laneBits(uint64_t repeated, int phase, int width) {
    const uint64_t lanes = (uint64_t{1} << width) - 1u;
    return static_cast<uint32_t>((repeated >> phase) & lanes);
}

// Phase of the next vector: (phase + W) mod N, with step = W mod N.
inline int nextPhase(int phase, int step, int channels) {
    phase += step;
    return phase >= channels ? phase - channels : phase;
}

// Phase of the vector that ends a block: (frames * N - W) mod N.
inline int lastVectorPhase(int step, int channels) {
    return step == 0 ? 0 : channels - step;
}

}  // namespace
}  // namespace distortion
}  // namespace KLOR
