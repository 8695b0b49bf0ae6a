// The platform on POSIX systems: the standard streams, the signals that end a run,
// and the input mapped into memory, whose failure is a signal too.
#include "platform.h"
#include "platform_seam.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <new>

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>
#ifndef MADV_POPULATE_READ
#define MADV_POPULATE_READ 22
#endif

namespace {

// What the fatal-signal handler runs before the signal ends the process.
std::atomic<void (*)()> fatalCleanup{nullptr};

// The mapped input, and where to go back to should it fail while it is read.
std::atomic<const char*> mappedBegin{nullptr};
std::atomic<const char*> mappedEnd{nullptr};
sigjmp_buf inputFailed;
volatile sig_atomic_t readingInput = 0;
// While interruptions are held, a fault signal that another process sent (it cannot be
// blocked as the others are) waits here until the release.
volatile sig_atomic_t holding = 0;
volatile sig_atomic_t sentWhileHeld = 0;

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

// The program's own faults: they cannot be held off, and come back at once if ignored.
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

// The signals a hold holds off, asked of the system once.
const sigset_t& interruptions() {
    static const sigset_t held = [] {
        sigset_t set;
        sigemptyset(&set);
        forEachFatalSignal([&](int sig, const struct sigaction&) {
            if (!isFault(sig)) {
                sigaddset(&set, sig);
            }
        });
        return set;
    }();
    return held;
}

bool insideMappedInput(const void* address) {
    const char* const at = static_cast<const char*>(address);
    return at >= mappedBegin.load() && at < mappedEnd.load();
}

// A fault of the mapped input while it is read goes back to the reading, as a failed
// read. Any other fatal signal runs the cleanup and then ends the process as it would
// have: a SIGBUS another process sent (si_code of 0 or below) is no input fault.
extern "C" void onFatalSignal(int sig, siginfo_t* info, void*) {
    const bool sent = !info || info->si_code <= 0;
    if (sig == SIGBUS && readingInput && !sent && insideMappedInput(info->si_addr)) {
        siglongjmp(inputFailed, 1);
    }
    if (sent && holding) {
        sentWhileHeld = sig;
        return;
    }
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
    action.sa_sigaction = onFatalSignal;
    action.sa_flags = SA_SIGINFO;
    action.sa_mask = interruptions();
    sigaction(sig, &action, nullptr);
}

// The mask to go back to when a hold ends.
sigset_t maskBeforeHold;

bool readWhole(int fd, uint8_t* at, uint64_t size, int& error) {
    for (uint64_t done = 0; done < size;) {
        const size_t chunk = size_t(std::min<uint64_t>(size - done, uint64_t(1) << 30));
        const ssize_t got = OS_CALL("pread", -1, pread(fd, at + done, chunk, off_t(done)));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            error = got == 0 ? ENDED_EARLY : errno;
            return false;
        }
        done += uint64_t(got);
    }
    return true;
}

} // namespace

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
    holding = 1;
}

void releaseInterruptions() {
    holding = 0;
    sigprocmask(SIG_SETMASK, &maskBeforeHold, nullptr);
    if (sentWhileHeld != 0) {
        raise(sentWhileHeld);
    }
}

bool takeInputBytes(int fd, uint64_t size, InputBytes& bytes, int& error) {
    static const uint8_t nothing = 0;
    bytes.size = size;
    if (size == 0) {
        bytes.data = &nothing;
        return true;
    }
    if (size > uint64_t(SIZE_MAX)) {
        error = OUT_OF_MEMORY;
        return false;
    }
    void* const map =
        OS_CALL("mmap", MAP_FAILED, mmap(nullptr, size_t(size), PROT_READ, MAP_PRIVATE, fd, 0));
    if (map != MAP_FAILED) {
        bytes.data = static_cast<const uint8_t*>(map);
        mappedBegin.store(static_cast<const char*>(map));
        mappedEnd.store(static_cast<const char*>(map) + size);
        return true;
    }
    // Where the file cannot be mapped, it is read.
    bytes.storage.reset(new (std::nothrow) uint8_t[size_t(size)]);
    if (!bytes.storage) {
        error = OUT_OF_MEMORY;
        return false;
    }
    bytes.data = bytes.storage.get();
    return readWhole(fd, bytes.storage.get(), size, error);
}

void settleInput(const InputBytes& bytes, uint64_t blocksEnd) {
    if (bytes.storage || bytes.size == 0) {
        return;
    }
    // Both are advice: where the kernel cannot follow it, pages stay or come in as touched.
    const uint64_t page = uint64_t(sysconf(_SC_PAGESIZE));
    const uint64_t released = blocksEnd / page * page;
    auto* base = const_cast<uint8_t*>(bytes.data);
    OS_CALL("madvise", -1, madvise(base + released, size_t(bytes.size - released), MADV_DONTNEED));
    OS_CALL("madvise", -1, madvise(base, size_t(blocksEnd), MADV_POPULATE_READ));
}

bool readMappedInput(void (*work)(void*), void* context) {
    struct sigaction current = {};
    if (sigaction(SIGBUS, nullptr, &current) == 0 && current.sa_sigaction != onFatalSignal) {
        handle(SIGBUS, current);
    }
    if (sigsetjmp(inputFailed, 1) != 0) {
        readingInput = 0;
        return false;
    }
    readingInput = 1;
    work(context);
    readingInput = 0;
    return true;
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
