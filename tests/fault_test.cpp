// The file layer's proof: a conversion that replaces an earlier output and log is run
// once to list every call it makes on files, then again for each call, with that
// call failing as it can fail (or, on POSIX, SIGTERM arriving at it). Whatever fails,
// the run ends with the new pair and status 0, or a failure and the earlier pair; a
// copy of the earlier log that could not be put back or removed is named; nothing
// else is left; the program never crashes.
#include "messages.h"
#include "process.h"
#include "support.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;

const std::string ORIGIN = "the user's";

std::vector<std::string> linesOf(const std::string& out) {
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

const std::string NEW_LOG = asTextFile(WORKED_LOG);

#ifdef _WIN32
void setFault(const char* name, const std::string& value) {
    SetEnvironmentVariableA(name, value.empty() ? nullptr : value.c_str());
}

// Errors each call can give: denied, held by another program, a full disk.
std::vector<int> errorsOf(const std::string&) {
    return {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_DISK_FULL};
}
const int LASTING_ERROR = ERROR_NOT_READY;
#else
void setFault(const char* name, const std::string& value) {
    if (value.empty()) {
        unsetenv(name);
    } else {
        setenv(name, value.c_str(), 1);
    }
}

// The errors each call can really give.
std::vector<int> errorsOf(const std::string& call) {
    const std::vector<std::pair<std::string, std::vector<int>>> table = {
        {"open", {EACCES, EIO, EMFILE}},
        {"openat", {EACCES, EIO, EMFILE, ENOSPC}},
        {"open_unnamed", {EOPNOTSUPP, EIO, ENOSPC}},
        {"readlinkat", {EIO}},
        {"mmap", {ENOMEM, EACCES}},
        {"pread", {EIO}},
        {"madvise", {EINVAL}},
        {"write", {ENOSPC, EIO}},
        {"pwrite", {ENOSPC, EIO}},
        {"fdatasync", {EIO, ENOSPC}},
        {"fsync", {EIO}},
        {"close", {EIO}},
        {"linkat", {EIO, ENOSPC, EPERM, EXDEV}},
        {"renameat", {EIO, EXDEV, EACCES}},
        {"unlinkat", {EIO, EACCES, EBUSY}},
        {"fchown", {EPERM, EIO}},
        {"fchmod", {EPERM, EIO}},
        {"flistxattr", {EIO, EACCES}},
        {"fgetxattr", {EIO, EACCES}},
        {"fsetxattr", {ENOSPC, EPERM}},
    };
    for (const auto& row : table) {
        if (row.first == call) {
            return row.second;
        }
    }
    // Looking a file up: fstat, fstatat, statx, faccessat, stat.
    return {EIO, EACCES};
}
const int LASTING_ERROR = EIO;
#endif

class EveryCall : public ::testing::Test {
  protected:
    void SetUp() override { dir = makeScratchDir(); }
    void TearDown() override {
        setFault("TARVELIN_FAULT", "");
        setFault("TARVELIN_FAULT_ALWAYS", "");
        removeTree(dir);
    }
    std::string path(const std::string& name) const { return dir + "/" + name; }

    // The input, and an earlier output and log that are another user's, with their
    // own mode and an extended attribute, which the new pair must keep.
    void layEarlierPair() const {
        ASSERT_TRUE(writeFileBytes(path("unit.m3"), workedInput()));
        ASSERT_TRUE(writeFileBytes(path("unit_Sc2.m3"), {'e', 'a', 'r', 'l', 'i', 'e', 'r'}));
        ASSERT_TRUE(writeFileBytes(path("Logfile.txt"), {'e', 'a', 'r', 'l', 'y'}));
#ifndef _WIN32
        for (const char* name : {"unit_Sc2.m3", "Logfile.txt"}) {
            ASSERT_EQ(chmod(path(name).c_str(), 0640), 0);
            if (geteuid() == 0) {
                ASSERT_EQ(chown(path(name).c_str(), 1000, 1000), 0);
            }
            ASSERT_EQ(setxattr(path(name).c_str(), "user.origin", ORIGIN.data(), ORIGIN.size(), 0),
                      0);
        }
#endif
    }

    std::vector<std::string> listCalls() const {
        const std::string list = dir + "-calls";
        fs::remove(list);
        setFault("TARVELIN_FAULT", "list:" + list);
        const RunResult r = run();
        setFault("TARVELIN_FAULT", "");
        EXPECT_EQ(r.status, 0) << r.out;
        std::vector<std::string> calls;
        {
            std::ifstream in(list);
            for (std::string call; std::getline(in, call);) {
                calls.push_back(call);
            }
        }
        fs::remove(list);
        return calls;
    }

    RunResult run() const {
        RunOptions options;
        options.cwd = dir;
        options.seconds = 30;
        return runProgram(TARVELIN_FAULTS_EXE, {"unit.m3", "-c"}, options);
    }

    // What the run broke of its promises, or "". `reason` is what a failure, and each
    // line naming what it could not undo, must give as the cause.
    std::string brokenPromise(const RunResult& r, bool signalled, const std::string& reason) const {
        const std::string output = text(readFileBytes(path("unit_Sc2.m3")));
        const std::string log = text(readFileBytes(path("Logfile.txt")));
        const bool converted = output == text(workedOutput()) && log == NEW_LOG;
        const bool earlier = output == "earlier" && log == "early";
        if (readFileBytes(path("unit.m3")) != workedInput()) {
            return "the input changed";
        }
        std::vector<std::string> lines = linesOf(r.out);
        // The lines after the first two (a report) or the first (a failure) name what the
        // run could not undo: each file left, and a new log beside the earlier output.
        std::vector<std::string> named;
        bool newLogBesideEarlier = false;
        const size_t told = r.status == 0 ? 2 : 1;
        for (size_t i = told; i < lines.size(); ++i) {
            const std::string& line = lines[i];
            if (line.find(" (" + reason + ")") == std::string::npos) {
                return "a line without its cause: " + line;
            }
            if (line.find("\" is in place, but its folder could not be written to disk") !=
                std::string::npos) {
                continue;
            }
            const bool putBack =
                line.rfind("The earlier \"Logfile.txt\" could not be put back", 0) == 0;
            newLogBesideEarlier =
                newLogBesideEarlier || putBack ||
                line.find("\" is the new log, beside the earlier \"") != std::string::npos;
            const size_t end = line.rfind('"');
            const std::string name =
                line.substr(line.rfind('"', end - 1) + 1, end - line.rfind('"', end - 1) - 1);
            if (name.rfind(".tarvelin-", 0) == 0) {
                named.push_back(name);
                if (line.find("earlier \"Logfile.txt\"") != std::string::npos &&
                    text(readFileBytes(path(name))) != "early") {
                    return "the kept copy is not the earlier log: " + line;
                }
            }
        }
        for (const auto& item : fs::directory_iterator(dir)) {
            const std::string name = item.path().filename().u8string();
            if (name != "unit.m3" && name != "unit_Sc2.m3" && name != "Logfile.txt" &&
                std::find(named.begin(), named.end(), name) == named.end()) {
                return "left behind: " + name;
            }
        }
        if (signalled) {
#ifndef _WIN32
            if (r.signal != SIGTERM) {
                return "not ended by SIGTERM: status " + std::to_string(r.status);
            }
#endif
            return !named.empty()         ? "a signal left a file: " + r.out
                   : converted || earlier ? keptAttributes(converted)
                                          : "a mix of the two pairs";
        }
        if (r.signal != 0 || !r.err.empty()) {
            return "crashed: signal " + std::to_string(r.signal) + " " + r.err;
        }
        if (r.status == 0) {
            const std::vector<std::string> report(
                lines.begin(), lines.begin() + std::min<size_t>(2, lines.size()));
            if (!converted || report != std::vector<std::string>{"Strings Found: ", "\tabcd"}) {
                return "success without the new pair: " + r.out;
            }
            return keptAttributes(true);
        }
        if (r.status != failureStatus() || lines.empty() || lines[0].rfind("Cannot ", 0) != 0 ||
            lines[0].size() < reason.size() ||
            lines[0].compare(lines[0].size() - reason.size(), reason.size(), reason) != 0) {
            return "a failure not told with its cause: status " + std::to_string(r.status) + ": " +
                   r.out;
        }
        if (newLogBesideEarlier ? output == "earlier" && log == NEW_LOG : earlier) {
            return keptAttributes(false);
        }
        return "a failure without the earlier pair: " + r.out;
    }

    // A new pair keeps the earlier pair's owner, mode and extended attributes.
    std::string keptAttributes(bool converted) const {
#ifndef _WIN32
        for (const char* name : {"unit_Sc2.m3", "Logfile.txt"}) {
            struct stat info = {};
            std::string value(64, '\0');
            value.resize(size_t(std::max<ssize_t>(
                getxattr(path(name).c_str(), "user.origin", value.data(), value.size()), 0)));
            if (stat(path(name).c_str(), &info) != 0 || (info.st_mode & 07777) != 0640 ||
                (geteuid() == 0 && info.st_uid != 1000) || value != ORIGIN) {
                return std::string(converted ? "the new " : "the earlier ") + name +
                       " lost its owner, mode or attributes";
            }
        }
#else
        (void)converted;
#endif
        return "";
    }

    // Fails each call in turn with each of its errors (and, for the calls that make,
    // rename and remove names, with an error that lasts, as a share that has gone),
    // and raises SIGTERM at each.
    void failEachCall() {
        layEarlierPair();
        const std::vector<std::string> calls = listCalls();
        ASSERT_GT(calls.size(), 20u);
        int failedRuns = 0;
        for (size_t i = 0; i < calls.size(); ++i) {
            std::vector<std::pair<std::string, int>> faults;
            for (const int error : errorsOf(calls[i])) {
                faults.push_back({std::to_string(i + 1) + ":" + std::to_string(error), error});
            }
            if (calls[i] == "linkat" || calls[i] == "renameat" || calls[i] == "unlinkat" ||
                calls[i] == "MoveFileExW" || calls[i] == "DeleteFileW") {
                faults.push_back(
                    {std::to_string(i + 1) + "+:" + std::to_string(LASTING_ERROR), LASTING_ERROR});
            }
            // From this call on every call fails, as when a disk or share has gone.
            faults.push_back(
                {std::to_string(i + 1) + "*:" + std::to_string(LASTING_ERROR), LASTING_ERROR});
#ifndef _WIN32
            faults.push_back({std::to_string(i + 1) + ":signal", 0});
#endif
            for (const auto& [fault, error] : faults) {
                layEarlierPair();
                setFault("TARVELIN_FAULT", fault);
                const RunResult r = run();
                setFault("TARVELIN_FAULT", "");
                failedRuns += r.status != 0;
                EXPECT_EQ(brokenPromise(r, error == 0, errorText(error)), "")
                    << "call " << i + 1 << " (" << calls[i] << ") failed as " << fault;
                for (const auto& item : fs::directory_iterator(dir)) {
                    if (item.path().filename().u8string().rfind(".tarvelin-", 0) == 0) {
                        fs::remove(item.path());
                    }
                }
            }
        }
        EXPECT_GT(failedRuns, int(calls.size()) / 2);
    }

    std::string dir;
};

TEST_F(EveryCall, FailingAnyCallLeavesOnePairWholeAndNothingElse) {
    failEachCall();
}

// Through a power cut: each file's data is on disk before its rename puts it in place,
// and the renames before the run ends.
TEST_F(EveryCall, TheFilesReachTheDiskBeforeTheirNamesAndTheNamesBeforeTheEnd) {
    layEarlierPair();
    const std::vector<std::string> calls = listCalls();
#ifdef _WIN32
    const std::string flush = "FlushFileBuffers", rename = "MoveFileExW", folderFlush = "";
#else
    const std::string flush = "fdatasync", rename = "renameat", folderFlush = "fsync";
#endif
    const auto first = std::find(calls.begin(), calls.end(), rename);
    const auto last = std::find(calls.rbegin(), calls.rend(), rename).base();
    ASSERT_NE(first, calls.end());
    EXPECT_EQ(std::count(calls.begin(), first, flush), 2);
    if (!folderFlush.empty()) {
        EXPECT_EQ(std::count(last, calls.end(), folderFlush), 2);
    }
}

#ifndef _WIN32
// The same where the system gives no files without a name: the temporaries are named
// from the start.
TEST_F(EveryCall, FailingAnyCallWithNamedTemporariesLeavesOnePairWhole) {
    setFault("TARVELIN_FAULT_ALWAYS", "open_unnamed:" + std::to_string(EOPNOTSUPP));
    failEachCall();
}
#endif

} // namespace
