#include "fx_audio_source.h"

#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "fx_options.h"
#include "fx_sndfile_error.h"

namespace klorfx {

namespace {

class SndfileSource : public AudioSource {
public:
    SndfileSource(SNDFILE* file, StreamInfo info) : file_(file) { info_ = std::move(info); }
    ~SndfileSource() override { sf_close(file_); }

    Status read(float* buffer, size_t frames, size_t* got) override {
        const sf_count_t n = sf_readf_float(file_, buffer, static_cast<sf_count_t>(frames));
        if (sf_error(file_) != SF_ERR_NO_ERROR) {
            return Status::failure(kExitFailure, "read error in '" + info_.name + "': " + sndfileError(file_));
        }
        *got = n < 0 ? 0 : static_cast<size_t>(n);
        return Status::success();
    }

private:
    SNDFILE* file_;
};

// Raw native-endian floats from standard input. A pipe may deliver any
// number of bytes per read, so the bytes of a frame split across reads are
// kept until the frame is whole.
class StdinSource : public AudioSource {
public:
    StdinSource(int channels, int rate) {
        info_.name = "standard input";
        info_.channels = channels;
        info_.sampleRate = rate;
        info_.frames = -1;
        info_.format = SF_FORMAT_RAW | SF_FORMAT_FLOAT;
    }

    Status read(float* buffer, size_t frames, size_t* got) override {
        const size_t frameBytes = sizeof(float) * static_cast<size_t>(info_.channels);
        const size_t wanted = frames * frameBytes;
        unsigned char* bytes = reinterpret_cast<unsigned char*>(buffer);
        size_t have = 0;
        while (have < wanted) {
            const size_t n = std::fread(bytes + have, 1, wanted - have, stdin);
            have += n;
            if (n == 0) break;
        }
        if (std::ferror(stdin)) {
            return Status::failure(kExitFailure, std::string("read error on standard input: ") +
                                                     std::strerror(errno));
        }
        if (have % frameBytes != 0) {
            return Status::failure(kExitInput, "standard input ended inside a frame (" +
                                                   std::to_string(have % frameBytes) +
                                                   " bytes left over; is --raw right?)");
        }
        *got = have / frameBytes;
        return Status::success();
    }
};

}  // namespace

Status openSource(const std::string& path, bool raw, int rawChannels, int rawRate,
                  std::unique_ptr<AudioSource>* out) {
    if (path == kStdStream) {
        out->reset(new StdinSource(rawChannels, rawRate));
        return Status::success();
    }

    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        return Status::failure(kExitInput, "cannot open '" + path + "': " + std::strerror(errno));
    }
    if (S_ISDIR(st.st_mode)) return Status::failure(kExitInput, "'" + path + "' is a directory");

    SF_INFO info = {};
    if (raw) {
        info.format = SF_FORMAT_RAW | SF_FORMAT_FLOAT | SF_ENDIAN_CPU;
        info.channels = rawChannels;
        info.samplerate = rawRate;
    }
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        const std::string why = sndfileError(nullptr);
        if (access(path.c_str(), R_OK) != 0) {
            return Status::failure(kExitInput, "cannot open '" + path + "': " + std::strerror(errno));
        }
        return Status::failure(kExitInput, "'" + path + "' is not in an audio format libsndfile reads (" +
                                               why + ")");
    }
    if (info.channels < 1 || info.channels > kMaxChannels) {
        sf_close(file);
        return Status::failure(kExitInput, "'" + path + "' has " + std::to_string(info.channels) +
                                               " channels; klor-fx handles 1 to " +
                                               std::to_string(kMaxChannels));
    }

    StreamInfo stream;
    stream.name = path;
    stream.channels = info.channels;
    stream.sampleRate = info.samplerate;
    stream.frames = info.frames;
    stream.format = info.format;
    out->reset(new SndfileSource(file, stream));
    return Status::success();
}

}  // namespace klorfx
