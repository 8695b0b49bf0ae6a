// The platform on Windows: the standard streams and the console (its code page, its
// control events that end a run, the pause), and the input mapped into memory.
#include "platform.h"
#include "platform_seam.h"
#include "platform_windows.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace {

// What the console handler runs before the process ends.
std::atomic<void (*)()> fatalCleanup{nullptr};

// Held while the run's files and their registry change together: the console handler
// runs on a thread of its own, and waits for it.
std::atomic_flag busy = ATOMIC_FLAG_INIT;

bool readWhole(HANDLE file, uint8_t* at, uint64_t size, int& error) {
    for (uint64_t done = 0; done < size;) {
        OVERLAPPED from = {};
        from.Offset = DWORD(done);
        from.OffsetHigh = DWORD(done >> 32);
        const DWORD chunk = DWORD(size - done < (uint64_t(1) << 30) ? size - done : 1u << 30);
        DWORD got = 0;
        const bool read = OS_CALL("ReadFile", FALSE, ReadFile(file, at + done, chunk, &got, &from));
        if (!read || got == 0) {
            const DWORD code = read ? ERROR_HANDLE_EOF : GetLastError();
            error = code == ERROR_HANDLE_EOF ? ENDED_EARLY : int(code);
            return false;
        }
        done += got;
    }
    return true;
}

} // namespace

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
    // Read, not mapped: a mapped file whose disk fails (a share dropped, a stick pulled)
    // would end the program with an exception where a read only fails.
    const HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    bytes.storage.reset(new (std::nothrow) uint8_t[size_t(size)]);
    if (!bytes.storage) {
        error = OUT_OF_MEMORY;
        return false;
    }
    bytes.data = bytes.storage.get();
    return readWhole(file, bytes.storage.get(), size, error);
}

// The input is read whole at once: there is nothing to settle, and no mapping to fail.
void settleInput(const InputBytes&, uint64_t) {}

bool readMappedInput(void (*work)(void*), void* context) {
    work(context);
    return true;
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
