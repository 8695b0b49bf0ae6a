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

// A path as Windows takes it whatever its length: whole, with "\\?\" before it.
std::wstring longPath(const std::string& path) {
    const std::wstring wide = toUtf16(path);
    if (wide.rfind(L"\\\\?\\", 0) == 0) {
        return wide;
    }
    std::wstring full(MAX_PATH, L'\0');
    DWORD length = GetFullPathNameW(wide.c_str(), DWORD(full.size()), &full[0], nullptr);
    if (length >= full.size()) {
        full.resize(length);
        length = GetFullPathNameW(wide.c_str(), DWORD(full.size()), &full[0], nullptr);
    }
    if (length == 0 || length >= full.size()) {
        return wide;
    }
    full.resize(length);
    if (full.rfind(L"\\\\", 0) == 0) {
        return L"\\\\?\\UNC\\" + full.substr(2);
    }
    return L"\\\\?\\" + full;
}

bool isDirectory(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

HANDLE handleOf(int fd) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

// Marks an open file to go when its last handle closes, or takes the mark back. A file
// so marked cannot be opened by another program either.
bool markForDeletion(int fd, bool marked) {
    FILE_DISPOSITION_INFO disposition = {};
    disposition.DeleteFile = marked;
    return SetFileInformationByHandle(handleOf(fd), FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}

// Virus scanners, indexers and sync clients open new files as they appear, and while
// they hold one it cannot be renamed or removed. Such a hold is waited out for a
// while (about two seconds in all) before the call is taken to have failed.
constexpr int HOLD_RETRIES = 12;

// Whether a call that failed with `code` on its `attempt`th try is held up by another
// program and may be tried again; if so, waits first.
bool waitedOutHold(DWORD code, int attempt) {
    const bool held = code == ERROR_SHARING_VIOLATION || code == ERROR_ACCESS_DENIED ||
                      code == ERROR_LOCK_VIOLATION;
    if (!held || attempt == HOLD_RETRIES) {
        return false;
    }
    Sleep(DWORD(attempt < 4 ? 1 << attempt : 250));
    return true;
}

bool moveReplacing(const std::wstring& from, const std::wstring& to, int& error) {
    for (int attempt = 0; !MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING);
         ++attempt) {
        const DWORD code = GetLastError();
        if (!waitedOutHold(code, attempt)) {
            error = errnoFromWindows(code);
            return false;
        }
    }
    return true;
}

bool deleteWaiting(const std::wstring& path) {
    for (int attempt = 0; !DeleteFileW(path.c_str()); ++attempt) {
        if (!waitedOutHold(GetLastError(), attempt)) {
            return false;
        }
    }
    return true;
}

// The file a path leads to once its links are followed, or "" when there is none.
std::wstring finalPath(const std::wstring& path, DWORD& code) {
    HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    code = file == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    std::wstring final;
    if (file != INVALID_HANDLE_VALUE) {
        final.resize(MAX_PATH);
        DWORD length = GetFinalPathNameByHandleW(file, &final[0], DWORD(final.size()), 0);
        if (length >= final.size()) {
            final.resize(length);
            length = GetFinalPathNameByHandleW(file, &final[0], DWORD(final.size()), 0);
        }
        final.resize(length < final.size() ? length : 0);
        CloseHandle(file);
    }
    return final;
}

bool identifyPath(const std::wstring& path, FileId& id) {
    HANDLE file =
        CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const bool known = file != INVALID_HANDLE_VALUE && identify(file, id);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    return known;
}

int64_t lastWritten(const BY_HANDLE_FILE_INFORMATION& info) {
    return int64_t(uint64_t(info.ftLastWriteTime.dwHighDateTime) << 32 |
                   info.ftLastWriteTime.dwLowDateTime);
}

std::wstring wholePath(const Place& place, const std::string& name) {
    return toUtf16(place.folderPath + name);
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

// Opened for deleting too, and marked to go when the process ends however it ends,
// until it is put in place.
bool openExclusive(const Place& place, const std::string& name, bool text, int& fd, int& error) {
    HANDLE handle = CreateFileW(wholePath(place, name).c_str(), GENERIC_WRITE | DELETE,
                                FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = errnoFromWindows(GetLastError());
        return false;
    }
    fd = _open_osfhandle(intptr_t(handle), _O_WRONLY | (text ? _O_TEXT : _O_BINARY));
    if (fd < 0) {
        CloseHandle(handle);
        DeleteFileW(wholePath(place, name).c_str());
        error = EMFILE;
        return false;
    }
    if (!markForDeletion(fd, true)) {
        error = errnoFromWindows(GetLastError());
        _close(fd);
        DeleteFileW(wholePath(place, name).c_str());
        return false;
    }
    return true;
}

bool linkInFolder(const Place& place, const std::string& from, const std::string& to, int& error) {
    if (!CreateHardLinkW(wholePath(place, to).c_str(), wholePath(place, from).c_str(), nullptr)) {
        error = errnoFromWindows(GetLastError());
        return false;
    }
    return true;
}

bool renameInFolder(const Place& place, const std::string& from, const std::string& to,
                    int& error) {
    return moveReplacing(wholePath(place, from), wholePath(place, to), error);
}

// One try: the registered temporaries are marked already, and a handler cannot wait.
bool removeInFolder(int, const char* name) {
    return DeleteFileW(toUtf16(name).c_str()) != 0;
}

const uint8_t* mapFile(int fd, uint64_t size) {
    if (size > uint64_t(SIZE_MAX)) {
        return nullptr;
    }
    HANDLE mapping = CreateFileMappingW(handleOf(fd), nullptr, PAGE_READONLY, 0, 0, nullptr);
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

void prepareProcess() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (_get_osfhandle(fd) == -1) {
            // Read-only: reading gives the end at once, writing fails.
            const int taken = _wopen(L"NUL", _O_RDONLY);
            if (taken >= 0 && taken != fd) {
                _dup2(taken, fd);
                _close(taken);
            }
        }
    }
}

void guardRun(CleanupRegistry* registry) {
    activeRegistry.store(registry);
    SetConsoleCtrlHandler(handleConsoleControl, registry != nullptr);
}

bool openInput(const std::string& path, InputFile& input, int& error) {
    const std::wstring wide = longPath(path);
    input.fd = _wopen(wide.c_str(), _O_RDONLY | _O_BINARY);
    if (input.fd < 0) {
        // A wildcard that matched nothing reaches the program as it was typed.
        const bool pattern = path.find_first_of("*?") != std::string::npos;
        error = pattern ? NO_MATCH : isDirectory(wide) ? EISDIR : errno;
        return false;
    }
    struct _stati64 stat;
    BY_HANDLE_FILE_INFORMATION info;
    const bool known = _fstati64(input.fd, &stat) == 0 && identify(handleOf(input.fd), input.id) &&
                       GetFileInformationByHandle(handleOf(input.fd), &info);
    if (!known || (stat.st_mode & _S_IFREG) == 0) {
        error = !known ? errno : (stat.st_mode & _S_IFDIR) != 0 ? EISDIR : NOT_REGULAR_FILE;
        platformClose(input.fd);
        input.fd = -1;
        return false;
    }
    input.size = uint64_t(stat.st_size);
    input.modified = lastWritten(info);
    return true;
}

bool checkInputUnchanged(const InputFile& input, int& error) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handleOf(input.fd), &info)) {
        error = errnoFromWindows(GetLastError());
        return false;
    }
    const uint64_t size = uint64_t(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
    error = CHANGED_WHILE_READ;
    return size == input.size && lastWritten(info) == input.modified;
}

