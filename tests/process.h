// Runs the real program in a scratch directory, the way a script would.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct RunOptions {
    std::string cwd;
    // Run as an unprivileged user when the tests run as root, so that file modes apply.
    bool unprivileged = false;
    // A file-size limit in bytes (0 for none): writes past it fail as on a full disk,
    // or, with `fileSizeSignal`, raise the file-size signal with its default action.
    uint64_t fileSizeLimit = 0;
    bool fileSizeSignal = false;
    // A limit on the program's address space in bytes (0 for none).
    uint64_t memoryLimit = 0;
    // Where standard output goes instead of being captured (POSIX), such as /dev/full;
    // or closed, or a pipe whose reader has gone.
    std::string stdoutPath;
    bool stdoutClosed = false;
    bool stdoutBroken = false;
    // Standard input a pipe that the test holds open (POSIX, with startProgram), so that
    // the pause waits until the test closes it.
    bool holdStdin = false;
    // The temporary folder the program is given (Windows), when not empty.
    std::string tempFolder;
    // A run still going after this long is ended by an alarm signal.
    unsigned seconds = 120;
};

struct RunResult {
    int status = -1;
    // The signal that ended the program, or 0 when it exited.
    int signal = 0;
    // The program's peak resident memory in KiB (POSIX).
    long peakKiB = 0;
    std::string out;
    std::string err;
};

// Runs the program with standard input at its end and captures both output streams.
RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options);

#ifndef _WIN32
// A program started and not yet waited for; its standard output is a pipe read when
// it is waited for.
struct Started {
    int pid = -1;
    int outPipe = -1;
    int inPipe = -1;
    std::string streams;
};
Started startProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options);
RunResult waitProgram(Started& started);
#endif

// A new, empty directory that anyone may write to; removed by removeTree.
std::string makeScratchDir();
void removeTree(const std::string& path);
void setMode(const std::string& path, unsigned mode);
// The exit status a program's `return -1` gives on this platform.
int failureStatus();
