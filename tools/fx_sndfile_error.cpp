#include "fx_sndfile_error.h"

namespace klorfx {

std::string sndfileError(SNDFILE* file) {
    std::string text = sf_strerror(file);
    const std::string prefix = "Error : ";
    if (text.compare(0, prefix.size(), prefix) == 0) text.erase(0, prefix.size());
    while (!text.empty() && (text.back() == '.' || text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

}  // namespace klorfx
