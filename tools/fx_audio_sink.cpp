#include "fx_audio_sink.h"

#include <sndfile.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "fx_pending_file.h"
#include "fx_sndfile_error.h"

namespace klorfx {

namespace {

bool storesBeyondFullScale(int format) {
    switch (format & SF_FORMAT_SUBMASK) {
        case SF_FORMAT_FLOAT:
        case SF_FORMAT_DOUBLE:
        case SF_FORMAT_VORBIS:
        case SF_FORMAT_OPUS:
            return true;
        default:
            return false;
    }
}

class FileSink : public AudioSink {
public:
    FileSink(std::unique_ptr<PendingFile> pending, SNDFILE* file, StreamInfo info)
        : pending_(std::move(pending)), file_(file) {
        info_ = std::move(info);
        clips_ = !storesBeyondFullScale(info_.format);
    }
    ~FileSink() override {
        if (file_ != nullptr) sf_close(file_);
    }

    Status write(const float* frames, size_t count) override {
        const sf_count_t n = sf_writef_float(file_, frames, static_cast<sf_count_t>(count));
        if (n != static_cast<sf_count_t>(count)) {
            return Status::failure(kExitFailure, "write error in '" + info_.name + "': " + sndfileError(file_));
        }
        info_.frames += n;
        return Status::success();
    }

    Status finish() override {
        const int closed = sf_close(file_);
        file_ = nullptr;
        if (closed != 0) {
            return Status::failure(kExitFailure, "write error in '" + info_.name + "': " +
                                                     sf_error_number(closed));
        }
        return pending_->commit();
    }

private:
    std::unique_ptr<PendingFile> pending_;
    SNDFILE* file_;
};

class StdoutSink : public AudioSink {
public:
    StdoutSink(int channels, int rate) {
        info_.name = "standard output";
        info_.channels = channels;
        info_.sampleRate = rate;
        info_.frames = 0;
        info_.format = SF_FORMAT_RAW | SF_FORMAT_FLOAT;
    }

    Status write(const float* frames, size_t count) override {
        const size_t samples = count * static_cast<size_t>(info_.channels);
        if (std::fwrite(frames, sizeof(float), samples, stdout) != samples) {
            return Status::failure(kExitFailure, std::string("write error on standard output: ") +
                                                     std::strerror(errno));
        }
        info_.frames += static_cast<int64_t>(count);
        return Status::success();
    }

    Status finish() override {
        if (std::fflush(stdout) != 0) {
            return Status::failure(kExitFailure, std::string("write error on standard output: ") +
                                                     std::strerror(errno));
        }
        return Status::success();
    }
};

class NullSink : public AudioSink {
public:
    NullSink(int channels, int rate) {
        info_.name = "nowhere";
        info_.channels = channels;
        info_.sampleRate = rate;
        info_.frames = 0;
        info_.format = SF_FORMAT_RAW | SF_FORMAT_FLOAT;
    }
    Status write(const float*, size_t count) override {
        info_.frames += static_cast<int64_t>(count);
        return Status::success();
    }
    Status finish() override { return Status::success(); }
};

}  // namespace

Status openFileSink(const std::string& path, int format, int channels, int sampleRate,
                    std::unique_ptr<AudioSink>* out) {
    std::unique_ptr<PendingFile> pending;
    Status status = PendingFile::create(path, &pending);
    if (!status.ok()) return status;

    SF_INFO info = {};
    info.format = format;
    info.channels = channels;
    info.samplerate = sampleRate;
    SNDFILE* file = sf_open_fd(pending->fd(), SFM_WRITE, &info, SF_FALSE);
    if (file == nullptr) {
        return Status::failure(kExitOutput, "cannot write '" + path + "': " + sndfileError(nullptr));
    }
    // Float-to-integer conversion wraps out-of-range values unless told
    // to clip; 1.5 would otherwise come out as a large negative sample.
    sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);

    StreamInfo stream;
    stream.name = path;
    stream.channels = channels;
    stream.sampleRate = sampleRate;
    stream.frames = 0;
    stream.format = format;
    out->reset(new FileSink(std::move(pending), file, stream));
    return Status::success();
}

std::unique_ptr<AudioSink> openStdoutSink(int channels, int sampleRate) {
    return std::unique_ptr<AudioSink>(new StdoutSink(channels, sampleRate));
}

std::unique_ptr<AudioSink> openNullSink(int channels, int sampleRate) {
    return std::unique_ptr<AudioSink>(new NullSink(channels, sampleRate));
}

}  // namespace klorfx
