// The --help and --version texts.
#pragma once

#include <cstdio>

namespace klorfx {

void printHelp(std::FILE* out);
void printVersion(std::FILE* out);

}  // namespace klorfx
