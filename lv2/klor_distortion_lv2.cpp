// The LV2 face of KLOR Distortion: a wrapper module that loads the KLOR
// plug-in module shipped inside the same bundle and drives it through its
// entry point and callbacks, as the reference host does.
//
// Ports (indices are fixed by klor-distortion.ttl):
//
//   index  symbol   kind
//   -----  -------  ---------------------------------------------------
//       0  in_l     audio in, left
//       1  in_r     audio in, right
//       2  out_l    audio out, left
//       3  out_r    audio out, right
//       4  level    control in, "Level", 0..1, default 0.5
//       5  enabled  control in, lv2:enabled (0 = bypass), default 1
//
// Data path of one chunk (at most chunkFrames frames):
//
//   in_l, in_r --interleave--> dry[2n] --read callback--> wet[2n]
//   dry, wet --crossfade (bypass)--> out_l, out_r
//
// Every input sample of a chunk is read into `dry` before any output sample
// is written, so the host may hand the same buffer for any input and output.
#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/core/lv2.h>
#include <lv2/log/log.h>
#include <lv2/log/logger.h>
#include <lv2/options/options.h>
#include <lv2/urid/urid.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "bypass_fade.h"
#include "klor_host.h"
#include "level_ramp.h"
#include "shared_module.h"

namespace klor {
namespace lv2 {
namespace {

constexpr char kPluginUri[] = KLOR_LV2_URI;
constexpr char kModuleFile[] = "libklor_distortion.so";

enum PortIndex : uint32_t {
    kInLeft = 0,
    kInRight = 1,
    kOutLeft = 2,
    kOutRight = 3,
    kLevelPort = 4,
    kEnabledPort = 5,
};

constexpr int kChannels = 2;
constexpr float kDefaultLevel = 0.5f;
// Chunk length when the host states no maximum block length; a stated
// maximum above kLargestChunkFrames is also served in chunks of that size.
constexpr uint32_t kDefaultChunkFrames = 512;
constexpr uint32_t kLargestChunkFrames = 16384;

struct Wrapper {
    const float* inputs[kChannels] = {nullptr, nullptr};
    float* outputs[kChannels] = {nullptr, nullptr};
    const float* levelPort = nullptr;
    const float* enabledPort = nullptr;

    klor::host::Plugin* module = nullptr;  // shared load, see shared_module.h
    std::unique_ptr<klor::host::Instance> effect;

    uint32_t chunkFrames = kDefaultChunkFrames;
    std::unique_ptr<float[]> dry;  // chunkFrames * kChannels, interleaved
    std::unique_ptr<float[]> wet;  // chunkFrames * kChannels, interleaved

    LevelRamp ramp;
    BypassFade fade;
    float appliedLevel = NAN;    // last level handed to the effect; NaN = none yet
    bool startOfStream = true;   // next run snaps to the ports instead of ramping

