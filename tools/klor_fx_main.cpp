// klor-fx: runs audio files through KLOR Distortion via the reference host.
// See --help or klor-fx(1).
#include <cstdio>

#include "fx_demo.h"
#include "fx_formats.h"
#include "fx_options.h"
#include "fx_pending_file.h"
#include "fx_plot.h"
#include "fx_run.h"
#include "fx_usage.h"

int main(int argc, char** argv) {
    using namespace klorfx;
    Options options;
    Status status = parseOptions(argc, argv, &options);
    if (status.ok()) {
        installInterruptCleanup();
        switch (options.mode) {
            case Mode::Help: printHelp(stdout); break;
            case Mode::Version: printVersion(stdout); break;
            case Mode::ListFormats: listFormats(stdout); break;
            case Mode::Demo: status = runDemo(options); break;
            case Mode::Process:
            case Mode::PlotOnly: status = runFile(options); break;
        }
    }
    releasePlotCaches();
    if (!status.ok()) {
        std::fflush(stdout);
        std::fprintf(stderr, "klor-fx: %s\n", status.message.c_str());
    }
    return status.exitCode;
}
