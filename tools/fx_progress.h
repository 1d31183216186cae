// The progress bar on standard error. Drawn only when standard error is a
// terminal and -q was not given, from a quarter of a second into the run,
// at most ten times a second.
#pragma once

#include <chrono>
#include <cstdint>

namespace klorfx {

class Progress {
public:
    // totalFrames < 0: length unknown (standard input); only the time
    // processed so far is shown.
    Progress(bool quiet, int64_t totalFrames, int sampleRate);
    ~Progress();

    void update(int64_t framesDone);
    // Erases the bar so that the summary starts on a clean line.
    void finish();

    bool enabled() const { return enabled_; }

private:
    bool enabled_;
    bool drawn_ = false;
    int64_t total_;
    int rate_;
    std::chrono::steady_clock::time_point lastDraw_;
};

}  // namespace klorfx
