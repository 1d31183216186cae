// The report klor-fx prints after a run: what was processed and how, the
// level of the signal before and after, what clipped, and how fast.
#pragma once

#include <cstdint>
#include <cstdio>

#include "fx_audio_source.h"
#include "fx_options.h"
#include "fx_signal_stats.h"

namespace klorfx {

struct RunReport {
    StreamInfo input;
    StreamInfo output;
    bool outputClips = false;  // integer output: beyond-full-scale samples were clipped
    int64_t frames = 0;
    SignalStats in;
    SignalStats out;
    double seconds = 0.0;      // wall time of the whole run
};

// The summary, e.g.
//   in.wav -> out.wav
//     effect    level 0.50, mask 0xFFFF, block 512, mix 1.00
//     input     WAV (Microsoft), Signed 16 bit PCM, 2 ch, 48000 Hz
//     output    WAV (Microsoft), Signed 16 bit PCM
//     duration  3.000 s (144000 frames)
//     peak      in -6.02 dBFS (0.5000), out -2.50 dBFS (0.7500)
//     rms       in -9.03 dBFS (0.3536), out -5.33 dBFS (0.5413)
//     clipped   0 samples
//     speed     950.2x real time
void printSummary(std::FILE* out, const Options& options, const RunReport& report);

}  // namespace klorfx
