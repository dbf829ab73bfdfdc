// Running atlaspocket-cli from the tests: to the end, or in the background so
// that a test can signal or kill it while it downloads or writes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "TempDir.h"
#include "WaitUntil.h"

struct TRun {
    int Exit = -1;    // exit code, or 128 + signal
    std::string Out, Err;
};

std::string Slurp(const std::filesystem::path& p);

// The CLI in the background with stdin from /dev/null (it never sees a
// terminal); its output goes to files named after tag in dir.
class TCliChild {
public:
    // With a launcher, the CLI runs under it: launcher..., the CLI's path, args...
    TCliChild(const std::vector<std::string>& args, const TTempDir& dir, const std::string& tag = "cli",
              const std::vector<std::string>& launcher = {});
    ~TCliChild();  // kills and reaps a child still running
    TCliChild(const TCliChild&) = delete;
    TCliChild& operator=(const TCliChild&) = delete;

    // Standard error so far holds text; false after a generous limit or when the child ended.
    bool WaitForErr(const std::string& text, std::chrono::milliseconds limit = WaitLimit) const;
    void Signal(int sig) const;
    TRun Wait();

private:
    pid_t Pid = -1;
    std::filesystem::path OutFile, ErrFile;
};

// Runs the CLI to its end.
TRun RunCli(const std::vector<std::string>& args, const TTempDir& dir);
