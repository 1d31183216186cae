#include "fx_effect.h"

#include <cstring>

namespace klorfx {

Status EffectModule::load(const std::string& path, bool defaultPath, std::unique_ptr<EffectModule>* out) {
    std::string error;
    std::unique_ptr<klor::host::Plugin> plugin = klor::host::Plugin::load(path, &error);
    if (!plugin) {
        // The host's text and the loader's both start with the path; the
        // message names it once, up front.
        const std::string prefix = path + ": ";
        for (size_t at = error.find(prefix); at != std::string::npos; at = error.find(prefix)) {
            error.erase(at, prefix.size());
        }
        return Status::failure(kExitPlugin, "cannot load the plug-in '" + path + "': " + error +
                                                (defaultPath ? " (give its path with --plugin)" : ""));
    }
    out->reset(new EffectModule());
    (*out)->plugin_ = std::move(plugin);
    return Status::success();
}

Status EffectModule::makeRunner(float level, uint16_t mask, std::unique_ptr<EffectRunner>* out) {
    KLOR_RESULT result = KLOR_OK;
    std::unique_ptr<klor::host::Instance> instance = klor::host::Instance::create(*plugin_, &result);
    if (!instance) {
        return Status::failure(kExitPlugin, "the plug-in could not create an instance (result " +
                                                std::to_string(result) + ")");
    }
    instance->setChannelMask(mask);
    std::unique_ptr<EffectRunner> runner(new EffectRunner(std::move(instance)));
    const Status status = runner->setLevel(level);
    if (!status.ok()) return status;
    *out = std::move(runner);
    return Status::success();
}

Status EffectRunner::setLevel(float level) {
    const KLOR_RESULT result = instance_->setParameter(0, level);
    if (result != KLOR_OK) {
        return Status::failure(kExitPlugin, "the plug-in refused the level (result " +
                                                std::to_string(result) + ")");
    }
    return Status::success();
}

Status EffectRunner::process(const float* in, float* out, unsigned frames, int channels, float mix) {
    const size_t samples = static_cast<size_t>(frames) * static_cast<size_t>(channels);
    if (mix == 0.0f) {
        if (in != out) std::memcpy(out, in, samples * sizeof(float));
        return Status::success();
    }
    float* wet = out;
    if (mix != 1.0f) {
        if (wet_.size() < samples) wet_.resize(samples);
        wet = wet_.data();
    }
    const KLOR_RESULT result = instance_->process(in, wet, frames, channels);
    if (result != KLOR_OK) {
        return Status::failure(kExitFailure, "the effect refused a block (result " +
                                                 std::to_string(result) + ")");
    }
    if (mix != 1.0f) {
        const float dry = 1.0f - mix;
        for (size_t i = 0; i < samples; ++i) out[i] = dry * in[i] + mix * wet[i];
    }
    return Status::success();
}

}  // namespace klorfx
