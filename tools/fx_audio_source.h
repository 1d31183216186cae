// Where klor-fx reads audio from: any file libsndfile reads, a headerless
// file of 32-bit floats (--raw), or raw 32-bit floats on standard input.
// Every source hands out interleaved 32-bit float frames, normalised so
// that integer full scale is -1.0 .. +1.0 (16-bit code 32767 is 32767/32768).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "fx_status.h"

namespace klorfx {

struct StreamInfo {
    std::string name;     // the path, or "standard input" / "standard output"
    int channels = 0;
    int sampleRate = 0;
    int64_t frames = -1;  // -1 when unknown (standard input)
    int format = 0;       // libsndfile format word; raw float is RAW | FLOAT
};

class AudioSource {
public:
    virtual ~AudioSource() = default;
    const StreamInfo& info() const { return info_; }

    // Reads up to `frames` whole frames into `buffer`; *got is less than
    // `frames` only at the end of the stream. A stream that ends inside a
    // frame is an error (kExitInput); a failing read is kExitFailure.
    virtual Status read(float* buffer, size_t frames, size_t* got) = 0;

protected:
    StreamInfo info_;
};

// Opens `path` ("-" = standard input). With `raw`, the input is headerless
// native-endian 32-bit float with the given channel count and rate.
// Failures carry kExitInput: a missing file, a directory, a format
// libsndfile cannot read.
Status openSource(const std::string& path, bool raw, int rawChannels, int rawRate,
                  std::unique_ptr<AudioSource>* out);

}  // namespace klorfx
