// libsndfile's error text, trimmed to fit inside one klor-fx message: its
// texts may start with "Error : " and end with a full stop.
#pragma once

#include <sndfile.h>

#include <string>

namespace klorfx {

// The last error of `file`, or of the last failed sf_open when null.
std::string sndfileError(SNDFILE* file);

}  // namespace klorfx
