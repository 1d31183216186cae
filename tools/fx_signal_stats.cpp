#include "fx_signal_stats.h"

#include <cmath>
#include <limits>

namespace klorfx {

void SignalStats::add(const float* samples, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const float magnitude = std::fabs(samples[i]);
        if (!(magnitude <= 1.0f)) ++beyond_;
        if (magnitude > peak_) peak_ = magnitude;
        if (std::isfinite(magnitude)) sumSquares_ += static_cast<double>(magnitude) * magnitude;
    }
    samples_ += count;
}

double SignalStats::rms() const {
    return samples_ == 0 ? 0.0 : std::sqrt(sumSquares_ / static_cast<double>(samples_));
}

double toDecibels(double amplitude) {
    return amplitude > 0.0 ? 20.0 * std::log10(amplitude) : -std::numeric_limits<double>::infinity();
}

}  // namespace klorfx
