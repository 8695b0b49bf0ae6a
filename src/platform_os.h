// What each system's platform file gives the code both share: the raw calls on
// descriptors and paths, and holding interruptions off while files and the registry
// change together. Included only by the platform's own files.
#pragma once

#include "platform.h"

#include <cstddef>
#include <cstdint>
#include <string>

long long platformSeek(int fd, uint64_t offset);
long long platformSeekEnd(int fd);
long long platformRead(int fd, void* dest, size_t size);
long long platformWrite(int fd, const void* data, size_t size);
int platformClose(int fd);
int processId();

// Creates `path`, which must not exist yet, for writing.
bool openExclusive(const std::string& path, bool text, int& fd, int& error);
bool removePath(const char* path);
bool renamePath(const std::string& from, const std::string& to, int& error);
// The directory part of a path, with its separator, or "" for a bare name.
std::string directoryOf(const std::string& path);
// Gives the new file `fd` the permission bits an existing `target` has.
bool keepMode(int fd, const std::string& target, int& error);
// Maps a whole file for reading without reading it: pages come in as they are first
// touched. nullptr where the file or the system does not allow it.
const uint8_t* mapFile(int fd, uint64_t size);

// Holds interruptions off until the release, so that none lands while the registry
// and the files it names disagree. Holds do not nest.
void holdInterruptions(CleanupRegistry& registry);
void releaseInterruptions(CleanupRegistry& registry);

// Removes every file the registry holds. Safe in a signal handler: no allocation, and
// each entry is taken out whole.
void removeRegistered(CleanupRegistry& registry);
// Reads `size` bytes at `offset` of an open file, all of them or fails.
bool readAt(int fd, uint64_t offset, void* dest, size_t size, int& error);
