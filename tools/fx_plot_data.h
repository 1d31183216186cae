// What goes into the picture, measured through the effect itself: the
// transfer curves come from running a ramp through real instances, the
// waveform from the samples a run actually read and wrote.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "fx_effect.h"
#include "fx_plot.h"

namespace klorfx {

// Levels every picture shows beside the level of the run.
constexpr float kReferenceLevels[] = {0.0f, 0.25f, 0.5f, 0.75f, 0.9f};

// Length of the waveform excerpt: the first 200 ms.
constexpr double kWaveformSeconds = 0.2;

// Points of the ramp from -2 to 2 (step 0.005).
constexpr size_t kCurvePoints = 801;

// Fills data->curveInput and data->curves: one curve per reference level,
// plus `current` when it is not one of them; the curve at `current` is
// marked. Each curve is a ramp run through a fresh instance at that level
// with every channel selected.
Status sampleTransferCurves(EffectModule& module, float current, PlotData* data);

// The first channel the mask selects (channels 0 to 15 have mask bits), or
// channel 0 when it selects none: the channel whose change the picture shows.
int plottedChannel(int channels, uint16_t mask);

// Collects the first kWaveformSeconds of one channel, before and after.
class WaveformCapture {
public:
    WaveformCapture(int channels, int sampleRate, uint16_t mask);

    bool full() const { return before_.size() >= wanted_; }
    // Interleaved blocks as read and as written.
    void add(const float* in, const float* out, size_t frames);
    // Hands the excerpt to `data` with its legend texts.
    void moveInto(PlotData* data, const std::string& source, const std::string& afterLabel);

private:
    int channels_;
    int sampleRate_;
    int channel_;
    size_t wanted_;
    std::vector<float> before_;
    std::vector<float> after_;
};

}  // namespace klorfx
