#include "platform.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
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
#ifndef MADV_POPULATE_READ
#define MADV_POPULATE_READ 22
#endif
#endif

namespace {

// One call moves at most this much, which every platform accepts.
constexpr size_t CHUNK = size_t(1) << 30;
// A file is printed a megabyte at a time.
constexpr uint64_t CHUNK_PRINTED = uint64_t(1) << 20;

// The run's registry, for the handlers; nullptr outside a run.
std::atomic<CleanupRegistry*> activeRegistry{nullptr};

#ifdef _WIN32
void appendUtf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | c >> 6);
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | c >> 12);
        out += char(0x80 | (c >> 6 & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | c >> 18);
        out += char(0x80 | (c >> 12 & 0x3F));
        out += char(0x80 | (c >> 6 & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

int errnoFromWindows(DWORD code) {
    switch (code) {
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_FILENAME_EXCED_RANGE:
        return ENAMETOOLONG;
    default:
        return EIO;
    }
}

bool identify(HANDLE handle, FileId& id) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) {
        return false;
    }
    id.device = info.dwVolumeSerialNumber;
    id.index = uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
    return true;
}

bool isDirectory(const std::string& path) {
    const DWORD attributes = GetFileAttributesW(toUtf16(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

long long platformSeek(int fd, uint64_t offset) {
    return _lseeki64(fd, (long long)offset, SEEK_SET);
}
long long platformSeekEnd(int fd) {
    return _lseeki64(fd, 0, SEEK_END);
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

// Opened so that the console handler may delete it while it is still open: the name
// goes at once and the file when the process ends.
bool openExclusive(const std::string& path, bool text, int& fd, int& error) {
    HANDLE handle =
        CreateFileW(toUtf16(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                    nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = errnoFromWindows(GetLastError());
        return false;
    }
    fd = _open_osfhandle(intptr_t(handle), _O_WRONLY | (text ? _O_TEXT : _O_BINARY));
    if (fd < 0) {
        CloseHandle(handle);
        DeleteFileW(toUtf16(path).c_str());
        error = EMFILE;
        return false;
    }
    return true;
}

bool removePath(const char* path) {
    return DeleteFileW(toUtf16(path).c_str()) != 0;
}

bool renamePath(const std::string& from, const std::string& to, int& error) {
    if (!MoveFileExW(toUtf16(from).c_str(), toUtf16(to).c_str(), MOVEFILE_REPLACE_EXISTING)) {
        error = errnoFromWindows(GetLastError());
        return false;
    }
    return true;
}

std::string directoryOf(const std::string& path) {
    const size_t end = path.find_last_of("/\\:");
    return end == std::string::npos ? std::string() : path.substr(0, end + 1);
}

// The registry is also read by the console handler's thread: this flag keeps the two
// from changing files and entries at once.
struct Held {};
Held hold(CleanupRegistry& registry) {
    while (registry.busy.test_and_set()) {
        Sleep(1);
    }
    return {};
}
void release(CleanupRegistry& registry, const Held&) {
    registry.busy.clear();
}
#else
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

constexpr int INTERRUPTIONS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGXFSZ};

sigset_t interruptionSet() {
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : INTERRUPTIONS) {
        sigaddset(&set, sig);
    }
    return set;
}

struct Held {
    sigset_t previous;
};
Held hold(CleanupRegistry&) {
    const sigset_t set = interruptionSet();
    Held held;
    sigprocmask(SIG_BLOCK, &set, &held.previous);
    return held;
}
void release(CleanupRegistry&, const Held& held) {
    sigprocmask(SIG_SETMASK, &held.previous, nullptr);
}
#endif

// Removes every file the registry holds. Safe in a signal handler: no allocation, and
// each entry is taken out whole.
void removeRegistered(CleanupRegistry& registry) {
    for (auto& slot : registry.temporaries) {
        char* const path = slot.exchange(nullptr);
        if (path) {
            removePath(path);
        }
    }
}

void enlist(CleanupRegistry& registry, const std::string& path) {
    for (auto& slot : registry.temporaries) {
        if (!slot.load()) {
            char* copy = new char[path.size() + 1];
            std::memcpy(copy, path.c_str(), path.size() + 1);
            slot.store(copy);
            return;
        }
    }
}

void delist(CleanupRegistry& registry, const std::string& path) {
    for (auto& slot : registry.temporaries) {
        char* const held = slot.load();
        if (held && path == held) {
            slot.store(nullptr);
            delete[] held;
        }
    }
}

#ifndef _WIN32
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
#endif

// A short name no other file is likely to have; creating it exclusively makes sure.
std::string randomName(int attempt) {
    uint64_t x = uint64_t(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                 uint64_t(processId()) << 40 ^ uint64_t(attempt) * 0x9E3779B97F4A7C15ull;
    x = (x ^ x >> 30) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ x >> 27) * 0x94D049BB133111EBull;
    x ^= x >> 31;
    static const char letters[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string name;
    for (int i = 0; i < 8; ++i, x /= 36) {
        name += letters[x % 36];
    }
    return name;
}

// A replaced file keeps the permission bits it had, as it would if it were opened and
// truncated; a new one gets the defaults the creation gave it.
bool keepMode(int fd, const std::string& target, int& error) {
#ifdef _WIN32
    (void)fd;
    (void)target;
    (void)error;
#else
    struct stat info;
    if (stat(target.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        fchmod(fd, info.st_mode & 0777) != 0) {
        error = errno;
        return false;
    }
#endif
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

// Maps a whole file for reading without reading it: pages come in as they are first
// touched. nullptr where the file or the platform does not allow it.
const uint8_t* mapFile(int fd, uint64_t size) {
    if (size > uint64_t(SIZE_MAX)) {
        return nullptr;
    }
#ifdef _WIN32
    HANDLE mapping = CreateFileMappingW(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), nullptr,
                                        PAGE_READONLY, 0, 0, nullptr);
    if (!mapping) {
        return nullptr;
    }
    void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    CloseHandle(mapping);
    return static_cast<const uint8_t*>(view);
#else
    void* map = mmap(nullptr, size_t(size), PROT_READ, MAP_PRIVATE, fd, 0);
    return map == MAP_FAILED ? nullptr : static_cast<const uint8_t*>(map);
#endif
}

} // namespace

void guardRun(CleanupRegistry* registry) {
    activeRegistry.store(registry);
#ifdef _WIN32
    SetConsoleCtrlHandler(handleConsoleControl, registry != nullptr);
#else
    if (registry) {
        installHandlers();
    }
#endif
}

bool openInput(const std::string& path, int& fd, uint64_t& size, FileId& id, int& error) {
#ifdef _WIN32
    fd = _wopen(toUtf16(path).c_str(), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        error = isDirectory(path) ? EISDIR : errno;
        return false;
    }
    struct _stati64 info;
    const bool known =
        _fstati64(fd, &info) == 0 && identify(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), id);
    const bool directory = known && (info.st_mode & _S_IFDIR) != 0;
    const bool regular = known && (info.st_mode & _S_IFREG) != 0;
#else
    // Not blocking, so that a pipe is refused at once rather than waited on.
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = errno;
        return false;
    }
    struct stat info;
    const bool known = fstat(fd, &info) == 0;
    const bool directory = known && S_ISDIR(info.st_mode);
    const bool regular = known && S_ISREG(info.st_mode);
    if (known) {
        id = {uint64_t(info.st_dev), uint64_t(info.st_ino)};
    }
#endif
    if (!regular) {
        error = !known ? errno : directory ? EISDIR : NOT_REGULAR_FILE;
        platformClose(fd);
        fd = -1;
        return false;
    }
    size = uint64_t(info.st_size);
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
    const long long end = platformSeekEnd(fd);
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

bool createScratchFile(int& fd, int& error) {
#ifdef _WIN32
    wchar_t directory[MAX_PATH + 1];
    wchar_t name[MAX_PATH + 1];
    if (GetTempPathW(MAX_PATH + 1, directory) == 0 ||
        GetTempFileNameW(directory, L"tvl", 0, name) == 0) {
        error = errnoFromWindows(GetLastError());
        return false;
    }
    HANDLE handle = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = errnoFromWindows(GetLastError());
        DeleteFileW(name);
        return false;
    }
    fd = _open_osfhandle(intptr_t(handle), _O_RDWR | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        error = EMFILE;
        return false;
    }
    return true;
#elif defined(__linux__)
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

bool readBack(int fd, void* dest, size_t size, int& error) {
    return readAt(fd, 0, dest, size, error);
}

bool takeInputBytes(int fd, uint64_t size, InputBytes& bytes, int& error) {
    static const uint8_t nothing = 0;
    bytes.size = size;
    bytes.data = size == 0 ? &nothing : mapFile(fd, size);
    if (bytes.data) {
        return true;
    }
    if (size > uint64_t(SIZE_MAX)) {
        error = ENOMEM;
        return false;
    }
    bytes.storage.reset(new (std::nothrow) uint8_t[size_t(size)]);
    if (!bytes.storage) {
        error = ENOMEM;
        return false;
    }
    bytes.data = bytes.storage.get();
    return readAt(fd, 0, bytes.storage.get(), size_t(size), error);
}

void settleInput(const InputBytes& bytes, uint64_t blocksEnd) {
#ifdef _WIN32
    (void)bytes;
    (void)blocksEnd;
#else
    if (bytes.storage || bytes.size == 0) {
        return;
    }
    // Both are advice: where the kernel cannot follow it, pages stay or come in as touched.
    const uint64_t page = uint64_t(sysconf(_SC_PAGESIZE));
    const uint64_t released = blocksEnd / page * page;
    auto* base = const_cast<uint8_t*>(bytes.data);
    madvise(base + released, size_t(bytes.size - released), MADV_DONTNEED);
    madvise(base, size_t(blocksEnd), MADV_POPULATE_READ);
#endif
}

bool followLinks(const std::string& path, std::string& target, int& error) {
    target = path;
#ifndef _WIN32
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
#else
    (void)error;
    return true;
#endif
}

bool checkReplaceable(const std::string& target, const FileId& input, int& error) {
#ifdef _WIN32
    const std::wstring wide = toUtf16(target);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return true;
    }
    FileId id;
    HANDLE file =
        CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const bool known = file != INVALID_HANDLE_VALUE && identify(file, id);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    if (known && id.device == input.device && id.index == input.index) {
        error = IS_THE_INPUT;
        return false;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        error = EISDIR;
        return false;
    }
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        error = EACCES;
        return false;
    }
    // A file another program holds open without sharing its deletion cannot be replaced.
    file = CreateFileW(wide.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = errnoFromWindows(GetLastError());
        return false;
    }
    CloseHandle(file);
    return true;
#else
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
#endif
}

bool createTemporary(CleanupRegistry& registry, const std::string& target, bool text,
                     std::string& tempPath, int& fd, int& error) {
    const std::string directory = directoryOf(target);
    const Held held = hold(registry);
    bool created = false;
    for (int attempt = 0; attempt < 100 && !created; ++attempt) {
        tempPath = directory + ".tarvelin-" + randomName(attempt);
        created = openExclusive(tempPath, text, fd, error);
        if (!created && error != EEXIST) {
            break;
        }
    }
    if (created) {
        enlist(registry, tempPath);
        if (!keepMode(fd, target, error)) {
            platformClose(fd);
            fd = -1;
            removePath(tempPath.c_str());
            delist(registry, tempPath);
            created = false;
        }
    }
    release(registry, held);
    return created;
}

void removeTemporary(CleanupRegistry& registry, const std::string& tempPath) {
    const Held held = hold(registry);
    removePath(tempPath.c_str());
    delist(registry, tempPath);
    release(registry, held);
}

bool replaceFiles(CleanupRegistry& registry, const std::vector<Replacement>& files, size_t& failed,
                  int& error) {
    const Held held = hold(registry);
    bool replaced = true;
    for (failed = 0; failed < files.size(); ++failed) {
        replaced = renamePath(files[failed].tempPath, files[failed].target, error);
        if (!replaced) {
            break;
        }
        delist(registry, files[failed].tempPath);
    }
    release(registry, held);
    return replaced;
}

std::string errorText(int error) {
    switch (error) {
    case ENDED_EARLY:
        return "the file ended early";
    case NOT_REGULAR_FILE:
        return "Not a regular file";
    case IS_THE_INPUT:
        return "it is the input file";
    default:
        return std::strerror(error);
    }
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

bool printFile(int fd, uint64_t size) {
    if (std::fflush(stdout) != 0) {
        return false;
    }
    std::unique_ptr<uint8_t[]> chunk(new uint8_t[CHUNK_PRINTED]);
    int error = 0;
    for (uint64_t at = 0; at < size; at += CHUNK_PRINTED) {
        const size_t count = size_t(std::min<uint64_t>(CHUNK_PRINTED, size - at));
        if (!readAt(fd, at, chunk.get(), count, error) || !writeAll(1, chunk.get(), count, error)) {
            return false;
        }
    }
    return true;
}

#ifdef _WIN32
std::string fromUtf16(const wchar_t* text) {
    std::string out;
    for (size_t i = 0; text[i] != 0; ++i) {
        uint32_t c = uint16_t(text[i]);
        const uint32_t next = uint16_t(text[i + 1]);
        if (c >= 0xD800 && c < 0xDC00 && next >= 0xDC00 && next < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00);
            ++i;
        }
        appendUtf8(out, c);
    }
    return out;
}

std::wstring toUtf16(const std::string& text) {
    std::wstring out;
    for (size_t i = 0; i < text.size();) {
        const uint8_t lead = uint8_t(text[i]);
        size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        length = i + length <= text.size() ? length : 1;
        uint32_t c = length == 1 ? lead : lead & (0x7Fu >> length);
        for (size_t k = 1; k < length; ++k) {
            c = c << 6 | (uint8_t(text[i + k]) & 0x3Fu);
        }
        i += length;
        if (c >= 0x10000) {
            c -= 0x10000;
            out += wchar_t(0xD800 + (c >> 10));
            out += wchar_t(0xDC00 + (c & 0x3FF));
        } else {
            out += wchar_t(c);
        }
    }
    return out;
}

std::vector<std::string> utf8Arguments(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) {
        args.push_back(fromUtf16(argv[i]));
    }
    return args;
}

unsigned useUtf8Console() {
    const unsigned codePage = GetConsoleOutputCP();
    if (codePage != 0) {
        SetConsoleOutputCP(CP_UTF8);
    }
    return codePage;
}

void restoreConsole(unsigned codePage) {
    if (codePage != 0) {
        SetConsoleOutputCP(codePage);
    }
}

int __stdcall handleConsoleControl(unsigned long event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    CleanupRegistry* const registry = activeRegistry.load();
    if (registry) {
        // Held for good: the process ends once the default handler runs.
        hold(*registry);
        removeRegistered(*registry);
    }
    return FALSE;
}
#endif
