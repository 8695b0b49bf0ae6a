// The platform on Windows: UTF-16 names, handles behind the C runtime's descriptors,
// file mappings and the console control handler.
#include "platform_windows.h"
#include "platform_os.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <windows.h>

namespace {

// The run's registry, for the console handler; nullptr outside a run.
std::atomic<CleanupRegistry*> activeRegistry{nullptr};

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

} // namespace

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

// Windows has no permission bits to carry over; a read-only target is refused earlier.
bool keepMode(int, const std::string&, int&) {
    return true;
}

const uint8_t* mapFile(int fd, uint64_t size) {
    if (size > uint64_t(SIZE_MAX)) {
        return nullptr;
    }
    HANDLE mapping = CreateFileMappingW(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), nullptr,
                                        PAGE_READONLY, 0, 0, nullptr);
    if (!mapping) {
        return nullptr;
    }
    void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    CloseHandle(mapping);
    return static_cast<const uint8_t*>(view);
}

// The registry is also read by the console handler's thread: the busy flag keeps the
// two from changing files and entries at once.
void holdInterruptions(CleanupRegistry& registry) {
    while (registry.busy.test_and_set()) {
        Sleep(1);
    }
}

void releaseInterruptions(CleanupRegistry& registry) {
    registry.busy.clear();
}

void guardRun(CleanupRegistry* registry) {
    activeRegistry.store(registry);
    SetConsoleCtrlHandler(handleConsoleControl, registry != nullptr);
}

bool openInput(const std::string& path, int& fd, uint64_t& size, FileId& id, int& error) {
    fd = _wopen(toUtf16(path).c_str(), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        error = isDirectory(path) ? EISDIR : errno;
        return false;
    }
    struct _stati64 info;
    const bool known =
        _fstati64(fd, &info) == 0 && identify(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), id);
    if (!known || (info.st_mode & _S_IFREG) == 0) {
        error = !known ? errno : (info.st_mode & _S_IFDIR) != 0 ? EISDIR : NOT_REGULAR_FILE;
        platformClose(fd);
        fd = -1;
        return false;
    }
    size = uint64_t(info.st_size);
    return true;
}

bool createScratchFile(int& fd, int& error) {
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
}

// The mapped view stays as it is: Windows reads its pages in as they are touched.
void settleInput(const InputBytes&, uint64_t) {}

// Windows targets are replaced where they are named.
bool followLinks(const std::string& path, std::string& target, int&) {
    target = path;
    return true;
}

bool checkReplaceable(const std::string& target, const FileId& input, int& error) {
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
}

void runPause() {
    std::fflush(stdout);
    if (std::system("PAUSE") != 0) {
        return;
    }
}

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
        holdInterruptions(*registry);
        removeRegistered(*registry);
    }
    return FALSE;
}
