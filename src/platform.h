// The one interface to the operating system: opening, reading and writing files by
// descriptor, putting new files in place, cleaning up after an interruption, and the
// final pause. Each system has a file of its own behind it; what Windows alone has is
// in platform_windows.h.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Failures of the program's own, given where an errno value would be.
constexpr int ENDED_EARLY = 0;
constexpr int NOT_REGULAR_FILE = -2;
constexpr int IS_THE_INPUT = -3;

// What the fatal-signal handlers need: the temporary files not yet put in place and
// the line to print should the mapped input fail. The run owns the one registry; the
// handlers are the only code that reads it from outside the run's own calls.
struct CleanupRegistry {
    std::atomic<char*> temporaries[2] = {};
    std::atomic<const char*> inputFault{nullptr};
    // Held while the registry and the files it names change together (Windows, where
    // the console handler runs on a thread of its own).
    std::atomic_flag busy = ATOMIC_FLAG_INIT;
};

// Makes `registry` the one the handlers clean up, and installs them for interruption
// (SIGINT, SIGTERM, SIGHUP, SIGQUIT), the file-size limit (SIGXFSZ) and a failing
// mapped input (SIGBUS); on Windows for Ctrl+C, Ctrl+Break and the console closing.
// A signal the program was started with ignored stays ignored. nullptr undoes it.
void guardRun(CleanupRegistry* registry);

// Identifies a file whatever name reaches it: device and inode, or on Windows volume
// serial number and file index.
struct FileId {
    uint64_t device = 0;
    uint64_t index = 0;
};

// Each returns true on success; on failure `error` holds an errno value or one of the
// program's own above.
bool openInput(const std::string& path, int& fd, uint64_t& size, FileId& id, int& error);
bool writeAll(int fd, const void* data, size_t size, int& error);
bool writeAt(int fd, uint64_t offset, const void* data, size_t size, int& error);
bool closeFile(int fd, int& error);

// A new anonymous file, open for reading and writing, that goes when it is closed or
// the process ends.
bool createScratchFile(int& fd, int& error);
// Reads the first `size` bytes of an open file into dest.
bool readBack(int fd, void* dest, size_t size, int& error);

// The input's bytes in memory: the file mapped, so that a page is read only when it
// is first touched, or, where the file cannot be mapped, read whole into `storage`.
struct InputBytes {
    const uint8_t* data = nullptr;
    uint64_t size = 0;
    std::unique_ptr<uint8_t[]> storage;
};
// Takes the `size` bytes of an open input into memory. Should a mapped file shrink
// or fail while it is read, the handlers report it as the registry's input fault.
bool takeInputBytes(int fd, uint64_t size, InputBytes& bytes, int& error);
// Once the index has been read: lets go of the mapped pages from `blocksEnd` on, and
// asks for the blocks before it at once, ahead of their use.
void settleInput(const InputBytes& bytes, uint64_t blocksEnd);

// The file that writing to `path` would write: where its chain of symbolic links ends,
// or `path` itself.
bool followLinks(const std::string& path, std::string& target, int& error);

// Fails, before anything is written, for a target that a new file cannot be put in
// place of: the input itself, a directory, or (Windows) a read-only file or one that
// another program holds open.
bool checkReplaceable(const std::string& target, const FileId& input, int& error);

// Creates a new, empty file with a short name of its own in the directory of
// `target`, for writing, and enters it in the registry. `text` opens it in the
// platform's text mode (CR LF line endings on Windows). It takes the permission bits
// an existing target has.
bool createTemporary(CleanupRegistry& registry, const std::string& target, bool text,
                     std::string& tempPath, int& fd, int& error);
// Removes a temporary file and its entry.
void removeTemporary(CleanupRegistry& registry, const std::string& tempPath);

// Puts each temporary in place of its target, in order, with interruptions held off
// so that a signal lands before all of them or after. On failure `failed` is the
// index of the one that could not be put in place; those before it are in place.
struct Replacement {
    std::string tempPath;
    std::string target;
};
bool replaceFiles(CleanupRegistry& registry, const std::vector<Replacement>& files, size_t& failed,
                  int& error);

std::string errorText(int error);

// Waits for a key press: the command interpreter's PAUSE on Windows, elsewhere a
// prompt and a line (or the end) of standard input.
void runPause();

// Copies the first `size` bytes of an open file to standard output, after what stdio
// holds; false if they could not all be written.
bool printFile(int fd, uint64_t size);
