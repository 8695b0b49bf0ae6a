// What each system's platform files give the code they share, and what that shared
// code gives them: the raw calls on descriptors and names in a folder, the registry
// of named files, temporary names. Included only by the platform's own files.
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

// Creates `name` in the place's folder, which must not hold it yet, for writing.
bool openExclusive(const Place& place, const std::string& name, bool text, int& fd, int& error);
// A second name `to` for the file `from`, both in the place's folder.
bool linkInFolder(const Place& place, const std::string& from, const std::string& to, int& error);
// Renames `from` to `to` in the place's folder, replacing what `to` names.
bool renameInFolder(const Place& place, const std::string& from, const std::string& to, int& error);
// Removes a name the registry holds. Safe in a signal handler on POSIX.
bool removeInFolder(int folder, const char* name);
// Maps a whole file for reading without reading it: pages come in as they are first
// touched. nullptr where the file or the system does not allow it.
const uint8_t* mapFile(int fd, uint64_t size);

// Removes every file the registry holds. Safe in a signal handler: no allocation, and
// each entry is taken out whole.
void removeRegistered(CleanupRegistry& registry);
// Enters a name of the place's folder in the registry, or takes it out.
void enlist(CleanupRegistry& registry, const Place& place, const std::string& name);
void delist(CleanupRegistry& registry, const Place& place, const std::string& name);
// Creates a temporary with a short new name beside `target`, in the registry.
bool createNamedTemporary(CleanupRegistry& registry, const Place& target, bool text,
                          Temporary& temp, int& error);
// A name for a new file of the run's own: ".tarvelin-" and eight letters or digits.
std::string temporaryName(int attempt);
// Reads `size` bytes at `offset` of an open file, all of them or fails.
bool readAt(int fd, uint64_t offset, void* dest, size_t size, int& error);
