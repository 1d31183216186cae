#include "fx_progress.h"

#include <unistd.h>

#include <cstdio>
#include <string>

namespace klorfx {

namespace {

constexpr int kBarWidth = 32;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
// Runs shorter than this finish without a bar flashing up.
constexpr auto kFirstDrawDelay = std::chrono::milliseconds(250);

}  // namespace

Progress::Progress(bool quiet, int64_t totalFrames, int sampleRate)
    : enabled_(!quiet && isatty(STDERR_FILENO) == 1),
      total_(totalFrames),
      rate_(sampleRate),
      lastDraw_(std::chrono::steady_clock::now() + kFirstDrawDelay - kRedrawInterval) {}

Progress::~Progress() { finish(); }

void Progress::update(int64_t framesDone) {
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - lastDraw_ < kRedrawInterval) return;
    lastDraw_ = now;
    drawn_ = true;

    const double seconds = rate_ > 0 ? static_cast<double>(framesDone) / rate_ : 0.0;
    if (total_ > 0) {
        const double fraction = static_cast<double>(framesDone) / static_cast<double>(total_);
        const int filled = static_cast<int>(fraction * kBarWidth + 0.5);
        std::string bar(static_cast<size_t>(kBarWidth), ' ');
        for (int i = 0; i < filled && i < kBarWidth; ++i) bar[static_cast<size_t>(i)] = '#';
        std::fprintf(stderr, "\r[%s] %3d%%  %.1f / %.1f s", bar.c_str(),
                     static_cast<int>(fraction * 100.0 + 0.5), seconds,
                     static_cast<double>(total_) / rate_);
    } else {
        std::fprintf(stderr, "\r%.1f s processed", seconds);
    }
    std::fflush(stderr);
}

void Progress::finish() {
    if (!enabled_ || !drawn_) return;
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
    drawn_ = false;
}

}  // namespace klorfx
