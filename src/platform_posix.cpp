// The platform on POSIX systems: descriptors, mapping, links, signals.
#include "platform_os.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#ifndef MADV_POPULATE_READ
#define MADV_POPULATE_READ 22
#endif

namespace {

// The run's registry, for the handlers; nullptr outside a run.
std::atomic<CleanupRegistry*> activeRegistry{nullptr};

constexpr int INTERRUPTIONS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGXFSZ};

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

// An interruption, the file-size limit, or a mapped input that shrank or failed: the
// temporaries go, and then the signal ends the process as it would have, except for
// the input's failure, which is reported as an unreadable input is.
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

void installHandlers() {
    struct sigaction action = {};
    action.sa_handler = onFatalSignal;
    action.sa_mask = interruptionSet();
    for (const int sig : INTERRUPTIONS) {
        struct sigaction previous = {};
        if (sigaction(sig, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) {
            sigaction(sig, &action, nullptr);
        }
    }
    sigaction(SIGBUS, &action, nullptr);
}

} // namespace

long long platformSeek(int fd, uint64_t offset) {
    return lseek(fd, off_t(offset), SEEK_SET);
}
long long platformSeekEnd(int fd) {
    return lseek(fd, 0, SEEK_END);
}
long long platformRead(int fd, void* dest, size_t size) {
    return read(fd, dest, size);
}
long long platformWrite(int fd, const void* data, size_t size) {
    return write(fd, data, size);
}
int platformClose(int fd) {
    return close(fd);
}
int processId() {
    return int(getpid());
}

bool openExclusive(const std::string& path, bool, int& fd, int& error) {
    fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    error = errno;
    return fd >= 0;
}

bool removePath(const char* path) {
    return unlink(path) == 0;
}

bool renamePath(const std::string& from, const std::string& to, int& error) {
    if (std::rename(from.c_str(), to.c_str()) != 0) {
        error = errno;
        return false;
    }
    return true;
}

std::string directoryOf(const std::string& path) {
    const size_t end = path.rfind('/');
    return end == std::string::npos ? std::string() : path.substr(0, end + 1);
}

// A replaced file keeps the permission bits it had, as it would if it were opened and
// truncated; a new one gets the defaults the creation gave it.
bool keepMode(int fd, const std::string& target, int& error) {
    struct stat info;
    if (stat(target.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        fchmod(fd, info.st_mode & 0777) != 0) {
        error = errno;
        return false;
    }
    return true;
}

const uint8_t* mapFile(int fd, uint64_t size) {
    if (size > uint64_t(SIZE_MAX)) {
        return nullptr;
    }
    void* map = mmap(nullptr, size_t(size), PROT_READ, MAP_PRIVATE, fd, 0);
    return map == MAP_FAILED ? nullptr : static_cast<const uint8_t*>(map);
}

void holdInterruptions(CleanupRegistry&) {
    const sigset_t set = interruptionSet();
    sigprocmask(SIG_BLOCK, &set, &maskBeforeHold);
}

void releaseInterruptions(CleanupRegistry&) {
    sigprocmask(SIG_SETMASK, &maskBeforeHold, nullptr);
}

void guardRun(CleanupRegistry* registry) {
    activeRegistry.store(registry);
    if (registry) {
        installHandlers();
    }
}

bool openInput(const std::string& path, int& fd, uint64_t& size, FileId& id, int& error) {
    // Not blocking, so that a pipe is refused at once rather than waited on.
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = errno;
        return false;
    }
    struct stat info;
    const bool known = fstat(fd, &info) == 0;
    if (!known || !S_ISREG(info.st_mode)) {
        error = !known ? errno : S_ISDIR(info.st_mode) ? EISDIR : NOT_REGULAR_FILE;
        platformClose(fd);
        fd = -1;
        return false;
    }
    id = {uint64_t(info.st_dev), uint64_t(info.st_ino)};
    size = uint64_t(info.st_size);
    return true;
}

bool createScratchFile(int& fd, int& error) {
#if defined(__linux__)
    fd = memfd_create("tarvelin", MFD_CLOEXEC);
    error = errno;
    return fd >= 0;
#else
    FILE* file = std::tmpfile();
    fd = file ? dup(fileno(file)) : -1;
    error = errno;
    if (file) {
        std::fclose(file);
    }
    return fd >= 0;
#endif
}

void settleInput(const InputBytes& bytes, uint64_t blocksEnd) {
    if (bytes.storage || bytes.size == 0) {
        return;
    }
    // Both are advice: where the kernel cannot follow it, pages stay or come in as touched.
    const uint64_t page = uint64_t(sysconf(_SC_PAGESIZE));
    const uint64_t released = blocksEnd / page * page;
    auto* base = const_cast<uint8_t*>(bytes.data);
    madvise(base + released, size_t(bytes.size - released), MADV_DONTNEED);
    madvise(base, size_t(blocksEnd), MADV_POPULATE_READ);
}

bool followLinks(const std::string& path, std::string& target, int& error) {
    target = path;
    // As many links as the system itself follows before it gives up with ELOOP.
    for (int hop = 0; hop < 40; ++hop) {
        struct stat info;
        if (lstat(target.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
            return true;
        }
        std::vector<char> link(256);
        ssize_t length;
        while ((length = readlink(target.c_str(), link.data(), link.size())) >= 0 &&
               size_t(length) == link.size()) {
            link.resize(link.size() * 2);
        }
        if (length < 0) {
            error = errno;
            return false;
        }
        const std::string next(link.data(), size_t(length));
        target = next[0] == '/' ? next : directoryOf(target) + next;
    }
    error = ELOOP;
    return false;
}

bool checkReplaceable(const std::string& target, const FileId& input, int& error) {
    struct stat info;
    if (stat(target.c_str(), &info) != 0) {
        return true;
    }
    if (info.st_dev == input.device && info.st_ino == input.index) {
        error = IS_THE_INPUT;
    } else if (S_ISDIR(info.st_mode)) {
        error = EISDIR;
    } else if (!S_ISREG(info.st_mode)) {
        error = NOT_REGULAR_FILE;
    } else {
        return true;
    }
    return false;
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
