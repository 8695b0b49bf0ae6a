// The operating system, as the program uses it: raw calls on files by descriptor and
// on names within a folder, the input's bytes, the fatal signals, the console. Each
// system has its own files behind it; what Windows alone has is in platform_windows.h.
// Nothing here knows which files a run makes: that is temporaries.h's concern.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// A failed call's error: what the system said (an errno value; on Windows a Windows
// error code), or one of the program's own below, which are negative. Never 0.
constexpr int ENDED_EARLY = -1;
constexpr int NOT_REGULAR_FILE = -2;
constexpr int IS_THE_INPUT = -3;
constexpr int IS_THE_OUTPUT = -4;
constexpr int CHANGED_WHILE_READ = -5;
constexpr int NO_MATCH = -6;
constexpr int OUT_OF_MEMORY = -7;
constexpr int NOTHING_WRITTEN = -8;
// Given by every system for these, so that the code above can tell them apart.
constexpr int NOT_FOUND = -9;
constexpr int ALREADY_EXISTS = -10;
constexpr int IS_A_FOLDER = -11;
constexpr int NO_UNNAMED_FILES = -12;
constexpr int NO_HARD_LINKS = -13;
// A write whose bytes could not be read: they came from the mapped input, which failed.
constexpr int SOURCE_FAULTED = -14;
// Windows: a name the system keeps for a device, and a link whose end it cannot say.
constexpr int DEVICE_NAME = -15;
constexpr int LINK_UNRESOLVED = -16;
// POSIX: files cannot be marked to go when they are closed.
constexpr int NO_MARKS = -17;

// The system's own words for one of its errors (one it has no words for, by number).
std::string systemErrorText(int error);

// Takes descriptors 0 to 2 where they are closed (open on a file that refuses writes,
// so nothing meant for the console lands in a file the program opens later), and has
// a closed pipe fail a write rather than end the process.
void prepareProcess();
// Has `cleanup` run, and then the process end as it would have, on every signal whose
// default action ends the process (on Windows, Ctrl+C, Ctrl+Break and the console
// closing). A signal the program was started with ignored stays ignored. `cleanup`
// must be safe in a signal handler.
void installFatalHandlers(void (*cleanup)());
// Holds off every signal that ends the process but a fault of the program's own until
// the release; one that arrives meanwhile, another process's fault signal included, is
// taken at the release.
void holdInterruptions();
void releaseInterruptions();

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
    int64_t changed = 0;
    // Whether the system tells of any other process opening it for writing (a lease).
    bool watched = false;
};

// Each returns true on success, and on failure sets `error`.
bool openInput(const std::string& path, InputFile& input, int& error);
// False with CHANGED_WHILE_READ when the input's size, modification or change time has
// changed, or another process has opened it for writing where that is told.
bool checkInputUnchanged(const InputFile& input, int& error);

// The input's bytes in memory: the file mapped, so that a page is read only when it
// is first touched (POSIX), or read whole into `storage` (Windows, and where the file
// cannot be mapped).
struct InputBytes {
    const uint8_t* data = nullptr;
    uint64_t size = 0;
    std::unique_ptr<uint8_t[]> storage;
};
bool takeInputBytes(int fd, uint64_t size, InputBytes& bytes, int& error);
// Once the index has been read: lets go of the mapped pages from `blocksEnd` on, and
// asks for the blocks before it at once, ahead of their use.
void settleInput(const InputBytes& bytes, uint64_t blocksEnd);
// Runs `work`, which reads the mapped input: false, with the work cut short, where the
// input failed under it (the file shrank, its disk failed). Only the fault of the
// mapped input is caught; `work` must hold nothing that needs undoing.
bool readMappedInput(void (*work)(void*), void* context);

bool writeAll(int fd, const void* data, size_t size, int& error);
bool writeAt(int fd, uint64_t offset, const void* data, size_t size, int& error);
// Writes the file's data out to its disk and waits for it, so that a power cut after
// it leaves the data whole.
bool flushFile(int fd, int& error);
bool closeFile(int fd, int& error);

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

// Creates a new file in the place's folder, open for writing (`text`: the platform's
// text mode, CR LF line ends on Windows): with no name where `name` is empty (fails
// with NO_UNNAMED_FILES where the folder's system cannot), else as `name`, which
// must not be there yet. On Windows a new file is marked to go when it is closed.
bool createFile(const Place& place, const std::string& name, bool text, int& fd, int& error);
// Gives the open file without a name the name `name` in the place's folder.
bool nameFile(const Place& place, int fd, const std::string& name, int& error);
// Keeps the file `from` also as `to`, which must not be there yet: as a second name for
// it (POSIX; NO_HARD_LINKS where the file system has none for it), or on Windows as a
// copy of its bytes, open in `fd` and marked to go, that no other program can open or
// keep meanwhile (elsewhere `fd` is -1). NOT_FOUND where there is no `from`.
bool keepCopy(const Place& place, const std::string& from, const std::string& to, int& fd,
              int& error);
// Renames `from` to `to`, replacing what `to` names; removes `name`. In the place's
// folder.
bool renameInFolder(const Place& place, const std::string& from, const std::string& to, int& error);
bool removeInFolder(const Place& place, const std::string& name, int& error);
// The same removal from a signal handler: the folder's descriptor and the name (on
// Windows the whole path); one try, and on POSIX no allocation.
void removeInHandler(int folder, const char* name);
// Writes the folder's names out to its disk and waits for it, so that the renames in
// it outlast a power cut (POSIX; on Windows each rename is written through itself).
bool flushFolder(const Place& place, int& error);
// Marks an open file to go when it is closed, or takes the mark back (Windows; other
// systems remove files by name only: marking fails there with NO_MARKS).
bool markToGo(int fd, bool marked, int& error);
// Gives a new file what the file at the place has, where there is one: owner and group
// where the process may set them, permission bits, access lists and extended
// attributes. Fails where one cannot be read or set but the process may set it.
bool copyAttributes(int fd, const Place& place, int& error);

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
