// An output file that appears under its real name only when complete.
//
// Bytes go to a temporary file in the destination's own directory
// (".NAME.klor-fx-XXXXXX", so the final rename stays on one file system
// and is atomic); commit() gives it the usual permissions and renames it
// over the destination. Destroying an uncommitted file, an error on the
// way, or SIGINT/SIGTERM/SIGHUP removes the temporary: no half-written
// output is ever left behind, and an existing destination is untouched
// until the new one is complete.
#pragma once

#include <memory>
#include <string>

#include "fx_status.h"

namespace klorfx {

class PendingFile {
public:
    // Creates the temporary file; fails with kExitOutput when the
    // directory is missing or not writable.
    static Status create(const std::string& path, std::unique_ptr<PendingFile>* out);
    ~PendingFile();
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    int fd() const { return fd_; }
    const std::string& path() const { return path_; }

    // Sets mode 0666 minus the umask and renames over the destination.
    // After a failure the temporary is gone as well.
    Status commit();

private:
    PendingFile(std::string path, std::string tempPath, int fd)
        : path_(std::move(path)), tempPath_(std::move(tempPath)), fd_(fd) {}
    void discard();

    std::string path_;
    std::string tempPath_;
    int fd_;
    bool committed_ = false;
};

// Installs the handlers that remove the pending temporary file when the
// process is interrupted, then exit with kExitInterrupted. Call once, early.
void installInterruptCleanup();

}  // namespace klorfx