// A file in the temporary folder that goes when it is closed. Only conversions held
// in memory use one (the tests and the fuzzer); the program itself needs none.
bool createScratchFile(int& fd, int& error) {
    std::wstring folder(MAX_PATH + 1, L'\0');
    DWORD length = GetTempPathW(DWORD(folder.size()), &folder[0]);
    if (length >= folder.size()) {
        folder.resize(length + 1);
        length = GetTempPathW(DWORD(folder.size()), &folder[0]);
    }
    if (length == 0 || length >= folder.size()) {
        error = errnoFromWindows(GetLastError());
        return false;
    }
    folder.resize(length);
    error = EEXIST;
    for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt) {
        const std::wstring name = folder + toUtf16(temporaryName(attempt));
        HANDLE handle =
            CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                        FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        error = handle == INVALID_HANDLE_VALUE ? errnoFromWindows(GetLastError()) : 0;
        if (handle != INVALID_HANDLE_VALUE) {
            fd = _open_osfhandle(intptr_t(handle), _O_RDWR | _O_BINARY);
            if (fd < 0) {
                CloseHandle(handle);
                error = EMFILE;
            }
            return fd >= 0;
        }
    }
    return false;
}

// The mapped view stays as it is: Windows reads its pages in as they are touched.
void settleInput(const InputBytes&, uint64_t) {}

