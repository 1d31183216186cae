// Load the plug-in, create an instance, process one buffer in place.
#include <klor/klor_host.h>

#include <cstdio>

int main(int argc, char** argv) {
    std::string error;
    auto plugin = klor::host::Plugin::load(argc > 1 ? argv[1] : KLOR_PLUGIN_FILE, &error);
    if (!plugin) return std::fprintf(stderr, "%s\n", error.c_str()), 1;
    auto effect = klor::host::Instance::create(*plugin, nullptr);
    if (!effect) return 1;
    effect->setParameter(0, 0.5f);  // level
    float block[4] = {0.5f, -0.25f, 1.0f, 0.0f};
    effect->process(block, block, 4, 1);  // 4 frames, 1 channel
    for (float sample : block) std::printf("%g\n", sample);
}
