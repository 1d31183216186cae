// The picture klor-fx draws with cairo: the effect's transfer curves and,
// when an input was given, the start of the waveform before and after.
#pragma once

#include <string>
#include <vector>

#include "fx_status.h"

namespace klorfx {

struct TransferCurve {
    float level = 0.0f;
    bool current = false;       // the level of this run: drawn heavier
    std::vector<float> output;  // one value per PlotData::curveInput
};

struct PlotData {
    std::vector<float> curveInput;  // ascending, usually -2 .. 2
    std::vector<TransferCurve> curves;

    // Waveform panel; drawn when `before` is not empty. `after` has the
    // same length.
    std::vector<float> before;
    std::vector<float> after;
    int sampleRate = 0;
    int channel = 0;            // 0-based; shown 1-based
    std::string afterLabel;     // legend text of `after`, e.g. "after (level 0.50)"
    std::string source;         // input name shown in the panel title
};

constexpr int kPlotWidth = 800;
constexpr int kPlotHeight = 500;

// Writes a PNG of kPlotWidth x kPlotHeight pixels to `path` (complete or
// not at all). kExitOutput when it cannot be written.
Status writePlot(const std::string& path, const PlotData& data);

// Frees the font caches cairo and fontconfig keep for the whole process.
// Call once, at exit, after every picture; sanitizer builds do, so that the
// leak checker sees only klor-fx's own allocations. Elsewhere a no-op.
void releasePlotCaches();

}  // namespace klorfx
