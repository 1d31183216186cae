// One klor-fx run over a file or a stream: open, process block by block,
// draw, finish, report.
#pragma once

#include "fx_options.h"
#include "fx_status.h"

namespace klorfx {

// Mode::Process and Mode::PlotOnly. The summary goes to standard output,
// or to standard error when the audio itself goes to standard output.
Status runFile(const Options& options);

}  // namespace klorfx
