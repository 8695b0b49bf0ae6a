// The operating system, as the program uses it: raw calls on the input, on files by
// descriptor and on names within a folder, the fatal signals, the console. Each system
// has its own files behind it; what Windows alone has is in platform_windows.h. Nothing
// here knows which files a run makes: that is temporaries.h's concern.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A failed call's error: what the system said (an errno value; on Windows a Windows
// error code), or one of the program's own below, which are negative. Never 0.
constexpr int CHANGED_WHILE_READ = -1;
constexpr int NOT_REGULAR_FILE = -2;
constexpr int IS_THE_INPUT = -3;
constexpr int IS_THE_OUTPUT = -4;
constexpr int NO_MATCH = -5;
constexpr int OUT_OF_MEMORY = -6;
constexpr int NOTHING_WRITTEN = -7;
// Given by every system for these, so that the code above can tell them apart.
constexpr int NOT_FOUND = -8;
constexpr int ALREADY_EXISTS = -9;
constexpr int IS_A_FOLDER = -10;
constexpr int NO_UNNAMED_FILES = -11;
// Windows: a name the system keeps for a device, and a link whose end it cannot say.
constexpr int DEVICE_NAME = -12;
constexpr int LINK_UNRESOLVED = -13;

#ifdef _WIN32
constexpr char PATH_SEPARATORS[] = "/\\";
#else
constexpr char PATH_SEPARATORS[] = "/";
#endif

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
// Holds off every signal that ends the process until the release; one that arrives
// meanwhile is taken at the release. A fault of the program's own meanwhile ends it.
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
};

// Each returns true on success, and on failure sets `error`.
bool openInput(const std::string& path, InputFile& input, int& error);
// Reads at most `size` bytes at `offset` of the input into `dest`; `got` is how many,
// 0 at the end of the file.
bool readInput(int fd, uint64_t offset, void* dest, size_t size, size_t& got, int& error);
// Lets go of the input: its lease, then the file. False with CHANGED_WHILE_READ where
// its size, modification or change time is not what it was when opened, or another
// process has opened it for writing where that is told.
bool closeInput(InputFile& input, int& error);

bool writeAll(int fd, const void* data, size_t size, int& error);
bool writeAt(int fd, uint64_t offset, const void* data, size_t size, int& error);
// Writes the file's data out to its disk and waits for it (fdatasync), so that a power
// cut after it leaves the data whole.
bool flushFile(int fd, int& error);

// Where a file is to land, and what is there now. All that is done to the file and
// its temporaries is done relative to the folder, so a target works however little
// room its folder's path leaves for a temporary's name.
struct Place {
    // The folder, held open (POSIX), or its full path with a separator (Windows).
    int folder = -1;
    std::string folderPath;
    std::string name;
    // Whether the folder could be reached: a file that cannot be there cannot be made.
    bool reached = false;
    FileId folderId;
    // What is at the name: nothing, or a file known by `id`; `refusal` is why a new file
    // must not replace it (a folder, not a regular file, write-protected), or 0.
    bool exists = false;
    FileId id;
    int refusal = 0;
};
// The place that writing to `path` would write: where its chain of symbolic links
// ends, or `path` itself. Fails where that cannot be looked up, other than for there
// being nothing at the name.
bool findPlace(const std::string& path, Place& place, int& error);
void closePlace(Place& place);

// Creates a new file in the place's folder, open for writing (`text`: the platform's
// text mode, CR LF line ends on Windows): with no name where `name` is empty (fails
// with NO_UNNAMED_FILES where the folder's file system has no O_TMPFILE, or no /proc
// leads back to the file to name it later), else as
// `name`, which must not be there yet. On Windows the new file is marked delete on
// close, so that it goes with the process however the process ends.
bool createFile(const Place& place, const std::string& name, bool text, int& fd, int& error);
// Gives the open file without a name the name `name` in the place's folder: a hard
// link to it.
bool nameFile(const Place& place, int fd, const std::string& name, int& error);
// Renames the open file named `name` over the place's own name, then closes it.
bool placeFile(const Place& place, int fd, const std::string& name, int& error);
// Closes the file and removes its name, `name`, where it has one.
bool discardFile(const Place& place, int fd, const std::string& name, int& error);
// The same removal from a signal handler: the folder's descriptor and the name (on
// Windows the whole path); one try, and on POSIX no allocation.
void removeInHandler(int folder, const char* name);
// Writes the folder's names out to its disk (fsync), so that the renames in it outlast
// a power cut (POSIX; on Windows each rename is written through itself).
bool flushFolder(const Place& place, int& error);
// Gives a new file what the file at the place has, where there is one: owner and group
// where the process may set them, permission bits and access list. Fails where one
// cannot be read or set but the process may set it.
bool copyAttributes(int fd, const Place& place, int& error);

// Whether anything, a file or a folder, is at `path`.
bool pathExists(const std::string& path);
// The working folder's full path with a separator after it, or "" where it has none.
std::string workingFolder();
// Waits for a key press: the command interpreter's PAUSE on Windows, elsewhere a
// prompt and a line (or the end) of standard input.
void runPause();
// Writes text to standard output after what stdio holds; false if it could not all
// be written.
bool printText(const std::string& text);
