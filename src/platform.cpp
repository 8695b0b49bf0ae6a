#include "platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// One call moves at most this much, which every platform accepts.
constexpr size_t CHUNK = size_t(1) << 30;

#ifdef _WIN32
// Paths travel through the program as UTF-8 and meet Windows as UTF-16, so that any
// file name can be opened, not only those of the current code page.
std::wstring widen(const char* text) {
    const int length = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    std::wstring wide(length > 0 ? size_t(length) : 1, L'\0');
    if (length > 0) {
        MultiByteToWideChar(CP_UTF8, 0, text, -1, &wide[0], length);
    }
    wide.resize(wide.size() - 1);
    return wide;
}
int platformOpen(const char* path, int flags, int mode) {
    return _wopen(widen(path).c_str(), flags, mode);
}
long long platformSeek(int fd, uint64_t offset) {
    return _lseeki64(fd, (long long)offset, SEEK_SET);
}
long long platformRead(int fd, void* dest, size_t size) {
    return _read(fd, dest, unsigned(size));
}
long long platformWrite(int fd, const void* data, size_t size) {
    return _write(fd, data, unsigned(size));
}
int platformClose(int fd) {
    return _close(fd);
}
int processId() {
    return _getpid();
}
constexpr int READ_FLAGS = _O_RDONLY | _O_BINARY;
constexpr int CREATE_FLAGS = _O_WRONLY | _O_CREAT | _O_EXCL;
constexpr int BINARY_FLAG = _O_BINARY;
constexpr int TEXT_FLAG = _O_TEXT;
constexpr int CREATE_MODE = _S_IREAD | _S_IWRITE;
#else
int platformOpen(const char* path, int flags, int mode) {
    return open(path, flags, mode);
}
long long platformSeek(int fd, uint64_t offset) {
    return lseek(fd, off_t(offset), SEEK_SET);
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
constexpr int READ_FLAGS = O_RDONLY | O_CLOEXEC;
constexpr int CREATE_FLAGS = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
constexpr int BINARY_FLAG = 0;
constexpr int TEXT_FLAG = 0;
constexpr int CREATE_MODE = 0666;
#endif

bool statFile(int fd, uint64_t& size, bool& directory) {
#ifdef _WIN32
    struct _stati64 info;
    const bool known = _fstati64(fd, &info) == 0;
    directory = known && (info.st_mode & _S_IFDIR) != 0;
#else
    struct stat info;
    const bool known = fstat(fd, &info) == 0;
    directory = known && S_ISDIR(info.st_mode);
#endif
    size = known ? uint64_t(info.st_size) : 0;
    return known;
}

// Temporary files in progress, for the mapped-input guard to remove. Plain C strings,
// so that a signal handler may read them.
constexpr int GUARDED = 2;
char* volatile guardedPaths[GUARDED] = {};

char* copyText(const std::string& text) {
    char* copy = new char[text.size() + 1];
    std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

void guardTemporary(const std::string& path) {
    for (auto& slot : guardedPaths) {
        if (!slot) {
            slot = copyText(path);
            return;
        }
    }
}

void releaseTemporary(const std::string& path) {
    for (auto& slot : guardedPaths) {
        if (slot && path == slot) {
            char* const old = slot;
            slot = nullptr;
            delete[] old;
        }
    }
}

#ifndef _WIN32
const char* volatile mappedInputMessage = nullptr;

// A mapped input that shrank or hit a read error: nothing sound can be written, so
// the temporaries go and the program ends as for any unreadable input.
extern "C" void onMappedInputFault(int) {
    for (char* path : guardedPaths) {
        if (path) {
            unlink(path);
        }
    }
    const char* message = mappedInputMessage;
    if (message && write(1, message, std::strlen(message)) < 0) {
        _exit(255);
    }
    _exit(255);
}
#endif

} // namespace

bool openInput(const std::string& path, int& fd, uint64_t& size, int& error) {
    fd = platformOpen(path.c_str(), READ_FLAGS, 0);
    if (fd < 0) {
        error = errno;
        return false;
    }
    bool directory = false;
    if (!statFile(fd, size, directory) || directory) {
        error = directory ? EISDIR : errno;
        platformClose(fd);
        fd = -1;
        return false;
    }
    return true;
}

bool readAt(int fd, uint64_t offset, void* dest, size_t size, int& error) {
    if (platformSeek(fd, offset) < 0) {
        error = errno;
        return false;
    }
    auto* at = static_cast<char*>(dest);
    while (size > 0) {
        const long long got = platformRead(fd, at, size < CHUNK ? size : CHUNK);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            error = got < 0 ? errno : 0;
            return false;
        }
        at += got;
        size -= size_t(got);
    }
    return true;
}

