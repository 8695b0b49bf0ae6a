// The platform on Windows: the input, handles behind the C runtime's descriptors,
// places, and the raw calls on names in a folder that the run's files are made with.
#include "platform_windows.h"
#include "platform.h"
#include "platform_seam.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <windows.h>

// A call of the C runtime, whose failure says its cause in _doserrno where the system
// gave one: cleared first, so that an earlier call's cause is not taken for this one's.
#define CRT_CALL(name, call) (_doserrno = 0, OS_CALL(name, -1, call))

namespace {

// A Windows error code in the program's terms.
int fromWindows(DWORD code) {
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return NOT_FOUND;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return ALREADY_EXISTS;
    case ERROR_SUCCESS:
        return int(ERROR_GEN_FAILURE);
    default:
        return int(code);
    }
}

// The error of the Windows call that just failed.
int lastError() {
    return fromWindows(GetLastError());
}

// The error of the C runtime's call that just failed: the system's cause where it gave
// one, else the runtime's own, as the system would have said it.
int crtError() {
    if (_doserrno != 0) {
        return fromWindows(DWORD(_doserrno));
    }
    switch (errno) {
    case ENOSPC:
        return int(ERROR_DISK_FULL);
    case EMFILE:
        return int(ERROR_TOO_MANY_OPEN_FILES);
    case EBADF:
        return int(ERROR_INVALID_HANDLE);
    case EACCES:
        return int(ERROR_ACCESS_DENIED);
    case ENOENT:
        return NOT_FOUND;
    case EEXIST:
        return ALREADY_EXISTS;
    default:
        return int(ERROR_GEN_FAILURE);
    }
}

bool check(bool ok, int& error) {
    if (!ok) {
        error = lastError();
    }
    return ok;
}

bool identify(HANDLE handle, FileId& id) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!OS_CALL("GetFileInformationByHandle", FALSE, GetFileInformationByHandle(handle, &info))) {
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
    // A device's path ("\\.\", given or made of a reserved name) stays as it is.
    if (full.rfind(L"\\\\.\\", 0) == 0) {
        return full;
    }
    if (full.rfind(L"\\\\", 0) == 0) {
        return L"\\\\?\\UNC\\" + full.substr(2);
    }
    return L"\\\\?\\" + full;
}

// Whether the path's last name is one Windows keeps for a device (CON, PRN, AUX, NUL,
// COM1 to COM9 and LPT1 to LPT9, and COM and LPT with a superscript 1, 2 or 3), with or
// without an extension, and blanks or dots after it: opening it opens the device.
bool isReservedName(const std::string& path) {
    const size_t slash = path.find_last_of("\\/:");
    std::string stem = path.substr(slash == std::string::npos ? 0 : slash + 1);
    stem = stem.substr(0, stem.find('.'));
    while (!stem.empty() && stem.back() == ' ') {
        stem.pop_back();
    }
    for (char& c : stem) {
        c = char(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    }
    if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL") {
        return true;
    }
    const std::string head = stem.substr(0, 3);
    const std::string tail = stem.size() > 3 ? stem.substr(3) : "";
    const bool port = head == "COM" || head == "LPT";
    return port && ((tail.size() == 1 && tail[0] >= '1' && tail[0] <= '9') || tail == "\xC2\xB9" ||
                    tail == "\xC2\xB2" || tail == "\xC2\xB3");
}

