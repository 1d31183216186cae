// Where klor-fx looks for the plug-in module when --plugin is not given.
//
// The executable's own directory decides, so a build tree and an installed
// tree each find their own module:
//   installed   <prefix>/bin/klor-fx  ->  <bin-to-libdir>/libklor_distortion.so
//               (bin-to-libdir is fixed at configure time, e.g. "../lib")
//   build tree  <build>/tools/klor-fx ->  <build>/libklor_distortion.so
#pragma once

#include <string>
#include <vector>

namespace klorfx {

// The candidates for an executable living in `executableDir`, in the
// order they are tried.
std::vector<std::string> pluginCandidates(const std::string& executableDir);

// The first candidate that exists for the running executable; when none
// does, the installed location, so that the error names where it looked.
std::string defaultPluginPath();

}  // namespace klorfx
