// Where klor-fx writes audio: a file in any format libsndfile writes (made
// complete under a temporary name, then renamed), raw 32-bit floats on
// standard output, or nowhere (a picture-only run).
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "fx_audio_source.h"
#include "fx_status.h"

namespace klorfx {

class AudioSink {
public:
    virtual ~AudioSink() = default;
    const StreamInfo& info() const { return info_; }

    // True when samples beyond full scale (|x| > 1) cannot be stored and
    // are clipped to it: integer PCM and the other fixed-point encodings.
    bool clips() const { return clips_; }

    // Interleaved frames of info().channels samples. A failing write is
    // kExitFailure; the pending output is then discarded.
    virtual Status write(const float* frames, size_t count) = 0;

    // Completes the output; only now does a file appear under its name.
    virtual Status finish() = 0;

protected:
    StreamInfo info_;
    bool clips_ = false;
};

// A file at `path` with libsndfile format word `format` (see
// chooseOutputFormat). Integer outputs are opened with libsndfile's
// clipping mode, so out-of-range samples clip instead of wrapping.
Status openFileSink(const std::string& path, int format, int channels, int sampleRate,
                    std::unique_ptr<AudioSink>* out);

// Raw native-endian 32-bit float frames on standard output.
std::unique_ptr<AudioSink> openStdoutSink(int channels, int sampleRate);

// Accepts and drops everything.
std::unique_ptr<AudioSink> openNullSink(int channels, int sampleRate);

}  // namespace klorfx
