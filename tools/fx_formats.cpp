#include "fx_formats.h"

#include <sndfile.h>

#include <algorithm>
#include <cctype>
#include <vector>

namespace klorfx {

namespace {

// A container klor-fx can name. `extensions` lists the file-name endings
// that select it; `subtype` is the encoding such an ending implies
// (".opus" is Ogg with Opus), or 0.
struct Container {
    const char* key;
    int major;
    std::vector<const char*> extensions;
    int subtype;
};

const std::vector<Container>& containers() {
    static const std::vector<Container> table = {
        {"wav", SF_FORMAT_WAV, {"wav", "wave"}, 0},
        {"wavex", SF_FORMAT_WAVEX, {}, 0},
        {"aiff", SF_FORMAT_AIFF, {"aiff", "aif", "aifc"}, 0},
        {"au", SF_FORMAT_AU, {"au", "snd"}, 0},
        {"caf", SF_FORMAT_CAF, {"caf"}, 0},
        {"flac", SF_FORMAT_FLAC, {"flac"}, 0},
        {"ogg", SF_FORMAT_OGG, {"ogg", "oga"}, 0},
        {"opus", SF_FORMAT_OGG, {"opus"}, SF_FORMAT_OPUS},
        {"w64", SF_FORMAT_W64, {"w64"}, 0},
        {"rf64", SF_FORMAT_RF64, {"rf64"}, 0},
        {"raw", SF_FORMAT_RAW, {"raw", "pcm"}, 0},
        {"mat4", SF_FORMAT_MAT4, {}, 0},
        {"mat5", SF_FORMAT_MAT5, {"mat"}, 0},
        {"paf", SF_FORMAT_PAF, {"paf"}, 0},
        {"svx", SF_FORMAT_SVX, {"svx", "8svx", "iff"}, 0},
        {"nist", SF_FORMAT_NIST, {"nist", "sph"}, 0},
        {"voc", SF_FORMAT_VOC, {"voc"}, 0},
        {"ircam", SF_FORMAT_IRCAM, {"sf", "ircam"}, 0},
        {"avr", SF_FORMAT_AVR, {"avr"}, 0},
        {"htk", SF_FORMAT_HTK, {"htk"}, 0},
        {"sds", SF_FORMAT_SDS, {"sds"}, 0},
        {"sd2", SF_FORMAT_SD2, {"sd2"}, 0},
        {"wve", SF_FORMAT_WVE, {"wve"}, 0},
        {"xi", SF_FORMAT_XI, {"xi"}, 0},
        {"mpc2k", SF_FORMAT_MPC2K, {}, 0},
        {"pvf", SF_FORMAT_PVF, {"pvf"}, 0},
        {"mpeg", SF_FORMAT_MPEG, {"mp3"}, SF_FORMAT_MPEG_LAYER_III},
    };
    return table;
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::vector<int> enumerate(int countCommand, int itemCommand) {
    int count = 0;
    sf_command(nullptr, countCommand, &count, sizeof count);
    std::vector<int> formats;
    for (int i = 0; i < count; ++i) {
        SF_FORMAT_INFO info = {};
        info.format = i;
        if (sf_command(nullptr, itemCommand, &info, sizeof info) == 0) formats.push_back(info.format);
    }
    return formats;
}

bool libraryHasMajor(int major) {
    static const std::vector<int> majors = enumerate(SFC_GET_FORMAT_MAJOR_COUNT, SFC_GET_FORMAT_MAJOR);
    return std::find(majors.begin(), majors.end(), major) != majors.end();
}

const std::vector<int>& librarySubtypes() {
    static const std::vector<int> subtypes =
        enumerate(SFC_GET_FORMAT_SUBTYPE_COUNT, SFC_GET_FORMAT_SUBTYPE);
    return subtypes;
}

const Container* byKey(const std::string& key) {
    const std::string wanted = lower(key);
    for (const Container& c : containers()) {
        if (wanted == c.key && libraryHasMajor(c.major)) return &c;
    }
    return nullptr;
}

const Container* byExtension(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return nullptr;
    const std::string extension = lower(path.substr(dot + 1));
    for (const Container& c : containers()) {
        for (const char* e : c.extensions) {
            if (extension == e && libraryHasMajor(c.major)) return &c;
        }
    }
    return nullptr;
}

std::string formatName(int command, int format) {
    SF_FORMAT_INFO info = {};
    info.format = format;
    if (sf_command(nullptr, command, &info, sizeof info) != 0 || info.name == nullptr) {
        return "format 0x" + std::to_string(format);
    }
    return info.name;
}

std::string containerName(int major) { return formatName(SFC_GET_FORMAT_INFO, major); }

bool writable(int format, const InputFormat& input) {
    SF_INFO info = {};
    info.format = format;
    info.samplerate = input.sampleRate;
    info.channels = input.channels;
    return sf_format_check(&info) != 0;
}

bool isFloatSubtype(int subtype) { return subtype == SF_FORMAT_FLOAT || subtype == SF_FORMAT_DOUBLE; }

}  // namespace

bool isIntegerSubtype(int format) {
    switch (format & SF_FORMAT_SUBMASK) {
        case SF_FORMAT_PCM_S8:
        case SF_FORMAT_PCM_U8:
        case SF_FORMAT_PCM_16:
        case SF_FORMAT_PCM_24:
        case SF_FORMAT_PCM_32:
            return true;
        default:
            return false;
    }
}

std::string describeFormat(int format) {
    return containerName(format & SF_FORMAT_TYPEMASK) + ", " +
           formatName(SFC_GET_FORMAT_INFO, format & SF_FORMAT_SUBMASK);
}

Status chooseOutputFormat(const InputFormat& input, const OutputRequest& request, int* format) {
    const int inputMajor = input.format & SF_FORMAT_TYPEMASK;
    const int inputSubtype = input.format & SF_FORMAT_SUBMASK;

    int major = inputMajor;
    int impliedSubtype = 0;
    if (!request.format.empty()) {
        const Container* c = byKey(request.format);
        if (c == nullptr) {
            return Status::failure(kExitUsage, "--format: '" + request.format +
                                                   "' is not a container this libsndfile writes "
                                                   "(see --list-formats)");
        }
        major = c->major;
        impliedSubtype = c->subtype;
    } else if (const Container* c = byExtension(request.path)) {
        major = c->major;
        impliedSubtype = c->subtype;
    }
    const int endian = major == inputMajor ? (input.format & SF_FORMAT_ENDMASK) : 0;
    const std::string where = containerName(major);

    std::vector<int> candidates;
    if (request.floatOutput) {
        candidates = {SF_FORMAT_FLOAT};
    } else if (request.bits == 8) {
        candidates = {SF_FORMAT_PCM_S8, SF_FORMAT_PCM_U8};
    } else if (request.bits == 16) {
        candidates = {SF_FORMAT_PCM_16};
    } else if (request.bits == 24) {
        candidates = {SF_FORMAT_PCM_24};
    } else if (request.bits == 32) {
        candidates = {SF_FORMAT_PCM_32};
    } else if (impliedSubtype != 0) {
        // ".opus" and "mp3" name the encoding too: that or nothing.
        candidates = {impliedSubtype};
    } else {
        // Keep what the input has; otherwise lose as little as possible:
        // float input prefers float, then the deepest integer PCM.
        candidates.push_back(inputSubtype);
        if (isFloatSubtype(inputSubtype)) {
            candidates.insert(candidates.end(), {SF_FORMAT_FLOAT, SF_FORMAT_DOUBLE, SF_FORMAT_PCM_24,
                                                 SF_FORMAT_PCM_32, SF_FORMAT_PCM_16});
        } else {
            candidates.insert(candidates.end(), {SF_FORMAT_PCM_24, SF_FORMAT_PCM_16, SF_FORMAT_FLOAT,
                                                 SF_FORMAT_PCM_32});
        }
        for (int subtype : librarySubtypes()) candidates.push_back(subtype);
    }

    for (int subtype : candidates) {
        if (writable(major | subtype | endian, input)) {
            *format = major | subtype | endian;
            return Status::success();
        }
        if (endian != 0 && writable(major | subtype, input)) {
            *format = major | subtype;
            return Status::success();
        }
    }

    if (request.floatOutput) {
        return Status::failure(kExitOutput, "--float: " + where + " cannot hold 32-bit float samples");
    }
    if (request.bits != 0) {
        return Status::failure(kExitOutput, "--bits " + std::to_string(request.bits) + ": " + where +
                                                " cannot hold " + std::to_string(request.bits) +
                                                "-bit integer samples");
    }
    const std::string encoding =
        impliedSubtype != 0 ? " with " + formatName(SFC_GET_FORMAT_INFO, impliedSubtype) : "";
    return Status::failure(kExitOutput, where + encoding + " cannot hold " + std::to_string(input.channels) +
                                            " channels at " + std::to_string(input.sampleRate) + " Hz");
}

void listFormats(std::FILE* out) {
    std::fprintf(out, "%-8s %-24s %s\n", "--format", "extensions", "container: encodings");
    for (const Container& c : containers()) {
        if (!libraryHasMajor(c.major)) continue;
        std::string extensions;
        for (const char* e : c.extensions) extensions += (extensions.empty() ? "." : " .") + std::string(e);
        std::string encodings;
        for (int subtype : librarySubtypes()) {
            if (c.subtype != 0 && subtype != c.subtype) continue;
            InputFormat probe;
            probe.channels = 1;
            probe.sampleRate = 48000;
            if (!writable(c.major | subtype, probe)) continue;
            encodings += (encodings.empty() ? "" : ", ") + formatName(SFC_GET_FORMAT_INFO, subtype);
        }
        std::fprintf(out, "%-8s %-24s %s: %s\n", c.key, extensions.empty() ? "-" : extensions.c_str(),
                     containerName(c.major).c_str(), encodings.c_str());
    }
}

}  // namespace klorfx
