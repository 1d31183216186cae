// Running peak, RMS and out-of-range count over every sample of a stream.
#pragma once

#include <cstddef>
#include <cstdint>

namespace klorfx {

class SignalStats {
public:
    void add(const float* samples, size_t count);

    // Largest |x| seen; NaN samples are counted in beyondFullScale() only.
    float peak() const { return peak_; }
    // sqrt(mean of x^2) over all samples of all channels; 0 when empty.
    double rms() const;
    uint64_t samples() const { return samples_; }
    // Samples with |x| > 1 or NaN: what an integer output must clip.
    // Exactly +-1.0 is full scale and does not count.
    uint64_t beyondFullScale() const { return beyond_; }

private:
    float peak_ = 0.0f;
    double sumSquares_ = 0.0;
    uint64_t samples_ = 0;
    uint64_t beyond_ = 0;
};

// 20 log10(x), with -inf for 0.
double toDecibels(double amplitude);

}  // namespace klorfx
