// The platform on POSIX systems: the standard streams, and the signals that end a run.
#include "platform_os.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace {

// The run's registry, for the handlers; nullptr outside a run.
std::atomic<CleanupRegistry*> activeRegistry{nullptr};

// Every signal whose default action ends the process. Those that come from outside
// are held off while files are put in place; those from the program's own faults
// cannot be held.
constexpr int INTERRUPTIONS[] = {SIGINT,  SIGTERM, SIGHUP,    SIGQUIT, SIGXFSZ, SIGUSR1,
                                 SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGIO,
#ifdef SIGPWR
                                 SIGPWR
#endif
};
constexpr int FAULTS[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT};

sigset_t interruptionSet() {
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : INTERRUPTIONS) {
        sigaddset(&set, sig);
    }
    return set;
}

// The mask to go back to when a hold ends.
sigset_t maskBeforeHold;

// A signal that would end the process: the registered files go, and then the signal
// ends it as it would have, except for a mapped input that shrank or failed (SIGBUS
// with an input fault), which is reported as an unreadable input is.
extern "C" void onFatalSignal(int sig) {
    CleanupRegistry* const registry = activeRegistry.load();
    if (registry) {
        removeRegistered(*registry);
        const char* const message = sig == SIGBUS ? registry->inputFault.load() : nullptr;
        if (message) {
            if (write(1, message, std::strlen(message)) < 0) {
                _exit(255);
            }
            _exit(255);
        }
    }
    signal(sig, SIG_DFL);
    raise(sig);
}

void handle(int sig, const struct sigaction& action) {
    struct sigaction previous = {};
    if (sigaction(sig, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) {
        sigaction(sig, &action, nullptr);
    }
}

void installHandlers() {
    struct sigaction action = {};
    action.sa_handler = onFatalSignal;
    action.sa_mask = interruptionSet();
    for (const int sig : INTERRUPTIONS) {
        handle(sig, action);
    }
    for (const int sig : FAULTS) {
        handle(sig, action);
    }
}

} // namespace

void holdInterruptions(CleanupRegistry&) {
    const sigset_t set = interruptionSet();
    sigprocmask(SIG_BLOCK, &set, &maskBeforeHold);
}

void releaseInterruptions(CleanupRegistry&) {
    sigprocmask(SIG_SETMASK, &maskBeforeHold, nullptr);
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

void guardRun(CleanupRegistry* registry) {
    activeRegistry.store(registry);
    if (registry) {
        installHandlers();
    }
}
