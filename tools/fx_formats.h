// Which container and sample encoding klor-fx writes, from what the input
// is, what the output's name says and what the options ask for. All
// knowledge of libsndfile's format constants lives here.
#pragma once

#include <cstdio>
#include <string>

#include "fx_status.h"

namespace klorfx {

// What the output format is chosen from.
struct OutputRequest {
    std::string path;         // the output's name; its extension may name a container
    std::string format;       // --format key; empty = not given
    int bits = 0;             // --bits; 0 = not given
    bool floatOutput = false; // --float
};

// The input as opened: a libsndfile format word (container | subtype |
// endianness), with its rate and channel count. Raw float input is
// SF_FORMAT_RAW | SF_FORMAT_FLOAT.
struct InputFormat {
    int format = 0;
    int sampleRate = 0;
    int channels = 0;
};

// Chooses the output format word:
//   container  --format, else the container the output's extension names,
//              else the input's;
//   subtype    --float or --bits when given (failing when the container
//              cannot hold it), else the encoding a name implies (.opus,
//              .mp3; failing when it cannot be written at this rate), else
//              the input's when the container accepts it, else the closest
//              the container accepts;
//   endianness the input's when the container is the input's.
// Fails with kExitUsage for an unknown --format and kExitOutput for a
// combination libsndfile cannot write.
Status chooseOutputFormat(const InputFormat& input, const OutputRequest& request, int* format);

// "WAV (Microsoft), Signed 16 bit PCM".
std::string describeFormat(int format);

// True for the integer PCM subtypes, whose writers clip at full scale.
bool isIntegerSubtype(int format);

// The --list-formats table: every container this libsndfile writes, with
// the key --format takes, the extensions recognised and the encodings.
void listFormats(std::FILE* out);

}  // namespace klorfx
