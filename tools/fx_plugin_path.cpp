#include "fx_plugin_path.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>

#ifndef KLOR_FX_BIN_TO_LIBDIR
#error "KLOR_FX_BIN_TO_LIBDIR must name the library directory relative to the executable's"
#endif
#ifndef KLOR_FX_MODULE_NAME
#error "KLOR_FX_MODULE_NAME must name the plug-in module file"
#endif

namespace klorfx {

namespace {

std::string executableDirectory() {
    char buffer[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return ".";
    const std::string path(buffer, static_cast<size_t>(n));
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

}  // namespace

std::vector<std::string> pluginCandidates(const std::string& executableDir) {
    const std::string libdir = KLOR_FX_BIN_TO_LIBDIR;
    const std::string installed =
        (!libdir.empty() && libdir[0] == '/' ? libdir : executableDir + "/" + libdir) + "/" +
        KLOR_FX_MODULE_NAME;
    return {installed, executableDir + "/../" KLOR_FX_MODULE_NAME};
}

std::string defaultPluginPath() {
    const std::vector<std::string> candidates = pluginCandidates(executableDirectory());
    for (const std::string& candidate : candidates) {
        char resolved[PATH_MAX];
        if (access(candidate.c_str(), R_OK) == 0) {
            return realpath(candidate.c_str(), resolved) != nullptr ? resolved : candidate;
        }
    }
    return candidates.front();
}

}  // namespace klorfx
