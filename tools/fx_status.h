// How klor-fx ends: a documented exit code and, on failure, one line of text.
//
// Exit codes (the --help text and the man page list the same table):
//   0  success
//   1  processing failed after the files were opened (read or write error)
//   2  usage: unknown option, missing operand or a bad option value
//   3  input: missing, unreadable or not in a format libsndfile reads
//   4  output: cannot be created, or the requested format cannot be written
//   5  plug-in: the module cannot be loaded or an instance cannot be created
// 130  interrupted (SIGINT/SIGTERM); the partial output has been removed
#pragma once

#include <string>
#include <utility>

namespace klorfx {

enum ExitCode : int {
    kExitOk = 0,
    kExitFailure = 1,
    kExitUsage = 2,
    kExitInput = 3,
    kExitOutput = 4,
    kExitPlugin = 5,
    kExitInterrupted = 130,
};

// Result of every step that can fail. `message` is printed after
// "klor-fx: " on one line; it never ends with a newline or a full stop.
struct Status {
    int exitCode = kExitOk;
    std::string message;

    bool ok() const { return exitCode == kExitOk; }
    static Status success() { return Status(); }
    static Status failure(int code, std::string text) {
        Status s;
        s.exitCode = code;
        s.message = std::move(text);
        return s;
    }
};

}  // namespace klorfx