bool findPlace(const std::string& path, Place& place, int& error) {
    const std::wstring full = longPath(path);
    DWORD code = 0;
    std::wstring final = finalPath(full, code);
    if (final.empty() && code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) {
        error = errnoFromWindows(code);
        return false;
    }
    final = final.empty() ? full : final;
    const size_t slash = final.find_last_of(L"\\/");
    place.folderPath = fromUtf16(final.substr(0, slash + 1).c_str());
    place.name = fromUtf16(final.substr(slash + 1).c_str());
    place.reached = true;
    return true;
}

void closePlace(Place&) {}

bool checkReplaceable(const Place& place, const FileId& input, int& error) {
    const std::wstring wide = wholePath(place, place.name);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD code = GetLastError();
        error = errnoFromWindows(code);
        return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
    }
    FileId id;
    if (identifyPath(wide, id) && id.device == input.device && id.index == input.index) {
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
    HANDLE file =
        CreateFileW(wide.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = errnoFromWindows(GetLastError());
        return false;
    }
    CloseHandle(file);
    return true;
}

bool samePlace(const Place& a, const Place& b) {
    const std::wstring first = wholePath(a, a.name);
    const std::wstring second = wholePath(b, b.name);
    FileId firstId;
    FileId secondId;
    if (identifyPath(first, firstId) && identifyPath(second, secondId)) {
        return firstId.device == secondId.device && firstId.index == secondId.index;
    }
    return CompareStringOrdinal(first.c_str(), int(first.size()), second.c_str(),
                                int(second.size()), TRUE) == CSTR_EQUAL;
}

bool createTemporary(CleanupRegistry& registry, const Place& target, bool text, Temporary& temp,
                     int& error) {
    return createNamedTemporary(registry, target, text, temp, error);
}

bool sealTemporary(CleanupRegistry&, const Place&, Temporary&, int&) {
    return true;
}

// The mark comes off only for the rename, and goes back on should it fail, so the
// temporary goes with the process whatever ends it.
bool placeTemporary(CleanupRegistry& registry, const Place& target, Temporary& temp, int& error) {
    if (!markForDeletion(temp.fd, false)) {
        error = errnoFromWindows(GetLastError());
        return false;
    }
    if (!renameInFolder(target, temp.name, target.name, error)) {
        markForDeletion(temp.fd, true);
        return false;
    }
    delist(registry, target, temp.name);
    temp.name.clear();
    _close(temp.fd);
    temp.fd = -1;
    return true;
}

void removeTemporary(CleanupRegistry& registry, const Place& target, Temporary& temp) {
    const bool marked = temp.fd >= 0 && markForDeletion(temp.fd, true);
    if (temp.fd >= 0) {
        _close(temp.fd);
        temp.fd = -1;
    }
    if (!temp.name.empty()) {
        if (!marked) {
            deleteWaiting(wholePath(target, temp.name));
        }
        delist(registry, target, temp.name);
        temp.name.clear();
    }
}

bool pathExists(const std::string& path) {
    return GetFileAttributesW(longPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string workingFolder() {
    std::wstring folder(MAX_PATH, L'\0');
    DWORD length = GetCurrentDirectoryW(DWORD(folder.size()), &folder[0]);
    if (length >= folder.size()) {
        folder.resize(length);
        length = GetCurrentDirectoryW(DWORD(folder.size()), &folder[0]);
    }
    if (length == 0 || length >= folder.size()) {
        return std::string();
    }
    folder.resize(length);
    return fromUtf16(folder.c_str()) + (folder.back() == L'\\' ? "" : "\\");
}

bool isPathSeparator(char c) {
    return c == '/' || c == '\\';
}

void runPause() {
    std::fflush(stdout);
    if (std::system("PAUSE") != 0) {
        return;
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