bool writeAll(int fd, const void* data, size_t size, int& error) {
    const auto* at = static_cast<const char*>(data);
    while (size > 0) {
        const long long put = platformWrite(fd, at, size < CHUNK ? size : CHUNK);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            error = put < 0 ? errno : ENOSPC;
            return false;
        }
        at += put;
        size -= size_t(put);
    }
    return true;
}

bool writeAt(int fd, uint64_t offset, const void* data, size_t size, int& error) {
#ifdef _WIN32
    const long long end = _lseeki64(fd, 0, SEEK_END);
#else
    const long long end = lseek(fd, 0, SEEK_END);
#endif
    if (end < 0 || platformSeek(fd, offset) < 0) {
        error = errno;
        return false;
    }
    if (!writeAll(fd, data, size, error)) {
        return false;
    }
    if (platformSeek(fd, uint64_t(end)) < 0) {
        error = errno;
        return false;
    }
    return true;
}

bool closeFile(int fd, int& error) {
    if (platformClose(fd) != 0) {
        error = errno;
        return false;
    }
    return true;
}

const uint8_t* mapInput(int fd, uint64_t size, const std::string& path) {
#ifdef _WIN32
    (void)fd;
    (void)size;
    (void)path;
    return nullptr;
#else
    if (size == 0 || size > uint64_t(SIZE_MAX)) {
        return nullptr;
    }
    void* map = mmap(nullptr, size_t(size), PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    if (map == MAP_FAILED) {
        return nullptr;
    }
    const std::string message =
        "Cannot read \"" + path + "\": the file changed or failed while it was being read\n";
    mappedInputMessage = copyText(message);
    struct sigaction action = {};
    action.sa_handler = onMappedInputFault;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, nullptr);
    return static_cast<const uint8_t*>(map);
#endif
}

bool createTemporary(const std::string& target, bool text, std::string& tempPath, int& fd,
                     int& error) {
    static unsigned serial = 0;
    const int flags = CREATE_FLAGS | (text ? TEXT_FLAG : BINARY_FLAG);
    for (int attempt = 0; attempt < 100; ++attempt) {
        tempPath = target + ".tmp" + std::to_string(processId()) + "-" + std::to_string(serial++);
        fd = platformOpen(tempPath.c_str(), flags, CREATE_MODE);
        if (fd >= 0) {
            guardTemporary(tempPath);
            return true;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    error = errno;
    return false;
}

bool replaceFile(const std::string& from, const std::string& to, int& error) {
    releaseTemporary(from);
#ifdef _WIN32
    if (MoveFileExW(widen(from.c_str()).c_str(), widen(to.c_str()).c_str(),
                    MOVEFILE_REPLACE_EXISTING) == 0) {
        // A target held open by another program is refused as a sharing violation.
        const DWORD code = GetLastError();
        const bool refused = code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION ||
                             code == ERROR_LOCK_VIOLATION;
        error = refused ? EACCES : code == ERROR_DISK_FULL ? ENOSPC : EIO;
        return false;
    }
    return true;
#else
    if (std::rename(from.c_str(), to.c_str()) != 0) {
        error = errno;
        return false;
    }
    return true;
#endif
}

void removeFile(const std::string& path) {
    releaseTemporary(path);
#ifdef _WIN32
    _wremove(widen(path.c_str()).c_str());
#else
    std::remove(path.c_str());
#endif
}

std::string errorText(int error) {
    if (error == 0) {
        return "the file ended early";
    }
    return std::strerror(error);
}

void runPause() {
    std::fflush(stdout);
#ifdef _WIN32
    if (std::system("PAUSE") != 0) {
        return;
    }
#else
    std::fputs("Press Enter to continue . . .\n", stdout);
    std::fflush(stdout);
    int c;
    do {
        c = std::getchar();
    } while (c != '\n' && c != EOF);
#endif
}

#ifdef _WIN32
std::vector<std::string> utf8Arguments(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) {
        const int length =
            WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
        std::string arg(length > 0 ? size_t(length) : 1, '\0');
        if (length > 0) {
            WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, &arg[0], length, nullptr, nullptr);
        }
        arg.resize(arg.size() - 1);
        args.push_back(arg);
    }
    return args;
}
#endif

int consoleDescriptor() {
    std::fflush(stdout);
    return 1;
}
