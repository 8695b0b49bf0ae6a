// The platform on POSIX systems: the input, read and watched for other programs
// writing to it; the standard streams, the system's words for its errors, and the
// signals that end a run.
#include "platform.h"
#include "platform_seam.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What the fatal-signal handler runs before the signal ends the process.
std::atomic<void (*)()> fatalCleanup{nullptr};

// Whether the signal's default action ends the process: all but those that stop or
// continue it, or are ignored by default. SIGKILL and SIGSTOP cannot be caught.
bool endsTheProcess(int sig) {
    switch (sig) {
    case SIGKILL:
    case SIGSTOP:
    case SIGCHLD:
    case SIGCONT:
    case SIGTSTP:
    case SIGTTIN:
    case SIGTTOU:
    case SIGURG:
    case SIGWINCH:
        return false;
    default:
        return true;
    }
}

// The program's own faults: they come back at once if ignored.
bool isFault(int sig) {
    return sig == SIGSEGV || sig == SIGBUS || sig == SIGFPE || sig == SIGILL || sig == SIGTRAP ||
           sig == SIGSYS || sig == SIGABRT;
}

// Every signal the system has whose default ends the process, real-time ones included;
// the numbers the C library keeps for itself are refused by sigaction and left out.
template <typename Visit> void forEachFatalSignal(Visit visit) {
    for (int sig = 1; sig <= SIGRTMAX; ++sig) {
        struct sigaction current = {};
        if (endsTheProcess(sig) && sigaction(sig, nullptr, &current) == 0) {
            visit(sig, current);
        }
    }
}

// The signals a hold holds off, asked of the system once. A fault of the program's own
// while they are held (a crash) ends it at once; one that another process sends waits.
const sigset_t& interruptions() {
    static const sigset_t held = [] {
        sigset_t set;
        sigemptyset(&set);
        forEachFatalSignal([&](int sig, const struct sigaction&) { sigaddset(&set, sig); });
        return set;
    }();
    return held;
}

// Runs the cleanup and then ends the process as the signal would have.
extern "C" void onFatalSignal(int sig) {
    void (*const cleanup)() = fatalCleanup.load();
    if (cleanup) {
        cleanup();
    }
    signal(sig, SIG_DFL);
    raise(sig);
}

void handle(int sig, const struct sigaction& current) {
    if (current.sa_handler == SIG_IGN && !isFault(sig)) {
        return;
    }
    struct sigaction action = {};
    action.sa_handler = onFatalSignal;
    action.sa_mask = interruptions();
    sigaction(sig, &action, nullptr);
}

// The mask to go back to when a hold ends.
sigset_t maskBeforeHold;

// Sets `error` to that of the call that just failed (EIO where it gave none); false.
bool failed(int& error) {
    error = errno != 0 ? errno : EIO;
    return false;
}

