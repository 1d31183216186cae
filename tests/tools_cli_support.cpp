#include "tools_cli_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "klor_host.h"

extern char** environ;

namespace fxtest {

namespace {

void removeTree(const std::string& path) {
    DIR* dir = opendir(path.c_str());
    if (dir != nullptr) {
        while (dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name == "." || name == "..") continue;
            const std::string child = path + "/" + name;
            struct stat st;
            if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
                removeTree(child);
            } else {
                unlink(child.c_str());
            }
        }
        closedir(dir);
    }
    rmdir(path.c_str());
}

}  // namespace

RunResult runFx(const std::vector<std::string>& args, const std::string& input) {
    int inPipe[2], outPipe[2], errPipe[2];
    if (pipe2(inPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return RunResult();
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);

    std::vector<std::string> argv = {KLOR_FX_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (std::string& a : argv) raw.push_back(&a[0]);
    raw.push_back(nullptr);

    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, KLOR_FX_PATH, &actions, nullptr, raw.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(inPipe[0]);
    close(outPipe[1]);
    close(errPipe[1]);
    RunResult result;
    if (spawned != 0) {
        ADD_FAILURE() << "cannot start " << KLOR_FX_PATH << ": " << std::strerror(spawned);
        close(inPipe[1]);
        close(outPipe[0]);
        close(errPipe[0]);
        return result;
    }

    // Feed stdin and drain both outputs together, so that no pipe fills up
    // while the other side waits.
    signal(SIGPIPE, SIG_IGN);
    size_t written = 0;
    int inFd = inPipe[1];
    // Non-blocking: a blocking write larger than the free pipe space would
    // wait for klor-fx, which may itself wait for us to read its output.
    fcntl(inFd, F_SETFL, fcntl(inFd, F_GETFL) | O_NONBLOCK);
    if (input.empty()) {
        close(inFd);
        inFd = -1;
    }
    int outFd = outPipe[0], errFd = errPipe[0];
    char buffer[65536];
    // A hung klor-fx fails the test instead of hanging the suite.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (outFd >= 0 || errFd >= 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "klor-fx did not finish within 120 s; killed";
            kill(pid, SIGKILL);
            break;
        }
        pollfd fds[3];
        int n = 0;
        if (inFd >= 0) fds[n++] = {inFd, POLLOUT, 0};
        if (outFd >= 0) fds[n++] = {outFd, POLLIN, 0};
        if (errFd >= 0) fds[n++] = {errFd, POLLIN, 0};
        if (poll(fds, static_cast<nfds_t>(n), 1000) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < n; ++i) {
            if (fds[i].revents == 0) continue;
            if (fds[i].fd == inFd) {
                const ssize_t k = write(inFd, input.data() + written, std::min<size_t>(input.size() - written, 65536));
                if (k > 0) written += static_cast<size_t>(k);
                if ((k < 0 && errno != EAGAIN) || written == input.size()) {
                    close(inFd);
                    inFd = -1;
                }
                continue;
            }
            const ssize_t k = read(fds[i].fd, buffer, sizeof buffer);
            std::string& sink = fds[i].fd == outFd ? result.out : result.err;
            if (k > 0) {
                sink.append(buffer, static_cast<size_t>(k));
            } else {
                close(fds[i].fd);
                (fds[i].fd == outFd ? outFd : errFd) = -1;
            }
        }
    }
    if (inFd >= 0) close(inFd);
    if (outFd >= 0) close(outFd);
    if (errFd >= 0) close(errFd);
    int status = 0;
    waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

RunningFx startFx(const std::vector<std::string>& args) {
    RunningFx running;
    int inPipe[2];
    if (pipe2(inPipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return running;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> argv = {KLOR_FX_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (std::string& a : argv) raw.push_back(&a[0]);
    raw.push_back(nullptr);
    const int spawned = posix_spawn(&running.pid, KLOR_FX_PATH, &actions, nullptr, raw.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(inPipe[0]);
    if (spawned != 0) {
        ADD_FAILURE() << "cannot start " << KLOR_FX_PATH << ": " << std::strerror(spawned);
        close(inPipe[1]);
        running.pid = -1;
        return running;
    }
    running.stdinFd = inPipe[1];
    return running;
}

int waitFx(RunningFx* running) {
    if (running->stdinFd >= 0) close(running->stdinFd);
    running->stdinFd = -1;
    if (running->pid < 0) return -1;
    int status = 0;
    waitpid(running->pid, &status, 0);
    running->pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

double stressScale() {
    const char* text = std::getenv("KLOR_STRESS_SCALE");
    const double scale = text != nullptr ? std::atof(text) : 1.0;
    return scale > 0.0 ? scale : 1.0;
}

TempDir::TempDir() {
    std::string pattern = std::string(KLOR_TEST_BINARY_DIR) + "/tools-test-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
    path_ = pattern;
}

TempDir::~TempDir() { removeTree(path_); }

std::vector<std::string> TempDir::entries() const {
    std::vector<std::string> names;
    DIR* dir = opendir(path_.c_str());
    if (dir == nullptr) return names;
    while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

void writeAudio(const std::string& path, const Audio& audio) {
    SF_INFO info = {};
    info.format = audio.format;
    info.channels = audio.channels;
    info.samplerate = audio.sampleRate;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << path << ": " << sf_strerror(nullptr);
    // No clipping mode: test inputs beyond full scale are float files.
    const sf_count_t frames = static_cast<sf_count_t>(audio.samples.size() / audio.channels);
    EXPECT_EQ(sf_writef_float(file, audio.samples.data(), frames), frames);
    sf_close(file);
}

Audio readAudio(const std::string& path) {
    Audio audio;
    SF_INFO info = {};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        ADD_FAILURE() << path << ": " << sf_strerror(nullptr);
        return audio;
    }
    audio.format = info.format;
    audio.channels = info.channels;
    audio.sampleRate = info.samplerate;
    audio.samples.resize(static_cast<size_t>(info.frames) * static_cast<size_t>(info.channels));
    EXPECT_EQ(sf_readf_float(file, audio.samples.data(), info.frames), info.frames);
    sf_close(file);
    return audio;
}

std::vector<int32_t> readIntegers(const std::string& path) {
    SF_INFO info = {};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        ADD_FAILURE() << path << ": " << sf_strerror(nullptr);
        return {};
    }
    std::vector<int32_t> samples(static_cast<size_t>(info.frames) * static_cast<size_t>(info.channels));
    EXPECT_EQ(sf_readf_int(file, samples.data(), info.frames), info.frames);
    sf_close(file);
    return samples;
}

void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::vector<float> testSignal(size_t frames, int channels, float amplitude) {
    std::vector<float> samples(frames * static_cast<size_t>(channels));
    for (size_t f = 0; f < frames; ++f) {
        for (int c = 0; c < channels; ++c) {
            const double t = static_cast<double>(f);
            const double v = 0.6 * std::sin(t * (0.031 + 0.007 * c)) + 0.3 * std::sin(t * 0.177 + c) +
                             0.1 * (2.0 * static_cast<double>(f % 97) / 96.0 - 1.0);
            samples[f * static_cast<size_t>(channels) + static_cast<size_t>(c)] =
                static_cast<float>(amplitude * v);
        }
    }
    return samples;
}

std::vector<float> effectOutput(const std::vector<float>& in, int channels, float level, uint16_t mask) {
    std::string error;
    auto plugin = klor::host::Plugin::load(KLOR_PLUGIN_PATH, &error);
    if (!plugin) {
        ADD_FAILURE() << error;
        return {};
    }
    KLOR_RESULT result = KLOR_OK;
    auto instance = klor::host::Instance::create(*plugin, &result);
    if (!instance) {
        ADD_FAILURE() << "create failed: " << result;
        return {};
    }
    instance->setChannelMask(mask);
    instance->setParameter(0, level);
    std::vector<float> out(in.size());
    const unsigned frames = static_cast<unsigned>(in.size() / static_cast<size_t>(channels));
    EXPECT_EQ(instance->process(in.data(), out.data(), frames, channels), KLOR_OK);
    return out;
}

std::string floatsToBytes(const std::vector<float>& samples) {
    return std::string(reinterpret_cast<const char*>(samples.data()), samples.size() * sizeof(float));
}

std::vector<float> bytesToFloats(const std::string& bytes) {
    std::vector<float> samples(bytes.size() / sizeof(float));
    std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
    return samples;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
}

}  // namespace fxtest
