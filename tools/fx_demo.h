// klor-fx --demo: no input needed. Synthesises a test signal, runs it
// through the effect at the reference levels (and --level), writes one WAV
// per level plus the input and a picture into --out-dir, and prints a table
// of peak and RMS before and after.
#pragma once

#include <cstddef>
#include <vector>

#include "fx_options.h"
#include "fx_status.h"

namespace klorfx {

constexpr int kDemoRate = 48000;
constexpr int kDemoChannels = 2;
constexpr double kDemoSeconds = 3.0;

// The test signal, interleaved stereo at kDemoRate:
//   channel 1  plucked bass notes (A1, C2, E2, A2, every 0.5 s), harmonics 1-3,
//              5 ms attack, 0.35 s decay, peaks near 0.8
//   channel 2  a 220 Hz sine whose amplitude rises linearly from 0 to 0.9,
//              so the whole curve up to near full scale is visited
std::vector<float> demoSignal();

Status runDemo(const Options& options);

}  // namespace klorfx
