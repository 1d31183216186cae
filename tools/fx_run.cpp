#include "fx_run.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

#include "fx_audio_sink.h"
#include "fx_audio_source.h"
#include "fx_effect.h"
#include "fx_formats.h"
#include "fx_plot_data.h"
#include "fx_plugin_path.h"
#include "fx_progress.h"
#include "fx_summary.h"

namespace klorfx {

namespace {

std::string baseName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string afterLabel(const Options& o) {
    char text[80];
    if (o.mix == 1.0f) {
        std::snprintf(text, sizeof text, "after: level %.2f", static_cast<double>(o.level));
    } else {
        std::snprintf(text, sizeof text, "after: level %.2f, mix %.2f", static_cast<double>(o.level),
                      static_cast<double>(o.mix));
    }
    return text;
}

Status openSink(const Options& o, const StreamInfo& input, std::unique_ptr<AudioSink>* sink) {
    if (o.mode == Mode::PlotOnly) {
        *sink = openNullSink(input.channels, input.sampleRate);
        return Status::success();
    }
    if (o.output == kStdStream) {
        *sink = openStdoutSink(input.channels, input.sampleRate);
        return Status::success();
    }
    InputFormat in;
    in.format = input.format;
    in.channels = input.channels;
    in.sampleRate = input.sampleRate;
    OutputRequest request;
    request.path = o.output;
    request.format = o.format;
    request.bits = o.bits;
    request.floatOutput = o.floatOutput;
    int format = 0;
    const Status status = chooseOutputFormat(in, request, &format);
    if (!status.ok()) return status;
    return openFileSink(o.output, format, input.channels, input.sampleRate, sink);
}

}  // namespace

Status runFile(const Options& o) {
    const auto started = std::chrono::steady_clock::now();
    Status status;

    std::unique_ptr<AudioSource> source;
    if (!o.input.empty()) {
        status = openSource(o.input, o.raw, o.rawChannels, o.rawRate, &source);
        if (!status.ok()) return status;
    }

    std::unique_ptr<EffectModule> module;
    status = EffectModule::load(o.plugin.empty() ? defaultPluginPath() : o.plugin, o.plugin.empty(), &module);
    if (!status.ok()) return status;

    PlotData plot;
    if (!o.plotPath.empty()) {
        status = sampleTransferCurves(*module, o.level, &plot);
        if (!status.ok()) return status;
    }
    if (!source) return writePlot(o.plotPath, plot);

    const StreamInfo input = source->info();
    std::unique_ptr<EffectRunner> runner;
    status = module->makeRunner(o.level, o.mask, &runner);
    if (!status.ok()) return status;
    std::unique_ptr<AudioSink> sink;
    status = openSink(o, input, &sink);
    if (!status.ok()) return status;

    const size_t blockSamples = static_cast<size_t>(o.block) * static_cast<size_t>(input.channels);
    std::vector<float> in(blockSamples), out(blockSamples);
    WaveformCapture capture(input.channels, input.sampleRate, o.mask);
    RunReport report;
    Progress progress(o.quiet, input.frames, input.sampleRate);

    for (;;) {
        if (o.mode == Mode::PlotOnly && capture.full()) break;
        size_t frames = 0;
        status = source->read(in.data(), o.block, &frames);
        if (!status.ok()) return status;
        if (frames == 0) break;
        const size_t samples = frames * static_cast<size_t>(input.channels);
        status = runner->process(in.data(), out.data(), static_cast<unsigned>(frames), input.channels, o.mix);
        if (!status.ok()) return status;
        report.in.add(in.data(), samples);
        report.out.add(out.data(), samples);
        if (!capture.full()) capture.add(in.data(), out.data(), frames);
        status = sink->write(out.data(), frames);
        if (!status.ok()) return status;
        report.frames += static_cast<int64_t>(frames);
        progress.update(report.frames);
    }
    progress.finish();

    // The picture first: if it fails, the audio output is discarded too,
    // so an error never leaves a run half done.
    if (!o.plotPath.empty()) {
        capture.moveInto(&plot, o.input == kStdStream ? "standard input" : baseName(o.input), afterLabel(o));
        status = writePlot(o.plotPath, plot);
        if (!status.ok()) return status;
    }
    status = sink->finish();
    if (!status.ok()) return status;

    if (!o.quiet && o.mode == Mode::Process) {
        report.input = input;
        report.output = sink->info();
        report.outputClips = sink->clips();
        report.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        std::FILE* out = o.output == kStdStream ? stderr : stdout;
        printSummary(out, o, report);
        std::fflush(out);
    }
    return Status::success();
}

}  // namespace klorfx
