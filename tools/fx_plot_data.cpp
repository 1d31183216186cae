#include "fx_plot_data.h"

#include <cmath>
#include <memory>

namespace klorfx {

Status sampleTransferCurves(EffectModule& module, float current, PlotData* data) {
    data->curveInput.resize(kCurvePoints);
    for (size_t i = 0; i < kCurvePoints; ++i) {
        data->curveInput[i] = static_cast<float>(-2.0 + 4.0 * static_cast<double>(i) / (kCurvePoints - 1));
    }
    std::vector<float> levels(std::begin(kReferenceLevels), std::end(kReferenceLevels));
    bool listed = false;
    for (float level : levels) listed = listed || level == current;
    if (!listed) levels.push_back(current);

    data->curves.clear();
    for (float level : levels) {
        std::unique_ptr<EffectRunner> runner;
        Status status = module.makeRunner(level, 0xFFFF, &runner);
        if (!status.ok()) return status;
        TransferCurve curve;
        curve.level = level;
        curve.current = level == current;
        curve.output.resize(kCurvePoints);
        status = runner->process(data->curveInput.data(), curve.output.data(),
                                 static_cast<unsigned>(kCurvePoints), 1, 1.0f);
        if (!status.ok()) return status;
        data->curves.push_back(std::move(curve));
    }
    return Status::success();
}

int plottedChannel(int channels, uint16_t mask) {
    for (int c = 0; c < channels && c < 16; ++c) {
        if (mask & (1u << c)) return c;
    }
    return 0;
}

WaveformCapture::WaveformCapture(int channels, int sampleRate, uint16_t mask)
    : channels_(channels),
      sampleRate_(sampleRate),
      channel_(plottedChannel(channels, mask)),
      wanted_(static_cast<size_t>(std::ceil(kWaveformSeconds * sampleRate))) {
    before_.reserve(wanted_);
    after_.reserve(wanted_);
}

void WaveformCapture::add(const float* in, const float* out, size_t frames) {
    const size_t stride = static_cast<size_t>(channels_);
    for (size_t f = 0; f < frames && before_.size() < wanted_; ++f) {
        before_.push_back(in[f * stride + static_cast<size_t>(channel_)]);
        after_.push_back(out[f * stride + static_cast<size_t>(channel_)]);
    }
}

void WaveformCapture::moveInto(PlotData* data, const std::string& source, const std::string& afterLabel) {
    data->before = std::move(before_);
    data->after = std::move(after_);
    data->sampleRate = sampleRate_;
    data->channel = channel_;
    data->source = source;
    data->afterLabel = afterLabel;
}

}  // namespace klorfx
