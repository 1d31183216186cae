#include "shared_module.h"

#include <memory>
#include <mutex>
#include <vector>

namespace klor {
namespace lv2 {

namespace {

struct SharedLoad {
    std::string path;
    std::unique_ptr<klor::host::Plugin> module;
    int users;
};

std::mutex gLoadsLock;
std::vector<SharedLoad> gLoads;  // guarded by gLoadsLock; users >= 1 for each

}  // namespace

klor::host::Plugin* acquireModule(const std::string& path, std::string* error) {
    std::lock_guard<std::mutex> hold(gLoadsLock);
    for (SharedLoad& load : gLoads) {
        if (load.path == path) {
            ++load.users;
            return load.module.get();
        }
    }
    std::unique_ptr<klor::host::Plugin> module = klor::host::Plugin::load(path, error);
    if (!module) return nullptr;
    gLoads.push_back(SharedLoad{path, std::move(module), 1});
    return gLoads.back().module.get();
}

void releaseModule(klor::host::Plugin* module) {
    std::lock_guard<std::mutex> hold(gLoadsLock);
    for (auto it = gLoads.begin(); it != gLoads.end(); ++it) {
        if (it->module.get() != module) continue;
        if (--it->users == 0) gLoads.erase(it);
        return;
    }
}

}  // namespace lv2
}  // namespace klor
