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
constexpr int IS_THE_OUTPUT = -4;
constexpr int CHANGED_WHILE_READ = -5;
constexpr int NO_MATCH = -6;

// What the fatal-signal handlers need: the files with names of their own that a run
// has not yet put in place (its temporaries and the earlier log's backup), and the
// line to print should the mapped input fail. Each entry is a folder (a descriptor;
// -1 on Windows) and a name in it (on Windows the whole path). The run owns the one
// registry; the handlers are the only code that reads it from outside the run's calls.
struct CleanupEntry {
    std::atomic<int> folder{-1};
    std::atomic<char*> name{nullptr};
};
struct CleanupRegistry {
    CleanupEntry entries[3];
    std::atomic<const char*> inputFault{nullptr};
    // Held while the registry and the files it names change together (Windows, where
    // the console handler runs on a thread of its own).
    std::atomic_flag busy = ATOMIC_FLAG_INIT;
};

// Takes descriptors 0 to 2 where they are closed (open on a file that refuses writes,
// so nothing meant for the console lands in a file the program opens later), and has
// a closed pipe fail a write rather than end the process.
void prepareProcess();

// Makes `registry` the one the handlers clean up, and installs them for every signal
// that would end the process (on Windows for Ctrl+C, Ctrl+Break and the console
// closing); a mapped input that fails (SIGBUS) is reported as the registry's input
// fault. A signal the program was started with ignored stays ignored. nullptr undoes it.
void guardRun(CleanupRegistry* registry);
// Hold interruptions off until the release, so that none lands while the registry and
// the files it names disagree. Every call below that creates, names, renames or
// removes a file of the registry's is made while they are held. Holds do not nest.
void holdInterruptions(CleanupRegistry& registry);
void releaseInterruptions(CleanupRegistry& registry);

// Identifies a file whatever name reaches it: device and inode, or on Windows volume
// serial number and file index.
struct FileId {
    uint64_t device = 0;
    uint64_t index = 0;
};

// The open input, and what it was when opened: a conversion that ends with the input
// no longer so has read a file that changed under it.
struct InputFile {
    int fd = -1;
    uint64_t size = 0;
    FileId id;
    int64_t modified = 0;
};

// Each returns true on success; on failure `error` holds an errno value or one of the
// program's own above.
bool openInput(const std::string& path, InputFile& input, int& error);
// False with CHANGED_WHILE_READ when the input's size or modification time has changed.
bool checkInputUnchanged(const InputFile& input, int& error);
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

// Where a file is to land: the folder it lands in, held open (on Windows its full
// path, with its separator), and its name there. All that is done to the file and
// its temporaries is done relative to the folder, so any path the system can reach
// works, however long.
struct Place {
    int folder = -1;
    std::string folderPath;
    std::string name;
    // Whether the folder could be reached: a file that cannot be there cannot be made.
    bool reached = false;
};
// The place that writing to `path` would write: where its chain of symbolic links
// ends, or `path` itself. Fails for anything but a file that is there or is not there.
bool findPlace(const std::string& path, Place& place, int& error);
void closePlace(Place& place);
// Fails, before anything is written, for a place a new file cannot be put in: the
// input, a directory or other non-regular file, a file this user could not open for
// writing, or one the system would not let a rename replace (a sticky folder's file
// of another owner, an immutable or append-only file, a mount point; on Windows a
// file another program holds open).
bool checkReplaceable(const Place& place, const FileId& input, int& error);
// Whether two places are one file: the same name in the same folder, or one file
// under two names.
bool samePlace(const Place& a, const Place& b);

// A file being written for a place: open while it is written, with no name of its own
// (where the system allows it, so a killed run leaves nothing) or with a short name
// beside its target (`name`, in the registry).
struct Temporary {
    int fd = -1;
    std::string name;
};
// Creates the temporary for `target`, for writing; `text` opens it in the platform's
// text mode (CR LF line endings on Windows). It takes what an existing target has:
// owner and group (where the process may set them), permission bits, extended
// attributes and access lists.
bool createTemporary(CleanupRegistry& registry, const Place& target, bool text, Temporary& temp,
                     int& error);
// The temporary is complete: it gets its name where it has none, and is closed (on
// Windows it stays open, marked to go with the process, until it is put in place).
bool sealTemporary(CleanupRegistry& registry, const Place& target, Temporary& temp, int& error);
// Puts a sealed temporary in place of its target.
bool placeTemporary(CleanupRegistry& registry, const Place& target, Temporary& temp, int& error);
// Closes and removes a temporary not put in place (or a backup no longer wanted).
void removeTemporary(CleanupRegistry& registry, const Place& target, Temporary& temp);
// Keeps the file now at `target` under a second name in its folder until it is
// restored or removed; `backup` stays without a name when there is no such file.
bool keepBackup(CleanupRegistry& registry, const Place& target, Temporary& backup, int& error);
// Puts the backup back in place of what has replaced it, or, when there was no file
// to back up, removes what has been put there.
void restoreBackup(CleanupRegistry& registry, const Place& target, Temporary& backup);

std::string errorText(int error);

// Whether anything, a file or a folder, is at `path`.
bool pathExists(const std::string& path);
// The working folder's full path with a separator after it, or "" where it has none.
std::string workingFolder();
// '/', and on Windows also '\\'.
bool isPathSeparator(char c);

// Waits for a key press: the command interpreter's PAUSE on Windows, elsewhere a
// prompt and a line (or the end) of standard input.
void runPause();

// Writes text to standard output after what stdio holds; false if it could not all
// be written.
bool printText(const std::string& text);
