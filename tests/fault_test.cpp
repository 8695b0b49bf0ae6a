// The file layer's proof: a conversion that replaces an earlier output and log is run
// once to list every call it makes on files, then again for each call, with that
// call failing as it can fail (or, on POSIX, SIGTERM or SIGKILL arriving at it).
// Whatever fails, the run ends with the new pair and status 0, or a failure and the
// earlier pair, or, where the log alone could not follow the output, the new output
// beside the earlier log with a message naming the log; a temporary that could not be
// removed is named; nothing else is left; the program never crashes.
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

#ifndef _WIN32
// user::rw-, user:1234:r--, group::r--, mask::r--, other::---: the access list that the
// earlier pair has and the new pair must keep.
const std::vector<uint8_t> ACCESS_LIST = {2,   0,   0,   0,    1,   0,    6,    0,   255, 255, 255,
                                          255, 2,   0,   4,    0,   0xD2, 4,    0,   0,   4,   0,
                                          4,   0,   255, 255,  255, 255,  0x10, 0,   4,   0,   255,
                                          255, 255, 255, 0x20, 0,   0,    0,    255, 255, 255, 255};
#endif

std::vector<std::string> linesOf(const std::string& out) {
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

#ifdef _WIN32
const int KILLED = -1;
#else
const int KILLED = SIGKILL;
#endif

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
        {"pread", {EIO}},
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
    void SetUp() override {
        dir = makeScratchDir();
        const Conversion expected = convert(workedInput());
        newOutput = text(expected.output);
        newLog = asTextFile(expected.log);
    }
    void TearDown() override {
        setFault("TARVELIN_FAULT", "");
        setFault("TARVELIN_FAULT_ALWAYS", "");
        removeTree(dir);
    }
    std::string path(const std::string& name) const { return dir + "/" + name; }

    // The input, and an earlier output and log that are another user's, with their
    // own mode and an access list, which the new pair must keep.
    void layEarlierPair() const {
        ASSERT_TRUE(writeFileBytes(path("unit.m3"), workedInput()));
        ASSERT_TRUE(writeFileBytes(path("unit_Sc2.m3"), {'e', 'a', 'r', 'l', 'i', 'e', 'r'}));
        ASSERT_TRUE(writeFileBytes(path("Logfile.txt"), {'e', 'a', 'r', 'l', 'y'}));
#ifndef _WIN32
        for (const char* name : {"unit_Sc2.m3", "Logfile.txt"}) {
            if (geteuid() == 0) {
                ASSERT_EQ(chown(path(name).c_str(), 1000, 1000), 0);
            }
            ASSERT_EQ(setxattr(path(name).c_str(), "system.posix_acl_access", ACCESS_LIST.data(),
                               ACCESS_LIST.size(), 0),
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

    // The temporaries left in the folder: those a message names, and those a SIGKILL
    // left, which may only be the new output or the new log, whole.
    std::string leftovers(const RunResult& r, int signal, size_t& named, size_t& killed) const {
        for (const auto& item : fs::directory_iterator(dir)) {
            const std::string name = item.path().filename().u8string();
            if (name == "unit.m3" || name == "unit_Sc2.m3" || name == "Logfile.txt") {
                continue;
            }
            const std::string bytes = text(readFileBytes(path(name)));
            if (r.out.find("it is left as \"" + name + "\"") != std::string::npos) {
                ++named;
            } else if (signal == KILLED && name.rfind(".tarvelin-", 0) == 0 &&
                       (bytes == newOutput || bytes == newLog || namedFromStart)) {
                ++killed;
            } else {
                return "left behind: " + name;
            }
        }
        return "";
    }

    // What the run broke of its promises, or "". `reason` is what a failure, and each
    // line after it, must give as the cause; `signal` is what was raised at the call.
    std::string brokenPromise(const RunResult& r, int signal, const std::string& reason) const {
        const std::string output = text(readFileBytes(path("unit_Sc2.m3")));
        const std::string log = text(readFileBytes(path("Logfile.txt")));
        const bool converted = output == newOutput && log == newLog;
        const bool earlier = output == "earlier" && log == "early";
        const bool logBehind = output == newOutput && log == "early";
        if (readFileBytes(path("unit.m3")) != workedInput()) {
            return "the input changed";
        }
        size_t named = 0;
        size_t killed = 0;
        const std::string left = leftovers(r, signal, named, killed);
        if (!left.empty()) {
            return left;
        }
        const std::vector<std::string> lines = linesOf(r.out);
        for (size_t i = r.status == 0 ? 2 : 1; signal == 0 && i < lines.size(); ++i) {
            if (lines[i].find(" (" + reason + ")") == std::string::npos) {
                return "a line without its cause: " + lines[i];
            }
        }
        if (signal != 0) {
            if (r.signal != signal) {
                return "not ended by its signal: status " + std::to_string(r.status);
            }
            // A SIGKILL while the files are put in place may leave them under the names
            // they were given for it, as may one while temporaries named from the start
            // are written.
            if (named > 0 || killed > 2) {
                return "a signal left files: " + std::to_string(named + killed);
            }
            return converted || earlier || (signal == KILLED && logBehind)
                       ? keptAttributes(converted)
                       : "a mix of the two pairs";
        }
        if (r.signal != 0 || !r.err.empty()) {
            return "crashed: signal " + std::to_string(r.signal) + " " + r.err;
        }
        if (r.status == 0) {
            return converted && r.out.rfind("Strings Found: \n\tabcd\n", 0) == 0
                       ? keptAttributes(true)
                       : "success without the new pair: " + r.out;
        }
        const std::string first = lines.empty() ? "" : lines[0];
        const bool told = first.size() > reason.size() &&
                          first.compare(first.size() - reason.size(), reason.size(), reason) == 0;
        const std::string logNamed =
            "The model was converted, but \"Logfile.txt\" could not be put in place: ";
        if (r.status != failureStatus() || !told) {
            return "a failure not told with its cause: status " + std::to_string(r.status) + ": " +
                   r.out;
        }
        if (earlier && first.rfind("Cannot ", 0) == 0) {
            return keptAttributes(false);
        }
        if (logBehind && first.rfind(logNamed, 0) == 0) {
            return "";
        }
        return "a failure without the earlier pair, or the log not named: " + r.out;
    }

    // The pair keeps the earlier pair's owner and access list.
    std::string keptAttributes(bool converted) const {
#ifndef _WIN32
        for (const char* name : {"unit_Sc2.m3", "Logfile.txt"}) {
            struct stat info = {};
            std::vector<uint8_t> value(256);
            value.resize(size_t(std::max<ssize_t>(
                getxattr(path(name).c_str(), "system.posix_acl_access", value.data(), value.size()),
                0)));
            if (stat(path(name).c_str(), &info) != 0 || (info.st_mode & 0777) != 0640 ||
                (geteuid() == 0 && info.st_uid != 1000) || value != ACCESS_LIST) {
                return std::string(converted ? "the new " : "the earlier ") + name +
                       " lost its owner, mode or access list";
            }
        }
#else
        (void)converted;
#endif
        return "";
    }

    // Fails each call in turn with each of its errors (and, for the calls that make,
    // rename and remove names, with an error that lasts, as a share that has gone),
    // and raises SIGTERM and SIGKILL at each.
    void failEachCall() {
        layEarlierPair();
        const std::vector<std::string> calls = listCalls();
        ASSERT_GT(calls.size(), 20u);
        int failedRuns = 0;
        for (size_t i = 0; i < calls.size(); ++i) {
            const std::string at = std::to_string(i + 1);
            std::vector<std::pair<std::string, int>> faults;
            for (const int error : errorsOf(calls[i])) {
                faults.push_back({at + ":" + std::to_string(error), error});
            }
            if (calls[i] == "linkat" || calls[i] == "renameat" || calls[i] == "unlinkat" ||
                calls[i] == "MoveFileExW" || calls[i] == "DeleteFileW") {
                faults.push_back({at + "+:" + std::to_string(LASTING_ERROR), LASTING_ERROR});
            }
            // From this call on every call fails, as when a disk or share has gone.
            faults.push_back({at + "*:" + std::to_string(LASTING_ERROR), LASTING_ERROR});
#ifndef _WIN32
            faults.push_back({at + ":signal", SIGTERM});
            faults.push_back({at + ":kill", KILLED});
#endif
            for (const auto& [fault, error] : faults) {
                layEarlierPair();
                setFault("TARVELIN_FAULT", fault);
                const RunResult r = run();
                setFault("TARVELIN_FAULT", "");
                failedRuns += r.status != 0;
                const bool signalled = fault.find("signal") != std::string::npos ||
                                       fault.find("kill") != std::string::npos;
                EXPECT_EQ(brokenPromise(r, signalled ? error : 0, errorText(signalled ? 0 : error)),
                          "")
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
    std::string newOutput;
    std::string newLog;
    bool namedFromStart = false;
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
    namedFromStart = true;
    failEachCall();
}
#endif

} // namespace
