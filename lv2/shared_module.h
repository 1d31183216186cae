// One load of the KLOR plug-in module per path, shared by every wrapper
// instance in the process.
//
// The module keeps one pointer to the host's Global record (KLOR::gGlobal),
// which every create overwrites with that instance's record. Sharing one
// load, and so one Global, among all instances keeps that pointer valid for
// as long as any instance lives; the last release unloads the module.
//
// Instantiation-class calls only: both take a lock and may allocate.
#pragma once

#include <string>

#include "klor_host.h"

namespace klor {
namespace lv2 {

// Loads the module at `path`, or takes another reference to the load made
// earlier. Null on failure, with the reason in *error.
klor::host::Plugin* acquireModule(const std::string& path, std::string* error);

// Gives back one reference taken by acquireModule.
void releaseModule(klor::host::Plugin* module);

}  // namespace lv2
}  // namespace klor
