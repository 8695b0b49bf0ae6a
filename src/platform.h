// The few things that differ between Windows and POSIX systems: opening, reading and
// writing files by descriptor, replacing a file, and the final pause.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Each returns true on success; on failure `error` holds an errno value
// (0 for an input that ended early).
bool openInput(const std::string& path, int& fd, uint64_t& size, int& error);
bool readAt(int fd, uint64_t offset, void* dest, size_t size, int& error);
bool writeAll(int fd, const void* data, size_t size, int& error);
bool writeAt(int fd, uint64_t offset, const void* data, size_t size, int& error);
bool closeFile(int fd, int& error);

// Maps the first `size` bytes of an open input for reading, or gives nullptr where the
// platform or the file does not allow it (the caller then reads the bytes instead).
// Should the file shrink or fail while mapped, the program reports it for `path`,
// removes its temporary files and exits with status -1 rather than crash.
const uint8_t* mapInput(int fd, uint64_t size, const std::string& path);

// Creates a new, empty file beside `target` under a name no other file has, for
// writing; `text` opens it in the platform's text mode (CR LF line endings on Windows).
bool createTemporary(const std::string& target, bool text, std::string& tempPath, int& fd,
                     int& error);
// Puts `from` in place of `to`, replacing an existing file.
bool replaceFile(const std::string& from, const std::string& to, int& error);
void removeFile(const std::string& path);

std::string errorText(int error);

// Waits for a key press: the command interpreter's PAUSE on Windows, elsewhere a
// prompt and a line (or the end) of standard input.
void runPause();

#ifdef _WIN32
// The program's arguments as UTF-8, the form every path takes inside the program.
std::vector<std::string> utf8Arguments(int argc, wchar_t** argv);
#endif

// The descriptor of standard output, for reports written through a Sink.
int consoleDescriptor();
