#include "fx_demo.h"

#include <sndfile.h>
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "fx_audio_sink.h"
#include "fx_effect.h"
#include "fx_plot_data.h"
#include "fx_plugin_path.h"
#include "fx_signal_stats.h"

namespace klorfx {

namespace {

constexpr int kDemoFormat = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
constexpr char kPictureName[] = "klor-demo.png";
constexpr char kInputName[] = "demo-input.wav";

std::string levelFileName(float level) {
    char name[64];
    std::snprintf(name, sizeof name, "demo-level-%.2f.wav", static_cast<double>(level));
    return name;
}

Status writeWav(const std::string& path, const std::vector<float>& samples) {
    std::unique_ptr<AudioSink> sink;
    Status status = openFileSink(path, kDemoFormat, kDemoChannels, kDemoRate, &sink);
    if (!status.ok()) return status;
    status = sink->write(samples.data(), samples.size() / kDemoChannels);
    if (!status.ok()) return status;
    return sink->finish();
}

Status makeDirectory(const std::string& path) {
    if (mkdir(path.c_str(), 0777) == 0 || errno == EEXIST) {
        struct stat st;
        if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return Status::success();
        return Status::failure(kExitOutput, "'" + path + "' exists and is not a directory");
    }
    return Status::failure(kExitOutput, "cannot create '" + path + "': " + std::strerror(errno));
}

std::string decibels(double amplitude) {
    char text[32];
    const double db = toDecibels(amplitude);
    if (std::isinf(db)) return "-inf";
    // Rounds to two decimals without printing "-0.00" for a hair below 0 dB.
    std::snprintf(text, sizeof text, "%.2f", std::fabs(db) < 0.005 ? 0.0 : db);
    return text;
}

}  // namespace

std::vector<float> demoSignal() {
    const size_t frames = static_cast<size_t>(kDemoSeconds * kDemoRate);
    std::vector<float> samples(frames * kDemoChannels);
    const double notes[] = {55.0, 65.41, 82.41, 110.0};
    const double noteSeconds = 0.5, attack = 0.005, decay = 0.35, pluckPeak = 0.8;
    const double sweepHz = 220.0, sweepPeak = 0.9;
    for (size_t f = 0; f < frames; ++f) {
        const double t = static_cast<double>(f) / kDemoRate;
        const size_t note = static_cast<size_t>(t / noteSeconds);
        const double local = t - static_cast<double>(note) * noteSeconds;
        const double hz = notes[note % 4];
        const double envelope = std::min(1.0, local / attack) * std::exp(-local / decay);
        // The three harmonics together peak near 1.5, hence the division.
        const double tone = std::sin(2 * M_PI * hz * local) + 0.5 * std::sin(4 * M_PI * hz * local) +
                            (1.0 / 3.0) * std::sin(6 * M_PI * hz * local);
        samples[f * 2] = static_cast<float>(pluckPeak * envelope * tone / 1.5);
        samples[f * 2 + 1] = static_cast<float>(sweepPeak * (t / kDemoSeconds) * std::sin(2 * M_PI * sweepHz * t));
    }
    return samples;
}

Status runDemo(const Options& o) {
    Status status = makeDirectory(o.outDir);
    if (!status.ok()) return status;
    std::unique_ptr<EffectModule> module;
    status = EffectModule::load(o.plugin.empty() ? defaultPluginPath() : o.plugin, o.plugin.empty(), &module);
    if (!status.ok()) return status;

    const std::vector<float> input = demoSignal();
    const size_t frames = input.size() / kDemoChannels;
    SignalStats inStats;
    inStats.add(input.data(), input.size());
    status = writeWav(o.outDir + "/" + kInputName, input);
    if (!status.ok()) return status;

    std::vector<float> levels(std::begin(kReferenceLevels), std::end(kReferenceLevels));
    bool listed = false;
    for (float level : levels) listed = listed || level == o.level;
    if (!listed) levels.push_back(o.level);

    std::printf("KLOR Distortion demo: %.1f s of a test signal (plucked notes | rising sine), "
                "%d ch, %d Hz\n", kDemoSeconds, kDemoChannels, kDemoRate);
    std::printf("plug-in: %s\n\n", module->path().c_str());
    std::printf("  level | peak in  rms in | peak out  rms out | file\n");
    std::printf("        |     (dBFS)      |      (dBFS)       |\n");
    std::printf("  ------+-----------------+-------------------+--------------------\n");

    PlotData plot;
    WaveformCapture capture(kDemoChannels, kDemoRate, o.mask);
    std::vector<float> output(input.size());
    for (float level : levels) {
        std::unique_ptr<EffectRunner> runner;
        status = module->makeRunner(level, o.mask, &runner);
        if (!status.ok()) return status;
        for (size_t start = 0; start < frames; start += o.block) {
            const size_t n = std::min<size_t>(o.block, frames - start);
            status = runner->process(&input[start * kDemoChannels], &output[start * kDemoChannels],
                                     static_cast<unsigned>(n), kDemoChannels, o.mix);
            if (!status.ok()) return status;
        }
        if (level == o.level) capture.add(input.data(), output.data(), frames);
        SignalStats outStats;
        outStats.add(output.data(), output.size());
        const std::string name = levelFileName(level);
        status = writeWav(o.outDir + "/" + name, output);
        if (!status.ok()) return status;
        std::printf("  %5.2f | %7s %7s | %8s %8s | %s\n", static_cast<double>(level),
                    decibels(inStats.peak()).c_str(), decibels(inStats.rms()).c_str(),
                    decibels(outStats.peak()).c_str(), decibels(outStats.rms()).c_str(), name.c_str());
    }

    status = sampleTransferCurves(*module, o.level, &plot);
    if (!status.ok()) return status;
    char label[64];
    std::snprintf(label, sizeof label, "after: level %.2f", static_cast<double>(o.level));
    capture.moveInto(&plot, kInputName, label);
    const std::string picture = o.outDir + "/" + kPictureName;
    status = writePlot(picture, plot);
    if (!status.ok()) return status;

    std::printf("\nWrote %zu WAV files (16-bit, the input and one per level) to %s/\n", levels.size() + 1,
                o.outDir.c_str());
    std::printf("Picture: %s (transfer curves, and the first %.0f ms of channel %d before and after "
                "level %.2f)\n",
                picture.c_str(), kWaveformSeconds * 1000.0, plot.channel + 1, static_cast<double>(o.level));
    return Status::success();
}

}  // namespace klorfx
