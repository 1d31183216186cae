#include "fx_pending_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

namespace klorfx {

namespace {

// The one temporary file a signal handler may have to remove. Written only
// outside handlers, with the handlers' signals blocked, so a handler sees
// either no name or a whole one.
char gPendingName[PATH_MAX];
volatile sig_atomic_t gPendingSet = 0;

void onInterrupt(int) {
    if (gPendingSet) unlink(gPendingName);
    _exit(kExitInterrupted);
}

class SignalBlock {
public:
    SignalBlock() {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        sigaddset(&set, SIGHUP);
        sigprocmask(SIG_BLOCK, &set, &saved_);
    }
    ~SignalBlock() { sigprocmask(SIG_SETMASK, &saved_, nullptr); }

private:
    sigset_t saved_;
};

void registerPending(const std::string& name) {
    SignalBlock block;
    if (name.size() < sizeof gPendingName) {
        std::memcpy(gPendingName, name.c_str(), name.size() + 1);
        gPendingSet = 1;
    }
}

void clearPending() {
    SignalBlock block;
    gPendingSet = 0;
}

mode_t creationMode() {
    const mode_t mask = umask(0);
    umask(mask);
    return static_cast<mode_t>(0666 & ~mask);
}

std::string systemError(const std::string& what, const std::string& path) {
    return what + " '" + path + "': " + std::strerror(errno);
}

}  // namespace

Status PendingFile::create(const std::string& path, std::unique_ptr<PendingFile>* out) {
    const size_t slash = path.find_last_of('/');
    const std::string directory = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty()) return Status::failure(kExitOutput, "'" + path + "' names a directory, not a file");
    struct stat existing;
    if (stat(path.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode)) {
        return Status::failure(kExitOutput, "'" + path + "' is a directory");
    }

    std::string temp = directory + "." + name + ".klor-fx-XXXXXX";
    std::vector<char> buffer(temp.begin(), temp.end());
    buffer.push_back('\0');
    // Blocked so that the name is registered before a handler could run.
    SignalBlock block;
    const int fd = mkostemp(buffer.data(), O_CLOEXEC);
    if (fd < 0) return Status::failure(kExitOutput, systemError("cannot create", path));
    temp.assign(buffer.data());
    registerPending(temp);
    out->reset(new PendingFile(path, temp, fd));
    return Status::success();
}

PendingFile::~PendingFile() {
    if (!committed_) discard();
}

void PendingFile::discard() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    unlink(tempPath_.c_str());
    clearPending();
}

Status PendingFile::commit() {
    if (fchmod(fd_, creationMode()) != 0) {
        const Status failed = Status::failure(kExitOutput, systemError("cannot finish", path_));
        discard();
        return failed;
    }
    if (close(fd_) != 0) {
        fd_ = -1;
        const Status failed = Status::failure(kExitOutput, systemError("cannot finish", path_));
        discard();
        return failed;
    }
    fd_ = -1;
    if (rename(tempPath_.c_str(), path_.c_str()) != 0) {
        const Status failed = Status::failure(kExitOutput, systemError("cannot write", path_));
        discard();
        return failed;
    }
    committed_ = true;
    clearPending();
    return Status::success();
}

void installInterruptCleanup() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

}  // namespace klorfx