bool isDirectory(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

HANDLE handleOf(int fd) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
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

// Why a rename could not replace the file at `target` that it was denied: a file another
// program holds open without sharing its deletion is said to be so, as it is what the
// user can mend.
int whyNotReplaced(const std::wstring& target) {
    const HANDLE file =
        CreateFileW(target.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const DWORD code = file == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_ACCESS_DENIED;
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    return int(code == ERROR_SHARING_VIOLATION ? code : ERROR_ACCESS_DENIED);
}

// The file a path leads to once its links are followed, or "" when there is none.
std::wstring finalPath(const std::wstring& path, DWORD& code) {
    HANDLE file = OS_CALL("CreateFileW", INVALID_HANDLE_VALUE,
                          CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    code = file == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    std::wstring final;
    if (file != INVALID_HANDLE_VALUE) {
        final.resize(MAX_PATH);
        DWORD length = OS_CALL("GetFinalPathNameByHandleW", 0,
                               GetFinalPathNameByHandleW(file, &final[0], DWORD(final.size()), 0));
        if (length >= final.size()) {
            final.resize(length);
            length = GetFinalPathNameByHandleW(file, &final[0], DWORD(final.size()), 0);
        }
        code = length == 0 ? GetLastError() : 0;
        final.resize(length < final.size() ? length : 0);
        CloseHandle(file);
    }
    return final;
}

bool identifyPath(const std::wstring& path, FileId& id) {
    HANDLE file =
        OS_CALL("CreateFileW", INVALID_HANDLE_VALUE,
                CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    const bool known = file != INVALID_HANDLE_VALUE && identify(file, id);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    return known;
}

std::wstring wholePath(const Place& place, const std::string& name) {
    return toUtf16(place.folderPath + name);
}

bool writeLoop(int fd, const char* at, size_t size, bool seamed, int& error) {
    while (size > 0) {
        const unsigned chunk = unsigned(size < (size_t(1) << 30) ? size : size_t(1) << 30);
        const int put = seamed ? CRT_CALL("_write", _write(fd, at, chunk)) : _write(fd, at, chunk);
        if (put <= 0) {
            error = put < 0 ? crtError() : NOTHING_WRITTEN;
            return false;
        }
        at += put;
        size -= size_t(put);
    }
    return true;
}

} // namespace

bool writeAll(int fd, const void* data, size_t size, int& error) {
    return writeLoop(fd, static_cast<const char*>(data), size, true, error);
}

bool writeAt(int fd, uint64_t offset, const void* data, size_t size, int& error) {
    const long long end = CRT_CALL("_lseeki64", _lseeki64(fd, 0, SEEK_END));
    if (end < 0 || CRT_CALL("_lseeki64", _lseeki64(fd, (long long)offset, SEEK_SET)) < 0) {
        error = crtError();
        return false;
    }
    if (!writeAll(fd, data, size, error)) {
        return false;
    }
    if (CRT_CALL("_lseeki64", _lseeki64(fd, end, SEEK_SET)) < 0) {
        error = crtError();
        return false;
    }
    return true;
}

bool flushFile(int fd, int& error) {
    return check(OS_CALL("FlushFileBuffers", FALSE, FlushFileBuffers(handleOf(fd))), error);
}

bool flushFolder(const Place&, int&) {
    return true;
}

bool openInput(const std::string& path, InputFile& input, int& error) {
    if (isReservedName(path)) {
        error = DEVICE_NAME;
        return false;
    }
    const std::wstring wide = longPath(path);
    // No other program may write to it while it is read; one that is writing to it is
    // waited out for a while, as a held target is.
    for (int attempt = 0;
         (input.fd =
              CRT_CALL("_wsopen", _wsopen(wide.c_str(), _O_RDONLY | _O_BINARY, _SH_DENYWR))) < 0;
         ++attempt) {
        const DWORD code = DWORD(_doserrno);
        const bool held = code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION;
        if (!held || !waitedOutHold(code, attempt)) {
            break;
        }
    }
    if (input.fd < 0) {
        // A wildcard that matched nothing reaches the program as it was typed; "\\?\"
        // and "\\.\" before a path are no wildcards.
        const bool prefixed = path.rfind("\\\\?\\", 0) == 0 || path.rfind("\\\\.\\", 0) == 0;
        const bool pattern = path.find_first_of("*?", prefixed ? 4 : 0) != std::string::npos;
        error = pattern ? NO_MATCH : isDirectory(wide) ? IS_A_FOLDER : crtError();
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info;
    const bool known = check(OS_CALL("GetFileInformationByHandle", FALSE,
                                     GetFileInformationByHandle(handleOf(input.fd), &info)),
                             error);
    const bool folder = known && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    if (known && !folder && GetFileType(handleOf(input.fd)) == FILE_TYPE_DISK) {
        input.id = {info.dwVolumeSerialNumber,
                    uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow};
        input.size = uint64_t(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
        return true;
    }
    error = !known ? error : folder ? IS_A_FOLDER : NOT_REGULAR_FILE;
    _close(input.fd);
    input.fd = -1;
    return false;
}

bool readInput(int fd, uint64_t offset, void* dest, size_t size, size_t& got, int& error) {
    OVERLAPPED from = {};
    from.Offset = DWORD(offset);
    from.OffsetHigh = DWORD(offset >> 32);
    DWORD read = 0;
    const DWORD chunk = DWORD(size < (size_t(1) << 30) ? size : size_t(1) << 30);
    const bool done =
        OS_CALL("ReadFile", FALSE, ReadFile(handleOf(fd), dest, chunk, &read, &from)) ||
        GetLastError() == ERROR_HANDLE_EOF;
    got = done ? read : 0;
    return check(done, error);
}

// No other program can have written to the input while it was open: it is opened
// denying writes, which Windows and its file-sharing servers hold every program to.
bool closeInput(InputFile& input, int&) {
    if (input.fd >= 0) {
        _close(input.fd);
        input.fd = -1;
    }
    return true;
}

bool findPlace(const std::string& path, Place& place, int& error) {
    const std::wstring full = longPath(path);
    std::wstring final = full;
    // Only a link is followed to its end; any other target is where its own path says.
    const DWORD attributes =
        OS_CALL("GetFileAttributesW", INVALID_FILE_ATTRIBUTES, GetFileAttributesW(full.c_str()));
    error = attributes == INVALID_FILE_ATTRIBUTES ? lastError() : 0;
    if (error != 0 && error != NOT_FOUND) {
        return false;
    }
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        DWORD code = 0;
        final = finalPath(full, code);
        if (final.empty()) {
            error = code == ERROR_SUCCESS ? LINK_UNRESOLVED : fromWindows(code);
            return false;
        }
    }
    const size_t slash = final.find_last_of(L"\\/");
    place.folderPath = fromUtf16(final.substr(0, slash + 1).c_str());
    place.name = fromUtf16(final.substr(slash + 1).c_str());
    place.reached = identifyPath(final.substr(0, slash + 1), place.folderId);
    if (!place.reached) {
        error = lastError();
        return false;
    }
    const DWORD found = attributes == INVALID_FILE_ATTRIBUTES || final == full
                            ? attributes
                            : GetFileAttributesW(final.c_str());
    if (found == INVALID_FILE_ATTRIBUTES) {
        return true;
    }
    // A target that cannot be told apart from the input is not written.
    if (!identifyPath(final, place.id)) {
        error = lastError();
        return false;
    }
    place.exists = true;
    place.refusal = (found & FILE_ATTRIBUTE_DIRECTORY)  ? IS_A_FOLDER
                    : (found & FILE_ATTRIBUTE_READONLY) ? int(ERROR_ACCESS_DENIED)
                                                        : 0;
    return true;
}

void closePlace(Place&) {}

// Opened for deleting too, and marked to go when the process ends however it ends,
// until it is put in place. No other program may write to it meanwhile.
bool createFile(const Place& place, const std::string& name, bool text, int& fd, int& error) {
    if (name.empty()) {
        error = NO_UNNAMED_FILES;
        return false;
    }
    const std::wstring path = wholePath(place, name);
    HANDLE handle = OS_CALL("CreateFileW", INVALID_HANDLE_VALUE,
                            CreateFileW(path.c_str(), GENERIC_WRITE | DELETE,
                                        FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!check(handle != INVALID_HANDLE_VALUE, error)) {
        return false;
    }
    fd = CRT_CALL("_open_osfhandle",
                  _open_osfhandle(intptr_t(handle), _O_WRONLY | (text ? _O_TEXT : _O_BINARY)));
    if (fd < 0) {
        error = crtError();
        CloseHandle(handle);
        DeleteFileW(path.c_str());
        return false;
    }
    if (!markToGo(fd, true, error)) {
        _close(fd);
        fd = -1;
        DeleteFileW(path.c_str());
        return false;
    }
    return true;
}

bool nameFile(const Place&, int, const std::string&, int& error) {
    error = NO_UNNAMED_FILES;
    return false;
}

// Renamed while still open, so that no other program (an indexer, a scanner) can open
// and keep it between its closing and its rename; the mark is taken back first, as a
// file marked to go cannot be renamed.
bool placeFile(const Place& place, int fd, const std::string& name, int& error) {
    const std::wstring source = wholePath(place, name);
    const std::wstring target = wholePath(place, place.name);
    if (!markToGo(fd, false, error)) {
        return false;
    }
    for (int attempt = 0; !OS_CALL("MoveFileExW", FALSE,
                                   MoveFileExW(source.c_str(), target.c_str(),
                                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
         ++attempt) {
        const DWORD code = GetLastError();
        if (!waitedOutHold(code, attempt)) {
            error = code == ERROR_ACCESS_DENIED ? whyNotReplaced(target) : fromWindows(code);
            return false;
        }
    }
    _close(fd);
    return true;
}

// Marked to go, the file goes as it is closed; where the mark is refused, it is removed
// by its name once closed.
bool discardFile(const Place& place, int fd, const std::string& name, int& error) {
    const bool marked = markToGo(fd, true, error);
    _close(fd);
    return marked || name.empty() ||
           check(OS_CALL("DeleteFileW", FALSE, DeleteFileW(wholePath(place, name).c_str())), error);
}

// One try: the registered temporaries are marked already, and a handler cannot wait.
void removeInHandler(int, const char* name) {
    DeleteFileW(toUtf16(name).c_str());
}

// A file so marked cannot be opened by another program either.
bool markToGo(int fd, bool marked, int& error) {
    FILE_DISPOSITION_INFO disposition = {};
    disposition.DeleteFile = marked;
    return check(OS_CALL("SetFileInformationByHandle", FALSE,
                         SetFileInformationByHandle(handleOf(fd), FileDispositionInfo, &disposition,
                                                    sizeof disposition)),
                 error);
}

// On Windows the new file has what its folder gives every new file; nothing is copied.
bool copyAttributes(int, const Place&, int&) {
    return true;
}

bool pathExists(const std::string& path) {
    return GetFileAttributesW(longPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool printText(const std::string& text) {
    int error = 0;
    return std::fflush(stdout) == 0 && writeLoop(1, text.data(), text.size(), false, error);
}
