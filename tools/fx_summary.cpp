#include "fx_summary.h"

#include <cinttypes>
#include <cmath>
#include <string>

#include "fx_formats.h"

namespace klorfx {

namespace {

std::string level(double amplitude) {
    char text[64];
    if (std::isnan(amplitude)) return "nan";
    const double db = toDecibels(amplitude);
    if (std::isinf(db) && db < 0) {
        std::snprintf(text, sizeof text, "-inf dBFS (%.4f)", amplitude);
    } else {
        std::snprintf(text, sizeof text, "%.2f dBFS (%.4f)", db, amplitude);
    }
    return text;
}

}  // namespace

void printSummary(std::FILE* out, const Options& options, const RunReport& report) {
    std::fprintf(out, "%s -> %s\n", report.input.name.c_str(), report.output.name.c_str());
    std::fprintf(out, "  effect    level %.2f, mask 0x%04X, block %u, mix %.2f\n", options.level,
                 options.mask, options.block, options.mix);
    std::fprintf(out, "  input     %s, %d ch, %d Hz\n", describeFormat(report.input.format).c_str(),
                 report.input.channels, report.input.sampleRate);
    std::fprintf(out, "  output    %s\n", describeFormat(report.output.format).c_str());
    const double duration =
        report.input.sampleRate > 0 ? static_cast<double>(report.frames) / report.input.sampleRate : 0.0;
    std::fprintf(out, "  duration  %.3f s (%" PRId64 " frames)\n", duration, report.frames);
    std::fprintf(out, "  peak      in %s, out %s\n", level(report.in.peak()).c_str(),
                 level(report.out.peak()).c_str());
    std::fprintf(out, "  rms       in %s, out %s\n", level(report.in.rms()).c_str(),
                 level(report.out.rms()).c_str());
    const uint64_t beyond = report.out.beyondFullScale();
    if (report.outputClips) {
        std::fprintf(out, "  clipped   %" PRIu64 " samples\n", beyond);
    } else if (beyond > 0) {
        std::fprintf(out, "  clipped   0 samples (%" PRIu64 " beyond full scale kept by the float output)\n",
                     beyond);
    } else {
        std::fprintf(out, "  clipped   0 samples\n");
    }
    if (report.seconds > 0.0 && duration > 0.0) {
        std::fprintf(out, "  speed     %.4gx real time\n", duration / report.seconds);
    } else {
        std::fprintf(out, "  speed     -\n");
    }
}

}  // namespace klorfx