    ~Wrapper() {
        effect.reset();  // released before the module it came from
        if (module != nullptr) releaseModule(module);
    }
};

// The host's level, kept inside the port's declared range: the effect itself
// takes any value (a negative level can make it output infinities), so a
// careful host clamps. NaN keeps the level already asked for.
float requestedLevel(const Wrapper& w) {
    if (w.levelPort == nullptr) return w.ramp.target();
    const float value = *w.levelPort;
    if (std::isnan(value)) return w.ramp.target();
    return std::min(1.0f, std::max(0.0f, value));
}

// lv2:enabled is a toggle: 0 bypasses, 1 processes. NaN keeps the state.
bool requestedEnabled(const Wrapper& w) {
    if (w.enabledPort == nullptr) return true;
    const float value = *w.enabledPort;
    if (std::isnan(value)) return w.fade.enabled();
    return value >= 0.5f;
}

// The host's maximum block length from the options feature, or 0.
uint32_t statedMaxBlockLength(const LV2_Options_Option* options, LV2_URID_Map* map) {
    if (options == nullptr || map == nullptr) return 0;
    const LV2_URID maxBlock = map->map(map->handle, LV2_BUF_SIZE__maxBlockLength);
    const LV2_URID atomInt = map->map(map->handle, LV2_ATOM__Int);
    const LV2_URID atomLong = map->map(map->handle, LV2_ATOM__Long);
    for (const LV2_Options_Option* o = options; o->key != 0 || o->value != nullptr; ++o) {
        if (o->key != maxBlock || o->value == nullptr) continue;
        if (o->type == atomInt && o->size == sizeof(int32_t)) {
            const int32_t v = *static_cast<const int32_t*>(o->value);
            return v > 0 ? static_cast<uint32_t>(v) : 0;
        }
        if (o->type == atomLong && o->size == sizeof(int64_t)) {
            const int64_t v = *static_cast<const int64_t*>(o->value);
            return v > 0 ? static_cast<uint32_t>(std::min<int64_t>(v, UINT32_MAX)) : 0;
        }
    }
    return 0;
}

std::string moduleInBundle(const char* bundlePath) {
    std::string path = bundlePath != nullptr ? bundlePath : "";
    if (!path.empty() && path.back() != '/') path += '/';
    return path + kModuleFile;
}

// Instantiation class: may allocate, lock and load.
LV2_Handle instantiate(const LV2_Descriptor*, double sampleRate, const char* bundlePath,
                       const LV2_Feature* const* features) {
    LV2_URID_Map* map = nullptr;
    LV2_Log_Log* log = nullptr;
    const LV2_Options_Option* options = nullptr;
    for (int i = 0; features != nullptr && features[i] != nullptr; ++i) {
        const LV2_Feature* f = features[i];
        if (std::strcmp(f->URI, LV2_URID__map) == 0) map = static_cast<LV2_URID_Map*>(f->data);
        if (std::strcmp(f->URI, LV2_LOG__log) == 0) log = static_cast<LV2_Log_Log*>(f->data);
        if (std::strcmp(f->URI, LV2_OPTIONS__options) == 0)
            options = static_cast<const LV2_Options_Option*>(f->data);
    }
    LV2_Log_Logger logger;
    lv2_log_logger_init(&logger, map, log);

    if (!(sampleRate > 0.0) || !std::isfinite(sampleRate)) {
        lv2_log_error(&logger, "KLOR Distortion: unusable sample rate %f\n", sampleRate);
        return nullptr;
    }

    std::unique_ptr<Wrapper> w(new (std::nothrow) Wrapper());
    if (!w) return nullptr;

    const uint32_t stated = statedMaxBlockLength(options, map);
    w->chunkFrames = stated > 0 ? std::min(stated, kLargestChunkFrames) : kDefaultChunkFrames;
    const size_t samples = static_cast<size_t>(w->chunkFrames) * kChannels;
    w->dry.reset(new (std::nothrow) float[samples]());
    w->wet.reset(new (std::nothrow) float[samples]());
    if (!w->dry || !w->wet) {
        lv2_log_error(&logger, "KLOR Distortion: no memory for %u-frame buffers\n", w->chunkFrames);
        return nullptr;
    }

    std::string error;
    w->module = acquireModule(moduleInBundle(bundlePath), &error);
    if (w->module == nullptr) {
        lv2_log_error(&logger, "KLOR Distortion: %s\n", error.c_str());
        return nullptr;
    }
    KLOR_RESULT created = KLOR_OK;
    w->effect = klor::host::Instance::create(*w->module, &created);
    if (!w->effect) {
        lv2_log_error(&logger, "KLOR Distortion: create failed with result %d\n",
                      static_cast<int>(created));
        return nullptr;
    }

    w->ramp = LevelRamp(rampSteps(sampleRate));
    w->fade = BypassFade(fadeFrames(sampleRate));
    w->ramp.snap(kDefaultLevel);
    w->fade.snap(true);
    return w.release();
}

// Audio class (any thread the host runs audio on); only stores the pointer.
void connectPort(LV2_Handle handle, uint32_t port, void* data) {
    Wrapper* w = static_cast<Wrapper*>(handle);
    switch (port) {
        case kInLeft: w->inputs[0] = static_cast<const float*>(data); break;
        case kInRight: w->inputs[1] = static_cast<const float*>(data); break;
        case kOutLeft: w->outputs[0] = static_cast<float*>(data); break;
        case kOutRight: w->outputs[1] = static_cast<float*>(data); break;
        case kLevelPort: w->levelPort = static_cast<const float*>(data); break;
        case kEnabledPort: w->enabledPort = static_cast<const float*>(data); break;
        default: break;
    }
}

// Instantiation class: the next run starts a fresh stream, with no ramp or
// crossfade from whatever the ports said before.
void activate(LV2_Handle handle) {
    Wrapper* w = static_cast<Wrapper*>(handle);
    w->effect->reset();
    w->startOfStream = true;
}

// One chunk of at most chunkFrames frames that share one level.
void processChunk(Wrapper& w, uint32_t offset, uint32_t frames) {
    float* dry = w.dry.get();
    float* wet = w.wet.get();
    const float* inL = w.inputs[0] + offset;
    const float* inR = w.inputs[1] + offset;
    for (uint32_t f = 0; f < frames; ++f) {
        dry[2 * f] = inL[f];
        dry[2 * f + 1] = inR[f];
    }

    float* outL = w.outputs[0] + offset;
    float* outR = w.outputs[1] + offset;
    if (w.fade.fullyBypassed()) {
        for (uint32_t f = 0; f < frames; ++f) {
            outL[f] = dry[2 * f];
            outR[f] = dry[2 * f + 1];
        }
        return;
    }

    const float level = w.ramp.level();
    if (!(level == w.appliedLevel)) {
        w.effect->setParameter(0, level);
        w.appliedLevel = level;
    }
    w.effect->process(dry, wet, frames, kChannels);

    if (w.fade.fullyEnabled()) {
        for (uint32_t f = 0; f < frames; ++f) {
            outL[f] = wet[2 * f];
            outR[f] = wet[2 * f + 1];
        }
        return;
    }
    for (uint32_t f = 0; f < frames; ++f) {
        const float g = w.fade.nextGain();
        outL[f] = crossfade(dry[2 * f], wet[2 * f], g);
        outR[f] = crossfade(dry[2 * f + 1], wet[2 * f + 1], g);
    }
}

// Audio class. Allocates nothing, takes no lock, calls no system service;
// inputs and outputs may share buffers; any frame count, 1 included.
void run(LV2_Handle handle, uint32_t frames) {
    Wrapper* w = static_cast<Wrapper*>(handle);
    if (w->inputs[0] == nullptr || w->inputs[1] == nullptr || w->outputs[0] == nullptr ||
        w->outputs[1] == nullptr) {
        return;
    }
    const float level = requestedLevel(*w);
    const bool enabled = requestedEnabled(*w);
    if (w->startOfStream) {
        w->ramp.snap(level);
        w->fade.snap(enabled);
        w->startOfStream = false;
    } else {
        w->ramp.retarget(level);
        w->fade.setEnabled(enabled);
    }

    uint32_t done = 0;
    while (done < frames) {
        const uint32_t n = std::min({frames - done, w->chunkFrames, w->ramp.framesHeld()});
        processChunk(*w, done, n);
        w->ramp.advance(n);
        done += n;
    }
}

// Instantiation class: nothing to stop, the effect keeps no stream state.
void deactivate(LV2_Handle) {}

// Instantiation class: releases the effect, then this instance's share of
// the module.
void cleanup(LV2_Handle handle) { delete static_cast<Wrapper*>(handle); }

// Discovery class: no extension interfaces.
const void* extensionData(const char*) { return nullptr; }

const LV2_Descriptor kDescriptor = {
    kPluginUri, instantiate, connectPort, activate, run, deactivate, cleanup, extensionData,
};

}  // namespace
}  // namespace lv2
}  // namespace klor

// The bundle's one exported symbol.
extern "C" LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index) {
    return index == 0 ? &klor::lv2::kDescriptor : nullptr;
}
