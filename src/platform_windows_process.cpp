// The platform on Windows: names in UTF-16, the system's words for its errors, the
// standard streams and the console (its code page, its control events that end a run,
// the pause).
#include "platform.h"
#include "platform_windows.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace {

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

// What the console handler runs before the process ends.
std::atomic<void (*)()> fatalCleanup{nullptr};

// Held while the run's files and their registry change together: the console handler
// runs on a thread of its own, and waits for it.
std::atomic_flag busy = ATOMIC_FLAG_INIT;

} // namespace

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

std::string systemErrorText(int error) {
    switch (DWORD(error)) {
    case ERROR_ACCESS_DENIED:
        return "Permission denied";
    case ERROR_SHARING_VIOLATION:
        return "The file is open in another program";
    case ERROR_LOCK_VIOLATION:
        return "Part of the file is locked by another program";
    case ERROR_USER_MAPPED_FILE:
        return "The file is mapped into memory by another program";
    case ERROR_DELETE_PENDING:
        return "The file is being deleted";
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return "No space left on device";
    case ERROR_FILENAME_EXCED_RANGE:
        return "File name too long";
    case ERROR_INVALID_NAME:
        return "The file name is not valid";
    case ERROR_BAD_PATHNAME:
        return "The path is not valid";
    case ERROR_DIRECTORY:
        return "The folder name is not valid";
    case ERROR_CANT_RESOLVE_FILENAME:
        return "Too many levels of symbolic links";
    case ERROR_TOO_MANY_OPEN_FILES:
        return "Too many open files";
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return "Not enough memory";
    case ERROR_WRITE_PROTECT:
        return "The media is write-protected";
    case ERROR_NOT_READY:
        return "The device is not ready";
    case ERROR_CRC:
        return "Data error (cyclic redundancy check)";
    case ERROR_SECTOR_NOT_FOUND:
    case ERROR_READ_FAULT:
        return "The device cannot read the data";
    case ERROR_WRITE_FAULT:
        return "The device cannot write the data";
    case ERROR_GEN_FAILURE:
    case ERROR_IO_DEVICE:
        return "The device is not working";
    case ERROR_DEV_NOT_EXIST:
        return "The device or network share is no longer there";
    case ERROR_FILE_INVALID:
        return "The file's disk was changed or removed";
    case ERROR_FILE_CORRUPT:
    case ERROR_DISK_CORRUPT:
        return "The file or disk is corrupted";
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
        return "The network path was not found";
    case ERROR_NETNAME_DELETED:
        return "The network name is no longer available";
    case ERROR_UNEXP_NET_ERR:
        return "An unexpected network error occurred";
    case ERROR_NETWORK_ACCESS_DENIED:
        return "Network access is denied";
    case ERROR_NETWORK_UNREACHABLE:
    case ERROR_HOST_UNREACHABLE:
        return "The network location cannot be reached";
    case ERROR_SEM_TIMEOUT:
        return "The network or device did not answer in time";
    case ERROR_NOT_SAME_DEVICE:
        return "The file cannot be moved to another disk";
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
        return "Not supported by this file system";
    case ERROR_TOO_MANY_LINKS:
        return "Too many links";
    case ERROR_PRIVILEGE_NOT_HELD:
        return "A required privilege is not held";
    case ERROR_INVALID_HANDLE:
        return "Invalid handle";
    case ERROR_INVALID_PARAMETER:
        return "Invalid argument";
    default:
        return "Windows error " + std::to_string(unsigned(error));
    }
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

void installFatalHandlers(void (*cleanup)()) {
    fatalCleanup.store(cleanup);
    SetConsoleCtrlHandler(handleConsoleControl, TRUE);
}

void holdInterruptions() {
    while (busy.test_and_set()) {
        Sleep(1);
    }
}

void releaseInterruptions() {
    busy.clear();
}

int __stdcall handleConsoleControl(unsigned long event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    void (*const cleanup)() = fatalCleanup.load();
    if (cleanup) {
        // Held for good: the process ends once the default handler runs.
        holdInterruptions();
        cleanup();
    }
    return FALSE;
}

std::string workingFolder() {
    wchar_t* const folder = _wgetcwd(nullptr, 0);
    const std::string path = folder ? fromUtf16(folder) : "";
    std::free(folder);
    return path.empty() || path.back() == '\\' ? path : path + "\\";
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

void runPause() {
    std::fflush(stdout);
    if (std::system("PAUSE") != 0) {
        return;
    }
}