int64_t modifiedAt(const struct stat& info) {
    return int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

int64_t changedAt(const struct stat& info) {
    return int64_t(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
}

#ifdef F_SETLEASE
// The input while it holds a lease, and whether another process has opened it for
// writing meanwhile.
volatile sig_atomic_t leasedInput = -1;
volatile sig_atomic_t inputOpenedForWriting = 0;

// Another process is opening the input for writing: the lease goes at once, so that it
// need not wait, and the conversion, which may hold bytes of two versions, is refused.
// The input is the one file the run leases, so the signal is its lease's unless another
// process sent it.
extern "C" void onLeaseBroken(int, siginfo_t* info, void*) {
    const int leased = leasedInput;
    if (info->si_code > 0 && leased >= 0) {
        inputOpenedForWriting = 1;
        fcntl(leased, F_SETLEASE, F_UNLCK);
    }
}

// Takes a read lease on the input, granted where this user owns it (or is root) and no
// other process has it open for writing: the system then tells of any process that
// opens it for writing, by SIGURG, whose default does nothing.
void watchInput(int fd) {
    struct sigaction action = {};
    action.sa_sigaction = onLeaseBroken;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    leasedInput = fd;
    const bool leased = sigaction(SIGURG, &action, nullptr) == 0 &&
                        OS_CALL("fcntl", -1, fcntl(fd, F_SETSIG, SIGURG)) == 0 &&
                        OS_CALL("fcntl", -1, fcntl(fd, F_SETLEASE, F_RDLCK)) == 0;
    leasedInput = leased ? fd : -1;
}

void releaseLease(int fd) {
    if (leasedInput == fd) {
        leasedInput = -1;
        fcntl(fd, F_SETLEASE, F_UNLCK);
    }
}
#else
const int leasedInput = -1;
const bool inputOpenedForWriting = false;
void watchInput(int) {}
void releaseLease(int) {}
#endif

} // namespace

bool openInput(const std::string& path, InputFile& input, int& error) {
    // Not blocking, so that a pipe is refused at once rather than waited on.
    input.fd = OS_CALL("open", -1, open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (input.fd < 0) {
        return failed(error);
    }
    struct stat info;
    if (OS_CALL("fstat", -1, fstat(input.fd, &info)) != 0) {
        failed(error);
    } else if (!S_ISREG(info.st_mode)) {
        error = S_ISDIR(info.st_mode) ? IS_A_FOLDER : NOT_REGULAR_FILE;
    } else {
        input.id = {uint64_t(info.st_dev), uint64_t(info.st_ino)};
        input.size = uint64_t(info.st_size);
        input.modified = modifiedAt(info);
        input.changed = changedAt(info);
        watchInput(input.fd);
        return true;
    }
    close(input.fd);
    input.fd = -1;
    return false;
}

bool readInput(int fd, uint64_t offset, void* dest, size_t size, size_t& got, int& error) {
    ssize_t read;
    while ((read = OS_CALL("pread", -1,
                           pread(fd, dest, std::min(size, size_t(1) << 30), off_t(offset)))) < 0 &&
           errno == EINTR) {
    }
    got = size_t(std::max<ssize_t>(read, 0));
    return read >= 0 || failed(error);
}

bool closeInput(InputFile& input, int& error) {
    if (input.fd < 0) {
        return true;
    }
    struct stat info;
    bool unchanged = OS_CALL("fstat", -1, fstat(input.fd, &info)) == 0 || failed(error);
    if (unchanged &&
        (uint64_t(info.st_size) != input.size || modifiedAt(info) != input.modified ||
         changedAt(info) != input.changed || (leasedInput == input.fd && inputOpenedForWriting))) {
        error = CHANGED_WHILE_READ;
        unchanged = false;
    }
    releaseLease(input.fd);
    close(input.fd);
    input.fd = -1;
    return unchanged;
}

void prepareProcess() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            // Read-only: reading gives the end at once, writing fails.
            int taken = open("/dev/null", O_RDONLY);
            taken = taken >= 0 ? taken : open("/", O_RDONLY | O_DIRECTORY);
            if (taken >= 0 && taken != fd) {
                dup2(taken, fd);
                close(taken);
            }
        }
    }
    signal(SIGPIPE, SIG_IGN);
}

void installFatalHandlers(void (*cleanup)()) {
    fatalCleanup.store(cleanup);
    forEachFatalSignal(handle);
}

void holdInterruptions() {
    sigprocmask(SIG_BLOCK, &interruptions(), &maskBeforeHold);
}

void releaseInterruptions() {
    sigprocmask(SIG_SETMASK, &maskBeforeHold, nullptr);
}

void runPause() {
    std::fflush(stdout);
    std::fputs("Press Enter to continue . . .\n", stdout);
    std::fflush(stdout);
    int c;
    do {
        c = std::getchar();
    } while (c != '\n' && c != EOF);
}

std::string systemErrorText(int error) {
    return std::strerror(error);
}

bool pathExists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

std::string workingFolder() {
    char* const folder = getcwd(nullptr, 0);
    const std::string path = folder && folder[0] == '/' ? folder : "";
    std::free(folder);
    return path.empty() || path == "/" ? path : path + "/";
}

bool printText(const std::string& text) {
    if (std::fflush(stdout) != 0) {
        return false;
    }
    for (size_t done = 0; done < text.size();) {
        const ssize_t put = write(1, text.data() + done, text.size() - done);
        if (put <= 0 && !(put < 0 && errno == EINTR)) {
            return false;
        }
        done += size_t(std::max<ssize_t>(put, 0));
    }
    return true;
}
